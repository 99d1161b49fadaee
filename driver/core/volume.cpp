// Filter instances and volume contexts.
#include "driver/core/volume.h"

NTSTATUS Kx4GrdInstanceSetup(PCFLT_RELATED_OBJECTS fltObjects, FLT_INSTANCE_SETUP_FLAGS flags,
                             DEVICE_TYPE volumeDeviceType, FLT_FILESYSTEM_TYPE volumeFilesystemType) {
    UNREFERENCED_PARAMETER(fltObjects);
    UNREFERENCED_PARAMETER(flags);
    UNREFERENCED_PARAMETER(volumeDeviceType);
    UNREFERENCED_PARAMETER(volumeFilesystemType);
    // Every volume is attached; volumes get no context until device
    // classification collects their identity.
    return STATUS_SUCCESS;
}

NTSTATUS Kx4GrdInstanceQueryTeardown(PCFLT_RELATED_OBJECTS fltObjects, FLT_INSTANCE_QUERY_TEARDOWN_FLAGS flags) {
    UNREFERENCED_PARAMETER(fltObjects);
    UNREFERENCED_PARAMETER(flags);
    KX_TRACE(KX_DBG_INFO, "%s:%s: tqnpvx!tqnpvxInstanceQueryTeardown: Entered\n");
    return STATUS_SUCCESS;
}

void Kx4GrdCleanupVolumeContext(PFLT_CONTEXT context, FLT_CONTEXT_TYPE contextType) {
    UNREFERENCED_PARAMETER(contextType);
    auto* volume = static_cast<VOLUME_CONTEXT*>(context);
    if (volume != NULL && volume->name.Buffer != NULL) {
        ExFreePool(volume->name.Buffer);
        volume->name.Buffer = NULL;
    }
}
