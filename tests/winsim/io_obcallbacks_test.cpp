// Object callbacks: registration rules, the order and parameters of pre- and
// post-operation calls on process and thread handle opens and duplicates, the
// wait of unregistration, and what the verifier reports.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "winsim/winsim.h"

using winsim::Machine;

namespace {

struct Seen {
    std::vector<std::string> calls;
    OB_PRE_OPERATION_INFORMATION pre{};
    OB_PRE_OPERATION_PARAMETERS preParameters{};
    OB_POST_OPERATION_INFORMATION post{};
    ACCESS_MASK postGranted = 0;
    ACCESS_MASK strip = 0;
    ACCESS_MASK add = 0;
    HANDLE currentPid = nullptr;
};
Seen g_seen;

OB_PREOP_CALLBACK_STATUS PreA(PVOID context, POB_PRE_OPERATION_INFORMATION info) {
    g_seen.calls.push_back(std::string("preA:") + static_cast<const char*>(context));
    g_seen.pre = *info;
    g_seen.preParameters = *info->Parameters;
    g_seen.currentPid = PsGetCurrentProcessId();
    ACCESS_MASK* desired = info->Operation == OB_OPERATION_HANDLE_CREATE
                               ? &info->Parameters->CreateHandleInformation.DesiredAccess
                               : &info->Parameters->DuplicateHandleInformation.DesiredAccess;
    *desired = (*desired & ~g_seen.strip) | g_seen.add;
    info->CallContext = &g_seen;
    return OB_PREOP_SUCCESS;
}
OB_PREOP_CALLBACK_STATUS PreB(PVOID context, POB_PRE_OPERATION_INFORMATION info) {
    g_seen.calls.push_back(std::string("preB:") + static_cast<const char*>(context));
    // Sees what the higher altitude left.
    g_seen.preParameters = *info->Parameters;
    return OB_PREOP_SUCCESS;
}
void PostA(PVOID, POB_POST_OPERATION_INFORMATION info) {
    g_seen.calls.push_back("postA");
    g_seen.post = *info;
    g_seen.postGranted = info->Parameters->CreateHandleInformation.GrantedAccess;
}
void PostB(PVOID, POB_POST_OPERATION_INFORMATION) { g_seen.calls.push_back("postB"); }

class IoObCallbacksTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_seen = Seen{};
        machine_ = &Machine::Boot();
        winsim::ProcessOptions o;
        o.imagePath = u"\\Device\\HarddiskVolume2\\a.exe";
        a_ = machine_->StartProcess(o);
        o.imagePath = u"\\Device\\HarddiskVolume2\\b.exe";
        b_ = machine_->StartProcess(o);
    }
    void TearDown() override { Machine::Shutdown(); }
    Machine& M() { return *machine_; }

    NTSTATUS Register(const char16_t* altitude, POB_PRE_OPERATION_CALLBACK pre, POB_POST_OPERATION_CALLBACK post,
                      const char* context, PVOID* handle, POBJECT_TYPE* type = PsProcessType,
                      OB_OPERATION ops = OB_OPERATION_HANDLE_CREATE | OB_OPERATION_HANDLE_DUPLICATE) {
        OB_OPERATION_REGISTRATION op{type, ops, pre, post};
        OB_CALLBACK_REGISTRATION reg{};
        reg.Version = OB_FLT_REGISTRATION_VERSION;
        reg.OperationRegistrationCount = 1;
        RtlInitUnicodeString(&reg.Altitude, altitude);
        reg.RegistrationContext = const_cast<char*>(context);
        reg.OperationRegistration = &op;
        return ObRegisterCallbacks(&reg, handle);
    }

    Machine* machine_ = nullptr;
    PEPROCESS a_ = nullptr;
    PEPROCESS b_ = nullptr;
};

TEST_F(IoObCallbacksTest, RegistrationRules) {
    PVOID h1 = nullptr, h2 = nullptr, h3 = nullptr;
    ASSERT_EQ(Register(u"380832", PreA, PostA, "x", &h1), STATUS_SUCCESS);
    EXPECT_NE(h1, nullptr);
    // The same altitude twice fails, as on Windows.
    EXPECT_EQ(Register(u"380832", PreB, nullptr, "y", &h2), STATUS_FLT_INSTANCE_ALTITUDE_COLLISION);
    EXPECT_EQ(Register(u"380833", PreB, nullptr, "y", &h2), STATUS_SUCCESS);
    EXPECT_EQ(M().ObCallbackRegistrations(), 2u);

    // Invalid registrations.
    EXPECT_EQ(Register(u"1", nullptr, nullptr, "z", &h3), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Register(u"1", PreA, nullptr, "z", &h3, PsProcessType, 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Register(u"1", PreA, nullptr, "z", &h3, PsProcessType, 0), STATUS_INVALID_PARAMETER);
    OB_CALLBACK_REGISTRATION bad{};
    bad.Version = 0x200;
    EXPECT_EQ(ObRegisterCallbacks(&bad, &h3), STATUS_INVALID_PARAMETER);

    // Injected failure.
    M().FailNthCall(winsim::FaultClass::Registration, 1);
    EXPECT_EQ(Register(u"2", PreA, nullptr, "z", &h3), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(M().InjectedFaultHit());
    M().ClearFaultInjection();

    ObUnRegisterCallbacks(h1);
    ObUnRegisterCallbacks(h2);
    EXPECT_EQ(M().ObCallbackRegistrations(), 0u);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
    // Twice: reported.
    ObUnRegisterCallbacks(h1);
    EXPECT_FALSE(M().Verifier().Clean());
}

TEST_F(IoObCallbacksTest, OpenRunsPreHighestFirstAndPostInReverseInTheOpenersThread) {
    PVOID low = nullptr, high = nullptr;
    ASSERT_EQ(Register(u"1000", PreB, PostB, "low", &low), STATUS_SUCCESS);
    ASSERT_EQ(Register(u"380832", PreA, PostA, "high", &high), STATUS_SUCCESS);
    g_seen.strip = PROCESS_TERMINATE;
    g_seen.add = PROCESS_VM_WRITE;  // never granted: callbacks only take away

    winsim::HandleResult r = M().OpenProcess(a_, M().ProcessId(b_), PROCESS_TERMINATE | PROCESS_VM_READ);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.granted, (ACCESS_MASK)PROCESS_VM_READ);
    EXPECT_EQ(g_seen.calls, (std::vector<std::string>{"preA:high", "preB:low", "postB", "postA"}));
    EXPECT_EQ(g_seen.currentPid, (HANDLE)(uintptr_t)M().ProcessId(a_));
    EXPECT_EQ(g_seen.pre.Operation, (OB_OPERATION)OB_OPERATION_HANDLE_CREATE);
    EXPECT_EQ(g_seen.pre.Object, (PVOID)b_);
    EXPECT_EQ(g_seen.pre.ObjectType, *PsProcessType);
    EXPECT_EQ(g_seen.pre.KernelHandle, 0u);
    // The lower altitude saw what the higher one left, without what it tried to add.
    EXPECT_EQ(g_seen.preParameters.CreateHandleInformation.DesiredAccess, (ACCESS_MASK)PROCESS_VM_READ);
    EXPECT_EQ(g_seen.preParameters.CreateHandleInformation.OriginalDesiredAccess,
              (ACCESS_MASK)(PROCESS_TERMINATE | PROCESS_VM_READ));
    EXPECT_EQ(g_seen.post.CallContext, &g_seen);
    EXPECT_EQ(g_seen.post.ReturnStatus, STATUS_SUCCESS);
    EXPECT_EQ(g_seen.postGranted, (ACCESS_MASK)PROCESS_VM_READ);
    M().CloseHandle(r.handle);

    // Kernel handles carry the flag; a missing process is STATUS_INVALID_CID.
    winsim::HandleOptions kernel;
    kernel.kernelHandle = true;
    r = M().OpenProcess(a_, M().ProcessId(b_), PROCESS_TERMINATE, kernel);
    EXPECT_EQ(g_seen.pre.KernelHandle, 1u);
    M().CloseHandle(r.handle);
    EXPECT_EQ(M().OpenProcess(a_, 999996, PROCESS_TERMINATE).status, (NTSTATUS)0xC000000BL);
    ObUnRegisterCallbacks(low);
    ObUnRegisterCallbacks(high);
}

TEST_F(IoObCallbacksTest, ThreadsAndDuplicates) {
    PVOID process = nullptr, thread = nullptr;
    ASSERT_EQ(Register(u"10", PreA, PostA, "p", &process, PsProcessType, OB_OPERATION_HANDLE_DUPLICATE),
              STATUS_SUCCESS);
    ASSERT_EQ(Register(u"20", PreB, nullptr, "t", &thread, PsThreadType), STATUS_SUCCESS);
    PETHREAD t = M().CreateThread(b_);
    EXPECT_EQ(PsGetThreadProcessId(t), (HANDLE)(uintptr_t)M().ProcessId(b_));
    EXPECT_EQ(M().ThreadId(t) % 4, 0u);

    winsim::HandleResult th = M().OpenThread(a_, M().ThreadId(t), THREAD_TERMINATE);
    EXPECT_EQ(th.status, STATUS_SUCCESS);
    EXPECT_EQ(g_seen.calls, (std::vector<std::string>{"preB:t"}));

    // A process handle create: only duplicates were registered for processes.
    g_seen.calls.clear();
    winsim::HandleResult own = M().OpenProcess(b_, M().ProcessId(b_), PROCESS_ALL_ACCESS);
    EXPECT_TRUE(g_seen.calls.empty());
    g_seen.strip = PROCESS_SUSPEND_RESUME;
    winsim::HandleResult dup = M().DuplicateHandle(a_, own.handle, nullptr, PROCESS_SUSPEND_RESUME | PROCESS_VM_READ);
    EXPECT_EQ(dup.status, STATUS_SUCCESS);
    EXPECT_EQ(dup.granted, (ACCESS_MASK)PROCESS_VM_READ);
    EXPECT_EQ(g_seen.pre.Operation, (OB_OPERATION)OB_OPERATION_HANDLE_DUPLICATE);
    EXPECT_EQ(g_seen.preParameters.DuplicateHandleInformation.SourceProcess, (PVOID)b_);
    EXPECT_EQ(g_seen.preParameters.DuplicateHandleInformation.TargetProcess, (PVOID)a_);
    EXPECT_EQ(g_seen.currentPid, (HANDLE)(uintptr_t)M().ProcessId(a_));
    // DUPLICATE_SAME_ACCESS asks for the source's access.
    g_seen.strip = 0;
    winsim::HandleOptions same;
    same.sameAccess = true;
    winsim::HandleResult dup2 = M().DuplicateHandle(a_, dup.handle, nullptr, 0, same);
    EXPECT_EQ(dup2.granted, (ACCESS_MASK)PROCESS_VM_READ);
    M().CloseHandle(dup2.handle);
    M().CloseHandle(dup.handle);
    EXPECT_EQ(M().DuplicateHandle(a_, dup.handle, nullptr, 1).status, STATUS_INVALID_HANDLE);
    M().CloseHandle(own.handle);
    M().CloseHandle(th.handle);
    ObUnRegisterCallbacks(process);
    ObUnRegisterCallbacks(thread);
}

std::atomic<bool> g_inside{false};
std::atomic<bool> g_release{false};
OB_PREOP_CALLBACK_STATUS SlowPre(PVOID, POB_PRE_OPERATION_INFORMATION) {
    g_inside = true;
    while (!g_release) std::this_thread::yield();
    return OB_PREOP_SUCCESS;
}

TEST_F(IoObCallbacksTest, UnregisteringWaitsForCallbacksInProgress) {
    g_inside = false;
    g_release = false;
    PVOID h = nullptr;
    ASSERT_EQ(Register(u"5", SlowPre, nullptr, "s", &h), STATUS_SUCCESS);
    std::thread opener([&] { M().CloseHandle(M().OpenProcess(a_, M().ProcessId(b_), 1).handle); });
    while (!g_inside) std::this_thread::yield();
    std::atomic<bool> unregistered{false};
    std::thread remover([&] {
        ObUnRegisterCallbacks(h);
        unregistered = true;
    });
    for (int i = 0; i < 200; ++i) std::this_thread::yield();
    EXPECT_FALSE(unregistered);
    g_release = true;
    opener.join();
    remover.join();
    EXPECT_TRUE(unregistered);
    uint64_t calls = M().ObPreCallbacksRun();
    M().CloseHandle(M().OpenProcess(a_, M().ProcessId(b_), 1).handle);
    EXPECT_EQ(M().ObPreCallbacksRun(), calls);
}

// A driver that registers object callbacks and, depending on the test, forgets to
// unregister them or leaks a reference from its callback.
bool g_leakReference = false;
PVOID g_driverHandle = nullptr;
OB_PREOP_CALLBACK_STATUS LeakyPre(PVOID, POB_PRE_OPERATION_INFORMATION info) {
    PEPROCESS p = nullptr;
    if (NT_SUCCESS(PsLookupProcessByProcessId(PsGetProcessId((PEPROCESS)info->Object), &p)) && !g_leakReference)
        ObDereferenceObject(p);
    PUNICODE_STRING name = nullptr;
    if (NT_SUCCESS(SeLocateProcessImageName((PEPROCESS)info->Object, &name))) ExFreePool(name);
    return OB_PREOP_SUCCESS;
}
void TestDriverUnload(PDRIVER_OBJECT) {}
NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = TestDriverUnload;
    OB_OPERATION_REGISTRATION op{PsProcessType, OB_OPERATION_HANDLE_CREATE, LeakyPre, nullptr};
    OB_CALLBACK_REGISTRATION reg{};
    reg.Version = OB_FLT_REGISTRATION_VERSION;
    reg.OperationRegistrationCount = 1;
    RtlInitUnicodeString(&reg.Altitude, u"123456");
    reg.OperationRegistration = &op;
    return ObRegisterCallbacks(&reg, &g_driverHandle);
}

TEST_F(IoObCallbacksTest, VerifierReportsRegistrationsLeftAndReferencesLeakedByCallbacks) {
    M().RegSetDword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\obtest", u"Type", 1);
    M().RegisterDriverImage(u"obtest.sys", TestDriverEntry);
    g_leakReference = true;
    ASSERT_EQ(M().LoadDriver(u"obtest", u"obtest.sys"), STATUS_SUCCESS);
    M().CloseHandle(M().OpenProcess(a_, M().ProcessId(b_), 1).handle);
    ASSERT_EQ(M().UnloadDriver(u"obtest"), STATUS_SUCCESS);
    std::string report = M().Verifier().ToString();
    EXPECT_NE(report.find("object pre-operation callback of obtest (altitude 123456) returned holding 1 reference(s) "
                          "it took to process"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("object callbacks still registered at unload of obtest (altitude 123456"),
              std::string::npos)
        << report;
    EXPECT_EQ(M().ObCallbackRegistrations(), 0u);
}

TEST_F(IoObCallbacksTest, ImageNamesOfProcesses) {
    PUNICODE_STRING name = nullptr;
    ASSERT_EQ(SeLocateProcessImageName(a_, &name), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name->Buffer, name->Length / 2), u"\\Device\\HarddiskVolume2\\a.exe");
    EXPECT_EQ(name->Buffer[name->Length / 2], 0);
    ExFreePool(name);
    ASSERT_EQ(SeLocateProcessImageName(M().SystemProcess(), &name), STATUS_SUCCESS);
    EXPECT_EQ(name->Length, 0);
    ExFreePool(name);
    EXPECT_EQ(M().PoolAllocations(winsim::PoolTag("SeIn")), 0u);
    M().FailNthCall(winsim::FaultClass::Allocation, 1);
    EXPECT_EQ(SeLocateProcessImageName(a_, &name), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(name, nullptr);
    M().ClearFaultInjection();
}

}  // namespace
