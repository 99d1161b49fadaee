// The event log: records of policy decisions, volume arrivals, process starts and
// ends and protection events, queued until the library drains them with GET_LOG.
// A named notification event is set while records wait.
//
// IRQL and locking: SetLog and SetConnectLog run at PASSIVE_LEVEL (they format
// wide text and open the named event); GetLog runs at PASSIVE_LEVEL in the
// dispatcher. The queue has its own spin lock, held only to link or unlink
// records; the duplicate window has another. Neither is held while the caller's
// buffer is written or while text is formatted.
#pragma once

#include "driver/core/globals.h"

#define KX_TAG_LOG KX_POOL_TAG("prdk")       // event-log blocks
#define KX_TAG_LOG_WORK KX_POOL_TAG("prdw")  // event-log trace copies

_IRQL_requires_(PASSIVE_LEVEL)
void InitLog();
_IRQL_requires_(PASSIVE_LEVEL)
void Cleanuplog();
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SetLog(_In_opt_ PFLT_CALLBACK_DATA data, _In_opt_ PCFLT_RELATED_OBJECTS fltObjects, _In_ ULONG code,
                _In_ ULONG a0, _In_ ULONG a1, _In_ ULONG reserved, _In_opt_z_ PCWSTR nameSource, _In_opt_z_ PCWSTR path);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SetConnectLog(_In_opt_ PCFLT_RELATED_OBJECTS fltObjects, _In_ ULONG a0, _In_ ULONG a1, _In_ ULONG reserved,
                       _In_opt_z_ PCWSTR extra, _In_opt_z_ PCWSTR name, _In_opt_z_ PCWSTR path);
// Moves waiting records into a GET_LOG reply. *faulted is set when writing the
// reply raised an access fault; the status is then the exception code and no
// record has been consumed.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS GetLog(_Out_writes_bytes_opt_(outputSize) PVOID outputBuffer, _In_ ULONG outputSize,
                _Out_ PULONG reportedSize, _Out_ bool* faulted);
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG KxLogCount();

// The system-noise filter: whether a POLICY record is one of the known harmless
// accesses that is not worth reporting.
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN IsException(_In_opt_ PFLT_CALLBACK_DATA data, _In_ const EVENT_RECORD* record);
// The duplicate window: whether a POLICY record repeats the last one admitted for
// its device class within two seconds. Admitted records become the new last one.
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN IsOvlappedLog(_In_ const EVENT_RECORD* record);
// Empties the duplicate window (start-up).
_IRQL_requires_(PASSIVE_LEVEL)
void InitDuplicateWindow();
