// The registry API of user mode on the machine's one hive. HKEY_LOCAL_MACHINE is
// \Registry\Machine, HKEY_USERS \Registry\User and HKEY_CLASSES_ROOT
// \Registry\Machine\Software\Classes. RegOpenKeyExW is a process's NtOpenKey, so
// the drivers' registry callbacks see it (Machine::OpenKey); the key handles live
// in the process's user handle table. Results are Windows error codes.
#include <cstring>

#include "winsim/um/services.h"
#include "winsim/um/um_internal.h"

namespace winsim::um {
namespace {

constexpr size_t kMaxValueName = 16383;

// HKEY_CLASSES_ROOT to HKEY_CURRENT_CONFIG and the rest of that range.
bool Predefined(HKEY key) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(key);
    return value >= reinterpret_cast<uintptr_t>(HKEY_CLASSES_ROOT) && value < reinterpret_cast<uintptr_t>(HKEY_CLASSES_ROOT) + 0x10;
}

// The absolute kernel path of a key handle, or a Windows error.
LSTATUS BasePath(HKEY key, std::u16string* path, std::shared_ptr<io::KeyObject>* object) {
    if (key == HKEY_LOCAL_MACHINE) {
        *path = u"\\Registry\\Machine";
        return ERROR_SUCCESS;
    }
    if (key == HKEY_USERS) {
        *path = u"\\Registry\\User";
        return ERROR_SUCCESS;
    }
    if (key == HKEY_CLASSES_ROOT) {
        *path = u"\\Registry\\Machine\\Software\\Classes";
        return ERROR_SUCCESS;
    }
    if (Predefined(key)) return ERROR_INVALID_HANDLE;
    auto opened = ReferenceUserHandleAs<io::KeyObject>(key, HandleKind::Registry);
    if (!opened) return ERROR_INVALID_HANDLE;
    *path = io::RegistryKeyPath(opened->key);
    if (path->empty()) return ERROR_KEY_DELETED;
    if (object) *object = opened;
    return ERROR_SUCCESS;
}

// path\subKey, or a Windows error for a malformed subkey.
LSTATUS Join(const std::u16string& base, const WCHAR* subKey, bool create, std::u16string* full) {
    std::u16string rest = subKey ? std::u16string(reinterpret_cast<const char16_t*>(subKey)) : std::u16string();
    if (!rest.empty() && rest[0] == u'\\') {
        if (create) return ERROR_BAD_PATHNAME;
        rest.erase(0, 1);
    }
    while (!rest.empty() && rest.back() == u'\\') rest.pop_back();
    for (size_t start = 0; start < rest.size();) {
        size_t end = rest.find(u'\\', start);
        if (end == std::u16string::npos) end = rest.size();
        if (end == start) return ERROR_INVALID_NAME;  // an empty component
        if (end - start > 255) return ERROR_INVALID_PARAMETER;
        start = end + 1;
    }
    *full = rest.empty() ? base : base + u"\\" + rest;
    return ERROR_SUCCESS;
}

ACCESS_MASK MapAccess(ACCESS_MASK access) {
    if (access & GENERIC_READ) access |= KEY_READ;
    if (access & GENERIC_WRITE) access |= KEY_WRITE;
    if (access & GENERIC_EXECUTE) access |= KEY_READ;
    if (access & GENERIC_ALL) access |= KEY_ALL_ACCESS;
    return access & ~(ACCESS_MASK)(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

HKEY NewKeyHandle(const std::shared_ptr<io::KeyObject>& object, const char* routine) {
    return reinterpret_cast<HKEY>(InsertUserHandle(HandleKind::Registry, object, {}, routine));
}

// A process's open of an existing key: through the registry callbacks.
LSTATUS OpenExisting(const std::u16string& path, ACCESS_MASK access, HKEY* result) {
    KeyOpenRequest request;
    request.name = path;
    request.desiredAccess = MapAccess(access);
    HANDLE kernelSide = nullptr;
    NTSTATUS status = Machine::Current().OpenKey(CurrentUserProcess(), request, &kernelSide);
    if (!NT_SUCCESS(status)) return static_cast<LSTATUS>(ErrorOf(status));
    auto object = detail::ReferenceHandleAs<io::KeyObject>(kernelSide);
    detail::CloseHandleEntry(kernelSide);
    if (!object) return ERROR_INVALID_HANDLE;
    object->access = MapAccess(access);
    *result = NewKeyHandle(object, "RegOpenKeyExW");
    return ERROR_SUCCESS;
}

std::shared_ptr<io::KeyObject> OpenedKey(HKEY key, LSTATUS* error) {
    std::u16string path;
    std::shared_ptr<io::KeyObject> object;
    *error = BasePath(key, &path, &object);
    if (*error != ERROR_SUCCESS) return nullptr;
    if (!object) {  // a predefined key: its key object
        object = std::make_shared<io::KeyObject>();
        if (!NT_SUCCESS(io::RegistryOpen(nullptr, path, &object->key))) {
            *error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        object->access = KEY_ALL_ACCESS;
    }
    return object;
}

}  // namespace
}  // namespace winsim::um

using namespace winsim;
using namespace winsim::um;

LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desiredAccess, PHKEY result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (options & ~(DWORD)REG_OPTION_OPEN_LINK) return ERROR_INVALID_PARAMETER;
    std::u16string base, full;
    LSTATUS error = BasePath(key, &base, nullptr);
    if (error != ERROR_SUCCESS) return error;
    error = Join(base, subKey, false, &full);
    if (error != ERROR_SUCCESS) return error;
    return OpenExisting(full, desiredAccess, result);
}

LSTATUS WINAPI RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                               REGSAM desiredAccess, LPSECURITY_ATTRIBUTES securityAttributes, PHKEY result,
                               LPDWORD disposition) {
    (void)keyClass;
    (void)securityAttributes;
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (reserved != 0 || !subKey) return ERROR_INVALID_PARAMETER;
    // Volatile and non-volatile keys look alike while the machine runs.
    if (options & ~(DWORD)(REG_OPTION_VOLATILE | REG_OPTION_BACKUP_RESTORE | REG_OPTION_CREATE_LINK))
        return ERROR_INVALID_PARAMETER;
    std::u16string base, full;
    std::shared_ptr<io::KeyObject> parent;
    LSTATUS error = BasePath(key, &base, &parent);
    if (error != ERROR_SUCCESS) return error;
    error = Join(base, subKey, true, &full);
    if (error != ERROR_SUCCESS) return error;

    std::shared_ptr<io::RegKey> existing;
    const bool exists = NT_SUCCESS(io::RegistryOpen(nullptr, full, &existing));
    // Creating below an opened key takes the right to create subkeys there.
    if (!exists && parent && !(parent->access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    auto object = std::make_shared<io::KeyObject>();
    if (!exists) {
        NTSTATUS status = io::RegistryCreate(nullptr, full, &object->key, nullptr);
        if (!NT_SUCCESS(status)) return static_cast<LSTATUS>(ErrorOf(status));
    } else {
        object->key = existing;
    }
    object->access = MapAccess(desiredAccess);
    if (disposition) *disposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    *result = NewKeyHandle(object, "RegCreateKeyExW");
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                              DWORD dataSize) {
    if (reserved != 0) return ERROR_INVALID_PARAMETER;
    LSTATUS error;
    auto object = OpenedKey(key, &error);
    if (!object) return error;
    if (!(object->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    DWORD injected = 0;
    if (ShouldFailUser(UserFault::RegSetValue, &injected)) return static_cast<LSTATUS>(injected);
    std::u16string name = valueName ? std::u16string(reinterpret_cast<const char16_t*>(valueName)) : std::u16string();
    if (name.size() > kMaxValueName) return ERROR_INVALID_PARAMETER;
    if (!data && dataSize != 0) return ERROR_NOACCESS;
    NTSTATUS status = io::RegistrySetValue(object->key, name, type, data, dataSize);
    return NT_SUCCESS(status) ? ERROR_SUCCESS : static_cast<LSTATUS>(ErrorOf(status));
}

LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD dataSize) {
    if (reserved) return ERROR_INVALID_PARAMETER;
    if (data && !dataSize) return ERROR_INVALID_PARAMETER;
    LSTATUS error;
    auto object = OpenedKey(key, &error);
    if (!object) return error;
    if (!(object->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    std::u16string name = valueName ? std::u16string(reinterpret_cast<const char16_t*>(valueName)) : std::u16string();
    io::RegValue value;
    NTSTATUS status = io::RegistryQueryValue(object->key, name, &value);
    if (!NT_SUCCESS(status)) return static_cast<LSTATUS>(ErrorOf(status));
    if (type) *type = value.type;
    const DWORD size = static_cast<DWORD>(value.data.size());
    if (!dataSize) return ERROR_SUCCESS;
    if (data && *dataSize < size) {
        *dataSize = size;
        return ERROR_MORE_DATA;
    }
    if (data && size) std::memcpy(data, value.data.data(), size);
    *dataSize = size;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
    if (Predefined(key)) return ERROR_SUCCESS;
    return CloseUserHandle(key, HandleKind::Registry) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS WINAPI RegDeleteValueW(HKEY key, LPCWSTR valueName) {
    LSTATUS error;
    auto object = OpenedKey(key, &error);
    if (!object) return error;
    if (!(object->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    std::u16string name = valueName ? std::u16string(reinterpret_cast<const char16_t*>(valueName)) : std::u16string();
    NTSTATUS status = io::RegistryDeleteValue(object->key, name);
    return NT_SUCCESS(status) ? ERROR_SUCCESS : static_cast<LSTATUS>(ErrorOf(status));
}

LSTATUS WINAPI RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
    if (!subKey) return ERROR_INVALID_PARAMETER;
    std::u16string base, full;
    LSTATUS error = BasePath(key, &base, nullptr);
    if (error != ERROR_SUCCESS) return error;
    error = Join(base, subKey, false, &full);
    if (error != ERROR_SUCCESS) return error;
    std::shared_ptr<io::RegKey> target;
    NTSTATUS status = io::RegistryOpen(nullptr, full, &target);
    if (!NT_SUCCESS(status)) return static_cast<LSTATUS>(ErrorOf(status));
    // Only a key without subkeys can be deleted this way.
    if (!io::RegistrySubkeyNames(target).empty()) return ERROR_ACCESS_DENIED;
    status = io::RegistryDeleteTree(target);
    return NT_SUCCESS(status) ? ERROR_SUCCESS : static_cast<LSTATUS>(ErrorOf(status));
}

LSTATUS WINAPI RegDeleteTreeW(HKEY key, LPCWSTR subKey) {
    std::u16string base, full;
    LSTATUS error = BasePath(key, &base, nullptr);
    if (error != ERROR_SUCCESS) return error;
    error = Join(base, subKey, false, &full);
    if (error != ERROR_SUCCESS) return error;
    std::shared_ptr<io::RegKey> target;
    NTSTATUS status = io::RegistryOpen(nullptr, full, &target);
    if (!NT_SUCCESS(status)) return static_cast<LSTATUS>(ErrorOf(status));
    if (subKey && subKey[0]) {
        // The named key goes with everything below it.
        status = io::RegistryDeleteTree(target);
    } else {
        // Without a subkey the key stays and loses its subkeys and values.
        for (auto& child : io::RegistrySubkeyNames(target)) {
            std::shared_ptr<io::RegKey> sub;
            if (NT_SUCCESS(io::RegistryOpen(target, child, &sub))) io::RegistryDeleteTree(sub);
        }
        status = io::RegistryDeleteValues(target);
    }
    return NT_SUCCESS(status) ? ERROR_SUCCESS : static_cast<LSTATUS>(ErrorOf(status));
}
