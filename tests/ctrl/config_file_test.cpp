// The local configuration beside the host executable: which documents switch the
// diagnostic log file on, the result codes and the lines logged on the way.
#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "ctrl/local_conf.h"
#include "tests/ctrl/interface_fixture.h"

namespace ctrltest {
namespace {

constexpr char kModuleDirectory[] = "C:\\Program Files\\Agent";

class ConfigTest : public CtrlTest {
protected:
    void SetUp() override {
        CtrlTest::SetUp();
        std::filesystem::create_directories(HostPathOnC("Program Files\\Agent"));
    }

    void WriteConfig(const std::string& text) {
        std::ofstream(HostPathOnC("Program Files\\Agent\\kx4local.conf"), std::ios::binary) << text;
    }

    ULONG GetConfig(const std::string& directory = kModuleDirectory) {
        ULONG result = 99;
        AsHost([&] { result = CLocalConf::GetConfig(directory, configPath_); });
        return result;
    }

    bool LogFileExists() const { return std::filesystem::exists(HostPathOnC("Program Files\\Agent\\kxlgrd.log")); }

    std::string LogFileText() const {
        std::ifstream in(HostPathOnC("Program Files\\Agent\\kxlgrd.log"), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Parses text as GetConfig would and reads the setting (no file involved).
    static int Setting(const std::string& text, bool* parsed = nullptr) {
        return CLocalConf::DebugSetting(text, parsed);
    }

    std::string configPath_;
};

TEST_F(ConfigTest, WithoutAFileNothingIsLoggedToAFile) {
    LogCapture log;
    EXPECT_EQ(GetConfig(), 0u);
    EXPECT_EQ(configPath_, "C:\\Program Files\\Agent\\kx4local.conf");
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                               "CLocalConf::GetConfig :: (C:\\Program Files\\Agent\\kx4local.conf)",
                               "CLocalConf::GetConfig :: policy json file open fail",
                           }));
    EXPECT_FALSE(DiagLogger::Instance().FileLoggingOn());
    EXPECT_FALSE(LogFileExists());
}

TEST_F(ConfigTest, NumberOneSwitchesTheLogFileOnBesideTheHostExecutable) {
    WriteConfig("{\"debug\": {\"kx4grd\": 1}}");
    testing::internal::CaptureStdout();
    EXPECT_EQ(GetConfig(), 0u);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "log_name_(C:\\Program Files\\Agent\\kxlgrd.log) debug_type(2) show_debug(1) logfilesize(41943040)\n");
    EXPECT_TRUE(DiagLogger::Instance().FileLoggingOn());
    EXPECT_EQ(DiagLogger::Instance().LogFilePath(), "C:\\Program Files\\Agent\\kxlgrd.log");
    EXPECT_EQ(DiagLogger::Instance().LogDirectory(), "C:\\Program Files\\Agent");
    EXPECT_EQ(DiagLogger::Instance().LogFileName(), "kxlgrd.log");
    ASSERT_TRUE(LogFileExists());
    // The first line of the file is the switch-on's own, in the file's pattern:
    // log4cpp's default date, the category, "::", the priority name, the message.
    const std::regex line(
        "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2},\\d{3} kxlgrd::DEBUG "
        "CLocalConf::GetConfig :: logfile_name\\(C:\\\\Program Files\\\\Agent\\\\kxlgrd\\.log\\)\n");
    EXPECT_TRUE(std::regex_match(LogFileText(), line)) << LogFileText();
}

TEST_F(ConfigTest, StringOneSwitchesItOnToo) {
    WriteConfig("{\"debug\": {\"kx4grd\": \"1\"}}");
    EXPECT_EQ(GetConfig(), 0u);
    EXPECT_TRUE(DiagLogger::Instance().FileLoggingOn());
    EXPECT_TRUE(LogFileExists());
}

TEST_F(ConfigTest, ZeroMissingAndOtherTypesLeaveItOff) {
    for (const char* text : {
             "{\"debug\": {\"kx4grd\": 0}}",
             "{\"debug\": {\"kx4grd\": \"0\"}}",
             "{\"debug\": {}}",
             "{\"debug\": {\"kx4grd\": null}}",
             "{\"debug\": {\"kx4grd\": true}}",
             "{\"debug\": {\"kx4grd\": [1]}}",
             "{\"debug\": {\"kx4grd\": 1.5}}",
             "{\"debug\": 1}",
             "{\"other\": {\"kx4grd\": 1}}",
         }) {
        WriteConfig(text);
        EXPECT_EQ(GetConfig(), 0u) << text;
        EXPECT_FALSE(DiagLogger::Instance().FileLoggingOn()) << text;
    }
    EXPECT_FALSE(LogFileExists());
}

TEST_F(ConfigTest, MalformedJsonAnswers17AndLeavesItOff) {
    LogCapture log;
    for (const char* text : {"{\"debug\": {\"kx4grd\": 1}", "debug = 1", "", "{\"debug\": {\"kx4grd\": 01x}}"}) {
        WriteConfig(text);
        log.Clear();
        EXPECT_EQ(GetConfig(), 17u) << text;
        EXPECT_TRUE(log.Contains("CLocalConf::GetConfig :: policy json parser error")) << text << log.All();
    }
    EXPECT_FALSE(DiagLogger::Instance().FileLoggingOn());
    EXPECT_FALSE(LogFileExists());
}

TEST_F(ConfigTest, CommentsAreAllowed) {
    WriteConfig(
        "// local settings\n"
        "{\n"
        "  /* diagnostic log */ \"debug\": {\n"
        "    \"kx4grd\": 1 // on\n"
        "  }\n"
        "}\n");
    EXPECT_EQ(GetConfig(), 0u);
    EXPECT_TRUE(DiagLogger::Instance().FileLoggingOn());
}

TEST_F(ConfigTest, ARootThatIsNotAnObjectReadsAsZero) {
    LogCapture log;
    for (const char* text : {"[1, 2]", "1", "\"debug\"", "null", "[{\"debug\": {\"kx4grd\": 1}}]"}) {
        WriteConfig(text);
        EXPECT_EQ(GetConfig(), 0u) << text;
    }
    EXPECT_FALSE(DiagLogger::Instance().FileLoggingOn());
    EXPECT_EQ(log.Count("catch"), 0u) << log.All();  // no exception on the way
}

TEST_F(ConfigTest, NumbersSaturateAtTheIntRange) {
    EXPECT_EQ(Setting("{\"debug\": {\"kx4grd\": \"99999999999999999999\"}}"), INT_MAX);
    EXPECT_EQ(Setting("{\"debug\": {\"kx4grd\": \"-99999999999999999999\"}}"), INT_MIN);
    EXPECT_EQ(Setting("{\"debug\": {\"kx4grd\": \"2147483647\"}}"), INT_MAX);
    EXPECT_EQ(Setting("{\"debug\": {\"kx4grd\": \"-2147483648\"}}"), INT_MIN);
    EXPECT_EQ(Setting("{\"debug\": {\"kx4grd\": 3000000000}}"), INT_MAX);
    EXPECT_EQ(Setting("{\"debug\": {\"kx4grd\": -3000000000}}"), INT_MIN);
    EXPECT_EQ(Setting("{\"debug\": {\"kx4grd\": 18446744073709551615}}"), INT_MAX);
    EXPECT_EQ(Setting("{\"debug\": {\"kx4grd\": 2.0}}"), 2);
    // A saturated value is non-zero: the file goes on.
    WriteConfig("{\"debug\": {\"kx4grd\": \"99999999999999999999\"}}");
    EXPECT_EQ(GetConfig(), 0u);
    EXPECT_TRUE(DiagLogger::Instance().FileLoggingOn());
}

TEST_F(ConfigTest, DecimalStringsTakeBlanksSignAndDigits) {
    EXPECT_EQ(CLocalConf::ParseDecimal("  +42"), 42);
    EXPECT_EQ(CLocalConf::ParseDecimal("\t-7"), -7);
    EXPECT_EQ(CLocalConf::ParseDecimal("12abc"), 12);
    EXPECT_EQ(CLocalConf::ParseDecimal("abc"), 0);
    EXPECT_EQ(CLocalConf::ParseDecimal(""), 0);
    EXPECT_EQ(CLocalConf::ParseDecimal("- 1"), 0);
    EXPECT_EQ(CLocalConf::ParseDecimal("+"), 0);
    EXPECT_EQ(CLocalConf::ParseDecimal("0x10"), 0);
    EXPECT_EQ(CLocalConf::ParseDecimal("0000000000000000000000000001"), 1);
}

TEST_F(ConfigTest, DeepNestingIsAParseFailureNotACrash) {
    LogCapture log;
    WriteConfig(std::string(5000, '[') + std::string(5000, ']'));
    EXPECT_EQ(GetConfig(), 17u);
    EXPECT_FALSE(DiagLogger::Instance().FileLoggingOn());
}

TEST_F(ConfigTest, ALaterConfigurationKeepsTheFirstLogFile) {
    WriteConfig("{\"debug\": {\"kx4grd\": 1}}");
    EXPECT_EQ(GetConfig(), 0u);
    std::filesystem::create_directories(HostPathOnC("Other"));
    std::ofstream(HostPathOnC("Other\\kx4local.conf")) << "{\"debug\": {\"kx4grd\": 1}}";
    EXPECT_EQ(GetConfig("C:\\Other"), 0u);
    EXPECT_FALSE(std::filesystem::exists(HostPathOnC("Other\\kxlgrd.log")));
    // The second switch-on's line still goes to the first file.
    EXPECT_NE(LogFileText().find("logfile_name(C:\\Other\\kxlgrd.log)"), std::string::npos) << LogFileText();
}

}  // namespace
}  // namespace ctrltest
