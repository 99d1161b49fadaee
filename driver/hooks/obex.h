// Bluetooth and IrDA request handlers.
#pragma once

#include "driver/hooks/hooks.h"

NTSTATUS BtkrnlDeviceIoControl(_In_ PDRIVER_DISPATCH SavedRoutine, _In_ PDEVICE_OBJECT DeviceObject,
                               _Inout_ PIRP Irp, _In_ PKX_HOOK_RECORD Record);
NTSTATUS RfcommInternalDeviceIoControl(_In_ PDRIVER_DISPATCH SavedRoutine, _In_ PDEVICE_OBJECT DeviceObject,
                                       _Inout_ PIRP Irp, _In_ PKX_HOOK_RECORD Record);
NTSTATUS BtwusbDeviceIoControl(_In_ PDRIVER_DISPATCH SavedRoutine, _In_ PDEVICE_OBJECT DeviceObject,
                               _Inout_ PIRP Irp, _In_ PKX_HOOK_RECORD Record);
NTSTATUS BthusbDeviceIoControl(_In_ PDRIVER_DISPATCH SavedRoutine, _In_ PDEVICE_OBJECT DeviceObject,
                               _Inout_ PIRP Irp, _In_ PKX_HOOK_RECORD Record);
NTSTATUS IrdaInternalDeviceControl(_In_ PDRIVER_DISPATCH SavedRoutine, _In_ PDEVICE_OBJECT DeviceObject,
                                   _Inout_ PIRP Irp, _In_ PKX_HOOK_RECORD Record);
