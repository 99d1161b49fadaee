// Process protection under load: handle opens and duplicates on several threads
// while the protected-name list changes and protection toggles, then an unload
// with the openers still running. These also run under ThreadSanitizer.
#include <atomic>
#include <chrono>
#include <thread>

#include "driver/protect/process_protect.h"
#include "tests/support/driver_fixture.h"

using kxtest::RawMessage;

namespace {

class ProcessProtectConcurrencyTest : public kxtest::DriverTest {};

TEST_F(ProcessProtectConcurrencyTest, OpensWhileListsChangeAndProtectionTogglesThenUnload) {
    winsim::ProcessOptions o;
    o.imagePath = u"\\Device\\HarddiskVolume2\\Apps\\guarded.exe";
    PEPROCESS guarded = machine().StartProcess(o);
    o.imagePath = u"\\Device\\HarddiskVolume2\\Agent\\kx4grdputool.exe";
    PEPROCESS tool = machine().StartProcess(o);
    PETHREAD toolThread = machine().CreateThread(tool);
    const uint32_t guardedPid = machine().ProcessId(guarded);
    const uint32_t toolPid = machine().ProcessId(tool);
    const uint32_t toolThreadId = machine().ThreadId(toolThread);

    RawMessage on(SET_PROCESS_PROTECT);
    on.State(1);
    ASSERT_EQ(Send(on).status, STATUS_SUCCESS);
    winsim::PortConnection* second = Connect(agent_);
    ASSERT_NE(second, nullptr);

    constexpr int kOpeners = 4;
    std::atomic<bool> stopCommands{false};
    std::atomic<bool> stopOpeners{false};
    std::atomic<int> toolRestricted{0};
    std::atomic<int> violations{0};
    std::vector<std::thread> openers;
    for (int t = 0; t < kOpeners; ++t) {
        openers.emplace_back([&, t] {
            winsim::ProcessOptions mine;
            mine.imagePath = u"\\Device\\HarddiskVolume2\\Tools\\opener" + std::u16string(1, u'0' + t) + u".exe";
            PEPROCESS self = machine().StartProcess(mine);
            while (!stopOpeners.load()) {
                winsim::HandleResult r = machine().OpenProcess(self, toolPid, PROCESS_TERMINATE | PROCESS_VM_READ);
                // Only the terminate right can ever be taken.
                if ((r.granted & PROCESS_VM_READ) == 0) violations++;
                if ((r.granted & PROCESS_TERMINATE) == 0) toolRestricted++;
                winsim::HandleResult d = machine().DuplicateHandle(self, r.handle, nullptr, PROCESS_SUSPEND_RESUME);
                machine().CloseHandle(d.handle);
                machine().CloseHandle(r.handle);
                r = machine().OpenProcess(self, guardedPid, PROCESS_TERMINATE);
                machine().CloseHandle(r.handle);
                r = machine().OpenThread(self, toolThreadId, THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT);
                if ((r.granted & THREAD_GET_CONTEXT) == 0) violations++;
                machine().CloseHandle(r.handle);
            }
        });
    }
    std::thread names([&] {
        for (int i = 0; !stopCommands.load(); ++i) {
            RawMessage m(i % 2 == 0 ? SET_PROCESS_PROTECT_PROCESSNAME : DEL_PROCESS_PROTECT_PROCESSNAME);
            m.UlType(KX_PROCESS_PROTECTED).Text(i % 4 < 2 ? u"guarded" : u"gua");
            SendOn(second, m);
        }
    });
    std::thread toggles([&] {
        for (int i = 0; !stopCommands.load(); ++i) {
            RawMessage m(SET_PROCESS_PROTECT);
            m.State(i % 2);
            Send(m);
        }
    });

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (toolRestricted.load() < 50 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    EXPECT_GE(toolRestricted.load(), 50);
    stopCommands = true;
    names.join();
    toggles.join();
    ASSERT_EQ(Send(on).status, STATUS_SUCCESS);

    // Unload while the openers keep going: unregistration waits for the calls in
    // progress, and none starts afterwards.
    Unload();
    const uint64_t callsAtUnload = machine().ObPreCallbacksRun();
    EXPECT_EQ(machine().ObCallbackRegistrations(), 0u);
    for (int i = 0; i < 2000; ++i) std::this_thread::yield();
    stopOpeners = true;
    for (auto& th : openers) th.join();
    EXPECT_EQ(machine().ObPreCallbacksRun(), callsAtUnload);
    EXPECT_EQ(violations.load(), 0);
    EXPECT_EQ(ReadNoFence(&ProcessProtectActive), 0);
}

}  // namespace
