// Reading USB standard descriptors out of the bytes a device actually returned.
//
// Everything here works on (buffer, bytes transferred) and nothing else: no
// allocation, no tracing, no kernel calls, so it runs at any IRQL and can be
// exercised without a machine. A device may answer with fewer bytes than asked,
// with lengths that claim more than it sent, or with descriptors too short for
// their type; every field read here lies inside both the bytes transferred and
// the descriptor's own bLength, and a descriptor shorter than the minimum length
// of its type is not read at all.
//
// Multi-byte fields are little-endian and read byte by byte, so no alignment is
// assumed of the buffers.
#pragma once

#include "platform/km.h"

// Descriptor types (bDescriptorType).
#define KX_USB_DESC_DEVICE 0x01
#define KX_USB_DESC_CONFIGURATION 0x02
#define KX_USB_DESC_STRING 0x03
#define KX_USB_DESC_INTERFACE 0x04
#define KX_USB_DESC_ENDPOINT 0x05
#define KX_USB_DESC_HID 0x21

// Minimum lengths (bLength) of the descriptors read.
#define KX_USB_DEVICE_DESC_LENGTH 18
#define KX_USB_CONFIG_DESC_LENGTH 9
#define KX_USB_INTERFACE_DESC_LENGTH 9
#define KX_USB_ENDPOINT_DESC_LENGTH 7
#define KX_USB_HID_DESC_MIN_LENGTH 6       // up to bNumDescriptors
#define KX_USB_HID_DESC_CLASS_LENGTH 9     // with the first class descriptor's type and length
#define KX_USB_STRING_DESC_HEADER 2

// At most this many HID descriptors are recorded per configuration.
#define KX_USB_MAX_HID_INTERFACES 8

inline USHORT KxUsbRead16(_In_reads_bytes_(2) const UCHAR* p) { return (USHORT)(p[0] | (USHORT)(p[1] << 8)); }

// The device descriptor fields the driver decides and reports on.
typedef struct _KX_USB_DEVICE_FIELDS {
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
} KX_USB_DEVICE_FIELDS;

// A device descriptor needs all 18 bytes transferred, a bLength of at least 18
// and the device descriptor type.
_IRQL_requires_max_(HIGH_LEVEL)
BOOLEAN KxUsbParseDeviceDescriptor(_In_reads_bytes_(transferred) const UCHAR* buffer, _In_ ULONG transferred,
                                   _Out_ KX_USB_DEVICE_FIELDS* fields);

// The number of whole UTF-16 characters of a string descriptor: its bLength,
// bounded by the bytes transferred, less the two-byte header, halved (an odd
// trailing byte is no character). 0 when there is no text: a header that was not
// transferred, a bLength of 2 or less, or another descriptor type.
_IRQL_requires_max_(HIGH_LEVEL)
ULONG KxUsbStringCharacters(_In_reads_bytes_(transferred) const UCHAR* buffer, _In_ ULONG transferred);

// Copies the characters counted by KxUsbStringCharacters and terminates them;
// destination holds characters + 1 elements.
_IRQL_requires_max_(HIGH_LEVEL)
void KxUsbCopyString(_In_reads_bytes_(KX_USB_STRING_DESC_HEADER + 2 * characters) const UCHAR* buffer,
                     _In_ ULONG characters, _Out_writes_(characters + 1) WCHAR* destination);

// The total length a configuration header announces (wTotalLength): it needs the
// nine header bytes transferred, a bLength of at least 9, the configuration type
// and a total of at least 9. FALSE leaves *totalLength 0.
_IRQL_requires_max_(HIGH_LEVEL)
BOOLEAN KxUsbConfigTotalLength(_In_reads_bytes_(transferred) const UCHAR* header, _In_ ULONG transferred,
                               _Out_ USHORT* totalLength);

// How many bytes of a whole-configuration transfer the walks may read: what was
// transferred, bounded by the buffer that was offered (wTotalLength of the
// header, never the total the second transfer claims). 0 when that does not
// start with a configuration descriptor of at least 9 bytes.
_IRQL_requires_max_(HIGH_LEVEL)
ULONG KxUsbConfigUsableLength(_In_reads_bytes_(transferred) const UCHAR* block, _In_ ULONG transferred,
                              _In_ ULONG requested);

// A walk over the descriptors that follow the configuration descriptor. It ends
// at a bLength below 2 (0 ends a list; 1 cannot hold its own type) and at a
// descriptor that would run past the usable length.
typedef struct _KX_USB_DESCRIPTOR_WALK {
    const UCHAR* Block;
    ULONG Length;
    ULONG Offset;
} KX_USB_DESCRIPTOR_WALK;

_IRQL_requires_max_(HIGH_LEVEL)
void KxUsbWalkBegin(_Out_ KX_USB_DESCRIPTOR_WALK* walk, _In_reads_bytes_(length) const UCHAR* block,
                    _In_ ULONG length);
// The next whole descriptor: its first byte and its length (at least 2, every
// byte of it inside the block). FALSE at the end of the walk.
_IRQL_requires_max_(HIGH_LEVEL)
BOOLEAN KxUsbWalkNext(_Inout_ KX_USB_DESCRIPTOR_WALK* walk, _Out_ const UCHAR** descriptor, _Out_ ULONG* length);

// One recorded HID descriptor and the interface it belongs to. Descriptor points
// into the configuration block; DescriptorLength bytes of it are readable (at
// least KX_USB_HID_DESC_MIN_LENGTH).
typedef struct _KX_USB_HID_INTERFACE {
    UCHAR InterfaceNumber;
    const UCHAR* Descriptor;
    ULONG DescriptorLength;
} KX_USB_HID_INTERFACE;

// Records, in order, the HID descriptors that follow an interface descriptor,
// each with the number of the last interface seen; a HID descriptor before any
// interface, or one shorter than its minimum, is not recorded, nor are any past
// the eighth. Returns the number recorded.
_IRQL_requires_max_(HIGH_LEVEL)
ULONG KxUsbScanHid(_In_reads_bytes_(length) const UCHAR* block, _In_ ULONG length,
                   _Out_writes_(KX_USB_MAX_HID_INTERFACES) KX_USB_HID_INTERFACE hid[KX_USB_MAX_HID_INTERFACES]);

// The report facts of a recorded HID descriptor. *hasFirstLength is FALSE when
// there is no class descriptor or the descriptor is too short to hold its length.
typedef struct _KX_USB_HID_FACTS {
    USHORT bcdHID;
    UCHAR bNumDescriptors;
    BOOLEAN HasFirstLength;
    USHORT FirstLength;
} KX_USB_HID_FACTS;

_IRQL_requires_max_(HIGH_LEVEL)
void KxUsbHidFacts(_In_ const KX_USB_HID_INTERFACE* hid, _Out_ KX_USB_HID_FACTS* facts);
