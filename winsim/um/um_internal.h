// The user-mode half of the simulated machine, shared by the files of winsim/um/:
// processes' user handle tables, user threads, last errors and fault injection.
//
// Every user-mode routine runs on behalf of the current process (the host when a
// test runs code "as the host", or a thread the host created). Handles are per
// process: a handle of another process is invalid here, as on Windows.
//
// Registering a handle of another kind (registry keys, service handles): call
// InsertUserHandle with the kind and an object (any detail::KObject), and an
// onClose action that runs exactly once when the handle is closed by its closing
// routine or by the process's exit. ReferenceUserHandle / ReferenceUserHandleAs
// find it again (in the current process, of that kind); CloseUserHandle closes it.
// A handle still open when a running host is checked is reported by the verifier
// as "<kind> handle(s) left open by process N", with the owner text given here.
#pragma once

#if !defined(KX_WINSIM_INTERNALS)
#error "winsim internals: include winsim/winsim.h instead"
#endif

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "platform/um.h"
#include "winsim/core/core.h"

namespace winsim::um {

// The closing routine each handle kind belongs to.
enum class HandleKind {
    Object,    // CloseHandle: events, threads, ports, tokens
    Registry,  // RegCloseKey
    Service,   // CloseServiceHandle (manager and service handles)
    Module,    // FreeLibrary
};
const char* HandleKindName(HandleKind kind);

// A handle of the current process (process null) or of the given one.
HANDLE InsertUserHandle(HandleKind kind, std::shared_ptr<detail::KObject> object, std::function<void()> onClose = {},
                        const std::string& owner = "", PEPROCESS process = nullptr);
// The object of an open handle of the current process, of that kind; nullptr when
// the handle is not open there.
std::shared_ptr<detail::KObject> ReferenceUserHandle(HANDLE handle, HandleKind kind);
template <class T>
std::shared_ptr<T> ReferenceUserHandleAs(HANDLE handle, HandleKind kind) {
    return std::dynamic_pointer_cast<T>(ReferenceUserHandle(handle, kind));
}
// Closes a handle of the current process (its onClose runs after the table lock is
// dropped); false when it is not open there.
bool CloseUserHandle(HANDLE handle, HandleKind kind);
size_t UserHandleCount(PEPROCESS process);

// The process user-mode code runs for on this thread.
PEPROCESS CurrentUserProcess();

// Thread-local last error.
void SetError(DWORD error);

// Fault injection: true when this call of the point must fail (counts the call).
bool ShouldFailUser(UserFault point, DWORD* error);

// Waits as a user-mode thread: pred is checked under the machine's wait lock (it
// must not call back into winsim); milliseconds INFINITE waits forever. Returns
// true when pred became true. A thread of a process that is exiting leaves the
// wait by throwing ThreadEnded (caught by the thread's start routine).
struct ThreadEnded {};
bool UserWait(const std::function<bool()>& pred, DWORD milliseconds);
// Whether the current thread's process is ending (checked inside predicates).
bool ThreadMustEnd();

// Thread objects: waitable, signalled when the thread ends.
struct ThreadObject : detail::KObject {
    const char* TypeName() const override { return "Thread"; }
    bool ended = false;  // under WaitMutex()
    DWORD exitCode = STILL_ACTIVE;
    DWORD threadId = 0;
    std::atomic<bool> resumed{true};  // false while CREATE_SUSPENDED holds it
};
// Whether a waitable object is signalled (under WaitMutex(); consumes a
// synchronization event's signal). Unsupported objects answer false.
bool ObjectSignaledLocked(const std::shared_ptr<detail::KObject>& object);

// The Win32 error a status maps to (RtlNtStatusToDosError).
ULONG DosErrorOf(NTSTATUS status);

// Boot/shutdown of the files' own state.
void PortsBoot();
void PortsShutdown();
void MemoryRelease(PEPROCESS process);                // at exit: its regions go, silently
void MemoryReport(std::vector<std::string>* violations);  // regions running processes still hold

}  // namespace winsim::um
