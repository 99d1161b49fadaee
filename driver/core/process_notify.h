// Process tracking: process-creation callbacks that trust automation instances of
// Excel, record process starts and ends, and clear an ending process's id states.
//
// IRQL: registration and removal at PASSIVE_LEVEL. The callbacks run at
// PASSIVE_LEVEL in the creating or exiting thread. The started-process table has
// its own spin lock, never held while logging.
#pragma once

#include "driver/core/globals.h"

#define KX_TAG_PROCESS KX_POOL_TAG("pisc")  // started-process table elements

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS InitProcessNotify();
_IRQL_requires_(PASSIVE_LEVEL)
void UnInitProcessNotify();
// The status of the last registration (STATUS_UNSUCCESSFUL when none).
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS GetProcessNotifyStatus();
