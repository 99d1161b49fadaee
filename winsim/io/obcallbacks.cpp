// Object callbacks: ObRegisterCallbacks registrations, and the process and thread
// handle opens and duplicates of simulated processes that run them.
#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <set>

#include "winsim/io/io.h"

using winsim::detail::Violation;

#define WINSIM_STATUS_INVALID_CID ((NTSTATUS)0xC000000BL)

// The object types callbacks can be registered for.
struct _OBJECT_TYPE {
    const char* name;
};

namespace {
_OBJECT_TYPE g_processType{"Process"};
_OBJECT_TYPE g_threadType{"Thread"};
POBJECT_TYPE g_processTypePointer = &g_processType;
POBJECT_TYPE g_threadTypePointer = &g_threadType;
}  // namespace

POBJECT_TYPE* PsProcessType = &g_processTypePointer;
POBJECT_TYPE* PsThreadType = &g_threadTypePointer;

// The type of driver objects, for ObReferenceObjectByName lookups of \Driver\ names.
namespace {
_OBJECT_TYPE g_driverType{"Driver"};
POBJECT_TYPE g_driverTypePointer = &g_driverType;
}  // namespace
POBJECT_TYPE* IoDriverObjectType = &g_driverTypePointer;

struct winsim::ObjectHandle {
    PEPROCESS holder = nullptr;  // the process whose handle table holds it
    PVOID object = nullptr;      // PEPROCESS or PETHREAD
    POBJECT_TYPE type = nullptr;
    ACCESS_MASK granted = 0;
    bool kernel = false;
};

namespace winsim::io {
namespace {

struct ObOperation {
    POBJECT_TYPE type;
    OB_OPERATION operations;
    POB_PRE_OPERATION_CALLBACK pre;
    POB_POST_OPERATION_CALLBACK post;
};

struct ObRegistration {
    std::u16string altitude;
    double order = 0;  // the altitude's value: higher is called first
    PVOID context = nullptr;
    std::vector<ObOperation> operations;
    std::u16string owner;
    int inflight = 0;  // calls running now (guarded by the state mutex)
    bool removed = false;
};

struct ObState {
    std::mutex mutex;
    std::condition_variable drained;
    std::vector<std::shared_ptr<ObRegistration>> registrations;  // highest altitude first
    std::vector<std::shared_ptr<ObRegistration>> retired;        // stale handles stay recognisable
    std::map<ObjectHandle*, std::unique_ptr<ObjectHandle>> handles;
    uint64_t preCalls = 0;
};
std::unique_ptr<ObState> g_ob;

ObState& State() {
    if (!g_ob) winsim::Machine::Current();
    return *g_ob;
}

// Registrations whose callbacks run on this thread now (a callback unregistering
// its own registration must not wait for itself).
thread_local std::vector<ObRegistration*> t_running;
// References taken and dropped by the callback running on this thread.
thread_local std::map<PVOID, long>* t_references = nullptr;

std::string Label(const ObRegistration& r) {
    return detail::ToUtf8(r.owner) + " (altitude " + detail::ToUtf8(r.altitude) + ")";
}

// Releases a registration's call count when a callback returns (also on a bug check).
struct InFlight {
    ObState& s;
    ObRegistration& r;
    InFlight(ObState& state, ObRegistration& reg) : s(state), r(reg) { t_running.push_back(&r); }
    ~InFlight() {
        t_running.pop_back();
        std::lock_guard<std::mutex> lock(s.mutex);
        --r.inflight;
        s.drained.notify_all();
    }
};

// Runs one callback, charging it to its driver, and reports references it took
// and did not release before returning.
template <class Fn>
void CallCallback(const ObRegistration& r, const char* which, Fn&& fn) {
    DriverScope scope(&r.owner);
    std::map<PVOID, long> references;
    std::map<PVOID, long>* previous = t_references;
    t_references = &references;
    struct Restore {
        std::map<PVOID, long>* previous;
        ~Restore() { t_references = previous; }
    } restore{previous};
    fn();
    for (auto& [object, count] : references)
        if (count > 0)
            Violation("object " + std::string(which) + "-operation callback of " + Label(r) + " returned holding " +
                      std::to_string(count) + " reference(s) it took to " + DescribeReferencedObject(object));
}

struct Operation {
    OB_OPERATION operation;
    PVOID object;
    POBJECT_TYPE type;
    ACCESS_MASK desired;
    bool kernelHandle;
    PEPROCESS sourceProcess;  // duplicates
    PEPROCESS targetProcess;
};

// The callbacks of one handle operation; returns the access granted.
ACCESS_MASK RunCallbacks(const Operation& op) {
    ObState& s = State();
    std::vector<std::pair<std::shared_ptr<ObRegistration>, ObOperation>> calls;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        for (auto& r : s.registrations) {
            if (r->removed) continue;
            for (auto& o : r->operations) {
                if (o.type == op.type && (o.operations & op.operation) != 0) {
                    calls.emplace_back(r, o);
                    ++r->inflight;
                    break;
                }
            }
        }
    }
    std::vector<std::unique_ptr<InFlight>> held;
    for (auto& c : calls) held.push_back(std::make_unique<InFlight>(s, *c.first));

    const ACCESS_MASK original = op.desired;
    OB_PRE_OPERATION_PARAMETERS parameters{};
    ACCESS_MASK* desired;
    if (op.operation == OB_OPERATION_HANDLE_CREATE) {
        parameters.CreateHandleInformation.DesiredAccess = original;
        parameters.CreateHandleInformation.OriginalDesiredAccess = original;
        desired = &parameters.CreateHandleInformation.DesiredAccess;
    } else {
        parameters.DuplicateHandleInformation.DesiredAccess = original;
        parameters.DuplicateHandleInformation.OriginalDesiredAccess = original;
        parameters.DuplicateHandleInformation.SourceProcess = op.sourceProcess;
        parameters.DuplicateHandleInformation.TargetProcess = op.targetProcess;
        desired = &parameters.DuplicateHandleInformation.DesiredAccess;
    }

    std::vector<PVOID> callContexts(calls.size(), nullptr);
    for (size_t i = 0; i < calls.size(); ++i) {
        auto& [r, o] = calls[i];
        if (!o.pre) continue;
        OB_PRE_OPERATION_INFORMATION info{};
        info.Operation = op.operation;
        info.KernelHandle = op.kernelHandle ? 1 : 0;
        info.Object = op.object;
        info.ObjectType = op.type;
        info.CallContext = nullptr;
        info.Parameters = &parameters;
        OB_PREOP_CALLBACK_STATUS result = OB_PREOP_SUCCESS;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            ++s.preCalls;
        }
        CallCallback(*r, "pre", [&] { result = o.pre(r->context, &info); });
        if (result != OB_PREOP_SUCCESS)
            Violation("object pre-operation callback of " + Label(*r) + " returned " + std::to_string((int)result) +
                      " (drivers must return OB_PREOP_SUCCESS)");
        // A callback can only take rights away: what it adds is not granted.
        *desired &= original;
        callContexts[i] = info.CallContext;
    }
    const ACCESS_MASK granted = *desired;

    OB_POST_OPERATION_PARAMETERS post{};
    post.CreateHandleInformation.GrantedAccess = granted;
    for (size_t i = calls.size(); i-- > 0;) {
        auto& [r, o] = calls[i];
        if (!o.post) continue;
        OB_POST_OPERATION_INFORMATION info{};
        info.Operation = op.operation;
        info.KernelHandle = op.kernelHandle ? 1 : 0;
        info.Object = op.object;
        info.ObjectType = op.type;
        info.CallContext = callContexts[i];
        info.ReturnStatus = STATUS_SUCCESS;
        info.Parameters = &post;
        CallCallback(*r, "post", [&] { o.post(r->context, &info); });
    }
    return granted;
}

// The thread state an operation runs in: the opener current, at the IRQL asked for.
class OpenerScope {
public:
    OpenerScope(PEPROCESS process, KIRQL irql) : process_(process) {
        if (irql > KeGetCurrentIrql()) {
            KeRaiseIrql(irql, &old_);
            raised_ = true;
        }
    }
    ~OpenerScope() {
        if (raised_) KeLowerIrql(old_);
    }
    OpenerScope(const OpenerScope&) = delete;
    OpenerScope& operator=(const OpenerScope&) = delete;

private:
    ProcessScope process_;
    KIRQL old_ = PASSIVE_LEVEL;
    bool raised_ = false;
};

winsim::HandleResult Finish(PEPROCESS holder, PVOID object, POBJECT_TYPE type, ACCESS_MASK granted, bool kernel) {
    auto handle = std::make_unique<ObjectHandle>();
    handle->holder = kernel ? SystemProcessObject() : holder;
    handle->object = object;
    handle->type = type;
    handle->granted = granted;
    handle->kernel = kernel;
    winsim::HandleResult result;
    result.status = STATUS_SUCCESS;
    result.granted = granted;
    result.handle = handle.get();
    ObState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.handles[handle.get()] = std::move(handle);
    return result;
}

double AltitudeValue(const std::u16string& altitude) { return std::strtod(detail::ToUtf8(altitude).c_str(), nullptr); }

}  // namespace

void ObCallbacksBoot() { g_ob = std::make_unique<ObState>(); }
void ObCallbacksShutdown() { g_ob.reset(); }

void NoteCallbackReference(PVOID object, int delta) {
    if (t_references) (*t_references)[object] += delta;
}

void ObCallbacksUnloadChecks(const std::u16string& driver) {
    if (!g_ob) return;
    ObState& s = *g_ob;
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto it = s.registrations.begin(); it != s.registrations.end();) {
        auto& r = *it;
        if (r->owner == driver || r->owner.empty()) {
            Violation("object callbacks still registered at unload of " + detail::ToUtf8(driver) + " (altitude " +
                      detail::ToUtf8(r->altitude) + ", ObRegisterCallbacks without ObUnRegisterCallbacks)");
            r->removed = true;
            s.retired.push_back(r);
            it = s.registrations.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace winsim::io

// ---------------------------------------------------------------- test controls
namespace winsim {

HandleResult Machine::OpenProcess(PEPROCESS opener, uint32_t processId, ACCESS_MASK desiredAccess,
                                  const HandleOptions& options) {
    PEPROCESS target = FindProcess(processId);
    if (!target) return HandleResult{WINSIM_STATUS_INVALID_CID, 0, nullptr};
    io::OpenerScope scope(opener, options.irql);
    io::Operation op{OB_OPERATION_HANDLE_CREATE, target, *PsProcessType, desiredAccess, options.kernelHandle,
                     nullptr, nullptr};
    ACCESS_MASK granted = io::RunCallbacks(op);
    return io::Finish(opener, target, *PsProcessType, granted, options.kernelHandle);
}

HandleResult Machine::OpenThread(PEPROCESS opener, uint32_t threadId, ACCESS_MASK desiredAccess,
                                 const HandleOptions& options) {
    PETHREAD thread = io::FindCreatedThread(threadId);
    if (!thread || !FindProcess(thread->owner->pid) || FindProcess(thread->owner->pid) != thread->owner)
        return HandleResult{WINSIM_STATUS_INVALID_CID, 0, nullptr};
    io::OpenerScope scope(opener, options.irql);
    io::Operation op{OB_OPERATION_HANDLE_CREATE, thread, *PsThreadType, desiredAccess, options.kernelHandle,
                     nullptr, nullptr};
    ACCESS_MASK granted = io::RunCallbacks(op);
    return io::Finish(opener, thread, *PsThreadType, granted, options.kernelHandle);
}

HandleResult Machine::DuplicateHandle(PEPROCESS caller, ObjectHandle* source, PEPROCESS targetProcess,
                                      ACCESS_MASK desiredAccess, const HandleOptions& options) {
    io::ObState& s = io::State();
    ObjectHandle copy;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = s.handles.find(source);
        if (it == s.handles.end()) return HandleResult{STATUS_INVALID_HANDLE, 0, nullptr};
        copy = *it->second;
    }
    PEPROCESS target = options.kernelHandle ? io::SystemProcessObject() : (targetProcess ? targetProcess : caller);
    io::OpenerScope scope(caller, options.irql);
    io::Operation op{OB_OPERATION_HANDLE_DUPLICATE, copy.object, copy.type,
                     options.sameAccess ? copy.granted : desiredAccess, options.kernelHandle, copy.holder, target};
    ACCESS_MASK granted = io::RunCallbacks(op);
    return io::Finish(target, copy.object, copy.type, granted, options.kernelHandle);
}

void Machine::CloseHandle(ObjectHandle* handle) {
    io::ObState& s = io::State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.handles.erase(handle);
}

size_t Machine::ObCallbackRegistrations() const {
    io::ObState& s = io::State();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.registrations.size();
}

uint64_t Machine::ObPreCallbacksRun() const {
    io::ObState& s = io::State();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.preCalls;
}

}  // namespace winsim

// ---------------------------------------------------------------- Windows routines
using namespace winsim;

NTSTATUS ObRegisterCallbacks(POB_CALLBACK_REGISTRATION callbackRegistration, PVOID* registrationHandle) {
    detail::RequireIrqlAtMost(APC_LEVEL, "ObRegisterCallbacks");
    if (!callbackRegistration || !registrationHandle) return STATUS_INVALID_PARAMETER;
    const OB_CALLBACK_REGISTRATION& reg = *callbackRegistration;
    if (reg.Version != OB_FLT_REGISTRATION_VERSION || reg.OperationRegistrationCount == 0 ||
        !reg.OperationRegistration || !reg.Altitude.Buffer || reg.Altitude.Length == 0)
        return STATUS_INVALID_PARAMETER;
    // The system keeps its own copy: the caller's record may go once this returns.
    auto r = std::make_shared<io::ObRegistration>();
    r->altitude = io::ToU16(&reg.Altitude);
    r->order = io::AltitudeValue(r->altitude);
    r->context = reg.RegistrationContext;
    r->owner = io::CurrentDriver();
    for (USHORT i = 0; i < reg.OperationRegistrationCount; ++i) {
        const OB_OPERATION_REGISTRATION& o = reg.OperationRegistration[i];
        if (!o.ObjectType || (*o.ObjectType != *PsProcessType && *o.ObjectType != *PsThreadType) ||
            o.Operations == 0 || (o.Operations & ~(OB_OPERATION_HANDLE_CREATE | OB_OPERATION_HANDLE_DUPLICATE)) != 0 ||
            (!o.PreOperation && !o.PostOperation))
            return STATUS_INVALID_PARAMETER;
        r->operations.push_back({*o.ObjectType, o.Operations, o.PreOperation, o.PostOperation});
    }
    if (detail::ShouldFail(FaultClass::Registration, "ObRegisterCallbacks")) return STATUS_INSUFFICIENT_RESOURCES;
    io::ObState& s = io::State();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& other : s.registrations)
        if (other->altitude == r->altitude) return STATUS_FLT_INSTANCE_ALTITUDE_COLLISION;
    auto at = std::find_if(s.registrations.begin(), s.registrations.end(),
                           [&](auto& other) { return other->order < r->order; });
    s.registrations.insert(at, r);
    *registrationHandle = r.get();
    return STATUS_SUCCESS;
}

void ObUnRegisterCallbacks(PVOID registrationHandle) {
    detail::RequireIrqlAtMost(APC_LEVEL, "ObUnRegisterCallbacks");
    io::ObState& s = io::State();
    std::unique_lock<std::mutex> lock(s.mutex);
    auto it = std::find_if(s.registrations.begin(), s.registrations.end(),
                           [&](auto& r) { return r.get() == registrationHandle; });
    if (it == s.registrations.end()) {
        bool stale = std::any_of(s.retired.begin(), s.retired.end(),
                                 [&](auto& r) { return r.get() == registrationHandle; });
        Violation(std::string("ObUnRegisterCallbacks with ") +
                  (stale ? "a registration already unregistered" : "a handle ObRegisterCallbacks never returned"));
        return;
    }
    auto entry = *it;
    entry->removed = true;
    s.registrations.erase(it);
    s.retired.push_back(entry);
    // Unregistering waits until the callbacks of this registration already running
    // have returned, so the driver may free what they use. A callback that
    // unregisters its own registration would wait for itself: skip the wait then.
    bool self = std::find(io::t_running.begin(), io::t_running.end(), entry.get()) != io::t_running.end();
    if (!self) s.drained.wait(lock, [&] { return entry->inflight == 0; });
}
