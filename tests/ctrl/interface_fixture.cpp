#include "tests/ctrl/interface_fixture.h"

#include <log4cpp/Category.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/StringQueueAppender.hh>

#include <algorithm>

namespace ctrltest {

namespace {
constexpr char kCaptureName[] = "ctrltest-capture";
}

LogCapture::LogCapture() {
    auto* appender = new log4cpp::StringQueueAppender(kCaptureName);
    auto* layout = new log4cpp::PatternLayout();
    layout->setConversionPattern("%m");
    appender->setLayout(layout);
    log4cpp::Category& category = log4cpp::Category::getInstance(kDiagCategoryName);
    category.setPriority(kDiagPriority);
    category.addAppender(appender);
    appender_ = appender;
}

LogCapture::~LogCapture() {
    log4cpp::Category& category = log4cpp::Category::getInstance(kDiagCategoryName);
    category.removeAppender(static_cast<log4cpp::Appender*>(appender_));
}

std::vector<std::string> LogCapture::Lines() const {
    auto* appender = static_cast<log4cpp::StringQueueAppender*>(appender_);
    std::vector<std::string> lines;
    // The queue is read while no line is being logged (tests read after the calls).
    std::queue<std::string> copy = appender->getQueue();
    while (!copy.empty()) {
        lines.push_back(copy.front());
        copy.pop();
    }
    return lines;
}

bool LogCapture::Contains(const std::string& text) const { return Count(text) != 0; }

size_t LogCapture::Count(const std::string& text) const {
    size_t n = 0;
    for (const std::string& line : Lines()) {
        if (line.find(text) != std::string::npos) {
            ++n;
        }
    }
    return n;
}

std::string LogCapture::All() const {
    std::string all;
    for (const std::string& line : Lines()) {
        all += line;
        if (all.empty() || all.back() != '\n') {
            all += '\n';
        }
    }
    return all;
}

void LogCapture::Clear() {
    auto* appender = static_cast<log4cpp::StringQueueAppender*>(appender_);
    while (appender->queueSize() != 0) {
        appender->popMessage();
    }
}

void CtrlTest::SetUp() {
    DiagLogger::Instance().ResetForTesting();
    DiagLogger::SetMaxFileSizeForTesting(0);
    machine_ = &winsim::Machine::Boot();
    system_ = machine_->AddVolume({winsim::VolumeKind::LocalDisk});  // C: \Device\HarddiskVolume2
    winsim::HostOptions host;
    host.imagePath = u"C:\\Program Files\\Agent\\agent.exe";
    host_ = machine_->StartHost(host);
}

void CtrlTest::TearDown() {
    DestroyInterface();
    // Nothing the library opened stays open in the host.
    EXPECT_EQ(machine_->UserHandleCount(host_), 0u) << ::testing::PrintToString(machine_->UserHandles(host_));
    EXPECT_EQ(machine_->UserThreadCount(host_), 0u);
    if (TestPortLoaded()) {
        EXPECT_EQ(UnloadTestPort(), STATUS_SUCCESS);
    }
    winsim::VerifierReport report = machine_->Verifier();
    EXPECT_TRUE(report.Clean()) << report.ToString();
    winsim::Machine::Shutdown();
    DiagLogger::Instance().ResetForTesting();
    DiagLogger::SetMaxFileSizeForTesting(0);
}

void CtrlTest::ConnectInterface() {
    ASSERT_EQ(LoadTestPort(), STATUS_SUCCESS);
    bool ok = false;
    AsHost([&] {
        iface_ = new CInterface();
        ok = iface_->Init(nullptr) && iface_->OpenEx();
    });
    ASSERT_TRUE(ok);
    std::vector<PortMessage> opening = TakePortMessages();
    ASSERT_EQ(opening.size(), 1u);
    ASSERT_EQ(opening[0].command(), 3u);  // CLEAR
    kxctrl_test::SetInterfaceForTesting(iface_);
}

void CtrlTest::DestroyInterface() {
    kxctrl_test::SetInterfaceForTesting(nullptr);
    if (iface_ != nullptr) {
        AsHost([&] { delete iface_; });
        iface_ = nullptr;
    }
}

std::filesystem::path CtrlTest::HostPathOnC(const std::string& windowsRelative) const {
    std::string relative = windowsRelative;
    std::replace(relative.begin(), relative.end(), '\\', '/');
    return std::filesystem::path(system_.hostDir) / relative;
}

void CtrlTest::AsHost(const std::function<void()>& fn) { machine_->RunAsHost(host_, fn); }

}  // namespace ctrltest
