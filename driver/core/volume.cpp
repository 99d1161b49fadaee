// Filter instances and volume contexts: the identity of each disk-file-system
// volume's disk, collected at instance setup, and the volume's CONNECT record.
#include "driver/core/volume.h"

#include "driver/log/event_log.h"

namespace {

const ULONGLONG KxGiB = 1ULL << 30;
const ULONGLONG KxMaxBytes = ~0ULL;

ULONG KxMinUlong(ULONG a, ULONG b) { return a < b ? a : b; }

// Reads one string property of the physical device object into its 520-byte
// field. The field ends with a terminator whatever the device stored: a value
// that fills all 520 bytes without one is cut by a character.
void ReadDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, WCHAR* field) {
    PAGED_CODE();
    ULONG resultLength = 0;
    RtlZeroMemory(field, KX_VOLUME_PROPERTY_BYTES);
    NTSTATUS status = IoGetDeviceProperty(pdo, property, KX_VOLUME_PROPERTY_BYTES, field, &resultLength);
    if (!NT_SUCCESS(status)) {
        RtlZeroMemory(field, KX_VOLUME_PROPERTY_BYTES);
    }
    field[KX_VOLUME_PROPERTY_BYTES / sizeof(WCHAR) - 1] = 0;
}

void ReadInstanceId(PDEVICE_OBJECT pdo, WCHAR* field) {
    PAGED_CODE();
    ULONG required = 0;
    DEVPROPTYPE type = 0;
    RtlZeroMemory(field, KX_VOLUME_PROPERTY_BYTES);
    NTSTATUS status = IoGetDevicePropertyData(pdo, &DEVPKEY_Device_InstanceId, 0, 0, KX_VOLUME_PROPERTY_BYTES,
                                              field, &required, &type);
    if (!NT_SUCCESS(status)) {
        RtlZeroMemory(field, KX_VOLUME_PROPERTY_BYTES);
    }
    field[KX_VOLUME_PROPERTY_BYTES / sizeof(WCHAR) - 1] = 0;
}

// Asks the top of the disk's stack for its storage device descriptor and takes
// the bus type, the removable flag and the four strings from it. Every read stays
// within the bytes the device returned, the size the descriptor claims and the
// buffer; an answer too short for the descriptor's fixed fields counts as failed.
NTSTATUS QueryStorageDescriptor(PDEVICE_OBJECT top, VOLUME_DEVICE_INFO* info) {
    PAGED_CODE();
    UCHAR* buffer = static_cast<UCHAR*>(
        ExAllocatePool2(POOL_FLAG_PAGED | POOL_FLAG_UNINITIALIZED, KX_STORAGE_QUERY_BYTES, KX_TAG_STORAGE_QUERY));
    if (buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    STORAGE_PROPERTY_QUERY query;
    RtlZeroMemory(&query, sizeof(query));
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    RtlZeroMemory(&iosb, sizeof(iosb));

    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_STORAGE_QUERY_PROPERTY, top, &query, sizeof(query), buffer,
                                             KX_STORAGE_QUERY_BYTES, FALSE, &event, &iosb);
    if (irp != NULL) {
        status = IoCallDriver(top, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
            status = iosb.Status;
        }
    }
    if (NT_SUCCESS(status)) {
        const ULONG fixed = (ULONG)FIELD_OFFSET(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties);
        const ULONG returned =
            iosb.Information < KX_STORAGE_QUERY_BYTES ? (ULONG)iosb.Information : KX_STORAGE_QUERY_BYTES;
        const STORAGE_DEVICE_DESCRIPTOR* descriptor = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(buffer);
        const ULONG bound = returned < fixed ? 0 : KxMinUlong(descriptor->Size, returned);
        if (bound < fixed) {
            status = STATUS_INVALID_DEVICE_REQUEST;
        } else {
            info->busType = (ULONG)descriptor->BusType;
            info->removableMedia = descriptor->RemovableMedia;
            SafeSetVolumContextParam(info->vendorId, bound, buffer, descriptor->VendorIdOffset);
            SafeSetVolumContextParam(info->productId, bound, buffer, descriptor->ProductIdOffset);
            SafeSetVolumContextParam(info->productRevision, bound, buffer, descriptor->ProductRevisionOffset);
            SafeSetVolumContextParam(info->serialNumber, bound, buffer, descriptor->SerialNumberOffset);
        }
    }
    ExFreePoolWithTag(buffer, KX_TAG_STORAGE_QUERY);
    return status;
}

// A descriptor string of the record into the context: at most 31 characters.
void CopyIdentityString(CHAR* destination, const CHAR* source, SIZE_T sourceSize) {
    SIZE_T i = 0;
    for (; i < KX_VOLUME_ID_MAX_COPY && i < sourceSize && source[i] != 0; ++i) {
        destination[i] = source[i];
    }
    destination[i] = 0;
}

// The volume report and its CONNECT record.
void ReportVolume(PCFLT_RELATED_OBJECTS fltObjects, const VOLUME_CONTEXT* context, const VOLUME_DEVICE_INFO* info,
                  DEVICE_TYPE volumeDeviceType, FLT_FILESYSTEM_TYPE volumeFilesystemType) {
    PAGED_CODE();
    ULONGLONG totalBytes = 0;
    ULONGLONG freeBytes = 0;
    FILE_FS_SIZE_INFORMATION sizeInfo;
    RtlZeroMemory(&sizeInfo, sizeof(sizeInfo));
    IO_STATUS_BLOCK iosb;
    RtlZeroMemory(&iosb, sizeof(iosb));
    NTSTATUS status = FltQueryVolumeInformation(fltObjects->Instance, &iosb, &sizeInfo, sizeof(sizeInfo),
                                                FileFsSizeInformation);
    if (NT_SUCCESS(status)) {
        totalBytes = KxVolumeBytes((ULONGLONG)sizeInfo.TotalAllocationUnits.QuadPart,
                                   sizeInfo.SectorsPerAllocationUnit, sizeInfo.BytesPerSector);
        freeBytes = KxVolumeBytes((ULONGLONG)sizeInfo.AvailableAllocationUnits.QuadPart,
                                  sizeInfo.SectorsPerAllocationUnit, sizeInfo.BytesPerSector);
        KX_TRACE(KX_DBG_INFO, "%s:%s: Total Size: %lld Bytes, Free: %lld Bytes\n", (LONGLONG)totalBytes,
                 (LONGLONG)freeBytes);
    } else {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: FltQueryVolumeInformation Failed: %x\n", (ULONG)status);
    }
    ULONGLONG freeWhole = 0;
    ULONGLONG freeHundredths = 0;
    ULONGLONG totalWhole = 0;
    ULONGLONG totalHundredths = 0;
    KxBytesToGiB(freeBytes, &freeWhole, &freeHundredths);
    KxBytesToGiB(totalBytes, &totalWhole, &totalHundredths);

    WCHAR report[KX_VOLUME_REPORT_BYTES / sizeof(WCHAR)];
    status = RtlStringCbPrintfW(
        report, sizeof(report),
        WSTR("{\"name\": \"%wZ\", \"freeGB\": \"%lld.%02lld\", \"totalGB\": \"%lld.%02lld\", \"vid\": \"%.16hs\", ")
            WSTR("\"pid\": \"%.16hs\", \"rev\": \"%.20hs\", \"serial\": \"%.20hs\", \"instanceId\": \"%s\", ")
                WSTR("\"enumerator\": \"%s\", \"friendlyName\": \"%s\", \"hardwareId\": \"%s\", ")
                    WSTR("\"description\": \"%s\"}"),
        &context->name, (LONGLONG)freeWhole, (LONGLONG)freeHundredths, (LONGLONG)totalWhole,
        (LONGLONG)totalHundredths, info->vendorId, info->productId, info->productRevision, info->serialNumber,
        info->instanceId, info->enumerator, info->friendlyName, info->hardwareId, info->description);
    if (!NT_SUCCESS(status)) {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: RtlStringCbPrintfW failed: %x\n", (ULONG)status);
        return;
    }
    KX_TRACE(KX_DBG_INFO, "%s:%s: %S\n", report);

    // The DOS name as a terminated text for the record's extra field.
    WCHAR dosName[64];
    const ULONG nameChars = KxMinUlong(context->name.Length / sizeof(WCHAR), KX_COUNTOF(dosName) - 1);
    for (ULONG i = 0; i < nameChars; ++i) {
        dosName[i] = context->name.Buffer[i];
    }
    dosName[nameChars] = 0;
    SetConnectLog(fltObjects, volumeDeviceType, (ULONG)volumeFilesystemType, 0, dosName, WSTR("System"), report);
}

}  // namespace

ULONGLONG KxVolumeBytes(ULONGLONG units, ULONG sectorsPerUnit, ULONG bytesPerSector) {
    const ULONGLONG perUnit = (ULONGLONG)sectorsPerUnit * bytesPerSector;  // cannot overflow: 32 x 32 bits
    if (perUnit != 0 && units > KxMaxBytes / perUnit) {
        return KxMaxBytes;
    }
    return units * perUnit;
}

void KxBytesToGiB(ULONGLONG bytes, ULONGLONG* whole, ULONGLONG* hundredths) {
    *whole = bytes / KxGiB;
    *hundredths = (bytes % KxGiB) * 100 / KxGiB;
}

void SafeSetVolumContextParam(PCHAR destination, ULONG size, const UCHAR* descriptor, ULONG offset) {
    if (offset == 0 || offset >= size) {
        destination[0] = 0;
        return;
    }
    ULONG copied = 0;
    while (copied < KX_VOLUME_ID_MAX_COPY && offset + copied < size && descriptor[offset + copied] != 0) {
        destination[copied] = RtlUpperChar((CHAR)descriptor[offset + copied]);
        ++copied;
    }
    destination[copied] = 0;
    KX_TRACE(KX_DBG_INFO, "%s:%s: Copied Length(%d), Content(%s)\n", copied, destination);
}

NTSTATUS GetVolumeDeviceInfo(PDEVICE_OBJECT diskDevice, VOLUME_DEVICE_INFO* info) {
    PAGED_CODE();
    PDEVICE_OBJECT bottom = IoGetDeviceAttachmentBaseRef(diskDevice);
    if (bottom == NULL) {
        return STATUS_NO_SUCH_DEVICE;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(diskDevice);
    if (top == NULL) {
        ObDereferenceObject(bottom);
        return STATUS_NO_SUCH_DEVICE;
    }
    ReadDeviceProperty(bottom, DevicePropertyFriendlyName, info->friendlyName);
    ReadDeviceProperty(bottom, DevicePropertyDeviceDescription, info->description);
    ReadDeviceProperty(bottom, DevicePropertyHardwareID, info->hardwareId);
    ReadDeviceProperty(bottom, DevicePropertyEnumeratorName, info->enumerator);
    ReadInstanceId(bottom, info->instanceId);
    // A disk that cannot describe itself still has its properties.
    (void)QueryStorageDescriptor(top, info);
    ObDereferenceObject(top);
    ObDereferenceObject(bottom);
    return STATUS_SUCCESS;
}

NTSTATUS Kx4GrdInstanceSetup(PCFLT_RELATED_OBJECTS fltObjects, FLT_INSTANCE_SETUP_FLAGS flags,
                             DEVICE_TYPE volumeDeviceType, FLT_FILESYSTEM_TYPE volumeFilesystemType) {
    UNREFERENCED_PARAMETER(flags);
    PAGED_CODE();
    // Network file systems and volumes that are not disk file systems are attached
    // without a context: the classifier needs no disk identity for them.
    if (volumeFilesystemType == FLT_FSTYPE_UNKNOWN || volumeFilesystemType == FLT_FSTYPE_LANMAN ||
        volumeFilesystemType == FLT_FSTYPE_WEBDAV || volumeDeviceType != FILE_DEVICE_DISK_FILE_SYSTEM) {
        return STATUS_SUCCESS;
    }

    VOLUME_CONTEXT* context = NULL;
    NTSTATUS status = FltAllocateContext(fltObjects->Filter, FLT_VOLUME_CONTEXT, sizeof(VOLUME_CONTEXT),
                                         NonPagedPoolNx, reinterpret_cast<PFLT_CONTEXT*>(&context));
    if (!NT_SUCCESS(status)) {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: FltAllocateContext Failed %x\n", (ULONG)status);
        return status;
    }
    RtlZeroMemory(context, sizeof(VOLUME_CONTEXT));

    VOLUME_DEVICE_INFO* info =
        static_cast<VOLUME_DEVICE_INFO*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(VOLUME_DEVICE_INFO),
                                                         KX_TAG_VOLUME_INFO));
    if (info == NULL) {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: alloc fail\n");
    } else {
        RtlZeroMemory(info, sizeof(VOLUME_DEVICE_INFO));
        PDEVICE_OBJECT disk = NULL;
        status = FltGetDiskDeviceObject(fltObjects->Volume, &disk);
        if (NT_SUCCESS(status) && disk != NULL) {
            context->deviceType = disk->DeviceType;
            (void)GetVolumeDeviceInfo(disk, info);
            context->busType = info->busType;
            CopyIdentityString(context->vendorId, info->vendorId, sizeof(info->vendorId));
            CopyIdentityString(context->productId, info->productId, sizeof(info->productId));
            CopyIdentityString(context->productRevision, info->productRevision, sizeof(info->productRevision));
            CopyIdentityString(context->serialNumber, info->serialNumber, sizeof(info->serialNumber));

            status = RtlVolumeDeviceToDosName(disk, &context->name);
            ObDereferenceObject(disk);
            if (NT_SUCCESS(status) && context->name.Buffer != NULL) {
                ReportVolume(fltObjects, context, info, volumeDeviceType, volumeFilesystemType);
            } else {
                RtlZeroMemory(&context->name, sizeof(context->name));
            }
        }
    }

    // An instance set up again keeps the context its volume already has; this one
    // then goes with the reference released below.
    (void)FltSetVolumeContext(fltObjects->Volume, FLT_SET_CONTEXT_KEEP_IF_EXISTS, context, NULL);
    if (info != NULL) {
        ExFreePoolWithTag(info, KX_TAG_VOLUME_INFO);
    }
    FltReleaseContext(context);
    return STATUS_SUCCESS;
}

NTSTATUS Kx4GrdInstanceQueryTeardown(PCFLT_RELATED_OBJECTS fltObjects, FLT_INSTANCE_QUERY_TEARDOWN_FLAGS flags) {
    UNREFERENCED_PARAMETER(fltObjects);
    UNREFERENCED_PARAMETER(flags);
    PAGED_CODE();
    KX_TRACE(KX_DBG_INFO, "%s:%s: tqnpvx!tqnpvxInstanceQueryTeardown: Entered\n");
    return STATUS_SUCCESS;
}

void Kx4GrdCleanupVolumeContext(PFLT_CONTEXT context, FLT_CONTEXT_TYPE contextType) {
    PAGED_CODE();
    if (contextType != FLT_VOLUME_CONTEXT || context == NULL || !MmIsAddressValid(context)) {
        return;
    }
    VOLUME_CONTEXT* volume = static_cast<VOLUME_CONTEXT*>(context);
    if (volume->name.Buffer == NULL || !MmIsAddressValid(volume->name.Buffer)) {
        return;
    }
    // The last reference may go at APC_LEVEL, where wide text cannot be formatted.
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        KX_TRACE(KX_DBG_INFO, "%s:%s: ctx->name(%S)\n", volume->name.Buffer);
    }
    ExFreePool(volume->name.Buffer);
    volume->name.Buffer = NULL;
}
