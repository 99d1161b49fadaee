// A machine for the user-mode service tests: a system disk C:, a host process
// that makes the Win32 calls, and a small driver image whose entry and unload are
// counted. TearDown requires the verifier clean (no leaked handle either).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "platform/um.h"
#include "winsim/winsim.h"

namespace umtest {

struct DriverCounters {
    int entries = 0;
    int unloads = 0;
    NTSTATUS entryStatus = STATUS_SUCCESS;
    std::u16string registryPath;
};
inline DriverCounters g_driver;

inline void CountedUnload(PDRIVER_OBJECT) { ++g_driver.unloads; }

inline NTSTATUS CountedEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    ++g_driver.entries;
    g_driver.registryPath.assign(reinterpret_cast<const char16_t*>(registryPath->Buffer),
                                 registryPath->Length / sizeof(WCHAR));
    if (!NT_SUCCESS(g_driver.entryStatus)) return g_driver.entryStatus;
    driver->DriverUnload = CountedUnload;
    return STATUS_SUCCESS;
}

inline const char16_t kServicesKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";

class ServicesTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_driver = DriverCounters{};
        machine_ = &winsim::Machine::Boot();
        system_ = machine_->AddVolume({winsim::VolumeKind::LocalDisk});  // C:
        machine_->RegisterDriverImage(u"probe_x64.sys", CountedEntry);
        winsim::HostOptions host;
        host.imagePath = u"C:\\Program Files\\Agent\\agent.exe";
        host_ = machine_->StartHost(host);
    }

    void TearDown() override {
        winsim::VerifierReport report = machine_->Verifier();
        EXPECT_TRUE(report.Clean()) << report.ToString();
        winsim::Machine::Shutdown();
    }

    // A standard user's host (not elevated).
    PEPROCESS StandardUser() {
        winsim::HostOptions user;
        user.imagePath = u"C:\\Users\\u\\tool.exe";
        user.administrator = false;
        return machine_->StartHost(user);
    }

    // Runs fn on a thread of the host process, as the library's code would run.
    void AsHost(const std::function<void()>& fn) { machine_->RunAsHost(host_, fn); }

    // Creates a file on C: (path below the volume root, with forward slashes).
    void PutFile(const std::string& relative) {
        std::filesystem::path path = std::filesystem::path(system_.hostDir) / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << "MZ";
    }

    std::u16string ServiceKey(const std::u16string& name) const { return std::u16string(kServicesKey) + u"\\" + name; }

    winsim::Machine& machine() { return *machine_; }

    winsim::Machine* machine_ = nullptr;
    winsim::VolumeInfo system_;
    PEPROCESS host_ = nullptr;
};

// A wide literal as the Win32 calls take it.
inline const WCHAR* W(const char16_t* text) { return reinterpret_cast<const WCHAR*>(text); }

}  // namespace umtest

#include "winsim/io/io.h"

namespace umtest {

// A value as the hive holds it, read beside the API under test.
inline bool RawValue(const std::u16string& keyPath, const std::u16string& name, winsim::io::RegValue* value) {
    std::shared_ptr<winsim::io::RegKey> key;
    if (!NT_SUCCESS(winsim::io::RegistryOpen(nullptr, keyPath, &key))) return false;
    return NT_SUCCESS(winsim::io::RegistryQueryValue(key, name, value));
}

inline std::u16string RawText(const std::u16string& keyPath, const std::u16string& name, ULONG* type = nullptr) {
    winsim::io::RegValue v;
    if (!RawValue(keyPath, name, &v)) return u"<missing>";
    if (type) *type = v.type;
    std::u16string text(v.data.size() / 2, u'\0');
    std::memcpy(text.data(), v.data.data(), text.size() * 2);
    return text;  // terminator included, as stored
}

}  // namespace umtest
