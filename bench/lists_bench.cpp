// List lookups that the file-system and plug-and-play callbacks make on every
// request: the protected-path prefix lookup, the trusted-process lookup, the USB
// disk and port exception lookups and the network host lookup, each with 10, 1,000
// and 10,000 entries. A miss walks the whole list (the usual answer: most paths
// are not protected, most processes not listed); a hit on the last entry costs
// the same walk plus the match.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/loaded_driver.h"
#include "driver/policy/lists.h"
#include "driver/policy/usb_exceptions.h"

namespace {

ULONG Bytes(const std::u16string& s) { return static_cast<ULONG>(s.size() * sizeof(char16_t)); }

std::u16string Number(int i) {
    std::string n = std::to_string(100000 + i);
    return std::u16string(n.begin(), n.end());
}

std::u16string Folder(int i) { return u"\\Device\\HarddiskVolume2\\Projects\\folder" + Number(i); }
std::u16string Tool(int i) { return u"tool" + Number(i) + u".exe"; }
std::u16string Host(int i) { return u"server" + Number(i); }

// Filling is quadratic (every add looks for the name first), so each list is
// filled once per size and kept while the benchmarks of that size run.
template <typename Fill, typename Clean>
void EnsureFilled(int& filled, int count, const Fill& fill, const Clean& clean) {
    kxbench::Driver();
    if (filled == count) {
        return;
    }
    clean();
    for (int i = 0; i < count; ++i) {
        fill(i);
    }
    filled = count;
}

int pathsFilled = -1;
void FillPaths(int count) {
    EnsureFilled(
        pathsFilled, count,
        [](int i) {
            const std::u16string f = Folder(i);
            SetProtectPathEx(KxPathList, PG_PATH_BLACK, f.c_str(), Bytes(f));
        },
        [] { CleanupPathlistEx(KxPathList); });
}

int toolsFilled = -1;
void FillTools(int count) {
    EnsureFilled(
        toolsFilled, count,
        [](int i) {
            // Bare names and path entries alternate, as an agent's list mixes them.
            const std::u16string t = (i % 2) ? Tool(i) : u"\\Device\\HarddiskVolume2\\Apps" + Number(i);
            SetProcessPath(KX_PROCESS_TYPE_TRUSTED, t.c_str(), Bytes(t));
        },
        [] { CleanupProcesslist(); });
}

int disksFilled = -1;
void FillDisks(int count) {
    EnsureFilled(
        disksFilled, count,
        [](int i) {
            std::string serial = std::to_string(100000 + i);
            SetUsbDiskException("VEND", "DRIVE", "1.0", serial.c_str());
        },
        [] { CleanupUsbDiskExceptionList(); });
}

int portsFilled = -1;
void FillPorts(int count) {
    EnsureFilled(
        portsFilled, count, [](int i) { SetUsbPortException(BDC_USB, 0x1234, 0x5678, 0, Number(i).c_str()); },
        [] { CleanupUsbPortExceptionList(); });
}

int hostsFilled = -1;
void FillHosts(int count) {
    EnsureFilled(
        hostsFilled, count, [](int i) { SetAllowHost(Host(i).c_str()); }, [] { CleanupHostIpLists(); });
}

void BM_PathLookupMiss(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    FillPaths(n);
    const std::u16string query = u"\\Device\\HarddiskVolume2\\Users\\me\\Documents\\report.docx";
    for (auto _ : state) {
        benchmark::DoNotOptimize(FindProtectPath(KxPathList, KX_PATH_LOOKUP_MASK, query.c_str(), Bytes(query)));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PathLookupMiss)->Arg(10)->Arg(1000)->Arg(10000);

void BM_PathLookupLastHit(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    FillPaths(n);
    const std::u16string query = Folder(n - 1) + u"\\report.docx";
    for (auto _ : state) {
        benchmark::DoNotOptimize(FindProtectPath(KxPathList, KX_PATH_LOOKUP_MASK, query.c_str(), Bytes(query)));
    }
    if (FindProtectPath(KxPathList, KX_PATH_LOOKUP_MASK, query.c_str(), Bytes(query)) != PG_PATH_BLACK) {
        state.SkipWithError("the last entry was not found");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PathLookupLastHit)->Arg(10)->Arg(1000)->Arg(10000);

// The empty list, the state of every driver without protected folders: no lock.
void BM_PathLookupEmpty(benchmark::State& state) {
    FillPaths(0);
    const std::u16string query = u"\\Device\\HarddiskVolume2\\Users\\me\\Documents\\report.docx";
    for (auto _ : state) {
        benchmark::DoNotOptimize(FindProtectPath(KxPathList, KX_PATH_LOOKUP_MASK, query.c_str(), Bytes(query)));
    }
}
BENCHMARK(BM_PathLookupEmpty);

void BM_TrustedLookupMiss(benchmark::State& state) {
    FillTools(static_cast<int>(state.range(0)));
    const std::u16string image = u"\\Device\\HarddiskVolume2\\Windows\\System32\\notepad.exe";
    ULONG type = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(IsAllowProcessName(image.c_str(), Bytes(image), &type));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TrustedLookupMiss)->Arg(10)->Arg(1000)->Arg(10000);

void BM_TrustedLookupLastHit(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    FillTools(n);
    const int last = n - 1;  // odd indices hold bare names, even ones folders
    const std::u16string image = (last % 2) ? u"\\Device\\HarddiskVolume3\\bin\\" + Tool(last)
                                            : u"\\Device\\HarddiskVolume2\\Apps" + Number(last) + u"\\app.exe";
    ULONG type = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(IsAllowProcessName(image.c_str(), Bytes(image), &type));
    }
    if (!IsAllowProcessName(image.c_str(), Bytes(image), &type)) {
        state.SkipWithError("the last entry was not found");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TrustedLookupLastHit)->Arg(10)->Arg(1000)->Arg(10000);

void BM_UsbDiskLookupMiss(benchmark::State& state) {
    FillDisks(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(FindUsbDiskException("OTHER VENDOR", "STICK", "2.0", "AA00112233"));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UsbDiskLookupMiss)->Arg(10)->Arg(1000)->Arg(10000);

void BM_UsbPortLookupMiss(benchmark::State& state) {
    FillPorts(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(FindUsbPortException(BDC_USB, 0x1234, 0x5678, u"ZZ"));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UsbPortLookupMiss)->Arg(10)->Arg(1000)->Arg(10000);

// Includes taking the host out of the path (copy, lower case, search).
void BM_HostLookupMiss(benchmark::State& state) {
    FillHosts(static_cast<int>(state.range(0)));
    const std::u16string path = u"\\Device\\Mup\\fileserver\\share\\dir\\report.docx";
    for (auto _ : state) {
        benchmark::DoNotOptimize(IsAllowHostIp(path.c_str(), Bytes(path)));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HostLookupMiss)->Arg(10)->Arg(1000)->Arg(10000);

}  // namespace
