// Dispatch hook families on other drivers' major-function tables: the static
// family tables, the entry routines and router, and install and remove.
//
// Ordering that keeps every request routable:
// - install publishes the saved routine, the kept original, the hooked mark and
//   the family flag before it swaps the target's slot, so the first request that
//   finds our routine is decided on like every later one;
// - remove clears the family flag (handlers pass everything from then on), marks
//   the record unhooked, restores the slots, waits until no request is inside the
//   routing, and only then clears the saved routines;
// - the router reads the saved routine once and never calls NULL: a request it
//   cannot hand to a handler goes to the entry's kept original routine, and only
//   when none is known is it completed with STATUS_INVALID_DEVICE_REQUEST.
//
// The target's driver object stays referenced from install to removal, so a
// target that unloads meanwhile never has a freed table written.
//
// A slot that another driver took over after us (it no longer holds our routine
// at removal) is left as it is: that driver's saved routine is ours, which keeps
// passing requests to the original while this image is loaded. Overwriting it
// would silently drop the other driver's interposition.
#include "driver/hooks/hooks.h"

#include "driver/hooks/etc_handlers.h"
#include "driver/hooks/obex.h"
#include "driver/hooks/usb_pnp.h"

namespace {

// ------------------------------------------------------------------ the tables

// An entry of a record's table: enabled with its handler for the one interposed
// major function, disabled (all zero) for every other.
#define KX_HOOK_E(i, mj, h) \
    {NULL, (i) == (mj) ? (ULONG)(i) : 0u, (UCHAR)((i) == (mj) ? 1 : 0), (i) == (mj) ? (h) : NULL, NULL}
#define KX_HOOK_ENTRIES(mj, h)                                                                                    \
    {KX_HOOK_E(0, mj, h),  KX_HOOK_E(1, mj, h),  KX_HOOK_E(2, mj, h),  KX_HOOK_E(3, mj, h),  KX_HOOK_E(4, mj, h),  \
     KX_HOOK_E(5, mj, h),  KX_HOOK_E(6, mj, h),  KX_HOOK_E(7, mj, h),  KX_HOOK_E(8, mj, h),  KX_HOOK_E(9, mj, h),  \
     KX_HOOK_E(10, mj, h), KX_HOOK_E(11, mj, h), KX_HOOK_E(12, mj, h), KX_HOOK_E(13, mj, h), KX_HOOK_E(14, mj, h), \
     KX_HOOK_E(15, mj, h), KX_HOOK_E(16, mj, h), KX_HOOK_E(17, mj, h), KX_HOOK_E(18, mj, h), KX_HOOK_E(19, mj, h), \
     KX_HOOK_E(20, mj, h), KX_HOOK_E(21, mj, h), KX_HOOK_E(22, mj, h), KX_HOOK_E(23, mj, h), KX_HOOK_E(24, mj, h), \
     KX_HOOK_E(25, mj, h), KX_HOOK_E(26, mj, h), KX_HOOK_E(27, mj, h)}
#define KX_HOOK_RECORD_INIT(mj, h) {NULL, 0, 0, KX_HOOK_ENTRIES(mj, h)}

static_assert(KX_HOOK_MAJOR_COUNT == 28, "the entry tables list 28 major functions");

KX_HOOK_RECORD BluetoothRecords[] = {
    KX_HOOK_RECORD_INIT(IRP_MJ_DEVICE_CONTROL, BtkrnlDeviceIoControl),
    KX_HOOK_RECORD_INIT(IRP_MJ_INTERNAL_DEVICE_CONTROL, RfcommInternalDeviceIoControl),
    KX_HOOK_RECORD_INIT(IRP_MJ_DEVICE_CONTROL, BtwusbDeviceIoControl),
    KX_HOOK_RECORD_INIT(IRP_MJ_DEVICE_CONTROL, BthusbDeviceIoControl),
};
const PCWSTR BluetoothNames[] = {
    WSTR("\\Driver\\BTKRNL"),
    WSTR("\\Driver\\RFCOMM"),
    WSTR("\\Driver\\BTWUSB"),
    WSTR("\\Driver\\BTHUSB"),
};

KX_HOOK_RECORD EtcRecords[] = {
    KX_HOOK_RECORD_INIT(IRP_MJ_DEVICE_CONTROL, Ohci139DeviceControl),
    KX_HOOK_RECORD_INIT(IRP_MJ_WRITE, SerenumlWrite),
    KX_HOOK_RECORD_INIT(IRP_MJ_WRITE, ParportWrite),
    KX_HOOK_RECORD_INIT(IRP_MJ_INTERNAL_DEVICE_CONTROL, IrdaInternalDeviceControl),
    KX_HOOK_RECORD_INIT(IRP_MJ_WRITE, ModemWrite),
};
const PCWSTR EtcNames[] = {
    WSTR("\\Driver\\ohci1394"),
    WSTR("\\Driver\\Serenum"),
    WSTR("\\Driver\\Parport"),
    WSTR("\\Driver\\irda"),
    WSTR("\\Driver\\modem"),
};

KX_HOOK_RECORD MtpRecords[] = {
    KX_HOOK_RECORD_INIT(IRP_MJ_DEVICE_CONTROL, MtpDeviceIoControl),
};
const PCWSTR MtpNames[] = {
    WSTR("\\Driver\\WudfRd"),
};

KX_HOOK_RECORD UsbRecords[] = {
    KX_HOOK_RECORD_INIT(IRP_MJ_PNP, USBPnpControl),
    KX_HOOK_RECORD_INIT(IRP_MJ_PNP, USBPnpControl),
};
const PCWSTR UsbNames[] = {
    WSTR("\\Driver\\usbhub"),
    WSTR("\\Driver\\usbhub3"),
};

// Family flags, read by the handlers.
volatile LONG BluetoothHooksActive;
volatile LONG EtcHooksActive;
volatile LONG MtpHooksActive;
volatile LONG UsbHooksActive;

struct HOOK_FAMILY {
    PKX_HOOK_RECORD Records;
    const PCWSTR* Names;
    const PDRIVER_DISPATCH* EntryRoutines;
    ULONG Count;
    volatile LONG* Flag;
    const char* InstallName;  // the routine names the traces carry
    const char* RemoveName;
    bool IndexInWaitTrace;    // the Bluetooth waiting line also names the record
};

extern const HOOK_FAMILY Families[4];

NTSTATUS RouteRequest(KX_HOOK_FAMILY family, ULONG index, PDEVICE_OBJECT deviceObject, PIRP irp);

// One entry routine per record: its only job is to route to that record.
#define KX_HOOK_ENTRY_ROUTINE(name, family, index) \
    NTSTATUS name(PDEVICE_OBJECT deviceObject, PIRP irp) { return RouteRequest(family, index, deviceObject, irp); }

KX_HOOK_ENTRY_ROUTINE(BluetoothHookEntry0, KxHookBluetooth, 0)
KX_HOOK_ENTRY_ROUTINE(BluetoothHookEntry1, KxHookBluetooth, 1)
KX_HOOK_ENTRY_ROUTINE(BluetoothHookEntry2, KxHookBluetooth, 2)
KX_HOOK_ENTRY_ROUTINE(BluetoothHookEntry3, KxHookBluetooth, 3)
KX_HOOK_ENTRY_ROUTINE(EtcHookEntry0, KxHookEtc, 0)
KX_HOOK_ENTRY_ROUTINE(EtcHookEntry1, KxHookEtc, 1)
KX_HOOK_ENTRY_ROUTINE(EtcHookEntry2, KxHookEtc, 2)
KX_HOOK_ENTRY_ROUTINE(EtcHookEntry3, KxHookEtc, 3)
KX_HOOK_ENTRY_ROUTINE(EtcHookEntry4, KxHookEtc, 4)
KX_HOOK_ENTRY_ROUTINE(MtpHookEntry0, KxHookMtp, 0)
KX_HOOK_ENTRY_ROUTINE(UsbHookEntry0, KxHookUsb, 0)
KX_HOOK_ENTRY_ROUTINE(UsbHookEntry1, KxHookUsb, 1)

const PDRIVER_DISPATCH BluetoothEntryRoutines[] = {BluetoothHookEntry0, BluetoothHookEntry1, BluetoothHookEntry2,
                                                   BluetoothHookEntry3};
const PDRIVER_DISPATCH EtcEntryRoutines[] = {EtcHookEntry0, EtcHookEntry1, EtcHookEntry2, EtcHookEntry3,
                                             EtcHookEntry4};
const PDRIVER_DISPATCH MtpEntryRoutines[] = {MtpHookEntry0};
const PDRIVER_DISPATCH UsbEntryRoutines[] = {UsbHookEntry0, UsbHookEntry1};

static_assert(KX_COUNTOF(BluetoothRecords) == KX_COUNTOF(BluetoothNames) &&
                  KX_COUNTOF(BluetoothRecords) == KX_COUNTOF(BluetoothEntryRoutines),
              "Bluetooth tables are parallel");
static_assert(KX_COUNTOF(EtcRecords) == KX_COUNTOF(EtcNames) && KX_COUNTOF(EtcRecords) == KX_COUNTOF(EtcEntryRoutines),
              "Etc tables are parallel");
static_assert(KX_COUNTOF(MtpRecords) == KX_COUNTOF(MtpNames) && KX_COUNTOF(MtpRecords) == KX_COUNTOF(MtpEntryRoutines),
              "MTP tables are parallel");
static_assert(KX_COUNTOF(UsbRecords) == KX_COUNTOF(UsbNames) && KX_COUNTOF(UsbRecords) == KX_COUNTOF(UsbEntryRoutines),
              "USB tables are parallel");

// Indexed by KX_HOOK_FAMILY.
const HOOK_FAMILY Families[4] = {
    {BluetoothRecords, BluetoothNames, BluetoothEntryRoutines, KX_COUNTOF(BluetoothRecords), &BluetoothHooksActive,
     "BlueToothIrpHookInit", "BlueToothIrpHookCleanup", true},
    {EtcRecords, EtcNames, EtcEntryRoutines, KX_COUNTOF(EtcRecords), &EtcHooksActive, "EtcIrpHookInit",
     "EtcIrpHookCleanup", false},
    {MtpRecords, MtpNames, MtpEntryRoutines, KX_COUNTOF(MtpRecords), &MtpHooksActive, "MtpIrpHookInit",
     "MtpIrpHookCleanup", false},
    {UsbRecords, UsbNames, UsbEntryRoutines, KX_COUNTOF(UsbRecords), &UsbHooksActive, "USBIrpHookInit",
     "USBIrpHookCleanup", false},
};

// Serialises every install and remove, of all families. A synchronization event
// used as a lock: it is waited on at PASSIVE_LEVEL and leaves the IRQL there, so
// the holder may print wide traces, look objects up by name and sleep.
KEVENT HookLock;
// Set once unload has begun: SET_HOOK then changes nothing.
volatile LONG HooksUnloading;

// Remove polls the count every 50 ms and waits 500 ms at the end (100-ns units).
constexpr LONGLONG kDrainPollInterval = -500000;
constexpr LONGLONG kRemoveSettleInterval = -5000000;

// ------------------------------------------------------------------ helpers

PVOID ReadPointer(PVOID volatile* p) { return InterlockedCompareExchangePointer(p, NULL, NULL); }

PVOID volatile* Slot(PDRIVER_OBJECT driverObject, ULONG majorFunction) {
    return reinterpret_cast<PVOID volatile*>(&driverObject->MajorFunction[majorFunction]);
}

PVOID AsPointer(PDRIVER_DISPATCH routine) { return reinterpret_cast<PVOID>(routine); }
PDRIVER_DISPATCH AsRoutine(PVOID routine) { return reinterpret_cast<PDRIVER_DISPATCH>(routine); }

void LockHooks() {
    PAGED_CODE();
    (void)KeWaitForSingleObject(&HookLock, Executive, KernelMode, FALSE, NULL);
}

void UnlockHooks() { (void)KeSetEvent(&HookLock, IO_NO_INCREMENT, FALSE); }

// Looks the target up by name (case-insensitive) and keeps the reference.
PDRIVER_OBJECT ReferenceTarget(PCWSTR name) {
    PAGED_CODE();
    UNICODE_STRING objectName;
    RtlInitUnicodeString(&objectName, name);
    PVOID object = NULL;
    NTSTATUS status = ObReferenceObjectByName(&objectName, OBJ_CASE_INSENSITIVE, NULL, 0, *IoDriverObjectType,
                                              KernelMode, NULL, &object);
    if (!NT_SUCCESS(status)) {
        return NULL;
    }
    return static_cast<PDRIVER_OBJECT>(object);
}

// ------------------------------------------------------------------ install

void InstallRecord(const HOOK_FAMILY& family, ULONG index) {
    PAGED_CODE();
    KX_HOOK_RECORD& record = family.Records[index];
    const PCWSTR name = family.Names[index];
    const PVOID entryRoutine = AsPointer(family.EntryRoutines[index]);

    KX_TRACE_NAMED(KX_DBG_INFO, family.InstallName, "%s:%s: Target driver(%S)\n", name);
    PDRIVER_OBJECT driverObject = ReferenceTarget(name);
    if (driverObject == NULL) {
        KX_TRACE_NAMED(KX_DBG_ERROR, family.InstallName, "%s:%s: Not found object (%S)\n", name);
        return;
    }
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&record.DriverObject), driverObject);

    // Publish what the router needs before the first slot points at us.
    for (ULONG mj = 0; mj < KX_HOOK_MAJOR_COUNT; ++mj) {
        KX_HOOK_ENTRY& entry = record.Entries[mj];
        if (!entry.Enabled) {
            continue;
        }
        const PVOID current = ReadPointer(Slot(driverObject, mj));
        if (current == entryRoutine) {
            // Still ours from an earlier install (another driver restored us after
            // our removal left its hook in place): keep routing to the original
            // we knew, never to ourselves.
            InterlockedExchangePointer(&entry.SavedRoutine, ReadPointer(&entry.OriginalRoutine));
        } else {
            InterlockedExchangePointer(&entry.OriginalRoutine, current);
            InterlockedExchangePointer(&entry.SavedRoutine, current);
        }
    }
    InterlockedExchange(&record.Hooked, 1);
    InterlockedExchange(family.Flag, 1);

    for (ULONG mj = 0; mj < KX_HOOK_MAJOR_COUNT; ++mj) {
        KX_HOOK_ENTRY& entry = record.Entries[mj];
        if (!entry.Enabled) {
            continue;
        }
        const PVOID saved = ReadPointer(&entry.SavedRoutine);
        if (saved == NULL) {
            continue;  // an empty slot stays empty
        }
        // Replace only what we saved: a slot the target changed since it was read
        // is saved again, so the saved routine is always the one the slot held.
        PVOID expected = saved;
        bool swapped = false;
        for (;;) {
            const PVOID previous = InterlockedCompareExchangePointer(Slot(driverObject, mj), entryRoutine, expected);
            if (previous == expected) {
                swapped = true;
                break;
            }
            if (previous == entryRoutine) {
                break;  // already ours; the saved routine stays the original
            }
            InterlockedExchangePointer(&entry.OriginalRoutine, previous);
            InterlockedExchangePointer(&entry.SavedRoutine, previous);
            if (previous == NULL) {
                break;  // emptied meanwhile: stays empty
            }
            expected = previous;
        }
        if (swapped) {
            KX_TRACE_NAMED(KX_DBG_INFO, family.InstallName, "%s:%s: [Hook] %S MJ:%d Org:%p New:%p\n", name, (int)mj,
                           expected, entryRoutine);
        }
    }
}

NTSTATUS InstallFamily(KX_HOOK_FAMILY which) {
    PAGED_CODE();
    const HOOK_FAMILY& family = Families[which];
    LockHooks();
    if (ReadAcquire(&HooksUnloading) == 0) {
        for (ULONG i = 0; i < family.Count; ++i) {
            if (ReadAcquire(&family.Records[i].Hooked) == 0 && family.Names[i] != NULL) {
                InstallRecord(family, i);
            }
        }
        KX_TRACE_NAMED(KX_DBG_INFO, family.InstallName, "%s:%s: complete\n");
    }
    UnlockHooks();
    return STATUS_SUCCESS;
}

// ------------------------------------------------------------------ remove

void RemoveRecord(const HOOK_FAMILY& family, ULONG index) {
    PAGED_CODE();
    KX_HOOK_RECORD& record = family.Records[index];
    const PVOID entryRoutine = AsPointer(family.EntryRoutines[index]);
    PDRIVER_OBJECT driverObject =
        static_cast<PDRIVER_OBJECT>(ReadPointer(reinterpret_cast<PVOID volatile*>(&record.DriverObject)));

    KX_TRACE_NAMED(KX_DBG_INFO, family.RemoveName, "%s:%s: Unhooking Driver Index: %d\n", (int)index);
    // From here the router passes this record's requests straight on.
    InterlockedExchange(&record.Hooked, 0);

    for (ULONG mj = 0; mj < KX_HOOK_MAJOR_COUNT; ++mj) {
        KX_HOOK_ENTRY& entry = record.Entries[mj];
        const PVOID saved = ReadPointer(&entry.SavedRoutine);
        if (!entry.Enabled || saved == NULL) {
            continue;
        }
        const PVOID previous = InterlockedCompareExchangePointer(Slot(driverObject, mj), saved, entryRoutine);
        if (previous != entryRoutine) {
            KX_TRACE_NAMED(KX_DBG_INFO, family.RemoveName,
                           "%s:%s: %S MJ:%d now %p, not ours: left in place\n", family.Names[index], (int)mj,
                           previous);
        }
    }

    for (;;) {
        const LONG active = ReadAcquire(&record.ActiveCount);
        if (active == 0) {
            break;
        }
        if (family.IndexInWaitTrace) {
            KX_TRACE_NAMED(KX_DBG_INFO, family.RemoveName, "%s:%s: (%d), Waiting for active IRPs... Count: %d\n",
                           (int)index, (int)active);
        } else {
            KX_TRACE_NAMED(KX_DBG_INFO, family.RemoveName, "%s:%s: Waiting for active IRPs... Count: %d\n",
                           (int)active);
        }
        LARGE_INTEGER interval;
        interval.QuadPart = kDrainPollInterval;
        (void)KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }

    for (ULONG mj = 0; mj < KX_HOOK_MAJOR_COUNT; ++mj) {
        InterlockedExchangePointer(&record.Entries[mj].SavedRoutine, NULL);
    }
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&record.DriverObject), NULL);
    ObDereferenceObject(driverObject);
}

NTSTATUS RemoveFamily(KX_HOOK_FAMILY which) {
    PAGED_CODE();
    const HOOK_FAMILY& family = Families[which];
    LockHooks();
    // Handlers let every request pass from now on.
    InterlockedExchange(family.Flag, 0);
    KX_TRACE_NAMED(KX_DBG_INFO, family.RemoveName, "%s:%s: Started...\n");
    for (ULONG i = 0; i < family.Count; ++i) {
        KX_HOOK_RECORD& record = family.Records[i];
        if (ReadAcquire(&record.Hooked) != 0 &&
            ReadPointer(reinterpret_cast<PVOID volatile*>(&record.DriverObject)) != NULL) {
            RemoveRecord(family, i);
        }
    }
    // Callers that fetched a restored routine just before the restore may still be
    // on their way into ours.
    LARGE_INTEGER interval;
    interval.QuadPart = kRemoveSettleInterval;
    (void)KeDelayExecutionThread(KernelMode, FALSE, &interval);
    KX_TRACE_NAMED(KX_DBG_INFO, family.RemoveName, "%s:%s: Complete.\n");
    UnlockHooks();
    return STATUS_SUCCESS;
}

// ------------------------------------------------------------------ routing

NTSTATUS RouteRequest(KX_HOOK_FAMILY which, ULONG index, PDEVICE_OBJECT deviceObject, PIRP irp) {
    const HOOK_FAMILY& family = Families[which];
    if (index >= family.Count) {
        return KxHookCompleteRequest(irp, STATUS_UNSUCCESSFUL);
    }
    KX_HOOK_RECORD& record = family.Records[index];
    InterlockedIncrement(&record.ActiveCount);

    NTSTATUS status;
    const ULONG majorFunction = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (majorFunction >= KX_HOOK_MAJOR_COUNT) {
        status = KxHookCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
    } else {
        KX_HOOK_ENTRY& entry = record.Entries[majorFunction];
        const PVOID saved = ReadPointer(&entry.SavedRoutine);
        if (saved != NULL && ReadAcquire(&record.Hooked) != 0 && entry.Enabled && entry.Handler != NULL) {
            status = entry.Handler(AsRoutine(saved), deviceObject, irp, &record);
        } else {
            // Not ours to decide on (the record is being removed or was removed,
            // or the entry is not interposed): pass it on as if we were not here.
            const PVOID original = saved != NULL ? saved : ReadPointer(&entry.OriginalRoutine);
            if (original != NULL) {
                status = AsRoutine(original)(deviceObject, irp);
            } else {
                status = KxHookCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
            }
        }
    }

    InterlockedDecrement(&record.ActiveCount);
    return status;
}

}  // namespace

// ------------------------------------------------------------------ public

BOOLEAN KxHookFamilyActive(KX_HOOK_FAMILY family) {
    if ((ULONG)family >= KX_COUNTOF(Families)) {
        return FALSE;
    }
    return ReadAcquire(Families[family].Flag) != 0 ? TRUE : FALSE;
}

NTSTATUS KxHookCompleteRequest(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void InitHooks() {
    PAGED_CODE();
    // A new load of the image starts with nothing hooked and nothing remembered.
    for (const HOOK_FAMILY& family : Families) {
        WriteRelease(family.Flag, 0);
        for (ULONG i = 0; i < family.Count; ++i) {
            KX_HOOK_RECORD& record = family.Records[i];
            InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&record.DriverObject), NULL);
            WriteRelease(&record.Hooked, 0);
            WriteRelease(&record.ActiveCount, 0);
            for (KX_HOOK_ENTRY& entry : record.Entries) {
                InterlockedExchangePointer(&entry.SavedRoutine, NULL);
                InterlockedExchangePointer(&entry.OriginalRoutine, NULL);
            }
        }
    }
    WriteRelease(&HooksUnloading, 0);
    KeInitializeEvent(&HookLock, SynchronizationEvent, TRUE);
}

void KxHooksBeginUnload() {
    PAGED_CODE();
    // Taken under the lock: a SET_HOOK already installing finishes first, and the
    // removal in the unload sequence then sees what it installed.
    LockHooks();
    WriteRelease(&HooksUnloading, 1);
    UnlockHooks();
}

void KxSetHook(ULONG deviceType, ULONG on) {
    PAGED_CODE();
    if (ReadAcquire(&HooksUnloading) != 0) {
        KX_TRACE(KX_DBG_INFO, "%s:%s: unloading, device type %d left as it is\n", deviceType);
        return;
    }
    switch (deviceType) {
    case BDC_USB:
        on ? USBIrpHookInit() : USBIrpHookCleanup();
        break;
    case BDC_BLUETOOTH:
        on ? BlueToothIrpHookInit() : BlueToothIrpHookCleanup();
        break;
    case BDC_MTP:
        on ? MtpIrpHookInit() : MtpIrpHookCleanup();
        break;
    case BDC_1394:
    case BDC_SERIAL:
    case BDC_PARALLEL:
    case BDC_IRDA:
    case BDC_MODEM:
        on ? EtcIrpHookInit() : EtcIrpHookCleanup();
        break;
    default:
        break;
    }
}

NTSTATUS USBIrpHookInit() { return InstallFamily(KxHookUsb); }
NTSTATUS USBIrpHookCleanup() { return RemoveFamily(KxHookUsb); }
NTSTATUS BlueToothIrpHookInit() { return InstallFamily(KxHookBluetooth); }
NTSTATUS BlueToothIrpHookCleanup() { return RemoveFamily(KxHookBluetooth); }
NTSTATUS MtpIrpHookInit() { return InstallFamily(KxHookMtp); }
NTSTATUS MtpIrpHookCleanup() { return RemoveFamily(KxHookMtp); }
NTSTATUS EtcIrpHookInit() { return InstallFamily(KxHookEtc); }
NTSTATUS EtcIrpHookCleanup() { return RemoveFamily(KxHookEtc); }
