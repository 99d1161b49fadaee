// System routines looked up by name.
#include "driver/core/nt_routines.h"

namespace {

const PCWSTR RoutineNames[KxRoutineCount] = {
    WSTR("ZwQueryInformationProcess"),
    WSTR("IoOpenDriverRegistryKey"),
    WSTR("PsSetCreateProcessNotifyRoutineEx"),
};

// Looked up on first use and kept; a failed lookup is retried next time.
PVOID volatile RoutineCache[KxRoutineCount];

}  // namespace

PVOID KxGetRoutine(KX_ROUTINE which) {
    PAGED_CODE();
    if ((ULONG)which >= KxRoutineCount) {
        return NULL;
    }
    PVOID routine = InterlockedCompareExchangePointer(&RoutineCache[which], NULL, NULL);
    if (routine == NULL) {
        UNICODE_STRING routineName;
        RtlInitUnicodeString(&routineName, RoutineNames[which]);
        routine = MmGetSystemRoutineAddress(&routineName);
        if (routine != NULL) {
            InterlockedExchangePointer(&RoutineCache[which], routine);
        }
    }
    return routine;
}

void KxResetRoutines() {
    for (ULONG i = 0; i < KxRoutineCount; ++i) {
        InterlockedExchangePointer(&RoutineCache[i], NULL);
    }
}
