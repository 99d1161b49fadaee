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
ULONG USetProcessNameOffset();
// The current process's short image name (at most 15 characters), terminated.
BOOLEAN GetCurrentProcessShortName(CHAR name[17]);
// The NT device path of the current process's image, in a counted string the
// caller frees with KxFreeUnicodeString. Fails for the system's own ids.
NTSTATUS GetCurrentProcessImagePath(HANDLE processId, PUNICODE_STRING imagePath);
