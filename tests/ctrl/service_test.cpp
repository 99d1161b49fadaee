// Service installation by the library: CServiceControl and SetMiniFltSeting
// against the machine's Service Control Manager and registry, with the real
// driver image behind the service.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "ctrl/library.h"
#include "ctrl/service.h"
#include "driver/core/entry.h"
#include "winsim/winsim.h"

namespace {

const char16_t kServiceKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kx4grd";
const char16_t kDriverPath[] = u"C:\\Program Files\\Agent\\kx4grd_x64.sys";

class ServiceControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        machine_ = &winsim::Machine::Boot();
        system_ = machine_->AddVolume({winsim::VolumeKind::LocalDisk});  // C:
        machine_->RegisterDriverImage(u"kx4grd_x64.sys", DriverEntry);
        PutFile("Program Files/Agent/kx4grd_x64.sys");
        winsim::HostOptions host;
        host.imagePath = u"C:\\Program Files\\Agent\\agent.exe";
        host_ = machine_->StartHost(host);
        record_ = Record(kDriverPath);
    }

    void TearDown() override {
        if (machine_->IsDriverLoaded(u"kx4grd")) EXPECT_EQ(machine_->UnloadDriver(u"kx4grd"), STATUS_SUCCESS);
        EXPECT_EQ(machine_->OpenServiceHandles(u"kx4grd"), 0u) << "a service handle was left open";
        winsim::VerifierReport report = machine_->Verifier();
        EXPECT_TRUE(report.Clean()) << report.ToString();
        winsim::Machine::Shutdown();
    }

    static ServiceRecord Record(const std::u16string& path, const std::u16string& name = u"kx4grd") {
        ServiceRecord r{};
        std::memcpy(r.driverPath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
        std::memcpy(r.serviceName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
        return r;
    }

    void PutFile(const std::string& relative) {
        std::filesystem::path path = std::filesystem::path(system_.hostDir) / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << "MZ";
    }

    void AsHost(const std::function<void()>& fn) { machine_->RunAsHost(host_, fn); }

    // The value as the hive holds it: type and bytes.
    struct Raw {
        ULONG type = 0;
        std::vector<uint8_t> bytes;
    };
    Raw Value(const std::u16string& subKey, const char16_t* name) {
        Raw raw;
        AsHost([&] {
            std::u16string path = std::u16string(u"System\\CurrentControlSet\\Services\\kx4grd") + subKey;
            HKEY key = nullptr;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<const WCHAR*>(path.c_str()), 0, KEY_READ, &key) !=
                ERROR_SUCCESS)
                return;
            DWORD type = 0, size = 0;
            if (RegQueryValueExW(key, reinterpret_cast<const WCHAR*>(name), nullptr, &type, nullptr, &size) ==
                ERROR_SUCCESS) {
                raw.bytes.resize(size);
                RegQueryValueExW(key, reinterpret_cast<const WCHAR*>(name), nullptr, &type, raw.bytes.data(), &size);
                raw.type = type;
            }
            RegCloseKey(key);
        });
        return raw;
    }
    static std::vector<uint8_t> Bytes(const void* data, size_t size) {
        const auto* p = static_cast<const uint8_t*>(data);
        return std::vector<uint8_t>(p, p + size);
    }
    static std::vector<uint8_t> Dword(uint32_t v) { return Bytes(&v, 4); }

    winsim::Machine* machine_ = nullptr;
    winsim::VolumeInfo system_;
    PEPROCESS host_ = nullptr;
    ServiceRecord record_{};
    CServiceControl control_;
};

TEST_F(ServiceControlTest, FirstInstallCreatesTheServiceAndTheFiveValues) {
    DWORD installed = 1, written = 1;
    AsHost([&] {
        installed = control_.Install(record_);
        written = SetMiniFltSeting(record_);
    });
    EXPECT_EQ(installed, 0u);
    EXPECT_EQ(written, 0u);

    // The service: a kernel driver started on demand, error control normal.
    uint32_t v = 0;
    ASSERT_TRUE(machine_->RegGetDword(kServiceKey, u"Type", &v));
    EXPECT_EQ(v, 1u);
    ASSERT_TRUE(machine_->RegGetDword(kServiceKey, u"Start", &v));
    EXPECT_EQ(v, 3u);
    ASSERT_TRUE(machine_->RegGetDword(kServiceKey, u"ErrorControl", &v));
    EXPECT_EQ(v, 1u);
    const std::u16string image = std::u16string(u"\\??\\") + kDriverPath;
    Raw imagePath = Value(u"", u"ImagePath");
    EXPECT_EQ(imagePath.type, (ULONG)REG_EXPAND_SZ);
    EXPECT_EQ(imagePath.bytes, Bytes(image.c_str(), (image.size() + 1) * 2));
    Raw display = Value(u"", u"DisplayName");
    EXPECT_EQ(display.bytes, Bytes(u"kx4grd", 14));

    // The five values, with their exact types and sizes.
    Raw defaultInstance = Value(u"\\Instances", u"DefaultInstance");
    EXPECT_EQ(defaultInstance.type, (ULONG)REG_SZ);
    EXPECT_EQ(defaultInstance.bytes, Bytes(u"kx4grdalttude", 28));
    Raw altitude = Value(u"\\Instances\\kx4grdalttude", u"Altitude");
    EXPECT_EQ(altitude.type, (ULONG)REG_SZ);
    EXPECT_EQ(altitude.bytes, Bytes(u"380830", 14));
    Raw flags = Value(u"\\Instances\\kx4grdalttude", u"Flags");
    EXPECT_EQ(flags.type, (ULONG)REG_DWORD);
    EXPECT_EQ(flags.bytes, Dword(0));
    Raw debugLevel = Value(u"\\Parameters", u"DebugLevel");
    EXPECT_EQ(debugLevel.type, (ULONG)REG_DWORD);
    EXPECT_EQ(debugLevel.bytes, Dword(3));
    Raw processCreate = Value(u"\\Parameters", u"ProcessCreate");
    EXPECT_EQ(processCreate.type, (ULONG)REG_DWORD);
    EXPECT_EQ(processCreate.bytes, Dword(0));
}

TEST_F(ServiceControlTest, ProcessCreateIsWrittenAsZeroEveryTime) {
    machine_->RegSetDword(std::u16string(kServiceKey) + u"\\Parameters", u"ProcessCreate", 1);
    machine_->RegSetDword(std::u16string(kServiceKey) + u"\\Parameters", u"DebugLevel", 0x1F);
    DWORD written = 1;
    AsHost([&] { written = SetMiniFltSeting(record_); });
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(Value(u"\\Parameters", u"ProcessCreate").bytes, Dword(0));
    EXPECT_EQ(Value(u"\\Parameters", u"DebugLevel").bytes, Dword(3));
}

TEST_F(ServiceControlTest, ReinstallPointsAnExistingServiceAtTheNewImage) {
    // An earlier installation from another directory, disabled meanwhile.
    PutFile("Old/kx4grd_x64.sys");
    ServiceRecord old = Record(u"C:\\Old\\kx4grd_x64.sys");
    AsHost([&] { ASSERT_EQ(control_.Install(old), 0u); });
    machine_->RegSetDword(kServiceKey, u"Start", 4);
    machine_->RegSetDword(kServiceKey, u"ErrorControl", 3);
    std::filesystem::remove(std::filesystem::path(system_.hostDir) / "Old/kx4grd_x64.sys");

    DWORD installed = 1, started = 1;
    AsHost([&] {
        installed = control_.Install(record_);
        ASSERT_EQ(SetMiniFltSeting(record_), 0u);
        started = control_.Start(record_);
    });
    EXPECT_EQ(installed, 0u);
    const std::u16string image = std::u16string(u"\\??\\") + kDriverPath;
    EXPECT_EQ(Value(u"", u"ImagePath").bytes, Bytes(image.c_str(), (image.size() + 1) * 2));
    uint32_t v = 0;
    ASSERT_TRUE(machine_->RegGetDword(kServiceKey, u"Start", &v));
    EXPECT_EQ(v, 3u);
    ASSERT_TRUE(machine_->RegGetDword(kServiceKey, u"ErrorControl", &v));
    EXPECT_EQ(v, 1u);
    // It starts from the new image (the old one is gone).
    EXPECT_EQ(started, 0u);
    EXPECT_TRUE(machine_->IsDriverLoaded(u"kx4grd"));
}

TEST_F(ServiceControlTest, StartRunsTheDriverStopUnloadsRemoveDeletes) {
    DWORD started = 1;
    AsHost([&] {
        ASSERT_EQ(control_.Install(record_), 0u);
        ASSERT_EQ(SetMiniFltSeting(record_), 0u);
        started = control_.Start(record_);
    });
    EXPECT_EQ(started, 0u);
    ASSERT_TRUE(machine_->IsDriverLoaded(u"kx4grd"));
    // The driver is up: its port takes a client.
    winsim::PortConnection* connection = nullptr;
    ASSERT_EQ(machine_->ConnectPort(host_, u"\\kx4grd", &connection), STATUS_SUCCESS);
    machine_->ClosePort(connection);

    AsHost([&] { control_.Stop(record_); });
    EXPECT_FALSE(machine_->IsDriverLoaded(u"kx4grd"));
    EXPECT_TRUE(machine_->RegKeyExists(kServiceKey));
    AsHost([&] { control_.Remove(record_); });
    EXPECT_FALSE(machine_->RegKeyExists(kServiceKey)) << "deleted with its whole tree once the last handle closed";
    EXPECT_FALSE(machine_->RegKeyExists(std::u16string(kServiceKey) + u"\\Parameters"));

    // Stop and remove of a service that is gone fail quietly.
    AsHost([&] {
        control_.Stop(record_);
        control_.Remove(record_);
    });
}

TEST_F(ServiceControlTest, StartRetriesWhileTheServiceRunsAndCostsNoTestTime) {
    AsHost([&] {
        ASSERT_EQ(control_.Install(record_), 0u);
        ASSERT_EQ(SetMiniFltSeting(record_), 0u);
    });
    // Still running from an earlier session.
    ASSERT_EQ(machine_->LoadDriver(u"kx4grd", u"kx4grd_x64.sys"), STATUS_SUCCESS);
    const uint64_t ticksBefore = machine_->TickCount();
    const uint64_t timeBefore = machine_->SystemTime();
    const auto wallBefore = std::chrono::steady_clock::now();
    DWORD started = 0;
    AsHost([&] { started = control_.Start(record_); });
    const auto wall = std::chrono::steady_clock::now() - wallBefore;
    // Five attempts, a 100 ms pause after each: 1056 is what the caller counts as started.
    EXPECT_EQ(started, (DWORD)ERROR_SERVICE_ALREADY_RUNNING);
    EXPECT_EQ(machine_->SystemTime() - timeBefore, 5u * 100u * 10000u);
    EXPECT_GE(machine_->TickCount() - ticksBefore, 500u * 10000u / winsim::Machine::kTimeIncrement);
    EXPECT_LT(wall, std::chrono::milliseconds(400)) << "the pauses run on the driven clock";
    EXPECT_TRUE(machine_->IsDriverLoaded(u"kx4grd"));
}

TEST_F(ServiceControlTest, StartWithoutTheImageFileFails) {
    ServiceRecord missing = Record(u"C:\\Program Files\\Agent\\nothere\\kx4grd_x64.sys");
    DWORD started = 0;
    AsHost([&] {
        ASSERT_EQ(control_.Install(missing), 0u);
        started = control_.Start(missing);
    });
    EXPECT_EQ(started, (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(machine_->IsDriverLoaded(u"kx4grd"));
}

TEST_F(ServiceControlTest, FailurePathsReturnTheErrorAndLeaveNoHandle) {
    // No such service: the manager handle is closed too.
    DWORD started = 0;
    AsHost([&] { started = control_.Start(record_); });
    EXPECT_EQ(started, (DWORD)ERROR_SERVICE_DOES_NOT_EXIST);

    // A host that may not open the manager with all access.
    winsim::HostOptions user;
    user.imagePath = u"C:\\Users\\u\\agent.exe";
    user.administrator = false;
    PEPROCESS standard = machine_->StartHost(user);
    DWORD installed = 0;
    machine_->RunAsHost(standard, [&] {
        installed = control_.Install(record_);
        started = control_.Start(record_);
        control_.Stop(record_);
        control_.Remove(record_);
    });
    EXPECT_EQ(installed, (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(started, (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_FALSE(machine_->RegKeyExists(kServiceKey));

    // A service marked for deletion cannot be created again: Install reports
    // success (the start shows the failure), and leaves no handle.
    AsHost([&] {
        ASSERT_EQ(control_.Install(record_), 0u);
        SC_HANDLE m = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE s = OpenServiceW(m, reinterpret_cast<const WCHAR*>(u"kx4grd"), SERVICE_ALL_ACCESS);
        ASSERT_TRUE(DeleteService(s));
        EXPECT_EQ(control_.Install(record_), 0u);
        EXPECT_EQ(control_.Start(record_), (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);
        EXPECT_EQ(machine_->OpenServiceHandles(u"kx4grd"), 1u) << "only the test's own";
        CloseServiceHandle(s);
        CloseServiceHandle(m);
    });
    EXPECT_FALSE(machine_->RegKeyExists(kServiceKey));
}

// Every key SetMiniFltSeting opens is closed, not only the last one.
TEST_F(ServiceControlTest, SettingsLeaveNoKeyOpen) {
    AsHost([&] {
        ASSERT_EQ(control_.Install(record_), 0u);
        ASSERT_EQ(SetMiniFltSeting(record_), 0u);
        ASSERT_EQ(SetMiniFltSeting(record_), 0u);  // the keys exist now: opened, not created
    });
    EXPECT_EQ(machine_->UserHandleCount(host_), 0u) << ::testing::PrintToString(machine_->UserHandles(host_));
}

// Stop and Remove of a service that does not exist close the manager handle.
TEST_F(ServiceControlTest, StopAndRemoveOfAMissingServiceLeaveNoHandle) {
    AsHost([&] {
        control_.Stop(record_);
        control_.Remove(record_);
        EXPECT_EQ(control_.Start(record_), (DWORD)ERROR_SERVICE_DOES_NOT_EXIST);
    });
    EXPECT_EQ(machine_->UserHandleCount(host_), 0u) << ::testing::PrintToString(machine_->UserHandles(host_));
}

TEST_F(ServiceControlTest, SettingsThatCannotBeWrittenEndWithTheError) {
    // A service name no key can carry: every key fails, and the Parameters key's
    // failure is the result.
    ServiceRecord bad = Record(kDriverPath, u"kx4\\\\grd");
    DWORD written = 0;
    AsHost([&] { written = SetMiniFltSeting(bad); });
    EXPECT_EQ(written, (DWORD)ERROR_INVALID_NAME);
}

}  // namespace
