// Processes and threads, process notify routines, object references and system
// routine lookup.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstring>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "winsim/io/io.h"
#include "winsim/winsim.h"

using winsim::Machine;

namespace {

class IoProcessTest : public ::testing::Test {
protected:
    void SetUp() override { machine_ = &Machine::Boot(); }
    void TearDown() override { Machine::Shutdown(); }
    Machine& M() { return *machine_; }
    Machine* machine_ = nullptr;
};

// Offsets at which text occurs in the process object's byte image.
std::vector<size_t> FindText(PEPROCESS process, const char* text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(process);
    const size_t n = std::strlen(text);
    std::vector<size_t> hits;
    for (size_t i = 0; i + n <= _EPROCESS::kImageSize; ++i)
        if (std::memcmp(bytes + i, text, n) == 0) hits.push_back(i);
    return hits;
}

std::string ShortName(PEPROCESS process) {
    const auto* bytes = reinterpret_cast<const char*>(process) + Machine::kProcessNameOffset;
    return std::string(bytes, strnlen(bytes, 16));
}

PEPROCESS Start(Machine& m, const std::u16string& path, uint32_t pid = 0, bool admin = true) {
    winsim::ProcessOptions o;
    o.imagePath = path;
    o.commandLine = u"\"" + path + u"\" /x";
    o.pid = pid;
    o.administrator = admin;
    return m.StartProcess(o);
}

// ---------------------------------------------------------------- process objects

TEST_F(IoProcessTest, SystemNameOnlyAtTheFixedOffsetOfTheSystemProcess) {
    PEPROCESS system = M().SystemProcess();
    ASSERT_NE(system, nullptr);
    EXPECT_EQ(M().ProcessId(system), 4u);
    EXPECT_EQ(FindText(system, "System"), std::vector<size_t>{Machine::kProcessNameOffset});
    const auto* name = reinterpret_cast<const unsigned char*>(system) + Machine::kProcessNameOffset;
    for (size_t i = 6; i < 16; ++i) EXPECT_EQ(name[i], 0) << "padding byte " << i;

    PEPROCESS notepad = Start(M(), u"\\Device\\HarddiskVolume2\\Windows\\System32\\notepad.exe");
    ASSERT_NE(notepad, nullptr);
    EXPECT_TRUE(FindText(notepad, "System").empty());
    EXPECT_EQ(ShortName(notepad), "notepad.exe");
}

TEST_F(IoProcessTest, ShortNameTruncatedToFifteenCharacters) {
    PEPROCESS p = Start(M(), u"\\Device\\HarddiskVolume2\\apps\\averyverylongimagename.exe");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(ShortName(p), "averyverylongim");
    EXPECT_EQ(reinterpret_cast<const char*>(p)[Machine::kProcessNameOffset + 15], 0);
}

TEST_F(IoProcessTest, ScrubRemovesTheName) {
    PEPROCESS system = M().SystemProcess();
    M().ScrubProcessObject(system);
    EXPECT_TRUE(FindText(system, "System").empty());
    EXPECT_TRUE(FindText(system, "Sys").empty());
}

TEST_F(IoProcessTest, ProcessIdsAreMultiplesOfFourAndChosenIdsWork) {
    std::set<uint32_t> pids;
    for (int i = 0; i < 20; ++i) {
        PEPROCESS p = Start(M(), u"\\Device\\HarddiskVolume2\\a.exe");
        uint32_t pid = M().ProcessId(p);
        EXPECT_EQ(pid % 4, 0u);
        EXPECT_GE(pid, 8u);
        EXPECT_TRUE(pids.insert(pid).second) << "pid reused: " << pid;
        EXPECT_EQ(M().FindProcess(pid), p);
    }
    PEPROCESS big = Start(M(), u"\\Device\\HarddiskVolume2\\big.exe", 200000);
    EXPECT_EQ(M().ProcessId(big), 200000u);
    EXPECT_EQ(M().FindProcess(200000), big);
    EXPECT_EQ(PsGetProcessId(big), (HANDLE)(uintptr_t)200000);
    EXPECT_THROW(Start(M(), u"x.exe", 200000), std::invalid_argument);
    EXPECT_THROW(Start(M(), u"x.exe", 1001), std::invalid_argument);

    M().ExitProcess(big);
    EXPECT_EQ(M().FindProcess(200000), nullptr);
    PEPROCESS found = nullptr;
    EXPECT_FALSE(NT_SUCCESS(PsLookupProcessByProcessId((HANDLE)(uintptr_t)200000, &found)));
    EXPECT_EQ(found, nullptr);
}

TEST_F(IoProcessTest, CurrentProcessPerThreadAndRunAs) {
    PEPROCESS system = M().SystemProcess();
    EXPECT_EQ(PsGetCurrentProcess(), system);
    EXPECT_EQ(IoGetCurrentProcess(), system);
    EXPECT_EQ(PsGetCurrentProcessId(), (HANDLE)4);

    PEPROCESS a = Start(M(), u"a.exe");
    PEPROCESS b = Start(M(), u"b.exe");
    M().RunAs(a, [&] {
        EXPECT_EQ(PsGetCurrentProcess(), a);
        EXPECT_EQ(PsGetCurrentProcessId(), PsGetProcessId(a));
        // Another thread is not affected.
        std::thread([&] { EXPECT_EQ(PsGetCurrentProcess(), system); }).join();
        M().RunAs(b, [&] { EXPECT_EQ(PsGetCurrentProcess(), b); });
        EXPECT_EQ(PsGetCurrentProcess(), a);
    });
    EXPECT_EQ(PsGetCurrentProcess(), system);

    EXPECT_THROW(M().RunAs(a, [] { throw std::runtime_error("boom"); }), std::runtime_error);
    EXPECT_EQ(PsGetCurrentProcess(), system);
}

TEST_F(IoProcessTest, ThreadIdsAreStablePerThreadAndDistinct) {
    HANDLE mine = PsGetCurrentThreadId();
    EXPECT_EQ(PsGetCurrentThreadId(), mine);
    EXPECT_EQ((uintptr_t)mine % 4, 0u);
    EXPECT_NE(PsGetCurrentThread(), nullptr);
    HANDLE other = nullptr;
    PETHREAD otherThread = nullptr;
    std::thread([&] {
        other = PsGetCurrentThreadId();
        otherThread = PsGetCurrentThread();
    }).join();
    EXPECT_NE(other, mine);
    EXPECT_EQ((uintptr_t)other % 4, 0u);
    EXPECT_NE(otherThread, PsGetCurrentThread());
}

TEST_F(IoProcessTest, CurrentProcessFromAnEarlierMachineIsForgotten) {
    PEPROCESS a = Start(M(), u"a.exe");
    winsim::detail::SetCurrentProcess(a);
    Machine::Boot();
    EXPECT_EQ(PsGetCurrentProcess(), Machine::Current().SystemProcess());
}

// ---------------------------------------------------------------- image file name query

TEST_F(IoProcessTest, QueryImageFileNameSizing) {
    const std::u16string path = u"\\Device\\HarddiskVolume2\\Windows\\notepad.exe";
    PEPROCESS p = Start(M(), path);
    const ULONG needed = (ULONG)(sizeof(UNICODE_STRING) + path.size() * 2 + 2);
    M().RunAs(p, [&] {
        ULONG length = 0;
        EXPECT_EQ(ZwQueryInformationProcess(NtCurrentProcess(), ProcessImageFileName, nullptr, 0, &length),
                  STATUS_INFO_LENGTH_MISMATCH);
        EXPECT_EQ(length, needed);
        std::vector<uint8_t> small(needed - 1);
        length = 0;
        EXPECT_EQ(ZwQueryInformationProcess(NtCurrentProcess(), ProcessImageFileName, small.data(),
                                            (ULONG)small.size(), &length),
                  STATUS_INFO_LENGTH_MISMATCH);
        EXPECT_EQ(length, needed);
        std::vector<uint8_t> buffer(needed);
        ASSERT_EQ(ZwQueryInformationProcess(NtCurrentProcess(), ProcessImageFileName, buffer.data(),
                                            (ULONG)buffer.size(), &length),
                  STATUS_SUCCESS);
        auto* us = reinterpret_cast<UNICODE_STRING*>(buffer.data());
        EXPECT_EQ(us->Length, path.size() * 2);
        EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(us->Buffer), us->Length / 2), path);
        EXPECT_EQ((uint8_t*)us->Buffer, buffer.data() + sizeof(UNICODE_STRING));
    });

    // The system process has no image path.
    std::vector<uint8_t> buffer(64);
    ULONG length = 0;
    ASSERT_EQ(ZwQueryInformationProcess(NtCurrentProcess(), ProcessImageFileName, buffer.data(),
                                        (ULONG)buffer.size(), &length),
              STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<UNICODE_STRING*>(buffer.data())->Length, 0);
}

TEST_F(IoProcessTest, QueryImageFileNameThroughAProcessHandle) {
    PEPROCESS p = Start(M(), u"\\Device\\HarddiskVolume2\\x.exe");
    HANDLE h = winsim::detail::InsertHandle(std::make_shared<winsim::io::ProcessObject>(p), true, "test");
    std::vector<uint8_t> buffer(256);
    ULONG length = 0;
    ASSERT_EQ(ZwQueryInformationProcess(h, ProcessImageFileName, buffer.data(), (ULONG)buffer.size(), &length),
              STATUS_SUCCESS);
    auto* us = reinterpret_cast<UNICODE_STRING*>(buffer.data());
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(us->Buffer), us->Length / 2),
              u"\\Device\\HarddiskVolume2\\x.exe");
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryInformationProcess(h, ProcessImageFileName, buffer.data(), (ULONG)buffer.size(), &length),
              STATUS_INVALID_HANDLE);
    EXPECT_NE(ZwQueryInformationProcess(NtCurrentProcess(), ProcessBasicInformation, buffer.data(),
                                        (ULONG)buffer.size(), &length),
              STATUS_SUCCESS);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(IoProcessTest, QueryImageFileNameAbovePassiveIsAViolation) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ULONG length = 0;
    uint8_t buffer[64];
    ZwQueryInformationProcess(NtCurrentProcess(), ProcessImageFileName, buffer, sizeof buffer, &length);
    KeLowerIrql(old);
    EXPECT_FALSE(M().Verifier().Clean());
}

// ---------------------------------------------------------------- system routines

TEST_F(IoProcessTest, SystemRoutineLookupAndHiding) {
    auto lookup = [](const char16_t* name) {
        UNICODE_STRING s;
        RtlInitUnicodeString(&s, reinterpret_cast<PCWSTR>(name));
        return MmGetSystemRoutineAddress(&s);
    };
    EXPECT_EQ(lookup(u"ZwQueryInformationProcess"), reinterpret_cast<PVOID>(&ZwQueryInformationProcess));
    EXPECT_EQ(lookup(u"IoOpenDriverRegistryKey"), reinterpret_cast<PVOID>(&IoOpenDriverRegistryKey));
    EXPECT_EQ(lookup(u"PsSetCreateProcessNotifyRoutineEx"),
              reinterpret_cast<PVOID>(&PsSetCreateProcessNotifyRoutineEx));
    EXPECT_NE(lookup(u"ExAllocatePool2"), nullptr);
    EXPECT_EQ(lookup(u"NoSuchRoutine"), nullptr);
    EXPECT_EQ(lookup(u"zwqueryinformationprocess"), nullptr);  // export names match exactly

    // The pointer has the documented type and works.
    auto query = reinterpret_cast<decltype(&ZwQueryInformationProcess)>(lookup(u"ZwQueryInformationProcess"));
    ULONG length = 0;
    EXPECT_EQ(query(NtCurrentProcess(), ProcessImageFileName, nullptr, 0, &length), STATUS_INFO_LENGTH_MISMATCH);

    M().HideSystemRoutine(u"PsSetCreateProcessNotifyRoutineEx");
    EXPECT_EQ(lookup(u"PsSetCreateProcessNotifyRoutineEx"), nullptr);
    EXPECT_NE(lookup(u"ZwQueryInformationProcess"), nullptr);
    Machine::Boot();  // a new machine hides nothing
    EXPECT_NE(lookup(u"PsSetCreateProcessNotifyRoutineEx"), nullptr);
}

// ---------------------------------------------------------------- notify routines (fake driver)

namespace notify_driver {

struct Seen {
    HANDLE parent;
    HANDLE pid;
    bool create;
    PEPROCESS current;
    std::u16string image;
    std::u16string commandLine;
    bool fileOpenNameAvailable;
};
std::mutex g_mutex;
std::vector<Seen> g_basic, g_ex;
decltype(&PsSetCreateProcessNotifyRoutineEx) g_setEx;
bool g_forgetToRemove = false;
bool g_deny = false;
bool g_leakReference = false;
PEPROCESS g_referenced = nullptr;

void Basic(HANDLE parent, HANDLE pid, BOOLEAN create) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_basic.push_back({parent, pid, create != 0, PsGetCurrentProcess(), u"", u"", false});
}

// Rendezvous for a routine that blocks until released.
std::mutex g_blockMu;
std::condition_variable g_blockCv;
bool g_block = false, g_entered = false, g_release = false, g_unloaded = false, g_overlap = false;

void Ex(PEPROCESS process, HANDLE pid, PPS_CREATE_NOTIFY_INFO info) {
    {
        std::unique_lock<std::mutex> lock(g_blockMu);
        if (g_block && info) {
            g_entered = true;
            g_blockCv.notify_all();
            g_blockCv.wait(lock, [] { return g_release; });
            if (g_unloaded) g_overlap = true;
        }
    }
    Seen s{info ? info->ParentProcessId : nullptr, pid, info != nullptr, PsGetCurrentProcess(), u"", u"", false};
    if (info) {
        s.image = winsim::io::ToU16(info->ImageFileName);
        s.commandLine = winsim::io::ToU16(info->CommandLine);
        s.fileOpenNameAvailable = info->FileOpenNameAvailable;
        if (g_deny) info->CreationStatus = STATUS_ACCESS_DENIED;
    }
    EXPECT_EQ(PsGetProcessId(process), pid);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_ex.push_back(s);
}

void Unload(PDRIVER_OBJECT) {
    if (g_referenced && !g_leakReference) ObDereferenceObject(g_referenced);
    if (!g_forgetToRemove) PsSetCreateProcessNotifyRoutine(Basic, TRUE);
    g_setEx(Ex, TRUE);
    std::lock_guard<std::mutex> lock(g_blockMu);
    g_unloaded = true;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, WSTR("PsSetCreateProcessNotifyRoutineEx"));
    g_setEx = reinterpret_cast<decltype(&PsSetCreateProcessNotifyRoutineEx)>(MmGetSystemRoutineAddress(&name));
    if (!g_setEx) return STATUS_NOT_FOUND;
    NTSTATUS status = PsSetCreateProcessNotifyRoutine(Basic, FALSE);
    if (!NT_SUCCESS(status)) return status;
    status = g_setEx(Ex, FALSE);
    if (!NT_SUCCESS(status)) {
        PsSetCreateProcessNotifyRoutine(Basic, TRUE);
        return status;
    }
    if (g_referenced) ObReferenceObject(g_referenced);
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

void Reset() {
    g_basic.clear();
    g_ex.clear();
    g_forgetToRemove = g_deny = g_leakReference = false;
    g_referenced = nullptr;
    g_block = g_entered = g_release = g_unloaded = g_overlap = false;
}

}  // namespace notify_driver

class IoNotifyTest : public IoProcessTest {
protected:
    void SetUp() override {
        IoProcessTest::SetUp();
        notify_driver::Reset();
        M().RegisterDriverImage(u"notify.sys", notify_driver::Entry);
    }
};

TEST_F(IoNotifyTest, CreationAndExitRunBothKindsOfRoutines) {
    ASSERT_EQ(M().LoadDriver(u"notify", u"notify.sys"), STATUS_SUCCESS);
    PEPROCESS parent = Start(M(), u"\\Device\\HarddiskVolume2\\parent.exe");
    winsim::ProcessOptions o;
    o.imagePath = u"\\Device\\HarddiskVolume2\\Windows\\child.exe";
    o.commandLine = u"child.exe -v";
    o.parentPid = M().ProcessId(parent);
    PEPROCESS child = M().StartProcess(o);
    ASSERT_NE(child, nullptr);
    const HANDLE childPid = PsGetProcessId(child);

    ASSERT_EQ(notify_driver::g_basic.size(), 2u);
    ASSERT_EQ(notify_driver::g_ex.size(), 2u);
    const auto& basic = notify_driver::g_basic[1];
    EXPECT_EQ(basic.pid, childPid);
    EXPECT_EQ(basic.parent, PsGetProcessId(parent));
    EXPECT_TRUE(basic.create);
    const auto& ex = notify_driver::g_ex[1];
    EXPECT_EQ(ex.pid, childPid);
    EXPECT_EQ(ex.parent, PsGetProcessId(parent));
    EXPECT_EQ(ex.current, child);
    EXPECT_EQ(ex.image, o.imagePath);
    EXPECT_EQ(ex.commandLine, o.commandLine);
    EXPECT_TRUE(ex.fileOpenNameAvailable);
    // The first process's parent defaults to the creating thread's process.
    EXPECT_EQ(notify_driver::g_ex[0].parent, (HANDLE)4);

    M().ExitProcess(child);
    ASSERT_EQ(notify_driver::g_ex.size(), 3u);
    EXPECT_FALSE(notify_driver::g_ex[2].create);
    EXPECT_EQ(notify_driver::g_ex[2].current, child);
    EXPECT_FALSE(notify_driver::g_basic.back().create);
    EXPECT_EQ(M().FindProcess((uint32_t)(uintptr_t)childPid), nullptr);
    M().ExitProcess(child);  // a second exit is ignored
    EXPECT_EQ(notify_driver::g_ex.size(), 3u);

    ASSERT_EQ(M().UnloadDriver(u"notify"), STATUS_SUCCESS);
    Start(M(), u"after.exe");
    EXPECT_EQ(notify_driver::g_ex.size(), 3u) << "routine still called after removal";
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(IoNotifyTest, RoutineCanRefuseTheCreation) {
    ASSERT_EQ(M().LoadDriver(u"notify", u"notify.sys"), STATUS_SUCCESS);
    notify_driver::g_deny = true;
    EXPECT_EQ(Start(M(), u"denied.exe"), nullptr);
    ASSERT_EQ(notify_driver::g_ex.size(), 2u);
    EXPECT_TRUE(notify_driver::g_ex[0].create);
    EXPECT_FALSE(notify_driver::g_ex[1].create);
    EXPECT_EQ(M().FindProcess((uint32_t)(uintptr_t)notify_driver::g_ex[0].pid), nullptr);
    ASSERT_EQ(M().UnloadDriver(u"notify"), STATUS_SUCCESS);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(IoNotifyTest, RegistrationRules) {
    ASSERT_EQ(M().LoadDriver(u"notify", u"notify.sys"), STATUS_SUCCESS);
    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(notify_driver::Basic, FALSE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(notify_driver::g_setEx(notify_driver::Ex, FALSE), STATUS_INVALID_PARAMETER);
    auto other = [](HANDLE, HANDLE, BOOLEAN) {};
    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(other, TRUE), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(M().UnloadDriver(u"notify"), STATUS_SUCCESS);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(IoNotifyTest, EveryRegistrationFailureLeavesNothingBehind) {
    unsigned failures = 0;
    for (unsigned n = 1;; ++n) {
        Machine& m = Machine::Boot();
        notify_driver::Reset();
        m.RegisterDriverImage(u"notify.sys", notify_driver::Entry);
        m.FailNthCall(winsim::FaultClass::Registration, n);
        NTSTATUS status = m.LoadDriver(u"notify", u"notify.sys");
        if (!m.InjectedFaultHit()) {
            ASSERT_EQ(status, STATUS_SUCCESS);
            ASSERT_EQ(m.UnloadDriver(u"notify"), STATUS_SUCCESS);
            EXPECT_TRUE(m.Verifier().Clean()) << m.Verifier().ToString();
            break;
        }
        ++failures;
        EXPECT_FALSE(NT_SUCCESS(status));
        EXPECT_FALSE(m.IsDriverLoaded(u"notify"));
        EXPECT_TRUE(m.Verifier().Clean()) << "failure " << n << ": " << m.Verifier().ToString();
    }
    EXPECT_EQ(failures, 2u);  // the two registrations
}

TEST_F(IoNotifyTest, RoutineLeftRegisteredIsAViolation) {
    notify_driver::g_forgetToRemove = true;
    ASSERT_EQ(M().LoadDriver(u"notify", u"notify.sys"), STATUS_SUCCESS);
    ASSERT_EQ(M().UnloadDriver(u"notify"), STATUS_SUCCESS);
    auto report = M().Verifier();
    ASSERT_EQ(report.violations.size(), 1u) << report.ToString();
    EXPECT_NE(report.violations[0].find("notify routine"), std::string::npos);
    // The machine removed it: it is not called into an unloaded driver.
    size_t before = notify_driver::g_basic.size();
    Start(M(), u"later.exe");
    EXPECT_EQ(notify_driver::g_basic.size(), before);
}

TEST_F(IoNotifyTest, UnbalancedObjectReferenceIsAViolation) {
    PEPROCESS p = Start(M(), u"victim.exe");
    notify_driver::g_referenced = p;
    ASSERT_EQ(M().LoadDriver(u"notify", u"notify.sys"), STATUS_SUCCESS);
    ASSERT_EQ(M().UnloadDriver(u"notify"), STATUS_SUCCESS);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();

    notify_driver::g_leakReference = true;
    ASSERT_EQ(M().LoadDriver(u"notify", u"notify.sys"), STATUS_SUCCESS);
    ASSERT_EQ(M().UnloadDriver(u"notify"), STATUS_SUCCESS);
    auto report = M().Verifier();
    ASSERT_EQ(report.violations.size(), 1u) << report.ToString();
    EXPECT_NE(report.violations[0].find("victim.exe"), std::string::npos) << report.violations[0];
}

TEST_F(IoNotifyTest, RemovalWaitsForARoutineInProgress) {
    ASSERT_EQ(M().LoadDriver(u"notify", u"notify.sys"), STATUS_SUCCESS);
    notify_driver::g_block = true;
    PEPROCESS started = nullptr;
    std::thread creator([&] { started = Start(M(), u"slow.exe"); });
    {
        std::unique_lock<std::mutex> lock(notify_driver::g_blockMu);
        notify_driver::g_blockCv.wait(lock, [] { return notify_driver::g_entered; });
    }
    NTSTATUS unloadStatus = STATUS_PENDING;
    std::thread unloader([&] { unloadStatus = M().UnloadDriver(u"notify"); });
    // Give the unload a chance to get as far as it would go without waiting.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        std::lock_guard<std::mutex> lock(notify_driver::g_blockMu);
        notify_driver::g_release = true;
    }
    notify_driver::g_blockCv.notify_all();
    creator.join();
    unloader.join();
    EXPECT_NE(started, nullptr);
    EXPECT_EQ(unloadStatus, STATUS_SUCCESS);
    EXPECT_FALSE(notify_driver::g_overlap) << "the routine was removed while a call of it still ran";
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(IoProcessTest, LookupTakesAReferenceThatMustBeReleased) {
    PEPROCESS p = Start(M(), u"a.exe");
    PEPROCESS found = nullptr;
    ASSERT_EQ(PsLookupProcessByProcessId(PsGetProcessId(p), &found), STATUS_SUCCESS);
    EXPECT_EQ(found, p);
    EXPECT_EQ(ObfReferenceObject(found), 3);
    EXPECT_EQ(ObfDereferenceObject(found), 2);
    ObDereferenceObject(found);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
    ObDereferenceObject(found);  // one too many
    EXPECT_FALSE(M().Verifier().Clean());
}

TEST_F(IoNotifyTest, ConcurrentProcessCreationAndRemoval) {
    ASSERT_EQ(M().LoadDriver(u"notify", u"notify.sys"), STATUS_SUCCESS);
    std::vector<std::thread> threads;
    std::atomic<int> started{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                PEPROCESS p = Start(M(), u"busy.exe");
                ASSERT_NE(p, nullptr);
                PEPROCESS found = nullptr;
                if (NT_SUCCESS(PsLookupProcessByProcessId(PsGetProcessId(p), &found))) ObDereferenceObject(found);
                M().ExitProcess(p);
                started.fetch_add(1);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(started.load(), 200);
    ASSERT_EQ(M().UnloadDriver(u"notify"), STATUS_SUCCESS);
    EXPECT_EQ(notify_driver::g_ex.size(), 400u);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

}  // namespace
