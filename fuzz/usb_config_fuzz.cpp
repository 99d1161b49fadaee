// libFuzzer target: the USB descriptor walk over arbitrary device answers.
// libFuzzer hands each input in a heap block of exactly its size, so
// AddressSanitizer reports any read past what the "device" returned. The input is
// read the way the plug-and-play handler reads a device: as the configuration
// header, as the whole configuration (with the header's total, or the largest
// total, as the buffer offered), as a string descriptor and as a device
// descriptor. Besides memory safety the target checks what the walk promises.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/hooks/usb_descriptors.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "usb_config_fuzz: %s\n", what);
    std::abort();
}

void CheckConfiguration(const UCHAR* block, ULONG usable) {
    KX_USB_DESCRIPTOR_WALK walk;
    KxUsbWalkBegin(&walk, block, usable);
    const UCHAR* descriptor;
    ULONG length;
    ULONG walked = 0;
    const UCHAR* previousEnd = block + (usable == 0 ? 0 : block[0]);
    while (KxUsbWalkNext(&walk, &descriptor, &length)) {
        if (length < 2 || descriptor < block || descriptor + length > block + usable) {
            Fail("walked descriptor outside the usable bytes");
        }
        if (descriptor != previousEnd || descriptor[0] != length) {
            Fail("walk skipped bytes or reported another length than bLength");
        }
        previousEnd = descriptor + length;
        if (++walked > usable) {
            Fail("walk does not advance");
        }
    }

    KX_USB_HID_INTERFACE hid[KX_USB_MAX_HID_INTERFACES];
    const ULONG count = KxUsbScanHid(block, usable, hid);
    if (count > KX_USB_MAX_HID_INTERFACES) {
        Fail("more HID interfaces than the record holds");
    }
    for (ULONG i = 0; i < count; ++i) {
        const UCHAR* d = hid[i].Descriptor;
        if (d == NULL || d < block || d + hid[i].DescriptorLength > block + usable ||
            hid[i].DescriptorLength < KX_USB_HID_DESC_MIN_LENGTH || d[1] != KX_USB_DESC_HID ||
            d[0] != hid[i].DescriptorLength) {
            Fail("recorded HID descriptor is not a whole HID descriptor inside the block");
        }
        KX_USB_HID_FACTS facts;
        KxUsbHidFacts(&hid[i], &facts);
        if (facts.HasFirstLength && hid[i].DescriptorLength < KX_USB_HID_DESC_CLASS_LENGTH) {
            Fail("class descriptor length read from a descriptor too short to hold it");
        }
    }
}

void CheckString(const UCHAR* data, ULONG size) {
    const ULONG characters = KxUsbStringCharacters(data, size);
    if (characters == 0) {
        return;
    }
    if (KX_USB_STRING_DESC_HEADER + 2 * characters > size || KX_USB_STRING_DESC_HEADER + 2 * characters > data[0]) {
        Fail("string characters beyond bLength or the transfer");
    }
    // Exactly the characters and the terminator: an unterminated copy or a write
    // past it is caught here or by AddressSanitizer.
    WCHAR* text = new WCHAR[characters + 1];
    KxUsbCopyString(data, characters, text);
    if (text[characters] != 0) {
        Fail("string copy is not terminated");
    }
    if (std::memcmp(text, data + KX_USB_STRING_DESC_HEADER, characters * sizeof(WCHAR)) != 0) {
        Fail("string copy differs from the descriptor");
    }
    delete[] text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0x20000) {
        return 0;
    }
    const ULONG length = static_cast<ULONG>(size);

    KX_USB_DEVICE_FIELDS fields;
    if (KxUsbParseDeviceDescriptor(data, length, &fields) && length < KX_USB_DEVICE_DESC_LENGTH) {
        Fail("device descriptor accepted from a short transfer");
    }

    CheckString(data, length);

    // The configuration as the handler reads it: the header's total decides the
    // buffer offered for the whole configuration, and the device's answer to the
    // second transfer (here the same bytes) is bounded by it.
    USHORT total = 0;
    const ULONG headerTransferred = length < KX_USB_CONFIG_DESC_LENGTH ? length : KX_USB_CONFIG_DESC_LENGTH;
    if (KxUsbConfigTotalLength(data, headerTransferred, &total)) {
        const ULONG usable = KxUsbConfigUsableLength(data, length, total);
        if (usable > total || usable > length) {
            Fail("usable length beyond the offer or the transfer");
        }
        CheckConfiguration(data, usable);
    }
    // And a device that claims the largest total.
    CheckConfiguration(data, KxUsbConfigUsableLength(data, length, 0xFFFF));
    return 0;
}
