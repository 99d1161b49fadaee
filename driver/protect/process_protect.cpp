// Process protection: the object callbacks, their registration and the image
// names they decide on.
#include "driver/protect/process_protect.h"

#include "driver/core/process_ids.h"
#include "driver/log/event_log.h"
#include "driver/policy/lists.h"

volatile LONG ProcessProtectActive;

namespace {

// Registration state: changed only by interlocked exchanges, so two commands
// installing at once register once, and unload sees a settled state.
enum KX_OB_STATE : LONG { ObNotInstalled = 0, ObInstalling = 1, ObInstalled = 2 };
volatile LONG ObState;
PVOID volatile ObRegistrationHandle;

// Passed to the callbacks and never written: they need no context of their own.
struct KX_OB_CONTEXT {
    ULONG Reserved;
};
KX_OB_CONTEXT ObContext;

OB_OPERATION_REGISTRATION ObOperations[2];
OB_CALLBACK_REGISTRATION ObRegistration;

// System callers whose handles are never restricted. A caller matches an entry
// when its image name is the beginning of the entry (an empty name matches).
const WCHAR* const TrustedCallers[] = {
    WSTR("MsMpEng.exe"),  WSTR("System"),       WSTR("csrss.exe"),    WSTR("lsm.exe"),
    WSTR("spoolsv.exe"),  WSTR("lsass.exe"),    WSTR("services.exe"), WSTR("winlogon.exe"),
    WSTR("smss.exe"),     WSTR("alg.exe"),      WSTR("conhost.exe"),  WSTR("svchost.exe"),
    NULL,
};

ULONG TextLength(PCWSTR text, ULONG maxChars) {
    ULONG n = 0;
    while (n < maxChars && text[n] != 0) {
        ++n;
    }
    return n;
}

bool EqualNoCase(PCWSTR a, PCWSTR b, ULONG chars) {
    for (ULONG i = 0; i < chars; ++i) {
        if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i])) {
            return false;
        }
    }
    return true;
}

// Copies chars characters into a buffer of capacity characters, cut and terminated.
void CopyCut(PWSTR dest, ULONG capacity, PCWSTR source, ULONG chars) {
    if (capacity == 0) {
        return;
    }
    ULONG n = chars < capacity - 1 ? chars : capacity - 1;
    for (ULONG i = 0; i < n; ++i) {
        dest[i] = source[i];
    }
    dest[n] = 0;
}

bool IsTrustedCaller(PCWSTR callerName) {
    ULONG length = TextLength(callerName, KX_IMAGE_PATH_CHARS);
    for (ULONG i = 0; TrustedCallers[i] != NULL; ++i) {
        ULONG entryLength = TextLength(TrustedCallers[i], KX_IMAGE_PATH_CHARS);
        if (length <= entryLength && EqualNoCase(callerName, TrustedCallers[i], length)) {
            return true;
        }
    }
    return false;
}

bool IsProtectedTarget(HANDLE targetId, PCWSTR targetName) {
    ULONG length = TextLength(targetName, KX_IMAGE_PATH_CHARS);
    ULONG fixedLength = TextLength(KX_PROTECTED_IMAGE_NAME, KX_IMAGE_PATH_CHARS);
    if (length == fixedLength && EqualNoCase(targetName, KX_PROTECTED_IMAGE_NAME, length)) {
        return true;
    }
    if (PgIsProtectPid((ULONG)(ULONG_PTR)targetId) == KX_PROCESS_PROTECTED) {
        return true;
    }
    return FindProtectPath(KxProtectProcessNameList, KX_PROCESS_PROTECTED, targetName, length * sizeof(WCHAR)) ==
           KX_PROCESS_PROTECTED;
}

}  // namespace

NTSTATUS InstallProcessProtect() {
    PAGED_CODE();
    LONG previous = InterlockedCompareExchange(&ObState, ObInstalling, ObNotInstalled);
    if (previous != ObNotInstalled) {
        // Registered already (or being registered by another command): turning
        // protection on again only needs the flag.
        InterlockedExchange(&ProcessProtectActive, 1);
        KX_TRACE(KX_DBG_INFO, "%s:%s: OB callbacks already installed\n");
        return STATUS_SUCCESS;
    }

    ObOperations[0].ObjectType = PsProcessType;
    ObOperations[0].Operations = OB_OPERATION_HANDLE_CREATE | OB_OPERATION_HANDLE_DUPLICATE;
    ObOperations[0].PreOperation = PreOperationCallback;
    ObOperations[0].PostOperation = PostOperationCallback;
    ObOperations[1].ObjectType = PsThreadType;
    ObOperations[1].Operations = OB_OPERATION_HANDLE_CREATE | OB_OPERATION_HANDLE_DUPLICATE;
    ObOperations[1].PreOperation = PreOperationCallback;
    ObOperations[1].PostOperation = PostOperationCallback;
    ObRegistration.Version = OB_FLT_REGISTRATION_VERSION;
    ObRegistration.OperationRegistrationCount = 2;
    RtlInitUnicodeString(&ObRegistration.Altitude, KX_OB_CALLBACK_ALTITUDE);
    ObRegistration.RegistrationContext = &ObContext;
    ObRegistration.OperationRegistration = ObOperations;

    // Active before registering, so the first callback already acts.
    InterlockedExchange(&ProcessProtectActive, 1);
    PVOID handle = NULL;
    NTSTATUS status = ObRegisterCallbacks(&ObRegistration, &handle);
    if (!NT_SUCCESS(status)) {
        // Nothing is registered: protection must not be reported as on, and the
        // next SET_PROCESS_PROTECT tries again.
        InterlockedExchange(&ProcessProtectActive, 0);
        InterlockedExchange(&ObState, ObNotInstalled);
        KX_TRACE(KX_DBG_INFO, "%s:%s: ObRegisterCallbacks: installing OB callbacks failed  status (%x)\n",
                 (ULONG)status);
        return status;
    }
    InterlockedExchangePointer(&ObRegistrationHandle, handle);
    InterlockedExchange(&ObState, ObInstalled);
    KX_TRACE(KX_DBG_INFO, "%s:%s: Sucess\n");
    return STATUS_SUCCESS;
}

void DeactivateProcessProtect() { InterlockedExchange(&ProcessProtectActive, 0); }

void UnInstallProcessProtect() {
    PAGED_CODE();
    InterlockedExchange(&ProcessProtectActive, 0);
    if (ReadNoFence(&ObState) != ObInstalled) {
        return;
    }
    PVOID handle = InterlockedExchangePointer(&ObRegistrationHandle, NULL);
    if (handle != NULL) {
        // Returns once the callbacks in progress have returned.
        ObUnRegisterCallbacks(handle);
        KX_TRACE(KX_DBG_ERROR, "%s:%s: Sucess\n");
    }
    // A reload (or a later install) starts from nothing registered.
    InterlockedExchange(&ObState, ObNotInstalled);
}

NTSTATUS UGetProcessFullPathFromPid(HANDLE processId, PWSTR fullPath, ULONG fullPathSize, PWSTR name,
                                    ULONG nameSize) {
    PAGED_CODE();
    PEPROCESS process = NULL;
    NTSTATUS status = PsLookupProcessByProcessId(processId, &process);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG pathCapacity = fullPathSize / (ULONG)sizeof(WCHAR);
    const ULONG nameCapacity = nameSize / (ULONG)sizeof(WCHAR);
    PUNICODE_STRING image = NULL;
    status = SeLocateProcessImageName(process, &image);
    if (!NT_SUCCESS(status) || image == NULL) {
        CopyCut(fullPath, pathCapacity, WSTR(""), 0);
        CopyCut(name, nameCapacity, WSTR(""), 0);
    } else {
        const ULONG chars = image->Buffer != NULL ? (ULONG)(image->Length / sizeof(WCHAR)) : 0;
        ULONG leaf = 0;
        for (ULONG i = 0; i < chars; ++i) {
            if (image->Buffer[i] == (WCHAR)'\\') {
                leaf = i + 1;
            }
        }
        CopyCut(fullPath, pathCapacity, image->Buffer, chars);
        CopyCut(name, nameCapacity, image->Buffer + leaf, chars - leaf);
        ExFreePool(image);
    }
    ObDereferenceObject(process);
    return status;
}

OB_PREOP_CALLBACK_STATUS PreOperationCallback(PVOID registrationContext,
                                              POB_PRE_OPERATION_INFORMATION operationInformation) {
    UNREFERENCED_PARAMETER(registrationContext);
    if (ReadNoFence(&ProcessProtectActive) == 0) {
        return OB_PREOP_SUCCESS;
    }
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        return OB_PREOP_SUCCESS;
    }

    const HANDLE callerId = PsGetCurrentProcessId();
    HANDLE targetId = NULL;
    ACCESS_MASK stripMask = 0;
    const WCHAR* typeLabel = NULL;
    if (operationInformation->ObjectType == *PsProcessType) {
        if (operationInformation->Object == IoGetCurrentProcess()) {
            return OB_PREOP_SUCCESS;
        }
        targetId = PsGetProcessId((PEPROCESS)operationInformation->Object);
        stripMask = KX_PROCESS_STRIP_MASK;
        typeLabel = WSTR("PsProcessType");
    } else if (operationInformation->ObjectType == *PsThreadType) {
        targetId = PsGetThreadProcessId((PETHREAD)operationInformation->Object);
        if (targetId == callerId) {
            return OB_PREOP_SUCCESS;
        }
        stripMask = KX_THREAD_STRIP_MASK;
        typeLabel = WSTR("PsThreadType");
    } else {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: unexpected object type\n");
        return OB_PREOP_SUCCESS;
    }

    // Both the operation's own rights and the rights this object type loses are
    // examined: a thread opened only to suspend it, or a process handle duplicated
    // only to suspend it, must not reach a protected process unexamined.
    ACCESS_MASK* desiredAccess = NULL;
    ACCESS_MASK originalDesiredAccess = 0;
    const WCHAR* operationLabel = NULL;
    ACCESS_MASK examineMask = stripMask;
    if (operationInformation->Operation == OB_OPERATION_HANDLE_CREATE) {
        desiredAccess = &operationInformation->Parameters->CreateHandleInformation.DesiredAccess;
        originalDesiredAccess = operationInformation->Parameters->CreateHandleInformation.OriginalDesiredAccess;
        examineMask |= KX_CREATE_EXAMINE_MASK;
        operationLabel = WSTR("OB_OPERATION_HANDLE_CREATE");
    } else if (operationInformation->Operation == OB_OPERATION_HANDLE_DUPLICATE) {
        desiredAccess = &operationInformation->Parameters->DuplicateHandleInformation.DesiredAccess;
        originalDesiredAccess = operationInformation->Parameters->DuplicateHandleInformation.OriginalDesiredAccess;
        examineMask |= KX_DUPLICATE_EXAMINE_MASK;
        operationLabel = WSTR("OB_OPERATION_HANDLE_DUPLICATE");
    } else {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: unexpected object type\n");
        return OB_PREOP_SUCCESS;
    }
    if ((*desiredAccess & examineMask) == 0) {
        return OB_PREOP_SUCCESS;
    }
    if (operationInformation->KernelHandle || callerId == targetId) {
        return OB_PREOP_SUCCESS;
    }

    const ACCESS_MASK incomingAccess = *desiredAccess;
    WCHAR callerPath[KX_IMAGE_PATH_CHARS] = {0};
    WCHAR callerName[KX_IMAGE_PATH_CHARS] = {0};
    WCHAR targetPath[KX_IMAGE_PATH_CHARS] = {0};
    WCHAR targetName[KX_IMAGE_PATH_CHARS] = {0};

    NTSTATUS status = UGetProcessFullPathFromPid(callerId, callerPath, sizeof(callerPath), callerName,
                                                 sizeof(callerName));
    if (!NT_SUCCESS(status)) {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: UGetProcessFullPathFromPid:: cur stats %x\n", (ULONG)status);
        return OB_PREOP_SUCCESS;
    }
    if (IsTrustedCaller(callerName)) {
        return OB_PREOP_SUCCESS;
    }
    status = UGetProcessFullPathFromPid(targetId, targetPath, sizeof(targetPath), targetName, sizeof(targetName));
    if (!NT_SUCCESS(status)) {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: UGetProcessFullPathFromPid:: tag stats %x\n", (ULONG)status);
        return OB_PREOP_SUCCESS;
    }
    KX_TRACE(KX_DBG_ERROR, "%s:%s: curProcessName(%S), processName(%S)\n", callerName, targetName);

    if (IsProtectedTarget(targetId, targetName)) {
        *desiredAccess &= ~stripMask;
        // The rights are gone whether or not the log takes the record.
        SetLog(NULL, NULL, PROCESS_PROTECT_EVENT, (ULONG)(ULONG_PTR)targetId, (ULONG)(ULONG_PTR)callerId,
               incomingAccess, callerPath, targetPath);
        KX_TRACE(KX_DBG_ERROR, "%s:%s: [PROTECT] tried to kill Target\n");
    }

    KX_TRACE(KX_DBG_ERROR,
             "%s:%s:     Client Id:    %p:%p:%p\n    Object:       %p\n    Type:         %ls\n    Operation:    %ls "
             "(KernelHandle=%d)\n    OriginalDesiredAccess: 0x%x\n    DesiredAccess (in):    0x%x\n    DesiredAccess "
             "(out):   0x%x\n",
             targetId, callerId, PsGetCurrentThreadId(), operationInformation->Object, typeLabel, operationLabel,
             (int)operationInformation->KernelHandle, originalDesiredAccess, incomingAccess, *desiredAccess);
    return OB_PREOP_SUCCESS;
}

void PostOperationCallback(PVOID registrationContext, POB_POST_OPERATION_INFORMATION operationInformation) {
    UNREFERENCED_PARAMETER(registrationContext);
    UNREFERENCED_PARAMETER(operationInformation);
}
