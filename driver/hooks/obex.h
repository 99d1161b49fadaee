// Bluetooth and IrDA channel control: the handlers that sit on the Bluetooth stack
// drivers (BTKRNL, BTWUSB, BTHUSB), on RFCOMM and on the IrDA driver. They refuse
// a channel whose policy is DISABLE and, on RFCOMM and IrDA, follow the OBEX
// connection a request carries (connect, put, disconnect), record events and on
// Bluetooth refuse connects and file puts by the Bluetooth file policy.
//
// IRQL: the handlers run in the caller's thread at PASSIVE_LEVEL or up to
// DISPATCH_LEVEL. Above PASSIVE_LEVEL they decide and complete exactly as at
// PASSIVE_LEVEL but skip what may only run at PASSIVE_LEVEL: event texts and
// SetLog, and traces that print wide text.
//
// The two OBEX connection slots (one per transport) hold the file object of the
// last OBEX connect as an identity only: it is compared with later requests' file
// objects and never dereferenced, so no reference is kept. Each slot is one
// pointer read and written atomically; the last writer wins.
#pragma once

#include "driver/hooks/hooks.h"

_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS BtkrnlDeviceIoControl(_In_ PDRIVER_DISPATCH SavedRoutine, _In_ PDEVICE_OBJECT DeviceObject,
                               _Inout_ PIRP Irp, _In_ PKX_HOOK_RECORD Record);
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS RfcommInternalDeviceIoControl(_In_ PDRIVER_DISPATCH SavedRoutine, _In_ PDEVICE_OBJECT DeviceObject,
                                       _Inout_ PIRP Irp, _In_ PKX_HOOK_RECORD Record);
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS BtwusbDeviceIoControl(_In_ PDRIVER_DISPATCH SavedRoutine, _In_ PDEVICE_OBJECT DeviceObject,
                               _Inout_ PIRP Irp, _In_ PKX_HOOK_RECORD Record);
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS BthusbDeviceIoControl(_In_ PDRIVER_DISPATCH SavedRoutine, _In_ PDEVICE_OBJECT DeviceObject,
                               _Inout_ PIRP Irp, _In_ PKX_HOOK_RECORD Record);
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS IrdaInternalDeviceControl(_In_ PDRIVER_DISPATCH SavedRoutine, _In_ PDEVICE_OBJECT DeviceObject,
                                   _Inout_ PIRP Irp, _In_ PKX_HOOK_RECORD Record);

// Empties both connection slots. Driver entry calls it before any hook exists: a
// slot must never carry an identity over from an earlier load of the image.
_IRQL_requires_max_(DISPATCH_LEVEL)
void ObexResetConnections();

// The identities in the slots (for diagnostics and tests; never dereferenced).
_IRQL_requires_max_(DISPATCH_LEVEL)
PFILE_OBJECT ObexBluetoothConnection();
_IRQL_requires_max_(DISPATCH_LEVEL)
PFILE_OBJECT ObexIrdaConnection();
