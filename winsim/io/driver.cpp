// Driver images and their loading and unloading: the service key, the driver
// object, DriverEntry in the system process, and the unload sequence a minifilter
// goes through (filter unload callback, DriverUnload, verifier checks).
#include <cstring>
#include <stdexcept>

#include "winsim/io/io.h"

namespace winsim::io {
namespace {

constexpr ULONG kServiceKernelDriver = 1;
constexpr ULONG kServiceFileSystemDriver = 2;

struct DriverState {
    std::mutex mutex;
    std::map<std::u16string, PDRIVER_INITIALIZE> images;               // by upper-cased image name
    std::map<std::u16string, std::shared_ptr<DriverRecord>> drivers;   // loading/loaded, by upper-cased service
    std::vector<std::shared_ptr<DriverRecord>> retired;  // kept until shutdown: stray pointers stay valid
};
std::unique_ptr<DriverState> g_drivers;

DriverState& State() {
    if (!g_drivers) Machine::Current();
    return *g_drivers;
}

std::u16string ServiceKey(const std::u16string& service) { return std::u16string(kServicesPath) + u"\\" + service; }

// The service key as an installer would have written it; values already there win.
ULONG PrepareServiceKey(const std::u16string& service, const std::u16string& image) {
    std::shared_ptr<RegKey> key;
    if (!NT_SUCCESS(RegistryCreate(nullptr, ServiceKey(service), &key, nullptr)))
        throw std::invalid_argument("LoadDriver: bad service name");
    RegValue v;
    if (!NT_SUCCESS(RegistryQueryValue(key, u"ImagePath", &v))) {
        std::u16string path = u"\\SystemRoot\\System32\\drivers\\" + image;
        RegistrySetValue(key, u"ImagePath", REG_EXPAND_SZ, path.c_str(), (path.size() + 1) * sizeof(char16_t));
    }
    auto dword = [&](const char16_t* name, ULONG deflt) {
        RegValue value;
        if (NT_SUCCESS(RegistryQueryValue(key, name, &value)) && value.type == REG_DWORD && value.data.size() == 4) {
            ULONG x;
            std::memcpy(&x, value.data.data(), 4);
            return x;
        }
        RegistrySetValue(key, name, REG_DWORD, &deflt, sizeof deflt);
        return deflt;
    };
    // Minifilters are installed as file-system drivers; a test that wants a plain
    // kernel driver writes Type = 1 before loading.
    ULONG type = dword(u"Type", kServiceFileSystemDriver);
    dword(u"Start", 3);
    dword(u"ErrorControl", 1);
    return type;
}

void Retire(const std::shared_ptr<DriverRecord>& record) {
    DriverState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    record->state = DriverRecord::State::Gone;
    s.drivers.erase(Upcase(record->service));
    s.retired.push_back(record);
}

// Calls into the driver as the system would: system process, charged to the driver.
template <class Fn>
auto CallDriver(const std::shared_ptr<DriverRecord>& record, Fn&& fn) {
    ProcessScope system(SystemProcessObject());
    DriverScope scope(&record->service);
    return fn();
}

}  // namespace

void DriversBoot() { g_drivers = std::make_unique<DriverState>(); }

void DriversShutdown() {
    if (!g_drivers) return;
    std::vector<std::u16string> loaded;
    {
        std::lock_guard<std::mutex> lock(g_drivers->mutex);
        for (auto& [key, record] : g_drivers->drivers)
            if (record->state == DriverRecord::State::Loaded) loaded.push_back(record->service);
    }
    for (auto& service : loaded) {
        NTSTATUS status;
        try {
            status = Machine::Current().UnloadDriver(service);
        } catch (...) {
            status = STATUS_UNSUCCESSFUL;  // a bug check in the unload: the machine goes anyway
        }
        if (!NT_SUCCESS(status)) {
            // The driver refused; the machine goes away regardless.
            detail::IoUnloadChecks(service);
            std::shared_ptr<DriverRecord> record;
            {
                std::lock_guard<std::mutex> lock(g_drivers->mutex);
                auto it = g_drivers->drivers.find(Upcase(service));
                if (it != g_drivers->drivers.end()) record = it->second;
            }
            if (record) Retire(record);
        }
    }
    g_drivers.reset();
}

std::shared_ptr<DriverRecord> FindDriverByObject(PDRIVER_OBJECT driver) {
    if (!g_drivers || !driver) return nullptr;
    std::lock_guard<std::mutex> lock(g_drivers->mutex);
    for (auto& [key, record] : g_drivers->drivers)
        if (&record->object == driver) return record;
    return nullptr;
}

std::vector<std::u16string> ActiveDrivers() {
    std::vector<std::u16string> out;
    if (!g_drivers) return out;
    std::lock_guard<std::mutex> lock(g_drivers->mutex);
    for (auto& [key, record] : g_drivers->drivers) out.push_back(record->service);
    return out;
}

bool DriverImageKnown(const std::u16string& imageName) {
    DriverState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.images.find(Upcase(imageName));
    return it != s.images.end() && it->second != nullptr;
}

}  // namespace winsim::io

// ---------------------------------------------------------------- test controls
namespace winsim {

void Machine::RegisterDriverImage(const std::u16string& imageName, PDRIVER_INITIALIZE entry) {
    io::DriverState& s = io::State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.images[io::Upcase(imageName)] = entry;
}

NTSTATUS Machine::LoadDriver(const std::u16string& serviceName, const std::u16string& imageName) {
    io::DriverState& s = io::State();
    auto record = std::make_shared<io::DriverRecord>();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto image = s.images.find(io::Upcase(imageName));
        if (image == s.images.end() || !image->second) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (s.drivers.count(io::Upcase(serviceName))) return WINSIM_STATUS_IMAGE_ALREADY_LOADED;
        record->service = serviceName;
        record->image = imageName;
        record->entry = image->second;
        record->state = io::DriverRecord::State::Loading;
        s.drivers[io::Upcase(serviceName)] = record;
    }

    ULONG type;
    try {
        type = io::PrepareServiceKey(serviceName, imageName);
    } catch (...) {
        io::Retire(record);
        throw;
    }
    record->driverName =
        (type == io::kServiceKernelDriver ? u"\\Driver\\" : u"\\FileSystem\\") + serviceName;
    record->registryPath = io::ServiceKey(serviceName);
    record->registryPathString.Buffer = record->registryPath.data();
    record->registryPathString.Length = (USHORT)(record->registryPath.size() * sizeof(WCHAR));
    record->registryPathString.MaximumLength = record->registryPathString.Length;

    DRIVER_OBJECT& object = record->object;
    object.Type = 4;  // IO_TYPE_DRIVER
    object.Size = (SHORT)sizeof(DRIVER_OBJECT);
    object.DriverName.Buffer = record->driverName.data();
    object.DriverName.Length = (USHORT)(record->driverName.size() * sizeof(WCHAR));
    object.DriverName.MaximumLength = object.DriverName.Length;
    object.DriverInit = record->entry;
    object.DriverStart = reinterpret_cast<PVOID>(record->entry);

    NTSTATUS status;
    try {
        status = io::CallDriver(record, [&] { return record->entry(&record->object, &record->registryPathString); });
    } catch (...) {
        io::Retire(record);
        throw;
    }
    if (!NT_SUCCESS(status)) {
        // A failed DriverEntry must leave nothing behind: check at once.
        detail::VerifierUnloadChecks(serviceName);
        io::Retire(record);
        return status;
    }
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        record->state = io::DriverRecord::State::Loaded;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Machine::UnloadDriver(const std::u16string& serviceName) {
    io::DriverState& s = io::State();
    std::shared_ptr<io::DriverRecord> record;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = s.drivers.find(io::Upcase(serviceName));
        if (it == s.drivers.end() || it->second->state != io::DriverRecord::State::Loaded)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        record = it->second;
        record->state = io::DriverRecord::State::Unloading;
    }
    auto restore = [&] {
        std::lock_guard<std::mutex> lock(s.mutex);
        record->state = io::DriverRecord::State::Loaded;
    };

    try {
        if (io::DriverHasFilter(record->service)) {
            NTSTATUS status = io::RunFilterUnload(record->service);
            if (!NT_SUCCESS(status)) {
                restore();
                return status;
            }
        } else if (!record->object.DriverUnload) {
            restore();  // a driver without an unload routine cannot be unloaded
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if (PDRIVER_UNLOAD unload = record->object.DriverUnload)
            io::CallDriver(record, [&] { unload(&record->object); });
    } catch (...) {
        restore();
        throw;
    }
    detail::VerifierUnloadChecks(record->service);
    io::Retire(record);
    return STATUS_SUCCESS;
}

bool Machine::IsDriverLoaded(const std::u16string& serviceName) const {
    if (!io::g_drivers) return false;
    std::lock_guard<std::mutex> lock(io::g_drivers->mutex);
    auto it = io::g_drivers->drivers.find(io::Upcase(serviceName));
    return it != io::g_drivers->drivers.end() && it->second->state != io::DriverRecord::State::Loading;
}

PDRIVER_OBJECT Machine::DriverObject(const std::u16string& serviceName) const {
    if (!io::g_drivers) return nullptr;
    std::lock_guard<std::mutex> lock(io::g_drivers->mutex);
    auto it = io::g_drivers->drivers.find(io::Upcase(serviceName));
    return it == io::g_drivers->drivers.end() ? nullptr : &it->second->object;
}

}  // namespace winsim

// ---------------------------------------------------------------- Windows routines
using namespace winsim;

NTSTATUS IoOpenDriverRegistryKey(PDRIVER_OBJECT driverObject, DRIVER_REGKEY_TYPE regKeyType,
                                 ACCESS_MASK desiredAccess, ULONG flags, PHANDLE driverRegKey) {
    detail::RequirePassive("IoOpenDriverRegistryKey");
    if (!driverRegKey || flags != 0) return STATUS_INVALID_PARAMETER;
    *driverRegKey = nullptr;
    auto record = io::FindDriverByObject(driverObject);
    if (!record) return STATUS_INVALID_PARAMETER;
    switch (regKeyType) {
        case DriverRegKeyParameters:
            return io::OpenKeyHandle(nullptr, record->registryPath + u"\\Parameters", desiredAccess, driverRegKey,
                                     "IoOpenDriverRegistryKey");
        case DriverRegKeyPersistentState: {
            // Mutable state lives in a key of its own, created on first use.
            std::shared_ptr<io::RegKey> key;
            NTSTATUS status = io::RegistryCreate(nullptr, record->registryPath + u"\\State", &key, nullptr);
            if (!NT_SUCCESS(status)) return status;
            return io::OpenKeyHandle(key, u"", desiredAccess, driverRegKey, "IoOpenDriverRegistryKey");
        }
        default:
            return STATUS_NOT_SUPPORTED;
    }
}
