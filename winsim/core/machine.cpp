// Machine lifetime: one machine at a time, all core state in one object that a
// boot creates and a shutdown frees.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "winsim/core/core.h"

namespace winsim {

struct MachineAccess {
    static Machine& Instance() {
        static Machine machine;
        return machine;
    }
};

namespace detail {

namespace {

std::atomic<CoreState*> g_state{nullptr};
// Serialises Boot and Shutdown against each other.
std::mutex g_lifetimeMu;

// 2026-01-01 00:00:00 UTC as a FILETIME (100-ns units since 1601-01-01).
constexpr int64_t kDrivenEpoch = 134116992000000000LL;
constexpr int64_t kUnixEpochAsFiletime = 116444736000000000LL;

[[noreturn]] void NoMachine(const char* what) {
    BugCheck bc{};
    bc.code = 0;
    bc.report = std::string("winsim: ") + what +
                " with no machine running; call winsim::Machine::Boot() first";
    throw bc;
}

void ShutdownLocked() {
    CoreState* state = g_state.load(std::memory_order_acquire);
    if (state == nullptr) return;
    // User mode goes first (its threads end, its handles close, which may call the
    // driver's port callbacks); io then unloads drivers, which runs driver code and
    // the unload checks, which need the core still in place.
    UmShutdown();
    IoShutdown();
    g_state.store(nullptr, std::memory_order_release);
    FreeEventRefs(*state);
    {
        // Handles and names go before the pool: object destructors may free pool.
        std::map<uintptr_t, HandleEntry> handles;
        {
            std::lock_guard<std::mutex> lock(state->objects.mu);
            handles.swap(state->objects.handles);
            state->objects.names.clear();
        }
        handles.clear();
    }
    FreeAllPool(*state);
    FreeInvalidBuffers(*state);
    if (state->temporaryRoot && !state->root.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(state->root, ec);
    }
    delete state;
}

}  // namespace

CoreState* StateOrNull() { return g_state.load(std::memory_order_acquire); }

CoreState& S() {
    CoreState* state = g_state.load(std::memory_order_acquire);
    if (state == nullptr) NoMachine("a kernel routine was called");
    return *state;
}

bool MachineRunning() { return StateOrNull() != nullptr; }

const MachineOptions& Options() { return S().options; }

const std::string& RootDir() { return S().root; }

std::atomic<uint64_t> g_bootGeneration{0};

}  // namespace detail

using namespace detail;

Machine& Machine::Boot(const MachineOptions& options) {
    std::lock_guard<std::mutex> lock(g_lifetimeMu);
    ShutdownLocked();
    g_bootGeneration.fetch_add(1, std::memory_order_acq_rel);

    auto state = std::make_unique<CoreState>();
    state->options = options;
    if (options.root.empty()) {
        char pattern[] = "/tmp/winsim-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            BugCheck bc{};
            bc.report = "winsim: cannot create a temporary root directory under /tmp";
            throw bc;
        }
        state->root = pattern;
        state->temporaryRoot = true;
    } else {
        std::error_code ec;
        std::filesystem::create_directories(options.root, ec);
        if (ec) {
            BugCheck bc{};
            bc.report = "winsim: cannot create the root directory " + options.root + ": " + ec.message();
            throw bc;
        }
        state->root = std::filesystem::absolute(options.root).string();
    }
    state->debug.echo.store(options.echoDebug);

    ClockState& clock = state->clock;
    clock.mode = options.clock;
    clock.bootSteady = std::chrono::steady_clock::now();
    if (options.clock == ClockMode::Driven) {
        clock.base = kDrivenEpoch;
    } else {
        auto sinceUnix = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        clock.base = kUnixEpochAsFiletime + sinceUnix / 100;
    }

    g_state.store(state.release(), std::memory_order_release);
    try {
        IoBoot(options);
        UmBoot();
    } catch (...) {
        ShutdownLocked();
        throw;
    }
    return MachineAccess::Instance();
}

Machine& Machine::Current() {
    if (!MachineRunning()) NoMachine("winsim::Machine::Current() was called");
    return MachineAccess::Instance();
}

bool Machine::Running() { return MachineRunning(); }

void Machine::Shutdown() {
    std::lock_guard<std::mutex> lock(g_lifetimeMu);
    ShutdownLocked();
}

}  // namespace winsim
