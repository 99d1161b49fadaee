// Registry callbacks (CmRegisterCallbackEx) and the key opens of simulated
// processes that run them: pre-open and post-open notifications in the opener's
// thread, the post-callback's ReturnStatus honoured only with
// STATUS_CALLBACK_BYPASS, and the key object a callback must release when it turns
// a successful open into a failure.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>

#include "winsim/io/io.h"

namespace winsim::io {

// The key object the configuration manager hands to callbacks. One reference
// belongs to the open; a handle takes it over on success.
struct KeyBody {
    std::shared_ptr<RegKey> key;
    std::atomic<long> refs{1};
    bool pinned = false;  // the \REGISTRY root: never released
};

namespace {

struct CmCallback {
    PEX_CALLBACK_FUNCTION function = nullptr;
    PVOID context = nullptr;
    std::u16string altitude;
    double altitudeValue = 0;
    int64_t cookie = 0;
    std::u16string owner;
    int inflight = 0;
    bool removed = false;
};

struct KeyName {
    UNICODE_STRING string{};
    std::u16string text;
    std::u16string owner;
};

struct CmState {
    std::mutex mutex;
    std::condition_variable drained;
    std::vector<std::shared_ptr<CmCallback>> callbacks;  // highest altitude first
    int64_t nextCookie = 0x1000;
    std::map<const void*, std::shared_ptr<KeyBody>> bodies;
    std::shared_ptr<KeyBody> root;
    std::map<const UNICODE_STRING*, std::unique_ptr<KeyName>> names;
};
std::unique_ptr<CmState> g_cm;
thread_local int t_callbackDepth = 0;

CmState& Cm() {
    if (!g_cm) Machine::Current();
    return *g_cm;
}

std::string Status(NTSTATUS status) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", (unsigned)status);
    return buf;
}

std::shared_ptr<KeyBody> NewBody(const std::shared_ptr<RegKey>& key) {
    auto body = std::make_shared<KeyBody>();
    body->key = key;
    CmState& s = Cm();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.bodies[body.get()] = body;
    return body;
}

void ForgetBody(const KeyBody* body) {
    if (!g_cm) return;
    std::lock_guard<std::mutex> lock(g_cm->mutex);
    g_cm->bodies.erase(body);
}

std::shared_ptr<KeyBody> FindBody(const void* object) {
    CmState& s = Cm();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.bodies.find(object);
    return it == s.bodies.end() ? nullptr : it->second;
}

// Calls one callback on this thread: passive level, charged to its driver.
NTSTATUS Call(CmCallback& cb, REG_NOTIFY_CLASS cls, PVOID argument) {
    DriverScope scope(&cb.owner);
    ++t_callbackDepth;
    struct Depth {
        ~Depth() { --t_callbackDepth; }
    } depth;
    return cb.function(cb.context, (PVOID)(ULONG_PTR)cls, argument);
}

// Holds a callback's rundown while one notification runs; false when it is gone.
bool Enter(CmCallback& cb) {
    CmState& s = Cm();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (cb.removed) return false;
    ++cb.inflight;
    return true;
}
void Leave(CmCallback& cb) {
    CmState& s = Cm();
    std::lock_guard<std::mutex> lock(s.mutex);
    --cb.inflight;
    s.drained.notify_all();
}

}  // namespace

KeyObject::~KeyObject() {
    if (body && !body->pinned && --body->refs == 0) ForgetBody(body.get());
}

void RegCallbacksBoot() {
    g_cm = std::make_unique<CmState>();
    std::shared_ptr<RegKey> registry;
    RegistryOpen(nullptr, u"\\Registry", &registry);
    g_cm->root = std::make_shared<KeyBody>();
    g_cm->root->key = registry;
    g_cm->root->pinned = true;
    g_cm->bodies[g_cm->root.get()] = g_cm->root;
}

void RegCallbacksShutdown() { g_cm.reset(); }

bool DereferenceKeyBody(PVOID object) {
    if (!g_cm) return false;
    auto body = FindBody(object);
    if (!body) return false;
    if (body->pinned) return true;
    long left = --body->refs;
    if (left < 0) detail::Violation("ObDereferenceObject on a key object without a reference left");
    if (left == 0) ForgetBody(body.get());
    return true;
}

void RegCallbackUnloadChecks(const std::u16string& driver) {
    if (!g_cm) return;
    std::vector<std::string> found;
    {
        std::lock_guard<std::mutex> lock(g_cm->mutex);
        for (auto it = g_cm->callbacks.begin(); it != g_cm->callbacks.end();) {
            if ((*it)->owner == driver || (*it)->owner.empty()) {
                found.push_back("registry callback still registered at unload of " + detail::ToUtf8(driver) +
                                " (CmRegisterCallbackEx, altitude " + detail::ToUtf8((*it)->altitude) + ")");
                (*it)->removed = true;
                it = g_cm->callbacks.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = g_cm->names.begin(); it != g_cm->names.end();) {
            if (it->second->owner == driver || it->second->owner.empty()) {
                found.push_back("key object name from CmCallbackGetKeyObjectIDEx never released at unload of " +
                                detail::ToUtf8(driver) + " (" + detail::ToUtf8(it->second->text) + ")");
                it = g_cm->names.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& v : found) detail::Violation(v);
}

}  // namespace winsim::io

// ---------------------------------------------------------------- test controls
namespace winsim {

NTSTATUS Machine::OpenKey(PEPROCESS process, const KeyOpenRequest& request, HANDLE* key) {
    using namespace io;
    if (key) *key = nullptr;
    CmState& s = Cm();
    ProcessScope asProcess(process);

    std::shared_ptr<RegKey> base;
    std::shared_ptr<KeyBody> root = s.root;
    if (request.parent) {
        auto parent = detail::ReferenceHandleAs<KeyObject>(request.parent);
        if (!parent) return STATUS_INVALID_HANDLE;
        base = parent->key;
        root = parent->body;
        if (!root) return STATUS_INVALID_HANDLE;  // only handles from OpenKey are parents here
    }

    std::u16string text = request.name;
    UNICODE_STRING complete;
    complete.Buffer = reinterpret_cast<PWSTR>(text.data());
    complete.MaximumLength = (USHORT)(text.size() * sizeof(WCHAR));
    complete.Length = request.nameLength >= 0 ? (USHORT)request.nameLength : complete.MaximumLength;

    REG_OPEN_KEY_INFORMATION_V1 pre{};
    PVOID resultObject = nullptr;
    pre.CompleteName = &complete;
    pre.RootObject = root.get();
    pre.DesiredAccess = request.desiredAccess;
    pre.ResultObject = &resultObject;
    pre.Version = 1;
    pre.CheckAccessMode = UserMode;

    std::vector<std::shared_ptr<CmCallback>> callbacks;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        callbacks = s.callbacks;
    }
    // Pre-notifications, highest altitude first; a failure ends the open there and
    // no post-notification follows.
    std::vector<std::pair<std::shared_ptr<CmCallback>, PVOID>> called;
    for (auto& cb : callbacks) {
        if (!Enter(*cb)) continue;
        pre.CallContext = nullptr;
        NTSTATUS status = Call(*cb, RegNtPreOpenKeyEx, &pre);
        Leave(*cb);
        if (status == STATUS_CALLBACK_BYPASS) {
            detail::Violation("a pre-open callback completing the open itself (STATUS_CALLBACK_BYPASS) is not modelled");
            return STATUS_SUCCESS;
        }
        if (!NT_SUCCESS(status)) return status;
        called.emplace_back(cb, pre.CallContext);
    }

    // The open itself, over the whole characters of the name.
    std::u16string name(text.data(), complete.Length / sizeof(WCHAR));
    std::shared_ptr<RegKey> opened;
    NTSTATUS status = RegistryOpen(base, name, &opened);
    std::shared_ptr<KeyBody> body;
    if (NT_SUCCESS(status)) body = NewBody(opened);

    std::u16string changedBy;
    for (auto& [cb, callContext] : called) {
        if (!Enter(*cb)) continue;
        REG_POST_OPERATION_INFORMATION post{};
        post.Object = status == STATUS_SUCCESS && body ? body.get() : nullptr;
        post.Status = status;
        post.PreInformation = &pre;
        post.ReturnStatus = STATUS_SUCCESS;
        post.CallContext = callContext;
        NTSTATUS returned = Call(*cb, RegNtPostOpenKeyEx, &post);
        Leave(*cb);
        // ReturnStatus counts only with STATUS_CALLBACK_BYPASS; any other value the
        // callback returns, and any ReturnStatus it set without it, are ignored.
        if (returned == STATUS_CALLBACK_BYPASS) {
            if (NT_SUCCESS(status) && !NT_SUCCESS(post.ReturnStatus)) changedBy = cb->owner;
            status = post.ReturnStatus;
        }
    }

    if (body) {
        long refs = body->refs.load();
        if (NT_SUCCESS(status)) {
            if (refs <= 0) {
                detail::Violation("a registry callback released the key object of a successful open of " +
                          detail::ToUtf8(name));
                return status;
            }
            HANDLE h = InsertKeyHandle(opened, request.desiredAccess, body, false, "OpenKey");
            if (key) *key = h;
        } else {
            if (refs > 0) {
                detail::Violation("key object leaked: a registry callback of " + detail::ToUtf8(changedBy) +
                          " turned the successful open of " + detail::ToUtf8(name) + " into " + Status(status) +
                          " without releasing the key object (ObDereferenceObject)");
            }
            ForgetBody(body.get());
        }
    }
    return status;
}

void Machine::CloseKey(HANDLE key) {
    if (!detail::CloseHandleEntry(key)) throw std::invalid_argument("CloseKey: not an open key handle");
}

size_t Machine::RegistryCallbacks() const {
    io::CmState& s = io::Cm();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.callbacks.size();
}

size_t Machine::KeyObjectsAlive() const {
    io::CmState& s = io::Cm();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.bodies.size() - 1;  // not the \REGISTRY root
}

}  // namespace winsim

// ---------------------------------------------------------------- Windows routines
using namespace winsim;

NTSTATUS CmRegisterCallbackEx(PEX_CALLBACK_FUNCTION Function, PCUNICODE_STRING Altitude, PVOID Driver, PVOID Context,
                              PLARGE_INTEGER Cookie, PVOID Reserved) {
    detail::RequireIrqlAtMost(APC_LEVEL, "CmRegisterCallbackEx");
    if (!Function || !Altitude || !Altitude->Buffer || Altitude->Length == 0 || !Cookie || Reserved)
        return STATUS_INVALID_PARAMETER;
    auto record = io::FindDriverByObject(static_cast<PDRIVER_OBJECT>(Driver));
    if (!record) return STATUS_INVALID_PARAMETER;
    if (detail::ShouldFail(FaultClass::Registration, "CmRegisterCallbackEx")) return STATUS_INSUFFICIENT_RESOURCES;

    auto cb = std::make_shared<io::CmCallback>();
    cb->function = Function;
    cb->context = Context;
    cb->altitude = io::ToU16(Altitude);
    cb->altitudeValue = std::strtod(detail::ToUtf8(cb->altitude).c_str(), nullptr);
    cb->owner = record->service;

    io::CmState& s = io::Cm();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& other : s.callbacks)
        if (other->altitudeValue == cb->altitudeValue) return STATUS_FLT_INSTANCE_ALTITUDE_COLLISION;
    cb->cookie = s.nextCookie++;
    auto at = std::find_if(s.callbacks.begin(), s.callbacks.end(),
                           [&](auto& other) { return other->altitudeValue < cb->altitudeValue; });
    s.callbacks.insert(at, cb);
    Cookie->QuadPart = cb->cookie;
    return STATUS_SUCCESS;
}

NTSTATUS CmUnRegisterCallback(LARGE_INTEGER Cookie) {
    detail::RequireIrqlAtMost(APC_LEVEL, "CmUnRegisterCallback");
    io::CmState& s = io::Cm();
    std::unique_lock<std::mutex> lock(s.mutex);
    auto it = std::find_if(s.callbacks.begin(), s.callbacks.end(),
                           [&](auto& cb) { return cb->cookie == Cookie.QuadPart; });
    if (it == s.callbacks.end()) return STATUS_INVALID_PARAMETER;
    auto cb = *it;
    cb->removed = true;
    s.callbacks.erase(it);
    // Unregistering waits for the callback's calls in progress, so the driver may
    // free what they use. From inside a callback that wait never ends on Windows.
    if (io::t_callbackDepth > 0) {
        lock.unlock();
        detail::Violation("CmUnRegisterCallback called from a registry callback (a deadlock on Windows)");
        return STATUS_SUCCESS;
    }
    s.drained.wait(lock, [&] { return cb->inflight == 0; });
    return STATUS_SUCCESS;
}

NTSTATUS CmCallbackGetKeyObjectIDEx(PLARGE_INTEGER Cookie, PVOID Object, PULONG_PTR ObjectID,
                                    PCUNICODE_STRING* ObjectName, ULONG Flags) {
    detail::RequireIrqlAtMost(APC_LEVEL, "CmCallbackGetKeyObjectIDEx");
    if (!Cookie || !Object || Flags != 0) return STATUS_INVALID_PARAMETER;
    io::CmState& s = io::Cm();
    std::shared_ptr<io::KeyBody> body;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        bool registered = std::any_of(s.callbacks.begin(), s.callbacks.end(),
                                      [&](auto& cb) { return cb->cookie == Cookie->QuadPart; });
        auto it = s.bodies.find(Object);
        if (!registered || it == s.bodies.end()) return STATUS_INVALID_PARAMETER;
        body = it->second;
    }
    if (ObjectID) *ObjectID = (ULONG_PTR)body->key.get();
    if (ObjectName) {
        auto name = std::make_unique<io::KeyName>();
        name->text = io::RegistryKeyPath(body->key);
        name->owner = io::CurrentDriver();
        name->string.Buffer = reinterpret_cast<PWSTR>(name->text.data());
        name->string.Length = name->string.MaximumLength = (USHORT)(name->text.size() * sizeof(WCHAR));
        const UNICODE_STRING* handed = &name->string;
        std::lock_guard<std::mutex> lock(s.mutex);
        s.names[handed] = std::move(name);
        *ObjectName = handed;
    }
    return STATUS_SUCCESS;
}

void CmCallbackReleaseKeyObjectIDEx(PCUNICODE_STRING ObjectName) {
    detail::RequireIrqlAtMost(APC_LEVEL, "CmCallbackReleaseKeyObjectIDEx");
    io::CmState& s = io::Cm();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.names.erase(ObjectName) == 0)
        detail::Violation("CmCallbackReleaseKeyObjectIDEx of a name not obtained (or already released)");
}
