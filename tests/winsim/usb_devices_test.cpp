// USB devices under the hub drivers: the plug control's start request through the
// hub's PnP slot, and the descriptor requests a driver sends the device the way a
// plug-and-play filter does (IoBuildDeviceIoControlRequest with
// IOCTL_INTERNAL_USB_SUBMIT_URB, a get-descriptor URB in Argument1, an event and a
// status block): full, short and failed transfers, wrong languages and malformed
// requests, late answers from another thread, and a device that never answers
// until the request is cancelled.
#include "tests/winsim/io_hook_probe.h"

using winsim::UsbAnswer;
using winsim::UsbDeviceOptions;
namespace usb = winsim::usb;

namespace {

struct Read {
    NTSTATUS status = 0;
    bool timedOut = false;
    ULONG transferred = 0;
    USBD_STATUS usbd = 0;
    std::vector<uint8_t> bytes;
};

// Reads one descriptor as a driver does; with a timeout, a request not answered in
// time is cancelled and its completion awaited.
Read ReadDescriptor(PDEVICE_OBJECT device, UCHAR type, UCHAR index, USHORT language, ULONG length,
                    LONGLONG timeout100ns = 0, USHORT urbLength = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)) {
    Read r;
    URB urb{};
    std::vector<uint8_t> buffer(length, 0xEE);
    UsbBuildGetDescriptorRequest(&urb, urbLength, type, index, language, buffer.data(), nullptr, length, nullptr);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, device, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &iosb);
    if (irp == nullptr) {
        r.status = STATUS_INSUFFICIENT_RESOURCES;
        return r;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    r.status = IofCallDriver(device, irp);
    if (r.status == STATUS_PENDING) {
        LARGE_INTEGER t;
        t.QuadPart = -timeout100ns;
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, timeout100ns ? &t : nullptr) ==
            STATUS_TIMEOUT) {
            r.timedOut = true;
            IoCancelIrp(irp);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
        r.status = iosb.Status;
    }
    r.transferred = urb.UrbControlDescriptorRequest.TransferBufferLength;
    r.usbd = urb.UrbHeader.Status;
    r.bytes.assign(buffer.begin(), buffer.begin() + std::min<size_t>(r.transferred, length));
    return r;
}

class UsbTest : public hookprobe::ProbeTest {
protected:
    void SetUp() override {
        hookprobe::ProbeTest::SetUp();
        ASSERT_EQ(M().LoadTargetDriver(u"usbhub"), STATUS_SUCCESS);
        ASSERT_EQ(M().LoadTargetDriver(u"usbhub3"), STATUS_SUCCESS);
    }
    // A storage device: vendor 0x0781, product 0x5567, three strings, one interface.
    static UsbDeviceOptions Stick() {
        UsbDeviceOptions o;
        o.deviceDescriptor = usb::DeviceDescriptor(0, 0x0781, 0x5567, 1, 2, 3);
        o.configuration =
            usb::Configuration(Concat({usb::Interface(0, 8, 6, 0x50, 2), usb::Endpoint(0x81, 2, 512, 0),
                                       usb::Endpoint(0x02, 2, 512, 0)}));
        o.strings = {{0, usb::LanguageTable()},
                     {1, usb::StringDescriptor(u"SanDisk")},
                     {2, usb::StringDescriptor(u"Cruzer Blade")},
                     {3, usb::StringDescriptor(u"4C530001")}};
        return o;
    }
    static std::vector<uint8_t> Concat(const std::vector<std::vector<uint8_t>>& parts) {
        std::vector<uint8_t> all;
        for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    }
};

TEST_F(UsbTest, APluggedDeviceStartsThroughItsHubsPnpSlot) {
    for (const char16_t* hub : {u"usbhub", u"usbhub3"}) {
        Interpose(hub, IRP_MJ_PNP);
        UsbDeviceOptions o = Stick();
        o.hub = hub;
        winsim::UsbPlugResult plugged = M().PlugUsbDevice(o);
        EXPECT_TRUE(plugged.started);
        EXPECT_EQ(plugged.start.status, STATUS_SUCCESS);
        EXPECT_EQ(hookprobe::g_hookCalls, 1);
        winsim::TargetStats stats = M().TargetRequests(hub);
        EXPECT_EQ(stats.last.major, IRP_MJ_PNP);
        EXPECT_EQ(stats.last.minor, IRP_MN_START_DEVICE);
        EXPECT_EQ(stats.last.device, plugged.device);
        EXPECT_EQ(plugged.device->DriverObject, M().TargetDriverObject(hub));
        // Removal goes the same way and is passed on.
        EXPECT_EQ(M().UnplugUsbDevice(plugged.device).status, STATUS_SUCCESS);
        EXPECT_EQ(M().TargetRequests(hub).last.minor, IRP_MN_REMOVE_DEVICE);
        EXPECT_EQ(hookprobe::g_hookCalls, 2);
        Restore(hub, IRP_MJ_PNP);
        hookprobe::g_hookCalls = 0;
    }
    UsbDeviceOptions refused = Stick();
    refused.startStatus = STATUS_DEVICE_DATA_ERROR;
    refused.irql = DISPATCH_LEVEL;
    winsim::UsbPlugResult plugged = M().PlugUsbDevice(refused);
    EXPECT_FALSE(plugged.started);
    EXPECT_EQ(plugged.start.status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(M().TargetRequests(u"usbhub").last.irql, DISPATCH_LEVEL);
    UnloadProbe();
    ExpectClean();
}

TEST_F(UsbTest, DescriptorsAreAnsweredByTypeIndexAndLanguageWithinTheRequestedLength) {
    PDEVICE_OBJECT device = M().PlugUsbDevice(Stick()).device;
    Read d = ReadDescriptor(device, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18);
    EXPECT_EQ(d.status, STATUS_SUCCESS);
    EXPECT_EQ(d.usbd, USBD_STATUS_SUCCESS);
    ASSERT_EQ(d.transferred, 18u);
    USB_DEVICE_DESCRIPTOR dd;
    std::memcpy(&dd, d.bytes.data(), sizeof dd);
    EXPECT_EQ(dd.idVendor, 0x0781);
    EXPECT_EQ(dd.idProduct, 0x5567);
    EXPECT_EQ(dd.iSerialNumber, 3);

    Read header = ReadDescriptor(device, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9);
    ASSERT_EQ(header.transferred, 9u);
    const uint16_t total = static_cast<uint16_t>(header.bytes[2] | header.bytes[3] << 8);
    EXPECT_EQ(total, 9 + 9 + 7 + 7);
    Read whole = ReadDescriptor(device, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 255);
    EXPECT_EQ(whole.transferred, total);  // min(requested, available)

    Read serial = ReadDescriptor(device, USB_STRING_DESCRIPTOR_TYPE, 3, 0x0409, 256);
    EXPECT_EQ(serial.transferred, 2u + 16u);
    EXPECT_EQ(serial.bytes, usb::StringDescriptor(u"4C530001"));
    Read german = ReadDescriptor(device, USB_STRING_DESCRIPTOR_TYPE, 3, 0x0407, 256);
    EXPECT_EQ(german.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(german.usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(german.transferred, 0u);
    Read missing = ReadDescriptor(device, USB_STRING_DESCRIPTOR_TYPE, 9, 0x0409, 256);
    EXPECT_EQ(missing.status, STATUS_UNSUCCESSFUL);

    auto records = M().UsbDescriptorRequests(device);
    ASSERT_EQ(records.size(), 6u);
    EXPECT_EQ(records[2].requestedLength, 255u);
    EXPECT_EQ(records[2].transferred, total);
    EXPECT_EQ(records[3].languageId, 0x0409);
    EXPECT_EQ(records[3].function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_EQ(records[3].urbLength, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    UnloadProbe();
    ExpectClean();
}

TEST_F(UsbTest, MalformedShortAndFailingAnswersAreAsScripted) {
    UsbDeviceOptions o = Stick();
    o.deviceDescriptor = {18, 1, 0, 2};  // claims 18 bytes, has 4
    o.configuration = usb::Configuration({}, 1, 0xFFFF);  // wTotalLength past the end
    o.configurationTransfer.maxBytes = 5;                 // and a short transfer
    o.stringTransfer.answer = UsbAnswer::Fail;
    o.stringTransfer.status = STATUS_IO_DEVICE_ERROR;
    o.stringTransfer.usbdStatus = USBD_STATUS_DEV_NOT_RESPONDING;
    PDEVICE_OBJECT device = M().PlugUsbDevice(o).device;
    Read d = ReadDescriptor(device, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18);
    EXPECT_EQ(d.status, STATUS_SUCCESS);
    EXPECT_EQ(d.transferred, 4u);
    Read c = ReadDescriptor(device, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9);
    EXPECT_EQ(c.transferred, 5u);
    EXPECT_EQ(c.bytes, (std::vector<uint8_t>{9, 2, 0xFF, 0xFF, 1}));
    Read s = ReadDescriptor(device, USB_STRING_DESCRIPTOR_TYPE, 1, 0x0409, 256);
    EXPECT_EQ(s.status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(s.usbd, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(s.transferred, 0u);
    // A URB whose length does not cover the request is refused, as the USB stack does.
    Read bad = ReadDescriptor(device, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, 0, sizeof(struct _URB_HEADER));
    EXPECT_EQ(bad.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bad.usbd, USBD_STATUS_INVALID_PARAMETER);
    UnloadProbe();
    ExpectClean();
}

TEST_F(UsbTest, APendingAnswerComesFromAnotherThreadBeforeATimedWaitGivesUp) {
    UsbDeviceOptions o = Stick();
    o.deviceTransfer.answer = UsbAnswer::Pend;
    o.deviceTransfer.pendMs = 30;
    PDEVICE_OBJECT device = M().PlugUsbDevice(o).device;
    const uint64_t before = M().TickCount();
    Read d = ReadDescriptor(device, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, 10LL * 1000 * 1000);  // 1 s
    EXPECT_FALSE(d.timedOut);
    EXPECT_EQ(d.status, STATUS_SUCCESS);
    EXPECT_EQ(d.transferred, 18u);
    EXPECT_EQ(M().TickCount(), before);  // the driven clock did not have to move
    auto records = M().UsbDescriptorRequests(device);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].status, STATUS_SUCCESS);
    UnloadProbe();
    ExpectClean();
}

TEST_F(UsbTest, ADeviceThatNeverAnswersIsCancelledAfterTheTimeout) {
    UsbDeviceOptions o = Stick();
    o.configurationTransfer.answer = UsbAnswer::Never;
    PDEVICE_OBJECT device = M().PlugUsbDevice(o).device;
    const uint64_t before = M().TickCount();
    Read c = ReadDescriptor(device, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9, 10LL * 1000 * 1000 * 5);  // 5 s
    EXPECT_TRUE(c.timedOut);
    EXPECT_EQ(c.status, STATUS_CANCELLED);
    EXPECT_EQ(c.usbd, USBD_STATUS_CANCELED);
    EXPECT_EQ(c.transferred, 0u);
    EXPECT_GE(M().TickCount() - before, 5000u * 10000 / winsim::Machine::kTimeIncrement - 1);
    EXPECT_EQ(M().UsbDescriptorRequests(device).back().status, STATUS_CANCELLED);
    // The other descriptors still answer.
    EXPECT_EQ(ReadDescriptor(device, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18).transferred, 18u);
    UnloadProbe();
    ExpectClean();
}

TEST_F(UsbTest, ANeverAnsweredRequestLeftBehindIsOutstandingUntilTheHubUnloads) {
    UsbDeviceOptions o = Stick();
    o.stringTransfer.answer = UsbAnswer::Never;
    PDEVICE_OBJECT device = M().PlugUsbDevice(o).device;
    URB urb{};
    uint8_t buffer[256];
    UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_STRING_DESCRIPTOR_TYPE, 1, 0x0409, buffer, nullptr, sizeof buffer, nullptr);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, device, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    EXPECT_EQ(IofCallDriver(device, irp), STATUS_PENDING);
    EXPECT_EQ(ViolationsWith("never completed"), 1u);
    ASSERT_EQ(M().UnloadTargetDriver(u"usbhub"), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_NO_SUCH_DEVICE);
    UnloadProbe();
    ExpectClean();
}

}  // namespace
