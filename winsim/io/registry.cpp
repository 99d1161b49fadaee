// The registry: one hive of case-insensitive keys with typed values, reached by the
// kernel through key handles (ZwOpenKey, ZwQueryValueKey) and by tests through the
// Machine's Reg* controls.
#include <cstring>
#include <stdexcept>

#include "winsim/io/io.h"

namespace winsim::io {
namespace {

struct RegistryState {
    std::mutex mutex;
    std::shared_ptr<RegKey> root;  // the object namespace root; "Registry" hangs below it
};
std::unique_ptr<RegistryState> g_registry;

RegistryState& State() {
    if (!g_registry) Machine::Current();
    return *g_registry;
}

// Splits a backslash-separated path; false when it holds an empty component.
bool Split(const std::u16string& path, std::vector<std::u16string>* parts) {
    parts->clear();
    if (path.empty()) return true;
    size_t start = 0;
    for (;;) {
        size_t end = path.find(u'\\', start);
        std::u16string part = path.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
        if (part.empty()) return false;
        parts->push_back(std::move(part));
        if (end == std::u16string::npos) return true;
        start = end + 1;
    }
}

// Resolves the starting key and the components below it (caller holds the lock).
NTSTATUS Resolve(const std::shared_ptr<RegKey>& base, const std::u16string& path, std::shared_ptr<RegKey>* start,
                 std::vector<std::u16string>* parts) {
    std::u16string rest = path;
    if (base) {
        if (base->deleted) return WINSIM_STATUS_KEY_DELETED;
        if (!rest.empty() && rest[0] == u'\\') return WINSIM_STATUS_OBJECT_PATH_SYNTAX_BAD;
        *start = base;
    } else {
        if (rest.empty() || rest[0] != u'\\') return WINSIM_STATUS_OBJECT_PATH_SYNTAX_BAD;
        rest.erase(0, 1);
        *start = g_registry->root;
    }
    if (!Split(rest, parts)) return STATUS_OBJECT_NAME_INVALID;
    if (!base && parts->empty()) return STATUS_OBJECT_NAME_INVALID;
    return STATUS_SUCCESS;
}

void MarkDeleted(RegKey* key) {
    key->deleted = true;
    for (auto& [name, child] : key->children) {
        MarkDeleted(child.get());
        child->parent = nullptr;
    }
    key->children.clear();
    key->values.clear();
}

ACCESS_MASK MapKeyAccess(ACCESS_MASK access) {
    if (access & GENERIC_READ) access |= KEY_READ;
    if (access & GENERIC_WRITE) access |= KEY_WRITE;
    if (access & GENERIC_EXECUTE) access |= KEY_READ;
    if (access & (GENERIC_ALL | 0x02000000 /* MAXIMUM_ALLOWED */)) access |= KEY_ALL_ACCESS;
    return access & ~(ACCESS_MASK)(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

std::shared_ptr<RegKey> MustCreate(const std::u16string& path) {
    std::shared_ptr<RegKey> key;
    bool created = false;
    NTSTATUS status = RegistryCreate(nullptr, path, &key, &created);
    if (!NT_SUCCESS(status)) throw std::invalid_argument("registry: bad key path " + detail::ToUtf8(path));
    return key;
}

}  // namespace

std::u16string RegistryKeyPath(const std::shared_ptr<RegKey>& key) {
    RegistryState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!key || key->deleted) return std::u16string();
    std::u16string path;
    for (const RegKey* k = key.get(); k && k->parent; k = k->parent) path = u"\\" + k->name + path;
    return path;
}

std::u16string Upcase(const std::u16string& s) {
    std::u16string out(s);
    for (auto& c : out) c = (char16_t)RtlUpcaseUnicodeChar((WCHAR)c);
    return out;
}

std::u16string ToU16(PCUNICODE_STRING s) {
    if (!s || !s->Buffer) return std::u16string();
    return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR));
}

void RegistryBoot() {
    g_registry = std::make_unique<RegistryState>();
    g_registry->root = std::make_shared<RegKey>();
    MustCreate(std::u16string(kServicesPath));
    MustCreate(u"\\Registry\\Machine\\System\\CurrentControlSet\\Control");
    MustCreate(u"\\Registry\\Machine\\Software");
    MustCreate(u"\\Registry\\User");
}

void RegistryShutdown() {
    if (!g_registry) return;
    {
        std::lock_guard<std::mutex> lock(g_registry->mutex);
        MarkDeleted(g_registry->root.get());
    }
    g_registry.reset();
}

NTSTATUS RegistryOpen(const std::shared_ptr<RegKey>& base, const std::u16string& path, std::shared_ptr<RegKey>* key) {
    RegistryState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::shared_ptr<RegKey> cur;
    std::vector<std::u16string> parts;
    NTSTATUS status = Resolve(base, path, &cur, &parts);
    if (!NT_SUCCESS(status)) return status;
    for (auto& part : parts) {
        auto it = cur->children.find(Upcase(part));
        if (it == cur->children.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        cur = it->second;
    }
    *key = cur;
    return STATUS_SUCCESS;
}

NTSTATUS RegistryCreate(const std::shared_ptr<RegKey>& base, const std::u16string& path, std::shared_ptr<RegKey>* key,
                        bool* created) {
    RegistryState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::shared_ptr<RegKey> cur;
    std::vector<std::u16string> parts;
    NTSTATUS status = Resolve(base, path, &cur, &parts);
    if (!NT_SUCCESS(status)) return status;
    bool made = false;
    for (auto& part : parts) {
        auto& slot = cur->children[Upcase(part)];
        made = !slot;
        if (made) {
            slot = std::make_shared<RegKey>();
            slot->name = part;
            slot->parent = cur.get();
        }
        cur = slot;
    }
    *key = cur;
    if (created) *created = made;
    return STATUS_SUCCESS;
}

NTSTATUS RegistrySetValue(const std::shared_ptr<RegKey>& key, const std::u16string& name, ULONG type,
                          const void* data, size_t size) {
    RegistryState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (key->deleted) return WINSIM_STATUS_KEY_DELETED;
    RegValue& v = key->values[Upcase(name)];
    v.name = name;
    v.type = type;
    v.data.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    return STATUS_SUCCESS;
}

NTSTATUS RegistryQueryValue(const std::shared_ptr<RegKey>& key, const std::u16string& name, RegValue* value) {
    RegistryState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (key->deleted) return WINSIM_STATUS_KEY_DELETED;
    auto it = key->values.find(Upcase(name));
    if (it == key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    *value = it->second;
    return STATUS_SUCCESS;
}

NTSTATUS RegistryDeleteTree(const std::shared_ptr<RegKey>& key) {
    RegistryState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (key->deleted) return WINSIM_STATUS_KEY_DELETED;
    if (!key->parent) return STATUS_ACCESS_DENIED;  // the namespace root
    key->parent->children.erase(Upcase(key->name));
    key->parent = nullptr;
    MarkDeleted(key.get());
    return STATUS_SUCCESS;
}

std::vector<std::u16string> RegistrySubkeyNames(const std::shared_ptr<RegKey>& key) {
    RegistryState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::vector<std::u16string> names;
    if (!key || key->deleted) return names;
    for (auto& [upper, child] : key->children) names.push_back(child->name);
    return names;
}

NTSTATUS RegistryDeleteValue(const std::shared_ptr<RegKey>& key, const std::u16string& name) {
    RegistryState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (key->deleted) return WINSIM_STATUS_KEY_DELETED;
    return key->values.erase(Upcase(name)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS RegistryDeleteValues(const std::shared_ptr<RegKey>& key) {
    RegistryState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (key->deleted) return WINSIM_STATUS_KEY_DELETED;
    key->values.clear();
    return STATUS_SUCCESS;
}

NTSTATUS OpenKeyHandle(const std::shared_ptr<RegKey>& base, const std::u16string& path, ACCESS_MASK access,
                       PHANDLE handle, const char* owner) {
    std::shared_ptr<RegKey> key;
    NTSTATUS status = RegistryOpen(base, path, &key);
    if (!NT_SUCCESS(status)) return status;
    auto object = std::make_shared<KeyObject>();
    object->key = key;
    object->access = MapKeyAccess(access);
    HANDLE h = detail::InsertHandle(object, true, owner);
    if (!h) return STATUS_INSUFFICIENT_RESOURCES;
    *handle = h;
    return STATUS_SUCCESS;
}

HANDLE InsertKeyHandle(const std::shared_ptr<RegKey>& key, ACCESS_MASK access, std::shared_ptr<KeyBody> body,
                       bool kernelHandle, const char* owner) {
    auto object = std::make_shared<KeyObject>();
    object->key = key;
    object->access = MapKeyAccess(access);
    object->body = std::move(body);
    return detail::InsertHandle(object, kernelHandle, owner);
}

}  // namespace winsim::io

// ---------------------------------------------------------------- test controls
namespace winsim {

void Machine::RegCreateKey(const std::u16string& path) { io::MustCreate(path); }

void Machine::RegSetDword(const std::u16string& path, const std::u16string& name, uint32_t value) {
    io::RegistrySetValue(io::MustCreate(path), name, REG_DWORD, &value, sizeof value);
}

void Machine::RegSetString(const std::u16string& path, const std::u16string& name, const std::u16string& value) {
    std::u16string text = value;
    text.push_back(u'\0');  // REG_SZ data includes the terminator
    io::RegistrySetValue(io::MustCreate(path), name, REG_SZ, text.data(), text.size() * sizeof(char16_t));
}

void Machine::RegSetBinary(const std::u16string& path, const std::u16string& name, const std::vector<uint8_t>& data) {
    io::RegistrySetValue(io::MustCreate(path), name, REG_BINARY, data.data(), data.size());
}

bool Machine::RegGetDword(const std::u16string& path, const std::u16string& name, uint32_t* value) const {
    std::shared_ptr<io::RegKey> key;
    if (!NT_SUCCESS(io::RegistryOpen(nullptr, path, &key))) return false;
    io::RegValue v;
    if (!NT_SUCCESS(io::RegistryQueryValue(key, name, &v))) return false;
    if (v.type != REG_DWORD || v.data.size() != sizeof(uint32_t)) return false;
    if (value) std::memcpy(value, v.data.data(), sizeof(uint32_t));
    return true;
}

bool Machine::RegKeyExists(const std::u16string& path) const {
    std::shared_ptr<io::RegKey> key;
    return NT_SUCCESS(io::RegistryOpen(nullptr, path, &key));
}

void Machine::RegDeleteTree(const std::u16string& path) {
    std::shared_ptr<io::RegKey> key;
    if (NT_SUCCESS(io::RegistryOpen(nullptr, path, &key))) io::RegistryDeleteTree(key);
}

}  // namespace winsim

// ---------------------------------------------------------------- Windows routines
using namespace winsim;

namespace {

// Value information layouts other than the partial one (not used by the driver).
struct KeyValueBasic {
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength;
    WCHAR Name[1];
};
struct KeyValueFull {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;
    ULONG DataLength;
    ULONG NameLength;
    WCHAR Name[1];
};

}  // namespace

NTSTATUS ZwOpenKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes) {
    detail::RequirePassive("ZwOpenKey");
    if (!keyHandle || !objectAttributes || !objectAttributes->ObjectName) return STATUS_INVALID_PARAMETER;
    *keyHandle = nullptr;
    std::shared_ptr<io::RegKey> base;
    if (objectAttributes->RootDirectory) {
        auto object = detail::ReferenceHandle(objectAttributes->RootDirectory);
        if (!object) return STATUS_INVALID_HANDLE;
        auto key = std::dynamic_pointer_cast<io::KeyObject>(object);
        if (!key) return STATUS_OBJECT_TYPE_MISMATCH;
        base = key->key;
    }
    return io::OpenKeyHandle(base, io::ToU16(objectAttributes->ObjectName), desiredAccess, keyHandle, "ZwOpenKey");
}

NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS infoClass,
                         PVOID keyValueInformation, ULONG length, PULONG resultLength) {
    detail::RequirePassive("ZwQueryValueKey");
    auto object = detail::ReferenceHandle(keyHandle);
    if (!object) return STATUS_INVALID_HANDLE;
    auto key = std::dynamic_pointer_cast<io::KeyObject>(object);
    if (!key) return STATUS_OBJECT_TYPE_MISMATCH;
    if (!(key->access & KEY_QUERY_VALUE)) return STATUS_ACCESS_DENIED;
    if (!resultLength) return STATUS_INVALID_PARAMETER;

    io::RegValue value;
    NTSTATUS status = io::RegistryQueryValue(key->key, io::ToU16(valueName), &value);
    if (!NT_SUCCESS(status)) return status;

    const ULONG dataLength = (ULONG)value.data.size();
    const ULONG nameLength = (ULONG)(value.name.size() * sizeof(WCHAR));
    auto* out = static_cast<uint8_t*>(keyValueInformation);
    ULONG header = 0, required = 0;
    switch (infoClass) {
        case KeyValuePartialInformation: {
            header = (ULONG)offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
            required = header + dataLength;
            *resultLength = required;
            if (length < header) return STATUS_BUFFER_TOO_SMALL;
            auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(out);
            info->TitleIndex = 0;
            info->Type = value.type;
            info->DataLength = dataLength;
            if (length < required) return STATUS_BUFFER_OVERFLOW;
            std::memcpy(out + header, value.data.data(), dataLength);
            return STATUS_SUCCESS;
        }
        case KeyValueBasicInformation: {
            header = (ULONG)offsetof(KeyValueBasic, Name);
            required = header + nameLength;
            *resultLength = required;
            if (length < header) return STATUS_BUFFER_TOO_SMALL;
            auto* info = reinterpret_cast<KeyValueBasic*>(out);
            info->TitleIndex = 0;
            info->Type = value.type;
            info->NameLength = nameLength;
            if (length < required) return STATUS_BUFFER_OVERFLOW;
            std::memcpy(out + header, value.name.data(), nameLength);
            return STATUS_SUCCESS;
        }
        case KeyValueFullInformation: {
            header = (ULONG)offsetof(KeyValueFull, Name);
            const ULONG dataOffset = (header + nameLength + 7) & ~7u;
            required = dataOffset + dataLength;
            *resultLength = required;
            if (length < header) return STATUS_BUFFER_TOO_SMALL;
            auto* info = reinterpret_cast<KeyValueFull*>(out);
            info->TitleIndex = 0;
            info->Type = value.type;
            info->DataOffset = dataOffset;
            info->DataLength = dataLength;
            info->NameLength = nameLength;
            if (length < required) return STATUS_BUFFER_OVERFLOW;
            std::memcpy(out + header, value.name.data(), nameLength);
            std::memcpy(out + dataOffset, value.data.data(), dataLength);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_PARAMETER;
}
