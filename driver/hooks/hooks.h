// Dispatch hook families on other drivers' major-function tables.
//
// For each target driver (found by name) chosen entries of its major-function
// table are replaced by a small routine of ours that routes every request to a
// handler. A handler either completes the request itself or passes it to the
// routine that was replaced. Targets are grouped in four families that are
// installed and removed as a whole (SET_HOOK).
//
// IRQL and locking:
// - Installation and removal run at PASSIVE_LEVEL (removal sleeps while requests
//   are still inside the routing). All of them, for every family, are serialised
//   by one passive-level lock; no spin lock is ever held around them.
// - The request path (entry routines, router, handlers) runs in the caller's
//   thread at whatever IRQL the target is called at, up to DISPATCH_LEVEL. It
//   takes no lock: one atomic increment and decrement of the record's count, and
//   single atomic reads of the saved routine and the flags.
// - A handler that runs above PASSIVE_LEVEL decides and completes, but formats no
//   wide text and records no event.
#pragma once

#include "driver/core/globals.h"

// One entry per major function 0 to IRP_MJ_MAXIMUM_FUNCTION.
#define KX_HOOK_MAJOR_COUNT (IRP_MJ_MAXIMUM_FUNCTION + 1)

typedef struct _KX_HOOK_RECORD KX_HOOK_RECORD, *PKX_HOOK_RECORD;

// A handler receives the routine it replaced (never NULL), the device object, the
// request and its hook record. It either completes the request (status and
// information set, IofCompleteRequest without priority boost) and returns that
// status, or returns SavedRoutine(DeviceObject, Irp).
typedef NTSTATUS (*PKX_HOOK_HANDLER)(_In_ PDRIVER_DISPATCH SavedRoutine, _In_ PDEVICE_OBJECT DeviceObject,
                                     _Inout_ PIRP Irp, _In_ PKX_HOOK_RECORD Record);

// One major function of one target.
typedef struct _KX_HOOK_ENTRY {
    // The target's routine we replaced; NULL when not interposed. Written only
    // under the hook lock, read atomically by the router.
    PVOID volatile SavedRoutine;
    // The entry's own major-function number (filled in for the enabled entries).
    ULONG MajorFunction;
    // 1 if this entry is to be interposed.
    UCHAR Enabled;
    PKX_HOOK_HANDLER Handler;
    // The target's routine as last seen by an install. Unlike SavedRoutine it is
    // kept after removal: a caller that fetched our routine from the table before
    // it was restored, and calls it afterwards, is passed on to this one.
    PVOID volatile OriginalRoutine;
} KX_HOOK_ENTRY, *PKX_HOOK_ENTRY;

// One target driver.
struct _KX_HOOK_RECORD {
    // The target's driver object while interposed (referenced until removal).
    PDRIVER_OBJECT volatile DriverObject;
    // 1 while the record is interposed.
    volatile LONG Hooked;
    // Requests currently inside this record's routing (atomic only).
    volatile LONG ActiveCount;
    KX_HOOK_ENTRY Entries[KX_HOOK_MAJOR_COUNT];
};

typedef enum _KX_HOOK_FAMILY { KxHookBluetooth, KxHookEtc, KxHookMtp, KxHookUsb } KX_HOOK_FAMILY;

// The family flag handlers read: set while the family is installed (at least one
// record hooked), cleared first thing when the family is removed. Any IRQL.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN KxHookFamilyActive(_In_ KX_HOOK_FAMILY Family);

// Resets every family to unhooked and readies the hook lock (driver entry, before
// the port exists).
_IRQL_requires_(PASSIVE_LEVEL)
void InitHooks();
// From now on SET_HOOK changes nothing (unload has begun). Called at the start of
// the unload sequence, before the client ports close; the families are removed
// later in that sequence.
_IRQL_requires_(PASSIVE_LEVEL)
void KxHooksBeginUnload();

// SET_HOOK: maps a device type to its family and installs (on != 0) or removes
// (on == 0) it. Device types outside the four families change nothing.
_IRQL_requires_(PASSIVE_LEVEL)
void KxSetHook(_In_ ULONG deviceType, _In_ ULONG on);

// Install and remove of each family. Always succeed.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS USBIrpHookInit();
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS USBIrpHookCleanup();
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS BlueToothIrpHookInit();
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS BlueToothIrpHookCleanup();
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS MtpIrpHookInit();
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS MtpIrpHookCleanup();
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS EtcIrpHookInit();
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS EtcIrpHookCleanup();

// Completes a request the driver refuses: status, information 0, no boost.
// Returns the status. Any IRQL up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS KxHookCompleteRequest(_Inout_ PIRP Irp, _In_ NTSTATUS Status);
