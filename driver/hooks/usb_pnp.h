// USB plug-and-play control on the hub drivers' IRP_MJ_PNP.
#pragma once

#include "driver/hooks/hooks.h"

NTSTATUS USBPnpControl(_In_ PDRIVER_DISPATCH SavedRoutine, _In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp,
                       _In_ PKX_HOOK_RECORD Record);
