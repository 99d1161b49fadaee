// The filter manager: filter registration, volumes and instances, volume contexts,
// security descriptors, and the filter's part of driver unload.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "winsim/io/fltmgr.h"

using winsim::detail::Violation;

namespace winsim::io {
namespace {

std::unique_ptr<FltState> g_flt;
thread_local std::vector<std::pair<const _FLT_FILTER*, const _FLT_PORT*>> t_callbacks;

const ULONG kDescriptorTag = PoolTag("FMsd");
const ULONG kContextDefaultTag = PoolTag("FMct");

std::string Narrow(const std::u16string& s) { return detail::ToUtf8(s); }

// Runs a filter callback charged to the filter's driver.
template <class Fn>
auto CallFilter(_FLT_FILTER* filter, Fn&& fn) {
    DriverScope scope(&filter->service);
    return fn();
}

// Attaches filter to volume; the setup callback decides. Called without the lock.
NTSTATUS Attach(_FLT_FILTER* filter, _FLT_VOLUME* volume, FLT_INSTANCE_SETUP_FLAGS flags) {
    FltState& s = Flt();
    _FLT_INSTANCE* instance;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (filter->gone || filter->unregistering) return WINSIM_STATUS_FLT_DELETING_OBJECT;
        for (auto& i : s.instances)
            if (i->filter == filter && i->volume == volume && i->state != _FLT_INSTANCE::State::Detached)
                return STATUS_FLT_INSTANCE_ALTITUDE_COLLISION;
        auto made = std::make_unique<_FLT_INSTANCE>(filter, volume);
        instance = made.get();
        s.instances.push_back(std::move(made));
        ++filter->callbacksInFlight;
    }
    NTSTATUS status = STATUS_SUCCESS;
    {
        FilterCallback guard(filter, nullptr);
        ProcessScope system(SystemProcessObject());
        if (auto setup = filter->registration.InstanceSetupCallback)
            status = CallFilter(filter, [&] {
                return setup(&instance->related, flags, volume->deviceType, volume->fsType);
            });
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    instance->state = NT_SUCCESS(status) ? _FLT_INSTANCE::State::Attached : _FLT_INSTANCE::State::Detached;
    return status;
}

// Runs the teardown callbacks of an attached instance and detaches it. Called
// without the lock, with the filter's in-flight count taken.
void TearDown(_FLT_INSTANCE* instance, FLT_INSTANCE_TEARDOWN_FLAGS reason) {
    _FLT_FILTER* f = instance->filter;
    {
        FilterCallback guard(f, nullptr);
        ProcessScope system(SystemProcessObject());
        if (auto start = f->registration.InstanceTeardownStartCallback)
            CallFilter(f, [&] { start(&instance->related, reason); });
        if (auto complete = f->registration.InstanceTeardownCompleteCallback)
            CallFilter(f, [&] { complete(&instance->related, reason); });
    }
    std::lock_guard<std::mutex> lock(Flt().mutex);
    instance->state = _FLT_INSTANCE::State::Detached;
}

_FLT_VOLUME* VolumeByNameLocked(const std::u16string& name) {
    for (auto& v : Flt().volumes)
        if (detail::EqualsNoCase(v->info.deviceName, name)) return v.get();
    return nullptr;
}

_FLT_FILTER* FilterByServiceLocked(const std::u16string& service) {
    for (auto& f : Flt().filters)
        if (!f->gone && !f->unregistering && detail::EqualsNoCase(f->service, service)) return f.get();
    return nullptr;
}

_FLT_INSTANCE* AttachedInstanceLocked(_FLT_FILTER* filter, _FLT_VOLUME* volume) {
    for (auto& i : Flt().instances)
        if (i->filter == filter && i->volume == volume && i->state == _FLT_INSTANCE::State::Attached) return i.get();
    return nullptr;
}

// Drops one reference; the last one runs the cleanup callback and frees the memory.
void ReleaseContext(PFLT_CONTEXT context, const char* routine) {
    FltState& s = Flt();
    ContextRecord record;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = s.contexts.find(context);
        if (it == s.contexts.end()) {
            Violation(std::string(routine) + " on a context that holds no reference (released twice, or not a context)");
            return;
        }
        if (--it->second.references > 0) return;
        record = it->second;
        s.contexts.erase(it);
    }
    if (record.cleanup) CallFilter(record.filter, [&] { record.cleanup(context, record.type); });
    ExFreePoolWithTag(context, record.tag);
}

// Contexts and name information of the filter that are still referenced.
std::vector<std::string> ReferencesLeft(_FLT_FILTER* f, const char* when) {
    FltState& s = Flt();
    const std::string who = Narrow(f->service);
    std::vector<std::string> leaks;
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& [context, record] : s.contexts)
        if (record.filter == f)
            leaks.push_back("context of type " + std::to_string(record.type) + " of " + who + " still has " +
                            std::to_string(record.references) + " reference(s) at " + when +
                            " (FltReleaseContext missing)");
    for (auto& [name, record] : s.names)
        if (record.filter == f)
            leaks.push_back("file name information of " + who + " still referenced at " + when +
                            " (FltReleaseFileNameInformation missing)");
    return leaks;
}

void WaitForCallbacks(_FLT_FILTER* filter) {
    FltState& s = Flt();
    std::unique_lock<std::mutex> lock(s.mutex);
    s.changed.wait(lock, [&] { return filter->callbacksInFlight <= FilterCallback::OwnedBy(filter); });
}

std::u16string Num(unsigned n) { return detail::FromUtf8(std::to_string(n)); }

std::u16string DefaultDeviceName(FltState& s, VolumeKind kind) {
    switch (kind) {
        case VolumeKind::Floppy: return u"\\Device\\Floppy" + Num(s.nextFloppy++);
        case VolumeKind::CdRom: return u"\\Device\\CdRom" + Num(s.nextCdRom++);
        case VolumeKind::Network: return u"\\Device\\Mup";
        default: return u"\\Device\\HarddiskVolume" + Num(s.nextHarddisk++);
    }
}

}  // namespace

FltState& Flt() {
    if (!g_flt) Machine::Current();
    return *g_flt;
}

_FLT_FILTER* FindFilterLocked(PFLT_FILTER filter) {
    for (auto& f : g_flt->filters)
        if (f.get() == filter) return f->gone ? nullptr : f.get();
    return nullptr;
}

_FLT_INSTANCE* FindInstanceLocked(PFLT_INSTANCE instance) {
    for (auto& i : g_flt->instances)
        if (i.get() == instance) return i.get();
    return nullptr;
}

_FLT_VOLUME* FindVolumeLocked(PFLT_VOLUME volume) {
    for (auto& v : g_flt->volumes)
        if (v.get() == volume) return v.get();
    return nullptr;
}

FilterCallback::FilterCallback(_FLT_FILTER* filter, _FLT_PORT* port) : filter_(filter), port_(port) {
    t_callbacks.emplace_back(filter, port);
}

FilterCallback::~FilterCallback() {
    t_callbacks.pop_back();
    FltState& s = Flt();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (filter_) --filter_->callbacksInFlight;
    if (port_) --port_->inFlight;
    s.changed.notify_all();
}

int FilterCallback::OwnedBy(const _FLT_FILTER* filter) {
    return (int)std::count_if(t_callbacks.begin(), t_callbacks.end(), [&](auto& c) { return c.first == filter; });
}

int FilterCallback::OwnedBy(const _FLT_PORT* port) {
    return (int)std::count_if(t_callbacks.begin(), t_callbacks.end(), [&](auto& c) { return c.second == port; });
}

void FltBoot() { g_flt = std::make_unique<FltState>(); }

void FltShutdown() {
    DevicesShutdown();
    g_flt.reset();
}

bool DriverHasFilter(const std::u16string& service) {
    FltState& s = Flt();
    std::lock_guard<std::mutex> lock(s.mutex);
    return std::any_of(s.filters.begin(), s.filters.end(),
                       [&](auto& f) { return !f->gone && f->service == service; });
}

NTSTATUS RunFilterUnload(const std::u16string& service) {
    FltState& s = Flt();
    _FLT_FILTER* filter = nullptr;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        for (auto& f : s.filters)
            if (!f->gone && f->service == service) filter = f.get();
    }
    if (!filter) return STATUS_SUCCESS;
    PFLT_FILTER_UNLOAD_CALLBACK unload = filter->registration.FilterUnloadCallback;
    if (!unload) return STATUS_INVALID_DEVICE_REQUEST;  // such a filter cannot be unloaded
    ProcessScope system(SystemProcessObject());
    return CallFilter(filter, [&] { return unload(0); });
}

void FltUnloadChecks(const std::u16string& service) {
    if (!g_flt) return;
    FltState& s = *g_flt;
    std::vector<_FLT_FILTER*> left;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        for (auto& f : s.filters)
            if (!f->gone && f->service == service) left.push_back(f.get());
    }
    for (_FLT_FILTER* filter : left) {
        Violation("filter of " + Narrow(service) + " still registered at unload (FltUnregisterFilter never called)");
        for (auto& leak : PortsLeftOpen(filter)) Violation(leak);
        for (auto& leak : ReferencesLeft(filter, "unload")) Violation(leak);
        std::lock_guard<std::mutex> lock(s.mutex);
        // The driver is gone: nothing of it may be called any more. Its contexts stay
        // allocated (the pool check reports them), its instances simply vanish.
        for (auto& v : s.volumes) v->contexts.erase(filter);
        for (auto& i : s.instances)
            if (i->filter == filter) i->state = _FLT_INSTANCE::State::Detached;
        filter->gone = true;
    }
}

}  // namespace winsim::io

// ---------------------------------------------------------------- test controls
namespace winsim {

VolumeInfo Machine::AddVolume(const VolumeOptions& options) {
    io::FltState& s = io::Flt();
    auto volume = std::make_unique<_FLT_VOLUME>();
    _FLT_VOLUME* added = nullptr;
    std::vector<_FLT_FILTER*> started;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        // Default names are only used up by a volume that gets added.
        const unsigned harddisk = s.nextHarddisk, floppy = s.nextFloppy, cdrom = s.nextCdRom;
        struct Rollback {
            io::FltState& s;
            unsigned h, f, c;
            bool armed = true;
            ~Rollback() {
                if (armed) s.nextHarddisk = h, s.nextFloppy = f, s.nextCdRom = c;
            }
        } rollback{s, harddisk, floppy, cdrom};
        VolumeInfo& info = volume->info;
        info.kind = options.kind;
        auto nameUsed = [&](const std::u16string& name) {
            return std::any_of(s.volumes.begin(), s.volumes.end(),
                               [&](auto& v) { return detail::EqualsNoCase(v->info.deviceName, name); });
        };
        info.deviceName = options.deviceName;
        if (info.deviceName.empty()) {
            do info.deviceName = io::DefaultDeviceName(s, options.kind);
            while (nameUsed(info.deviceName) && options.kind != VolumeKind::Network);
        }
        if (nameUsed(info.deviceName))
            throw std::invalid_argument("AddVolume: device name in use: " + io::Narrow(info.deviceName));
        auto letterUsed = [&](const std::u16string& dos) {
            return std::any_of(s.volumes.begin(), s.volumes.end(),
                               [&](auto& v) { return detail::EqualsNoCase(v->info.dosName, dos); });
        };
        if (!options.dosName.empty()) {
            if (letterUsed(options.dosName))
                throw std::invalid_argument("AddVolume: drive letter in use: " + io::Narrow(options.dosName));
            info.dosName = options.dosName;
        } else if (options.kind != VolumeKind::Network) {
            for (char16_t letter = u'C'; letter <= u'Z' && info.dosName.empty(); ++letter) {
                std::u16string dos{letter, u':'};
                if (!letterUsed(dos)) info.dosName = dos;
            }
        }
        if (!options.hostDir.empty()) {
            info.hostDir = options.hostDir;
        } else {
            std::u16string leaf = info.deviceName.substr(info.deviceName.find_last_of(u'\\') + 1);
            info.hostDir = detail::RootDir() + "/" + detail::ToUtf8(leaf);
        }
        switch (options.kind) {
            case VolumeKind::LocalDisk:
                volume->deviceType = FILE_DEVICE_DISK_FILE_SYSTEM;
                volume->fsType = FLT_FSTYPE_NTFS;
                break;
            case VolumeKind::UsbFlashDisk:
            case VolumeKind::UsbHardDisk:
            case VolumeKind::Floppy:
                volume->deviceType = FILE_DEVICE_DISK_FILE_SYSTEM;
                volume->fsType = FLT_FSTYPE_FAT;
                break;
            case VolumeKind::CdRom:
                volume->deviceType = FILE_DEVICE_CD_ROM_FILE_SYSTEM;
                volume->fsType = FLT_FSTYPE_CDFS;
                volume->readOnly = true;
                break;
            case VolumeKind::Network:
                volume->deviceType = FILE_DEVICE_NETWORK_FILE_SYSTEM;
                volume->fsType = detail::EqualsNoCase(info.deviceName, u"\\Device\\LanmanRedirector")
                                     ? FLT_FSTYPE_LANMAN
                                     : FLT_FSTYPE_MUP;
                break;
        }
        volume->storageDevice.Type = 3;  // IO_TYPE_DEVICE
        volume->storageDevice.Size = sizeof(DEVICE_OBJECT);
        volume->storageDevice.ReferenceCount = 1;
        volume->storageDevice.StackSize = 1;
        switch (options.kind) {
            case VolumeKind::LocalDisk:
            case VolumeKind::UsbHardDisk:
                volume->storageDevice.DeviceType = FILE_DEVICE_DISK;
                break;
            case VolumeKind::UsbFlashDisk:
                volume->storageDevice.DeviceType = FILE_DEVICE_DISK;
                volume->storageDevice.Characteristics = FILE_REMOVABLE_MEDIA;
                break;
            case VolumeKind::Floppy:
                volume->storageDevice.DeviceType = FILE_DEVICE_DISK;
                volume->storageDevice.Characteristics = FILE_REMOVABLE_MEDIA | FILE_FLOPPY_DISKETTE;
                break;
            case VolumeKind::CdRom:
                volume->storageDevice.DeviceType = FILE_DEVICE_CD_ROM;
                volume->storageDevice.Characteristics = FILE_REMOVABLE_MEDIA | FILE_READ_ONLY_DEVICE;
                break;
            case VolumeKind::Network:
                volume->storageDevice.DeviceType = FILE_DEVICE_NETWORK_FILE_SYSTEM;
                volume->storageDevice.Characteristics = FILE_REMOTE_DEVICE;
                break;
        }
        io::BuildDiskStack(volume.get(), options);
        if (options.volumeDeviceType != 0) volume->deviceType = options.volumeDeviceType;
        if (options.fsTypeUnknown) volume->fsType = FLT_FSTYPE_UNKNOWN;
        else if (options.fsType != 0) volume->fsType = static_cast<FLT_FILESYSTEM_TYPE>(options.fsType);
        std::error_code ec;
        std::filesystem::create_directories(info.hostDir, ec);
        if (ec) throw std::runtime_error("AddVolume: cannot create " + info.hostDir + ": " + ec.message());
        for (auto& f : s.filters)
            if (f->started && !f->gone && !f->unregistering) started.push_back(f.get());
        added = volume.get();
        s.volumes.push_back(std::move(volume));
        rollback.armed = false;
    }
    for (_FLT_FILTER* filter : started) io::Attach(filter, added, FLTFL_INSTANCE_SETUP_NEWLY_MOUNTED_VOLUME);
    return added->info;
}

bool Machine::RemoveVolume(const std::u16string& volumeDeviceName) {
    io::FltState& s = io::Flt();
    _FLT_VOLUME* volume = nullptr;
    std::vector<_FLT_INSTANCE*> attached;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        volume = io::VolumeByNameLocked(volumeDeviceName);
        if (volume == nullptr) return false;
        for (auto& i : s.instances)
            if (i->volume == volume && i->state == _FLT_INSTANCE::State::Attached && !i->filter->gone &&
                !i->filter->unregistering) {
                attached.push_back(i.get());
                ++i->filter->callbacksInFlight;
            }
    }
    for (_FLT_INSTANCE* i : attached) io::TearDown(i, WINSIM_FLTFL_INSTANCE_TEARDOWN_VOLUME_DISMOUNT);
    // The volume goes; its contexts lose the volume's reference.
    std::vector<PFLT_CONTEXT> contexts;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        for (auto& [filter, context] : volume->contexts) contexts.push_back(context);
        volume->contexts.clear();
        for (auto it = s.volumes.begin(); it != s.volumes.end(); ++it)
            if (it->get() == volume) {
                s.removedVolumes.push_back(std::move(*it));
                s.volumes.erase(it);
                break;
            }
    }
    for (PFLT_CONTEXT c : contexts) io::ReleaseContext(c, "volume removal");
    return true;
}

NTSTATUS Machine::DetachInstance(const std::u16string& serviceName, const std::u16string& volumeDeviceName) {
    io::FltState& s = io::Flt();
    _FLT_INSTANCE* instance = nullptr;
    _FLT_FILTER* filter = nullptr;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        filter = io::FilterByServiceLocked(serviceName);
        _FLT_VOLUME* volume = io::VolumeByNameLocked(volumeDeviceName);
        if (filter == nullptr || volume == nullptr) return STATUS_NOT_FOUND;
        instance = io::AttachedInstanceLocked(filter, volume);
        if (instance == nullptr) return STATUS_NOT_FOUND;
        // Without a query-teardown callback an instance cannot be detached by request.
        if (filter->registration.InstanceQueryTeardownCallback == nullptr) return WINSIM_STATUS_FLT_DO_NOT_DETACH;
        ++filter->callbacksInFlight;
    }
    NTSTATUS status;
    {
        io::FilterCallback guard(filter, nullptr);
        io::ProcessScope system(io::SystemProcessObject());
        auto query = filter->registration.InstanceQueryTeardownCallback;
        status = io::CallFilter(filter, [&] { return query(&instance->related, 0); });
    }
    if (!NT_SUCCESS(status)) return status;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (filter->gone || filter->unregistering || instance->state != _FLT_INSTANCE::State::Attached)
            return STATUS_SUCCESS;  // torn down meanwhile
        ++filter->callbacksInFlight;
    }
    io::TearDown(instance, WINSIM_FLTFL_INSTANCE_TEARDOWN_MANUAL);
    return STATUS_SUCCESS;
}

NTSTATUS Machine::AttachInstance(const std::u16string& serviceName, const std::u16string& volumeDeviceName) {
    io::FltState& s = io::Flt();
    _FLT_FILTER* filter = nullptr;
    _FLT_VOLUME* volume = nullptr;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        filter = io::FilterByServiceLocked(serviceName);
        volume = io::VolumeByNameLocked(volumeDeviceName);
        if (filter == nullptr || volume == nullptr || !filter->started) return STATUS_NOT_FOUND;
    }
    return io::Attach(filter, volume, FLTFL_INSTANCE_SETUP_MANUAL_ATTACHMENT);
}

std::vector<VolumeInfo> Machine::Volumes() const {
    io::FltState& s = io::Flt();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::vector<VolumeInfo> out;
    for (auto& v : s.volumes) out.push_back(v->info);
    return out;
}

}  // namespace winsim

// ---------------------------------------------------------------- Windows routines
using namespace winsim;

NTSTATUS FltRegisterFilter(PDRIVER_OBJECT driver, const FLT_REGISTRATION* registration, PFLT_FILTER* retFilter) {
    detail::RequirePassive("FltRegisterFilter");
    if (!driver || !registration || !retFilter) return STATUS_INVALID_PARAMETER;
    *retFilter = nullptr;
    if (detail::ShouldFail(FaultClass::Registration, "FltRegisterFilter")) return STATUS_INSUFFICIENT_RESOURCES;
    auto record = io::FindDriverByObject(driver);
    if (!record) return STATUS_INVALID_PARAMETER;
    if (registration->Version != 0x0203 && registration->Version != 0x0202) return STATUS_INVALID_PARAMETER;

    auto filter = std::make_unique<_FLT_FILTER>();
    filter->service = record->service;
    filter->driver = driver;
    filter->registration = *registration;
    if (const FLT_CONTEXT_REGISTRATION* c = registration->ContextRegistration) {
        for (; c->ContextType != FLT_CONTEXT_END; ++c) {
            const FLT_CONTEXT_TYPE known = FLT_VOLUME_CONTEXT | FLT_INSTANCE_CONTEXT | FLT_FILE_CONTEXT |
                                           FLT_STREAM_CONTEXT | FLT_STREAMHANDLE_CONTEXT | FLT_TRANSACTION_CONTEXT;
            if ((c->ContextType & ~known) || !c->ContextType) return STATUS_INVALID_PARAMETER;
            filter->contextRegistrations.push_back(*c);
        }
    }
    if (const FLT_OPERATION_REGISTRATION* o = registration->OperationRegistration)
        for (; o->MajorFunction != IRP_MJ_OPERATION_END; ++o) filter->operations.push_back(*o);
    filter->registration.ContextRegistration = nullptr;  // the copies above are what counts
    filter->registration.OperationRegistration = nullptr;

    io::FltState& s = io::Flt();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& f : s.filters)
        if (!f->gone && f->service == filter->service) return STATUS_OBJECT_NAME_COLLISION;  // one per driver
    *retFilter = filter.get();
    s.filters.push_back(std::move(filter));
    return STATUS_SUCCESS;
}

NTSTATUS FltStartFiltering(PFLT_FILTER filter) {
    detail::RequirePassive("FltStartFiltering");
    if (detail::ShouldFail(FaultClass::Registration, "FltStartFiltering")) return STATUS_INSUFFICIENT_RESOURCES;
    io::FltState& s = io::Flt();
    std::vector<_FLT_VOLUME*> volumes;
    _FLT_FILTER* f;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        f = io::FindFilterLocked(filter);
        if (!f || f->unregistering || f->started) return STATUS_INVALID_PARAMETER;
        f->started = true;
        for (auto& v : s.volumes) volumes.push_back(v.get());
    }
    for (_FLT_VOLUME* v : volumes) io::Attach(f, v, FLTFL_INSTANCE_SETUP_AUTOMATIC_ATTACHMENT);
    return STATUS_SUCCESS;
}

void FltUnregisterFilter(PFLT_FILTER filter) {
    detail::RequirePassive("FltUnregisterFilter");
    io::FltState& s = io::Flt();
    _FLT_FILTER* f;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        f = io::FindFilterLocked(filter);
        if (!f || f->unregistering) {
            Violation("FltUnregisterFilter on a filter that is not registered");
            return;
        }
        f->unregistering = true;
    }

    // Clients still connected are disconnected first; the driver closes their client
    // ports in its disconnect callback. Then nothing of the filter runs any more.
    io::PortsDisconnect(f);
    io::WaitForCallbacks(f);
    std::vector<std::string> leaks = io::PortsLeftOpen(f);

    // Instances go away.
    std::vector<_FLT_INSTANCE*> attached;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        for (auto& i : s.instances)
            if (i->filter == f && i->state == _FLT_INSTANCE::State::Attached) attached.push_back(i.get());
    }
    for (_FLT_INSTANCE* i : attached) {
        if (auto start = f->registration.InstanceTeardownStartCallback)
            io::CallFilter(f, [&] { start(&i->related, WINSIM_FLTFL_INSTANCE_TEARDOWN_FILTER_UNLOAD); });
        if (auto complete = f->registration.InstanceTeardownCompleteCallback)
            io::CallFilter(f, [&] { complete(&i->related, WINSIM_FLTFL_INSTANCE_TEARDOWN_FILTER_UNLOAD); });
        std::lock_guard<std::mutex> lock(s.mutex);
        i->state = _FLT_INSTANCE::State::Detached;
    }

    // Volume contexts lose the volume's reference; the last reference frees them.
    std::vector<PFLT_CONTEXT> volumeContexts;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        for (auto& v : s.volumes) {
            auto it = v->contexts.find(f);
            if (it == v->contexts.end()) continue;
            volumeContexts.push_back(it->second);
            v->contexts.erase(it);
        }
    }
    for (PFLT_CONTEXT c : volumeContexts) io::ReleaseContext(c, "FltUnregisterFilter");

    for (auto& leak : io::ReferencesLeft(f, "FltUnregisterFilter")) leaks.push_back(leak);
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        f->gone = true;
    }
    for (auto& leak : leaks) Violation(leak);
}

NTSTATUS FltBuildDefaultSecurityDescriptor(PSECURITY_DESCRIPTOR* securityDescriptor, ACCESS_MASK desiredAccess) {
    detail::RequirePassive("FltBuildDefaultSecurityDescriptor");
    if (!securityDescriptor) return STATUS_INVALID_PARAMETER;
    *securityDescriptor = nullptr;
    if (detail::ShouldFail(FaultClass::Registration, "FltBuildDefaultSecurityDescriptor"))
        return STATUS_INSUFFICIENT_RESOURCES;
    // A self-relative descriptor granting desiredAccess to System and Administrators
    // only; its bytes are opaque to the driver.
    struct Descriptor {
        UCHAR revision, sbz1;
        USHORT control;
        ULONG owner, group, sacl, dacl;
        ACCESS_MASK access;
        ULONG padding[10];
    };
    auto* sd = static_cast<Descriptor*>(ExAllocatePoolWithTag(PagedPool, sizeof(Descriptor), io::kDescriptorTag));
    if (!sd) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(sd, 0, sizeof *sd);
    sd->revision = 1;
    sd->control = 0x8004;  // SE_SELF_RELATIVE | SE_DACL_PRESENT
    sd->access = desiredAccess;
    io::FltState& s = io::Flt();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.descriptors.insert(sd);
    *securityDescriptor = sd;
    return STATUS_SUCCESS;
}

void FltFreeSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor) {
    io::FltState& s = io::Flt();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.descriptors.erase(securityDescriptor)) {
            Violation("FltFreeSecurityDescriptor on a descriptor FltBuildDefaultSecurityDescriptor did not return "
                      "(or freed twice)");
            return;
        }
    }
    ExFreePoolWithTag(securityDescriptor, io::kDescriptorTag);
}

// ---------------------------------------------------------------- contexts
NTSTATUS FltAllocateContext(PFLT_FILTER filter, FLT_CONTEXT_TYPE contextType, SIZE_T contextSize,
                            POOL_TYPE poolType, PFLT_CONTEXT* returnedContext) {
    detail::RequireIrqlAtMost(APC_LEVEL, "FltAllocateContext");
    if (!returnedContext) return STATUS_INVALID_PARAMETER;
    *returnedContext = nullptr;
    io::FltState& s = io::Flt();
    io::ContextRecord record;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        _FLT_FILTER* f = io::FindFilterLocked(filter);
        if (!f) return STATUS_INVALID_PARAMETER;
        if (f->unregistering) return WINSIM_STATUS_FLT_DELETING_OBJECT;
        const FLT_CONTEXT_REGISTRATION* match = nullptr;
        for (auto& r : f->contextRegistrations)
            if (r.ContextType == contextType && (r.Size == WINSIM_FLT_VARIABLE_SIZED_CONTEXTS || r.Size == contextSize))
                match = &r;
        if (!match) return WINSIM_STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND;
        record.filter = f;
        record.type = contextType;
        record.references = 1;
        record.cleanup = match->ContextCleanupCallback;
        record.tag = match->PoolTag ? match->PoolTag : io::kContextDefaultTag;
    }
    PFLT_CONTEXT context = ExAllocatePoolWithTag(poolType, contextSize ? contextSize : 1, record.tag);
    if (!context) return STATUS_INSUFFICIENT_RESOURCES;
    std::lock_guard<std::mutex> lock(s.mutex);
    s.contexts[context] = record;
    *returnedContext = context;
    return STATUS_SUCCESS;
}

NTSTATUS FltSetVolumeContext(PFLT_VOLUME volume, FLT_SET_CONTEXT_OPERATION operation, PFLT_CONTEXT newContext,
                             PFLT_CONTEXT* oldContext) {
    detail::RequireIrqlAtMost(APC_LEVEL, "FltSetVolumeContext");
    if (oldContext) *oldContext = nullptr;
    io::FltState& s = io::Flt();
    PFLT_CONTEXT dropped = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        _FLT_VOLUME* v = io::FindVolumeLocked(volume);
        auto it = s.contexts.find(newContext);
        if (!v || it == s.contexts.end() || it->second.type != FLT_VOLUME_CONTEXT) return STATUS_INVALID_PARAMETER;
        _FLT_FILTER* f = it->second.filter;
        if (f->unregistering || f->gone) return WINSIM_STATUS_FLT_DELETING_OBJECT;
        auto existing = v->contexts.find(f);
        if (existing != v->contexts.end()) {
            if (operation == FLT_SET_CONTEXT_KEEP_IF_EXISTS) {
                if (oldContext) {
                    ++s.contexts[existing->second].references;  // the caller releases it
                    *oldContext = existing->second;
                }
                return STATUS_FLT_CONTEXT_ALREADY_DEFINED;
            }
            if (existing->second == newContext) return STATUS_SUCCESS;
            // The volume's reference to the old context passes to the caller, or goes.
            if (oldContext) *oldContext = existing->second;
            else dropped = existing->second;
        }
        v->contexts[f] = newContext;
        ++it->second.references;  // the volume's own reference
    }
    if (dropped) io::ReleaseContext(dropped, "FltSetVolumeContext");
    return status;
}

NTSTATUS FltGetVolumeContext(PFLT_FILTER filter, PFLT_VOLUME volume, PFLT_CONTEXT* context) {
    detail::RequireIrqlAtMost(APC_LEVEL, "FltGetVolumeContext");
    if (!context) return STATUS_INVALID_PARAMETER;
    *context = nullptr;
    io::FltState& s = io::Flt();
    std::lock_guard<std::mutex> lock(s.mutex);
    _FLT_VOLUME* v = io::FindVolumeLocked(volume);
    _FLT_FILTER* f = io::FindFilterLocked(filter);
    if (!v || !f) return STATUS_INVALID_PARAMETER;
    auto it = v->contexts.find(f);
    if (it == v->contexts.end()) return STATUS_NOT_FOUND;
    ++s.contexts[it->second].references;
    *context = it->second;
    return STATUS_SUCCESS;
}

void FltReleaseContext(PFLT_CONTEXT context) {
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "FltReleaseContext");
    io::ReleaseContext(context, "FltReleaseContext");
}

bool winsim::Machine::RelatedObjects(const std::u16string& serviceName, const std::u16string& volumeDeviceName,
                                     FLT_RELATED_OBJECTS* objects) const {
    auto& flt = winsim::io::Flt();
    std::lock_guard<std::mutex> lock(flt.mutex);
    for (const auto& instance : flt.instances) {
        if (instance->state != _FLT_INSTANCE::State::Attached || instance->filter == nullptr ||
            instance->volume == nullptr) {
            continue;
        }
        const _FLT_FILTER* filter = instance->filter;
        if (filter->gone || !detail::EqualsNoCase(filter->service, serviceName) ||
            !detail::EqualsNoCase(instance->volume->info.deviceName, volumeDeviceName)) {
            continue;
        }
        // The members are const, as the filter manager hands them out: copied whole.
        std::memcpy(static_cast<void*>(objects), &instance->related, sizeof(FLT_RELATED_OBJECTS));
        return true;
    }
    return false;
}
