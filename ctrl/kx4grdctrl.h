// kx4grdctrl's exported interface: 32 functions (by ordinal only on Windows; the
// ordinal of each is given beside it). Every export except Kx4grdInit and
// Kx4grdCleanup returns 0 on success and 1 on failure (library not initialised,
// argument refused, or the send failed).
#pragma once

#include "platform/um.h"

// Called on the reporter thread with one NUL-terminated line per event record; the
// line is valid only during the call.
typedef void(WINAPI* ReporterLineCallback)(LPCWSTR line);

#ifdef __cplusplus
extern "C" {
#endif

INT WINAPI Kx4grdCleanup(void);                                                                       // 1
INT WINAPI Kx4grdInit(LPCWSTR driverDirectory, ReporterLineCallback callback, ULONG_PTR notifyContext);  // 2
INT WINAPI Kx4grdSetProtectPath(ULONG type, LPCWSTR path);                                             // 3
INT WINAPI Kx4grdDelProtectPath(ULONG type, LPCWSTR path);                                             // 4
INT WINAPI Kx4grdStartAndStop(ULONG flag);                                                             // 5
INT WINAPI Kx4grdSetPid(ULONG type, ULONG processId);                                                  // 6
INT WINAPI Kx4grdRemovePid(ULONG processId);                                                           // 7
INT WINAPI Kx4grdDebug(ULONG debugLevel);                                                              // 8
INT WINAPI Kx4grdSetProcessPath(ULONG type, LPCWSTR path);                                             // 9
INT WINAPI Kx4grdDelProcessPath(ULONG type, LPCWSTR path);                                             // 10
INT WINAPI Kx4grdSetFolderProtect(ULONG state);                                                        // 11
INT WINAPI Kx4grdSetShareWatch(ULONG state);                                                           // 12
INT WINAPI Kx4grdSetFileName(ULONG type, LPCWSTR fileName);                                            // 13
INT WINAPI Kx4grdSetDeleteFile(LPCWSTR path);                                                          // 14
INT WINAPI Kx4grdSetTerminateProcess(ULONG processId);                                                 // 15
INT WINAPI Kx4grdSetHook(ULONG deviceType, ULONG state);                                               // 16
INT WINAPI Kx4grdSetPolicy(ULONG deviceType, ULONG policyState, ULONG log);                            // 17
INT WINAPI Kx4grdProcessProtect(ULONG state);                                                          // 18
INT WINAPI Kx4grdSetProcessProtectName(LPCWSTR name);                                                  // 19
INT WINAPI Kx4grdDelProcessProtectName(LPCWSTR name);                                                  // 20
INT WINAPI Kx4grdSetProcessProtectId(ULONG processId);                                                 // 21
INT WINAPI Kx4grdDelProcessProtectId(ULONG processId);                                                 // 22
INT WINAPI Kx4grdSetRegProtect(ULONG state);                                                           // 23
INT WINAPI Kx4grdSetRegProtectName(LPCWSTR key);                                                       // 24
INT WINAPI Kx4grdDelRegProtectName(LPCWSTR key);                                                       // 25
INT WINAPI Kx4grdSetDeviceProtect(ULONG state);                                                        // 26
INT WINAPI Kx4grdSetUsbDiskException(LPCWSTR vendorId, LPCWSTR productId, LPCWSTR revision,
                                     LPCWSTR serialNumber);                                             // 27
INT WINAPI Kx4grdSetUsbPortException(ULONG vendorId, ULONG productId, ULONG extraValue,
                                     LPCWSTR serialNumber);                                             // 28
INT WINAPI Kx4grdDelUsbPortException(ULONG vendorId, ULONG productId, ULONG extraValue,
                                     LPCWSTR serialNumber);                                             // 29
INT WINAPI Kx4grdDelUsbDiskException(LPCWSTR vendorId, LPCWSTR productId, LPCWSTR revision,
                                     LPCWSTR serialNumber);                                             // 30
INT WINAPI Kx4grdClearUsbDiskException(void);                                                          // 31
INT WINAPI Kx4grdSetLogType(ULONG logType);                                                            // 32

#ifdef __cplusplus
}
#endif
