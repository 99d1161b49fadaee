// Pool accounting, bad frees, lookaside lists, and fault injection.
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "core_fixture.h"

namespace {

using coretest::CoreTest;
using winsim::FaultClass;
using winsim::detail::VerifierUnloadChecks;

const ULONG kTag = winsim::PoolTag("ppsc");
const ULONG kOtherTag = winsim::PoolTag("abcd");

class PoolTest : public CoreTest {};

TEST_F(PoolTest, AccountsPerTag) {
    void* a = ExAllocatePool2(POOL_FLAG_NON_PAGED, 100, kTag);
    void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 28, kTag);
    void* c = ExAllocatePool2(POOL_FLAG_PAGED, 7, kOtherTag);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(M().PoolAllocations(kTag), 2u);
    EXPECT_EQ(M().PoolBytes(kTag), 128u);
    EXPECT_EQ(M().PoolAllocations(kOtherTag), 1u);
    EXPECT_EQ(M().PoolAllocationsTotal(), 3u);
    ExFreePoolWithTag(a, kTag);
    ExFreePool(c);
    EXPECT_EQ(M().PoolAllocations(kTag), 1u);
    EXPECT_EQ(M().PoolBytes(kTag), 28u);
    EXPECT_EQ(M().PoolAllocations(kOtherTag), 0u);
    ExFreePoolWithTag(b, kTag);
    EXPECT_EQ(M().PoolAllocationsTotal(), 0u);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(PoolTest, Pool2ZeroFillsUnlessAskedNot) {
    auto* zeroed = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, kTag));
    ASSERT_NE(zeroed, nullptr);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(zeroed[i], 0) << i;
    ExFreePoolWithTag(zeroed, kTag);
    // Allocate a few uninitialised blocks: none may come back all zero, which would
    // hide a driver relying on a zeroed block.
    for (int n = 0; n < 4; ++n) {
        auto* raw = static_cast<unsigned char*>(
            ExAllocatePool2(POOL_FLAG_NON_PAGED | POOL_FLAG_UNINITIALIZED, 64, kTag));
        ASSERT_NE(raw, nullptr);
        bool allZero = true;
        for (int i = 0; i < 64; ++i) allZero = allZero && raw[i] == 0;
        EXPECT_FALSE(allZero);
        ExFreePoolWithTag(raw, kTag);
    }
}

TEST_F(PoolTest, ZeroSizeAllocationsAreDistinctAndFreeable) {
    void* a = ExAllocatePool2(POOL_FLAG_NON_PAGED, 0, kTag);
    void* b = ExAllocatePool2(POOL_FLAG_NON_PAGED, 0, kTag);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_EQ(M().PoolAllocations(kTag), 2u);
    EXPECT_EQ(M().PoolBytes(kTag), 0u);
    ExFreePoolWithTag(a, kTag);
    ExFreePoolWithTag(b, kTag);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(PoolTest, LeakByTagReportedAtUnloadOnlyWhenNotFreed) {
    void* a = ExAllocatePool2(POOL_FLAG_NON_PAGED, 40, kTag);
    void* b = ExAllocatePool2(POOL_FLAG_NON_PAGED, 24, kTag);
    void* c = ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, kOtherTag);
    ExFreePoolWithTag(c, kOtherTag);
    VerifierUnloadChecks(u"kx4grd");
    auto report = M().Verifier();
    ASSERT_EQ(report.violations.size(), 1u) << report.ToString();
    const std::string& v = report.violations[0];
    EXPECT_NE(v.find("'ppsc'"), std::string::npos) << v;
    EXPECT_NE(v.find("2 allocation(s)"), std::string::npos) << v;
    EXPECT_NE(v.find("64 bytes"), std::string::npos) << v;
    EXPECT_NE(v.find("kx4grd"), std::string::npos) << v;

    M().ClearVerifier();
    ExFreePoolWithTag(a, kTag);
    ExFreePoolWithTag(b, kTag);
    VerifierUnloadChecks(u"kx4grd");
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(PoolTest, WrongTagOnFreeIsAViolationButFrees) {
    void* p = ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, kTag);
    ExFreePoolWithTag(p, kOtherTag);
    EXPECT_EQ(ViolationsWith("allocated with tag 'ppsc' freed with tag 'abcd'"), 1u) << M().Verifier().ToString();
    EXPECT_EQ(M().PoolAllocations(kTag), 0u);
}

TEST_F(PoolTest, DoubleAndUnknownFreesAreViolationsNotCrashes) {
    void* p = ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, kTag);
    void* keep = ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, kTag);
    ExFreePoolWithTag(p, kTag);
    ExFreePoolWithTag(p, kTag);
    EXPECT_EQ(ViolationsWith("double free"), 1u) << M().Verifier().ToString();
    int local = 0;
    ExFreePool(&local);
    EXPECT_EQ(ViolationsWith("is not a pool allocation"), 1u) << M().Verifier().ToString();
    // The bad frees did not disturb the accounting of the live block.
    EXPECT_EQ(M().PoolAllocations(kTag), 1u);
    ExFreePoolWithTag(keep, kTag);
}

TEST_F(PoolTest, PagedPoolAtDispatchIsAViolation) {
    KIRQL old = KeRaiseIrqlToDpcLevel();
    void* nonPaged = ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, kTag);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
    void* paged = ExAllocatePool2(POOL_FLAG_PAGED, 8, kTag);
    void* paged2 = ExAllocatePoolWithTag(PagedPool, 8, kTag);
    KeLowerIrql(old);
    EXPECT_EQ(M().Verifier().violations.size(), 2u) << M().Verifier().ToString();
    EXPECT_EQ(ViolationsWith("DISPATCH_LEVEL"), 2u);
    ExFreePool(nonPaged);
    ExFreePool(paged);
    ExFreePool(paged2);
}

TEST_F(PoolTest, ConcurrentAllocationsKeepExactAccounts) {
    constexpr int kThreads = 4, kBlocks = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            std::vector<void*> blocks;
            for (int i = 0; i < kBlocks; ++i) blocks.push_back(ExAllocatePool2(POOL_FLAG_NON_PAGED, 10, kTag));
            for (size_t i = 0; i < blocks.size(); i += 2) ExFreePoolWithTag(blocks[i], kTag);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(M().PoolAllocations(kTag), size_t{kThreads} * kBlocks / 2);
    EXPECT_EQ(M().PoolBytes(kTag), size_t{kThreads} * kBlocks / 2 * 10);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
    // Shutdown frees the rest.
}

TEST_F(PoolTest, InvalidPool2RequestsAnswerNull) {
    EXPECT_EQ(ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, 0), nullptr);
    EXPECT_EQ(ExAllocatePool2(0, 8, kTag), nullptr);
    EXPECT_EQ(ExAllocatePool2(POOL_FLAG_NON_PAGED | POOL_FLAG_PAGED, 8, kTag), nullptr);
    EXPECT_EQ(M().Verifier().violations.size(), 3u) << M().Verifier().ToString();
    EXPECT_EQ(M().PoolAllocationsTotal(), 0u);
}

class LookasideTest : public CoreTest {};

TEST_F(LookasideTest, FreedEntriesAreReused) {
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 48, kTag, 0);
    void* a = ExAllocateFromNPagedLookasideList(&list);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(M().PoolAllocations(kTag), 1u);
    EXPECT_EQ(M().PoolBytes(kTag), 48u);
    ExFreeToNPagedLookasideList(&list, a);
    void* b = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_EQ(b, a);
    EXPECT_EQ(M().PoolAllocations(kTag), 1u);
    ExFreeToNPagedLookasideList(&list, b);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(M().PoolAllocations(kTag), 0u);
    VerifierUnloadChecks(u"kx4grd");
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(LookasideTest, UndeletedListAndUnreturnedEntriesAreReported) {
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 32, kTag, 0);
    void* kept = ExAllocateFromNPagedLookasideList(&list);
    ASSERT_NE(kept, nullptr);
    VerifierUnloadChecks(u"kx4grd");
    EXPECT_EQ(ViolationsWith("lookaside list"), 1u) << M().Verifier().ToString();
    EXPECT_EQ(ViolationsWith("pool leak"), 1u) << M().Verifier().ToString();

    // Deleting the list does not make the entry handed out go away.
    M().ClearVerifier();
    ExDeleteNPagedLookasideList(&list);
    VerifierUnloadChecks(u"kx4grd");
    EXPECT_EQ(ViolationsWith("lookaside list"), 0u) << M().Verifier().ToString();
    EXPECT_EQ(ViolationsWith("'ppsc' has 1 allocation(s), 32 bytes"), 1u) << M().Verifier().ToString();
    ExFreePoolWithTag(kept, kTag);
}

PVOID CountingAllocate(POOL_TYPE type, SIZE_T size, ULONG tag);
void CountingFree(PVOID p);
int g_allocated = 0, g_freed = 0;  // touched only by the test thread
PVOID CountingAllocate(POOL_TYPE type, SIZE_T size, ULONG tag) {
    ++g_allocated;
    return ExAllocatePoolWithTag(type, size, tag);
}
void CountingFree(PVOID p) {
    ++g_freed;
    ExFreePool(p);
}

TEST_F(LookasideTest, UsesCustomRoutines) {
    g_allocated = g_freed = 0;
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, CountingAllocate, CountingFree, 0, 20, kTag, 0);
    void* a = ExAllocateFromNPagedLookasideList(&list);
    void* b = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_EQ(g_allocated, 2);
    ExFreeToNPagedLookasideList(&list, a);
    ExFreeToNPagedLookasideList(&list, b);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(g_freed, 2);
    EXPECT_EQ(M().PoolAllocations(kTag), 0u);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(LookasideTest, MisuseIsReported) {
    NPAGED_LOOKASIDE_LIST list;
    std::memset(&list, 0, sizeof list);
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
    EXPECT_EQ(ViolationsWith("not an initialised lookaside list"), 1u);
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 16, kTag, 0);
    void* a = ExAllocateFromNPagedLookasideList(&list);
    ExFreeToNPagedLookasideList(&list, a);
    ExFreeToNPagedLookasideList(&list, a);
    EXPECT_EQ(ViolationsWith("freed to the list twice"), 1u);
    void* foreign = ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, kOtherTag);
    ExFreeToNPagedLookasideList(&list, foreign);
    EXPECT_EQ(ViolationsWith("was not allocated from lookaside list"), 1u);
    ExFreePoolWithTag(foreign, kOtherTag);
    ExDeleteNPagedLookasideList(&list);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(ViolationsWith("not an initialised lookaside list"), 2u);
    EXPECT_EQ(M().PoolAllocationsTotal(), 0u);
}

class FaultInjectionTest : public CoreTest {};

TEST_F(FaultInjectionTest, FailsExactlyTheNthAllocationOnce) {
    M().FailNthCall(FaultClass::Allocation, 3);
    std::vector<void*> blocks;
    for (int i = 0; i < 6; ++i) blocks.push_back(ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, kTag));
    for (int i = 0; i < 6; ++i) EXPECT_EQ(blocks[i] == nullptr, i == 2) << i;
    EXPECT_TRUE(M().InjectedFaultHit());
    EXPECT_EQ(M().FailableCallsSeen(FaultClass::Allocation), 6u);
    EXPECT_EQ(M().PoolAllocations(kTag), 5u);
    for (void* p : blocks)
        if (p) ExFreePoolWithTag(p, kTag);
}

TEST_F(FaultInjectionTest, CountsFromTheRequestAndByClass) {
    void* before = ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, kTag);  // not counted
    M().FailNthCall(FaultClass::Registration, 1);
    EXPECT_EQ(M().FailableCallsSeen(FaultClass::Any), 0u);
    void* alloc = ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, kTag);  // not a registration
    EXPECT_NE(alloc, nullptr);
    EXPECT_FALSE(M().InjectedFaultHit());
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, WSTR("\\BaseNamedObjects\\FaultEvent"));
    HANDLE handle = reinterpret_cast<HANDLE>(1);
    EXPECT_EQ(IoCreateNotificationEvent(&name, &handle), nullptr);
    EXPECT_EQ(handle, nullptr);
    EXPECT_TRUE(M().InjectedFaultHit());
    EXPECT_FALSE(M().NamedObjectExists(u"\\BaseNamedObjects\\FaultEvent"));
    // Once only: the retry succeeds.
    PKEVENT event = IoCreateNotificationEvent(&name, &handle);
    EXPECT_NE(event, nullptr);
    EXPECT_EQ(M().FailableCallsSeen(FaultClass::Any), 3u);
    EXPECT_EQ(M().FailableCallsSeen(FaultClass::Registration), 2u);
    EXPECT_EQ(M().FailableCallsSeen(FaultClass::Allocation), 1u);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    ExFreePoolWithTag(before, kTag);
    ExFreePoolWithTag(alloc, kTag);
}

TEST_F(FaultInjectionTest, AnyCountsEveryClassAndClearDisarms) {
    M().FailNthCall(FaultClass::Any, 2);
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 16, kTag, 0);
    void* first = ExAllocateFromNPagedLookasideList(&list);
    void* second = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(M().InjectedFaultHit());

    M().FailNthCall(FaultClass::Any, 1);
    M().ClearFaultInjection();
    EXPECT_FALSE(M().InjectedFaultHit());
    void* third = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_NE(third, nullptr);
    ExFreeToNPagedLookasideList(&list, first);
    ExFreeToNPagedLookasideList(&list, third);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(M().PoolAllocations(kTag), 0u);
}

TEST_F(FaultInjectionTest, EveryFailurePointInTurn) {
    // The harness pattern: fail call 1, 2, ... until a run no longer reaches n.
    auto scenario = [] {
        void* a = ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, kTag);
        if (!a) return;
        void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
        if (b) ExFreePoolWithTag(b, kTag);
        ExFreePoolWithTag(a, kTag);
    };
    unsigned runs = 0;
    for (unsigned n = 1; n < 10; ++n) {
        M().FailNthCall(FaultClass::Allocation, n);
        scenario();
        if (!M().InjectedFaultHit()) break;
        ++runs;
        EXPECT_EQ(M().PoolAllocations(kTag), 0u) << n;
    }
    EXPECT_EQ(runs, 2u);
}

}  // namespace
