// The verifier's record, its unload checks, and fault injection.
#include <cstdio>

#include "winsim/core/core.h"

namespace winsim {

std::string VerifierReport::ToString() const {
    if (violations.empty()) return "verifier clean";
    std::string text = std::to_string(violations.size()) + " verifier violation(s):";
    for (size_t i = 0; i < violations.size(); ++i) text += "\n  " + std::to_string(i + 1) + ". " + violations[i];
    return text;
}

}  // namespace winsim

namespace winsim::detail {

namespace {

size_t ClassIndex(FaultClass cls) { return static_cast<size_t>(cls); }

}  // namespace

void Violation(const std::string& what) {
    CoreState* state = StateOrNull();
    if (state == nullptr) {
        std::fprintf(stderr, "winsim verifier (no machine running): %s\n", what.c_str());
        return;
    }
    std::lock_guard<std::mutex> lock(state->verifier.mu);
    state->verifier.violations.push_back(what);
}

bool ShouldFail(FaultClass cls, const char* routine) {
    FaultState& fault = S().fault;
    std::lock_guard<std::mutex> lock(fault.mu);
    fault.seen[ClassIndex(FaultClass::Any)]++;
    if (cls != FaultClass::Any) fault.seen[ClassIndex(cls)]++;
    if (!fault.armed || fault.hit) return false;
    if (fault.target != FaultClass::Any && fault.target != cls) return false;
    if (++fault.counted != fault.nth) return false;
    fault.hit = true;
    fault.failedRoutine = routine ? routine : "";
    return true;
}

void VerifierUnloadChecks(const std::u16string& driverName) {
    std::string driver = ToUtf8(driverName);
    PoolUnloadChecks(driver);
    LookasideUnloadChecks(driver);
    ObjectUnloadChecks(driver);
    LockUnloadChecks(driver);
    IoUnloadChecks(driverName);
}

}  // namespace winsim::detail

using namespace winsim::detail;

namespace winsim {

VerifierReport Machine::Verifier() const {
    VerifierReport report;
    {
        VerifierState& verifier = S().verifier;
        std::lock_guard<std::mutex> lock(verifier.mu);
        report.violations = verifier.violations;
    }
    // A request nobody completed is a fault whenever the machine is looked at.
    for (auto& outstanding : IoOutstandingViolations()) report.violations.push_back(outstanding);
    // What running host processes still hold: user handles, threads, memory.
    UmVerifierChecks(&report.violations);
    return report;
}

void Machine::ClearVerifier() {
    VerifierState& verifier = S().verifier;
    std::lock_guard<std::mutex> lock(verifier.mu);
    verifier.violations.clear();
}

void Machine::FailNthCall(FaultClass cls, unsigned n) {
    FaultState& fault = S().fault;
    std::lock_guard<std::mutex> lock(fault.mu);
    for (auto& seen : fault.seen) seen = 0;
    fault.armed = n > 0;
    fault.target = cls;
    fault.nth = n;
    fault.counted = 0;
    fault.hit = false;
    fault.failedRoutine.clear();
}

void Machine::ClearFaultInjection() {
    FaultState& fault = S().fault;
    std::lock_guard<std::mutex> lock(fault.mu);
    fault.armed = false;
    fault.nth = 0;
    fault.counted = 0;
    fault.hit = false;
    fault.failedRoutine.clear();
}

unsigned Machine::FailableCallsSeen(FaultClass cls) const {
    FaultState& fault = S().fault;
    std::lock_guard<std::mutex> lock(fault.mu);
    return fault.seen[ClassIndex(cls)];
}

bool Machine::InjectedFaultHit() const {
    FaultState& fault = S().fault;
    std::lock_guard<std::mutex> lock(fault.mu);
    return fault.hit;
}

size_t Machine::PoolAllocations(ULONG tag) const {
    PoolState& pool = S().pool;
    std::lock_guard<std::mutex> lock(pool.mu);
    auto it = pool.tags.find(tag);
    return it == pool.tags.end() ? 0 : it->second.count;
}

size_t Machine::PoolBytes(ULONG tag) const {
    PoolState& pool = S().pool;
    std::lock_guard<std::mutex> lock(pool.mu);
    auto it = pool.tags.find(tag);
    return it == pool.tags.end() ? 0 : it->second.bytes;
}

size_t Machine::PoolAllocationsTotal() const {
    PoolState& pool = S().pool;
    std::lock_guard<std::mutex> lock(pool.mu);
    return pool.blocks.size();
}

}  // namespace winsim
