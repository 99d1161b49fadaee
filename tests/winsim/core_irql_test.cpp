// IRQL and spin locks: exclusion, IRQL changes, and the verifier's lock rules.
#include <thread>
#include <vector>

#include "core_fixture.h"

namespace {

using coretest::CoreTest;
using winsim::detail::RequirePassive;
using winsim::detail::SpinLocksHeldByThisThread;

class SpinLockTest : public CoreTest {};

TEST_F(SpinLockTest, ExcludesOtherThreads) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    // A plain (non-atomic) counter: only real exclusion yields the exact total, and
    // ThreadSanitizer sees the acquire/release pairing.
    long counter = 0;
    constexpr int kThreads = 4;
    constexpr int kIterations = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kIterations; ++i) {
                KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
                long seen = counter;
                std::this_thread::yield();  // widen the window a missing lock would expose
                counter = seen + 1;
                KeReleaseSpinLock(&lock, old);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, long{kThreads} * kIterations);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(SpinLockTest, RaisesToDispatchAndRestores) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    ASSERT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(SpinLocksHeldByThisThread(), 1u);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(SpinLocksHeldByThisThread(), 0u);

    // From APC_LEVEL the old IRQL handed back is APC_LEVEL.
    KIRQL passive;
    KeRaiseIrql(APC_LEVEL, &passive);
    old = KeAcquireSpinLockRaiseToDpc(&lock);
    EXPECT_EQ(old, APC_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(passive);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(SpinLockTest, DpcLevelVariantsNeedDispatchAndKeepIrql) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KeRaiseIrqlToDpcLevel();
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(old);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();

    KeAcquireSpinLockAtDpcLevel(&lock);  // at PASSIVE_LEVEL: wrong
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(ViolationsWith("DISPATCH_LEVEL required"), 2u);
}

TEST_F(SpinLockTest, TwoLocksAtOnceIsAViolation) {
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL oldA = KeAcquireSpinLockRaiseToDpc(&a);
    KIRQL oldB = KeAcquireSpinLockRaiseToDpc(&b);
    EXPECT_EQ(SpinLocksHeldByThisThread(), 2u);
    KeReleaseSpinLock(&b, oldB);
    KeReleaseSpinLock(&a, oldA);
    EXPECT_EQ(ViolationsWith("two spin locks held at once"), 1u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLockTest, SequentialLocksAreFine) {
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&a);
    KeReleaseSpinLock(&a, old);
    old = KeAcquireSpinLockRaiseToDpc(&b);
    KeReleaseSpinLock(&b, old);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(SpinLockTest, ReleasingALockNotHeldIsAViolationAndLeavesItAlone) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
    EXPECT_EQ(ViolationsWith("does not hold it"), 1u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    // Held by another thread: this thread's release must not free it.
    KSPIN_LOCK shared;
    KeInitializeSpinLock(&shared);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&shared);
    std::thread([&] { KeReleaseSpinLock(&shared, PASSIVE_LEVEL); }).join();
    EXPECT_EQ(ViolationsWith("does not hold it"), 2u);
    EXPECT_EQ(SpinLocksHeldByThisThread(), 1u);
    KeReleaseSpinLock(&shared, old);
    EXPECT_EQ(ViolationsWith("does not hold it"), 2u);
}

TEST_F(SpinLockTest, ReacquiringOnTheSameThreadBugChecksInsteadOfHanging) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    try {
        KeAcquireSpinLockRaiseToDpc(&lock);
        FAIL() << "re-acquisition returned";
    } catch (const winsim::BugCheck& bc) {
        EXPECT_NE(bc.report.find("re-acquired"), std::string::npos) << bc.report;
    }
    EXPECT_EQ(ViolationsWith("re-acquired"), 1u);
    // The first hold is intact and the IRQL still that of the first acquisition.
    EXPECT_EQ(SpinLocksHeldByThisThread(), 1u);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLockTest, HeldAtUnloadIsReported) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    winsim::detail::VerifierUnloadChecks(u"kx4grd");
    EXPECT_EQ(ViolationsWith("spin lock(s) still held at unload of kx4grd"), 1u);
    KeReleaseSpinLock(&lock, old);
}

class IrqlTest : public CoreTest {};

TEST_F(IrqlTest, PassiveOnlyRoutineUnderASpinLockIsAViolation) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    RequirePassive("SomeRoutine");
    EXPECT_TRUE(M().Verifier().Clean());

    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    RequirePassive("SomeRoutine");
    EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(0x1234)), STATUS_INVALID_HANDLE);
    KeReleaseSpinLock(&lock, old);

    auto report = M().Verifier();
    ASSERT_EQ(report.violations.size(), 2u) << report.ToString();
    EXPECT_NE(report.violations[0].find("SomeRoutine"), std::string::npos);
    EXPECT_NE(report.violations[0].find("DISPATCH_LEVEL"), std::string::npos);
    EXPECT_NE(report.violations[1].find("ZwClose"), std::string::npos);
}

TEST_F(IrqlTest, RequireIrqlAtMostAllowsUpToTheLimit) {
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    winsim::detail::RequireIrqlAtMost(APC_LEVEL, "ApcRoutine");
    EXPECT_TRUE(M().Verifier().Clean());
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    winsim::detail::RequireIrqlAtMost(APC_LEVEL, "ApcRoutine");
    EXPECT_EQ(ViolationsWith("ApcRoutine called at IRQL DISPATCH_LEVEL"), 1u);
    KeLowerIrql(PASSIVE_LEVEL);
}

TEST_F(IrqlTest, WrongDirectionChangesAreViolationsAndIgnored) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeRaiseIrql(APC_LEVEL, &old);  // lowering through KeRaiseIrql
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(HIGH_LEVEL);  // raising through KeLowerIrql
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(ViolationsWith("KeRaiseIrql"), 1u);
    EXPECT_EQ(ViolationsWith("KeLowerIrql"), 1u);
    KeLowerIrql(PASSIVE_LEVEL);
}

TEST_F(IrqlTest, IrqlIsPerThread) {
    KIRQL old = KeRaiseIrqlToDpcLevel();
    KIRQL other = HIGH_LEVEL;
    std::thread([&] { other = KeGetCurrentIrql(); }).join();
    EXPECT_EQ(other, PASSIVE_LEVEL);
    KeLowerIrql(old);
}

TEST(IrqlBootTest, BootResetsThisThreadsIrqlAndLocks) {
    winsim::Machine::Boot();
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeAcquireSpinLockRaiseToDpc(&lock);  // left held on purpose
    winsim::Machine& m = winsim::Machine::Boot();
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(SpinLocksHeldByThisThread(), 0u);
    EXPECT_TRUE(m.Verifier().Clean());
    winsim::Machine::Shutdown();
}

}  // namespace
