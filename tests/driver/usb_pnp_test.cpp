// USB plug-and-play control: device starts through the hub drivers are decided by
// the BDC_USB policy from the descriptors the device returns, with the port
// exceptions, the event record, and the devices that cannot be read.
#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>
#include <string>
#include <vector>

#include "driver/hooks/usb_pnp.h"
#include "tests/driver/usb_pnp_builders.h"
#include "tests/support/driver_fixture.h"

using kxtest::RawMessage;
using kxtest::Reply;
using usbt::Bytes;

namespace {

constexpr uint16_t kVid = 0x0781;
constexpr uint16_t kPid = 0x5581;
constexpr char16_t kRefusedPath[] =
    u"DeviceClass : 0, DeviceSubClass : 0, DeviceProtocol : 0, Vid: 0x0781, Pid : 0x5581, Serial : SN0042";
constexpr char16_t kUnreadable[] = u"pUsbInfo invaild pointer";

// A composite keyboard and mouse: two HID interfaces behind a class-0 device.
Bytes KeyboardAndMouse() {
    return usbt::Config({usbt::Interface(0, 3, 1, 1), usbt::Hid(0x0111, 63), usbt::Endpoint(0x81, 3, 8, 10),
                         usbt::Interface(1, 3, 1, 2), usbt::Hid(0x0111, 52), usbt::Endpoint(0x82, 3, 4, 10)},
                        2);
}

class UsbPnpTest : public kxtest::DriverTest {
protected:
    void BeforeLoad() override {
        ASSERT_EQ(machine().LoadTargetDriver(u"usbhub"), STATUS_SUCCESS);
        ASSERT_EQ(machine().LoadTargetDriver(u"usbhub3"), STATUS_SUCCESS);
    }
    void SetUp() override {
        DriverTest::SetUp();
        if (HasFatalFailure()) return;
        DebugLevel = KX_DBG_ERROR | KX_DBG_INFO;
        Command(START, 1);
        Hook(1);
        winsim::ProcessOptions installer;
        installer.imagePath = u"\\Device\\HarddiskVolume2\\Windows\\System32\\drvinst.exe";
        installer_ = machine().StartProcess(installer);
        ASSERT_NE(installer_, nullptr);
        Drain();
        machine().ClearDebugOutput();
    }

    void Command(uint64_t command, uint32_t state) {
        RawMessage msg(command);
        msg.State(state);
        ASSERT_EQ(Send(msg).status, STATUS_SUCCESS);
    }
    void Hook(uint32_t on) {
        RawMessage msg(SET_HOOK);
        msg.Type(BDC_USB).State(on);
        ASSERT_EQ(Send(msg).status, STATUS_SUCCESS);
    }
    void Policy(ULONG state, ULONG log) {
        RawMessage msg(SET_POLICY);
        msg.DeviceType(BDC_USB).PolicyState(state).Log(log);
        ASSERT_EQ(Send(msg).status, STATUS_SUCCESS);
    }
    void PortException(uint32_t state, uint32_t vid, uint32_t pid, const std::u16string& serial,
                       uint32_t type = BDC_USB) {
        RawMessage msg(SET_USB_PORT_EXCEPT);
        msg.State(state).UlType(type).Put32(44, vid).Put32(48, pid).Put32(52, 0).PutWide(56, serial);
        ASSERT_EQ(Send(msg).status, STATUS_SUCCESS);
    }
    std::vector<EVENT_RECORD> Drain() {
        std::vector<EVENT_RECORD> records;
        std::vector<uint8_t> out(GetLogReplySize(64));
        for (;;) {
            RawMessage msg(GET_LOG);
            Reply reply = Send(msg, out.data(), static_cast<uint32_t>(out.size()));
            if (reply.status != STATUS_SUCCESS) break;
            for (uint32_t i = 0; i < kxtest::ReplyCount(out); ++i) records.push_back(kxtest::RecordAt(out, i));
        }
        return records;
    }
    std::vector<EVENT_RECORD> DrainPolicy() {
        std::vector<EVENT_RECORD> policy;
        for (const EVENT_RECORD& r : Drain())
            if (r.code == POLICY) policy.push_back(r);
        return policy;
    }

    // A class-0 device with manufacturer, product and (unless empty) serial strings.
    winsim::UsbDeviceOptions Device(uint8_t deviceClass = 0, const std::u16string& serial = u"SN0042",
                                    uint16_t vid = kVid, uint16_t pid = kPid) {
        winsim::UsbDeviceOptions o;
        o.deviceDescriptor = winsim::usb::DeviceDescriptor(deviceClass, vid, pid, 1, 2, serial.empty() ? 0 : 3);
        o.strings[0] = winsim::usb::LanguageTable();
        o.strings[1] = winsim::usb::StringDescriptor(u"SanDisk");
        o.strings[2] = winsim::usb::StringDescriptor(u"Cruzer Blade");
        if (!serial.empty()) o.strings[3] = winsim::usb::StringDescriptor(serial);
        o.configuration = KeyboardAndMouse();
        o.process = installer_;
        return o;
    }
    winsim::UsbPlugResult Plug(const winsim::UsbDeviceOptions& o) {
        winsim::UsbPlugResult r = machine().PlugUsbDevice(o);
        EXPECT_TRUE(r.start.completed) << "the start request was left pending";
        return r;
    }
    void ExpectRefused(const winsim::UsbPlugResult& r) {
        EXPECT_FALSE(r.started);
        EXPECT_EQ(r.start.status, STATUS_ACCESS_DENIED);
        EXPECT_EQ(r.start.information, 0u);
    }
    // One POLICY record of BDC_USB from the installer with that state and text.
    void ExpectEvent(ULONG state, const std::u16string& path) {
        std::vector<EVENT_RECORD> records = DrainPolicy();
        ASSERT_EQ(records.size(), 1u);
        const EVENT_RECORD& r = records[0];
        EXPECT_EQ(r.a0, static_cast<ULONG>(BDC_USB));
        EXPECT_EQ(r.a1, state);
        EXPECT_EQ(r.log, 1u);
        EXPECT_EQ(r.pid, machine().ProcessId(installer_));
        EXPECT_EQ(kxtest::Text(r.name), u"drvinst.exe");
        EXPECT_EQ(kxtest::Text(r.path), path);
    }
    // Past the event log's two-second duplicate window.
    void NextPlug() {
        machine().AdvanceClock(2500);
        machine().ClearDebugOutput();
    }
    unsigned HubStarts(const std::u16string& hub = u"usbhub") {
        return machine().TargetRequests(hub).byMajor[IRP_MJ_PNP];
    }

    PEPROCESS installer_ = nullptr;
};

TEST_F(UsbPnpTest, RefusedUnderDisableWithTheDeviceInTheEvent) {
    Policy(DISABLE, 1);
    const winsim::UsbPlugResult r = Plug(Device());
    ExpectRefused(r);
    ExpectEvent(DISABLE, kRefusedPath);

    const std::string pid = std::to_string(machine().ProcessId(installer_));
    EXPECT_TRUE(machine().DebugContains("USBPnpControl:  IRP_MN_START_DEVICE (" + pid + ")(drvinst.exe)"));
    EXPECT_TRUE(machine().DebugContains("USBPnpControl: USB Connected: DeviceClass(0), DeviceSubClass(0), "
                                        "bDeviceProtocol(0), VID=0x0781, PID=0x5581"));
    EXPECT_TRUE(machine().DebugContains("USBPnpControl:   Product: Cruzer Blade"));
    EXPECT_TRUE(machine().DebugContains("USBPnpControl:   Serial: SN0042"));
    EXPECT_TRUE(machine().DebugContains("USBPnpControl: STATUS_ACCESS_DENIED!!!!!!"));
    // The HID interfaces are found and listed, and decide nothing.
    EXPECT_TRUE(machine().DebugContains("CollectUsbDeviceInfo:   Found HID Desc at Interface 0 (Count: 1)"));
    EXPECT_TRUE(machine().DebugContains("CollectUsbDeviceInfo:   Found HID Desc at Interface 1 (Count: 2)"));
    EXPECT_TRUE(machine().DebugContains("wTotalLength: 0x3B, bNumInterfaces: 0x2, bConfigurationValue: 0x1, "
                                        "MaxPower: 0x32"));
    EXPECT_EQ(machine().DebugCount("[Interface Descriptor]"), 2u);
    EXPECT_EQ(machine().DebugCount("[Endpoint Descriptor]"), 2u);
    EXPECT_TRUE(machine().DebugContains("bEndpointAddress: 0x82, bmAttributes: 0x3, wMaxPacketSize: 0x4, "
                                        "bInterval: 0xA"));
    EXPECT_TRUE(machine().DebugContains("Total HID Interfaces Found: 2"));
    EXPECT_TRUE(machine().DebugContains("[HID Interface #1]"));
    EXPECT_TRUE(machine().DebugContains("bcdHID: 0x0111"));
    EXPECT_TRUE(machine().DebugContains("Desc Length: 52"));
    // Refused: the hub never saw the start.
    EXPECT_EQ(HubStarts(), 0u);

    // The six descriptor requests, each a get-descriptor URB of the full size at
    // PASSIVE_LEVEL.
    const std::vector<winsim::UsbDescriptorRequestRecord> requests = machine().UsbDescriptorRequests(r.device);
    ASSERT_EQ(requests.size(), 6u);
    const struct {
        UCHAR type, index;
        USHORT language;
        ULONG length;
    } expected[] = {{1, 0, 0, 18}, {3, 1, 0x0409, 256}, {3, 2, 0x0409, 256},
                    {3, 3, 0x0409, 256}, {2, 0, 0, 9}, {2, 0, 0, 59}};
    for (size_t i = 0; i < requests.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(requests[i].function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
        EXPECT_EQ(requests[i].urbLength, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
        EXPECT_EQ(requests[i].descriptorType, expected[i].type);
        EXPECT_EQ(requests[i].index, expected[i].index);
        EXPECT_EQ(requests[i].languageId, expected[i].language);
        EXPECT_EQ(requests[i].requestedLength, expected[i].length);
        EXPECT_EQ(requests[i].status, STATUS_SUCCESS);
        EXPECT_EQ(requests[i].irql, PASSIVE_LEVEL);
    }
    EXPECT_EQ(machine().PoolAllocations(winsim::PoolTag("upnp")), 0u) << "records and buffers freed";
}

TEST_F(UsbPnpTest, ClassesThatAlwaysStartRecordNothing) {
    Policy(DISABLE, 1);
    for (uint8_t deviceClass : {1, 3, 7, 9, 14}) {
        SCOPED_TRACE(int(deviceClass));
        const winsim::UsbPlugResult r = Plug(Device(deviceClass));
        EXPECT_TRUE(r.started);
        EXPECT_TRUE(machine().DebugContains("USBPnpControl: define deviceclass (" + std::to_string(deviceClass) + ")"));
        EXPECT_TRUE(DrainPolicy().empty());
        NextPlug();
    }
    // Their neighbours are not spared.
    for (uint8_t deviceClass : {0, 2, 8, 10, 15, 0xE0, 0xEF, 0xFF}) {
        SCOPED_TRACE(int(deviceClass));
        ExpectRefused(Plug(Device(deviceClass)));
        std::vector<EVENT_RECORD> records = DrainPolicy();
        ASSERT_EQ(records.size(), 1u);
        const std::string prefix = "DeviceClass : " + std::to_string(deviceClass) + ",";
        EXPECT_EQ(kxtest::Text(records[0].path).substr(0, prefix.size()),
                  std::u16string(prefix.begin(), prefix.end()));
        NextPlug();
    }
}

TEST_F(UsbPnpTest, EnableAndReadOnlyStartAndAreRecordedWhenLogged) {
    Policy(ENABLE, 1);
    EXPECT_TRUE(Plug(Device()).started);
    ExpectEvent(ENABLE, kRefusedPath);
    EXPECT_EQ(HubStarts(), 1u);
    NextPlug();

    Policy(READONLY, 1);
    EXPECT_TRUE(Plug(Device()).started);
    ExpectEvent(READONLY, kRefusedPath);
    NextPlug();

    Policy(ENABLE, 0);
    EXPECT_TRUE(Plug(Device()).started);
    EXPECT_TRUE(DrainPolicy().empty());
    NextPlug();

    Policy(DISABLE, 0);
    ExpectRefused(Plug(Device()));
    EXPECT_TRUE(DrainPolicy().empty());
    EXPECT_TRUE(machine().DebugContains("STATUS_ACCESS_DENIED!!!!!!"));
}

TEST_F(UsbPnpTest, PortExceptionsByIdsAndSerial) {
    Policy(DISABLE, 1);
    PortException(0, kVid, kPid, u"ABC");

    // The entry's serial begins with the device's: exact and shorter serials match.
    for (const char16_t* serial : {u"ABC", u"AB", u"abc"}) {
        SCOPED_TRACE(std::string(serial, serial + std::char_traits<char16_t>::length(serial)));
        EXPECT_TRUE(Plug(Device(0, serial)).started);
        EXPECT_TRUE(machine().DebugContains("USBPnpControl: user usb policy exception"));
        EXPECT_TRUE(DrainPolicy().empty()) << "an excepted device records nothing";
        NextPlug();
    }
    // Serial mismatch, longer serial, other product: refused.
    ExpectRefused(Plug(Device(0, u"ABCD")));
    ExpectEvent(DISABLE, u"DeviceClass : 0, DeviceSubClass : 0, DeviceProtocol : 0, Vid: 0x0781, Pid : 0x5581, "
                         u"Serial : ABCD");
    NextPlug();
    ExpectRefused(Plug(Device(0, u"XYZ")));
    DrainPolicy();
    NextPlug();
    ExpectRefused(Plug(Device(0, u"ABC", kVid, 0x5582)));
    DrainPolicy();
    NextPlug();

    // No serial string: looked up with an empty serial, so the vendor and product
    // decide.
    EXPECT_TRUE(Plug(Device(0, u"")).started);
    EXPECT_TRUE(machine().DebugContains("user usb policy exception"));
    EXPECT_FALSE(machine().DebugContains("Serial: "));
    EXPECT_TRUE(DrainPolicy().empty());
    NextPlug();
    // ... and without an entry for them it is refused, with an empty serial shown.
    ExpectRefused(Plug(Device(0, u"", kVid, 0x1111)));
    ExpectEvent(DISABLE, u"DeviceClass : 0, DeviceSubClass : 0, DeviceProtocol : 0, Vid: 0x0781, Pid : 0x1111, "
                         u"Serial : ");
    NextPlug();

    // An entry of another device type does not except a USB device.
    PortException(2, 0, 0, u"");
    PortException(0, kVid, kPid, u"ABC", BDC_USB_DISK);
    ExpectRefused(Plug(Device(0, u"ABC")));
}

TEST_F(UsbPnpTest, SerialStringThatCannotBeReadCountsAsNone) {
    Policy(DISABLE, 1);
    winsim::UsbDeviceOptions o = Device();
    o.stringTransfer.answer = winsim::UsbAnswer::Fail;
    ExpectRefused(Plug(o));
    ExpectEvent(DISABLE, u"DeviceClass : 0, DeviceSubClass : 0, DeviceProtocol : 0, Vid: 0x0781, Pid : 0x5581, "
                         u"Serial : ");
    EXPECT_FALSE(machine().DebugContains("Product: "));
    NextPlug();

    PortException(0, kVid, kPid, u"SN0042");
    EXPECT_TRUE(Plug(o).started) << "looked up with an empty serial";
    EXPECT_TRUE(DrainPolicy().empty());
}

TEST_F(UsbPnpTest, StringsAreBoundedByTheTransferAndTerminated) {
    Policy(DISABLE, 1);
    struct Case {
        Bytes serial;
        std::u16string shown;
    } cases[] = {
        {{7, 3, 'S', 0, 'N', 0, 'X'}, u"SN"},              // odd length: the lone byte is no character
        {{255, 3, 'A', 0, 'B', 0}, u"AB"},                 // claims 255 bytes, six arrive
        {{3, 3, 'Q'}, u""},                                // no whole character
        {{2, 3}, u""},                                     // header only
        {{40, 4, 'N', 0, 'O', 0}, u""},                    // not a string descriptor
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const Case& c = cases[i];
        winsim::UsbDeviceOptions o = Device();
        o.strings[3] = c.serial;
        ExpectRefused(Plug(o));
        ExpectEvent(DISABLE, u"DeviceClass : 0, DeviceSubClass : 0, DeviceProtocol : 0, Vid: 0x0781, Pid : 0x5581, "
                             u"Serial : " +
                                 c.shown);
        NextPlug();
    }
    // A short transfer of a string: what arrived, in whole characters.
    winsim::UsbDeviceOptions o = Device(0, u"SN0042");
    o.stringTransfer.maxBytes = 7;
    ExpectRefused(Plug(o));
    ExpectEvent(DISABLE, u"DeviceClass : 0, DeviceSubClass : 0, DeviceProtocol : 0, Vid: 0x0781, Pid : 0x5581, "
                         u"Serial : SN");
}

TEST_F(UsbPnpTest, UnreadableDevicesStartAndAreRecordedAsSuch) {
    Policy(DISABLE, 1);
    struct Case {
        const char* what;
        winsim::UsbDeviceOptions options;
    };
    std::vector<Case> cases;
    {
        winsim::UsbDeviceOptions o = Device();
        o.deviceTransfer.answer = winsim::UsbAnswer::Fail;
        o.deviceTransfer.status = STATUS_IO_DEVICE_ERROR;
        cases.push_back({"device descriptor request fails", o});
    }
    {
        winsim::UsbDeviceOptions o = Device();
        o.deviceDescriptor.clear();
        cases.push_back({"no device descriptor", o});
    }
    for (int bytes : {0, 1, 2, 8, 17}) {
        winsim::UsbDeviceOptions o = Device();
        o.deviceTransfer.maxBytes = bytes;
        cases.push_back({"short device descriptor", o});
    }
    {
        winsim::UsbDeviceOptions o = Device();
        o.deviceDescriptor[0] = 8;
        cases.push_back({"bLength too small", o});
    }
    {
        winsim::UsbDeviceOptions o = Device();
        o.deviceDescriptor.assign(18, 0);
        cases.push_back({"zero-filled device descriptor", o});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const winsim::UsbPlugResult r = Plug(c.options);
        EXPECT_TRUE(r.started) << "never refused for lack of information";
        ExpectEvent(DISABLE, kUnreadable);
        EXPECT_TRUE(machine().DebugContains("USBPnpControl: pUsbInfo invaild pointer"));
        EXPECT_EQ(machine().UsbDescriptorRequests(r.device).size(), 1u) << "nothing more is asked";
        NextPlug();
    }
    EXPECT_EQ(machine().PoolAllocations(winsim::PoolTag("upnp")), 0u);
}

TEST_F(UsbPnpTest, PendingDeviceIsWaitedFor) {
    Policy(DISABLE, 1);
    // The device answers every request a few milliseconds later from its own thread.
    winsim::UsbDeviceOptions o = Device();
    o.deviceTransfer.answer = winsim::UsbAnswer::Pend;
    o.stringTransfer.answer = winsim::UsbAnswer::Pend;
    o.configurationTransfer.answer = winsim::UsbAnswer::Pend;
    const winsim::UsbPlugResult r = Plug(o);
    ExpectRefused(r);
    ExpectEvent(DISABLE, kRefusedPath);
    EXPECT_EQ(machine().DebugCount("UDF_CallUSBDI: waiting for URB completion"), 6u);
    EXPECT_EQ(machine().DebugCount("UDF_CallUSBDI: returned 0"), 6u);
    EXPECT_TRUE(machine().DebugContains("Total HID Interfaces Found: 2"));
    EXPECT_TRUE(machine().OutstandingRequests().empty());
}

TEST_F(UsbPnpTest, FailingStringAndConfigurationReadsLeaveThosePartsOut) {
    Policy(DISABLE, 1);
    winsim::UsbDeviceOptions o = Device();
    o.stringTransfer.answer = winsim::UsbAnswer::Fail;
    o.configurationTransfer.answer = winsim::UsbAnswer::Fail;
    const winsim::UsbPlugResult r = Plug(o);
    ExpectRefused(r) ;
    ExpectEvent(DISABLE, u"DeviceClass : 0, DeviceSubClass : 0, DeviceProtocol : 0, Vid: 0x0781, Pid : 0x5581, "
                         u"Serial : ");
    EXPECT_FALSE(machine().DebugContains("[Configuration Descriptor]"));
    EXPECT_EQ(machine().UsbDescriptorRequests(r.device).size(), 5u) << "device, three strings, one header";
    NextPlug();

    // A header that is not a configuration: no second request.
    winsim::UsbDeviceOptions bad = Device();
    bad.configuration[1] = 0x04;
    const winsim::UsbPlugResult b = Plug(bad);
    ExpectRefused(b);
    EXPECT_EQ(machine().UsbDescriptorRequests(b.device).size(), 5u);
    EXPECT_FALSE(machine().DebugContains("[Configuration Descriptor]"));
}

// Every allocation of a start, made to fail in turn: nothing leaks, and a start is
// let through only when the device could not be read at all.
TEST_F(UsbPnpTest, AllocationFailuresLeakNothingAndNeverRefuseBlindly) {
    Policy(DISABLE, 1);
    int failures = 0;
    for (unsigned n = 1; n < 64; ++n) {
        SCOPED_TRACE(n);
        machine().FailNthCall(winsim::FaultClass::Allocation, n);
        const winsim::UsbPlugResult r = Plug(Device());
        const bool hit = machine().InjectedFaultHit();
        machine().ClearFaultInjection();
        EXPECT_EQ(machine().PoolAllocations(winsim::PoolTag("upnp")), 0u);
        if (r.started) {
            EXPECT_TRUE(machine().DebugContains("USBPnpControl: pUsbInfo invaild pointer"));
        } else {
            ExpectRefused(r);
        }
        DrainPolicy();
        NextPlug();
        if (!hit) {
            EXPECT_FALSE(r.started) << "without a failure the device is read and refused";
            break;
        }
        ++failures;
    }
    // The record, six requests with their URBs and buffers, three strings, the
    // configuration, and the event.
    EXPECT_GE(failures, 20);
}

TEST_F(UsbPnpTest, NeverAnsweringDeviceIsCancelledAndStarts) {
    Policy(DISABLE, 1);
    winsim::UsbDeviceOptions o = Device();
    o.deviceTransfer.answer = winsim::UsbAnswer::Never;
    const uint64_t before = machine().TickCount();
    const winsim::UsbPlugResult r = Plug(o);
    EXPECT_TRUE(r.started);
    ExpectEvent(DISABLE, kUnreadable);
    const uint64_t waitedMs = (machine().TickCount() - before) * winsim::Machine::kTimeIncrement / 10000;
    EXPECT_GE(waitedMs, static_cast<uint64_t>(KX_USB_DESCRIPTOR_TIMEOUT_MS));
    EXPECT_TRUE(machine().DebugContains("UDF_CallUSBDI: URB not completed in 5000 ms, cancelling"));
    const std::vector<winsim::UsbDescriptorRequestRecord> requests = machine().UsbDescriptorRequests(r.device);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].status, STATUS_CANCELLED);
    EXPECT_TRUE(machine().OutstandingRequests().empty());
    NextPlug();

    // A device that answers its device descriptor and then stops answering is not
    // asked again once one request had to be cancelled.
    winsim::UsbDeviceOptions late = Device();
    late.stringTransfer.answer = winsim::UsbAnswer::Never;
    const winsim::UsbPlugResult l = Plug(late);
    EXPECT_TRUE(l.started);
    ExpectEvent(DISABLE, kUnreadable);
    const std::vector<winsim::UsbDescriptorRequestRecord> lateRequests = machine().UsbDescriptorRequests(l.device);
    ASSERT_EQ(lateRequests.size(), 2u);
    EXPECT_EQ(lateRequests[0].status, STATUS_SUCCESS);
    EXPECT_EQ(lateRequests[1].status, STATUS_CANCELLED);
    EXPECT_EQ(machine().PoolAllocations(winsim::PoolTag("upnp")), 0u);
}

// A start that waits on a device that never answers holds a request inside the
// hub's routing; removing the family (and unloading) waits for it, so the wait
// must end on its own.
class UsbPnpSilentDeviceTest : public UsbPnpTest {
protected:
    // Plugs a device that never answers; once the driver waits on it, runs
    // teardown on another thread and lets the wait go on only when teardown is
    // waiting for the request to leave.
    void PlugWhile(const std::function<void()>& teardown) {
        Policy(DISABLE, 1);
        winsim::UsbDeviceOptions o = Device();
        o.deviceTransfer.answer = winsim::UsbAnswer::Never;
        std::thread worker;
        machine().OnDebugLine("waiting for URB completion", [&] {
            worker = std::thread(teardown);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!machine().DebugContains("Waiting for active IRPs") && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        const winsim::UsbPlugResult r = Plug(o);
        ASSERT_TRUE(worker.joinable());
        worker.join();
        EXPECT_TRUE(machine().DebugContains("Waiting for active IRPs")) << "teardown waited for the start";
        EXPECT_TRUE(r.started);
        EXPECT_TRUE(machine().DebugContains("URB not completed in 5000 ms, cancelling"));
        const std::vector<winsim::UsbDescriptorRequestRecord> requests = machine().UsbDescriptorRequests(r.device);
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].status, STATUS_CANCELLED);
    }
};

TEST_F(UsbPnpSilentDeviceTest, FamilyRemovalFinishes) {
    PlugWhile([this] {
        RawMessage msg(SET_HOOK);
        msg.Type(BDC_USB).State(0);
        EXPECT_EQ(Send(msg).status, STATUS_SUCCESS);
    });
    EXPECT_TRUE(machine().DebugContains("USBIrpHookCleanup: Complete."));
    // Removed: the next start goes to the hub unread.
    const winsim::UsbPlugResult next = Plug(Device());
    EXPECT_TRUE(next.started);
    EXPECT_TRUE(machine().UsbDescriptorRequests(next.device).empty());
}

TEST_F(UsbPnpSilentDeviceTest, UnloadFinishes) {
    PlugWhile([this] { Unload(); });
    EXPECT_FALSE(machine().IsDriverLoaded(kxtest::kServiceName));
}

TEST_F(UsbPnpTest, StartAbovePassiveLevelIsDecidedWithoutReadingOrRecording) {
    Policy(DISABLE, 1);
    for (KIRQL irql : {DISPATCH_LEVEL, APC_LEVEL}) {
        SCOPED_TRACE(int(irql));
        winsim::UsbDeviceOptions o = Device();
        o.irql = irql;
        const winsim::UsbPlugResult r = Plug(o);
        EXPECT_TRUE(r.started) << "the start is not refused for lack of information";
        EXPECT_TRUE(machine().UsbDescriptorRequests(r.device).empty());
        EXPECT_TRUE(machine().DebugContains("CollectUsbDeviceInfo: not APC_LEVEL"));
        EXPECT_TRUE(machine().DebugContains("USBPnpControl: pUsbInfo invaild pointer"));
        EXPECT_TRUE(DrainPolicy().empty()) << "no event above PASSIVE_LEVEL";
        // No wide formatting happened above PASSIVE_LEVEL (the verifier reports it).
        EXPECT_TRUE(machine().Verifier().Clean()) << machine().Verifier().ToString();
        NextPlug();
    }
    // Back at PASSIVE_LEVEL the same device is read and refused.
    ExpectRefused(Plug(Device()));
    ExpectEvent(DISABLE, kRefusedPath);
}

TEST_F(UsbPnpTest, OtherRequestsAndInactiveStatesPassUnchanged) {
    Policy(DISABLE, 1);
    const winsim::UsbPlugResult r = Plug(Device(0, u"KEEP"));
    ExpectRefused(r);
    DrainPolicy();

    // A remove request and any other minor function reach the hub.
    const unsigned before = HubStarts();
    winsim::DeviceRequest query;
    query.major = IRP_MJ_PNP;
    query.minor = IRP_MN_QUERY_CAPABILITIES;
    const winsim::DeviceRequestResult q = machine().SendRequestTo(r.device, query);
    EXPECT_TRUE(q.completed);
    EXPECT_TRUE(machine().DebugContains("USBPnpControl:  minor(9)"));
    const winsim::DeviceRequestResult removed = machine().UnplugUsbDevice(r.device);
    EXPECT_TRUE(removed.completed);
    EXPECT_EQ(removed.status, STATUS_SUCCESS);
    EXPECT_TRUE(machine().DebugContains("USBPnpControl:  IRP_MN_REMOVE_DEVICE"));
    EXPECT_EQ(HubStarts(), before + 2);
    NextPlug();

    // Not started: no descriptor is read, nothing is refused or recorded.
    Command(STOP, 0);
    const winsim::UsbPlugResult stopped = Plug(Device());
    EXPECT_TRUE(stopped.started);
    EXPECT_TRUE(machine().UsbDescriptorRequests(stopped.device).empty());
    Command(START, 1);
    // The USB family removed: the same.
    Hook(0);
    const winsim::UsbPlugResult unhooked = Plug(Device());
    EXPECT_TRUE(unhooked.started);
    EXPECT_TRUE(machine().UsbDescriptorRequests(unhooked.device).empty());
    EXPECT_TRUE(DrainPolicy().empty());
}

TEST_F(UsbPnpTest, SecondHubDriverIsControlledToo) {
    Policy(DISABLE, 1);
    winsim::UsbDeviceOptions o = Device();
    o.hub = u"usbhub3";
    ExpectRefused(Plug(o));
    ExpectEvent(DISABLE, kRefusedPath);
    EXPECT_EQ(HubStarts(u"usbhub3"), 0u);
    NextPlug();
    o.deviceDescriptor = winsim::usb::DeviceDescriptor(9, 0x05E3, 0x0610, 0, 0, 0);
    EXPECT_TRUE(Plug(o).started);
    EXPECT_EQ(HubStarts(u"usbhub3"), 1u);
}

// Malformed configurations through a real plug: the decision still follows the
// device class, and every read stays inside what was transferred (the sanitizer
// build reports any other read).
TEST_F(UsbPnpTest, MalformedConfigurationsAreReadWithinWhatArrived) {
    Policy(DISABLE, 0);
    struct Case {
        const char* what;
        Bytes configuration;
        int maxBytes;
        const char* hidLine;  // what the dump says of HID interfaces, or null for no dump
    };
    Bytes elevenHid;
    for (uint8_t i = 0; i < 11; ++i) {
        elevenHid = usbt::Concat({elevenHid, usbt::Interface(i, 3), usbt::Hid(0x0111, 20)});
    }
    const Bytes keyboard = KeyboardAndMouse();
    const Case cases[] = {
        {"total 0", usbt::Config({}, 0, 0), -1, nullptr},
        {"total 1", usbt::Config({}, 0, 1), -1, nullptr},
        {"total 2", usbt::Config({}, 0, 2), -1, nullptr},
        {"total 8", usbt::Config({}, 0, 8), -1, nullptr},
        {"total 9", usbt::Config({}, 0, 9), -1, "No HID Interfaces found."},
        {"total 65535, short", usbt::Config({usbt::Interface(0, 3), usbt::Hid(0x0111, 20)}, 1, 65535), -1,
         "Total HID Interfaces Found: 1"},
        {"short transfer 0", keyboard, 0, nullptr},
        {"short transfer 1", keyboard, 1, nullptr},
        {"short transfer 2", keyboard, 2, nullptr},
        {"short transfer 8", keyboard, 8, nullptr},
        {"short transfer 9", keyboard, 9, "No HID Interfaces found."},
        {"short transfer mid-HID", keyboard, 9 + 9 + 5, "No HID Interfaces found."},
        {"descriptor past the end", usbt::Config({usbt::Interface(0, 3), Bytes{200, 0x21, 0x11, 0x01, 0, 1}}), -1,
         "No HID Interfaces found."},
        {"zero length descriptor", usbt::Config({usbt::Interface(0, 3), Bytes{0, 0x21}, usbt::Hid(0x0111, 20)}), -1,
         "No HID Interfaces found."},
        {"HID before interface", usbt::Config({usbt::Hid(0x0111, 20), usbt::Interface(0, 3)}), -1,
         "No HID Interfaces found."},
        {"more than 8 HID", usbt::Config({elevenHid}, 11), -1, "Total HID Interfaces Found: 8"},
        {"zero-filled", Bytes(64, 0), -1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        winsim::UsbDeviceOptions o = Device();
        o.configuration = c.configuration;
        o.configurationTransfer.maxBytes = c.maxBytes;
        ExpectRefused(Plug(o));
        if (c.hidLine == nullptr) {
            EXPECT_FALSE(machine().DebugContains("[Configuration Descriptor]"));
        } else {
            EXPECT_TRUE(machine().DebugContains(c.hidLine));
        }
        NextPlug();
    }
    // The whole configuration is asked with the header's total (65535), and what
    // arrived is less.
    winsim::UsbDeviceOptions o = Device();
    o.configuration = usbt::Config({usbt::Interface(0, 3)}, 1, 65535);
    const winsim::UsbPlugResult r = Plug(o);
    const auto requests = machine().UsbDescriptorRequests(r.device);
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(requests[5].requestedLength, 65535u);
    EXPECT_EQ(requests[5].transferred, 18u);
    EXPECT_EQ(machine().PoolAllocations(winsim::PoolTag("upnp")), 0u);
}

}  // namespace
