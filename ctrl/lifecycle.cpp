// Kx4grdInit and Kx4grdCleanup: bringing the driver up (installing and starting its
// service when its port cannot be reached), connecting, starting the reporter and
// the notification thread; and taking all of it down again.
#include "platform/um.h"

#include <cstring>
#include <exception>
#include <string>

#include "ctrl/diag_log.h"
#include "ctrl/interface.h"
#include "ctrl/kx4grdctrl.h"
#include "ctrl/library.h"
#include "ctrl/local_conf.h"
#include "ctrl/reporter.h"
#include "ctrl/service.h"

namespace {

constexpr WCHAR kServiceName[] = WSTR("kx4grd");
constexpr size_t kDriverPathChars = 1024;  // "<directory>\kx4grd_x64.sys", cut to 1023
constexpr DWORD kCleanupPauseMs = 1000;
constexpr DWORD kServiceAlreadyRunning = 1056;  // ERROR_SERVICE_ALREADY_RUNNING

// The objects of one initialised instance.
struct Instance {
    CInterface* iface = nullptr;
    CReporter* reporter = nullptr;
    ServiceRecord* serviceRecord = nullptr;
};

Instance TakeGlobals() {
    Instance taken{g_interface, g_reporter, g_serviceRecord};
    g_interface = nullptr;
    g_reporter = nullptr;
    g_serviceRecord = nullptr;
    return taken;
}

// Stops the reporter thread and frees the reporter. On the reporter's own thread
// (Kx4grdCleanup or Kx4grdInit called from the host's callback) it cannot wait
// for itself: the thread is told to stop and frees the reporter as it leaves.
void RetireReporter(CReporter*& reporter) {
    if (reporter == nullptr) {
        return;
    }
    if (reporter->OnReporterThread()) {
        reporter->DetachFromCaller();
    } else {
        reporter->Stop();
        delete reporter;
    }
    reporter = nullptr;
}

// Ends the port client: STOP when asked and connected, the port closed (which ends
// a pending receive), the notification thread joined, the library and the
// presence event released.
void RetireInterface(CInterface*& iface, bool sendStop) {
    if (iface == nullptr) {
        return;
    }
    iface->notifyRunning_.store(false);
    if (iface->Connected()) {
        if (sendStop) {
            iface->StartAndStop(0);
        }
        iface->Close();
    }
    iface->StopGetMessageThread();
    iface->Release();
    delete iface;
    iface = nullptr;
}

// A previous instance of this process, replaced by a new Kx4grdInit: its threads
// end and its handles close, but the service stays and no STOP is sent (the new
// connection is already up, so the driver never sees its last client leave).
void RetireInstance(Instance& previous) {
    if (previous.iface != nullptr) {
        previous.iface->notifyRunning_.store(false);
    }
    RetireReporter(previous.reporter);
    RetireInterface(previous.iface, false);
    delete previous.serviceRecord;
    previous.serviceRecord = nullptr;
}

// SeDebugPrivilege for the process; every failure is ignored.
void EnableDebugPrivilege() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return;
    }
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueW(nullptr, WSTR("SeDebugPrivilege"), &privileges.Privileges[0].Luid)) {
        AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(privileges), nullptr, nullptr);
    }
    CloseHandle(token);
}

// HKLM "SOFTWARE\Test" "ProcessCreate": 4 bytes, type not checked; 0 when the key
// or the value cannot be read.
DWORD ReadProcessCreateSwitch() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\Test"), 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS) {
        return 0;
    }
    DWORD value = 0;
    DWORD size = sizeof(value);
    DWORD type = 0;
    if (RegQueryValueExW(key, WSTR("ProcessCreate"), nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size) !=
        ERROR_SUCCESS) {
        value = 0;
    }
    RegCloseKey(key);
    return value;
}

// Copies at most chars - 1 characters of src and terminates.
void CopyCut(WCHAR* dst, size_t chars, const WCHAR* src) {
    WideTextBuilder(dst, chars).Text(src);
}

INT InitBody(LPCWSTR driverDirectory, ReporterLineCallback callback, ULONG_PTR notifyContext, Instance& previous) {
    KX_LOGA("%s :: start!!", "Kx4grdInit");
    if (driverDirectory == nullptr) {
        KX_LOGA("%s :: no driver directory", "Kx4grdInit");
        return KX_INIT_BAD_ARGUMENT;
    }

    // The host executable's directory (the image path holds at most 259 characters).
    WCHAR imagePath[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, imagePath, MAX_PATH);
    imagePath[MAX_PATH - 1] = 0;
    WCHAR* lastBackslash = wcsrchr(imagePath, WSTR('\\'));
    if (lastBackslash == nullptr) {
        return KX_INIT_NO_MODULE_DIRECTORY;
    }
    *lastBackslash = 0;
    CopyCut(g_moduleDirectory, KX_COUNTOF(g_moduleDirectory), imagePath);

    WCHAR driverPath[kDriverPathChars];
    WideTextBuilder(driverPath, KX_COUNTOF(driverPath))
        .Text(driverDirectory).Text(WSTR("\\")).Text(kServiceName).Text(WSTR("_x64.sys"));

    // The configuration is read with the ANSI directory; a directory that does not
    // convert is skipped rather than read (and logged to) at the drive's root.
    char directoryA[2 * MAX_PATH + 1] = {};
    const int converted = WideCharToMultiByte(CP_ACP, 0, g_moduleDirectory, -1, directoryA,
                                              static_cast<int>(sizeof(directoryA)), nullptr, nullptr);
    if (converted > 1) {
        directoryA[sizeof(directoryA) - 1] = 0;
        g_moduleDirectoryA = directoryA;
        std::string configPath;
        CLocalConf::GetConfig(g_moduleDirectoryA, configPath);
    } else {
        g_moduleDirectoryA.clear();
        KX_LOGA("%s :: module directory not convertible, configuration skipped", "Kx4grdInit");
    }
    KX_LOGW(WSTR("%s :: syspath(%s)\n"), WSTR("Kx4grdInit"), driverPath);

    // From here on a previous instance of this process is set aside; it is retired
    // once the new connection is up, or with everything else on a failure.
    previous = TakeGlobals();

    g_serviceRecord = new ServiceRecord();
    CopyCut(g_serviceRecord->driverPath, KX_COUNTOF(g_serviceRecord->driverPath), driverPath);
    CopyCut(g_serviceRecord->serviceName, KX_COUNTOF(g_serviceRecord->serviceName), kServiceName);

    g_interface = new CInterface();
    EnableDebugPrivilege();

    // A null access list: every process may open the named events.
    SECURITY_DESCRIPTOR descriptor;
    std::memset(&descriptor, 0, sizeof(descriptor));
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = FALSE;

    if (!g_interface->Init(&attributes)) {
        KX_LOGW(WSTR("%s :: interface init Fail\tGE(%d)\n"), WSTR("Kx4grdInit"), GetLastError());
        return KX_INIT_NO_FILTER_LIBRARY;
    }

    KX_LOGW(WSTR("%s :: step 1.0\n"), WSTR("Kx4grdInit"));
    if (g_interface->OpenEx()) {
        // The driver runs already: only its registry values are written again.
        SetMiniFltSeting(*g_serviceRecord);
    } else {
        CServiceControl service;
        const DWORD installError = service.Install(*g_serviceRecord);
        if (installError != 0) {
            KX_LOGW(WSTR("%s :: driver install fail %d\n"), WSTR("Kx4grdInit"), installError);
            return KX_INIT_INSTALL_FAILED;
        }
        KX_LOGW(WSTR("%s :: step 1.1\n"), WSTR("Kx4grdInit"));
        const DWORD settingsStatus = SetMiniFltSeting(*g_serviceRecord);
        if (settingsStatus != 0) {
            KX_LOGW(WSTR("%s :: SetMiniFltSeting status(%d)\n"), WSTR("Kx4grdInit"), settingsStatus);
            return KX_INIT_SETTINGS_FAILED;
        }
        const DWORD startStatus = service.Start(*g_serviceRecord);
        if (startStatus != 0 && startStatus != kServiceAlreadyRunning) {
            KX_LOGW(WSTR("%s :: service start status(%x)\n"), WSTR("Kx4grdInit"), startStatus);
            return KX_INIT_START_FAILED;
        }
        KX_LOGW(WSTR("%s :: step 1.2\n"), WSTR("Kx4grdInit"));
        if (!g_interface->OpenEx()) {
            KX_LOGW(WSTR("%s :: driver open fail (%x)\n"), WSTR("Kx4grdInit"), GetLastError());
            return KX_INIT_OPEN_FAILED;
        }
        KX_LOGW(WSTR("%s :: step 1.3\n"), WSTR("Kx4grdInit"));
    }

    // The new connection is up: the previous instance can go without the driver
    // seeing its last client leave, and before a second reporter would drain the log.
    RetireInstance(previous);

    CInterface* iface = g_interface;
    g_reporter = new CReporter(callback, [iface](PVOID reply, DWORD replySize, PDWORD returned) {
        return iface->GetLog(reply, replySize, returned);
    });
    if (!g_reporter->Init(&attributes)) {
        KX_LOGA("%s :: report_ init fail\n", "Kx4grdInit");
        return KX_INIT_REPORT_EVENT_FAILED;
    }
    if (!g_reporter->Start()) {
        KX_LOGW(WSTR("%s :: reporter thread fail ge(%d)\n"), WSTR("Kx4grdInit"), GetLastError());
        return KX_INIT_REPORTER_THREAD_FAILED;
    }

    if (ReadProcessCreateSwitch() != 0) {
        KX_LOGA("%s :: RegProcessCreate!!", "Kx4grdInit");
        g_interface->StartGetMessageThread(notifyContext);
    }
    return KX_INIT_SUCCESS;
}

void CleanupBody() {
    // Every thread of the library is told to stop first; each is then woken and
    // waited for before the objects it uses go.
    if (g_interface != nullptr) {
        g_interface->notifyRunning_.store(false);
    }
    RetireReporter(g_reporter);
    Sleep(kCleanupPauseMs);
    RetireInterface(g_interface, true);
    if (g_serviceRecord != nullptr) {
        CServiceControl service;
        service.Stop(*g_serviceRecord);
        service.Remove(*g_serviceRecord);
        delete g_serviceRecord;
        g_serviceRecord = nullptr;
    }
    KX_LOGW(WSTR("%s :: end\n"), WSTR("Kx4grdCleanup"));
}

}  // namespace

KX_EXPORT INT WINAPI Kx4grdCleanup(void) {
    try {
        CleanupBody();
    } catch (const std::exception& e) {
        KX_LOGA("%s :: exception %s", "Kx4grdCleanup", e.what());
    } catch (...) {
        KX_LOGA("%s :: exception", "Kx4grdCleanup");
    }
    return 0;
}

KX_EXPORT INT WINAPI Kx4grdInit(LPCWSTR driverDirectory, ReporterLineCallback callback, ULONG_PTR notifyContext) {
    Instance previous;
    INT result = KX_INIT_SUCCESS;
    try {
        result = InitBody(driverDirectory, callback, notifyContext, previous);
    } catch (const std::exception& e) {
        KX_LOGA("%s :: exception %s", "Kx4grdInit", e.what());
        result = KX_INIT_EXCEPTION;
    } catch (...) {
        KX_LOGA("%s :: exception", "Kx4grdInit");
        result = KX_INIT_EXCEPTION;
    }
    if (result == KX_INIT_SUCCESS || result == KX_INIT_BAD_ARGUMENT || result == KX_INIT_NO_MODULE_DIRECTORY) {
        // Success, or refused before anything was created or set aside.
        return result;
    }
    // A failure after the objects were created: the previous instance (if any)
    // goes too, then everything of this one, the service included.
    try {
        RetireInstance(previous);
    } catch (...) {
    }
    Kx4grdCleanup();
    return result;
}
