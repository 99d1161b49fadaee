// Device classification: the device class (BDC_*) a file request is charged to,
// from the device its file object names, the requesting subject's token, the
// device policy table and the volume context.
//
// IRQL: GetDeviceType runs at PASSIVE_LEVEL in the requesting thread (it queries
// the token and the volume context). It takes no lock: the policy table is read
// without one, and the volume context is only referenced while it is read.
#pragma once

#include "driver/core/globals.h"

// USB in STORAGE_BUS_TYPE: a fixed disk on this bus is an external hard disk.
#define KX_STORAGE_BUS_TYPE_USB 7

_IRQL_requires_max_(PASSIVE_LEVEL)
ULONG GetDeviceType(_In_ PFLT_CALLBACK_DATA data, _In_ PCFLT_RELATED_OBJECTS fltObjects);
