// Device classification of file requests.
#include "driver/core/classifier.h"

#include "driver/core/volume.h"
#include "driver/policy/policy.h"

namespace {

// The token sources of a logon that reached this machine over the network: NTLM
// and the kernel security driver (Kerberos and negotiated logons of remote clients).
bool IsNetworkLogonSource(const CHAR* sourceName) {
    static const CHAR ntlm[TOKEN_SOURCE_LENGTH] = {'N', 't', 'L', 'm', 'S', 's', 'p', ' '};
    static const CHAR ksecdd[TOKEN_SOURCE_LENGTH] = {'K', 'S', 'e', 'c', 'D', 'D', ' ', ' '};
    return RtlCompareMemory(sourceName, ntlm, TOKEN_SOURCE_LENGTH) == TOKEN_SOURCE_LENGTH ||
           RtlCompareMemory(sourceName, ksecdd, TOKEN_SOURCE_LENGTH) == TOKEN_SOURCE_LENGTH;
}

// The subject token of a create that carries an access state: the client's when
// the thread impersonates one, else the process's; NULL for any other request.
PACCESS_TOKEN CreateSubjectToken(PFLT_CALLBACK_DATA data) {
    if (data->Iopb->MajorFunction != IRP_MJ_CREATE) {
        return NULL;
    }
    PIO_SECURITY_CONTEXT security = data->Iopb->Parameters.Create.SecurityContext;
    if (security == NULL || security->AccessState == NULL) {
        return NULL;
    }
    return SeQuerySubjectContextToken(&security->AccessState->SubjectSecurityContext);
}

}  // namespace

ULONG GetDeviceType(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects) {
    PAGED_CODE();
    PFILE_OBJECT fileObject = data->Iopb->TargetFileObject != NULL ? data->Iopb->TargetFileObject
                                                                   : fltObjects->FileObject;
    PDEVICE_OBJECT device = fileObject != NULL ? fileObject->DeviceObject : NULL;
    const ULONG ch = device != NULL ? device->Characteristics : 0;
    const DEVICE_TYPE dt = device != NULL ? device->DeviceType : 0;

    // 1, 2: removable and floppy disks.
    if ((ch & FILE_REMOVABLE_MEDIA) != 0 && dt == FILE_DEVICE_DISK) {
        return (ch & FILE_FLOPPY_DISKETTE) != 0 ? BDC_FLOOPY : BDC_USB_DISK;
    }
    if ((ch & FILE_FLOPPY_DISKETTE) != 0 && dt == FILE_DEVICE_DISK) {
        return BDC_FLOOPY;
    }
    // 3, 4: optical media and outgoing network drives.
    if (dt == FILE_DEVICE_CD_ROM) {
        return BDC_CDROM;
    }
    if ((ch & FILE_REMOTE_DEVICE) != 0 && dt == FILE_DEVICE_NETWORK_FILE_SYSTEM) {
        return BDC_NETWORKDRIVEOUT;
    }

    // 5: a remote client opening files of this machine. The token is only queried
    // while that class is restricted.
    if (GetDevicePolicyState(BDC_NETWORKDRIVEIN) != ENABLE) {
        PACCESS_TOKEN token = CreateSubjectToken(data);
        if (token != NULL) {
            PVOID information = NULL;
            if (NT_SUCCESS(SeQueryInformationToken(token, TokenSource, &information)) && information != NULL) {
                PTOKEN_SOURCE source = static_cast<PTOKEN_SOURCE>(information);
                const bool remote = IsNetworkLogonSource(source->SourceName);
                if (remote) {
                    KX_TRACE(KX_DBG_ERROR,
                             "%s:%s: DEVICE_NETWORKDRIVEIN Check: pid(%x), Token Source=[%.8s], create_char=[%x], "
                             "type=[%x]\n",
                             (ULONG)(ULONG_PTR)PsGetCurrentProcessId(), source->SourceName, ch, dt);
                    KX_TRACE(KX_DBG_ERROR, "%s:%s: DEVICE_NETWORKDRIVEIN Detected! Blocking.\n");
                }
                ExFreePool(information);
                if (remote) {
                    return BDC_NETWORKDRIVEIN;
                }
            }
        }
    }

    // 6, 7: external hard disks count as local disks while their policy allows
    // them without the detection log; anything but a disk is a local volume.
    if (GetDevicePolicyState(BDC_EXTERNALHDD) == ENABLE && GetDevicePolicyLog(BDC_EXTERNALHDD) != 1) {
        return BDC_LOCAL_DISK;
    }
    if (dt != FILE_DEVICE_DISK) {
        return BDC_LOCAL_DISK;
    }

    // 8, 9: a fixed disk's bus, from the identity collected at instance setup.
    VOLUME_CONTEXT* context = NULL;
    NTSTATUS status = FltGetVolumeContext(fltObjects->Filter, fltObjects->Volume,
                                          reinterpret_cast<PFLT_CONTEXT*>(&context));
    if (!NT_SUCCESS(status) || context == NULL) {
        return BDC_UNKNOWN_DEV;
    }
    const ULONG deviceClass = context->busType == KX_STORAGE_BUS_TYPE_USB ? BDC_EXTERNALHDD : BDC_LOCAL_DISK;
    FltReleaseContext(context);
    return deviceClass;
}
