// Filter instances and the per-volume context: the volume's DOS name and the
// identity of its disk, collected once when the instance is set up, and the
// volume's arrival reported to the event log.
//
// IRQL: instance setup and query-teardown run at PASSIVE_LEVEL (setup waits for
// the disk's answer and formats wide text). The context cleanup callback runs at
// or below APC_LEVEL when the last reference goes; it prints its trace only at
// PASSIVE_LEVEL. No lock: a context is private until FltSetVolumeContext
// publishes it and is never changed afterwards, so readers take none.
#pragma once

#include "driver/core/globals.h"

#define KX_VOLUME_ID_CHARS 32
#define KX_TAG_VOLUME_CONTEXT KX_POOL_TAG("vcsc")
#define KX_TAG_VOLUME_INFO KX_POOL_TAG("vdsc")     // the identity record, freed before setup returns
#define KX_TAG_STORAGE_QUERY KX_POOL_TAG("sqsc")   // the storage descriptor buffer

// Every device property is read into this many bytes (260 wide characters).
#define KX_VOLUME_PROPERTY_BYTES 520
// The storage device descriptor is read into this many bytes.
#define KX_STORAGE_QUERY_BYTES 1024
// Descriptor strings are kept to this many characters (and a terminator).
#define KX_VOLUME_ID_MAX_COPY 31
// The volume report: at most 1023 characters and a terminator.
#define KX_VOLUME_REPORT_BYTES 2048

struct VOLUME_CONTEXT {
    UNICODE_STRING name;  // DOS name ("C:"); the buffer belongs to the context
    ULONG deviceType;
    ULONG busType;  // STORAGE_BUS_TYPE; 7 is USB
    CHAR vendorId[KX_VOLUME_ID_CHARS];
    CHAR productId[KX_VOLUME_ID_CHARS];
    CHAR productRevision[KX_VOLUME_ID_CHARS];
    CHAR serialNumber[KX_VOLUME_ID_CHARS];
};

// What instance setup learns about the disk under a volume; temporary.
struct VOLUME_DEVICE_INFO {
    ULONG busType;
    UCHAR removableMedia;  // kept, not read
    CHAR vendorId[64];
    CHAR productId[64];
    CHAR serialNumber[64];
    CHAR productRevision[32];
    WCHAR friendlyName[260];
    WCHAR description[260];
    WCHAR hardwareId[520];  // only the first 520 bytes are requested: the first entry
    WCHAR enumerator[260];
    WCHAR instanceId[520];
};

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS Kx4GrdInstanceSetup(_In_ PCFLT_RELATED_OBJECTS fltObjects, _In_ FLT_INSTANCE_SETUP_FLAGS flags,
                             _In_ DEVICE_TYPE volumeDeviceType, _In_ FLT_FILESYSTEM_TYPE volumeFilesystemType);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS Kx4GrdInstanceQueryTeardown(_In_ PCFLT_RELATED_OBJECTS fltObjects,
                                     _In_ FLT_INSTANCE_QUERY_TEARDOWN_FLAGS flags);
_IRQL_requires_max_(APC_LEVEL)
void Kx4GrdCleanupVolumeContext(_In_ PFLT_CONTEXT context, _In_ FLT_CONTEXT_TYPE contextType);

// Collects the identity of the disk whose storage device is diskDevice: the
// properties of the bottom of its stack and the storage descriptor from its top.
// STATUS_NO_SUCH_DEVICE when the stack has no bottom or top; otherwise success,
// also when the storage query failed (those fields stay empty).
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS GetVolumeDeviceInfo(_In_ PDEVICE_OBJECT diskDevice, _Inout_ VOLUME_DEVICE_INFO* info);

// Copies the descriptor string at offset into destination (at least 32 bytes),
// upper-cased, at most 31 characters, never reading at or past size bytes of the
// descriptor; an offset of 0 or not below size gives an empty string.
_IRQL_requires_max_(APC_LEVEL)
void SafeSetVolumContextParam(_Out_writes_(KX_VOLUME_ID_CHARS) PCHAR destination, _In_ ULONG size,
                              _In_reads_bytes_(size) const UCHAR* descriptor, _In_ ULONG offset);

// Whole GiB and hundredths (truncated) of a byte count.
void KxBytesToGiB(_In_ ULONGLONG bytes, _Out_ ULONGLONG* whole, _Out_ ULONGLONG* hundredths);
// units x sectors x bytes per sector, unsigned, saturating at the largest value.
ULONGLONG KxVolumeBytes(_In_ ULONGLONG units, _In_ ULONG sectorsPerUnit, _In_ ULONG bytesPerSector);
