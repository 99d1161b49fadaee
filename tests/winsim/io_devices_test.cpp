// The disks under the volumes as a driver sees them: device stacks and their
// properties, the storage property query carried by an IRP (answered, failed,
// pended), volume sizes and DOS names, removal and detach, and the verifier's
// account of device references, contexts and DOS-name buffers left behind.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "winsim/winsim.h"

using winsim::Machine;
using winsim::StorageQuery;
using winsim::VolumeKind;
using winsim::VolumeOptions;

namespace {

// ---------------------------------------------------------------- a small minifilter
namespace probe {

PFLT_FILTER g_filter;
bool g_withQueryTeardown = true;
int g_setups, g_queries, g_teardownStarts, g_teardownCompletes, g_cleanups;
FLT_INSTANCE_TEARDOWN_FLAGS g_lastTeardown;

void Cleanup(PFLT_CONTEXT, FLT_CONTEXT_TYPE) { ++g_cleanups; }

const FLT_CONTEXT_REGISTRATION kContexts[] = {
    {FLT_VOLUME_CONTEXT, 0, Cleanup, sizeof(ULONG), winsim::PoolTag("pbVc"), nullptr, nullptr, nullptr},
    {FLT_CONTEXT_END, 0, nullptr, 0, 0, nullptr, nullptr, nullptr}};

NTSTATUS Setup(PCFLT_RELATED_OBJECTS objects, FLT_INSTANCE_SETUP_FLAGS, DEVICE_TYPE, FLT_FILESYSTEM_TYPE) {
    ++g_setups;
    PFLT_CONTEXT context = nullptr;
    if (NT_SUCCESS(FltAllocateContext(g_filter, FLT_VOLUME_CONTEXT, sizeof(ULONG), NonPagedPoolNx, &context))) {
        FltSetVolumeContext(objects->Volume, FLT_SET_CONTEXT_KEEP_IF_EXISTS, context, nullptr);
        FltReleaseContext(context);
    }
    return STATUS_SUCCESS;
}
NTSTATUS QueryTeardown(PCFLT_RELATED_OBJECTS, FLT_INSTANCE_QUERY_TEARDOWN_FLAGS) {
    ++g_queries;
    return STATUS_SUCCESS;
}
void TeardownStart(PCFLT_RELATED_OBJECTS, FLT_INSTANCE_TEARDOWN_FLAGS flags) {
    ++g_teardownStarts;
    g_lastTeardown = flags;
}
void TeardownComplete(PCFLT_RELATED_OBJECTS, FLT_INSTANCE_TEARDOWN_FLAGS) { ++g_teardownCompletes; }
NTSTATUS Unload(FLT_FILTER_UNLOAD_FLAGS) {
    FltUnregisterFilter(g_filter);
    return STATUS_SUCCESS;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    FLT_REGISTRATION r{};
    r.Size = sizeof r;
    r.Version = FLT_REGISTRATION_VERSION;
    r.ContextRegistration = kContexts;
    r.FilterUnloadCallback = Unload;
    r.InstanceSetupCallback = Setup;
    r.InstanceQueryTeardownCallback = g_withQueryTeardown ? QueryTeardown : nullptr;
    r.InstanceTeardownStartCallback = TeardownStart;
    r.InstanceTeardownCompleteCallback = TeardownComplete;
    NTSTATUS status = FltRegisterFilter(driver, &r, &g_filter);
    if (!NT_SUCCESS(status)) return status;
    return FltStartFiltering(g_filter);
}

}  // namespace probe

class DevicesTest : public ::testing::Test {
protected:
    void SetUp() override {
        machine_ = &Machine::Boot();
        probe::g_withQueryTeardown = true;
        probe::g_setups = probe::g_queries = probe::g_teardownStarts = probe::g_teardownCompletes =
            probe::g_cleanups = 0;
        machine_->RegisterDriverImage(u"probe.sys", probe::Entry);
    }
    void TearDown() override { Machine::Shutdown(); }

    void Load() { ASSERT_EQ(machine_->LoadDriver(u"probe", u"probe.sys"), STATUS_SUCCESS); }
    // Unloads and returns the verifier's findings.
    winsim::VerifierReport UnloadAndCheck() {
        EXPECT_EQ(machine_->UnloadDriver(u"probe"), STATUS_SUCCESS);
        return machine_->Verifier();
    }
    FLT_RELATED_OBJECTS Objects(const std::u16string& device) {
        FLT_RELATED_OBJECTS objects{};
        EXPECT_TRUE(machine_->RelatedObjects(u"probe", device, &objects));
        return objects;
    }
    PDEVICE_OBJECT Disk(const std::u16string& device) {
        PDEVICE_OBJECT disk = nullptr;
        EXPECT_EQ(FltGetDiskDeviceObject(Objects(device).Volume, &disk), STATUS_SUCCESS);
        return disk;
    }
    static std::vector<uint8_t> Query(PDEVICE_OBJECT top, ULONG outputLength, NTSTATUS* status,
                                      ULONG_PTR* information, NTSTATUS* callStatus = nullptr) {
        STORAGE_PROPERTY_QUERY query{};
        std::vector<uint8_t> out(outputLength, 0xEE);
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_STORAGE_QUERY_PROPERTY, top, &query, sizeof query,
                                                 out.data(), outputLength, FALSE, &event, &iosb);
        EXPECT_NE(irp, nullptr);
        NTSTATUS s = IoCallDriver(top, irp);
        if (callStatus) *callStatus = s;
        if (s == STATUS_PENDING) {
            EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
            s = iosb.Status;
        } else {
            EXPECT_EQ(iosb.Status, s);
            EXPECT_NE(KeReadStateEvent(&event), 0);
        }
        *status = s;
        *information = iosb.Information;
        return out;
    }
    static bool Has(const winsim::VerifierReport& report, const std::string& text) {
        for (auto& v : report.violations)
            if (v.find(text) != std::string::npos) return true;
        return false;
    }

    Machine* machine_ = nullptr;
};

// ---------------------------------------------------------------- stacks and properties

TEST_F(DevicesTest, DiskStackCarriesPropertiesAtTheBottomAndAnswersAtTheTop) {
    VolumeOptions o;
    o.kind = VolumeKind::UsbFlashDisk;
    o.customIdentity = true;
    o.identity = winsim::DefaultDiskIdentity(VolumeKind::UsbFlashDisk);
    o.identity.friendlyName = u"Stick";
    o.identity.hardwareIds = {u"USBSTOR\\A", u"GenDisk"};
    o.identity.instanceId = u"USBSTOR\\X\\1";
    std::u16string device = machine_->AddVolume(o).deviceName;
    Load();

    PDEVICE_OBJECT disk = Disk(device);
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(disk->DeviceType, (DEVICE_TYPE)FILE_DEVICE_DISK);
    EXPECT_EQ(disk->Characteristics & FILE_REMOVABLE_MEDIA, (ULONG)FILE_REMOVABLE_MEDIA);
    PDEVICE_OBJECT bottom = IoGetDeviceAttachmentBaseRef(disk);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(disk);
    ASSERT_TRUE(bottom && top);
    EXPECT_NE(bottom, disk);
    EXPECT_NE(top, disk);
    EXPECT_EQ(bottom->AttachedDevice, disk);
    EXPECT_EQ(disk->AttachedDevice, top);
    EXPECT_GT(top->StackSize, disk->StackSize);

    // A buffer too small: the size needed, nothing copied.
    WCHAR buffer[64];
    ULONG length = 0;
    EXPECT_EQ(IoGetDeviceProperty(bottom, DevicePropertyFriendlyName, 4, buffer, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 12u);  // "Stick" and its terminator
    EXPECT_EQ(IoGetDeviceProperty(bottom, DevicePropertyFriendlyName, sizeof buffer, buffer, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"Stick");
    EXPECT_EQ(IoGetDeviceProperty(bottom, DevicePropertyHardwareID, sizeof buffer, buffer, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, (10u + 8u + 1u) * 2u);  // REG_MULTI_SZ: two entries and the closing empty one
    EXPECT_EQ(std::u16string(buffer), u"USBSTOR\\A");
    EXPECT_EQ(std::u16string(buffer + 10), u"GenDisk");
    EXPECT_EQ(IoGetDeviceProperty(bottom, DevicePropertyEnumeratorName, sizeof buffer, buffer, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"USBSTOR");
    DEVPROPTYPE type = 0;
    EXPECT_EQ(IoGetDevicePropertyData(bottom, &DEVPKEY_Device_InstanceId, 0, 0, sizeof buffer, buffer, &length,
                                      &type),
              STATUS_SUCCESS);
    EXPECT_EQ(type, (DEVPROPTYPE)DEVPROP_TYPE_STRING);
    EXPECT_EQ(std::u16string(buffer), u"USBSTOR\\X\\1");

    // Properties belong to physical device objects only.
    EXPECT_EQ(IoGetDeviceProperty(top, DevicePropertyFriendlyName, sizeof buffer, buffer, &length),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(Has(machine_->Verifier(), "not a physical device object"));
    machine_->ClearVerifier();

    ObDereferenceObject(top);
    ObDereferenceObject(bottom);
    ObDereferenceObject(disk);
    EXPECT_TRUE(UnloadAndCheck().Clean()) << machine_->Verifier().ToString();
}

TEST_F(DevicesTest, PropertyFaultsAndMissingPropertiesFail) {
    VolumeOptions o;
    o.faults.description = STATUS_ACCESS_DENIED;
    o.faults.instanceId = STATUS_NOT_FOUND;
    o.customIdentity = true;
    o.identity = winsim::DefaultDiskIdentity(VolumeKind::LocalDisk);
    o.identity.friendlyName.clear();
    std::u16string device = machine_->AddVolume(o).deviceName;
    Load();
    PDEVICE_OBJECT disk = Disk(device);
    PDEVICE_OBJECT bottom = IoGetDeviceAttachmentBaseRef(disk);
    WCHAR buffer[64];
    ULONG length = 0;
    DEVPROPTYPE type = 0;
    EXPECT_EQ(IoGetDeviceProperty(bottom, DevicePropertyDeviceDescription, sizeof buffer, buffer, &length),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(IoGetDeviceProperty(bottom, DevicePropertyFriendlyName, sizeof buffer, buffer, &length),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoGetDevicePropertyData(bottom, &DEVPKEY_Device_InstanceId, 0, 0, sizeof buffer, buffer, &length,
                                      &type),
              STATUS_NOT_FOUND);
    ObDereferenceObject(bottom);
    ObDereferenceObject(disk);
    EXPECT_TRUE(UnloadAndCheck().Clean()) << machine_->Verifier().ToString();
}

// ---------------------------------------------------------------- the storage query IRP

TEST_F(DevicesTest, StorageQueryTravelsDownTheStackAndBack) {
    VolumeOptions usb;
    usb.kind = VolumeKind::UsbFlashDisk;
    std::u16string device = machine_->AddVolume(usb).deviceName;
    Load();
    PDEVICE_OBJECT disk = Disk(device);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(disk);
    winsim::DiskIdentity id = winsim::DefaultDiskIdentity(VolumeKind::UsbFlashDisk);

    NTSTATUS status;
    ULONG_PTR information;
    std::vector<uint8_t> out = Query(top, 1024, &status, &information);
    ASSERT_EQ(status, STATUS_SUCCESS);
    STORAGE_DEVICE_DESCRIPTOR d;
    std::memcpy(&d, out.data(), sizeof d);
    EXPECT_EQ(information, d.Size);
    EXPECT_EQ(d.BusType, BusTypeUsb);
    EXPECT_TRUE(d.RemovableMedia);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data()) + d.VendorIdOffset), id.vendor);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data()) + d.SerialNumberOffset), id.serial);
    EXPECT_EQ(out[information], 0xEE);  // only the bytes returned are copied back

    // A buffer shorter than the descriptor: what fits, with the whole Size.
    out = Query(top, 40, &status, &information);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(information, 40u);
    std::memcpy(&d, out.data(), 8);
    EXPECT_GT(d.Size, 40u);
    out = Query(top, 4, &status, &information);
    EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);

    winsim::VolumeFaults faults;
    faults.storageQuery = StorageQuery::Fail;
    ASSERT_TRUE(machine_->SetVolumeFaults(device, faults));
    Query(top, 1024, &status, &information);
    EXPECT_EQ(status, faults.storageQueryStatus);
    EXPECT_EQ(information, 0u);

    // Pended: IoCallDriver answers STATUS_PENDING, the event comes later from another thread.
    faults.storageQuery = StorageQuery::Pend;
    ASSERT_TRUE(machine_->SetVolumeFaults(device, faults));
    NTSTATUS call;
    out = Query(top, 1024, &status, &information, &call);
    EXPECT_EQ(call, STATUS_PENDING);
    EXPECT_EQ(status, STATUS_SUCCESS);
    std::memcpy(&d, out.data(), sizeof d);
    EXPECT_EQ(d.BusType, BusTypeUsb);
    EXPECT_EQ(machine_->PendingRequests(), 0u);
    EXPECT_EQ(machine_->StorageQueriesAnswered(device), 5u);

    ObDereferenceObject(top);
    ObDereferenceObject(disk);
    EXPECT_TRUE(UnloadAndCheck().Clean()) << machine_->Verifier().ToString();
}

TEST_F(DevicesTest, MisbehavingDescriptorsAreWhatTheDiskReturns) {
    VolumeOptions usb;
    usb.kind = VolumeKind::UsbFlashDisk;
    std::u16string device = machine_->AddVolume(usb).deviceName;
    Load();
    PDEVICE_OBJECT disk = Disk(device);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(disk);
    winsim::VolumeFaults faults;
    NTSTATUS status;
    ULONG_PTR information;
    STORAGE_DEVICE_DESCRIPTOR d;

    faults.storageQuery = StorageQuery::SerialAtSize;
    machine_->SetVolumeFaults(device, faults);
    std::vector<uint8_t> out = Query(top, 1024, &status, &information);
    std::memcpy(&d, out.data(), sizeof d);
    EXPECT_EQ(d.SerialNumberOffset, d.Size);
    EXPECT_GT(information, d.Size);  // the text is there, past the descriptor

    faults.storageQuery = StorageQuery::SizeBeyondReturned;
    machine_->SetVolumeFaults(device, faults);
    out = Query(top, 1024, &status, &information);
    std::memcpy(&d, out.data(), sizeof d);
    EXPECT_EQ(information, d.SerialNumberOffset + 4u);
    EXPECT_GT(d.Size, information);

    faults.storageQuery = StorageQuery::SizeBeyondBuffer;
    machine_->SetVolumeFaults(device, faults);
    out = Query(top, 1024, &status, &information);
    std::memcpy(&d, out.data(), sizeof d);
    EXPECT_EQ(information, 1024u);
    EXPECT_EQ(d.SerialNumberOffset, 1018u);
    EXPECT_GT(d.Size, 1024u);

    faults.storageQuery = StorageQuery::HeaderOnly;
    machine_->SetVolumeFaults(device, faults);
    Query(top, 1024, &status, &information);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(information, 8u);

    ObDereferenceObject(top);
    ObDereferenceObject(disk);
    EXPECT_TRUE(UnloadAndCheck().Clean()) << machine_->Verifier().ToString();
}

// ---------------------------------------------------------------- sizes and names

TEST_F(DevicesTest, VolumeSizeAndDosName) {
    VolumeOptions o;
    o.dosName = u"K:";
    o.size.totalUnits = 1000;
    o.size.availableUnits = 250;
    o.size.sectorsPerUnit = 4;
    o.size.bytesPerSector = 1024;
    std::u16string device = machine_->AddVolume(o).deviceName;
    Load();
    FLT_RELATED_OBJECTS objects = Objects(device);
    FILE_FS_SIZE_INFORMATION info{};
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(FltQueryVolumeInformation(objects.Instance, &iosb, &info, sizeof info, FileFsSizeInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, sizeof info);
    EXPECT_EQ(info.TotalAllocationUnits.QuadPart, 1000);
    EXPECT_EQ(info.AvailableAllocationUnits.QuadPart, 250);
    EXPECT_EQ(info.SectorsPerAllocationUnit, 4u);
    EXPECT_EQ(info.BytesPerSector, 1024u);
    EXPECT_EQ(FltQueryVolumeInformation(objects.Instance, &iosb, &info, 8, FileFsSizeInformation),
              STATUS_INFO_LENGTH_MISMATCH);

    PDEVICE_OBJECT disk = Disk(device);
    UNICODE_STRING dos{};
    ASSERT_EQ(RtlVolumeDeviceToDosName(disk, &dos), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(dos.Buffer, dos.Length / 2), u"K:");
    EXPECT_EQ(machine_->PoolAllocations(winsim::PoolTag("IoDn")), 1u);
    ExFreePool(dos.Buffer);

    winsim::VolumeFaults faults;
    faults.dosName = STATUS_OBJECT_NAME_NOT_FOUND;
    faults.sizeQuery = STATUS_ACCESS_DENIED;
    faults.diskDeviceObject = STATUS_NO_SUCH_DEVICE;
    machine_->SetVolumeFaults(device, faults);
    EXPECT_EQ(RtlVolumeDeviceToDosName(disk, &dos), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(FltQueryVolumeInformation(objects.Instance, &iosb, &info, sizeof info, FileFsSizeInformation),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(iosb.Status, STATUS_ACCESS_DENIED);
    PDEVICE_OBJECT none = nullptr;
    EXPECT_EQ(FltGetDiskDeviceObject(objects.Volume, &none), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(none, nullptr);
    ObDereferenceObject(disk);
    EXPECT_TRUE(UnloadAndCheck().Clean()) << machine_->Verifier().ToString();
}

// ---------------------------------------------------------------- what is left behind

TEST_F(DevicesTest, VerifierReportsDeviceReferencesContextsAndDosNamesLeftBehind) {
    {
        SCOPED_TRACE("device reference");
        std::u16string device = machine_->AddVolume({}).deviceName;
        Load();
        PDEVICE_OBJECT disk = Disk(device);
        PDEVICE_OBJECT bottom = IoGetDeviceAttachmentBaseRef(disk);
        ObDereferenceObject(disk);  // the base reference stays
        (void)bottom;
        EXPECT_TRUE(Has(UnloadAndCheck(), "unbalanced object references")) << machine_->Verifier().ToString();
    }
    TearDown();
    SetUp();
    {
        SCOPED_TRACE("volume context");
        std::u16string device = machine_->AddVolume({}).deviceName;
        Load();
        PFLT_CONTEXT context = nullptr;
        ASSERT_EQ(FltGetVolumeContext(probe::g_filter, Objects(device).Volume, &context), STATUS_SUCCESS);
        winsim::VerifierReport report = UnloadAndCheck();
        EXPECT_TRUE(Has(report, "FltReleaseContext missing")) << report.ToString();
        EXPECT_TRUE(Has(report, "pbVc")) << report.ToString();
    }
    TearDown();
    SetUp();
    {
        SCOPED_TRACE("DOS name");
        std::u16string device = machine_->AddVolume({}).deviceName;
        Load();
        PDEVICE_OBJECT disk = Disk(device);
        UNICODE_STRING dos{};
        ASSERT_EQ(RtlVolumeDeviceToDosName(disk, &dos), STATUS_SUCCESS);
        ObDereferenceObject(disk);
        winsim::VerifierReport report = UnloadAndCheck();
        EXPECT_TRUE(Has(report, "pool leak at unload of probe: tag 'IoDn'")) << report.ToString();
    }
    TearDown();
    SetUp();
    {
        SCOPED_TRACE("request never sent");
        std::u16string device = machine_->AddVolume({}).deviceName;
        Load();
        PDEVICE_OBJECT disk = Disk(device);
        STORAGE_PROPERTY_QUERY query{};
        UCHAR out[64];
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        EXPECT_NE(IoBuildDeviceIoControlRequest(IOCTL_STORAGE_QUERY_PROPERTY, disk, &query, sizeof query, out,
                                                sizeof out, FALSE, &event, &iosb),
                  nullptr);
        ObDereferenceObject(disk);
        EXPECT_TRUE(Has(UnloadAndCheck(), "never completed")) << machine_->Verifier().ToString();
    }
}

// ---------------------------------------------------------------- removal and detach

TEST_F(DevicesTest, RemovalTearsDownWithoutAskingAndDetachAsks) {
    std::u16string c = machine_->AddVolume({}).deviceName;
    VolumeOptions usb;
    usb.kind = VolumeKind::UsbFlashDisk;
    std::u16string e = machine_->AddVolume(usb).deviceName;
    Load();
    ASSERT_EQ(probe::g_setups, 2);

    EXPECT_TRUE(machine_->RemoveVolume(e));
    EXPECT_EQ(probe::g_queries, 0);
    EXPECT_EQ(probe::g_teardownStarts, 1);
    EXPECT_EQ(probe::g_teardownCompletes, 1);
    EXPECT_EQ(probe::g_lastTeardown, 0x8u);  // FLTFL_INSTANCE_TEARDOWN_VOLUME_DISMOUNT
    EXPECT_EQ(probe::g_cleanups, 1);         // the volume's context went with it
    EXPECT_EQ(machine_->Volumes().size(), 1u);
    EXPECT_FALSE(machine_->RemoveVolume(e));

    EXPECT_EQ(machine_->DetachInstance(u"probe", c), STATUS_SUCCESS);
    EXPECT_EQ(probe::g_queries, 1);
    EXPECT_EQ(probe::g_teardownStarts, 2);
    EXPECT_EQ(probe::g_lastTeardown, 0x1u);  // FLTFL_INSTANCE_TEARDOWN_MANUAL
    EXPECT_EQ(probe::g_cleanups, 1);         // a volume context outlives a detach
    FLT_RELATED_OBJECTS objects{};
    EXPECT_FALSE(machine_->RelatedObjects(u"probe", c, &objects));
    EXPECT_EQ(machine_->DetachInstance(u"probe", c), STATUS_NOT_FOUND);

    // Attached again, the volume keeps its first context; the new one is released.
    EXPECT_EQ(machine_->AttachInstance(u"probe", c), STATUS_SUCCESS);
    EXPECT_EQ(probe::g_setups, 3);
    EXPECT_EQ(probe::g_cleanups, 2);
    EXPECT_TRUE(UnloadAndCheck().Clean()) << machine_->Verifier().ToString();
    EXPECT_EQ(probe::g_cleanups, 3);
}

TEST_F(DevicesTest, FilterWithoutQueryTeardownCannotBeDetached) {
    probe::g_withQueryTeardown = false;
    std::u16string c = machine_->AddVolume({}).deviceName;
    Load();
    EXPECT_EQ(machine_->DetachInstance(u"probe", c), (NTSTATUS)0xC01C0010L);  // STATUS_FLT_DO_NOT_DETACH
    FLT_RELATED_OBJECTS objects{};
    EXPECT_TRUE(machine_->RelatedObjects(u"probe", c, &objects));
    EXPECT_TRUE(UnloadAndCheck().Clean()) << machine_->Verifier().ToString();
}

}  // namespace
