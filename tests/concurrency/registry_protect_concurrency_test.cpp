// Key opens on several threads while the protected-key list changes and the
// protection toggles, then unload: no callback runs afterwards, nothing leaks.
// These also run under ThreadSanitizer.
#include <atomic>
#include <thread>

#include "tests/support/driver_fixture.h"

using kxtest::RawMessage;

namespace {

constexpr char16_t kSettings[] = u"\\Registry\\Machine\\Software\\Zarquel\\Settings";
constexpr char16_t kOther[] = u"\\Registry\\Machine\\Software\\Other";

class RegistryConcurrencyTest : public kxtest::DriverTest {
protected:
    void BeforeLoad() override {
        machine().RegCreateKey(kSettings);
        machine().RegCreateKey(kOther);
    }
    NTSTATUS Open(PEPROCESS p, const char16_t* name, HANDLE parent = nullptr) {
        winsim::KeyOpenRequest r;
        r.name = name;
        r.parent = parent;
        HANDLE key = nullptr;
        NTSTATUS status = machine().OpenKey(p, r, &key);
        if (key != nullptr) machine().CloseKey(key);
        return status;
    }
};

TEST_F(RegistryConcurrencyTest, OpensWhileKeysChangeAndProtectionTogglesThenUnload) {
    winsim::ProcessOptions o;
    o.imagePath = u"\\Device\\HarddiskVolume2\\Windows\\regedit.exe";
    PEPROCESS regedit = machine().StartProcess(o);
    o.imagePath = u"\\Device\\HarddiskVolume2\\Windows\\notepad.exe";
    PEPROCESS notepad = machine().StartProcess(o);
    {
        RawMessage m(SET_REG_PROTECT);
        m.State(1);
        ASSERT_EQ(Send(m).status, STATUS_SUCCESS);
    }
    winsim::KeyOpenRequest r;
    r.name = u"\\Registry\\Machine\\Software";
    HANDLE software = nullptr;
    ASSERT_EQ(machine().OpenKey(regedit, r, &software), STATUS_SUCCESS);

    std::atomic<bool> stop{false};
    std::atomic<int> denied{0}, unexpected{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                NTSTATUS s;
                if (t % 3 == 0) {
                    s = Open(notepad, kSettings);
                    if (s != STATUS_SUCCESS) ++unexpected;
                } else if (t % 3 == 1) {
                    s = Open(regedit, kSettings);
                    if (s == STATUS_ACCESS_DENIED) ++denied;
                    else if (s != STATUS_SUCCESS) ++unexpected;
                } else {
                    s = Open(regedit, i % 2 ? kOther : u"Zarquel\\Settings", i % 2 ? nullptr : software);
                    if (s == STATUS_ACCESS_DENIED) ++denied;
                    else if (s != STATUS_SUCCESS) ++unexpected;
                }
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; !stop; ++i) {
            RawMessage m(i % 2 ? DEL_REG_KEY : SET_REG_KEY);
            m.Text(i % 4 < 2 ? u"Zarquel" : u"SOFTWARE\\Zarquel\\Settings");
            EXPECT_EQ(Send(m).status, STATUS_SUCCESS);
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; !stop; ++i) {
            RawMessage m(SET_REG_PROTECT);
            m.State(i % 2);
            EXPECT_EQ(Send(m).status, STATUS_SUCCESS);
        }
    });
    for (int t = 0; t < 6; ++t) threads[t].join();
    stop = true;
    threads[6].join();
    threads[7].join();
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_GT(denied.load(), 0);
    machine().CloseKey(software);
    EXPECT_EQ(machine().KeyObjectsAlive(), 0u);

    Unload();
    EXPECT_EQ(machine().RegistryCallbacks(), 0u);
    EXPECT_EQ(machine().PoolAllocations(winsim::PoolTag("pfsc")), 0u);
    machine().ClearDebugOutput();
    EXPECT_EQ(Open(regedit, kSettings), STATUS_SUCCESS);
    EXPECT_FALSE(machine().DebugContains("RegFltCallback")) << "a callback ran after unload";
}

}  // namespace
