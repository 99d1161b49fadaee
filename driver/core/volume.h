// Filter instances and the per-volume context: the volume's DOS name and the
// identity of its disk.
//
// IRQL: instance setup and teardown run at PASSIVE_LEVEL; the context cleanup
// callback runs at or below APC_LEVEL when the last reference goes.
#pragma once

#include "driver/core/globals.h"

#define KX_VOLUME_ID_CHARS 32
#define KX_TAG_VOLUME_CONTEXT KX_POOL_TAG("vcsc")

struct VOLUME_CONTEXT {
    UNICODE_STRING name;  // DOS name ("C:"); the buffer belongs to the context
    ULONG deviceType;
    ULONG busType;  // STORAGE_BUS_TYPE; 7 is USB
    CHAR vendorId[KX_VOLUME_ID_CHARS];
    CHAR productId[KX_VOLUME_ID_CHARS];
    CHAR productRevision[KX_VOLUME_ID_CHARS];
    CHAR serialNumber[KX_VOLUME_ID_CHARS];
};

NTSTATUS Kx4GrdInstanceSetup(PCFLT_RELATED_OBJECTS fltObjects, FLT_INSTANCE_SETUP_FLAGS flags,
                             DEVICE_TYPE volumeDeviceType, FLT_FILESYSTEM_TYPE volumeFilesystemType);
NTSTATUS Kx4GrdInstanceQueryTeardown(PCFLT_RELATED_OBJECTS fltObjects, FLT_INSTANCE_QUERY_TEARDOWN_FLAGS flags);
void Kx4GrdCleanupVolumeContext(PFLT_CONTEXT context, FLT_CONTEXT_TYPE contextType);
