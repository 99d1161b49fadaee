// Debug output (DbgPrintEx captured per call) and bug checks.
#include <cstdio>

#include "winsim/core/core.h"

namespace winsim::detail {

void AppendDebugOutput(const std::string& text) {
    CoreState* state = StateOrNull();
    if (state == nullptr) {
        // No machine to capture it: still show it rather than lose it.
        std::fprintf(stderr, "%s", text.c_str());
        return;
    }
    DebugState& debug = state->debug;
    std::vector<std::function<void()>> due;
    {
        std::lock_guard<std::mutex> lock(debug.mu);
        debug.lines.push_back(text);
        if (debug.echo.load(std::memory_order_relaxed)) {
            std::fprintf(stderr, "%s", text.c_str());
            if (text.empty() || text.back() != '\n') std::fputc('\n', stderr);
        }
        for (auto it = debug.hooks.begin(); it != debug.hooks.end();) {
            if (text.find(it->first) != std::string::npos) {
                due.push_back(std::move(it->second));
                it = debug.hooks.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& fn : due) fn();
}

[[noreturn]] void BugCheckNow(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                              const std::string& reason) {
    char head[200];
    std::snprintf(head, sizeof head, "KeBugCheckEx 0x%08X (0x%llx, 0x%llx, 0x%llx, 0x%llx)", code,
                  static_cast<unsigned long long>(p1), static_cast<unsigned long long>(p2),
                  static_cast<unsigned long long>(p3), static_cast<unsigned long long>(p4));
    std::string line = std::string(head) + (reason.empty() ? "" : ": " + reason);
    BugCheck bc{};
    bc.code = code;
    bc.parameters[0] = p1;
    bc.parameters[1] = p2;
    bc.parameters[2] = p3;
    bc.parameters[3] = p4;
    bc.report = line;
    if (StateOrNull() != nullptr) {
        // Recorded too, so a bug check swallowed by some catch-all still fails the
        // verifier at the end of the test.
        Violation("bug check: " + line);
        VerifierReport report = Machine::Current().Verifier();
        bc.report += "\nverifier: " + report.ToString();
    }
    throw bc;
}

}  // namespace winsim::detail

using namespace winsim::detail;

namespace winsim {

std::vector<std::string> Machine::DebugOutput() const {
    DebugState& debug = S().debug;
    std::lock_guard<std::mutex> lock(debug.mu);
    return debug.lines;
}

std::string Machine::DebugText() const {
    DebugState& debug = S().debug;
    std::lock_guard<std::mutex> lock(debug.mu);
    std::string text;
    for (auto& line : debug.lines) text += line;
    return text;
}

bool Machine::DebugContains(const std::string& text) const { return DebugCount(text) > 0; }

size_t Machine::DebugCount(const std::string& text) const {
    DebugState& debug = S().debug;
    std::lock_guard<std::mutex> lock(debug.mu);
    size_t count = 0;
    for (auto& line : debug.lines) count += line.find(text) != std::string::npos ? 1 : 0;
    return count;
}

void Machine::ClearDebugOutput() {
    DebugState& debug = S().debug;
    std::lock_guard<std::mutex> lock(debug.mu);
    debug.lines.clear();
}

void Machine::SetDebugEcho(bool echo) { S().debug.echo.store(echo, std::memory_order_relaxed); }

void Machine::OnDebugLine(const std::string& text, std::function<void()> fn) {
    DebugState& debug = S().debug;
    std::lock_guard<std::mutex> lock(debug.mu);
    debug.hooks.emplace_back(text, std::move(fn));
}

}  // namespace winsim

ULONG DbgPrintEx(ULONG componentId, ULONG level, PCSTR format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = KernelFormatNarrow("DbgPrintEx", format, args);
    va_end(args);
    AppendDebugOutput(text);
    return STATUS_SUCCESS;
}

ULONG DbgPrint(PCSTR format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = KernelFormatNarrow("DbgPrint", format, args);
    va_end(args);
    AppendDebugOutput(text);
    return STATUS_SUCCESS;
}

// A checked build breaks into the debugger here; the machine records the failure
// (with the IRQL, which PAGED_CODE failures are about) and lets the test go on.
void RtlAssert(PVOID voidFailedAssertion, PVOID voidFileName, ULONG lineNumber, PSTR mutableMessage) {
    const char* assertion = static_cast<const char*>(voidFailedAssertion);
    const char* file = static_cast<const char*>(voidFileName);
    std::string what = std::string("assertion failed at ") + IrqlName(CurrentIrql()) + ": " +
                       (assertion != nullptr ? assertion : "?");
    if (mutableMessage != nullptr) what += std::string(" in ") + mutableMessage;
    what += std::string(" (") + (file != nullptr ? file : "?") + ":" + std::to_string(lineNumber) + ")";
    Violation(what);
}

void KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4) {
    BugCheckNow(code, p1, p2, p3, p4, "");
}
