// Driver entry, filter registration, and the one teardown sequence that unload and
// a late start-up failure share.
#include "driver/core/entry.h"

#include "driver/core/dispatch.h"
#include "driver/core/process_ids.h"
#include "driver/core/process_info.h"
#include "driver/core/process_notify.h"
#include "driver/core/nt_routines.h"
#include "driver/core/volume.h"
#include "driver/hooks/hooks.h"
#include "driver/hooks/obex.h"
#include "driver/log/event_log.h"
#include "driver/policy/lists.h"
#include "driver/policy/policy.h"
#include "driver/policy/preop.h"
#include "driver/policy/usb_exceptions.h"
#include "driver/protect/process_protect.h"
#include "driver/protect/registry_protect.h"

namespace {

// Only volume contexts: they carry the device class of each volume.
const FLT_CONTEXT_REGISTRATION ContextRegistration[] = {
    {FLT_VOLUME_CONTEXT,          // ContextType
     0,                           // Flags
     Kx4GrdCleanupVolumeContext,  // ContextCleanupCallback
     sizeof(VOLUME_CONTEXT),      // Size
     KX_TAG_VOLUME_CONTEXT,       // PoolTag
     NULL,                        // ContextAllocateCallback
     NULL,                        // ContextFreeCallback
     NULL},                       // Reserved1
    {FLT_CONTEXT_END, 0, NULL, 0, 0, NULL, NULL, NULL},
};

// The operations that can create, change, remove or read data on a device. Reads
// have their own callback; the rest share one that applies the device policy.
const FLT_OPERATION_REGISTRATION OperationRegistration[] = {
    {IRP_MJ_CREATE, 0, Kx4GrdPreOperation, Kx4GrdPostOperation, NULL},
    {IRP_MJ_CLOSE, 0, Kx4GrdPreOperation, Kx4GrdPostOperation, NULL},
    {IRP_MJ_WRITE, 0, Kx4GrdPreOperation, Kx4GrdPostOperation, NULL},
    {IRP_MJ_READ, 0, Kx4GrdPreRead, NULL, NULL},
    {IRP_MJ_SET_INFORMATION, 0, Kx4GrdPreOperation, Kx4GrdPostOperation, NULL},
    {IRP_MJ_CLEANUP, 0, Kx4GrdPreOperation, Kx4GrdPostOperation, NULL},
    {IRP_MJ_OPERATION_END, 0, NULL, NULL, NULL},
};

const FLT_REGISTRATION FilterRegistration = {
    sizeof(FLT_REGISTRATION),       // Size
    FLT_REGISTRATION_VERSION_0203,  // Version
    0,                              // Flags
    ContextRegistration,            // ContextRegistration
    OperationRegistration,          // OperationRegistration
    Kx4GrdUnload,                   // FilterUnloadCallback
    Kx4GrdInstanceSetup,            // InstanceSetupCallback
    Kx4GrdInstanceQueryTeardown,    // InstanceQueryTeardownCallback
    NULL,                           // InstanceTeardownStartCallback
    NULL,                           // InstanceTeardownCompleteCallback
    NULL,                           // GenerateFileNameCallback
    NULL,                           // NormalizeNameComponentCallback
    NULL,                           // NormalizeContextCleanupCallback
    NULL,                           // TransactionNotificationCallback
    NULL,                           // NormalizeNameComponentExCallback
    NULL,                           // SectionNotificationCallback
};

// Everything a command or a callback touches. It exists before the port does: a
// client may connect and send the moment the port is created. Taken down again
// when start-up fails later, so a driver that does not load leaves nothing behind.
void InitializeState() {
    PAGED_CODE();
    InitNameLists();
    InitUsbExceptionLists();
    InitRegKeyList();
    InitHooks();
    // The OBEX connection slots start empty on every load of the image.
    ObexResetConnections();
    // The id tables and the log come before process tracking, whose callbacks use them.
    PgInitPidTables();
    InitLog();
    InitProcessNotify();
    ClearDevicePolicy();
    PgAddSystemPids();
}

// Takes down, in unload order, everything from process tracking to the hooks.
// Each step is a no-op for what was never set up, so a late start-up failure
// uses the same sequence as unload.
void TearDownState() {
    PAGED_CODE();
    UnInitProcessNotify();
    CleanupPathlistEx(KxFileNameList);
    CleanupPathlistEx(KxPathList);
    CleanupProcesslist();
    CleanupPathlistEx(KxProtectProcessNameList);
    CleanupHostIpLists();
    Cleanuplog();
    PgClearAllPid();
    CleanupUsbDiskExceptionList();
    StopRegFlt();
    UnInstallProcessProtect();
    USBIrpHookCleanup();
    BlueToothIrpHookCleanup();
    MtpIrpHookCleanup();
    EtcIrpHookCleanup();
    CleanupUsbPortExceptionList();
}

// Unload, and start-up failing after the state exists. No client is heard from
// once the ports are closed, so nothing is changed while it is taken down.
void TakeDown() {
    PAGED_CODE();
    // A SET_HOOK still arriving must not hook anything the sequence below has
    // already taken down or is about to.
    KxHooksBeginUnload();
    if (Globals.ServerPort != NULL) {
        FltCloseCommunicationPort(Globals.ServerPort);
        Globals.ServerPort = NULL;
    }
    CloseClientPorts();
    KxSetSwitch(Globals.DeviceProtect, false);
    KxSetSwitch(Globals.ShareFolderWatch, false);
    KxSetSwitch(Globals.FolderProtect, false);
    KxSetSwitch(Globals.Started, false);

    TearDownState();

    if (Globals.FilterHandle != NULL) {
        FltUnregisterFilter(Globals.FilterHandle);
        Globals.FilterHandle = NULL;
    }
    ReleaseConnections();
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    PAGED_CODE();
    WriteNoFence(&DebugLevel, KX_DBG_INFO);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0, "%s:%s: Entered\n", KX_DRIVER_NAME, __func__);
    KX_TRACE(KX_DBG_INFO, "%s:%s: RegPath(%S)(%d)\n", registryPath != NULL ? registryPath->Buffer : NULL,
             registryPath != NULL ? registryPath->Length : 0);

    RtlZeroMemory(&Globals, sizeof(Globals));
    // Routine addresses belong to this load of the image.
    KxResetRoutines();
    // The connection list must exist before the port can accept its first client.
    InitConnectionList();

    ReadParameters(driverObject, registryPath);

    WriteNoFence(&DebugLevel, KX_DBG_INFO);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0, "%s:%s: DebugLevel(%x)\n", KX_DRIVER_NAME, __func__, KX_DBG_INFO);

    NTSTATUS status = FltRegisterFilter(driverObject, &FilterRegistration, &Globals.FilterHandle);
    if (!NT_SUCCESS(status)) {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: FltRegisterFilter status(%08x)\n", (ULONG)status);
        Globals.FilterHandle = NULL;
        return status;
    }

    USetProcessNameOffset();
    Globals.DriverObject = driverObject;
    WriteNoFence(&Globals.LogType, KX_LOG_TYPE_DEFAULT);
    KxSetSwitch(Globals.Started, false);
    KxSetSwitch(Globals.FolderProtect, false);
    KxSetSwitch(Globals.DeviceProtect, false);
    KxSetSwitch(Globals.ShareFolderWatch, false);
    InitializeState();

    PSECURITY_DESCRIPTOR descriptor = NULL;
    status = FltBuildDefaultSecurityDescriptor(&descriptor, FLT_PORT_ALL_ACCESS);
    if (NT_SUCCESS(status)) {
        UNICODE_STRING portName;
        RtlInitUnicodeString(&portName, KX4GRD_PORT_NAME);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &portName, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL,
                                   descriptor);
        status = FltCreateCommunicationPort(Globals.FilterHandle, &Globals.ServerPort, &attributes, NULL,
                                            Kx4GrdPortConnect, Kx4GrdPortDisconnect, Kx4GrdMssageProc,
                                            KX4GRD_MAX_CONNECTIONS);
        FltFreeSecurityDescriptor(descriptor);
        if (!NT_SUCCESS(status)) {
            Globals.ServerPort = NULL;
        }
    }

    if (NT_SUCCESS(status)) {
        status = FltStartFiltering(Globals.FilterHandle);
    }

    if (NT_SUCCESS(status)) {
        KX_TRACE(KX_DBG_INFO, "%s:%s: Success\n");
        return STATUS_SUCCESS;
    }

    KX_TRACE(KX_DBG_ERROR, "%s:%s: status(%08x)\n", (ULONG)status);
    TakeDown();
    return status;
}

NTSTATUS Kx4GrdUnload(FLT_FILTER_UNLOAD_FLAGS flags) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(flags);
    KX_TRACE(KX_DBG_INFO, "%s:%s:  Entered\n");
    TakeDown();
    return STATUS_SUCCESS;
}

