// The Service Control Manager: what CreateServiceW writes, the errors of each call,
// starting a driver service (its DriverEntry runs when the image file is there),
// stopping it (it unloads), and deletion when the last handle closes.
#include <cstring>

#include "tests/winsim/um_scm_fixture.h"

namespace umtest {
namespace {

const char16_t kImage[] = u"C:\\Program Files\\Agent\\probe_x64.sys";

class ScmTest : public ServicesTest {
protected:
    SC_HANDLE Manager() {
        SC_HANDLE m = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        EXPECT_NE(m, nullptr) << GetLastError();
        return m;
    }
    SC_HANDLE Create(SC_HANDLE manager, const char16_t* name = u"probe", const char16_t* image = kImage,
                     DWORD type = SERVICE_KERNEL_DRIVER, DWORD start = SERVICE_DEMAND_START) {
        return CreateServiceW(manager, W(name), W(name), SERVICE_ALL_ACCESS, type, start, SERVICE_ERROR_NORMAL, W(image),
                              nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    DWORD FailureOf(BOOL ok) { return ok ? 0 : GetLastError(); }
};

TEST_F(ScmTest, CreateWritesTheServiceKeyAsWindowsDoes) {
    AsHost([&] {
        SC_HANDLE m = Manager();
        SC_HANDLE s = Create(m);
        ASSERT_NE(s, nullptr) << GetLastError();
        uint32_t v = 0;
        const std::u16string key = ServiceKey(u"probe");
        ASSERT_TRUE(machine().RegGetDword(key, u"Type", &v));
        EXPECT_EQ(v, 1u);
        ASSERT_TRUE(machine().RegGetDword(key, u"Start", &v));
        EXPECT_EQ(v, 3u);
        ASSERT_TRUE(machine().RegGetDword(key, u"ErrorControl", &v));
        EXPECT_EQ(v, 1u);
        ULONG type = 0;
        // A driver's drive-letter image path is kept in the object-manager form.
        EXPECT_EQ(RawText(key, u"ImagePath", &type), std::u16string(u"\\??\\") + kImage + u'\0');
        EXPECT_EQ(type, (ULONG)REG_EXPAND_SZ);
        EXPECT_EQ(RawText(key, u"DisplayName", &type), std::u16string(u"probe") + u'\0');
        EXPECT_EQ(type, (ULONG)REG_SZ);
        winsim::io::RegValue none;
        EXPECT_FALSE(RawValue(key, u"ObjectName", &none)) << "a driver has no account";
        EXPECT_FALSE(RawValue(key, u"DeleteFlag", &none));

        // The same name again, in any case, exists already.
        SetLastError(0);
        EXPECT_EQ(Create(m, u"PROBE"), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_EXISTS);
        // A display name that another service uses is refused too.
        EXPECT_EQ(CreateServiceW(m, W(u"other"), W(u"probe"), SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, W(kImage), nullptr, nullptr, nullptr,
                                 nullptr, nullptr),
                  nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_DUPLICATE_SERVICE_NAME);
        EXPECT_TRUE(CloseServiceHandle(s));
        EXPECT_TRUE(CloseServiceHandle(m));
    });
    EXPECT_EQ(machine().OpenServiceHandles(u"probe"), 0u);
    EXPECT_TRUE(machine().RegKeyExists(ServiceKey(u"probe"))) << "closing handles does not delete";
}

TEST_F(ScmTest, ArgumentAndHandleErrors) {
    AsHost([&] {
        SC_HANDLE m = Manager();
        EXPECT_EQ(OpenServiceW(m, W(u"nothere"), SERVICE_ALL_ACCESS), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DOES_NOT_EXIST);
        EXPECT_EQ(OpenServiceW(m, W(u"a\\b"), SERVICE_ALL_ACCESS), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_NAME);
        EXPECT_EQ(Create(m, u""), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_NAME);
        EXPECT_EQ(Create(m, u"probe", u""), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        EXPECT_EQ(Create(m, u"probe", kImage, 0x40), nullptr);  // no such service type
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        // A key without a Type is no service.
        machine().RegCreateKey(ServiceKey(u"bare"));
        EXPECT_EQ(OpenServiceW(m, W(u"bare"), SERVICE_ALL_ACCESS), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DOES_NOT_EXIST);

        // A manager opened to connect only may not create.
        SC_HANDLE connect = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        ASSERT_NE(connect, nullptr);
        EXPECT_EQ(Create(connect), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
        EXPECT_EQ(OpenSCManagerW(nullptr, W(u"OtherDatabase"), SC_MANAGER_CONNECT), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_DATABASE_DOES_NOT_EXIST);

        // Handles of the wrong kind, and closed ones.
        EXPECT_EQ(OpenServiceW(nullptr, W(u"probe"), SERVICE_ALL_ACCESS), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        EXPECT_FALSE(StartServiceW(m, 0, nullptr)) << "a manager handle is no service handle";
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        EXPECT_TRUE(CloseServiceHandle(connect));
        EXPECT_FALSE(CloseServiceHandle(connect));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        EXPECT_TRUE(CloseServiceHandle(m));
    });
}

TEST_F(ScmTest, AStandardUserMayNotInstall) {
    PEPROCESS process = StandardUser();
    machine().RunAsHost(process, [&] {
        EXPECT_EQ(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
        SC_HANDLE m = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        ASSERT_NE(m, nullptr);
        EXPECT_TRUE(CloseServiceHandle(m));
    });
}

TEST_F(ScmTest, StartRunsDriverEntryWhenTheImageIsThereAndStopUnloads) {
    AsHost([&] {
        SC_HANDLE m = Manager();
        SC_HANDLE s = Create(m);
        ASSERT_NE(s, nullptr);

        // No file yet: the load cannot find it (and a missing folder is a missing path).
        EXPECT_EQ(FailureOf(StartServiceW(s, 0, nullptr)), (DWORD)ERROR_PATH_NOT_FOUND);
        PutFile("Program Files/Agent/readme.txt");
        EXPECT_EQ(FailureOf(StartServiceW(s, 0, nullptr)), (DWORD)ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(g_driver.entries, 0);

        PutFile("Program Files/Agent/probe_x64.sys");
        ASSERT_TRUE(StartServiceW(s, 0, nullptr)) << GetLastError();
        EXPECT_EQ(g_driver.entries, 1);
        EXPECT_EQ(g_driver.registryPath, ServiceKey(u"probe"));
        EXPECT_TRUE(machine().IsDriverLoaded(u"probe"));
        EXPECT_EQ(FailureOf(StartServiceW(s, 0, nullptr)), (DWORD)ERROR_SERVICE_ALREADY_RUNNING);
        EXPECT_EQ(g_driver.entries, 1);

        SERVICE_STATUS status{};
        ASSERT_TRUE(QueryServiceStatus(s, &status));
        EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_RUNNING);
        EXPECT_EQ(status.dwServiceType, (DWORD)SERVICE_KERNEL_DRIVER);

        ASSERT_TRUE(ControlService(s, SERVICE_CONTROL_STOP, &status)) << GetLastError();
        EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_STOPPED);
        EXPECT_EQ(g_driver.unloads, 1);
        EXPECT_FALSE(machine().IsDriverLoaded(u"probe"));
        EXPECT_FALSE(ControlService(s, SERVICE_CONTROL_STOP, &status));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_NOT_ACTIVE);

        // And it starts again.
        ASSERT_TRUE(StartServiceW(s, 0, nullptr)) << GetLastError();
        EXPECT_EQ(g_driver.entries, 2);
        ASSERT_TRUE(ControlService(s, SERVICE_CONTROL_STOP, &status));
        CloseServiceHandle(s);
        CloseServiceHandle(m);
    });
}

TEST_F(ScmTest, ImagePathForms) {
    AsHost([&] {
        SC_HANDLE m = Manager();
        // Relative to the system root (C:\Windows), and the \SystemRoot\ form.
        PutFile("Windows/System32/drivers/probe_x64.sys");
        SC_HANDLE a = Create(m, u"rel", u"System32\\drivers\\probe_x64.sys");
        ASSERT_NE(a, nullptr);
        EXPECT_TRUE(StartServiceW(a, 0, nullptr)) << GetLastError();
        SC_HANDLE b = Create(m, u"root", u"\\SystemRoot\\System32\\drivers\\probe_x64.sys");
        ASSERT_NE(b, nullptr);
        EXPECT_TRUE(StartServiceW(b, 0, nullptr)) << GetLastError();
        // The device form names the same file.
        SC_HANDLE c = Create(m, u"dev", (system_.deviceName + u"\\Windows\\System32\\drivers\\probe_x64.sys").c_str());
        ASSERT_NE(c, nullptr);
        EXPECT_TRUE(StartServiceW(c, 0, nullptr)) << GetLastError();
        EXPECT_EQ(g_driver.entries, 3);
        // A drive without a volume, and a file that is no driver image this machine knows.
        SC_HANDLE d = Create(m, u"nodrive", u"Q:\\probe_x64.sys");
        EXPECT_EQ(FailureOf(StartServiceW(d, 0, nullptr)), (DWORD)ERROR_PATH_NOT_FOUND);
        PutFile("Windows/System32/drivers/unknown.sys");
        SC_HANDLE e = Create(m, u"unknown", u"C:\\Windows\\System32\\drivers\\unknown.sys");
        EXPECT_EQ(FailureOf(StartServiceW(e, 0, nullptr)), (DWORD)ERROR_BAD_EXE_FORMAT);
        SERVICE_STATUS status;
        for (SC_HANDLE h : {a, b, c}) EXPECT_TRUE(ControlService(h, SERVICE_CONTROL_STOP, &status));
        for (SC_HANDLE h : {a, b, c, d, e}) CloseServiceHandle(h);
        CloseServiceHandle(m);
    });
}

TEST_F(ScmTest, StartErrors) {
    PutFile("Program Files/Agent/probe_x64.sys");
    AsHost([&] {
        SC_HANDLE m = Manager();
        SC_HANDLE s = Create(m, u"probe", kImage, SERVICE_KERNEL_DRIVER, SERVICE_DISABLED);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(FailureOf(StartServiceW(s, 0, nullptr)), (DWORD)ERROR_SERVICE_DISABLED);
        ASSERT_TRUE(ChangeServiceConfigW(s, SERVICE_NO_CHANGE, SERVICE_DEMAND_START, SERVICE_NO_CHANGE, nullptr,
                                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
        // A failing DriverEntry: its status as a Windows error, and nothing loaded.
        g_driver.entryStatus = STATUS_INSUFFICIENT_RESOURCES;
        EXPECT_EQ(FailureOf(StartServiceW(s, 0, nullptr)), 1450u);  // ERROR_NO_SYSTEM_RESOURCES
        EXPECT_FALSE(machine().IsDriverLoaded(u"probe"));
        g_driver.entryStatus = STATUS_SUCCESS;
        // A handle without the start right.
        SC_HANDLE query = OpenServiceW(m, W(u"probe"), SERVICE_QUERY_STATUS);
        ASSERT_NE(query, nullptr);
        EXPECT_EQ(FailureOf(StartServiceW(query, 0, nullptr)), (DWORD)ERROR_ACCESS_DENIED);
        // The machine runs no service processes: a Win32 service does not answer.
        SC_HANDLE win32 = Create(m, u"svc", kImage, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START);
        ASSERT_NE(win32, nullptr);
        EXPECT_EQ(FailureOf(StartServiceW(win32, 0, nullptr)), (DWORD)ERROR_SERVICE_REQUEST_TIMEOUT);
        for (SC_HANDLE h : {s, query, win32, m}) CloseServiceHandle(h);
    });
}

TEST_F(ScmTest, ADriverLoadedOtherwiseShowsAsRunning) {
    PutFile("Program Files/Agent/probe_x64.sys");
    ASSERT_EQ(machine().LoadDriver(u"probe", u"probe_x64.sys"), STATUS_SUCCESS);
    AsHost([&] {
        SC_HANDLE m = Manager();
        SC_HANDLE s = OpenServiceW(m, W(u"probe"), SERVICE_ALL_ACCESS);
        ASSERT_NE(s, nullptr) << "the loader's service key is a service";
        EXPECT_EQ(FailureOf(StartServiceW(s, 0, nullptr)), (DWORD)ERROR_SERVICE_ALREADY_RUNNING);
        SERVICE_STATUS status;
        EXPECT_TRUE(ControlService(s, SERVICE_CONTROL_STOP, &status));
        EXPECT_EQ(g_driver.unloads, 1);
        CloseServiceHandle(s);
        CloseServiceHandle(m);
    });
}

TEST_F(ScmTest, ChangeConfigRewritesWhatIsGivenOnly) {
    AsHost([&] {
        SC_HANDLE m = Manager();
        SC_HANDLE s = Create(m);
        ASSERT_NE(s, nullptr);
        ASSERT_TRUE(ChangeServiceConfigW(s, SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE,
                                         W(u"D:\\other\\probe_x64.sys"), nullptr, nullptr, nullptr, nullptr, nullptr,
                                         W(u"Probe driver")));
        uint32_t v = 0;
        ASSERT_TRUE(machine().RegGetDword(ServiceKey(u"probe"), u"Start", &v));
        EXPECT_EQ(v, 2u);
        ASSERT_TRUE(machine().RegGetDword(ServiceKey(u"probe"), u"ErrorControl", &v));
        EXPECT_EQ(v, 1u);
        EXPECT_EQ(RawText(ServiceKey(u"probe"), u"ImagePath"), std::u16string(u"\\??\\D:\\other\\probe_x64.sys") + u'\0');
        EXPECT_EQ(RawText(ServiceKey(u"probe"), u"DisplayName"), std::u16string(u"Probe driver") + u'\0');
        EXPECT_FALSE(ChangeServiceConfigW(s, SERVICE_NO_CHANGE, 7, SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                                          nullptr, nullptr, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        CloseServiceHandle(s);
        CloseServiceHandle(m);
    });
}

TEST_F(ScmTest, DeleteRemovesTheWholeTreeWhenTheLastHandleCloses) {
    AsHost([&] {
        SC_HANDLE m = Manager();
        SC_HANDLE s = Create(m);
        ASSERT_NE(s, nullptr);
        machine().RegSetDword(ServiceKey(u"probe") + u"\\Parameters", u"DebugLevel", 3);
        machine().RegSetString(ServiceKey(u"probe") + u"\\Instances\\probe inst", u"Altitude", u"1");
        SC_HANDLE second = OpenServiceW(m, W(u"probe"), SERVICE_ALL_ACCESS);
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(machine().OpenServiceHandles(u"probe"), 2u);

        ASSERT_TRUE(DeleteService(s)) << GetLastError();
        EXPECT_TRUE(machine().ServiceMarkedForDelete(u"probe"));
        uint32_t flag = 0;
        EXPECT_TRUE(machine().RegGetDword(ServiceKey(u"probe"), u"DeleteFlag", &flag));
        EXPECT_EQ(flag, 1u);
        // Marked: it can be neither deleted again, nor changed, nor started, nor created anew.
        EXPECT_EQ(FailureOf(DeleteService(second)), (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);
        EXPECT_EQ(FailureOf(StartServiceW(second, 0, nullptr)), (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);
        EXPECT_EQ(FailureOf(ChangeServiceConfigW(second, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                                 W(u"C:\\x.sys"), nullptr, nullptr, nullptr, nullptr, nullptr,
                                                 nullptr)),
                  (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);
        EXPECT_EQ(Create(m), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);

        EXPECT_TRUE(CloseServiceHandle(s));
        EXPECT_TRUE(machine().RegKeyExists(ServiceKey(u"probe"))) << "a handle is still open";
        EXPECT_TRUE(CloseServiceHandle(second));
        EXPECT_FALSE(machine().RegKeyExists(ServiceKey(u"probe")));
        EXPECT_FALSE(machine().RegKeyExists(ServiceKey(u"probe") + u"\\Parameters"));
        EXPECT_EQ(OpenServiceW(m, W(u"probe"), SERVICE_ALL_ACCESS), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DOES_NOT_EXIST);

        // The name is free again.
        SC_HANDLE again = Create(m);
        ASSERT_NE(again, nullptr) << GetLastError();
        EXPECT_FALSE(machine().ServiceMarkedForDelete(u"probe"));
        CloseServiceHandle(again);
        CloseServiceHandle(m);
    });
}

TEST_F(ScmTest, ARunningServiceMarkedForDeleteGoesWhenStopped) {
    PutFile("Program Files/Agent/probe_x64.sys");
    AsHost([&] {
        SC_HANDLE m = Manager();
        SC_HANDLE s = Create(m);
        ASSERT_TRUE(StartServiceW(s, 0, nullptr));
        ASSERT_TRUE(DeleteService(s));
        CloseServiceHandle(s);
        EXPECT_TRUE(machine().RegKeyExists(ServiceKey(u"probe"))) << "still running";
        // Open it again (a marked service can be opened), stop it, close: gone.
        s = OpenServiceW(m, W(u"probe"), SERVICE_ALL_ACCESS);
        ASSERT_NE(s, nullptr) << GetLastError();
        SERVICE_STATUS status;
        ASSERT_TRUE(ControlService(s, SERVICE_CONTROL_STOP, &status));
        EXPECT_TRUE(machine().RegKeyExists(ServiceKey(u"probe"))) << "its handle is still open";
        CloseServiceHandle(s);
        EXPECT_FALSE(machine().RegKeyExists(ServiceKey(u"probe")));
        CloseServiceHandle(m);
    });
    EXPECT_EQ(g_driver.unloads, 1);
}

}  // namespace
}  // namespace umtest

namespace umtest {
namespace {

// A service or registry handle the host never closes is a leak the verifier names.
TEST_F(ScmTest, HandlesLeftOpenAreReported) {
    SC_HANDLE manager = nullptr;
    HKEY key = nullptr;
    AsHost([&] {
        manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        ASSERT_NE(manager, nullptr);
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(u"SOFTWARE"), 0, KEY_READ, &key), ERROR_SUCCESS);
    });
    EXPECT_EQ(machine().UserHandleCount(host_), 2u);
    winsim::VerifierReport report = machine().Verifier();
    EXPECT_FALSE(report.Clean());
    EXPECT_NE(report.ToString().find("left open"), std::string::npos) << report.ToString();
    AsHost([&] {
        EXPECT_TRUE(CloseServiceHandle(manager));
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        // Each handle goes back through its own closing routine only.
    });
    EXPECT_EQ(machine().UserHandleCount(host_), 0u);
}

// Handles are per process: another process cannot use or close the host's.
TEST_F(ScmTest, AnotherProcessCannotUseTheHostsHandles) {
    SC_HANDLE manager = nullptr;
    AsHost([&] { manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS); });
    ASSERT_NE(manager, nullptr);
    PEPROCESS other = StandardUser();
    machine().RunAsHost(other, [&] {
        EXPECT_FALSE(CloseServiceHandle(manager));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    });
    AsHost([&] { EXPECT_TRUE(CloseServiceHandle(manager)); });
}

// A host that exits with a service handle open: the system closes it, and a
// service marked for deletion goes with it.
TEST_F(ScmTest, ExitClosesTheHostsServiceHandles) {
    AsHost([&] {
        SC_HANDLE m = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE s = CreateServiceW(m, W(u"probe"), W(u"probe"), SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, W(u"C:\\probe_x64.sys"), nullptr,
                                     nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(s, nullptr);
        ASSERT_TRUE(DeleteService(s));
    });
    EXPECT_TRUE(machine().RegKeyExists(ServiceKey(u"probe")));
    machine().ExitHost(host_);
    EXPECT_FALSE(machine().RegKeyExists(ServiceKey(u"probe")));
    EXPECT_EQ(machine().OpenServiceHandles(u"probe"), 0u);
}

}  // namespace
}  // namespace umtest
