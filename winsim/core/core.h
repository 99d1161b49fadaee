// State of the core half of the simulated machine, shared by the files of core/.
// Everything lives in one CoreState created by Machine::Boot and destroyed by
// Machine::Shutdown, so a new boot starts from nothing. Each part has its own lock
// so that unrelated traffic (pool, handles, debug output) does not serialise.
#pragma once

// The machine's internals: only winsim itself and its own tests of them may
// include this; everything else goes through winsim/winsim.h.
#if !defined(KX_WINSIM_INTERNALS)
#error "winsim internals: include winsim/winsim.h instead"
#endif

#include <functional>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "winsim/detail/internal.h"

namespace winsim::detail {

struct PoolBlock {
    size_t size;
    ULONG tag;
    bool paged;
};

struct TagStats {
    size_t count = 0;
    size_t bytes = 0;
};

struct PoolState {
    mutable std::mutex mu;
    std::unordered_map<void*, PoolBlock> blocks;
    std::map<ULONG, TagStats> tags;
    // Addresses freed and not handed out again, so a second free is named as such.
    std::unordered_set<void*> freed;
    // Freed blocks held back from malloc for a while (outside ASan, which has its
    // own quarantine) so that a double free cannot hit a block reallocated since.
    std::deque<std::pair<void*, size_t>> quarantine;
};

struct LookasideList {
    PALLOCATE_FUNCTION allocate;
    PFREE_FUNCTION free;
    SIZE_T size;
    ULONG tag;
    size_t depth;
    std::vector<void*> cached;
    size_t outstanding = 0;
};

struct LookasideState {
    std::mutex mu;
    std::map<void*, LookasideList> lists;  // keyed by the NPAGED_LOOKASIDE_LIST address
};

struct HandleEntry {
    std::shared_ptr<KObject> object;
    bool kernel;
    std::string owner;
};

struct ObjectState {
    mutable std::mutex mu;
    std::map<uintptr_t, HandleEntry> handles;
    uintptr_t nextHandle = 4;
    std::map<std::u16string, std::weak_ptr<KObject>> names;  // key: upper-cased full name
};

struct ClockState {
    ClockMode mode = ClockMode::Driven;
    int64_t base = 0;  // system time at interrupt time 0
    std::chrono::steady_clock::time_point bootSteady;
    std::atomic<int64_t> driven{0};   // driven mode: 100-ns units since boot
    std::atomic<int64_t> advance{0};  // real-time mode: added by AdvanceClock
    std::atomic<int64_t> adjust{0};   // SetSystemTime's correction
    // Driven mode, user-mode threads (guarded by WaitMutex()): how many of them are
    // not waiting, and the deadlines of those in a timed wait.
    int cooperativeRunning = 0;
    std::multiset<int64_t> cooperativeDeadlines;
    std::vector<struct CooperativeWaiter*> cooperativeWaiters;
};

struct DebugState {
    mutable std::mutex mu;
    std::vector<std::string> lines;
    std::atomic<bool> echo{false};
    std::vector<std::pair<std::string, std::function<void()>>> hooks;  // OnDebugLine, each runs once
};

struct VerifierState {
    mutable std::mutex mu;
    std::vector<std::string> violations;
};

struct FaultState {
    mutable std::mutex mu;
    unsigned seen[3] = {0, 0, 0};  // indexed by FaultClass
    bool armed = false;
    FaultClass target = FaultClass::Any;
    unsigned nth = 0;
    unsigned counted = 0;
    bool hit = false;
    std::string failedRoutine;
};

struct MemoryState {
    mutable std::mutex mu;
    std::vector<std::pair<uintptr_t, size_t>> invalid;  // mmap'd PROT_NONE ranges
    std::vector<std::pair<uintptr_t, size_t>> mappings;  // other mappings to release at shutdown
};

struct EventRef;

struct CoreState {
    MachineOptions options;
    std::string root;
    bool temporaryRoot = false;
    PoolState pool;
    LookasideState lookaside;
    ObjectState objects;
    ClockState clock;
    DebugState debug;
    VerifierState verifier;
    FaultState fault;
    MemoryState memory;
    std::atomic<long> spinLocksHeld{0};  // by all threads
    std::mutex eventRefsMu;
    std::set<EventRef*> eventRefs;  // OpenNamedEvent results not yet closed
};

// Bumped by every boot: per-thread state (IRQL, held locks) stamped with an older
// value belongs to a previous machine and is discarded when next touched.
extern std::atomic<uint64_t> g_bootGeneration;

// The running machine's core state; bug-checks the test when none is running.
CoreState& S();
// nullptr when no machine is running.
CoreState* StateOrNull();

// Raises winsim::BugCheck after recording the report as a violation.
[[noreturn]] void BugCheckNow(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                              const std::string& reason);

// "ppsc" for PoolTag("ppsc"); unprintable bytes as '.'.
std::string TagText(ULONG tag);
const char* IrqlName(KIRQL irql);
std::string Hex(uint64_t value);

// The lock and condition variable behind WaitUntil; event state is read and
// written under this lock so that waits and sets cannot miss each other.
std::mutex& WaitMutex();
std::condition_variable& WaitCondition();

// Core parts torn down by Shutdown before the state is freed.
void FreeAllPool(CoreState& state);
void FreeInvalidBuffers(CoreState& state);
void FreeEventRefs(CoreState& state);

// Pool allocation without fault injection or IRQL checks (lookaside refills).
void* PoolAllocateRaw(SIZE_T size, ULONG tag, bool paged, bool zero);
void PoolFreeRaw(void* p, ULONG tag, bool checkTag, const char* routine);

// Unload-time checks of the individual parts.
void PoolUnloadChecks(const std::string& driver);
void LookasideUnloadChecks(const std::string& driver);
void ObjectUnloadChecks(const std::string& driver);
void LockUnloadChecks(const std::string& driver);

}  // namespace winsim::detail
