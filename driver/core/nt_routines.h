// Kernel routines the driver resolves at run time: their pointer types and the
// one resolver.
//
// ZwQueryInformationProcess, PsSetCreateProcessNotifyRoutineEx and
// IoOpenDriverRegistryKey are not present on every Windows version the driver
// loads on, so the driver links none of them: it looks each up by name with
// MmGetSystemRoutineAddress and calls it through these pointer types, which
// follow Microsoft's documented signatures.
#pragma once

#include "platform/km.h"

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

enum KX_ROUTINE {
    KxRoutineZwQueryInformationProcess,
    KxRoutineIoOpenDriverRegistryKey,
    KxRoutinePsSetCreateProcessNotifyRoutineEx,
    KxRoutineCount
};

// The routine's address, looked up on first use and kept; NULL when the system
// does not export it (a failed lookup is retried next time). PASSIVE_LEVEL; the
// cache is lock-free, one pointer exchange per routine.
_IRQL_requires_(PASSIVE_LEVEL)
PVOID KxGetRoutine(_In_ KX_ROUTINE routine);

// Forgets every cached address: a new load of the image looks them up again.
_IRQL_requires_(PASSIVE_LEVEL)
void KxResetRoutines();
