// Registry protection: a registry callback that keeps registry editors from
// opening protected keys, and the protected-key list.
//
// IRQL and locking: registration and removal at PASSIVE_LEVEL. The key list has
// its own spin lock, held for one walk, link or unlink.
#pragma once

#include "driver/core/globals.h"

extern volatile LONG RegProtectActive;

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS StartRegFlt(_In_ PDRIVER_OBJECT driverObject);
_IRQL_requires_(PASSIVE_LEVEL)
void StopRegFlt();
_IRQL_requires_(PASSIVE_LEVEL)
void InitRegKeyList();
_IRQL_requires_max_(APC_LEVEL)
void AddRegProtectKey(_In_z_ PCWSTR key);
// Upper-cases key in place, then removes the entry.
_IRQL_requires_max_(APC_LEVEL)
void DelRegProtectKey(_Inout_z_ PWSTR key);
