// Hot paths of the driver: the per-request id lookup, producing and draining event
// records, and one command through the port.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench/loaded_driver.h"
#include "driver/core/process_ids.h"
#include "driver/log/event_log.h"

namespace {

using kxbench::Driver;
using kxbench::LoadedDriver;

void BM_PidStateLookup(benchmark::State& state) {
    Driver();
    PgAddPid(1000, 2);
    ULONG pid = 1000;
    for (auto _ : state) {
        benchmark::DoNotOptimize(PgGetPidState(pid));
    }
}
BENCHMARK(BM_PidStateLookup);

void BM_SetLogThenDrain(benchmark::State& state) {
    Driver();
    const int batch = static_cast<int>(state.range(0));
    std::vector<uint8_t> out(8 + 2280 * static_cast<size_t>(batch));
    ULONG returned = 0;
    bool faulted = false;
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) {
            SetLog(nullptr, nullptr, LOG_PROCESS, i, 0, 0, u"\\x\\agent.exe", u"\\Device\\HarddiskVolume2\\f.txt");
        }
        GetLog(out.data(), static_cast<ULONG>(out.size()), &returned, &faulted);
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_SetLogThenDrain)->Arg(1)->Arg(64);

void BM_PolicyDuplicateFilter(benchmark::State& state) {
    Driver();
    for (auto _ : state) {
        // Same process and path: admitted once per window, then dropped.
        SetLog(nullptr, nullptr, POLICY, BDC_USB_DISK, DISABLE, 0, u"\\x\\w.exe", u"\\Device\\HarddiskVolume5\\a");
    }
}
BENCHMARK(BM_PolicyDuplicateFilter);

void BM_CommandThroughPort(benchmark::State& state) {
    LoadedDriver& driver = Driver();
    COMMAND_MESSAGE msg{};
    msg.command = SET_POLICY;
    msg.devicetype = BDC_USB_DISK;
    msg.policystate = READONLY;
    uint32_t returned = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            winsim::Machine::Current().SendMessage(driver.connection, &msg, sizeof(msg), nullptr, 0, &returned));
    }
}
BENCHMARK(BM_CommandThroughPort);

}  // namespace

BENCHMARK_MAIN();
