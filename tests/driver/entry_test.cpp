// Driver entry, the service parameters, unload and the process helpers.
#include "tests/support/driver_fixture.h"

using kxtest::RawMessage;

namespace {

class EntryTest : public kxtest::DriverTest {
protected:
    bool ConnectAgent() override { return false; }
};

TEST_F(EntryTest, StartsInOrderWithDefaults) {
    const std::string text = machine().DebugText();
    const size_t entered = text.find("kx4grd:DriverEntry: Entered\n");
    const std::u16string key = kxtest::kServiceKey;
    const size_t regPath =
        text.find("kx4grd:DriverEntry: RegPath(\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kx4grd)(" +
                  std::to_string(key.size() * 2) + ")\n");
    const size_t level = text.find("kx4grd:DriverEntry: DebugLevel(2)\n");
    const size_t offset = text.find("kx4grd:USetProcessNameOffset: offset(5a8)\n");
    const size_t success = text.find("kx4grd:DriverEntry: Success\n");
    ASSERT_NE(entered, std::string::npos) << text;
    ASSERT_NE(regPath, std::string::npos) << text;
    ASSERT_NE(level, std::string::npos);
    ASSERT_NE(offset, std::string::npos);
    ASSERT_NE(success, std::string::npos);
    EXPECT_LT(entered, regPath);
    EXPECT_LT(regPath, level);
    EXPECT_LT(level, offset);
    EXPECT_LT(offset, success);

    EXPECT_EQ(DebugLevel, 2);
    EXPECT_EQ(Globals.LogType, 255);
    EXPECT_EQ(Globals.Started, 0);
    EXPECT_EQ(Globals.ProcessCreateLog, 0u);
    EXPECT_NE(Globals.FilterHandle, nullptr);
    EXPECT_NE(Globals.ServerPort, nullptr);
    EXPECT_EQ(Globals.DriverObject, machine().DriverObject(kxtest::kServiceName));
    EXPECT_EQ(ProcessNameOffset, winsim::Machine::kProcessNameOffset);
    for (ULONG id : {0u, 4u, 8u}) {
        EXPECT_EQ(PgGetPidState(id), 1u);
    }
    for (ULONG i = 0; i < 31; ++i) {
        EXPECT_EQ(GetDevicePolicyState(i), 0u);
    }
}

class ParametersTest : public kxtest::DriverTest {
protected:
    bool ConnectAgent() override { return false; }
    void BeforeLoad() override {
        machine().RegSetDword(kxtest::kParametersKey, u"ProcessCreate", 1);
        machine().RegSetDword(kxtest::kParametersKey, u"DebugLevel", 0x3);
    }
};

TEST_F(ParametersTest, ProcessCreateIsReadAndDebugLevelEndsAtTwo) {
    EXPECT_EQ(Globals.ProcessCreateLog, 1u);
    EXPECT_EQ(DebugLevel, 2);
}

class ParametersWithoutDriverKeyRoutineTest : public ParametersTest {
protected:
    void BeforeLoad() override {
        ParametersTest::BeforeLoad();
        machine().HideSystemRoutine(u"IoOpenDriverRegistryKey");
    }
};

TEST_F(ParametersWithoutDriverKeyRoutineTest, ServiceKeyIsOpenedByPath) {
    EXPECT_EQ(Globals.ProcessCreateLog, 1u);
}

class OversizedParameterTest : public kxtest::DriverTest {
protected:
    bool ConnectAgent() override { return false; }
    void BeforeLoad() override {
        machine().RegSetBinary(kxtest::kParametersKey, u"ProcessCreate", std::vector<uint8_t>(16, 1));
    }
};

TEST_F(OversizedParameterTest, ValueThatDoesNotFitLeavesTheDefault) { EXPECT_EQ(Globals.ProcessCreateLog, 0u); }

class ProcessTrackingTest : public kxtest::DriverTest {
protected:
    void BeforeLoad() override { machine().RegSetDword(kxtest::kParametersKey, u"ProcessCreate", 1); }

    std::vector<uint8_t> Drain() {
        std::vector<uint8_t> out(8 + 16 * 2280);
        RawMessage msg(GET_LOG);
        kxtest::Reply reply = Send(msg, out.data(), (uint32_t)out.size());
        if (reply.status != STATUS_SUCCESS) {
            out.assign(8, 0);
        }
        return out;
    }
};

TEST_F(ProcessTrackingTest, StartsAndEndsAreRecordedOnlyWhileStarted) {
    winsim::ProcessOptions opts;
    opts.imagePath = u"\\Device\\HarddiskVolume2\\Windows\\notepad.exe";
    PEPROCESS before = machine().StartProcess(opts);
    EXPECT_EQ(kxtest::ReplyCount(Drain()), 0u);

    RawMessage start(START);
    Send(start);
    PEPROCESS p = machine().StartProcess(opts);
    const ULONG pid = machine().ProcessId(p);
    machine().ExitProcess(p);
    machine().ExitProcess(before);  // started before START: no end record either

    std::vector<uint8_t> out = Drain();
    ASSERT_EQ(kxtest::ReplyCount(out), 2u);
    EVENT_RECORD created = kxtest::RecordAt(out, 0);
    EXPECT_EQ(created.code, (ULONG)LOG_PROCESS);
    EXPECT_EQ(created.a0, 1u);
    EXPECT_EQ(kxtest::Text(created.name), u"notepad.exe");
    EXPECT_EQ(kxtest::Text(created.path), opts.imagePath);
    EVENT_RECORD ended = kxtest::RecordAt(out, 1);
    EXPECT_EQ(ended.a0, 0u);
    EXPECT_EQ(kxtest::Text(ended.name), u"notepad.exe");
    EXPECT_TRUE(machine().DebugContains("kx4grd:CreateProcessNotifyEx: CREATE pid(" + std::to_string(pid) +
                                        "), (\\Device\\HarddiskVolume2\\Windows\\notepad.exe)\n"));
    EXPECT_TRUE(machine().DebugContains("TERMINATE pid(" + std::to_string(pid) + "), (notepad.exe)\n"));
}

TEST_F(EntryTest, WithoutProcessCreateNothingIsRecorded) {
    connection_ = Connect(agent_);
    RawMessage start(START);
    Send(start);
    winsim::ProcessOptions opts;
    opts.imagePath = u"\\Device\\HarddiskVolume2\\Windows\\notepad.exe";
    PEPROCESS p = machine().StartProcess(opts);
    machine().ExitProcess(p);
    EXPECT_EQ(KxLogCount(), 0u);
}

TEST_F(EntryTest, AutomationExcelIsTrustedAndEndsClean) {
    connection_ = Connect(agent_);
    RawMessage start(START);
    Send(start);
    winsim::ProcessOptions excel;
    excel.imagePath = u"\\Device\\HarddiskVolume2\\Office\\EXCEL.EXE";
    excel.commandLine = u"\"C:\\Program Files\\Microsoft Office\\EXCEL.EXE\" /automation -Embedding";
    PEPROCESS p = machine().StartProcess(excel);
    const ULONG pid = machine().ProcessId(p);
    EXPECT_EQ(PgGetPidState(pid), 1u);

    winsim::ProcessOptions lower = excel;
    lower.commandLine = u"\"C:\\Program Files\\Microsoft Office\\excel.exe\" /automation -Embedding";
    PEPROCESS q = machine().StartProcess(lower);
    EXPECT_EQ(PgGetPidState(machine().ProcessId(q)), 0u);

    PgAddPid(pid, 64);
    machine().ExitProcess(p);
    EXPECT_EQ(PgGetPidState(pid), 0u);
    EXPECT_EQ(PgIsProtectPid(pid), 0u);
}

TEST_F(EntryTest, ShortNameAndImagePathOfTheCurrentProcess) {
    winsim::ProcessOptions opts;
    opts.pid = 12;
    opts.imagePath = u"\\Device\\HarddiskVolume2\\Program Files\\Very Long Application Name.exe";
    PEPROCESS p = machine().StartProcess(opts);
    machine().RunAs(p, [&] {
        CHAR name[17];
        std::memset(name, 'x', sizeof(name));
        ASSERT_TRUE(GetCurrentProcessShortName(name));
        EXPECT_STREQ(name, "Very Long Appli");

        UNICODE_STRING path{};
        ASSERT_EQ(GetCurrentProcessImagePath((HANDLE)12, &path), STATUS_SUCCESS);
        EXPECT_EQ(std::u16string(path.Buffer, path.Length / 2), opts.imagePath);
        EXPECT_EQ(path.Buffer[path.Length / 2], 0);
        EXPECT_EQ(KxFreeUnicodeString(&path), STATUS_SUCCESS);
        EXPECT_EQ(KxFreeUnicodeString(&path), STATUS_INVALID_PARAMETER);

        for (ULONG system : {0u, 4u, 8u}) {
            EXPECT_EQ(GetCurrentProcessImagePath((HANDLE)(ULONG_PTR)system, &path), STATUS_UNSUCCESSFUL);
        }
    });
    EXPECT_EQ(machine().PoolAllocations(KX_TAG_STRING), 0u);
}

TEST_F(EntryTest, CountedStringCopyNeedsRoomBeyondTheText) {
    UNICODE_STRING src;
    RtlInitUnicodeString(&src, u"abcd");  // 8 bytes
    UNICODE_STRING dst{};
    ASSERT_EQ(KxAllocateUnicodeString(&dst, 10), STATUS_SUCCESS);
    EXPECT_EQ(KxCopyUnicodeString(&dst, &src), STATUS_INSUFFICIENT_RESOURCES);
    KxFreeUnicodeString(&dst);
    ASSERT_EQ(KxAllocateUnicodeString(&dst, 12), STATUS_SUCCESS);
    EXPECT_EQ(KxCopyUnicodeString(&dst, &src), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(dst.Buffer), u"abcd");
    KxFreeUnicodeString(&dst);
}

class ScrubbedSystemTest : public kxtest::DriverTest {
protected:
    bool ConnectAgent() override { return false; }
    void BeforeLoad() override { machine().ScrubProcessObject(machine().SystemProcess()); }
};

TEST_F(ScrubbedSystemTest, NoSystemTextLeavesTheOffsetUnknown) {
    EXPECT_EQ(ProcessNameOffset, 0u);
    EXPECT_TRUE(machine().DebugContains("offset(0)"));
    CHAR name[17] = "unchanged";
    EXPECT_FALSE(GetCurrentProcessShortName(name));
    EXPECT_STREQ(name, "unchanged");
}

class ImagePathWithoutQueryRoutineTest : public kxtest::DriverTest {
protected:
    bool ConnectAgent() override { return false; }
    void BeforeLoad() override { machine().HideSystemRoutine(u"ZwQueryInformationProcess"); }
};

TEST_F(ImagePathWithoutQueryRoutineTest, ImagePathIsUnavailable) {
    winsim::ProcessOptions opts;
    opts.imagePath = u"\\Device\\HarddiskVolume2\\a.exe";
    PEPROCESS p = machine().StartProcess(opts);
    machine().RunAs(p, [&] {
        UNICODE_STRING path{};
        EXPECT_EQ(GetCurrentProcessImagePath(PsGetCurrentProcessId(), &path), STATUS_UNSUCCESSFUL);
    });
}

TEST_F(EntryTest, UnloadTakesEverythingDown) {
    connection_ = Connect(agent_);
    RawMessage start(START);
    Send(start);
    SetLog(nullptr, nullptr, LOG_PROCESS, 0, 0, 0, u"a.exe", u"\\a.exe");
    PgAddPid(300000, 64);
    machine().ClearDebugOutput();
    Unload();
    EXPECT_TRUE(machine().DebugContains("kx4grd:Kx4GrdUnload:  Entered\n"));
    EXPECT_TRUE(machine().DebugContains("kx4grd:Cleanuplog: success\n"));
    EXPECT_EQ(Globals.Started, 0);
    EXPECT_EQ(Globals.FilterHandle, nullptr);
    EXPECT_EQ(Globals.ServerPort, nullptr);
    EXPECT_FALSE(machine().IsDriverLoaded(kxtest::kServiceName));
}

TEST_F(EntryTest, UnloadWithoutAPortStillUnregisters) {
    FltCloseCommunicationPort(Globals.ServerPort);
    Globals.ServerPort = nullptr;
    Unload();
    EXPECT_FALSE(machine().IsDriverLoaded(kxtest::kServiceName));
}

// Every failable call made while loading fails once, in turn: a load that fails
// leaves nothing behind, and one that survives a failure still unloads clean.
TEST(EntryFaultInjection, EveryFailurePointLeavesTheMachineClean) {
    for (unsigned n = 1; n < 200; ++n) {
        SCOPED_TRACE(n);
        winsim::Machine& m = winsim::Machine::Boot();
        m.RegisterDriverImage(kxtest::kImageName, DriverEntry);
        m.FailNthCall(winsim::FaultClass::Any, n);
        NTSTATUS status = m.LoadDriver(kxtest::kServiceName, kxtest::kImageName);
        const bool hit = m.InjectedFaultHit();
        m.ClearFaultInjection();
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(m.UnloadDriver(kxtest::kServiceName), STATUS_SUCCESS);
        } else {
            EXPECT_FALSE(m.IsDriverLoaded(kxtest::kServiceName));
            winsim::PortConnection* c = nullptr;
            EXPECT_FALSE(NT_SUCCESS(m.ConnectPort(m.SystemProcess(), KX4GRD_PORT_NAME, &c)));
        }
        winsim::VerifierReport report = m.Verifier();
        EXPECT_TRUE(report.Clean()) << report.ToString();
        winsim::Machine::Shutdown();
        if (!hit) {
            EXPECT_TRUE(NT_SUCCESS(status));
            return;  // past the last failable call of a load
        }
    }
    FAIL() << "loading never got past fault injection";
}

TEST(EntryFaultInjection, FailedProcessRegistrationIsReportedNotFatal) {
    bool sawFailure = false;
    for (unsigned n = 1; n < 20 && !sawFailure; ++n) {
        winsim::Machine& machine = winsim::Machine::Boot();
        machine.RegisterDriverImage(kxtest::kImageName, DriverEntry);
        machine.FailNthCall(winsim::FaultClass::Registration, n);
        if (machine.LoadDriver(kxtest::kServiceName, kxtest::kImageName) == STATUS_SUCCESS &&
            machine.InjectedFaultHit()) {
            // The only registration a load survives is the process-creation one.
            EXPECT_FALSE(NT_SUCCESS(GetProcessNotifyStatus()));
            sawFailure = true;
            EXPECT_EQ(machine.UnloadDriver(kxtest::kServiceName), STATUS_SUCCESS);
        } else if (machine.IsDriverLoaded(kxtest::kServiceName)) {
            EXPECT_EQ(machine.UnloadDriver(kxtest::kServiceName), STATUS_SUCCESS);
        }
        EXPECT_TRUE(machine.Verifier().Clean()) << machine.Verifier().ToString();
        winsim::Machine::Shutdown();
    }
    EXPECT_TRUE(sawFailure);
}

}  // namespace
