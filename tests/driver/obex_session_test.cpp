// OBEX sessions on RFCOMM and IrDA: the connection slot, what is judged, what is
// recorded, the names found in puts and the opcode dispatch.
#include "tests/driver/obex_fixture.h"

namespace kxtest {
namespace {

class ObexSessionTest : public ObexTest {};

TEST_F(ObexSessionTest, ReadOnlyFileTransferRefusesPutsOnTheConnectedConnectionOnly) {
    Policy(BDC_BLUETOOTH, ENABLE, 0);
    Policy(BDC_BLUETOOTH_FILE, READONLY, 1);
    const unsigned reached = Reached(u"RFCOMM");

    // Connect on connection 1: passes and fills the slot.
    ExpectPassed(Rfcomm(1, obex::Connect()), "connect");
    EXPECT_EQ(ObexBluetoothConnection(), ConnectionOf(1));
    EXPECT_TRUE(machine().DebugContains(
        "kx4grd:RfcommInternalDeviceIoControl: file blocked(21001F), (OBEX_OPCODE_CONNECT, hostPacketLen(7), "
        "version(0x10), flag(0), hostMaxPktSize(8192))\n"));

    // A put on it is refused.
    const Bytes put = obex::PutNamed(u"holiday photo.jpg");
    ExpectRefused(Rfcomm(1, put), "put on the connection");
    EXPECT_TRUE(machine().DebugContains("kx4grd:RfcommInternalDeviceIoControl: File Name Found: holiday photo.jpg\n"));
    EXPECT_TRUE(
        machine().DebugContains("kx4grd:RfcommInternalDeviceIoControl: Blocked File Transfer: holiday photo.jpg\n"));

    // The same put on another connection passes unexamined.
    ExpectPassed(Rfcomm(2, put), "put on another connection");
    EXPECT_EQ(ObexBluetoothConnection(), ConnectionOf(1));

    // Disconnect passes and empties the slot; a put after it passes.
    ExpectPassed(Rfcomm(1, obex::Disconnect()), "disconnect");
    EXPECT_EQ(ObexBluetoothConnection(), nullptr);
    ExpectPassed(Rfcomm(1, put), "put after disconnect");
    EXPECT_EQ(Reached(u"RFCOMM"), reached + 4);

    const std::vector<EVENT_RECORD> events = Drain();
    ASSERT_EQ(events.size(), 3u);
    ExpectEvent(events[0], BDC_BLUETOOTH, READONLY,
                u"OBEX_OPCODE_CONNECT, hostPacketLen(7), version(0x10), flag(0), hostMaxPktSize(8192)");
    ExpectEvent(events[1], BDC_BLUETOOTH, READONLY,
                u"File Transfer: holiday photo.jpg, packetLen: " + U16(std::to_string(put.size())));
    ExpectEvent(events[2], BDC_BLUETOOTH, READONLY, u"OBEX_OPCODE_DISCONNECT, ByteCount(3)");
}

TEST_F(ObexSessionTest, PutAndPutFinalAreBothJudged) {
    Policy(BDC_BLUETOOTH_FILE, READONLY, 0);
    ExpectPassed(Rfcomm(7, obex::Connect()), "connect");
    ExpectRefused(Rfcomm(7, obex::PutNamed(u"a.txt", OBEX_OPCODE_PUT)), "put");
    ExpectRefused(Rfcomm(7, obex::PutNamed(u"a.txt", OBEX_OPCODE_PUT_FINAL)), "put final");
    // Logging off: decided all the same, nothing recorded, the name not looked for.
    EXPECT_TRUE(Drain().empty());
    EXPECT_FALSE(machine().DebugContains("File Name Found"));
    EXPECT_TRUE(machine().DebugContains("kx4grd:RfcommInternalDeviceIoControl: Blocked File Transfer: \n"));
}

TEST_F(ObexSessionTest, FileDisableRefusesTheConnectAndStillTakesItsConnection) {
    Policy(BDC_BLUETOOTH_FILE, DISABLE, 1);
    ExpectRefused(Rfcomm(3, obex::Connect()), "connect");
    EXPECT_EQ(ObexBluetoothConnection(), ConnectionOf(3));
    EXPECT_TRUE(machine().DebugContains("kx4grd:RfcommInternalDeviceIoControl: Blocked OBEX Connect\n"));
    ExpectRefused(Rfcomm(3, obex::PutNamed(u"x.bin")), "put");
    const std::vector<EVENT_RECORD> events = Drain();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].a1, static_cast<ULONG>(DISABLE));
    EXPECT_EQ(Text(events[1].path).rfind(u"File Transfer: x.bin, packetLen: ", 0), 0u);
}

TEST_F(ObexSessionTest, PutOnConnectionThatNeverConnectedPassesUnderAnyFilePolicy) {
    ExpectPassed(Rfcomm(1, obex::Connect()), "connect 1");
    for (ULONG state : {ENABLE, DISABLE, READONLY}) {
        Policy(BDC_BLUETOOTH_FILE, state, 1);
        ExpectPassed(Rfcomm(9, obex::PutNamed(u"other.txt")), "put on 9");
    }
    EXPECT_FALSE(machine().DebugContains("File Transfer"));
}

TEST_F(ObexSessionTest, AConnectOnAnotherConnectionTakesTheSlot) {
    Policy(BDC_BLUETOOTH_FILE, READONLY, 0);
    ExpectPassed(Rfcomm(1, obex::Connect()), "connect 1");
    ExpectPassed(Rfcomm(2, obex::Connect()), "connect 2");
    EXPECT_EQ(ObexBluetoothConnection(), ConnectionOf(2));
    ExpectPassed(Rfcomm(1, obex::PutNamed(u"a")), "put on 1 after 2 connected");
    ExpectRefused(Rfcomm(2, obex::PutNamed(u"a")), "put on 2");
    // A disconnect on any connection empties the slot.
    ExpectPassed(Rfcomm(1, obex::Disconnect()), "disconnect 1");
    ExpectPassed(Rfcomm(2, obex::PutNamed(u"a")), "put on 2 after the slot emptied");
}

TEST_F(ObexSessionTest, UnknownNameIsRecordedAndTheTransferStillRefused) {
    Policy(BDC_BLUETOOTH_FILE, READONLY, 1);
    ExpectPassed(Rfcomm(1, obex::Connect()), "connect");
    Drain();
    NextWindow();
    // A name header declaring five bytes; then one running past the packet; then a
    // zero-length header before the name.
    const Bytes shortName = obex::Put(obex::NameHeader(u"abc", 5));
    const Bytes pastEnd = obex::Put(obex::NameHeader(u"abc", 400));
    Bytes zeroFirst = obex::Put(Bytes{0x42, 0x00, 0x00});
    const Bytes name = obex::NameHeader(u"hidden");
    zeroFirst.insert(zeroFirst.begin() + 6, name.begin(), name.end());
    for (const Bytes* p : std::initializer_list<const Bytes*>{&shortName, &pastEnd, &zeroFirst}) {
        ExpectRefused(Rfcomm(1, *p), "put");
        const std::vector<EVENT_RECORD> events = Drain();
        ASSERT_EQ(events.size(), 1u);
        ExpectEvent(events[0], BDC_BLUETOOTH, READONLY,
                    u"File Transfer: unknown, packetLen: " + U16(std::to_string(p->size())));
        NextWindow();
    }
    EXPECT_FALSE(machine().DebugContains("File Name Found"));
}

TEST_F(ObexSessionTest, HeadersBeforeTheNameAreSkippedByTheirForm) {
    Policy(BDC_BLUETOOTH, ENABLE, 1);  // the channel's log flag alone also means logging
    Policy(BDC_BLUETOOTH_FILE, ENABLE, 0);
    ExpectPassed(Rfcomm(1, obex::Connect()), "connect");
    const Bytes quad{0xCB, 0x01, 0x00, 0x09, 0x00};
    const Bytes byte{0x97, 0x01};
    const Bytes seq{0x42, 0x00, 0x07, 0x01, 0x00, 0x09, 0x00};
    Bytes headers = quad;
    headers.insert(headers.end(), byte.begin(), byte.end());
    headers.insert(headers.end(), seq.begin(), seq.end());
    const Bytes name = obex::NameHeader(u"notes.txt");
    headers.insert(headers.end(), name.begin(), name.end());
    const Bytes put = obex::Put(headers);
    ExpectPassed(Rfcomm(1, put), "put under ENABLE");
    const std::vector<EVENT_RECORD> events = Drain();
    ASSERT_EQ(events.size(), 2u);
    ExpectEvent(events[1], BDC_BLUETOOTH, ENABLE, u"File Transfer: notes.txt, packetLen: " + U16(std::to_string(put.size())));
}

// A name header whose whole length is headerLength, units 'A', 'B', ... 'Z', 'A'...
Bytes LongNameHeader(uint32_t headerLength) {
    Bytes b{OBEX_HEADER_NAME};
    obex::Put16(b, headerLength);
    for (uint32_t i = 0; i + 3 < headerLength; i++) {
        b.push_back(static_cast<uint8_t>(i % 2 == 0 ? 0x00 : 'A' + (i / 2) % 26));
    }
    return b;
}
std::string Letters(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; i++) s += static_cast<char>('A' + i % 26);
    return s;
}

TEST_F(ObexSessionTest, LongNamesAreCutTo258And259UnitsAndTheTextTo255Characters) {
    Policy(BDC_BLUETOOTH_FILE, READONLY, 1);
    ExpectPassed(Rfcomm(1, obex::Connect()), "connect");
    Drain();
    struct Case {
        uint32_t headerLength;
        size_t units;
    };
    for (const Case c : {Case{520, 258}, Case{521, 259}, Case{600, 259}}) {
        machine().ClearDebugOutput();
        const Bytes put = obex::Put(LongNameHeader(c.headerLength));
        ExpectRefused(Rfcomm(1, put), "long name");
        // The trace shows the name whole, and nothing after it.
        EXPECT_TRUE(machine().DebugContains("File Name Found: " + Letters(c.units) + "\n")) << c.headerLength;
        // The event text is cut at 255 characters and recorded cut.
        const std::vector<EVENT_RECORD> events = Drain();
        ASSERT_EQ(events.size(), 1u) << c.headerLength;
        const std::u16string expected = (u"File Transfer: " + U16(Letters(c.units)) + u", packetLen: " +
                                         U16(std::to_string(put.size())))
                                            .substr(0, 255);
        EXPECT_EQ(Text(events[0].path), expected) << c.headerLength;
        NextWindow();
    }
}

TEST_F(ObexSessionTest, ShortConnectTakesTheSlotOnlyWhenNothingIsLogged) {
    const Bytes shortConnect{OBEX_OPCODE_CONNECT, 0x00, 0x06, 0x10, 0x00, 0x20};
    // Logging on: too short to record, passed on, slot unchanged.
    Policy(BDC_BLUETOOTH_FILE, READONLY, 1);
    ExpectPassed(Rfcomm(4, shortConnect), "short connect, logging");
    EXPECT_EQ(ObexBluetoothConnection(), nullptr);
    EXPECT_TRUE(machine().DebugContains("kx4grd:RfcommInternalDeviceIoControl: Data too short for OBEX Connect\n"));
    // Logging off: the connect is followed all the same.
    Policy(BDC_BLUETOOTH_FILE, READONLY, 0);
    ExpectPassed(Rfcomm(4, shortConnect), "short connect, no logging");
    EXPECT_EQ(ObexBluetoothConnection(), ConnectionOf(4));
    ExpectRefused(Rfcomm(4, obex::PutNamed(u"a")), "put");
    EXPECT_TRUE(Drain().empty());
}

TEST_F(ObexSessionTest, RequestsWithoutDataOrConnectionPassUnread) {
    Policy(BDC_BLUETOOTH_FILE, READONLY, 1);
    ExpectPassed(Rfcomm(1, obex::Connect()), "connect");
    Drain();
    machine().ClearDebugOutput();
    winsim::ObexSendOptions noMdl;
    noMdl.noMdl = true;
    ExpectPassed(Rfcomm(1, obex::PutNamed(u"a"), noMdl), "no MDL");
    winsim::ObexSendOptions noFile;
    noFile.noFileObject = true;
    ExpectPassed(Rfcomm(1, obex::PutNamed(u"a"), noFile), "no file object");
    ExpectPassed(Rfcomm(1, Bytes{}), "empty MDL");
    EXPECT_FALSE(machine().DebugContains("Opcode("));
    EXPECT_TRUE(Drain().empty());
    EXPECT_EQ(ObexBluetoothConnection(), ConnectionOf(1));
}

TEST_F(ObexSessionTest, OtherOpcodesAreTracedAndPassed) {
    Policy(BDC_BLUETOOTH_FILE, DISABLE, 1);
    struct Case {
        uint8_t opcode;
        const char* trace;
    };
    for (const Case c : {Case{0x00, "OBEX_OPCODE_CONN_FLAGS"}, Case{0x01, "OBEX_OPCODE_NAME"},
                         Case{0x10, "OBEX_OPCODE_VERSION"}, Case{0x48, "OBEX_OPCODE_BODY"},
                         Case{0x49, "OBEX_OPCODE_END_BODY"}, Case{0x90, "OBEX_OPCODE_CONTINUE"},
                         Case{0xA0, "OBEX_OPCODE_OK"}, Case{0xC3, "OBEX_OPCODE_LENGTH"},
                         Case{0x83, "default OBEX_OPCODE"}, Case{0xFF, "default OBEX_OPCODE"}}) {
        machine().ClearDebugOutput();
        ExpectPassed(Rfcomm(1, Bytes{c.opcode, 0x00, 0x03}), c.trace);
        char opcode[64];
        std::snprintf(opcode, sizeof(opcode), "kx4grd:RfcommInternalDeviceIoControl: Opcode(%X)\n", c.opcode);
        EXPECT_TRUE(machine().DebugContains(opcode)) << c.trace;
        EXPECT_TRUE(machine().DebugContains(std::string("kx4grd:RfcommInternalDeviceIoControl: ") + c.trace + "\n"))
            << c.trace;
    }
    EXPECT_EQ(ObexBluetoothConnection(), nullptr);
    EXPECT_TRUE(Drain().empty());
}

TEST_F(ObexSessionTest, IrdaUnderReadOnlyRecordsButRefusesNothing) {
    Policy(BDC_IRDA, READONLY, 1);
    const unsigned reached = Reached(u"irda");
    ExpectPassed(Irda(5, obex::Connect()), "connect");
    EXPECT_EQ(ObexIrdaConnection(), ConnectionOf(5));
    EXPECT_EQ(ObexBluetoothConnection(), nullptr) << "IrDA has a slot of its own";
    EXPECT_TRUE(machine().DebugContains(
        "kx4grd:IrdaInternalDeviceControl: file blocked, (OBEX_OPCODE_CONNECT, hostPacketLen(7), version(0x)\n"));
    const Bytes put = obex::PutNamed(u"a.txt");
    ExpectPassed(Irda(5, put), "put");
    ExpectPassed(Irda(6, put), "put on another connection");
    ExpectPassed(Irda(5, obex::Disconnect()), "disconnect");
    EXPECT_EQ(ObexIrdaConnection(), nullptr);
    EXPECT_EQ(Reached(u"irda"), reached + 4);

    // Texts are cut at 49 characters.
    const std::vector<EVENT_RECORD> events = Drain();
    ASSERT_EQ(events.size(), 3u);
    ExpectEvent(events[0], BDC_IRDA, READONLY, u"OBEX_OPCODE_CONNECT, hostPacketLen(7), version(0x");
    ExpectEvent(events[1], BDC_IRDA, READONLY, u"File Transfer: a.txt, packetLen: " + U16(std::to_string(put.size())));
    ExpectEvent(events[2], BDC_IRDA, READONLY, u"OBEX_OPCODE_DISCONNECT, ByteCount(3)");
}

TEST_F(ObexSessionTest, IrdaWithoutLogReadsNoPacket) {
    for (ULONG state : {ENABLE, READONLY}) {
        Policy(BDC_IRDA, state, 0);
        machine().ClearDebugOutput();
        ExpectPassed(Irda(5, obex::Connect()), "connect");
        ExpectPassed(Irda(5, obex::PutNamed(u"a.txt")), "put");
        EXPECT_EQ(ObexIrdaConnection(), nullptr) << state;
        EXPECT_FALSE(machine().DebugContains("IrdaInternalDeviceControl")) << state;
    }
    EXPECT_TRUE(Drain().empty());
}

TEST_F(ObexSessionTest, IrdaShortConnectLeavesTheSlot) {
    Policy(BDC_IRDA, ENABLE, 1);
    ExpectPassed(Irda(5, Bytes{OBEX_OPCODE_CONNECT, 0x00, 0x06, 0x10, 0x00, 0x20}), "short connect");
    EXPECT_EQ(ObexIrdaConnection(), nullptr);
    EXPECT_TRUE(machine().DebugContains("kx4grd:IrdaInternalDeviceControl: Data too short for OBEX Connect\n"));
    ExpectPassed(Irda(5, obex::PutNamed(u"a.txt")), "put");
    EXPECT_TRUE(Drain().empty());
}

TEST_F(ObexSessionTest, PendingTargetCompletesPassedRequestsOnce) {
    Policy(BDC_BLUETOOTH_FILE, READONLY, 1);
    winsim::TargetBehavior pend;
    pend.action = winsim::TargetAction::Pend;
    machine().SetTargetBehavior(u"RFCOMM", pend);
    const winsim::DeviceRequestResult connect = Rfcomm(1, obex::Connect());
    EXPECT_EQ(connect.returned, STATUS_PENDING);
    ExpectPassed(connect, "pending connect");
    // A refusal never reaches the pending target.
    ExpectRefused(Rfcomm(1, obex::PutNamed(u"a")), "put");
    const winsim::DeviceRequestResult other = Rfcomm(2, obex::PutNamed(u"a"));
    EXPECT_EQ(other.returned, STATUS_PENDING);
    ExpectPassed(other, "pending put on another connection");
    EXPECT_EQ(machine().PendingRequests(), 0u);
}

}  // namespace
}  // namespace kxtest
