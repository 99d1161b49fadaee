// Both protections at once: handle opens and key opens on eight threads while the
// protected-name and key lists change and both protections toggle, then an unload
// with the openers still running. No callback runs after the unload and nothing
// is left behind. Also runs under ThreadSanitizer.
#include <atomic>
#include <chrono>
#include <thread>

#include "tests/support/driver_fixture.h"

using kxtest::RawMessage;

namespace {

constexpr char16_t kSettings[] = u"\\Registry\\Machine\\Software\\Zarquel\\Settings";

class SelfProtectionConcurrencyTest : public kxtest::DriverTest {
protected:
    void BeforeLoad() override { machine().RegCreateKey(kSettings); }
};

TEST_F(SelfProtectionConcurrencyTest, HandleAndKeyOpensWhileBothProtectionsToggleThenUnload) {
    winsim::ProcessOptions o;
    o.imagePath = u"\\Device\\HarddiskVolume2\\Agent\\kx4grdputool.exe";
    PEPROCESS tool = machine().StartProcess(o);
    const uint32_t toolPid = machine().ProcessId(tool);
    o.imagePath = u"\\Device\\HarddiskVolume2\\Windows\\regedit.exe";
    PEPROCESS regedit = machine().StartProcess(o);

    for (uint64_t command : {SET_PROCESS_PROTECT, SET_REG_PROTECT}) {
        RawMessage on(command);
        on.State(1);
        ASSERT_EQ(Send(on).status, STATUS_SUCCESS);
    }
    winsim::PortConnection* lists = Connect(agent_);
    winsim::PortConnection* toggles = Connect(agent_);
    ASSERT_NE(lists, nullptr);
    ASSERT_NE(toggles, nullptr);

    std::atomic<bool> stopCommands{false}, stopOpeners{false};
    std::atomic<int> handleRefusals{0}, keyRefusals{0}, unexpected{0};
    std::vector<std::thread> openers;
    for (int t = 0; t < 4; ++t) {
        openers.emplace_back([&, t] {
            winsim::ProcessOptions mine;
            mine.imagePath = u"\\Device\\HarddiskVolume2\\Tools\\opener" + std::u16string(1, u'0' + t) + u".exe";
            PEPROCESS self = machine().StartProcess(mine);
            while (!stopOpeners.load()) {
                winsim::HandleResult r = machine().OpenProcess(self, toolPid, PROCESS_TERMINATE | PROCESS_VM_READ);
                if (!NT_SUCCESS(r.status) || (r.granted & PROCESS_VM_READ) == 0) unexpected++;
                if ((r.granted & PROCESS_TERMINATE) == 0) handleRefusals++;
                machine().CloseHandle(r.handle);
            }
        });
        openers.emplace_back([&] {
            while (!stopOpeners.load()) {
                winsim::KeyOpenRequest request;
                request.name = kSettings;
                HANDLE key = nullptr;
                const NTSTATUS status = machine().OpenKey(regedit, request, &key);
                if (status == STATUS_ACCESS_DENIED) {
                    keyRefusals++;
                } else if (status != STATUS_SUCCESS) {
                    unexpected++;
                }
                if (key != nullptr) machine().CloseKey(key);
            }
        });
    }
    std::thread listChanges([&] {
        for (int i = 0; !stopCommands.load(); ++i) {
            RawMessage name(i % 2 == 0 ? SET_PROCESS_PROTECT_PROCESSNAME : DEL_PROCESS_PROTECT_PROCESSNAME);
            name.UlType(KX_PROCESS_PROTECTED).Text(u"opener");
            SendOn(lists, name);
            RawMessage key(i % 2 == 0 ? DEL_REG_KEY : SET_REG_KEY);
            key.Text(u"SOFTWARE\\Zarquel");
            SendOn(lists, key);
        }
    });
    std::thread protectionToggles([&] {
        for (int i = 0; !stopCommands.load(); ++i) {
            RawMessage process(SET_PROCESS_PROTECT);
            process.State(i % 2);
            SendOn(toggles, process);
            RawMessage registry(SET_REG_PROTECT);
            registry.State((i / 2) % 2);
            SendOn(toggles, registry);
        }
    });

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((handleRefusals.load() < 5 || keyRefusals.load() < 5) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_GE(handleRefusals.load(), 5);
    EXPECT_GE(keyRefusals.load(), 5);
    stopCommands = true;
    listChanges.join();
    protectionToggles.join();

    // Unload with every opener still going: both unregistrations wait for the
    // callbacks in progress, and none starts afterwards.
    Unload();
    const uint64_t objectCallsAtUnload = machine().ObPreCallbacksRun();
    EXPECT_EQ(machine().ObCallbackRegistrations(), 0u);
    EXPECT_EQ(machine().RegistryCallbacks(), 0u);
    machine().ClearDebugOutput();
    for (int i = 0; i < 2000; ++i) std::this_thread::yield();
    stopOpeners = true;
    for (auto& th : openers) th.join();
    EXPECT_EQ(machine().ObPreCallbacksRun(), objectCallsAtUnload);
    EXPECT_FALSE(machine().DebugContains("RegFltCallback")) << "a registry callback ran after unload";
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_EQ(machine().KeyObjectsAlive(), 0u);
    EXPECT_EQ(machine().PoolAllocations(winsim::PoolTag("pfsc")), 0u);
    EXPECT_EQ(machine().PoolAllocations(winsim::PoolTag("ppsc")), 0u);
}

}  // namespace
