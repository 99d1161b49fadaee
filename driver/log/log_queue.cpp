// The event log's queue: records are composed in lookaside blocks, filtered,
// queued in order, and drained into GET_LOG replies.
#include "driver/log/event_log.h"

#include "driver/core/strings.h"
#include "driver/policy/policy.h"

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
// Set once the queue and its lookaside list exist, cleared (under LogLock) when
// they are taken down; read by producers and GET_LOG on any thread.
volatile LONG LogReady;
// Producers and GET_LOG hold it while they use the queue and the lookaside list,
// so the teardown waits for them instead of freeing under them.
EX_RUNDOWN_REF LogRundown;

bool EnterLog() {
    if (ReadAcquire(&LogReady) == 0) {
        return false;
    }
    return ExAcquireRundownProtection(&LogRundown) != FALSE;
}

void LeaveLog() { ExReleaseRundownProtection(&LogRundown); }

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

// Callers hold the log's rundown protection.
LOG_BLOCK* AllocateBlock() {
    auto* block = static_cast<LOG_BLOCK*>(ExAllocateFromNPagedLookasideList(&LogLookaside));
    if (block != NULL) {
        RtlZeroMemory(block, sizeof(*block));
    }
    return block;
}

}  // namespace

void InitLog() {
    PAGED_CODE();
    InitializeListHead(&LogList);
    KeInitializeSpinLock(&LogLock);
    WriteNoFence(&s_log_cnt, 0);
    ExInitializeNPagedLookasideList(&LogLookaside, NULL, NULL, 0, sizeof(LOG_BLOCK), KX_TAG_LOG, 0);
    InitDuplicateWindow();
    ExInitializeRundownProtection(&LogRundown);
    WriteRelease(&LogReady, 1);
}

void Cleanuplog() {
    PAGED_CODE();
    if (InterlockedExchange(&LogReady, 0) == 0) {
        return;
    }
    // No new user gets in; the ones inside finish with the queue before it goes.
    ExWaitForRundownProtectionRelease(&LogRundown);
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
    KX_TRACE(KX_DBG_INFO, "%s:%s: success\n");
}

ULONG KxLogCount() { return (ULONG)ReadNoFence(&s_log_cnt); }

// The bodies of SetLog, SetConnectLog and GetLog, run inside the log's rundown
// protection; their traces carry the public routine's name, as the log prints it.
static NTSTATUS WriteLog(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects, ULONG code, ULONG a0,
                         ULONG a1, ULONG reserved, PCWSTR nameSource, PCWSTR path) {
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
        KxCopyTruncated(record->path, KX_EVENT_PATH_CHARS, path);
        KxCopyTruncated(record->name, KX_EVENT_NAME_CHARS, KxFinalComponent(nameSource));
        KX_TRACE_NAMED(KX_DBG_INFO, "SetLog", "%s:%s: LOG_POLICY code(%d), a0(%d), a1(%d), name(%S), path(%S)\n",
                       code, a0, a1, record->name, record->path);
        if (IsException(data, record)) {
            KX_TRACE_NAMED(KX_DBG_INFO, "SetLog", "%s:%s: IsException !!!\n");
            ExFreeToNPagedLookasideList(&LogLookaside, block);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (IsOvlappedLog(record)) {
            KX_TRACE_NAMED(KX_DBG_INFO, "SetLog", "%s:%s: IsOvlappedLog !!!\n");
            ExFreeToNPagedLookasideList(&LogLookaside, block);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    } else if (code == PROCESS_PROTECT_EVENT) {
        KxCopyTruncated(record->path, KX_EVENT_PATH_CHARS, nameSource);
        KxCopyTruncated(record->extra, KX_EVENT_EXTRA_CHARS, path);
    } else {
        KxCopyTruncated(record->path, KX_EVENT_PATH_CHARS, path);
        KxCopyTruncated(record->name, KX_EVENT_NAME_CHARS, KxFinalComponent(nameSource));
        KX_TRACE_NAMED(KX_DBG_INFO, "SetLog", "%s:%s: code(%d), a0(%d), a1(%d), name(%S), path(%S)\n", code, a0,
                       a1, record->name, record->path);
    }
    Enqueue(block);
    return STATUS_SUCCESS;
}

static NTSTATUS WriteConnectLog(PCFLT_RELATED_OBJECTS fltObjects, ULONG a0, ULONG a1, ULONG reserved,
                                PCWSTR extra, PCWSTR name, PCWSTR path) {
    UNREFERENCED_PARAMETER(fltObjects);
    UNREFERENCED_PARAMETER(reserved);
    const ULONG mask = (ULONG)ReadNoFence(&Globals.LogType);
    KX_TRACE_NAMED(KX_DBG_INFO, "SetConnectLog", "%s:%s: , SET_LOG_TYPE(%d)\n", mask);
    if ((mask & CONNECT) == 0) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    LOG_BLOCK* block = AllocateBlock();
    if (block == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    EVENT_RECORD* record = &block->record;
    StampRecord(record, CONNECT, a0, a1);
    KxCopyTruncated(record->name, KX_EVENT_NAME_CHARS, name != NULL ? name : WSTR("Unknown"));
    KxCopyTruncated(record->path, KX_EVENT_PATH_CHARS, path != NULL ? path : WSTR("Unknown Path"));
    KxCopyTruncated(record->extra, KX_EVENT_EXTRA_CHARS, extra);
    KX_TRACE_NAMED(KX_DBG_INFO, "SetConnectLog", "%s:%s: code(%d), a0(%d), a1(%d), name(%S), path(%S)\n",
                   (ULONG)CONNECT, a0, a1, record->name, record->path);
    Enqueue(block);
    return STATUS_SUCCESS;
}

static NTSTATUS DrainLog(PVOID outputBuffer, ULONG outputSize, PULONG reportedSize, bool* faulted) {
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
        KX_TRACE_NAMED(KX_DBG_INFO, "GetLog", "%s:%s: size mistach require_size(%d), size(%d)\n", requiredReported,
                       outputSize);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (outputSize < required) {
        // A large backlog is drained in parts; a small one waits for a buffer that
        // holds it all. A buffer without room for the header holds no part at all.
        if (waiting <= KX_GET_LOG_PARTIAL_THRESHOLD || outputSize < KX_GET_LOG_HEADER_SIZE) {
            KeReleaseSpinLock(&LogLock, irql);
            *reportedSize = requiredReported;
            KX_TRACE_NAMED(KX_DBG_INFO, "GetLog", "%s:%s: remain size mistach require_size(%d), size(%d)\n",
                           requiredReported, outputSize);
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
    KX_TRACE_NAMED(KX_DBG_INFO, "GetLog", "%s:%s: s_log_cnt(%d), ulReminCnt(%d)\n", waiting, moved);

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

NTSTATUS SetLog(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects, ULONG code, ULONG a0, ULONG a1,
                ULONG reserved, PCWSTR nameSource, PCWSTR path) {
    PAGED_CODE();
    if (!EnterLog()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = WriteLog(data, fltObjects, code, a0, a1, reserved, nameSource, path);
    LeaveLog();
    return status;
}

NTSTATUS SetConnectLog(PCFLT_RELATED_OBJECTS fltObjects, ULONG a0, ULONG a1, ULONG reserved, PCWSTR extra,
                       PCWSTR name, PCWSTR path) {
    PAGED_CODE();
    if (!EnterLog()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = WriteConnectLog(fltObjects, a0, a1, reserved, extra, name, path);
    LeaveLog();
    return status;
}

NTSTATUS GetLog(PVOID outputBuffer, ULONG outputSize, PULONG reportedSize, bool* faulted) {
    PAGED_CODE();
    *faulted = false;
    *reportedSize = 0;
    if (!EnterLog()) {
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = DrainLog(outputBuffer, outputSize, reportedSize, faulted);
    LeaveLog();
    return status;
}
