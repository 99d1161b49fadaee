// USB plug-and-play control on the hub drivers' IRP_MJ_PNP.
//
// For a device-start request the handler reads the new device's descriptors from
// the device itself, lets hubs, HID-class, audio, printer and video devices
// through, honours the USB port exceptions, records an event when the BDC_USB
// policy asks for logging, and refuses the start under DISABLE. Every other
// plug-and-play request passes unchanged. A device whose descriptors cannot be
// read (no answer in time, failure, malformed answer, no memory, raised IRQL) is
// never refused for lack of information.
//
// IRQL and locking:
// - Descriptor requests are sent and waited for, so the collection runs at
//   PASSIVE_LEVEL only. Above it (a start sent at DISPATCH_LEVEL) nothing is read,
//   the start passes, and no event text, wide trace or event is produced: the
//   event log's writer and wide formatting are passive-level only.
// - Each wait for a descriptor request is bounded by KX_USB_DESCRIPTOR_TIMEOUT_MS;
//   past it the request is cancelled and its completion awaited (the request and
//   its buffers stay ours until then), and the device counts as unreadable.
// - The handler takes no lock; the port exception lookup takes its own.
#pragma once

#include "driver/hooks/hooks.h"
#include "driver/hooks/usb_descriptors.h"

#define KX_TAG_USB_INFO KX_POOL_TAG("upnp")  // device records, descriptor requests and buffers

// How long one descriptor request may take before it is cancelled.
#define KX_USB_DESCRIPTOR_TIMEOUT_MS 5000

// Language of the string descriptors read (English, United States).
#define KX_USB_STRING_LANGUAGE 0x0409
// Buffer offered for one string descriptor.
#define KX_USB_STRING_BUFFER_BYTES 256

// What was read from a device about to start. Zero-filled; freed with
// FreeUsbInfo.
typedef struct _USB_INFO {
    UCHAR DeviceDescriptor[KX_USB_DEVICE_DESC_LENGTH];  // as read
    KX_USB_DEVICE_FIELDS Device;
    PWSTR Manufacturer;  // terminated, or NULL when absent
    PWSTR Product;
    PWSTR SerialNumber;
    PUCHAR Configuration;  // configuration 0, or NULL when absent
    // Bytes of Configuration that came from the device and may be read.
    ULONG ConfigurationLength;
    // wTotalLength as the configuration header announced it.
    USHORT TotalLength;
    ULONG HidCount;
    KX_USB_HID_INTERFACE Hid[KX_USB_MAX_HID_INTERFACES];  // into Configuration
} USB_INFO, *PUSB_INFO;

NTSTATUS USBPnpControl(_In_ PDRIVER_DISPATCH SavedRoutine, _In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp,
                       _In_ PKX_HOOK_RECORD Record);

// Reads the device, manufacturer, product and serial-number descriptors and
// configuration 0 of the device. On success *UsbInfo is the caller's to free; on
// failure it is NULL. STATUS_INVALID_DEVICE_STATE above PASSIVE_LEVEL;
// STATUS_IO_TIMEOUT when any request went unanswered.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS CollectUsbDeviceInfo(_In_ PDEVICE_OBJECT DeviceObject, _Outptr_result_maybenull_ PUSB_INFO* UsbInfo);

_IRQL_requires_max_(DISPATCH_LEVEL)
void FreeUsbInfo(_In_opt_ PUSB_INFO UsbInfo);

// Sends one USB request block to the device and waits for it, bounded by
// KX_USB_DESCRIPTOR_TIMEOUT_MS. Returns the transfer's status, or
// STATUS_IO_TIMEOUT when it had to be cancelled.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS UDF_CallUSBDI(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PURB Urb);
