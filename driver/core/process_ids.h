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

void PgInitPidTables();
void PgAddPid(ULONG processId, ULONG state);
// Marks the system's own process ids trusted (after start-up and after CLEAR).
void PgAddSystemPids();
ULONG PgGetPidState(ULONG processId);
ULONG PgIsProtectPid(ULONG processId);
ULONG PgRemovePid(ULONG processId);
ULONG PgRemovePidState(ULONG processId, ULONG state);
void PgClearPidState(ULONG state);
void PgClearAllPid();
