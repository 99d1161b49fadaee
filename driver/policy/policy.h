// The device policy table (one entry per device class) and the decision whether a
// create request on a read-only device must be refused.
//
// IRQL and locking: the table is read without a lock on every filtered request;
// each field is one aligned 32-bit value written whole. SetDevicePolicy and
// ClearDevicePolicy run at PASSIVE_LEVEL from the dispatcher; the getters at any
// IRQL. IsPolicyState runs at PASSIVE_LEVEL (it may open the target file).
#pragma once

#include "driver/core/globals.h"

_IRQL_requires_max_(DISPATCH_LEVEL)
void SetDevicePolicy(_In_ ULONG devicetype, _In_ ULONG state, _In_ ULONG log);
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG GetDevicePolicyState(_In_ ULONG devicetype);
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG GetDevicePolicyLog(_In_ ULONG devicetype);
_IRQL_requires_max_(DISPATCH_LEVEL)
void ClearDevicePolicy();
// Whether a create must be refused: DISABLE refuses every create; READONLY
// refuses what would write, delete, or truncate or replace an existing file
// (FILE_OVERWRITE, and FILE_SUPERSEDE / FILE_OVERWRITE_IF on an existing target)
// or that open-if's a missing file, and lets plain opens and new files made by
// FILE_CREATE / FILE_SUPERSEDE without write or delete access through; any other
// state allows (callers decide what an unknown state means). fileName is the full normalized name, probed for existence.
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN IsPolicyState(_In_ ULONG devicetype, _In_ ULONG state, _In_opt_ PFLT_CALLBACK_DATA data,
                      _In_opt_ PCFLT_RELATED_OBJECTS fltObjects, _In_opt_ PCUNICODE_STRING fileName);
