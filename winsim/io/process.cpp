// Processes and threads: process objects with their byte image, ids, the current
// process of each thread, creation/exit notify routines and the process queries.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <set>
#include <stdexcept>

#include "winsim/io/io.h"
#include "winsim/io/targets.h"

using winsim::detail::Violation;

namespace winsim::io {
namespace {

struct NotifyEntry {
    PCREATE_PROCESS_NOTIFY_ROUTINE basic = nullptr;
    PCREATE_PROCESS_NOTIFY_ROUTINE_EX ex = nullptr;
    std::u16string owner;
    int inflight = 0;  // calls running now (guarded by the state mutex)
    bool removed = false;
};

struct ProcessState {
    std::mutex mutex;
    std::condition_variable drained;  // a notify call finished
    std::map<uint32_t, std::shared_ptr<_EPROCESS>> running;
    std::vector<std::shared_ptr<_EPROCESS>> all;  // exited ones too: drivers may still hold them
    std::set<uint32_t> usedPids;
    uint32_t nextPid = 1000;
    PEPROCESS system = nullptr;
    std::vector<std::shared_ptr<NotifyEntry>> notifies;
    std::map<uint32_t, std::unique_ptr<_ETHREAD>> threads;  // created by tests, by id
};

// Tokens and the queries of their information.
struct TokenState {
    std::mutex mutex;
    std::set<const Token*> live;
    unsigned queries = 0;
};
TokenState g_tokens;
const ULONG kTokenInformationTag = PoolTag("SeTi");
const ULONG kImageNameTag = PoolTag("SeIn");

std::unique_ptr<ProcessState> g_state;

ProcessState& State() {
    if (!g_state) Machine::Current();  // bug-checks: no machine
    return *g_state;
}

struct CurrentSlot {
    PEPROCESS process = nullptr;
    uint64_t generation = 0;
};
thread_local CurrentSlot t_current;
thread_local int t_notifyDepth = 0;  // inside a notify routine on this thread
struct NotifyDepth {
    NotifyDepth() { ++t_notifyDepth; }
    ~NotifyDepth() { --t_notifyDepth; }
};

std::atomic<uint32_t> g_nextThreadId{0x2004};
thread_local _ETHREAD t_thread;

_ETHREAD* ThisThread() {
    if (t_thread.threadId == 0) t_thread.threadId = g_nextThreadId.fetch_add(4);
    return &t_thread;
}

// Bytes that never form text, so a scan for a name finds only the name itself.
void FillImage(_EPROCESS* p) {
    for (size_t i = 0; i < _EPROCESS::kImageSize; ++i) p->image[i] = (unsigned char)(0x80 | ((i * 37 + 11) & 0x7f));
}

void WriteShortName(_EPROCESS* p, const std::u16string& path, bool leafGiven = false) {
    size_t slash = path.find_last_of(u"\\/");
    std::u16string leaf = slash == std::u16string::npos || leafGiven ? path : path.substr(slash + 1);
    unsigned char* name = p->image + Machine::kProcessNameOffset;
    std::memset(name, 0, _EPROCESS::kShortNameSize);
    for (size_t i = 0; i < leaf.size() && i < _EPROCESS::kShortNameSize - 1; ++i)
        name[i] = leaf[i] < 0x80 ? (unsigned char)leaf[i] : (unsigned char)'?';
}

void InitStrings(_EPROCESS* p) {
    p->imagePathString.Buffer = p->imagePath.empty() ? nullptr : p->imagePath.data();
    p->imagePathString.Length = (USHORT)(p->imagePath.size() * sizeof(WCHAR));
    p->imagePathString.MaximumLength = p->imagePathString.Length;
    p->commandLineString.Buffer = p->commandLine.empty() ? nullptr : p->commandLine.data();
    p->commandLineString.Length = (USHORT)(p->commandLine.size() * sizeof(WCHAR));
    p->commandLineString.MaximumLength = p->commandLineString.Length;
}

std::string Describe(PEPROCESS p) {
    char name[_EPROCESS::kShortNameSize + 1] = {};
    std::memcpy(name, p->image + Machine::kProcessNameOffset, _EPROCESS::kShortNameSize);
    return "process " + std::to_string(p->pid) + " (" + name + ")";
}

// Runs the registered notify routines for a creation (info != null) or an exit.
void RunNotifyRoutines(PEPROCESS process, PPS_CREATE_NOTIFY_INFO info) {
    ProcessState& s = State();
    std::vector<std::shared_ptr<NotifyEntry>> entries;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        entries = s.notifies;
    }
    ProcessScope asProcess(process);
    HANDLE pid = (HANDLE)(uintptr_t)process->pid;
    HANDLE parent = (HANDLE)(uintptr_t)process->parentPid;
    for (const auto& e : entries) {
        // Each call holds its routine's rundown only while it runs, so removing one
        // routine never waits for a call of another.
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            if (e->removed) continue;
            ++e->inflight;
        }
        struct Release {
            ProcessState& s;
            NotifyEntry& e;
            ~Release() {
                std::lock_guard<std::mutex> lock(s.mutex);
                --e.inflight;
                s.drained.notify_all();
            }
        } release{s, *e};
        DriverScope scope(&e->owner);
        NotifyDepth depth;
        if (e->basic) e->basic(parent, pid, info != nullptr);
        else e->ex(process, pid, info);
    }
}

std::shared_ptr<_EPROCESS> MakeProcess(uint32_t pid, uint32_t parent, const std::u16string& imagePath,
                                       const std::u16string& commandLine, bool admin, const std::string& source,
                                       const char16_t* shortName) {
    auto p = std::make_shared<_EPROCESS>();
    FillImage(p.get());
    p->pid = pid;
    p->parentPid = parent;
    p->imagePath = imagePath;
    p->commandLine = commandLine;
    p->administrator = admin;
    p->token.source = source;
    p->token.primary = true;
    RegisterToken(&p->token);
    if (shortName) WriteShortName(p.get(), shortName, true);
    else WriteShortName(p.get(), imagePath);
    InitStrings(p.get());
    return p;
}

NTSTATUS SetNotify(PCREATE_PROCESS_NOTIFY_ROUTINE basic, PCREATE_PROCESS_NOTIFY_ROUTINE_EX ex, BOOLEAN remove,
                   const char* routine) {
    detail::RequirePassive(routine);
    if (!basic && !ex) return STATUS_INVALID_PARAMETER;
    ProcessState& s = State();
    if (!remove) {
        if (detail::ShouldFail(FaultClass::Registration, routine)) return STATUS_INSUFFICIENT_RESOURCES;
        std::lock_guard<std::mutex> lock(s.mutex);
        for (auto& e : s.notifies)
            if (!e->removed && e->basic == basic && e->ex == ex) return STATUS_INVALID_PARAMETER;
        auto e = std::make_shared<NotifyEntry>();
        e->basic = basic;
        e->ex = ex;
        e->owner = CurrentDriver();
        s.notifies.push_back(e);
        return STATUS_SUCCESS;
    }
    std::unique_lock<std::mutex> lock(s.mutex);
    auto it = std::find_if(s.notifies.begin(), s.notifies.end(),
                           [&](auto& e) { return !e->removed && e->basic == basic && e->ex == ex; });
    if (it == s.notifies.end()) return STATUS_INVALID_PARAMETER;
    auto entry = *it;
    entry->removed = true;
    s.notifies.erase(it);
    // As on Windows, removal waits until calls of the routine already running have
    // returned, so the driver may free what the routine uses. A routine removing
    // itself from inside a notification would wait for itself: skip the wait then.
    if (t_notifyDepth == 0) s.drained.wait(lock, [&] { return entry->inflight == 0; });
    return STATUS_SUCCESS;
}

// ---- object references charged to drivers
struct ObjectState {
    std::mutex mutex;
    std::map<PVOID, std::map<std::u16string, long>> references;
};
ObjectState g_objects;

}  // namespace

// ---------------------------------------------------------------- scopes
ProcessScope::ProcessScope(PEPROCESS process) : previous_(detail::CurrentProcess()) {
    detail::SetCurrentProcess(process);
}
ProcessScope::~ProcessScope() { detail::SetCurrentProcess(previous_); }

// ---------------------------------------------------------------- lifetime
void ProcessesBoot() {
    g_state = std::make_unique<ProcessState>();
    auto system = MakeProcess(4, 0, u"", u"", true, "*SYSTEM*", u"System");
    g_state->system = system.get();
    g_state->usedPids.insert(0);
    g_state->usedPids.insert(4);
    g_state->running[4] = system;
    g_state->all.push_back(system);
}

void ProcessesShutdown() {
    g_state.reset();
    std::lock_guard<std::mutex> lock(g_tokens.mutex);
    g_tokens.live.clear();
    g_tokens.queries = 0;
}

void RegisterToken(const Token* token) {
    std::lock_guard<std::mutex> lock(g_tokens.mutex);
    g_tokens.live.insert(token);
}

void UnregisterToken(const Token* token) {
    std::lock_guard<std::mutex> lock(g_tokens.mutex);
    g_tokens.live.erase(token);
}

PEPROCESS SystemProcessObject() { return g_state ? g_state->system : nullptr; }

void ProcessUnloadChecks(const std::u16string& driver) {
    if (!g_state) return;
    ProcessState& s = *g_state;
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto it = s.notifies.begin(); it != s.notifies.end();) {
        auto& e = *it;
        if (e->owner == driver || e->owner.empty()) {
            Violation("process notify routine still registered at unload of " + detail::ToUtf8(driver) + " (" +
                      (e->basic ? "PsSetCreateProcessNotifyRoutine" : "PsSetCreateProcessNotifyRoutineEx") + ")");
            e->removed = true;
            it = s.notifies.erase(it);
        } else {
            ++it;
        }
    }
}

// ---------------------------------------------------------------- object references
void ObjectsBoot() {
    std::lock_guard<std::mutex> lock(g_objects.mutex);
    g_objects.references.clear();
}

void NoteObjectReference(PVOID object) {
    NoteCallbackReference(object, +1);
    std::u16string driver = CurrentDriver();
    std::lock_guard<std::mutex> lock(g_objects.mutex);
    ++g_objects.references[object][driver];
}

namespace {
// Returns the references left on the object (drivers' and the machine's one), or -1
// when the driver dereferenced an object it holds no reference to.
long DropObjectReference(PVOID object) {
    std::u16string driver = CurrentDriver();
    std::lock_guard<std::mutex> lock(g_objects.mutex);
    auto it = g_objects.references.find(object);
    if (it == g_objects.references.end()) return -1;
    auto& byDriver = it->second;
    auto d = byDriver.find(driver);
    if (d == byDriver.end() || d->second <= 0) {
        // Taken under another attribution (e.g. before the driver's scope was known).
        d = std::find_if(byDriver.begin(), byDriver.end(), [](auto& kv) { return kv.second > 0; });
        if (d == byDriver.end()) return -1;
    }
    --d->second;
    NoteCallbackReference(object, -1);
    long total = 0;
    for (auto& kv : byDriver) total += kv.second;
    if (total == 0) g_objects.references.erase(it);
    return total + 1;
}

long ObjectReferenceTotal(PVOID object) {
    std::lock_guard<std::mutex> lock(g_objects.mutex);
    long total = 1;
    auto it = g_objects.references.find(object);
    if (it != g_objects.references.end())
        for (auto& kv : it->second) total += kv.second;
    return total;
}

std::string DescribeObject(PVOID object) {
    std::string target = DescribeTargetObject(object);
    if (!target.empty()) return target;
    if (g_state) {
        std::lock_guard<std::mutex> lock(g_state->mutex);
        for (auto& p : g_state->all)
            if (p.get() == object) return Describe(p.get());
    }
    char buf[48];
    std::snprintf(buf, sizeof buf, "object %p", object);
    return buf;
}
}  // namespace

std::string DescribeReferencedObject(PVOID object) { return DescribeObject(object); }

PETHREAD FindCreatedThread(uint32_t threadId) {
    if (!g_state) return nullptr;
    std::lock_guard<std::mutex> lock(g_state->mutex);
    auto it = g_state->threads.find(threadId);
    return it == g_state->threads.end() ? nullptr : it->second.get();
}

long DriverReferencesOn(PVOID object) { return ObjectReferenceTotal(object) - 1; }

void ObjectUnloadChecks(const std::u16string& driver) {
    std::vector<std::pair<PVOID, long>> leaked;
    {
        std::lock_guard<std::mutex> lock(g_objects.mutex);
        for (auto it = g_objects.references.begin(); it != g_objects.references.end();) {
            for (auto d = it->second.begin(); d != it->second.end();) {
                if ((d->first == driver || d->first.empty()) && d->second != 0) {
                    leaked.emplace_back(it->first, d->second);
                    d = it->second.erase(d);
                } else {
                    ++d;
                }
            }
            it = it->second.empty() ? g_objects.references.erase(it) : std::next(it);
        }
    }
    for (auto& [object, count] : leaked)
        Violation("unbalanced object references at unload of " + detail::ToUtf8(driver) + ": " +
                  std::to_string(count) + " reference(s) to " + DescribeObject(object) + " never released");
}

}  // namespace winsim::io

// ---------------------------------------------------------------- seams for the core
namespace winsim::detail {

PEPROCESS CurrentProcess() {
    if (!io::g_state) return nullptr;
    const auto& slot = io::t_current;
    if (slot.process && slot.generation == io::BootGeneration()) return slot.process;
    return io::g_state->system;
}

void SetCurrentProcess(PEPROCESS process) {
    io::t_current.process = process;
    io::t_current.generation = io::BootGeneration();
}

uint32_t ProcessIdOf(PEPROCESS process) { return process ? process->pid : 0; }

}  // namespace winsim::detail

// ---------------------------------------------------------------- test controls
namespace winsim {

PEPROCESS Machine::SystemProcess() { return io::State().system; }

PEPROCESS Machine::StartProcess(const ProcessOptions& options) {
    io::ProcessState& s = io::State();
    PEPROCESS creator = detail::CurrentProcess();
    std::shared_ptr<_EPROCESS> process;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        uint32_t pid = options.pid;
        if (pid != 0) {
            if (pid % 4 != 0) throw std::invalid_argument("StartProcess: process ids are multiples of 4");
            if (s.running.count(pid)) throw std::invalid_argument("StartProcess: process id already in use");
        } else {
            while (s.usedPids.count(s.nextPid) || s.running.count(s.nextPid)) s.nextPid += 4;
            pid = s.nextPid;
            s.nextPid += 4;
        }
        uint32_t parent = options.parentPid ? options.parentPid : creator->pid;
        process = io::MakeProcess(pid, parent, options.imagePath, options.commandLine, options.administrator,
                                  options.tokenSource,
                                  options.shortImageName ? options.shortImageName->c_str() : nullptr);
        s.usedPids.insert(pid);
        s.running[pid] = process;
        s.all.push_back(process);
    }

    PS_CREATE_NOTIFY_INFO info{};
    info.Size = sizeof(info);
    info.FileOpenNameAvailable = 1;
    info.ParentProcessId = (HANDLE)(uintptr_t)process->parentPid;
    info.CreatingThreadId.UniqueProcess = (HANDLE)(uintptr_t)creator->pid;
    info.CreatingThreadId.UniqueThread = (HANDLE)(uintptr_t)io::ThisThread()->threadId;
    info.FileObject = nullptr;
    info.ImageFileName = &process->imagePathString;
    info.CommandLine = &process->commandLineString;
    info.CreationStatus = STATUS_SUCCESS;
    io::RunNotifyRoutines(process.get(), &info);

    if (!NT_SUCCESS(info.CreationStatus)) {
        // A routine refused the creation: the process never runs, and the routines
        // see it go away as they would see any exit.
        ExitProcess(process.get());
        return nullptr;
    }
    return process.get();
}

void Machine::ExitProcess(PEPROCESS process) {
    io::ProcessState& s = io::State();
    if (!process) return;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = s.running.find(process->pid);
        if (it == s.running.end() || it->second.get() != process || process == s.system) return;
        if (process->exited) return;
    }
    // As Windows does at process exit: the process's user-mode threads end and its
    // user handles are closed (which may run driver callbacks) before the exit is
    // notified.
    detail::UmProcessExit(process);
    if (process->exited.exchange(true)) return;
    // The process is still found by id while its exit is being notified.
    io::RunNotifyRoutines(process, nullptr);
    std::lock_guard<std::mutex> lock(s.mutex);
    s.running.erase(process->pid);
}

PEPROCESS Machine::FindProcess(uint32_t pid) {
    io::ProcessState& s = io::State();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.running.find(pid);
    return it == s.running.end() ? nullptr : it->second.get();
}

uint32_t Machine::ProcessId(PEPROCESS process) const { return detail::ProcessIdOf(process); }

unsigned Machine::TokenQueries() const {
    std::lock_guard<std::mutex> lock(io::g_tokens.mutex);
    return io::g_tokens.queries;
}

PETHREAD Machine::CreateThread(PEPROCESS process) {
    if (!process) throw std::invalid_argument("CreateThread: no process");
    auto thread = std::make_unique<_ETHREAD>();
    thread->threadId = io::g_nextThreadId.fetch_add(4);
    thread->owner = process;
    PETHREAD result = thread.get();
    io::ProcessState& s = io::State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.threads[result->threadId] = std::move(thread);
    return result;
}

uint32_t Machine::ThreadId(PETHREAD thread) const { return thread ? thread->threadId : 0; }

void Machine::RunAs(PEPROCESS process, const std::function<void()>& fn) {
    io::ProcessScope scope(process);
    fn();
}

void Machine::ScrubProcessObject(PEPROCESS process) {
    if (!process) return;
    for (size_t i = Machine::kProcessNameOffset; i < Machine::kProcessNameOffset + _EPROCESS::kShortNameSize; ++i)
        process->image[i] = (unsigned char)(0x80 | ((i * 37 + 11) & 0x7f));
}

}  // namespace winsim

// ---------------------------------------------------------------- Windows routines
using namespace winsim;

PEPROCESS PsGetCurrentProcess() { return detail::CurrentProcess(); }
PEPROCESS IoGetCurrentProcess() { return detail::CurrentProcess(); }
HANDLE PsGetCurrentProcessId() { return (HANDLE)(uintptr_t)detail::ProcessIdOf(detail::CurrentProcess()); }
HANDLE PsGetCurrentThreadId() { return (HANDLE)(uintptr_t)io::ThisThread()->threadId; }
PETHREAD PsGetCurrentThread() { return io::ThisThread(); }
HANDLE PsGetProcessId(PEPROCESS process) { return (HANDLE)(uintptr_t)detail::ProcessIdOf(process); }

HANDLE PsGetThreadProcessId(PETHREAD thread) {
    if (!thread) KeBugCheckEx(0x3B /* SYSTEM_SERVICE_EXCEPTION */, 0, 0, 0, 0);
    if (thread->owner) return (HANDLE)(uintptr_t)thread->owner->pid;
    // An OS thread belongs to the process current on it; only its own is known here.
    if (thread == io::ThisThread()) return PsGetCurrentProcessId();
    return (HANDLE)(uintptr_t)4;
}

NTSTATUS SeLocateProcessImageName(PEPROCESS process, PUNICODE_STRING* imageFileName) {
    detail::RequirePassive("SeLocateProcessImageName");
    if (!imageFileName) return STATUS_INVALID_PARAMETER;
    *imageFileName = nullptr;
    if (!process) return STATUS_INVALID_PARAMETER;
    // One block: the counted string followed by its text (terminated), allocated
    // by the system for the caller, who frees it with ExFreePool. The System
    // process has no image file: its name is empty.
    const size_t textBytes = process->imagePath.size() * sizeof(WCHAR);
    auto* us = static_cast<UNICODE_STRING*>(
        ExAllocatePoolWithTag(PagedPool, sizeof(UNICODE_STRING) + textBytes + sizeof(WCHAR), io::kImageNameTag));
    if (!us) return STATUS_INSUFFICIENT_RESOURCES;
    auto* text = reinterpret_cast<WCHAR*>(us + 1);
    std::memcpy(text, process->imagePath.data(), textBytes);
    text[process->imagePath.size()] = 0;
    us->Length = (USHORT)textBytes;
    us->MaximumLength = (USHORT)(textBytes + sizeof(WCHAR));
    us->Buffer = text;
    *imageFileName = us;
    return STATUS_SUCCESS;
}

NTSTATUS PsLookupProcessByProcessId(HANDLE processId, PEPROCESS* process) {
    detail::RequireIrqlAtMost(APC_LEVEL, "PsLookupProcessByProcessId");
    if (!process) return STATUS_INVALID_PARAMETER;
    *process = nullptr;
    if ((uintptr_t)processId > 0xffffffffu) return STATUS_INVALID_PARAMETER;
    PEPROCESS found = Machine::Current().FindProcess((uint32_t)(uintptr_t)processId);
    if (!found) return STATUS_INVALID_PARAMETER;  // STATUS_INVALID_CID
    io::NoteObjectReference(found);
    *process = found;
    return STATUS_SUCCESS;
}

NTSTATUS PsSetCreateProcessNotifyRoutine(PCREATE_PROCESS_NOTIFY_ROUTINE notifyRoutine, BOOLEAN remove) {
    return io::SetNotify(notifyRoutine, nullptr, remove, "PsSetCreateProcessNotifyRoutine");
}

// Exported by the kernel but resolved by drivers through MmGetSystemRoutineAddress.
NTSTATUS PsSetCreateProcessNotifyRoutineEx(PCREATE_PROCESS_NOTIFY_ROUTINE_EX notifyRoutine, BOOLEAN remove) {
    return io::SetNotify(nullptr, notifyRoutine, remove, "PsSetCreateProcessNotifyRoutineEx");
}

NTSTATUS ZwQueryInformationProcess(HANDLE processHandle, PROCESSINFOCLASS infoClass, PVOID info, ULONG infoLength,
                                   PULONG returnLength) {
    detail::RequirePassive("ZwQueryInformationProcess");
    PEPROCESS process = nullptr;
    if (processHandle == NtCurrentProcess()) {
        process = detail::CurrentProcess();
    } else {
        auto object = detail::ReferenceHandle(processHandle);
        if (!object) return STATUS_INVALID_HANDLE;
        auto p = std::dynamic_pointer_cast<io::ProcessObject>(object);
        if (!p) return STATUS_OBJECT_TYPE_MISMATCH;
        process = p->process;
    }
    if (infoClass != ProcessImageFileName) return WINSIM_STATUS_INVALID_INFO_CLASS;

    // A UNICODE_STRING followed by the text it points at (terminated).
    const size_t textBytes = process->imagePath.size() * sizeof(WCHAR);
    const size_t needed = sizeof(UNICODE_STRING) + textBytes + sizeof(WCHAR);
    if (returnLength) *returnLength = (ULONG)needed;
    if (!info || infoLength < needed) return STATUS_INFO_LENGTH_MISMATCH;
    auto* us = static_cast<UNICODE_STRING*>(info);
    auto* text = reinterpret_cast<WCHAR*>(us + 1);
    std::memcpy(text, process->imagePath.data(), textBytes);
    text[process->imagePath.size()] = 0;
    us->Length = (USHORT)textBytes;
    us->MaximumLength = (USHORT)(textBytes + sizeof(WCHAR));
    us->Buffer = text;
    return STATUS_SUCCESS;
}

void ObReferenceObject(PVOID object) { ObfReferenceObject(object); }
void ObDereferenceObject(PVOID object) { ObfDereferenceObject(object); }

LONG_PTR ObfReferenceObject(PVOID object) {
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "ObfReferenceObject");
    if (!object) KeBugCheckEx(0x18 /* REFERENCE_BY_POINTER */, 0, 0, 0, 0);
    io::NoteObjectReference(object);
    return io::ObjectReferenceTotal(object);
}

LONG_PTR ObfDereferenceObject(PVOID object) {
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "ObfDereferenceObject");
    if (!object) KeBugCheckEx(0x18 /* REFERENCE_BY_POINTER */, 0, 0, 0, 0);
    if (io::DereferenceKeyBody(object)) return 0;
    long left = io::DropObjectReference(object);
    if (left < 0) {
        Violation("ObDereferenceObject on " + io::DescribeObject(object) +
                  " without a reference taken by the driver");
        return 0;
    }
    return left;
}

NTSTATUS SeQueryInformationToken(PACCESS_TOKEN token, TOKEN_INFORMATION_CLASS tokenInformationClass,
                                 PVOID* tokenInformation) {
    detail::RequirePassive("SeQueryInformationToken");
    if (!tokenInformation) return STATUS_INVALID_PARAMETER;
    *tokenInformation = nullptr;
    std::string source;
    {
        std::lock_guard<std::mutex> lock(io::g_tokens.mutex);
        ++io::g_tokens.queries;
        auto* t = static_cast<const io::Token*>(token);
        if (!io::g_tokens.live.count(t)) {
            Violation("SeQueryInformationToken on something that is not a token");
            return STATUS_INVALID_PARAMETER;
        }
        source = t->source;
    }
    if (tokenInformationClass != TokenSource) return WINSIM_STATUS_INVALID_INFO_CLASS;
    if (detail::ShouldFail(FaultClass::Allocation, "SeQueryInformationToken")) return STATUS_INSUFFICIENT_RESOURCES;
    // Allocated by the system for the caller, who frees it with ExFreePool: a
    // driver that forgets shows as a leak of this tag at its unload.
    auto* info = static_cast<TOKEN_SOURCE*>(ExAllocatePoolWithTag(PagedPool, sizeof(TOKEN_SOURCE),
                                                                  io::kTokenInformationTag));
    if (!info) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(info, 0, sizeof *info);
    std::memset(info->SourceName, ' ', TOKEN_SOURCE_LENGTH);
    std::memcpy(info->SourceName, source.data(), std::min<size_t>(source.size(), TOKEN_SOURCE_LENGTH));
    info->SourceIdentifier.LowPart = 0x3e7;
    *tokenInformation = info;
    return STATUS_SUCCESS;
}
