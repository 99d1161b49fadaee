// The USB disk and USB port exception lists.
//
// IRQL and locking: each list has its own spin lock, held for one walk, link or
// unlink. Callers run at or below DISPATCH_LEVEL.
#pragma once

#include "driver/core/globals.h"

_IRQL_requires_(PASSIVE_LEVEL)
void InitUsbExceptionLists();
_IRQL_requires_max_(APC_LEVEL)
void SetUsbDiskException(_In_z_ PCSTR vendorId, _In_z_ PCSTR productId, _In_z_ PCSTR productRevision,
                         _In_z_ PCSTR serialNumber);
_IRQL_requires_max_(APC_LEVEL)
void DelUsbDiskExceptionList(_In_z_ PCSTR vendorId, _In_z_ PCSTR productId, _In_z_ PCSTR productRevision,
                             _In_z_ PCSTR serialNumber);
_IRQL_requires_max_(APC_LEVEL)
void CleanupUsbDiskExceptionList();
_IRQL_requires_max_(APC_LEVEL)
void SetUsbPortException(_In_ ULONG type, _In_ ULONG vendorId, _In_ ULONG productId, _In_ ULONG extraValue,
                         _In_z_ PCWSTR serialNumber);
_IRQL_requires_max_(APC_LEVEL)
void DelUsbPortExceptionList(_In_ ULONG type, _In_ ULONG vendorId, _In_ ULONG productId, _In_z_ PCWSTR serialNumber);
_IRQL_requires_max_(APC_LEVEL)
void CleanupUsbPortExceptionList();
