// Process-id state tables with many ids at or above 131072: the lookup that every
// filtered request and every process exit makes, inserting a large population, and
// the pool it takes.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "bench/loaded_driver.h"

namespace {

constexpr ULONG kFirstLarge = 131072;

// Ids the way a busy machine hands them out: consecutive multiples of 4.
ULONG DenseId(ULONG i) { return kFirstLarge + 4 * i; }

void FillDense(ULONG count) {
    PgClearAllPid();
    for (ULONG i = 0; i < count; ++i) {
        PgAddPid(DenseId(i), (i % 2) ? 64 : 2);
    }
}

void ReportPool(benchmark::State& state, ULONG ids) {
    winsim::Machine& m = winsim::Machine::Current();
    const double bytes = static_cast<double>(m.PoolBytes(KX_TAG_PID));
    state.counters["pool_bytes"] = bytes;
    state.counters["pool_blocks"] = static_cast<double>(m.PoolAllocations(KX_TAG_PID));
    if (ids != 0) {
        state.counters["bytes_per_id"] = bytes / ids;
    }
}

// Lookups spread over the populated range: every other probe is present, the rest
// are absent ids in between (the slowest case of a list walk).
void BM_LargePidLookup(benchmark::State& state) {
    kxbench::Driver();
    const ULONG count = static_cast<ULONG>(state.range(0));
    FillDense(count);
    std::vector<ULONG> probes;
    const ULONG span = count ? count : 1024;
    for (ULONG k = 0; k < 4096; ++k) {
        const ULONG i = static_cast<ULONG>((static_cast<uint64_t>(k) * 7919) % span);
        probes.push_back((k % 2) ? DenseId(i) : DenseId(i) + 4 * span);
    }
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(PgGetPidState(probes[next]));
        next = (next + 1) & 4095;
    }
    state.SetItemsProcessed(state.iterations());
    ReportPool(state, count);
    PgClearAllPid();
}
BENCHMARK(BM_LargePidLookup)->Arg(0)->Arg(10000)->Arg(100000);

void BM_LargePidProtectLookup(benchmark::State& state) {
    kxbench::Driver();
    const ULONG count = static_cast<ULONG>(state.range(0));
    FillDense(count);
    ULONG i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(PgIsProtectPid(DenseId(i)));
        i = (i + 7919) % (count ? count : 1024);
    }
    state.SetItemsProcessed(state.iterations());
    PgClearAllPid();
}
BENCHMARK(BM_LargePidProtectLookup)->Arg(0)->Arg(10000)->Arg(100000);

// Inserting the whole population from empty, as SET_PROCESS_PROTECT_PID does one id
// at a time.
void BM_InsertLargePids(benchmark::State& state) {
    kxbench::Driver();
    const ULONG count = static_cast<ULONG>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        PgClearAllPid();
        state.ResumeTiming();
        for (ULONG i = 0; i < count; ++i) {
            PgAddPid(DenseId(i), 64);
        }
    }
    state.SetItemsProcessed(state.iterations() * count);
    ReportPool(state, count);
    PgClearAllPid();
}
BENCHMARK(BM_InsertLargePids)->Arg(100000)->Unit(benchmark::kMillisecond);

// The worst case for memory: ids scattered over the whole 32-bit range, so no two
// share a page.
void BM_InsertScatteredPids(benchmark::State& state) {
    kxbench::Driver();
    const ULONG count = static_cast<ULONG>(state.range(0));
    std::mt19937 random(5);
    std::vector<ULONG> ids;
    while (ids.size() < count) {
        const ULONG id = static_cast<ULONG>(random());
        if (id >= kFirstLarge) {
            ids.push_back(id);
        }
    }
    for (auto _ : state) {
        state.PauseTiming();
        PgClearAllPid();
        state.ResumeTiming();
        for (ULONG id : ids) {
            PgAddPid(id, 64);
        }
    }
    state.SetItemsProcessed(state.iterations() * count);
    ReportPool(state, count);
    PgClearAllPid();
}
BENCHMARK(BM_InsertScatteredPids)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
