// The other drivers a driver interposes on: finding them by name, the references
// the verifier balances, the major-function slot read at every call, what reached
// them (pass-through fidelity), their ways of handling a request (at once, pended
// and completed from another thread, held at a gate, pending until cancelled),
// their unload, and OBEX packets on a connection.
#include "tests/winsim/io_hook_probe.h"

using hookprobe::g_hookCalls;
using hookprobe::g_mapped;
using hookprobe::g_mapTried;
using hookprobe::g_mode;
using hookprobe::HookMode;
using winsim::DeviceRequest;
using winsim::DeviceRequestResult;
using winsim::TargetAction;
using winsim::TargetBehavior;

namespace {

class TargetsTest : public hookprobe::ProbeTest {};

UNICODE_STRING Name(const char16_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, reinterpret_cast<PCWSTR>(text));
    return s;
}

// ---------------------------------------------------------------- lookup and references
TEST_F(TargetsTest, EveryTargetIsFoundByNameIgnoringCaseAndComesBackReferenced) {
    const char16_t* targets[] = {u"BTKRNL", u"RFCOMM",  u"BTWUSB", u"BTHUSB",  u"ohci1394", u"Serenum",
                                 u"Parport", u"irda",   u"modem",  u"WudfRd",  u"usbhub",   u"usbhub3"};
    for (const char16_t* t : targets) ASSERT_EQ(M().LoadTargetDriver(t), STATUS_SUCCESS);
    for (const char16_t* t : targets) {
        std::u16string lower = u"\\driver\\" + std::u16string(t);
        std::transform(lower.begin(), lower.end(), lower.begin(), [](char16_t c) {
            return c < 128 ? static_cast<char16_t>(std::tolower(static_cast<int>(c))) : c;
        });
        UNICODE_STRING name = Name(lower.c_str());
        PVOID object = nullptr;
        ASSERT_EQ(ObReferenceObjectByName(&name, OBJ_CASE_INSENSITIVE, nullptr, 0, *IoDriverObjectType, KernelMode,
                                          nullptr, &object),
                  STATUS_SUCCESS);
        EXPECT_EQ(object, M().TargetDriverObject(t));
        EXPECT_EQ(M().ObjectReferencesHeld(object), 1);
        ObfDereferenceObject(object);
        EXPECT_EQ(M().ObjectReferencesHeld(object), 0);
    }
    UnloadProbe();
    ExpectClean();
}

TEST_F(TargetsTest, LookupMissesWithoutCaseInsensitivityWrongTypeOrAbsentDriver) {
    ASSERT_EQ(M().LoadTargetDriver(u"BTKRNL"), STATUS_SUCCESS);
    PVOID object = reinterpret_cast<PVOID>(1);
    UNICODE_STRING lower = Name(u"\\Driver\\btkrnl");
    EXPECT_EQ(ObReferenceObjectByName(&lower, 0, nullptr, 0, *IoDriverObjectType, KernelMode, nullptr, &object),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(object, nullptr);
    UNICODE_STRING exact = Name(u"\\Driver\\BTKRNL");
    EXPECT_EQ(ObReferenceObjectByName(&exact, 0, nullptr, 0, *PsProcessType, KernelMode, nullptr, &object),
              STATUS_OBJECT_TYPE_MISMATCH);
    UNICODE_STRING absent = Name(u"\\Driver\\BTHUSB");
    EXPECT_EQ(ObReferenceObjectByName(&absent, OBJ_CASE_INSENSITIVE, nullptr, 0, *IoDriverObjectType, KernelMode,
                                      nullptr, &object),
              STATUS_OBJECT_NAME_NOT_FOUND);
    // Unloaded: the name is gone.
    ASSERT_EQ(M().UnloadTargetDriver(u"BTKRNL"), STATUS_SUCCESS);
    EXPECT_EQ(ObReferenceObjectByName(&exact, OBJ_CASE_INSENSITIVE, nullptr, 0, *IoDriverObjectType, KernelMode,
                                      nullptr, &object),
              STATUS_OBJECT_NAME_NOT_FOUND);
    UnloadProbe();
    ExpectClean();
}

TEST_F(TargetsTest, AReferenceLeftAtUnloadIsReportedNamingTheDriverObject) {
    ASSERT_EQ(M().LoadTargetDriver(u"Parport"), STATUS_SUCCESS);
    UNICODE_STRING name = Name(u"\\Driver\\Parport");
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByName(&name, OBJ_CASE_INSENSITIVE, nullptr, 0, *IoDriverObjectType, KernelMode,
                                      nullptr, &object),
              STATUS_SUCCESS);
    UnloadProbe();
    EXPECT_EQ(ViolationsWith("driver object \\Driver\\Parport"), 1u) << M().Verifier().ToString();
}

TEST_F(TargetsTest, ATargetUnloadedWhileReferencedStaysValidUntilTheLastReferenceGoes) {
    ASSERT_EQ(M().LoadTargetDriver(u"modem"), STATUS_SUCCESS);
    UNICODE_STRING name = Name(u"\\Driver\\modem");
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByName(&name, OBJ_CASE_INSENSITIVE, nullptr, 0, *IoDriverObjectType, KernelMode,
                                      nullptr, &object),
              STATUS_SUCCESS);
    ASSERT_EQ(M().UnloadTargetDriver(u"modem"), STATUS_SUCCESS);
    EXPECT_FALSE(M().IsTargetLoaded(u"modem"));
    // A remover that still holds the object restores its slot: the memory is still there.
    auto* driver = static_cast<PDRIVER_OBJECT>(object);
    PDRIVER_DISPATCH old = driver->MajorFunction[IRP_MJ_WRITE];
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&driver->MajorFunction[IRP_MJ_WRITE]),
                               reinterpret_cast<PVOID>(old));
    EXPECT_EQ(old, winsim::Machine::TargetDispatchRoutine());
    EXPECT_EQ(M().ObjectReferencesHeld(object), 1);
    ObfDereferenceObject(object);
    UnloadProbe();
    ExpectClean();
}

// ---------------------------------------------------------------- the slot, read at call time
TEST_F(TargetsTest, TheSlotIsReadAtEveryCallAndWhatReachesTheTargetIsKept) {
    ASSERT_EQ(M().LoadTargetDriver(u"BTWUSB"), STATUS_SUCCESS);
    PEPROCESS process = M().StartProcess({u"\\Device\\HarddiskVolume2\\bt.exe"});
    PFILE_OBJECT file = M().ConnectionFileObject(3);
    DeviceRequest r;
    r.ioControlCode = CTL_CODE(0x41, 0x12, METHOD_BUFFERED, FILE_ANY_ACCESS);
    r.input = {1, 2, 3, 4, 5};
    r.outputLength = 16;
    r.fileObject = file;
    r.userMode = true;
    r.process = process;
    TargetBehavior answer;
    answer.information = 3;
    answer.output = {0xAA, 0xBB, 0xCC};
    M().SetTargetBehavior(u"BTWUSB", answer);

    DeviceRequestResult plain = M().SendRequest(u"BTWUSB", r);
    EXPECT_EQ(g_hookCalls, 0);
    Interpose(u"BTWUSB", IRP_MJ_DEVICE_CONTROL);
    DeviceRequestResult hooked = M().SendRequest(u"BTWUSB", r);
    EXPECT_EQ(g_hookCalls, 1);
    Restore(u"BTWUSB", IRP_MJ_DEVICE_CONTROL);
    M().SendRequest(u"BTWUSB", r);
    EXPECT_EQ(g_hookCalls, 1);

    for (const DeviceRequestResult* result : {&plain, &hooked}) {
        EXPECT_TRUE(result->completed);
        EXPECT_EQ(result->returned, STATUS_SUCCESS);
        EXPECT_EQ(result->status, STATUS_SUCCESS);
        EXPECT_EQ(result->information, 3u);
        EXPECT_EQ(result->output, (std::vector<uint8_t>{0xAA, 0xBB, 0xCC}));
    }
    winsim::TargetStats stats = M().TargetRequests(u"BTWUSB");
    EXPECT_EQ(stats.total, 3u);
    EXPECT_EQ(stats.completed, 3u);
    EXPECT_EQ(stats.byMajor[IRP_MJ_DEVICE_CONTROL], 3u);
    EXPECT_EQ(stats.last.ioControlCode, r.ioControlCode);
    EXPECT_EQ(stats.last.inputLength, 5u);
    EXPECT_EQ(stats.last.outputLength, 16u);
    EXPECT_EQ(stats.last.systemBufferBytes, r.input);
    EXPECT_EQ(stats.last.fileObject, file);
    EXPECT_EQ(stats.last.requestorMode, UserMode);
    EXPECT_EQ(stats.last.processId, M().ProcessId(process));
    EXPECT_EQ(stats.last.device, M().TargetDevice(u"BTWUSB"));
    UnloadProbe();
    ExpectClean();
}

TEST_F(TargetsTest, WritesNeitherRequestsAndEmptySlotsArriveAsSent) {
    winsim::TargetDriverOptions options;
    options.emptySlots = {IRP_MJ_READ};
    ASSERT_EQ(M().LoadTargetDriver(u"Serenum", options), STATUS_SUCCESS);
    EXPECT_EQ(M().TargetDriverObject(u"Serenum")->MajorFunction[IRP_MJ_READ], nullptr);

    DeviceRequest write;
    write.major = IRP_MJ_WRITE;
    write.input = {'A', 'T', 'Z'};
    write.irql = DISPATCH_LEVEL;
    EXPECT_EQ(M().SendRequest(u"Serenum", write).status, STATUS_SUCCESS);
    winsim::TargetStats stats = M().TargetRequests(u"Serenum");
    EXPECT_EQ(stats.last.major, IRP_MJ_WRITE);
    EXPECT_EQ(stats.last.length, 3u);
    EXPECT_EQ(stats.last.systemBufferBytes, write.input);
    EXPECT_EQ(stats.last.irql, DISPATCH_LEVEL);

    DeviceRequest neither;
    neither.ioControlCode = CTL_CODE(0x22, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS);
    neither.input = std::vector<uint8_t>(49, 0);
    neither.input[48] = 0xDD;
    M().SendRequest(u"Serenum", neither);
    stats = M().TargetRequests(u"Serenum");
    ASSERT_NE(stats.last.type3InputBuffer, nullptr);
    EXPECT_EQ(stats.last.systemBuffer, nullptr);
    EXPECT_EQ(stats.last.inputLength, 49u);

    DeviceRequest raw = neither;
    raw.type3InputBuffer = M().InvalidBuffer(64);
    M().SendRequest(u"Serenum", raw);
    EXPECT_EQ(M().TargetRequests(u"Serenum").last.type3InputBuffer, *raw.type3InputBuffer);

    DeviceRequest read;
    read.major = IRP_MJ_READ;
    read.outputLength = 8;
    DeviceRequestResult result = M().SendRequest(u"Serenum", read);
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);  // nobody serves the empty slot
    UnloadProbe();
    ExpectClean();
}

TEST_F(TargetsTest, ACallerPausedWithTheOldRoutineInHandStillCallsItAfterTheSlotChanges) {
    ASSERT_EQ(M().LoadTargetDriver(u"BTKRNL"), STATUS_SUCCESS);
    Interpose(u"BTKRNL", IRP_MJ_DEVICE_CONTROL);
    bool paused = false;
    M().OnSlotRead(u"BTKRNL", IRP_MJ_DEVICE_CONTROL, [&] {
        paused = true;
        Restore(u"BTKRNL", IRP_MJ_DEVICE_CONTROL);  // the slot is restored meanwhile
    });
    EXPECT_EQ(M().SendRequest(u"BTKRNL", DeviceRequest{}).status, STATUS_SUCCESS);
    EXPECT_TRUE(paused);
    EXPECT_EQ(g_hookCalls, 1);  // read before the restore, called after it
    M().SendRequest(u"BTKRNL", DeviceRequest{});
    EXPECT_EQ(g_hookCalls, 1);
    EXPECT_EQ(M().TargetRequests(u"BTKRNL").total, 2u);
    UnloadProbe();
    ExpectClean();
}

// ---------------------------------------------------------------- pending, gates, cancel
TEST_F(TargetsTest, APendedRequestIsCompletedFromAnotherThreadAtDispatchLevel) {
    ASSERT_EQ(M().LoadTargetDriver(u"ohci1394"), STATUS_SUCCESS);
    TargetBehavior pend;
    pend.action = TargetAction::Pend;
    pend.status = STATUS_IO_DEVICE_ERROR;
    pend.pendMs = 20;
    M().SetTargetBehavior(u"ohci1394", IRP_MJ_DEVICE_CONTROL, pend);
    Interpose(u"ohci1394", IRP_MJ_DEVICE_CONTROL);
    DeviceRequest r;
    r.ioControlCode = 0x00220000;
    DeviceRequestResult result = M().SendRequest(u"ohci1394", r);
    EXPECT_EQ(result.returned, STATUS_PENDING);
    ASSERT_TRUE(result.completed);
    EXPECT_EQ(result.status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(g_hookCalls, 1);
    EXPECT_EQ(M().PendingRequests(), 0u);
    Restore(u"ohci1394", IRP_MJ_DEVICE_CONTROL);
    UnloadProbe();
    ExpectClean();
}

TEST_F(TargetsTest, ARequestHeldAtTheGateWaitsInsideTheTargetUntilTheGateOpens) {
    ASSERT_EQ(M().LoadTargetDriver(u"BTHUSB"), STATUS_SUCCESS);
    TargetBehavior hold;
    hold.action = TargetAction::HoldAtGate;
    hold.information = 7;
    M().SetTargetBehavior(u"BTHUSB", hold);
    DeviceRequestResult result;
    std::thread caller([&] { result = M().SendRequest(u"BTHUSB", DeviceRequest{}); });
    ASSERT_TRUE(M().WaitTargetHeld(u"BTHUSB", 1));
    EXPECT_EQ(M().TargetRequests(u"BTHUSB").held, 1u);
    EXPECT_FALSE(result.completed);
    M().OpenTargetGate(u"BTHUSB");
    caller.join();
    EXPECT_TRUE(result.completed);
    EXPECT_EQ(result.returned, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 7u);
    EXPECT_EQ(M().TargetRequests(u"BTHUSB").held, 0u);
    UnloadProbe();
    ExpectClean();
}

TEST_F(TargetsTest, ARequestPendedAtTheGateIsReportedOutstandingUntilTheGateOpens) {
    ASSERT_EQ(M().LoadTargetDriver(u"WudfRd"), STATUS_SUCCESS);
    TargetBehavior gate;
    gate.action = TargetAction::PendAtGate;
    gate.status = STATUS_SUCCESS;
    M().SetTargetBehavior(u"WudfRd", gate);
    DeviceRequest r;
    r.waitMs = 30;
    DeviceRequestResult first = M().SendRequest(u"WudfRd", r);
    EXPECT_EQ(first.returned, STATUS_PENDING);
    EXPECT_FALSE(first.completed);
    EXPECT_EQ(M().PendingRequests(), 1u);
    EXPECT_EQ(ViolationsWith("outstanding: never completed (returned STATUS_PENDING)"), 1u)
        << M().Verifier().ToString();
    M().OpenTargetGate(u"WudfRd");
    r.waitMs = 10000;
    DeviceRequestResult second = M().SendRequest(u"WudfRd", r);  // passes the open gate
    EXPECT_TRUE(second.completed);
    EXPECT_EQ(M().OutstandingRequests().size(), 0u);
    EXPECT_EQ(M().TargetRequests(u"WudfRd").completed, 2u);
    UnloadProbe();
    ExpectClean();
}

TEST_F(TargetsTest, ARequestPendingForeverIsCompletedByIoCancelIrpOnly) {
    ASSERT_EQ(M().LoadTargetDriver(u"irda"), STATUS_SUCCESS);
    TargetBehavior never;
    never.action = TargetAction::PendForever;
    M().SetTargetBehavior(u"irda", never);
    DeviceRequest r;
    r.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    r.waitMs = 30;
    DeviceRequestResult result = M().SendRequest(u"irda", r);
    EXPECT_EQ(result.returned, STATUS_PENDING);
    ASSERT_FALSE(result.completed);
    ASSERT_NE(result.irp, nullptr);
    EXPECT_EQ(M().TargetRequests(u"irda").completed, 0u);
    EXPECT_TRUE(IoCancelIrp(result.irp));
    EXPECT_EQ(M().TargetRequests(u"irda").completed, 1u);
    EXPECT_TRUE(M().OutstandingRequests().empty());
    UnloadProbe();
    ExpectClean();
}

TEST_F(TargetsTest, UnloadingATargetCompletesWhatItStillHolds) {
    ASSERT_EQ(M().LoadTargetDriver(u"Parport"), STATUS_SUCCESS);
    TargetBehavior hold;
    hold.action = TargetAction::HoldAtGate;
    M().SetTargetBehavior(u"Parport", IRP_MJ_WRITE, hold);
    TargetBehavior gate;
    gate.action = TargetAction::PendAtGate;
    M().SetTargetBehavior(u"Parport", IRP_MJ_DEVICE_CONTROL, gate);
    DeviceRequest write;
    write.major = IRP_MJ_WRITE;
    write.input = {1};
    DeviceRequestResult held;
    std::thread caller([&] { held = M().SendRequest(u"Parport", write); });
    ASSERT_TRUE(M().WaitTargetHeld(u"Parport", 1));
    DeviceRequest control;
    control.waitMs = 10;
    DeviceRequestResult pended = M().SendRequest(u"Parport", control);
    EXPECT_FALSE(pended.completed);
    ASSERT_EQ(M().UnloadTargetDriver(u"Parport"), STATUS_SUCCESS);
    caller.join();
    EXPECT_EQ(held.status, STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(M().OutstandingRequests().empty());
    EXPECT_EQ(M().TargetRequests(u"Parport").completed, 2u);
    UnloadProbe();
    ExpectClean();
}

// ---------------------------------------------------------------- completion faults
TEST_F(TargetsTest, ARequestCompletedByTheHookAndThenPassedOnIsReported) {
    ASSERT_EQ(M().LoadTargetDriver(u"modem"), STATUS_SUCCESS);
    Interpose(u"modem", IRP_MJ_WRITE);
    g_mode = HookMode::CompleteThenPassOn;
    DeviceRequest write;
    write.major = IRP_MJ_WRITE;
    write.input = {'x'};
    M().SendRequest(u"modem", write);
    EXPECT_EQ(ViolationsWith("already completed (completed twice?) or freed reached \\Driver\\modem"), 1u)
        << M().Verifier().ToString();
    EXPECT_EQ(M().TargetRequests(u"modem").total, 0u);
}

TEST_F(TargetsTest, ARequestReturnedPendingAndNeverCompletedIsReported) {
    ASSERT_EQ(M().LoadTargetDriver(u"modem"), STATUS_SUCCESS);
    Interpose(u"modem", IRP_MJ_WRITE);
    g_mode = HookMode::PendAndForget;
    DeviceRequest write;
    write.major = IRP_MJ_WRITE;
    write.input = {'x'};
    write.waitMs = 10;
    DeviceRequestResult result = M().SendRequest(u"modem", write);
    EXPECT_EQ(result.returned, STATUS_PENDING);
    EXPECT_FALSE(result.completed);
    EXPECT_EQ(ViolationsWith("never completed"), 1u) << M().Verifier().ToString();
}

TEST_F(TargetsTest, CompletingARequestWhoseCancelRoutineIsStillSetIsReported) {
    ASSERT_EQ(M().LoadTargetDriver(u"modem"), STATUS_SUCCESS);
    Interpose(u"modem", IRP_MJ_WRITE);
    g_mode = HookMode::CompleteWithCancelRoutine;
    DeviceRequest write;
    write.major = IRP_MJ_WRITE;
    M().SendRequest(u"modem", write);
    EXPECT_EQ(ViolationsWith("cancel routine is still set"), 1u) << M().Verifier().ToString();
}

// ---------------------------------------------------------------- OBEX traffic
TEST_F(TargetsTest, AnObexPacketArrivesInAnMdlOnItsConnectionsFileObject) {
    ASSERT_EQ(M().LoadTargetDriver(u"RFCOMM"), STATUS_SUCCESS);
    ASSERT_EQ(M().LoadTargetDriver(u"irda"), STATUS_SUCCESS);
    const std::vector<uint8_t> connect{0x80, 0x00, 0x07, 0x10, 0x00, 0x20, 0x00};
    for (auto transport : {winsim::ObexTransport::Rfcomm, winsim::ObexTransport::Irda}) {
        const char16_t* target = transport == winsim::ObexTransport::Rfcomm ? u"RFCOMM" : u"irda";
        Interpose(target, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        g_mapped = nullptr;
        DeviceRequestResult result = M().SendObexPacket(transport, 9, connect);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        winsim::TargetStats stats = M().TargetRequests(target);
        EXPECT_EQ(stats.last.major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(stats.last.minor, 0x07);  // TDI_SEND
        EXPECT_EQ(stats.last.ioControlCode, 0x0021001Fu);
        EXPECT_EQ(stats.last.inputLength, connect.size());
        EXPECT_EQ(stats.last.fileObject, M().ConnectionFileObject(9));
        EXPECT_EQ(stats.last.mdlBytes, connect);
        ASSERT_NE(g_mapped.load(), nullptr);
        EXPECT_EQ(hookprobe::g_mappedBytes, connect);
        Restore(target, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    }
    EXPECT_NE(M().ConnectionFileObject(9), M().ConnectionFileObject(10));
    UnloadProbe();
    ExpectClean();
}

TEST_F(TargetsTest, AnObexPacketWhoseMdlCannotBeMappedGivesNullWithoutABugCheck) {
    ASSERT_EQ(M().LoadTargetDriver(u"RFCOMM"), STATUS_SUCCESS);
    Interpose(u"RFCOMM", IRP_MJ_INTERNAL_DEVICE_CONTROL);
    winsim::ObexSendOptions options;
    options.mdlMapFails = true;
    g_mapped = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(M().SendObexPacket(winsim::ObexTransport::Rfcomm, 1, {0x02, 0x00, 0x03}, options).status,
              STATUS_SUCCESS);
    EXPECT_TRUE(g_mapTried);
    EXPECT_EQ(g_mapped.load(), nullptr);
    // Without an MDL or a file object the request still arrives, as sent.
    options = {};
    options.noMdl = true;
    options.noFileObject = true;
    M().SendObexPacket(winsim::ObexTransport::Rfcomm, 1, {0x81, 0x00, 0x03}, options);
    EXPECT_EQ(M().TargetRequests(u"RFCOMM").last.mdl, nullptr);
    EXPECT_EQ(M().TargetRequests(u"RFCOMM").last.fileObject, nullptr);
    Restore(u"RFCOMM", IRP_MJ_INTERNAL_DEVICE_CONTROL);
    UnloadProbe();
    ExpectClean();
}

}  // namespace
