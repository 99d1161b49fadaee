// Handlers that close the 1394, serial, parallel and modem channels (Etc family)
// and MTP devices behind the user-mode driver reflector (MTP family).
//
// IRQL: the handlers run in the caller's thread at the IRQL the target is called
// at, up to DISPATCH_LEVEL, and take no lock. At PASSIVE_LEVEL a refusal is also
// recorded as an event when the policy asks for it; above PASSIVE_LEVEL the
// request is decided and completed the same way, but no event is recorded and no
// wide text is formatted (the event log's writer and wide formatting are
// passive-level only).
#pragma once

#include "driver/hooks/hooks.h"

// Under DISABLE of BDC_1394 every device-control request of the 1394 host driver
// is refused with STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS Ohci139DeviceControl(_In_ PDRIVER_DISPATCH SavedRoutine, _In_ PDEVICE_OBJECT DeviceObject,
                              _Inout_ PIRP Irp, _In_ PKX_HOOK_RECORD Record);
// Under DISABLE of BDC_SERIAL / BDC_PARALLEL / BDC_MODEM every write is refused
// with STATUS_UNSUCCESSFUL.
NTSTATUS SerenumlWrite(_In_ PDRIVER_DISPATCH SavedRoutine, _In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp,
                       _In_ PKX_HOOK_RECORD Record);
NTSTATUS ParportWrite(_In_ PDRIVER_DISPATCH SavedRoutine, _In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp,
                      _In_ PKX_HOOK_RECORD Record);
NTSTATUS ModemWrite(_In_ PDRIVER_DISPATCH SavedRoutine, _In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp,
                    _In_ PKX_HOOK_RECORD Record);
// MTP: DISABLE refuses every device-control request of the reflector; READONLY
// refuses the MTP commands that write or delete (operation byte 0xDD at offset 48
// of the command buffer, for three control codes), when the request has a file
// object. A command buffer that cannot be read passes.
NTSTATUS MtpDeviceIoControl(_In_ PDRIVER_DISPATCH SavedRoutine, _In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp,
                            _In_ PKX_HOOK_RECORD Record);

// Traces length bytes as "%02X " groups, 32 bytes a line (debug bit 0x2). Reads
// the buffer: a caller buffer must be read inside the caller's exception guard.
_IRQL_requires_max_(DISPATCH_LEVEL)
void PrintHexData(_In_reads_bytes_(length) const UCHAR* buffer, _In_ ULONG length);
