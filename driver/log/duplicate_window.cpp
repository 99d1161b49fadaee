// The duplicate window: a POLICY record that repeats the last one admitted for its
// device class within two seconds is dropped, so a program retrying a refused
// write does not flood the log.
#include "driver/log/event_log.h"

namespace {

// The last admitted POLICY record per device class, for the two-second duplicate
// window. Guarded by its own lock so no reader sees a half-written slot.
EVENT_RECORD DupSlots[KX_POLICY_ENTRIES];
KSPIN_LOCK DupLock;
ULONGLONG DupLastReset;
bool DupResetValid;

constexpr LONGLONG kDupWindow100ns = 20000000;  // two seconds

// Case-insensitive equality of two terminated texts; usable under a spin lock.
bool EqualNoCase(const WCHAR* a, const WCHAR* b) {
    for (;; ++a, ++b) {
        if (RtlUpcaseUnicodeChar(*a) != RtlUpcaseUnicodeChar(*b)) {
            return false;
        }
        if (*a == 0) {
            return true;
        }
    }
}

}  // namespace

void InitDuplicateWindow() {
    KeInitializeSpinLock(&DupLock);
    RtlZeroMemory(DupSlots, sizeof(DupSlots));
    DupLastReset = 0;
    DupResetValid = false;
}

BOOLEAN IsOvlappedLog(const EVENT_RECORD* record) {
    PAGED_CODE();
    if (record->a0 >= KX_POLICY_ENTRIES) {
        return FALSE;
    }
    LARGE_INTEGER now;
    KeQueryTickCount(&now);
    const ULONG increment = KeQueryTimeIncrement();

    // Wide text may not be formatted above passive level: the slot's path is copied
    // out under the lock and traced after it is released.
    WCHAR* slotPath = NULL;
    if (KxDebugOn(KX_DBG_INFO)) {
        slotPath = static_cast<WCHAR*>(
            ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(WCHAR) * KX_EVENT_PATH_CHARS, KX_TAG_LOG_WORK));
    }

    bool drop = false;
    bool compared = false;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&DupLock);
    if (!DupResetValid || (now.QuadPart - (LONGLONG)DupLastReset) * (LONGLONG)increment > kDupWindow100ns) {
        RtlZeroMemory(DupSlots, sizeof(DupSlots));
        DupLastReset = (ULONGLONG)now.QuadPart;
        DupResetValid = true;
    }
    EVENT_RECORD* slot = &DupSlots[record->a0];
    if (slot->path[0] != 0) {
        compared = true;
        if (slotPath != NULL) {
            RtlCopyMemory(slotPath, slot->path, sizeof(slot->path));
        }
        drop = EqualNoCase(slot->path, record->path) && EqualNoCase(slot->name, record->name);
    } else {
        drop = record->a0 == BDC_CDROM && EqualNoCase(slot->name, record->name) && slot->a1 == record->a1;
    }
    if (!drop) {
        RtlCopyMemory(slot, record, sizeof(*slot));
    }
    KeReleaseSpinLock(&DupLock, irql);

    if (slotPath != NULL) {
        if (compared) {
            KX_TRACE(KX_DBG_INFO, "%s:%s: ov (%S), (%S)\n", slotPath, record->path);
        }
        ExFreePoolWithTag(slotPath, KX_TAG_LOG_WORK);
    }
    return drop ? TRUE : FALSE;
}

