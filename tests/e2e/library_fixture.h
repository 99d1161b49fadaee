// End-to-end tests of the control library: a simulated machine with a system disk
// (C:) and a USB flash disk (E:), the driver image kx4grd_x64.sys on C:, and a host
// process that loads kx4grdctrl and calls nothing but its exports. The reporter's
// lines are collected from the host callback. TearDown requires that the host has
// no thread, handle or memory of the library left and that the verifier is clean.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ctrl/kx4grdctrl.h"
#include "driver/core/entry.h"
#include "driver/core/globals.h"
#include "winsim/winsim.h"

namespace e2e {

inline constexpr char16_t kServiceKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kx4grd";
inline constexpr char16_t kParametersKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kx4grd\\Parameters";
inline constexpr char16_t kInstanceKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kx4grd\\Instances\\kx4grdalttude";
inline constexpr char16_t kTestKey[] = u"\\Registry\\Machine\\Software\\Test";
inline constexpr char16_t kReportEvent[] = u"\\BaseNamedObjects\\{kx4grd-4200-BED2-6B5CD0D88247}";
inline constexpr char16_t kPresenceEvent[] = u"\\BaseNamedObjects\\{A5F2956A-A68E-4404-BCD6-2A7DF47353E8}";
inline constexpr char16_t kPortName[] = u"\\kx4grd";
// The driver directory the host names, and where the host's executable lives.
inline constexpr char16_t kDriverDir[] = u"C:\\Program Files\\kx4";
inline constexpr char16_t kHostImage[] = u"C:\\Program Files\\kx4\\kx4host.exe";

// Lines handed to the host callback, in order.
class LineSink {
public:
    static LineSink& Instance() {
        static LineSink sink;
        return sink;
    }
    static void WINAPI Callback(LPCWSTR line) { Instance().Add(line); }
    void Add(const WCHAR* line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.emplace_back(reinterpret_cast<const char16_t*>(line));
        if (onLine_) {
            onLine_();
        }
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
        onLine_ = nullptr;
    }
    std::vector<std::u16string> Lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    // Runs on the reporter thread inside the callback, after the line is kept.
    void OnLine(std::function<void()> fn) {
        std::lock_guard<std::mutex> lock(mutex_);
        onLine_ = std::move(fn);
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::u16string> lines_;
    std::function<void()> onLine_;
};

inline std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

inline const WCHAR* W(const char16_t* text) { return reinterpret_cast<const WCHAR*>(text); }

class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        LineSink::Instance().Clear();
        machine_ = &winsim::Machine::Boot();
        machine_->RegisterDriverImage(u"kx4grd_x64.sys", DriverEntry);
        winsim::VolumeOptions c;
        c.kind = winsim::VolumeKind::LocalDisk;
        c.dosName = u"C:";
        c_ = machine_->AddVolume(c);
        winsim::VolumeOptions e;
        e.kind = winsim::VolumeKind::UsbFlashDisk;
        e.dosName = u"E:";
        e_ = machine_->AddVolume(e);
        PutDriverFile(kDriverDir);
        BeforeHost();
        host_ = StartHost(kHostImage);
    }

    void TearDown() override {
        if (machine_ == nullptr) {
            return;
        }
        for (PEPROCESS host : hosts_) {
            if (!exited(host)) {
                EXPECT_TRUE(ThreadsEnded(host)) << "a library thread outlived the test";
                EXPECT_EQ(machine_->UserHandleCount(host), 0u) << HandlesOf(host);
                EXPECT_EQ(machine_->UserMemoryRegions(host), 0u);
            }
        }
        EXPECT_FALSE(machine_->RegKeyExists(kServiceKey)) << "service left behind";
        EXPECT_FALSE(machine_->IsDriverLoaded(u"kx4grd"));
        EXPECT_FALSE(machine_->NamedObjectExists(kReportEvent));
        EXPECT_FALSE(machine_->NamedObjectExists(kPresenceEvent));
        winsim::VerifierReport report = machine_->Verifier();
        EXPECT_TRUE(report.Clean()) << report.ToString();
        winsim::Machine::Shutdown();
        machine_ = nullptr;
    }

    virtual void BeforeHost() {}

    winsim::Machine& machine() { return *machine_; }

    PEPROCESS StartHost(const std::u16string& image, bool administrator = true) {
        winsim::HostOptions options;
        options.imagePath = image;
        options.administrator = administrator;
        PEPROCESS host = machine_->StartHost(options);
        hosts_.push_back(host);
        return host;
    }

    void ExitHost(PEPROCESS host) {
        machine_->ExitHost(host);
        exited_.push_back(host);
    }
    bool exited(PEPROCESS host) const {
        return std::find(exited_.begin(), exited_.end(), host) != exited_.end();
    }

    // The driver image in a directory of C: (Windows path).
    void PutDriverFile(const std::u16string& directory) {
        const std::string path = machine_->HostFilePath(directory + u"\\kx4grd_x64.sys");
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path) << "MZ";
    }

    // Runs fn as the host (a thread of the host process).
    void AsHost(PEPROCESS host, const std::function<void()>& fn) { machine_->RunAsHost(host, fn); }
    void AsHost(const std::function<void()>& fn) { AsHost(host_, fn); }

    INT Init(PEPROCESS host, const char16_t* directory = kDriverDir, ULONG_PTR context = 0) {
        INT result = -1;
        AsHost(host, [&] { result = Kx4grdInit(W(directory), &LineSink::Callback, context); });
        return result;
    }
    INT Init() { return Init(host_); }
    INT Cleanup(PEPROCESS host) {
        INT result = -1;
        AsHost(host, [&] { result = Kx4grdCleanup(); });
        return result;
    }
    INT Cleanup() { return Cleanup(host_); }

    // Waits (in real time, the reporter runs on its own thread) until pred holds.
    static bool WaitFor(const std::function<bool()>& pred, int seconds = 10) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!pred()) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    // The machine counts a thread until its bookkeeping ends, a moment after its
    // handle is signalled: a thread that was joined is gone within that moment,
    // one that still waits is not.
    bool ThreadsEnded(PEPROCESS host) {
        return WaitFor([&] { return machine_->UserThreadCount(host) == 0; }, 2);
    }

    // A thread the library has just created is counted once it runs, one just ended a
    // moment after: counts are compared once they have settled.
    bool ThreadCountIs(PEPROCESS host, size_t n) {
        return WaitFor([&] { return machine_->UserThreadCount(host) == n; }, 2);
    }

    std::string HandlesOf(PEPROCESS host) const {
        std::string out;
        for (const std::string& h : machine_->UserHandles(host)) {
            out += h + "; ";
        }
        return out;
    }

    std::u16string RegString(const std::u16string& subKey, const std::u16string& name) {
        std::u16string value;
        AsHost([&] {
            HKEY key = nullptr;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(subKey.c_str()), 0, KEY_READ, &key) != ERROR_SUCCESS) {
                return;
            }
            WCHAR buffer[260] = {};
            DWORD size = sizeof(buffer) - sizeof(WCHAR);
            DWORD type = 0;
            if (RegQueryValueExW(key, W(name.c_str()), nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size) ==
                    ERROR_SUCCESS &&
                (type == REG_SZ || type == REG_EXPAND_SZ)) {
                value = reinterpret_cast<const char16_t*>(buffer);
            }
            RegCloseKey(key);
        });
        return value;
    }

    winsim::Machine* machine_ = nullptr;
    winsim::VolumeInfo c_;
    winsim::VolumeInfo e_;
    PEPROCESS host_ = nullptr;
    std::vector<PEPROCESS> hosts_;
    std::vector<PEPROCESS> exited_;
};

}  // namespace e2e
