// Fast mutexes: exclusive, not recursive, held at APC_LEVEL. The state lives in
// the FAST_MUTEX's own bytes (an owner word and the IRQL to return to); waiters
// sleep on one machine-wide condition variable.
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "winsim/core/core.h"

namespace {

struct FastMutexBody {
    uint32_t magic;
    uint32_t locked;
    uint64_t owner;  // hash of the owning thread's id
    KIRQL oldIrql;
};
static_assert(sizeof(FastMutexBody) <= sizeof(FAST_MUTEX), "the body fits the WDK's FAST_MUTEX");
constexpr uint32_t kMagic = 0x5846554d;  // "MUFX"

std::mutex g_mutex;
std::condition_variable g_released;

uint64_t Me() { return std::hash<std::thread::id>()(std::this_thread::get_id()) | 1; }

FastMutexBody* Body(PFAST_MUTEX m, const char* routine) {
    auto* body = reinterpret_cast<FastMutexBody*>(m->Opaque);
    if (body->magic != kMagic) {
        winsim::detail::Violation(std::string(routine) + " on a FAST_MUTEX that was never initialised");
        return nullptr;
    }
    return body;
}

}  // namespace

using namespace winsim::detail;

void ExInitializeFastMutex(PFAST_MUTEX fastMutex) {
    std::memset(fastMutex, 0, sizeof *fastMutex);
    reinterpret_cast<FastMutexBody*>(fastMutex->Opaque)->magic = kMagic;
}

void ExAcquireFastMutex(PFAST_MUTEX fastMutex) {
    RequireIrqlAtMost(APC_LEVEL, "ExAcquireFastMutex");
    FastMutexBody* body = Body(fastMutex, "ExAcquireFastMutex");
    if (body == nullptr) return;
    {
        std::unique_lock<std::mutex> lock(g_mutex);
        if (body->locked && body->owner == Me()) {
            lock.unlock();
            Violation("ExAcquireFastMutex on a fast mutex this thread already holds (deadlock on Windows)");
            return;
        }
        g_released.wait(lock, [&] { return body->locked == 0; });
        body->locked = 1;
        body->owner = Me();
    }
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    body->oldIrql = old;
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX fastMutex) {
    RequireIrqlAtMost(APC_LEVEL, "ExTryToAcquireFastMutex");
    FastMutexBody* body = Body(fastMutex, "ExTryToAcquireFastMutex");
    if (body == nullptr) return FALSE;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (body->locked) return FALSE;
        body->locked = 1;
        body->owner = Me();
    }
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    body->oldIrql = old;
    return TRUE;
}

void ExReleaseFastMutex(PFAST_MUTEX fastMutex) {
    FastMutexBody* body = Body(fastMutex, "ExReleaseFastMutex");
    if (body == nullptr) return;
    KIRQL old;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!body->locked || body->owner != Me()) {
            Violation("ExReleaseFastMutex on a fast mutex this thread does not hold");
            return;
        }
        old = body->oldIrql;
        body->locked = 0;
        body->owner = 0;
    }
    g_released.notify_all();
    KeLowerIrql(old);
}
