// Process-id state tables.
#include "tests/support/driver_fixture.h"

namespace {

class ProcessIdTest : public kxtest::DriverTest {
protected:
    bool ConnectAgent() override { return false; }
};

TEST_F(ProcessIdTest, TrustedTableIsConsultedFirst) {
    PgAddPid(1000, 2);
    EXPECT_EQ(PgGetPidState(1000), 2u);
    PgAddPid(1000, 8);
    EXPECT_EQ(PgGetPidState(1000), 2u);
    PgAddPid(1000, 1);
    EXPECT_EQ(PgGetPidState(1000), 1u);
    EXPECT_TRUE(machine().DebugContains("kx4grd:PgAddPid: 1000 1 COMPLETE\n"));
}

TEST_F(ProcessIdTest, UnknownStatesChangeNothing) {
    for (ULONG state : {0u, 3u, 16u, 32u, 65u}) {
        PgAddPid(1000, state);
        EXPECT_EQ(PgGetPidState(1000), 0u) << state;
        EXPECT_EQ(PgIsProtectPid(1000), 0u) << state;
    }
}

TEST_F(ProcessIdTest, ProtectedTableIsSeparate) {
    PgAddPid(1000, 64);
    EXPECT_EQ(PgGetPidState(1000), 0u);
    EXPECT_EQ(PgIsProtectPid(1000), 64u);
    PgAddPid(1000, 4);
    EXPECT_EQ(PgRemovePidState(1000, 64), 64u);
    EXPECT_EQ(PgIsProtectPid(1000), 0u);
    EXPECT_EQ(PgGetPidState(1000), 4u);
}

TEST_F(ProcessIdTest, RemoveClearsEveryTableAndReportsThePriorState) {
    PgAddPid(1000, 2);
    PgAddPid(1000, 8);
    PgAddPid(1000, 64);
    EXPECT_EQ(PgRemovePid(1000), 2u);
    EXPECT_TRUE(machine().DebugContains("kx4grd:PgRemovePid: PgRemove 1000 2\n"));
    EXPECT_EQ(PgGetPidState(1000), 0u);
    EXPECT_EQ(PgIsProtectPid(1000), 0u);
    EXPECT_EQ(PgRemovePid(1000), 0u);
}

TEST_F(ProcessIdTest, NeighbouringIdsAreIndependent) {
    // 1000 and 1004 share a word; 124 and 128 sit on either side of a word boundary.
    const ULONG pairs[][2] = {{1000, 1004}, {124, 128}, {131064, 131068}};
    for (const auto& pair : pairs) {
        PgAddPid(pair[0], 2);
        EXPECT_EQ(PgGetPidState(pair[1]), 0u);
        PgAddPid(pair[1], 4);
        EXPECT_EQ(PgGetPidState(pair[0]), 2u);
        PgRemovePid(pair[0]);
        EXPECT_EQ(PgGetPidState(pair[1]), 4u);
        PgRemovePid(pair[1]);
    }
}

TEST_F(ProcessIdTest, LargeIdsKeepTheirStates) {
    const ULONG large[] = {131072, 131076, 400000, 0xFFFFFFFC};
    for (ULONG pid : large) {
        PgAddPid(pid, 64);
        PgAddPid(pid, 2);
    }
    for (ULONG pid : large) {
        EXPECT_EQ(PgIsProtectPid(pid), 64u) << pid;
        EXPECT_EQ(PgGetPidState(pid), 2u) << pid;
    }
    // Large ids never alias the bitmaps.
    EXPECT_EQ(PgIsProtectPid(0), 0u);
    EXPECT_EQ(PgIsProtectPid(131072 % 131072), 0u);

    PgRemovePidState(131072, 64);
    EXPECT_EQ(PgIsProtectPid(131072), 0u);
    EXPECT_EQ(PgGetPidState(131072), 2u);
    EXPECT_EQ(PgRemovePid(131076), 2u);
    EXPECT_EQ(PgIsProtectPid(131076), 0u);

    PgClearPidState(64);
    EXPECT_EQ(PgIsProtectPid(400000), 0u);
    EXPECT_EQ(PgGetPidState(400000), 2u);
    PgClearPidState(2);
    EXPECT_EQ(PgGetPidState(400000), 0u);
    // Entries whose every state went are released at once.
    EXPECT_EQ(machine().PoolAllocations(KX_TAG_PID), 0u);
}

TEST_F(ProcessIdTest, ClearAllReleasesLargeIds) {
    // Neighbours, so they need storage of their own.
    PgAddPid(500000, 64);
    PgAddPid(500004, 2);
    PgAddPid(0xFFFFFFFF, 2);
    PgAddPid(1000, 64);
    EXPECT_GT(machine().PoolAllocations(KX_TAG_PID), 0u);
    PgClearAllPid();
    EXPECT_EQ(PgIsProtectPid(500000), 0u);
    EXPECT_EQ(PgGetPidState(500004), 0u);
    EXPECT_EQ(PgGetPidState(0xFFFFFFFF), 0u);
    EXPECT_EQ(PgIsProtectPid(1000), 0u);
    EXPECT_EQ(machine().PoolAllocations(KX_TAG_PID), 0u);
}

TEST_F(ProcessIdTest, LargeIdWithoutMemoryIsReportedAndNotStored) {
    WriteNoFence(&DebugLevel, KX_DBG_ERROR | KX_DBG_INFO);
    // A lone large id needs no memory.
    machine().FailNthCall(winsim::FaultClass::Allocation, 1);
    PgAddPid(600004, 2);
    EXPECT_FALSE(machine().InjectedFaultHit());
    EXPECT_EQ(PgGetPidState(600004), 2u);

    // Its nearest neighbour needs several allocations; let each one fail in turn.
    unsigned allocations = 0;
    for (unsigned n = 1;; ++n) {
        ASSERT_LT(n, 32u) << "an insertion that never stops allocating";
        machine().ClearDebugOutput();
        machine().FailNthCall(winsim::FaultClass::Allocation, n);
        PgAddPid(600000, 64);
        if (!machine().InjectedFaultHit()) {
            allocations = n - 1;
            break;
        }
        EXPECT_EQ(PgIsProtectPid(600000), 0u) << n;
        EXPECT_EQ(PgGetPidState(600000), 0u) << n;
        EXPECT_EQ(PgGetPidState(600004), 2u) << n;
        EXPECT_TRUE(machine().DebugContains("kx4grd:PgAddPid: 600000 64 no memory\n")) << n;
        EXPECT_FALSE(machine().DebugContains("COMPLETE")) << n;
        // Whatever was allocated before the failure went back.
        EXPECT_EQ(machine().PoolAllocations(KX_TAG_PID), 0u) << n;
    }
    EXPECT_GE(allocations, 2u);
    EXPECT_EQ(PgIsProtectPid(600000), 64u);
    EXPECT_EQ(PgGetPidState(600004), 2u);
    EXPECT_TRUE(machine().DebugContains("kx4grd:PgAddPid: 600000 64 COMPLETE\n"));

    // Once the storage is there, ids sharing it and further states need no memory.
    for (ULONG pid : {600000u, 600008u, 600001u}) {
        machine().FailNthCall(winsim::FaultClass::Allocation, 1);
        PgAddPid(pid, 2);
        EXPECT_FALSE(machine().InjectedFaultHit()) << pid;
        EXPECT_EQ(PgGetPidState(pid), 2u) << pid;
    }
    machine().ClearFaultInjection();
}

TEST_F(ProcessIdTest, RemovingOneStateOfALargeIdKeepsTheOthers) {
    const ULONG states[] = {1, 2, 4, 8, 64};
    // First and last id of the large range, ids that are not multiples of 4, and ids
    // on either side of a 256-id boundary.
    const ULONG ids[] = {131072, 131073, 0x12345FF, 0x1234600, 0xFFFFFFFE, 0xFFFFFFFF};
    auto lookupOf = [](ULONG state) { return state == 64 ? 0u : state; };
    for (bool crowded : {false, true}) {
        for (ULONG pid : ids) {
            for (ULONG kept : states) {
                for (ULONG removed : states) {
                    if (kept == removed) {
                        continue;
                    }
                    SCOPED_TRACE(::testing::Message() << "id " << pid << " kept " << kept << " removed " << removed
                                                      << (crowded ? " beside another" : " alone"));
                    // Alone, or with a close neighbour that holds the removed state too.
                    const ULONG neighbour = pid ^ 4;
                    if (crowded) {
                        PgAddPid(neighbour, removed);
                    }
                    PgAddPid(pid, removed);
                    PgAddPid(pid, kept);
                    EXPECT_EQ(PgRemovePidState(pid, removed), removed);
                    EXPECT_EQ(PgIsProtectPid(pid), kept == 64 ? 64u : 0u);
                    EXPECT_EQ(PgGetPidState(pid), lookupOf(kept));
                    if (crowded) {
                        EXPECT_EQ(PgIsProtectPid(neighbour), removed == 64 ? 64u : 0u);
                        EXPECT_EQ(PgGetPidState(neighbour), lookupOf(removed));
                        PgRemovePidState(neighbour, removed);
                    }
                    // Removing the last one leaves nothing behind.
                    PgRemovePidState(pid, kept);
                    EXPECT_EQ(PgIsProtectPid(pid), 0u);
                    EXPECT_EQ(PgGetPidState(pid), 0u);
                    EXPECT_EQ(machine().PoolAllocations(KX_TAG_PID), 0u);
                }
            }
        }
    }
}

TEST_F(ProcessIdTest, EveryBitOfALargeIdCounts) {
    // Small ids share a slot per four values; large ids are kept exactly.
    PgAddPid(1000, 2);
    EXPECT_EQ(PgGetPidState(1003), 2u);
    const ULONG base = 0xA5A5A5A5;
    PgAddPid(base, 64);
    for (int bit = 0; bit < 32; ++bit) {
        const ULONG other = base ^ (1u << bit);
        if (other < 131072) {
            continue;
        }
        EXPECT_EQ(PgIsProtectPid(other), 0u) << bit;
        PgAddPid(other, 4);
        EXPECT_EQ(PgIsProtectPid(base), 64u) << bit;
        EXPECT_EQ(PgGetPidState(base), 0u) << bit;
        EXPECT_EQ(PgRemovePid(other), 4u) << bit;
    }
    EXPECT_EQ(PgIsProtectPid(base), 64u);
}

TEST_F(ProcessIdTest, StorageOfLargeIdsGoesWhenTheyGo) {
    // Pairs of neighbours, so each pair needs storage.
    const ULONG near = 262144, far = 0xF0000004;
    PgAddPid(near, 64);
    PgAddPid(near + 4, 64);
    const size_t nearOnly = machine().PoolAllocations(KX_TAG_PID);
    EXPECT_GT(nearOnly, 0u);
    PgAddPid(far, 1);
    PgAddPid(far + 4, 1);
    EXPECT_GT(machine().PoolAllocations(KX_TAG_PID), nearOnly);
    PgRemovePid(far);
    PgRemovePidState(far + 4, 1);
    EXPECT_EQ(machine().PoolAllocations(KX_TAG_PID), nearOnly);
    EXPECT_EQ(PgIsProtectPid(near), 64u);
    PgRemovePidState(near, 64);
    PgRemovePid(near + 4);
    EXPECT_EQ(machine().PoolAllocations(KX_TAG_PID), 0u);

    // Clearing one table releases what held only that table's ids.
    PgAddPid(near, 64);
    PgAddPid(near + 4, 64);
    PgAddPid(far, 8);
    PgAddPid(far + 4, 8);
    PgClearPidState(8);
    EXPECT_EQ(machine().PoolAllocations(KX_TAG_PID), nearOnly);
    EXPECT_EQ(PgIsProtectPid(near + 4), 64u);
    PgClearPidState(64);
    EXPECT_EQ(machine().PoolAllocations(KX_TAG_PID), 0u);
}

}  // namespace
