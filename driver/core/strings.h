// Counted-string and fixed-field text helpers shared by every module.
//
// IRQL: the copy routines touch only non-paged memory and may run at any IRQL up
// to DISPATCH_LEVEL (they are used under spin locks); the allocating routines run
// at or below DISPATCH_LEVEL.
#pragma once

#include "driver/core/globals.h"

#define KX_TAG_STRING KX_POOL_TAG("strk")  // counted strings and work buffers

// A counted string of maximumLength bytes whose buffer has two more bytes for a
// terminator. Free with KxFreeUnicodeString.
NTSTATUS KxAllocateUnicodeString(PUNICODE_STRING s, USHORT maximumLength);
NTSTATUS KxFreeUnicodeString(PUNICODE_STRING s);
// Copies and terminates; refuses a destination whose MaximumLength is at most the
// source length plus the terminator.
NTSTATUS KxCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source);

// Copies terminated text into a field of capacity characters, truncating; the
// field is always terminated. A NULL source gives an empty field.
void KxCopyTruncated(WCHAR* destination, SIZE_T capacity, PCWSTR source);

// The text after the last backslash, or the whole text when there is none.
PCWSTR KxFinalComponent(PCWSTR text);
