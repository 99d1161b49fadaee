// Events, waits, named events and the driven clock.
#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "core_fixture.h"

namespace {

using coretest::CoreTest;

LARGE_INTEGER RelativeMs(int64_t ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
}

class EventTest : public CoreTest {};

TEST_F(EventTest, NotificationStaysSignaledUntilCleared) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(EventTest, SynchronizationResetsAfterOneWait) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST_F(EventTest, ReinitialisingResetsState) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);  // now a synchronization event
}

TEST_F(EventTest, UninitialisedEventIsAViolation) {
    KEVENT event{};
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(ViolationsWith("not an initialised KEVENT"), 1u);
}

TEST_F(EventTest, TimedWaitInDrivenModeTimesOutAndAdvancesTheClock) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    uint64_t ticks = M().TickCount();
    uint64_t time = M().SystemTime();
    LARGE_INTEGER timeout = RelativeMs(5000);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(M().SystemTime() - time, 5000u * 10000u);
    EXPECT_EQ(M().TickCount() - ticks, 5000u * 10000u / winsim::Machine::kTimeIncrement);

    // An absolute deadline 2 s from now.
    time = M().SystemTime();
    LARGE_INTEGER absolute;
    absolute.QuadPart = static_cast<LONGLONG>(time + 2000u * 10000u);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
    EXPECT_EQ(M().SystemTime(), time + 2000u * 10000u);

    // A deadline already past does not move the clock back.
    time = M().SystemTime();
    absolute.QuadPart = static_cast<LONGLONG>(time - 10000);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
    EXPECT_EQ(M().SystemTime(), time);
}

TEST_F(EventTest, WaitAboveApcNeedsZeroTimeout) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL old = KeRaiseIrqlToDpcLevel();
    LARGE_INTEGER zero{};
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
    LARGE_INTEGER timeout = RelativeMs(10);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    KeLowerIrql(old);
    EXPECT_EQ(ViolationsWith("KeWaitForSingleObject called at IRQL DISPATCH_LEVEL"), 1u);
}

TEST_F(EventTest, WaiterThreadIsReleasedBySetEvent) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<bool> started{false};
    NTSTATUS status = STATUS_PENDING;
    std::thread waiter([&] {
        started = true;
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    });
    while (!started) std::this_thread::yield();
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    waiter.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);  // consumed by the waiter
}

TEST_F(EventTest, SynchronizationEventReleasesOneWaiterPerSet) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            released++;
        });
    }
    for (int i = 1; i <= 3; ++i) {
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        // Each set lets exactly one more through; wait for it without a time bound.
        while (released.load() < i) std::this_thread::yield();
    }
    for (auto& t : waiters) t.join();
    EXPECT_EQ(released.load(), 3);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(EventTest, NotifyWaitersWakesAWaitUntil) {
    std::atomic<bool> flag{false};
    bool result = false;
    std::thread waiter([&] { result = winsim::detail::WaitUntil([&] { return flag.load(); }, nullptr); });
    flag = true;
    winsim::detail::NotifyWaiters();
    waiter.join();
    EXPECT_TRUE(result);
}

class NamedEventTest : public CoreTest {};

const std::u16string kName = u"\\BaseNamedObjects\\{6F1A3E1C-0001-4A00-9D55-000000000001}";

TEST_F(NamedEventTest, LivesWhileAHandleExists) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(kName.c_str()));
    HANDLE h1 = nullptr, h2 = nullptr;
    PKEVENT e1 = IoCreateNotificationEvent(&name, &h1);
    ASSERT_NE(e1, nullptr);
    ASSERT_NE(h1, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(h1) % 4, 0u);
    EXPECT_EQ(KeReadStateEvent(e1), 1);  // created signaled, as documented
    EXPECT_TRUE(M().NamedObjectExists(kName));
    // Names are case-insensitive.
    EXPECT_TRUE(M().NamedObjectExists(u"\\basenamedobjects\\{6f1a3e1c-0001-4a00-9d55-000000000001}"));
    EXPECT_EQ(winsim::detail::OpenKernelHandles(), 1u);

    KeClearEvent(e1);
    PKEVENT e2 = IoCreateNotificationEvent(&name, &h2);  // opens the same event
    EXPECT_EQ(e2, e1);
    EXPECT_NE(h2, h1);
    EXPECT_EQ(KeReadStateEvent(e2), 0);  // opening does not signal it again

    EXPECT_EQ(ZwClose(h1), STATUS_SUCCESS);
    EXPECT_TRUE(M().NamedObjectExists(kName));
    KeSetEvent(e2, IO_NO_INCREMENT, FALSE);  // still valid memory
    EXPECT_EQ(ZwClose(h2), STATUS_SUCCESS);
    EXPECT_FALSE(M().NamedObjectExists(kName));
    EXPECT_EQ(ZwClose(h2), STATUS_INVALID_HANDLE);
    EXPECT_EQ(winsim::detail::OpenKernelHandles(), 0u);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(NamedEventTest, TestSideReferenceSeesAndKeepsTheEvent) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(kName.c_str()));
    HANDLE h = nullptr;
    PKEVENT event = IoCreateSynchronizationEvent(&name, &h);
    ASSERT_NE(event, nullptr);
    void* ref = M().OpenNamedEvent(kName);
    ASSERT_NE(ref, nullptr);
    // A name nobody made yet is created, not signalled, and lives while referenced.
    void* fresh = M().OpenNamedEvent(u"\\BaseNamedObjects\\Fresh");
    ASSERT_NE(fresh, nullptr);
    EXPECT_FALSE(M().IsEventSignaled(fresh));
    EXPECT_TRUE(M().NamedObjectExists(u"\\BaseNamedObjects\\Fresh"));
    M().CloseEvent(fresh);
    EXPECT_FALSE(M().NamedObjectExists(u"\\BaseNamedObjects\\Fresh"));
    M().ResetEvent(ref);
    EXPECT_FALSE(M().IsEventSignaled(ref));
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    EXPECT_TRUE(M().IsEventSignaled(ref));

    ZwClose(h);
    EXPECT_TRUE(M().NamedObjectExists(kName));  // the test's reference keeps it
    M().CloseEvent(ref);
    EXPECT_FALSE(M().NamedObjectExists(kName));
}

TEST_F(NamedEventTest, HandleLeftOpenIsReportedAtUnload) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(kName.c_str()));
    HANDLE h = nullptr;
    ASSERT_NE(IoCreateNotificationEvent(&name, &h), nullptr);
    winsim::detail::VerifierUnloadChecks(u"kx4grd");
    EXPECT_EQ(ViolationsWith("1 kernel handle(s) left open at unload of kx4grd"), 1u) << M().Verifier().ToString();
    EXPECT_EQ(ViolationsWith("IoCreateNotificationEvent"), 1u);
    ZwClose(h);
}

TEST_F(NamedEventTest, CreationIsPassiveOnly) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(kName.c_str()));
    HANDLE h = nullptr;
    KIRQL old = KeRaiseIrqlToDpcLevel();
    PKEVENT event = IoCreateNotificationEvent(&name, &h);
    KeLowerIrql(old);
    EXPECT_EQ(ViolationsWith("IoCreateNotificationEvent called at IRQL DISPATCH_LEVEL"), 1u);
    if (event) ZwClose(h);
}

TEST_F(NamedEventTest, HandleTableHandsOutDistinctMultiplesOfFour) {
    struct Thing : winsim::detail::KObject {
        const char* TypeName() const override { return "Thing"; }
    };
    std::set<HANDLE> seen;
    auto thing = std::make_shared<Thing>();
    std::weak_ptr<Thing> weak = thing;
    for (int i = 0; i < 50; ++i) {
        HANDLE h = winsim::detail::InsertHandle(thing, i % 2 == 0, "test");
        auto value = reinterpret_cast<intptr_t>(h);
        EXPECT_NE(value, 0);
        EXPECT_NE(value, -1);
        EXPECT_EQ(value % 4, 0);
        EXPECT_TRUE(seen.insert(h).second);
    }
    thing.reset();
    EXPECT_EQ(winsim::detail::OpenKernelHandles(), 25u);
    EXPECT_EQ(winsim::detail::ReferenceHandleAs<Thing>(*seen.begin()).get(), weak.lock().get());
    for (HANDLE h : seen) EXPECT_TRUE(winsim::detail::CloseHandleEntry(h));
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(winsim::detail::ReferenceHandle(*seen.begin()), nullptr);
}

class ClockTest : public CoreTest {};

TEST_F(ClockTest, StartsAtAFixedDateInDrivenMode) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_EQ(static_cast<uint64_t>(now.QuadPart), 134116992000000000ULL);  // 2026-01-01 00:00 UTC
    KeQuerySystemTimePrecise(&now);
    EXPECT_EQ(static_cast<uint64_t>(now.QuadPart), M().SystemTime());
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    EXPECT_EQ(ticks.QuadPart, 0);
    EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
}

TEST_F(ClockTest, AdvanceMovesTicksAndTimeTogether) {
    M().AdvanceClock(1000);
    EXPECT_EQ(M().TickCount(), 64u);  // 1 s / 15.625 ms
    EXPECT_EQ(M().SystemTime(), 134116992000000000ULL + 10000000ULL);
    M().AdvanceClock(15);  // not yet a whole tick more
    EXPECT_EQ(M().TickCount(), 64u);
    M().AdvanceClock(1);
    EXPECT_EQ(M().TickCount(), 65u);
}

TEST_F(ClockTest, SetSystemTimeLeavesTickCountAlone) {
    M().AdvanceClock(500);
    uint64_t ticks = M().TickCount();
    M().SetSystemTime(130000000000000000ULL);
    EXPECT_EQ(M().SystemTime(), 130000000000000000ULL);
    EXPECT_EQ(M().TickCount(), ticks);
    M().AdvanceClock(100);
    EXPECT_EQ(M().SystemTime(), 130000000000000000ULL + 1000000ULL);
}

TEST_F(ClockTest, DelayExecutionAdvancesTheDrivenClock) {
    uint64_t time = M().SystemTime();
    LARGE_INTEGER interval = RelativeMs(300);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    EXPECT_EQ(M().SystemTime() - time, 300u * 10000u);
    EXPECT_TRUE(M().Verifier().Clean());

    KIRQL old = KeRaiseIrqlToDpcLevel();
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    KeLowerIrql(old);
    EXPECT_EQ(ViolationsWith("KeDelayExecutionThread called at IRQL DISPATCH_LEVEL"), 1u);
}

TEST(ClockRealTimeTest, FollowsTheHostClock) {
    winsim::MachineOptions options;
    options.clock = winsim::ClockMode::RealTime;
    winsim::Machine& m = winsim::Machine::Boot(options);
    EXPECT_EQ(m.Clock(), winsim::ClockMode::RealTime);
    uint64_t before = m.SystemTime();
    LARGE_INTEGER interval = RelativeMs(20);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    // Real time passed at least the interval; no upper bound is asserted.
    EXPECT_GE(m.SystemTime() - before, 20u * 10000u);
    // AdvanceClock still moves it forward in this mode.
    before = m.SystemTime();
    m.AdvanceClock(60000);
    EXPECT_GE(m.SystemTime() - before, 60000u * 10000u);
    winsim::Machine::Shutdown();
}

}  // namespace
