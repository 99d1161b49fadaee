// The device policy table and the decision for create requests on read-only devices.
#include "driver/policy/policy.h"

namespace {

struct DEVICE_POLICY {
    volatile LONG devicetype;
    volatile LONG state;
    volatile LONG log;
};

// Read without a lock on every filtered request: each field is one aligned 32-bit
// word written whole, so a reader sees the old or the new value of each.
DEVICE_POLICY PolicyTable[KX_POLICY_ENTRIES];

}  // namespace

void SetDevicePolicy(ULONG devicetype, ULONG state, ULONG log) {
    // The table ends at BDC_MTP; a larger class has no entry to store into.
    if (devicetype >= KX_POLICY_ENTRIES) {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: devicetype(%d) out of range, ignored\n", devicetype);
        return;
    }
    DEVICE_POLICY& entry = PolicyTable[devicetype];
    WriteNoFence(&entry.devicetype, (LONG)devicetype);
    WriteNoFence(&entry.state, (LONG)state);
    WriteNoFence(&entry.log, (LONG)log);
}

ULONG GetDevicePolicyState(ULONG devicetype) {
    return devicetype < KX_POLICY_ENTRIES ? (ULONG)ReadNoFence(&PolicyTable[devicetype].state) : ENABLE;
}

ULONG GetDevicePolicyLog(ULONG devicetype) {
    return devicetype < KX_POLICY_ENTRIES ? (ULONG)ReadNoFence(&PolicyTable[devicetype].log) : 0;
}

void ClearDevicePolicy() {
    for (ULONG i = 0; i < KX_POLICY_ENTRIES; ++i) {
        WriteNoFence(&PolicyTable[i].devicetype, 0);
        WriteNoFence(&PolicyTable[i].state, ENABLE);
        WriteNoFence(&PolicyTable[i].log, 0);
    }
}

namespace {

// Whether the target of an open-if/overwrite-if already exists: open it read-only
// through the filters below ours, so our own callbacks do not see the probe.
bool TargetExists(PCFLT_RELATED_OBJECTS fltObjects, PCUNICODE_STRING fileName) {
    if (fltObjects == NULL || fileName == NULL || fileName->Buffer == NULL) {
        return false;
    }
    UNICODE_STRING name = *fileName;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    IO_STATUS_BLOCK ioStatus = {};
    HANDLE handle = NULL;
    NTSTATUS status = FltCreateFile(fltObjects->Filter, fltObjects->Instance, &handle, GENERIC_READ, &attributes,
                                    &ioStatus, NULL, FILE_ATTRIBUTE_NORMAL,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                    FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0, 0);
    if (!NT_SUCCESS(status)) {
        return false;
    }
    FltClose(handle);
    return true;
}

}  // namespace

BOOLEAN IsPolicyState(ULONG devicetype, ULONG state, PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects,
                      PCUNICODE_STRING fileName) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(devicetype);
    if (state == DISABLE) {
        return TRUE;
    }
    if (state != READONLY || data == NULL || data->Iopb == NULL) {
        return FALSE;
    }

    const auto& create = data->Iopb->Parameters.Create;
    const ULONG options = create.Options;
    const ULONG disposition = options >> 24;
    const ACCESS_MASK access = create.SecurityContext != NULL ? create.SecurityContext->DesiredAccess : 0;

    KX_TRACE(KX_DBG_ERROR, "%s:%s: READONLY, disposition[%x],create_option(%x), desired_access(%x)\n", disposition,
             options, access);

    switch (disposition) {
    case FILE_SUPERSEDE:
    case FILE_CREATE:
        if (options & FILE_DIRECTORY_FILE) {
            if (access & FILE_WRITE_EA) {
                KX_TRACE(KX_DBG_ERROR, "%s:%s: block(1) create_option(%x), desired_access(%x)\n", options, access);
                return TRUE;
            }
            if (access & FILE_LIST_DIRECTORY) {
                KX_TRACE(KX_DBG_ERROR, "%s:%s: block(2) create_option(%x), desired_access(%x)\n", options, access);
                return TRUE;
            }
        }
        if (access & FILE_WRITE_DATA) {
            KX_TRACE(KX_DBG_ERROR, "%s:%s: block(3) disposition(%x), desired_access(%x)\n", disposition, access);
            return TRUE;
        }
        if (access & DELETE) {
            KX_TRACE(KX_DBG_ERROR, "%s:%s: block(4) disposition(%x), desired_access(%x)\n", disposition, access);
            return TRUE;
        }
        // Superseding an existing file replaces its data whatever access was asked.
        if (disposition == FILE_SUPERSEDE && TargetExists(fltObjects, fileName)) {
            KX_TRACE(KX_DBG_ERROR, "%s:%s: block(8) disposition(%x), desired_access(%x)\n", disposition, access);
            return TRUE;
        }
        // A new file may be created as long as nothing is written into it.
        return FALSE;

    case FILE_OPEN:
        // Opening for write passes; the writes themselves are refused.
        if (access & DELETE) {
            KX_TRACE(KX_DBG_ERROR, "%s:%s: block(7) disposition(%x), desired_access(%x)\n", FILE_OPEN, access);
            return TRUE;
        }
        return FALSE;

    case FILE_OPEN_IF:
    case FILE_OVERWRITE_IF:
        KX_TRACE(KX_DBG_ERROR,
                 "%s:%s: FILE_OVERWRITE_IF , FILE_OPEN_IF disposition[%x]create_option(%x), desired_access(%x)\n",
                 disposition, options, access);
        if (!TargetExists(fltObjects, fileName)) {
            KX_TRACE(KX_DBG_ERROR, "%s:%s: block(5) disposition(%x), desired_access(%x)\n", disposition, access);
            return TRUE;
        }
        // Overwriting an existing file truncates it whatever access was asked.
        if (disposition == FILE_OVERWRITE_IF) {
            KX_TRACE(KX_DBG_ERROR, "%s:%s: block(10) disposition(%x), desired_access(%x)\n", disposition, access);
            return TRUE;
        }
        KX_TRACE(KX_DBG_ERROR, "%s:%s: PERMIT(1) disposition(%x), desired_access(%x),create_option(%x)\n",
                 disposition, access, options);
        if (access & DELETE) {
            KX_TRACE(KX_DBG_ERROR, "%s:%s: block(6) disposition(%x), desired_access(%x)\n", disposition, access);
            return TRUE;
        }
        if (access & FILE_WRITE_DATA) {
            KX_TRACE(KX_DBG_ERROR, "%s:%s: block(3) disposition(%x), desired_access(%x)\n", disposition, access);
            return TRUE;
        }
        return FALSE;

    case FILE_OVERWRITE:
        // The file system truncates the file (it must exist) whatever access was asked.
        KX_TRACE(KX_DBG_ERROR, "%s:%s: block(9) disposition(%x), desired_access(%x),create_option(%x)\n",
                 FILE_OVERWRITE, access, options);
        return TRUE;

    default:
        return FALSE;
    }
}
