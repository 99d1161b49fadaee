// The protected-path, file-name, protected-process-name and trusted-process lists.
//
// IRQL and locking: each list has its own spin lock, held for one walk, link or
// unlink; entries are allocated before and freed after it. Callers run at or
// below DISPATCH_LEVEL.
#pragma once

#include "driver/core/globals.h"

// The protected paths, the excepted file names and the protected process names
// share one implementation and differ only in the list they act on.
enum KX_NAME_LIST { KxPathList, KxFileNameList, KxProtectProcessNameList };

_IRQL_requires_(PASSIVE_LEVEL)
void InitNameLists();
_IRQL_requires_max_(APC_LEVEL)
void SetProtectPathEx(_In_ KX_NAME_LIST list, _In_ ULONG type, _In_reads_bytes_(size) PCWSTR text, _In_ ULONG size);
_IRQL_requires_max_(APC_LEVEL)
void RemoveFirstProtectPath(_In_ KX_NAME_LIST list, _In_ ULONG typeMask, _In_reads_bytes_(size) PCWSTR text,
                            _In_ ULONG size);
_IRQL_requires_max_(APC_LEVEL)
void RemoveProtectPathsByType(_In_ KX_NAME_LIST list, _In_ ULONG typeMask);
_IRQL_requires_max_(APC_LEVEL)
void CleanupPathlistEx(_In_ KX_NAME_LIST list);
_IRQL_requires_max_(APC_LEVEL)
void SetProcessPath(_In_ ULONG type, _In_reads_bytes_(size) PCWSTR text, _In_ ULONG size);
_IRQL_requires_max_(APC_LEVEL)
void DelProcessPath(_In_ ULONG type, _In_reads_bytes_(size) PCWSTR text, _In_ ULONG size);
_IRQL_requires_max_(APC_LEVEL)
void CleanupProcesslist();
