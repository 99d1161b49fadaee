// Process-id state tables: one bitmap per state value (trusted, cached list types,
// protected), so a per-request lookup costs one lock and one bit test.
#include "driver/core/process_ids.h"

namespace {

constexpr ULONG kTableCount = 5;
constexpr ULONG kTableWords = 4096 / sizeof(ULONG);
constexpr ULONG kTableLimit = kTableWords * 32 * 4;  // ids below this live in the bitmaps

// Ids at or above the bitmaps' reach (the platform hands them out on busy
// machines) are kept in a list instead, so a protected process with a large id
// is still protected. Each entry holds every state bit of its id.
struct PID_ENTRY {
    LIST_ENTRY link;
    ULONG processId;
    ULONG states;
};

ULONG PidTables[kTableCount][kTableWords];
LIST_ENTRY LargePids;
KSPIN_LOCK PidLock;

// Table index of a state value; -1 for values that have no table.
int TableIndex(ULONG state) {
    switch (state) {
    case 1: return 0;
    case 2: return 1;
    case 4: return 2;
    case 8: return 3;
    case 64: return 4;
    default: return -1;
    }
}

// Most significant bit first within each 32-bit word.
inline ULONG WordOf(ULONG processId) { return (processId / 4) / 32; }
inline ULONG BitOf(ULONG processId) { return 1u << (31 - ((processId / 4) % 32)); }

// Caller holds PidLock.
PID_ENTRY* FindLarge(ULONG processId) {
    for (PLIST_ENTRY e = LargePids.Flink; e != &LargePids; e = e->Flink) {
        PID_ENTRY* entry = CONTAINING_RECORD(e, PID_ENTRY, link);
        if (entry->processId == processId) {
            return entry;
        }
    }
    return NULL;
}

ULONG FirstState(ULONG states) {
    static const ULONG order[] = {1, 2, 4, 8};
    for (ULONG s : order) {
        if (states & s) {
            return s;
        }
    }
    return 0;
}

void FreeEntries(PLIST_ENTRY list) {
    while (!IsListEmpty(list)) {
        ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(list), PID_ENTRY, link), KX_TAG_PID);
    }
}

// Clears the given state bits of a large id; an entry left without states moves
// to *freed so it is released after the lock. Caller holds PidLock.
void ClearLargeStates(ULONG processId, ULONG states, PLIST_ENTRY freed) {
    PID_ENTRY* entry = FindLarge(processId);
    if (entry != NULL) {
        entry->states &= ~states;
        if (entry->states == 0) {
            RemoveEntryList(&entry->link);
            InsertTailList(freed, &entry->link);
        }
    }
}

}  // namespace

void PgInitPidTables() {
    KeInitializeSpinLock(&PidLock);
    RtlZeroMemory(PidTables, sizeof(PidTables));
    InitializeListHead(&LargePids);
}

void PgAddPid(ULONG processId, ULONG state) {
    const int table = TableIndex(state);
    if (table < 0) {
        return;
    }
    PID_ENTRY* spare = NULL;
    if (processId >= kTableLimit) {
        // Allocated before the lock; handed back if the id already has an entry.
        spare = static_cast<PID_ENTRY*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(PID_ENTRY), KX_TAG_PID));
    }

    bool stored = true;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&PidLock);
    if (processId < kTableLimit) {
        PidTables[table][WordOf(processId)] |= BitOf(processId);
    } else if (PID_ENTRY* entry = FindLarge(processId)) {
        entry->states |= state;
    } else if (spare != NULL) {
        spare->processId = processId;
        spare->states = state;
        InsertTailList(&LargePids, &spare->link);
        spare = NULL;
    } else {
        stored = false;
    }
    KeReleaseSpinLock(&PidLock, irql);

    if (spare != NULL) {
        ExFreePoolWithTag(spare, KX_TAG_PID);
    }
    if (!stored) {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: %d %d no memory\n", processId, state);
        return;
    }
    KX_TRACE(KX_DBG_INFO, "%s:%s: %d %d COMPLETE\n", processId, state);
}

ULONG PgGetPidState(ULONG processId) {
    ULONG states = 0;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&PidLock);
    if (processId < kTableLimit) {
        const ULONG word = WordOf(processId);
        const ULONG bit = BitOf(processId);
        ULONG words[4];
        for (int i = 0; i < 4; ++i) {
            words[i] = PidTables[i][word];
        }
        KeReleaseSpinLock(&PidLock, irql);
        static const ULONG values[] = {1, 2, 4, 8};
        for (int i = 0; i < 4; ++i) {
            if (words[i] & bit) {
                return values[i];
            }
        }
        return 0;
    }
    if (PID_ENTRY* entry = FindLarge(processId)) {
        states = entry->states;
    }
    KeReleaseSpinLock(&PidLock, irql);
    return FirstState(states);
}

ULONG PgIsProtectPid(ULONG processId) {
    bool found = false;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&PidLock);
    if (processId < kTableLimit) {
        found = (PidTables[TableIndex(64)][WordOf(processId)] & BitOf(processId)) != 0;
    } else if (PID_ENTRY* entry = FindLarge(processId)) {
        found = (entry->states & 64) != 0;
    }
    KeReleaseSpinLock(&PidLock, irql);
    return found ? 64 : 0;
}

ULONG PgRemovePid(ULONG processId) {
    const ULONG before = PgGetPidState(processId);
    KX_TRACE(KX_DBG_INFO, "%s:%s: PgRemove %d %d\n", processId, before);

    LIST_ENTRY freed;
    InitializeListHead(&freed);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&PidLock);
    if (processId < kTableLimit) {
        for (ULONG t = 0; t < kTableCount; ++t) {
            PidTables[t][WordOf(processId)] &= ~BitOf(processId);
        }
    } else {
        ClearLargeStates(processId, ~0u, &freed);
    }
    KeReleaseSpinLock(&PidLock, irql);
    FreeEntries(&freed);
    return before;
}

ULONG PgRemovePidState(ULONG processId, ULONG state) {
    KX_TRACE(KX_DBG_INFO, "%s:%s: %d %d\n", processId, state);
    const int table = TableIndex(state);
    if (table < 0) {
        return state;
    }
    LIST_ENTRY freed;
    InitializeListHead(&freed);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&PidLock);
    if (processId < kTableLimit) {
        PidTables[table][WordOf(processId)] &= ~BitOf(processId);
    } else {
        ClearLargeStates(processId, state, &freed);
    }
    KeReleaseSpinLock(&PidLock, irql);
    FreeEntries(&freed);
    return state;
}

void PgClearPidState(ULONG state) {
    const int table = TableIndex(state);
    if (table < 0) {
        return;
    }
    LIST_ENTRY freed;
    InitializeListHead(&freed);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&PidLock);
    RtlZeroMemory(PidTables[table], sizeof(PidTables[table]));
    for (PLIST_ENTRY e = LargePids.Flink; e != &LargePids;) {
        PID_ENTRY* entry = CONTAINING_RECORD(e, PID_ENTRY, link);
        e = e->Flink;
        entry->states &= ~state;
        if (entry->states == 0) {
            RemoveEntryList(&entry->link);
            InsertTailList(&freed, &entry->link);
        }
    }
    KeReleaseSpinLock(&PidLock, irql);
    FreeEntries(&freed);
}

void PgClearAllPid() {
    LIST_ENTRY freed;
    InitializeListHead(&freed);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&PidLock);
    RtlZeroMemory(PidTables, sizeof(PidTables));
    while (!IsListEmpty(&LargePids)) {
        InsertTailList(&freed, RemoveHeadList(&LargePids));
    }
    KeReleaseSpinLock(&PidLock, irql);
    FreeEntries(&freed);
}

void PgAddSystemPids() {
    for (ULONG pid : KxSystemProcessIds) {
        PgAddPid(pid, KX_PROCESS_TRUSTED);
    }
}
