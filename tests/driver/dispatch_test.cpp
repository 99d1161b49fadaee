// The command dispatcher driven through the simulated port with raw messages.
#include <array>

#include "tests/support/driver_fixture.h"

using kxtest::RawMessage;
using kxtest::Reply;

namespace {

// Everything a command can change, to prove that a command changed nothing.
struct DriverSnapshot {
    LONG started, logType, folder, device, share, debug;
    PEPROCESS control;
    std::array<ULONG, 62> policy;
    std::array<ULONG, 6> pids;
    ULONG logCount;

    static DriverSnapshot Take() {
        DriverSnapshot s{};
        s.started = Globals.Started;
        s.logType = Globals.LogType;
        s.folder = Globals.FolderProtect;
        s.device = Globals.DeviceProtect;
        s.share = Globals.ShareFolderWatch;
        s.debug = DebugLevel;
        s.control = Globals.ControlProcess;
        for (ULONG i = 0; i < 31; ++i) {
            s.policy[2 * i] = GetDevicePolicyState(i);
            s.policy[2 * i + 1] = GetDevicePolicyLog(i);
        }
        const ULONG ids[] = {0, 4, 1000, 2000, 200000, 4000};
        for (size_t i = 0; i < 6; ++i) {
            s.pids[i] = PgGetPidState(ids[i]) | PgIsProtectPid(ids[i]);
        }
        s.logCount = KxLogCount();
        return s;
    }
    bool operator==(const DriverSnapshot&) const = default;
};

class DispatchTest : public kxtest::DriverTest {
protected:
    // A driver in a non-default state, so that "nothing changed" means something.
    void Prime() {
        RawMessage policy(SET_POLICY);
        policy.DeviceType(BDC_USB_DISK).PolicyState(READONLY).Log(1);
        ASSERT_EQ(Send(policy).status, STATUS_SUCCESS);
        RawMessage protect(SET_PROCESS_PROTECT_PID);
        protect.Value(2000).Type(64);
        ASSERT_EQ(Send(protect).status, STATUS_SUCCESS);
        PgAddPid(1000, 2);
        RawMessage folder(START_FOLDER_PROTECT);
        folder.State(1);
        ASSERT_EQ(Send(folder).status, STATUS_SUCCESS);
        SetLog(nullptr, nullptr, LOG_PROCESS, 1, 0, 0, u"\\x\\a.exe", u"\\x\\a.exe");
        machine().ClearDebugOutput();
    }
};

TEST_F(DispatchTest, NumbersWithoutActionChangeNothingAndPrintNothing) {
    Prime();
    const uint64_t inert[] = {0,  10, 11, 12, 13, 18, 20, 21, 22, 24, 37, 38, 39, 40, 100,
                              (1ull << 32) + START, (1ull << 32) + CLEAR, ~0ull};
    for (uint64_t command : inert) {
        SCOPED_TRACE(command);
        DriverSnapshot before = DriverSnapshot::Take();
        RawMessage msg(command);
        // Fill every field so a stray case would have something to act on.
        msg.Value(2000).Type(9).State(1).DeviceType(3).PolicyState(1).Log(1).UlType(4).Text(u"\\Device\\X");
        uint8_t out[16];
        std::memset(out, 0xAB, sizeof(out));
        Reply reply = Send(msg, out, sizeof(out));
        EXPECT_EQ(reply.status, STATUS_SUCCESS);
        EXPECT_EQ(reply.bytesReturned, 0u);
        EXPECT_TRUE(DriverSnapshot::Take() == before);
        EXPECT_EQ(out[0], 0xAB);
        EXPECT_TRUE(machine().DebugOutput().empty()) << machine().DebugText();
    }
}

// Every command number from 0 to 40 answers success with an empty reply and prints
// exactly its trace (or nothing), with the default debug level.
TEST_F(DispatchTest, EveryCommandNumberAnswersAndTraces) {
    struct Case {
        uint64_t id;
        const char* trace;  // nullptr: prints nothing
    };
    const Case cases[] = {
        {0, nullptr},
        {START, "kx4grd:Kx4GrdMssageProc: START\n"},
        {STOP, "kx4grd:Kx4GrdMssageProc: STOP\n"},
        {CLEAR, "kx4grd:Kx4GrdMssageProc: CLEAR\n"},
        {SET_POLICY, "kx4grd:Kx4GrdMssageProc: SET_POLICY, devicetype(3), state(1), log(1)\n"},
        {SET_PATH, "kx4grd:Kx4GrdMssageProc: SET_PATH(4)(\\Device\\X)(18)\n"},
        {DEL_PATH, nullptr},
        {SET_PROCESSNAME, "kx4grd:Kx4GrdMssageProc: SET_PROCESSNAME(4)(\\Device\\X)(18)\n"},
        {SET_FILENAME, "kx4grd:Kx4GrdMssageProc: SET_FILENAME(4)(\\Device\\X)(18)\n"},
        {10, nullptr},
        {11, nullptr},
        {SET_PID, nullptr},
        {REMOVE_PID, nullptr},
        {START_FOLDER_PROTECT, "kx4grd:Kx4GrdMssageProc: START_FOLDER_PROTECT(1)\n"},
        {START_IS_SHARE_FOLDER_WATCHE, "kx4grd:Kx4GrdMssageProc: START_IS_SHARE_FOLDER_WATCHE(1)\n"},
        {START_DEVICE_PROTECT, "kx4grd:Kx4GrdMssageProc: START_DEVICE_PROTECT(1)\n"},
        {18, nullptr},
        {SET_DEBUG_LEVEL, nullptr},  // value 0 silences even its own trace
        {SET_DELETE_FILE, nullptr},
        {SET_TERMINATE_PROCESS, nullptr},
        {22, nullptr},
        {DEL_PROCESSNAME, "kx4grd:Kx4GrdMssageProc: DEL_PROCESSNAME(4)(\\Device\\X)(18)\n"},
        {24, nullptr},
        {SET_HOOK, "kx4grd:Kx4GrdMssageProc: SET_HOOK(9)(1)\n"},
        {SET_REG_PROTECT, "kx4grd:Kx4GrdMssageProc: SET_REG_PROTECT(1)\n"},
        {SET_REG_KEY, "kx4grd:Kx4GrdMssageProc: SET_REG_KEY(\\Device\\X)\n"},
        {DEL_REG_KEY, "kx4grd:Kx4GrdMssageProc: DEL_REG_KEY(\\DEVICE\\X)\n"},
        {SET_PROCESS_PROTECT, "kx4grd:Kx4GrdMssageProc: SET_PROCESS_PROTECT(1)\n"},
        {SET_PROCESS_PROTECT_PID, "kx4grd:Kx4GrdMssageProc: SET_PROCESS_PROTECT_PID(2000)\n"},
        {DEL_PROCESS_PROTECT_PID, "kx4grd:Kx4GrdMssageProc: DEL_PROCESS_PROTECT_PID(2000)\n"},
        {SET_PROCESS_PROTECT_PROCESSNAME, "kx4grd:Kx4GrdMssageProc: SET_PROCESS_PROTECT_PROCESSNAME(\\Device\\X)(18)\n"},
        {DEL_PROCESS_PROTECT_PROCESSNAME, "kx4grd:Kx4GrdMssageProc: DEL_PROCESS_PROTECT_PROCESSNAME(\\Device\\X)(18)\n"},
        {SET_USB_DISK_EXCEPT, "kx4grd:Kx4GrdMssageProc: SET_USB_DISK_EXCEPT, (STATE_DEL), vid(), pid()()\n"},
        {SET_USB_PORT_EXCEPT, "kx4grd:Kx4GrdMssageProc: SET_USB_PORT_EXCEPT, (STATE_DEL), vid(0), pid(0), serial()\n"},
        {SET_LOG_TYPE, "kx4grd:Kx4GrdMssageProc: SET_LOG_TYPE(9)\n"},
        {37, nullptr},
        {38, nullptr},
        {39, nullptr},
        {40, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        WriteNoFence(&DebugLevel, KX_DBG_INFO);
        machine().ClearDebugOutput();
        RawMessage msg(c.id);
        msg.Value(c.id == SET_DEBUG_LEVEL ? 0 : 2000).Type(9).State(1).DeviceType(3).PolicyState(1).Log(1).UlType(4);
        if (c.id != SET_USB_DISK_EXCEPT && c.id != SET_USB_PORT_EXCEPT) {
            msg.Text(u"\\Device\\X");
        }
        Reply reply = Send(msg);
        EXPECT_EQ(reply.status, STATUS_SUCCESS);
        EXPECT_EQ(reply.bytesReturned, 0u);
        // Trace lines of the helpers the command calls (PgAddPid and the like) may
        // follow; the command's own line must be there, and a silent one prints
        // nothing at all.
        if (c.trace == nullptr) {
            EXPECT_EQ(machine().DebugText(), "");
        } else {
            EXPECT_EQ(machine().DebugCount(c.trace), 1u) << machine().DebugText();
        }
    }
}

TEST_F(DispatchTest, HighHalfOfCommandCounts) {
    RawMessage msg((1ull << 32) + START);
    EXPECT_EQ(Send(msg).status, STATUS_SUCCESS);
    EXPECT_EQ(Globals.Started, 0);
    RawMessage start(START);
    EXPECT_EQ(Send(start).status, STATUS_SUCCESS);
    EXPECT_EQ(Globals.Started, 1);
    RawMessage stop(STOP);
    EXPECT_EQ(Send(stop).status, STATUS_SUCCESS);
    EXPECT_EQ(Globals.Started, 0);
}

TEST_F(DispatchTest, SwitchesStoreAnyNonZeroStateAsOn) {
    struct Switch {
        uint64_t command;
        volatile LONG* value;
        const char* trace;
    };
    const Switch switches[] = {
        {START_FOLDER_PROTECT, &Globals.FolderProtect, "START_FOLDER_PROTECT(7)"},
        {START_IS_SHARE_FOLDER_WATCHE, &Globals.ShareFolderWatch, "START_IS_SHARE_FOLDER_WATCHE(7)"},
        {START_DEVICE_PROTECT, &Globals.DeviceProtect, "START_DEVICE_PROTECT(7)"},
    };
    for (const Switch& s : switches) {
        RawMessage on(s.command);
        on.State(7);
        EXPECT_EQ(Send(on).status, STATUS_SUCCESS);
        EXPECT_EQ(*s.value, 1);
        EXPECT_TRUE(machine().DebugContains(s.trace));
        RawMessage off(s.command);
        off.State(0);
        EXPECT_EQ(Send(off).status, STATUS_SUCCESS);
        EXPECT_EQ(*s.value, 0);
    }
}

TEST_F(DispatchTest, DebugLevelGatesEveryTraceIncludingItsOwn) {
    RawMessage quiet(SET_DEBUG_LEVEL);
    quiet.Value(0);
    machine().ClearDebugOutput();
    EXPECT_EQ(Send(quiet).status, STATUS_SUCCESS);
    EXPECT_EQ(DebugLevel, 0);
    RawMessage start(START);
    Send(start);
    EXPECT_TRUE(machine().DebugOutput().empty());
    EXPECT_EQ(Globals.Started, 1);

    RawMessage loud(SET_DEBUG_LEVEL);
    loud.Value(2);
    EXPECT_EQ(Send(loud).status, STATUS_SUCCESS);
    EXPECT_TRUE(machine().DebugContains("kx4grd:Kx4GrdMssageProc: SET_DEBUG_LEVEL(2)\n"));

    // Bit 0x1 alone selects errors and decisions, not the informational traces.
    RawMessage errorsOnly(SET_DEBUG_LEVEL);
    errorsOnly.Value(1);
    machine().ClearDebugOutput();
    Send(errorsOnly);
    Send(start);
    EXPECT_TRUE(machine().DebugOutput().empty());
}

TEST_F(DispatchTest, SetPolicyStoresEntryAndTracesFirst) {
    RawMessage msg(SET_POLICY);
    msg.DeviceType(BDC_MTP).PolicyState(DISABLE).Log(1);
    EXPECT_EQ(Send(msg).status, STATUS_SUCCESS);
    EXPECT_EQ(GetDevicePolicyState(BDC_MTP), (ULONG)DISABLE);
    EXPECT_EQ(GetDevicePolicyLog(BDC_MTP), 1u);
    EXPECT_TRUE(machine().DebugContains("SET_POLICY, devicetype(30), state(1), log(1)\n"));

    // Unchecked values are stored as given.
    RawMessage odd(SET_POLICY);
    odd.DeviceType(BDC_CDROM).PolicyState(9).Log(5);
    Send(odd);
    EXPECT_EQ(GetDevicePolicyState(BDC_CDROM), 9u);
    EXPECT_EQ(GetDevicePolicyLog(BDC_CDROM), 5u);
}

TEST_F(DispatchTest, SetPolicyOutsideTheTableIsIgnored) {
    WriteNoFence(&DebugLevel, KX_DBG_ERROR | KX_DBG_INFO);
    DriverSnapshot before = DriverSnapshot::Take();
    for (uint32_t type : {31u, 32u, 1000u, 0xFFFFFFFFu}) {
        RawMessage msg(SET_POLICY);
        msg.DeviceType(type).PolicyState(DISABLE).Log(1);
        EXPECT_EQ(Send(msg).status, STATUS_SUCCESS);
    }
    EXPECT_TRUE(DriverSnapshot::Take() == before);
    EXPECT_TRUE(machine().DebugContains("devicetype(31) out of range, ignored"));
}

TEST_F(DispatchTest, ClearEmptiesPolicyAndIdsAndRetrustsSystemIds) {
    RawMessage policy(SET_POLICY);
    policy.DeviceType(BDC_USB_DISK).PolicyState(READONLY).Log(1);
    Send(policy);
    RawMessage protect(SET_PROCESS_PROTECT_PID);
    protect.Value(2000);
    Send(protect);
    PgAddPid(1000, 2);
    RawMessage logType(SET_LOG_TYPE);
    logType.Type(4);
    Send(logType);
    RawMessage start(START);
    Send(start);

    RawMessage clear(CLEAR);
    EXPECT_EQ(Send(clear).status, STATUS_SUCCESS);
    for (ULONG i = 0; i < 31; ++i) {
        EXPECT_EQ(GetDevicePolicyState(i), 0u);
        EXPECT_EQ(GetDevicePolicyLog(i), 0u);
    }
    EXPECT_EQ(PgIsProtectPid(2000), 0u);
    EXPECT_EQ(PgGetPidState(1000), 0u);
    for (ULONG id : {0u, 4u, 8u}) {
        EXPECT_EQ(PgGetPidState(id), 1u);
    }
    // Switches and masks are not CLEAR's business.
    EXPECT_EQ(Globals.Started, 1);
    EXPECT_EQ(Globals.LogType, 4);

    // One SET_POLICY afterwards re-creates exactly one entry.
    Send(policy);
    for (ULONG i = 0; i < 31; ++i) {
        EXPECT_EQ(GetDevicePolicyState(i), i == BDC_USB_DISK ? (ULONG)READONLY : 0u);
    }
}

TEST_F(DispatchTest, ProcessNotifyStatusWritesExactlyFourBytes) {
    uint8_t out[8];
    std::memset(out, 0xCC, sizeof(out));
    RawMessage msg(GET_PROCESS_NOTIFY_STATUS);
    Reply reply = Send(msg, out, sizeof(out));
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.bytesReturned, 4u);
    NTSTATUS written;
    std::memcpy(&written, out, 4);
    EXPECT_EQ(written, STATUS_SUCCESS);  // the creation callback registered at load
    for (int i = 4; i < 8; ++i) {
        EXPECT_EQ(out[i], 0xCC);
    }
    EXPECT_TRUE(machine().DebugContains("GET_PROCESS_NOTIFY_STATUS(0)\n"));
}

TEST_F(DispatchTest, ProcessNotifyStatusWithoutRoomWritesNothing) {
    RawMessage msg(GET_PROCESS_NOTIFY_STATUS);
    Reply none = Send(msg);
    EXPECT_EQ(none.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(none.bytesReturned, 0u);

    uint8_t small[3] = {0xCC, 0xCC, 0xCC};
    Reply tooSmall = Send(msg, small, sizeof(small));
    EXPECT_EQ(tooSmall.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooSmall.bytesReturned, 0u);
    EXPECT_EQ(small[0], 0xCC);
    EXPECT_EQ(small[2], 0xCC);
}

TEST_F(DispatchTest, FaultOnTheReplyReturnsTheExceptionCode) {
    void* bad = machine().InvalidBuffer(4096);
    RawMessage msg(GET_PROCESS_NOTIFY_STATUS);
    Reply reply = Send(msg, bad, 4);
    EXPECT_EQ(reply.status, STATUS_ACCESS_VIOLATION);
    EXPECT_TRUE(machine().DebugContains("kx4grd:Kx4GrdMssageProc: eception = c0000005\n"));
}

TEST_F(DispatchTest, FaultOnTheMessageReturnsTheExceptionCodeAndChangesNothing) {
    DriverSnapshot before = DriverSnapshot::Take();
    void* bad = machine().InvalidBuffer(4096);
    Reply reply;
    reply.status = machine().SendMessage(connection_, bad, 2096, nullptr, 0, &reply.bytesReturned);
    EXPECT_EQ(reply.status, STATUS_ACCESS_VIOLATION);
    EXPECT_TRUE(DriverSnapshot::Take() == before);
    EXPECT_TRUE(machine().DebugContains("eception = c0000005"));
}

TEST_F(DispatchTest, MissingInputIsSuccessWithoutEffect) {
    DriverSnapshot before = DriverSnapshot::Take();
    uint32_t returned = 99;
    EXPECT_EQ(machine().SendMessage(connection_, nullptr, 0, nullptr, 0, &returned), STATUS_SUCCESS);
    EXPECT_TRUE(DriverSnapshot::Take() == before);
}

TEST_F(DispatchTest, ShortMessageIsRefusedWithoutEffect) {
    RawMessage msg(START);
    Reply reply;
    reply.status = machine().SendMessage(connection_, msg.data(), 2095, nullptr, 0, &reply.bytesReturned);
    EXPECT_EQ(reply.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Globals.Started, 0);
    // Exactly the full block is accepted, and a longer buffer too.
    std::vector<uint8_t> longer(msg.bytes());
    longer.resize(3000, 0);
    EXPECT_EQ(machine().SendMessage(connection_, longer.data(), 3000, nullptr, 0, &reply.bytesReturned),
              STATUS_SUCCESS);
    EXPECT_EQ(Globals.Started, 1);
}

TEST_F(DispatchTest, UnterminatedTextIsBoundedToItsField) {
    RawMessage msg(SET_PATH);
    msg.UlType(4).PutWide(48, std::u16string(1024, u'A')).Size(0xFFFFFFFF);
    // The bytes after the message are not the driver's to read: the message ends
    // right at the text's last character.
    EXPECT_EQ(Send(msg).status, STATUS_SUCCESS);
    std::string expected = "SET_PATH(4)(" + std::string(1023, 'A') + ")(2046)\n";
    EXPECT_TRUE(machine().DebugContains(expected)) << machine().DebugText().substr(0, 200);
}

TEST_F(DispatchTest, UnterminatedUsbIdentifiersAreBoundedToTheirFields) {
    RawMessage msg(SET_USB_DISK_EXCEPT);
    msg.State(STATE_SET)
        .PutAnsi(44, std::string(20, 'V'))
        .PutAnsi(64, std::string(20, 'P'))
        .PutAnsi(84, std::string(20, 'R'))
        .PutAnsi(104, std::string(20, 'S'));
    EXPECT_EQ(Send(msg).status, STATUS_SUCCESS);
    std::string expected = "SET_USB_DISK_EXCEPT, (STATE_SET), vid(" + std::string(19, 'V') + "), pid(" +
                           std::string(19, 'P') + ")(" + std::string(19, 'S') + ")\n";
    EXPECT_TRUE(machine().DebugContains(expected)) << machine().DebugText();

    RawMessage port(SET_USB_PORT_EXCEPT);
    port.State(STATE_DEL).UlType(BDC_USB).Put32(44, 0x0781).Put32(48, 0x5567).PutWide(56, std::u16string(100, u'Z'));
    EXPECT_EQ(Send(port).status, STATUS_SUCCESS);
    expected = "SET_USB_PORT_EXCEPT, (STATE_DEL), vid(781), pid(5567), serial(" + std::string(99, 'Z') + ")\n";
    EXPECT_TRUE(machine().DebugContains(expected)) << machine().DebugText();
}

TEST_F(DispatchTest, UsbExceptionActionsAndTraceOrder) {
    RawMessage set(SET_USB_DISK_EXCEPT);
    set.State(STATE_SET).PutAnsi(44, "SANDISK").PutAnsi(64, "CRUZER").PutAnsi(84, "1.00").PutAnsi(104, "4C53");
    Send(set);
    EXPECT_TRUE(machine().DebugContains("SET_USB_DISK_EXCEPT, (STATE_SET), vid(SANDISK), pid(CRUZER)(4C53)\n"));
    RawMessage del(SET_USB_DISK_EXCEPT);
    del.State(STATE_DEL).PutAnsi(44, "SANDISK").PutAnsi(64, "CRUZER").PutAnsi(104, "4C53");
    Send(del);
    EXPECT_TRUE(machine().DebugContains("SET_USB_DISK_EXCEPT, (STATE_DEL), vid(SANDISK), pid(CRUZER)(4C53)\n"));
    RawMessage other(SET_USB_DISK_EXCEPT);
    other.State(5);
    Send(other);
    EXPECT_TRUE(machine().DebugContains("SET_USB_DISK_EXCEPT, (STATE_CLEAR)\n"));

    RawMessage portSet(SET_USB_PORT_EXCEPT);
    portSet.State(STATE_SET).UlType(BDC_USB).Put32(44, 0x781).Put32(48, 0x5567).Put32(52, 3).PutWide(56, u"AB12");
    Send(portSet);
    EXPECT_TRUE(machine().DebugContains("SET_USB_PORT_EXCEPT, (STATE_SET), vid(781), pid(5567), serial(AB12)\n"));
    RawMessage portClear(SET_USB_PORT_EXCEPT);
    portClear.State(5);
    Send(portClear);
    EXPECT_TRUE(machine().DebugContains("SET_USB_PORT_EXCEPT, (STATE_CLEAR)(5)\n"));
}

TEST_F(DispatchTest, ListCommandsWithoutTextPrintNothing) {
    for (uint64_t command : {(uint64_t)SET_PATH, (uint64_t)SET_FILENAME, (uint64_t)SET_PROCESSNAME}) {
        machine().ClearDebugOutput();
        RawMessage msg(command);
        msg.UlType(4).PutWide(48, u"\\Device\\X");  // size stays 0
        EXPECT_EQ(Send(msg).status, STATUS_SUCCESS);
        EXPECT_TRUE(machine().DebugOutput().empty()) << command;
    }
    // The protected-process name is added and traced even when empty.
    machine().ClearDebugOutput();
    RawMessage name(SET_PROCESS_PROTECT_PROCESSNAME);
    name.UlType(64);
    Send(name);
    EXPECT_TRUE(machine().DebugContains("SET_PROCESS_PROTECT_PROCESSNAME()(0)\n"));
}

TEST_F(DispatchTest, HookCommandTracesEvenForTypesWithoutFamily) {
    RawMessage msg(SET_HOOK);
    msg.Type(5).State(1);
    EXPECT_EQ(Send(msg).status, STATUS_SUCCESS);
    EXPECT_TRUE(machine().DebugContains("kx4grd:Kx4GrdMssageProc: SET_HOOK(5)(1)\n"));
}

TEST_F(DispatchTest, ProtectedProcessIds) {
    for (uint32_t pid : {1000u, 1004u, 200000u}) {
        RawMessage set(SET_PROCESS_PROTECT_PID);
        set.Value(pid).Type(64);
        Send(set);
    }
    EXPECT_EQ(PgIsProtectPid(1000), 64u);
    EXPECT_EQ(PgIsProtectPid(200000), 64u);
    EXPECT_EQ(PgIsProtectPid(1008), 0u);

    RawMessage delOne(DEL_PROCESS_PROTECT_PID);
    delOne.Value(1000).Type(64);
    Send(delOne);
    EXPECT_EQ(PgIsProtectPid(1000), 0u);
    EXPECT_EQ(PgIsProtectPid(1004), 64u);
    EXPECT_EQ(PgIsProtectPid(200000), 64u);

    RawMessage delAll(DEL_PROCESS_PROTECT_PID);
    delAll.Value(0).Type(64);
    Send(delAll);
    EXPECT_EQ(PgIsProtectPid(1004), 0u);
    EXPECT_EQ(PgIsProtectPid(200000), 0u);
    // Trusted system ids are another table and stay.
    EXPECT_EQ(PgGetPidState(4), 1u);
}

TEST_F(DispatchTest, SetLogTypeReplacesTheMask) {
    RawMessage msg(SET_LOG_TYPE);
    msg.Type(4);
    Send(msg);
    EXPECT_EQ(Globals.LogType, 4);
    EXPECT_EQ(SetConnectLog(nullptr, 0, 0, 0, u"C:", u"System", u"{}"), STATUS_INSUFFICIENT_RESOURCES);
}

class ConnectionTest : public kxtest::DriverTest {};

TEST_F(ConnectionTest, FirstClientControlsUntilAllHaveGone) {
    EXPECT_EQ(Globals.ControlProcess, agent_);
    EXPECT_TRUE(machine().DebugContains("kx4grd:Kx4GrdPortConnect: connected, port=0x"));
    winsim::ProcessOptions other;
    other.imagePath = u"\\Device\\HarddiskVolume2\\tools\\console.exe";
    PEPROCESS second = machine().StartProcess(other);
    winsim::PortConnection* c2 = Connect(second);
    ASSERT_NE(c2, nullptr);
    EXPECT_EQ(Globals.ControlProcess, agent_);

    Disconnect(connection_);
    EXPECT_EQ(Globals.ControlProcess, agent_);
    EXPECT_TRUE(machine().DebugContains("kx4grd:Kx4GrdPortDisconnect: disconnected, port=0x"));

    Disconnect(c2);
    EXPECT_EQ(Globals.ControlProcess, nullptr);
}

TEST_F(ConnectionTest, LastDisconnectionSwitchesFilteringOffButKeepsFolderProtect) {
    for (uint64_t command : {(uint64_t)START_DEVICE_PROTECT, (uint64_t)START_FOLDER_PROTECT,
                             (uint64_t)START_IS_SHARE_FOLDER_WATCHE}) {
        RawMessage msg(command);
        msg.State(1);
        Send(msg);
    }
    RawMessage start(START);
    Send(start);
    Disconnect(connection_);
    EXPECT_EQ(Globals.Started, 0);
    EXPECT_EQ(Globals.DeviceProtect, 0);
    EXPECT_EQ(Globals.ShareFolderWatch, 0);
    EXPECT_EQ(Globals.FolderProtect, 1);
}

TEST_F(ConnectionTest, AtMostTenClients) {
    std::vector<winsim::PortConnection*> more;
    for (int i = 0; i < 9; ++i) {
        more.push_back(Connect(agent_));
        ASSERT_NE(more.back(), nullptr);
    }
    winsim::PortConnection* eleventh = nullptr;
    EXPECT_EQ(machine().ConnectPort(agent_, KX4GRD_PORT_NAME, &eleventh), STATUS_CONNECTION_COUNT_LIMIT);
    // A place frees up when one leaves.
    Disconnect(more.back());
    winsim::PortConnection* again = Connect(agent_);
    EXPECT_NE(again, nullptr);
}

TEST_F(ConnectionTest, RefusedWhenTheRecordCannotBeAllocated) {
    Disconnect(connection_);
    machine().FailNthCall(winsim::FaultClass::Allocation, 1);
    winsim::PortConnection* c = nullptr;
    EXPECT_EQ(machine().ConnectPort(agent_, KX4GRD_PORT_NAME, &c), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(machine().InjectedFaultHit());
    EXPECT_EQ(Globals.ControlProcess, nullptr);
    machine().ClearFaultInjection();
    connection_ = Connect(agent_);
    EXPECT_EQ(Globals.ControlProcess, agent_);
}

}  // namespace
