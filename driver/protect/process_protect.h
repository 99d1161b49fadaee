// Process protection: object callbacks that strip terminate and suspend rights
// from handles to protected processes.
//
// IRQL: installation and removal at PASSIVE_LEVEL. The active flag is one aligned
// 32-bit value read without a lock.
#pragma once

#include "driver/core/globals.h"

extern volatile LONG ProcessProtectActive;

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS InstallProcessProtect();
_IRQL_requires_(PASSIVE_LEVEL)
void UnInstallProcessProtect();
