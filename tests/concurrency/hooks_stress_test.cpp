// The hook framework under load: eight threads send requests to interposed
// targets while two clients toggle SET_HOOK and SET_POLICY, then the driver
// unloads. Also runs under ThreadSanitizer.
#include <atomic>
#include <thread>
#include <vector>

#include "tests/driver/hooks_fixture.h"

using hooktest::HooksTest;

namespace {

struct StressTarget {
    const char16_t* name;
    UCHAR major;
    uint32_t type;
    NTSTATUS refusal;
};

const StressTarget kStressTargets[] = {
    {u"ohci1394", IRP_MJ_DEVICE_CONTROL, BDC_1394, STATUS_INVALID_DEVICE_REQUEST},
    {u"Serenum", IRP_MJ_WRITE, BDC_SERIAL, STATUS_UNSUCCESSFUL},
    {u"Parport", IRP_MJ_WRITE, BDC_PARALLEL, STATUS_UNSUCCESSFUL},
    {u"modem", IRP_MJ_WRITE, BDC_MODEM, STATUS_UNSUCCESSFUL},
    {u"WudfRd", IRP_MJ_DEVICE_CONTROL, BDC_MTP, STATUS_UNSUCCESSFUL},
};

constexpr NTSTATUS kTargetStatus = (NTSTATUS)0x40000555L;

TEST_F(HooksTest, RequestsWhileSetHookAndSetPolicyToggleCompleteExactlyOnceAndUnloadIsClean) {
    for (const StressTarget& t : kStressTargets) {
        ASSERT_EQ(machine().LoadTargetDriver(t.name), STATUS_SUCCESS);
        winsim::TargetBehavior b;
        b.status = kTargetStatus;
        machine().SetTargetBehavior(t.name, b);
        // Half the writes pend and complete from another thread.
        winsim::TargetBehavior pend = b;
        pend.action = winsim::TargetAction::Pend;
        pend.pendMs = 1;
        if (t.major == IRP_MJ_WRITE) machine().SetTargetBehavior(t.name, t.major, pend);
    }
    SetDebugLevel(0);  // keeps the captured output small; the traces are tested elsewhere
    StartFiltering();
    winsim::PortConnection* hooks = Connect(agent_);
    winsim::PortConnection* policies = Connect(agent_);
    ASSERT_NE(hooks, nullptr);
    ASSERT_NE(policies, nullptr);

    // Nothing installed yet: everything reaches the targets.
    for (const StressTarget& t : kStressTargets) {
        ASSERT_EQ(SetPolicy(t.type, DISABLE, 0).status, STATUS_SUCCESS);
        winsim::DeviceRequest r;
        r.major = t.major;
        r.input = {1};
        EXPECT_EQ(machine().SendRequest(t.name, r).status, kTargetStatus);
    }

    constexpr int kSenders = 8;
    constexpr int kToggles = 1000;
    std::atomic<bool> stop{false};
    // Set once every policy is DISABLE with both families installed: from then on
    // every request must be refused.
    std::atomic<bool> finalPhase{false};
    std::atomic<unsigned> passedInFinalPhase{0};
    std::atomic<unsigned> sent{0}, passed{0}, refused{0}, wrong{0}, incomplete{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            winsim::ProcessOptions o;
            o.imagePath = u"\\Device\\HarddiskVolume2\\Tools\\sender" + std::u16string(1, u'0' + s) + u".exe";
            PEPROCESS self = machine().StartProcess(o);
            unsigned i = 0;
            unsigned afterFinal = 0;
            while (!stop.load() || i < 200 || afterFinal < 20) {
                const bool inFinalPhase = finalPhase.load();
                const StressTarget& t = kStressTargets[(i + s) % KX_COUNTOF(kStressTargets)];
                winsim::DeviceRequest r;
                r.major = t.major;
                r.ioControlCode = 0x00228340;
                r.input = std::vector<uint8_t>(49, 0xDD);
                r.fileObject = machine().ConnectionFileObject(static_cast<uint32_t>(s));
                r.process = self;
                r.userMode = true;
                r.irql = (i % 4 == 3) ? DISPATCH_LEVEL : PASSIVE_LEVEL;
                winsim::DeviceRequestResult result = machine().SendRequest(t.name, r);
                sent++;
                if (!result.completed) {
                    incomplete++;
                } else if (result.status == kTargetStatus) {
                    passed++;
                } else if (result.status == t.refusal) {
                    refused++;
                } else {
                    wrong++;
                }
                if (inFinalPhase) {
                    ++afterFinal;
                    if (result.status != t.refusal) passedInFinalPhase++;
                }
                ++i;
            }
        });
    }

    std::atomic<int> commandFailures{0};
    std::thread hookToggler([&] {
        const uint32_t types[] = {BDC_SERIAL, BDC_MTP, BDC_MODEM, BDC_1394};
        for (int i = 0; i < kToggles; ++i) {
            if (SetHook(types[i % 4], (i / 4) % 2 == 0 ? 1 : 0, hooks).status != STATUS_SUCCESS) commandFailures++;
            std::this_thread::yield();
        }
        // Leave both families installed for the unload.
        SetHook(BDC_SERIAL, 1, hooks);
        SetHook(BDC_MTP, 1, hooks);
    });
    std::thread policyToggler([&] {
        for (int i = 0; i < kToggles; ++i) {
            const StressTarget& t = kStressTargets[i % KX_COUNTOF(kStressTargets)];
            const uint32_t states[] = {DISABLE, ENABLE, READONLY};
            if (SetPolicy(t.type, states[(i / 5) % 3], i % 2, policies).status != STATUS_SUCCESS) commandFailures++;
            std::this_thread::yield();
        }
    });
    hookToggler.join();
    policyToggler.join();
    for (const StressTarget& t : kStressTargets) ASSERT_EQ(SetPolicy(t.type, DISABLE, 0).status, STATUS_SUCCESS);
    finalPhase = true;
    stop = true;
    for (std::thread& t : senders) t.join();

    EXPECT_EQ(commandFailures.load(), 0);
    EXPECT_GE(sent.load(), kSenders * 200u);
    // Installed and DISABLE at the end: the handlers refused everything.
    EXPECT_GE(refused.load(), kSenders * 20u);
    EXPECT_EQ(passedInFinalPhase.load(), 0u);
    EXPECT_EQ(incomplete.load(), 0u);
    EXPECT_EQ(wrong.load(), 0u);
    EXPECT_EQ(passed.load() + refused.load(), sent.load());
    unsigned reached = 0;
    for (const StressTarget& t : kStressTargets) reached += machine().TargetRequests(t.name).total;
    EXPECT_EQ(reached, passed.load() + KX_COUNTOF(kStressTargets));

    Unload();
    ExpectAllOriginal();
    EXPECT_TRUE(machine().OutstandingRequests().empty());
}

}  // namespace
