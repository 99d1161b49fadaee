// The descriptor walk over what a device actually transferred: every read stays
// inside the bytes returned and inside each descriptor's own length. Buffers are
// allocated at exactly the transferred size, so an over-read is an
// AddressSanitizer report in the sanitizer build.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "driver/hooks/usb_descriptors.h"
#include "tests/driver/usb_pnp_builders.h"

using usbt::Bytes;

namespace {

// A heap block of exactly the given bytes (also for 0 bytes).
class Exact {
public:
    explicit Exact(const Bytes& bytes, size_t size = SIZE_MAX)
        : size_(size == SIZE_MAX ? bytes.size() : size), data_(new UCHAR[size_ == 0 ? 0 : size_]) {
        if (std::min(size_, bytes.size()) > 0) {
            std::memcpy(data_.get(), bytes.data(), std::min(size_, bytes.size()));
        }
        if (size_ > bytes.size()) {
            std::memset(data_.get() + bytes.size(), 0, size_ - bytes.size());
        }
    }
    const UCHAR* get() const { return data_.get(); }
    ULONG size() const { return static_cast<ULONG>(size_); }

private:
    size_t size_;
    std::unique_ptr<UCHAR[]> data_;
};

ULONG Hids(const Bytes& config, KX_USB_HID_INTERFACE (&hid)[KX_USB_MAX_HID_INTERFACES], size_t transferred = SIZE_MAX) {
    Exact block(config, transferred);
    // The scan's results point into the block, so only counts and numbers are
    // compared by the callers once it is gone.
    return KxUsbScanHid(block.get(), block.size(), hid);
}

struct Walked {
    std::vector<uint8_t> types;
    std::vector<ULONG> lengths;
};

Walked Walk(const Bytes& config, size_t transferred = SIZE_MAX) {
    Exact block(config, transferred);
    KX_USB_DESCRIPTOR_WALK walk;
    KxUsbWalkBegin(&walk, block.get(), block.size());
    Walked w;
    const UCHAR* d;
    ULONG length;
    while (KxUsbWalkNext(&walk, &d, &length)) {
        w.types.push_back(d[1]);
        w.lengths.push_back(length);
        EXPECT_LE(d + length, block.get() + block.size());
    }
    return w;
}

TEST(UsbDescriptors, DeviceDescriptorNeedsAllEighteenBytes) {
    usbt::Device dev;
    dev.deviceClass = 8;
    dev.subClass = 6;
    dev.protocol = 0x50;
    dev.vendor = 0x0781;
    dev.product = 0x5581;
    dev.bcdDevice = 0x0127;
    dev.iManufacturer = 1;
    dev.iProduct = 2;
    dev.iSerial = 3;
    const Bytes good = usbt::DeviceDescriptor(dev);
    KX_USB_DEVICE_FIELDS f;
    Exact whole(good);
    ASSERT_TRUE(KxUsbParseDeviceDescriptor(whole.get(), whole.size(), &f));
    EXPECT_EQ(f.bDeviceClass, 8);
    EXPECT_EQ(f.bDeviceSubClass, 6);
    EXPECT_EQ(f.bDeviceProtocol, 0x50);
    EXPECT_EQ(f.idVendor, 0x0781);
    EXPECT_EQ(f.idProduct, 0x5581);
    EXPECT_EQ(f.bcdDevice, 0x0127);
    EXPECT_EQ(f.iManufacturer, 1);
    EXPECT_EQ(f.iProduct, 2);
    EXPECT_EQ(f.iSerialNumber, 3);

    for (size_t transferred : {0, 1, 2, 8, 9, 17}) {
        Exact shortRead(good, transferred);
        EXPECT_FALSE(KxUsbParseDeviceDescriptor(shortRead.get(), shortRead.size(), &f)) << transferred;
        EXPECT_EQ(f.idVendor, 0) << "a refused descriptor leaves nothing behind";
    }
    Bytes shortLength = good;
    shortLength[0] = 8;  // a bLength too small for a device descriptor
    Exact sl(shortLength);
    EXPECT_FALSE(KxUsbParseDeviceDescriptor(sl.get(), sl.size(), &f));
    Bytes otherType = good;
    otherType[1] = 0x02;
    Exact ot(otherType);
    EXPECT_FALSE(KxUsbParseDeviceDescriptor(ot.get(), ot.size(), &f));
    Exact zeros(Bytes{}, 18);
    EXPECT_FALSE(KxUsbParseDeviceDescriptor(zeros.get(), zeros.size(), &f));
}

TEST(UsbDescriptors, StringIsBoundedByTransferAndLengthAndAlwaysTerminated) {
    const Bytes serial = usbt::StringDescriptor(u"SN0042");
    Exact whole(serial);
    ASSERT_EQ(KxUsbStringCharacters(whole.get(), whole.size()), 6u);
    WCHAR text[7];
    std::memset(text, 0xCC, sizeof text);
    KxUsbCopyString(whole.get(), 6, text);
    EXPECT_EQ(std::u16string(text), u"SN0042");

    // Too short to hold any text.
    for (size_t transferred : {0, 1, 2}) {
        Exact t(serial, transferred);
        EXPECT_EQ(KxUsbStringCharacters(t.get(), t.size()), 0u) << transferred;
    }
    // A short transfer yields what was transferred, in whole characters.
    Exact partial(serial, 7);
    EXPECT_EQ(KxUsbStringCharacters(partial.get(), partial.size()), 2u);
    // bLength of 2 or less: no text, whatever follows.
    for (uint8_t length : {0, 1, 2}) {
        Bytes b = serial;
        b[0] = length;
        Exact t(b);
        EXPECT_EQ(KxUsbStringCharacters(t.get(), t.size()), 0u) << int(length);
    }
    // An odd bLength: the lone trailing byte is no character and the copy ends
    // with a whole terminator.
    Bytes odd = serial;
    odd[0] = 7;  // header + 2.5 characters
    Exact o(odd);
    ASSERT_EQ(KxUsbStringCharacters(o.get(), o.size()), 2u);
    WCHAR two[3];
    std::memset(two, 0xCC, sizeof two);
    KxUsbCopyString(o.get(), 2, two);
    EXPECT_EQ(std::u16string(two), u"SN");
    Bytes three{3, 0x03, 'A'};
    Exact t3(three);
    EXPECT_EQ(KxUsbStringCharacters(t3.get(), t3.size()), 0u);
    // Not a string descriptor, or a zero-filled answer.
    Bytes other = serial;
    other[1] = 0x01;
    Exact ot(other);
    EXPECT_EQ(KxUsbStringCharacters(ot.get(), ot.size()), 0u);
    Exact zeros(Bytes{}, 256);
    EXPECT_EQ(KxUsbStringCharacters(zeros.get(), zeros.size()), 0u);
    // The longest a 256-byte buffer can hold: bLength 255 gives 126 characters.
    Bytes longest(256, 'x');
    longest[0] = 255;
    longest[1] = 0x03;
    Exact l(longest);
    EXPECT_EQ(KxUsbStringCharacters(l.get(), l.size()), 126u);
}

TEST(UsbDescriptors, ConfigurationHeaderGivesTheTotalOnlyWhenWhole) {
    const Bytes config = usbt::Config({usbt::Interface(0, 8), usbt::Endpoint(0x81, 2, 512, 0)});
    USHORT total = 1;
    Exact whole(config, 9);
    ASSERT_TRUE(KxUsbConfigTotalLength(whole.get(), whole.size(), &total));
    EXPECT_EQ(total, 25);
    for (size_t transferred : {0, 1, 2, 8}) {
        Exact t(config, transferred);
        EXPECT_FALSE(KxUsbConfigTotalLength(t.get(), t.size(), &total)) << transferred;
        EXPECT_EQ(total, 0);
    }
    Exact nine(usbt::Config({}, 0));
    ASSERT_TRUE(KxUsbConfigTotalLength(nine.get(), nine.size(), &total));
    EXPECT_EQ(total, 9);
    Exact eight(usbt::Config({}, 0, 8));
    EXPECT_FALSE(KxUsbConfigTotalLength(eight.get(), eight.size(), &total)) << "shorter than its own header";
    Exact huge(usbt::Config({}, 0, 65535));
    ASSERT_TRUE(KxUsbConfigTotalLength(huge.get(), huge.size(), &total));
    EXPECT_EQ(total, 65535);
    Bytes shortHeader = config;
    shortHeader[0] = 8;
    Exact sh(shortHeader, 9);
    EXPECT_FALSE(KxUsbConfigTotalLength(sh.get(), sh.size(), &total));
    Exact zeros(Bytes{}, 9);
    EXPECT_FALSE(KxUsbConfigTotalLength(zeros.get(), zeros.size(), &total));
}

TEST(UsbDescriptors, UsableLengthIsBoundedByTransferAndRequestNotBySecondTotal) {
    Bytes config = usbt::Config({usbt::Interface(0, 3), usbt::Hid(0x0111, 63), usbt::Endpoint(0x81, 3, 8, 10)});
    ASSERT_EQ(config.size(), 34u);
    Exact whole(config);
    EXPECT_EQ(KxUsbConfigUsableLength(whole.get(), 34, 34), 34u);
    EXPECT_EQ(KxUsbConfigUsableLength(whole.get(), 20, 34), 20u) << "short transfer";
    EXPECT_EQ(KxUsbConfigUsableLength(whole.get(), 34, 25), 25u) << "device reports more than the buffer offered";
    EXPECT_EQ(KxUsbConfigUsableLength(whole.get(), 8, 34), 0u);
    EXPECT_EQ(KxUsbConfigUsableLength(whole.get(), 0, 34), 0u);
    // The second answer announces a larger total than the header did: only the
    // header's total (the buffer offered) counts.
    Bytes liar = config;
    liar[2] = 0xFF;
    liar[3] = 0xFF;
    Exact l(liar);
    EXPECT_EQ(KxUsbConfigUsableLength(l.get(), 34, 34), 34u);
    Exact zeros(Bytes{}, 34);
    EXPECT_EQ(KxUsbConfigUsableLength(zeros.get(), 34, 34), 0u) << "zero-filled answer";
}

TEST(UsbDescriptors, WalkStopsAtZeroShortAndOverrunningDescriptors) {
    const Bytes config = usbt::Config({usbt::Interface(0, 8), usbt::Endpoint(0x81, 2, 512, 0),
                                       usbt::Endpoint(0x02, 2, 512, 0)});
    Walked all = Walk(config);
    EXPECT_EQ(all.types, (std::vector<uint8_t>{4, 5, 5}));
    // Transfers that end inside a descriptor: the partial one is not walked.
    EXPECT_EQ(Walk(config, 9 + 9 + 6).types, (std::vector<uint8_t>{4}));
    EXPECT_EQ(Walk(config, 9 + 9 + 1).types, (std::vector<uint8_t>{4}));
    EXPECT_EQ(Walk(config, 9 + 8).types.size(), 0u);
    for (size_t transferred : {0, 1, 2, 8, 9}) {
        EXPECT_EQ(Walk(config, transferred).types.size(), 0u) << transferred;
    }
    // bLength 0 and 1 end the walk.
    for (uint8_t length : {0, 1}) {
        Bytes b = config;
        b[18] = length;
        EXPECT_EQ(Walk(b).types, (std::vector<uint8_t>{4})) << int(length);
    }
    // A descriptor claiming more than is left ends it too.
    Bytes past = config;
    past[18] = 200;
    EXPECT_EQ(Walk(past).types, (std::vector<uint8_t>{4}));
    // A configuration descriptor claiming more than the block: nothing to walk.
    Bytes bigFirst = config;
    bigFirst[0] = 255;
    EXPECT_EQ(Walk(bigFirst).types.size(), 0u);
    EXPECT_EQ(Walk(Bytes{}, 300).types.size(), 0u) << "zero-filled";
}

TEST(UsbDescriptors, HidScanRecordsInterfaceNumbersInOrder) {
    const Bytes keyboardAndMouse = usbt::Config(
        {usbt::Interface(0, 3, 1, 1), usbt::Hid(0x0111, 63), usbt::Endpoint(0x81, 3, 8, 10),
         usbt::Interface(1, 3, 1, 2), usbt::Hid(0x0110, 52), usbt::Endpoint(0x82, 3, 4, 10)},
        2);
    Exact block(keyboardAndMouse);
    KX_USB_HID_INTERFACE hid[KX_USB_MAX_HID_INTERFACES];
    ASSERT_EQ(KxUsbScanHid(block.get(), block.size(), hid), 2u);
    EXPECT_EQ(hid[0].InterfaceNumber, 0);
    EXPECT_EQ(hid[1].InterfaceNumber, 1);
    EXPECT_EQ(hid[0].Descriptor, block.get() + 18);
    KX_USB_HID_FACTS facts;
    KxUsbHidFacts(&hid[1], &facts);
    EXPECT_EQ(facts.bcdHID, 0x0110);
    EXPECT_EQ(facts.bNumDescriptors, 1);
    EXPECT_TRUE(facts.HasFirstLength);
    EXPECT_EQ(facts.FirstLength, 52);
}

TEST(UsbDescriptors, HidScanSkipsWhatItCannotAttributeOrRead) {
    KX_USB_HID_INTERFACE hid[KX_USB_MAX_HID_INTERFACES];
    // A HID descriptor before any interface descriptor.
    EXPECT_EQ(Hids(usbt::Config({usbt::Hid(0x0111, 63), usbt::Interface(0, 3)}), hid), 0u);
    EXPECT_EQ(Hids(usbt::Config({usbt::Hid(0x0111, 63), usbt::Interface(4, 3), usbt::Hid(0x0111, 20)}), hid), 1u);
    EXPECT_EQ(hid[0].InterfaceNumber, 4);
    // A configuration of 9 bytes or less.
    EXPECT_EQ(Hids(usbt::Config({}, 0), hid), 0u);
    // An interface descriptor too short for its type sets no interface.
    Bytes shortInterface{5, 0x04, 7, 0, 0};
    EXPECT_EQ(Hids(usbt::Config({shortInterface, usbt::Hid(0x0111, 63)}), hid), 0u);
    // HID descriptors shorter than their fixed part are not recorded; one with
    // its fixed part but without room for the class descriptor length is, and
    // reports no length.
    Bytes hid5{5, 0x21, 0x11, 0x01, 0};
    Bytes hid6{6, 0x21, 0x11, 0x01, 0, 1};
    ASSERT_EQ(Hids(usbt::Config({usbt::Interface(2, 3), hid5, hid6}), hid), 1u);
    KX_USB_HID_FACTS facts;
    {
        Bytes config = usbt::Config({usbt::Interface(2, 3), hid6});
        Exact block(config);
        ASSERT_EQ(KxUsbScanHid(block.get(), block.size(), hid), 1u);
        KxUsbHidFacts(&hid[0], &facts);
        EXPECT_EQ(facts.bNumDescriptors, 1);
        EXPECT_FALSE(facts.HasFirstLength);
    }
    // No class descriptors: no length either.
    {
        Bytes config = usbt::Config({usbt::Interface(2, 3), usbt::Hid(0x0101, 99, 0)});
        Exact block(config);
        ASSERT_EQ(KxUsbScanHid(block.get(), block.size(), hid), 1u);
        KxUsbHidFacts(&hid[0], &facts);
        EXPECT_FALSE(facts.HasFirstLength);
    }
    // A HID descriptor cut by a short transfer.
    const Bytes cut = usbt::Config({usbt::Interface(0, 3), usbt::Hid(0x0111, 63)});
    EXPECT_EQ(Hids(cut, hid, cut.size() - 1), 0u);
    EXPECT_EQ(Hids(cut, hid, cut.size()), 1u);
}

TEST(UsbDescriptors, HidScanKeepsTheFirstEight) {
    Bytes body;
    for (uint8_t i = 0; i < 11; ++i) {
        body = usbt::Concat({body, usbt::Interface(i, 3), usbt::Hid(0x0111, static_cast<uint16_t>(i))});
    }
    KX_USB_HID_INTERFACE hid[KX_USB_MAX_HID_INTERFACES];
    ASSERT_EQ(Hids(usbt::Config({body}, 11), hid), 8u);
    for (uint8_t i = 0; i < 8; ++i) {
        EXPECT_EQ(hid[i].InterfaceNumber, i);
    }
    // Many HID descriptors on one interface: the same cut.
    Bytes many = usbt::Interface(5, 3);
    for (int i = 0; i < 12; ++i) {
        many = usbt::Concat({many, usbt::Hid(0x0111, 1)});
    }
    ASSERT_EQ(Hids(usbt::Config({many}), hid), 8u);
    EXPECT_EQ(hid[7].InterfaceNumber, 5);
}

TEST(UsbDescriptors, AnnouncedTotalOf65535WithAShortTransferStaysInsideWhatArrived) {
    const Bytes config = usbt::Config({usbt::Interface(0, 3), usbt::Hid(0x0111, 63), usbt::Endpoint(0x81, 3, 8, 10),
                                       Bytes{200, 0x24, 1}},
                                      1, 65535);
    USHORT total = 0;
    Exact header(config, 9);
    ASSERT_TRUE(KxUsbConfigTotalLength(header.get(), header.size(), &total));
    ASSERT_EQ(total, 65535);
    Exact block(config);
    const ULONG usable = KxUsbConfigUsableLength(block.get(), block.size(), total);
    EXPECT_EQ(usable, config.size());
    KX_USB_HID_INTERFACE hid[KX_USB_MAX_HID_INTERFACES];
    EXPECT_EQ(KxUsbScanHid(block.get(), usable, hid), 1u);
    EXPECT_EQ(Walk(config).types, (std::vector<uint8_t>{4, 0x21, 5}));
}

}  // namespace
