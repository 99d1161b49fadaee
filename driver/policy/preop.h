// The file-system operation callbacks registered with the filter manager.
//
// IRQL: the pre-operation callbacks of the registered operations run at
// PASSIVE_LEVEL in the requesting thread (create, set-information, cleanup and
// close) or at or below APC_LEVEL (read, write); they take no lock of their own.
#pragma once

#include "driver/core/globals.h"

_IRQL_requires_max_(APC_LEVEL)
FLT_PREOP_CALLBACK_STATUS Kx4GrdPreOperation(_Inout_ PFLT_CALLBACK_DATA data, _In_ PCFLT_RELATED_OBJECTS fltObjects,
                                             _Flt_CompletionContext_Outptr_ PVOID* completionContext);
_IRQL_requires_max_(APC_LEVEL)
FLT_PREOP_CALLBACK_STATUS Kx4GrdPreRead(_Inout_ PFLT_CALLBACK_DATA data, _In_ PCFLT_RELATED_OBJECTS fltObjects,
                                        _Flt_CompletionContext_Outptr_ PVOID* completionContext);
_IRQL_requires_max_(DISPATCH_LEVEL)
FLT_POSTOP_CALLBACK_STATUS Kx4GrdPostOperation(_Inout_ PFLT_CALLBACK_DATA data, _In_ PCFLT_RELATED_OBJECTS fltObjects,
                                               _In_opt_ PVOID completionContext, _In_ FLT_POST_OPERATION_FLAGS flags);
