// The per-volume context: the volume's DOS name and the identity of its disk.
#pragma once

#include "driver/core/kx4grd.h"

#define KX_VOLUME_ID_CHARS 32

struct VOLUME_CONTEXT {
    UNICODE_STRING name;  // DOS name ("C:"); the buffer belongs to the context
    ULONG deviceType;
    ULONG busType;  // STORAGE_BUS_TYPE; 7 is USB
    CHAR vendorId[KX_VOLUME_ID_CHARS];
    CHAR productId[KX_VOLUME_ID_CHARS];
    CHAR productRevision[KX_VOLUME_ID_CHARS];
    CHAR serialNumber[KX_VOLUME_ID_CHARS];
};
