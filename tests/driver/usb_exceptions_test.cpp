// The USB disk and USB port exception lists, filled through SET_USB_DISK_EXCEPT and
// SET_USB_PORT_EXCEPT and asked as the file-system callbacks (by volume) and the
// plug-and-play handler (by device ids) ask them.
#include "driver/policy/lists.h"
#include "driver/policy/usb_exceptions.h"
#include "tests/support/driver_fixture.h"

using kxtest::RawMessage;

namespace {

constexpr ULONG kEusc = winsim::PoolTag("eusc");

struct Disk {
    std::string vendor, product, revision, serial;
};

class UsbExceptionTest : public kxtest::DriverTest {
protected:
    void DiskCommand(uint32_t state, const Disk& d) {
        RawMessage msg(SET_USB_DISK_EXCEPT);
        msg.State(state).UlType(3).PutAnsi(44, d.vendor).PutAnsi(64, d.product).PutAnsi(84, d.revision).PutAnsi(104,
                                                                                                              d.serial);
        ASSERT_EQ(Send(msg).status, STATUS_SUCCESS);
    }
    void PortCommand(uint32_t state, uint32_t vid, uint32_t pid, uint32_t extra, const std::u16string& serial,
                     uint32_t type = BDC_USB) {
        RawMessage msg(SET_USB_PORT_EXCEPT);
        msg.State(state).UlType(type).Put32(44, vid).Put32(48, pid).Put32(52, extra).PutWide(56, serial);
        ASSERT_EQ(Send(msg).status, STATUS_SUCCESS);
    }
    static bool Listed(const Disk& d) {
        return FindUsbDiskException(d.vendor.c_str(), d.product.c_str(), d.revision.c_str(), d.serial.c_str()) !=
               FALSE;
    }
    static bool PortListed(uint32_t vid, uint32_t pid, const char16_t* serial, uint32_t type = BDC_USB) {
        return FindUsbPortException(type, vid, pid, serial) != FALSE;
    }
    size_t Entries() { return machine().PoolAllocations(kEusc); }
    void Verbose() {
        WriteNoFence(&DebugLevel, KX_DBG_ERROR | KX_DBG_INFO);
        machine().ClearDebugOutput();
    }
};

// ---------------------------------------------------------------- USB disks

TEST_F(UsbExceptionTest, DiskEntryWithoutSerialCoversEveryDiskOfThatVendorAndProduct) {
    Verbose();
    DiskCommand(STATE_SET, {"VEND", "DRIVE", "1.0", ""});
    EXPECT_EQ(machine().DebugText(),
              "kx4grd:SetUsbDiskException: success\n"
              "kx4grd:Kx4GrdMssageProc: SET_USB_DISK_EXCEPT, (STATE_SET), vid(VEND), pid(DRIVE)()\n");
    EXPECT_EQ(Entries(), 1u);
    EXPECT_TRUE(Listed({"VEND", "DRIVE", "", "12345678"}));
    EXPECT_TRUE(Listed({"vend", "drive", "9.9", "ANY"}));
    EXPECT_TRUE(Listed({"VENDOR", "DRIVE PRO", "", "X"}));  // prefixes of the disk's strings
    EXPECT_FALSE(Listed({"VEN", "DRIVE", "", "X"}));
    EXPECT_FALSE(Listed({"VEND", "DISK", "", "X"}));
}

TEST_F(UsbExceptionTest, DiskSerialIsAPrefixAndTheRevisionIsNeverCompared) {
    DiskCommand(STATE_SET, {"VEND", "DRIVE", "1.0", "1234"});
    EXPECT_TRUE(Listed({"VEND", "DRIVE", "2.0", "12345678"}));
    EXPECT_TRUE(Listed({"VEND", "DRIVE", "", "1234"}));
    EXPECT_FALSE(Listed({"VEND", "DRIVE", "1.0", "9999"}));
    EXPECT_FALSE(Listed({"VEND", "DRIVE", "1.0", "123"}));
}

// A disk whose identity could not be read has empty strings. It used to skip every
// test and so match every entry: one listed disk excepted every unidentified one.
// An empty field of the disk now matches only an empty field of the entry.
TEST_F(UsbExceptionTest, UnidentifiedDiskMatchesOnlyWildcardFields) {
    DiskCommand(STATE_SET, {"VEND", "DRIVE", "", "1234"});
    EXPECT_FALSE(Listed({"", "", "", ""}));
    EXPECT_FALSE(FindUsbDiskException(nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(Listed({"VEND", "DRIVE", "", ""}));  // the serial could not be read
    EXPECT_FALSE(Listed({"", "DRIVE", "", "1234"}));
    EXPECT_FALSE(Listed({"VEND", "", "", "1234"}));
    EXPECT_TRUE(Listed({"VEND", "DRIVE", "", "1234"}));

    // Entries with empty fields stay wildcards, for unidentified disks too.
    DiskCommand(STATE_SET, {"VEND", "DRIVE", "", ""});
    EXPECT_TRUE(Listed({"VEND", "DRIVE", "", ""}));
    EXPECT_FALSE(Listed({"", "", "", ""}));
    DiskCommand(STATE_SET, {"", "", "", ""});
    EXPECT_TRUE(Listed({"", "", "", ""}));
    EXPECT_TRUE(Listed({"OTHER", "THING", "", "5"}));
}

TEST_F(UsbExceptionTest, DiskDeleteRemovesTheFirstEntryTheStringsMatch) {
    DiskCommand(STATE_SET, {"VEND", "DRIVE", "", "1234"});
    DiskCommand(STATE_SET, {"VEND", "DRIVE", "", "1234"});  // duplicates are allowed
    DiskCommand(STATE_SET, {"OTHER", "STICK", "", ""});
    EXPECT_EQ(Entries(), 3u);

    Verbose();
    DiskCommand(STATE_DEL, {"VEND", "DRIVE", "", "9999"});
    EXPECT_EQ(machine().DebugText(),
              "kx4grd:Kx4GrdMssageProc: SET_USB_DISK_EXCEPT, (STATE_DEL), vid(VEND), pid(DRIVE)(9999)\n"
              "kx4grd:DelUsbDiskExceptionList: success(0)\n");
    EXPECT_EQ(Entries(), 3u);

    machine().ClearDebugOutput();
    DiskCommand(STATE_DEL, {"VEND", "DRIVE", "", "123456"});  // the stored serial begins the given one
    EXPECT_TRUE(machine().DebugContains("kx4grd:DelUsbDiskExceptionList: success(1)\n"));
    EXPECT_EQ(Entries(), 2u);
    EXPECT_TRUE(Listed({"VEND", "DRIVE", "", "1234"}));  // its twin is still there
    DiskCommand(STATE_DEL, {"VEND", "DRIVE", "", "1234"});
    EXPECT_FALSE(Listed({"VEND", "DRIVE", "", "1234"}));
    EXPECT_EQ(Entries(), 1u);

    machine().ClearDebugOutput();
    EXPECT_FALSE(DelUsbDiskExceptionList(nullptr, "STICK", nullptr, nullptr));
    EXPECT_FALSE(DelUsbDiskExceptionList("OTHER", nullptr, nullptr, nullptr));
    EXPECT_EQ(machine().DebugCount("kx4grd:DelUsbDiskExceptionList: Invalid Parameter: vid or pid is NULL\n"), 2u);
    EXPECT_EQ(Entries(), 1u);

    machine().ClearDebugOutput();
    DiskCommand(2, {"", "", "", ""});
    EXPECT_EQ(machine().DebugText(),
              "kx4grd:CleanupUsbDiskExceptionList: success\n"
              "kx4grd:Kx4GrdMssageProc: SET_USB_DISK_EXCEPT, (STATE_CLEAR)\n");
    EXPECT_EQ(Entries(), 0u);
    EXPECT_FALSE(Listed({"OTHER", "STICK", "", ""}));
}

TEST_F(UsbExceptionTest, DiskStringsAreCutToTheirFields) {
    // The disk entry's fields hold 19, 19, 19 and 23 characters.
    SetUsbDiskException("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "P", "R", "0123456789012345678901234567");
    EXPECT_TRUE(Listed({"ABCDEFGHIJKLMNOPQRS", "P", "", "01234567890123456789012"}));
    EXPECT_FALSE(Listed({"ABCDEFGHIJKLMNOPQR", "P", "", "01234567890123456789012"}));
    EXPECT_FALSE(Listed({"ABCDEFGHIJKLMNOPQRS", "P", "", "0123456789012345678901"}));
}

class UsbVolumeTest : public UsbExceptionTest {
protected:
    void SetUp() override {
        UsbExceptionTest::SetUp();
        winsim::VolumeOptions usb;
        usb.kind = winsim::VolumeKind::UsbFlashDisk;
        volume_ = machine().AddVolume(usb);
        ASSERT_TRUE(machine().RelatedObjects(kxtest::kServiceName, volume_.deviceName, &objects_));
    }

    // Gives the volume the identity the classifier would collect for it.
    void SetIdentity(const char* vendor, const char* product, const char* serial) {
        PFLT_CONTEXT context = nullptr;
        ASSERT_EQ(FltAllocateContext(Globals.FilterHandle, FLT_VOLUME_CONTEXT, sizeof(VOLUME_CONTEXT), NonPagedPoolNx,
                                     &context),
                  STATUS_SUCCESS);
        auto* volume = static_cast<VOLUME_CONTEXT*>(context);
        std::memset(volume, 0, sizeof(*volume));
        volume->deviceType = BDC_USB_DISK;
        volume->busType = 7;
        std::strncpy(volume->vendorId, vendor, KX_VOLUME_ID_CHARS - 1);
        std::strncpy(volume->productId, product, KX_VOLUME_ID_CHARS - 1);
        std::strncpy(volume->productRevision, "1.00", KX_VOLUME_ID_CHARS - 1);
        std::strncpy(volume->serialNumber, serial, KX_VOLUME_ID_CHARS - 1);
        EXPECT_EQ(FltSetVolumeContext(objects_.Volume, FLT_SET_CONTEXT_REPLACE_IF_EXISTS, context, nullptr),
                  STATUS_SUCCESS);
        FltReleaseContext(context);
    }

    winsim::VolumeInfo volume_;
    FLT_RELATED_OBJECTS objects_{};
};

TEST_F(UsbVolumeTest, IsUsbExceptionAsksWithTheVolumesIdentity) {
    Verbose();
    // A volume whose context cannot be had is not excepted, even by an entry that
    // covers every disk.
    DiskCommand(STATE_SET, {"", "", "", ""});
    machine().ClearDebugOutput();
    const FLT_RELATED_OBJECTS noVolume{.Size = sizeof(FLT_RELATED_OBJECTS), .Filter = objects_.Filter};
    EXPECT_FALSE(IsUsbException(&noVolume, BDC_USB_DISK));
    EXPECT_TRUE(machine().DebugContains("kx4grd:IsUsbException: FltGetVolumeContext Failed (c000000d)\n"))
        << machine().DebugText();
    DiskCommand(2, {});

    SetIdentity("VEND", "DRIVE PRO", "1234567890ABCDEF1234567890");
    EXPECT_FALSE(IsUsbException(&objects_, BDC_USB_DISK));
    DiskCommand(STATE_SET, {"VEND", "DRIVE", "", "1234567890ABCDEF123"});
    machine().ClearDebugOutput();
    EXPECT_TRUE(IsUsbException(&objects_, BDC_USB_DISK));
    EXPECT_TRUE(IsUsbException(&objects_, BDC_EXTERNALHDD));  // the device type is not used
    EXPECT_EQ(machine().DebugCount(
                  "kx4grd:IsUsbException: Vendor ID(VEND),productid(DRIVE PRO)(1234567890ABCDEF1234567890)\n"),
              2u)
        << machine().DebugText();

    // The same volume when its identity could not be read.
    SetIdentity("", "", "");
    EXPECT_FALSE(IsUsbException(&objects_, BDC_USB_DISK));
}

// ---------------------------------------------------------------- USB ports

TEST_F(UsbExceptionTest, PortEntryMatchesTypeIdsAndADeviceSerialThatBeginsItsOwn) {
    Verbose();
    PortCommand(STATE_SET, 0x1234, 0x5678, 0x42, u"ABC");
    EXPECT_EQ(machine().DebugText(),
              "kx4grd:SetUsbPortException: success\n"
              "kx4grd:Kx4GrdMssageProc: SET_USB_PORT_EXCEPT, (STATE_SET), vid(1234), pid(5678), serial(ABC)\n");
    EXPECT_TRUE(PortListed(0x1234, 0x5678, u"ABC"));
    EXPECT_TRUE(PortListed(0x1234, 0x5678, u"abc"));
    EXPECT_TRUE(PortListed(0x1234, 0x5678, u"AB"));
    EXPECT_TRUE(PortListed(0x1234, 0x5678, u""));  // no serial: the ids decide
    EXPECT_TRUE(PortListed(0x1234, 0x5678, nullptr));
    EXPECT_FALSE(PortListed(0x1234, 0x5678, u"ABCD"));
    EXPECT_FALSE(PortListed(0x1234, 0x5679, u"ABC"));
    EXPECT_FALSE(PortListed(0x1235, 0x5678, u"ABC"));
    EXPECT_FALSE(PortListed(0x1234, 0x5678, u"ABC", BDC_USB_DISK));
    // A serial longer than any entry can hold matches nothing.
    const std::u16string longSerial(100, u'A');
    EXPECT_FALSE(PortListed(0x1234, 0x5678, longSerial.c_str()));
}

TEST_F(UsbExceptionTest, PortDeleteAndClear) {
    PortCommand(STATE_SET, 0x1234, 0x5678, 1, u"ABC");
    PortCommand(STATE_SET, 0x1234, 0x5678, 2, u"XYZ");
    PortCommand(STATE_SET, 0x1111, 0x2222, 3, u"S1");
    EXPECT_EQ(Entries(), 3u);

    Verbose();
    PortCommand(STATE_DEL, 0x1234, 0x5678, 0, u"XY");
    EXPECT_EQ(machine().DebugText(),
              "kx4grd:_FindUsbPort: (1234)(1234), (5678)(5678), (XYZ)(XY)\n"
              "kx4grd:DelUsbPortExceptionList: success\n"
              "kx4grd:Kx4GrdMssageProc: SET_USB_PORT_EXCEPT, (STATE_DEL), vid(1234), pid(5678), serial(XY)\n");
    EXPECT_EQ(Entries(), 2u);
    EXPECT_FALSE(PortListed(0x1234, 0x5678, u"XYZ"));
    EXPECT_TRUE(PortListed(0x1234, 0x5678, u"ABC"));
    PortCommand(STATE_DEL, 0x1234, 0x5678, 0, u"NONE");
    EXPECT_EQ(Entries(), 2u);

    // CLEAR leaves both exception lists alone.
    SetUsbDiskException("VEND", "DRIVE", "", "");
    RawMessage clear(CLEAR);
    ASSERT_EQ(Send(clear).status, STATUS_SUCCESS);
    EXPECT_EQ(Entries(), 3u);
    EXPECT_TRUE(PortListed(0x1111, 0x2222, u"S1"));
    EXPECT_TRUE(Listed({"VEND", "DRIVE", "", ""}));

    machine().ClearDebugOutput();
    PortCommand(2, 0, 0, 0, u"");
    EXPECT_EQ(machine().DebugText(),
              "kx4grd:CleanupUsbPortExceptionList: success\n"
              "kx4grd:Kx4GrdMssageProc: SET_USB_PORT_EXCEPT, (STATE_CLEAR)(2)\n");
    EXPECT_FALSE(PortListed(0x1111, 0x2222, u"S1"));
    EXPECT_EQ(Entries(), 1u);  // the disk entry
    PortCommand(7, 0, 0, 0, u"");  // any state other than 0 and 1 clears
    EXPECT_TRUE(machine().DebugContains("(STATE_CLEAR)(7)"));
}

// The comparison trace prints serials (wide text), which may only be formatted at
// PASSIVE_LEVEL; it is printed after the lock is released, for the entry that
// matched only. Printed in the walk it would appear once per entry of the type and
// the verifier (checked in TearDown) would report each line.
TEST_F(UsbExceptionTest, PortTraceShowsTheMatchingEntryOnceOutsideTheLock) {
    PortCommand(STATE_SET, 0x1234, 0x5678, 0, u"XYZ");
    PortCommand(STATE_SET, 0x1234, 0x1111, 0, u"ABC");
    PortCommand(STATE_SET, 0x1234, 0x5678, 0, u"ABC");
    PortCommand(STATE_SET, 0x1234, 0x5678, 0, u"ABCDEF");
    Verbose();
    EXPECT_TRUE(PortListed(0x1234, 0x5678, u"AB"));
    EXPECT_EQ(machine().DebugText(), "kx4grd:_FindUsbPort: (1234)(1234), (5678)(5678), (ABC)(AB)\n");
    machine().ClearDebugOutput();
    EXPECT_FALSE(PortListed(0x1234, 0x5678, u"Q"));
    EXPECT_EQ(machine().DebugText(), "");
    EXPECT_TRUE(machine().Verifier().Clean()) << machine().Verifier().ToString();
}

TEST_F(UsbExceptionTest, UnloadFreesBothLists) {
    for (int i = 0; i < 10; ++i) {
        SetUsbDiskException("VEND", "DRIVE", "", std::to_string(i).c_str());
        SetUsbPortException(BDC_USB, 0x1234, i, 0, u"S");
    }
    EXPECT_EQ(Entries(), 20u);
    Unload();
    EXPECT_EQ(Entries(), 0u);
}

}  // namespace
