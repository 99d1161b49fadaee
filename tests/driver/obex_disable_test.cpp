// Bluetooth and IrDA under DISABLE: which requests of which driver are refused,
// with what status, trace and event, and what still passes.
#include "tests/driver/obex_fixture.h"

namespace kxtest {
namespace {

constexpr ULONG kStackCode = 0x00410003;  // a device-control code the stack drivers use

class ObexDisableTest : public ObexTest {};

TEST_F(ObexDisableTest, BluetoothDisableRefusesEveryStackRequestButShortBtkrnlOnes) {
    Policy(BDC_BLUETOOTH, DISABLE, 1);
    const unsigned rfcomm = Reached(u"RFCOMM");
    const unsigned btwusb = Reached(u"BTWUSB");
    const unsigned bthusb = Reached(u"BTHUSB");
    const unsigned btkrnl = Reached(u"BTKRNL");

    // RFCOMM: every internal request, whatever it carries (no packet is read).
    ExpectRefused(Rfcomm(1, obex::Connect()), "rfcomm connect");
    NextWindow();
    winsim::ObexSendOptions bare;
    bare.noMdl = true;
    bare.ioControlCode = 0x00210012;
    ExpectRefused(Rfcomm(2, {}, bare), "rfcomm without data");
    EXPECT_EQ(Reached(u"RFCOMM"), rfcomm);
    EXPECT_EQ(ObexBluetoothConnection(), nullptr) << "a refused request's packet was followed";
    NextWindow();

    ExpectRefused(Control(u"BTWUSB", kStackCode, 0), "btwusb");
    NextWindow();
    ExpectRefused(Control(u"BTHUSB", kStackCode, 64), "bthusb");
    NextWindow();
    ExpectRefused(Control(u"BTKRNL", kStackCode, 5), "btkrnl 5 bytes");
    NextWindow();
    EXPECT_EQ(Reached(u"BTWUSB"), btwusb);
    EXPECT_EQ(Reached(u"BTHUSB"), bthusb);
    EXPECT_EQ(Reached(u"BTKRNL"), btkrnl);

    // BTKRNL requests of four input bytes or fewer pass.
    ExpectPassed(Control(u"BTKRNL", kStackCode, 4), "btkrnl 4 bytes");
    ExpectPassed(Control(u"BTKRNL", kStackCode, 0), "btkrnl 0 bytes");
    EXPECT_EQ(Reached(u"BTKRNL"), btkrnl + 2);

    const std::vector<EVENT_RECORD> events = Drain();
    ASSERT_EQ(events.size(), 5u);
    ExpectEvent(events[0], BDC_BLUETOOTH, DISABLE, u"controlCode(21001F)");
    ExpectEvent(events[1], BDC_BLUETOOTH, DISABLE, u"controlCode(210012)");
    ExpectEvent(events[2], BDC_BLUETOOTH, DISABLE, u"btwusb blocked(410003)");
    ExpectEvent(events[3], BDC_BLUETOOTH, DISABLE, u"bthusb blocked(410003)");
    ExpectEvent(events[4], BDC_BLUETOOTH, DISABLE, u"btkrnl blocked(410003)(5)");

    EXPECT_TRUE(machine().DebugContains("kx4grd:RfcommInternalDeviceIoControl:   blocked(21001F)\n"));
    EXPECT_TRUE(machine().DebugContains("kx4grd:BtwusbDeviceIoControl:  btwusb blocked(410003)\n"));
    EXPECT_TRUE(machine().DebugContains("kx4grd:BthusbDeviceIoControl:  bthusb blocked(410003)\n"));
    EXPECT_TRUE(machine().DebugContains("kx4grd:BtkrnlDeviceIoControl: btkrnl blocked(410003)(5)\n"));
    EXPECT_EQ(machine().DebugCount("kx4grd:BtkrnlDeviceIoControl: btkrnl blocked"), 1u);
}

TEST_F(ObexDisableTest, LogFlagClearRefusesWithoutEvents) {
    Policy(BDC_BLUETOOTH, DISABLE, 0);
    Policy(BDC_IRDA, DISABLE, 0);
    ExpectRefused(Rfcomm(1, obex::Connect()), "rfcomm");
    ExpectRefused(Control(u"BTWUSB", kStackCode, 8), "btwusb");
    ExpectRefused(Control(u"BTHUSB", kStackCode, 8), "bthusb");
    ExpectRefused(Control(u"BTKRNL", kStackCode, 8), "btkrnl");
    ExpectRefused(Irda(1, obex::Connect()), "irda");
    EXPECT_TRUE(Drain().empty());
}

TEST_F(ObexDisableTest, IrdaDisableRefusesEveryInternalRequest) {
    Policy(BDC_IRDA, DISABLE, 1);
    const unsigned irda = Reached(u"irda");
    ExpectRefused(Irda(1, obex::Connect()), "irda connect");
    NextWindow();
    winsim::ObexSendOptions other;
    other.noMdl = true;
    other.noFileObject = true;
    other.inputLength = 0x1c;
    ExpectRefused(Irda(2, {}, other), "irda without data");
    EXPECT_EQ(Reached(u"irda"), irda);
    EXPECT_EQ(ObexIrdaConnection(), nullptr);

    const std::vector<EVENT_RECORD> events = Drain();
    ASSERT_EQ(events.size(), 2u);
    ExpectEvent(events[0], BDC_IRDA, DISABLE, u"Irda Blocked len(7)");
    ExpectEvent(events[1], BDC_IRDA, DISABLE, u"Irda Blocked len(1c)");
    EXPECT_EQ(machine().DebugCount("kx4grd:IrdaInternalDeviceControl: block!!!\n"), 2u);
}

TEST_F(ObexDisableTest, EachChannelOnlyByItsOwnPolicy) {
    // IrDA disabled leaves Bluetooth alone, and the other way round; the Bluetooth
    // file policy alone refuses no stack-driver request.
    Policy(BDC_IRDA, DISABLE, 0);
    Policy(BDC_BLUETOOTH_FILE, DISABLE, 0);
    ExpectPassed(Control(u"BTWUSB", kStackCode, 8), "btwusb under irda disable");
    ExpectPassed(Control(u"BTHUSB", kStackCode, 8), "bthusb under irda disable");
    ExpectPassed(Control(u"BTKRNL", kStackCode, 8), "btkrnl under irda disable");
    ExpectRefused(Irda(1, obex::Disconnect()), "irda");
    Policy(BDC_IRDA, ENABLE, 0);
    Policy(BDC_BLUETOOTH_FILE, ENABLE, 0);
    Policy(BDC_BLUETOOTH, DISABLE, 0);
    ExpectPassed(Irda(1, obex::Disconnect()), "irda under bluetooth disable");
    ExpectRefused(Control(u"BTHUSB", kStackCode, 8), "bthusb");
}

TEST_F(ObexDisableTest, OtherMajorFunctionsOfTheTargetsPass) {
    Policy(BDC_BLUETOOTH, DISABLE, 1);
    Policy(BDC_IRDA, DISABLE, 1);
    // The stack drivers are hooked on device control, RFCOMM and IrDA on internal
    // device control: the other entry of each passes.
    ExpectPassed(Control(u"BTWUSB", kStackCode, 8, IRP_MJ_INTERNAL_DEVICE_CONTROL), "btwusb internal");
    ExpectPassed(Control(u"BTKRNL", kStackCode, 8, IRP_MJ_INTERNAL_DEVICE_CONTROL), "btkrnl internal");
    ExpectPassed(Control(u"RFCOMM", kStackCode, 8, IRP_MJ_DEVICE_CONTROL), "rfcomm device control");
    ExpectPassed(Control(u"irda", kStackCode, 8, IRP_MJ_DEVICE_CONTROL), "irda device control");
    EXPECT_TRUE(Drain().empty());
}

TEST_F(ObexDisableTest, PassThroughWhileStoppedOrUnhooked) {
    Policy(BDC_BLUETOOTH, DISABLE, 1);
    Policy(BDC_IRDA, DISABLE, 1);
    Command(STOP, 0);
    ExpectPassed(Rfcomm(1, obex::Connect()), "rfcomm stopped");
    ExpectPassed(Control(u"BTKRNL", kStackCode, 8), "btkrnl stopped");
    ExpectPassed(Irda(1, obex::Connect()), "irda stopped");
    EXPECT_EQ(ObexBluetoothConnection(), nullptr);
    Command(START, 1);
    Hook(BDC_BLUETOOTH, 0);
    Hook(BDC_IRDA, 0);
    ExpectPassed(Rfcomm(1, obex::Connect()), "rfcomm unhooked");
    ExpectPassed(Control(u"BTWUSB", kStackCode, 8), "btwusb unhooked");
    ExpectPassed(Irda(1, obex::Connect()), "irda unhooked");
    EXPECT_TRUE(Drain().empty());
    // Hooked again, the policy holds again.
    Hook(BDC_BLUETOOTH, 1);
    ExpectRefused(Control(u"BTWUSB", kStackCode, 8), "btwusb hooked again");
}

TEST_F(ObexDisableTest, RefusalAtDispatchLevelRecordsNothing) {
    Policy(BDC_BLUETOOTH, DISABLE, 1);
    Policy(BDC_IRDA, DISABLE, 1);
    ExpectRefused(Control(u"BTHUSB", kStackCode, 8, IRP_MJ_DEVICE_CONTROL, DISPATCH_LEVEL), "bthusb");
    ExpectRefused(Control(u"BTKRNL", kStackCode, 8, IRP_MJ_DEVICE_CONTROL, DISPATCH_LEVEL), "btkrnl");
    winsim::ObexSendOptions high;
    high.irql = DISPATCH_LEVEL;
    ExpectRefused(Rfcomm(1, obex::Connect(), high), "rfcomm");
    ExpectRefused(Irda(1, obex::Connect(), high), "irda");
    // The narrow traces still print; no event is recorded above PASSIVE_LEVEL.
    EXPECT_TRUE(machine().DebugContains("kx4grd:BthusbDeviceIoControl:  bthusb blocked(410003)\n"));
    EXPECT_TRUE(Drain().empty());
    EXPECT_TRUE(machine().Verifier().Clean()) << machine().Verifier().ToString();
}

}  // namespace
}  // namespace kxtest
