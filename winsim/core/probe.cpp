// Caller buffers: probes and the ranges a test declares inaccessible.
//
// An invalid buffer is a PROT_NONE mapping, so driver code that touches it without
// probing (or outside its SEH block) faults for real instead of passing quietly.
#include <sys/mman.h>
#include <unistd.h>

#include "winsim/core/core.h"

namespace winsim::detail {

namespace {

bool OverlapsInvalid(uintptr_t start, uintptr_t end) {
    CoreState* state = StateOrNull();
    if (state == nullptr) return false;
    std::lock_guard<std::mutex> lock(state->memory.mu);
    for (auto& [base, size] : state->memory.invalid) {
        if (start < base + size && base < end) return true;
    }
    return false;
}

void Probe(const volatile void* address, SIZE_T length, ULONG alignment) {
    if (length == 0) return;
    auto start = reinterpret_cast<uintptr_t>(address);
    if (alignment != 0 && (start & (alignment - 1)) != 0) throw kxseh::SehException{STATUS_DATATYPE_MISALIGNMENT};
    if (!IsRangeAccessible(address, length)) RaiseAccessViolation();
}

}  // namespace

bool IsRangeAccessible(const volatile void* address, size_t length) {
    if (length == 0) return true;
    auto start = reinterpret_cast<uintptr_t>(address);
    if (start == 0) return false;
    uintptr_t end = start + length;
    if (end < start) return false;  // wraps around the address space
    return !OverlapsInvalid(start, end);
}

void RaiseAccessViolation() { throw kxseh::SehException{STATUS_ACCESS_VIOLATION}; }

void FreeInvalidBuffers(CoreState& state) {
    std::lock_guard<std::mutex> lock(state.memory.mu);
    for (auto& [base, size] : state.memory.invalid) munmap(reinterpret_cast<void*>(base), size);
    state.memory.invalid.clear();
    for (auto& [base, size] : state.memory.mappings) munmap(reinterpret_cast<void*>(base), size);
    state.memory.mappings.clear();
}

}  // namespace winsim::detail

using namespace winsim::detail;

namespace winsim {

void* Machine::InvalidBuffer(size_t size) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t length = size == 0 ? page : (size + page - 1) / page * page;
    void* p = mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        BugCheck bc{};
        bc.report = "winsim: Machine::InvalidBuffer could not reserve " + std::to_string(length) + " bytes";
        throw bc;
    }
    MemoryState& memory = S().memory;
    std::lock_guard<std::mutex> lock(memory.mu);
    memory.invalid.emplace_back(reinterpret_cast<uintptr_t>(p), length);
    return p;
}

void* Machine::BufferWithInvalidTail(size_t validBytes) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t head = (validBytes + page - 1) / page * page;
    void* p = mmap(nullptr, head + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        BugCheck bc{};
        bc.report = "winsim: Machine::BufferWithInvalidTail could not reserve " + std::to_string(head + page) + " bytes";
        throw bc;
    }
    auto base = reinterpret_cast<uintptr_t>(p);
    // The tail page is released with the invalid buffers, the head with the mappings.
    mprotect(reinterpret_cast<void*>(base + head), page, PROT_NONE);
    MemoryState& memory = S().memory;
    std::lock_guard<std::mutex> lock(memory.mu);
    if (head != 0) memory.mappings.emplace_back(base, head);
    memory.invalid.emplace_back(base + head, page);
    return reinterpret_cast<void*>(base + head - validBytes);
}

}  // namespace winsim

void ProbeForRead(const volatile void* address, SIZE_T length, ULONG alignment) {
    RequireIrqlAtMost(APC_LEVEL, "ProbeForRead");
    Probe(address, length, alignment);
}

void ProbeForWrite(volatile void* address, SIZE_T length, ULONG alignment) {
    RequireIrqlAtMost(APC_LEVEL, "ProbeForWrite");
    Probe(address, length, alignment);
}

BOOLEAN MmIsAddressValid(PVOID virtualAddress) {
    return IsRangeAccessible(virtualAddress, 1) ? TRUE : FALSE;
}
