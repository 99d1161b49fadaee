// The typical request through the exports: a read-only USB flash drive refuses a
// write by a simulated process, and the host callback receives the POLICY line.
#include <algorithm>
#include <cstdio>

#include "driver/log/event_log.h"
#include "tests/e2e/library_fixture.h"

namespace e2e {
namespace {

// 2024-03-07 09:05:00 UTC in FILETIME units.
constexpr uint64_t kMarch7 = 133542759000000000ull;

class TypicalRequestTest : public LibraryTest {};

size_t CountContaining(const std::vector<std::u16string>& lines, const std::u16string& text) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::u16string& l) {
        return l.find(text) != std::u16string::npos;
    }));
}

TEST_F(TypicalRequestTest, AWriteOnTheReadOnlyUsbDriveIsDeniedAndReportedInOnePolicyLine) {
    ASSERT_EQ(Init(), 0);
    INT r1 = -1, r2 = -1, r3 = -1;
    AsHost([&] {
        r1 = Kx4grdSetPolicy(BDC_USB_DISK, READONLY, 1);
        r2 = Kx4grdSetDeviceProtect(1);
        r3 = Kx4grdStartAndStop(1);
    });
    ASSERT_EQ(r1, 0);
    ASSERT_EQ(r2, 0);
    ASSERT_EQ(r3, 0);

    // The records carry the machine's time; the line shows it in local time
    // (UTC = local + bias: a bias of -60 minutes is one hour ahead).
    machine().SetSystemTime(kMarch7);
    machine().SetTimeZoneBias(-60);

    {
        std::FILE* file = std::fopen(machine().HostFilePath(u"E:\\report.docx").c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fputs("quarterly figures", file);
        std::fclose(file);
    }
    winsim::ProcessOptions word;
    word.imagePath = c_.deviceName + u"\\Program Files\\Office\\winword.exe";
    PEPROCESS writer = machine().StartProcess(word);
    const uint32_t pid = machine().ProcessId(writer);
    winsim::CreateRequest open;
    open.path = e_.deviceName + u"\\report.docx";
    open.desiredAccess = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
    open.disposition = FILE_OPEN;
    open.options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE;
    winsim::OpenFile* handle = nullptr;
    ASSERT_EQ(machine().CreateFile(writer, open, &handle).status, STATUS_SUCCESS);
    EXPECT_EQ(machine().WriteFile(handle, 0, "changed").status, STATUS_ACCESS_DENIED);
    machine().CloseFile(handle);
    machine().ExitProcess(writer);

    const std::string digits = std::to_string(pid);
    const std::u16string expected = u"2024-3-7 : 10:5:0,POLICY(4),BDC_USB_DISK(3),READONLY(2),winword.exe(" +
                                    std::u16string(digits.begin(), digits.end()) + u"),E:\\report.docx";
    ASSERT_TRUE(WaitFor([] { return CountContaining(LineSink::Instance().Lines(), u",POLICY(4),") >= 1; }));
    EXPECT_EQ(Cleanup(), 0);

    const std::vector<std::u16string> lines = LineSink::Instance().Lines();
    EXPECT_EQ(CountContaining(lines, u",POLICY(4),"), 1u);
    EXPECT_EQ(CountContaining(lines, expected), 1u) << "expected " << Narrow(expected);
    for (const std::u16string& line : lines) {
        if (line.find(u",POLICY(4),") != std::u16string::npos) {
            EXPECT_EQ(line, expected);
        }
    }

    // The volumes' CONNECT lines: the volume report's backslashes come doubled.
    const auto connectE = std::find_if(lines.begin(), lines.end(), [](const std::u16string& l) {
        return l.find(u", CONNECT(1),") != std::u16string::npos && l.find(u", E:, ") != std::u16string::npos;
    });
    ASSERT_NE(connectE, lines.end());
    const std::u16string escaped = connectE->substr(connectE->find(u", E:, ") + 6);
    EXPECT_NE(escaped.find(u"\\\\"), std::u16string::npos) << Narrow(*connectE);
    for (size_t i = 0; i < escaped.size();) {
        if (escaped[i] != u'\\') {
            ++i;
            continue;
        }
        size_t run = 0;
        while (i < escaped.size() && escaped[i] == u'\\') {
            ++run;
            ++i;
        }
        EXPECT_EQ(run % 2, 0u) << "a single backslash in " << Narrow(*connectE);
    }
}

TEST_F(TypicalRequestTest, ThousandAndOneWaitingRecordsAllReachTheHostOnceAndInOrder) {
    ASSERT_EQ(Init(), 0);
    ASSERT_TRUE(WaitFor([] { return LineSink::Instance().Lines().size() >= 2; }));  // the volumes
    LineSink::Instance().Clear();
    // Queued faster than the reporter drains: a backlog above 1000 comes in parts
    // through the slack buffer, the rest with a buffer grown to what remains.
    for (ULONG i = 0; i < 1001; ++i) {
        ASSERT_EQ(SetLog(nullptr, nullptr, LOG_PROCESS, i, 0, 0, u"\\x\\agent.exe", u"\\Device\\NoSuch\\f.txt"),
                  STATUS_SUCCESS);
    }
    ASSERT_TRUE(WaitFor([] { return LineSink::Instance().Lines().size() >= 1001; }));
    EXPECT_EQ(KxLogCount(), 0u);
    EXPECT_EQ(Cleanup(), 0);
    const std::vector<std::u16string> lines = LineSink::Instance().Lines();
    ASSERT_EQ(lines.size(), 1001u);
    for (ULONG i = 0; i < 1001; ++i) {
        const std::string digits = std::to_string(i);
        const std::u16string expected = u",LOG_PROCESS," + std::u16string(digits.begin(), digits.end()) + u",0,agent.exe(";
        ASSERT_NE(lines[i].find(expected), std::u16string::npos) << i << ": " << Narrow(lines[i]);
    }
}

}  // namespace
}  // namespace e2e
