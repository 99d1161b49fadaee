// The clock: driven by the test (default) or following the host's monotonic clock.
//
// Interrupt time (100-ns units since boot) only moves forward; system time is
// interrupt time plus a base and a correction that SetSystemTime changes, so
// setting the wall clock never moves the tick count. In driven mode a timed wait
// that is not satisfied at once completes by moving the clock to its deadline, so a
// test pays nothing for a driver's multi-second time-outs.
#include <algorithm>
#include <thread>

#include "winsim/core/core.h"

namespace winsim::detail {

namespace {

std::mutex g_waitMu;
std::condition_variable g_waitCv;
thread_local bool t_cooperative = false;
// A cooperative timed wait that sees no progress for this long (a user-mode thread
// blocked outside the machine's waits, so never counted as waiting) advances the
// clock anyway instead of hanging the test.
constexpr auto kStallLimit = std::chrono::seconds(2);

int64_t InterruptTime(const ClockState& clock) {
    if (clock.mode == ClockMode::Driven) return clock.driven.load(std::memory_order_acquire);
    auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                        clock.bootSteady)
                       .count();
    return elapsed / 100 + clock.advance.load(std::memory_order_acquire);
}

int64_t SystemTime(const ClockState& clock) {
    return clock.base + InterruptTime(clock) + clock.adjust.load(std::memory_order_acquire);
}

// Moves driven time forward to at least target (never backwards: concurrent
// waiters may each push it to their own deadline).
void AdvanceDrivenTo(ClockState& clock, int64_t target) {
    int64_t now = clock.driven.load(std::memory_order_acquire);
    while (now < target && !clock.driven.compare_exchange_weak(now, target, std::memory_order_acq_rel)) {
    }
}

// The deadline of a wait in interrupt time; false for "forever".
bool Deadline(const ClockState& clock, const LARGE_INTEGER* timeout, int64_t* deadline) {
    if (timeout == nullptr) return false;
    int64_t now = InterruptTime(clock);
    if (timeout->QuadPart < 0) {
        *deadline = now - timeout->QuadPart;
    } else {
        // Absolute system time.
        int64_t offset = SystemTime(clock) - now;
        *deadline = timeout->QuadPart - offset;
    }
    return true;
}

}  // namespace

std::mutex& WaitMutex() { return g_waitMu; }
std::condition_variable& WaitCondition() { return g_waitCv; }

uint64_t TickCountNow() { return static_cast<uint64_t>(InterruptTime(S().clock)) / winsim::Machine::kTimeIncrement; }

uint64_t SystemTimeNow() { return static_cast<uint64_t>(SystemTime(S().clock)); }

void NotifyWaiters() {
    std::lock_guard<std::mutex> lock(g_waitMu);
    g_waitCv.notify_all();
}

namespace {
std::atomic<int> g_background{0};
}  // namespace

void BackgroundWorkBegin() { g_background.fetch_add(1, std::memory_order_acq_rel); }

void BackgroundWorkEnd() {
    g_background.fetch_sub(1, std::memory_order_acq_rel);
    NotifyWaiters();
}

void CountCooperativeThread() {
    ClockState& clock = S().clock;
    std::lock_guard<std::mutex> lock(g_waitMu);
    ++clock.cooperativeRunning;
}

void EnterCooperativeThread(bool counted) {
    ClockState& clock = S().clock;
    std::lock_guard<std::mutex> lock(g_waitMu);
    if (t_cooperative) {
        if (counted) --clock.cooperativeRunning;
        return;
    }
    t_cooperative = true;
    if (!counted) ++clock.cooperativeRunning;
}

void LeaveCooperativeThread() {
    CoreState* state = StateOrNull();
    std::lock_guard<std::mutex> lock(g_waitMu);
    if (!t_cooperative) return;
    t_cooperative = false;
    if (state) --state->clock.cooperativeRunning;
    g_waitCv.notify_all();
}

bool IsCooperativeThread() { return t_cooperative; }

}  // namespace winsim::detail

// A user-mode thread waiting in driven mode. Its predicate may be evaluated by
// the thread about to move the clock: a waiter that was woken but has not run yet
// still counts as waiting, so the clock moves only when no waiter's condition
// holds (the result is kept for the waiter, as a predicate may consume a signal).
struct winsim::detail::CooperativeWaiter {
    const std::function<bool()>* pred;
    bool satisfied = false;
};

namespace winsim::detail {
namespace {

// Whether some waiting user-mode thread can go on (under the wait lock).
bool AnyWaiterReady(ClockState& clock) {
    bool ready = false;
    for (CooperativeWaiter* w : clock.cooperativeWaiters) {
        if (!w->satisfied && (*w->pred)()) w->satisfied = true;
        ready = ready || w->satisfied;
    }
    return ready;
}

// A wait of a user-mode thread in driven mode (the wait lock is held).
bool CooperativeWait(ClockState& clock, std::unique_lock<std::mutex>& lock, const std::function<bool()>& pred,
                     bool timed, int64_t deadline) {
    --clock.cooperativeRunning;
    std::multiset<int64_t>::iterator mine;
    if (timed) mine = clock.cooperativeDeadlines.insert(deadline);
    CooperativeWaiter me{&pred};
    clock.cooperativeWaiters.push_back(&me);
    // Every other waiter re-checks whether it is now the last one running.
    g_waitCv.notify_all();
    auto done = [&](bool result) {
        ++clock.cooperativeRunning;
        if (timed) clock.cooperativeDeadlines.erase(mine);
        auto& ws = clock.cooperativeWaiters;
        ws.erase(std::find(ws.begin(), ws.end(), &me));
        return result;
    };
    auto lastProgress = std::chrono::steady_clock::now();
    int64_t seen = clock.driven.load(std::memory_order_acquire);
    for (;;) {
        if (me.satisfied || pred()) return done(true);
        int64_t now = clock.driven.load(std::memory_order_acquire);
        if (timed && now >= deadline) return done(false);
        if (now != seen) {
            seen = now;
            lastProgress = std::chrono::steady_clock::now();
        }
        bool stalled = std::chrono::steady_clock::now() - lastProgress > kStallLimit;
        if ((clock.cooperativeRunning <= 0 || stalled) && !clock.cooperativeDeadlines.empty()) {
            int64_t next = *clock.cooperativeDeadlines.begin();
            if (AnyWaiterReady(clock)) {
                g_waitCv.notify_all();
                if (me.satisfied) return done(true);
            } else if (next > now) {
                AdvanceDrivenTo(clock, next);
                g_waitCv.notify_all();
                continue;
            }
        }
        g_waitCv.wait_for(lock, std::chrono::milliseconds(100));
    }
}

}  // namespace

bool WaitUntil(const std::function<bool()>& pred, const LARGE_INTEGER* timeout) {
    ClockState& clock = S().clock;
    std::unique_lock<std::mutex> lock(g_waitMu);
    if (pred()) return true;
    int64_t deadline = 0;
    bool timed = Deadline(clock, timeout, &deadline);
    if (timed && timeout->QuadPart == 0) return false;
    if (t_cooperative && clock.mode == ClockMode::Driven) return CooperativeWait(clock, lock, pred, timed, deadline);
    if (!timed) {
        while (!pred()) g_waitCv.wait(lock);
        return true;
    }
    if (clock.mode == ClockMode::Driven) {
        // Work the machine has under way (a device completing a request a moment from
        // now) happens before driven time jumps to the deadline: give it a while of
        // real time to land, so a timed wait sees what a real device would deliver.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!pred() && g_background.load(std::memory_order_acquire) > 0)
            if (g_waitCv.wait_until(lock, limit) == std::cv_status::timeout) break;
        if (pred()) return true;
        AdvanceDrivenTo(clock, deadline);
        g_waitCv.notify_all();
        return false;
    }
    for (;;) {
        int64_t now = InterruptTime(clock);
        if (now >= deadline) return pred();
        // Re-evaluated after every wake-up, so AdvanceClock also shortens a real wait.
        g_waitCv.wait_for(lock, std::chrono::nanoseconds((deadline - now) * 100));
        if (pred()) return true;
    }
}

}  // namespace winsim::detail

using namespace winsim::detail;

namespace winsim {

ClockMode Machine::Clock() const { return S().clock.mode; }

void Machine::AdvanceClock(uint64_t milliseconds) {
    ClockState& clock = S().clock;
    int64_t delta = static_cast<int64_t>(milliseconds) * 10000;
    if (clock.mode == ClockMode::Driven)
        clock.driven.fetch_add(delta, std::memory_order_acq_rel);
    else
        clock.advance.fetch_add(delta, std::memory_order_acq_rel);
    NotifyWaiters();
}

uint64_t Machine::SystemTime() const { return SystemTimeNow(); }

void Machine::SetSystemTime(uint64_t filetime) {
    ClockState& clock = S().clock;
    clock.adjust.store(static_cast<int64_t>(filetime) - clock.base - InterruptTime(clock), std::memory_order_release);
    NotifyWaiters();
}

uint64_t Machine::TickCount() const { return TickCountNow(); }

}  // namespace winsim

void KeQueryTickCount(PLARGE_INTEGER tickCount) {
    tickCount->QuadPart = static_cast<LONGLONG>(TickCountNow());
}

ULONG KeQueryTimeIncrement() { return winsim::Machine::kTimeIncrement; }

void KeQuerySystemTime(PLARGE_INTEGER currentTime) {
    // Not rounded to the tick as on Windows: tests compare it with Machine::SystemTime.
    currentTime->QuadPart = static_cast<LONGLONG>(SystemTimeNow());
}

void KeQuerySystemTimePrecise(PLARGE_INTEGER currentTime) {
    currentTime->QuadPart = static_cast<LONGLONG>(SystemTimeNow());
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE waitMode, BOOLEAN alertable, PLARGE_INTEGER interval) {
    RequireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
    if (interval == nullptr) {
        Violation("KeDelayExecutionThread with a NULL interval");
        return STATUS_INVALID_PARAMETER;
    }
    if (interval->QuadPart == 0) {
        std::this_thread::yield();
        return STATUS_SUCCESS;
    }
    WaitUntil([] { return false; }, interval);
    return STATUS_SUCCESS;
}
