// The driver's own names for kernel routines it resolves at run time, and its
// pool-tag spelling.
//
// ZwQueryInformationProcess, PsSetCreateProcessNotifyRoutineEx and
// IoOpenDriverRegistryKey are not present on every Windows version the driver
// loads on, so the driver links none of them: it looks each up by name with
// MmGetSystemRoutineAddress and calls it through these pointer types, which
// follow Microsoft's documented signatures.
#pragma once

#include "platform/km.h"

// A pool tag from its four characters in reading order, so "ppsc" here is the
// tag a pool dump shows as "ppsc" (what 'cspp' spells as a character constant).
#define KX_POOL_TAG(s) \
    ((ULONG)(UCHAR)(s)[0] | ((ULONG)(UCHAR)(s)[1] << 8) | ((ULONG)(UCHAR)(s)[2] << 16) | ((ULONG)(UCHAR)(s)[3] << 24))

typedef NTSTATUS (*PFN_ZW_QUERY_INFORMATION_PROCESS)(_In_ HANDLE ProcessHandle,
                                                      _In_ PROCESSINFOCLASS ProcessInformationClass,
                                                      _Out_writes_bytes_opt_(ProcessInformationLength)
                                                          PVOID ProcessInformation,
                                                      _In_ ULONG ProcessInformationLength,
                                                      _Out_opt_ PULONG ReturnLength);

typedef NTSTATUS (*PFN_PS_SET_CREATE_PROCESS_NOTIFY_ROUTINE_EX)(_In_ PCREATE_PROCESS_NOTIFY_ROUTINE_EX NotifyRoutine,
                                                                _In_ BOOLEAN Remove);

typedef NTSTATUS (*PFN_IO_OPEN_DRIVER_REGISTRY_KEY)(_In_ PDRIVER_OBJECT DriverObject,
                                                    _In_ DRIVER_REGKEY_TYPE RegKeyType,
                                                    _In_ ACCESS_MASK DesiredAccess, _In_ ULONG Flags,
                                                    _Out_ PHANDLE DriverRegKey);
