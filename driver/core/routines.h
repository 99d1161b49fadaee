// System routines the driver looks up by name, because not every supported
// Windows version exports them (or the WDK headers do not declare them).
//
// IRQL: PASSIVE_LEVEL (MmGetSystemRoutineAddress). Lookups are cached per load;
// the cache is lock-free (one pointer exchange per routine).
#pragma once

#include "driver/core/globals.h"

enum KX_ROUTINE {
    KxRoutineZwQueryInformationProcess,
    KxRoutineIoOpenDriverRegistryKey,
    KxRoutinePsSetCreateProcessNotifyRoutineEx,
    KxRoutineCount
};

// The routine's address, looked up on first use and kept; NULL when the system
// does not export it (a failed lookup is retried next time).
PVOID KxGetRoutine(KX_ROUTINE routine);

// Forgets every cached address: a new load of the image looks them up again.
void KxResetRoutines();
