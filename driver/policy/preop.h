// The file-system operation callbacks registered with the filter manager.
//
// IRQL: the pre-operation callbacks of the registered operations run at
// PASSIVE_LEVEL in the requesting thread (create, set-information, cleanup and
// close) or at or below APC_LEVEL (read, write); they take no lock of their own.
#pragma once

#include "driver/core/globals.h"

FLT_PREOP_CALLBACK_STATUS Kx4GrdPreOperation(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects,
                                             PVOID* completionContext);
FLT_PREOP_CALLBACK_STATUS Kx4GrdPreRead(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects,
                                        PVOID* completionContext);
FLT_POSTOP_CALLBACK_STATUS Kx4GrdPostOperation(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects,
                                               PVOID completionContext, FLT_POST_OPERATION_FLAGS flags);
