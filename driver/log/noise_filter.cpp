// The system-noise filter: POLICY records that describe known harmless accesses
// (indexers, service hosts, shell metadata, pipes on network drives) are dropped
// before they reach the queue.
#include "driver/log/event_log.h"

namespace {

// The create-option bits whose absence marks a plain open of a writable USB
// device as noise: the FILE_OPEN disposition in the high byte, backup intent and
// synchronous I/O.
constexpr ULONG kReportedOpenOptions =
    ((ULONG)FILE_OPEN << 24) | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT;

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

}  // namespace

BOOLEAN IsException(PFLT_CALLBACK_DATA data, const EVENT_RECORD* record) {
    PAGED_CODE();
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
                if ((create.Options & kReportedOpenOptions) == 0) {
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

