// What the Bluetooth/IrDA handlers must not do: bug-check when a buffer cannot be
// mapped, keep a reference (or a stale identity) in a connection slot, format wide
// text or record events above PASSIVE_LEVEL.
#include <atomic>
#include <thread>

#include "tests/driver/obex_fixture.h"

namespace kxtest {
namespace {

class ObexMendTest : public ObexTest {};

TEST_F(ObexMendTest, UnmappableBufferIsPassedOnUnread) {
    Policy(BDC_BLUETOOTH_FILE, READONLY, 1);
    Policy(BDC_IRDA, READONLY, 1);
    ExpectPassed(Rfcomm(1, obex::Connect()), "connect");
    Drain();
    machine().ClearDebugOutput();
    // Mapping the put's buffer fails: the put cannot be read, so it goes on (a
    // readable one on this connection would be refused).
    winsim::ObexSendOptions fails;
    fails.mdlMapFails = true;
    const unsigned reached = Reached(u"RFCOMM");
    ExpectPassed(Rfcomm(1, obex::PutNamed(u"a.txt"), fails), "unmappable put");
    EXPECT_EQ(Reached(u"RFCOMM"), reached + 1);
    // An unmappable disconnect leaves the slot as it is; an unmappable IrDA connect
    // does not take the IrDA slot.
    ExpectPassed(Rfcomm(1, obex::Disconnect(), fails), "unmappable disconnect");
    EXPECT_EQ(ObexBluetoothConnection(), ConnectionOf(1));
    ExpectPassed(Irda(2, obex::Connect(), fails), "unmappable irda connect");
    EXPECT_EQ(ObexIrdaConnection(), nullptr);
    EXPECT_FALSE(machine().DebugContains("Opcode("));
    EXPECT_TRUE(Drain().empty());

    // The same put readable: mapped when needed, refused.
    ExpectRefused(Rfcomm(1, obex::PutNamed(u"a.txt")), "readable put");
    winsim::ObexSendOptions mapped;
    mapped.mdlMapped = true;
    ExpectRefused(Rfcomm(1, obex::PutNamed(u"b.txt"), mapped), "put already mapped");
}

TEST_F(ObexMendTest, ConnectionSlotHoldsNoReference) {
    Policy(BDC_BLUETOOTH_FILE, READONLY, 0);
    Policy(BDC_IRDA, READONLY, 1);
    const PFILE_OBJECT bt = ConnectionOf(1);
    const PFILE_OBJECT ir = ConnectionOf(2);
    const long btBefore = machine().ObjectReferencesHeld(bt);
    const long irBefore = machine().ObjectReferencesHeld(ir);
    ExpectPassed(Rfcomm(1, obex::Connect()), "connect");
    ExpectPassed(Irda(2, obex::Connect()), "irda connect");
    ASSERT_EQ(ObexBluetoothConnection(), bt);
    ASSERT_EQ(ObexIrdaConnection(), ir);
    EXPECT_EQ(machine().ObjectReferencesHeld(bt), btBefore);
    EXPECT_EQ(machine().ObjectReferencesHeld(ir), irBefore);
    // The driver unloads with both slots full; the verifier finds no reference left.
}

TEST_F(ObexMendTest, SlotsSurviveUnhookAndStopButNotADriverReload) {
    Policy(BDC_BLUETOOTH_FILE, READONLY, 0);
    Policy(BDC_IRDA, READONLY, 1);
    ExpectPassed(Rfcomm(1, obex::Connect()), "connect");
    ExpectPassed(Irda(2, obex::Connect()), "irda connect");

    // Removing the families or stopping keeps the slots.
    Hook(BDC_BLUETOOTH, 0);
    Hook(BDC_IRDA, 0);
    Command(STOP, 0);
    Command(START, 1);
    Hook(BDC_BLUETOOTH, 1);
    Hook(BDC_IRDA, 1);
    EXPECT_EQ(ObexBluetoothConnection(), ConnectionOf(1));
    EXPECT_EQ(ObexIrdaConnection(), ConnectionOf(2));
    ExpectRefused(Rfcomm(1, obex::PutNamed(u"a")), "put after re-hook");

    // A new load of the image starts with empty slots: connection 1's puts pass.
    Unload();
    ASSERT_EQ(machine().LoadDriver(kServiceName, kImageName), STATUS_SUCCESS);
    loaded_ = true;
    connection_ = Connect(agent_);
    ASSERT_NE(connection_, nullptr);
    EXPECT_EQ(ObexBluetoothConnection(), nullptr);
    EXPECT_EQ(ObexIrdaConnection(), nullptr);
    Command(START, 1);
    Hook(BDC_BLUETOOTH, 1);
    Policy(BDC_BLUETOOTH_FILE, READONLY, 0);
    ExpectPassed(Rfcomm(1, obex::PutNamed(u"a")), "put after reload");
}

TEST_F(ObexMendTest, AtDispatchLevelDecidesButRecordsNothing) {
    Policy(BDC_BLUETOOTH_FILE, READONLY, 1);
    Policy(BDC_IRDA, READONLY, 1);
    winsim::ObexSendOptions high;
    high.irql = DISPATCH_LEVEL;
    // The connect is followed, the put on it refused, the disconnect followed.
    ExpectPassed(Rfcomm(1, obex::Connect(), high), "connect");
    EXPECT_EQ(ObexBluetoothConnection(), ConnectionOf(1));
    ExpectRefused(Rfcomm(1, obex::PutNamed(u"a.txt"), high), "put");
    ExpectPassed(Rfcomm(2, obex::PutNamed(u"a.txt"), high), "put on another connection");
    ExpectPassed(Irda(3, obex::Connect(), high), "irda connect");
    EXPECT_EQ(ObexIrdaConnection(), ConnectionOf(3));
    ExpectPassed(Irda(3, obex::PutNamed(u"a.txt"), high), "irda put");
    ExpectPassed(Rfcomm(1, obex::Disconnect(), high), "disconnect");
    EXPECT_EQ(ObexBluetoothConnection(), nullptr);

    EXPECT_TRUE(Drain().empty());
    // Narrow traces print; the ones with wide text do not.
    EXPECT_TRUE(machine().DebugContains("kx4grd:RfcommInternalDeviceIoControl: Opcode(82)\n"));
    EXPECT_FALSE(machine().DebugContains("File Name Found"));
    EXPECT_FALSE(machine().DebugContains("Blocked File Transfer"));
    EXPECT_FALSE(machine().DebugContains("file blocked"));
    EXPECT_TRUE(machine().Verifier().Clean()) << machine().Verifier().ToString();
}

TEST_F(ObexMendTest, ConcurrentSessionsCompleteEveryRequestOnce) {
    Policy(BDC_BLUETOOTH_FILE, READONLY, 0);
    Policy(BDC_IRDA, READONLY, 1);
    constexpr int kThreads = 6;
    constexpr int kRounds = 150;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            const uint32_t connection = 100 + static_cast<uint32_t>(t);
            for (int i = 0; i < kRounds; i++) {
                const bool irda = (i % 5) == 4;
                const auto transport = irda ? winsim::ObexTransport::Irda : winsim::ObexTransport::Rfcomm;
                const Bytes& packet = (i % 3) == 0 ? obex::Connect() : (i % 3) == 1 ? obex::PutNamed(u"f.txt")
                                                                                      : obex::Disconnect();
                winsim::ObexSendOptions o;
                o.process = sender_;
                o.irql = (i % 4) == 0 ? DISPATCH_LEVEL : PASSIVE_LEVEL;
                const winsim::DeviceRequestResult r = machine().SendObexPacket(transport, connection, packet, o);
                if (!r.completed || (r.status != STATUS_SUCCESS && r.status != kRefused) ||
                    (r.status == kRefused && (irda || packet[0] != OBEX_OPCODE_PUT_FINAL))) {
                    wrong++;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    // Either slot holds one of the connections or nothing.
    const PFILE_OBJECT slot = ObexBluetoothConnection();
    bool known = slot == nullptr;
    for (int t = 0; t < kThreads; t++) known = known || slot == ConnectionOf(100 + static_cast<uint32_t>(t));
    EXPECT_TRUE(known);
    EXPECT_EQ(machine().PendingRequests(), 0u);
    Drain();
}

}  // namespace
}  // namespace kxtest
