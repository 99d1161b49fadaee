// Registry protection: a registry callback that keeps registry editors from
// opening protected keys, and the protected-key list.
//
// IRQL and locking:
// - StartRegFlt, StopRegFlt and InitRegKeyList run at PASSIVE_LEVEL (the
//   configuration manager's routines are called at or below APC_LEVEL).
// - RegFltCallback runs at PASSIVE_LEVEL in the thread that opens the key, on any
//   number of threads at once. It allocates nothing; its copies live on its stack.
// - The key list has its own spin lock, held for one walk, link or unlink and never
//   together with another lock. Entries are stored upper-cased and copied before
//   the lock is taken, so a walk only compares characters.
// - The active flag is one aligned 32-bit value read without a lock.
#pragma once

#include "driver/core/globals.h"

#define KX_TAG_REG_KEY KX_POOL_TAG("pfsc")  // protected registry keys
// One key entry: 1043 characters and a terminator.
#define KX_REG_KEY_ENTRY_CHARS 1044

extern volatile LONG RegProtectActive;

// Adds the default keys and registers the callback once; on a registered callback
// it only sets the active flag again.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS StartRegFlt(_In_ PDRIVER_OBJECT driverObject);
// Unregisters the callback if it is registered, and empties the key list unless
// the unregistration failed.
_IRQL_requires_(PASSIVE_LEVEL)
void StopRegFlt();
_IRQL_requires_(PASSIVE_LEVEL)
void InitRegKeyList();
// The registry callback (EX_CALLBACK_FUNCTION); always lets the operation go on
// except for the editor's post-open of a protected key, which it refuses.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS RegFltCallback(_In_ PVOID callbackContext, _In_opt_ PVOID argument1, _In_opt_ PVOID argument2);
// Appends a copy of key (terminated, at most 1023 characters) at the tail.
_IRQL_requires_max_(APC_LEVEL)
void AddRegProtectKey(_In_z_ PCWSTR key);
// Upper-cases key in place, then removes the first entry contained in it; an
// empty key empties the list.
_IRQL_requires_max_(APC_LEVEL)
void DelRegProtectKey(_Inout_z_ PWSTR key);
// Whether any entry occurs in the upper-case, terminated keyPath.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN FindRegProtectKey(_In_z_ PCWSTR keyPath);
