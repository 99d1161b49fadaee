// Process tracking across agent restarts and on systems without the extended
// creation routine: every process end clears the id, only the records wait for
// START, and a reused id starts clean.
#include "tests/support/driver_fixture.h"

using kxtest::RawMessage;

namespace {

class TrackingTest : public kxtest::DriverTest {
protected:
    void BeforeLoad() override { machine().RegSetDword(kxtest::kParametersKey, u"ProcessCreate", 1); }

    void Command(uint64_t command) {
        RawMessage msg(command);
        Send(msg);
    }

    std::vector<uint8_t> Drain() {
        std::vector<uint8_t> out(8 + 16 * 2280);
        RawMessage msg(GET_LOG);
        if (Send(msg, out.data(), (uint32_t)out.size()).status != STATUS_SUCCESS) {
            out.assign(8, 0);
        }
        return out;
    }

    PEPROCESS Start(const std::u16string& image, uint32_t pid = 0) {
        winsim::ProcessOptions opts;
        opts.imagePath = image;
        opts.pid = pid;
        return machine().StartProcess(opts);
    }
};

TEST_F(TrackingTest, AnEndWhileStoppedStillClearsEveryStateOfTheId) {
    PEPROCESS p = Start(u"\\Device\\HarddiskVolume2\\tools\\agent.exe");
    const ULONG pid = machine().ProcessId(p);
    PgAddPid(pid, KX_PROCESS_TRUSTED);
    PgAddPid(pid, KX_PROCESS_PROTECTED);
    ASSERT_EQ(ReadNoFence(&Globals.Started), 0);  // the agent never sent START
    machine().ExitProcess(p);
    EXPECT_EQ(PgGetPidState(pid), 0u);
    EXPECT_EQ(PgIsProtectPid(pid), 0u);

    // The next process the system gives the same id is neither trusted nor protected.
    PEPROCESS reuse = Start(u"\\Device\\HarddiskVolume2\\tools\\other.exe", pid);
    ASSERT_NE(reuse, nullptr);
    EXPECT_EQ(PgGetPidState(pid), 0u);
    EXPECT_EQ(PgIsProtectPid(pid), 0u);
    EXPECT_EQ(kxtest::ReplyCount(Drain()), 0u);  // and no record was written meanwhile
}

TEST_F(TrackingTest, AnEndAfterStopDropsTheStartedEntrySoAReusedIdIsRecordedAfresh) {
    Command(START);
    PEPROCESS first = Start(u"\\Device\\HarddiskVolume2\\tools\\first.exe");
    const ULONG pid = machine().ProcessId(first);
    Command(STOP);
    machine().ExitProcess(first);  // no end record while stopped
    Command(START);
    PEPROCESS second = Start(u"\\Device\\HarddiskVolume2\\tools\\second.exe", pid);
    ASSERT_NE(second, nullptr);
    machine().ExitProcess(second);

    std::vector<uint8_t> out = Drain();
    ASSERT_EQ(kxtest::ReplyCount(out), 3u);
    EXPECT_EQ(kxtest::Text(kxtest::RecordAt(out, 0).name), u"first.exe");
    EVENT_RECORD start = kxtest::RecordAt(out, 1);
    EXPECT_EQ(start.a0, 1u);
    EXPECT_EQ(kxtest::Text(start.name), u"second.exe");
    EVENT_RECORD end = kxtest::RecordAt(out, 2);
    EXPECT_EQ(end.a0, 0u);
    EXPECT_EQ(kxtest::Text(end.name), u"second.exe");
}

TEST_F(TrackingTest, LongImagePathsAreCutToTheTableField) {
    Command(START);
    const std::u16string image = u"\\Device\\HarddiskVolume2\\" + std::u16string(600, u'd') + u"\\app.exe";
    PEPROCESS p = Start(image);
    machine().ExitProcess(p);
    std::vector<uint8_t> out = Drain();
    ASSERT_EQ(kxtest::ReplyCount(out), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(kxtest::Text(kxtest::RecordAt(out, i).path), image.substr(0, 511));
    }
    // The name is taken from the whole path, before the path is cut.
    EXPECT_EQ(kxtest::Text(kxtest::RecordAt(out, 0).name), u"app.exe");
}

// Without the extended routine the basic one is registered: starts are not seen,
// so nothing is recorded and no automation process is trusted, but ends still
// clear their ids.
class BasicRoutineTest : public TrackingTest {
protected:
    void BeforeLoad() override {
        TrackingTest::BeforeLoad();
        machine().HideSystemRoutine(u"PsSetCreateProcessNotifyRoutineEx");
    }
};

TEST_F(BasicRoutineTest, EndsClearIdsAndStartsAreNotSeen) {
    EXPECT_EQ(GetProcessNotifyStatus(), STATUS_SUCCESS);
    EXPECT_TRUE(machine().DebugContains("kx4grd:InitProcessNotify: status(0), ("));
    Command(START);
    winsim::ProcessOptions excel;
    excel.imagePath = u"\\Device\\HarddiskVolume2\\Office\\EXCEL.EXE";
    excel.commandLine = u"\"C:\\Office\\EXCEL.EXE\" /automation -Embedding";
    PEPROCESS p = machine().StartProcess(excel);
    const ULONG pid = machine().ProcessId(p);
    EXPECT_EQ(PgGetPidState(pid), 0u);
    PgAddPid(pid, KX_PROCESS_PROTECTED);
    machine().ExitProcess(p);
    EXPECT_EQ(PgIsProtectPid(pid), 0u);
    EXPECT_EQ(kxtest::ReplyCount(Drain()), 0u);
}

}  // namespace
