// The WDK declarations that the Windows compile check's header set lacks.
//
// The check compiles the driver with mingw-w64's g++ against mingw-w64's DDK
// headers (ntifs.h, wdm.h, ntstrsafe.h) and Wine's ddk/fltkernel.h, which cover
// most of what the driver uses. What they miss is declared here, each from the
// signature or definition that Microsoft documents for the WDK, and nothing else:
// a build with the real WDK includes <fltKernel.h> and <ntstrsafe.h> directly and
// never sees this file. Included only by platform/km.h.
#pragma once

#if !defined(__MINGW32__)
#error "wdk_gaps.h completes mingw-w64's DDK headers; the WDK needs no gaps filled"
#endif

// mingw-w64's wdm.h defines these two as static inline functions while its
// intrin-impl.h has already declared them extern inline, which C++ rejects; the
// wdm.h definitions are the ones kept.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

#include <ntifs.h>

// ---------------------------------------------------------------- needed by fltkernel.h

// ntifs.h: the output of an AcquireForSectionSynchronization callback.
typedef struct _FS_FILTER_SECTION_SYNC_OUTPUT {
    ULONG StructureSize;
    ULONG SizeReturned;
    ULONG Flags;
    ULONG DesiredReadAlignment;
} FS_FILTER_SECTION_SYNC_OUTPUT, *PFS_FILTER_SECTION_SYNC_OUTPUT;

#include <fltKernel.h>
#include <ntstrsafe.h>
#include <ntddstor.h>
#include <devpkey.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#ifdef __cplusplus
extern "C" {
#endif

// fltKernel.h's calling convention of its routines and callbacks (NTAPI), and
// wdm.h's mark of an allocator's fresh memory (GCC's spelling of it).
#ifndef FLTAPI
#define FLTAPI NTAPI
#endif
#ifndef DECLSPEC_RESTRICT
#define DECLSPEC_RESTRICT __attribute__((__malloc__))
#endif

// sal.h and driverspecs.h annotations that mingw-w64's copies lack; only the
// code-analysis tools read them, so every compiler build sees them empty.
// fltKernel.h: the annotation of a pre-operation callback's completion context.
#ifndef _Flt_CompletionContext_Outptr_
#define _Flt_CompletionContext_Outptr_
#endif
#ifndef _Dispatch_type_
#define _Dispatch_type_(x)
#endif
#ifndef _Frees_ptr_
#define _Frees_ptr_
#endif
#ifndef _Frees_ptr_opt_
#define _Frees_ptr_opt_
#endif
#ifndef _IRQL_always_function_max_
#define _IRQL_always_function_max_(irql)
#endif
#ifndef _IRQL_always_function_min_
#define _IRQL_always_function_min_(irql)
#endif
#ifndef _IRQL_restores_global_
#define _IRQL_restores_global_(kind, param)
#endif
#ifndef _IRQL_saves_global_
#define _IRQL_saves_global_(kind, param)
#endif
#ifndef _IRQL_uses_cancel_
#define _IRQL_uses_cancel_
#endif
#ifndef _Kernel_acquires_resource_
#define _Kernel_acquires_resource_(kind)
#endif
#ifndef _Kernel_clear_do_init_
#define _Kernel_clear_do_init_(yesNo)
#endif
#ifndef _Kernel_float_restored_
#define _Kernel_float_restored_
#endif
#ifndef _Kernel_float_saved_
#define _Kernel_float_saved_
#endif
#ifndef _Kernel_releases_resource_
#define _Kernel_releases_resource_(kind)
#endif
#ifndef _Kernel_requires_resource_held_
#define _Kernel_requires_resource_held_(kind)
#endif
#ifndef _Maybenull_
#define _Maybenull_
#endif
#ifndef _Notnull_
#define _Notnull_
#endif
#ifndef _Post_invalid_
#define _Post_invalid_
#endif
#ifndef _Post_ptr_invalid_
#define _Post_ptr_invalid_
#endif
#ifndef _Pre_
#define _Pre_
#endif
#ifndef _Pre_maybenull_
#define _Pre_maybenull_
#endif

// ---------------------------------------------------------------- wdm.h: volatile accessors
// Single loads and stores of shared values; on x64 a plain access is already
// ordered, so only the compiler must not reorder around the acquire/release forms.
FORCEINLINE LONG ReadNoFence(_In_ LONG const volatile* Source) { return *Source; }
FORCEINLINE VOID WriteNoFence(_Out_ LONG volatile* Destination, _In_ LONG Value) { *Destination = Value; }
FORCEINLINE LONG ReadAcquire(_In_ LONG const volatile* Source) {
    LONG value = *Source;
    __asm__ __volatile__("" ::: "memory");
    return value;
}
FORCEINLINE VOID WriteRelease(_Out_ LONG volatile* Destination, _In_ LONG Value) {
    __asm__ __volatile__("" ::: "memory");
    *Destination = Value;
}
FORCEINLINE LONG64 ReadAcquire64(_In_ LONG64 const volatile* Source) {
    LONG64 value = *Source;
    __asm__ __volatile__("" ::: "memory");
    return value;
}
FORCEINLINE VOID WriteRelease64(_Out_ LONG64 volatile* Destination, _In_ LONG64 Value) {
    __asm__ __volatile__("" ::: "memory");
    *Destination = Value;
}

// ---------------------------------------------------------------- wdm.h: pool (Windows 10 2004)
typedef ULONG64 POOL_FLAGS;
#define POOL_FLAG_REQUIRED_START 0x0000000000000001ULL
#define POOL_FLAG_USE_QUOTA 0x0000000000000001ULL
#define POOL_FLAG_UNINITIALIZED 0x0000000000000002ULL
#define POOL_FLAG_SESSION 0x0000000000000004ULL
#define POOL_FLAG_CACHE_ALIGNED 0x0000000000000008ULL
#define POOL_FLAG_RAISE_ON_FAILURE 0x0000000000000020ULL
#define POOL_FLAG_NON_PAGED 0x0000000000000040ULL
#define POOL_FLAG_NON_PAGED_EXECUTE 0x0000000000000080ULL
#define POOL_FLAG_PAGED 0x0000000000000100ULL

DECLSPEC_RESTRICT PVOID NTAPI ExAllocatePool2(_In_ POOL_FLAGS Flags, _In_ SIZE_T NumberOfBytes, _In_ ULONG Tag);

// ---------------------------------------------------------------- wdm.h: time (Windows 8)
VOID NTAPI KeQuerySystemTimePrecise(_Out_ PLARGE_INTEGER CurrentTime);

// ---------------------------------------------------------------- wdm.h: driver registry keys (Windows 10 2004)
typedef enum _DRIVER_REGKEY_TYPE {
    DriverRegKeyParameters,
    DriverRegKeyPersistentState,
    DriverRegKeySharedPersistentState
} DRIVER_REGKEY_TYPE, *PDRIVER_REGKEY_TYPE;

NTSTATUS NTAPI IoOpenDriverRegistryKey(_In_ PDRIVER_OBJECT DriverObject, _In_ DRIVER_REGKEY_TYPE RegKeyType,
                                       _In_ ACCESS_MASK DesiredAccess, _In_ ULONG Flags,
                                       _Out_ PHANDLE DriverRegKey);

// ---------------------------------------------------------------- wdm.h: registry callback key names (Windows 8)
NTSTATUS NTAPI CmCallbackGetKeyObjectIDEx(_In_ PLARGE_INTEGER Cookie, _In_ PVOID Object,
                                          _Out_opt_ PULONG_PTR ObjectID, _Outptr_opt_ PCUNICODE_STRING* ObjectName,
                                          _In_ ULONG Flags);
VOID NTAPI CmCallbackReleaseKeyObjectIDEx(_In_ PCUNICODE_STRING ObjectName);

// ---------------------------------------------------------------- wdm.h: transactions
typedef struct _KTRANSACTION* PKTRANSACTION;

// ---------------------------------------------------------------- fltKernel.h: objects and constants
typedef struct _FLT_VOLUME* PFLT_VOLUME;
typedef struct _FLT_PORT* PFLT_PORT;

#define FLT_CONTEXT_END 0xffff
#define IRP_MJ_OPERATION_END ((UCHAR)0x80)

#define FLT_REGISTRATION_VERSION_0200 0x0200
#define FLT_REGISTRATION_VERSION_0201 0x0201
#define FLT_REGISTRATION_VERSION_0202 0x0202
#define FLT_REGISTRATION_VERSION_0203 0x0203
#define FLT_REGISTRATION_VERSION FLT_REGISTRATION_VERSION_0203

#define FLTFL_CALLBACK_DATA_REISSUE_MASK 0x0000FFFF
#define FLTFL_CALLBACK_DATA_IRP_OPERATION 0x00000001
#define FLTFL_CALLBACK_DATA_FAST_IO_OPERATION 0x00000002
#define FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION 0x00000004
#define FLTFL_CALLBACK_DATA_SYSTEM_BUFFER 0x00000008
#define FLTFL_CALLBACK_DATA_GENERATED_IO 0x00010000
#define FLTFL_CALLBACK_DATA_REISSUED_IO 0x00020000
#define FLTFL_CALLBACK_DATA_DRAINING_IO 0x00040000
#define FLTFL_CALLBACK_DATA_POST_OPERATION 0x00080000
#define FLTFL_CALLBACK_DATA_NEW_SYSTEM_BUFFER 0x00100000
#define FLTFL_CALLBACK_DATA_DIRTY 0x80000000

#define FLTFL_POST_OPERATION_DRAINING 0x00000001
#define FLTFL_FILTER_UNLOAD_MANDATORY 0x00000001
#define FLTFL_INSTANCE_SETUP_AUTOMATIC_ATTACHMENT 0x00000001
#define FLTFL_INSTANCE_SETUP_MANUAL_ATTACHMENT 0x00000002
#define FLTFL_INSTANCE_SETUP_NEWLY_MOUNTED_VOLUME 0x00000004
#define FLTFL_INSTANCE_SETUP_DETACHED_VOLUME 0x00000008

// ---------------------------------------------------------------- fltKernel.h: related objects
typedef struct _FLT_RELATED_OBJECTS {
    USHORT CONST Size;
    USHORT CONST TransactionContext;
    PFLT_FILTER CONST Filter;
    PFLT_VOLUME CONST Volume;
    PFLT_INSTANCE CONST Instance;
    PFILE_OBJECT CONST FileObject;
    PKTRANSACTION CONST Transaction;
} FLT_RELATED_OBJECTS, *PFLT_RELATED_OBJECTS;

// ---------------------------------------------------------------- fltKernel.h: communication ports
#define FLT_PORT_CONNECT 0x0001
#define FLT_PORT_ALL_ACCESS (FLT_PORT_CONNECT | STANDARD_RIGHTS_ALL)

typedef NTSTATUS(FLTAPI* PFLT_CONNECT_NOTIFY)(_In_ PFLT_PORT ClientPort, _In_opt_ PVOID ServerPortCookie,
                                              _In_reads_bytes_opt_(SizeOfContext) PVOID ConnectionContext,
                                              _In_ ULONG SizeOfContext,
                                              _Outptr_result_maybenull_ PVOID* ConnectionPortCookie);
typedef VOID(FLTAPI* PFLT_DISCONNECT_NOTIFY)(_In_opt_ PVOID ConnectionCookie);
typedef NTSTATUS(FLTAPI* PFLT_MESSAGE_NOTIFY)(_In_opt_ PVOID PortCookie,
                                              _In_reads_bytes_opt_(InputBufferLength) PVOID InputBuffer,
                                              _In_ ULONG InputBufferLength,
                                              _Out_writes_bytes_to_opt_(OutputBufferLength, *ReturnOutputBufferLength)
                                                  PVOID OutputBuffer,
                                              _In_ ULONG OutputBufferLength, _Out_ PULONG ReturnOutputBufferLength);

NTSTATUS FLTAPI FltBuildDefaultSecurityDescriptor(_Outptr_ PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                  _In_ ACCESS_MASK DesiredAccess);
VOID FLTAPI FltFreeSecurityDescriptor(_In_ PSECURITY_DESCRIPTOR SecurityDescriptor);
NTSTATUS FLTAPI FltCreateCommunicationPort(_In_ PFLT_FILTER Filter, _Outptr_ PFLT_PORT* ServerPort,
                                           _In_ POBJECT_ATTRIBUTES ObjectAttributes,
                                           _In_opt_ PVOID ServerPortCookie,
                                           _In_ PFLT_CONNECT_NOTIFY ConnectNotifyCallback,
                                           _In_ PFLT_DISCONNECT_NOTIFY DisconnectNotifyCallback,
                                           _In_opt_ PFLT_MESSAGE_NOTIFY MessageNotifyCallback,
                                           _In_ LONG MaxConnections);
VOID FLTAPI FltCloseCommunicationPort(_In_ PFLT_PORT ServerPort);
VOID FLTAPI FltCloseClientPort(_In_ PFLT_FILTER Filter, _Outptr_result_maybenull_ PFLT_PORT* ClientPort);

// ---------------------------------------------------------------- fltKernel.h: files
NTSTATUS FLTAPI FltCreateFile(_In_ PFLT_FILTER Filter, _In_opt_ PFLT_INSTANCE Instance, _Out_ PHANDLE FileHandle,
                              _In_ ACCESS_MASK DesiredAccess, _In_ POBJECT_ATTRIBUTES ObjectAttributes,
                              _Out_ PIO_STATUS_BLOCK IoStatusBlock, _In_opt_ PLARGE_INTEGER AllocationSize,
                              _In_ ULONG FileAttributes, _In_ ULONG ShareAccess, _In_ ULONG CreateDisposition,
                              _In_ ULONG CreateOptions, _In_reads_bytes_opt_(EaLength) PVOID EaBuffer,
                              _In_ ULONG EaLength, _In_ ULONG Flags);
NTSTATUS FLTAPI FltClose(_In_ HANDLE FileHandle);

// ---------------------------------------------------------------- fltKernel.h: name information
#define FLT_FILE_NAME_NORMALIZED 0x01
#define FLT_FILE_NAME_OPENED 0x02
#define FLT_FILE_NAME_SHORT 0x03
#define FLT_FILE_NAME_QUERY_DEFAULT 0x0100
#define FLT_FILE_NAME_QUERY_CACHE_ONLY 0x0200
#define FLT_FILE_NAME_QUERY_FILESYSTEM_ONLY 0x0300
#define FLT_FILE_NAME_QUERY_ALWAYS_ALLOW_CACHE_LOOKUP 0x0400

typedef USHORT FLT_FILE_NAME_PARSED_FLAGS;
typedef struct _FLT_FILE_NAME_INFORMATION {
    USHORT Size;
    FLT_FILE_NAME_PARSED_FLAGS NamesParsed;
    FLT_FILE_NAME_OPTIONS Format;
    UNICODE_STRING Name;
    UNICODE_STRING Volume;
    UNICODE_STRING Share;
    UNICODE_STRING Extension;
    UNICODE_STRING Stream;
    UNICODE_STRING FinalComponent;
    UNICODE_STRING ParentDir;
} FLT_FILE_NAME_INFORMATION, *PFLT_FILE_NAME_INFORMATION;

NTSTATUS FLTAPI FltGetFileNameInformation(_In_ PFLT_CALLBACK_DATA CallbackData,
                                          _In_ FLT_FILE_NAME_OPTIONS NameOptions,
                                          _Outptr_ PFLT_FILE_NAME_INFORMATION* FileNameInformation);
NTSTATUS FLTAPI FltParseFileNameInformation(_Inout_ PFLT_FILE_NAME_INFORMATION FileNameInformation);
VOID FLTAPI FltReleaseFileNameInformation(_In_ PFLT_FILE_NAME_INFORMATION FileNameInformation);

// ---------------------------------------------------------------- fltKernel.h: contexts
typedef enum _FLT_SET_CONTEXT_OPERATION {
    FLT_SET_CONTEXT_REPLACE_IF_EXISTS,
    FLT_SET_CONTEXT_KEEP_IF_EXISTS
} FLT_SET_CONTEXT_OPERATION, *PFLT_SET_CONTEXT_OPERATION;

NTSTATUS FLTAPI FltAllocateContext(_In_ PFLT_FILTER Filter, _In_ FLT_CONTEXT_TYPE ContextType,
                                   _In_ SIZE_T ContextSize, _In_ POOL_TYPE PoolType,
                                   _Outptr_ PFLT_CONTEXT* ReturnedContext);
NTSTATUS FLTAPI FltSetVolumeContext(_In_ PFLT_VOLUME Volume, _In_ FLT_SET_CONTEXT_OPERATION Operation,
                                    _In_ PFLT_CONTEXT NewContext, _Outptr_opt_result_maybenull_ PFLT_CONTEXT* OldContext);
NTSTATUS FLTAPI FltGetVolumeContext(_In_ PFLT_FILTER Filter, _In_ PFLT_VOLUME Volume,
                                    _Outptr_ PFLT_CONTEXT* Context);
VOID FLTAPI FltReleaseContext(_In_ PFLT_CONTEXT Context);

// ---------------------------------------------------------------- fltKernel.h: volumes
NTSTATUS FLTAPI FltGetDiskDeviceObject(_In_ PFLT_VOLUME Volume, _Outptr_ PDEVICE_OBJECT* DiskDeviceObject);
NTSTATUS FLTAPI FltQueryVolumeInformation(_In_ PFLT_INSTANCE Instance, _Out_opt_ PIO_STATUS_BLOCK Iosb,
                                          _Out_writes_bytes_(Length) PVOID FsInformation, _In_ ULONG Length,
                                          _In_ FS_INFORMATION_CLASS FsInformationClass);

// ---------------------------------------------------------------- ntddk.h: process access rights
// The WDK's ntddk.h defines the process-specific access rights; mingw-w64 keeps
// them in the user-mode winnt.h only. Values as Microsoft documents them.
#ifndef PROCESS_TERMINATE
#define PROCESS_TERMINATE (0x0001)
#endif
#ifndef PROCESS_CREATE_THREAD
#define PROCESS_CREATE_THREAD (0x0002)
#endif
#ifndef PROCESS_VM_READ
#define PROCESS_VM_READ (0x0010)
#endif
#ifndef PROCESS_SUSPEND_RESUME
#define PROCESS_SUSPEND_RESUME (0x0800)
#endif

// ---------------------------------------------------------------- wdm.h: mapping flags (Windows 8)
// Since Windows 8 the priority of a system mapping is a ULONG that may carry these
// flags besides the MM_PAGE_PRIORITY value; mingw-w64 still types it as the enum,
// so its macro is redefined to hand the combined value through.
#ifndef MdlMappingNoWrite
#define MdlMappingNoWrite 0x80000000
#endif
#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#endif
FORCEINLINE PVOID WdkGapGetSystemAddressForMdlSafe(_In_ PMDL Mdl, _In_ ULONG Priority) {
    if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return Mdl->MappedSystemVa;
    return MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, NULL, FALSE, (MM_PAGE_PRIORITY)Priority);
}
#undef MmGetSystemAddressForMdlSafe
#define MmGetSystemAddressForMdlSafe(_Mdl, _Priority) WdkGapGetSystemAddressForMdlSafe((_Mdl), (ULONG)(_Priority))

// ---------------------------------------------------------------- ntifs.h: the driver object type
// Exported by the kernel for ObReferenceObjectByName lookups of "\Driver\..." names;
// mingw-w64 declares the file object type but not this one.
extern POBJECT_TYPE* IoDriverObjectType;

#ifdef __cplusplus
}
#endif
