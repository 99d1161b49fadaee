// File requests of several processes at once while the agent changes the policy,
// the trusted-process list and the switches: every request is either passed or
// refused as a whole, records stay well formed, and nothing is left behind.
// These also run under ThreadSanitizer.
#include <atomic>
#include <thread>

#include "tests/driver/preop_fixture.h"

namespace kxtest {
namespace {

class PreopConcurrencyTest : public PreopTest {};

TEST_F(PreopConcurrencyTest, RequestsWhilePolicyAndListsChange) {
    constexpr int kWorkers = 3;
    constexpr int kRounds = 150;
    const Place usb = PlaceOn(flash_);
    std::vector<PEPROCESS> workers;
    for (int t = 0; t < kWorkers; ++t) {
        PutFile(usb, "w" + std::to_string(t) + ".txt", "data");
        winsim::ProcessOptions o;
        o.imagePath = u"\\Device\\HarddiskVolume2\\Apps\\worker" + Wide(std::to_string(t)) + u".exe";
        workers.push_back(machine().StartProcess(o));
    }
    Policy(BDC_USB_DISK, READONLY, 1);
    std::atomic<int> running{kWorkers};
    std::atomic<int> refused{0}, passed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kWorkers; ++t) {
        threads.emplace_back([&, t] {
            const std::string name = "w" + std::to_string(t) + ".txt";
            for (int i = 0; i < kRounds; ++i) {
                winsim::OpenFile* f = nullptr;
                const NTSTATUS open =
                    Open(usb, name, FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_OPEN, &f, workers[t]).status;
                EXPECT_TRUE(open == STATUS_SUCCESS || open == STATUS_ACCESS_DENIED) << std::hex << open;
                if (f != nullptr) {
                    const NTSTATUS write = machine().WriteFile(f, 0, "DATA").status;
                    EXPECT_TRUE(write == STATUS_SUCCESS || write == STATUS_ACCESS_DENIED) << std::hex << write;
                    (write == STATUS_SUCCESS ? passed : refused)++;
                    machine().CloseFile(f);
                } else {
                    refused++;
                }
            }
            running--;
        });
    }
    // The agent: policies, trusted names and the switch change under the requests;
    // the event log is drained as they come.
    int round = 0;
    while (running.load() > 0) {
        Policy(BDC_USB_DISK, static_cast<ULONG>(round % 3), 1);
        if (round % 4 == 0) TextCommand(SET_PROCESSNAME, KX_PROCESS_TRUSTED, u"worker1.exe");
        if (round % 4 == 2) TextCommand(DEL_PROCESSNAME, KX_PROCESS_TRUSTED, u"worker1.exe");
        if (round % 7 == 0) Command(START_DEVICE_PROTECT, round % 14 == 0 ? 0 : 1);
        for (const EVENT_RECORD& r : Drain()) {
            EXPECT_EQ(r.code, (ULONG)POLICY);
            EXPECT_EQ(r.a0, (ULONG)BDC_USB_DISK);
            EXPECT_LE(r.a1, (ULONG)READONLY);
            EXPECT_EQ(Text(r.name).substr(0, 6), u"worker");
        }
        machine().AdvanceClock(100);
        ++round;
        std::this_thread::yield();
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(passed.load() + refused.load(), kWorkers * kRounds);
    Drain();
    // Each file holds what it had or what a passed write put there.
    for (int t = 0; t < kWorkers; ++t) {
        const auto content = Content(usb, "w" + std::to_string(t) + ".txt");
        EXPECT_TRUE(content == std::optional<std::string>("data") || content == std::optional<std::string>("DATA"));
    }
}

}  // namespace
}  // namespace kxtest
