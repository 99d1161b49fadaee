// The diagnostic logger: what reaches the log file, text that looks like a format,
// null strings, long lines, several threads at once, and rolling.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "tests/ctrl/interface_fixture.h"

namespace ctrltest {
namespace {

constexpr char kLogPath[] = "C:\\Logs\\kxlgrd.log";

class DiagLogTest : public CtrlTest {
protected:
    void SetUp() override {
        CtrlTest::SetUp();
        std::filesystem::create_directories(HostPathOnC("Logs"));
    }

    void SwitchOn() {
        testing::internal::CaptureStdout();
        AsHost([] { DiagLogger::Instance().SwitchOn(kLogPath); });
        summary_ = testing::internal::GetCapturedStdout();
    }

    std::filesystem::path File(const std::string& name = "kxlgrd.log") const { return HostPathOnC("Logs\\" + name); }

    std::string FileText(const std::string& name = "kxlgrd.log") const {
        std::ifstream in(File(name), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // The messages of the file's lines (what follows "kxlgrd::DEBUG "). A message
    // ending in its own line end leaves an empty line after it (the pattern adds
    // one); those are skipped.
    std::vector<std::string> FileMessages() const {
        std::vector<std::string> messages;
        std::istringstream in(FileText());
        std::string line;
        const std::string marker = " kxlgrd::DEBUG ";
        while (std::getline(in, line)) {
            if (line.empty()) {
                continue;
            }
            const size_t at = line.find(marker);
            messages.push_back(at == std::string::npos ? "<no pattern> " + line : line.substr(at + marker.size()));
        }
        return messages;
    }

    std::string summary_;
};

TEST_F(DiagLogTest, NothingReachesAFileBeforeSwitchingOn) {
    AsHost([] { KX_LOGW(WSTR("%s :: before\n"), WSTR("Test")); });
    EXPECT_FALSE(std::filesystem::exists(File()));
    SwitchOn();
    EXPECT_EQ(summary_, "log_name_(C:\\Logs\\kxlgrd.log) debug_type(2) show_debug(1) logfilesize(41943040)\n");
    AsHost([] {
        KX_LOGW(WSTR("%s :: after(%d)\n"), WSTR("Test"), 5);
        KX_LOGA("%s :: narrow(%s)", "Test", "x");
    });
    EXPECT_EQ(FileMessages(), (std::vector<std::string>{"Test :: after(5)", "Test :: narrow(x)"}));
}

TEST_F(DiagLogTest, TextHoldingPercentSignsIsLoggedAsItIs) {
    SwitchOn();
    // A file name that reads like a format: as a log4cpp format it would be
    // expanded again (reading arguments that were never passed).
    AsHost([] {
        KX_LOGW(WSTR("%s :: path(%s)\n"), WSTR("CReporter::ReadParam"), WSTR("C:\\100%s%n%d%x%%.txt"));
        KX_LOGA("%s :: (%s)", "CLocalConf::GetConfig", "C:\\50%s%n\\kx4local.conf");
    });
    EXPECT_EQ(FileMessages(), (std::vector<std::string>{
                                  "CReporter::ReadParam :: path(C:\\100%s%n%d%x%%.txt)",
                                  "CLocalConf::GetConfig :: (C:\\50%s%n\\kx4local.conf)",
                              }));
}

TEST_F(DiagLogTest, NullStringsPrintAsNull) {
    LogCapture log;
    AsHost([] {
        KX_LOGW(WSTR("%s :: name(%s)\n"), WSTR("Test"), static_cast<const WCHAR*>(nullptr));
        KX_LOGA("%s :: name(%s)", "Test", static_cast<const char*>(nullptr));
    });
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"Test :: name((null))\n", "Test :: name((null))"}));
}

TEST_F(DiagLogTest, WideLinesAreCutAt1023Characters) {
    LogCapture log;
    const std::u16string longText(3000, u'w');
    AsHost([&] { KX_LOGW(WSTR("%s"), W(longText.c_str())); });
    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_EQ(log.Lines()[0], std::string(1023, 'w'));
    // Converted to code page 1252: e-acute is one byte there, a character it lacks is '?'.
    log.Clear();
    AsHost([] { KX_LOGW(WSTR("caf\u00e9 \u4e00")); });
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"caf\xE9 ?"}));
}

TEST_F(DiagLogTest, ThreadsLogAtOnceWithoutMixingLines) {
    LogCapture log;
    constexpr int kLines = 400;
    auto writer = [&](const char16_t* text) {
        AsHost([&] {
            for (int i = 0; i < kLines; ++i) {
                KX_LOGW(WSTR("%s :: %s(%d)\n"), WSTR("Thread"), W(text), i % 7);
            }
        });
    };
    std::thread a(writer, u"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa");
    std::thread b(writer, u"bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb");
    a.join();
    b.join();
    std::set<std::string> allowed;
    for (int i = 0; i < 7; ++i) {
        allowed.insert("Thread :: " + std::string(64, 'a') + "(" + std::to_string(i) + ")\n");
        allowed.insert("Thread :: " + std::string(97, 'b') + "(" + std::to_string(i) + ")\n");
    }
    const std::vector<std::string> lines = log.Lines();
    EXPECT_EQ(lines.size(), 2u * kLines);
    for (const std::string& line : lines) {
        ASSERT_TRUE(allowed.count(line) == 1) << "mixed line: " << line;
    }
}

TEST_F(DiagLogTest, TheFileRollsKeepingFiveOlderFiles) {
    DiagLogger::SetMaxFileSizeForTesting(4096);
    SwitchOn();
    EXPECT_EQ(summary_, "log_name_(C:\\Logs\\kxlgrd.log) debug_type(2) show_debug(1) logfilesize(4096)\n");
    const std::u16string text(200, u'r');
    AsHost([&] {
        for (int i = 0; i < 400; ++i) {
            KX_LOGW(WSTR("%s :: %d %s\n"), WSTR("Roll"), i, W(text.c_str()));
        }
    });
    for (const char* name : {"kxlgrd.log", "kxlgrd.log.1", "kxlgrd.log.2", "kxlgrd.log.3", "kxlgrd.log.4",
                             "kxlgrd.log.5"}) {
        ASSERT_TRUE(std::filesystem::exists(File(name))) << name;
        // Each file rolls once it has reached the size: one line past it at most.
        EXPECT_LT(std::filesystem::file_size(File(name)), 4096u + 300u) << name;
    }
    EXPECT_FALSE(std::filesystem::exists(File("kxlgrd.log.6")));
    // The newest line is in the current file, the one before the roll in .1.
    EXPECT_NE(FileText().find("Roll :: 399 "), std::string::npos);
    EXPECT_EQ(FileText("kxlgrd.log.1").find("Roll :: 399 "), std::string::npos);
}

}  // namespace
}  // namespace ctrltest
