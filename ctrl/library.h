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
