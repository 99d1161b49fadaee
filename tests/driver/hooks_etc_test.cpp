// The 1394, serial, parallel and modem handlers and the MTP handler: refusals
// and their events under each policy, at raised IRQL, and the MTP command buffer
// (system buffer, caller's Type3InputBuffer valid and invalid).
#include <cstring>

#include "driver/hooks/etc_handlers.h"
#include "tests/driver/hooks_fixture.h"

using hooktest::HooksTest;
using hooktest::Narrow;

namespace {

struct EtcCase {
    const char16_t* target;
    UCHAR major;
    uint32_t type;
    NTSTATUS refusal;
    const char* handler;
    // The event text for the request SendOne sends.
    std::u16string text;
};

const EtcCase kEtcCases[] = {
    {u"ohci1394", IRP_MJ_DEVICE_CONTROL, BDC_1394, STATUS_INVALID_DEVICE_REQUEST, "Ohci139DeviceControl",
     u"1394 Blocked control(22c00c)"},
    {u"Serenum", IRP_MJ_WRITE, BDC_SERIAL, STATUS_UNSUCCESSFUL, "SerenumlWrite", u"Serial Blocked len(1b)"},
    {u"Parport", IRP_MJ_WRITE, BDC_PARALLEL, STATUS_UNSUCCESSFUL, "ParportWrite", u"Parport Blocked len(1b)"},
    {u"modem", IRP_MJ_WRITE, BDC_MODEM, STATUS_UNSUCCESSFUL, "ModemWrite", u"Modem Blocked len(1b)"},
};

constexpr NTSTATUS kTargetStatus = (NTSTATUS)0x40000321L;

class EtcHandlersTest : public HooksTest {
protected:
    void SetUp() override {
        HooksTest::SetUp();
        if (HasFatalFailure()) return;
        winsim::ProcessOptions o;
        o.imagePath = u"\\Device\\HarddiskVolume2\\Tools\\exfil.exe";
        caller_ = machine().StartProcess(o);
        for (const EtcCase& c : kEtcCases) ASSERT_EQ(machine().LoadTargetDriver(c.target), STATUS_SUCCESS);
        ASSERT_EQ(machine().LoadTargetDriver(u"WudfRd"), STATUS_SUCCESS);
        winsim::TargetBehavior b;
        b.status = kTargetStatus;
        for (const EtcCase& c : kEtcCases) machine().SetTargetBehavior(c.target, b);
        machine().SetTargetBehavior(u"WudfRd", b);
        ASSERT_EQ(SetHook(BDC_SERIAL, 1).status, STATUS_SUCCESS);
        ASSERT_EQ(SetHook(BDC_MTP, 1).status, STATUS_SUCCESS);
        StartFiltering();
    }

    winsim::DeviceRequestResult SendOne(const EtcCase& c, KIRQL irql = PASSIVE_LEVEL, UCHAR major = 0) {
        winsim::DeviceRequest r;
        r.major = major != 0 ? major : c.major;
        r.ioControlCode = 0x0022C00C;
        r.input = std::vector<uint8_t>(27, 0x41);
        r.outputLength = 0;
        r.process = caller_;
        r.userMode = true;
        r.irql = irql;
        return machine().SendRequest(c.target, r);
    }

    winsim::DeviceRequestResult SendMtp(ULONG code, std::vector<uint8_t> input, bool fileObject = true,
                                        KIRQL irql = PASSIVE_LEVEL) {
        winsim::DeviceRequest r;
        r.ioControlCode = code;
        r.input = std::move(input);
        r.fileObject = fileObject ? machine().ConnectionFileObject(7) : nullptr;
        r.process = caller_;
        r.userMode = true;
        r.irql = irql;
        return machine().SendRequest(u"WudfRd", r);
    }

    // Events of the duplicate window's class are admitted once per two seconds.
    std::vector<EVENT_RECORD> FreshEvents() {
        std::vector<EVENT_RECORD> e = Events();
        machine().AdvanceClock(3000);
        return e;
    }

    static std::vector<uint8_t> Command(size_t length, uint8_t op) {
        std::vector<uint8_t> b(length, 0);
        for (size_t i = 0; i < length; ++i) b[i] = static_cast<uint8_t>(i);
        if (length > 48) b[48] = op;
        return b;
    }

    PEPROCESS caller_ = nullptr;
};

// ------------------------------------------------------------------ Etc family

TEST_F(EtcHandlersTest, DisableRefusesEveryInterposedRequestWithItsStatusAndRecordsWhenLogging) {
    for (const EtcCase& c : kEtcCases) {
        SCOPED_TRACE(c.handler);
        ASSERT_EQ(SetPolicy(c.type, DISABLE, 1).status, STATUS_SUCCESS);
        machine().ClearDebugOutput();
        const unsigned reached = machine().TargetRequests(c.target).total;
        winsim::DeviceRequestResult r = SendOne(c);
        EXPECT_TRUE(r.completed);
        EXPECT_EQ(r.returned, c.refusal);
        EXPECT_EQ(r.status, c.refusal);
        EXPECT_EQ(r.information, 0u);
        EXPECT_EQ(machine().TargetRequests(c.target).total, reached);
        EXPECT_EQ(machine().DebugCount(std::string("kx4grd:") + c.handler + ": block!!!"), 1u);
        std::vector<EVENT_RECORD> events = FreshEvents();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].code, (ULONG)POLICY);
        EXPECT_EQ(events[0].a0, c.type);
        EXPECT_EQ(events[0].a1, (ULONG)DISABLE);
        EXPECT_EQ(kxtest::Text(events[0].name), u"exfil.exe");
        EXPECT_EQ(kxtest::Text(events[0].path), c.text);

        // Logging off: still refused, nothing recorded.
        ASSERT_EQ(SetPolicy(c.type, DISABLE, 0).status, STATUS_SUCCESS);
        r = SendOne(c);
        EXPECT_EQ(r.status, c.refusal);
        EXPECT_TRUE(FreshEvents().empty());
        EXPECT_EQ(machine().TargetRequests(c.target).total, reached);

        // Only DISABLE refuses.
        for (uint32_t state : {(uint32_t)READONLY, (uint32_t)ENABLE}) {
            ASSERT_EQ(SetPolicy(c.type, state, 1).status, STATUS_SUCCESS);
            r = SendOne(c);
            EXPECT_EQ(r.status, kTargetStatus) << state;
        }
        EXPECT_TRUE(FreshEvents().empty());
        EXPECT_EQ(machine().TargetRequests(c.target).total, reached + 2);
    }
}

TEST_F(EtcHandlersTest, OnlyTheInterposedMajorFunctionIsRefused) {
    for (const EtcCase& c : kEtcCases) ASSERT_EQ(SetPolicy(c.type, DISABLE, 1).status, STATUS_SUCCESS);
    // A serial read and device control, a 1394 write: not interposed, they pass.
    EXPECT_EQ(SendOne(kEtcCases[1], PASSIVE_LEVEL, IRP_MJ_READ).status, kTargetStatus);
    EXPECT_EQ(SendOne(kEtcCases[1], PASSIVE_LEVEL, IRP_MJ_DEVICE_CONTROL).status, kTargetStatus);
    EXPECT_EQ(SendOne(kEtcCases[0], PASSIVE_LEVEL, IRP_MJ_WRITE).status, kTargetStatus);
    EXPECT_TRUE(FreshEvents().empty());
}

TEST_F(EtcHandlersTest, AtDispatchLevelTheRefusalStandsButNothingIsRecorded) {
    for (const EtcCase& c : kEtcCases) {
        SCOPED_TRACE(c.handler);
        ASSERT_EQ(SetPolicy(c.type, DISABLE, 1).status, STATUS_SUCCESS);
        winsim::DeviceRequestResult r = SendOne(c, DISPATCH_LEVEL);
        EXPECT_EQ(r.status, c.refusal);
        EXPECT_TRUE(FreshEvents().empty());
    }
    // No passive-only call and no wide formatting happened at DISPATCH_LEVEL.
    winsim::VerifierReport report = machine().Verifier();
    EXPECT_TRUE(report.Clean()) << report.ToString();
}

TEST_F(EtcHandlersTest, NothingIsRefusedWhileStoppedOrWithTheFamilyRemoved) {
    for (const EtcCase& c : kEtcCases) ASSERT_EQ(SetPolicy(c.type, DISABLE, 1).status, STATUS_SUCCESS);
    kxtest::RawMessage stop(STOP);
    ASSERT_EQ(Send(stop).status, STATUS_SUCCESS);
    for (const EtcCase& c : kEtcCases) EXPECT_EQ(SendOne(c).status, kTargetStatus) << c.handler;
    StartFiltering();
    ASSERT_EQ(SetHook(BDC_PARALLEL, 0).status, STATUS_SUCCESS);
    for (const EtcCase& c : kEtcCases) EXPECT_EQ(SendOne(c).status, kTargetStatus) << c.handler;
    EXPECT_TRUE(FreshEvents().empty());
}

// ------------------------------------------------------------------ MTP

TEST_F(EtcHandlersTest, MtpReadOnlyRefusesTheWriteOrDeleteOperationByte) {
    ASSERT_EQ(SetPolicy(BDC_MTP, READONLY, 1).status, STATUS_SUCCESS);
    for (ULONG code : {0x0022833Cu, 0x00228340u, 0x00228CF4u}) {
        SCOPED_TRACE(code);
        machine().ClearDebugOutput();
        winsim::DeviceRequestResult r = SendMtp(code, Command(49, 0xDD));
        EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(r.information, 0u);
        EXPECT_TRUE(machine().DebugContains("kx4grd:MtpDeviceIoControl:  SystemBuffer"));
        EXPECT_TRUE(machine().DebugContains("kx4grd:MtpDeviceIoControl:  mptOpCodeByte(dd)"));
        EXPECT_TRUE(machine().DebugContains("kx4grd:MtpDeviceIoControl: MTP Write/Delete Detected at Offset 48: 0xDD"));
        std::vector<EVENT_RECORD> events = FreshEvents();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].a0, (ULONG)BDC_MTP);
        EXPECT_EQ(events[0].a1, (ULONG)READONLY);
        EXPECT_EQ(kxtest::Text(events[0].name), u"exfil.exe");
        EXPECT_EQ(kxtest::Text(events[0].path), u"MTP Write Action Blocked (Op: 0xDD)");
    }
    EXPECT_EQ(machine().TargetRequests(u"WudfRd").total, 0u);

    // Any other control code, another operation byte, 48 bytes, no file object: pass.
    EXPECT_EQ(SendMtp(0x00228344, Command(49, 0xDD)).status, kTargetStatus);
    EXPECT_EQ(SendMtp(0x00228340, Command(49, 0xDC)).status, kTargetStatus);
    machine().ClearDebugOutput();
    EXPECT_EQ(SendMtp(0x00228340, Command(48, 0)).status, kTargetStatus);
    EXPECT_TRUE(machine().DebugContains("kx4grd:MtpDeviceIoControl:  pBuf[48] is 0 or null"));
    EXPECT_EQ(SendMtp(0x00228340, Command(49, 0xDD), false).status, kTargetStatus);
    EXPECT_TRUE(FreshEvents().empty());
    EXPECT_EQ(machine().TargetRequests(u"WudfRd").total, 4u);

    // Logging off: refused, nothing recorded.
    ASSERT_EQ(SetPolicy(BDC_MTP, READONLY, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(SendMtp(0x00228CF4, Command(200, 0xDD)).status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(FreshEvents().empty());
}

TEST_F(EtcHandlersTest, MtpDisableRefusesEveryControlCode) {
    ASSERT_EQ(SetPolicy(BDC_MTP, DISABLE, 1).status, STATUS_SUCCESS);
    machine().ClearDebugOutput();
    EXPECT_EQ(SendMtp(0x00123456, {}, false).status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(machine().DebugContains("kx4grd:MtpDeviceIoControl:  block!!"));
    std::vector<EVENT_RECORD> events = FreshEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].a0, (ULONG)BDC_MTP);
    EXPECT_EQ(events[0].a1, (ULONG)DISABLE);
    EXPECT_EQ(kxtest::Text(events[0].path), u"MTP Blocked control(123456)");
    EXPECT_EQ(SendMtp(0x00228340, Command(49, 0)).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(FreshEvents().size(), 1u);
    ASSERT_EQ(SetPolicy(BDC_MTP, DISABLE, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(SendMtp(0x00228340, Command(49, 0)).status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(FreshEvents().empty());
    EXPECT_EQ(machine().TargetRequests(u"WudfRd").total, 0u);
    ASSERT_EQ(SetPolicy(BDC_MTP, ENABLE, 1).status, STATUS_SUCCESS);
    EXPECT_EQ(SendMtp(0x00228340, Command(49, 0xDD)).status, kTargetStatus);
}

// The command buffer as a raw caller pointer (no system buffer).
class MtpType3Test : public EtcHandlersTest {
protected:
    winsim::DeviceRequestResult SendType3(PVOID buffer, ULONG length, bool userMode, KIRQL irql = PASSIVE_LEVEL) {
        winsim::DeviceRequest r;
        r.ioControlCode = 0x00228340;
        r.noSystemBuffer = true;
        r.type3InputBuffer = buffer;
        r.inputLength = length;
        r.fileObject = machine().ConnectionFileObject(7);
        r.process = caller_;
        r.userMode = userMode;
        r.irql = irql;
        return machine().SendRequest(u"WudfRd", r);
    }
};

TEST_F(MtpType3Test, AValidCallerBufferIsProbedAndDecidedOn) {
    ASSERT_EQ(SetPolicy(BDC_MTP, READONLY, 1).status, STATUS_SUCCESS);
    std::vector<uint8_t> command = Command(64, 0xDD);
    machine().ClearDebugOutput();
    EXPECT_EQ(SendType3(command.data(), 64, true).status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(machine().DebugContains("kx4grd:MtpDeviceIoControl:  Type3InputBuffer"));
    EXPECT_EQ(FreshEvents().size(), 1u);
    command[48] = 0x01;
    EXPECT_EQ(SendType3(command.data(), 64, true).status, kTargetStatus);
    // A kernel caller's buffer is its own and read as it is.
    command[48] = 0xDD;
    EXPECT_EQ(SendType3(command.data(), 64, false).status, STATUS_UNSUCCESSFUL);
}

TEST_F(MtpType3Test, AnInvalidCallerBufferPassesTheRequestWithTheExceptionTraced) {
    ASSERT_EQ(SetPolicy(BDC_MTP, READONLY, 1).status, STATUS_SUCCESS);
    SetDebugLevel(0x3);  // the exception line is an error line (bit 0x1)
    machine().ClearDebugOutput();
    EXPECT_EQ(SendType3(machine().InvalidBuffer(64), 64, true).status, kTargetStatus);
    EXPECT_TRUE(machine().DebugContains("kx4grd:MtpDeviceIoControl: Exception accessing buffer: 0xC0000005"));

    // Valid where it starts, faulting before byte 48: the probe stops it.
    auto* tail = static_cast<uint8_t*>(machine().BufferWithInvalidTail(40));
    std::memset(tail, 0xDD, 40);
    EXPECT_EQ(SendType3(tail, 49, true).status, kTargetStatus);
    EXPECT_EQ(machine().DebugCount("Exception accessing buffer"), 2u);
    EXPECT_TRUE(FreshEvents().empty());
    EXPECT_EQ(machine().TargetRequests(u"WudfRd").total, 2u);
}

TEST_F(MtpType3Test, AtDispatchLevelACallerBufferIsNotTouched) {
    ASSERT_EQ(SetPolicy(BDC_MTP, READONLY, 1).status, STATUS_SUCCESS);
    // Would fault for real if read: above APC_LEVEL no fault can be taken.
    EXPECT_EQ(SendType3(machine().InvalidBuffer(64), 64, true, DISPATCH_LEVEL).status, kTargetStatus);
    // A system buffer is still examined, and refused without an event.
    EXPECT_EQ(SendMtp(0x00228340, Command(49, 0xDD), true, DISPATCH_LEVEL).status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(FreshEvents().empty());
    winsim::VerifierReport report = machine().Verifier();
    EXPECT_TRUE(report.Clean()) << report.ToString();
}

// ------------------------------------------------------------------ PrintHexData

TEST_F(HooksTest, PrintHexDataWritesThirtyTwoUpperCaseBytesALine) {
    std::vector<UCHAR> bytes(33);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<UCHAR>(0xE0 + i);
    machine().ClearDebugOutput();
    PrintHexData(bytes.data(), static_cast<ULONG>(bytes.size()));
    std::vector<std::string> lines = machine().DebugOutput();
    ASSERT_EQ(lines.size(), 2u);
    std::string first = "kx4grd:PrintHexData: ";
    for (size_t i = 0; i < 32; ++i) {
        static const char* digits = "0123456789ABCDEF";
        first += digits[bytes[i] >> 4];
        first += digits[bytes[i] & 0xF];
        first += ' ';
    }
    EXPECT_EQ(lines[0], first);
    EXPECT_EQ(lines[1], "kx4grd:PrintHexData: 00 ");
    SetDebugLevel(0x1);
    machine().ClearDebugOutput();
    PrintHexData(bytes.data(), static_cast<ULONG>(bytes.size()));
    EXPECT_TRUE(machine().DebugOutput().empty());
}

}  // namespace
