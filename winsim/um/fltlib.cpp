// LoadLibraryW / GetProcAddress / FreeLibrary for the one system library the
// control library loads (fltlib.dll), and fltlib's four port routines over the
// machine's filter communication ports.
//
// Results are fltlib's: a driver status below zero comes back as
// HRESULT_FROM_WIN32(RtlNtStatusToDosError(status)); the returned length is
// written only for success and warning statuses (a warning is still a failing
// HRESULT); a receive pending on a handle that another thread closes ends with
// HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED) (0x800703E3), while a call on a
// handle that is no longer open gets E_HANDLE.
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>

#include "winsim/um/um_internal.h"

namespace winsim::um {

ULONG DosErrorOf(NTSTATUS status) {
    if (status == STATUS_SUCCESS) return ERROR_SUCCESS;
    switch (static_cast<uint32_t>(status)) {
        case 0x80000005u: return ERROR_MORE_DATA;            // STATUS_BUFFER_OVERFLOW
        case 0x8000001Au: return ERROR_NO_MORE_ITEMS;        // STATUS_NO_MORE_ENTRIES
        case 0x80000002u: return ERROR_NOACCESS;             // STATUS_DATATYPE_MISALIGNMENT
        case 0xC0000001u: return ERROR_GEN_FAILURE;          // STATUS_UNSUCCESSFUL
        case 0xC0000002u: return ERROR_INVALID_FUNCTION;     // STATUS_NOT_IMPLEMENTED
        case 0xC0000004u: return ERROR_BAD_LENGTH;           // STATUS_INFO_LENGTH_MISMATCH
        case 0xC0000005u: return ERROR_NOACCESS;             // STATUS_ACCESS_VIOLATION
        case 0xC0000008u: return ERROR_INVALID_HANDLE;       // STATUS_INVALID_HANDLE
        case 0xC000000Du: return ERROR_INVALID_PARAMETER;    // STATUS_INVALID_PARAMETER
        case 0xC000000Eu: return ERROR_FILE_NOT_FOUND;       // STATUS_NO_SUCH_DEVICE
        case 0xC000000Fu: return ERROR_FILE_NOT_FOUND;       // STATUS_NO_SUCH_FILE
        case 0xC0000010u: return ERROR_INVALID_FUNCTION;     // STATUS_INVALID_DEVICE_REQUEST
        case 0xC0000017u: return ERROR_NOT_ENOUGH_MEMORY;    // STATUS_NO_MEMORY
        case 0xC0000022u: return ERROR_ACCESS_DENIED;        // STATUS_ACCESS_DENIED
        case 0xC0000023u: return ERROR_INSUFFICIENT_BUFFER;  // STATUS_BUFFER_TOO_SMALL
        case 0xC0000024u: return ERROR_INVALID_HANDLE;       // STATUS_OBJECT_TYPE_MISMATCH
        case 0xC0000033u: return ERROR_INVALID_NAME;         // STATUS_OBJECT_NAME_INVALID
        case 0xC0000034u: return ERROR_FILE_NOT_FOUND;       // STATUS_OBJECT_NAME_NOT_FOUND
        case 0xC0000035u: return ERROR_ALREADY_EXISTS;       // STATUS_OBJECT_NAME_COLLISION
        case 0xC0000037u: return ERROR_INVALID_HANDLE;       // STATUS_PORT_DISCONNECTED
        case 0xC000003Au: return ERROR_PATH_NOT_FOUND;       // STATUS_OBJECT_PATH_NOT_FOUND
        case 0xC0000043u: return ERROR_SHARING_VIOLATION;    // STATUS_SHARING_VIOLATION
        case 0xC0000056u: return ERROR_ACCESS_DENIED;        // STATUS_DELETE_PENDING
        case 0xC000009Au: return ERROR_NO_SYSTEM_RESOURCES;  // STATUS_INSUFFICIENT_RESOURCES
        case 0xC00000BBu: return ERROR_NOT_SUPPORTED;        // STATUS_NOT_SUPPORTED
        case 0xC00000E5u: return ERROR_INTERNAL_ERROR;       // STATUS_INTERNAL_ERROR
        case 0xC0000120u: return ERROR_OPERATION_ABORTED;    // STATUS_CANCELLED
        case 0xC0000225u: return ERROR_NOT_FOUND;            // STATUS_NOT_FOUND
        case 0xC0000246u: return ERROR_CONNECTION_COUNT_LIMIT;  // STATUS_CONNECTION_COUNT_LIMIT
        default: break;
    }
    // Success and informational statuses have no error; anything unknown maps to
    // ERROR_MR_MID_NOT_FOUND, as on Windows.
    return NT_SUCCESS(status) ? ERROR_SUCCESS : ERROR_MR_MID_NOT_FOUND;
}

namespace {

constexpr HRESULT kNoWaiterForReply = static_cast<HRESULT>(0x801F0020L);  // ERROR_FLT_NO_WAITER_FOR_REPLY

struct ModuleObject : detail::KObject {
    const char* TypeName() const override { return "Module"; }
    std::u16string name;
    unsigned references = 1;  // LoadLibraryW calls not yet matched by FreeLibrary (under g_modulesMu)
};

std::mutex g_modulesMu;
// Per process: the loaded module's handle.
std::map<std::pair<PEPROCESS, std::u16string>, HANDLE> g_modules;

struct PortObject : detail::KObject {
    const char* TypeName() const override { return "FilterPort"; }
    PortConnection* connection = nullptr;
    std::u16string portName;
    // Under WaitMutex():
    bool closed = false;
    std::deque<std::vector<uint8_t>> messages;
    ULONGLONG nextMessageId = 1;
};

std::mutex g_portsMu;
std::set<std::shared_ptr<PortObject>> g_ports;  // open user-mode port handles

HRESULT FromStatus(NTSTATUS status) { return HRESULT_FROM_WIN32(DosErrorOf(status)); }

std::u16string Leaf(LPCWSTR name) {
    std::u16string n(name);
    size_t slash = n.find_last_of(u"\\/");
    if (slash != std::u16string::npos) n = n.substr(slash + 1);
    return n;
}

}  // namespace

void PortsBoot() {
    {
        std::lock_guard<std::mutex> lock(g_portsMu);
        g_ports.clear();
    }
    std::lock_guard<std::mutex> lock(g_modulesMu);
    g_modules.clear();
}

void PortsShutdown() { PortsBoot(); }

}  // namespace winsim::um

namespace winsim {

uint32_t Machine::DosErrorOf(NTSTATUS status) { return um::DosErrorOf(status); }

size_t Machine::PostPortMessage(const std::u16string& portName, const void* body, uint32_t size) {
    std::vector<std::shared_ptr<um::PortObject>> ports;
    {
        std::lock_guard<std::mutex> lock(um::g_portsMu);
        for (auto& p : um::g_ports)
            if (detail::EqualsNoCase(p->portName, portName)) ports.push_back(p);
    }
    size_t delivered = 0;
    {
        std::lock_guard<std::mutex> lock(detail::WaitMutex());
        for (auto& p : ports) {
            if (p->closed) continue;
            const auto* bytes = static_cast<const uint8_t*>(body);
            p->messages.emplace_back(bytes, bytes + size);
            ++delivered;
        }
    }
    detail::NotifyWaiters();
    return delivered;
}

}  // namespace winsim

using namespace winsim::um;

HMODULE WINAPI LoadLibraryW(LPCWSTR fileName) {
    DWORD error = 0;
    if (ShouldFailUser(winsim::UserFault::LoadLibrary, &error)) {
        SetError(error);
        return nullptr;
    }
    if (fileName == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::u16string leaf = Leaf(fileName);
    if (!winsim::detail::EqualsNoCase(leaf, u"fltlib.dll") && !winsim::detail::EqualsNoCase(leaf, u"fltlib")) {
        SetError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    PEPROCESS process = CurrentUserProcess();
    std::lock_guard<std::mutex> lock(g_modulesMu);
    auto key = std::make_pair(process, std::u16string(u"fltlib.dll"));
    auto it = g_modules.find(key);
    if (it != g_modules.end()) {
        auto module = ReferenceUserHandleAs<ModuleObject>(it->second, HandleKind::Module);
        if (module) {
            ++module->references;
            SetError(0);
            return static_cast<HMODULE>(it->second);
        }
    }
    auto module = std::make_shared<ModuleObject>();
    module->name = u"fltlib.dll";
    HANDLE h = InsertUserHandle(
        HandleKind::Module, module,
        [key] {
            std::lock_guard<std::mutex> inner(g_modulesMu);
            g_modules.erase(key);
        },
        "LoadLibraryW fltlib.dll", process);
    g_modules[key] = h;
    SetError(0);
    return static_cast<HMODULE>(h);
}

BOOL WINAPI FreeLibrary(HMODULE module) {
    auto object = ReferenceUserHandleAs<ModuleObject>(module, HandleKind::Module);
    if (!object) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    bool last;
    {
        std::lock_guard<std::mutex> lock(g_modulesMu);
        last = --object->references == 0;
    }
    if (last) CloseUserHandle(module, HandleKind::Module);
    return TRUE;
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName) {
    if (moduleName != nullptr) {
        std::u16string leaf = Leaf(moduleName);
        if (winsim::detail::EqualsNoCase(leaf, u"fltlib.dll") || winsim::detail::EqualsNoCase(leaf, u"fltlib")) {
            std::lock_guard<std::mutex> lock(g_modulesMu);
            auto it = g_modules.find(std::make_pair(CurrentUserProcess(), std::u16string(u"fltlib.dll")));
            if (it != g_modules.end()) return static_cast<HMODULE>(it->second);
        }
    }
    SetError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

BOOL WINAPI DisableThreadLibraryCalls(HMODULE module) {
    (void)module;
    return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
    DWORD error = 0;
    if (ShouldFailUser(winsim::UserFault::GetProcAddress, &error)) {
        SetError(error);
        return nullptr;
    }
    if (!ReferenceUserHandleAs<ModuleObject>(module, HandleKind::Module)) {
        SetError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // An ordinal (a value below 64K in place of a name) is not exported by name.
    if (procName == nullptr || reinterpret_cast<uintptr_t>(procName) < 0x10000) {
        SetError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    void* entry = nullptr;
    if (std::strcmp(procName, "FilterConnectCommunicationPort") == 0)
        entry = reinterpret_cast<void*>(&FilterConnectCommunicationPort);
    else if (std::strcmp(procName, "FilterSendMessage") == 0)
        entry = reinterpret_cast<void*>(&FilterSendMessage);
    else if (std::strcmp(procName, "FilterGetMessage") == 0)
        entry = reinterpret_cast<void*>(&FilterGetMessage);
    else if (std::strcmp(procName, "FilterReplyMessage") == 0)
        entry = reinterpret_cast<void*>(&FilterReplyMessage);
    if (!entry) {
        SetError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(entry);
}

HRESULT WINAPI FilterConnectCommunicationPort(LPCWSTR portName, DWORD options, LPCVOID context, WORD sizeOfContext,
                                              LPSECURITY_ATTRIBUTES securityAttributes, HANDLE* port) {
    (void)options;
    (void)securityAttributes;
    if (port == nullptr || portName == nullptr) return E_INVALIDARG;
    *port = INVALID_HANDLE_VALUE;
    DWORD error = 0;
    if (ShouldFailUser(winsim::UserFault::PortConnect, &error)) return HRESULT_FROM_WIN32(error);
    PEPROCESS process = CurrentUserProcess();
    winsim::PortConnection* connection = nullptr;
    NTSTATUS status = winsim::Machine::Current().ConnectPort(process, portName, context, sizeOfContext, &connection);
    if (!NT_SUCCESS(status)) return FromStatus(status);
    auto object = std::make_shared<PortObject>();
    object->connection = connection;
    object->portName = portName;
    {
        std::lock_guard<std::mutex> lock(g_portsMu);
        g_ports.insert(object);
    }
    std::weak_ptr<PortObject> weak = object;
    *port = InsertUserHandle(
        HandleKind::Object, object,
        [weak] {
            std::shared_ptr<PortObject> p = weak.lock();
            if (!p) return;
            {
                std::lock_guard<std::mutex> lock(winsim::detail::WaitMutex());
                p->closed = true;  // a pending receive ends
            }
            winsim::detail::NotifyWaiters();
            {
                std::lock_guard<std::mutex> lock(g_portsMu);
                g_ports.erase(p);
            }
            if (winsim::Machine::Running()) winsim::Machine::Current().ClosePort(p->connection);
        },
        "FilterConnectCommunicationPort " + winsim::detail::ToUtf8(std::u16string(portName)), process);
    return S_OK;
}

HRESULT WINAPI FilterSendMessage(HANDLE port, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                                 DWORD outBufferSize, LPDWORD bytesReturned) {
    auto object = ReferenceUserHandleAs<PortObject>(port, HandleKind::Object);
    if (!object) return E_HANDLE;
    if (bytesReturned == nullptr) return HRESULT_FROM_WIN32(ERROR_NOACCESS);
    uint32_t returned = 0;
    NTSTATUS status = winsim::Machine::Current().SendMessage(object->connection, inBuffer, inBufferSize, outBuffer,
                                                             outBufferSize, &returned);
    if (NT_SUCCESS(status)) {
        *bytesReturned = returned;
        return S_OK;
    }
    // A warning (0x8xxxxxxx) still hands back the length, e.g. the size a buffer needs.
    if ((static_cast<uint32_t>(status) >> 30) == 2) *bytesReturned = returned;
    return FromStatus(status);
}

HRESULT WINAPI FilterGetMessage(HANDLE port, PFILTER_MESSAGE_HEADER messageBuffer, DWORD messageBufferSize,
                                LPOVERLAPPED overlapped) {
    auto object = ReferenceUserHandleAs<PortObject>(port, HandleKind::Object);
    if (!object) return E_HANDLE;
    // Asynchronous receives are not modelled.
    if (overlapped != nullptr) return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
    if (messageBuffer == nullptr) return E_INVALIDARG;
    if (messageBufferSize < sizeof(FILTER_MESSAGE_HEADER)) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    std::vector<uint8_t> message;
    ULONGLONG id = 0;
    bool closed = false;
    PortObject* p = object.get();
    UserWait(
        [&] {
            if (p->closed) {
                closed = true;
                return true;
            }
            if (p->messages.empty()) return false;
            message = std::move(p->messages.front());
            p->messages.pop_front();
            id = p->nextMessageId++;
            return true;
        },
        INFINITE);
    if (closed) return HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED);
    FILTER_MESSAGE_HEADER header{};
    header.ReplyLength = 0;  // nobody waits for a reply
    header.MessageId = id;
    std::memcpy(messageBuffer, &header, sizeof header);
    size_t room = messageBufferSize - sizeof header;
    // A body longer than the buffer is cut at it.
    std::memcpy(reinterpret_cast<uint8_t*>(messageBuffer) + sizeof header, message.data(),
                message.size() < room ? message.size() : room);
    return S_OK;
}

HRESULT WINAPI FilterReplyMessage(HANDLE port, PFILTER_REPLY_HEADER replyBuffer, DWORD replyBufferSize) {
    auto object = ReferenceUserHandleAs<PortObject>(port, HandleKind::Object);
    if (!object) return E_HANDLE;
    if (replyBuffer == nullptr || replyBufferSize < sizeof(FILTER_REPLY_HEADER)) return E_INVALIDARG;
    // Messages posted here never wait for a reply.
    return kNoWaiterForReply;
}
