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
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS KxAllocateUnicodeString(_Out_ PUNICODE_STRING s, _In_ USHORT maximumLength);
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS KxFreeUnicodeString(_Inout_ PUNICODE_STRING s);
// Copies and terminates; refuses a destination whose MaximumLength is at most the
// source length plus the terminator.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS KxCopyUnicodeString(_Inout_ PUNICODE_STRING destination, _In_ PCUNICODE_STRING source);

// Copies terminated text into a field of capacity characters, truncating; the
// field is always terminated. A NULL source gives an empty field.
_IRQL_requires_max_(DISPATCH_LEVEL)
void KxCopyTruncated(_Out_writes_(capacity) WCHAR* destination, _In_ SIZE_T capacity, _In_opt_ PCWSTR source);

// The text after the last backslash, or the whole text when there is none.
_IRQL_requires_max_(DISPATCH_LEVEL)
PCWSTR KxFinalComponent(_In_ PCWSTR text);
