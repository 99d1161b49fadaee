// Shared by the io_hook_*, io_irp_* and usb_* tests: a booted machine with a small
// kernel driver ("probe") loaded, in whose name the test calls the Windows
// routines (it is the only driver loaded, so references, requests and MDLs are
// charged to it), and the other drivers a driver interposes on.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "winsim/winsim.h"

namespace hookprobe {

inline NTSTATUS ProbeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

// A routine put into a target's slot: records the call, then does what the test
// set in g_mode, normally passing the request to the routine it replaced.
enum class HookMode { PassOn, CompleteThenPassOn, PendAndForget, CompleteWithCancelRoutine };
inline std::atomic<PDRIVER_DISPATCH> g_saved{nullptr};
inline std::atomic<int> g_hookCalls{0};
inline std::atomic<HookMode> g_mode{HookMode::PassOn};
inline std::atomic<PVOID> g_mapped{nullptr};
inline std::atomic<bool> g_mapTried{false};
inline std::vector<uint8_t> g_mappedBytes;  // what the mapping showed, read while the request lived

inline void NoCancel(PDEVICE_OBJECT, PIRP irp) { IoReleaseCancelSpinLock(irp->CancelIrql); }

inline NTSTATUS Hook(PDEVICE_OBJECT device, PIRP irp) {
    ++g_hookCalls;
    if (irp->MdlAddress != nullptr) {
        g_mapTried = true;
        g_mapped = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
        auto* p = static_cast<const uint8_t*>(g_mapped.load());
        if (p != nullptr) g_mappedBytes.assign(p, p + MmGetMdlByteCount(irp->MdlAddress));
    }
    switch (g_mode.load()) {
        case HookMode::PassOn: break;
        case HookMode::CompleteThenPassOn:
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 0;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            break;
        case HookMode::PendAndForget: IoMarkIrpPending(irp); return STATUS_PENDING;
        case HookMode::CompleteWithCancelRoutine:
            IoSetCancelRoutine(irp, NoCancel);
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 0;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
    }
    return g_saved.load()(device, irp);
}

class ProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        machine_ = &winsim::Machine::Boot();
        g_saved = nullptr;
        g_hookCalls = 0;
        g_mode = HookMode::PassOn;
        g_mapped = nullptr;
        g_mapTried = false;
        g_mappedBytes.clear();
        M().RegisterDriverImage(u"probe.sys", ProbeEntry);
        M().RegSetDword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\probe", u"Type", 1);
        ASSERT_EQ(M().LoadDriver(u"probe", u"probe.sys"), STATUS_SUCCESS);
    }
    void TearDown() override { winsim::Machine::Shutdown(); }

    winsim::Machine& M() { return *machine_; }

    // Violations that mention text.
    size_t ViolationsWith(const std::string& text) {
        auto report = M().Verifier();
        return static_cast<size_t>(std::count_if(report.violations.begin(), report.violations.end(),
                                                 [&](const std::string& v) { return v.find(text) != std::string::npos; }));
    }
    void UnloadProbe() { ASSERT_EQ(M().UnloadDriver(u"probe"), STATUS_SUCCESS); }
    void ExpectClean() { EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString(); }

    // Puts Hook into a target's slot the way an interposing driver does.
    void Interpose(const std::u16string& target, UCHAR major) {
        PDRIVER_OBJECT driver = M().TargetDriverObject(target);
        ASSERT_NE(driver, nullptr);
        g_saved = reinterpret_cast<PDRIVER_DISPATCH>(InterlockedExchangePointer(
            reinterpret_cast<PVOID volatile*>(&driver->MajorFunction[major]), reinterpret_cast<PVOID>(&Hook)));
    }
    void Restore(const std::u16string& target, UCHAR major) {
        PDRIVER_OBJECT driver = M().TargetDriverObject(target);
        ASSERT_NE(driver, nullptr);
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&driver->MajorFunction[major]),
                                   reinterpret_cast<PVOID>(g_saved.load()));
    }

    winsim::Machine* machine_ = nullptr;
};

}  // namespace hookprobe
