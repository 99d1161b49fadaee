// Internal seams of the simulated machine, shared by its two halves:
//
//   core  (winsim/core/*.cpp): IRQL, spin locks, pool, lookaside lists, events and
//         named objects, the handle table, the clock, debug output and the Windows
//         formatter, caller-buffer probing, bug checks, the verifier and fault
//         injection, string and AVL-table routines.
//   io    (winsim/io/*.cpp): processes and threads, the registry, system routine
//         lookup, driver images and loading, the filter manager (filters, ports,
//         volumes, instances, contexts, names, FltCreateFile).
//
// Neither half reaches into the other's data; they meet only through the
// functions below. All machine state is reset by Machine::Boot.
#pragma once

// The machine's internals: only winsim itself and its own tests of them may
// include this; everything else goes through winsim/winsim.h.
#if !defined(KX_WINSIM_INTERNALS)
#error "winsim internals: include winsim/winsim.h instead"
#endif


#include <cstdarg>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "winsim/winsim.h"

namespace winsim::detail {

// ================================================================ core

// ---- machine lifetime (core drives it, io plugs in)
void IoBoot(const MachineOptions& options);  // implemented by io: system process, registry, fltmgr
void IoShutdown();                           // implemented by io: unloads drivers, frees everything
bool MachineRunning();
const MachineOptions& Options();
const std::string& RootDir();  // host root for volumes (created by core at boot)

// ---- object manager: anything a handle or a name can refer to
struct KObject {
    virtual ~KObject() = default;
    virtual const char* TypeName() const = 0;
};
// Inserts into the handle table; kernel handles are counted by the verifier.
HANDLE InsertHandle(std::shared_ptr<KObject> object, bool kernelHandle, const char* owner);
std::shared_ptr<KObject> ReferenceHandle(HANDLE handle);  // nullptr when invalid
template <class T>
std::shared_ptr<T> ReferenceHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(ReferenceHandle(handle));
}
bool CloseHandleEntry(HANDLE handle);  // false when the handle is not open
size_t OpenKernelHandles();

// Named objects in the object directory (\BaseNamedObjects\...): weakly held, an
// object lives while some handle or reference holds it.
std::shared_ptr<KObject> LookupNamedObject(const std::u16string& fullName);  // case-insensitive
void InsertNamedObject(const std::u16string& fullName, std::shared_ptr<KObject> object);
// Named events, shared by IoCreate*Event and user mode's CreateEventW/OpenEventW:
// opens the event of that name, or creates it (in the object directory) with the
// given type and state. nullptr when the name belongs to an object of another type.
std::shared_ptr<KObject> CreateOrOpenNamedEvent(const std::u16string& fullName, EVENT_TYPE type,
                                                bool initialState, bool* created);
PKEVENT EventOf(const std::shared_ptr<KObject>& object);  // nullptr when not an event
// An unnamed event object (user mode's CreateEventW without a name).
std::shared_ptr<KObject> CreateEventObject(EVENT_TYPE type, bool initialState);
// Under WaitMutex() (inside a WaitUntil predicate): whether the event is signalled;
// a signalled synchronization event is reset (the wait consumes it).
bool ConsumeEventLocked(PKEVENT event);
bool EventSignaledLocked(const KEVENT* event);  // the same without consuming
// Under WaitMutex(): sets or resets the signal state (false for an invalid event).
bool SetEventStateLocked(PKEVENT event, bool signaled);

// ---- the user-mode half (winsim/um): boot, shutdown and its verifier checks
void UmBoot();
void UmShutdown();                                  // ends host threads, closes their handles
void UmVerifierChecks(std::vector<std::string>* violations);  // leaks of running hosts
void UmProcessExit(PEPROCESS process);  // before the exit notification: threads end, handles close

// ---- IRQL and the verifier's run-time rules
KIRQL CurrentIrql();
void RequirePassive(const char* routine);          // violation above PASSIVE_LEVEL
void RequireIrqlAtMost(KIRQL max, const char* routine);
size_t SpinLocksHeldByThisThread();
void Violation(const std::string& what);           // recorded in the verifier report
// Fault injection: called at the top of every failable routine; true = fail it.
bool ShouldFail(FaultClass cls, const char* routine);

// Unload checks: core checks pool, lookaside lists, kernel handles, held locks and
// calls IoUnloadChecks for the io half. Both append violations.
void VerifierUnloadChecks(const std::u16string& driverName);
void IoUnloadChecks(const std::u16string& driverName);  // implemented by io
// Requests outstanding now (implemented by io): the verifier reports each.
std::vector<std::string> IoOutstandingViolations();

// ---- clock
uint64_t TickCountNow();
uint64_t SystemTimeNow();
// Waits for up to timeout100ns (negative: relative; positive: absolute system time;
// null: forever); in driven mode a timed wait completes by advancing the clock.
// Returns true if pred became true, false on time-out. pred is called under an
// internal lock and must not call back into winsim.
bool WaitUntil(const std::function<bool()>& pred, const LARGE_INTEGER* timeout);
void NotifyWaiters();  // call after changing anything a WaitUntil predicate reads
// Work under way on a machine thread (a device about to complete a request): a
// timed wait on the driven clock lets it land (up to 2 s of real time) before
// time jumps to the deadline.
void BackgroundWorkBegin();
void BackgroundWorkEnd();
// User-mode threads (the host's) take part in the driven clock cooperatively: a
// timed wait on such a thread ends when its deadline comes, and the clock jumps to
// the nearest deadline only once every such thread waits. A thread enters at its
// start and leaves at its end; other threads keep the kernel rule (a timed wait
// advances the clock at once).
// A thread being started is counted from its creator's call of
// CountCooperativeThread on, so the clock cannot move in between; the new thread
// then calls EnterCooperativeThread(true).
void CountCooperativeThread();
void EnterCooperativeThread(bool counted = false);
void LeaveCooperativeThread();
bool IsCooperativeThread();

// ---- debug output
void AppendDebugOutput(const std::string& text);

// ---- formatting with Windows rules (shared by DbgPrintEx, the Rtl/swprintf family)
// narrow=true: format is char, "%s" is narrow and "%S" wide; false: the reverse.
// Output is UTF-8 for FormatNarrow and UTF-16 for FormatWide.
std::string FormatNarrow(const char* format, va_list args);
std::u16string FormatWide(const WCHAR* format, va_list args);
// The kernel's formatting routines (DbgPrintEx, DbgPrint, RtlStringCb/CchPrintf*):
// the same, and a violation when the format holds a wide-character conversion
// (%S %C %ws %wc %ls %lc %wZ) while the calling thread is above PASSIVE_LEVEL,
// where Windows cannot convert that text (its tables and strings may be paged).
std::string KernelFormatNarrow(const char* routine, const char* format, va_list args);
std::u16string KernelFormatWide(const char* routine, const WCHAR* format, va_list args);

// ---- conversions
std::string ToUtf8(const std::u16string& s);
std::string ToUtf8(const WCHAR* s, size_t units);
std::u16string FromUtf8(const std::string& s);
bool EqualsNoCase(const std::u16string& a, const std::u16string& b);

// ---- caller buffers
bool IsRangeAccessible(const volatile void* address, size_t length);
[[noreturn]] void RaiseAccessViolation();

// ================================================================ io

// ---- processes (io owns the objects; core reads the current one for traces)
PEPROCESS CurrentProcess();                  // the system process on threads never set
void SetCurrentProcess(PEPROCESS process);   // thread-local
uint32_t ProcessIdOf(PEPROCESS process);

}  // namespace winsim::detail
