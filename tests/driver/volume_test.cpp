// Instance setup and the volume context: which volumes get one, the identity of
// their disk, the volume report and its CONNECT record, and every query of setup
// failing in turn.
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "tests/support/driver_fixture.h"

using kxtest::RawMessage;
using kxtest::RecordAt;
using kxtest::Reply;
using kxtest::ReplyCount;
using winsim::DiskIdentity;
using winsim::StorageQuery;
using winsim::VolumeKind;
using winsim::VolumeOptions;

namespace {

constexpr uint64_t kGiB = 1ull << 30;
constexpr NTSTATUS kIoDeviceError = (NTSTATUS)0xC0000185L;

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out += static_cast<char>(c);
    return out;
}

class VolumeTest : public kxtest::DriverTest {
protected:
    // Error traces too, so that each failure path shows which way it went.
    void SetUp() override {
        DriverTest::SetUp();
        RawMessage level(SET_DEBUG_LEVEL);
        level.Value(KX_DBG_ERROR | KX_DBG_INFO);
        ASSERT_EQ(Send(level).status, STATUS_SUCCESS);
    }

    // Adds a volume with the driver running: instance setup runs for it now.
    std::u16string Add(VolumeOptions options) { return machine().AddVolume(options).deviceName; }

    VolumeOptions Usb(const std::u16string& dos = u"") {
        VolumeOptions o;
        o.kind = VolumeKind::UsbFlashDisk;
        o.dosName = dos;
        return o;
    }

    bool Attached(const std::u16string& device) {
        FLT_RELATED_OBJECTS objects{};
        return machine().RelatedObjects(kxtest::kServiceName, device, &objects);
    }

    // A copy of the volume's context; false when it has none.
    bool ContextOf(const std::u16string& device, VOLUME_CONTEXT* copy, std::u16string* name = nullptr) {
        FLT_RELATED_OBJECTS objects{};
        if (!machine().RelatedObjects(kxtest::kServiceName, device, &objects)) return false;
        PFLT_CONTEXT context = nullptr;
        if (!NT_SUCCESS(FltGetVolumeContext(Globals.FilterHandle, objects.Volume, &context))) return false;
        *copy = *static_cast<VOLUME_CONTEXT*>(context);
        if (name != nullptr) {
            name->assign(copy->name.Buffer != nullptr ? copy->name.Buffer : u"", copy->name.Length / sizeof(WCHAR));
        }
        FltReleaseContext(context);
        return true;
    }

    std::vector<EVENT_RECORD> Records() {
        std::vector<uint8_t> out(KX_GET_LOG_HEADER_SIZE + 32 * KX_EVENT_RECORD_SIZE);
        RawMessage msg(GET_LOG);
        Reply reply = Send(msg, out.data(), static_cast<uint32_t>(out.size()));
        std::vector<EVENT_RECORD> records;
        if (!NT_SUCCESS(reply.status)) return records;
        for (uint32_t i = 0; i < ReplyCount(out); ++i) records.push_back(RecordAt(out, i));
        return records;
    }

    // The last volume report printed.
    std::string Report() {
        std::string report;
        for (const std::string& line : machine().DebugOutput()) {
            size_t at = line.find("Kx4GrdInstanceSetup: {\"name\"");
            if (at == std::string::npos) at = line.find("ReportVolume: {\"name\"");
            if (at != std::string::npos) report = line.substr(line.find('{'), line.rfind('}') - line.find('{') + 1);
        }
        return report;
    }
};

// ---------------------------------------------------------------- which volumes

TEST_F(VolumeTest, DiskFileSystemsGetAContextAndEveryOtherVolumeAttachesWithout) {
    struct Case {
        const char* what;
        VolumeOptions options;
        bool context;
    };
    auto make = [](VolumeKind kind, const std::u16string& device = u"", ULONG vdt = 0, ULONG fs = 0,
                   bool unknownFs = false) {
        VolumeOptions o;
        o.kind = kind;
        o.deviceName = device;
        o.volumeDeviceType = vdt;
        o.fsType = fs;
        o.fsTypeUnknown = unknownFs;
        return o;
    };
    std::vector<Case> cases = {
        {"local NTFS disk", make(VolumeKind::LocalDisk), true},
        {"USB flash disk", make(VolumeKind::UsbFlashDisk), true},
        {"USB hard disk", make(VolumeKind::UsbHardDisk), true},
        {"floppy", make(VolumeKind::Floppy), true},
        {"CD-ROM (volume device type 3)", make(VolumeKind::CdRom), false},
        {"MUP (volume device type 0x14)", make(VolumeKind::Network), false},
        {"LANMAN", make(VolumeKind::Network, u"\\Device\\LanmanRedirector"), false},
        {"WebDAV on a disk volume type", make(VolumeKind::LocalDisk, u"\\Device\\WebDavRedirector", 0, 7), false},
        {"unknown file system", make(VolumeKind::LocalDisk, u"", 0, 0, true), false},
        {"named-pipe volume (not a disk file system)", make(VolumeKind::LocalDisk, u"\\Device\\NamedPipe", 0x11, 25),
         false},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::u16string device = Add(c.options);
        EXPECT_TRUE(Attached(device));
        VOLUME_CONTEXT context{};
        EXPECT_EQ(ContextOf(device, &context), c.context);
    }
    // One CONNECT record per volume with a context, each from the system process.
    std::vector<EVENT_RECORD> records = Records();
    ASSERT_EQ(records.size(), 4u);
    for (const EVENT_RECORD& r : records) {
        EXPECT_EQ(r.code, CONNECT);
        EXPECT_EQ(r.a0, (ULONG)FILE_DEVICE_DISK_FILE_SYSTEM);
        EXPECT_EQ(r.pid, 4u);
        EXPECT_EQ(kxtest::Text(r.name), u"System");
    }
    EXPECT_EQ(records[0].a1, (ULONG)FLT_FSTYPE_NTFS);
    EXPECT_EQ(records[1].a1, (ULONG)FLT_FSTYPE_FAT);
}

TEST_F(VolumeTest, ContextHoldsTheDiskIdentityAndDosName) {
    VolumeOptions local;
    local.dosName = u"C:";
    std::u16string c = Add(local);
    std::u16string e = Add(Usb(u"E:"));

    VOLUME_CONTEXT context{};
    std::u16string name;
    ASSERT_TRUE(ContextOf(c, &context, &name));
    DiskIdentity disk = winsim::DefaultDiskIdentity(VolumeKind::LocalDisk);
    EXPECT_EQ(name, u"C:");
    EXPECT_EQ(context.deviceType, (ULONG)FILE_DEVICE_DISK);
    EXPECT_EQ(context.busType, (ULONG)BusTypeSata);
    EXPECT_STREQ(context.vendorId, "");  // an ATA disk names no vendor: offset 0
    EXPECT_EQ(std::string(context.productId), Upper(disk.product));
    EXPECT_EQ(std::string(context.productRevision), Upper(disk.revision));
    EXPECT_EQ(std::string(context.serialNumber), Upper(disk.serial));

    ASSERT_TRUE(ContextOf(e, &context, &name));
    DiskIdentity usb = winsim::DefaultDiskIdentity(VolumeKind::UsbFlashDisk);
    EXPECT_EQ(name, u"E:");
    EXPECT_EQ(context.busType, 7u);
    EXPECT_EQ(std::string(context.vendorId), Upper(usb.vendor));
    EXPECT_EQ(std::string(context.serialNumber), Upper(usb.serial));
    // Setup took and gave back every device reference and freed its temporary memory.
    EXPECT_EQ(machine().PoolAllocations(KX_TAG_VOLUME_INFO), 0u);
    EXPECT_EQ(machine().PoolAllocations(KX_TAG_STORAGE_QUERY), 0u);
}

// ---------------------------------------------------------------- the report of a USB disk

TEST_F(VolumeTest, UsbDiskReportShowsGiBWithHundredthsAndCutUpperCasedStrings) {
    VolumeOptions o = Usb(u"E:");
    o.customIdentity = true;
    DiskIdentity& id = o.identity;
    id.vendor = "Kingston DataTraveler, a vendor name over 31";
    id.product = "DT Micro 3.2";
    id.revision = "pmap";
    id.serial = "0123456789abcdefghij0123456789ABCDEFGHIJ";  // 40 characters
    id.busType = 7;
    id.removableMedia = true;
    id.friendlyName = u"Kingston DT USB Device";
    id.description = u"Disk drive";
    id.hardwareIds = {u"USBSTOR\\DiskKingstonDT_Micro_3.2", u"GenDisk"};
    id.enumerator = u"USBSTOR";
    id.instanceId = u"USBSTOR\\DISK&VEN_KINGSTON\\0123&0";
    o.size.totalUnits = 3 * kGiB / 2 / 4096;  // 1.5 GiB in 4-KiB units
    o.size.availableUnits = kGiB / 4096;      // exactly 2^30 bytes
    std::u16string device = Add(o);

    VOLUME_CONTEXT context{};
    ASSERT_TRUE(ContextOf(device, &context));
    EXPECT_EQ(std::string(context.vendorId), Upper(id.vendor).substr(0, 31));
    EXPECT_EQ(std::string(context.serialNumber), Upper(id.serial).substr(0, 31));

    const std::string expected =
        "{\"name\": \"E:\", \"freeGB\": \"1.00\", \"totalGB\": \"1.50\", \"vid\": \"KINGSTON DATATRA\", "
        "\"pid\": \"DT MICRO 3.2\", \"rev\": \"PMAP\", \"serial\": \"0123456789ABCDEFGHIJ\", "
        "\"instanceId\": \"USBSTOR\\DISK&VEN_KINGSTON\\0123&0\", \"enumerator\": \"USBSTOR\", "
        "\"friendlyName\": \"Kingston DT USB Device\", \"hardwareId\": \"USBSTOR\\DiskKingstonDT_Micro_3.2\", "
        "\"description\": \"Disk drive\"}";
    std::vector<EVENT_RECORD> records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].code, CONNECT);
    EXPECT_EQ(records[0].a0, (ULONG)FILE_DEVICE_DISK_FILE_SYSTEM);
    EXPECT_EQ(records[0].a1, (ULONG)FLT_FSTYPE_FAT);
    EXPECT_EQ(kxtest::Text(records[0].name), u"System");
    EXPECT_EQ(kxtest::Text(records[0].extra), u"E:");
    EXPECT_EQ(Narrow(kxtest::Text(records[0].path)), expected);
    EXPECT_EQ(Report(), expected);
    EXPECT_TRUE(machine().DebugContains("Kx4GrdInstanceSetup: Total Size: 1610612736 Bytes, Free: 1073741824 Bytes\n") ||
                machine().DebugContains("ReportVolume: Total Size: 1610612736 Bytes, Free: 1073741824 Bytes\n"));
    EXPECT_TRUE(machine().DebugContains("SafeSetVolumContextParam: Copied Length(31), Content(0123456789ABCDEFGHIJ0123456789A)\n"));
}

TEST_F(VolumeTest, HundredthsAreTruncatedNotRounded) {
    VolumeOptions o = Usb(u"F:");
    o.size.sectorsPerUnit = 1;
    o.size.bytesPerSector = 1;
    o.size.totalUnits = 2 * kGiB - 1;  // 1.999... GiB
    o.size.availableUnits = kGiB / 100;  // just under 0.01 GiB
    Add(o);
    const std::string report = Report();
    EXPECT_NE(report.find("\"freeGB\": \"0.00\", \"totalGB\": \"1.99\""), std::string::npos) << report;
}

// Fault: units x sectors x bytes overflowed. Multiplied unsigned, a size past 2^64
// saturates instead of wrapping to a small or negative number.
TEST_F(VolumeTest, HugeSizesSaturateInsteadOfWrapping) {
    VolumeOptions o = Usb(u"G:");
    o.size.totalUnits = 1ull << 62;  // x 8 x 4096 = 2^77 bytes
    o.size.availableUnits = (1ull << 51) + 1;  // x 2^15 just above 2^66
    o.size.sectorsPerUnit = 8;
    o.size.bytesPerSector = 4096;
    Add(o);
    const std::string report = Report();
    EXPECT_NE(report.find("\"freeGB\": \"17179869183.99\", \"totalGB\": \"17179869183.99\""), std::string::npos)
        << report;
    EXPECT_EQ(KxVolumeBytes(1ull << 40, 8, 512), 1ull << 52);
    EXPECT_EQ(KxVolumeBytes(~0ull, 1, 1), ~0ull);
    EXPECT_EQ(KxVolumeBytes((1ull << 52) + 1, 4096, 1), ~0ull);
    EXPECT_EQ(KxVolumeBytes(5, 0, 512), 0u);
}

TEST_F(VolumeTest, GiBConversion) {
    ULONGLONG whole = 0, hundredths = 0;
    KxBytesToGiB(3 * kGiB / 2, &whole, &hundredths);
    EXPECT_EQ(whole, 1u);
    EXPECT_EQ(hundredths, 50u);
    KxBytesToGiB(kGiB, &whole, &hundredths);
    EXPECT_EQ(whole, 1u);
    EXPECT_EQ(hundredths, 0u);
    KxBytesToGiB(kGiB - 1, &whole, &hundredths);
    EXPECT_EQ(whole, 0u);
    EXPECT_EQ(hundredths, 99u);
}

// Fault: the 520-byte property fields were formatted as they came, so a value that
// fills them without a terminator ran on into the next field.
TEST_F(VolumeTest, PropertiesFillingTheirFieldWithoutTerminatorAreCut) {
    VolumeOptions o = Usb(u"H:");
    o.customIdentity = true;
    o.identity = winsim::DefaultDiskIdentity(VolumeKind::UsbFlashDisk);
    o.identity.friendlyName = std::u16string(260, u'F');
    o.identity.instanceId = u"USBSTOR\\X";
    o.identity.hardwareIds = {u"USBSTOR\\Y"};
    o.identity.unterminatedProperties = true;
    Add(o);
    const std::string report = Report();
    ASSERT_FALSE(report.empty()) << machine().DebugText();
    EXPECT_NE(report.find("\"friendlyName\": \"" + std::string(259, 'F') + "\", \"hardwareId\": \"USBSTOR\\Y\""),
              std::string::npos)
        << report;
    // Shorter values end inside their zero-filled field.
    EXPECT_NE(report.find("\"enumerator\": \"USBSTOR\", \"friendlyName\""), std::string::npos);
    EXPECT_NE(report.find("\"description\": \"Disk drive\"}"), std::string::npos);
    EXPECT_NE(report.find("\"instanceId\": \"USBSTOR\\X\", "), std::string::npos);
}

TEST_F(VolumeTest, ReportThatDoesNotFitIsNotLogged) {
    VolumeOptions o = Usb(u"I:");
    o.customIdentity = true;
    o.identity = winsim::DefaultDiskIdentity(VolumeKind::UsbFlashDisk);
    o.identity.friendlyName = std::u16string(250, u'F');
    o.identity.description = std::u16string(250, u'D');
    o.identity.enumerator = std::u16string(250, u'E');
    o.identity.instanceId = std::u16string(250, u'I');
    std::u16string device = Add(o);
    EXPECT_TRUE(machine().DebugContains("RtlStringCbPrintfW failed: 80000005\n")) << machine().DebugText();
    EXPECT_TRUE(Records().empty());
    VOLUME_CONTEXT context{};
    EXPECT_TRUE(ContextOf(device, &context));
}

// ---------------------------------------------------------------- failing queries

TEST_F(VolumeTest, EveryFailingQueryStillAttachesWithWhatWasLearnt) {
    const DiskIdentity usb = winsim::DefaultDiskIdentity(VolumeKind::UsbFlashDisk);
    struct Case {
        const char* what;
        winsim::VolumeFaults faults;
        ULONG busType;
        std::string vendor;
        std::string serial;
        bool named;    // the DOS name was obtained
        bool record;   // a CONNECT record was written
    };
    auto faults = [](StorageQuery q) {
        winsim::VolumeFaults f;
        f.storageQuery = q;
        return f;
    };
    winsim::VolumeFaults dos;
    dos.dosName = STATUS_OBJECT_NAME_NOT_FOUND;
    winsim::VolumeFaults size;
    size.sizeQuery = kIoDeviceError;
    winsim::VolumeFaults disk;
    disk.diskDeviceObject = STATUS_INVALID_PARAMETER;
    winsim::VolumeFaults properties;
    properties.friendlyName = properties.description = properties.hardwareId = properties.enumerator =
        properties.instanceId = STATUS_INVALID_PARAMETER;
    const std::string upperSerial = Upper(usb.serial);
    std::vector<Case> cases = {
        {"storage query fails", faults(StorageQuery::Fail), 0, "", "", true, true},
        {"storage query pends and completes later", faults(StorageQuery::Pend), 7, Upper(usb.vendor), upperSerial,
         true, true},
        {"answer is only the descriptor header", faults(StorageQuery::HeaderOnly), 0, "", "", true, true},
        {"serial offset equals the descriptor size", faults(StorageQuery::SerialAtSize), 7, Upper(usb.vendor), "",
         true, true},
        {"serial offset past the descriptor size", faults(StorageQuery::SerialPastSize), 7, Upper(usb.vendor), "",
         true, true},
        {"descriptor size beyond the bytes returned", faults(StorageQuery::SizeBeyondReturned), 7, Upper(usb.vendor),
         upperSerial.substr(0, 4), true, true},
        {"descriptor size beyond the 1024-byte buffer", faults(StorageQuery::SizeBeyondBuffer), 7, Upper(usb.vendor),
         upperSerial.substr(0, 6), true, true},
        {"device properties fail", properties, 7, Upper(usb.vendor), upperSerial, true, true},
        {"DOS name lookup fails", dos, 7, Upper(usb.vendor), upperSerial, false, false},
        {"size query fails", size, 7, Upper(usb.vendor), upperSerial, true, true},
        {"no disk device object", disk, 0, "", "", false, false},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        machine().ClearDebugOutput();
        VolumeOptions o = Usb();
        o.faults = c.faults;
        std::u16string device = Add(o);
        EXPECT_TRUE(Attached(device));
        VOLUME_CONTEXT context{};
        std::u16string name;
        ASSERT_TRUE(ContextOf(device, &context, &name));
        EXPECT_EQ(context.busType, c.busType);
        EXPECT_EQ(std::string(context.vendorId), c.vendor);
        EXPECT_EQ(std::string(context.serialNumber), c.serial);
        EXPECT_EQ(!name.empty(), c.named);
        EXPECT_EQ(context.deviceType, c.faults.diskDeviceObject == 0 ? (ULONG)FILE_DEVICE_DISK : 0u);
        std::vector<EVENT_RECORD> records = Records();
        EXPECT_EQ(records.size(), c.record ? 1u : 0u);
        EXPECT_EQ(machine().PendingRequests(), 0u);
        if (c.faults.storageQuery == StorageQuery::Pend) {
            EXPECT_EQ(machine().StorageQueriesAnswered(device), 1u);
        }
        if (c.faults.sizeQuery != 0) {
            EXPECT_TRUE(machine().DebugContains("FltQueryVolumeInformation Failed: c0000185\n"));
            EXPECT_NE(Report().find("\"freeGB\": \"0.00\", \"totalGB\": \"0.00\""), std::string::npos);
        }
        if (c.faults.friendlyName != 0) {
            EXPECT_NE(Report().find("\"instanceId\": \"\", \"enumerator\": \"\", \"friendlyName\": \"\", "
                                    "\"hardwareId\": \"\", \"description\": \"\"}"),
                      std::string::npos)
                << Report();
        }
    }
}

TEST_F(VolumeTest, ContextAllocationFailureLeavesTheVolumeUnattached) {
    machine().FailNthCall(winsim::FaultClass::Allocation, 1);
    std::u16string device = Add(Usb());
    machine().ClearFaultInjection();
    EXPECT_FALSE(Attached(device));
    EXPECT_TRUE(machine().DebugContains("Kx4GrdInstanceSetup: FltAllocateContext Failed c000009a\n")) << machine().DebugText();
    EXPECT_TRUE(Records().empty());
    // The next volume is set up normally.
    std::u16string next = Add(Usb());
    VOLUME_CONTEXT context{};
    EXPECT_TRUE(ContextOf(next, &context));
}

TEST_F(VolumeTest, IdentityRecordAllocationFailureStillAttachesAnEmptyContext) {
    machine().FailNthCall(winsim::FaultClass::Allocation, 2);  // the identity record, after the context
    std::u16string device = Add(Usb());
    machine().ClearFaultInjection();
    EXPECT_TRUE(Attached(device));
    EXPECT_TRUE(machine().DebugContains("Kx4GrdInstanceSetup: alloc fail\n"));
    VOLUME_CONTEXT context{};
    std::u16string name;
    ASSERT_TRUE(ContextOf(device, &context, &name));
    EXPECT_TRUE(name.empty());
    EXPECT_EQ(context.busType, 0u);
    EXPECT_TRUE(Records().empty());
}

// ---------------------------------------------------------------- the descriptor copy

TEST_F(VolumeTest, DescriptorStringCopyStaysInsideItsBound) {
    std::vector<UCHAR> d(64, 0);
    const char text[] = "abcdefghijklmnopqrstuvwxyz0123456789";  // 36 characters
    std::memcpy(d.data() + 20, text, sizeof text - 1);
    CHAR out[KX_VOLUME_ID_CHARS];
    std::memset(out, 'x', sizeof out);
    SafeSetVolumContextParam(out, 64, d.data(), 20);
    EXPECT_STREQ(out, "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234");  // 31 characters
    SafeSetVolumContextParam(out, 24, d.data(), 20);
    EXPECT_STREQ(out, "ABCD");  // the bound ends the string
    std::memset(out, 'x', sizeof out);
    SafeSetVolumContextParam(out, 20, d.data(), 20);
    EXPECT_STREQ(out, "");  // offset equal to the bound
    std::memset(out, 'x', sizeof out);
    SafeSetVolumContextParam(out, 64, d.data(), 0);
    EXPECT_STREQ(out, "");  // no string
}

// ---------------------------------------------------------------- teardown and cleanup

TEST_F(VolumeTest, RemovalFreesTheContextAndItsDosName) {
    std::u16string device = Add(Usb(u"E:"));
    ASSERT_EQ(machine().PoolAllocations(KX_TAG_VOLUME_CONTEXT), 1u);
    EXPECT_TRUE(machine().RemoveVolume(device));
    EXPECT_EQ(machine().PoolAllocations(KX_TAG_VOLUME_CONTEXT), 0u);
    EXPECT_TRUE(machine().DebugContains("Kx4GrdCleanupVolumeContext: ctx->name(E:)\n"));
    EXPECT_FALSE(machine().DebugContains("tqnpvxInstanceQueryTeardown"));  // not asked on removal
}

TEST_F(VolumeTest, DetachAsksQueryTeardownAndSetupAgainKeepsTheFirstContext) {
    std::u16string device = Add(Usb(u"E:"));
    EXPECT_EQ(machine().DetachInstance(kxtest::kServiceName, device), STATUS_SUCCESS);
    EXPECT_TRUE(machine().DebugContains("Kx4GrdInstanceQueryTeardown: tqnpvx!tqnpvxInstanceQueryTeardown: Entered\n"));
    EXPECT_FALSE(Attached(device));
    EXPECT_EQ(machine().PoolAllocations(KX_TAG_VOLUME_CONTEXT), 1u);  // the volume keeps its context

    machine().ClearDebugOutput();
    EXPECT_EQ(machine().AttachInstance(kxtest::kServiceName, device), STATUS_SUCCESS);
    // The second setup's context is released unused, its DOS name with it.
    EXPECT_EQ(machine().PoolAllocations(KX_TAG_VOLUME_CONTEXT), 1u);
    EXPECT_TRUE(machine().DebugContains("Kx4GrdCleanupVolumeContext: ctx->name(E:)\n"));
    VOLUME_CONTEXT context{};
    EXPECT_TRUE(ContextOf(device, &context));
    EXPECT_EQ(Records().size(), 2u);
}

// Fault: the cleanup printed its wide trace at any IRQL, but the last reference may
// go at APC_LEVEL, where wide text cannot be formatted.
TEST_F(VolumeTest, CleanupAtApcLevelFreesTheNameWithoutTheWideTrace) {
    for (KIRQL irql : {(KIRQL)APC_LEVEL, (KIRQL)PASSIVE_LEVEL}) {
        SCOPED_TRACE(irql);
        machine().ClearDebugOutput();
        PFLT_CONTEXT raw = nullptr;
        ASSERT_EQ(FltAllocateContext(Globals.FilterHandle, FLT_VOLUME_CONTEXT, sizeof(VOLUME_CONTEXT), NonPagedPoolNx,
                                     &raw),
                  STATUS_SUCCESS);
        auto* context = static_cast<VOLUME_CONTEXT*>(raw);
        std::memset(context, 0, sizeof *context);
        context->name.Buffer = static_cast<PWSTR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 6, winsim::PoolTag("tDos")));
        std::memcpy(context->name.Buffer, u"Z:", 6);
        context->name.Length = 4;
        context->name.MaximumLength = 6;
        KIRQL old;
        KeRaiseIrql(irql, &old);
        FltReleaseContext(raw);
        KeLowerIrql(old);
        EXPECT_EQ(machine().PoolAllocations(winsim::PoolTag("tDos")), 0u);
        EXPECT_EQ(machine().DebugContains("ctx->name(Z:)"), irql == PASSIVE_LEVEL);
    }
}

TEST_F(VolumeTest, CleanupIgnoresOtherContextTypesAndMissingNames) {
    VOLUME_CONTEXT context{};
    Kx4GrdCleanupVolumeContext(&context, FLT_VOLUME_CONTEXT);  // no name: nothing to free
    context.name.Buffer = static_cast<PWSTR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 6, winsim::PoolTag("tDos")));
    Kx4GrdCleanupVolumeContext(&context, FLT_INSTANCE_CONTEXT);
    EXPECT_NE(context.name.Buffer, nullptr);  // not a volume context: left alone
    Kx4GrdCleanupVolumeContext(&context, FLT_VOLUME_CONTEXT);
    EXPECT_EQ(context.name.Buffer, nullptr);
    EXPECT_EQ(machine().PoolAllocations(winsim::PoolTag("tDos")), 0u);
}

// Volumes present before the driver loads are set up when it starts filtering.
class VolumesBeforeLoadTest : public VolumeTest {
protected:
    void BeforeLoad() override {
        VolumeOptions local;
        local.dosName = u"C:";
        machine().AddVolume(local);
        machine().AddVolume(Usb(u"E:"));
    }
};

TEST_F(VolumesBeforeLoadTest, ExistingVolumesAreReportedAtStart) {
    std::vector<EVENT_RECORD> records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(kxtest::Text(records[0].extra), u"C:");
    EXPECT_EQ(kxtest::Text(records[1].extra), u"E:");
    EXPECT_NE(Narrow(kxtest::Text(records[1].path)).find("\"vid\": \"SANDISK\""), std::string::npos);
}

}  // namespace
