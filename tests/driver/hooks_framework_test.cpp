// The dispatch hook framework: SET_HOOK's families, install and remove restoring
// the exact routines, pass-through, draining at removal, late callers, unload.
#include <atomic>
#include <thread>

#include "tests/driver/hooks_fixture.h"

using hooktest::HooksTest;
using hooktest::kTargets;
using hooktest::Narrow;
using hooktest::TargetSpec;

namespace {

std::string HookTypeTrace(uint32_t type, uint32_t on) {
    return "kx4grd:Kx4GrdMssageProc: SET_HOOK(" + std::to_string(type) + ")(" + std::to_string(on) + ")\n";
}

// ------------------------------------------------------------------ SET_HOOK

TEST_F(HooksTest, SetHookForEveryDeviceTypeInterposesExactlyItsFamilyAndRemovalRestoresTheOriginals) {
    LoadAllTargets();
    const PDRIVER_DISPATCH original = winsim::Machine::TargetDispatchRoutine();
    for (uint32_t type = 0; type < 32; ++type) {
        SCOPED_TRACE("device type " + std::to_string(type));
        machine().ClearDebugOutput();
        ASSERT_EQ(SetHook(type, 1).status, STATUS_SUCCESS);
        EXPECT_EQ(machine().DebugCount(HookTypeTrace(type, 1)), 1u);
        const int family = hooktest::FamilyOfType(type);
        for (const TargetSpec& t : kTargets) {
            PDRIVER_OBJECT d = machine().TargetDriverObject(t.name);
            const bool expectHooked = family == t.family;
            for (int mj = 0; mj <= IRP_MJ_MAXIMUM_FUNCTION; ++mj) {
                if (mj == t.major && expectHooked) {
                    EXPECT_NE(d->MajorFunction[mj], original) << Narrow(t.name);
                    EXPECT_NE(d->MajorFunction[mj], nullptr) << Narrow(t.name);
                } else {
                    EXPECT_EQ(d->MajorFunction[mj], original) << Narrow(t.name) << " MJ " << mj;
                }
            }
            // The target's object is referenced exactly while it is interposed.
            EXPECT_EQ(machine().ObjectReferencesHeld(d), expectHooked ? 1 : 0) << Narrow(t.name);
            EXPECT_EQ(KxHookFamilyActive(t.family) != FALSE, expectHooked) << Narrow(t.name);
            if (expectHooked) {
                const std::string line = ": [Hook] \\Driver\\" + Narrow(t.name) + " MJ:" + std::to_string(t.major) + " Org:";
                EXPECT_EQ(machine().DebugCount(line), 1u) << line;
            }
        }
        ASSERT_EQ(SetHook(type, 0).status, STATUS_SUCCESS);
        EXPECT_EQ(machine().DebugCount(HookTypeTrace(type, 0)), 1u);
        ExpectAllOriginal();
        for (const TargetSpec& t : kTargets) EXPECT_FALSE(KxHookFamilyActive(t.family));
    }
}

TEST_F(HooksTest, HookTracesCarryTheInstallingRoutineAndTheFamilyLines) {
    LoadAllTargets();
    machine().ClearDebugOutput();
    ASSERT_EQ(SetHook(BDC_SERIAL, 1).status, STATUS_SUCCESS);
    for (const char* name : {"ohci1394", "Serenum", "Parport", "irda", "modem"}) {
        EXPECT_TRUE(machine().DebugContains(std::string("kx4grd:EtcIrpHookInit: Target driver(\\Driver\\") + name +
                                            ")\n"))
            << name;
    }
    EXPECT_TRUE(machine().DebugContains("kx4grd:EtcIrpHookInit: [Hook] \\Driver\\Serenum MJ:4 Org:"));
    EXPECT_TRUE(machine().DebugContains("kx4grd:EtcIrpHookInit: complete\n"));
    ASSERT_EQ(SetHook(BDC_IRDA, 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(machine().DebugContains("kx4grd:EtcIrpHookCleanup: Started...\n"));
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(machine().DebugContains("kx4grd:EtcIrpHookCleanup: Unhooking Driver Index: " + std::to_string(i) +
                                            "\n"));
    }
    EXPECT_TRUE(machine().DebugContains("kx4grd:EtcIrpHookCleanup: Complete.\n"));
    // Debug bit 0x2 off: none of these lines.
    SetDebugLevel(0x1);
    machine().ClearDebugOutput();
    ASSERT_EQ(SetHook(BDC_MODEM, 1).status, STATUS_SUCCESS);
    ASSERT_EQ(SetHook(BDC_MODEM, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(machine().DebugCount("EtcIrpHook"), 0u);
}

TEST_F(HooksTest, AbsentTargetsAreSkippedAndALaterInstallHooksTheOnesLoadedSince) {
    SetDebugLevel(0x3);
    machine().ClearDebugOutput();
    ASSERT_EQ(SetHook(BDC_BLUETOOTH, 1).status, STATUS_SUCCESS);
    for (const char* name : {"BTKRNL", "RFCOMM", "BTWUSB", "BTHUSB"}) {
        EXPECT_EQ(machine().DebugCount(std::string("kx4grd:BlueToothIrpHookInit: Not found object (\\Driver\\") + name +
                                       ")\n"),
                  1u)
            << name;
    }
    EXPECT_TRUE(machine().DebugContains("kx4grd:BlueToothIrpHookInit: complete\n"));
    EXPECT_FALSE(KxHookFamilyActive(KxHookBluetooth));

    // The name is looked up without regard to case.
    ASSERT_EQ(machine().LoadTargetDriver(u"btwusb"), STATUS_SUCCESS);
    machine().ClearDebugOutput();
    ASSERT_EQ(SetHook(BDC_BLUETOOTH, 1).status, STATUS_SUCCESS);
    EXPECT_TRUE(KxHookFamilyActive(KxHookBluetooth));
    const PDRIVER_DISPATCH hookedBtwusb = SlotOf(u"btwusb", IRP_MJ_DEVICE_CONTROL);
    EXPECT_NE(hookedBtwusb, winsim::Machine::TargetDispatchRoutine());
    EXPECT_EQ(machine().DebugCount("Not found object"), 3u);

    // Installing again only tries the records not yet hooked.
    ASSERT_EQ(machine().LoadTargetDriver(u"BTKRNL"), STATUS_SUCCESS);
    machine().ClearDebugOutput();
    ASSERT_EQ(SetHook(BDC_BLUETOOTH, 1).status, STATUS_SUCCESS);
    EXPECT_FALSE(machine().DebugContains("Target driver(\\Driver\\BTWUSB)"));
    EXPECT_EQ(machine().DebugCount("[Hook] \\Driver\\BTKRNL MJ:14"), 1u);
    EXPECT_EQ(SlotOf(u"btwusb", IRP_MJ_DEVICE_CONTROL), hookedBtwusb);
    EXPECT_EQ(machine().ObjectReferencesHeld(machine().TargetDriverObject(u"btwusb")), 1);

    // Only "Not found object" is an error line.
    SetDebugLevel(0x1);
    machine().ClearDebugOutput();
    ASSERT_EQ(SetHook(BDC_BLUETOOTH, 1).status, STATUS_SUCCESS);
    EXPECT_EQ(machine().DebugCount("Not found object"), 2u);
    EXPECT_EQ(machine().DebugCount("Target driver("), 0u);

    ASSERT_EQ(SetHook(BDC_BLUETOOTH, 0).status, STATUS_SUCCESS);
    ExpectAllOriginal();
}

TEST_F(HooksTest, RemovingAFamilyNeverInstalledWaitsHalfASecondAndChangesNothing) {
    LoadAllTargets();
    const uint64_t before = machine().TickCount();
    machine().ClearDebugOutput();
    ASSERT_EQ(SetHook(BDC_MTP, 0).status, STATUS_SUCCESS);
    const uint64_t ticks = machine().TickCount() - before;
    EXPECT_GE(ticks * winsim::Machine::kTimeIncrement, 5000000u);
    EXPECT_TRUE(machine().DebugContains("kx4grd:MtpIrpHookCleanup: Started...\n"));
    EXPECT_TRUE(machine().DebugContains("kx4grd:MtpIrpHookCleanup: Complete.\n"));
    EXPECT_FALSE(machine().DebugContains("Unhooking"));
    ExpectAllOriginal();
}

TEST_F(HooksTest, AnEmptySlotIsNeitherReplacedNorRestored) {
    winsim::TargetDriverOptions options;
    options.emptySlots = {IRP_MJ_WRITE};
    ASSERT_EQ(machine().LoadTargetDriver(u"modem", options), STATUS_SUCCESS);
    machine().ClearDebugOutput();
    ASSERT_EQ(SetHook(BDC_MODEM, 1).status, STATUS_SUCCESS);
    EXPECT_EQ(SlotOf(u"modem", IRP_MJ_WRITE), nullptr);
    EXPECT_FALSE(machine().DebugContains("[Hook]"));
    ASSERT_EQ(SetHook(BDC_MODEM, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(SlotOf(u"modem", IRP_MJ_WRITE), nullptr);
    EXPECT_EQ(machine().ObjectReferencesHeld(machine().TargetDriverObject(u"modem")), 0);
}

// ------------------------------------------------------------------ pass-through

// Every interposed major function of every family, with the requests completing
// at once and pending: the caller gets the target's own answer, once.
void ExpectPassThrough(winsim::Machine& m, const char* when) {
    SCOPED_TRACE(when);
    for (const TargetSpec& t : kTargets) {
        for (winsim::TargetAction action : {winsim::TargetAction::Complete, winsim::TargetAction::Pend}) {
            winsim::TargetBehavior b;
            b.action = action;
            b.status = (NTSTATUS)0x40000123L;  // an unusual success the handlers never produce
            b.information = 7;
            m.SetTargetBehavior(t.name, b);
            const unsigned before = m.TargetRequests(t.name).total;
            winsim::DeviceRequest r;
            r.major = t.major;
            r.ioControlCode = 0x0022833C;
            r.input = std::vector<uint8_t>(64, 0xDD);
            r.fileObject = m.ConnectionFileObject(1);
            winsim::DeviceRequestResult result = m.SendRequest(t.name, r);
            EXPECT_TRUE(result.completed) << Narrow(t.name);
            EXPECT_EQ(result.status, (NTSTATUS)0x40000123L) << Narrow(t.name);
            EXPECT_EQ(result.information, 7u) << Narrow(t.name);
            EXPECT_EQ(result.returned,
                      action == winsim::TargetAction::Pend ? STATUS_PENDING : (NTSTATUS)0x40000123L)
                << Narrow(t.name);
            EXPECT_EQ(m.TargetRequests(t.name).total, before + 1) << Narrow(t.name);
        }
    }
}

TEST_F(HooksTest, RequestsPassUnchangedWhileNotStartedOrWhileTheFamilyIsRemoved) {
    LoadAllTargets();
    for (uint32_t type : {BDC_USB, BDC_BLUETOOTH, BDC_BLUETOOTH_FILE, BDC_MTP, BDC_1394, BDC_SERIAL, BDC_PARALLEL,
                          BDC_IRDA, BDC_MODEM}) {
        ASSERT_EQ(SetPolicy(type, DISABLE, 1).status, STATUS_SUCCESS);
    }
    for (uint32_t type : {BDC_USB, BDC_BLUETOOTH, BDC_MTP, BDC_SERIAL}) ASSERT_EQ(SetHook(type, 1).status, STATUS_SUCCESS);
    ExpectPassThrough(machine(), "hooked, not started");

    StartFiltering();
    for (uint32_t type : {BDC_USB, BDC_BLUETOOTH, BDC_MTP, BDC_SERIAL}) ASSERT_EQ(SetHook(type, 0).status, STATUS_SUCCESS);
    ExpectPassThrough(machine(), "started, families removed");
    EXPECT_TRUE(Events().empty());
    ExpectAllOriginal();
}

// The first request to find our routine in the slot finds the record complete:
// the saved routine and the hooked mark are published before the swap.
TEST_F(HooksTest, ARequestArrivingTheMomentTheSlotIsSwappedIsAlreadyDecidedOn) {
    ASSERT_EQ(machine().LoadTargetDriver(u"Serenum"), STATUS_SUCCESS);
    StartFiltering();
    ASSERT_EQ(SetPolicy(BDC_SERIAL, DISABLE, 0).status, STATUS_SUCCESS);
    winsim::DeviceRequestResult atSwap;
    machine().OnDebugLine("[Hook] \\Driver\\Serenum MJ:4", [&] {
        winsim::DeviceRequest r;
        r.major = IRP_MJ_WRITE;
        r.input = {1};
        atSwap = machine().SendRequest(u"Serenum", r);
    });
    ASSERT_EQ(SetHook(BDC_SERIAL, 1).status, STATUS_SUCCESS);
    EXPECT_TRUE(atSwap.completed);
    EXPECT_EQ(atSwap.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(machine().TargetRequests(u"Serenum").total, 0u);
}

// ------------------------------------------------------------------ removal drains

TEST_F(HooksTest, RemovalWaitsForARequestInsideTheTargetAndFinishesOnceItLeaves) {
    ASSERT_EQ(machine().LoadTargetDriver(u"Serenum"), STATUS_SUCCESS);
    ASSERT_EQ(SetHook(BDC_SERIAL, 1).status, STATUS_SUCCESS);
    winsim::TargetBehavior hold;
    hold.action = winsim::TargetAction::HoldAtGate;
    hold.information = 3;
    machine().SetTargetBehavior(u"Serenum", IRP_MJ_WRITE, hold);

    winsim::DeviceRequestResult written;
    std::thread writer([&] {
        winsim::DeviceRequest r;
        r.major = IRP_MJ_WRITE;
        r.input = {1, 2, 3};
        written = machine().SendRequest(u"Serenum", r);
    });
    ASSERT_TRUE(machine().WaitTargetHeld(u"Serenum", 1));

    std::atomic<bool> removed{false};
    const uint64_t before = machine().TickCount();
    std::thread remover([&] {
        SetHook(BDC_SERIAL, 0);
        removed = true;
    });
    const std::string waiting = "kx4grd:EtcIrpHookCleanup: Waiting for active IRPs... Count: 1\n";
    ASSERT_TRUE(WaitForDebug(waiting, 3));
    EXPECT_FALSE(removed.load());
    // The slot is already back: new callers go straight to the target.
    EXPECT_EQ(SlotOf(u"Serenum", IRP_MJ_WRITE), winsim::Machine::TargetDispatchRoutine());
    // Each round sleeps 50 ms on the machine's clock.
    EXPECT_GE((machine().TickCount() - before) * winsim::Machine::kTimeIncrement, 2u * 500000u);

    machine().OpenTargetGate(u"Serenum");
    writer.join();
    remover.join();
    EXPECT_TRUE(removed.load());
    EXPECT_TRUE(written.completed);
    EXPECT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(written.information, 3u);
    EXPECT_TRUE(machine().DebugContains("kx4grd:EtcIrpHookCleanup: Complete.\n"));
    ExpectAllOriginal();
}

TEST_F(HooksTest, BluetoothWaitingLineNamesTheRecord) {
    ASSERT_EQ(machine().LoadTargetDriver(u"BTWUSB"), STATUS_SUCCESS);
    ASSERT_EQ(SetHook(BDC_BLUETOOTH, 1).status, STATUS_SUCCESS);
    winsim::TargetBehavior hold;
    hold.action = winsim::TargetAction::HoldAtGate;
    machine().SetTargetBehavior(u"BTWUSB", hold);
    std::thread caller([&] {
        winsim::DeviceRequest r;
        r.ioControlCode = 0x00410000;
        machine().SendRequest(u"BTWUSB", r);
    });
    ASSERT_TRUE(machine().WaitTargetHeld(u"BTWUSB", 1));
    std::thread remover([&] { SetHook(BDC_BLUETOOTH, 0); });
    EXPECT_TRUE(WaitForDebug("kx4grd:BlueToothIrpHookCleanup: (2), Waiting for active IRPs... Count: 1\n", 2));
    machine().OpenTargetGate(u"BTWUSB");
    caller.join();
    remover.join();
    ExpectAllOriginal();
}

// A caller that fetched our routine from the table before the restore and calls it
// after the record was cleared.
TEST_F(HooksTest, ACallerHoldingOurRoutineAfterRemovalIsPassedToTheOriginal) {
    ASSERT_EQ(machine().LoadTargetDriver(u"Parport"), STATUS_SUCCESS);
    ASSERT_EQ(SetHook(BDC_PARALLEL, 1).status, STATUS_SUCCESS);
    PDRIVER_OBJECT d = machine().TargetDriverObject(u"Parport");
    const PDRIVER_DISPATCH fetched = d->MajorFunction[IRP_MJ_WRITE];
    ASSERT_NE(fetched, winsim::Machine::TargetDispatchRoutine());
    StartFiltering();
    ASSERT_EQ(SetPolicy(BDC_PARALLEL, DISABLE, 0).status, STATUS_SUCCESS);
    ASSERT_EQ(SetHook(BDC_PARALLEL, 0).status, STATUS_SUCCESS);
    ASSERT_EQ(d->MajorFunction[IRP_MJ_WRITE], winsim::Machine::TargetDispatchRoutine());

    // Put the stale routine where that caller's call lands.
    d->MajorFunction[IRP_MJ_WRITE] = fetched;
    winsim::TargetBehavior b;
    b.information = 5;
    machine().SetTargetBehavior(u"Parport", b);
    winsim::DeviceRequest r;
    r.major = IRP_MJ_WRITE;
    r.input = {9, 9, 9, 9, 9};
    winsim::DeviceRequestResult result = machine().SendRequest(u"Parport", r);
    d->MajorFunction[IRP_MJ_WRITE] = winsim::Machine::TargetDispatchRoutine();

    EXPECT_TRUE(result.completed);
    EXPECT_EQ(result.status, STATUS_SUCCESS);  // not refused: the family is gone
    EXPECT_EQ(result.information, 5u);
    EXPECT_EQ(machine().TargetRequests(u"Parport").byMajor[IRP_MJ_WRITE], 1u);
    ExpectAllOriginal();
}

// A request whose current stack location names no major function of the table
// (a caller's own mistake) is completed, never used as an index.
TEST_F(HooksTest, ARequestWithAMajorFunctionBeyondTheTableIsCompletedAsInvalid) {
    ASSERT_EQ(machine().LoadTargetDriver(u"WudfRd"), STATUS_SUCCESS);
    ASSERT_EQ(SetHook(BDC_MTP, 1).status, STATUS_SUCCESS);
    PDEVICE_OBJECT device = machine().TargetDevice(u"WudfRd");
    const PDRIVER_DISPATCH ours = SlotOf(u"WudfRd", IRP_MJ_DEVICE_CONTROL);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x00228340, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    // What IofCallDriver does, with the slot already read: the caller's routine.
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->DeviceObject = device;
    stack->MajorFunction = IRP_MJ_MAXIMUM_FUNCTION + 1;
    EXPECT_EQ(ours(device, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(machine().TargetRequests(u"WudfRd").total, 0u);
    ASSERT_EQ(SetHook(BDC_MTP, 0).status, STATUS_SUCCESS);
}

// ------------------------------------------------------------------ another driver on the same slot

PDRIVER_DISPATCH g_foreignSaved = nullptr;
std::atomic<int> g_foreignCalls{0};
NTSTATUS ForeignHook(PDEVICE_OBJECT device, PIRP irp) {
    g_foreignCalls++;
    return g_foreignSaved(device, irp);
}

TEST_F(HooksTest, ASlotAnotherDriverTookOverAfterUsIsLeftToItAndRequestsStillReachTheTarget) {
    ASSERT_EQ(machine().LoadTargetDriver(u"ohci1394"), STATUS_SUCCESS);
    ASSERT_EQ(SetHook(BDC_1394, 1).status, STATUS_SUCCESS);
    PDRIVER_OBJECT d = machine().TargetDriverObject(u"ohci1394");
    const PDRIVER_DISPATCH ours = d->MajorFunction[IRP_MJ_DEVICE_CONTROL];
    // Another driver interposes after us: it saves our routine and replaces it.
    g_foreignSaved = ours;
    g_foreignCalls = 0;
    d->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ForeignHook;

    machine().ClearDebugOutput();
    ASSERT_EQ(SetHook(BDC_1394, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(d->MajorFunction[IRP_MJ_DEVICE_CONTROL], ForeignHook);
    EXPECT_TRUE(machine().DebugContains("kx4grd:EtcIrpHookCleanup: \\Driver\\ohci1394 MJ:14 now "));
    EXPECT_EQ(machine().ObjectReferencesHeld(d), 0);

    // Through the other driver and our routine, requests reach the target unrefused.
    StartFiltering();
    ASSERT_EQ(SetPolicy(BDC_1394, DISABLE, 0).status, STATUS_SUCCESS);
    winsim::DeviceRequest r;
    r.ioControlCode = 0x00220004;
    winsim::DeviceRequestResult result = machine().SendRequest(u"ohci1394", r);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(g_foreignCalls.load(), 1);

    // The other driver leaves, putting back what it saved: our routine, with our
    // record unhooked. Installing again keeps routing to the target's routine
    // (never to ourselves), and refuses again under DISABLE.
    d->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ours;
    machine().ClearDebugOutput();
    ASSERT_EQ(SetHook(BDC_1394, 1).status, STATUS_SUCCESS);
    EXPECT_FALSE(machine().DebugContains("[Hook] \\Driver\\ohci1394"));
    EXPECT_EQ(d->MajorFunction[IRP_MJ_DEVICE_CONTROL], ours);
    result = machine().SendRequest(u"ohci1394", r);
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
    ASSERT_EQ(SetPolicy(BDC_1394, ENABLE, 0).status, STATUS_SUCCESS);
    const unsigned reached = machine().TargetRequests(u"ohci1394").total;
    result = machine().SendRequest(u"ohci1394", r);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(machine().TargetRequests(u"ohci1394").total, reached + 1);

    ASSERT_EQ(SetHook(BDC_1394, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(d->MajorFunction[IRP_MJ_DEVICE_CONTROL], winsim::Machine::TargetDispatchRoutine());
    ExpectAllOriginal();
}

// ------------------------------------------------------------------ targets and unload

TEST_F(HooksTest, ATargetThatUnloadsWhileHookedKeepsItsObjectUntilRemoval) {
    ASSERT_EQ(machine().LoadTargetDriver(u"Parport"), STATUS_SUCCESS);
    ASSERT_EQ(SetHook(BDC_PARALLEL, 1).status, STATUS_SUCCESS);
    PDRIVER_OBJECT old = machine().TargetDriverObject(u"Parport");
    ASSERT_EQ(machine().ObjectReferencesHeld(old), 1);
    ASSERT_EQ(machine().UnloadTargetDriver(u"Parport"), STATUS_SUCCESS);
    EXPECT_FALSE(machine().IsTargetLoaded(u"Parport"));

    // Removal restores the slot in the still-referenced object, then lets it go.
    ASSERT_EQ(SetHook(BDC_PARALLEL, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(old->MajorFunction[IRP_MJ_WRITE], winsim::Machine::TargetDispatchRoutine());
    EXPECT_EQ(machine().ObjectReferencesHeld(old), 0);

    // A new load of the target is a new object, hooked by the next install.
    ASSERT_EQ(machine().LoadTargetDriver(u"Parport"), STATUS_SUCCESS);
    ASSERT_EQ(SetHook(BDC_PARALLEL, 1).status, STATUS_SUCCESS);
    EXPECT_NE(SlotOf(u"Parport", IRP_MJ_WRITE), winsim::Machine::TargetDispatchRoutine());
    ASSERT_EQ(SetHook(BDC_PARALLEL, 0).status, STATUS_SUCCESS);
    ExpectAllOriginal();
}

TEST_F(HooksTest, UnloadRemovesEveryFamilyInOrderAndRestoresEverySlot) {
    LoadAllTargets();
    for (uint32_t type : {BDC_USB, BDC_BLUETOOTH, BDC_MTP, BDC_MODEM}) ASSERT_EQ(SetHook(type, 1).status, STATUS_SUCCESS);
    // Both protections on, so their teardown shows in the trace before the hooks'.
    for (uint64_t command : {SET_PROCESS_PROTECT, SET_REG_PROTECT}) {
        kxtest::RawMessage m(command);
        m.State(1);
        ASSERT_EQ(Send(m).status, STATUS_SUCCESS);
    }
    SetDebugLevel(0x3);
    machine().ClearDebugOutput();
    Unload();
    ExpectAllOriginal();
    const long processProtect = DebugIndex("kx4grd:UnInstallProcessProtect: Sucess");
    const long registryProtect = DebugIndex("CmUnRegisterCallback succeeded");
    ASSERT_GE(processProtect, 0);
    ASSERT_GE(registryProtect, 0);
    const long usb = DebugIndex("USBIrpHookCleanup: Started...");
    const long bt = DebugIndex("BlueToothIrpHookCleanup: Started...");
    const long mtp = DebugIndex("MtpIrpHookCleanup: Started...");
    const long etc = DebugIndex("EtcIrpHookCleanup: Started...");
    ASSERT_GE(usb, 0);
    EXPECT_LT(processProtect, usb);
    EXPECT_LT(registryProtect, usb);
    EXPECT_LT(usb, bt);
    EXPECT_LT(bt, mtp);
    EXPECT_LT(mtp, etc);
    for (const char* routine : {"USBIrpHookCleanup", "BlueToothIrpHookCleanup", "MtpIrpHookCleanup",
                                "EtcIrpHookCleanup"}) {
        EXPECT_TRUE(machine().DebugContains(std::string("kx4grd:") + routine + ": Complete.\n")) << routine;
    }
    for (const TargetSpec& t : kTargets) EXPECT_FALSE(KxHookFamilyActive(t.family));
}

// A SET_HOOK installing when unload begins: unload waits for it and then removes
// what it installed.
TEST_F(HooksTest, UnloadDuringAnInstallWaitsForItAndRemovesWhatItHooked) {
    LoadAllTargets();
    std::thread unloader;
    std::atomic<bool> unloaded{false};
    machine().OnDebugLine("EtcIrpHookInit: Target driver(\\Driver\\Serenum)", [&] {
        unloader = std::thread([&] {
            machine().UnloadDriver(kxtest::kServiceName);
            unloaded = true;
        });
        // Give the unload time to reach the hooks; it must not get past them.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(unloaded.load());
    });
    SetHook(BDC_SERIAL, 1);
    unloader.join();
    loaded_ = false;
    connection_ = nullptr;
    EXPECT_TRUE(unloaded.load());
    EXPECT_TRUE(machine().DebugContains("kx4grd:EtcIrpHookCleanup: Unhooking Driver Index: 4\n"));
    ExpectAllOriginal();
}

// Once unload has begun, a SET_HOOK still arriving changes nothing.
TEST_F(HooksTest, SetHookAfterUnloadHasBegunHooksNothing) {
    LoadAllTargets();
    KxHooksBeginUnload();
    machine().ClearDebugOutput();
    for (uint32_t type : {BDC_USB, BDC_BLUETOOTH, BDC_MTP, BDC_SERIAL}) ASSERT_EQ(SetHook(type, 1).status, STATUS_SUCCESS);
    EXPECT_FALSE(machine().DebugContains("Target driver("));
    EXPECT_EQ(machine().DebugCount("unloading, device type"), 4u);
    ExpectAllOriginal();
    for (const TargetSpec& t : kTargets) EXPECT_FALSE(KxHookFamilyActive(t.family));
}

}  // namespace
