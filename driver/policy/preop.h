// The file-system operation callbacks registered with the filter manager, and the
// deciders they hand requests to.
//
// IRQL: the pre-operation callbacks of the registered operations run in the
// requesting thread at PASSIVE_LEVEL (create, set-information, cleanup and close)
// or at or below APC_LEVEL (read, write). Kx4GrdPreOperation passes anything that
// arrives above PASSIVE_LEVEL at once, so the deciders, which query names, open
// files, print wide text and write event records, always run at PASSIVE_LEVEL.
// Kx4GrdPreRead takes its decision at APC_LEVEL too, but writes its record and its
// trace only at PASSIVE_LEVEL. Nothing here takes a lock of its own; the list
// lookups take their list's lock for the walk.
//
// Resources: a request holds the file name information, a private copy of the
// normalized name and the process image path; every path out of a callback
// releases all three.
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

// Removable and external media, CD-ROM, outgoing network drives and shares.
_IRQL_requires_(PASSIVE_LEVEL)
FLT_PREOP_CALLBACK_STATUS HandleExternalDevicePolicy(_Inout_ PFLT_CALLBACK_DATA data,
                                                     _In_ PCFLT_RELATED_OBJECTS fltObjects,
                                                     _In_ PCUNICODE_STRING fileName, _In_ PCUNICODE_STRING imagePath,
                                                     _In_ ULONG processId, _In_ ULONG deviceType, _In_ ULONG state,
                                                     _In_ ULONG log);
// Protected folders on local disks.
_IRQL_requires_(PASSIVE_LEVEL)
FLT_PREOP_CALLBACK_STATUS HandleLocalDiskPolicy(_Inout_ PFLT_CALLBACK_DATA data, _In_ PCFLT_RELATED_OBJECTS fltObjects,
                                                _In_ PCUNICODE_STRING fileName, _In_ PCUNICODE_STRING imagePath,
                                                _In_ ULONG processId, _In_ ULONG processFlags);
// Files of this machine opened by a remote client.
_IRQL_requires_(PASSIVE_LEVEL)
FLT_PREOP_CALLBACK_STATUS HandleNetWorkInDevicePolicy(_Inout_ PFLT_CALLBACK_DATA data,
                                                      _In_ PCFLT_RELATED_OBJECTS fltObjects, _In_ ULONG deviceType,
                                                      _In_ ULONG state, _In_ ULONG log);
// Whether the file a request names may be used inside a protected folder.
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN Kx4GrdIsFileName(_In_ PFLT_CALLBACK_DATA data, _In_ PCFLT_RELATED_OBJECTS fltObjects,
                         _In_ PCUNICODE_STRING fileName, _In_ ULONG processFlags, _In_ ULONG typeMask);
// Whether a redirector path names a mapped drive (rather than a UNC share).
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN IsMappedDrivePath(_In_z_ PCWSTR path);
// Whether a short image name belongs to a system process exempt from the policy
// of local disks (localDisk) or of every other device class.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN KxIsExemptSystemProcess(_In_z_ PCSTR shortName, _In_ BOOLEAN localDisk);
// The private, terminated copy of a normalized name a request works on: a buffer
// of the name's maximum length plus 12 bytes. A name too long for a counted string
// of that size is refused like an allocation that failed. Free the copy with
// KxFreeUnicodeString.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS KxCopyFileName(_In_ PCUNICODE_STRING name, _Out_ PUNICODE_STRING copy);
