// The USB disk and USB port exception lists.
//
// The lists and the exemption test arrive with USB exceptions; until then the
// exception commands are accepted and routed here, and have no effect.
#include "driver/policy/usb_exceptions.h"

void InitUsbExceptionLists() {}
void SetUsbDiskException(PCSTR vendorId, PCSTR productId, PCSTR productRevision, PCSTR serialNumber) {
    UNREFERENCED_PARAMETER(vendorId);
    UNREFERENCED_PARAMETER(productId);
    UNREFERENCED_PARAMETER(productRevision);
    UNREFERENCED_PARAMETER(serialNumber);
}
void DelUsbDiskExceptionList(PCSTR vendorId, PCSTR productId, PCSTR productRevision, PCSTR serialNumber) {
    UNREFERENCED_PARAMETER(vendorId);
    UNREFERENCED_PARAMETER(productId);
    UNREFERENCED_PARAMETER(productRevision);
    UNREFERENCED_PARAMETER(serialNumber);
}
void CleanupUsbDiskExceptionList() {}
void SetUsbPortException(ULONG type, ULONG vendorId, ULONG productId, ULONG extraValue, PCWSTR serialNumber) {
    UNREFERENCED_PARAMETER(type);
    UNREFERENCED_PARAMETER(vendorId);
    UNREFERENCED_PARAMETER(productId);
    UNREFERENCED_PARAMETER(extraValue);
    UNREFERENCED_PARAMETER(serialNumber);
}
void DelUsbPortExceptionList(ULONG type, ULONG vendorId, ULONG productId, PCWSTR serialNumber) {
    UNREFERENCED_PARAMETER(type);
    UNREFERENCED_PARAMETER(vendorId);
    UNREFERENCED_PARAMETER(productId);
    UNREFERENCED_PARAMETER(serialNumber);
}
void CleanupUsbPortExceptionList() {}
