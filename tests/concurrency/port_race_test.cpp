// Clients connecting, commanding and leaving on several threads at once, and
// clients still sending while the driver unloads. These also run under
// ThreadSanitizer.
#include <algorithm>
#include <atomic>
#include <thread>

#include "tests/support/driver_fixture.h"

using kxtest::RawMessage;

namespace {

PEPROCESS ControlProcessNow() {
    return static_cast<PEPROCESS>(
        InterlockedCompareExchangePointer((PVOID volatile*)&Globals.ControlProcess, nullptr, nullptr));
}

class PortRaceTest : public kxtest::DriverTest {
protected:
    bool ConnectAgent() override { return false; }
};

// Agents restarting over and over: whenever a client is connected and has sent
// START, filtering is on and some connected client's process controls the driver;
// no disconnection of another client may undo that.
TEST_F(PortRaceTest, ReconnectingClientsNeverLoseStartOrControl) {
    constexpr int kThreads = 3;
    constexpr int kRounds = 400;
    std::vector<PEPROCESS> processes;
    for (int t = 0; t < kThreads; ++t) {
        winsim::ProcessOptions o;
        o.imagePath = u"\\Device\\HarddiskVolume2\\Agent\\agent" + std::u16string(1, u'0' + t) + u".exe";
        processes.push_back(machine().StartProcess(o));
    }
    std::atomic<int> lostStart{0}, lostControl{0}, foreignControl{0}, refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                winsim::PortConnection* c = nullptr;
                if (!NT_SUCCESS(machine().ConnectPort(processes[t], KX4GRD_PORT_NAME, &c))) {
                    refused++;
                    continue;
                }
                RawMessage start(START);
                uint32_t returned = 0;
                EXPECT_EQ(machine().SendMessage(c, start.data(), start.size(), nullptr, 0, &returned),
                          STATUS_SUCCESS);
                if (ReadNoFence(&Globals.Started) == 0) {
                    lostStart++;
                }
                PEPROCESS control = ControlProcessNow();
                if (control == nullptr) {
                    lostControl++;
                } else if (std::find(processes.begin(), processes.end(), control) == processes.end()) {
                    foreignControl++;
                }
                machine().ClosePort(c);
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(lostStart.load(), 0);
    EXPECT_EQ(lostControl.load(), 0);
    EXPECT_EQ(foreignControl.load(), 0);
    EXPECT_EQ(refused.load(), 0);
    // Everyone has gone: the last disconnection switched everything off.
    EXPECT_EQ(Globals.Started, 0);
    EXPECT_EQ(Globals.ControlProcess, nullptr);
    EXPECT_EQ(machine().PoolAllocations(KX_TAG_CONNECTION), 0u);
}

// Clients keep sending (large protected ids, GET_LOG) while the driver unloads:
// every message either completes before the ports close or is refused as
// disconnected, and the unload leaves no allocation behind.
TEST(PortUnloadRace, ClientsSendingDuringUnloadLeaveNothingBehind) {
    constexpr int kRounds = 12;
    constexpr int kSenders = 2;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        winsim::Machine& m = winsim::Machine::Boot();
        m.RegisterDriverImage(kxtest::kImageName, DriverEntry);
        ASSERT_EQ(m.LoadDriver(kxtest::kServiceName, kxtest::kImageName), STATUS_SUCCESS);
        for (int i = 0; i < 20; ++i) {
            SetLog(nullptr, nullptr, LOG_PROCESS, i, 0, 0, u"\\x\\a.exe", u"\\x\\a.exe");
        }
        std::vector<winsim::PortConnection*> clients(kSenders);
        for (auto& c : clients) {
            ASSERT_EQ(m.ConnectPort(m.SystemProcess(), KX4GRD_PORT_NAME, &c), STATUS_SUCCESS);
        }
        std::atomic<int> sent{0}, unexpected{0};
        std::vector<std::thread> senders;
        for (int t = 0; t < kSenders; ++t) {
            senders.emplace_back([&, t] {
                std::vector<uint8_t> out(8 + 4 * 2280);
                for (ULONG i = 0;; ++i) {
                    RawMessage msg(i % 2 ? (uint64_t)GET_LOG : (uint64_t)SET_PROCESS_PROTECT_PID);
                    msg.Value(200000 + 4 * (t * 100000 + i));
                    uint32_t returned = 0;
                    NTSTATUS status = m.SendMessage(clients[t], msg.data(), msg.size(), out.data(),
                                                    (uint32_t)out.size(), &returned);
                    if (status == STATUS_PORT_DISCONNECTED) {
                        return;
                    }
                    if (status != STATUS_SUCCESS && status != STATUS_UNSUCCESSFUL &&
                        status != STATUS_BUFFER_OVERFLOW) {
                        unexpected++;
                    }
                    sent++;
                }
            });
        }
        while (sent.load() < 50) {
            std::this_thread::yield();
        }
        EXPECT_EQ(m.UnloadDriver(kxtest::kServiceName), STATUS_SUCCESS);
        for (auto& th : senders) {
            th.join();
        }
        for (auto* c : clients) {
            m.ClosePort(c);
        }
        EXPECT_EQ(unexpected.load(), 0);
        EXPECT_EQ(m.PoolAllocations(KX_TAG_PID), 0u);
        winsim::VerifierReport report = m.Verifier();
        EXPECT_TRUE(report.Clean()) << report.ToString();
        winsim::Machine::Shutdown();
    }
}

}  // namespace
