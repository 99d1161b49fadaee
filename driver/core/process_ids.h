// Process-id state tables: which state bits (trusted, cached list type, protected)
// each process id holds.
//
// IRQL and locking: every routine may run at any IRQL up to DISPATCH_LEVEL; one
// spin lock guards all tables and is held for one lookup or update. Lookups never
// allocate.
#pragma once

#include "driver/core/globals.h"

#define KX_TAG_PID KX_POOL_TAG("pgsc")  // process-id storage beyond the fixed bitmaps

// The ids the driver always trusts (0, 4 and 8); their requests are never
// filtered and CLEAR never forgets them.
constexpr ULONG KxSystemProcessIds[] = {0, 4, 8};

inline bool KxIsSystemProcessId(ULONG_PTR processId) {
    for (ULONG id : KxSystemProcessIds) {
        if (processId == id) {
            return true;
        }
    }
    return false;
}

_IRQL_requires_(PASSIVE_LEVEL)
void PgInitPidTables();
_IRQL_requires_max_(DISPATCH_LEVEL)
void PgAddPid(_In_ ULONG processId, _In_ ULONG state);
// Marks the system's own process ids trusted (after start-up and after CLEAR).
_IRQL_requires_max_(DISPATCH_LEVEL)
void PgAddSystemPids();
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG PgGetPidState(_In_ ULONG processId);
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG PgIsProtectPid(_In_ ULONG processId);
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG PgRemovePid(_In_ ULONG processId);
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG PgRemovePidState(_In_ ULONG processId, _In_ ULONG state);
_IRQL_requires_max_(DISPATCH_LEVEL)
void PgClearPidState(_In_ ULONG state);
_IRQL_requires_max_(DISPATCH_LEVEL)
void PgClearAllPid();
