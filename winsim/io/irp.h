// Private declarations of the I/O manager's request machinery: I/O request
// packets of every origin (built by IoBuildDeviceIoControlRequest, allocated with
// IoAllocateIrp, or issued by the machine itself for a test control), their
// completion up the stack, cancellation, MDLs, and the threads that complete
// pended requests later.
#pragma once

// The machine's internals: only winsim itself and its own tests of them may
// include this; everything else goes through winsim/winsim.h.
#if !defined(KX_WINSIM_INTERNALS)
#error "winsim internals: include winsim/winsim.h instead"
#endif

#include <condition_variable>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "winsim/io/io.h"

namespace winsim::io {

// What the issuer of a machine request waits on: set once the completion has run
// past the request's top stack location.
struct MachineCompletion {
    std::mutex mutex;
    std::condition_variable done;
    bool completed = false;
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    std::vector<uint8_t> output;  // what the caller's output buffer got back
    std::vector<uint8_t> callerInput;  // a METHOD_NEITHER caller's input buffer (Type3InputBuffer)
};

// A request the machine issues (as the I/O manager does for a process's call):
// stackCount locations, none current yet (the issuer fills the next one and calls
// IofCallDriver). systemBufferBytes > 0 gives it a system buffer of that size
// (AssociatedIrp.SystemBuffer), outputBytes a caller output buffer (UserBuffer);
// at completion the first min(Information, outputBytes) bytes of the system buffer
// (buffered) or of UserBuffer come back in completion->output.
PIRP NewMachineIrp(CCHAR stackCount, const std::shared_ptr<MachineCompletion>& completion, const std::string& what,
                   size_t systemBufferBytes, size_t outputBytes, bool bufferedOutput);
// An MDL over a copy of bytes, locked, owned by the request (freed with it) and set
// as its MdlAddress. mapped: already mapped to system space; mapFails: every
// attempt to map it fails.
PMDL AttachMachineMdl(PIRP irp, const std::vector<uint8_t>& bytes, bool mapped, bool mapFails);

// Completes with the status and information given (the dispatch routines of the
// machine's own drivers).
NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information);

// Runs fn on a thread of its own, later; such threads are joined before the
// verifier looks at outstanding requests and at shutdown.
void RunLater(std::function<void()> fn);
void JoinLaterThreads();

// Runs fn once, in the next IofCallDriver to a device of driver for major, after the
// slot was read and before the routine read is called.
void ArmSlotRead(PDRIVER_OBJECT driver, UCHAR major, std::function<void()> fn);

// The size of a request's system buffer when the machine made it (else 0).
size_t SystemBufferBytes(PIRP irp);

// Whether the request is still outstanding (not yet completed past its top).
bool IrpOutstanding(PIRP irp);

// The machine's request bookkeeping for a new boot and at shutdown.
void IrpsBoot();
void IrpsShutdown();
// Requests and MDLs the driver left behind (built and never completed, allocated
// and never freed), each as a verifier text; they are forgotten.
std::vector<std::string> IrpUnloadViolations(const std::u16string& driver);
// Requests outstanding now, as verifier texts (nothing is forgotten).
std::vector<std::string> OutstandingRequests();
unsigned PendingRequestCount();

}  // namespace winsim::io
