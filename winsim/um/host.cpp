// Host processes and the user-mode core: per-process handle tables, user threads
// (CreateThread, RunAsHost), process exit, last errors, fault injection, the
// module path and the host path of the library's own files.
#include <algorithm>
#include <atomic>
#include <exception>
#include <map>
#include <mutex>
#include <thread>

#include "winsim/um/um_internal.h"

namespace winsim::um {
namespace {

struct HandleEntry {
    PEPROCESS process;
    HandleKind kind;
    std::shared_ptr<detail::KObject> object;
    std::function<void()> onClose;
    std::string owner;
};

struct ThreadRecord {
    PEPROCESS process = nullptr;
    std::shared_ptr<ThreadObject> object;
    bool created = false;  // by CreateThread (counted by the verifier while running)
    bool finished = false;  // under the state mutex
};

struct ProcessInfo {
    std::u16string win32Image;
    std::atomic<bool> ending{false};
};

struct FaultPoint {
    unsigned seen = 0;
    bool armed = false;
    unsigned first = 0;  // in seen numbering (1-based)
    unsigned last = 0;
    DWORD error = 0;
};

struct UmState {
    mutable std::mutex mu;
    std::condition_variable threadEnded;
    std::map<uintptr_t, HandleEntry> handles;
    uintptr_t nextHandle = 0x104;
    std::map<PEPROCESS, std::shared_ptr<ProcessInfo>> processes;
    std::vector<std::shared_ptr<ThreadRecord>> threads;
    // The OS threads of CreateThread, joined once their process exits (or at
    // shutdown), so none outlives the machine.
    std::vector<std::pair<PEPROCESS, std::thread>> osThreads;
    FaultPoint faults[kUserFaultPoints];
};


std::unique_ptr<UmState> g_state;
std::mutex g_stateMu;  // guards g_state itself (boot/shutdown against use)

UmState& State() {
    if (!g_state) Machine::Current();  // bug-checks: no machine
    return *g_state;
}

// Joins the finished OS threads of process (all processes when null).
void JoinThreads(PEPROCESS process) {
    std::vector<std::thread> joining;
    {
        UmState& s = State();
        std::lock_guard<std::mutex> lock(s.mu);
        for (auto it = s.osThreads.begin(); it != s.osThreads.end();) {
            bool mine = process == nullptr || it->first == process;
            bool stuck = false;
            for (auto& t : s.threads)
                if (t->process == it->first) stuck = true;
            if (mine && !stuck && it->second.get_id() != std::this_thread::get_id()) {
                joining.push_back(std::move(it->second));
                it = s.osThreads.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& t : joining) t.join();
}

thread_local DWORD t_lastError = 0;
thread_local std::shared_ptr<ThreadRecord> t_thread;

DWORD DefaultError(UserFault point) {
    switch (point) {
        case UserFault::LoadLibrary: return ERROR_MOD_NOT_FOUND;
        case UserFault::GetProcAddress: return ERROR_PROC_NOT_FOUND;
        case UserFault::CreateEvent: return ERROR_ACCESS_DENIED;
        case UserFault::CreateThread: return ERROR_NOT_ENOUGH_MEMORY;
        case UserFault::VirtualAlloc: return ERROR_NOT_ENOUGH_MEMORY;
        case UserFault::PortConnect: return ERROR_FILE_NOT_FOUND;
        case UserFault::RegSetValue: return ERROR_ACCESS_DENIED;
    }
    return ERROR_GEN_FAILURE;
}

std::shared_ptr<ProcessInfo> InfoOf(PEPROCESS process) {
    UmState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    auto it = s.processes.find(process);
    return it == s.processes.end() ? nullptr : it->second;
}

// The closing actions of the given handles, run outside the lock.
void RunClosers(std::vector<HandleEntry>& entries) {
    for (auto& e : entries)
        if (e.onClose) e.onClose();
    entries.clear();
}

// Sets up a user-mode thread of process on this OS thread.
struct UserThreadScope {
    // counted: the creator already counted this thread as running.
    UserThreadScope(std::shared_ptr<ThreadRecord> record, bool counted) {
        t_thread = std::move(record);
        t_lastError = 0;
        detail::SetCurrentProcess(t_thread->process);
        detail::EnterCooperativeThread(counted);
    }
    ~UserThreadScope() {
        detail::LeaveCooperativeThread();
        detail::SetCurrentProcess(nullptr);
    }
};

// Marks the thread ended (its handle becomes signalled); the last thing a user
// thread does with the machine.
void FinishThread(const std::shared_ptr<ThreadRecord>& record, DWORD exitCode) {
    // No longer counted before anyone can see the handle signalled: a thread that
    // waited for it finds no thread left running.
    {
        UmState& s = State();
        std::lock_guard<std::mutex> lock(s.mu);
        record->finished = true;
        s.threads.erase(std::remove(s.threads.begin(), s.threads.end(), record), s.threads.end());
        s.threadEnded.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(detail::WaitMutex());
        record->object->exitCode = exitCode;
        record->object->ended = true;
    }
    detail::NotifyWaiters();
}

std::u16string Upper(std::u16string s) {
    for (auto& c : s) c = RtlUpcaseUnicodeChar(c);
    return s;
}

// "C:\dir\x" -> the volume's host directory + "/dir/x"; empty when C: is no volume.
std::string HostPathOf(const std::u16string& path) {
    if (path.size() < 2 || path[1] != u':') return "";
    std::u16string drive = Upper(path.substr(0, 2));
    for (const VolumeInfo& v : Machine::Current().Volumes()) {
        if (Upper(v.dosName) != drive) continue;
        std::string rest = detail::ToUtf8(path.substr(2));
        std::replace(rest.begin(), rest.end(), '\\', '/');
        if (!rest.empty() && rest[0] != '/') rest.insert(rest.begin(), '/');
        return v.hostDir + rest;
    }
    return "";
}

// "C:\dir\x.exe" -> "\Device\HarddiskVolumeN\dir\x.exe" through the volumes.
std::u16string NtPathOf(const std::u16string& path) {
    if (path.size() < 2 || path[1] != u':') return path;
    std::u16string drive = Upper(path.substr(0, 2));
    for (const VolumeInfo& v : Machine::Current().Volumes())
        if (Upper(v.dosName) == drive) return v.deviceName + path.substr(2);
    return u"\\??\\" + path;
}

}  // namespace

const char* HandleKindName(HandleKind kind) {
    switch (kind) {
        case HandleKind::Object: return "object";
        case HandleKind::Registry: return "registry key";
        case HandleKind::Service: return "service";
        case HandleKind::Module: return "module";
    }
    return "?";
}

PEPROCESS CurrentUserProcess() { return detail::CurrentProcess(); }

void SetError(DWORD error) { t_lastError = error; }

HANDLE InsertUserHandle(HandleKind kind, std::shared_ptr<detail::KObject> object, std::function<void()> onClose,
                        const std::string& owner, PEPROCESS process) {
    if (!process) process = CurrentUserProcess();
    UmState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    uintptr_t value = s.nextHandle;
    s.nextHandle += 4;
    s.handles.emplace(value, HandleEntry{process, kind, std::move(object), std::move(onClose), owner});
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<detail::KObject> ReferenceUserHandle(HANDLE handle, HandleKind kind) {
    UmState& s = State();
    PEPROCESS process = CurrentUserProcess();
    std::lock_guard<std::mutex> lock(s.mu);
    auto it = s.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == s.handles.end() || it->second.process != process || it->second.kind != kind) return nullptr;
    return it->second.object;
}

bool CloseUserHandle(HANDLE handle, HandleKind kind) {
    UmState& s = State();
    PEPROCESS process = CurrentUserProcess();
    std::vector<HandleEntry> closing;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        auto it = s.handles.find(reinterpret_cast<uintptr_t>(handle));
        if (it == s.handles.end() || it->second.process != process || it->second.kind != kind) return false;
        closing.push_back(std::move(it->second));
        s.handles.erase(it);
    }
    RunClosers(closing);
    return true;
}

size_t UserHandleCount(PEPROCESS process) {
    UmState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    size_t n = 0;
    for (auto& [value, e] : s.handles) n += e.process == process ? 1 : 0;
    return n;
}

bool ShouldFailUser(UserFault point, DWORD* error) {
    UmState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    FaultPoint& f = s.faults[static_cast<size_t>(point)];
    unsigned n = ++f.seen;
    if (!f.armed || n < f.first || n > f.last) return false;
    if (error) *error = f.error ? f.error : DefaultError(point);
    return true;
}

bool ThreadMustEnd() {
    if (!t_thread) return false;
    auto info = InfoOf(t_thread->process);
    return info && info->ending.load();
}

bool UserWait(const std::function<bool()>& pred, DWORD milliseconds) {
    std::shared_ptr<ProcessInfo> info = t_thread ? InfoOf(t_thread->process) : nullptr;
    ProcessInfo* raw = info.get();
    bool ending = false;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
    bool result = detail::WaitUntil(
        [&] {
            if (raw && raw->ending.load()) {
                ending = true;
                return true;
            }
            return pred();
        },
        milliseconds == INFINITE ? nullptr : &timeout);
    if (ending) throw ThreadEnded{};
    return result;
}

// ---------------------------------------------------------------- lifetime

void ProcessExit(PEPROCESS process) {
    std::shared_ptr<ProcessInfo> info;
    {
        std::lock_guard<std::mutex> guard(g_stateMu);
        if (!g_state) return;
        info = InfoOf(process);
    }
    UmState& s = State();
    // Threads first: a waiting thread leaves its wait at once.
    if (info) info->ending.store(true);
    detail::NotifyWaiters();
    {
        std::unique_lock<std::mutex> lock(s.mu);
        auto others = [&] {
            for (auto& t : s.threads)
                if (t->process == process && t != t_thread) return true;
            return false;
        };
        if (!s.threadEnded.wait_for(lock, std::chrono::seconds(20), [&] { return !others(); })) {
            lock.unlock();
            detail::Violation("process " + std::to_string(detail::ProcessIdOf(process)) +
                              ": a user-mode thread did not end within 20 s of its process's exit");
        }
    }
    // Then its handles, as the system closes them.
    std::vector<HandleEntry> closing;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        for (auto it = s.handles.begin(); it != s.handles.end();) {
            if (it->second.process == process) {
                closing.push_back(std::move(it->second));
                it = s.handles.erase(it);
            } else {
                ++it;
            }
        }
    }
    RunClosers(closing);
    MemoryRelease(process);
    JoinThreads(process);
    std::lock_guard<std::mutex> lock(s.mu);
    s.processes.erase(process);
}

}  // namespace winsim::um

namespace winsim::detail {

void UmBoot() {
    std::lock_guard<std::mutex> guard(um::g_stateMu);
    um::g_state = std::make_unique<um::UmState>();
    um::PortsBoot();
}

void UmShutdown() {
    std::vector<PEPROCESS> processes;
    {
        std::lock_guard<std::mutex> guard(um::g_stateMu);
        if (!um::g_state) return;
        std::lock_guard<std::mutex> lock(um::g_state->mu);
        for (auto& [p, info] : um::g_state->processes) processes.push_back(p);
        // Handles of processes that never became hosts (a test's own calls).
        for (auto& [value, e] : um::g_state->handles)
            if (std::find(processes.begin(), processes.end(), e.process) == processes.end())
                processes.push_back(e.process);
    }
    for (PEPROCESS p : processes) um::ProcessExit(p);
    um::JoinThreads(nullptr);
    {
        // Threads that never ended (a violation was recorded) are left to themselves.
        std::lock_guard<std::mutex> lock(um::g_state->mu);
        for (auto& [p, t] : um::g_state->osThreads)
            if (t.joinable()) t.detach();
        um::g_state->osThreads.clear();
    }
    um::PortsShutdown();
    std::lock_guard<std::mutex> guard(um::g_stateMu);
    um::g_state.reset();
}

void UmProcessExit(PEPROCESS process) { um::ProcessExit(process); }

void UmVerifierChecks(std::vector<std::string>* violations) {
    um::UmState& s = um::State();
    std::map<PEPROCESS, std::map<std::string, size_t>> byProcess;
    std::map<PEPROCESS, size_t> threads;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        for (auto& [value, e] : s.handles) {
            std::string what = std::string(um::HandleKindName(e.kind)) + " " +
                               (e.object ? e.object->TypeName() : "handle") +
                               (e.owner.empty() ? "" : " from " + e.owner);
            byProcess[e.process][what]++;
        }
        for (auto& t : s.threads)
            if (t->created && !t->finished) threads[t->process]++;
    }
    for (auto& [process, kinds] : byProcess) {
        size_t total = 0;
        std::string detail;
        for (auto& [what, count] : kinds) {
            total += count;
            detail += (detail.empty() ? "" : ", ") + std::to_string(count) + " x " + what;
        }
        violations->push_back(std::to_string(total) + " user handle(s) left open by process " +
                              std::to_string(ProcessIdOf(process)) + ": " + detail);
    }
    for (auto& [process, count] : threads)
        violations->push_back(std::to_string(count) + " user thread(s) still running in process " +
                              std::to_string(ProcessIdOf(process)));
    um::MemoryReport(violations);
}

}  // namespace winsim::detail

// ---------------------------------------------------------------- test controls
namespace winsim {

using namespace winsim::um;

PEPROCESS Machine::StartHost(const HostOptions& options) {
    ProcessOptions po;
    po.imagePath = NtPathOf(options.imagePath);
    po.pid = options.pid;
    po.administrator = options.administrator;
    po.commandLine = u"\"" + options.imagePath + u"\"";
    PEPROCESS p = StartProcess(po);
    if (!p) return nullptr;
    auto info = std::make_shared<ProcessInfo>();
    info->win32Image = options.imagePath;
    UmState& s = um::State();
    std::lock_guard<std::mutex> lock(s.mu);
    s.processes[p] = info;
    return p;
}

void Machine::RunAsHost(PEPROCESS process, const std::function<void()>& fn) {
    auto record = std::make_shared<ThreadRecord>();
    record->process = process;
    record->object = std::make_shared<ThreadObject>();
    {
        UmState& s = um::State();
        std::lock_guard<std::mutex> lock(s.mu);
        s.threads.push_back(record);
    }
    std::exception_ptr failure;
    detail::CountCooperativeThread();
    std::thread thread([&] {
        DWORD code = 0;
        {
            UserThreadScope scope(record, true);
            record->object->threadId = GetCurrentThreadId();
            try {
                fn();
            } catch (const ThreadEnded&) {
            } catch (...) {
                failure = std::current_exception();
            }
        }
        FinishThread(record, code);
        t_thread.reset();
    });
    thread.join();
    if (failure) std::rethrow_exception(failure);
}

void Machine::ExitHost(PEPROCESS process) { ExitProcess(process); }

size_t Machine::UserHandleCount(PEPROCESS process) const { return um::UserHandleCount(process); }

std::vector<std::string> Machine::UserHandles(PEPROCESS process) const {
    UmState& s = um::State();
    std::lock_guard<std::mutex> lock(s.mu);
    std::vector<std::string> out;
    for (auto& [value, e] : s.handles)
        if (e.process == process)
            out.push_back(std::string(e.object ? e.object->TypeName() : HandleKindName(e.kind)) + " (" + e.owner + ")");
    return out;
}

size_t Machine::UserThreadCount(PEPROCESS process) const {
    UmState& s = um::State();
    std::lock_guard<std::mutex> lock(s.mu);
    size_t n = 0;
    for (auto& t : s.threads) n += (t->process == process && t->created && !t->finished) ? 1 : 0;
    return n;
}

void Machine::FailUserCall(UserFault point, unsigned nth, unsigned times, uint32_t error) {
    UmState& s = um::State();
    std::lock_guard<std::mutex> lock(s.mu);
    FaultPoint& f = s.faults[static_cast<size_t>(point)];
    f.armed = times > 0;
    f.first = f.seen + (nth ? nth : 1);
    f.last = f.first + times - 1;
    f.error = error;
}

void Machine::ClearUserFaults() {
    UmState& s = um::State();
    std::lock_guard<std::mutex> lock(s.mu);
    for (auto& f : s.faults) f = FaultPoint{};
}

unsigned Machine::UserCallsSeen(UserFault point) const {
    UmState& s = um::State();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.faults[static_cast<size_t>(point)].seen;
}

std::string Machine::HostFilePath(const std::u16string& windowsPath) const { return HostPathOf(windowsPath); }

}  // namespace winsim

// ---------------------------------------------------------------- Win32

using namespace winsim::um;

DWORD WINAPI GetLastError(void) { return t_lastError; }
void WINAPI SetLastError(DWORD errorCode) { t_lastError = errorCode; }

HANDLE WINAPI GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }
HANDLE WINAPI GetCurrentThread(void) { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)); }
DWORD WINAPI GetCurrentProcessId(void) { return winsim::detail::ProcessIdOf(CurrentUserProcess()); }
DWORD WINAPI GetCurrentThreadId(void) {
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(PsGetCurrentThreadId()));
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES threadAttributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE startAddress,
                           LPVOID parameter, DWORD creationFlags, LPDWORD threadId) {
    (void)threadAttributes;
    (void)stackSize;
    if (!startAddress) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DWORD error = 0;
    if (ShouldFailUser(winsim::UserFault::CreateThread, &error)) {
        SetError(error);
        return nullptr;
    }
    PEPROCESS process = CurrentUserProcess();
    auto record = std::make_shared<ThreadRecord>();
    record->process = process;
    record->created = true;
    record->object = std::make_shared<ThreadObject>();
    UmState& s = State();
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.threads.push_back(record);
    }
    auto started = std::make_shared<std::atomic<bool>>(false);
    record->object->resumed.store((creationFlags & CREATE_SUSPENDED) == 0);
    winsim::detail::CountCooperativeThread();
    std::thread os([record, started, startAddress, parameter] {
        DWORD code = 0;
        {
            UserThreadScope scope(record, true);
            {
                std::lock_guard<std::mutex> lock(winsim::detail::WaitMutex());
                record->object->threadId = GetCurrentThreadId();
            }
            started->store(true);
            winsim::detail::NotifyWaiters();
            try {
                ThreadObject* self = record->object.get();
                if (!self->resumed.load()) UserWait([self] { return self->resumed.load(); }, INFINITE);
                code = startAddress(parameter);
            } catch (const ThreadEnded&) {
                code = 0;
            } catch (...) {
                winsim::detail::Violation("an exception left a user-mode thread's start routine (the process would end)");
                code = ERROR_GEN_FAILURE;
            }
        }
        FinishThread(record, code);
        t_thread.reset();
    });
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.osThreads.emplace_back(process, std::move(os));
    }
    // The id is known once the thread runs (ids belong to OS threads here).
    winsim::detail::WaitUntil([&] { return started->load(); }, nullptr);
    auto object = record->object;
    if (threadId) *threadId = object->threadId;
    HANDLE h = InsertUserHandle(HandleKind::Object, object, {}, "CreateThread", process);
    SetError(0);
    return h;
}

DWORD WINAPI ResumeThread(HANDLE thread) {
    auto object = ReferenceUserHandleAs<ThreadObject>(thread, HandleKind::Object);
    if (!object) {
        SetError(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    // Suspension is modelled only for CREATE_SUSPENDED (count 1 or 0).
    DWORD previous = object->resumed.exchange(true) ? 0 : 1;
    winsim::detail::NotifyWaiters();
    return previous;
}

BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    auto object = ReferenceUserHandleAs<ThreadObject>(thread, HandleKind::Object);
    if (!object || !exitCode) {
        SetError(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(winsim::detail::WaitMutex());
    *exitCode = object->ended ? object->exitCode : STILL_ACTIVE;
    return TRUE;
}

DWORD WINAPI GetThreadId(HANDLE thread) {
    auto object = ReferenceUserHandleAs<ThreadObject>(thread, HandleKind::Object);
    if (!object) {
        SetError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return object->threadId;
}

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    std::u16string path;
    if (module == nullptr) {
        PEPROCESS p = CurrentUserProcess();
        auto info = InfoOf(p);
        if (info) {
            path = info->win32Image;
        } else {
            SetError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
    } else if (ReferenceUserHandle(module, HandleKind::Module)) {
        path = u"C:\\Windows\\System32\\fltlib.dll";
    } else {
        SetError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (!fileName || size == 0) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        // Cut and terminated; the result is the buffer size.
        std::copy(path.begin(), path.begin() + (size - 1), fileName);
        fileName[size - 1] = 0;
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::copy(path.begin(), path.end(), fileName);
    fileName[path.size()] = 0;
    SetError(0);
    return static_cast<DWORD>(path.size());
}

std::string KxHostFilePath(const std::string& windowsPath) {
    // The path is ANSI (code page 1252).
    int n = MultiByteToWideChar(CP_ACP, 0, windowsPath.data(), static_cast<int>(windowsPath.size()), nullptr, 0);
    std::u16string wide(static_cast<size_t>(n > 0 ? n : 0), u'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, windowsPath.data(), static_cast<int>(windowsPath.size()), wide.data(), n);
    std::string host = HostPathOf(wide);
    return host.empty() ? windowsPath : host;
}
