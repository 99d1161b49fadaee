// The event log: records of policy decisions, volume arrivals, process starts and
// ends and protection events, queued until the library drains them with GET_LOG.
#include "driver/core/kx4grd.h"

namespace {

// A queued record and its link; blocks come from a lookaside list so producers on
// hot paths do not go to the general pool.
struct LOG_BLOCK {
    EVENT_RECORD record;
    LIST_ENTRY link;
};
static_assert(sizeof(LOG_BLOCK) == 2296, "log block");

LIST_ENTRY LogList;
KSPIN_LOCK LogLock;
volatile LONG s_log_cnt;
NPAGED_LOOKASIDE_LIST LogLookaside;
bool LogReady;

// The last admitted POLICY record per device class, for the two-second duplicate
// window. Guarded by its own lock so no reader sees a half-written slot.
EVENT_RECORD DupSlots[KX_POLICY_ENTRIES];
KSPIN_LOCK DupLock;
ULONGLONG DupLastReset;
bool DupResetValid;

constexpr LONGLONG kDupWindow100ns = 20000000;  // two seconds

struct PROCESS_EXCEPTION {
    ULONG value;
    const WCHAR* name;
    ULONG compareLength;
};

const PROCESS_EXCEPTION GeneralExceptions[] = {
    {1, WSTR("vmtoolsd.exe"), 12},
    {1, WSTR("lsass.exe"), 9},
};

const PROCESS_EXCEPTION NetworkDiskExceptions[] = {
    {1, WSTR("SearchIndexer.exe"), 17},
    {1, WSTR("svchost.exe"), 11},
    {1, WSTR("WUDFHost.exe"), 12},
    {1, WSTR("system"), 6},
};

const WCHAR* const NetworkNoise[] = {
    WSTR("\\PIPE\\srvsvc"), WSTR("\\;Csc\\.\\.\\"),    WSTR("\\pipe\\"),        WSTR("\\desktop.ini"),
    WSTR("*\\mailslot\\"),  WSTR(";RdpDr\\;"),         WSTR("\\pipe\\spoolss"), WSTR("\\Device\\Mup\\localhost\\"),
};

const WCHAR kDesktopIni[] = WSTR("\\desktop.ini");

// Copies src into a field of cap characters, truncating; always terminated.
void CopyField(WCHAR* dst, size_t cap, PCWSTR src) {
    size_t i = 0;
    if (src != NULL) {
        for (; i + 1 < cap && src[i] != 0; ++i) {
            dst[i] = src[i];
        }
    }
    dst[i] = 0;
}

PCWSTR FinalComponent(PCWSTR text) {
    PCWSTR slash = wcsrchr(text, WSTR('\\'));
    return slash != NULL ? slash + 1 : text;
}

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

template <size_t N>
bool MatchesProcessTable(const PROCESS_EXCEPTION (&table)[N], const WCHAR* name, ULONG value) {
    for (const PROCESS_EXCEPTION& entry : table) {
        if (entry.value == value && _wcsnicmp(name, entry.name, entry.compareLength) == 0) {
            return true;
        }
    }
    return false;
}

bool ContainsNetworkNoise(const WCHAR* path) {
    for (const WCHAR* noise : NetworkNoise) {
        if (wcsstr(path, noise) != NULL) {
            return true;
        }
    }
    return false;
}

bool IsCreate(PFLT_CALLBACK_DATA data) {
    return data != NULL && data->Iopb != NULL && data->Iopb->MajorFunction == IRP_MJ_CREATE;
}

ACCESS_MASK DesiredAccess(PFLT_CALLBACK_DATA data) {
    const auto& create = data->Iopb->Parameters.Create;
    return create.SecurityContext != NULL ? create.SecurityContext->DesiredAccess : 0;
}

void SignalLog() {
    if (ReadNoFence(&s_log_cnt) == 0) {
        return;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, KX4GRD_EVENT_NAME);
    HANDLE handle = NULL;
    PKEVENT event = IoCreateNotificationEvent(&name, &handle);
    if (event != NULL) {
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        ZwClose(handle);
    }
}

void StampRecord(EVENT_RECORD* record, ULONG code, ULONG a0, ULONG a1) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    record->time = (ULONGLONG)now.QuadPart;
    record->pid = (ULONG)(ULONG_PTR)PsGetCurrentProcessId();
    record->code = code;
    record->a0 = a0;
    record->a1 = a1;
}

void Enqueue(LOG_BLOCK* block) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&LogLock);
    InsertTailList(&LogList, &block->link);
    InterlockedIncrement(&s_log_cnt);
    KeReleaseSpinLock(&LogLock, irql);
    SignalLog();
}

LOG_BLOCK* AllocateBlock() {
    if (!LogReady) {
        return NULL;
    }
    auto* block = static_cast<LOG_BLOCK*>(ExAllocateFromNPagedLookasideList(&LogLookaside));
    if (block != NULL) {
        RtlZeroMemory(block, sizeof(*block));
    }
    return block;
}

}  // namespace

void InitLog() {
    InitializeListHead(&LogList);
    KeInitializeSpinLock(&LogLock);
    WriteNoFence(&s_log_cnt, 0);
    ExInitializeNPagedLookasideList(&LogLookaside, NULL, NULL, 0, sizeof(LOG_BLOCK), KX_TAG_LOG, 0);
    KeInitializeSpinLock(&DupLock);
    RtlZeroMemory(DupSlots, sizeof(DupSlots));
    DupLastReset = 0;
    DupResetValid = false;
    LogReady = true;
}

void Cleanuplog() {
    if (!LogReady) {
        return;
    }
    LIST_ENTRY drained;
    InitializeListHead(&drained);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&LogLock);
    while (!IsListEmpty(&LogList)) {
        InsertTailList(&drained, RemoveHeadList(&LogList));
    }
    WriteNoFence(&s_log_cnt, 0);
    KeReleaseSpinLock(&LogLock, irql);

    while (!IsListEmpty(&drained)) {
        LOG_BLOCK* block = CONTAINING_RECORD(RemoveHeadList(&drained), LOG_BLOCK, link);
        ExFreeToNPagedLookasideList(&LogLookaside, block);
    }
    ExDeleteNPagedLookasideList(&LogLookaside);
    LogReady = false;
    KX_TRACE(KX_DBG_INFO, "%s:%s: success\n");
}

ULONG KxLogCount() { return (ULONG)ReadNoFence(&s_log_cnt); }

BOOLEAN IsException(PFLT_CALLBACK_DATA data, const EVENT_RECORD* record) {
    const ULONG a0 = record->a0;
    if (a0 == BDC_NETWORKDRIVEOUT || a0 == BDC_NETWORKSHAREOUT) {
        if (MatchesProcessTable(NetworkDiskExceptions, record->name, 1) || ContainsNetworkNoise(record->path)) {
            return TRUE;
        }
    } else if (a0 == BDC_USB_DISK || a0 == BDC_EXTERNALHDD) {
        if (wcsstr(record->path, kDesktopIni) != NULL || MatchesProcessTable(NetworkDiskExceptions, record->name, 1)) {
            return TRUE;
        }
        if (IsCreate(data)) {
            const auto& create = data->Iopb->Parameters.Create;
            const ACCESS_MASK access = DesiredAccess(data);
            KX_TRACE(KX_DBG_ERROR, "%s:%s: desired_access(%x)\tcreate_option(%x)\tfileattributes(%x)\n", access,
                     create.Options, create.FileAttributes);
            if (record->a1 != READONLY) {
                // Plain opens (open, open-if, overwrite-if, backup or synchronous
                // opens) of a writable device are noise.
                if ((create.Options & 0x1004020) == 0) {
                    return TRUE;
                }
            } else if ((create.Options >> 24) == FILE_OPEN && (access & FILE_WRITE_DATA)) {
                return TRUE;
            }
        }
    } else if (a0 == BDC_CDROM && IsCreate(data)) {
        if (wcschr(record->path, WSTR('\\')) == NULL) {
            return TRUE;
        }
    }
    return MatchesProcessTable(GeneralExceptions, record->name, 1) ? TRUE : FALSE;
}

BOOLEAN IsOvlappedLog(const EVENT_RECORD* record) {
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

NTSTATUS SetLog(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects, ULONG code, ULONG a0, ULONG a1,
                ULONG reserved, PCWSTR nameSource, PCWSTR path) {
    UNREFERENCED_PARAMETER(fltObjects);
    UNREFERENCED_PARAMETER(reserved);
    if (nameSource == NULL || path == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (((ULONG)ReadNoFence(&Globals.LogType) & code) == 0) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The record is composed in its queue block rather than on the stack: it is
    // 2280 bytes and producers run deep in the file-system stack.
    LOG_BLOCK* block = AllocateBlock();
    if (block == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    EVENT_RECORD* record = &block->record;
    StampRecord(record, code, a0, a1);

    if (code == POLICY) {
        record->log = GetDevicePolicyLog(a0);
        CopyField(record->path, KX_EVENT_PATH_CHARS, path);
        CopyField(record->name, KX_EVENT_NAME_CHARS, FinalComponent(nameSource));
        KX_TRACE(KX_DBG_INFO, "%s:%s: LOG_POLICY code(%d), a0(%d), a1(%d), name(%S), path(%S)\n", code, a0, a1,
                 record->name, record->path);
        if (IsException(data, record)) {
            KX_TRACE(KX_DBG_INFO, "%s:%s: IsException !!!\n");
            ExFreeToNPagedLookasideList(&LogLookaside, block);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (IsOvlappedLog(record)) {
            KX_TRACE(KX_DBG_INFO, "%s:%s: IsOvlappedLog !!!\n");
            ExFreeToNPagedLookasideList(&LogLookaside, block);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    } else if (code == PROCESS_PROTECT_EVENT) {
        CopyField(record->path, KX_EVENT_PATH_CHARS, nameSource);
        CopyField(record->extra, KX_EVENT_EXTRA_CHARS, path);
    } else {
        CopyField(record->path, KX_EVENT_PATH_CHARS, path);
        CopyField(record->name, KX_EVENT_NAME_CHARS, FinalComponent(nameSource));
        KX_TRACE(KX_DBG_INFO, "%s:%s: code(%d), a0(%d), a1(%d), name(%S), path(%S)\n", code, a0, a1, record->name,
                 record->path);
    }
    Enqueue(block);
    return STATUS_SUCCESS;
}

NTSTATUS SetConnectLog(PCFLT_RELATED_OBJECTS fltObjects, ULONG a0, ULONG a1, ULONG reserved, PCWSTR extra,
                       PCWSTR name, PCWSTR path) {
    UNREFERENCED_PARAMETER(fltObjects);
    UNREFERENCED_PARAMETER(reserved);
    const ULONG mask = (ULONG)ReadNoFence(&Globals.LogType);
    KX_TRACE(KX_DBG_INFO, "%s:%s: , SET_LOG_TYPE(%d)\n", mask);
    if ((mask & CONNECT) == 0) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    LOG_BLOCK* block = AllocateBlock();
    if (block == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    EVENT_RECORD* record = &block->record;
    StampRecord(record, CONNECT, a0, a1);
    CopyField(record->name, KX_EVENT_NAME_CHARS, name != NULL ? name : WSTR("Unknown"));
    CopyField(record->path, KX_EVENT_PATH_CHARS, path != NULL ? path : WSTR("Unknown Path"));
    CopyField(record->extra, KX_EVENT_EXTRA_CHARS, extra);
    KX_TRACE(KX_DBG_INFO, "%s:%s: code(%d), a0(%d), a1(%d), name(%S), path(%S)\n", (ULONG)CONNECT, a0, a1,
             record->name, record->path);
    Enqueue(block);
    return STATUS_SUCCESS;
}

NTSTATUS GetLog(PVOID outputBuffer, ULONG outputSize, PULONG reportedSize, bool* faulted) {
    *faulted = false;
    *reportedSize = 0;
    if (!LogReady) {
        return STATUS_UNSUCCESSFUL;
    }
    const bool accessible = outputBuffer != NULL && MmIsAddressValid(outputBuffer);

    LIST_ENTRY taken;
    InitializeListHead(&taken);
    ULONG waiting = 0;
    ULONG moved = 0;
    ULONGLONG required = 0;
    NTSTATUS status = STATUS_SUCCESS;

    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&LogLock);
    waiting = (ULONG)ReadNoFence(&s_log_cnt);
    if (waiting == 0 && IsListEmpty(&LogList)) {
        KeReleaseSpinLock(&LogLock, irql);
        return STATUS_UNSUCCESSFUL;
    }
    if (!accessible) {
        KeReleaseSpinLock(&LogLock, irql);
        return STATUS_BUFFER_OVERFLOW;
    }
    required = GetLogReplySize(waiting);
    const ULONG requiredReported = required > 0xFFFFFFFFull ? 0xFFFFFFFFu : (ULONG)required;
    if (outputSize == 0) {
        KeReleaseSpinLock(&LogLock, irql);
        *reportedSize = requiredReported;
        KX_TRACE(KX_DBG_INFO, "%s:%s: size mistach require_size(%d), size(%d)\n", requiredReported, outputSize);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (outputSize < required) {
        // A large backlog is drained in parts; a small one waits for a buffer that
        // holds it all. A buffer without room for the header holds no part at all.
        if (waiting <= KX_GET_LOG_PARTIAL_THRESHOLD || outputSize < KX_GET_LOG_HEADER_SIZE) {
            KeReleaseSpinLock(&LogLock, irql);
            *reportedSize = requiredReported;
            KX_TRACE(KX_DBG_INFO, "%s:%s: remain size mistach require_size(%d), size(%d)\n", requiredReported,
                     outputSize);
            SignalLog();
            return STATUS_BUFFER_OVERFLOW;
        }
        moved = (outputSize - KX_GET_LOG_HEADER_SIZE) / KX_EVENT_RECORD_SIZE;
    } else {
        moved = waiting;
    }
    for (ULONG i = 0; i < moved && !IsListEmpty(&LogList); ++i) {
        InsertTailList(&taken, RemoveHeadList(&LogList));
        InterlockedDecrement(&s_log_cnt);
    }
    KeReleaseSpinLock(&LogLock, irql);
    KX_TRACE(KX_DBG_INFO, "%s:%s: s_log_cnt(%d), ulReminCnt(%d)\n", waiting, moved);

    // The reply is the caller's memory: it is written after the lock is released,
    // and if writing faults the records go back to the head of the queue in order.
    KX_TRY {
        ProbeForWrite(outputBuffer, KX_GET_LOG_HEADER_SIZE + (SIZE_T)moved * KX_EVENT_RECORD_SIZE, 1);
        auto* out = static_cast<UCHAR*>(outputBuffer);
        RtlCopyMemory(out, &moved, sizeof(moved));
        SIZE_T offset = KX_GET_LOG_HEADER_SIZE;
        for (PLIST_ENTRY e = taken.Flink; e != &taken; e = e->Flink) {
            RtlCopyMemory(out + offset, &CONTAINING_RECORD(e, LOG_BLOCK, link)->record, KX_EVENT_RECORD_SIZE);
            offset += KX_EVENT_RECORD_SIZE;
        }
    }
    KX_EXCEPT {
        status = KX_EXCEPTION_CODE();
        *faulted = true;
    }

    if (*faulted) {
        irql = KeAcquireSpinLockRaiseToDpc(&LogLock);
        while (!IsListEmpty(&taken)) {
            InsertHeadList(&LogList, RemoveTailList(&taken));
            InterlockedIncrement(&s_log_cnt);
        }
        KeReleaseSpinLock(&LogLock, irql);
        return status;
    }

    while (!IsListEmpty(&taken)) {
        ExFreeToNPagedLookasideList(&LogLookaside, CONTAINING_RECORD(RemoveHeadList(&taken), LOG_BLOCK, link));
    }
    SignalLog();
    return STATUS_SUCCESS;
}
