// Registry protection: a registry callback that keeps registry editors from
// opening protected keys, and the protected-key list.
//
// IRQL and locking: registration and removal at PASSIVE_LEVEL. The key list has
// its own spin lock, held for one walk, link or unlink.
#pragma once

#include "driver/core/globals.h"

extern volatile LONG RegProtectActive;

NTSTATUS StartRegFlt(PDRIVER_OBJECT driverObject);
void StopRegFlt();
void InitRegKeyList();
void AddRegProtectKey(PCWSTR key);
// Upper-cases key in place, then removes the entry.
void DelRegProtectKey(PWSTR key);
