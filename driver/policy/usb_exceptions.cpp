// The USB disk and USB port exception lists.
#include "driver/policy/usb_exceptions.h"

#include "driver/core/volume.h"

namespace {

struct USB_DISK_ENTRY {
    CHAR vendorId[KX_USB_DISK_ID_FIELD];
    CHAR productId[KX_USB_DISK_ID_FIELD];
    CHAR productRevision[KX_USB_DISK_ID_FIELD];
    CHAR serialNumber[KX_USB_DISK_SERIAL_FIELD];
    LIST_ENTRY Link;
};

struct USB_PORT_ENTRY {
    ULONG deviceType;
    ULONG vendorId;
    ULONG productId;
    ULONG extraValue;  // stored as sent, never compared
    WCHAR serialNumber[KX_USB_PORT_SERIAL_FIELD];
    LIST_ENTRY Link;
};

LIST_ENTRY DiskList;
KSPIN_LOCK DiskLock;
LIST_ENTRY PortList;
KSPIN_LOCK PortLock;
// Entries of the disk list, changed under its lock and read without it: a request
// on a USB disk asks the list, which is usually empty, and then takes no lock.
volatile LONG DiskCount;

// A disk's identity as a lookup key, copied from the caller. Every entry field is
// shorter than these, so the copy holds all a comparison can read.
constexpr SIZE_T kKeyChars = 32;
struct DISK_KEY {
    CHAR vendorId[kKeyChars];
    CHAR productId[kKeyChars];
    CHAR serialNumber[kKeyChars];
};

// Copies terminated text into a zero-filled field, cutting it to the field.
void CopyAnsi(CHAR* field, SIZE_T capacity, PCSTR text) {
    if (text == NULL) {
        return;
    }
    for (SIZE_T i = 0; i + 1 < capacity && text[i] != 0; ++i) {
        field[i] = text[i];
    }
}

// Characters of text before its terminator, counting at most limit of them.
SIZE_T BoundedLength(PCWSTR text, SIZE_T limit) {
    SIZE_T n = 0;
    while (n < limit && text[n] != 0) {
        ++n;
    }
    return n;
}

inline CHAR FoldAscii(CHAR c) { return (c >= 'a' && c <= 'z') ? (CHAR)(c - ('a' - 'A')) : c; }

// Whether a disk's field satisfies an entry's: an empty entry field is a
// wildcard; otherwise the disk's field must begin with it. An empty disk field
// cannot begin with a non-empty one.
bool DiskFieldMatches(const CHAR* entryField, const CHAR* diskField) {
    for (SIZE_T i = 0; entryField[i] != 0; ++i) {
        if (diskField[i] == 0 || FoldAscii(diskField[i]) != FoldAscii(entryField[i])) {
            return false;
        }
    }
    return true;
}

bool DiskMatches(const USB_DISK_ENTRY* entry, const DISK_KEY& key) {
    return DiskFieldMatches(entry->vendorId, key.vendorId) && DiskFieldMatches(entry->productId, key.productId) &&
           DiskFieldMatches(entry->serialNumber, key.serialNumber);
}

void MakeDiskKey(DISK_KEY* key, PCSTR vendorId, PCSTR productId, PCSTR serialNumber) {
    RtlZeroMemory(key, sizeof(*key));
    CopyAnsi(key->vendorId, kKeyChars, vendorId);
    CopyAnsi(key->productId, kKeyChars, productId);
    CopyAnsi(key->serialNumber, kKeyChars, serialNumber);
}

USB_DISK_ENTRY* FindDiskLocked(const DISK_KEY& key) {
    for (PLIST_ENTRY e = DiskList.Flink; e != &DiskList; e = e->Flink) {
        USB_DISK_ENTRY* entry = CONTAINING_RECORD(e, USB_DISK_ENTRY, Link);
        if (DiskMatches(entry, key)) {
            return entry;
        }
    }
    return NULL;
}

// A device's serial as a lookup key; false when it is longer than any entry's
// serial, which then cannot begin with it.
bool MakePortKey(WCHAR (&key)[KX_USB_PORT_SERIAL_FIELD], PCWSTR serialNumber) {
    RtlZeroMemory(key, sizeof(key));
    if (serialNumber == NULL) {
        return true;
    }
    const SIZE_T length = BoundedLength(serialNumber, KX_USB_PORT_SERIAL_FIELD);
    if (length >= KX_USB_PORT_SERIAL_FIELD) {
        return false;
    }
    RtlCopyMemory(key, serialNumber, length * sizeof(WCHAR));
    return true;
}

USB_PORT_ENTRY* FindPortLocked(ULONG type, ULONG vendorId, ULONG productId, const WCHAR* serial) {
    const SIZE_T serialLength = wcslen(serial);
    for (PLIST_ENTRY e = PortList.Flink; e != &PortList; e = e->Flink) {
        USB_PORT_ENTRY* entry = CONTAINING_RECORD(e, USB_PORT_ENTRY, Link);
        if (entry->deviceType == type && entry->vendorId == vendorId && entry->productId == productId &&
            (serialLength == 0 || _wcsnicmp(entry->serialNumber, serial, serialLength) == 0)) {
            return entry;
        }
    }
    return NULL;
}

// What the match trace shows of an entry, copied out under the lock.
struct PORT_MATCH {
    ULONG vendorId;
    ULONG productId;
    WCHAR serialNumber[KX_USB_PORT_SERIAL_FIELD];
};

void CopyPortMatch(PORT_MATCH* match, const USB_PORT_ENTRY* entry) {
    match->vendorId = entry->vendorId;
    match->productId = entry->productId;
    RtlCopyMemory(match->serialNumber, entry->serialNumber, sizeof(match->serialNumber));
}

// The comparison trace, for the entry that matched and outside the lock: wide
// text may be formatted only at PASSIVE_LEVEL.
void TracePortMatch(const PORT_MATCH& match, ULONG vendorId, ULONG productId, const WCHAR* serial) {
    KX_TRACE_NAMED(KX_DBG_INFO, "_FindUsbPort", "%s:%s: (%x)(%x), (%x)(%x), (%S)(%S)\n", match.vendorId, vendorId,
                   match.productId, productId, match.serialNumber, serial);
}

template <typename Entry>
void FreeReleased(PLIST_ENTRY released) {
    while (!IsListEmpty(released)) {
        ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(released), Entry, Link), KX_TAG_USB_EXCEPTION);
    }
}

void UnlinkAll(PLIST_ENTRY head, PKSPIN_LOCK lock, PLIST_ENTRY released, volatile LONG* count) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(lock);
    while (!IsListEmpty(head)) {
        InsertTailList(released, RemoveHeadList(head));
    }
    if (count != NULL) {
        WriteNoFence(count, 0);
    }
    KeReleaseSpinLock(lock, irql);
}

}  // namespace

void InitUsbExceptionLists() {
    PAGED_CODE();
    InitializeListHead(&DiskList);
    KeInitializeSpinLock(&DiskLock);
    InitializeListHead(&PortList);
    KeInitializeSpinLock(&PortLock);
    WriteNoFence(&DiskCount, 0);
}

// ---------------------------------------------------------------- USB disks

void SetUsbDiskException(PCSTR vendorId, PCSTR productId, PCSTR productRevision, PCSTR serialNumber) {
    PAGED_CODE();
    auto* entry =
        static_cast<USB_DISK_ENTRY*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(USB_DISK_ENTRY), KX_TAG_USB_EXCEPTION));
    if (entry == NULL) {
        return;
    }
    CopyAnsi(entry->vendorId, sizeof(entry->vendorId), vendorId);
    CopyAnsi(entry->productId, sizeof(entry->productId), productId);
    CopyAnsi(entry->productRevision, sizeof(entry->productRevision), productRevision);
    CopyAnsi(entry->serialNumber, sizeof(entry->serialNumber), serialNumber);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&DiskLock);
    InsertTailList(&DiskList, &entry->Link);
    InterlockedIncrement(&DiskCount);
    KeReleaseSpinLock(&DiskLock, irql);
    KX_TRACE(KX_DBG_INFO, "%s:%s: success\n");
}

BOOLEAN DelUsbDiskExceptionList(PCSTR vendorId, PCSTR productId, PCSTR productRevision, PCSTR serialNumber) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(productRevision);
    if (vendorId == NULL || productId == NULL) {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: Invalid Parameter: vid or pid is NULL\n");
        return FALSE;
    }
    DISK_KEY key;
    MakeDiskKey(&key, vendorId, productId, serialNumber);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&DiskLock);
    USB_DISK_ENTRY* entry = FindDiskLocked(key);
    if (entry != NULL) {
        RemoveEntryList(&entry->Link);
        InterlockedDecrement(&DiskCount);
    }
    KeReleaseSpinLock(&DiskLock, irql);
    if (entry != NULL) {
        ExFreePoolWithTag(entry, KX_TAG_USB_EXCEPTION);
    }
    KX_TRACE(KX_DBG_INFO, "%s:%s: success(%d)\n", entry != NULL ? 1 : 0);
    return entry != NULL;
}

void CleanupUsbDiskExceptionList() {
    PAGED_CODE();
    LIST_ENTRY released;
    InitializeListHead(&released);
    UnlinkAll(&DiskList, &DiskLock, &released, &DiskCount);
    FreeReleased<USB_DISK_ENTRY>(&released);
    KX_TRACE(KX_DBG_INFO, "%s:%s: success\n");
}

BOOLEAN FindUsbDiskException(PCSTR vendorId, PCSTR productId, PCSTR productRevision, PCSTR serialNumber) {
    UNREFERENCED_PARAMETER(productRevision);
    if (ReadNoFence(&DiskCount) == 0) {
        return FALSE;
    }
    DISK_KEY key;
    MakeDiskKey(&key, vendorId, productId, serialNumber);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&DiskLock);
    const bool found = FindDiskLocked(key) != NULL;
    KeReleaseSpinLock(&DiskLock, irql);
    return found;
}

BOOLEAN IsUsbException(PCFLT_RELATED_OBJECTS fltObjects, ULONG devicetype) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(devicetype);
    if (fltObjects == NULL) {
        return FALSE;
    }
    PFLT_CONTEXT context = NULL;
    NTSTATUS status = FltGetVolumeContext(fltObjects->Filter, fltObjects->Volume, &context);
    if (!NT_SUCCESS(status)) {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: FltGetVolumeContext Failed (%x)\n", (ULONG)status);
        return FALSE;
    }
    const auto* volume = static_cast<const VOLUME_CONTEXT*>(context);
    DISK_KEY key;
    MakeDiskKey(&key, volume->vendorId, volume->productId, volume->serialNumber);
    const BOOLEAN found =
        FindUsbDiskException(key.vendorId, key.productId, volume->productRevision, key.serialNumber);
    FltReleaseContext(context);
    if (found) {
        KX_TRACE(KX_DBG_INFO, "%s:%s: Vendor ID(%s),productid(%s)(%s)\n", key.vendorId, key.productId,
                 key.serialNumber);
    }
    return found;
}

// ---------------------------------------------------------------- USB ports

void SetUsbPortException(ULONG type, ULONG vendorId, ULONG productId, ULONG extraValue, PCWSTR serialNumber) {
    PAGED_CODE();
    auto* entry =
        static_cast<USB_PORT_ENTRY*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(USB_PORT_ENTRY), KX_TAG_USB_EXCEPTION));
    if (entry == NULL) {
        return;
    }
    entry->deviceType = type;
    entry->vendorId = vendorId;
    entry->productId = productId;
    entry->extraValue = extraValue;
    if (serialNumber != NULL) {
        for (SIZE_T i = 0; i + 1 < KX_USB_PORT_SERIAL_FIELD && serialNumber[i] != 0; ++i) {
            entry->serialNumber[i] = serialNumber[i];
        }
    }
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&PortLock);
    InsertTailList(&PortList, &entry->Link);
    KeReleaseSpinLock(&PortLock, irql);
    KX_TRACE(KX_DBG_INFO, "%s:%s: success\n");
}

void DelUsbPortExceptionList(ULONG type, ULONG vendorId, ULONG productId, PCWSTR serialNumber) {
    PAGED_CODE();
    WCHAR serial[KX_USB_PORT_SERIAL_FIELD];
    USB_PORT_ENTRY* entry = NULL;
    PORT_MATCH match = {};
    if (MakePortKey(serial, serialNumber)) {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&PortLock);
        entry = FindPortLocked(type, vendorId, productId, serial);
        if (entry != NULL) {
            RemoveEntryList(&entry->Link);
            CopyPortMatch(&match, entry);
        }
        KeReleaseSpinLock(&PortLock, irql);
    }
    if (entry != NULL) {
        ExFreePoolWithTag(entry, KX_TAG_USB_EXCEPTION);
        TracePortMatch(match, vendorId, productId, serial);
    }
    KX_TRACE(KX_DBG_INFO, "%s:%s: success\n");
}

void CleanupUsbPortExceptionList() {
    PAGED_CODE();
    LIST_ENTRY released;
    InitializeListHead(&released);
    UnlinkAll(&PortList, &PortLock, &released, NULL);
    FreeReleased<USB_PORT_ENTRY>(&released);
    KX_TRACE(KX_DBG_INFO, "%s:%s: success\n");
}

BOOLEAN FindUsbPortException(ULONG type, ULONG vendorId, ULONG productId, PCWSTR serialNumber) {
    PAGED_CODE();
    WCHAR serial[KX_USB_PORT_SERIAL_FIELD];
    if (!MakePortKey(serial, serialNumber)) {
        return FALSE;
    }
    PORT_MATCH match = {};
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&PortLock);
    const USB_PORT_ENTRY* entry = FindPortLocked(type, vendorId, productId, serial);
    if (entry != NULL) {
        CopyPortMatch(&match, entry);
    }
    KeReleaseSpinLock(&PortLock, irql);
    if (entry == NULL) {
        return FALSE;
    }
    TracePortMatch(match, vendorId, productId, serial);
    return TRUE;
}
