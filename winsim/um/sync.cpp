// Events, waits, Sleep, CloseHandle and VirtualAlloc for user mode.
//
// A named event is the kernel's object in \BaseNamedObjects: "Global\x" and
// "Local\x" (one session here) and a bare "x" all name \BaseNamedObjects\x, so the
// library's CreateEventW and the driver's IoCreateNotificationEvent meet on one
// object, which lives as long as some handle or reference holds it.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "winsim/um/um_internal.h"

namespace winsim::um {

bool ObjectSignaledLocked(const std::shared_ptr<detail::KObject>& object) {
    if (PKEVENT event = detail::EventOf(object)) return detail::ConsumeEventLocked(event);
    if (auto thread = std::dynamic_pointer_cast<ThreadObject>(object)) return thread->ended;
    return false;
}

namespace {

bool Waitable(const std::shared_ptr<detail::KObject>& object) {
    return detail::EventOf(object) != nullptr || std::dynamic_pointer_cast<ThreadObject>(object) != nullptr;
}

// The object-directory name of a Win32 object name; empty (with the error set)
// when the name cannot be one.
std::u16string DirectoryName(LPCWSTR name) {
    std::u16string n(name);
    for (const std::u16string prefix : {u"Global\\", u"Local\\"}) {
        if (n.size() >= prefix.size() && detail::EqualsNoCase(n.substr(0, prefix.size()), prefix)) {
            n = n.substr(prefix.size());
            break;
        }
    }
    if (n.find(u'\\') != std::u16string::npos) {
        SetError(ERROR_PATH_NOT_FOUND);
        return u"";
    }
    if (n.size() > 32767) {
        SetError(ERROR_FILENAME_EXCED_RANGE);
        return u"";
    }
    return u"\\BaseNamedObjects\\" + n;
}

HANDLE CreateEventCommon(BOOL manualReset, BOOL initialState, LPCWSTR name, const char* routine) {
    DWORD error = 0;
    if (ShouldFailUser(winsim::UserFault::CreateEvent, &error)) {
        SetError(error);
        return nullptr;
    }
    EVENT_TYPE type = manualReset ? NotificationEvent : SynchronizationEvent;
    if (name == nullptr || name[0] == 0) {
        HANDLE h = InsertUserHandle(HandleKind::Object, detail::CreateEventObject(type, initialState != FALSE), {},
                                    routine);
        SetError(0);
        return h;
    }
    std::u16string full = DirectoryName(name);
    if (full.empty()) return nullptr;
    bool created = false;
    std::shared_ptr<detail::KObject> object = detail::CreateOrOpenNamedEvent(full, type, initialState != FALSE, &created);
    if (!object) {
        SetError(ERROR_INVALID_HANDLE);  // the name belongs to an object of another type
        return nullptr;
    }
    HANDLE h = InsertUserHandle(HandleKind::Object, object, {}, std::string(routine) + " " + detail::ToUtf8(full));
    SetError(created ? 0 : ERROR_ALREADY_EXISTS);
    return h;
}

struct Region {
    PEPROCESS process;
    size_t size;
};
std::mutex g_memoryMu;
std::map<void*, Region> g_regions;

}  // namespace

void MemoryRelease(PEPROCESS process) {
    std::lock_guard<std::mutex> lock(g_memoryMu);
    for (auto it = g_regions.begin(); it != g_regions.end();) {
        if (it->second.process == process) {
            std::free(it->first);
            it = g_regions.erase(it);
        } else {
            ++it;
        }
    }
}

void MemoryReport(std::vector<std::string>* violations) {
    std::map<PEPROCESS, std::pair<size_t, size_t>> byProcess;
    {
        std::lock_guard<std::mutex> lock(g_memoryMu);
        for (auto& [address, r] : g_regions) {
            byProcess[r.process].first++;
            byProcess[r.process].second += r.size;
        }
    }
    for (auto& [process, counts] : byProcess)
        violations->push_back(std::to_string(counts.first) + " VirtualAlloc region(s) (" +
                              std::to_string(counts.second) + " bytes) not released by process " +
                              std::to_string(detail::ProcessIdOf(process)));
}

}  // namespace winsim::um

namespace winsim {

size_t Machine::UserMemoryRegions(PEPROCESS process) const {
    std::lock_guard<std::mutex> lock(um::g_memoryMu);
    size_t n = 0;
    for (auto& [address, r] : um::g_regions) n += r.process == process ? 1 : 0;
    return n;
}

}  // namespace winsim

using namespace winsim::um;

BOOL WINAPI CloseHandle(HANDLE object) {
    if (object == GetCurrentProcess() || object == GetCurrentThread()) return TRUE;
    if (!CloseUserHandle(object, HandleKind::Object)) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES eventAttributes, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    (void)eventAttributes;  // access control lists are not modelled: everyone may open
    return CreateEventCommon(manualReset, initialState, name, "CreateEventW");
}

HANDLE WINAPI CreateEventExW(LPSECURITY_ATTRIBUTES eventAttributes, LPCWSTR name, DWORD flags, DWORD desiredAccess) {
    (void)eventAttributes;
    (void)desiredAccess;
    return CreateEventCommon((flags & CREATE_EVENT_MANUAL_RESET) != 0, (flags & CREATE_EVENT_INITIAL_SET) != 0, name,
                             "CreateEventExW");
}

HANDLE WINAPI OpenEventW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name) {
    (void)desiredAccess;
    (void)inheritHandle;
    if (name == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::u16string full = DirectoryName(name);
    if (full.empty()) return nullptr;
    std::shared_ptr<winsim::detail::KObject> object = winsim::detail::LookupNamedObject(full);
    if (!object) {
        SetError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if (!winsim::detail::EventOf(object)) {
        SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    SetError(0);
    return InsertUserHandle(HandleKind::Object, object, {}, "OpenEventW " + winsim::detail::ToUtf8(full));
}

BOOL WINAPI SetEvent(HANDLE event) {
    PKEVENT ke = winsim::detail::EventOf(ReferenceUserHandle(event, HandleKind::Object));
    if (!ke) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> lock(winsim::detail::WaitMutex());
        winsim::detail::SetEventStateLocked(ke, true);
    }
    winsim::detail::NotifyWaiters();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE event) {
    PKEVENT ke = winsim::detail::EventOf(ReferenceUserHandle(event, HandleKind::Object));
    if (!ke) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(winsim::detail::WaitMutex());
    winsim::detail::SetEventStateLocked(ke, false);
    return TRUE;
}

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<winsim::detail::KObject>> objects;
    for (DWORD i = 0; i < count; ++i) {
        auto object = ReferenceUserHandle(handles[i], HandleKind::Object);
        if (!object || !Waitable(object)) {
            SetError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objects.push_back(std::move(object));
    }
    DWORD which = 0;
    bool satisfied = UserWait(
        [&] {
            if (waitAll) {
                // All at once: consume only when every object is signalled.
                for (auto& o : objects) {
                    if (PKEVENT e = winsim::detail::EventOf(o)) {
                        if (!winsim::detail::EventSignaledLocked(e)) return false;
                    } else if (!ObjectSignaledLocked(o)) {
                        return false;
                    }
                }
                for (auto& o : objects) ObjectSignaledLocked(o);
                return true;
            }
            for (DWORD i = 0; i < objects.size(); ++i)
                if (ObjectSignaledLocked(objects[i])) {
                    which = i;
                    return true;
                }
            return false;
        },
        milliseconds);
    return satisfied ? WAIT_OBJECT_0 + which : WAIT_TIMEOUT;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

void WINAPI Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        if (ThreadMustEnd()) throw ThreadEnded{};
        std::this_thread::yield();
        return;
    }
    UserWait([] { return false; }, milliseconds);
}

DWORD WINAPI GetTickCount(void) {
    return static_cast<DWORD>(winsim::detail::TickCountNow() * winsim::Machine::kTimeIncrement / 10000);
}

ULONGLONG WINAPI GetTickCount64(void) {
    return winsim::detail::TickCountNow() * winsim::Machine::kTimeIncrement / 10000;
}

void WINAPI GetSystemTimeAsFileTime(LPFILETIME systemTimeAsFileTime) {
    if (!systemTimeAsFileTime) return;
    uint64_t now = winsim::detail::SystemTimeNow();
    systemTimeAsFileTime->dwLowDateTime = static_cast<DWORD>(now);
    systemTimeAsFileTime->dwHighDateTime = static_cast<DWORD>(now >> 32);
}

LPVOID WINAPI VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocationType, DWORD protect) {
    (void)protect;
    DWORD error = 0;
    if (ShouldFailUser(winsim::UserFault::VirtualAlloc, &error)) {
        SetError(error);
        return nullptr;
    }
    if (size == 0 || (allocationType & (MEM_COMMIT | MEM_RESERVE)) == 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (address != nullptr) {
        // Committing inside a region this process reserved.
        std::lock_guard<std::mutex> lock(g_memoryMu);
        for (auto& [base, r] : g_regions) {
            auto* b = static_cast<char*>(base);
            auto* a = static_cast<char*>(address);
            if (a >= b && a + size <= b + r.size && r.process == CurrentUserProcess())
                return b + ((a - b) & ~static_cast<ptrdiff_t>(4095));
        }
        SetError(ERROR_INVALID_ADDRESS);
        return nullptr;
    }
    if (size > (static_cast<SIZE_T>(1) << 40)) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    size_t rounded = (size + 4095) & ~static_cast<size_t>(4095);
    void* p = std::aligned_alloc(4096, rounded);
    if (!p) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::memset(p, 0, rounded);  // committed pages read as zero
    std::lock_guard<std::mutex> lock(g_memoryMu);
    g_regions[p] = Region{CurrentUserProcess(), rounded};
    return p;
}

BOOL WINAPI VirtualFree(LPVOID address, SIZE_T size, DWORD freeType) {
    std::unique_lock<std::mutex> lock(g_memoryMu);
    auto it = g_regions.find(address);
    if (freeType == MEM_RELEASE) {
        if (size != 0) {
            SetError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (it == g_regions.end() || it->second.process != CurrentUserProcess()) {
            SetError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
        std::free(it->first);
        g_regions.erase(it);
        return TRUE;
    }
    if (freeType == MEM_DECOMMIT) {
        for (auto& [base, r] : g_regions) {
            auto* b = static_cast<char*>(base);
            auto* a = static_cast<char*>(address);
            if (a >= b && a < b + r.size && r.process == CurrentUserProcess()) return TRUE;
        }
        SetError(ERROR_INVALID_ADDRESS);
        return FALSE;
    }
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

void WINAPI OutputDebugStringW(LPCWSTR outputString) {
    if (outputString) winsim::detail::AppendDebugOutput(winsim::detail::ToUtf8(std::u16string(outputString)));
}

void WINAPI OutputDebugStringA(LPCSTR outputString) {
    if (outputString) winsim::detail::AppendDebugOutput(outputString);
}
