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

void InitNameLists();
void SetProtectPathEx(KX_NAME_LIST list, ULONG type, PCWSTR text, ULONG size);
void RemoveFirstProtectPath(KX_NAME_LIST list, ULONG typeMask, PCWSTR text, ULONG size);
void RemoveProtectPathsByType(KX_NAME_LIST list, ULONG typeMask);
void CleanupPathlistEx(KX_NAME_LIST list);
void SetProcessPath(ULONG type, PCWSTR text, ULONG size);
void DelProcessPath(ULONG type, PCWSTR text, ULONG size);
void CleanupProcesslist();
