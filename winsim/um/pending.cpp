// Weak stand-ins for the user-mode routines that other files of winsim/um/
// implement (services, registry, DOS devices, tokens, security descriptors, time
// conversions): until those land each fails with ERROR_CALL_NOT_IMPLEMENTED, and
// once a file defines the routine, the linker takes that definition instead.
#include "winsim/um/um_internal.h"

#define KX_PENDING __attribute__((weak))

namespace {
BOOL NotYet() {
    winsim::um::SetError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}
}  // namespace

KX_PENDING BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR, DWORD) { return NotYet(); }
KX_PENDING BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL) { return NotYet(); }
KX_PENDING BOOL WINAPI OpenProcessToken(HANDLE, DWORD, PHANDLE) { return NotYet(); }
KX_PENDING BOOL WINAPI LookupPrivilegeValueW(LPCWSTR, LPCWSTR, PLUID) { return NotYet(); }
KX_PENDING BOOL WINAPI AdjustTokenPrivileges(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD) {
    return NotYet();
}
KX_PENDING void WINAPI GetSystemTime(LPSYSTEMTIME) { NotYet(); }
KX_PENDING void WINAPI GetLocalTime(LPSYSTEMTIME) { NotYet(); }
KX_PENDING BOOL WINAPI FileTimeToLocalFileTime(const FILETIME*, LPFILETIME) { return NotYet(); }
KX_PENDING BOOL WINAPI FileTimeToSystemTime(const FILETIME*, LPSYSTEMTIME) { return NotYet(); }
KX_PENDING BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME*, LPFILETIME) { return NotYet(); }
KX_PENDING DWORD WINAPI GetTimeZoneInformation(LPTIME_ZONE_INFORMATION) {
    NotYet();
    return TIME_ZONE_ID_INVALID;
}
KX_PENDING DWORD WINAPI QueryDosDeviceW(LPCWSTR, LPWSTR, DWORD) { return static_cast<DWORD>(NotYet()); }
KX_PENDING DWORD WINAPI GetLogicalDriveStringsW(DWORD, LPWSTR) { return static_cast<DWORD>(NotYet()); }
KX_PENDING DWORD WINAPI GetLogicalDrives(void) { return static_cast<DWORD>(NotYet()); }
KX_PENDING LSTATUS WINAPI RegCreateKeyExW(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, const LPSECURITY_ATTRIBUTES,
                                          PHKEY, LPDWORD) {
    return ERROR_CALL_NOT_IMPLEMENTED;
}
KX_PENDING LSTATUS WINAPI RegOpenKeyExW(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY) { return ERROR_CALL_NOT_IMPLEMENTED; }
KX_PENDING LSTATUS WINAPI RegSetValueExW(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) {
    return ERROR_CALL_NOT_IMPLEMENTED;
}
KX_PENDING LSTATUS WINAPI RegQueryValueExW(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) {
    return ERROR_CALL_NOT_IMPLEMENTED;
}
KX_PENDING LSTATUS WINAPI RegDeleteValueW(HKEY, LPCWSTR) { return ERROR_CALL_NOT_IMPLEMENTED; }
KX_PENDING LSTATUS WINAPI RegDeleteKeyW(HKEY, LPCWSTR) { return ERROR_CALL_NOT_IMPLEMENTED; }
KX_PENDING LSTATUS WINAPI RegDeleteTreeW(HKEY, LPCWSTR) { return ERROR_CALL_NOT_IMPLEMENTED; }
KX_PENDING LSTATUS WINAPI RegCloseKey(HKEY) { return ERROR_CALL_NOT_IMPLEMENTED; }
KX_PENDING SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR, LPCWSTR, DWORD) {
    NotYet();
    return nullptr;
}
KX_PENDING SC_HANDLE WINAPI CreateServiceW(SC_HANDLE, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD, DWORD, LPCWSTR, LPCWSTR,
                                           LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR) {
    NotYet();
    return nullptr;
}
KX_PENDING SC_HANDLE WINAPI OpenServiceW(SC_HANDLE, LPCWSTR, DWORD) {
    NotYet();
    return nullptr;
}
KX_PENDING BOOL WINAPI ChangeServiceConfigW(SC_HANDLE, DWORD, DWORD, DWORD, LPCWSTR, LPCWSTR, LPDWORD, LPCWSTR, LPCWSTR,
                                            LPCWSTR, LPCWSTR) {
    return NotYet();
}
KX_PENDING BOOL WINAPI StartServiceW(SC_HANDLE, DWORD, LPCWSTR*) { return NotYet(); }
KX_PENDING BOOL WINAPI ControlService(SC_HANDLE, DWORD, LPSERVICE_STATUS) { return NotYet(); }
KX_PENDING BOOL WINAPI QueryServiceStatus(SC_HANDLE, LPSERVICE_STATUS) { return NotYet(); }
KX_PENDING BOOL WINAPI DeleteService(SC_HANDLE) { return NotYet(); }
KX_PENDING BOOL WINAPI CloseServiceHandle(SC_HANDLE) { return NotYet(); }
