// Reading USB standard descriptors out of the bytes a device actually returned.
#include "driver/hooks/usb_descriptors.h"

BOOLEAN KxUsbParseDeviceDescriptor(const UCHAR* buffer, ULONG transferred, KX_USB_DEVICE_FIELDS* fields) {
    RtlZeroMemory(fields, sizeof(*fields));
    if (buffer == NULL || transferred < KX_USB_DEVICE_DESC_LENGTH || buffer[0] < KX_USB_DEVICE_DESC_LENGTH ||
        buffer[1] != KX_USB_DESC_DEVICE) {
        return FALSE;
    }
    fields->bDeviceClass = buffer[4];
    fields->bDeviceSubClass = buffer[5];
    fields->bDeviceProtocol = buffer[6];
    fields->idVendor = KxUsbRead16(buffer + 8);
    fields->idProduct = KxUsbRead16(buffer + 10);
    fields->bcdDevice = KxUsbRead16(buffer + 12);
    fields->iManufacturer = buffer[14];
    fields->iProduct = buffer[15];
    fields->iSerialNumber = buffer[16];
    return TRUE;
}

ULONG KxUsbStringCharacters(const UCHAR* buffer, ULONG transferred) {
    if (buffer == NULL || transferred < KX_USB_STRING_DESC_HEADER || buffer[1] != KX_USB_DESC_STRING) {
        return 0;
    }
    ULONG length = buffer[0];
    if (length > transferred) {
        length = transferred;
    }
    if (length <= KX_USB_STRING_DESC_HEADER) {
        return 0;
    }
    return (ULONG)((length - KX_USB_STRING_DESC_HEADER) / sizeof(WCHAR));
}

void KxUsbCopyString(const UCHAR* buffer, ULONG characters, WCHAR* destination) {
    RtlCopyMemory(destination, buffer + KX_USB_STRING_DESC_HEADER, (SIZE_T)characters * sizeof(WCHAR));
    destination[characters] = 0;
}

BOOLEAN KxUsbConfigTotalLength(const UCHAR* header, ULONG transferred, USHORT* totalLength) {
    *totalLength = 0;
    if (header == NULL || transferred < KX_USB_CONFIG_DESC_LENGTH || header[0] < KX_USB_CONFIG_DESC_LENGTH ||
        header[1] != KX_USB_DESC_CONFIGURATION) {
        return FALSE;
    }
    const USHORT total = KxUsbRead16(header + 2);
    if (total < KX_USB_CONFIG_DESC_LENGTH) {
        return FALSE;
    }
    *totalLength = total;
    return TRUE;
}

ULONG KxUsbConfigUsableLength(const UCHAR* block, ULONG transferred, ULONG requested) {
    const ULONG usable = transferred < requested ? transferred : requested;
    if (block == NULL || usable < KX_USB_CONFIG_DESC_LENGTH || block[0] < KX_USB_CONFIG_DESC_LENGTH ||
        block[1] != KX_USB_DESC_CONFIGURATION) {
        return 0;
    }
    return usable;
}

void KxUsbWalkBegin(KX_USB_DESCRIPTOR_WALK* walk, const UCHAR* block, ULONG length) {
    walk->Block = block;
    walk->Length = block == NULL ? 0 : length;
    // The configuration descriptor itself is not part of the walk.
    walk->Offset = walk->Length == 0 ? 0 : block[0];
}

BOOLEAN KxUsbWalkNext(KX_USB_DESCRIPTOR_WALK* walk, const UCHAR** descriptor, ULONG* length) {
    *descriptor = NULL;
    *length = 0;
    if (walk->Offset >= walk->Length || walk->Length - walk->Offset < 2) {
        return FALSE;
    }
    const UCHAR* current = walk->Block + walk->Offset;
    const ULONG bLength = current[0];
    if (bLength < 2 || bLength > walk->Length - walk->Offset) {
        walk->Offset = walk->Length;
        return FALSE;
    }
    walk->Offset += bLength;
    *descriptor = current;
    *length = bLength;
    return TRUE;
}

ULONG KxUsbScanHid(const UCHAR* block, ULONG length, KX_USB_HID_INTERFACE hid[KX_USB_MAX_HID_INTERFACES]) {
    RtlZeroMemory(hid, sizeof(KX_USB_HID_INTERFACE) * KX_USB_MAX_HID_INTERFACES);
    ULONG count = 0;
    BOOLEAN interfaceSeen = FALSE;
    UCHAR interfaceNumber = 0;
    KX_USB_DESCRIPTOR_WALK walk;
    KxUsbWalkBegin(&walk, block, length);
    const UCHAR* descriptor;
    ULONG descriptorLength;
    while (KxUsbWalkNext(&walk, &descriptor, &descriptorLength)) {
        if (descriptor[1] == KX_USB_DESC_INTERFACE && descriptorLength >= KX_USB_INTERFACE_DESC_LENGTH) {
            interfaceSeen = TRUE;
            interfaceNumber = descriptor[2];
        } else if (descriptor[1] == KX_USB_DESC_HID && descriptorLength >= KX_USB_HID_DESC_MIN_LENGTH &&
                   interfaceSeen && count < KX_USB_MAX_HID_INTERFACES) {
            hid[count].InterfaceNumber = interfaceNumber;
            hid[count].Descriptor = descriptor;
            hid[count].DescriptorLength = descriptorLength;
            count++;
        }
    }
    return count;
}

void KxUsbHidFacts(const KX_USB_HID_INTERFACE* hid, KX_USB_HID_FACTS* facts) {
    RtlZeroMemory(facts, sizeof(*facts));
    if (hid->Descriptor == NULL || hid->DescriptorLength < KX_USB_HID_DESC_MIN_LENGTH) {
        return;
    }
    facts->bcdHID = KxUsbRead16(hid->Descriptor + 2);
    facts->bNumDescriptors = hid->Descriptor[5];
    if (facts->bNumDescriptors != 0 && hid->DescriptorLength >= KX_USB_HID_DESC_CLASS_LENGTH) {
        facts->HasFirstLength = TRUE;
        facts->FirstLength = KxUsbRead16(hid->Descriptor + 7);
    }
}
