// The library's process-wide objects. Kx4grdInit creates them and Kx4grdCleanup
// destroys them; a missing CInterface means the library is not initialised, and
// every export other than those two then answers 1 at once.
#pragma once

#include <string>

#include "platform/um.h"

class CInterface;
class CReporter;

constexpr size_t kServiceRecordChars = 260;

struct ServiceRecord {
    WCHAR driverPath[kServiceRecordChars];   // "<driver directory>\kx4grd_x64.sys"
    WCHAR serviceName[kServiceRecordChars];  // "kx4grd"
};

extern CInterface* g_interface;
extern CReporter* g_reporter;
extern ServiceRecord* g_serviceRecord;
// The host executable's directory (not this library's), and its ANSI copy.
extern WCHAR g_moduleDirectory[MAX_PATH];
extern std::string g_moduleDirectoryA;

// Exported functions: undecorated names. On Windows the module definition file
// exports them by ordinal only; elsewhere they are the only symbols the shared
// library makes visible.
#if defined(_WIN32)
#define KX_EXPORT extern "C"
#else
#define KX_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// ---- test-only: never called by the library itself.
namespace kxctrl_test {
// Makes `iface` the process's CInterface (nullptr forgets it) without Kx4grdInit,
// so the exports can be driven against a port the test controls. The caller keeps
// ownership and must reset it before destroying the object.
void SetInterfaceForTesting(CInterface* iface);
}  // namespace kxctrl_test

// ---- Kx4grdInit's results (added by wt-runtime). Every failure after the objects
// were created has already run Kx4grdCleanup (the service is stopped and deleted,
// and a previous instance of this process is retired too); 1 and 99 create nothing.
constexpr INT KX_INIT_SUCCESS = 0;
constexpr INT KX_INIT_BAD_ARGUMENT = 1;                // null driver directory
constexpr INT KX_INIT_NO_MODULE_DIRECTORY = 99;        // the host's image path holds no backslash
constexpr INT KX_INIT_NO_FILTER_LIBRARY = 102;         // fltlib.dll, one of its routines, or the presence event
constexpr INT KX_INIT_INSTALL_FAILED = 103;            // the service could not be created or reconfigured
constexpr INT KX_INIT_SETTINGS_FAILED = 104;           // the registry values of a new installation
constexpr INT KX_INIT_START_FAILED = 105;              // the service would not start (other than 1056)
constexpr INT KX_INIT_OPEN_FAILED = 106;               // no port after the service started
constexpr INT KX_INIT_REPORT_EVENT_FAILED = 108;       // the reporter's named event
constexpr INT KX_INIT_REPORTER_THREAD_FAILED = 109;    // the reporter thread could not be created
constexpr INT KX_INIT_EXCEPTION = 110;                 // an unexpected failure (such as no memory)
