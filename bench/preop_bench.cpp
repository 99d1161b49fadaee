// Cost per request of the pre-operation decision through the simulated filter
// manager: each request on a USB flash drive where only kx4grd is attached,
// against the same request on a second USB flash drive where only a filter whose
// callbacks return FLT_PREOP_SUCCESS_NO_CALLBACK is attached.
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>
#include <vector>

#include "bench/loaded_driver.h"
#include "driver/log/event_log.h"

namespace {

// ---- the filter that passes everything (the baseline)
namespace nullfilter {

PFLT_FILTER g_filter;

FLT_PREOP_CALLBACK_STATUS Pass(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID*) {
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}
NTSTATUS QueryTeardown(PCFLT_RELATED_OBJECTS, FLT_INSTANCE_QUERY_TEARDOWN_FLAGS) { return STATUS_SUCCESS; }
NTSTATUS Unload(FLT_FILTER_UNLOAD_FLAGS) {
    FltUnregisterFilter(g_filter);
    return STATUS_SUCCESS;
}

// The same six operations kx4grd registers.
const FLT_OPERATION_REGISTRATION kOperations[] = {
    {IRP_MJ_CREATE, 0, Pass, nullptr, nullptr},          {IRP_MJ_CLOSE, 0, Pass, nullptr, nullptr},
    {IRP_MJ_WRITE, 0, Pass, nullptr, nullptr},           {IRP_MJ_READ, 0, Pass, nullptr, nullptr},
    {IRP_MJ_SET_INFORMATION, 0, Pass, nullptr, nullptr}, {IRP_MJ_CLEANUP, 0, Pass, nullptr, nullptr},
    {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr},
};
const FLT_REGISTRATION kRegistration = {sizeof(FLT_REGISTRATION), FLT_REGISTRATION_VERSION, 0, nullptr, kOperations,
                                        Unload, nullptr, QueryTeardown, nullptr, nullptr, nullptr, nullptr, nullptr,
                                        nullptr, nullptr, nullptr};

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    NTSTATUS status = FltRegisterFilter(driver, &kRegistration, &g_filter);
    if (!NT_SUCCESS(status)) return status;
    status = FltStartFiltering(g_filter);
    if (!NT_SUCCESS(status)) FltUnregisterFilter(g_filter);
    return status;
}

}  // namespace nullfilter

struct Setup {
    winsim::VolumeInfo withDriver, withNull;
    PEPROCESS user = nullptr;

    Setup() {
        kxbench::Driver();
        winsim::Machine& m = winsim::Machine::Current();
        withDriver = m.AddVolume({winsim::VolumeKind::UsbFlashDisk, u"", u"", ""});
        withNull = m.AddVolume({winsim::VolumeKind::UsbFlashDisk, u"", u"", ""});
        m.RegisterDriverImage(u"kxnull.sys", nullfilter::Entry);
        m.LoadDriver(u"kxnull", u"kxnull.sys");
        m.DetachInstance(u"kxnull", withDriver.deviceName);
        m.DetachInstance(u"kx4grd", withNull.deviceName);
        for (const winsim::VolumeInfo* v : {&withDriver, &withNull}) {
            for (const char* name : {"/a.txt", "/b.txt"}) std::ofstream(v->hostDir + name) << "benchmark data";
        }
        // The list benchmarks of this program leave thousands of entries behind;
        // these requests are measured with empty lists.
        Command(CLEAR, 0);
        Command(SET_USB_DISK_EXCEPT, STATE_CLEAR);
        winsim::ProcessOptions o;
        o.imagePath = u"\\Device\\HarddiskVolume2\\Users\\kim\\app.exe";
        user = m.StartProcess(o);
        Drain();  // the CONNECT records
    }

    void Command(ULONGLONG command, ULONG value, ULONG devicetype = 0, ULONG policystate = 0, ULONG log = 0) {
        COMMAND_MESSAGE msg{};
        msg.command = command;
        msg.state = value;
        msg.devicetype = devicetype;
        msg.policystate = policystate;
        msg.log = log;
        uint32_t returned = 0;
        winsim::Machine::Current().SendMessage(kxbench::Driver().connection, &msg, sizeof(msg), nullptr, 0, &returned);
    }
    // Filtering on, device protection on, USB disks read-only with logging, the
    // CD-ROM restricted (so a read of a file's first bytes asks for its name).
    void Protect() {
        Command(START, 1);
        Command(START_DEVICE_PROTECT, 1);
        Command(SET_POLICY, 0, BDC_USB_DISK, READONLY, 1);
        Command(SET_POLICY, 0, BDC_CDROM, READONLY, 0);
    }
    // Empties the event log; answers how many POLICY records it held.
    size_t Drain() {
        // Room for every record of a 1024-request batch: a buffer too small for
        // up to 1000 waiting records gets none of them.
        std::vector<uint8_t> out(GetLogReplySize(1100));
        ULONG required = 0;
        bool faulted = false;
        size_t policy = 0;
        while (NT_SUCCESS(GetLog(out.data(), (ULONG)out.size(), &required, &faulted))) {
            const ULONG count = reinterpret_cast<const GET_LOG_REPLY_HEADER*>(out.data())->count;
            for (ULONG i = 0; i < count; ++i) {
                const auto* record =
                    reinterpret_cast<const EVENT_RECORD*>(out.data() + KX_GET_LOG_HEADER_SIZE) + i;
                if (record->code == POLICY) ++policy;
            }
        }
        return policy;
    }
    std::u16string Path(bool driver, bool second = false) const {
        return (driver ? withDriver : withNull).deviceName + (second ? u"\\b.txt" : u"\\a.txt");
    }
};

Setup& S() {
    static Setup setup;
    return setup;
}

// An open for reading and its close (an allowed create: name query, image path,
// trusted-list lookup and the read-only decision, no record).
void OpenAndCloseLoop(benchmark::State& state, bool driver) {
    Setup& s = S();
    winsim::Machine& m = winsim::Machine::Current();
    winsim::CreateRequest r;
    r.path = s.Path(driver);
    r.desiredAccess = FILE_GENERIC_READ;
    r.options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE;
    for (auto _ : state) {
        winsim::OpenFile* f = nullptr;
        if (m.CreateFile(s.user, r, &f).status != STATUS_SUCCESS) {
            state.SkipWithError("open failed");
            break;
        }
        m.CloseFile(f);
    }
}
void OpenAndClose(benchmark::State& state, bool driver) {
    S().Protect();
    OpenAndCloseLoop(state, driver);
}
void BM_AllowedCreate_Kx4grd(benchmark::State& state) { OpenAndClose(state, true); }
void BM_AllowedCreate_NullFilter(benchmark::State& state) { OpenAndClose(state, false); }
BENCHMARK(BM_AllowedCreate_Kx4grd);
BENCHMARK(BM_AllowedCreate_NullFilter);

// An open with DELETE access on the read-only drive: refused and recorded (two
// paths in turn, so the duplicate window drops none). The baseline filter lets
// the same open through to the file system.
void DeniedCreate(benchmark::State& state, bool driver) {
    Setup& s = S();
    s.Protect();
    winsim::Machine& m = winsim::Machine::Current();
    winsim::CreateRequest r[2];
    for (int i = 0; i < 2; ++i) {
        r[i].path = s.Path(driver, i == 1);
        r[i].desiredAccess = DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
        r[i].options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE;
    }
    s.Drain();
    size_t n = 0;
    size_t records = 0;
    for (auto _ : state) {
        winsim::OpenFile* f = nullptr;
        const NTSTATUS status = m.CreateFile(s.user, r[n & 1], &f).status;
        if (f != nullptr) m.CloseFile(f);
        if (driver && status != STATUS_ACCESS_DENIED) {
            state.SkipWithError("not refused");
            break;
        }
        if ((++n & 1023) == 0) {
            state.PauseTiming();
            records += s.Drain();
            state.ResumeTiming();
        }
    }
    records += s.Drain();
    state.counters["records_per_request"] = static_cast<double>(records) / static_cast<double>(state.iterations());
}
void BM_DeniedCreateWithRecord_Kx4grd(benchmark::State& state) { DeniedCreate(state, true); }
void BM_DeniedCreate_NullFilter(benchmark::State& state) { DeniedCreate(state, false); }
BENCHMARK(BM_DeniedCreateWithRecord_Kx4grd);
BENCHMARK(BM_DeniedCreate_NullFilter);

// A read of a file's first bytes through an open handle.
void ReadStart(benchmark::State& state, bool driver) {
    Setup& s = S();
    s.Protect();
    winsim::Machine& m = winsim::Machine::Current();
    winsim::CreateRequest r;
    r.path = s.Path(driver);
    winsim::OpenFile* f = nullptr;
    m.CreateFile(s.user, r, &f);
    std::string data;
    for (auto _ : state) {
        if (m.ReadFile(f, 0, 8, &data).status != STATUS_SUCCESS) {
            state.SkipWithError("read failed");
            break;
        }
    }
    m.CloseFile(f);
}
void BM_AllowedRead_Kx4grd(benchmark::State& state) { ReadStart(state, true); }
void BM_AllowedRead_NullFilter(benchmark::State& state) { ReadStart(state, false); }
BENCHMARK(BM_AllowedRead_Kx4grd);
BENCHMARK(BM_AllowedRead_NullFilter);

// The allowed create while the driver is stopped (the first test of the bypass).
void StoppedCreate(benchmark::State& state, bool driver) {
    Setup& s = S();
    s.Protect();
    s.Command(STOP, 0);
    OpenAndCloseLoop(state, driver);
    s.Command(START, 1);
}
void BM_CreateWhileStopped_Kx4grd(benchmark::State& state) { StoppedCreate(state, true); }
void BM_CreateWhileStopped_NullFilter(benchmark::State& state) { StoppedCreate(state, false); }
BENCHMARK(BM_CreateWhileStopped_Kx4grd);
BENCHMARK(BM_CreateWhileStopped_NullFilter);

}  // namespace
