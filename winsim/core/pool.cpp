// Pool with per-tag accounting, and lookaside lists on top of it.
//
// Blocks are plain malloc'd memory so that AddressSanitizer sees overruns and uses
// after free. Bad frees (unknown address, double free, wrong tag) are recorded as
// violations and never touch the allocator, so the test keeps running.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "winsim/core/core.h"

namespace winsim::detail {

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kOwnQuarantine = false;  // ASan holds freed memory back itself
#else
constexpr bool kOwnQuarantine = true;
#endif
constexpr size_t kQuarantineBlocks = 1024;
constexpr size_t kFreedAddressesKept = 1 << 16;
// Fill of memory the caller asked not to have zeroed: garbage, not zeros, so code
// that reads before writing shows it.
constexpr unsigned char kUninitializedFill = 0xA5;
constexpr unsigned char kFreedFill = 0xDD;

constexpr uint32_t kLookasideMagic = 0x4C6F6F6BU;  // written into the opaque bytes

}  // namespace

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

void* PoolAllocateRaw(SIZE_T size, ULONG tag, bool paged, bool zero) {
    void* p = std::malloc(size ? size : 1);
    if (p == nullptr) return nullptr;
    if (zero)
        std::memset(p, 0, size);
    else
        std::memset(p, kUninitializedFill, size);
    PoolState& pool = S().pool;
    std::lock_guard<std::mutex> lock(pool.mu);
    pool.blocks[p] = PoolBlock{size, tag, paged};
    TagStats& stats = pool.tags[tag];
    stats.count++;
    stats.bytes += size;
    pool.freed.erase(p);
    return p;
}

void PoolFreeRaw(void* p, ULONG tag, bool checkTag, const char* routine) {
    if (p == nullptr) {
        Violation(std::string(routine) + " of a NULL pointer");
        return;
    }
    PoolState& pool = S().pool;
    std::unique_lock<std::mutex> lock(pool.mu);
    auto it = pool.blocks.find(p);
    if (it == pool.blocks.end()) {
        bool twice = pool.freed.count(p) != 0;
        lock.unlock();
        Violation(std::string(routine) + (twice ? ": double free of pool block " : ": address ") +
                  Hex(reinterpret_cast<uintptr_t>(p)) + (twice ? "" : " is not a pool allocation"));
        return;
    }
    PoolBlock block = it->second;
    if (checkTag && block.tag != tag) {
        lock.unlock();
        Violation(std::string(routine) + ": block " + Hex(reinterpret_cast<uintptr_t>(p)) + " allocated with tag '" +
                  TagText(block.tag) + "' freed with tag '" + TagText(tag) + "'");
        lock.lock();
        it = pool.blocks.find(p);
        if (it == pool.blocks.end()) return;  // freed meanwhile by another thread
    }
    pool.blocks.erase(it);
    auto stats = pool.tags.find(block.tag);
    if (stats != pool.tags.end()) {
        stats->second.count--;
        stats->second.bytes -= block.size;
        if (stats->second.count == 0) pool.tags.erase(stats);
    }
    if (pool.freed.size() >= kFreedAddressesKept) pool.freed.clear();
    pool.freed.insert(p);
    if (kOwnQuarantine) {
        std::memset(p, kFreedFill, block.size);
        pool.quarantine.emplace_back(p, block.size);
        if (pool.quarantine.size() > kQuarantineBlocks) {
            void* old = pool.quarantine.front().first;
            pool.quarantine.pop_front();
            pool.freed.erase(old);  // malloc may hand it out again
            std::free(old);
        }
    } else {
        std::free(p);
    }
}

void FreeAllPool(CoreState& state) {
    std::lock_guard<std::mutex> lock(state.pool.mu);
    for (auto& [p, block] : state.pool.blocks) std::free(p);
    for (auto& [p, size] : state.pool.quarantine) std::free(p);
    state.pool.blocks.clear();
    state.pool.quarantine.clear();
    state.pool.tags.clear();
    state.pool.freed.clear();
}

void PoolUnloadChecks(const std::string& driver) {
    std::map<ULONG, TagStats> tags;
    {
        PoolState& pool = S().pool;
        std::lock_guard<std::mutex> lock(pool.mu);
        tags = pool.tags;
    }
    for (auto& [tag, stats] : tags) {
        if (stats.count == 0) continue;
        Violation("pool leak at unload of " + driver + ": tag '" + TagText(tag) + "' has " +
                  std::to_string(stats.count) + " allocation(s), " + std::to_string(stats.bytes) +
                  " bytes outstanding");
    }
}

// ---------------------------------------------------------------- lookaside lists

namespace {

LookasideList* FindList(LookasideState& ls, PNPAGED_LOOKASIDE_LIST lookaside) {
    auto it = ls.lists.find(lookaside);
    return it == ls.lists.end() ? nullptr : &it->second;
}

}  // namespace

void LookasideUnloadChecks(const std::string& driver) {
    LookasideState& ls = S().lookaside;
    std::lock_guard<std::mutex> lock(ls.mu);
    for (auto& [address, list] : ls.lists) {
        Violation("lookaside list " + Hex(reinterpret_cast<uintptr_t>(address)) + " (tag '" + TagText(list.tag) +
                  "', " + std::to_string(list.size) + "-byte entries, " + std::to_string(list.outstanding) +
                  " handed out) not deleted at unload of " + driver);
    }
}

}  // namespace winsim::detail

using namespace winsim::detail;

PVOID ExAllocatePool2(POOL_FLAGS flags, SIZE_T numberOfBytes, ULONG tag) {
    bool paged = (flags & POOL_FLAG_PAGED) != 0;
    bool nonPaged = (flags & POOL_FLAG_NON_PAGED) != 0;
    if (paged == nonPaged) {
        Violation("ExAllocatePool2 needs exactly one of POOL_FLAG_NON_PAGED and POOL_FLAG_PAGED (flags " +
                  Hex(flags) + ")");
        return nullptr;
    }
    if (tag == 0) {
        // Windows answers NULL for a zero tag; flag it too, since it is always a bug.
        Violation("ExAllocatePool2 with a zero pool tag");
        return nullptr;
    }
    RequireIrqlAtMost(paged ? APC_LEVEL : DISPATCH_LEVEL, paged ? "ExAllocatePool2 (paged)" : "ExAllocatePool2");
    if (ShouldFail(winsim::FaultClass::Allocation, "ExAllocatePool2")) return nullptr;
    return PoolAllocateRaw(numberOfBytes, tag, paged, (flags & POOL_FLAG_UNINITIALIZED) == 0);
}

PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag) {
    bool paged = poolType == PagedPool;
    if (poolType != NonPagedPool && poolType != PagedPool && poolType != NonPagedPoolNx) {
        Violation("ExAllocatePoolWithTag with an unknown pool type " + std::to_string(static_cast<int>(poolType)));
        return nullptr;
    }
    RequireIrqlAtMost(paged ? APC_LEVEL : DISPATCH_LEVEL,
                      paged ? "ExAllocatePoolWithTag (PagedPool)" : "ExAllocatePoolWithTag");
    if (ShouldFail(winsim::FaultClass::Allocation, "ExAllocatePoolWithTag")) return nullptr;
    return PoolAllocateRaw(numberOfBytes, tag, paged, false);
}

void ExFreePoolWithTag(PVOID p, ULONG tag) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "ExFreePoolWithTag");
    PoolFreeRaw(p, tag, true, "ExFreePoolWithTag");
}

void ExFreePool(PVOID p) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "ExFreePool");
    PoolFreeRaw(p, 0, false, "ExFreePool");
}

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PALLOCATE_FUNCTION allocate,
                                     PFREE_FUNCTION free, ULONG flags, SIZE_T size, ULONG tag, USHORT depth) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "ExInitializeNPagedLookasideList");
    if (lookaside == nullptr) BugCheckNow(0xC4, 0, 0, 0, 0, "ExInitializeNPagedLookasideList with a NULL list");
    LookasideState& ls = S().lookaside;
    std::lock_guard<std::mutex> lock(ls.mu);
    if (ls.lists.count(lookaside)) {
        Violation("ExInitializeNPagedLookasideList: list " + Hex(reinterpret_cast<uintptr_t>(lookaside)) +
                  " initialised twice without ExDeleteNPagedLookasideList");
        // Its cached blocks would be lost; keep them accounted as leaks of the old tag.
    }
    std::memset(lookaside->Opaque, 0, sizeof lookaside->Opaque);
    std::memcpy(lookaside->Opaque, &kLookasideMagic, sizeof kLookasideMagic);
    LookasideList list{};
    list.allocate = allocate;
    list.free = free;
    list.size = size;
    list.tag = tag;
    list.depth = depth ? depth : 256;
    ls.lists[lookaside] = std::move(list);
}

void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "ExDeleteNPagedLookasideList");
    LookasideState& ls = S().lookaside;
    std::unique_lock<std::mutex> lock(ls.mu);
    auto it = ls.lists.find(lookaside);
    if (it == ls.lists.end()) {
        lock.unlock();
        Violation("ExDeleteNPagedLookasideList of " + Hex(reinterpret_cast<uintptr_t>(lookaside)) +
                  ", which is not an initialised lookaside list");
        return;
    }
    LookasideList list = std::move(it->second);
    ls.lists.erase(it);
    std::memset(lookaside->Opaque, 0, sizeof lookaside->Opaque);
    lock.unlock();
    for (void* block : list.cached) {
        if (list.free)
            list.free(block);
        else
            PoolFreeRaw(block, list.tag, true, "ExDeleteNPagedLookasideList");
    }
}

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "ExAllocateFromNPagedLookasideList");
    LookasideState& ls = S().lookaside;
    std::unique_lock<std::mutex> lock(ls.mu);
    LookasideList* list = FindList(ls, lookaside);
    if (list == nullptr) {
        lock.unlock();
        Violation("ExAllocateFromNPagedLookasideList on " + Hex(reinterpret_cast<uintptr_t>(lookaside)) +
                  ", which is not an initialised lookaside list");
        return nullptr;
    }
    PALLOCATE_FUNCTION allocate = list->allocate;
    SIZE_T size = list->size;
    ULONG tag = list->tag;
    lock.unlock();

    // Every call may fail, cached block or not, so callers' NULL paths get exercised.
    if (ShouldFail(winsim::FaultClass::Allocation, "ExAllocateFromNPagedLookasideList")) return nullptr;

    lock.lock();
    list = FindList(ls, lookaside);
    if (list != nullptr && !list->cached.empty()) {
        void* block = list->cached.back();
        list->cached.pop_back();
        list->outstanding++;
        return block;
    }
    lock.unlock();
    void* block = allocate ? allocate(NonPagedPoolNx, size, tag) : PoolAllocateRaw(size, tag, false, false);
    if (block == nullptr) return nullptr;
    lock.lock();
    list = FindList(ls, lookaside);
    if (list != nullptr) list->outstanding++;
    return block;
}

void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PVOID entry) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "ExFreeToNPagedLookasideList");
    LookasideState& ls = S().lookaside;
    std::unique_lock<std::mutex> lock(ls.mu);
    LookasideList* list = FindList(ls, lookaside);
    if (list == nullptr) {
        lock.unlock();
        Violation("ExFreeToNPagedLookasideList on " + Hex(reinterpret_cast<uintptr_t>(lookaside)) +
                  ", which is not an initialised lookaside list");
        return;
    }
    if (entry == nullptr) {
        lock.unlock();
        Violation("ExFreeToNPagedLookasideList of a NULL entry");
        return;
    }
    if (std::find(list->cached.begin(), list->cached.end(), entry) != list->cached.end()) {
        lock.unlock();
        Violation("ExFreeToNPagedLookasideList: entry " + Hex(reinterpret_cast<uintptr_t>(entry)) +
                  " freed to the list twice");
        return;
    }
    if (list->allocate == nullptr) {
        // Entries of a list with the default allocator are pool blocks of its tag.
        PoolState& pool = S().pool;
        std::unique_lock<std::mutex> poolLock(pool.mu);
        auto block = pool.blocks.find(entry);
        bool ours = block != pool.blocks.end() && block->second.tag == list->tag;
        poolLock.unlock();
        if (!ours) {
            lock.unlock();
            Violation("ExFreeToNPagedLookasideList: entry " + Hex(reinterpret_cast<uintptr_t>(entry)) +
                      " was not allocated from lookaside list " + Hex(reinterpret_cast<uintptr_t>(lookaside)));
            return;
        }
    }
    if (list->outstanding > 0) list->outstanding--;
    if (list->cached.size() < list->depth) {
        list->cached.push_back(entry);
        return;
    }
    PFREE_FUNCTION free = list->free;
    ULONG tag = list->tag;
    lock.unlock();
    if (free)
        free(entry);
    else
        PoolFreeRaw(entry, tag, true, "ExFreeToNPagedLookasideList");
}
