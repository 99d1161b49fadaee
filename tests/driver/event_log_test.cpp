// The event log: admission filters, the duplicate window, and draining with GET_LOG.
#include <atomic>
#include <chrono>
#include <thread>

#include "tests/support/driver_fixture.h"

using kxtest::RawMessage;
using kxtest::RecordAt;
using kxtest::Reply;
using kxtest::ReplyCount;

namespace {

class EventLogTest : public kxtest::DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        event_ = machine().OpenNamedEvent(KX4GRD_EVENT_NAME);
        ASSERT_NE(event_, nullptr);
    }
    void TearDown() override {
        if (event_ != nullptr) {
            machine().CloseEvent(event_);
        }
        DriverTest::TearDown();
    }

    // A record that no filter drops.
    void Produce(int n, const std::u16string& prefix = u"\\Device\\HarddiskVolume2\\f") {
        for (int i = 0; i < n; ++i) {
            std::u16string path = prefix + std::u16string(1, u'a' + (i % 26)) + u".txt";
            ASSERT_EQ(SetLog(nullptr, nullptr, LOG_PROCESS, (ULONG)i, 0, 0, u"\\x\\agent.exe", path.c_str()),
                      STATUS_SUCCESS);
        }
    }

    NTSTATUS Policy(ULONG device, ULONG state, const std::u16string& process, const std::u16string& path,
                    PFLT_CALLBACK_DATA data = nullptr) {
        return SetLog(data, nullptr, POLICY, device, state, 0, process.c_str(), path.c_str());
    }

    Reply GetLogInto(std::vector<uint8_t>& out) {
        RawMessage msg(GET_LOG);
        return Send(msg, out.empty() ? nullptr : out.data(), static_cast<uint32_t>(out.size()));
    }

    void* event_ = nullptr;
};

TEST_F(EventLogTest, EmptyLogAnswersUnsuccessful) {
    std::vector<uint8_t> out(4096);
    Reply reply = GetLogInto(out);
    EXPECT_EQ(reply.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(reply.bytesReturned, 0u);
    EXPECT_FALSE(machine().IsEventSignaled(event_));
}

TEST_F(EventLogTest, MissingOrInaccessibleBufferIsOverflowWithNothingConsumed) {
    Produce(2);
    std::vector<uint8_t> none;
    Reply reply = GetLogInto(none);
    EXPECT_EQ(reply.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(reply.bytesReturned, 0u);

    RawMessage msg(GET_LOG);
    reply = Send(msg, machine().InvalidBuffer(8192), 8192);
    EXPECT_EQ(reply.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(reply.bytesReturned, 0u);
    EXPECT_EQ(KxLogCount(), 2u);
}

TEST_F(EventLogTest, ZeroSizeReportsTheRequiredSize) {
    Produce(3);
    uint8_t byte = 0;
    RawMessage msg(GET_LOG);
    Reply reply = Send(msg, &byte, 0);
    EXPECT_EQ(reply.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(reply.bytesReturned, 6848u);
    EXPECT_TRUE(machine().DebugContains("size mistach require_size(6848), size(0)"));
    EXPECT_EQ(KxLogCount(), 3u);
}

TEST_F(EventLogTest, ExactFitDeliversAllOldestFirst) {
    LARGE_INTEGER before;
    KeQuerySystemTime(&before);
    Produce(3);
    std::vector<uint8_t> out(6848, 0xEE);
    Reply reply = GetLogInto(out);
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.bytesReturned, 6848u);
    EXPECT_EQ(ReplyCount(out), 3u);
    // The 4 bytes after the count are not the driver's.
    EXPECT_EQ(out[4], 0xEE);
    EXPECT_EQ(out[7], 0xEE);
    for (ULONG i = 0; i < 3; ++i) {
        EVENT_RECORD r = RecordAt(out, i);
        EXPECT_EQ(r.code, (ULONG)LOG_PROCESS);
        EXPECT_EQ(r.a0, i);
        EXPECT_EQ(r.pid, 4u);  // produced in the system process
        EXPECT_EQ(r.time, (ULONGLONG)before.QuadPart);
        EXPECT_EQ(kxtest::Text(r.name), u"agent.exe");
        EXPECT_EQ(kxtest::Text(r.path), std::u16string(u"\\Device\\HarddiskVolume2\\f") + char16_t(u'a' + i) + u".txt");
        EXPECT_EQ(r.extra[0], 0);
        EXPECT_EQ(r.reserved, 0u);
    }
    EXPECT_EQ(KxLogCount(), 0u);
    EXPECT_EQ(GetLogInto(out).status, STATUS_UNSUCCESSFUL);
}

TEST_F(EventLogTest, LargerBufferReportsItsWholeLength) {
    Produce(1);
    std::vector<uint8_t> out(10000);
    Reply reply = GetLogInto(out);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.bytesReturned, 10000u);
    EXPECT_EQ(ReplyCount(out), 1u);
}

TEST_F(EventLogTest, TooSmallWithThousandRecordsDeliversNothing) {
    Produce(1000);
    machine().ResetEvent(event_);
    std::vector<uint8_t> out(10000);
    Reply reply = GetLogInto(out);
    EXPECT_EQ(reply.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(reply.bytesReturned, 2280008u);
    EXPECT_EQ(KxLogCount(), 1000u);
    EXPECT_TRUE(machine().IsEventSignaled(event_));
    EXPECT_TRUE(machine().DebugContains("remain size mistach require_size(2280008), size(10000)"));
}

TEST_F(EventLogTest, TooSmallWithMoreThanThousandDrainsInParts) {
    Produce(1001);
    machine().ResetEvent(event_);
    std::vector<uint8_t> out(10000);
    Reply reply = GetLogInto(out);
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.bytesReturned, 10000u);
    EXPECT_EQ(ReplyCount(out), 4u);
    EXPECT_EQ(RecordAt(out, 0).a0, 0u);
    EXPECT_EQ(RecordAt(out, 3).a0, 3u);
    EXPECT_EQ(KxLogCount(), 997u);
    EXPECT_TRUE(machine().IsEventSignaled(event_));
    EXPECT_TRUE(machine().DebugContains("s_log_cnt(1001), ulReminCnt(4)"));

    // At 997 the backlog is small again: a buffer that cannot hold it all gets none.
    reply = GetLogInto(out);
    EXPECT_EQ(reply.status, STATUS_BUFFER_OVERFLOW);
    std::vector<uint8_t> all(reply.bytesReturned);
    reply = GetLogInto(all);
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(ReplyCount(all), 997u);
    EXPECT_EQ(RecordAt(all, 0).a0, 4u);
    EXPECT_EQ(RecordAt(all, 996).a0, 1000u);
}

TEST_F(EventLogTest, BufferWithoutRoomForTheHeaderNeverGetsAPartialDrain) {
    Produce(1001);
    std::vector<uint8_t> out(4);
    Reply reply = GetLogInto(out);
    EXPECT_EQ(reply.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(reply.bytesReturned, (uint32_t)(8 + 2280 * 1001));
    EXPECT_EQ(KxLogCount(), 1001u);
}

TEST_F(EventLogTest, ProducingSignalsTheNamedEvent) {
    EXPECT_FALSE(machine().IsEventSignaled(event_));
    Produce(1);
    EXPECT_TRUE(machine().IsEventSignaled(event_));
}

TEST_F(EventLogTest, LogTypeMaskAdmitsByCode) {
    RawMessage mask(SET_LOG_TYPE);
    mask.Type(4);
    Send(mask);
    EXPECT_EQ(Policy(BDC_USB_DISK, DISABLE, u"\\x\\word.exe", u"\\Device\\HarddiskVolume5\\a.doc"), STATUS_SUCCESS);
    EXPECT_EQ(SetConnectLog(nullptr, 8, 2, 0, u"E:", u"System", u"{}"), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(SetLog(nullptr, nullptr, LOG_PROCESS, 1, 0, 0, u"a.exe", u"\\a.exe"), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(SetLog(nullptr, nullptr, PROCESS_PROTECT_EVENT, 1000, 2000, 0, u"\\c.exe", u"\\t.exe"),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(KxLogCount(), 1u);

    mask.Type(1);
    Send(mask);
    EXPECT_EQ(SetConnectLog(nullptr, 8, 2, 0, u"E:", u"System", u"{}"), STATUS_SUCCESS);
    EXPECT_EQ(SetLog(nullptr, nullptr, PROCESS_PROTECT_EVENT, 1000, 2000, 0, u"\\c.exe", u"\\t.exe"),
              STATUS_SUCCESS);
    EXPECT_EQ(KxLogCount(), 3u);
}

TEST_F(EventLogTest, MissingTextsAreRefused) {
    EXPECT_EQ(SetLog(nullptr, nullptr, LOG_PROCESS, 1, 0, 0, nullptr, u"\\a"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetLog(nullptr, nullptr, LOG_PROCESS, 1, 0, 0, u"\\a", nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(KxLogCount(), 0u);
}

TEST_F(EventLogTest, RecordLayoutPerCode) {
    RawMessage policy(SET_POLICY);
    policy.DeviceType(BDC_USB_DISK).PolicyState(READONLY).Log(1);
    Send(policy);
    winsim::ProcessOptions word;
    word.imagePath = u"\\Device\\HarddiskVolume2\\Office\\WINWORD.EXE";
    PEPROCESS process = machine().StartProcess(word);
    machine().RunAs(process, [&] {
        EXPECT_EQ(Policy(BDC_USB_DISK, READONLY, u"\\Device\\HarddiskVolume2\\Office\\WINWORD.EXE",
                         u"\\Device\\HarddiskVolume5\\report.doc"),
                  STATUS_SUCCESS);
    });
    EXPECT_EQ(SetConnectLog(nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, FLT_FSTYPE_NTFS, 0, u"E:", nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(SetLog(nullptr, nullptr, PROCESS_PROTECT_EVENT, 1000, 2000, 0, u"\\Device\\c.exe", u"\\Device\\t.exe"),
              STATUS_SUCCESS);

    std::vector<uint8_t> out(8 + 3 * 2280);
    ASSERT_EQ(GetLogInto(out).status, STATUS_SUCCESS);
    EVENT_RECORD p = RecordAt(out, 0);
    EXPECT_EQ(p.code, (ULONG)POLICY);
    EXPECT_EQ(p.pid, machine().ProcessId(process));
    EXPECT_EQ(p.a0, (ULONG)BDC_USB_DISK);
    EXPECT_EQ(p.a1, (ULONG)READONLY);
    EXPECT_EQ(p.log, 1u);
    EXPECT_EQ(kxtest::Text(p.name), u"WINWORD.EXE");
    EXPECT_EQ(kxtest::Text(p.path), u"\\Device\\HarddiskVolume5\\report.doc");

    EVENT_RECORD c = RecordAt(out, 1);
    EXPECT_EQ(c.code, (ULONG)CONNECT);
    EXPECT_EQ(c.a0, (ULONG)FILE_DEVICE_DISK_FILE_SYSTEM);
    EXPECT_EQ(c.a1, (ULONG)FLT_FSTYPE_NTFS);
    EXPECT_EQ(c.log, 0u);
    EXPECT_EQ(kxtest::Text(c.name), u"Unknown");
    EXPECT_EQ(kxtest::Text(c.path), u"Unknown Path");
    EXPECT_EQ(kxtest::Text(c.extra), u"E:");

    EVENT_RECORD x = RecordAt(out, 2);
    EXPECT_EQ(x.code, (ULONG)PROCESS_PROTECT_EVENT);
    EXPECT_EQ(x.a0, 1000u);
    EXPECT_EQ(x.a1, 2000u);
    EXPECT_EQ(x.name[0], 0);
    EXPECT_EQ(kxtest::Text(x.path), u"\\Device\\c.exe");
    EXPECT_EQ(kxtest::Text(x.extra), u"\\Device\\t.exe");
}

TEST_F(EventLogTest, LongTextsAreTruncatedToTheirFields) {
    std::u16string longPath = u"\\Device\\HarddiskVolume2\\" + std::u16string(600, u'p');
    std::u16string longName = u"\\dir\\" + std::u16string(150, u'n');
    ASSERT_EQ(SetLog(nullptr, nullptr, LOG_PROCESS, 0, 0, 0, longName.c_str(), longPath.c_str()), STATUS_SUCCESS);
    ASSERT_EQ(SetConnectLog(nullptr, 0, 0, 0, longPath.c_str(), longName.c_str(), longPath.c_str()), STATUS_SUCCESS);
    std::vector<uint8_t> out(8 + 2 * 2280);
    ASSERT_EQ(GetLogInto(out).status, STATUS_SUCCESS);
    EVENT_RECORD r = RecordAt(out, 0);
    EXPECT_EQ(kxtest::Text(r.path), longPath.substr(0, 511));
    EXPECT_EQ(kxtest::Text(r.name), std::u16string(99, u'n'));
    EVENT_RECORD c = RecordAt(out, 1);
    EXPECT_EQ(kxtest::Text(c.extra), longPath.substr(0, 511));
    EXPECT_EQ(kxtest::Text(c.name), longName.substr(0, 99));
}

TEST_F(EventLogTest, RepeatWithinTwoSecondsIsDropped) {
    EXPECT_EQ(Policy(BDC_USB_DISK, DISABLE, u"\\x\\Word.exe", u"\\Device\\HarddiskVolume5\\a.doc"), STATUS_SUCCESS);
    machine().AdvanceClock(500);
    EXPECT_EQ(Policy(BDC_USB_DISK, DISABLE, u"\\y\\WORD.EXE", u"\\DEVICE\\HarddiskVolume5\\A.DOC"),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(machine().DebugContains("IsOvlappedLog !!!"));
    EXPECT_TRUE(machine().DebugContains("ov (\\Device\\HarddiskVolume5\\a.doc), (\\DEVICE\\HarddiskVolume5\\A.DOC)"));
    // Another class has its own slot.
    EXPECT_EQ(Policy(BDC_EXTERNALHDD, DISABLE, u"\\x\\Word.exe", u"\\Device\\HarddiskVolume5\\a.doc"), STATUS_SUCCESS);
    machine().AdvanceClock(2000);  // 2.5 s after the first reset
    EXPECT_EQ(Policy(BDC_USB_DISK, DISABLE, u"\\x\\Word.exe", u"\\Device\\HarddiskVolume5\\a.doc"), STATUS_SUCCESS);
    EXPECT_EQ(KxLogCount(), 3u);
}

TEST_F(EventLogTest, WindowIsNotSliding) {
    const std::u16string path = u"\\Device\\HarddiskVolume5\\a.doc";
    EXPECT_EQ(Policy(BDC_USB_DISK, DISABLE, u"w.exe", path), STATUS_SUCCESS);  // resets at t=0
    machine().AdvanceClock(1500);
    EXPECT_EQ(Policy(BDC_USB_DISK, DISABLE, u"w.exe", path), STATUS_INSUFFICIENT_RESOURCES);
    machine().AdvanceClock(1000);  // 2.5 s after the reset, 1 s after the repeat
    EXPECT_EQ(Policy(BDC_USB_DISK, DISABLE, u"w.exe", path), STATUS_SUCCESS);
}

TEST_F(EventLogTest, AlternatingPathsAreNeverDropped) {
    for (int i = 0; i < 6; ++i) {
        const char16_t* path = (i % 2) ? u"\\Device\\HarddiskVolume5\\b.doc" : u"\\Device\\HarddiskVolume5\\a.doc";
        EXPECT_EQ(Policy(BDC_USB_DISK, DISABLE, u"w.exe", path), STATUS_SUCCESS) << i;
    }
}

TEST_F(EventLogTest, CdromRepeatWithoutPathComparesNameAndState) {
    EXPECT_EQ(Policy(BDC_CDROM, DISABLE, u"\\x\\burn.exe", u""), STATUS_SUCCESS);
    EXPECT_EQ(Policy(BDC_CDROM, DISABLE, u"\\x\\BURN.exe", u""), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Policy(BDC_CDROM, READONLY, u"\\x\\burn.exe", u""), STATUS_SUCCESS);
    // Other classes do not drop empty-path repeats.
    EXPECT_EQ(Policy(BDC_FLOOPY, DISABLE, u"\\x\\burn.exe", u""), STATUS_SUCCESS);
    EXPECT_EQ(Policy(BDC_FLOOPY, DISABLE, u"\\x\\burn.exe", u""), STATUS_SUCCESS);
}

TEST_F(EventLogTest, SystemNoiseIsDropped) {
    for (ULONG device : {(ULONG)BDC_USB_DISK, (ULONG)BDC_CDROM, (ULONG)BDC_LOCAL_DISK, (ULONG)BDC_MTP}) {
        EXPECT_EQ(Policy(device, DISABLE, u"\\Windows\\lsass.exe", u"\\Device\\X\\a"), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(Policy(device, DISABLE, u"\\Tools\\VMTOOLSD.EXE", u"\\Device\\X\\b"), STATUS_INSUFFICIENT_RESOURCES);
    }
    EXPECT_TRUE(machine().DebugContains("IsException !!!"));
    // A name that only starts like an entry is not it, unless the entry compares
    // just its own length.
    EXPECT_EQ(Policy(BDC_MTP, DISABLE, u"\\x\\lsass", u"\\Device\\X\\c"), STATUS_SUCCESS);
    EXPECT_EQ(Policy(BDC_MTP, DISABLE, u"\\x\\lsass.exe.bak", u"\\Device\\X\\d"), STATUS_INSUFFICIENT_RESOURCES);

    EXPECT_EQ(Policy(BDC_USB_DISK, DISABLE, u"\\Windows\\svchost.exe", u"\\Device\\X\\e"),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Policy(BDC_CDROM, DISABLE, u"\\Windows\\svchost.exe", u"\\Device\\X\\e"), STATUS_SUCCESS);
    EXPECT_EQ(Policy(BDC_USB_DISK, DISABLE, u"\\x\\explorer.exe", u"\\Device\\X\\desktop.ini"),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Policy(BDC_NETWORKDRIVEOUT, DISABLE, u"\\x\\app.exe", u"\\Device\\Mup\\srv\\pipe\\x"),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Policy(BDC_NETWORKSHAREOUT, DISABLE, u"\\x\\app.exe", u"\\Device\\Mup\\localhost\\c$\\f"),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Policy(BDC_NETWORKDRIVEOUT, DISABLE, u"\\x\\app.exe", u"\\Device\\Mup\\srv\\share\\f.txt"),
              STATUS_SUCCESS);
    // Substring lists are case-sensitive.
    EXPECT_EQ(Policy(BDC_NETWORKDRIVEOUT, DISABLE, u"\\x\\app.exe", u"\\Device\\Mup\\srv\\PIPE\\y"), STATUS_SUCCESS);
}

TEST_F(EventLogTest, UsbCreateNoiseDependsOnStateAndDisposition) {
    IO_SECURITY_CONTEXT security{};
    FLT_IO_PARAMETER_BLOCK iopb{};
    FLT_CALLBACK_DATA data{.Iopb = &iopb};
    iopb.MajorFunction = IRP_MJ_CREATE;
    iopb.Parameters.Create.SecurityContext = &security;
    int n = 0;
    auto send = [&](ULONG state, ULONG disposition, ULONG options, ACCESS_MASK access) {
        iopb.Parameters.Create.Options = (disposition << 24) | options;
        security.DesiredAccess = access;
        std::u16string path = u"\\Device\\HarddiskVolume5\\f" + std::u16string(1, u'a' + n++);
        return Policy(BDC_USB_DISK, state, u"w.exe", path, &data);
    };
    // Writable device: creates without an open-style disposition, backup intent or
    // synchronous flag are noise.
    EXPECT_EQ(send(DISABLE, FILE_CREATE, 0, FILE_GENERIC_WRITE), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(send(DISABLE, FILE_OPEN, 0, FILE_GENERIC_READ), STATUS_SUCCESS);
    EXPECT_EQ(send(DISABLE, FILE_CREATE, FILE_SYNCHRONOUS_IO_NONALERT, FILE_GENERIC_WRITE), STATUS_SUCCESS);
    EXPECT_EQ(send(DISABLE, FILE_SUPERSEDE, FILE_OPEN_FOR_BACKUP_INTENT, FILE_GENERIC_WRITE), STATUS_SUCCESS);
    // Read-only device: plain opens for write are noise (their writes are logged).
    EXPECT_EQ(send(READONLY, FILE_OPEN, 0, FILE_WRITE_DATA), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(send(READONLY, FILE_OPEN, 0, FILE_READ_DATA), STATUS_SUCCESS);
    EXPECT_EQ(send(READONLY, FILE_CREATE, 0, FILE_WRITE_DATA), STATUS_SUCCESS);
    // CD-ROM creates of names without a backslash are noise.
    iopb.Parameters.Create.Options = FILE_OPEN << 24;
    EXPECT_EQ(Policy(BDC_CDROM, DISABLE, u"w.exe", u"volume", &data), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Policy(BDC_CDROM, DISABLE, u"w.exe", u"\\Device\\CdRom0\\a", &data), STATUS_SUCCESS);
}

}  // namespace

namespace {

// Taking the log down while a producer is half-way through a record must wait for
// it: freeing the lookaside list and draining the queue under it would leak the
// record it then queues, or hand it a block of a deleted list.
TEST_F(EventLogTest, TeardownWaitsForAProducerInProgress) {
    std::atomic<bool> cleanupDone{false};
    std::thread cleanup;
    bool finishedWhileProducing = false;
    // The producer's trace line is printed after it has taken its block and before
    // it queues it: tear down from another thread right there.
    machine().OnDebugLine("code(16), a0(7)", [&] {
        cleanup = std::thread([&] {
            Cleanuplog();
            cleanupDone = true;
        });
        for (int i = 0; i < 200 && !cleanupDone; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        finishedWhileProducing = cleanupDone;
    });
    EXPECT_EQ(SetLog(nullptr, nullptr, LOG_PROCESS, 7, 0, 0, u"\\x\\agent.exe", u"\\Device\\HarddiskVolume2\\f.txt"),
              STATUS_SUCCESS);
    ASSERT_TRUE(cleanup.joinable());
    cleanup.join();
    EXPECT_FALSE(finishedWhileProducing);
    EXPECT_EQ(KxLogCount(), 0u);
    EXPECT_EQ(machine().PoolAllocations(KX_TAG_LOG), 0u);
    // Once down, producers and GET_LOG are turned away.
    EXPECT_EQ(SetLog(nullptr, nullptr, LOG_PROCESS, 1, 0, 0, u"a.exe", u"\\a.exe"), STATUS_INSUFFICIENT_RESOURCES);
    std::vector<uint8_t> out(64);
    EXPECT_EQ(GetLogInto(out).status, STATUS_UNSUCCESSFUL);
}

}  // namespace

namespace {

// The log's traces carry the names of its routines, whatever helper prints them.
TEST_F(EventLogTest, TracesNameTheLogRoutines) {
    DebugLevel = KX_DBG_ERROR | KX_DBG_INFO;
    Produce(1);
    std::vector<uint8_t> small(8);
    GetLogInto(small);
    std::vector<uint8_t> out(8 + 2280);
    GetLogInto(out);
    EXPECT_TRUE(machine().DebugContains("kx4grd:SetLog: code(16), a0(0), a1(0), name(agent.exe)"));
    EXPECT_TRUE(machine().DebugContains("kx4grd:GetLog: remain size mistach require_size(2288), size(8)\n"));
    EXPECT_TRUE(machine().DebugContains("kx4grd:GetLog: s_log_cnt(1), ulReminCnt(1)\n"));
    EXPECT_EQ(Policy(BDC_USB_DISK, READONLY, u"\\x\\app.exe", u"\\Device\\HarddiskVolume3\\a.txt"), STATUS_SUCCESS);
    EXPECT_TRUE(machine().DebugContains("kx4grd:SetLog: LOG_POLICY code(4), a0(3), a1(2), name(app.exe)"));
    EXPECT_EQ(SetConnectLog(nullptr, 8, 2, 0, u"C:", u"System", u"{}"), STATUS_SUCCESS);
    EXPECT_TRUE(machine().DebugContains("kx4grd:SetConnectLog: , SET_LOG_TYPE(255)\n"));
    EXPECT_TRUE(machine().DebugContains("kx4grd:SetConnectLog: code(1), a0(8), a1(2), name(System), path({})\n"));
}

}  // namespace
