// The control channel: connection bookkeeping for the communication port and the
// command dispatcher behind it.
#include "driver/core/dispatch.h"

#include "driver/core/process_ids.h"
#include "driver/core/process_notify.h"
#include "driver/hooks/hooks.h"
#include "driver/log/event_log.h"
#include "driver/policy/lists.h"
#include "driver/policy/policy.h"
#include "driver/policy/usb_exceptions.h"
#include "driver/protect/process_protect.h"
#include "driver/protect/registry_protect.h"

namespace {

// One per connected client; the record itself is the connection cookie.
struct CONNECTION_RECORD {
    LIST_ENTRY Link;
    PFLT_PORT volatile ClientPort;
};

LIST_ENTRY ConnectionList;
KSPIN_LOCK ConnectionLock;
volatile LONG ConnectionCount;

// The text field holds at most 1023 characters and a terminator.
constexpr ULONG kMaxTextBytes = (KX_TEXT_CHARS - 1) * sizeof(WCHAR);

// The sender always sends terminated fields, but the message crosses a trust
// boundary: bound every text to its field before any routine reads it.
void TerminateText(COMMAND_MESSAGE* msg) {
    msg->text[KX_TEXT_CHARS - 1] = 0;
    if (msg->size > kMaxTextBytes) {
        msg->size = kMaxTextBytes;
    }
}

void TerminateUsbDiskFields(COMMAND_MESSAGE* msg) {
    msg->usbDisk.vendorId[KX_USB_ID_CHARS - 1] = 0;
    msg->usbDisk.productId[KX_USB_ID_CHARS - 1] = 0;
    msg->usbDisk.productRevision[KX_USB_ID_CHARS - 1] = 0;
    msg->usbDisk.serialNumber[KX_USB_ID_CHARS - 1] = 0;
}

void TerminateUsbPortFields(COMMAND_MESSAGE* msg) { msg->usbPort.serialNumber[KX_USB_SERIAL_CHARS - 1] = 0; }

void ClearCommand() {
    CleanupPathlistEx(KxPathList);
    CleanupProcesslist();
    CleanupPathlistEx(KxFileNameList);
    CleanupPathlistEx(KxProtectProcessNameList);
    PgClearAllPid();
    ClearDevicePolicy();
    PgAddSystemPids();
}

// Traces of the commands name the dispatcher, whichever helper prints them.
#define DISPATCH_TRACE(bit, format, ...) KX_TRACE_NAMED(bit, "Kx4GrdMssageProc", format, ##__VA_ARGS__)

// Acts on one captured, bounded message. Runs inside the dispatcher's guard: a
// fault writing the caller's output buffer unwinds to it.
NTSTATUS Dispatch(COMMAND_MESSAGE* msg, PVOID outputBuffer, ULONG outputBufferLength,
                  PULONG returnOutputBufferLength) {
    NTSTATUS status = STATUS_SUCCESS;

    switch (msg->command) {
    case START:
        KxSetSwitch(Globals.Started, true);
        DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: START\n");
        break;

    case STOP:
        KxSetSwitch(Globals.Started, false);
        DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: STOP\n");
        break;

    case CLEAR:
        ClearCommand();
        DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: CLEAR\n");
        break;

    case GET_LOG: {
        ULONG required = 0;
        bool faulted = false;
        status = GetLog(outputBuffer, outputBufferLength, &required, &faulted);
        if (faulted) {
            DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: eception = %08x\n", (ULONG)status);
            return status;
        }
        *returnOutputBufferLength = NT_SUCCESS(status) ? outputBufferLength : required;
        break;
    }

    case SET_POLICY:
        DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: SET_POLICY, devicetype(%d), state(%d), log(%d)\n", msg->devicetype,
                 msg->policystate, msg->log);
        SetDevicePolicy(msg->devicetype, msg->policystate, msg->log);
        break;

    case SET_PATH:
        TerminateText(msg);
        if (msg->size != 0) {
            SetProtectPathEx(KxPathList, msg->ulType, msg->text, msg->size);
            DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: SET_PATH(%d)(%S)(%d)\n", msg->ulType, msg->text, msg->size);
        }
        break;

    case DEL_PATH:
        TerminateText(msg);
        if (msg->size != 0) {
            RemoveFirstProtectPath(KxPathList, msg->ulType, msg->text, msg->size);
        } else {
            RemoveProtectPathsByType(KxPathList, msg->ulType);
        }
        break;

    case SET_PROCESSNAME:
        TerminateText(msg);
        if (msg->size != 0) {
            SetProcessPath(msg->ulType, msg->text, msg->size);
            DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: SET_PROCESSNAME(%d)(%S)(%d)\n", msg->ulType, msg->text, msg->size);
        }
        break;

    case SET_FILENAME:
        TerminateText(msg);
        if (msg->size != 0) {
            SetProtectPathEx(KxFileNameList, msg->ulType, msg->text, msg->size);
            DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: SET_FILENAME(%d)(%S)(%d)\n", msg->ulType, msg->text, msg->size);
        }
        break;

    case START_FOLDER_PROTECT:
        KxSetSwitch(Globals.FolderProtect, msg->state != 0);
        DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: START_FOLDER_PROTECT(%d)\n", msg->state);
        break;

    case START_IS_SHARE_FOLDER_WATCHE:
        KxSetSwitch(Globals.ShareFolderWatch, msg->state != 0);
        DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: START_IS_SHARE_FOLDER_WATCHE(%d)\n", msg->state);
        break;

    case START_DEVICE_PROTECT:
        KxSetSwitch(Globals.DeviceProtect, msg->state != 0);
        DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: START_DEVICE_PROTECT(%d)\n", msg->state);
        break;

    case GET_PROCESS_NOTIFY_STATUS: {
        // The answer is one status; without room for it nothing is written.
        if (outputBuffer == NULL || outputBufferLength < KX_NOTIFY_STATUS_REPLY_SIZE) {
            DISPATCH_TRACE(KX_DBG_ERROR, "%s:%s: GET_PROCESS_NOTIFY_STATUS output buffer too small(%d)\n",
                     outputBufferLength);
            *returnOutputBufferLength = 0;
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        NTSTATUS notifyStatus = GetProcessNotifyStatus();
        ProbeForWrite(outputBuffer, KX_NOTIFY_STATUS_REPLY_SIZE, 1);
        RtlCopyMemory(outputBuffer, &notifyStatus, KX_NOTIFY_STATUS_REPLY_SIZE);
        *returnOutputBufferLength = KX_NOTIFY_STATUS_REPLY_SIZE;
        DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: GET_PROCESS_NOTIFY_STATUS(%d)\n", notifyStatus);
        break;
    }

    case SET_DEBUG_LEVEL:
        WriteNoFence(&DebugLevel, (LONG)msg->value);
        DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: SET_DEBUG_LEVEL(%x)\n", msg->value);
        break;

    case DEL_PROCESSNAME:
        TerminateText(msg);
        DelProcessPath(msg->ulType, msg->text, msg->size);
        DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: DEL_PROCESSNAME(%d)(%S)(%d)\n", msg->ulType, msg->text, msg->size);
        break;

    case SET_HOOK:
        KxSetHook(msg->type, msg->state);
        DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: SET_HOOK(%d)(%d)\n", msg->type, msg->state);
        break;

    case SET_REG_PROTECT:
        if (msg->state != 0) {
            StartRegFlt(Globals.DriverObject);
        } else {
            WriteNoFence(&RegProtectActive, 0);
        }
        DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: SET_REG_PROTECT(%d)\n", msg->state);
        break;

    case SET_REG_KEY:
        TerminateText(msg);
        AddRegProtectKey(msg->text);
        DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: SET_REG_KEY(%S)\n", msg->text);
        break;

    case DEL_REG_KEY:
        TerminateText(msg);
        DelRegProtectKey(msg->text);
        DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: DEL_REG_KEY(%S)\n", msg->text);
        break;

    case SET_PROCESS_PROTECT:
        if (msg->state != 0) {
            InstallProcessProtect();
        } else {
            DeactivateProcessProtect();
        }
        DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: SET_PROCESS_PROTECT(%d)\n", ReadNoFence(&ProcessProtectActive) ? 1 : 0);
        break;

    case SET_PROCESS_PROTECT_PID:
        PgAddPid(msg->value, KX_PROCESS_PROTECTED);
        DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: SET_PROCESS_PROTECT_PID(%d)\n", msg->value);
        break;

    case DEL_PROCESS_PROTECT_PID:
        if (msg->value != 0) {
            PgRemovePidState(msg->value, KX_PROCESS_PROTECTED);
        } else {
            PgClearPidState(KX_PROCESS_PROTECTED);
        }
        DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: DEL_PROCESS_PROTECT_PID(%d)\n", msg->value);
        break;

    case SET_PROCESS_PROTECT_PROCESSNAME:
        TerminateText(msg);
        SetProtectPathEx(KxProtectProcessNameList, msg->ulType, msg->text, msg->size);
        DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: SET_PROCESS_PROTECT_PROCESSNAME(%S)(%d)\n", msg->text, msg->size);
        break;

    case DEL_PROCESS_PROTECT_PROCESSNAME:
        TerminateText(msg);
        if (msg->size != 0) {
            RemoveFirstProtectPath(KxProtectProcessNameList, msg->ulType, msg->text, msg->size);
        } else {
            CleanupPathlistEx(KxProtectProcessNameList);
        }
        DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: DEL_PROCESS_PROTECT_PROCESSNAME(%S)(%d)\n", msg->text, msg->size);
        break;

    case SET_USB_DISK_EXCEPT: {
        TerminateUsbDiskFields(msg);
        const USB_DISK_EXCEPT_FIELDS& d = msg->usbDisk;
        if (msg->state == STATE_SET) {
            SetUsbDiskException(d.vendorId, d.productId, d.productRevision, d.serialNumber);
            DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: SET_USB_DISK_EXCEPT, (STATE_SET), vid(%s), pid(%s)(%s)\n", d.vendorId,
                     d.productId, d.serialNumber);
        } else if (msg->state == STATE_DEL) {
            DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: SET_USB_DISK_EXCEPT, (STATE_DEL), vid(%s), pid(%s)(%s)\n", d.vendorId,
                     d.productId, d.serialNumber);
            DelUsbDiskExceptionList(d.vendorId, d.productId, d.productRevision, d.serialNumber);
        } else {
            CleanupUsbDiskExceptionList();
            DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: SET_USB_DISK_EXCEPT, (STATE_CLEAR)\n");
        }
        break;
    }

    case SET_USB_PORT_EXCEPT: {
        TerminateUsbPortFields(msg);
        const USB_PORT_EXCEPT_FIELDS& p = msg->usbPort;
        if (msg->state == STATE_SET) {
            SetUsbPortException(msg->ulType, p.vendorId, p.productId, p.extraValue, p.serialNumber);
            DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: SET_USB_PORT_EXCEPT, (STATE_SET), vid(%x), pid(%x), serial(%S)\n",
                     p.vendorId, p.productId, p.serialNumber);
        } else if (msg->state == STATE_DEL) {
            DelUsbPortExceptionList(msg->ulType, p.vendorId, p.productId, p.serialNumber);
            DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: SET_USB_PORT_EXCEPT, (STATE_DEL), vid(%x), pid(%x), serial(%S)\n",
                     p.vendorId, p.productId, p.serialNumber);
        } else {
            CleanupUsbPortExceptionList();
            DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: SET_USB_PORT_EXCEPT, (STATE_CLEAR)(%d)\n", msg->state);
        }
        break;
    }

    case SET_LOG_TYPE:
        WriteNoFence(&Globals.LogType, (LONG)msg->type);
        DISPATCH_TRACE(KX_DBG_INFO, "%s:%s: SET_LOG_TYPE(%d)\n", msg->type);
        break;

    default:
        // Numbers without an action (SET_PID, REMOVE_PID, SET_DELETE_FILE,
        // SET_TERMINATE_PROCESS, the unused ones and anything larger) are accepted
        // and change nothing.
        break;
    }
    return status;
}

}  // namespace

void InitConnectionList() {
    PAGED_CODE();
    InitializeListHead(&ConnectionList);
    KeInitializeSpinLock(&ConnectionLock);
    WriteNoFence(&ConnectionCount, 0);
}

NTSTATUS Kx4GrdPortConnect(PFLT_PORT clientPort, PVOID serverPortCookie, PVOID connectionContext,
                           ULONG sizeOfContext, PVOID* connectionCookie) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(serverPortCookie);
    UNREFERENCED_PARAMETER(connectionContext);
    UNREFERENCED_PARAMETER(sizeOfContext);
    auto* record = static_cast<CONNECTION_RECORD*>(
        ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(CONNECTION_RECORD), KX_TAG_CONNECTION));
    if (record == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    record->ClientPort = clientPort;
    PEPROCESS current = PsGetCurrentProcess();

    // The first client's process controls the driver: its own requests are not
    // filtered. A later client never takes that over. The decision, its effect and
    // the count change together under the connection lock, so a disconnection
    // deciding "last client" at the same time sees either this client or none.
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ConnectionLock);
    InsertTailList(&ConnectionList, &record->Link);
    if (ReadNoFence(&ConnectionCount) == 0) {
        InterlockedExchangePointer((PVOID volatile*)&Globals.ControlProcess, current);
    }
    InterlockedIncrement(&ConnectionCount);
    KeReleaseSpinLock(&ConnectionLock, irql);

    *connectionCookie = record;
    KX_TRACE(KX_DBG_INFO, "%s:%s: connected, port=0x%p\n", clientPort);
    return STATUS_SUCCESS;
}

void Kx4GrdPortDisconnect(PVOID connectionCookie) {
    PAGED_CODE();
    auto* record = static_cast<CONNECTION_RECORD*>(connectionCookie);
    if (record == NULL) {
        return;
    }

    // When the last client goes, filtering switches off and nobody controls the
    // driver any more. These are single stores, done under the lock together with
    // the decision so that a client connecting meanwhile finds them already done.
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ConnectionLock);
    if (record->Link.Flink != NULL && record->Link.Flink != &record->Link) {
        RemoveEntryList(&record->Link);
        record->Link.Flink = record->Link.Blink = NULL;
        if (InterlockedDecrement(&ConnectionCount) == 0) {
            InterlockedExchangePointer((PVOID volatile*)&Globals.ControlProcess, NULL);
            KxSetSwitch(Globals.Started, false);
            KxSetSwitch(Globals.DeviceProtect, false);
            KxSetSwitch(Globals.ShareFolderWatch, false);
        }
    }
    KeReleaseSpinLock(&ConnectionLock, irql);

    // Unload may have closed the port already; whoever takes it closes it.
    PFLT_PORT port = (PFLT_PORT)InterlockedExchangePointer((PVOID volatile*)&record->ClientPort, NULL);
    KX_TRACE(KX_DBG_INFO, "%s:%s: disconnected, port=0x%p\n", port);
    if (port != NULL) {
        FltCloseClientPort(Globals.FilterHandle, &port);
    }
    ExFreePoolWithTag(record, KX_TAG_CONNECTION);
}

void CloseClientPorts() {
    PAGED_CODE();
    // One port at a time: FltCloseClientPort waits for the connection's messages
    // in progress, so it is never called under the lock. The records stay listed
    // until their disconnection or ReleaseConnections.
    for (;;) {
        PFLT_PORT port = NULL;
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ConnectionLock);
        for (PLIST_ENTRY e = ConnectionList.Flink; e != &ConnectionList && port == NULL; e = e->Flink) {
            CONNECTION_RECORD* record = CONTAINING_RECORD(e, CONNECTION_RECORD, Link);
            port = (PFLT_PORT)InterlockedExchangePointer((PVOID volatile*)&record->ClientPort, NULL);
        }
        KeReleaseSpinLock(&ConnectionLock, irql);
        if (port == NULL) {
            return;
        }
        FltCloseClientPort(Globals.FilterHandle, &port);
    }
}

void ReleaseConnections() {
    LIST_ENTRY released;
    InitializeListHead(&released);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ConnectionLock);
    while (!IsListEmpty(&ConnectionList)) {
        InsertTailList(&released, RemoveHeadList(&ConnectionList));
    }
    WriteNoFence(&ConnectionCount, 0);
    KeReleaseSpinLock(&ConnectionLock, irql);
    InterlockedExchangePointer((PVOID volatile*)&Globals.ControlProcess, NULL);

    while (!IsListEmpty(&released)) {
        ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(&released), CONNECTION_RECORD, Link), KX_TAG_CONNECTION);
    }
}

NTSTATUS Kx4GrdMssageProc(PVOID connectionCookie, PVOID inputBuffer, ULONG inputBufferLength, PVOID outputBuffer,
                          ULONG outputBufferLength, PULONG returnOutputBufferLength) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(connectionCookie);
    if (inputBuffer == NULL) {
        return STATUS_SUCCESS;
    }
    ULONG ignoredLength = 0;
    if (returnOutputBufferLength == NULL) {
        returnOutputBufferLength = &ignoredLength;
    }
    *returnOutputBufferLength = 0;

    // A short message would make every field read run past the caller's buffer.
    if (inputBufferLength < sizeof(COMMAND_MESSAGE)) {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: message too short(%d)\n", inputBufferLength);
        return STATUS_INVALID_PARAMETER;
    }

    // Capture the caller's message once; everything below reads only the copy, so
    // a sender that rewrites its buffer meanwhile cannot change a checked field.
    COMMAND_MESSAGE msg;
    NTSTATUS status = STATUS_SUCCESS;
    KX_TRY {
        ProbeForRead(inputBuffer, sizeof(COMMAND_MESSAGE), 1);
        RtlCopyMemory(&msg, inputBuffer, sizeof(COMMAND_MESSAGE));
        status = Dispatch(&msg, outputBuffer, outputBufferLength, returnOutputBufferLength);
    }
    KX_EXCEPT {
        status = KX_EXCEPTION_CODE();
        KX_TRACE(KX_DBG_INFO, "%s:%s: eception = %08x\n", (ULONG)status);
    }
    return status;
}
