// The Service Control Manager. Its database is the registry hive the kernel sees:
// a service is a key under ...\CurrentControlSet\Services with a REG_DWORD "Type",
// CreateServiceW writes the values Windows writes, and a service marked for
// deletion carries "DeleteFlag" = 1 until it goes. Whether a driver service runs
// is whether the machine has its driver loaded, so a driver a test loaded directly
// shows as running too.
//
// Starting a kernel or file-system driver service resolves its ImagePath to a file
// on the simulated volumes and runs the DriverEntry of the driver image registered
// under that file's name (Machine::RegisterDriverImage); stopping it unloads it.
#include <cstring>

#include "winsim/um/services.h"

namespace winsim::um {
namespace {

constexpr ULONG kKernelDriver = 0x1;      // SERVICE_KERNEL_DRIVER
constexpr ULONG kFileSystemDriver = 0x2;  // SERVICE_FILE_SYSTEM_DRIVER
constexpr ULONG kDriverTypes = kKernelDriver | kFileSystemDriver;
constexpr ULONG kWin32OwnProcess = 0x10;
constexpr ULONG kWin32ShareProcess = 0x20;
constexpr ULONG kInteractiveProcess = 0x100;
constexpr ULONG kStartDisabled = 4;
constexpr ULONG kNoChange = 0xFFFFFFFF;

constexpr ACCESS_MASK kScmConnect = 0x0001;
constexpr ACCESS_MASK kScmCreateService = 0x0002;
constexpr ACCESS_MASK kScmEnumerate = 0x0004;
constexpr ACCESS_MASK kScmLock = 0x0008;
constexpr ACCESS_MASK kScmQueryLockStatus = 0x0010;
constexpr ACCESS_MASK kScmModifyBootConfig = 0x0020;
constexpr ACCESS_MASK kScmAll = 0xF003F;

constexpr ACCESS_MASK kSvcQueryConfig = 0x0001;
constexpr ACCESS_MASK kSvcChangeConfig = 0x0002;
constexpr ACCESS_MASK kSvcQueryStatus = 0x0004;
constexpr ACCESS_MASK kSvcEnumerateDependents = 0x0008;
constexpr ACCESS_MASK kSvcStart = 0x0010;
constexpr ACCESS_MASK kSvcStop = 0x0020;
constexpr ACCESS_MASK kSvcInterrogate = 0x0080;
constexpr ACCESS_MASK kSvcAll = 0xF01FF;
constexpr ACCESS_MASK kDelete = 0x00010000;
constexpr ACCESS_MASK kReadControl = 0x00020000;

constexpr ACCESS_MASK kGenericRead = 0x80000000;
constexpr ACCESS_MASK kGenericWrite = 0x40000000;
constexpr ACCESS_MASK kGenericExecute = 0x20000000;
constexpr ACCESS_MASK kGenericAll = 0x10000000;

constexpr DWORD kStopped = 1;  // SERVICE_STOPPED
constexpr DWORD kRunning = 4;  // SERVICE_RUNNING
constexpr DWORD kControlStop = 1;
constexpr DWORD kControlInterrogate = 4;
constexpr DWORD kAcceptStop = 1;

ACCESS_MASK MapScmAccess(ACCESS_MASK access) {
    if (access & kGenericRead) access |= kReadControl | kScmEnumerate | kScmQueryLockStatus;
    if (access & kGenericWrite) access |= kReadControl | kScmCreateService | kScmModifyBootConfig;
    if (access & kGenericExecute) access |= kReadControl | kScmConnect | kScmLock;
    if (access & kGenericAll) access |= kScmAll;
    return access & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll);
}

ACCESS_MASK MapServiceAccess(ACCESS_MASK access) {
    if (access & kGenericRead) access |= kReadControl | kSvcQueryConfig | kSvcQueryStatus | kSvcInterrogate |
                                         kSvcEnumerateDependents;
    if (access & kGenericWrite) access |= kReadControl | kSvcChangeConfig;
    if (access & kGenericExecute) access |= kReadControl | kSvcStart | kSvcStop | 0x40 | 0x100;
    if (access & kGenericAll) access |= kSvcAll;
    return access & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll);
}

// One service the manager has handles open to (by upper-cased name).
struct ServiceEntry {
    std::u16string name;
    size_t handles = 0;
};

struct ScmState {
    std::mutex mutex;
    std::map<std::u16string, std::shared_ptr<ServiceEntry>> entries;
};
std::unique_ptr<ScmState> g_scm;

struct ManagerObject : detail::KObject {
    const char* TypeName() const override { return "SC_HANDLE (manager)"; }
    ACCESS_MASK access = 0;
};

void ServiceHandleClosed(const std::shared_ptr<ServiceEntry>& entry);

struct ServiceObject : detail::KObject {
    const char* TypeName() const override { return "SC_HANDLE (service)"; }
    std::shared_ptr<ServiceEntry> entry;
    ACCESS_MASK access = 0;
};

std::u16string ServiceKeyPath(const std::u16string& name) {
    return std::u16string(io::kServicesPath) + u"\\" + name;
}

bool ValidServiceName(const std::u16string& name) {
    if (name.empty() || name.size() > 256) return false;
    for (char16_t c : name)
        if (c == u'\\' || c == u'/') return false;
    return true;
}

std::shared_ptr<io::RegKey> ServiceKey(const std::u16string& name) {
    std::shared_ptr<io::RegKey> key;
    if (!NT_SUCCESS(io::RegistryOpen(nullptr, ServiceKeyPath(name), &key))) return nullptr;
    io::RegValue type;
    if (!NT_SUCCESS(io::RegistryQueryValue(key, u"Type", &type)) || type.type != REG_DWORD || type.data.size() != 4)
        return nullptr;
    return key;
}

bool Dword(const std::shared_ptr<io::RegKey>& key, const char16_t* name, ULONG* value) {
    io::RegValue v;
    if (!key || !NT_SUCCESS(io::RegistryQueryValue(key, name, &v)) || v.type != REG_DWORD || v.data.size() != 4)
        return false;
    std::memcpy(value, v.data.data(), 4);
    return true;
}

std::u16string Text(const std::shared_ptr<io::RegKey>& key, const char16_t* name) {
    io::RegValue v;
    if (!key || !NT_SUCCESS(io::RegistryQueryValue(key, name, &v))) return std::u16string();
    if (v.type != REG_SZ && v.type != REG_EXPAND_SZ) return std::u16string();
    std::u16string text(v.data.size() / 2, u'\0');
    std::memcpy(text.data(), v.data.data(), text.size() * 2);
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    return text;
}

void SetDwordValue(const std::shared_ptr<io::RegKey>& key, const char16_t* name, ULONG value) {
    io::RegistrySetValue(key, name, REG_DWORD, &value, sizeof value);
}

void SetTextValue(const std::shared_ptr<io::RegKey>& key, const char16_t* name, ULONG type, const std::u16string& text) {
    io::RegistrySetValue(key, name, type, text.c_str(), (text.size() + 1) * sizeof(char16_t));
}

// A multi-string (REG_MULTI_SZ) from a double-terminated list; empty when none.
std::u16string MultiText(const WCHAR* list) {
    std::u16string out;
    if (!list) return out;
    const char16_t* p = reinterpret_cast<const char16_t*>(list);
    while (*p) {
        std::u16string item(p);
        out += item;
        out.push_back(u'\0');
        p += item.size() + 1;
    }
    return out;
}

bool MarkedForDelete(const std::shared_ptr<io::RegKey>& key) {
    ULONG flag = 0;
    return Dword(key, u"DeleteFlag", &flag) && flag != 0;
}

bool IsDriverType(ULONG type) { return (type & kDriverTypes) != 0; }

bool ServiceRunning(const std::u16string& name) { return Machine::Current().IsDriverLoaded(name); }

// The image path Windows stores for a service: a driver's drive-letter path is
// kept in the object-manager form (\??\C:\...), which is how the kernel loads it.
std::u16string StoredImagePath(ULONG type, const std::u16string& path) {
    if (IsDriverType(type) && path.size() >= 3 && path[1] == u':' && path[2] == u'\\') return u"\\??\\" + path;
    return path;
}

// Removes a service marked for deletion once nobody holds a handle to it and it is
// not running (caller holds the manager's lock).
void DeleteIfDueLocked(const std::u16string& name) {
    auto it = g_scm->entries.find(io::Upcase(name));
    if (it != g_scm->entries.end() && it->second->handles != 0) return;
    auto key = ServiceKey(name);
    if (!key || !MarkedForDelete(key) || ServiceRunning(name)) return;
    io::RegistryDeleteTree(key);
}

void ServiceHandleClosed(const std::shared_ptr<ServiceEntry>& entry) {
    // A handle that outlives the machine (closed at shutdown) changes nothing.
    if (!entry || !g_scm || !detail::MachineRunning()) return;
    std::lock_guard<std::mutex> lock(g_scm->mutex);
    if (entry->handles > 0) --entry->handles;
    if (entry->handles != 0) return;
    auto it = g_scm->entries.find(io::Upcase(entry->name));
    if (it != g_scm->entries.end() && it->second == entry) g_scm->entries.erase(it);
    DeleteIfDueLocked(entry->name);
}

ScmState& Scm() {
    if (!g_scm) Machine::Current();
    return *g_scm;
}

// A new handle to the named service (caller holds the manager's lock).
SC_HANDLE NewServiceHandleLocked(const std::u16string& name, ACCESS_MASK access) {
    auto& slot = g_scm->entries[io::Upcase(name)];
    if (!slot) {
        slot = std::make_shared<ServiceEntry>();
        slot->name = name;
    }
    auto object = std::make_shared<ServiceObject>();
    object->entry = slot;
    object->access = MapServiceAccess(access);
    ++slot->handles;
    std::shared_ptr<ServiceEntry> entry = slot;
    return static_cast<SC_HANDLE>(
        InsertUserHandle(HandleKind::Service, object, [entry] { ServiceHandleClosed(entry); }, "OpenServiceW"));
}

std::shared_ptr<ManagerObject> Manager(SC_HANDLE handle) {
    return ReferenceUserHandleAs<ManagerObject>(handle, HandleKind::Service);
}
std::shared_ptr<ServiceObject> Service(SC_HANDLE handle) {
    return ReferenceUserHandleAs<ServiceObject>(handle, HandleKind::Service);
}

template <class T>
T Fail(DWORD error, T result) {
    SetLastError(error);
    return result;
}

// Where ImagePath points, as an NT name on the simulated volumes. The system root
// is C:\Windows; a relative path is relative to it, as the kernel resolves it.
std::u16string ImageNtPath(const std::u16string& service, std::u16string path) {
    const std::u16string systemRoot = u"\\??\\C:\\Windows";
    if (path.empty()) path = u"\\SystemRoot\\System32\\drivers\\" + service + u".sys";
    auto startsWith = [&](const std::u16string& prefix) {
        return path.size() >= prefix.size() && detail::EqualsNoCase(path.substr(0, prefix.size()), prefix);
    };
    if (startsWith(u"%SystemRoot%")) path = u"C:\\Windows" + path.substr(12);
    if (startsWith(u"\\SystemRoot\\")) return systemRoot + path.substr(11);
    if (path.size() >= 3 && path[1] == u':' && path[2] == u'\\') return u"\\??\\" + path;
    if (!path.empty() && path[0] == u'\\') return path;  // \??\C:\..., \Device\HarddiskVolumeN\...
    return systemRoot + u"\\" + path;
}

// The file an image path names: 0 when it exists (with its leaf name), else the
// Windows error of a load that cannot find it.
DWORD FindImage(const std::u16string& ntPath, std::u16string* leaf) {
    io::ParsedName parsed;
    NTSTATUS status = io::ParseFileName(ntPath, FILE_NON_DIRECTORY_FILE, &parsed);
    if (!NT_SUCCESS(status) || parsed.parts.empty()) return ERROR_PATH_NOT_FOUND;
    std::string host;
    bool exists = false;
    if (!NT_SUCCESS(io::ResolveHostPath(parsed, &host, &exists))) return ERROR_PATH_NOT_FOUND;
    if (!exists) return ERROR_FILE_NOT_FOUND;
    if (std::filesystem::is_directory(host)) return ERROR_ACCESS_DENIED;
    *leaf = parsed.parts.back();
    return 0;
}

}  // namespace

void ServicesBoot() {
    g_scm = std::make_unique<ScmState>();
    DosDevicesBoot();
    SecurityBoot();
    TimeBoot();
}

void ServicesShutdown() {
    g_scm.reset();
    DosDevicesShutdown();
    SecurityShutdown();
    TimeShutdown();
}

}  // namespace winsim::um

// ---------------------------------------------------------------- test controls
namespace winsim {

bool Machine::ServiceMarkedForDelete(const std::u16string& name) const {
    auto key = um::ServiceKey(name);
    return key && um::MarkedForDelete(key);
}

size_t Machine::OpenServiceHandles(const std::u16string& name) const {
    um::ScmState& s = um::Scm();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.entries.find(io::Upcase(name));
    return it == s.entries.end() ? 0 : it->second->handles;
}

}  // namespace winsim

// ---------------------------------------------------------------- Windows routines
using namespace winsim;
using namespace winsim::um;

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess) {
    Scm();
    if (machineName && machineName[0]) return Fail(RPC_S_SERVER_UNAVAILABLE, SC_HANDLE(nullptr));
    if (databaseName && databaseName[0] &&
        !detail::EqualsNoCase(reinterpret_cast<const char16_t*>(databaseName), u"ServicesActive"))
        return Fail(ERROR_DATABASE_DOES_NOT_EXIST, SC_HANDLE(nullptr));
    ACCESS_MASK access = MapScmAccess(desiredAccess) | kScmConnect;
    // Without administrator rights a process may connect, enumerate and query only.
    PEPROCESS caller = CurrentUserProcess();
    if (caller && !caller->administrator && (access & ~(kScmConnect | kScmEnumerate | kScmQueryLockStatus | kReadControl)))
        return Fail(ERROR_ACCESS_DENIED, SC_HANDLE(nullptr));
    auto object = std::make_shared<ManagerObject>();
    object->access = access;
    return static_cast<SC_HANDLE>(InsertUserHandle(HandleKind::Service, object, {}, "OpenSCManagerW"));
}

SC_HANDLE WINAPI CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName, DWORD desiredAccess,
                                DWORD serviceType, DWORD startType, DWORD errorControl, LPCWSTR binaryPathName,
                                LPCWSTR loadOrderGroup, LPDWORD tagId, LPCWSTR dependencies,
                                LPCWSTR serviceStartName, LPCWSTR password) {
    auto m = Manager(manager);
    if (!m) return Fail(ERROR_INVALID_HANDLE, SC_HANDLE(nullptr));
    if (!(m->access & kScmCreateService)) return Fail(ERROR_ACCESS_DENIED, SC_HANDLE(nullptr));
    if (!serviceName) return Fail(ERROR_INVALID_ADDRESS, SC_HANDLE(nullptr));
    const std::u16string name(reinterpret_cast<const char16_t*>(serviceName));
    if (!ValidServiceName(name)) return Fail(ERROR_INVALID_NAME, SC_HANDLE(nullptr));
    const ULONG baseType = serviceType & ~kInteractiveProcess;
    const bool driver = baseType == kKernelDriver || baseType == kFileSystemDriver;
    const bool win32 = baseType == kWin32OwnProcess || baseType == kWin32ShareProcess;
    if ((!driver && !win32) || (driver && (serviceType & kInteractiveProcess)) || startType > kStartDisabled ||
        errorControl > 3 || (!driver && startType < 2))
        return Fail(ERROR_INVALID_PARAMETER, SC_HANDLE(nullptr));
    if (!binaryPathName || !binaryPathName[0]) return Fail(ERROR_INVALID_PARAMETER, SC_HANDLE(nullptr));
    if (tagId && (!loadOrderGroup || !loadOrderGroup[0])) return Fail(ERROR_INVALID_PARAMETER, SC_HANDLE(nullptr));
    const std::u16string display =
        displayName && displayName[0] ? std::u16string(reinterpret_cast<const char16_t*>(displayName)) : name;

    ScmState& s = Scm();
    std::lock_guard<std::mutex> lock(s.mutex);
    DeleteIfDueLocked(name);
    if (auto existing = ServiceKey(name))
        return Fail(MarkedForDelete(existing) ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS,
                    SC_HANDLE(nullptr));
    // A display name is unique too, against other services' names and display names.
    std::shared_ptr<io::RegKey> services;
    if (NT_SUCCESS(io::RegistryOpen(nullptr, io::kServicesPath, &services))) {
        for (auto& other : io::RegistrySubkeyNames(services)) {
            auto key = ServiceKey(other);
            if (!key) continue;
            if (detail::EqualsNoCase(Text(key, u"DisplayName"), display) || detail::EqualsNoCase(other, display))
                return Fail(ERROR_DUPLICATE_SERVICE_NAME, SC_HANDLE(nullptr));
        }
    }

    std::shared_ptr<io::RegKey> key;
    if (!NT_SUCCESS(io::RegistryCreate(nullptr, ServiceKeyPath(name), &key, nullptr)))
        return Fail(ERROR_INVALID_NAME, SC_HANDLE(nullptr));
    SetDwordValue(key, u"Type", serviceType);
    SetDwordValue(key, u"Start", startType);
    SetDwordValue(key, u"ErrorControl", errorControl);
    SetTextValue(key, u"ImagePath", REG_EXPAND_SZ,
                 StoredImagePath(serviceType, reinterpret_cast<const char16_t*>(binaryPathName)));
    SetTextValue(key, u"DisplayName", REG_SZ, display);
    if (loadOrderGroup && loadOrderGroup[0])
        SetTextValue(key, u"Group", REG_SZ, reinterpret_cast<const char16_t*>(loadOrderGroup));
    std::u16string depends = MultiText(dependencies);
    if (!depends.empty()) io::RegistrySetValue(key, u"DependOnService", REG_MULTI_SZ, depends.c_str(),
                                               (depends.size() + 1) * sizeof(char16_t));
    if (win32)
        SetTextValue(key, u"ObjectName", REG_SZ,
                     serviceStartName && serviceStartName[0]
                         ? std::u16string(reinterpret_cast<const char16_t*>(serviceStartName))
                         : std::u16string(u"LocalSystem"));
    else if (serviceStartName && serviceStartName[0])
        SetTextValue(key, u"ObjectName", REG_SZ, reinterpret_cast<const char16_t*>(serviceStartName));
    if (tagId) *tagId = 1;
    (void)password;
    return NewServiceHandleLocked(name, desiredAccess);
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess) {
    auto m = Manager(manager);
    if (!m) return Fail(ERROR_INVALID_HANDLE, SC_HANDLE(nullptr));
    if (!serviceName) return Fail(ERROR_INVALID_ADDRESS, SC_HANDLE(nullptr));
    const std::u16string requested(reinterpret_cast<const char16_t*>(serviceName));
    if (!ValidServiceName(requested)) return Fail(ERROR_INVALID_NAME, SC_HANDLE(nullptr));
    ScmState& s = Scm();
    std::lock_guard<std::mutex> lock(s.mutex);
    DeleteIfDueLocked(requested);
    auto key = ServiceKey(requested);
    if (!key) return Fail(ERROR_SERVICE_DOES_NOT_EXIST, SC_HANDLE(nullptr));
    // A service that is not an administrator's may only be queried by others.
    PEPROCESS caller = CurrentUserProcess();
    ACCESS_MASK access = MapServiceAccess(desiredAccess);
    if (caller && !caller->administrator &&
        (access & ~(kSvcQueryConfig | kSvcQueryStatus | kSvcInterrogate | kSvcEnumerateDependents | kReadControl)))
        return Fail(ERROR_ACCESS_DENIED, SC_HANDLE(nullptr));
    std::u16string name = io::RegistryKeyPath(key);
    name = name.substr(name.find_last_of(u'\\') + 1);  // as created
    return NewServiceHandleLocked(name, desiredAccess);
}

BOOL WINAPI ChangeServiceConfigW(SC_HANDLE service, DWORD serviceType, DWORD startType, DWORD errorControl,
                                 LPCWSTR binaryPathName, LPCWSTR loadOrderGroup, LPDWORD tagId,
                                 LPCWSTR dependencies, LPCWSTR serviceStartName, LPCWSTR password,
                                 LPCWSTR displayName) {
    auto svc = Service(service);
    if (!svc) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!(svc->access & kSvcChangeConfig)) return Fail(ERROR_ACCESS_DENIED, FALSE);
    ScmState& s = Scm();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto key = ServiceKey(svc->entry->name);
    if (!key) return Fail(ERROR_SERVICE_DOES_NOT_EXIST, FALSE);
    if (MarkedForDelete(key)) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
    ULONG type = 0;
    Dword(key, u"Type", &type);
    if (serviceType != kNoChange) {
        const ULONG baseType = serviceType & ~kInteractiveProcess;
        if (baseType != kKernelDriver && baseType != kFileSystemDriver && baseType != kWin32OwnProcess &&
            baseType != kWin32ShareProcess)
            return Fail(ERROR_INVALID_PARAMETER, FALSE);
        type = serviceType;
    }
    if ((startType != kNoChange && startType > kStartDisabled) || (errorControl != kNoChange && errorControl > 3))
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (serviceType != kNoChange) SetDwordValue(key, u"Type", serviceType);
    if (startType != kNoChange) SetDwordValue(key, u"Start", startType);
    if (errorControl != kNoChange) SetDwordValue(key, u"ErrorControl", errorControl);
    if (binaryPathName)
        SetTextValue(key, u"ImagePath", REG_EXPAND_SZ,
                     StoredImagePath(type, reinterpret_cast<const char16_t*>(binaryPathName)));
    if (loadOrderGroup) SetTextValue(key, u"Group", REG_SZ, reinterpret_cast<const char16_t*>(loadOrderGroup));
    if (dependencies) {
        std::u16string depends = MultiText(dependencies);
        io::RegistrySetValue(key, u"DependOnService", REG_MULTI_SZ, depends.c_str(),
                             (depends.size() + 1) * sizeof(char16_t));
    }
    if (serviceStartName)
        SetTextValue(key, u"ObjectName", REG_SZ, reinterpret_cast<const char16_t*>(serviceStartName));
    if (displayName) SetTextValue(key, u"DisplayName", REG_SZ, reinterpret_cast<const char16_t*>(displayName));
    if (tagId) *tagId = 0;
    (void)password;
    return TRUE;
}

BOOL WINAPI StartServiceW(SC_HANDLE service, DWORD numArgs, LPCWSTR* args) {
    (void)numArgs;
    (void)args;  // drivers receive no arguments
    auto svc = Service(service);
    if (!svc) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!(svc->access & kSvcStart)) return Fail(ERROR_ACCESS_DENIED, FALSE);
    const std::u16string name = svc->entry->name;
    std::u16string imageNt;
    {
        ScmState& s = Scm();
        std::lock_guard<std::mutex> lock(s.mutex);
        auto key = ServiceKey(name);
        if (!key) return Fail(ERROR_SERVICE_DOES_NOT_EXIST, FALSE);
        if (MarkedForDelete(key)) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
        ULONG start = 3, type = 0;
        Dword(key, u"Start", &start);
        Dword(key, u"Type", &type);
        if (start == kStartDisabled) return Fail(ERROR_SERVICE_DISABLED, FALSE);
        if (ServiceRunning(name)) return Fail(ERROR_SERVICE_ALREADY_RUNNING, FALSE);
        imageNt = ImageNtPath(name, Text(key, u"ImagePath"));
        std::u16string leaf;
        DWORD missing = FindImage(imageNt, &leaf);
        if (missing) return Fail(missing, FALSE);
        // The machine runs no service processes: only drivers start.
        if (!IsDriverType(type)) return Fail(ERROR_SERVICE_REQUEST_TIMEOUT, FALSE);
        if (!io::DriverImageKnown(leaf)) return Fail(ERROR_BAD_EXE_FORMAT, FALSE);
        imageNt = leaf;
    }
    // DriverEntry runs on this thread in the System process, outside the manager's lock.
    NTSTATUS status = Machine::Current().LoadDriver(name, imageNt);
    if (status == WINSIM_STATUS_IMAGE_ALREADY_LOADED) return Fail(ERROR_SERVICE_ALREADY_RUNNING, FALSE);
    if (!NT_SUCCESS(status)) return Fail(ErrorOf(status), FALSE);
    return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    auto svc = Service(service);
    if (!svc) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!status) return Fail(ERROR_INVALID_ADDRESS, FALSE);
    const std::u16string name = svc->entry->name;
    ULONG type = 0;
    {
        ScmState& s = Scm();
        std::lock_guard<std::mutex> lock(s.mutex);
        auto key = ServiceKey(name);
        if (!key) return Fail(ERROR_SERVICE_DOES_NOT_EXIST, FALSE);
        Dword(key, u"Type", &type);
    }
    auto fill = [&](bool running) {
        std::memset(status, 0, sizeof *status);
        status->dwServiceType = type;
        status->dwCurrentState = running ? kRunning : kStopped;
        status->dwControlsAccepted = running ? kAcceptStop : 0;
    };
    switch (control) {
        case kControlStop: {
            if (!(svc->access & kSvcStop)) return Fail(ERROR_ACCESS_DENIED, FALSE);
            if (!ServiceRunning(name)) {
                fill(false);
                return Fail(ERROR_SERVICE_NOT_ACTIVE, FALSE);
            }
            NTSTATUS unloaded = Machine::Current().UnloadDriver(name);
            if (unloaded == STATUS_OBJECT_NAME_NOT_FOUND) {
                fill(false);
                return Fail(ERROR_SERVICE_NOT_ACTIVE, FALSE);
            }
            if (!NT_SUCCESS(unloaded)) {
                // The driver refused (or cannot be unloaded): it keeps running.
                fill(true);
                return Fail(ERROR_INVALID_SERVICE_CONTROL, FALSE);
            }
            fill(false);
            return TRUE;
        }
        case kControlInterrogate: {
            if (!(svc->access & kSvcInterrogate)) return Fail(ERROR_ACCESS_DENIED, FALSE);
            const bool running = ServiceRunning(name);
            fill(running);
            if (!running) return Fail(ERROR_SERVICE_NOT_ACTIVE, FALSE);
            return TRUE;
        }
        default: {
            const bool running = ServiceRunning(name);
            fill(running);
            if (!running) return Fail(ERROR_SERVICE_NOT_ACTIVE, FALSE);
            return Fail(ERROR_INVALID_SERVICE_CONTROL, FALSE);
        }
    }
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    auto svc = Service(service);
    if (!svc) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!(svc->access & kSvcQueryStatus)) return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (!status) return Fail(ERROR_INVALID_ADDRESS, FALSE);
    ULONG type = 0;
    {
        ScmState& s = Scm();
        std::lock_guard<std::mutex> lock(s.mutex);
        auto key = ServiceKey(svc->entry->name);
        if (!key) return Fail(ERROR_SERVICE_DOES_NOT_EXIST, FALSE);
        Dword(key, u"Type", &type);
    }
    const bool running = ServiceRunning(svc->entry->name);
    std::memset(status, 0, sizeof *status);
    status->dwServiceType = type;
    status->dwCurrentState = running ? kRunning : kStopped;
    status->dwControlsAccepted = running ? kAcceptStop : 0;
    return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE service) {
    auto svc = Service(service);
    if (!svc) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!(svc->access & kDelete)) return Fail(ERROR_ACCESS_DENIED, FALSE);
    ScmState& s = Scm();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto key = ServiceKey(svc->entry->name);
    if (!key) return Fail(ERROR_SERVICE_DOES_NOT_EXIST, FALSE);
    if (MarkedForDelete(key)) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
    // It goes when it is stopped and its last handle is closed (this one included).
    SetDwordValue(key, u"DeleteFlag", 1);
    return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE handle) {
    if (!CloseUserHandle(handle, HandleKind::Service)) return Fail(ERROR_INVALID_HANDLE, FALSE);
    return TRUE;
}
