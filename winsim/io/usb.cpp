// USB devices under the hub drivers. A plugged device is a physical device object
// of the hub driver (usbhub or usbhub3); the start request goes to it through the
// hub's IRP_MJ_PNP slot, and it answers the USB request blocks a driver sends it
// with IOCTL_INTERNAL_USB_SUBMIT_URB: descriptor requests from the device
// (URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) for its device, configuration and
// string descriptors, as the test scripted them (raw bytes, possibly malformed;
// short transfers, failures, late answers from another thread, or none at all
// until the request is cancelled).
#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <stdexcept>
#include <thread>

#include "winsim/io/targets.h"

using winsim::detail::Violation;

namespace winsim::io {

struct UsbDevice {
    UsbDeviceOptions options;
    std::u16string hub;
    PDEVICE_OBJECT pdo = nullptr;
    std::mutex mutex;
    std::vector<UsbDescriptorRequestRecord> records;
    std::map<PIRP, size_t> unanswered;  // Pend and Never requests, with their record
    std::set<PIRP> never;               // Never requests still held (cancelable)
};

namespace {

void Record(UsbDevice& usb, PIRP irp, size_t index, NTSTATUS status, ULONG transferred) {
    std::lock_guard<std::mutex> lock(usb.mutex);
    if (index < usb.records.size()) {
        usb.records[index].status = status;
        usb.records[index].transferred = transferred;
    }
    usb.unanswered.erase(irp);
}

// The descriptor the device has for this request; false when it has none (a stall).
bool DescriptorFor(const UsbDeviceOptions& o, UCHAR type, UCHAR index, USHORT language, std::vector<uint8_t>* out) {
    switch (type) {
        case USB_DEVICE_DESCRIPTOR_TYPE: *out = o.deviceDescriptor; return !o.deviceDescriptor.empty();
        case USB_CONFIGURATION_DESCRIPTOR_TYPE:
            if (index != 0 || o.configuration.empty()) return false;
            *out = o.configuration;
            return true;
        case USB_STRING_DESCRIPTOR_TYPE: {
            if (index != 0 && language != o.languageId) return false;
            auto it = o.strings.find(index);
            if (it == o.strings.end()) return false;
            *out = it->second;
            return true;
        }
        default: return false;
    }
}

const UsbTransferScript& ScriptFor(const UsbDeviceOptions& o, UCHAR type) {
    switch (type) {
        case USB_DEVICE_DESCRIPTOR_TYPE: return o.deviceTransfer;
        case USB_CONFIGURATION_DESCRIPTOR_TYPE: return o.configurationTransfer;
        default: return o.stringTransfer;
    }
}

// Carries out the transfer into the request's buffer and completes it.
NTSTATUS Transfer(UsbDevice& usb, PIRP irp, size_t index) {
    PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    auto& request = urb->UrbControlDescriptorRequest;
    const UsbTransferScript& script = ScriptFor(usb.options, request.DescriptorType);
    std::vector<uint8_t> data;
    if (!DescriptorFor(usb.options, request.DescriptorType, request.Index, request.LanguageId, &data)) {
        request.Hdr.Status = USBD_STATUS_STALL_PID;
        request.TransferBufferLength = 0;
        Record(usb, irp, index, STATUS_UNSUCCESSFUL, 0);
        return CompleteWith(irp, STATUS_UNSUCCESSFUL, 0);
    }
    void* buffer = request.TransferBuffer;
    if (request.TransferBufferMDL != nullptr)
        buffer = MmGetSystemAddressForMdlSafe(request.TransferBufferMDL, NormalPagePriority);
    size_t n = std::min<size_t>(request.TransferBufferLength, data.size());
    if (script.maxBytes >= 0) n = std::min<size_t>(n, static_cast<size_t>(script.maxBytes));
    if (buffer == nullptr && request.TransferBufferLength > 0) {
        request.Hdr.Status = USBD_STATUS_INVALID_PARAMETER;
        request.TransferBufferLength = 0;
        Record(usb, irp, index, STATUS_INVALID_PARAMETER, 0);
        return CompleteWith(irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (n > 0) std::memcpy(buffer, data.data(), n);
    request.TransferBufferLength = static_cast<ULONG>(n);
    request.Hdr.Status = USBD_STATUS_SUCCESS;
    Record(usb, irp, index, STATUS_SUCCESS, static_cast<ULONG>(n));
    return CompleteWith(irp, STATUS_SUCCESS, 0);
}

void UsbCancel(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    TargetDeviceObject* t = TargetOfDevice(device);
    if (t == nullptr || !t->usb) {
        Violation("a USB device's cancel routine ran for a device that is not one");
        return;
    }
    UsbDevice& usb = *t->usb;
    size_t index = SIZE_MAX;
    {
        std::lock_guard<std::mutex> lock(usb.mutex);
        usb.never.erase(irp);
        auto it = usb.unanswered.find(irp);
        if (it != usb.unanswered.end()) index = it->second;
    }
    PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    urb->UrbControlDescriptorRequest.TransferBufferLength = 0;
    Record(usb, irp, index, STATUS_CANCELLED, 0);
    CompleteWith(irp, STATUS_CANCELLED, 0);
}

NTSTATUS SubmitUrb(UsbDevice& usb, PIRP irp) {
    PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    UsbDescriptorRequestRecord rec;
    rec.irql = KeGetCurrentIrql();
    rec.status = STATUS_PENDING;
    if (urb == nullptr) {
        rec.status = STATUS_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(usb.mutex);
        usb.records.push_back(rec);
        return CompleteWith(irp, STATUS_INVALID_PARAMETER, 0);
    }
    rec.urbLength = urb->UrbHeader.Length;
    rec.function = urb->UrbHeader.Function;
    const bool descriptor = rec.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    const bool sized = rec.urbLength >= sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    if (descriptor && sized) {
        const auto& request = urb->UrbControlDescriptorRequest;
        rec.descriptorType = request.DescriptorType;
        rec.index = request.Index;
        rec.languageId = request.LanguageId;
        rec.requestedLength = request.TransferBufferLength;
    }
    size_t index;
    {
        std::lock_guard<std::mutex> lock(usb.mutex);
        index = usb.records.size();
        usb.records.push_back(rec);
    }
    if (!descriptor || !sized) {
        // The USB stack refuses what it cannot parse.
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
        const NTSTATUS status = descriptor ? STATUS_INVALID_PARAMETER : STATUS_NOT_SUPPORTED;
        Record(usb, irp, index, status, 0);
        return CompleteWith(irp, status, 0);
    }
    const UsbTransferScript& script = ScriptFor(usb.options, rec.descriptorType);
    switch (script.answer) {
        case UsbAnswer::Answer: return Transfer(usb, irp, index);
        case UsbAnswer::Fail:
            urb->UrbHeader.Status = script.usbdStatus;
            urb->UrbControlDescriptorRequest.TransferBufferLength = 0;
            Record(usb, irp, index, script.status, 0);
            return CompleteWith(irp, script.status, 0);
        case UsbAnswer::Pend: {
            IoMarkIrpPending(irp);
            {
                std::lock_guard<std::mutex> lock(usb.mutex);
                usb.unanswered[irp] = index;
            }
            UsbDevice* device = &usb;
            const uint32_t delay = script.pendMs;
            RunLater([device, irp, index, delay] {
                std::this_thread::sleep_for(std::chrono::milliseconds(delay));
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                Transfer(*device, irp, index);
                KeLowerIrql(old);
            });
            return STATUS_PENDING;
        }
        case UsbAnswer::Never: {
            IoMarkIrpPending(irp);
            {
                std::lock_guard<std::mutex> lock(usb.mutex);
                usb.unanswered[irp] = index;
                usb.never.insert(irp);
            }
            IoSetCancelRoutine(irp, UsbCancel);
            if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                {
                    std::lock_guard<std::mutex> lock(usb.mutex);
                    usb.never.erase(irp);
                }
                urb->UrbHeader.Status = USBD_STATUS_CANCELED;
                urb->UrbControlDescriptorRequest.TransferBufferLength = 0;
                Record(usb, irp, index, STATUS_CANCELLED, 0);
                CompleteWith(irp, STATUS_CANCELLED, 0);
            }
            return STATUS_PENDING;
        }
    }
    return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

}  // namespace

NTSTATUS UsbDeviceDispatch(TargetDeviceObject* device, PIRP irp) {
    UsbDevice& usb = *device->usb;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
        case IRP_MJ_PNP:
            switch (stack->MinorFunction) {
                case IRP_MN_START_DEVICE: return CompleteWith(irp, usb.options.startStatus, 0);
                case IRP_MN_REMOVE_DEVICE:
                    device->removed = true;
                    return CompleteWith(irp, STATUS_SUCCESS, 0);
                default:
                    // A PnP request the bus driver does not handle keeps its status.
                    return CompleteWith(irp, irp->IoStatus.Status, irp->IoStatus.Information);
            }
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB)
                return SubmitUrb(usb, irp);
            return CompleteWith(irp, STATUS_NOT_SUPPORTED, 0);
        default: return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

void UsbShutdown(UsbDevice* usb) {
    std::set<PIRP> never;
    {
        std::lock_guard<std::mutex> lock(usb->mutex);
        never.swap(usb->never);
    }
    for (PIRP irp : never)
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
            PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
            urb->UrbHeader.Status = USBD_STATUS_DEV_NOT_RESPONDING;
            urb->UrbControlDescriptorRequest.TransferBufferLength = 0;
            size_t index = SIZE_MAX;
            {
                std::lock_guard<std::mutex> lock(usb->mutex);
                auto it = usb->unanswered.find(irp);
                if (it != usb->unanswered.end()) index = it->second;
            }
            Record(*usb, irp, index, STATUS_NO_SUCH_DEVICE, 0);
            CompleteWith(irp, STATUS_NO_SUCH_DEVICE, 0);
        }
}

}  // namespace winsim::io

// ---------------------------------------------------------------- test controls
namespace winsim {

UsbPlugResult Machine::PlugUsbDevice(const UsbDeviceOptions& options) {
    Current();
    auto hub = io::FindLoadedTarget(options.hub);
    if (!hub) throw std::invalid_argument("PlugUsbDevice: hub driver " + detail::ToUtf8(options.hub) + " is not loaded");
    auto usb = std::make_shared<io::UsbDevice>();
    usb->options = options;
    usb->hub = hub->name;
    static std::atomic<unsigned> serial{0};
    const unsigned n = serial.fetch_add(1);
    PDEVICE_OBJECT pdo = io::NewTargetDevice(*hub, u"\\Device\\USBPDO-" + detail::FromUtf8(std::to_string(n)), usb, 1);
    usb->pdo = pdo;
    pdo->DeviceType = FILE_DEVICE_BUS_EXTENDER;
    DeviceRequest start;
    start.major = IRP_MJ_PNP;
    start.minor = IRP_MN_START_DEVICE;
    start.irql = options.irql;
    start.process = options.process;
    start.waitMs = options.waitMs;
    UsbPlugResult result;
    result.device = pdo;
    result.start = io::SendBuilt(pdo, start, nullptr,
                                 "IRP_MN_START_DEVICE of a USB device under " + detail::ToUtf8(hub->name));
    result.started = result.start.completed && NT_SUCCESS(result.start.status);
    return result;
}

DeviceRequestResult Machine::UnplugUsbDevice(PDEVICE_OBJECT device) {
    io::TargetDeviceObject* t = io::TargetOfDevice(device);
    if (t == nullptr || !t->usb) throw std::invalid_argument("UnplugUsbDevice: not a USB device");
    DeviceRequest remove;
    remove.major = IRP_MJ_PNP;
    remove.minor = IRP_MN_REMOVE_DEVICE;
    return io::SendBuilt(device, remove, nullptr, "IRP_MN_REMOVE_DEVICE of a USB device");
}

std::vector<UsbDescriptorRequestRecord> Machine::UsbDescriptorRequests(PDEVICE_OBJECT device) const {
    io::TargetDeviceObject* t = io::TargetOfDevice(device);
    if (t == nullptr || !t->usb) throw std::invalid_argument("UsbDescriptorRequests: not a USB device");
    std::lock_guard<std::mutex> lock(t->usb->mutex);
    return t->usb->records;
}

namespace usb {

std::vector<uint8_t> DeviceDescriptor(uint8_t deviceClass, uint16_t vendor, uint16_t product, uint8_t iManufacturer,
                                      uint8_t iProduct, uint8_t iSerialNumber, uint8_t subClass, uint8_t protocol,
                                      uint16_t bcdDevice) {
    return {18,
            USB_DEVICE_DESCRIPTOR_TYPE,
            0x00,
            0x02,  // USB 2.0
            deviceClass,
            subClass,
            protocol,
            64,
            static_cast<uint8_t>(vendor),
            static_cast<uint8_t>(vendor >> 8),
            static_cast<uint8_t>(product),
            static_cast<uint8_t>(product >> 8),
            static_cast<uint8_t>(bcdDevice),
            static_cast<uint8_t>(bcdDevice >> 8),
            iManufacturer,
            iProduct,
            iSerialNumber,
            1};
}

std::vector<uint8_t> StringDescriptor(const std::u16string& text) {
    std::vector<uint8_t> bytes{static_cast<uint8_t>(2 + 2 * text.size()), USB_STRING_DESCRIPTOR_TYPE};
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    return bytes;
}

std::vector<uint8_t> LanguageTable(uint16_t languageId) {
    return {4, USB_STRING_DESCRIPTOR_TYPE, static_cast<uint8_t>(languageId), static_cast<uint8_t>(languageId >> 8)};
}

std::vector<uint8_t> Configuration(const std::vector<uint8_t>& rest, uint8_t numInterfaces,
                                   std::optional<uint16_t> totalLength) {
    const uint16_t total = totalLength.value_or(static_cast<uint16_t>(9 + rest.size()));
    std::vector<uint8_t> bytes{9,
                               USB_CONFIGURATION_DESCRIPTOR_TYPE,
                               static_cast<uint8_t>(total),
                               static_cast<uint8_t>(total >> 8),
                               numInterfaces,
                               1,
                               0,
                               0x80,
                               50};
    bytes.reserve(bytes.size() + rest.size());
    for (uint8_t b : rest) bytes.push_back(b);
    return bytes;
}

std::vector<uint8_t> Interface(uint8_t number, uint8_t cls, uint8_t subClass, uint8_t protocol, uint8_t endpoints,
                               uint8_t alternate) {
    return {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, cls, subClass, protocol, 0};
}

std::vector<uint8_t> Endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval) {
    return {7,
            USB_ENDPOINT_DESCRIPTOR_TYPE,
            address,
            attributes,
            static_cast<uint8_t>(maxPacket),
            static_cast<uint8_t>(maxPacket >> 8),
            interval};
}

std::vector<uint8_t> Hid(uint16_t bcdHid, uint8_t numDescriptors, uint16_t reportLength) {
    return {9,
            0x21,
            static_cast<uint8_t>(bcdHid),
            static_cast<uint8_t>(bcdHid >> 8),
            0,
            numDescriptors,
            0x22,
            static_cast<uint8_t>(reportLength),
            static_cast<uint8_t>(reportLength >> 8)};
}

}  // namespace usb
}  // namespace winsim
