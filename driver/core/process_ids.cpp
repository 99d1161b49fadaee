// Process-id state tables: which of the states trusted (1), cached list types
// (2, 4, 8) and protected (64) each process id holds.
//
// Ids below 131072 live in five fixed bitmaps, one per state, so a per-request
// lookup costs one lock and one bit test. Those bitmaps address an id by id / 4.
//
// Ids at or above 131072 (the platform hands them out on busy machines, and a
// client may send any 32-bit value) live in a radix tree over the whole id, so
// every one of the 2^32 values is kept apart. The tree is a static root of 64
// slots, three levels of 64-slot directories and leaves of 256 consecutive ids;
// a leaf holds one 256-bit map per state. A lookup reads at most five nodes and
// allocates nothing. Nodes are allocated before the lock is taken and linked in
// under it; a node is unlinked under the lock as soon as it holds nothing and freed
// after the lock is released, so every allocated node lies on the path of at
// least one recorded id: at most 3 directories + 1 leaf (1760 bytes) per id, and
// about 3 bytes per id when ids are consecutive multiples of 4.
#include "driver/core/kx4grd.h"

namespace {

constexpr ULONG kTableCount = 5;
constexpr ULONG kTableWords = 4096 / sizeof(ULONG);
constexpr ULONG kTableLimit = kTableWords * 32 * 4;  // ids below this live in the bitmaps

// Radix tree geometry: root, kDirLevels directories, leaf.
constexpr ULONG kLeafBits = 8;
constexpr ULONG kDirBits = 6;
constexpr ULONG kDirLevels = 3;
constexpr ULONG kRootBits = 32 - kLeafBits - kDirBits * kDirLevels;
constexpr ULONG kDepth = kDirLevels + 1;  // allocated levels below the root, leaf last
constexpr ULONG kRootSize = 1u << kRootBits;
constexpr ULONG kDirSize = 1u << kDirBits;
constexpr ULONG kLeafSize = 1u << kLeafBits;
constexpr ULONG kLeafWords = kLeafSize / 32;
static_assert(kRootBits > 0 && kRootBits < 32, "tree levels must cover 32 bits");
static_assert(kTableLimit % kLeafSize == 0, "a leaf never straddles the bitmaps' limit");

// Common head of directories and leaves.
struct PID_NODE {
    ULONG used;          // directory: children linked; leaf: state bits set
    PID_NODE* nextFree;  // links nodes unlinked under the lock, freed after it
};

struct PID_DIRECTORY : PID_NODE {
    PID_NODE* child[kDirSize];
};

struct PID_LEAF : PID_NODE {
    ULONG bits[kTableCount][kLeafWords];  // per state table, bit (id % 32) of word (id % 256) / 32
};

ULONG PidTables[kTableCount][kTableWords];
PID_NODE* LargeRoot[kRootSize];
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

const ULONG kLookupOrder[] = {1, 2, 4, 8};  // tables PgGetPidState consults, in order

// Most significant bit first within each 32-bit word.
inline ULONG WordOf(ULONG processId) { return (processId / 4) / 32; }
inline ULONG BitOf(ULONG processId) { return 1u << (31 - ((processId / 4) % 32)); }

// ---------------------------------------------------------------- large ids

inline ULONG RootIndex(ULONG processId) { return processId >> (32 - kRootBits); }
// Slot within the directory of the given level (0 hangs from the root).
inline ULONG DirIndex(ULONG processId, ULONG level) {
    return (processId >> (kLeafBits + kDirBits * (kDirLevels - 1 - level))) & (kDirSize - 1);
}
inline ULONG LeafWord(ULONG processId) { return (processId & (kLeafSize - 1)) / 32; }
inline ULONG LeafBit(ULONG processId) { return 1u << (processId % 32); }

inline PID_DIRECTORY* AsDirectory(PID_NODE* node) { return static_cast<PID_DIRECTORY*>(node); }
inline PID_LEAF* AsLeaf(PID_NODE* node) { return static_cast<PID_LEAF*>(node); }

ULONG CountBits(ULONG v) {
    ULONG n = 0;
    for (; v != 0; v &= v - 1) {
        ++n;
    }
    return n;
}

// Bytes of a node of the given level.
inline SIZE_T NodeSize(ULONG level) { return level + 1 < kDepth ? sizeof(PID_DIRECTORY) : sizeof(PID_LEAF); }

// Caller holds PidLock. The id's leaf, or NULL.
PID_LEAF* FindLeaf(ULONG processId) {
    PID_NODE* node = LargeRoot[RootIndex(processId)];
    for (ULONG level = 0; node != NULL && level < kDirLevels; ++level) {
        node = AsDirectory(node)->child[DirIndex(processId, level)];
    }
    return AsLeaf(node);
}

// Caller holds PidLock. Fills nodes[] with the id's path as far as it exists and
// returns how many levels exist (kDepth: down to the leaf).
ULONG WalkPath(ULONG processId, PID_NODE* nodes[kDepth]) {
    PID_NODE* node = LargeRoot[RootIndex(processId)];
    for (ULONG level = 0; level < kDepth; ++level) {
        if (node == NULL) {
            return level;
        }
        nodes[level] = node;
        if (level + 1 < kDepth) {
            node = AsDirectory(node)->child[DirIndex(processId, level)];
        }
    }
    return kDepth;
}

// The slot that links the id's node of the given level; nodes[0 .. level-1] exist.
PID_NODE** SlotOf(ULONG processId, ULONG level, PID_NODE* const nodes[kDepth]) {
    if (level == 0) {
        return &LargeRoot[RootIndex(processId)];
    }
    return &AsDirectory(nodes[level - 1])->child[DirIndex(processId, level - 1)];
}

// Caller holds PidLock. Clears the tables' bits of a large id given as a mask of
// table indexes; nodes left empty are unlinked onto *freed.
void ClearLarge(ULONG processId, ULONG tableMask, PID_NODE** freed) {
    PID_NODE* nodes[kDepth];
    if (WalkPath(processId, nodes) != kDepth) {
        return;
    }
    PID_LEAF* leaf = AsLeaf(nodes[kDepth - 1]);
    const ULONG word = LeafWord(processId);
    const ULONG bit = LeafBit(processId);
    for (ULONG t = 0; t < kTableCount; ++t) {
        if ((tableMask & (1u << t)) != 0 && (leaf->bits[t][word] & bit) != 0) {
            leaf->bits[t][word] &= ~bit;
            leaf->used--;
        }
    }
    for (ULONG level = kDepth; level-- > 0;) {
        if (nodes[level]->used != 0) {
            break;
        }
        *SlotOf(processId, level, nodes) = NULL;
        if (level > 0) {
            nodes[level - 1]->used--;
        }
        nodes[level]->nextFree = *freed;
        *freed = nodes[level];
    }
}

// Caller holds PidLock. Clears one table in every leaf below node; children left
// empty are unlinked onto *freed (the caller unlinks node itself when it empties).
void ClearTableBelow(PID_NODE* node, ULONG level, ULONG table, PID_NODE** freed) {
    if (level + 1 == kDepth) {
        PID_LEAF* leaf = AsLeaf(node);
        for (ULONG w = 0; w < kLeafWords; ++w) {
            leaf->used -= CountBits(leaf->bits[table][w]);
            leaf->bits[table][w] = 0;
        }
        return;
    }
    PID_DIRECTORY* dir = AsDirectory(node);
    for (ULONG i = 0; i < kDirSize && dir->used != 0; ++i) {
        PID_NODE* child = dir->child[i];
        if (child == NULL) {
            continue;
        }
        ClearTableBelow(child, level + 1, table, freed);
        if (child->used == 0) {
            dir->child[i] = NULL;
            dir->used--;
            child->nextFree = *freed;
            *freed = child;
        }
    }
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
    if (level + 1 < kDepth) {
        PID_DIRECTORY* dir = AsDirectory(node);
        for (ULONG i = 0; i < kDirSize; ++i) {
            if (dir->child[i] != NULL) {
                FreeSubtree(dir->child[i], level + 1);
            }
        }
    }
    ExFreePoolWithTag(node, KX_TAG_PID);
}

// Sets one table's bit of a large id, allocating the missing part of its path
// outside the lock. False when memory ran out (nothing recorded, nothing kept).
bool AddLarge(ULONG processId, ULONG table) {
    PID_NODE* spares[kDepth] = {};
    bool stored = false;
    for (;;) {
        PID_NODE* nodes[kDepth];
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&PidLock);
        const ULONG present = WalkPath(processId, nodes);
        bool ready = true;
        for (ULONG level = present; level < kDepth; ++level) {
            ready = ready && spares[level] != NULL;
        }
        if (ready) {
            for (ULONG level = present; level < kDepth; ++level) {
                nodes[level] = spares[level];
                spares[level] = NULL;
                *SlotOf(processId, level, nodes) = nodes[level];
                if (level > 0) {
                    nodes[level - 1]->used++;
                }
            }
            PID_LEAF* leaf = AsLeaf(nodes[kDepth - 1]);
            ULONG& word = leaf->bits[table][LeafWord(processId)];
            if ((word & LeafBit(processId)) == 0) {
                word |= LeafBit(processId);
                leaf->used++;
            }
            stored = true;
        }
        KeReleaseSpinLock(&PidLock, irql);
        if (ready) {
            break;
        }
        // The path may have shrunk or grown meanwhile: the next pass looks again.
        bool allocated = true;
        for (ULONG level = present; level < kDepth && allocated; ++level) {
            if (spares[level] == NULL) {
                spares[level] = static_cast<PID_NODE*>(
                    ExAllocatePool2(POOL_FLAG_NON_PAGED, NodeSize(level), KX_TAG_PID));
                allocated = spares[level] != NULL;
            }
        }
        if (!allocated) {
            break;
        }
    }
    // Spares another thread's insertion made unnecessary, or all of them on failure.
    for (ULONG level = 0; level < kDepth; ++level) {
        if (spares[level] != NULL) {
            ExFreePoolWithTag(spares[level], KX_TAG_PID);
        }
    }
    return stored;
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
    } else if (!AddLarge(processId, static_cast<ULONG>(table))) {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: %d %d no memory\n", processId, state);
        return;
    }
    KX_TRACE(KX_DBG_INFO, "%s:%s: %d %d COMPLETE\n", processId, state);
}

ULONG PgGetPidState(ULONG processId) {
    ULONG present[4];
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&PidLock);
    if (processId < kTableLimit) {
        const ULONG word = WordOf(processId);
        const ULONG bit = BitOf(processId);
        for (ULONG i = 0; i < 4; ++i) {
            present[i] = PidTables[i][word] & bit;
        }
    } else if (PID_LEAF* leaf = FindLeaf(processId)) {
        const ULONG word = LeafWord(processId);
        const ULONG bit = LeafBit(processId);
        for (ULONG i = 0; i < 4; ++i) {
            present[i] = leaf->bits[i][word] & bit;
        }
    } else {
        RtlZeroMemory(present, sizeof(present));
    }
    KeReleaseSpinLock(&PidLock, irql);
    for (ULONG i = 0; i < 4; ++i) {
        if (present[i] != 0) {
            return kLookupOrder[i];
        }
    }
    return 0;
}

ULONG PgIsProtectPid(ULONG processId) {
    const ULONG table = static_cast<ULONG>(TableIndex(64));
    bool found = false;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&PidLock);
    if (processId < kTableLimit) {
        found = (PidTables[table][WordOf(processId)] & BitOf(processId)) != 0;
    } else if (PID_LEAF* leaf = FindLeaf(processId)) {
        found = (leaf->bits[table][LeafWord(processId)] & LeafBit(processId)) != 0;
    }
    KeReleaseSpinLock(&PidLock, irql);
    return found ? 64 : 0;
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
        ClearLarge(processId, (1u << kTableCount) - 1, &freed);
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
        PID_NODE* node = LargeRoot[i];
        if (node == NULL) {
            continue;
        }
        ClearTableBelow(node, 0, static_cast<ULONG>(table), &freed);
        if (node->used == 0) {
            LargeRoot[i] = NULL;
            node->nextFree = freed;
            freed = node;
        }
    }
    KeReleaseSpinLock(&PidLock, irql);
    FreeUnlinked(freed);
}

void PgClearAllPid() {
    // Only the root's slots are taken under the lock; the subtrees are freed after.
    PID_NODE* detached = NULL;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&PidLock);
    RtlZeroMemory(PidTables, sizeof(PidTables));
    for (ULONG i = 0; i < kRootSize; ++i) {
        if (LargeRoot[i] != NULL) {
            LargeRoot[i]->nextFree = detached;
            detached = LargeRoot[i];
            LargeRoot[i] = NULL;
        }
    }
    KeReleaseSpinLock(&PidLock, irql);
    while (detached != NULL) {
        PID_NODE* next = detached->nextFree;
        FreeSubtree(detached, 0);
        detached = next;
    }
}
