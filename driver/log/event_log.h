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

void InitLog();
void Cleanuplog();
NTSTATUS SetLog(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects, ULONG code, ULONG a0, ULONG a1,
                ULONG reserved, PCWSTR nameSource, PCWSTR path);
NTSTATUS SetConnectLog(PCFLT_RELATED_OBJECTS fltObjects, ULONG a0, ULONG a1, ULONG reserved, PCWSTR extra,
                       PCWSTR name, PCWSTR path);
// Moves waiting records into a GET_LOG reply. *faulted is set when writing the
// reply raised an access fault; the status is then the exception code and no
// record has been consumed.
NTSTATUS GetLog(PVOID outputBuffer, ULONG outputSize, PULONG reportedSize, bool* faulted);
ULONG KxLogCount();

// The system-noise filter: whether a POLICY record is one of the known harmless
// accesses that is not worth reporting.
BOOLEAN IsException(PFLT_CALLBACK_DATA data, const EVENT_RECORD* record);
// The duplicate window: whether a POLICY record repeats the last one admitted for
// its device class within two seconds. Admitted records become the new last one.
BOOLEAN IsOvlappedLog(const EVENT_RECORD* record);
// Empties the duplicate window (start-up).
void InitDuplicateWindow();
