// What the driver knows of the current process: its short image name from the
// process object and its image path.
//
// IRQL: USetProcessNameOffset runs once at PASSIVE_LEVEL in the System process
// during driver entry. GetCurrentProcessShortName may run at any IRQL up to
// DISPATCH_LEVEL. GetCurrentProcessImagePath runs at PASSIVE_LEVEL.
#pragma once

#include "driver/core/strings.h"

extern ULONG ProcessNameOffset;

// Finds the offset of the short image name in a process object by scanning the
// System process for "System"; 0 when it is not found.
_IRQL_requires_(PASSIVE_LEVEL)
ULONG USetProcessNameOffset();
// The current process's short image name (at most 15 characters), terminated.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN GetCurrentProcessShortName(_Out_writes_(17) CHAR name[17]);
// The NT device path of the current process's image, in a counted string the
// caller frees with KxFreeUnicodeString. Fails for the system's own ids.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS GetCurrentProcessImagePath(_In_ HANDLE processId, _Out_ PUNICODE_STRING imagePath);
