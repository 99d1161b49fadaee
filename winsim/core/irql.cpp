// IRQL per OS thread and spin locks that really exclude.
//
// The system's rule is one spin lock at a time per thread, so the verifier flags a
// second acquisition while one is held, a release of a lock the thread does not
// hold, and re-acquisition of a held lock (which would deadlock a real machine; here
// it stops the test with a bug check instead).
#include <algorithm>
#include <cstdio>
#include <thread>

#include "winsim/core/core.h"

namespace winsim::detail {

namespace {

struct ThreadState {
    uint64_t generation = 0;
    KIRQL irql = PASSIVE_LEVEL;
    std::vector<PKSPIN_LOCK> held;
};

thread_local ThreadState t_state;

std::atomic<ULONG_PTR> g_nextThreadToken{1};

// A non-zero value that names the owning thread inside a KSPIN_LOCK word.
ULONG_PTR ThreadToken() {
    thread_local ULONG_PTR token = g_nextThreadToken.fetch_add(1, std::memory_order_relaxed);
    return token;
}

ThreadState& Thread() {
    uint64_t generation = g_bootGeneration.load(std::memory_order_acquire);
    if (t_state.generation != generation) {
        t_state.generation = generation;
        t_state.irql = PASSIVE_LEVEL;
        t_state.held.clear();
    }
    return t_state;
}

void CountHeld(long delta) {
    if (CoreState* state = StateOrNull()) state->spinLocksHeld.fetch_add(delta, std::memory_order_relaxed);
}

}  // namespace

std::string Hex(uint64_t value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(value));
    return buf;
}

const char* IrqlName(KIRQL irql) {
    switch (irql) {
        case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
        case APC_LEVEL: return "APC_LEVEL";
        case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
        case HIGH_LEVEL: return "HIGH_LEVEL";
        default: break;
    }
    static const char* const kNames[16] = {"0", "1", "2", "3", "4", "5", "6", "7",
                                           "8", "9", "10", "11", "12", "13", "14", "15"};
    return irql < 16 ? kNames[irql] : "(invalid IRQL)";
}

KIRQL CurrentIrql() { return Thread().irql; }

size_t SpinLocksHeldByThisThread() { return Thread().held.size(); }

void RequireIrqlAtMost(KIRQL max, const char* routine) {
    KIRQL irql = CurrentIrql();
    if (irql <= max) return;
    Violation(std::string(routine) + " called at IRQL " + IrqlName(irql) + " (allowed up to " + IrqlName(max) +
              ")" + (SpinLocksHeldByThisThread() ? ", with a spin lock held" : ""));
}

void RequirePassive(const char* routine) {
    KIRQL irql = CurrentIrql();
    if (irql == PASSIVE_LEVEL) return;
    Violation(std::string(routine) + " called at IRQL " + IrqlName(irql) + " (PASSIVE_LEVEL only)" +
              (SpinLocksHeldByThisThread() ? ", with a spin lock held" : ""));
}

void LockUnloadChecks(const std::string& driver) {
    long held = S().spinLocksHeld.load(std::memory_order_relaxed);
    if (held > 0)
        Violation(std::to_string(held) + " spin lock(s) still held at unload of " + driver);
    KIRQL irql = CurrentIrql();
    if (irql != PASSIVE_LEVEL)
        Violation(std::string("driver unload of ") + driver + " finished at IRQL " + IrqlName(irql));
}

namespace {

// Shared by the two acquire routines: the verifier checks, then the real spin.
void AcquireLock(PKSPIN_LOCK lock, const char* routine) {
    ThreadState& ts = Thread();
    ULONG_PTR me = ThreadToken();
    if (lock == nullptr) BugCheckNow(0xC4, 0, 0, 0, 0, std::string(routine) + " with a NULL spin lock");
    ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (owner == me || std::find(ts.held.begin(), ts.held.end(), lock) != ts.held.end()) {
        // A real machine would spin forever; stop the test instead.
        BugCheckNow(0xC4, 0x1001, reinterpret_cast<ULONG_PTR>(lock), 0, 0,
                    std::string(routine) + ": spin lock " + Hex(reinterpret_cast<uintptr_t>(lock)) +
                        " re-acquired by the thread that already holds it");
    }
    if (!ts.held.empty()) {
        Violation(std::string(routine) + ": two spin locks held at once (acquiring " +
                  Hex(reinterpret_cast<uintptr_t>(lock)) + " while holding " +
                  Hex(reinterpret_cast<uintptr_t>(ts.held.back())) + ")");
    }
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
        while (__atomic_load_n(lock, __ATOMIC_RELAXED) != 0) std::this_thread::yield();
    }
    ts.held.push_back(lock);
    CountHeld(1);
}

// False (after recording a violation) when this thread does not hold the lock.
bool ReleaseLock(PKSPIN_LOCK lock, const char* routine) {
    ThreadState& ts = Thread();
    auto it = lock ? std::find(ts.held.begin(), ts.held.end(), lock) : ts.held.end();
    if (it == ts.held.end() || __atomic_load_n(lock, __ATOMIC_RELAXED) != ThreadToken()) {
        Violation(std::string(routine) + ": spin lock " + Hex(reinterpret_cast<uintptr_t>(lock)) +
                  " released by a thread that does not hold it");
        return false;
    }
    ts.held.erase(it);
    CountHeld(-1);
    __atomic_store_n(lock, ULONG_PTR(0), __ATOMIC_RELEASE);
    return true;
}

}  // namespace

}  // namespace winsim::detail

using namespace winsim::detail;

KIRQL KeGetCurrentIrql() { return CurrentIrql(); }

void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) {
    ThreadState& ts = Thread();
    KIRQL old = ts.irql;
    if (oldIrql) *oldIrql = old;
    if (newIrql < old) {
        Violation(std::string("KeRaiseIrql to ") + IrqlName(newIrql) + " from the higher " + IrqlName(old));
        return;
    }
    ts.irql = newIrql;
}

void KeLowerIrql(KIRQL newIrql) {
    ThreadState& ts = Thread();
    if (newIrql > ts.irql) {
        Violation(std::string("KeLowerIrql to ") + IrqlName(newIrql) + " from the lower " + IrqlName(ts.irql));
        return;
    }
    ts.irql = newIrql;
}

KIRQL KeRaiseIrqlToDpcLevel() {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

void KeInitializeSpinLock(PKSPIN_LOCK lock) {
    if (lock == nullptr) BugCheckNow(0xC4, 0, 0, 0, 0, "KeInitializeSpinLock with a NULL lock");
    __atomic_store_n(lock, ULONG_PTR(0), __ATOMIC_RELEASE);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLockRaiseToDpc");
    ThreadState& ts = Thread();
    KIRQL old = ts.irql;
    if (ts.irql < DISPATCH_LEVEL) ts.irql = DISPATCH_LEVEL;
    try {
        AcquireLock(lock, "KeAcquireSpinLockRaiseToDpc");
    } catch (...) {
        ts.irql = old;
        throw;
    }
    return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
    if (!ReleaseLock(lock, "KeReleaseSpinLock")) return;
    KeLowerIrql(newIrql);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock) {
    KIRQL irql = CurrentIrql();
    if (irql < DISPATCH_LEVEL)
        Violation(std::string("KeAcquireSpinLockAtDpcLevel called at IRQL ") + IrqlName(irql) +
                  " (DISPATCH_LEVEL required)");
    AcquireLock(lock, "KeAcquireSpinLockAtDpcLevel");
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock) {
    KIRQL irql = CurrentIrql();
    if (irql < DISPATCH_LEVEL)
        Violation(std::string("KeReleaseSpinLockFromDpcLevel called at IRQL ") + IrqlName(irql) +
                  " (DISPATCH_LEVEL required)");
    ReleaseLock(lock, "KeReleaseSpinLockFromDpcLevel");
}
