// USB plug-and-play control: device-start requests on the hub drivers are decided
// by the BDC_USB policy from the descriptors the device itself returns.
#include "driver/hooks/usb_pnp.h"

#include "driver/core/process_info.h"
#include "driver/log/event_log.h"
#include "driver/policy/policy.h"
#include "driver/policy/usb_exceptions.h"

namespace {

// Device classes that always start: audio (1), printer (7), hub (9) and video
// (14) by mask over classes 0 to 14, and HID (3).
constexpr ULONG kAlwaysStartedClassMask = 0x4282;
constexpr UCHAR kHidClass = 3;

// The event's process name and text, in characters with the terminator.
constexpr SIZE_T kEventNameChars = 50;
constexpr SIZE_T kEventPathChars = 256;

bool AlwaysStarted(UCHAR deviceClass) {
    return deviceClass == kHidClass || (deviceClass <= 14 && ((kAlwaysStartedClassMask >> deviceClass) & 1) != 0);
}

// Signals the sender once the device has completed the request, and keeps the
// request ours (it was allocated here and is freed here).
NTSTATUS UrbCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(deviceObject);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// One get-descriptor request into a zero-filled buffer of bufferLength bytes.
// *transferred is what the device says it returned, never more than the buffer.
NTSTATUS ReadDescriptor(PDEVICE_OBJECT deviceObject, UCHAR type, UCHAR index, USHORT languageId, PUCHAR buffer,
                        ULONG bufferLength, ULONG* transferred) {
    *transferred = 0;
    auto* urb = static_cast<PURB>(
        ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), KX_TAG_USB_INFO));
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index,
                                 languageId, buffer, NULL, bufferLength, NULL);
    const NTSTATUS status = UDF_CallUSBDI(deviceObject, urb);
    if (NT_SUCCESS(status)) {
        const ULONG reported = urb->UrbControlDescriptorRequest.TransferBufferLength;
        *transferred = reported < bufferLength ? reported : bufferLength;
    }
    ExFreePoolWithTag(urb, KX_TAG_USB_INFO);
    return status;
}

PUCHAR AllocateBuffer(ULONG length) {
    // ExAllocatePool2 zero-fills: bytes the device does not write read as zero.
    return static_cast<PUCHAR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, length, KX_TAG_USB_INFO));
}

NTSTATUS ReadDeviceDescriptor(PDEVICE_OBJECT deviceObject, PUSB_INFO info) {
    PUCHAR buffer = AllocateBuffer(KX_USB_DEVICE_DESC_LENGTH);
    if (buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG transferred = 0;
    NTSTATUS status = ReadDescriptor(deviceObject, KX_USB_DESC_DEVICE, 0, 0, buffer, KX_USB_DEVICE_DESC_LENGTH,
                                     &transferred);
    if (NT_SUCCESS(status)) {
        if (KxUsbParseDeviceDescriptor(buffer, transferred, &info->Device)) {
            RtlCopyMemory(info->DeviceDescriptor, buffer, KX_USB_DEVICE_DESC_LENGTH);
        } else {
            status = STATUS_DEVICE_DATA_ERROR;
        }
    }
    ExFreePoolWithTag(buffer, KX_TAG_USB_INFO);
    return status;
}

// A string descriptor as a new terminated wide string; absent (NULL) when the
// index is 0, the transfer fails or the descriptor holds no text.
NTSTATUS ReadString(PDEVICE_OBJECT deviceObject, UCHAR index, PWSTR* text) {
    *text = NULL;
    if (index == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    PUCHAR buffer = AllocateBuffer(KX_USB_STRING_BUFFER_BYTES);
    if (buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG transferred = 0;
    NTSTATUS status = ReadDescriptor(deviceObject, KX_USB_DESC_STRING, index, KX_USB_STRING_LANGUAGE, buffer,
                                     KX_USB_STRING_BUFFER_BYTES, &transferred);
    if (NT_SUCCESS(status)) {
        const ULONG characters = KxUsbStringCharacters(buffer, transferred);
        if (characters == 0) {
            status = STATUS_UNSUCCESSFUL;
        } else {
            auto* copy = static_cast<PWSTR>(
                ExAllocatePool2(POOL_FLAG_NON_PAGED, (characters + 1) * sizeof(WCHAR), KX_TAG_USB_INFO));
            if (copy == NULL) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                KxUsbCopyString(buffer, characters, copy);
                *text = copy;
            }
        }
    }
    ExFreePoolWithTag(buffer, KX_TAG_USB_INFO);
    return status;
}

// Configuration 0: the header gives the total length, which alone sizes the
// second request and bounds what is read of its answer.
NTSTATUS ReadConfiguration(PDEVICE_OBJECT deviceObject, PUSB_INFO info) {
    PUCHAR header = AllocateBuffer(KX_USB_CONFIG_DESC_LENGTH);
    if (header == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG transferred = 0;
    NTSTATUS status = ReadDescriptor(deviceObject, KX_USB_DESC_CONFIGURATION, 0, 0, header,
                                     KX_USB_CONFIG_DESC_LENGTH, &transferred);
    USHORT total = 0;
    if (NT_SUCCESS(status) && !KxUsbConfigTotalLength(header, transferred, &total)) {
        status = STATUS_DEVICE_DATA_ERROR;
    }
    ExFreePoolWithTag(header, KX_TAG_USB_INFO);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PUCHAR block = AllocateBuffer(total);
    if (block == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = ReadDescriptor(deviceObject, KX_USB_DESC_CONFIGURATION, 0, 0, block, total, &transferred);
    ULONG usable = 0;
    if (NT_SUCCESS(status)) {
        usable = KxUsbConfigUsableLength(block, transferred, total);
        if (usable == 0) {
            status = STATUS_DEVICE_DATA_ERROR;
        }
    }
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(block, KX_TAG_USB_INFO);
        return status;
    }
    info->Configuration = block;
    info->ConfigurationLength = usable;
    info->TotalLength = total;
    return STATUS_SUCCESS;
}

void FreeString(PWSTR text) {
    if (text != NULL) {
        ExFreePoolWithTag(text, KX_TAG_USB_INFO);
    }
}

// The diagnostic dump of the configuration; decides nothing. Narrow text only.
void DumpConfiguration(const USB_INFO* info) {
    if (!KxDebugOn(KX_DBG_INFO) || info->Configuration == NULL) {
        return;
    }
    const PUCHAR config = info->Configuration;
    KX_TRACE(KX_DBG_INFO, "%s:%s: [Configuration Descriptor]");
    KX_TRACE(KX_DBG_INFO,
             "%s:%s:   wTotalLength: 0x%X, bNumInterfaces: 0x%X, bConfigurationValue: 0x%X, MaxPower: 0x%X\n",
             (ULONG)info->TotalLength, (ULONG)config[4], (ULONG)config[5], (ULONG)config[8]);
    KX_USB_DESCRIPTOR_WALK walk;
    KxUsbWalkBegin(&walk, config, info->ConfigurationLength);
    const UCHAR* d;
    ULONG length;
    while (KxUsbWalkNext(&walk, &d, &length)) {
        if (d[1] == KX_USB_DESC_INTERFACE && length >= KX_USB_INTERFACE_DESC_LENGTH) {
            KX_TRACE(KX_DBG_INFO, "%s:%s: [Interface Descriptor]");
            KX_TRACE(KX_DBG_INFO,
                     "%s:%s:   bInterfaceNumber: 0x%X, bAlternateSetting: 0x%X, bNumEndpoints: 0x%X, "
                     "bInterfaceClass: 0x%X, bInterfaceSubClass: 0x%X, bInterfaceProtocol: 0x%X",
                     (ULONG)d[2], (ULONG)d[3], (ULONG)d[4], (ULONG)d[5], (ULONG)d[6], (ULONG)d[7]);
        } else if (d[1] == KX_USB_DESC_ENDPOINT && length >= KX_USB_ENDPOINT_DESC_LENGTH) {
            KX_TRACE(KX_DBG_INFO, "%s:%s: [Endpoint Descriptor]\n");
            KX_TRACE(KX_DBG_INFO, "%s:%s:   bEndpointAddress: 0x%X, bmAttributes: 0x%X, wMaxPacketSize: 0x%X, "
                                  "bInterval: 0x%X\n",
                     (ULONG)d[2], (ULONG)d[3], (ULONG)KxUsbRead16(d + 4), (ULONG)d[6]);
        }
    }
    if (info->HidCount == 0) {
        KX_TRACE(KX_DBG_INFO, "%s:%s:   No HID Interfaces found.\n");
        return;
    }
    KX_TRACE(KX_DBG_INFO, "%s:%s:   Total HID Interfaces Found: %d\n", (int)info->HidCount);
    for (ULONG i = 0; i < info->HidCount; ++i) {
        KX_USB_HID_FACTS facts;
        KxUsbHidFacts(&info->Hid[i], &facts);
        KX_TRACE(KX_DBG_INFO, "%s:%s:     [HID Interface #%d]\n", (int)info->Hid[i].InterfaceNumber);
        KX_TRACE(KX_DBG_INFO, "%s:%s:       bcdHID: 0x%04X\n", (ULONG)facts.bcdHID);
        KX_TRACE(KX_DBG_INFO, "%s:%s:       Report Descs: %d\n", (int)facts.bNumDescriptors);
        if (facts.HasFirstLength) {
            KX_TRACE(KX_DBG_INFO, "%s:%s:       Desc Length: %d\n", (int)facts.FirstLength);
        }
    }
}

// The POLICY event of a start request (PASSIVE_LEVEL only): the current
// process's short name and either the device's identity or the note that it
// could not be read. Both texts are formatted bounded into fixed buffers and
// kept cut when longer.
void RecordStart(ULONG state, const CHAR* shortName, const USB_INFO* info) {
    WCHAR name[kEventNameChars] = {};
    (void)RtlStringCchPrintfW(name, kEventNameChars, WSTR("%S"), shortName);
    WCHAR path[kEventPathChars] = {};
    ULONG deviceClass = 0;
    if (info != NULL) {
        deviceClass = info->Device.bDeviceClass;
        // A device without a serial-number string shows an empty serial.
        (void)RtlStringCchPrintfW(
            path, kEventPathChars,
            WSTR("DeviceClass : %d, DeviceSubClass : %d, DeviceProtocol : %d, Vid: 0x%04X, Pid : 0x%04X, Serial : %ws"),
            (int)info->Device.bDeviceClass, (int)info->Device.bDeviceSubClass, (int)info->Device.bDeviceProtocol,
            (ULONG)info->Device.idVendor, (ULONG)info->Device.idProduct,
            info->SerialNumber != NULL ? info->SerialNumber : WSTR(""));
    } else {
        (void)RtlStringCchCopyW(path, kEventPathChars, WSTR("pUsbInfo invaild pointer"));
    }
    (void)SetLog(NULL, NULL, POLICY, BDC_USB, state, deviceClass, name, path);
}

}  // namespace

void FreeUsbInfo(PUSB_INFO info) {
    if (info == NULL) {
        return;
    }
    FreeString(info->Manufacturer);
    FreeString(info->Product);
    FreeString(info->SerialNumber);
    if (info->Configuration != NULL) {
        ExFreePoolWithTag(info->Configuration, KX_TAG_USB_INFO);
    }
    ExFreePoolWithTag(info, KX_TAG_USB_INFO);
}

NTSTATUS UDF_CallUSBDI(PDEVICE_OBJECT deviceObject, PURB urb) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    // Allocated here rather than built as a threaded request, so it stays ours
    // after completion: a request that has to be cancelled is still there to
    // cancel, and its completion is awaited before it and the buffers go.
    PIRP irp = IoAllocateIrp(deviceObject->StackSize, FALSE);
    if (irp == NULL) {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: returned %x\n", (ULONG)STATUS_INSUFFICIENT_RESOURCES);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, UrbCompletion, &done, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(deviceObject, irp);
    if (status == STATUS_PENDING) {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: waiting for URB completion\n");
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10000LL * KX_USB_DESCRIPTOR_TIMEOUT_MS;
        if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
            KX_TRACE(KX_DBG_ERROR, "%s:%s: URB not completed in %d ms, cancelling\n",
                     (int)KX_USB_DESCRIPTOR_TIMEOUT_MS);
            (void)IoCancelIrp(irp);
            (void)KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
            status = STATUS_IO_TIMEOUT;
        } else {
            status = irp->IoStatus.Status;
        }
    } else {
        // Completed (our completion routine ran before the call returned).
        (void)KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    IoFreeIrp(irp);
    KX_TRACE(KX_DBG_ERROR, "%s:%s: returned %x\n", (ULONG)status);
    return status;
}

NTSTATUS CollectUsbDeviceInfo(PDEVICE_OBJECT deviceObject, PUSB_INFO* usbInfo) {
    *usbInfo = NULL;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: not APC_LEVEL\n");
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto* info = static_cast<PUSB_INFO>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(USB_INFO), KX_TAG_USB_INFO));
    if (info == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = ReadDeviceDescriptor(deviceObject, info);
    if (!NT_SUCCESS(status)) {
        FreeUsbInfo(info);
        return status;
    }
    // A failed string or configuration stays absent; a device that stopped
    // answering is not asked again and counts as unreadable.
    const UCHAR indices[] = {info->Device.iManufacturer, info->Device.iProduct, info->Device.iSerialNumber};
    PWSTR* strings[] = {&info->Manufacturer, &info->Product, &info->SerialNumber};
    for (SIZE_T i = 0; i < KX_COUNTOF(indices); ++i) {
        if (indices[i] != 0) {
            status = ReadString(deviceObject, indices[i], strings[i]);
            if (status == STATUS_IO_TIMEOUT) {
                FreeUsbInfo(info);
                return status;
            }
        }
    }
    status = ReadConfiguration(deviceObject, info);
    if (status == STATUS_IO_TIMEOUT) {
        FreeUsbInfo(info);
        return status;
    }
    if (info->Configuration != NULL) {
        info->HidCount = KxUsbScanHid(info->Configuration, info->ConfigurationLength, info->Hid);
        for (ULONG i = 0; i < info->HidCount; ++i) {
            KX_TRACE(KX_DBG_INFO, "%s:%s:   Found HID Desc at Interface %d (Count: %d)\n",
                     (int)info->Hid[i].InterfaceNumber, (int)(i + 1));
        }
    }
    *usbInfo = info;
    return STATUS_SUCCESS;
}

NTSTATUS USBPnpControl(PDRIVER_DISPATCH SavedRoutine, PDEVICE_OBJECT DeviceObject, PIRP Irp, PKX_HOOK_RECORD Record) {
    UNREFERENCED_PARAMETER(Record);
    if (!KxSwitch(Globals.Started) || !KxHookFamilyActive(KxHookUsb)) {
        return SavedRoutine(DeviceObject, Irp);
    }
    const UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    if (minor != IRP_MN_START_DEVICE) {
        if (minor == IRP_MN_REMOVE_DEVICE) {
            KX_TRACE(KX_DBG_INFO, "%s:%s:  IRP_MN_REMOVE_DEVICE\n");
        } else {
            KX_TRACE(KX_DBG_INFO, "%s:%s:  minor(%0x)\n", (ULONG)minor);
        }
        return SavedRoutine(DeviceObject, Irp);
    }

    const ULONG processId = (ULONG)(ULONG_PTR)PsGetCurrentProcessId();
    CHAR shortName[17] = {};
    if (!GetCurrentProcessShortName(shortName)) {
        shortName[0] = 0;
    }
    const ULONG state = GetDevicePolicyState(BDC_USB);
    const ULONG log = GetDevicePolicyLog(BDC_USB);
    KX_TRACE(KX_DBG_INFO, "%s:%s:  IRP_MN_START_DEVICE (%d)(%s)\n", (int)processId, shortName);

    PUSB_INFO info = NULL;
    if (NT_SUCCESS(CollectUsbDeviceInfo(DeviceObject, &info)) && info != NULL) {
        const KX_USB_DEVICE_FIELDS& device = info->Device;
        KX_TRACE(KX_DBG_INFO,
                 "%s:%s: USB Connected: DeviceClass(%d), DeviceSubClass(%d), bDeviceProtocol(%d), VID=0x%04X, "
                 "PID=0x%04X\n",
                 (int)device.bDeviceClass, (int)device.bDeviceSubClass, (int)device.bDeviceProtocol,
                 (ULONG)device.idVendor, (ULONG)device.idProduct);
        if (AlwaysStarted(device.bDeviceClass)) {
            KX_TRACE(KX_DBG_INFO, "%s:%s: define deviceclass (%d)\n", (int)device.bDeviceClass);
            FreeUsbInfo(info);
            return SavedRoutine(DeviceObject, Irp);
        }
        // The record exists only at PASSIVE_LEVEL, where wide text may be printed.
        if (info->Product != NULL) {
            KX_TRACE(KX_DBG_INFO, "%s:%s:   Product: %S\n", info->Product);
        }
        if (info->SerialNumber != NULL) {
            KX_TRACE(KX_DBG_INFO, "%s:%s:   Serial: %S\n", info->SerialNumber);
        }
        // Without a serial-number string the device is looked up with an empty
        // serial, which matches the entries of its vendor and product.
        if (FindUsbPortException(BDC_USB, device.idVendor, device.idProduct,
                                 info->SerialNumber != NULL ? info->SerialNumber : WSTR(""))) {
            KX_TRACE(KX_DBG_INFO, "%s:%s: user usb policy exception\n");
            FreeUsbInfo(info);
            return SavedRoutine(DeviceObject, Irp);
        }
        DumpConfiguration(info);
    }

    if (log != 0) {
        if (info == NULL) {
            KX_TRACE(KX_DBG_INFO, "%s:%s: pUsbInfo invaild pointer\n");
        }
        if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
            RecordStart(state, shortName, info);
        }
    }
    if (state == DISABLE && info != NULL) {
        FreeUsbInfo(info);
        KX_TRACE(KX_DBG_INFO, "%s:%s: STATUS_ACCESS_DENIED!!!!!!\n");
        return KxHookCompleteRequest(Irp, STATUS_ACCESS_DENIED);
    }
    FreeUsbInfo(info);
    return SavedRoutine(DeviceObject, Irp);
}
