// Process protection end to end: simulated processes open and duplicate process
// and thread handles while the driver's object callbacks decide what they get.
#include "driver/protect/process_protect.h"
#include "tests/support/driver_fixture.h"

using kxtest::RawMessage;
using kxtest::Reply;

namespace {

constexpr ACCESS_MASK kKillAndRead = PROCESS_TERMINATE | PROCESS_VM_READ;

class ProcessProtectTest : public kxtest::DriverTest {
protected:
    void SetUp() override {
        kxtest::DriverTest::SetUp();
        // The callback's decisions are traced with the error bit.
        Command(SET_DEBUG_LEVEL, KX_DBG_ERROR | KX_DBG_INFO);
        attacker_ = Start(u"\\Device\\HarddiskVolume2\\Tools\\attacker.exe");
    }

    PEPROCESS Start(const std::u16string& path, uint32_t pid = 0) {
        winsim::ProcessOptions o;
        o.imagePath = path;
        o.pid = pid;
        PEPROCESS p = machine().StartProcess(o);
        EXPECT_NE(p, nullptr);
        return p;
    }
    uint32_t Pid(PEPROCESS p) { return machine().ProcessId(p); }

    void Protect(uint32_t state) {
        RawMessage m(SET_PROCESS_PROTECT);
        m.State(state);
        EXPECT_EQ(Send(m).status, STATUS_SUCCESS);
    }
    void Command(uint64_t command, uint32_t value) {
        RawMessage m(command);
        m.Value(value);
        EXPECT_EQ(Send(m).status, STATUS_SUCCESS);
    }
    void ProtectName(const std::u16string& name) {
        RawMessage m(SET_PROCESS_PROTECT_PROCESSNAME);
        m.UlType(KX_PROCESS_PROTECTED).Text(name);
        EXPECT_EQ(Send(m).status, STATUS_SUCCESS);
    }

    ACCESS_MASK Open(PEPROCESS opener, PEPROCESS target, ACCESS_MASK access, const winsim::HandleOptions& o = {}) {
        winsim::HandleResult r = machine().OpenProcess(opener, Pid(target), access, o);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        machine().CloseHandle(r.handle);
        return r.granted;
    }
    ACCESS_MASK OpenThread(PEPROCESS opener, PETHREAD thread, ACCESS_MASK access) {
        winsim::HandleResult r = machine().OpenThread(opener, machine().ThreadId(thread), access);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        machine().CloseHandle(r.handle);
        return r.granted;
    }
    // The target's own handle to itself (full access), duplicated by the opener.
    ACCESS_MASK Duplicate(PEPROCESS opener, PEPROCESS target, ACCESS_MASK access) {
        winsim::HandleResult own = machine().OpenProcess(target, Pid(target), PROCESS_ALL_ACCESS);
        EXPECT_EQ(own.granted, (ACCESS_MASK)PROCESS_ALL_ACCESS);
        winsim::HandleResult r = machine().DuplicateHandle(opener, own.handle, nullptr, access);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        machine().CloseHandle(own.handle);
        machine().CloseHandle(r.handle);
        return r.granted;
    }
    ACCESS_MASK DuplicateThread(PEPROCESS opener, PETHREAD thread, ACCESS_MASK access) {
        PEPROCESS owner = machine().FindProcess(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(
            PsGetThreadProcessId(thread))));
        winsim::HandleResult own = machine().OpenThread(owner, machine().ThreadId(thread), THREAD_ALL_ACCESS);
        winsim::HandleResult r = machine().DuplicateHandle(opener, own.handle, nullptr, access);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        machine().CloseHandle(own.handle);
        machine().CloseHandle(r.handle);
        return r.granted;
    }

    std::vector<EVENT_RECORD> DrainLog() {
        std::vector<uint8_t> out(KX_GET_LOG_HEADER_SIZE + 20 * KX_EVENT_RECORD_SIZE);
        RawMessage m(GET_LOG);
        Reply reply = Send(m, out.data(), static_cast<uint32_t>(out.size()));
        std::vector<EVENT_RECORD> records;
        if (reply.status != STATUS_SUCCESS) {
            return records;
        }
        for (uint32_t i = 0; i < kxtest::ReplyCount(out); ++i) {
            records.push_back(kxtest::RecordAt(out, i));
        }
        return records;
    }
    std::vector<EVENT_RECORD> ProtectEvents() {
        std::vector<EVENT_RECORD> events;
        for (auto& r : DrainLog()) {
            if (r.code == PROCESS_PROTECT_EVENT) {
                events.push_back(r);
            }
        }
        return events;
    }

    PEPROCESS attacker_ = nullptr;
};

// ---------------------------------------------------------------- who is protected

TEST_F(ProcessProtectTest, EachSourceProtectsAndTheEventNamesBothProcesses) {
    Protect(1);
    PEPROCESS tool = Start(u"\\Device\\HarddiskVolume2\\Agent\\KX4GrdPuTool.EXE");
    PEPROCESS byPid = Start(u"\\Device\\HarddiskVolume2\\Apps\\worker.exe");
    PEPROCESS notepad = Start(u"\\Device\\HarddiskVolume2\\Windows\\notepad.exe");
    PEPROCESS notes = Start(u"\\Device\\HarddiskVolume2\\Apps\\notes.exe");
    PEPROCESS other = Start(u"\\Device\\HarddiskVolume2\\Apps\\nothing.exe");
    Command(SET_PROCESS_PROTECT_PID, Pid(byPid));
    ProtectName(u"note");
    DrainLog();  // process starts and the like

    const std::pair<PEPROCESS, std::u16string> targets[] = {
        {tool, u"\\Device\\HarddiskVolume2\\Agent\\KX4GrdPuTool.EXE"},
        {byPid, u"\\Device\\HarddiskVolume2\\Apps\\worker.exe"},
        {notepad, u"\\Device\\HarddiskVolume2\\Windows\\notepad.exe"},
        {notes, u"\\Device\\HarddiskVolume2\\Apps\\notes.exe"},
    };
    for (const auto& [target, targetPath] : targets) {
        machine().ClearDebugOutput();
        EXPECT_EQ(Open(attacker_, target, kKillAndRead), (ACCESS_MASK)PROCESS_VM_READ) << Pid(target);
        EXPECT_TRUE(machine().DebugContains("kx4grd:PreOperationCallback: [PROTECT] tried to kill Target\n"));
        EXPECT_TRUE(machine().DebugContains("kx4grd:PreOperationCallback: curProcessName(attacker.exe), processName("));
        std::vector<EVENT_RECORD> events = ProtectEvents();
        ASSERT_EQ(events.size(), 1u) << Pid(target);
        EXPECT_EQ(events[0].a0, Pid(target));
        EXPECT_EQ(events[0].a1, Pid(attacker_));
        EXPECT_EQ(kxtest::Text(events[0].path), u"\\Device\\HarddiskVolume2\\Tools\\attacker.exe");
        EXPECT_EQ(kxtest::Text(events[0].extra), targetPath);
        EXPECT_EQ(kxtest::Text(events[0].name), u"");
    }
    // The detail block shows the access before and after.
    machine().ClearDebugOutput();
    Open(attacker_, notes, PROCESS_TERMINATE);
    EXPECT_TRUE(machine().DebugContains("    Type:         PsProcessType\n    Operation:    OB_OPERATION_HANDLE_CREATE "
                                        "(KernelHandle=0)\n    OriginalDesiredAccess: 0x1\n    DesiredAccess (in):    "
                                        "0x1\n    DesiredAccess (out):   0x0\n"));

    ProtectEvents();
    // Not protected: nothing is taken and nothing is recorded.
    EXPECT_EQ(Open(attacker_, other, kKillAndRead), kKillAndRead);
    EXPECT_TRUE(ProtectEvents().empty());
    // An entry longer than the name never matches.
    ProtectName(u"nothing.exe.old");
    EXPECT_EQ(Open(attacker_, other, PROCESS_TERMINATE), (ACCESS_MASK)PROCESS_TERMINATE);
}

TEST_F(ProcessProtectTest, RightsAreTakenAlsoWhenTheLogRefusesTheRecord) {
    Protect(1);
    PEPROCESS tool = Start(u"\\Device\\HarddiskVolume2\\Agent\\kx4grdputool.exe");
    RawMessage logType(SET_LOG_TYPE);
    logType.Type(POLICY);
    Send(logType);
    DrainLog();
    EXPECT_EQ(Open(attacker_, tool, kKillAndRead), (ACCESS_MASK)PROCESS_VM_READ);
    EXPECT_TRUE(machine().DebugContains("[PROTECT] tried to kill Target"));
    EXPECT_TRUE(ProtectEvents().empty());
    // Mask bit 0x1 admits code 17 (17 & 1).
    logType.Type(1);
    Send(logType);
    EXPECT_EQ(Open(attacker_, tool, kKillAndRead), (ACCESS_MASK)PROCESS_VM_READ);
    EXPECT_EQ(ProtectEvents().size(), 1u);
}

TEST_F(ProcessProtectTest, DeletedPidsAndNamesNoLongerProtect) {
    Protect(1);
    PEPROCESS a = Start(u"\\Device\\HarddiskVolume2\\Apps\\a.exe");
    PEPROCESS b = Start(u"\\Device\\HarddiskVolume2\\Apps\\b.exe");
    Command(SET_PROCESS_PROTECT_PID, Pid(a));
    Command(SET_PROCESS_PROTECT_PID, Pid(b));
    EXPECT_EQ(Open(attacker_, a, PROCESS_TERMINATE), 0u);
    Command(DEL_PROCESS_PROTECT_PID, Pid(a));
    EXPECT_EQ(Open(attacker_, a, PROCESS_TERMINATE), (ACCESS_MASK)PROCESS_TERMINATE);
    EXPECT_EQ(Open(attacker_, b, PROCESS_TERMINATE), 0u);
    Command(DEL_PROCESS_PROTECT_PID, 0);  // every id at once
    EXPECT_EQ(Open(attacker_, b, PROCESS_TERMINATE), (ACCESS_MASK)PROCESS_TERMINATE);

    ProtectName(u"b.exe");
    EXPECT_EQ(Open(attacker_, b, PROCESS_TERMINATE), 0u);
    RawMessage del(DEL_PROCESS_PROTECT_PROCESSNAME);
    del.UlType(KX_PROCESS_PROTECTED).Size(0);
    Send(del);
    EXPECT_EQ(Open(attacker_, b, PROCESS_TERMINATE), (ACCESS_MASK)PROCESS_TERMINATE);
}

TEST_F(ProcessProtectTest, ProcessIdsOf131072AndAbove) {
    Protect(1);
    PEPROCESS big = Start(u"\\Device\\HarddiskVolume2\\Apps\\big.exe", 200000);
    PEPROCESS bigCaller = Start(u"\\Device\\HarddiskVolume2\\Apps\\caller.exe", 131072);
    EXPECT_EQ(Open(bigCaller, big, PROCESS_TERMINATE), (ACCESS_MASK)PROCESS_TERMINATE);
    Command(SET_PROCESS_PROTECT_PID, 200000);
    DrainLog();
    EXPECT_EQ(Open(bigCaller, big, kKillAndRead), (ACCESS_MASK)PROCESS_VM_READ);
    std::vector<EVENT_RECORD> events = ProtectEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].a0, 200000u);
    EXPECT_EQ(events[0].a1, 131072u);
    Command(DEL_PROCESS_PROTECT_PID, 200000);
    EXPECT_EQ(Open(bigCaller, big, PROCESS_TERMINATE), (ACCESS_MASK)PROCESS_TERMINATE);
}

// ---------------------------------------------------------------- who is never restricted

TEST_F(ProcessProtectTest, TrustedCallersKernelHandlesAndSelfOpensAreUntouched) {
    Protect(1);
    PEPROCESS tool = Start(u"\\Device\\HarddiskVolume2\\Agent\\kx4grdputool.exe");
    for (const char16_t* trusted : {u"\\Device\\HarddiskVolume2\\Windows\\System32\\lsass.exe",
                                    u"\\Device\\HarddiskVolume2\\Windows\\System32\\LSA",
                                    u"\\Device\\HarddiskVolume2\\Windows\\System32\\svc",
                                    u"\\Device\\HarddiskVolume2\\Windows\\System32\\csrss.exe"}) {
        PEPROCESS caller = Start(trusted);
        EXPECT_EQ(Open(caller, tool, kKillAndRead), kKillAndRead) << winsim::Machine::Current().ProcessId(caller);
    }
    // An empty image name counts as trusted; the System process has one.
    EXPECT_EQ(Open(machine().SystemProcess(), tool, kKillAndRead), kKillAndRead);
    // Longer than the entry: not trusted.
    PEPROCESS bak = Start(u"\\Device\\HarddiskVolume2\\Temp\\lsass.exe.bak");
    EXPECT_EQ(Open(bak, tool, kKillAndRead), (ACCESS_MASK)PROCESS_VM_READ);
    EXPECT_EQ(ProtectEvents().size(), 1u);

    // Kernel handles.
    winsim::HandleOptions kernel;
    kernel.kernelHandle = true;
    EXPECT_EQ(Open(attacker_, tool, kKillAndRead, kernel), kKillAndRead);
    // The protected process opening itself or one of its own threads.
    EXPECT_EQ(Open(tool, tool, PROCESS_ALL_ACCESS), (ACCESS_MASK)PROCESS_ALL_ACCESS);
    PETHREAD own = machine().CreateThread(tool);
    EXPECT_EQ(OpenThread(tool, own, THREAD_ALL_ACCESS), (ACCESS_MASK)THREAD_ALL_ACCESS);
    // Above PASSIVE_LEVEL nothing is examined.
    winsim::HandleOptions apc;
    apc.irql = APC_LEVEL;
    EXPECT_EQ(Open(attacker_, tool, kKillAndRead, apc), kKillAndRead);
    EXPECT_TRUE(ProtectEvents().empty());
}

// ---------------------------------------------------------------- threads and duplicates

TEST_F(ProcessProtectTest, ThreadAndDuplicateMatrix) {
    Protect(1);
    PEPROCESS tool = Start(u"\\Device\\HarddiskVolume2\\Agent\\kx4grdputool.exe");
    PETHREAD thread = machine().CreateThread(tool);
    DrainLog();

    struct Case {
        const char* what;
        std::function<ACCESS_MASK(ACCESS_MASK)> op;
        ACCESS_MASK asked;
        ACCESS_MASK granted;
        bool event;
    };
    auto open = [&](ACCESS_MASK a) { return Open(attacker_, tool, a); };
    auto openThread = [&](ACCESS_MASK a) { return OpenThread(attacker_, thread, a); };
    auto dup = [&](ACCESS_MASK a) { return Duplicate(attacker_, tool, a); };
    auto dupThread = [&](ACCESS_MASK a) { return DuplicateThread(attacker_, thread, a); };
    const Case cases[] = {
        {"process create, terminate", open, PROCESS_TERMINATE | SYNCHRONIZE, SYNCHRONIZE, true},
        {"process create, suspend", open, PROCESS_SUSPEND_RESUME, 0, true},
        {"process create, query only", open, PROCESS_QUERY_LIMITED_INFORMATION, PROCESS_QUERY_LIMITED_INFORMATION,
         false},
        {"thread create, terminate", openThread, THREAD_TERMINATE | THREAD_GET_CONTEXT, THREAD_GET_CONTEXT, true},
        // Examined because suspending is what the thread type loses.
        {"thread create, suspend only", openThread, THREAD_SUSPEND_RESUME, 0, true},
        {"thread create, 0x800", openThread, THREAD_QUERY_LIMITED_INFORMATION, THREAD_QUERY_LIMITED_INFORMATION,
         true},
        {"thread create, context only", openThread, THREAD_GET_CONTEXT, THREAD_GET_CONTEXT, false},
        {"process duplicate, terminate", dup, PROCESS_TERMINATE | PROCESS_VM_READ, PROCESS_VM_READ, true},
        // Examined because suspending is what the process type loses.
        {"process duplicate, suspend only", dup, PROCESS_SUSPEND_RESUME, 0, true},
        // Examined by the duplicate mask: nothing to take, but the attempt is recorded.
        {"process duplicate, create thread", dup, PROCESS_CREATE_THREAD, PROCESS_CREATE_THREAD, true},
        {"process duplicate, read only", dup, PROCESS_VM_READ, PROCESS_VM_READ, false},
        {"thread duplicate, terminate and suspend", dupThread, THREAD_TERMINATE | THREAD_SUSPEND_RESUME, 0, true},
        {"thread duplicate, context only", dupThread, THREAD_GET_CONTEXT, THREAD_GET_CONTEXT, false},
    };
    for (const Case& c : cases) {
        machine().ClearDebugOutput();
        EXPECT_EQ(c.op(c.asked), c.granted) << c.what;
        std::vector<EVENT_RECORD> events = ProtectEvents();
        EXPECT_EQ(events.size(), c.event ? 1u : 0u) << c.what;
        EXPECT_EQ(machine().DebugContains("[PROTECT] tried to kill Target"), c.event) << c.what;
        if (!events.empty()) {
            EXPECT_EQ(events[0].a0, Pid(tool)) << c.what;
            EXPECT_EQ(events[0].a1, Pid(attacker_)) << c.what;
        }
    }
}

// ---------------------------------------------------------------- on, off, again

TEST_F(ProcessProtectTest, OffThenOnAgainReactivatesTheRegisteredCallbacks) {
    PEPROCESS tool = Start(u"\\Device\\HarddiskVolume2\\Agent\\kx4grdputool.exe");
    // Nothing registered yet: nothing is restricted.
    EXPECT_EQ(Open(attacker_, tool, PROCESS_TERMINATE), (ACCESS_MASK)PROCESS_TERMINATE);
    EXPECT_EQ(machine().ObCallbackRegistrations(), 0u);

    Protect(1);
    EXPECT_TRUE(machine().DebugContains("kx4grd:InstallProcessProtect: Sucess\n"));
    EXPECT_TRUE(machine().DebugContains("kx4grd:Kx4GrdMssageProc: SET_PROCESS_PROTECT(1)\n"));
    EXPECT_EQ(Open(attacker_, tool, PROCESS_TERMINATE), 0u);

    machine().ClearDebugOutput();
    Protect(0);
    EXPECT_TRUE(machine().DebugContains("kx4grd:Kx4GrdMssageProc: SET_PROCESS_PROTECT(0)\n"));
    EXPECT_EQ(machine().ObCallbackRegistrations(), 1u);  // still registered
    EXPECT_EQ(Open(attacker_, tool, PROCESS_TERMINATE), (ACCESS_MASK)PROCESS_TERMINATE);

    machine().ClearDebugOutput();
    Protect(1);
    EXPECT_TRUE(machine().DebugContains("kx4grd:InstallProcessProtect: OB callbacks already installed\n"));
    EXPECT_TRUE(machine().DebugContains("kx4grd:Kx4GrdMssageProc: SET_PROCESS_PROTECT(1)\n"));
    EXPECT_EQ(machine().ObCallbackRegistrations(), 1u);
    EXPECT_EQ(Open(attacker_, tool, PROCESS_TERMINATE), 0u);
}

TEST_F(ProcessProtectTest, FailedRegistrationLeavesProtectionOffAndTheNextCommandRetries) {
    PEPROCESS tool = Start(u"\\Device\\HarddiskVolume2\\Agent\\kx4grdputool.exe");
    machine().FailNthCall(winsim::FaultClass::Registration, 1);
    Protect(1);
    ASSERT_TRUE(machine().InjectedFaultHit());
    machine().ClearFaultInjection();
    EXPECT_TRUE(machine().DebugContains(
        "kx4grd:InstallProcessProtect: ObRegisterCallbacks: installing OB callbacks failed  status (c000009a)\n"));
    EXPECT_TRUE(machine().DebugContains("kx4grd:Kx4GrdMssageProc: SET_PROCESS_PROTECT(0)\n"));
    EXPECT_EQ(ReadNoFence(&ProcessProtectActive), 0);
    EXPECT_EQ(machine().ObCallbackRegistrations(), 0u);
    EXPECT_EQ(Open(attacker_, tool, PROCESS_TERMINATE), (ACCESS_MASK)PROCESS_TERMINATE);

    machine().ClearDebugOutput();
    Protect(1);
    EXPECT_TRUE(machine().DebugContains("kx4grd:InstallProcessProtect: Sucess\n"));
    EXPECT_TRUE(machine().DebugContains("kx4grd:Kx4GrdMssageProc: SET_PROCESS_PROTECT(1)\n"));
    EXPECT_EQ(Open(attacker_, tool, PROCESS_TERMINATE), 0u);
}

TEST_F(ProcessProtectTest, UnloadUnregistersAndAReloadStartsClean) {
    PEPROCESS tool = Start(u"\\Device\\HarddiskVolume2\\Agent\\kx4grdputool.exe");
    Protect(1);
    Unload();
    EXPECT_TRUE(machine().DebugContains("kx4grd:UnInstallProcessProtect: Sucess\n"));
    EXPECT_TRUE(machine().Verifier().Clean()) << machine().Verifier().ToString();
    EXPECT_EQ(machine().ObCallbackRegistrations(), 0u);
    uint64_t calls = machine().ObPreCallbacksRun();
    EXPECT_EQ(Open(attacker_, tool, PROCESS_TERMINATE), (ACCESS_MASK)PROCESS_TERMINATE);
    EXPECT_EQ(machine().ObPreCallbacksRun(), calls);

    ASSERT_EQ(machine().LoadDriver(kxtest::kServiceName, kxtest::kImageName), STATUS_SUCCESS);
    loaded_ = true;
    connection_ = Connect(agent_);
    ASSERT_NE(connection_, nullptr);
    // Not registered after the reload: protection is off until asked for, and
    // asking registers anew.
    EXPECT_EQ(Open(attacker_, tool, PROCESS_TERMINATE), (ACCESS_MASK)PROCESS_TERMINATE);
    machine().ClearDebugOutput();
    Protect(1);
    EXPECT_TRUE(machine().DebugContains("kx4grd:InstallProcessProtect: Sucess\n"));
    EXPECT_FALSE(machine().DebugContains("already installed"));
    EXPECT_EQ(Open(attacker_, tool, PROCESS_TERMINATE), 0u);
}

// ---------------------------------------------------------------- image names

TEST_F(ProcessProtectTest, ImageNamesOfProcessesById) {
    WCHAR path[KX_IMAGE_PATH_CHARS];
    WCHAR name[KX_IMAGE_PATH_CHARS];
    PEPROCESS p = Start(u"\\Device\\HarddiskVolume2\\Apps\\tool.exe");
    EXPECT_EQ(UGetProcessFullPathFromPid((HANDLE)(uintptr_t)Pid(p), path, sizeof path, name, sizeof name),
              STATUS_SUCCESS);
    EXPECT_EQ(kxtest::Text(path), u"\\Device\\HarddiskVolume2\\Apps\\tool.exe");
    EXPECT_EQ(kxtest::Text(name), u"tool.exe");

    // System: no image file, both empty.
    EXPECT_EQ(UGetProcessFullPathFromPid((HANDLE)4, path, sizeof path, name, sizeof name), STATUS_SUCCESS);
    EXPECT_EQ(kxtest::Text(path), u"");
    EXPECT_EQ(kxtest::Text(name), u"");

    // Cut at the buffer, terminated.
    std::u16string longName(300, u'x');
    PEPROCESS l = Start(u"\\Device\\HarddiskVolume2\\" + longName);
    EXPECT_EQ(UGetProcessFullPathFromPid((HANDLE)(uintptr_t)Pid(l), path, sizeof path, name, sizeof name),
              STATUS_SUCCESS);
    EXPECT_EQ(kxtest::Text(path).size(), 259u);
    EXPECT_EQ(kxtest::Text(name), longName.substr(0, 259));
    WCHAR small[5];
    EXPECT_EQ(UGetProcessFullPathFromPid((HANDLE)(uintptr_t)Pid(p), path, sizeof path, small, sizeof small),
              STATUS_SUCCESS);
    EXPECT_EQ(kxtest::Text(small), u"tool");

    // No such process: the buffers are left alone.
    path[0] = u'?';
    path[1] = 0;
    EXPECT_FALSE(NT_SUCCESS(UGetProcessFullPathFromPid((HANDLE)(uintptr_t)999996, path, sizeof path, name,
                                                       sizeof name)));
    EXPECT_EQ(kxtest::Text(path), u"?");

    // The image name cannot be had: both empty, its status returned.
    machine().FailNthCall(winsim::FaultClass::Allocation, 1);
    EXPECT_EQ(UGetProcessFullPathFromPid((HANDLE)(uintptr_t)Pid(p), path, sizeof path, name, sizeof name),
              STATUS_INSUFFICIENT_RESOURCES);
    machine().ClearFaultInjection();
    EXPECT_EQ(kxtest::Text(path), u"");
    EXPECT_EQ(kxtest::Text(name), u"");
}

TEST_F(ProcessProtectTest, AFailedCallerLookupLetsTheRequestPassAndSaysSo) {
    Protect(1);
    PEPROCESS tool = Start(u"\\Device\\HarddiskVolume2\\Agent\\kx4grdputool.exe");
    machine().FailNthCall(winsim::FaultClass::Allocation, 1);
    EXPECT_EQ(Open(attacker_, tool, PROCESS_TERMINATE), (ACCESS_MASK)PROCESS_TERMINATE);
    machine().ClearFaultInjection();
    EXPECT_TRUE(
        machine().DebugContains("kx4grd:PreOperationCallback: UGetProcessFullPathFromPid:: cur stats c000009a\n"));
    machine().FailNthCall(winsim::FaultClass::Allocation, 2);
    EXPECT_EQ(Open(attacker_, tool, PROCESS_TERMINATE), (ACCESS_MASK)PROCESS_TERMINATE);
    machine().ClearFaultInjection();
    EXPECT_TRUE(
        machine().DebugContains("kx4grd:PreOperationCallback: UGetProcessFullPathFromPid:: tag stats c000009a\n"));
}

}  // namespace
