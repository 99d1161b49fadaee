// Process-id state tables changed from several threads while others read them: ids
// of different threads share storage, so storage is created and released under the
// readers' feet. Each thread's own ids have answers no other thread can change.
#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/driver_fixture.h"

namespace {

class ProcessIdConcurrencyTest : public kxtest::DriverTest {
protected:
    bool ConnectAgent() override { return false; }
};

// Ids of thread t: interleaved with the other threads' in the same groups of 256,
// in clusters at both ends of the large range and across the 131072 boundary
// (below it ids share a slot per group of four, so there the threads keep to
// different groups; above it they also use values that are not multiples of 4).
ULONG ChurnId(int thread, int i) {
    static const ULONG bases[] = {131072 - 256, 0x00FFFF00, 0x7FFFFF00, 0xFFFFFE00};
    const ULONG k = static_cast<ULONG>((i / 4) % 63);  // the 64th place of a group is the anchor's
    const ULONG t = static_cast<ULONG>(thread);
    if (i % 4 == 0) {
        return bases[0] + 16 * k + 4 * t;
    }
    return bases[i % 4] + 4 * k + t;
}

TEST_F(ProcessIdConcurrencyTest, WritersAndReadersAgreeOnOwnIds) {
    constexpr int kWriters = 3;
    constexpr int kRounds = 10000;
    // Ids that stay recorded the whole time: in a group the writers churn, in the
    // group next to one, and next to the churned ids across 131072. The fourth
    // cluster has none, so its whole path comes and goes.
    const ULONG anchors[] = {0x00FFFF00 + 255, 0x7FFFFF00 - 256 + 3, 131072 + 3};
    for (ULONG a : anchors) {
        PgAddPid(a, 64);
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kWriters; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kRounds; ++i) {
                const ULONG id = ChurnId(t, i);
                const ULONG first = (i % 2) ? 2u : 4u;
                PgAddPid(id, first);
                PgAddPid(id, 64);
                ASSERT_EQ(PgGetPidState(id), first) << id;
                ASSERT_EQ(PgIsProtectPid(id), 64u) << id;
                if (i % 3 == 0) {
                    ASSERT_EQ(PgRemovePidState(id, 64), 64u);
                    ASSERT_EQ(PgIsProtectPid(id), 0u) << id;
                    ASSERT_EQ(PgGetPidState(id), first) << id;
                }
                ASSERT_EQ(PgRemovePid(id), first) << id;
                ASSERT_EQ(PgGetPidState(id), 0u) << id;
                ASSERT_EQ(PgIsProtectPid(id), 0u) << id;
            }
        });
    }
    // Table 8 belongs to this thread alone: clearing it empties storage that only
    // its ids kept alive, while the writers are installing storage next to them.
    threads.emplace_back([&] {
        for (int i = 0; !stop.load(); ++i) {
            const ULONG id = ChurnId(3, i);
            PgAddPid(id, 8);
            EXPECT_EQ(PgGetPidState(id), 8u) << id;
            if (i % 16 == 15) {
                PgClearPidState(8);
                EXPECT_EQ(PgGetPidState(id), 0u) << id;
            }
        }
    });
    threads.emplace_back([&] {
        while (!stop.load()) {
            for (ULONG a : anchors) {
                ASSERT_EQ(PgIsProtectPid(a), 64u) << a;
                ASSERT_EQ(PgGetPidState(a), 0u) << a;
            }
        }
    });
    for (int t = 0; t < kWriters; ++t) {
        threads[t].join();
    }
    stop = true;
    for (size_t t = kWriters; t < threads.size(); ++t) {
        threads[t].join();
    }
    PgClearPidState(8);
    for (ULONG a : anchors) {
        EXPECT_EQ(PgRemovePidState(a, 64), 64u);
    }
    // Every id is gone again, so is every block that held them.
    EXPECT_EQ(machine().PoolAllocations(KX_TAG_PID), 0u);
}

}  // namespace
