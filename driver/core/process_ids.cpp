// Process-id state tables: which of the states trusted (1), cached list types
// (2, 4, 8) and protected (64) each process id holds.
//
// Ids below 131072 live in five fixed bitmaps, one per state, so a per-request
// lookup costs one lock and one bit test. Those bitmaps address an id by id / 4.
//
// Ids at or above 131072 (the platform hands them out on busy machines, and a
// client may send any 32-bit value) live in a radix tree over the whole id, so
// every one of the 2^32 values is kept apart. The tree is a static root of 16
// slots, five levels of 16-slot directories and leaves of 256 consecutive ids with
// one 256-bit map per state. A slot is empty, links the next node, or holds one id
// with its states in place: a node is only made where two ids meet, so a lone id
// costs no memory and ids far apart share what they can. A lookup reads at most
// six nodes and allocates nothing. Nodes are allocated before the lock is taken
// and linked in under it; a node is unlinked under the lock as soon as it holds
// nothing and freed after the lock is released. Every node therefore has a
// recorded id below it, and no id has more than 5 directories and 1 leaf (896
// bytes) on its path; consecutive multiples of 4 take about 3 bytes per id, ids
// scattered at random over the 32-bit range about 60.
#include "driver/core/process_ids.h"

namespace {

constexpr ULONG kTableCount = 5;
constexpr ULONG kTableWords = 4096 / sizeof(ULONG);
constexpr ULONG kTableLimit = kTableWords * 32 * 4;  // ids below this live in the bitmaps
constexpr ULONG kAllTables = (1u << kTableCount) - 1;

// Radix tree geometry. Slot level 0 is the root; the slots of a level-L directory
// are of level L + 1; a slot of level kDirLevels links a leaf.
constexpr ULONG kLeafBits = 8;
constexpr ULONG kDirBits = 4;
constexpr ULONG kDirLevels = 5;
constexpr ULONG kRootBits = 32 - kLeafBits - kDirBits * kDirLevels;
constexpr ULONG kRootSize = 1u << kRootBits;
constexpr ULONG kDirSize = 1u << kDirBits;
constexpr ULONG kLeafSize = 1u << kLeafBits;
constexpr ULONG kLeafWords = kLeafSize / 32;
static_assert(kRootBits > 0 && kRootBits < 32, "tree levels must cover 32 bits");
static_assert(kTableLimit % kLeafSize == 0, "a leaf never straddles the bitmaps' limit");

// A slot: 0 empty; a node's address (pool blocks are 16-byte aligned); or, with
// bit 0 set, one id in bits 32-63 and the mask of its tables in bits 1-5.
typedef ULONG64 PID_SLOT;
static_assert(sizeof(void*) <= sizeof(PID_SLOT), "a slot holds an address");

// Common head of directories and leaves.
struct PID_NODE {
    ULONG used;          // directory: slots not empty; leaf: state bits set
    PID_NODE* nextFree;  // links nodes unlinked under the lock, freed after it
};

struct PID_DIRECTORY : PID_NODE {
    PID_SLOT slot[kDirSize];
};

struct PID_LEAF : PID_NODE {
    ULONG bits[kTableCount][kLeafWords];  // per table, bit (id % 32) of word (id % 256) / 32
};

ULONG PidTables[kTableCount][kTableWords];
PID_SLOT LargeRoot[kRootSize];
KSPIN_LOCK PidLock;

// The state each table holds, in the order PgGetPidState consults them: trusted,
// the two cached trusted-list types without a name of their own, looked up and not
// listed, then protected (never consulted by PgGetPidState).
constexpr ULONG kTableStates[kTableCount] = {KX_PROCESS_TRUSTED, 2, 4, KX_PROCESS_NOT_LISTED,
                                             KX_PROCESS_PROTECTED};

// Table index of a state value; -1 for values that have no table.
int TableIndex(ULONG state) {
    for (ULONG i = 0; i < kTableCount; ++i) {
        if (kTableStates[i] == state) {
            return (int)i;
        }
    }
    return -1;
}

constexpr ULONG kProtectTable = 4;

// Most significant bit first within each 32-bit word.
inline ULONG WordOf(ULONG processId) { return (processId / 4) / 32; }
inline ULONG BitOf(ULONG processId) { return 1u << (31 - ((processId / 4) % 32)); }

// Mask of the small-id tables that hold the id. Caller holds PidLock.
ULONG SmallTables(ULONG processId) {
    ULONG mask = 0;
    for (ULONG t = 0; t < kTableCount; ++t) {
        if ((PidTables[t][WordOf(processId)] & BitOf(processId)) != 0) {
            mask |= 1u << t;
        }
    }
    return mask;
}

// ---------------------------------------------------------------- large ids

inline ULONG RootIndex(ULONG processId) { return processId >> (32 - kRootBits); }
// Slot within the directory of the given level (level 0 hangs from the root).
inline ULONG DirIndex(ULONG processId, ULONG level) {
    return (processId >> (kLeafBits + kDirBits * (kDirLevels - 1 - level))) & (kDirSize - 1);
}
inline ULONG LeafWord(ULONG processId) { return (processId & (kLeafSize - 1)) / 32; }
inline ULONG LeafBit(ULONG processId) { return 1u << (processId % 32); }

inline bool IsInline(PID_SLOT slot) { return (slot & 1) != 0; }
inline PID_SLOT MakeInline(ULONG processId, ULONG tables) {
    return (static_cast<PID_SLOT>(processId) << 32) | (static_cast<PID_SLOT>(tables) << 1) | 1;
}
inline ULONG InlineId(PID_SLOT slot) { return static_cast<ULONG>(slot >> 32); }
inline ULONG InlineTables(PID_SLOT slot) { return static_cast<ULONG>(slot >> 1) & kAllTables; }

inline PID_NODE* NodeOf(PID_SLOT slot) { return reinterpret_cast<PID_NODE*>(static_cast<ULONG_PTR>(slot)); }
inline PID_SLOT SlotOf(PID_NODE* node) { return static_cast<PID_SLOT>(reinterpret_cast<ULONG_PTR>(node)); }
inline PID_DIRECTORY* AsDirectory(PID_NODE* node) { return static_cast<PID_DIRECTORY*>(node); }
inline PID_LEAF* AsLeaf(PID_NODE* node) { return static_cast<PID_LEAF*>(node); }

// Bytes of a node linked from a slot of the given level.
inline SIZE_T NodeSize(ULONG level) { return level < kDirLevels ? sizeof(PID_DIRECTORY) : sizeof(PID_LEAF); }

ULONG CountBits(ULONG v) {
    ULONG n = 0;
    for (; v != 0; v &= v - 1) {
        ++n;
    }
    return n;
}

ULONG LeafTables(const PID_LEAF* leaf, ULONG processId) {
    ULONG mask = 0;
    for (ULONG t = 0; t < kTableCount; ++t) {
        if ((leaf->bits[t][LeafWord(processId)] & LeafBit(processId)) != 0) {
            mask |= 1u << t;
        }
    }
    return mask;
}

// Sets tables of an id in a leaf, counting the bits that were clear.
void LeafSet(PID_LEAF* leaf, ULONG processId, ULONG tables) {
    const ULONG added = tables & ~LeafTables(leaf, processId);
    for (ULONG t = 0; t < kTableCount; ++t) {
        if ((added & (1u << t)) != 0) {
            leaf->bits[t][LeafWord(processId)] |= LeafBit(processId);
        }
    }
    leaf->used += CountBits(added);
}

// Mask of the tables that hold a large id. Caller holds PidLock.
ULONG LargeTables(ULONG processId) {
    PID_SLOT slot = LargeRoot[RootIndex(processId)];
    for (ULONG level = 0; slot != 0; ++level) {
        if (IsInline(slot)) {
            return InlineId(slot) == processId ? InlineTables(slot) : 0;
        }
        if (level == kDirLevels) {
            return LeafTables(AsLeaf(NodeOf(slot)), processId);
        }
        slot = AsDirectory(NodeOf(slot))->slot[DirIndex(processId, level)];
    }
    return 0;
}

// Nodes that an id needs to go where the slot of the given level holds another id
// alone: one per level down to where the two ids part (or down to the leaf).
ULONG SplitDepth(ULONG processId, ULONG other, ULONG level) {
    ULONG last = level;
    while (last < kDirLevels && DirIndex(processId, last) == DirIndex(other, last)) {
        ++last;
    }
    return last;  // nodes of levels level .. last
}

// Caller holds PidLock and spares for levels level .. SplitDepth(). Replaces the
// slot's lone id by the nodes that hold it and processId's tables.
void Split(PID_SLOT* slot, ULONG level, ULONG processId, ULONG tables, PID_NODE* spares[kDirLevels + 1]) {
    const PID_SLOT other = *slot;
    const ULONG otherId = InlineId(other);
    for (;; ++level) {
        PID_NODE* node = spares[level];
        spares[level] = NULL;
        *slot = SlotOf(node);
        if (level == kDirLevels) {
            LeafSet(AsLeaf(node), otherId, InlineTables(other));
            LeafSet(AsLeaf(node), processId, tables);
            return;
        }
        PID_DIRECTORY* dir = AsDirectory(node);
        const ULONG mine = DirIndex(processId, level);
        const ULONG theirs = DirIndex(otherId, level);
        if (mine != theirs) {
            dir->slot[theirs] = other;
            dir->slot[mine] = MakeInline(processId, tables);
            dir->used = 2;
            return;
        }
        dir->used = 1;
        slot = &dir->slot[mine];
    }
}

// Sets tables of a large id, allocating outside the lock whatever nodes it needs.
// False when memory ran out: nothing recorded, nothing kept.
bool AddLarge(ULONG processId, ULONG tables) {
    PID_NODE* spares[kDirLevels + 1] = {};
    bool stored = false;
    for (;;) {
        ULONG needFrom = 0, needTo = 0;  // levels of the nodes still missing, when !stored
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&PidLock);
        PID_SLOT* slot = &LargeRoot[RootIndex(processId)];
        PID_NODE* parent = NULL;
        for (ULONG level = 0;; ++level) {
            const PID_SLOT value = *slot;
            if (value == 0) {
                *slot = MakeInline(processId, tables);
                if (parent != NULL) {
                    parent->used++;
                }
                stored = true;
            } else if (IsInline(value) && InlineId(value) == processId) {
                *slot = value | MakeInline(0, tables);
                stored = true;
            } else if (IsInline(value)) {
                needFrom = level;
                needTo = SplitDepth(processId, InlineId(value), level);
                bool ready = true;
                for (ULONG l = needFrom; l <= needTo; ++l) {
                    ready = ready && spares[l] != NULL;
                }
                if (ready) {
                    Split(slot, level, processId, tables, spares);
                    stored = true;
                }
            } else if (level == kDirLevels) {
                LeafSet(AsLeaf(NodeOf(value)), processId, tables);
                stored = true;
            } else {
                parent = NodeOf(value);
                slot = &AsDirectory(parent)->slot[DirIndex(processId, level)];
                continue;
            }
            break;
        }
        KeReleaseSpinLock(&PidLock, irql);
        if (stored) {
            break;
        }
        // The tree may change before the next pass; it looks again.
        bool allocated = true;
        for (ULONG l = needFrom; l <= needTo && allocated; ++l) {
            if (spares[l] == NULL) {
                spares[l] = static_cast<PID_NODE*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, NodeSize(l), KX_TAG_PID));
                allocated = spares[l] != NULL;
            }
        }
        if (!allocated) {
            break;
        }
    }
    // Spares another thread's change made unnecessary, or all of them on failure.
    for (ULONG l = 0; l <= kDirLevels; ++l) {
        if (spares[l] != NULL) {
            ExFreePoolWithTag(spares[l], KX_TAG_PID);
        }
    }
    return stored;
}

// Caller holds PidLock. Clears tables of a large id; nodes left empty are unlinked
// onto *freed.
void ClearLarge(ULONG processId, ULONG tables, PID_NODE** freed) {
    PID_SLOT* slots[kDirLevels + 1];
    PID_NODE* nodes[kDirLevels + 1];  // nodes[l]: the node linked from slots[l]
    ULONG level = 0;
    slots[0] = &LargeRoot[RootIndex(processId)];
    bool emptied = false;  // the slot at `level` became empty
    for (;; ++level) {
        const PID_SLOT value = *slots[level];
        if (value == 0) {
            return;
        }
        if (IsInline(value)) {
            if (InlineId(value) != processId) {
                return;
            }
            const ULONG left = InlineTables(value) & ~tables;
            *slots[level] = left ? MakeInline(processId, left) : 0;
            emptied = left == 0;
            break;
        }
        nodes[level] = NodeOf(value);
        if (level == kDirLevels) {
            PID_LEAF* leaf = AsLeaf(nodes[level]);
            const ULONG cleared = tables & LeafTables(leaf, processId);
            for (ULONG t = 0; t < kTableCount; ++t) {
                if ((cleared & (1u << t)) != 0) {
                    leaf->bits[t][LeafWord(processId)] &= ~LeafBit(processId);
                }
            }
            leaf->used -= CountBits(cleared);
            if (leaf->used == 0) {
                *slots[level] = 0;
                leaf->nextFree = *freed;
                *freed = leaf;
                emptied = true;
            }
            break;
        }
        slots[level + 1] = &AsDirectory(nodes[level])->slot[DirIndex(processId, level)];
    }
    // An emptied slot takes one use from the directory holding it, which may go too.
    while (emptied && level > 0) {
        PID_NODE* dir = nodes[--level];
        emptied = --dir->used == 0;
        if (emptied) {
            *slots[level] = 0;
            dir->nextFree = *freed;
            *freed = dir;
        }
    }
}

// Caller holds PidLock. Clears one table in every id below a slot of the given
// level; whatever is left empty is unlinked (nodes onto *freed). True when the slot
// became empty.
bool ClearTableBelow(PID_SLOT* slot, ULONG level, ULONG table, PID_NODE** freed) {
    const PID_SLOT value = *slot;
    if (value == 0) {
        return false;
    }
    if (IsInline(value)) {
        const ULONG left = InlineTables(value) & ~(1u << table);
        *slot = left ? MakeInline(InlineId(value), left) : 0;
        return left == 0;
    }
    PID_NODE* node = NodeOf(value);
    if (level == kDirLevels) {
        PID_LEAF* leaf = AsLeaf(node);
        for (ULONG w = 0; w < kLeafWords; ++w) {
            leaf->used -= CountBits(leaf->bits[table][w]);
            leaf->bits[table][w] = 0;
        }
    } else {
        PID_DIRECTORY* dir = AsDirectory(node);
        for (ULONG i = 0; i < kDirSize && dir->used != 0; ++i) {
            if (ClearTableBelow(&dir->slot[i], level + 1, table, freed)) {
                dir->used--;
            }
        }
    }
    if (node->used != 0) {
        return false;
    }
    *slot = 0;
    node->nextFree = *freed;
    *freed = node;
    return true;
}

// Frees nodes unlinked under the lock; each is empty, so none owns others.
void FreeUnlinked(PID_NODE* freed) {
    while (freed != NULL) {
        PID_NODE* next = freed->nextFree;
        ExFreePoolWithTag(freed, KX_TAG_PID);
        freed = next;
    }
}

// Frees a whole subtree that is no longer reachable.
void FreeSubtree(PID_NODE* node, ULONG level) {
    if (level < kDirLevels) {
        PID_DIRECTORY* dir = AsDirectory(node);
        for (ULONG i = 0; i < kDirSize; ++i) {
            if (dir->slot[i] != 0 && !IsInline(dir->slot[i])) {
                FreeSubtree(NodeOf(dir->slot[i]), level + 1);
            }
        }
    }
    ExFreePoolWithTag(node, KX_TAG_PID);
}

// Mask of the tables that hold the id.
ULONG TablesOf(ULONG processId) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&PidLock);
    const ULONG tables = processId < kTableLimit ? SmallTables(processId) : LargeTables(processId);
    KeReleaseSpinLock(&PidLock, irql);
    return tables;
}

}  // namespace

void PgInitPidTables() {
    KeInitializeSpinLock(&PidLock);
    RtlZeroMemory(PidTables, sizeof(PidTables));
    RtlZeroMemory(LargeRoot, sizeof(LargeRoot));
}

void PgAddPid(ULONG processId, ULONG state) {
    const int table = TableIndex(state);
    if (table < 0) {
        return;
    }
    if (processId < kTableLimit) {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&PidLock);
        PidTables[table][WordOf(processId)] |= BitOf(processId);
        KeReleaseSpinLock(&PidLock, irql);
    } else if (!AddLarge(processId, 1u << table)) {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: %d %d no memory\n", processId, state);
        return;
    }
    KX_TRACE(KX_DBG_INFO, "%s:%s: %d %d COMPLETE\n", processId, state);
}

ULONG PgGetPidState(ULONG processId) {
    const ULONG tables = TablesOf(processId);
    for (ULONG i = 0; i < kProtectTable; ++i) {
        if ((tables & (1u << i)) != 0) {
            return kTableStates[i];
        }
    }
    return 0;
}

ULONG PgIsProtectPid(ULONG processId) {
    return (TablesOf(processId) & (1u << kProtectTable)) != 0 ? KX_PROCESS_PROTECTED : 0;
}

ULONG PgRemovePid(ULONG processId) {
    const ULONG before = PgGetPidState(processId);
    KX_TRACE(KX_DBG_INFO, "%s:%s: PgRemove %d %d\n", processId, before);

    PID_NODE* freed = NULL;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&PidLock);
    if (processId < kTableLimit) {
        for (ULONG t = 0; t < kTableCount; ++t) {
            PidTables[t][WordOf(processId)] &= ~BitOf(processId);
        }
    } else {
        ClearLarge(processId, kAllTables, &freed);
    }
    KeReleaseSpinLock(&PidLock, irql);
    FreeUnlinked(freed);
    return before;
}

ULONG PgRemovePidState(ULONG processId, ULONG state) {
    KX_TRACE(KX_DBG_INFO, "%s:%s: %d %d\n", processId, state);
    const int table = TableIndex(state);
    if (table < 0) {
        return state;
    }
    PID_NODE* freed = NULL;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&PidLock);
    if (processId < kTableLimit) {
        PidTables[table][WordOf(processId)] &= ~BitOf(processId);
    } else {
        ClearLarge(processId, 1u << table, &freed);
    }
    KeReleaseSpinLock(&PidLock, irql);
    FreeUnlinked(freed);
    return state;
}

void PgClearPidState(ULONG state) {
    const int table = TableIndex(state);
    if (table < 0) {
        return;
    }
    PID_NODE* freed = NULL;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&PidLock);
    RtlZeroMemory(PidTables[table], sizeof(PidTables[table]));
    for (ULONG i = 0; i < kRootSize; ++i) {
        ClearTableBelow(&LargeRoot[i], 0, static_cast<ULONG>(table), &freed);
    }
    KeReleaseSpinLock(&PidLock, irql);
    FreeUnlinked(freed);
}

void PgClearAllPid() {
    // Only the root's slots are emptied under the lock; the subtrees are freed after.
    PID_NODE* detached = NULL;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&PidLock);
    RtlZeroMemory(PidTables, sizeof(PidTables));
    for (ULONG i = 0; i < kRootSize; ++i) {
        if (LargeRoot[i] != 0 && !IsInline(LargeRoot[i])) {
            PID_NODE* node = NodeOf(LargeRoot[i]);
            node->nextFree = detached;
            detached = node;
        }
        LargeRoot[i] = 0;
    }
    KeReleaseSpinLock(&PidLock, irql);
    while (detached != NULL) {
        PID_NODE* next = detached->nextFree;
        FreeSubtree(detached, 0);
        detached = next;
    }
}

void PgAddSystemPids() {
    for (ULONG pid : KxSystemProcessIds) {
        PgAddPid(pid, KX_PROCESS_TRUSTED);
    }
}
