// Bluetooth and IrDA request handlers. Until the OBEX inspection is in place every
// request goes to the target driver unchanged.
#include "driver/hooks/obex.h"

#define KX_PASS_THROUGH_HANDLER(name)                                                                  \
    NTSTATUS name(PDRIVER_DISPATCH SavedRoutine, PDEVICE_OBJECT DeviceObject, PIRP Irp, PKX_HOOK_RECORD Record) { \
        UNREFERENCED_PARAMETER(Record);                                                                \
        return SavedRoutine(DeviceObject, Irp);                                                        \
    }

KX_PASS_THROUGH_HANDLER(BtkrnlDeviceIoControl)
KX_PASS_THROUGH_HANDLER(RfcommInternalDeviceIoControl)
KX_PASS_THROUGH_HANDLER(BtwusbDeviceIoControl)
KX_PASS_THROUGH_HANDLER(BthusbDeviceIoControl)
KX_PASS_THROUGH_HANDLER(IrdaInternalDeviceControl)
