// The USB disk and USB port exception lists: individual USB devices exempt from
// the device policy.
//
// IRQL and locking:
// - Each list has its own spin lock, held for one walk, link or unlink and never
//   together with another lock. Entries are allocated before the lock is taken
//   and freed after it is released; nothing is printed while it is held.
// - The key a lookup is given belongs to the caller and is copied to the stack
//   before the lock is taken.
// - FindUsbDiskException may run at DISPATCH_LEVEL. IsUsbException takes the
//   volume context and runs at or below APC_LEVEL. The port lookup and the port
//   delete print the matching entry's serial (wide text) and run at
//   PASSIVE_LEVEL; the other commands run at or below APC_LEVEL.
#pragma once

#include "driver/core/globals.h"

#define KX_TAG_USB_EXCEPTION KX_POOL_TAG("eusc")

// Field capacities of the entries, terminator included; longer strings are cut.
#define KX_USB_DISK_ID_FIELD 20
#define KX_USB_DISK_SERIAL_FIELD 24
#define KX_USB_PORT_SERIAL_FIELD 100

_IRQL_requires_(PASSIVE_LEVEL)
void InitUsbExceptionLists();

// ---- USB disks, by the ANSI strings the storage stack reports for a volume
//
// Match rule, case aside, for vendor, product and serial alike: an empty field of
// an entry matches anything; any other field must begin the disk's. A disk whose
// field is empty (or absent) therefore matches only entries whose field is empty
// too: a disk that could not be identified is not excepted by a named entry. The
// revision is stored and never compared.

_IRQL_requires_max_(APC_LEVEL)
void SetUsbDiskException(_In_opt_z_ PCSTR vendorId, _In_opt_z_ PCSTR productId, _In_opt_z_ PCSTR productRevision,
                         _In_opt_z_ PCSTR serialNumber);
// Removes the first entry that matches the strings as a disk would; TRUE when one
// was removed. A missing vendor or product removes nothing.
_IRQL_requires_max_(APC_LEVEL)
BOOLEAN DelUsbDiskExceptionList(_In_opt_z_ PCSTR vendorId, _In_opt_z_ PCSTR productId,
                                _In_opt_z_ PCSTR productRevision, _In_opt_z_ PCSTR serialNumber);
_IRQL_requires_max_(APC_LEVEL)
void CleanupUsbDiskExceptionList();
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN FindUsbDiskException(_In_opt_z_ PCSTR vendorId, _In_opt_z_ PCSTR productId,
                             _In_opt_z_ PCSTR productRevision, _In_opt_z_ PCSTR serialNumber);
// Whether the request's volume is a listed USB disk, by the identity its volume
// context holds; FALSE when the volume has no context. devicetype is not used.
_IRQL_requires_max_(APC_LEVEL)
BOOLEAN IsUsbException(_In_ PCFLT_RELATED_OBJECTS fltObjects, _In_ ULONG devicetype);

// ---- USB devices, by device type, idVendor, idProduct and serial string
//
// Match rule: type, vendor and product equal, and the entry's serial begins with
// the device's (case aside), so a device without a serial (empty or absent)
// matches every entry of its type, vendor and product.

_IRQL_requires_max_(APC_LEVEL)
void SetUsbPortException(_In_ ULONG type, _In_ ULONG vendorId, _In_ ULONG productId, _In_ ULONG extraValue,
                         _In_opt_z_ PCWSTR serialNumber);
// Removes the first matching entry.
_IRQL_requires_(PASSIVE_LEVEL)
void DelUsbPortExceptionList(_In_ ULONG type, _In_ ULONG vendorId, _In_ ULONG productId,
                             _In_opt_z_ PCWSTR serialNumber);
_IRQL_requires_max_(APC_LEVEL)
void CleanupUsbPortExceptionList();
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN FindUsbPortException(_In_ ULONG type, _In_ ULONG vendorId, _In_ ULONG productId,
                             _In_opt_z_ PCWSTR serialNumber);
