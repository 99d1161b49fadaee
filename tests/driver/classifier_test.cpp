// GetDeviceType: the nine classification rules in their order, on a machine with
// one volume of each kind. Requests come from simulated processes; a small probe
// filter classifies each request it sees, so the token and the callback data are
// exactly what the filter manager hands a pre-operation callback.
#include <cstdio>

#include "driver/core/classifier.h"
#include "tests/support/driver_fixture.h"

namespace kxtest {
namespace {

// A minifilter that classifies every create and write it sees.
namespace probe {

PFLT_FILTER g_filter;
std::vector<ULONG> g_classes;

// Classifies as kx4grd's own callbacks will: with kx4grd's filter, so the volume
// context looked up is kx4grd's (the probe itself allocates nothing).
FLT_PREOP_CALLBACK_STATUS Pre(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID*) {
    FLT_RELATED_OBJECTS asKx4grd{sizeof(FLT_RELATED_OBJECTS), 0,       Globals.FilterHandle, objects->Volume,
                                 objects->Instance,           objects->FileObject, nullptr};
    g_classes.push_back(GetDeviceType(data, &asKx4grd));
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

const FLT_OPERATION_REGISTRATION kOperations[] = {
    {IRP_MJ_CREATE, 0, Pre, nullptr, nullptr},
    {IRP_MJ_WRITE, 0, Pre, nullptr, nullptr},
    {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr},
};

NTSTATUS Unload(FLT_FILTER_UNLOAD_FLAGS) {
    FltUnregisterFilter(g_filter);
    return STATUS_SUCCESS;
}

const FLT_REGISTRATION kRegistration = {sizeof(FLT_REGISTRATION), FLT_REGISTRATION_VERSION, 0, nullptr,
                                        kOperations, Unload, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                        nullptr, nullptr, nullptr, nullptr};

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    NTSTATUS status = FltRegisterFilter(driver, &kRegistration, &g_filter);
    if (!NT_SUCCESS(status)) return status;
    status = FltStartFiltering(g_filter);
    if (!NT_SUCCESS(status)) FltUnregisterFilter(g_filter);
    return status;
}

}  // namespace probe

constexpr ULONG kBusSata = 11;

class ClassifierTest : public DriverTest {
protected:
    void BeforeLoad() override {
        local_ = machine().AddVolume({winsim::VolumeKind::LocalDisk, u"", u"", ""});        // HarddiskVolume2, C:
        flash_ = machine().AddVolume({winsim::VolumeKind::UsbFlashDisk, u"", u"", ""});     // HarddiskVolume3
        usbHdd_ = machine().AddVolume({winsim::VolumeKind::UsbHardDisk, u"", u"", ""});     // HarddiskVolume4
        floppy_ = machine().AddVolume({winsim::VolumeKind::Floppy, u"", u"", ""});
        cdrom_ = machine().AddVolume({winsim::VolumeKind::CdRom, u"", u"", ""});
        network_ = machine().AddVolume({winsim::VolumeKind::Network, u"", u"", ""});
        // A disk whose file system instance setup skips: attached, without a context.
        winsim::VolumeOptions raw;
        raw.kind = winsim::VolumeKind::UsbHardDisk;
        raw.fsTypeUnknown = true;
        rawDisk_ = machine().AddVolume(raw);
    }
    void SetUp() override {
        DriverTest::SetUp();
        probe::g_classes.clear();
        machine().RegisterDriverImage(u"probe.sys", probe::Entry);
        ASSERT_EQ(machine().LoadDriver(u"probe", u"probe.sys"), STATUS_SUCCESS);
        DebugLevel = KX_DBG_ERROR | KX_DBG_INFO;
        winsim::ProcessOptions o;
        o.imagePath = u"\\Device\\HarddiskVolume2\\Windows\\explorer.exe";
        user_ = machine().StartProcess(o);
    }
    void TearDown() override {
        // kx4grd unloads first, with the probe (which holds nothing) still loaded,
        // so the unload checks see only what kx4grd and the requests left.
        EXPECT_EQ(machine().PoolAllocations(winsim::PoolTag("SeTi")), 0u) << "a TOKEN_SOURCE was never freed";
        DriverTest::TearDown();
    }

    // The class the probe gave a create by process on the volume.
    ULONG ClassOfCreate(const winsim::VolumeInfo& volume, const std::string& clientSource = "",
                        PEPROCESS process = nullptr, bool accessState = true) {
        winsim::CreateRequest r;
        r.path = volume.deviceName + u"\\file.txt";
        if (volume.kind == winsim::VolumeKind::Network) r.path = volume.deviceName + u"\\server\\share\\file.txt";
        r.disposition = volume.kind == winsim::VolumeKind::CdRom ? FILE_OPEN : FILE_OPEN_IF;
        r.clientTokenSource = clientSource;
        r.accessState = accessState;
        probe::g_classes.clear();
        winsim::OpenFile* f = nullptr;
        machine().CreateFile(process ? process : user_, r, &f);
        if (f) machine().CloseFile(f);
        EXPECT_EQ(probe::g_classes.size(), 1u);
        return probe::g_classes.empty() ? 0xffffffff : probe::g_classes[0];
    }
    // Sets kx4grd's volume context with this bus type through its filter handle, as
    // its instance setup will.
    void SetBusType(const winsim::VolumeInfo& volume, ULONG busType) {
        FLT_RELATED_OBJECTS objects{};
        ASSERT_TRUE(machine().RelatedObjects(kServiceName, volume.deviceName, &objects));
        PFLT_CONTEXT context = nullptr;
        ASSERT_EQ(FltAllocateContext(Globals.FilterHandle, FLT_VOLUME_CONTEXT, sizeof(VOLUME_CONTEXT), NonPagedPool, &context),
                  STATUS_SUCCESS);
        RtlZeroMemory(context, sizeof(VOLUME_CONTEXT));
        static_cast<VOLUME_CONTEXT*>(context)->deviceType = FILE_DEVICE_DISK;
        static_cast<VOLUME_CONTEXT*>(context)->busType = busType;
        EXPECT_EQ(FltSetVolumeContext(objects.Volume, FLT_SET_CONTEXT_REPLACE_IF_EXISTS, context, nullptr),
                  STATUS_SUCCESS);
        FltReleaseContext(context);
    }
    // GetDeviceType called directly for a non-create request on a file object of a
    // device made up by the test, with kx4grd's related objects on volume.
    ULONG ClassOfDevice(DEVICE_TYPE type, ULONG characteristics, const winsim::VolumeInfo& volume) {
        DEVICE_OBJECT device{};
        device.DeviceType = type;
        device.Characteristics = characteristics;
        FILE_OBJECT file{};
        file.DeviceObject = &device;
        FLT_IO_PARAMETER_BLOCK iopb{};
        iopb.MajorFunction = IRP_MJ_WRITE;
        iopb.TargetFileObject = &file;
        FLT_CALLBACK_DATA data{.Iopb = &iopb};
        FLT_RELATED_OBJECTS objects{};
        EXPECT_TRUE(machine().RelatedObjects(kServiceName, volume.deviceName, &objects));
        iopb.TargetInstance = objects.Instance;
        return GetDeviceType(&data, &objects);
    }

    winsim::VolumeInfo local_, flash_, usbHdd_, floppy_, cdrom_, network_, rawDisk_;
    PEPROCESS user_ = nullptr;
};

TEST_F(ClassifierTest, DeviceRulesComeFirstAndNeedNoToken) {
    // Restrict incoming network access and come as a remote client: rules 1 to 4
    // still decide by the device alone, before any token is looked at.
    SetDevicePolicy(BDC_NETWORKDRIVEIN, DISABLE, 1);
    SetDevicePolicy(BDC_EXTERNALHDD, DISABLE, 1);
    const unsigned queries = machine().TokenQueries();
    EXPECT_EQ(ClassOfCreate(flash_, "NtLmSsp "), (ULONG)BDC_USB_DISK);       // 1: removable disk
    EXPECT_EQ(ClassOfCreate(floppy_, "NtLmSsp "), (ULONG)BDC_FLOOPY);        // 1: removable floppy
    EXPECT_EQ(ClassOfCreate(cdrom_, "NtLmSsp "), (ULONG)BDC_CDROM);          // 3
    EXPECT_EQ(ClassOfCreate(network_, "NtLmSsp "), (ULONG)BDC_NETWORKDRIVEOUT);  // 4
    EXPECT_EQ(machine().TokenQueries(), queries);
    EXPECT_FALSE(machine().DebugContains("DEVICE_NETWORKDRIVEIN"));
    // 2: a floppy-diskette disk that is not marked removable.
    EXPECT_EQ(ClassOfDevice(FILE_DEVICE_DISK, FILE_FLOPPY_DISKETTE, local_), (ULONG)BDC_FLOOPY);
    // Removable media on anything but a disk is not rule 1; a CD-ROM is rule 3.
    EXPECT_EQ(ClassOfDevice(FILE_DEVICE_CD_ROM, FILE_REMOVABLE_MEDIA | FILE_FLOPPY_DISKETTE, local_), (ULONG)BDC_CDROM);
    // A network file system without the remote characteristic is not rule 4.
    EXPECT_EQ(ClassOfDevice(FILE_DEVICE_NETWORK_FILE_SYSTEM, 0, local_), (ULONG)BDC_LOCAL_DISK);  // 7
}

TEST_F(ClassifierTest, RemoteClientTokenSourcesAreNetworkDriveIn) {
    SetDevicePolicy(BDC_NETWORKDRIVEIN, DISABLE, 0);
    const uint32_t pid = machine().ProcessId(user_);
    char check[160];
    for (const char* source : {"NtLmSsp ", "KSecDD  "}) {
        machine().ClearDebugOutput();
        EXPECT_EQ(ClassOfCreate(local_, source), (ULONG)BDC_NETWORKDRIVEIN) << source;
        std::snprintf(check, sizeof check,
                      "kx4grd:GetDeviceType: DEVICE_NETWORKDRIVEIN Check: pid(%x), Token Source=[%s], "
                      "create_char=[0], type=[7]\n",
                      pid, source);
        auto lines = machine().DebugOutput();
        ASSERT_EQ(lines.size(), 2u) << machine().DebugText();
        EXPECT_EQ(lines[0], check);
        EXPECT_EQ(lines[1], "kx4grd:GetDeviceType: DEVICE_NETWORKDRIVEIN Detected! Blocking.\n");
    }
    // READONLY restricts it as well; the decision comes before the external-disk rule.
    SetDevicePolicy(BDC_NETWORKDRIVEIN, READONLY, 0);
    EXPECT_EQ(ClassOfCreate(usbHdd_, "KSecDD  "), (ULONG)BDC_NETWORKDRIVEIN);

    // Without a client token the process's primary token counts.
    winsim::ProcessOptions o;
    o.imagePath = u"\\Device\\HarddiskVolume2\\Windows\\System32\\svchost.exe";
    o.tokenSource = "NtLmSsp ";
    PEPROCESS server = machine().StartProcess(o);
    EXPECT_EQ(ClassOfCreate(local_, "", server), (ULONG)BDC_NETWORKDRIVEIN);
    // A client token takes precedence over the primary one.
    machine().ClearDebugOutput();
    EXPECT_EQ(ClassOfCreate(local_, "User32  ", server), (ULONG)BDC_LOCAL_DISK);
    EXPECT_EQ(ClassOfCreate(local_, "NtLmSspX", user_), (ULONG)BDC_LOCAL_DISK);  // all eight characters count
    EXPECT_EQ(ClassOfCreate(local_, "ntlmssp ", user_), (ULONG)BDC_LOCAL_DISK);  // the compare is exact
    EXPECT_EQ(ClassOfCreate(local_), (ULONG)BDC_LOCAL_DISK);                     // "User32  "
    EXPECT_FALSE(machine().DebugContains("DEVICE_NETWORKDRIVEIN"));
}

TEST_F(ClassifierTest, TokenIsQueriedOnlyForRestrictedCreatesWithAnAccessState) {
    // ENABLE: the token is not even queried.
    const unsigned queries = machine().TokenQueries();
    EXPECT_EQ(ClassOfCreate(local_, "NtLmSsp "), (ULONG)BDC_LOCAL_DISK);
    EXPECT_EQ(machine().TokenQueries(), queries);

    SetDevicePolicy(BDC_NETWORKDRIVEIN, DISABLE, 1);
    // A create without an access state, and a request other than a create: no token either.
    EXPECT_EQ(ClassOfCreate(local_, "NtLmSsp ", nullptr, false), (ULONG)BDC_LOCAL_DISK);
    EXPECT_EQ(machine().TokenQueries(), queries);
    winsim::CreateRequest r;
    r.path = local_.deviceName + u"\\w.txt";
    r.disposition = FILE_OPEN_IF;
    r.desiredAccess = FILE_GENERIC_WRITE;
    r.clientTokenSource = "NtLmSsp ";
    winsim::OpenFile* f = nullptr;
    ASSERT_EQ(machine().CreateFile(user_, r, &f).status, STATUS_SUCCESS);
    EXPECT_EQ(machine().TokenQueries(), queries + 1);
    probe::g_classes.clear();
    EXPECT_EQ(machine().WriteFile(f, 0, "x").status, STATUS_SUCCESS);
    EXPECT_EQ(probe::g_classes, std::vector<ULONG>{BDC_LOCAL_DISK});
    EXPECT_EQ(machine().TokenQueries(), queries + 1);
    machine().CloseFile(f);
}

TEST_F(ClassifierTest, ExternalHardDiskByPolicyAndBus) {
    SetBusType(usbHdd_, KX_STORAGE_BUS_TYPE_USB);
    SetBusType(local_, kBusSata);
    struct Case {
        ULONG state, log, usbClass;
    } cases[] = {
        {ENABLE, 0, BDC_LOCAL_DISK},   // 6: allowed and not logged: no need to tell
        {ENABLE, 2, BDC_LOCAL_DISK},   // 6: the log flag must be exactly 1
        {ENABLE, 1, BDC_EXTERNALHDD},  // 9
        {DISABLE, 0, BDC_EXTERNALHDD},
        {READONLY, 0, BDC_EXTERNALHDD},
    };
    for (const Case& c : cases) {
        SetDevicePolicy(BDC_EXTERNALHDD, c.state, c.log);
        EXPECT_EQ(ClassOfCreate(usbHdd_), c.usbClass) << c.state << "/" << c.log;
        EXPECT_EQ(ClassOfCreate(local_), (ULONG)BDC_LOCAL_DISK) << c.state << "/" << c.log;  // 9: not USB
    }
}

TEST_F(ClassifierTest, DiskVolumeWithoutContextIsUnknown) {
    SetDevicePolicy(BDC_EXTERNALHDD, DISABLE, 1);
    // A disk volume that instance setup left without a context: 8.
    EXPECT_EQ(ClassOfCreate(rawDisk_), (ULONG)BDC_UNKNOWN_DEV);
    EXPECT_EQ(ClassOfDevice(FILE_DEVICE_DISK, 0, rawDisk_), (ULONG)BDC_UNKNOWN_DEV);
    // Instance setup read the disks' bus types into their contexts: 9.
    EXPECT_EQ(ClassOfCreate(usbHdd_), (ULONG)BDC_EXTERNALHDD);
    EXPECT_EQ(ClassOfCreate(local_), (ULONG)BDC_LOCAL_DISK);
    // A context with the USB bus makes it an external disk, any other bus a local one.
    SetBusType(usbHdd_, KX_STORAGE_BUS_TYPE_USB);
    EXPECT_EQ(ClassOfDevice(FILE_DEVICE_DISK, 0, usbHdd_), (ULONG)BDC_EXTERNALHDD);
    SetBusType(usbHdd_, kBusSata);
    EXPECT_EQ(ClassOfDevice(FILE_DEVICE_DISK, 0, usbHdd_), (ULONG)BDC_LOCAL_DISK);
    // 7 comes before the lookup: a device that is not a disk never needs a context.
    EXPECT_EQ(ClassOfDevice(0x24 /* FILE_DEVICE_VIRTUAL_DISK */, 0, local_), (ULONG)BDC_LOCAL_DISK);
    // Each lookup released its reference: the verifier checks at unload that none is left.
}

}  // namespace
}  // namespace kxtest
