// Rundown protection: users get in until the rundown begins, the wait returns only
// after the last one has left, and the structure can be used again after a
// re-initialisation.
#include <atomic>
#include <chrono>
#include <thread>

#include "core_fixture.h"

namespace {

using coretest::CoreTest;

using RundownTest = CoreTest;

TEST_F(RundownTest, WaitHoldsUntilTheLastUserLeavesAndKeepsNewOnesOut) {
    EX_RUNDOWN_REF ref;
    ExInitializeRundownProtection(&ref);
    ASSERT_TRUE(ExAcquireRundownProtection(&ref));
    ASSERT_TRUE(ExAcquireRundownProtection(&ref));

    std::atomic<bool> waited{false};
    std::thread waiter([&] {
        ExWaitForRundownProtectionRelease(&ref);
        waited = true;
    });
    // Once the rundown has begun nobody new gets in.
    while (ExAcquireRundownProtection(&ref)) {
        ExReleaseRundownProtection(&ref);
        std::this_thread::yield();
    }
    ExReleaseRundownProtection(&ref);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(waited);  // one user is still inside
    ExReleaseRundownProtection(&ref);
    waiter.join();
    EXPECT_TRUE(waited);
    EXPECT_FALSE(ExAcquireRundownProtection(&ref));

    ExReInitializeRundownProtection(&ref);
    EXPECT_TRUE(ExAcquireRundownProtection(&ref));
    ExReleaseRundownProtection(&ref);
    EXPECT_TRUE(M().Verifier().Clean());
}

TEST_F(RundownTest, WaitWithoutUsersReturnsAtOnceAndUnmatchedReleaseIsReported) {
    EX_RUNDOWN_REF ref;
    ExInitializeRundownProtection(&ref);
    ExWaitForRundownProtectionRelease(&ref);
    EXPECT_FALSE(ExAcquireRundownProtection(&ref));

    ExInitializeRundownProtection(&ref);
    ExReleaseRundownProtection(&ref);
    EXPECT_EQ(ViolationsWith("ExReleaseRundownProtection"), 1u);
    // The bad release did not make room for a phantom user.
    ExWaitForRundownProtectionRelease(&ref);
}

TEST_F(RundownTest, WaitingAboveApcLevelIsReported) {
    EX_RUNDOWN_REF ref;
    ExInitializeRundownProtection(&ref);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ExWaitForRundownProtectionRelease(&ref);
    KeLowerIrql(old);
    EXPECT_EQ(ViolationsWith("ExWaitForRundownProtectionRelease"), 1u);
}

}  // namespace
