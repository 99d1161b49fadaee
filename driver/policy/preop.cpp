// File-system pre-operation callbacks: the device policy and the folder
// protection applied to create, write, set-information and read requests.
#include "driver/policy/preop.h"

#include "driver/core/classifier.h"
#include "driver/core/process_ids.h"
#include "driver/core/process_info.h"
#include "driver/core/strings.h"
#include "driver/log/event_log.h"
#include "driver/policy/lists.h"
#include "driver/policy/policy.h"
#include "driver/policy/usb_exceptions.h"

#ifndef STATUS_REPARSE
#define STATUS_REPARSE ((NTSTATUS)0x00000104L)
#endif

namespace {

// System processes whose file requests are never filtered, by the kernel's short
// image name (at most 15 characters, so a long name arrives cut short).
const CHAR* const ExternalDeviceExemptions[] = {
    "svchost.exe", "WerFault.exe", "csrss.exe",  "winlogon.exe",      "lsass.exe", "services.exe",
    "lsm.exe",     "dwm.exe",      "audiodg.exe", "SearchIndexer.exe", "dwwin.exe",
};
const CHAR* const LocalDiskExemptions[] = {
    "svchost.exe", "WerFault.exe", "csrss.exe",   "winlogon.exe",      "lsass.exe",   "services.exe", "lsm.exe",
    "dwm.exe",     "audiodg.exe",  "SearchIndexer.exe", "dllhost.exe", "dwwin.exe", "vmtoolsd.exe",
};

// The redirector's names for a drive letter mapped to a share.
const WCHAR* const MappedDriveMarkers[] = {
    WSTR("\\;LanmanRedirector\\;"),
    WSTR("\\;lanmanredirector\\;"),
    WSTR("\\LanmanRedirector\\;"),
};

// The operating system stages files to be burnt to a CD in this folder of the
// user's profile (compared lower-cased).
const WCHAR kBurnFolder[] = WSTR("\\appdata\\local\\microsoft\\windows\\burn\\burn");
const WCHAR kDesktopIni[] = WSTR("\\desktop.ini");
const WCHAR kCdRomDevice[] = WSTR("\\CdRom");

// Desired-access bits that change a file listed in a protected folder: write
// data, append data, write extended attributes, write attributes, delete.
constexpr ACCESS_MASK kFileNameChangingAccess =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | DELETE;

// The normalized name of the file a request is about, as the filter manager
// answers it: the full name on the volume, with the volume's device name first.
constexpr FLT_FILE_NAME_OPTIONS kNameOptions = FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT;

FLT_PREOP_CALLBACK_STATUS Deny(PFLT_CALLBACK_DATA data) {
    data->IoStatus.Status = STATUS_ACCESS_DENIED;
    data->IoStatus.Information = 0;
    return FLT_PREOP_COMPLETE;
}

bool IsControlProcess() {
    PEPROCESS control = Globals.ControlProcess;
    return control != NULL && control == PsGetCurrentProcess();
}

// The requests whose policy is decided here; cleanup and close always pass (they
// cannot fail, and the decision was taken when the file was opened or written).
bool IsDecidedOperation(UCHAR majorFunction) {
    return majorFunction == IRP_MJ_CREATE || majorFunction == IRP_MJ_READ || majorFunction == IRP_MJ_WRITE ||
           majorFunction == IRP_MJ_SET_INFORMATION;
}

// Requests that pass before anything is looked at.
bool Bypasses(PFLT_CALLBACK_DATA data) {
    if (!KxSwitch(Globals.Started) || IsControlProcess()) {
        return true;
    }
    const NTSTATUS preset = data->IoStatus.Status;
    if (preset < 0 || preset == STATUS_REPARSE) {
        return true;
    }
    if (!IsDecidedOperation(data->Iopb->MajorFunction)) {
        return true;
    }
    // The deciders query names, open files and write records: passive level only.
    return KeGetCurrentIrql() > PASSIVE_LEVEL;
}

bool IsRenameClass(FILE_INFORMATION_CLASS infoClass) {
    return infoClass == FileRenameInformation || infoClass == FileRenameInformationEx;
}

// Renames and deletes, in the classes of older and of current Windows alike.
bool IsRenameOrDeleteClass(FILE_INFORMATION_CLASS infoClass) {
    return IsRenameClass(infoClass) || infoClass == FileDispositionInformation ||
           infoClass == FileDispositionInformationEx;
}

bool IsRenameOrDeleteRequest(PFLT_CALLBACK_DATA data) {
    return data->Iopb->MajorFunction == IRP_MJ_SET_INFORMATION &&
           IsRenameOrDeleteClass(data->Iopb->Parameters.SetFileInformation.FileInformationClass);
}

// The CD-ROM volume itself (\Device\CdRom0, with or without the trailing
// separator) rather than a file on it: opening it does not touch any file.
bool IsCdRomVolumeItself(PCUNICODE_STRING fileName) {
    const WCHAR* at = wcsstr(fileName->Buffer, kCdRomDevice);
    if (at == NULL) {
        return false;
    }
    const SIZE_T rest = (SIZE_T)fileName->Length / sizeof(WCHAR) - (SIZE_T)(at - fileName->Buffer);
    return rest == 7 || rest == 8;
}

// A terminated copy of the start of a counted name, for a trace line when no full
// copy could be made.
void TraceCopy(PCUNICODE_STRING name, WCHAR (&text)[64]) {
    SIZE_T count = name->Buffer != NULL ? name->Length / sizeof(WCHAR) : 0;
    if (count > 63) {
        count = 63;
    }
    for (SIZE_T i = 0; i < count; ++i) {
        text[i] = name->Buffer[i];
    }
    text[count] = 0;
}

bool ExemptIn(const CHAR* const* table, SIZE_T entries, PCSTR shortName) {
    for (SIZE_T e = 0; e < entries; ++e) {
        const CHAR* entry = table[e];
        // The short name, over its own length, must begin the entry.
        SIZE_T i = 0;
        while (shortName[i] != 0 && RtlUpperChar(shortName[i]) == RtlUpperChar(entry[i])) {
            ++i;
        }
        if (shortName[i] == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

BOOLEAN KxIsExemptSystemProcess(PCSTR shortName, BOOLEAN localDisk) {
    if (localDisk) {
        return ExemptIn(LocalDiskExemptions, sizeof(LocalDiskExemptions) / sizeof(LocalDiskExemptions[0]), shortName) ? TRUE : FALSE;
    }
    return ExemptIn(ExternalDeviceExemptions, sizeof(ExternalDeviceExemptions) / sizeof(ExternalDeviceExemptions[0]), shortName) ? TRUE : FALSE;
}

NTSTATUS KxCopyFileName(PCUNICODE_STRING name, PUNICODE_STRING copy) {
    copy->Buffer = NULL;
    copy->Length = copy->MaximumLength = 0;
    // Computed in 32 bits: a name near 64 KiB would otherwise wrap to a tiny buffer.
    const ULONG bytes = (ULONG)name->MaximumLength + 12;
    if (bytes > 0xFFFF || name->Length > name->MaximumLength) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = KxAllocateUnicodeString(copy, (USHORT)bytes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = KxCopyUnicodeString(copy, name);
    if (!NT_SUCCESS(status)) {
        KxFreeUnicodeString(copy);
    }
    return status;
}

BOOLEAN IsMappedDrivePath(PCWSTR path) {
    for (const WCHAR* marker : MappedDriveMarkers) {
        if (wcsstr(path, marker) != NULL) {
            return TRUE;
        }
    }
    // The redirector's drive-letter form: a semicolon, a letter and a colon.
    for (const WCHAR* p = path; *p != 0; ++p) {
        const WCHAR letter = p[1];
        const bool isLetter = (letter >= WSTR('A') && letter <= WSTR('Z')) || (letter >= WSTR('a') && letter <= WSTR('z'));
        if (*p == WSTR(';') && isLetter && p[2] == WSTR(':')) {
            return TRUE;
        }
    }
    return FALSE;
}

FLT_PREOP_CALLBACK_STATUS Kx4GrdPreOperation(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects,
                                             PVOID* completionContext) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(completionContext);
    if (Bypasses(data)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }

    // Cheap tests first: class, requestor, policy entry, process state and short
    // name, all before any name query or allocation.
    const ULONG deviceType = GetDeviceType(data, fltObjects);
    if (deviceType == BDC_UNKNOWN_DEV) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (data->RequestorMode == KernelMode && deviceType != BDC_NETWORKDRIVEIN) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    const ULONG state = GetDevicePolicyState(deviceType);
    const ULONG log = GetDevicePolicyLog(deviceType);
    if (deviceType != BDC_LOCAL_DISK && state == ENABLE && log == 0) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (deviceType == BDC_NETWORKDRIVEIN) {
        return HandleNetWorkInDevicePolicy(data, fltObjects, deviceType, state, log);
    }

    const ULONG processId = (ULONG)(ULONG_PTR)PsGetCurrentProcessId();
    const ULONG pidState = PgGetPidState(processId);
    if ((pidState & KX_PROCESS_TRUSTED) != 0) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    // A short name that cannot be read counts as empty, which the exemption
    // lists take as a system process: missing process information passes.
    CHAR shortName[17] = {};
    if (!GetCurrentProcessShortName(shortName)) {
        shortName[0] = 0;
    }
    if (KxIsExemptSystemProcess(shortName, deviceType == BDC_LOCAL_DISK ? TRUE : FALSE)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }

    PFLT_FILE_NAME_INFORMATION nameInfo = NULL;
    NTSTATUS status = FltGetFileNameInformation(data, kNameOptions, &nameInfo);
    if (!NT_SUCCESS(status)) {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: FltGetFileNameInformation Failed (%x)\n", status);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    (void)FltParseFileNameInformation(nameInfo);
    UNICODE_STRING fileName;
    if (!NT_SUCCESS(KxCopyFileName(&nameInfo->Name, &fileName))) {
        WCHAR shown[64];
        TraceCopy(&nameInfo->Name, shown);
        KX_TRACE(KX_DBG_ERROR, "%s:%s: FltParseFileNameInformation Failed (%S)\n", shown);
        FltReleaseFileNameInformation(nameInfo);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }

    UNICODE_STRING imagePath;
    status = GetCurrentProcessImagePath(PsGetCurrentProcessId(), &imagePath);
    if (!NT_SUCCESS(status)) {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: Get Process Name Info Failed. szProcessName(%s), pid(%d), status(%x)\n",
                 shortName, processId, status);
        KxFreeUnicodeString(&fileName);
        FltReleaseFileNameInformation(nameInfo);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }

    ULONG processFlags = pidState;
    if (pidState == 0) {
        ULONG type = 0;
        if (IsAllowProcessName(imagePath.Buffer, imagePath.Length, &type)) {
            KX_TRACE(KX_DBG_INFO, "%s:%s: Update Allow Process, Path(%S)(%d), Type(%d)\n", imagePath.Buffer,
                     processId, type);
            processFlags = type;
            // Only the states the process-id tables keep for list entries are
            // cached; any other type (a protection bit among them) is used for
            // this request and looked up again on the next.
            if (type == 1 || type == 2 || type == 4 || type == 8) {
                PgAddPid(processId, type);
            }
        } else {
            processFlags = KX_PROCESS_NOT_LISTED;
        }
    }

    FLT_PREOP_CALLBACK_STATUS result;
    if (deviceType == BDC_LOCAL_DISK) {
        result = HandleLocalDiskPolicy(data, fltObjects, &fileName, &imagePath, processId, processFlags);
    } else if ((processFlags & KX_PROCESS_TRUSTED) != 0) {
        result = FLT_PREOP_SUCCESS_NO_CALLBACK;
    } else {
        result = HandleExternalDevicePolicy(data, fltObjects, &fileName, &imagePath, processId, deviceType, state, log);
    }

    KxFreeUnicodeString(&imagePath);
    KxFreeUnicodeString(&fileName);
    FltReleaseFileNameInformation(nameInfo);
    return result;
}

FLT_PREOP_CALLBACK_STATUS HandleExternalDevicePolicy(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects,
                                                     PCUNICODE_STRING fileName, PCUNICODE_STRING imagePath,
                                                     ULONG processId, ULONG deviceType, ULONG state, ULONG log) {
    PAGED_CODE();
    if (!KxSwitch(Globals.DeviceProtect)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }

    BOOLEAN block = FALSE;
    const bool listedUsbDisk =
        (deviceType == BDC_USB_DISK || deviceType == BDC_EXTERNALHDD) && IsUsbException(fltObjects, deviceType);
    if (!listedUsbDisk) {
        // The redirector serves mapped drives and UNC shares alike; a share
        // reached without a drive letter has a policy of its own.
        if (deviceType == BDC_NETWORKDRIVEOUT && !IsMappedDrivePath(fileName->Buffer)) {
            deviceType = BDC_NETWORKSHAREOUT;
            state = GetDevicePolicyState(BDC_NETWORKSHAREOUT);
        }
        KX_TRACE(KX_DBG_INFO, "%s:%s: Check External Policy: Pid(%d), Dev(%d), Path(%S)\n", processId, deviceType,
                 fileName->Buffer);

        switch (data->Iopb->MajorFunction) {
        case IRP_MJ_CREATE:
            // A state this driver does not know is refused like DISABLE: the
            // writes, renames and deletes below are refused for any non-zero
            // state, and an unknown state must not let a create truncate a file.
            block = IsPolicyState(deviceType, state > READONLY ? (ULONG)DISABLE : state, data, fltObjects, fileName);
            break;
        case IRP_MJ_WRITE:
            if (state != ENABLE) {
                KX_TRACE(KX_DBG_INFO, "%s:%s: Check External Policy: Write !!!! Pid(%d), Dev(%d), Path(%S)\n",
                         processId, deviceType, fileName->Buffer);
                block = TRUE;
            }
            break;
        case IRP_MJ_SET_INFORMATION:
            block = (state != ENABLE && IsRenameOrDeleteRequest(data)) ? TRUE : FALSE;
            break;
        default:
            break;
        }

        if ((deviceType == BDC_NETWORKDRIVEOUT || deviceType == BDC_NETWORKSHAREOUT) && block &&
            IsAllowHostIp(fileName->Buffer, fileName->Length)) {
            block = FALSE;
        }
        if (deviceType == BDC_CDROM && block && IsCdRomVolumeItself(fileName)) {
            block = FALSE;
        }
    }

    // Allowed and refused requests alike are recorded, except the allowed ones on
    // a read-only device (reads and plain opens would flood the log).
    if (log != 0 && !(state == READONLY && !block)) {
        SetLog(data, fltObjects, POLICY, deviceType, state, 0, imagePath->Buffer, fileName->Buffer);
    }
    if (state != ENABLE && block) {
        KX_TRACE(KX_DBG_INFO, "%s:%s: ACCESS DENIED Pid(%d), Path(%S)\n", processId, fileName->Buffer);
        return Deny(data);
    }
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

FLT_PREOP_CALLBACK_STATUS HandleLocalDiskPolicy(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects,
                                                PCUNICODE_STRING fileName, PCUNICODE_STRING imagePath,
                                                ULONG processId, ULONG processFlags) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(imagePath);
    if (!KxSwitch(Globals.FolderProtect)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if ((processFlags & KX_PROCESS_TRUSTED) != 0) {
        // A trusted process marked for it still has its renames checked.
        const bool renameChecked = (processFlags & KX_PROCESS_RENAME_CHECKED) != 0 &&
                                   data->Iopb->MajorFunction == IRP_MJ_SET_INFORMATION &&
                                   IsRenameClass(data->Iopb->Parameters.SetFileInformation.FileInformationClass);
        if (!renameChecked) {
            return FLT_PREOP_SUCCESS_NO_CALLBACK;
        }
    }
    const ULONG type = FindProtectPath(KxPathList, KX_PATH_LOOKUP_MASK, fileName->Buffer, fileName->Length);
    if (type != PG_PATH_BLACK) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (Kx4GrdIsFileName(data, fltObjects, fileName, processFlags, 1)) {
        KX_TRACE(KX_DBG_INFO, "%s:%s: PG_PATH_BLACK PERMIT FILENAME: Path(%S)\n", fileName->Buffer);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    KX_TRACE(KX_DBG_INFO, "%s:%s: ACCESS DENIED (Local Disk): Path(%S), Pid(%d)\n", fileName->Buffer, processId);
    return Deny(data);
}

BOOLEAN Kx4GrdIsFileName(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects, PCUNICODE_STRING fileName,
                         ULONG processFlags, ULONG typeMask) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(fltObjects);
    UNREFERENCED_PARAMETER(processFlags);
    const UCHAR majorFunction = data->Iopb->MajorFunction;
    if (majorFunction == IRP_MJ_CREATE && (data->Iopb->Parameters.Create.Options & FILE_DIRECTORY_FILE) != 0) {
        return FALSE;
    }

    // The final component: the text after the last separator.
    const ULONG characters = fileName->Length / sizeof(WCHAR);
    ULONG start = characters;
    while (start > 0 && fileName->Buffer[start - 1] != WSTR('\\')) {
        --start;
    }
    if (start == 0) {
        return FALSE;
    }
    const WCHAR* component = fileName->Buffer + start;
    const ULONG componentBytes = (characters - start) * (ULONG)sizeof(WCHAR);
    if (FindProtectPath(KxFileNameList, typeMask, component, componentBytes) == 0) {
        return FALSE;
    }

    if (majorFunction == IRP_MJ_CREATE) {
        PIO_SECURITY_CONTEXT security = data->Iopb->Parameters.Create.SecurityContext;
        const ACCESS_MASK access = security != NULL ? security->DesiredAccess : 0;
        KX_TRACE(KX_DBG_ERROR, "%s:%s: desiredaccess(%x)\tname(%S)\tlen(%d)\n", access, component, componentBytes);
        if ((access & kFileNameChangingAccess) != 0) {
            return FALSE;
        }
    }
    if (IsRenameOrDeleteRequest(data)) {
        return FALSE;
    }
    // Writes through a handle opened as allowed above pass.
    return TRUE;
}

FLT_PREOP_CALLBACK_STATUS HandleNetWorkInDevicePolicy(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects,
                                                      ULONG deviceType, ULONG state, ULONG log) {
    PAGED_CODE();
    PFLT_FILE_NAME_INFORMATION nameInfo = NULL;
    NTSTATUS status = FltGetFileNameInformation(data, kNameOptions, &nameInfo);
    if (!NT_SUCCESS(status)) {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: FltGetFileNameInformation Failed [%x]\n", status);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    status = FltParseFileNameInformation(nameInfo);
    if (!NT_SUCCESS(status)) {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: FltParseFileNameInformation Failed [%x]\n", status);
        FltReleaseFileNameInformation(nameInfo);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    // The name information's text is not terminated; traces and records need it so.
    UNICODE_STRING fileName;
    if (!NT_SUCCESS(KxCopyFileName(&nameInfo->Name, &fileName))) {
        FltReleaseFileNameInformation(nameInfo);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }

    // This path is taken before the caller reads the short name, so it reads it
    // here; a name that cannot be read is recorded empty.
    CHAR shortName[17] = {};
    if (!GetCurrentProcessShortName(shortName)) {
        shortName[0] = 0;
    }
    WCHAR processName[50] = {};
    (void)RtlStringCbPrintfW(processName, sizeof(processName), WSTR("%S"), shortName);
    KX_TRACE(KX_DBG_INFO, "%s:%s: Network Drive In processName(%S), Path(%S)\n", processName, fileName.Buffer);

    if (log != 0) {
        SetLog(data, fltObjects, POLICY, deviceType, state, 0, processName, fileName.Buffer);
    }
    FLT_PREOP_CALLBACK_STATUS result = FLT_PREOP_SUCCESS_NO_CALLBACK;
    if (state != ENABLE) {
        KX_TRACE(KX_DBG_INFO, "%s:%s: ACCESS DENIED Pid(%d)\n", (ULONG)(ULONG_PTR)PsGetCurrentProcessId());
        result = Deny(data);
    }
    KxFreeUnicodeString(&fileName);
    FltReleaseFileNameInformation(nameInfo);
    return result;
}

FLT_PREOP_CALLBACK_STATUS Kx4GrdPreRead(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects,
                                        PVOID* completionContext) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(completionContext);
    if (!KxSwitch(Globals.Started) || IsControlProcess() || !KxSwitch(Globals.DeviceProtect) ||
        data->RequestorMode == KernelMode) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    const ULONG state = GetDevicePolicyState(BDC_CDROM);
    if (state == ENABLE) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    // Only an IRP read of a file's first bytes: the burning software reads every
    // staged file from its start.
    const auto& read = data->Iopb->Parameters.Read;
    if ((data->Flags & FLTFL_CALLBACK_DATA_IRP_OPERATION) == 0 || read.Length == 0 ||
        (read.ByteOffset.QuadPart & 0xFFFFFFFF) != 0) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }

    PFLT_FILE_NAME_INFORMATION nameInfo = NULL;
    if (!NT_SUCCESS(FltGetFileNameInformation(data, kNameOptions, &nameInfo))) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (!NT_SUCCESS(FltParseFileNameInformation(nameInfo))) {
        FltReleaseFileNameInformation(nameInfo);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    UNICODE_STRING fileName;
    if (!NT_SUCCESS(KxCopyFileName(&nameInfo->Name, &fileName))) {
        FltReleaseFileNameInformation(nameInfo);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }

    FLT_PREOP_CALLBACK_STATUS result = FLT_PREOP_SUCCESS_NO_CALLBACK;
    if (wcschr(fileName.Buffer, WSTR('\\')) != NULL) {
        for (ULONG i = 0; i < fileName.Length / sizeof(WCHAR); ++i) {
            fileName.Buffer[i] = RtlDowncaseUnicodeChar(fileName.Buffer[i]);
        }
        if (wcsstr(fileName.Buffer, kBurnFolder) != NULL && wcsstr(fileName.Buffer, kDesktopIni) == NULL) {
            // A read may come at APC_LEVEL: the decision stands, but the record
            // and the trace (wide text, a named event) need PASSIVE_LEVEL.
            if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
                UNICODE_STRING imagePath;
                const bool haveImage = NT_SUCCESS(GetCurrentProcessImagePath(PsGetCurrentProcessId(), &imagePath));
                // Without an image path the event log refuses the record.
                SetLog(data, fltObjects, POLICY, BDC_CDROM, state, 0, haveImage ? imagePath.Buffer : NULL,
                       fileName.Buffer);
                KX_TRACE(KX_DBG_INFO, "%s:%s: READ BLOCK!!!!!!!!!!!!! pid(%d),processpath(%S)",
                         (ULONG)(ULONG_PTR)PsGetCurrentProcessId(), haveImage ? imagePath.Buffer : WSTR(""));
                if (haveImage) {
                    KxFreeUnicodeString(&imagePath);
                }
            }
            result = Deny(data);
        }
    }
    KxFreeUnicodeString(&fileName);
    FltReleaseFileNameInformation(nameInfo);
    return result;
}

FLT_POSTOP_CALLBACK_STATUS Kx4GrdPostOperation(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects,
                                               PVOID completionContext, FLT_POST_OPERATION_FLAGS flags) {
    UNREFERENCED_PARAMETER(data);
    UNREFERENCED_PARAMETER(fltObjects);
    UNREFERENCED_PARAMETER(completionContext);
    UNREFERENCED_PARAMETER(flags);
    return FLT_POSTOP_FINISHED_PROCESSING;
}
