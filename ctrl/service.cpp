#include "ctrl/service.h"

#include <string>

#include "ctrl/diag_log.h"
#include "ctrl/library.h"

namespace {

using WString = std::basic_string<WCHAR>;

constexpr size_t kRecordChars = sizeof(ServiceRecord::serviceName) / sizeof(WCHAR);
constexpr size_t kKeyPathChars = 260;

const WCHAR kServicesKey[] = WSTR("System\\CurrentControlSet\\Services\\");
const WCHAR kInstanceName[] = WSTR("kx4grdalttude");
const WCHAR kAltitude[] = WSTR("380830");
constexpr DWORD kDebugLevel = 3;
constexpr DWORD kProcessCreate = 0;
constexpr DWORD kInstanceFlags = 0;

// A record field up to its terminator, never past the buffer.
WString Field(const WCHAR (&buffer)[kRecordChars]) {
    size_t length = 0;
    while (length < kRecordChars && buffer[length] != 0) ++length;
    return WString(buffer, length);
}

// A key path as a 260-character buffer holds it: longer paths are cut.
WString KeyPath(const WString& service, const WCHAR* tail) {
    WString path = kServicesKey + service + tail;
    if (path.size() > kKeyPathChars - 1) path.resize(kKeyPathChars - 1);
    return path;
}

DWORD CreateKey(const WString& path, HKEY* key) {
    DWORD disposition = 0;
    return static_cast<DWORD>(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                              KEY_READ | KEY_WRITE, nullptr, key, &disposition));
}

DWORD SetString(HKEY key, const WCHAR* name, const WCHAR* text, DWORD bytesWithTerminator) {
    return static_cast<DWORD>(
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytesWithTerminator));
}

DWORD SetDword(HKEY key, const WCHAR* name, DWORD value) {
    return static_cast<DWORD>(
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value));
}

// Closes a service-manager handle that may be null.
void CloseService(SC_HANDLE handle) {
    if (handle != nullptr) CloseServiceHandle(handle);
}

}  // namespace

DWORD CServiceControl::Install(const ServiceRecord& record) {
    const WString name = Field(record.serviceName);
    const WString path = Field(record.driverPath);

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        DWORD error = GetLastError();
        return (error == 0 || error == ERROR_SERVICE_EXISTS) ? 0 : error;
    }

    SC_HANDLE service = CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr,
                                       nullptr, nullptr, nullptr);
    DWORD error = GetLastError();
    if (service != nullptr) {
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return 0;
    }
    if (error != ERROR_SERVICE_EXISTS) {
        // A service that could not be created shows at the start.
        CloseServiceHandle(manager);
        return 0;
    }

    // It exists already (an earlier installation, perhaps from another directory):
    // point it at this image and configuration.
    service = OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS);
    if (service != nullptr) {
        ChangeServiceConfigW(service, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path.c_str(),
                             nullptr, nullptr, nullptr, nullptr, nullptr, name.c_str());
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return 0;
    }
    error = GetLastError();
    CloseServiceHandle(manager);
    return (error == 0 || error == ERROR_SERVICE_EXISTS) ? 0 : error;
}

DWORD CServiceControl::Start(const ServiceRecord& record) {
    const WString name = Field(record.serviceName);

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        DWORD error = GetLastError();
        KX_LOGA("%s :: Start 1.0\n", "CServiceControl::Start");
        return error;
    }
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        DWORD error = GetLastError();
        KX_LOGA("%s :: Start 2.0\n", "CServiceControl::Start");
        CloseServiceHandle(manager);
        return error;
    }

    // A service that is still stopping from an earlier session answers "already
    // running" for a moment: give it a few short pauses.
    DWORD error = 0;
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        if (StartServiceW(service, 0, nullptr)) {
            error = 0;
            break;
        }
        error = GetLastError();
        if (error != ERROR_SERVICE_ALREADY_RUNNING) break;
        Sleep(kStartRetryDelayMs);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return error;
}

void CServiceControl::Stop(const ServiceRecord& record) {
    const WString name = Field(record.serviceName);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return;
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS);
    if (service != nullptr) {
        SERVICE_STATUS status{};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
    }
    CloseService(service);
    CloseServiceHandle(manager);
}

void CServiceControl::Remove(const ServiceRecord& record) {
    const WString name = Field(record.serviceName);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return;
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS);
    if (service != nullptr) DeleteService(service);
    CloseService(service);
    CloseServiceHandle(manager);
}

DWORD SetMiniFltSeting(const ServiceRecord& record) {
    const WString name = Field(record.serviceName);
    DWORD result = 0;
    HKEY key = nullptr;

    // Each key is closed before the next one is opened, whatever its writes did.
    if (CreateKey(KeyPath(name, WSTR("\\Instances")), &key) == ERROR_SUCCESS) {
        result = SetString(key, WSTR("DefaultInstance"), kInstanceName, sizeof kInstanceName);
        RegCloseKey(key);
        key = nullptr;
    }
    if (result == 0) {
        const WString instance = WString(WSTR("\\Instances\\")) + kInstanceName;
        if (CreateKey(KeyPath(name, instance.c_str()), &key) == ERROR_SUCCESS) {
            result = SetString(key, WSTR("Altitude"), kAltitude, sizeof kAltitude);
            if (result == 0) result = SetDword(key, WSTR("Flags"), kInstanceFlags);
            RegCloseKey(key);
            key = nullptr;
        }
    }
    if (result == 0) {
        result = CreateKey(KeyPath(name, WSTR("\\Parameters")), &key);
        if (result == 0) {
            result = SetDword(key, WSTR("DebugLevel"), kDebugLevel);
            if (result == 0) result = SetDword(key, WSTR("ProcessCreate"), kProcessCreate);
            RegCloseKey(key);
            key = nullptr;
        }
    }
    if (result == ERROR_ALREADY_EXISTS || result == ERROR_SERVICE_EXISTS) result = 0;
    return result;
}
