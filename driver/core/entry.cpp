// Driver entry, registration, the service parameters, unload, and the small
// current-process helpers every filtered request uses.
#include "driver/core/volume.h"

ULONG ProcessNameOffset;

namespace {

const FLT_CONTEXT_REGISTRATION ContextRegistration[] = {
    {FLT_VOLUME_CONTEXT, 0, Kx4GrdCleanupVolumeContext, sizeof(VOLUME_CONTEXT), KX_POOL_TAG("vcsc"), NULL, NULL,
     NULL},
    {FLT_CONTEXT_END, 0, NULL, 0, 0, NULL, NULL, NULL},
};

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
    sizeof(FLT_REGISTRATION),
    FLT_REGISTRATION_VERSION_0203,
    0,
    ContextRegistration,
    OperationRegistration,
    Kx4GrdUnload,
    Kx4GrdInstanceSetup,
    Kx4GrdInstanceQueryTeardown,
    NULL,
    NULL,
    NULL,
    NULL,
    NULL,
    NULL,
    NULL,
    NULL,
};

// Looked up by name on first use and kept; a failed lookup is retried next time.
PVOID volatile CachedQueryInformationProcess;
PVOID volatile CachedOpenDriverRegistryKey;

PVOID ResolveRoutine(PVOID volatile* cache, PCWSTR name) {
    PVOID routine = InterlockedCompareExchangePointer(cache, NULL, NULL);
    if (routine == NULL) {
        UNICODE_STRING routineName;
        RtlInitUnicodeString(&routineName, name);
        routine = MmGetSystemRoutineAddress(&routineName);
        if (routine != NULL) {
            InterlockedExchangePointer(cache, routine);
        }
    }
    return routine;
}

// Reads a 32-bit value through a 20-byte partial-information buffer; a value that
// does not fit, or is missing, leaves *value unchanged.
void QueryDword(HANDLE key, PCWSTR valueName, ULONG* value) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    alignas(8) UCHAR buffer[20] = {};
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &resultLength);
    if (!NT_SUCCESS(status)) {
        return;
    }
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    ULONG data = 0;
    ULONG bytes = info->DataLength < sizeof(data) ? info->DataLength : (ULONG)sizeof(data);
    RtlCopyMemory(&data, info->Data, bytes);
    *value = data;
}

void ReadParameters(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    HANDLE parameters = NULL;
    NTSTATUS status;
    auto openDriverKey = reinterpret_cast<PFN_IO_OPEN_DRIVER_REGISTRY_KEY>(
        ResolveRoutine(&CachedOpenDriverRegistryKey, WSTR("IoOpenDriverRegistryKey")));
    if (openDriverKey != NULL) {
        status = openDriverKey(driverObject, DriverRegKeyParameters, KEY_READ, 0, &parameters);
    } else {
        OBJECT_ATTRIBUTES attributes;
        HANDLE service = NULL;
        InitializeObjectAttributes(&attributes, registryPath, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
        status = ZwOpenKey(&service, KEY_READ, &attributes);
        if (NT_SUCCESS(status)) {
            UNICODE_STRING subkey;
            RtlInitUnicodeString(&subkey, WSTR("Parameters"));
            InitializeObjectAttributes(&attributes, &subkey, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, service,
                                       NULL);
            status = ZwOpenKey(&parameters, KEY_READ, &attributes);
            ZwClose(service);
        }
    }
    if (!NT_SUCCESS(status)) {
        return;
    }
    ULONG level = (ULONG)ReadNoFence(&DebugLevel);
    QueryDword(parameters, WSTR("DebugLevel"), &level);
    WriteNoFence(&DebugLevel, (LONG)level);
    QueryDword(parameters, WSTR("ProcessCreate"), &Globals.ProcessCreateLog);
    ZwClose(parameters);
}

// Everything set up from the lists on: taken down again when start-up fails late,
// so a driver that does not load leaves no callback or allocation behind.
void InitializeState() {
    InitNameLists();
    InitUsbExceptionLists();
    InitRegKeyList();
    InitHooks();
    // The id tables and the log come before process tracking, whose callbacks use them.
    PgInitPidTables();
    InitLog();
    InitProcessNotify();
    ClearDevicePolicy();
}

// Takes down, in unload order, everything from process tracking to the hooks.
// Each step is a no-op for what was never set up, so a late start-up failure
// uses the same sequence as unload.
void TearDownState() {
    UnInitProcessNotify();
    CleanupPathlistEx(KxFileNameList);
    CleanupPathlistEx(KxPathList);
    CleanupProcesslist();
    CleanupPathlistEx(KxProtectProcessNameList);
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

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    WriteNoFence(&DebugLevel, KX_DBG_INFO);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0, "%s:%s: Entered\n", KX_DRIVER_NAME, __func__);
    KX_TRACE(KX_DBG_INFO, "%s:%s: RegPath(%S)(%d)\n", registryPath != NULL ? registryPath->Buffer : NULL,
             registryPath != NULL ? registryPath->Length : 0);

    RtlZeroMemory(&Globals, sizeof(Globals));
    // Routine addresses belong to this load of the image.
    InterlockedExchangePointer(&CachedQueryInformationProcess, NULL);
    InterlockedExchangePointer(&CachedOpenDriverRegistryKey, NULL);
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

    bool stateInitialized = false;
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
        KxSetSwitch(Globals.Started, false);
        KxSetSwitch(Globals.FolderProtect, false);
        KxSetSwitch(Globals.DeviceProtect, false);
        KxSetSwitch(Globals.ShareFolderWatch, false);

        InitializeState();
        stateInitialized = true;

        status = FltStartFiltering(Globals.FilterHandle);
        if (!NT_SUCCESS(status)) {
            FltCloseCommunicationPort(Globals.ServerPort);
            Globals.ServerPort = NULL;
        }
    }

    if (NT_SUCCESS(status)) {
        PgAddPid(0, KX_PROCESS_TRUSTED);
        PgAddPid(4, KX_PROCESS_TRUSTED);
        PgAddPid(8, KX_PROCESS_TRUSTED);
        KX_TRACE(KX_DBG_INFO, "%s:%s: Success\n");
        return STATUS_SUCCESS;
    }

    KX_TRACE(KX_DBG_ERROR, "%s:%s: status(%08x)\n", (ULONG)status);
    if (stateInitialized) {
        TearDownState();
    }
    FltUnregisterFilter(Globals.FilterHandle);
    Globals.FilterHandle = NULL;
    return status;
}

NTSTATUS Kx4GrdUnload(FLT_FILTER_UNLOAD_FLAGS flags) {
    UNREFERENCED_PARAMETER(flags);
    KX_TRACE(KX_DBG_INFO, "%s:%s:  Entered\n");

    if (Globals.ServerPort != NULL) {
        FltCloseCommunicationPort(Globals.ServerPort);
        Globals.ServerPort = NULL;
    }
    KxSetSwitch(Globals.DeviceProtect, false);
    KxSetSwitch(Globals.ShareFolderWatch, false);
    KxSetSwitch(Globals.FolderProtect, false);
    KxSetSwitch(Globals.Started, false);

    TearDownState();

    if (Globals.FilterHandle != NULL) {
        FltUnregisterFilter(Globals.FilterHandle);
        Globals.FilterHandle = NULL;
    }
    return STATUS_SUCCESS;
}

ULONG USetProcessNameOffset() {
    // Runs in the system process during driver entry: the first place its object
    // holds the text "System" is the short image-name field.
    static const CHAR kSyst[4] = {'S', 'y', 's', 't'};
    static const CHAR kEm[2] = {'e', 'm'};
    const UCHAR* process = reinterpret_cast<const UCHAR*>(PsGetCurrentProcess());
    ProcessNameOffset = 0;
    for (ULONG offset = 0; offset < 3 * 4096; ++offset) {
        if (RtlCompareMemory(process + offset, kSyst, sizeof(kSyst)) == sizeof(kSyst) &&
            RtlCompareMemory(process + offset + 4, kEm, sizeof(kEm)) == sizeof(kEm)) {
            ProcessNameOffset = offset;
            break;
        }
    }
    KX_TRACE(KX_DBG_INFO, "%s:%s: offset(%x)\n", ProcessNameOffset);
    return ProcessNameOffset;
}

BOOLEAN GetCurrentProcessShortName(CHAR name[17]) {
    if (ProcessNameOffset == 0) {
        return FALSE;
    }
    const UCHAR* process = reinterpret_cast<const UCHAR*>(PsGetCurrentProcess());
    RtlCopyMemory(name, process + ProcessNameOffset, 16);
    name[16] = 0;
    return TRUE;
}

NTSTATUS KxAllocateUnicodeString(PUNICODE_STRING s, USHORT maximumLength) {
    s->Buffer = static_cast<PWSTR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, (SIZE_T)maximumLength + 2, KX_TAG_STRING));
    if (s->Buffer == NULL) {
        s->Length = s->MaximumLength = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    s->Length = 0;
    s->MaximumLength = maximumLength;
    return STATUS_SUCCESS;
}

NTSTATUS KxFreeUnicodeString(PUNICODE_STRING s) {
    if (s->Buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    ExFreePoolWithTag(s->Buffer, KX_TAG_STRING);
    s->Buffer = NULL;
    s->Length = s->MaximumLength = 0;
    return STATUS_SUCCESS;
}

NTSTATUS KxCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
    if ((ULONG)destination->MaximumLength <= (ULONG)source->Length + 2) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyUnicodeString(destination, source);
    // The buffer has two bytes beyond MaximumLength for the terminator.
    destination->Buffer[destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS GetCurrentProcessImagePath(HANDLE processId, PUNICODE_STRING imagePath) {
    const ULONG_PTR pid = (ULONG_PTR)processId;
    if (pid == 0 || pid == 4 || pid == 8) {
        return STATUS_UNSUCCESSFUL;
    }
    auto query = reinterpret_cast<PFN_ZW_QUERY_INFORMATION_PROCESS>(
        ResolveRoutine(&CachedQueryInformationProcess, WSTR("ZwQueryInformationProcess")));
    if (query == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    ULONG needed = 0;
    NTSTATUS status = query(NtCurrentProcess(), ProcessImageFileName, NULL, 0, &needed);
    if (status != STATUS_INFO_LENGTH_MISMATCH) {
        return STATUS_UNSUCCESSFUL;
    }
    // The counted string's lengths are 16-bit; a longer answer cannot be held.
    const ULONG workLength = needed + 18;
    if (workLength > 0xFFFC) {
        return STATUS_UNSUCCESSFUL;
    }
    void* work = ExAllocatePool2(POOL_FLAG_NON_PAGED, workLength, KX_TAG_STRING);
    if (work == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(KxAllocateUnicodeString(imagePath, (USHORT)workLength))) {
        ExFreePoolWithTag(work, KX_TAG_STRING);
        return STATUS_UNSUCCESSFUL;
    }
    status = query(NtCurrentProcess(), ProcessImageFileName, work, workLength, &needed);
    if (NT_SUCCESS(status)) {
        status = KxCopyUnicodeString(imagePath, static_cast<PCUNICODE_STRING>(work));
    }
    if (!NT_SUCCESS(status)) {
        KxFreeUnicodeString(imagePath);
    }
    ExFreePoolWithTag(work, KX_TAG_STRING);
    return status;
}
