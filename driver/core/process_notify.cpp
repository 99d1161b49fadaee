// Process creation and termination: trusting automation instances of Excel as they
// start, recording process starts and ends when asked to, and clearing a process's
// id states when it ends.
#include "driver/core/process_notify.h"

#include "driver/core/process_ids.h"
#include "driver/core/nt_routines.h"
#include "driver/core/strings.h"
#include "driver/log/event_log.h"

namespace {

#define KX_PROCESS_NAME_CHARS 260
#define KX_PROCESS_PATH_CHARS 512

struct PROCESS_INFO {
    ULONG64 processId;
    WCHAR name[KX_PROCESS_NAME_CHARS];
    WCHAR path[KX_PROCESS_PATH_CHARS];
};

RTL_AVL_TABLE ProcessTable;
KSPIN_LOCK ProcessTableLock;
bool ProcessTableReady;

bool UsingExRoutine;
PFN_PS_SET_CREATE_PROCESS_NOTIFY_ROUTINE_EX SetNotifyEx;
NTSTATUS NotifyStatus = STATUS_UNSUCCESSFUL;

// Office started through COM automation; it runs on behalf of the agent's own
// document handling and is trusted from its first request.
const WCHAR kAutomationMarker[] = WSTR("EXCEL.EXE\" /automation -Embedding");

RTL_GENERIC_COMPARE_RESULTS CompareProcess(PRTL_AVL_TABLE, PVOID first, PVOID second) {
    const ULONG64 a = static_cast<PROCESS_INFO*>(first)->processId;
    const ULONG64 b = static_cast<PROCESS_INFO*>(second)->processId;
    return a < b ? GenericLessThan : (a > b ? GenericGreaterThan : GenericEqual);
}

PVOID AllocateProcessNode(PRTL_AVL_TABLE, ULONG size) {
    return ExAllocatePool2(POOL_FLAG_NON_PAGED, size, KX_TAG_PROCESS);
}

void FreeProcessNode(PRTL_AVL_TABLE, PVOID buffer) { ExFreePoolWithTag(buffer, KX_TAG_PROCESS); }

// A zero-terminated copy of a counted string, with room to spare; NULL when
// memory is short.
PWSTR TerminatedCopy(PCUNICODE_STRING source) {
    auto* copy = static_cast<PWSTR>(
        ExAllocatePool2(POOL_FLAG_NON_PAGED, (SIZE_T)source->Length + 10, KX_TAG_STRING));
    if (copy != NULL) {
        RtlCopyMemory(copy, source->Buffer, source->Length);
        copy[source->Length / sizeof(WCHAR)] = 0;
    }
    return copy;
}

PROCESS_INFO* AllocateInfo() {
    return static_cast<PROCESS_INFO*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(PROCESS_INFO), KX_TAG_PROCESS));
}

void RecordStart(ULONG processId, PCWSTR imageName) {
    if (!ProcessTableReady) {
        return;
    }
    PROCESS_INFO* info = AllocateInfo();
    if (info == NULL) {
        return;
    }
    info->processId = processId;
    if (imageName == NULL) {
        KxCopyTruncated(info->name, KX_PROCESS_NAME_CHARS, WSTR("Unknown"));
    } else {
        KxCopyTruncated(info->path, KX_PROCESS_PATH_CHARS, imageName);
        KxCopyTruncated(info->name, KX_PROCESS_NAME_CHARS, KxFinalComponent(imageName));
    }
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ProcessTableLock);
    BOOLEAN inserted = FALSE;
    RtlInsertElementGenericTableAvl(&ProcessTable, info, sizeof(PROCESS_INFO), &inserted);
    KeReleaseSpinLock(&ProcessTableLock, irql);

    // The log needs passive level: it is written after the table lock is released.
    SetLog(NULL, NULL, LOG_PROCESS, 1, 0, 0, info->name, info->path);
    ExFreePoolWithTag(info, KX_TAG_PROCESS);
}

// A process end. The id leaves every state table and the started-process table on
// every end, whether or not filtering is on: the system hands ids out again, and a
// new process must not inherit the trust or protection of an ended one, nor its
// table entry. Only the end record waits for START (record).
void TerminateProcessNotify(ULONG processId, bool record) {
    PgRemovePid(processId);
    if (!ProcessTableReady) {
        return;
    }
    PROCESS_INFO* info = AllocateInfo();
    if (info == NULL) {
        return;
    }
    info->processId = processId;
    bool found = false;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ProcessTableLock);
    auto* element = static_cast<PROCESS_INFO*>(RtlLookupElementGenericTableAvl(&ProcessTable, info));
    if (element != NULL) {
        KxCopyTruncated(info->name, KX_PROCESS_NAME_CHARS, element->name);
        KxCopyTruncated(info->path, KX_PROCESS_PATH_CHARS, element->path);
        found = true;
    }
    KeReleaseSpinLock(&ProcessTableLock, irql);
    if (found) {
        irql = KeAcquireSpinLockRaiseToDpc(&ProcessTableLock);
        RtlDeleteElementGenericTableAvl(&ProcessTable, info);
        KeReleaseSpinLock(&ProcessTableLock, irql);
        if (record) {
            KX_TRACE(KX_DBG_INFO, "%s:%s: TERMINATE pid(%d), (%S)\n", processId, info->name);
            SetLog(NULL, NULL, LOG_PROCESS, 0, 0, 0, info->name, info->path);
        }
    }
    ExFreePoolWithTag(info, KX_TAG_PROCESS);
}

void CreateProcessNotifyEx(PEPROCESS process, HANDLE processId, PPS_CREATE_NOTIFY_INFO createInfo) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(process);
    const ULONG pid = (ULONG)(ULONG_PTR)processId;
    if (createInfo == NULL) {
        TerminateProcessNotify(pid, KxSwitch(Globals.Started));
        return;
    }
    if (!KxSwitch(Globals.Started)) {
        return;
    }
    if (createInfo->CommandLine != NULL && createInfo->CommandLine->Buffer != NULL) {
        PWSTR commandLine = TerminatedCopy(createInfo->CommandLine);
        if (commandLine == NULL) {
            return;
        }
        if (wcsstr(commandLine, kAutomationMarker) != NULL) {
            PgAddPid(pid, KX_PROCESS_TRUSTED);
        }
        ExFreePoolWithTag(commandLine, KX_TAG_STRING);
    }
    if (Globals.ProcessCreateLog != 0 && createInfo->ImageFileName != NULL &&
        createInfo->ImageFileName->Buffer != NULL) {
        PWSTR imageName = TerminatedCopy(createInfo->ImageFileName);
        if (imageName == NULL) {
            return;
        }
        KX_TRACE(KX_DBG_INFO, "%s:%s: CREATE pid(%d), (%S)\n", pid, imageName);
        RecordStart(pid, imageName);
        ExFreePoolWithTag(imageName, KX_TAG_STRING);
    }
}

void CreateProcessNotify(HANDLE parentId, HANDLE processId, BOOLEAN create) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(parentId);
    if (!create) {
        TerminateProcessNotify((ULONG)(ULONG_PTR)processId, KxSwitch(Globals.Started));
    }
}

}  // namespace

NTSTATUS InitProcessNotify() {
    PAGED_CODE();
    if (!ProcessTableReady) {
        KeInitializeSpinLock(&ProcessTableLock);
        RtlInitializeGenericTableAvl(&ProcessTable, CompareProcess, AllocateProcessNode, FreeProcessNode, NULL);
        ProcessTableReady = true;
    }
    SetNotifyEx = reinterpret_cast<PFN_PS_SET_CREATE_PROCESS_NOTIFY_ROUTINE_EX>(
        KxGetRoutine(KxRoutinePsSetCreateProcessNotifyRoutineEx));
    if (SetNotifyEx != NULL) {
        UsingExRoutine = true;
        NotifyStatus = SetNotifyEx(CreateProcessNotifyEx, FALSE);
    } else {
        UsingExRoutine = false;
        NotifyStatus = PsSetCreateProcessNotifyRoutine(CreateProcessNotify, FALSE);
    }
    KX_TRACE(KX_DBG_INFO, "%s:%s: status(%x), (%p)\n", (ULONG)NotifyStatus, (PVOID)SetNotifyEx);
    return NotifyStatus;
}

void UnInitProcessNotify() {
    PAGED_CODE();
    if (NT_SUCCESS(NotifyStatus)) {
        if (UsingExRoutine) {
            SetNotifyEx(CreateProcessNotifyEx, TRUE);
        } else {
            PsSetCreateProcessNotifyRoutine(CreateProcessNotify, TRUE);
        }
    }
    // A later load registers again; until then there is no registration to report.
    NotifyStatus = STATUS_UNSUCCESSFUL;
    if (ProcessTableReady) {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ProcessTableLock);
        PVOID element;
        while ((element = RtlGetElementGenericTableAvl(&ProcessTable, 0)) != NULL) {
            RtlDeleteElementGenericTableAvl(&ProcessTable, element);
        }
        KeReleaseSpinLock(&ProcessTableLock, irql);
        ProcessTableReady = false;
    }
}

NTSTATUS GetProcessNotifyStatus() {
    KX_TRACE(KX_DBG_INFO, "%s:%s: status = %x\n", (ULONG)NotifyStatus);
    return NotifyStatus;
}
