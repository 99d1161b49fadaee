// The USB disk and USB port exception lists.
//
// IRQL and locking: each list has its own spin lock, held for one walk, link or
// unlink. Callers run at or below DISPATCH_LEVEL.
#pragma once

#include "driver/core/globals.h"

void InitUsbExceptionLists();
void SetUsbDiskException(PCSTR vendorId, PCSTR productId, PCSTR productRevision, PCSTR serialNumber);
void DelUsbDiskExceptionList(PCSTR vendorId, PCSTR productId, PCSTR productRevision, PCSTR serialNumber);
void CleanupUsbDiskExceptionList();
void SetUsbPortException(ULONG type, ULONG vendorId, ULONG productId, ULONG extraValue, PCWSTR serialNumber);
void DelUsbPortExceptionList(ULONG type, ULONG vendorId, ULONG productId, PCWSTR serialNumber);
void CleanupUsbPortExceptionList();
