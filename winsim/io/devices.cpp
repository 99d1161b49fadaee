// The disks under the volumes: device stacks, Plug and Play properties, the DOS
// name and size of a volume, and the I/O request packets that carry the storage
// property query from the driver down the stack and back.
//
// Every volume's disk is a stack of three device objects: the physical device
// object at the bottom (owned by the bus driver; it carries the properties), the
// storage device the volume is mounted on (owned by the disk driver; this is what
// FltGetDiskDeviceObject returns and what answers IOCTL_STORAGE_QUERY_PROPERTY),
// and an upper filter device on top that passes every request down. Requests are
// dispatched through each device's DriverObject->MajorFunction, so a dispatch
// routine swapped in there sees them as it would on Windows.
#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "winsim/io/fltmgr.h"
#include "winsim/io/irp.h"

using winsim::detail::Violation;

const DEVPROPKEY DEVPKEY_Device_InstanceId = {
    {0x78c34fc8, 0x104a, 0x4aca, {0x9e, 0xa4, 0x52, 0x4d, 0x52, 0x99, 0x6e, 0x57}}, 256};

namespace winsim::io {
namespace {

constexpr SHORT kIoTypeDevice = 3;
constexpr ULONG kDosNameTag = PoolTag("IoDn");  // DOS names the driver frees
constexpr size_t kDescriptorFixedBytes = offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties);

// Driver objects of the machine's own drivers (the bus, disk and filter drivers of
// the storage stacks). They are not loadable services; they live until shutdown.
struct SystemDriver {
    std::u16string name;
    DRIVER_OBJECT object{};
};

struct DeviceState {
    std::mutex mutex;
    std::vector<std::unique_ptr<SystemDriver>> drivers;
};

DeviceState& Devices() {
    static DeviceState* state = new DeviceState();  // outlives every machine
    return *state;
}

PDRIVER_OBJECT SystemDriverObject(const std::u16string& name, PDRIVER_DISPATCH dispatch) {
    DeviceState& d = Devices();
    std::lock_guard<std::mutex> lock(d.mutex);
    for (auto& driver : d.drivers)
        if (driver->name == name) return &driver->object;
    auto driver = std::make_unique<SystemDriver>();
    driver->name = name;
    driver->object.Type = 4;  // IO_TYPE_DRIVER
    driver->object.Size = sizeof(DRIVER_OBJECT);
    driver->object.DriverName.Buffer = reinterpret_cast<PWSTR>(driver->name.data());
    driver->object.DriverName.Length = static_cast<USHORT>(driver->name.size() * sizeof(WCHAR));
    driver->object.DriverName.MaximumLength = driver->object.DriverName.Length;
    for (auto& f : driver->object.MajorFunction) f = dispatch;
    d.drivers.push_back(std::move(driver));
    return &d.drivers.back()->object;
}

// ---------------------------------------------------------------- the storage descriptor
void PutString(std::vector<uint8_t>& bytes, const std::string& text, ULONG* offset) {
    if (text.empty()) {
        *offset = 0;
        return;
    }
    *offset = static_cast<ULONG>(bytes.size());
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
}

// The answer to the query as this disk gives it to an output buffer of
// outputLength bytes: the bytes returned and the Size the descriptor claims.
std::vector<uint8_t> BuildDescriptor(const DiskIdentity& id, StorageQuery mode, ULONG outputLength) {
    std::vector<uint8_t> bytes(kDescriptorFixedBytes, 0);
    STORAGE_DEVICE_DESCRIPTOR head{};
    head.Version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    head.DeviceType = 0;  // direct-access device
    head.RemovableMedia = id.removableMedia ? TRUE : FALSE;
    head.BusType = static_cast<STORAGE_BUS_TYPE>(id.busType);
    PutString(bytes, id.vendor, &head.VendorIdOffset);
    PutString(bytes, id.product, &head.ProductIdOffset);
    PutString(bytes, id.revision, &head.ProductRevisionOffset);
    size_t returned = 0;
    switch (mode) {
        case StorageQuery::SerialAtSize:
        case StorageQuery::SerialPastSize: {
            // The descriptor ends before the serial number, which follows it anyway.
            head.Size = static_cast<ULONG>(bytes.size());
            if (mode == StorageQuery::SerialPastSize) bytes.resize(bytes.size() + 8, 0);
            PutString(bytes, id.serial.empty() ? std::string("SERIAL") : id.serial, &head.SerialNumberOffset);
            returned = bytes.size();
            break;
        }
        case StorageQuery::SizeBeyondBuffer: {
            // A descriptor longer than the buffer: the serial number starts 6 bytes
            // before the buffer's end and runs past it.
            if (outputLength >= bytes.size() + 6) bytes.resize(outputLength - 6, 0);
            PutString(bytes, id.serial.empty() ? std::string("SERIAL0123456789") : id.serial + "0123456789",
                      &head.SerialNumberOffset);
            bytes.resize(bytes.size() + 64, 0);  // raw device properties
            head.RawPropertiesLength = 64;
            head.Size = static_cast<ULONG>(bytes.size());
            returned = bytes.size();
            break;
        }
        default: {
            PutString(bytes, id.serial, &head.SerialNumberOffset);
            head.Size = static_cast<ULONG>(bytes.size());
            returned = bytes.size();
            if (mode == StorageQuery::SizeBeyondReturned) {
                // The device claims more than it hands back: the answer stops four
                // characters into the serial number.
                head.Size = static_cast<ULONG>(bytes.size() + 256);
                if (head.SerialNumberOffset != 0) returned = head.SerialNumberOffset + 4;
            }
            if (mode == StorageQuery::HeaderOnly) returned = sizeof(ULONG) * 2;
            break;
        }
    }
    std::memcpy(bytes.data(), &head, kDescriptorFixedBytes);
    bytes.resize(std::min<size_t>({returned, bytes.size(), outputLength}));
    return bytes;
}

// ---------------------------------------------------------------- dispatch routines
// Answers a storage property query into the request's system buffer.
NTSTATUS AnswerStorageQuery(PIRP irp, const DiskIdentity& id, StorageQuery mode) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (inLength < sizeof(STORAGE_PROPERTY_QUERY)) return CompleteWith(irp, STATUS_INVALID_PARAMETER, 0);
    STORAGE_PROPERTY_QUERY query;
    std::memcpy(&query, irp->AssociatedIrp.SystemBuffer, sizeof query);
    if (query.PropertyId != StorageDeviceProperty) return CompleteWith(irp, STATUS_NOT_SUPPORTED, 0);
    if (query.QueryType == PropertyExistsQuery) return CompleteWith(irp, STATUS_SUCCESS, 0);
    if (query.QueryType != PropertyStandardQuery) return CompleteWith(irp, STATUS_INVALID_PARAMETER, 0);
    if (outLength < sizeof(ULONG) * 2) return CompleteWith(irp, STATUS_BUFFER_TOO_SMALL, 0);
    std::vector<uint8_t> answer = BuildDescriptor(id, mode, outLength);
    std::memcpy(irp->AssociatedIrp.SystemBuffer, answer.data(), answer.size());
    return CompleteWith(irp, STATUS_SUCCESS, answer.size());
}

// The disk driver: answers the storage property query of its volume's disk.
NTSTATUS DiskDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL ||
        stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_STORAGE_QUERY_PROPERTY)
        return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    DiskIdentity id;
    VolumeFaults faults;
    {
        FltState& s = Flt();
        std::lock_guard<std::mutex> lock(s.mutex);
        auto* volume = static_cast<_FLT_VOLUME*>(device->DeviceExtension);
        id = volume->identity;
        faults = volume->faults;
        ++volume->storageQueries;
    }
    switch (faults.storageQuery) {
        case StorageQuery::Fail: return CompleteWith(irp, faults.storageQueryStatus, 0);
        case StorageQuery::Pend: {
            IoMarkIrpPending(irp);
            RunLater([irp, id] {
                // As the disk's completion path would: later, at DISPATCH_LEVEL.
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                AnswerStorageQuery(irp, id, StorageQuery::Answer);
                KeLowerIrql(old);
            });
            return STATUS_PENDING;
        }
        default: return AnswerStorageQuery(irp, id, faults.storageQuery);
    }
}

// The upper filter: passes every request to the device below it.
NTSTATUS FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_OBJECT lower = nullptr;
    {
        FltState& s = Flt();
        std::lock_guard<std::mutex> lock(s.mutex);
        lower = &static_cast<_FLT_VOLUME*>(device->DeviceExtension)->storageDevice;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lower, irp);
}

// The bus driver's physical device object: nothing to answer here.
NTSTATUS BusDispatch(PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST, 0); }

void InitDevice(DEVICE_OBJECT* device, PDRIVER_OBJECT driver, DEVICE_TYPE type, ULONG characteristics,
                CHAR stackSize, _FLT_VOLUME* volume) {
    device->Type = kIoTypeDevice;
    device->Size = sizeof(DEVICE_OBJECT);
    device->ReferenceCount = 1;
    device->DriverObject = driver;
    device->DeviceType = type;
    device->Characteristics = characteristics;
    device->StackSize = stackSize;
    device->DeviceExtension = volume;
}

const char16_t* BusDriverName(VolumeKind kind, uint32_t busType) {
    switch (kind) {
        case VolumeKind::UsbFlashDisk:
        case VolumeKind::UsbHardDisk: return u"\\Driver\\USBSTOR";
        case VolumeKind::Network: return u"\\Driver\\mup";
        default: return busType == BusTypeNvme ? u"\\Driver\\stornvme" : u"\\Driver\\storahci";
    }
}

VolumeSize DefaultSize(VolumeKind kind) {
    VolumeSize size;  // 4-KiB allocation units
    const uint64_t gib = 1ull << 30;
    switch (kind) {
        case VolumeKind::LocalDisk: size.totalUnits = 476 * gib / 4096; size.availableUnits = 120 * gib / 4096; break;
        case VolumeKind::UsbFlashDisk: size.totalUnits = 29 * gib / 4096; size.availableUnits = 12 * gib / 4096; break;
        case VolumeKind::UsbHardDisk: size.totalUnits = 931 * gib / 4096; size.availableUnits = 400 * gib / 4096; break;
        case VolumeKind::Floppy:
            size.sectorsPerUnit = 1;
            size.totalUnits = 2847;
            size.availableUnits = 2000;
            break;
        case VolumeKind::CdRom:
            size.sectorsPerUnit = 1;
            size.bytesPerSector = 2048;
            size.totalUnits = 300000;
            break;
        case VolumeKind::Network: size.totalUnits = 1024 * gib / 4096; size.availableUnits = 512 * gib / 4096; break;
    }
    return size;
}

// Property data as stored: UTF-16 with its terminator (a multi-string: each entry
// terminated, then an empty one), unless the device stored them unterminated.
std::vector<uint8_t> PropertyBytes(const std::vector<std::u16string>& entries, bool multi, bool terminated) {
    std::u16string data;
    for (auto& e : entries) {
        data += e;
        if (terminated || multi) data.push_back(0);
    }
    if (multi && terminated) data.push_back(0);
    if (!terminated && multi && !data.empty()) data.pop_back();
    std::vector<uint8_t> bytes(data.size() * sizeof(char16_t));
    std::memcpy(bytes.data(), data.data(), bytes.size());
    return bytes;
}

NTSTATUS CopyProperty(const std::vector<uint8_t>& bytes, ULONG bufferLength, PVOID buffer, PULONG resultLength) {
    if (resultLength) *resultLength = static_cast<ULONG>(bytes.size());
    if (bufferLength < bytes.size()) return STATUS_BUFFER_TOO_SMALL;
    if (!bytes.empty()) std::memcpy(buffer, bytes.data(), bytes.size());
    return STATUS_SUCCESS;
}

// The volume whose physical device object this is; null for any other device.
_FLT_VOLUME* VolumeOfPdo(PDEVICE_OBJECT device, const char* routine) {
    FltState& s = Flt();
    std::lock_guard<std::mutex> lock(s.mutex);
    _FLT_VOLUME* v = VolumeOfDeviceLocked(device);
    if (v == nullptr || device != &v->pdo) {
        Violation(std::string(routine) + " on a device object that is not a physical device object "
                  "(Windows stops with bug check 0xCA PNP_DETECTED_FATAL_ERROR)");
        return nullptr;
    }
    return v;
}

}  // namespace

void BuildDiskStack(_FLT_VOLUME* volume, const VolumeOptions& options) {
    volume->identity = options.customIdentity ? options.identity : DefaultDiskIdentity(options.kind);
    const VolumeSize& size = options.size;
    volume->size = size.totalUnits || size.availableUnits ? size : DefaultSize(options.kind);
    volume->faults = options.faults;
    const DEVICE_TYPE type = volume->storageDevice.DeviceType;
    const ULONG characteristics = volume->storageDevice.Characteristics;
    const char16_t* diskDriver = options.kind == VolumeKind::CdRom     ? u"\\Driver\\cdrom"
                                 : options.kind == VolumeKind::Network ? u"\\FileSystem\\Mup"
                                                                       : u"\\Driver\\disk";
    InitDevice(&volume->pdo, SystemDriverObject(BusDriverName(options.kind, volume->identity.busType), BusDispatch),
               FILE_DEVICE_DISK, characteristics & FILE_REMOVABLE_MEDIA, 1, volume);
    InitDevice(&volume->storageDevice, SystemDriverObject(diskDriver, DiskDispatch), type, characteristics, 2, volume);
    InitDevice(&volume->upper, SystemDriverObject(u"\\Driver\\partmgr", FilterDispatch), type, characteristics, 3,
               volume);
    volume->pdo.AttachedDevice = &volume->storageDevice;
    volume->storageDevice.AttachedDevice = &volume->upper;
}

_FLT_VOLUME* VolumeOfDeviceLocked(PDEVICE_OBJECT device) {
    if (device == nullptr) return nullptr;
    FltState& s = Flt();
    for (auto* list : {&s.volumes, &s.removedVolumes})
        for (auto& v : *list)
            if (device == &v->pdo || device == &v->storageDevice || device == &v->upper) return v.get();
    return nullptr;
}

void DevicesShutdown() {
    IrpsShutdown();
    DeviceState& d = Devices();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.drivers.clear();
}

}  // namespace winsim::io

// ---------------------------------------------------------------- test controls
namespace winsim {

DiskIdentity DefaultDiskIdentity(VolumeKind kind) {
    DiskIdentity id;
    id.description = u"Disk drive";
    switch (kind) {
        case VolumeKind::LocalDisk:
            id.product = "Samsung SSD 870 EVO 500GB";
            id.revision = "SVT02B6Q";
            id.serial = "S5Y1NX0R123456A";
            id.busType = BusTypeSata;
            id.friendlyName = u"Samsung SSD 870 EVO 500GB";
            id.hardwareIds = {u"SCSI\\DiskSamsung_SSD_870_EVO_500GBSVT0", u"SCSI\\DiskSamsung_SSD_870_EVO_500GB",
                              u"GenDisk"};
            id.enumerator = u"SCSI";
            id.instanceId = u"SCSI\\DISK&VEN_SAMSUNG&PROD_SSD_870_EVO_500GB\\4&2F1C3A5&0&000000";
            break;
        case VolumeKind::UsbFlashDisk:
            id.vendor = "SanDisk";
            id.product = "Cruzer Blade";
            id.revision = "1.00";
            id.serial = "4C530001230518115284";
            id.busType = BusTypeUsb;
            id.removableMedia = true;
            id.friendlyName = u"SanDisk Cruzer Blade USB Device";
            id.hardwareIds = {u"USBSTOR\\DiskSanDisk_Cruzer_Blade____1.00", u"USBSTOR\\DiskSanDisk_Cruzer_Blade____",
                              u"GenDisk"};
            id.enumerator = u"USBSTOR";
            id.instanceId = u"USBSTOR\\DISK&VEN_SANDISK&PROD_CRUZER_BLADE&REV_1.00\\4C530001230518115284&0";
            break;
        case VolumeKind::UsbHardDisk:
            id.vendor = "WD";
            id.product = "My Passport 25E2";
            id.revision = "4005";
            id.serial = "WX31A8123456";
            id.busType = BusTypeUsb;
            id.friendlyName = u"WD My Passport 25E2 USB Device";
            id.hardwareIds = {u"USBSTOR\\DiskWD______My_Passport_25E24005", u"GenDisk"};
            id.enumerator = u"USBSTOR";
            id.instanceId = u"USBSTOR\\DISK&VEN_WD&PROD_MY_PASSPORT_25E2&REV_4005\\575833314138313233343536&0";
            break;
        case VolumeKind::Floppy:
            id.vendor = "TEAC";
            id.product = "FD-05PUB";
            id.revision = "3000";
            id.busType = BusTypeUsb;
            id.removableMedia = true;
            id.friendlyName = u"TEAC FD-05PUB USB Device";
            id.description = u"Floppy disk drive";
            id.hardwareIds = {u"USBSTOR\\SFloppyTEAC____FD-05PUB________3000", u"GenSFloppy"};
            id.enumerator = u"USBSTOR";
            id.instanceId = u"USBSTOR\\SFLOPPY&VEN_TEAC&PROD_FD-05PUB&REV_3000\\7&1B2C3D4E&0";
            break;
        case VolumeKind::CdRom:
            id.vendor = "HL-DT-ST";
            id.product = "DVDRAM GP65NB60";
            id.revision = "RF01";
            id.busType = BusTypeAtapi;
            id.removableMedia = true;
            id.friendlyName = u"HL-DT-ST DVDRAM GP65NB60";
            id.description = u"CD-ROM Drive";
            id.hardwareIds = {u"IDE\\CdRomHL-DT-ST_DVDRAM_GP65NB60_____________RF01____", u"GenCdRom"};
            id.enumerator = u"IDE";
            id.instanceId = u"IDE\\CDROMHL-DT-ST_DVDRAM_GP65NB60_____________RF01____\\5&1A2B3C4D&0&0.0.0";
            break;
        case VolumeKind::Network:
            id = DiskIdentity{};
            id.busType = BusTypeUnknown;
            id.description = u"Multiple UNC Provider";
            id.enumerator = u"ROOT";
            id.instanceId = u"ROOT\\LEGACY_MUP\\0000";
            break;
    }
    return id;
}

bool Machine::SetVolumeFaults(const std::u16string& volumeDeviceName, const VolumeFaults& faults) {
    io::FltState& s = io::Flt();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& v : s.volumes)
        if (detail::EqualsNoCase(v->info.deviceName, volumeDeviceName)) {
            v->faults = faults;
            return true;
        }
    return false;
}

unsigned Machine::StorageQueriesAnswered(const std::u16string& volumeDeviceName) const {
    io::FltState& s = io::Flt();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto* list : {&s.volumes, &s.removedVolumes})
        for (auto& v : *list)
            if (detail::EqualsNoCase(v->info.deviceName, volumeDeviceName)) return v->storageQueries;
    return 0;
}

}  // namespace winsim

// ---------------------------------------------------------------- Windows routines
using namespace winsim;

PDEVICE_OBJECT IoGetDeviceAttachmentBaseRef(PDEVICE_OBJECT deviceObject) {
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "IoGetDeviceAttachmentBaseRef");
    PDEVICE_OBJECT base = deviceObject;
    {
        io::FltState& s = io::Flt();
        std::lock_guard<std::mutex> lock(s.mutex);
        if (_FLT_VOLUME* v = io::VolumeOfDeviceLocked(deviceObject)) base = &v->pdo;
    }
    if (base != nullptr) io::NoteObjectReference(base);
    return base;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT deviceObject) {
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "IoGetAttachedDeviceReference");
    PDEVICE_OBJECT top = deviceObject;
    if (top != nullptr)
        while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    if (top != nullptr) io::NoteObjectReference(top);
    return top;
}

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT deviceObject, DEVICE_REGISTRY_PROPERTY deviceProperty,
                             ULONG bufferLength, PVOID propertyBuffer, PULONG resultLength) {
    detail::RequirePassive("IoGetDeviceProperty");
    if (resultLength) *resultLength = 0;
    _FLT_VOLUME* v = io::VolumeOfPdo(deviceObject, "IoGetDeviceProperty");
    if (v == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    DiskIdentity id;
    VolumeFaults faults;
    {
        io::FltState& s = io::Flt();
        std::lock_guard<std::mutex> lock(s.mutex);
        id = v->identity;
        faults = v->faults;
    }
    NTSTATUS fault = 0;
    std::vector<std::u16string> entries;
    bool multi = false;
    switch (deviceProperty) {
        case DevicePropertyFriendlyName: fault = faults.friendlyName; entries = {id.friendlyName}; break;
        case DevicePropertyDeviceDescription: fault = faults.description; entries = {id.description}; break;
        case DevicePropertyEnumeratorName: fault = faults.enumerator; entries = {id.enumerator}; break;
        case DevicePropertyHardwareID:
            fault = faults.hardwareId;
            entries = id.hardwareIds;
            multi = true;
            break;
        default: return STATUS_INVALID_PARAMETER;
    }
    if (fault != 0) return fault;
    if (entries.empty() || (!multi && entries.front().empty())) return STATUS_OBJECT_NAME_NOT_FOUND;
    return io::CopyProperty(io::PropertyBytes(entries, multi, !id.unterminatedProperties), bufferLength,
                            propertyBuffer, resultLength);
}

NTSTATUS IoGetDevicePropertyData(PDEVICE_OBJECT pdo, const DEVPROPKEY* propertyKey, LCID lcid, ULONG flags,
                                 ULONG size, PVOID data, PULONG requiredSize, PDEVPROPTYPE type) {
    detail::RequirePassive("IoGetDevicePropertyData");
    if (requiredSize) *requiredSize = 0;
    if (type) *type = DEVPROP_TYPE_EMPTY;
    _FLT_VOLUME* v = io::VolumeOfPdo(pdo, "IoGetDevicePropertyData");
    if (v == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    if (propertyKey == nullptr || flags != 0 || lcid != 0) return STATUS_INVALID_PARAMETER;
    if (std::memcmp(propertyKey, &DEVPKEY_Device_InstanceId, sizeof(DEVPROPKEY)) != 0)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    DiskIdentity id;
    NTSTATUS fault;
    {
        io::FltState& s = io::Flt();
        std::lock_guard<std::mutex> lock(s.mutex);
        id = v->identity;
        fault = v->faults.instanceId;
    }
    if (fault != 0) return fault;
    if (id.instanceId.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (type) *type = DEVPROP_TYPE_STRING;
    return io::CopyProperty(io::PropertyBytes({id.instanceId}, false, !id.unterminatedProperties), size, data,
                            requiredSize);
}

NTSTATUS RtlVolumeDeviceToDosName(PVOID volumeDeviceObject, PUNICODE_STRING dosName) {
    detail::RequirePassive("RtlVolumeDeviceToDosName");
    if (dosName == nullptr) return STATUS_INVALID_PARAMETER;
    std::u16string name;
    NTSTATUS fault = 0;
    {
        io::FltState& s = io::Flt();
        std::lock_guard<std::mutex> lock(s.mutex);
        _FLT_VOLUME* v = io::VolumeOfDeviceLocked(static_cast<PDEVICE_OBJECT>(volumeDeviceObject));
        if (v == nullptr || volumeDeviceObject != &v->storageDevice) return STATUS_INVALID_PARAMETER;
        name = v->info.dosName;
        fault = v->faults.dosName;
    }
    if (fault != 0) return fault;
    if (name.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
    const size_t bytes = name.size() * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), io::kDosNameTag));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, name.data(), bytes);
    buffer[name.size()] = 0;
    dosName->Buffer = buffer;
    dosName->Length = static_cast<USHORT>(bytes);
    dosName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS FltGetDiskDeviceObject(PFLT_VOLUME volume, PDEVICE_OBJECT* diskDeviceObject) {
    detail::RequireIrqlAtMost(APC_LEVEL, "FltGetDiskDeviceObject");
    if (diskDeviceObject == nullptr) return STATUS_INVALID_PARAMETER;
    *diskDeviceObject = nullptr;
    PDEVICE_OBJECT device = nullptr;
    {
        io::FltState& s = io::Flt();
        std::lock_guard<std::mutex> lock(s.mutex);
        _FLT_VOLUME* v = io::FindVolumeLocked(volume);
        if (v == nullptr) return STATUS_INVALID_PARAMETER;
        if (v->faults.diskDeviceObject != 0) return v->faults.diskDeviceObject;
        device = &v->storageDevice;
    }
    io::NoteObjectReference(device);
    *diskDeviceObject = device;
    return STATUS_SUCCESS;
}

NTSTATUS FltQueryVolumeInformation(PFLT_INSTANCE instance, PIO_STATUS_BLOCK iosb, PVOID fsInformation, ULONG length,
                                   FS_INFORMATION_CLASS fsInformationClass) {
    detail::RequirePassive("FltQueryVolumeInformation");
    VolumeSize size;
    NTSTATUS status = STATUS_SUCCESS;
    {
        io::FltState& s = io::Flt();
        std::lock_guard<std::mutex> lock(s.mutex);
        _FLT_INSTANCE* i = io::FindInstanceLocked(instance);
        _FLT_VOLUME* v = i ? io::FindVolumeLocked(i->volume) : nullptr;
        if (v == nullptr || i->state == _FLT_INSTANCE::State::Detached) status = STATUS_INVALID_PARAMETER;
        else if (fsInformationClass != FileFsSizeInformation) status = WINSIM_STATUS_INVALID_INFO_CLASS;
        else if (length < sizeof(FILE_FS_SIZE_INFORMATION)) status = STATUS_INFO_LENGTH_MISMATCH;
        else if (v->faults.sizeQuery != 0) status = v->faults.sizeQuery;
        else size = v->size;
    }
    ULONG_PTR information = 0;
    if (NT_SUCCESS(status)) {
        FILE_FS_SIZE_INFORMATION info{};
        info.TotalAllocationUnits.QuadPart = static_cast<LONGLONG>(size.totalUnits);
        info.AvailableAllocationUnits.QuadPart = static_cast<LONGLONG>(size.availableUnits);
        info.SectorsPerAllocationUnit = size.sectorsPerUnit;
        info.BytesPerSector = size.bytesPerSector;
        std::memcpy(fsInformation, &info, sizeof info);
        information = sizeof info;
    }
    if (iosb != nullptr) {
        iosb->Status = status;
        iosb->Information = information;
    }
    return status;
}
