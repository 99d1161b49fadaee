// The notification receive thread with a stand-in FilterGetMessage: it pauses
// between receives (also failed ones), ends when its flag is cleared or its port
// handle is gone, and cuts unterminated name fields inside the record.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "ctrl/diag_log.h"
#include "ctrl/interface.h"
#include "winsim/winsim.h"

namespace {

std::atomic<int> g_receives{0};
std::atomic<HRESULT> g_answer{E_FAIL};
std::atomic<bool> g_fillUnterminated{false};

HRESULT WINAPI FakeGetMessage(HANDLE, PFILTER_MESSAGE_HEADER buffer, DWORD size, LPOVERLAPPED) {
    ++g_receives;
    if (g_fillUnterminated.load() && SUCCEEDED(g_answer.load())) {
        // A sender that fills every byte: no terminator in either name field.
        auto* message = reinterpret_cast<NOTIFY_MESSAGE*>(buffer);
        std::memset(buffer, 0, size);
        message->processId = 500;
        std::fill(std::begin(message->processName), std::end(message->processName), WCHAR('n'));
        std::fill(std::begin(message->processPath), std::end(message->processPath), WCHAR('p'));
    }
    return g_answer.load();
}

bool WaitFor(const std::function<bool()>& pred, int seconds = 10) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class NotifyThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_receives = 0;
        g_answer = E_FAIL;
        g_fillUnterminated = false;
        machine_ = &winsim::Machine::Boot();
        winsim::VolumeOptions c;
        c.dosName = u"C:";
        machine_->AddVolume(c);
        host_ = machine_->StartHost({});
        iface_.filterGetMessage_ = &FakeGetMessage;
        // Any non-null value: the stand-in never looks at it.
        iface_.port_.store(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x1234)));
    }
    void TearDown() override {
        iface_.port_.store(INVALID_HANDLE_VALUE);
        machine_->RunAsHost(host_, [&] { iface_.StopGetMessageThread(); });
        EXPECT_TRUE(ThreadsEnded());
        EXPECT_EQ(machine_->UserHandleCount(host_), 0u);
        winsim::VerifierReport report = machine_->Verifier();
        EXPECT_TRUE(report.Clean()) << report.ToString();
        winsim::Machine::Shutdown();
    }

    void Start() {
        machine_->RunAsHost(host_, [&] { iface_.StartGetMessageThread(77); });
        ASSERT_NE(iface_.notifyThread_, nullptr);
        EXPECT_EQ(iface_.notifyContext_, 77u);
    }

    // The machine counts a thread until its bookkeeping ends, a moment after its
    // handle is signalled; a thread that was joined is gone within that moment.
    bool ThreadsEnded() {
        return WaitFor([&] { return machine_->UserThreadCount(host_) == 0; });
    }

    winsim::Machine* machine_ = nullptr;
    PEPROCESS host_ = nullptr;
    CInterface iface_;
};

TEST_F(NotifyThreadTest, FailedReceivesArePausedNotSpun) {
    const uint64_t start = machine_->TickCount();
    Start();
    ASSERT_TRUE(WaitFor([] { return g_receives.load() >= 5; }));
    // Four pauses of 500 ms lie between the first and the fifth receive.
    const uint64_t elapsedMs = (machine_->TickCount() - start) * winsim::Machine::kTimeIncrement / 10000;
    EXPECT_GE(elapsedMs, 1900u);
    EXPECT_EQ(machine_->UserThreadCount(host_), 1u);
    machine_->RunAsHost(host_, [&] { iface_.StopGetMessageThread(); });
    EXPECT_TRUE(ThreadsEnded());
    EXPECT_EQ(iface_.notifyThread_, nullptr);
    EXPECT_EQ(iface_.notifyWakeEvent_, nullptr);
}

TEST_F(NotifyThreadTest, StartingTwiceKeepsOneThread) {
    Start();
    HANDLE first = iface_.notifyThread_;
    machine_->RunAsHost(host_, [&] { iface_.StartGetMessageThread(78); });
    EXPECT_EQ(iface_.notifyThread_, first);
    EXPECT_EQ(machine_->UserThreadCount(host_), 1u);
}

TEST_F(NotifyThreadTest, TheLoopEndsWhenTheHandleIsNoLongerAPort) {
    g_answer = E_HANDLE;  // what a receive on a closed handle answers
    Start();
    ASSERT_TRUE(WaitFor([&] { return machine_->UserThreadCount(host_) == 0; }));
    EXPECT_EQ(g_receives.load(), 1);
}

TEST_F(NotifyThreadTest, TheLoopEndsWhenThePortIsMarkedClosedDuringAPause) {
    Start();
    ASSERT_TRUE(WaitFor([] { return g_receives.load() >= 1; }));
    iface_.port_.store(INVALID_HANDLE_VALUE);
    const int atClose = g_receives.load();
    // The flag is still set: only the missing handle ends the loop, after at most
    // the receive already under way.
    ASSERT_TRUE(WaitFor([&] { return machine_->UserThreadCount(host_) == 0; }));
    EXPECT_LE(g_receives.load(), atClose + 1);
    EXPECT_TRUE(iface_.notifyRunning_.load());
}

TEST_F(NotifyThreadTest, ANotificationWithUnterminatedNamesIsLoggedCutInsideItsFields) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "kx4_notify_test";
    std::filesystem::create_directories(dir);
    const std::string logFile = (dir / "kxlgrd.log").string();
    std::filesystem::remove(logFile);
    DiagLogger::Instance().ResetForTesting();
    DiagLogger::Instance().SwitchOn(logFile);

    g_answer = S_OK;
    g_fillUnterminated = true;
    Start();
    ASSERT_TRUE(WaitFor([] { return g_receives.load() >= 2; }));
    machine_->RunAsHost(host_, [&] { iface_.StopGetMessageThread(); });
    DiagLogger::Instance().ResetForTesting();

    std::ifstream in(logFile);
    std::stringstream text;
    text << in.rdbuf();
    const std::string expected = "ProcessName[" + std::string(259, 'n') + "], ProcessPath[" + std::string(511, 'p') + "]";
    EXPECT_NE(text.str().find("FilterGetMessage, [500], " + expected), std::string::npos) << text.str().substr(0, 400);
    std::filesystem::remove_all(dir);
}

}  // namespace
