// The handle table, the named-object directory, and events.
//
// A KEVENT's state lives in its own 24 opaque bytes, laid out like the dispatcher
// header (type, size, signal state), so an event on the stack or in pool needs no
// registration and can be re-initialised at will. All event state is read and
// written under the wait lock, which is what makes KeSetEvent and a waiter on
// another thread meet without a lost wake-up.
#include <cstring>

#include "winsim/core/core.h"

namespace winsim::detail {

namespace {

// Offsets inside KEVENT::Opaque.
constexpr size_t kTypeOffset = 0;
constexpr size_t kSizeOffset = 2;     // sizeof(KEVENT) / sizeof(LONG), as the real header stores
constexpr size_t kSignalOffset = 4;   // LONG SignalState
constexpr size_t kMarkerOffset = 8;   // marks an initialised event
constexpr UCHAR kEventSize = sizeof(KEVENT) / sizeof(LONG);
constexpr uint32_t kEventMarker = 0x4576656EU;

struct EventObject : KObject {
    KEVENT event;
    const char* TypeName() const override { return "Event"; }
};

std::u16string NameKey(const std::u16string& name) {
    std::u16string key = name;
    for (auto& c : key) c = RtlUpcaseUnicodeChar(c);
    return key;
}

void WriteEventLocked(PRKEVENT event, EVENT_TYPE type, LONG state) {
    std::memset(event->Opaque, 0, sizeof event->Opaque);
    event->Opaque[kTypeOffset] = static_cast<UCHAR>(type);
    event->Opaque[kSizeOffset] = kEventSize;
    std::memcpy(event->Opaque + kSignalOffset, &state, sizeof state);
    std::memcpy(event->Opaque + kMarkerOffset, &kEventMarker, sizeof kEventMarker);
}

bool IsEventLocked(const KEVENT* event) {
    uint32_t marker;
    std::memcpy(&marker, event->Opaque + kMarkerOffset, sizeof marker);
    return marker == kEventMarker && event->Opaque[kSizeOffset] == kEventSize;
}

LONG SignalLocked(const KEVENT* event) {
    LONG state;
    std::memcpy(&state, event->Opaque + kSignalOffset, sizeof state);
    return state;
}

void SetSignalLocked(PRKEVENT event, LONG state) {
    std::memcpy(event->Opaque + kSignalOffset, &state, sizeof state);
}

EVENT_TYPE TypeLocked(const KEVENT* event) { return static_cast<EVENT_TYPE>(event->Opaque[kTypeOffset]); }

// Checks the event under the wait lock; records a violation (after dropping the
// lock) when it was never initialised.
bool CheckEvent(std::unique_lock<std::mutex>& lock, const KEVENT* event, const char* routine) {
    if (event != nullptr && IsEventLocked(event)) return true;
    lock.unlock();
    Violation(std::string(routine) + " on " + Hex(reinterpret_cast<uintptr_t>(event)) +
              ", which is not an initialised KEVENT");
    return false;
}

PKEVENT CreateNamedEvent(PUNICODE_STRING eventName, PHANDLE eventHandle, EVENT_TYPE type, const char* routine) {
    RequirePassive(routine);
    if (eventHandle) *eventHandle = nullptr;
    if (eventName == nullptr || eventName->Buffer == nullptr || eventName->Length == 0 || eventHandle == nullptr) {
        Violation(std::string(routine) + " with a missing event name or handle pointer");
        return nullptr;
    }
    if (ShouldFail(FaultClass::Registration, routine)) return nullptr;
    std::u16string name(reinterpret_cast<const char16_t*>(eventName->Buffer), eventName->Length / sizeof(WCHAR));
    bool created = false;
    std::shared_ptr<KObject> object = CreateOrOpenNamedEvent(name, type, true, &created);
    if (!object) return nullptr;  // the name belongs to an object of another type
    *eventHandle = InsertHandle(object, true, routine);
    return EventOf(object);
}

}  // namespace

// ---------------------------------------------------------------- handles

HANDLE InsertHandle(std::shared_ptr<KObject> object, bool kernelHandle, const char* owner) {
    ObjectState& os = S().objects;
    std::lock_guard<std::mutex> lock(os.mu);
    uintptr_t value = os.nextHandle;
    os.nextHandle += 4;
    os.handles.emplace(value, HandleEntry{std::move(object), kernelHandle, owner ? owner : ""});
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KObject> ReferenceHandle(HANDLE handle) {
    ObjectState& os = S().objects;
    std::lock_guard<std::mutex> lock(os.mu);
    auto it = os.handles.find(reinterpret_cast<uintptr_t>(handle));
    return it == os.handles.end() ? nullptr : it->second.object;
}

bool CloseHandleEntry(HANDLE handle) {
    std::shared_ptr<KObject> object;  // released after the lock: its destructor may call back in
    ObjectState& os = S().objects;
    {
        std::lock_guard<std::mutex> lock(os.mu);
        auto it = os.handles.find(reinterpret_cast<uintptr_t>(handle));
        if (it == os.handles.end()) return false;
        object = std::move(it->second.object);
        os.handles.erase(it);
    }
    return true;
}

size_t OpenKernelHandles() {
    ObjectState& os = S().objects;
    std::lock_guard<std::mutex> lock(os.mu);
    size_t count = 0;
    for (auto& [value, entry] : os.handles) count += entry.kernel ? 1 : 0;
    return count;
}

void ObjectUnloadChecks(const std::string& driver) {
    std::map<std::string, size_t> byOwner;
    {
        ObjectState& os = S().objects;
        std::lock_guard<std::mutex> lock(os.mu);
        for (auto& [value, entry] : os.handles) {
            if (!entry.kernel) continue;
            std::string what = std::string(entry.object ? entry.object->TypeName() : "?") + " from " + entry.owner;
            byOwner[what]++;
        }
    }
    size_t total = 0;
    std::string detail;
    for (auto& [what, count] : byOwner) {
        total += count;
        detail += (detail.empty() ? "" : ", ") + std::to_string(count) + " x " + what;
    }
    if (total)
        Violation(std::to_string(total) + " kernel handle(s) left open at unload of " + driver + ": " + detail);
}

// ---------------------------------------------------------------- named objects

std::shared_ptr<KObject> LookupNamedObject(const std::u16string& fullName) {
    std::u16string key = NameKey(fullName);
    ObjectState& os = S().objects;
    std::lock_guard<std::mutex> lock(os.mu);
    auto it = os.names.find(key);
    if (it == os.names.end()) return nullptr;
    std::shared_ptr<KObject> object = it->second.lock();
    if (!object) os.names.erase(it);
    return object;
}

void InsertNamedObject(const std::u16string& fullName, std::shared_ptr<KObject> object) {
    std::u16string key = NameKey(fullName);
    ObjectState& os = S().objects;
    std::lock_guard<std::mutex> lock(os.mu);
    os.names[key] = object;
}

std::shared_ptr<KObject> CreateOrOpenNamedEvent(const std::u16string& fullName, EVENT_TYPE type, bool initialState,
                                                bool* created) {
    if (created) *created = false;
    std::u16string key = NameKey(fullName);
    ObjectState& os = S().objects;
    std::lock_guard<std::mutex> lock(os.mu);
    auto it = os.names.find(key);
    if (it != os.names.end()) {
        if (std::shared_ptr<KObject> existing = it->second.lock())
            return std::dynamic_pointer_cast<EventObject>(existing) ? existing : nullptr;
    }
    auto event = std::make_shared<EventObject>();
    {
        std::lock_guard<std::mutex> waitLock(WaitMutex());
        WriteEventLocked(&event->event, type, initialState ? 1 : 0);
    }
    os.names[key] = event;
    if (created) *created = true;
    return event;
}

PKEVENT EventOf(const std::shared_ptr<KObject>& object) {
    auto event = std::dynamic_pointer_cast<EventObject>(object);
    return event ? &event->event : nullptr;
}

std::shared_ptr<KObject> CreateEventObject(EVENT_TYPE type, bool initialState) {
    auto event = std::make_shared<EventObject>();
    std::lock_guard<std::mutex> waitLock(WaitMutex());
    WriteEventLocked(&event->event, type, initialState ? 1 : 0);
    return event;
}

bool ConsumeEventLocked(PKEVENT event) {
    if (event == nullptr || !IsEventLocked(event) || SignalLocked(event) == 0) return false;
    if (TypeLocked(event) == SynchronizationEvent) SetSignalLocked(event, 0);
    return true;
}

bool EventSignaledLocked(const KEVENT* event) {
    return event != nullptr && IsEventLocked(event) && SignalLocked(event) != 0;
}

bool SetEventStateLocked(PKEVENT event, bool signaled) {
    if (event == nullptr || !IsEventLocked(event)) return false;
    SetSignalLocked(event, signaled ? 1 : 0);
    return true;
}

// ---------------------------------------------------------------- test-side event references

struct EventRef {
    std::shared_ptr<KObject> object;
};

void FreeEventRefs(CoreState& state) {
    std::set<EventRef*> refs;
    {
        std::lock_guard<std::mutex> lock(state.eventRefsMu);
        refs.swap(state.eventRefs);
    }
    for (EventRef* ref : refs) delete ref;
}

namespace {

PKEVENT RefEvent(void* handle, const char* routine) {
    CoreState& state = S();
    std::lock_guard<std::mutex> lock(state.eventRefsMu);
    auto* ref = static_cast<EventRef*>(handle);
    if (state.eventRefs.count(ref) == 0) {
        BugCheck bc{};
        bc.report = std::string("winsim: Machine::") + routine + " with a pointer that OpenNamedEvent did not return";
        throw bc;
    }
    return EventOf(ref->object);
}

}  // namespace

}  // namespace winsim::detail

using namespace winsim::detail;

namespace winsim {

bool Machine::NamedObjectExists(const std::u16string& name) const { return LookupNamedObject(name) != nullptr; }

void* Machine::OpenNamedEvent(const std::u16string& name) {
    // As a user-mode client does with CreateEvent: open the event, or make it
    // (a non-signalled notification event) when nobody has yet.
    bool created = false;
    std::shared_ptr<KObject> object = CreateOrOpenNamedEvent(name, NotificationEvent, false, &created);
    if (!EventOf(object)) return nullptr;
    auto* ref = new EventRef{std::move(object)};
    CoreState& state = S();
    std::lock_guard<std::mutex> lock(state.eventRefsMu);
    state.eventRefs.insert(ref);
    return ref;
}

bool Machine::IsEventSignaled(void* event) const {
    PKEVENT ke = RefEvent(event, "IsEventSignaled");
    std::lock_guard<std::mutex> lock(WaitMutex());
    return SignalLocked(ke) != 0;
}

void Machine::ResetEvent(void* event) {
    PKEVENT ke = RefEvent(event, "ResetEvent");
    std::lock_guard<std::mutex> lock(WaitMutex());
    SetSignalLocked(ke, 0);
}

void Machine::CloseEvent(void* event) {
    RefEvent(event, "CloseEvent");
    CoreState& state = S();
    auto* ref = static_cast<EventRef*>(event);
    {
        std::lock_guard<std::mutex> lock(state.eventRefsMu);
        state.eventRefs.erase(ref);
    }
    delete ref;
}

}  // namespace winsim

NTSTATUS ZwClose(HANDLE handle) {
    RequirePassive("ZwClose");
    return CloseHandleEntry(handle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    if (event == nullptr) BugCheckNow(0xC4, 0, 0, 0, 0, "KeInitializeEvent with a NULL event");
    if (type != NotificationEvent && type != SynchronizationEvent)
        Violation("KeInitializeEvent with an unknown event type " + std::to_string(static_cast<int>(type)));
    std::lock_guard<std::mutex> lock(WaitMutex());
    WriteEventLocked(event, type, state ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    std::unique_lock<std::mutex> lock(WaitMutex());
    if (!CheckEvent(lock, event, "KeSetEvent")) return 0;
    LONG previous = SignalLocked(event);
    SetSignalLocked(event, 1);
    // A synchronization event releases one waiter: every waiter wakes, and the first
    // to re-check consumes the signal.
    WaitCondition().notify_all();
    return previous;
}

LONG KeResetEvent(PRKEVENT event) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    std::unique_lock<std::mutex> lock(WaitMutex());
    if (!CheckEvent(lock, event, "KeResetEvent")) return 0;
    LONG previous = SignalLocked(event);
    SetSignalLocked(event, 0);
    return previous;
}

void KeClearEvent(PRKEVENT event) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeClearEvent");
    std::unique_lock<std::mutex> lock(WaitMutex());
    if (!CheckEvent(lock, event, "KeClearEvent")) return;
    SetSignalLocked(event, 0);
}

LONG KeReadStateEvent(PRKEVENT event) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeReadStateEvent");
    std::unique_lock<std::mutex> lock(WaitMutex());
    if (!CheckEvent(lock, event, "KeReadStateEvent")) return 0;
    return SignalLocked(event);
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode, BOOLEAN alertable,
                               PLARGE_INTEGER timeout) {
    bool poll = timeout != nullptr && timeout->QuadPart == 0;
    RequireIrqlAtMost(poll ? DISPATCH_LEVEL : APC_LEVEL, poll ? "KeWaitForSingleObject (zero time-out)"
                                                             : "KeWaitForSingleObject");
    auto* event = static_cast<PRKEVENT>(object);
    {
        std::unique_lock<std::mutex> lock(WaitMutex());
        if (!CheckEvent(lock, event, "KeWaitForSingleObject")) return STATUS_INVALID_PARAMETER;
    }
    bool signaled = WaitUntil(
        [event] {
            if (SignalLocked(event) == 0) return false;
            if (TypeLocked(event) == SynchronizationEvent) SetSignalLocked(event, 0);
            return true;
        },
        timeout);
    return signaled ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

PKEVENT IoCreateNotificationEvent(PUNICODE_STRING eventName, PHANDLE eventHandle) {
    return CreateNamedEvent(eventName, eventHandle, NotificationEvent, "IoCreateNotificationEvent");
}

PKEVENT IoCreateSynchronizationEvent(PUNICODE_STRING eventName, PHANDLE eventHandle) {
    return CreateNamedEvent(eventName, eventHandle, SynchronizationEvent, "IoCreateSynchronizationEvent");
}
