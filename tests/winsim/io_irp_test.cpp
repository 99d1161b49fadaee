// I/O request packets a driver builds or allocates itself, their completion and
// the verifier's account of them (completed twice, allocated and never freed,
// freed while still held below, completed past the top), MDLs and their mapping
// (including a mapping that fails), and fast mutexes.
#include "tests/winsim/io_hook_probe.h"

using winsim::TargetAction;
using winsim::TargetBehavior;

namespace {

class IrpTest : public hookprobe::ProbeTest {
protected:
    void SetUp() override {
        hookprobe::ProbeTest::SetUp();
        ASSERT_EQ(M().LoadTargetDriver(u"BTKRNL"), STATUS_SUCCESS);
        device_ = M().TargetDevice(u"BTKRNL");
    }
    PDEVICE_OBJECT device_ = nullptr;
};

// ---------------------------------------------------------------- built requests
TEST_F(IrpTest, ABuiltRequestSignalsItsEventAndStatusBlockAndCopiesTheOutputBack) {
    TargetBehavior pend;
    pend.action = TargetAction::Pend;
    pend.status = STATUS_SUCCESS;
    pend.information = 4;
    pend.output = {9, 8, 7, 6, 5};
    M().SetTargetBehavior(u"BTKRNL", pend);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    uint8_t input[3] = {1, 2, 3};
    uint8_t output[8] = {};
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(0x41, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), device_, input,
                                             sizeof input, output, sizeof output, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IofCallDriver(device_, irp), STATUS_PENDING);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10LL * 1000 * 1000 * 5;  // 5 s
    // Driven clock: a timed wait advances time, so wait without one (the completion is real).
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    (void)timeout;
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 4u);
    EXPECT_EQ(std::vector<uint8_t>(output, output + 5), (std::vector<uint8_t>{9, 8, 7, 6, 0}));
    EXPECT_EQ(M().TargetRequests(u"BTKRNL").last.systemBufferBytes, (std::vector<uint8_t>{1, 2, 3}));
    UnloadProbe();
    ExpectClean();
}

TEST_F(IrpTest, CompletingARequestASecondTimeIsReported) {
    PIRP irp = IoBuildDeviceIoControlRequest(0x00220000, device_, nullptr, 0, nullptr, 0, TRUE, nullptr, nullptr);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IofCallDriver(device_, irp), STATUS_SUCCESS);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(ViolationsWith("completed twice"), 1u) << M().Verifier().ToString();
}

TEST_F(IrpTest, ABuiltRequestNeverSentIsReportedAtUnload) {
    PIRP irp = IoBuildDeviceIoControlRequest(0x00220000, device_, nullptr, 0, nullptr, 0, FALSE, nullptr, nullptr);
    ASSERT_NE(irp, nullptr);
    UnloadProbe();
    EXPECT_EQ(ViolationsWith("never completed at unload"), 1u) << M().Verifier().ToString();
}

// ---------------------------------------------------------------- allocated requests
struct Completion {
    std::atomic<int> calls{0};
    std::atomic<bool> free{true};
};

NTSTATUS StopAndFree(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* c = static_cast<Completion*>(context);
    ++c->calls;
    if (c->free) IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS LetGo(PDEVICE_OBJECT, PIRP, PVOID context) {
    ++static_cast<Completion*>(context)->calls;
    return STATUS_SUCCESS;
}

PIRP Allocated(PDEVICE_OBJECT device, PIO_COMPLETION_ROUTINE routine, Completion* c) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (irp == nullptr) return nullptr;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = 0x00220004;
    IoSetCompletionRoutine(irp, routine, c, TRUE, TRUE, TRUE);
    return irp;
}

TEST_F(IrpTest, AnAllocatedRequestStoppedAndFreedByItsCompletionRoutineIsClean) {
    Completion c;
    PIRP irp = Allocated(device_, StopAndFree, &c);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IofCallDriver(device_, irp), STATUS_SUCCESS);
    EXPECT_EQ(c.calls, 1);
    UnloadProbe();
    ExpectClean();
}

TEST_F(IrpTest, AllocatedRequestFaultsAreReported) {
    // Completed past its top without the completion routine stopping it.
    Completion a;
    PIRP irp = Allocated(device_, LetGo, &a);
    IofCallDriver(device_, irp);
    EXPECT_EQ(ViolationsWith("completed past its top location"), 1u);
    IoFreeIrp(irp);
    // Freed twice.
    IoFreeIrp(irp);
    EXPECT_EQ(ViolationsWith("IoFreeIrp on a request that is not allocated"), 1u);
    // Freed while the target still holds it.
    TargetBehavior never;
    never.action = TargetAction::PendForever;
    M().SetTargetBehavior(u"BTKRNL", never);
    Completion b;
    b.free = false;
    PIRP held = Allocated(device_, StopAndFree, &b);
    EXPECT_EQ(IofCallDriver(device_, held), STATUS_PENDING);
    IoFreeIrp(held);
    EXPECT_EQ(ViolationsWith("that a driver below still holds"), 1u);
    EXPECT_TRUE(IoCancelIrp(held));  // completes STATUS_CANCELLED; the routine stops it
    EXPECT_EQ(b.calls, 1);
    EXPECT_EQ(held->IoStatus.Status, STATUS_CANCELLED);
    // Never freed at all.
    UnloadProbe();
    EXPECT_EQ(ViolationsWith("never freed (IoFreeIrp)"), 1u) << M().Verifier().ToString();
}

TEST_F(IrpTest, IoCancelIrpWithoutACancelRoutineOnlyMarksTheRequest) {
    TargetBehavior gate;
    gate.action = TargetAction::PendAtGate;
    M().SetTargetBehavior(u"BTKRNL", gate);
    Completion c;
    PIRP irp = Allocated(device_, StopAndFree, &c);
    EXPECT_EQ(IofCallDriver(device_, irp), STATUS_PENDING);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(c.calls, 0);
    M().OpenTargetGate(u"BTKRNL");
    M().OutstandingRequests();  // joins the completing thread
    EXPECT_EQ(c.calls, 1);
    UnloadProbe();
    ExpectClean();
}

TEST_F(IrpTest, AllocationFailuresAreInjectable) {
    M().FailNthCall(winsim::FaultClass::Allocation, 1);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    EXPECT_TRUE(M().InjectedFaultHit());
    UnloadProbe();
    ExpectClean();
}

// ---------------------------------------------------------------- MDLs
TEST_F(IrpTest, AnMdlMapsToItsBufferUnlessMappingIsMadeToFail) {
    static uint8_t buffer[100];
    for (int i = 0; i < 100; ++i) buffer[i] = static_cast<uint8_t>(i);
    PMDL mdl = IoAllocateMdl(buffer + 10, 50, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(MmGetMdlByteCount(mdl), 50u);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), buffer + 10);
    mdl->MdlFlags |= MDL_PAGES_LOCKED;  // as MmProbeAndLockPages leaves it
    M().SetMdlMappingFails(true);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
    EXPECT_THROW(MmMapLockedPages(mdl, KernelMode), winsim::BugCheck);  // no safe variant: a bug check
    EXPECT_EQ(ViolationsWith("KeBugCheckEx 0x0000003F"), 1u);  // NO_MORE_SYSTEM_PTES, recorded
    M().SetMdlMappingFails(false);
    auto* mapped = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    ASSERT_NE(mapped, nullptr);
    EXPECT_EQ(mapped[0], 10);
    EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    // Mapped once, it stays mapped even when mapping starts failing.
    M().SetMdlMappingFails(true);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), mapped);
    M().SetMdlMappingFails(false);
    MmUnmapLockedPages(mapped, mdl);
    IoFreeMdl(mdl);

    PMDL pool = IoAllocateMdl(buffer, 8, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(pool);
    M().SetMdlMappingFails(true);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(pool, NormalPagePriority), buffer);  // non-paged: no mapping needed
    M().SetMdlMappingFails(false);
    IoFreeMdl(pool);
    UnloadProbe();
    EXPECT_EQ(M().Verifier().violations.size(), 1u) << M().Verifier().ToString();  // only the bug check
}

TEST_F(IrpTest, MdlFaultsAreReported) {
    static uint8_t buffer[16];
    PMDL unlocked = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(unlocked, NormalPagePriority), nullptr);
    EXPECT_EQ(ViolationsWith("pages are not locked"), 1u);
    IoFreeMdl(unlocked);
    IoFreeMdl(unlocked);
    EXPECT_EQ(ViolationsWith("IoFreeMdl on an MDL that is not allocated"), 1u);
    IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);  // leaked
    UnloadProbe();
    EXPECT_EQ(ViolationsWith("never freed (IoFreeMdl)"), 1u) << M().Verifier().ToString();
}

// ---------------------------------------------------------------- fast mutexes
TEST_F(IrpTest, AFastMutexExcludesAndRaisesToApcLevel) {
    static FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        EXPECT_FALSE(ExTryToAcquireFastMutex(&mutex));
        ExAcquireFastMutex(&mutex);
        acquired = true;
        ExReleaseFastMutex(&mutex);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(acquired);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    other.join();
    EXPECT_TRUE(acquired);
    ExAcquireFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);  // recursion: a deadlock on Windows, reported here
    EXPECT_EQ(ViolationsWith("already holds"), 1u);
    ExReleaseFastMutex(&mutex);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(ViolationsWith("does not hold"), 1u);
}

}  // namespace
