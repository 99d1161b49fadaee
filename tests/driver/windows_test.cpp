// The start-up, unload and reconnect windows: a client acting at the exact moment
// the driver is half set up, half taken down, or between a disconnection and its
// effects. Each test steps into the window through a winsim test control.
#include "tests/support/driver_fixture.h"

using kxtest::RawMessage;

namespace {

constexpr ULONG kLargeId = 200000;  // beyond the bitmaps: lives in the large-id structure

PEPROCESS StartClient(winsim::Machine& m, const char16_t* image) {
    winsim::ProcessOptions o;
    o.imagePath = image;
    return m.StartProcess(o);
}

NTSTATUS SendRaw(winsim::Machine& m, winsim::PortConnection* c, RawMessage msg, void* out = nullptr,
                 uint32_t outLength = 0) {
    uint32_t returned = 0;
    return m.SendMessage(c, msg.data(), msg.size(), out, outLength, &returned);
}

// ---------------------------------------------------------------- start-up window

// A client that connects inside FltCreateCommunicationPort, before DriverEntry has
// gone any further, and sends its commands at once.
class StartupWindowTest : public kxtest::DriverTest {
protected:
    bool ConnectAgent() override { return false; }
    void BeforeLoad() override {
        earlyProcess_ = StartClient(machine(), u"\\Device\\HarddiskVolume2\\Agent\\early.exe");
        machine().OnPortCreated([this](const std::u16string& name) {
            EXPECT_EQ(name, KX4GRD_PORT_NAME);
            ASSERT_EQ(machine().ConnectPort(earlyProcess_, name, &early_), STATUS_SUCCESS);
            for (RawMessage& msg : commands_) {
                statuses_.push_back(SendRaw(machine(), early_, msg));
            }
        });
    }
    void TearDown() override {
        if (early_ != nullptr) {
            machine().ClosePort(early_);
        }
        kxtest::DriverTest::TearDown();
    }

    std::vector<RawMessage> commands_;
    std::vector<NTSTATUS> statuses_;
    PEPROCESS earlyProcess_ = nullptr;
    winsim::PortConnection* early_ = nullptr;
};

class StartupPolicyAndIds : public StartupWindowTest {
protected:
    void BeforeLoad() override {
        commands_.push_back(RawMessage(SET_POLICY).DeviceType(BDC_USB_DISK).PolicyState(DISABLE).Log(1));
        commands_.push_back(RawMessage(SET_PROCESS_PROTECT_PID).Value(kLargeId));
        commands_.push_back(RawMessage(SET_PROCESS_PROTECT_PID).Value(1000));
        StartupWindowTest::BeforeLoad();
    }
};

TEST_F(StartupPolicyAndIds, CommandsSentTheMomentThePortExistsTakeEffectAndStay) {
    ASSERT_NE(early_, nullptr) << "the port was never created";
    ASSERT_EQ(statuses_.size(), 3u);
    for (NTSTATUS s : statuses_) {
        EXPECT_EQ(s, STATUS_SUCCESS);
    }
    // Nothing that DriverEntry does after the port exists may undo them.
    EXPECT_EQ(GetDevicePolicyState(BDC_USB_DISK), (ULONG)DISABLE);
    EXPECT_EQ(GetDevicePolicyLog(BDC_USB_DISK), 1u);
    EXPECT_EQ(PgIsProtectPid(kLargeId), 64u);
    EXPECT_EQ(PgIsProtectPid(1000), 64u);
    EXPECT_EQ(Globals.ControlProcess, earlyProcess_);
}

class StartupClearAndRemovals : public StartupWindowTest {
protected:
    void BeforeLoad() override {
        commands_.push_back(RawMessage(CLEAR));
        commands_.push_back(RawMessage(DEL_PROCESS_PROTECT_PID).Value(0));
        commands_.push_back(RawMessage(DEL_PROCESS_PROTECT_PID).Value(kLargeId));
        commands_.push_back(RawMessage(SET_POLICY).DeviceType(BDC_CDROM).PolicyState(READONLY).Log(1));
        StartupWindowTest::BeforeLoad();
    }
};

TEST_F(StartupClearAndRemovals, ClearAndIdRemovalsWorkOnTablesThatAlreadyExist) {
    ASSERT_NE(early_, nullptr);
    ASSERT_EQ(statuses_.size(), 4u);
    for (NTSTATUS s : statuses_) {
        EXPECT_EQ(s, STATUS_SUCCESS);
    }
    EXPECT_EQ(GetDevicePolicyState(BDC_CDROM), (ULONG)READONLY);
    for (ULONG id : {0u, 4u, 8u}) {
        EXPECT_EQ(PgGetPidState(id), 1u);
    }
    // The early client stays usable once the driver has finished loading.
    EXPECT_EQ(SendRaw(machine(), early_, RawMessage(SET_PROCESS_PROTECT_PID).Value(kLargeId + 4)), STATUS_SUCCESS);
    EXPECT_EQ(PgIsProtectPid(kLargeId + 4), 64u);
}

class StartupEventLog : public StartupWindowTest {
protected:
    void BeforeLoad() override {
        earlyProcess_ = StartClient(machine(), u"\\Device\\HarddiskVolume2\\Agent\\early.exe");
        machine().OnPortCreated([this](const std::u16string& name) {
            ASSERT_EQ(machine().ConnectPort(earlyProcess_, name, &early_), STATUS_SUCCESS);
            produced_ = SetLog(nullptr, nullptr, LOG_PROCESS, 7, 0, 0, u"\\x\\a.exe", u"\\x\\a.exe");
        });
    }
    NTSTATUS produced_ = STATUS_PENDING;
};

TEST_F(StartupEventLog, LogExistsBeforeAnyClientCanDrainIt) {
    ASSERT_NE(early_, nullptr);
    EXPECT_EQ(produced_, STATUS_SUCCESS);
    std::vector<uint8_t> out(8 + 2280);
    uint32_t returned = 0;
    RawMessage get(GET_LOG);
    ASSERT_EQ(machine().SendMessage(early_, get.data(), get.size(), out.data(), (uint32_t)out.size(), &returned),
              STATUS_SUCCESS);
    ASSERT_EQ(kxtest::ReplyCount(out), 1u);
    EXPECT_EQ(kxtest::RecordAt(out, 0).a0, 7u);
}

// A load that fails after the port existed, with a client already connected and
// state already changed through it, leaves nothing behind; a load that survives
// the failure unloads clean.
TEST(StartupWindowFaults, EveryFailurePointWithAnEarlyClientLeavesTheMachineClean) {
    for (unsigned n = 1; n < 50; ++n) {
        SCOPED_TRACE(n);
        winsim::Machine& m = winsim::Machine::Boot();
        m.RegisterDriverImage(kxtest::kImageName, DriverEntry);
        winsim::PortConnection* early = nullptr;
        PEPROCESS p = StartClient(m, u"\\Device\\HarddiskVolume2\\Agent\\early.exe");
        m.OnPortCreated([&](const std::u16string& name) {
            if (NT_SUCCESS(m.ConnectPort(p, name, &early))) {
                EXPECT_EQ(SendRaw(m, early, RawMessage(SET_PROCESS_PROTECT_PID).Value(kLargeId)), STATUS_SUCCESS);
                EXPECT_EQ(SendRaw(m, early, RawMessage(START)), STATUS_SUCCESS);
            }
        });
        m.FailNthCall(winsim::FaultClass::Registration, n);
        NTSTATUS status = m.LoadDriver(kxtest::kServiceName, kxtest::kImageName);
        const bool hit = m.InjectedFaultHit();
        m.ClearFaultInjection();
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(m.UnloadDriver(kxtest::kServiceName), STATUS_SUCCESS);
        } else {
            EXPECT_FALSE(m.IsDriverLoaded(kxtest::kServiceName));
        }
        if (early != nullptr) {
            EXPECT_EQ(SendRaw(m, early, RawMessage(START)), STATUS_PORT_DISCONNECTED);
            m.ClosePort(early);
        }
        winsim::VerifierReport report = m.Verifier();
        EXPECT_TRUE(report.Clean()) << report.ToString();
        winsim::Machine::Shutdown();
        if (!hit) {
            EXPECT_TRUE(NT_SUCCESS(status));
            return;
        }
    }
    FAIL() << "loading never got past fault injection";
}

// ---------------------------------------------------------------- unload window

class UnloadWindowTest : public kxtest::DriverTest {};

TEST_F(UnloadWindowTest, NoMessageReachesTheDriverWhileItIsTakenDown) {
    ASSERT_EQ(SendRaw(machine(), connection_, RawMessage(START)), STATUS_SUCCESS);
    SetLog(nullptr, nullptr, LOG_PROCESS, 1, 0, 0, u"\\x\\a.exe", u"\\x\\a.exe");
    std::vector<uint8_t> out(8 + 4 * 2280);
    NTSTATUS duringLog = STATUS_PENDING, duringIds = STATUS_PENDING;
    // The client has not closed its handle: it keeps sending while the event log
    // and the id tables are being emptied.
    machine().OnDebugLine("kx4grd:Cleanuplog: success", [&] {
        duringLog = SendRaw(machine(), connection_, RawMessage(GET_LOG), out.data(), (uint32_t)out.size());
        duringIds = SendRaw(machine(), connection_, RawMessage(SET_PROCESS_PROTECT_PID).Value(kLargeId));
    });
    ASSERT_EQ(machine().UnloadDriver(kxtest::kServiceName), STATUS_SUCCESS);
    loaded_ = false;
    EXPECT_EQ(duringLog, STATUS_PORT_DISCONNECTED);
    EXPECT_EQ(duringIds, STATUS_PORT_DISCONNECTED);
    EXPECT_EQ(machine().PoolAllocations(KX_TAG_PID), 0u);
    EXPECT_EQ(machine().PortConnectionCount(KX4GRD_PORT_NAME), 0u);
    // The client's own close afterwards is harmless.
    machine().ClosePort(connection_);
    connection_ = nullptr;
}

TEST_F(UnloadWindowTest, EveryClientIsDisconnectedBeforeTheSwitchesAreCleared) {
    winsim::PortConnection* second = Connect(StartClient(machine(), u"\\Device\\HarddiskVolume2\\t\\console.exe"));
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(SendRaw(machine(), connection_, RawMessage(START)), STATUS_SUCCESS);
    NTSTATUS first = STATUS_PENDING, other = STATUS_PENDING;
    // "Entered" is printed before anything is closed; the next unload step prints
    // nothing, so the check runs when the log is emptied.
    machine().OnDebugLine("kx4grd:Cleanuplog: success", [&] {
        first = SendRaw(machine(), connection_, RawMessage(START));
        other = SendRaw(machine(), second, RawMessage(START));
    });
    ASSERT_EQ(machine().UnloadDriver(kxtest::kServiceName), STATUS_SUCCESS);
    loaded_ = false;
    EXPECT_EQ(first, STATUS_PORT_DISCONNECTED);
    EXPECT_EQ(other, STATUS_PORT_DISCONNECTED);
    EXPECT_EQ(Globals.Started, 0);
    EXPECT_EQ(machine().PoolAllocations(KX_TAG_CONNECTION), 0u);
}

// ---------------------------------------------------------------- reconnect window

class ReconnectWindowTest : public kxtest::DriverTest {
protected:
    bool ConnectAgent() override { return false; }
};

TEST_F(ReconnectWindowTest, AgentReconnectingWhileTheLastClientLeavesKeepsStartAndControl) {
    connection_ = Connect(agent_);
    ASSERT_NE(connection_, nullptr);
    ASSERT_EQ(SendRaw(machine(), connection_, RawMessage(START)), STATUS_SUCCESS);
    winsim::PortConnection* again = nullptr;
    NTSTATUS startAgain = STATUS_PENDING;
    // The agent restarts: its new connection and START arrive while the old
    // connection's disconnection is still running.
    machine().OnDebugLine("kx4grd:Kx4GrdPortDisconnect: disconnected", [&] {
        ASSERT_EQ(machine().ConnectPort(agent_, KX4GRD_PORT_NAME, &again), STATUS_SUCCESS);
        startAgain = SendRaw(machine(), again, RawMessage(START));
    });
    Disconnect(connection_);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(startAgain, STATUS_SUCCESS);
    EXPECT_EQ(Globals.Started, 1);
    EXPECT_EQ(Globals.ControlProcess, agent_);
    connection_ = again;  // closed by the fixture
    Disconnect(connection_);
    EXPECT_EQ(Globals.Started, 0);
    EXPECT_EQ(Globals.ControlProcess, nullptr);
}

TEST_F(ReconnectWindowTest, ClientArrivingWhileTheFirstIsStillConnectingNeverTakesControl) {
    PEPROCESS second = StartClient(machine(), u"\\Device\\HarddiskVolume2\\t\\console.exe");
    winsim::PortConnection* late = nullptr;
    machine().OnDebugLine("kx4grd:Kx4GrdPortConnect: connected", [&] {
        ASSERT_EQ(machine().ConnectPort(second, KX4GRD_PORT_NAME, &late), STATUS_SUCCESS);
    });
    connection_ = Connect(agent_);
    ASSERT_NE(late, nullptr);
    // The agent's connection was accepted first: the second client must not take
    // control over from it.
    EXPECT_EQ(Globals.ControlProcess, agent_);
    machine().ClosePort(late);
    EXPECT_EQ(Globals.ControlProcess, agent_);
}

}  // namespace
