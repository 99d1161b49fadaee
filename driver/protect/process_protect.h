// Process protection: object callbacks that strip terminate and suspend rights
// from handles to protected processes.
//
// A process is protected when its image name is the fixed protected name, when
// its id holds the protected state of the process-id tables, or when the
// protected process-name list names it. The callbacks are registered on demand
// (SET_PROCESS_PROTECT) and act only while the active flag is set.
//
// IRQL and locking:
// - InstallProcessProtect and UnInstallProcessProtect run at PASSIVE_LEVEL, from
//   the dispatcher and from unload. Registration state changes are interlocked;
//   the active flag is one aligned 32-bit value read without a lock.
// - PreOperationCallback runs in the thread that opens or duplicates a process or
//   thread handle, normally at PASSIVE_LEVEL; above it the request passes
//   unexamined. It takes the process-id table lock and the name-list lock one
//   after the other, never together, and allocates nothing of its own (its
//   working buffers are on the stack; the image-name lookup allocates and frees
//   inside UGetProcessFullPathFromPid).
#pragma once

#include "driver/core/globals.h"

// The image name that is always protected.
#define KX_PROTECTED_IMAGE_NAME WSTR("kx4grdputool.exe")
// Altitude of the object callbacks.
#define KX_OB_CALLBACK_ALTITUDE WSTR("380832")

// Rights removed from a handle to a protected process, by object type.
#define KX_PROCESS_STRIP_MASK (PROCESS_TERMINATE | PROCESS_SUSPEND_RESUME)  // 0x801
#define KX_THREAD_STRIP_MASK (THREAD_TERMINATE | THREAD_SUSPEND_RESUME)     // 0x3
// A request is examined when its desired access has a bit of its operation's
// mask or of its object type's removal mask.
#define KX_CREATE_EXAMINE_MASK 0x00000801
#define KX_DUPLICATE_EXAMINE_MASK 0x00000003

// Working buffers of the callback, in characters (259 and a terminator).
#define KX_IMAGE_PATH_CHARS 260

// Non-zero while the callbacks act.
extern volatile LONG ProcessProtectActive;

// Registers the callbacks once and activates them. Once registered, a later call
// only sets the active flag again. On a registration failure nothing is active
// and the next call tries again.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS InstallProcessProtect();
// Stops the callbacks from acting; they stay registered.
_IRQL_requires_max_(DISPATCH_LEVEL)
void DeactivateProcessProtect();
// Unregisters the callbacks (waiting for calls in progress) and forgets the
// registration, so a later load or install starts clean.
_IRQL_requires_(PASSIVE_LEVEL)
void UnInstallProcessProtect();

_IRQL_requires_max_(APC_LEVEL)
OB_PREOP_CALLBACK_STATUS PreOperationCallback(_In_ PVOID registrationContext,
                                              _Inout_ POB_PRE_OPERATION_INFORMATION operationInformation);
_IRQL_requires_max_(APC_LEVEL)
void PostOperationCallback(_In_ PVOID registrationContext, _In_ POB_POST_OPERATION_INFORMATION operationInformation);

// The image path of a process and its last component, each cut to its buffer
// (sizes in bytes) and terminated. A process that cannot be looked up leaves the
// buffers as they are and returns the lookup's status; an image name that cannot
// be obtained empties both and returns that status.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS UGetProcessFullPathFromPid(_In_ HANDLE processId, _Out_writes_bytes_(fullPathSize) PWSTR fullPath,
                                    _In_ ULONG fullPathSize, _Out_writes_bytes_(nameSize) PWSTR name,
                                    _In_ ULONG nameSize);
