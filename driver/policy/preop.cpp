// File-system pre-operation callbacks.
//
// The filter registers its callbacks from the start so that the registration
// record keeps its final shape; until the device policy is enforced on requests
// every request passes on untouched.
#include "driver/policy/preop.h"

FLT_PREOP_CALLBACK_STATUS Kx4GrdPreOperation(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects,
                                             PVOID* completionContext) {
    UNREFERENCED_PARAMETER(data);
    UNREFERENCED_PARAMETER(fltObjects);
    UNREFERENCED_PARAMETER(completionContext);
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

FLT_PREOP_CALLBACK_STATUS Kx4GrdPreRead(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects,
                                        PVOID* completionContext) {
    UNREFERENCED_PARAMETER(data);
    UNREFERENCED_PARAMETER(fltObjects);
    UNREFERENCED_PARAMETER(completionContext);
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

FLT_POSTOP_CALLBACK_STATUS Kx4GrdPostOperation(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects,
                                               PVOID completionContext, FLT_POST_OPERATION_FLAGS flags) {
    UNREFERENCED_PARAMETER(data);
    UNREFERENCED_PARAMETER(fltObjects);
    UNREFERENCED_PARAMETER(completionContext);
    UNREFERENCED_PARAMETER(flags);
    return FLT_POSTOP_FINISHED_PROCESSING;
}
