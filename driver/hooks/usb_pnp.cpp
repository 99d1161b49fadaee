// USB plug-and-play control. Until the start-request inspection is in place every
// request goes to the hub driver unchanged.
#include "driver/hooks/usb_pnp.h"

NTSTATUS USBPnpControl(PDRIVER_DISPATCH SavedRoutine, PDEVICE_OBJECT DeviceObject, PIRP Irp, PKX_HOOK_RECORD Record) {
    UNREFERENCED_PARAMETER(Record);
    return SavedRoutine(DeviceObject, Irp);
}
