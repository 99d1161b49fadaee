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
    PgAddPid(500000, 64);
    PgAddPid(1000, 64);
    EXPECT_EQ(machine().PoolAllocations(KX_TAG_PID), 1u);
    PgClearAllPid();
    EXPECT_EQ(PgIsProtectPid(500000), 0u);
    EXPECT_EQ(PgIsProtectPid(1000), 0u);
    EXPECT_EQ(machine().PoolAllocations(KX_TAG_PID), 0u);
}

TEST_F(ProcessIdTest, LargeIdWithoutMemoryIsReportedAndNotStored) {
    WriteNoFence(&DebugLevel, KX_DBG_ERROR | KX_DBG_INFO);
    machine().FailNthCall(winsim::FaultClass::Allocation, 1);
    PgAddPid(600000, 64);
    EXPECT_TRUE(machine().InjectedFaultHit());
    EXPECT_EQ(PgIsProtectPid(600000), 0u);
    EXPECT_TRUE(machine().DebugContains("600000 64 no memory"));
}

}  // namespace
