// The device policy table (one entry per device class) and the decision whether a
// create request on a read-only device must be refused.
//
// IRQL and locking: the table is read without a lock on every filtered request;
// each field is one aligned 32-bit value written whole. SetDevicePolicy and
// ClearDevicePolicy run at PASSIVE_LEVEL from the dispatcher; the getters at any
// IRQL. IsPolicyState runs at PASSIVE_LEVEL (it may open the target file).
#pragma once

#include "driver/core/globals.h"

void SetDevicePolicy(ULONG devicetype, ULONG state, ULONG log);
ULONG GetDevicePolicyState(ULONG devicetype);
ULONG GetDevicePolicyLog(ULONG devicetype);
void ClearDevicePolicy();
BOOLEAN IsPolicyState(ULONG devicetype, ULONG state, PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects,
                      PCUNICODE_STRING fileName);
