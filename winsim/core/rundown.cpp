// Rundown protection, with the Windows encoding of the count: bit 0 says a
// rundown is in progress, each user adds 2. Acquire fails once the rundown has
// begun; the wait returns when the last user has released.
#include <thread>

#include "winsim/core/core.h"

namespace {

constexpr ULONG_PTR kRundownActive = 1;
constexpr ULONG_PTR kCountIncrement = 2;

ULONG_PTR* CountOf(PEX_RUNDOWN_REF runRef) { return &runRef->Count; }

}  // namespace

void ExInitializeRundownProtection(PEX_RUNDOWN_REF runRef) { __atomic_store_n(CountOf(runRef), 0, __ATOMIC_RELEASE); }

void ExReInitializeRundownProtection(PEX_RUNDOWN_REF runRef) {
    __atomic_store_n(CountOf(runRef), 0, __ATOMIC_RELEASE);
}

BOOLEAN ExAcquireRundownProtection(PEX_RUNDOWN_REF runRef) {
    ULONG_PTR current = __atomic_load_n(CountOf(runRef), __ATOMIC_ACQUIRE);
    for (;;) {
        if (current & kRundownActive) {
            return FALSE;
        }
        if (__atomic_compare_exchange_n(CountOf(runRef), &current, current + kCountIncrement, false,
                                        __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            return TRUE;
        }
    }
}

void ExReleaseRundownProtection(PEX_RUNDOWN_REF runRef) {
    const ULONG_PTR before = __atomic_fetch_sub(CountOf(runRef), kCountIncrement, __ATOMIC_ACQ_REL);
    if (before < kCountIncrement) {
        winsim::detail::Violation("ExReleaseRundownProtection without a matching acquire");
        __atomic_fetch_add(CountOf(runRef), kCountIncrement, __ATOMIC_ACQ_REL);
    }
}

void ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF runRef) {
    winsim::detail::RequireIrqlAtMost(APC_LEVEL, "ExWaitForRundownProtectionRelease");
    __atomic_fetch_or(CountOf(runRef), kRundownActive, __ATOMIC_ACQ_REL);
    while (__atomic_load_n(CountOf(runRef), __ATOMIC_ACQUIRE) != kRundownActive) {
        std::this_thread::yield();
    }
}

void ExRundownCompleted(PEX_RUNDOWN_REF runRef) { __atomic_store_n(CountOf(runRef), kRundownActive, __ATOMIC_RELEASE); }
