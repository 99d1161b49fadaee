// The kernel platform of the driver: the WDK's names, signatures, constants and
// structure layouts (x64).
//
// On Windows this is the WDK itself: <fltKernel.h> and <ntstrsafe.h>, plus
// wdk_gaps.h for the few WDK declarations that the header sets of the Windows
// compile check (mingw-w64's DDK, Wine's fltkernel.h) lack. Elsewhere it declares
// the subset the driver uses, with the WDK's shapes, and the simulated machine
// (winsim/) implements every routine. Nothing here is the project's own: names
// that belong to the driver live in the driver.
#pragma once

#if defined(_WIN32)

#if defined(__MINGW32__)
// The header set of the Windows compile check: the same two headers, with the
// declarations they lack filled in around them.
#include "platform/wdk_gaps.h"
#else
#include <fltKernel.h>
#include <ntstrsafe.h>
#include <ntddstor.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
// The device property keys are defined (selectany) where they are used.
#include <initguid.h>
#include <devpkey.h>
// Exported by the kernel but left out of the WDK's headers; declared as
// Microsoft's own drivers and samples do.
extern "C" {
extern POBJECT_TYPE* IoDriverObjectType;
NTKERNELAPI NTSTATUS ObReferenceObjectByName(PUNICODE_STRING ObjectName, ULONG Attributes,
                                             PACCESS_STATE AccessState, ACCESS_MASK DesiredAccess,
                                             POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                             PVOID ParseContext, PVOID* Object);
}
#endif
#include "platform/portable.h"

#else  // the simulated machine

#include "nt_types.h"

#define NTAPI
#define FLTAPI
#define CONST const
typedef CHAR CCHAR;
// Members that the WDK aligns to a pointer boundary on 64-bit targets.
#define POINTER_ALIGNMENT __attribute__((aligned(8)))
#define DECLSPEC_CACHEALIGN __attribute__((aligned(64)))

#define UNREFERENCED_PARAMETER(P) ((void)(P))

// SAL 2 and IRQL annotations (sal.h, driverspecs.h). Only the code-analysis tools
// read them; every compiler build sees them empty.
#define _In_
#define _In_opt_
#define _In_z_
#define _In_opt_z_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _Inout_z_
#define _In_reads_(n)
#define _In_reads_opt_(n)
#define _In_reads_bytes_(n)
#define _In_reads_bytes_opt_(n)
#define _Out_writes_(n)
#define _Out_writes_opt_(n)
#define _Out_writes_bytes_(n)
#define _Out_writes_bytes_opt_(n)
#define _Out_writes_bytes_to_(n, c)
#define _Out_writes_bytes_to_opt_(n, c)
#define _Out_writes_z_(n)
#define _Inout_updates_(n)
#define _Inout_updates_bytes_(n)
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_maybenull_
#define _Outptr_opt_result_maybenull_
#define _Outptr_result_buffer_(n)
#define _Deref_out_range_(lo, hi)
#define _Field_size_(n)
#define _Field_size_bytes_(n)
#define _Ret_maybenull_
#define _Post_writable_byte_size_(n)
#define _Success_(expr)
#define _Must_inspect_result_
#define _Check_return_
#define _Printf_format_string_
#define _Reserved_
#define _Pre_
#define _Post_
#define _When_(expr, annotes)
#define _At_(target, annotes)
#define _Analysis_assume_(expr)
#define _Use_decl_annotations_
#define _Function_class_(x)
#define _Dispatch_type_(x)
#define _Flt_CompletionContext_Outptr_
#define _IRQL_requires_(irql)
#define _IRQL_requires_max_(irql)
#define _IRQL_requires_min_(irql)
#define _IRQL_requires_same_
#define _IRQL_raises_(irql)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_saves_global_(kind, param)
#define _IRQL_restores_global_(kind, param)
#define _IRQL_always_function_max_(irql)
#define _IRQL_always_function_min_(irql)
#define _IRQL_uses_cancel_
#define _Requires_lock_held_(lock)
#define _Requires_lock_not_held_(lock)
#define _Acquires_lock_(lock)
#define _Releases_lock_(lock)
#define _Guarded_by_(lock)
#define _Interlocked_
#define _Kernel_requires_resource_held_(kind)
#define _Kernel_acquires_resource_(kind)
#define _Kernel_releases_resource_(kind)
#define _Kernel_float_saved_
#define _Kernel_float_restored_
#define _Kernel_clear_do_init_(yesNo)
#define _Frees_ptr_
#define _Frees_ptr_opt_
#define _Post_invalid_
#define _Post_ptr_invalid_
#define _Pre_notnull_
#define _Pre_maybenull_
#define _Notnull_
#define _Maybenull_

// ---------------------------------------------------------------- IRQL, locks
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

KIRQL KeGetCurrentIrql();
void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql);
void KeLowerIrql(KIRQL newIrql);
KIRQL KeRaiseIrqlToDpcLevel();
void KeInitializeSpinLock(PKSPIN_LOCK lock);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock);
void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql);
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock);
#define KeAcquireSpinLock(lock, oldIrql) (*(oldIrql) = KeAcquireSpinLockRaiseToDpc(lock))

// Assertion failures are reported, as a checked build of Windows does; the
// simulated machine records each one as a verifier violation.
void RtlAssert(PVOID voidFailedAssertion, PVOID voidFileName, ULONG lineNumber, PSTR mutableMessage);
#define NT_ASSERT(exp) \
    ((void)((exp) ? 0 : (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, NULL), 0)))
#define ASSERT(exp) NT_ASSERT(exp)
// Marks a routine that may be paged: it must run at or below APC_LEVEL.
#define PAGED_CODE()                                                                                 \
    ((void)(KeGetCurrentIrql() <= APC_LEVEL                                                          \
                ? 0                                                                                  \
                : (RtlAssert((PVOID) "PAGED_CODE: KeGetCurrentIrql() <= APC_LEVEL", (PVOID)__FILE__, \
                             __LINE__, (PSTR)__func__),                                              \
                   0)))

// ---------------------------------------------------------------- bug check
[[noreturn]] void KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4);

// ---------------------------------------------------------------- debug output
#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
// Formats with the Windows rules ("%S"/"%ws"/"%ls" wide text, "%hs" narrow text,
// "%wZ" a counted wide string), so no compiler format checking applies.
ULONG DbgPrintEx(ULONG componentId, ULONG level, PCSTR format, ...);
ULONG DbgPrint(PCSTR format, ...);

// ---------------------------------------------------------------- memory
typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 } POOL_TYPE;
typedef ULONG64 POOL_FLAGS;
#define POOL_FLAG_NON_PAGED 0x0000000000000040ULL
#define POOL_FLAG_PAGED 0x0000000000000100ULL
#define POOL_FLAG_UNINITIALIZED 0x0000000000000002ULL

// ExAllocatePool2 zero-fills unless POOL_FLAG_UNINITIALIZED is given; both return
// NULL on failure.
PVOID ExAllocatePool2(POOL_FLAGS flags, SIZE_T numberOfBytes, ULONG tag);
PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag);
void ExFreePoolWithTag(PVOID p, ULONG tag);
void ExFreePool(PVOID p);

inline void RtlZeroMemory(void* d, SIZE_T n) { __builtin_memset(d, 0, n); }
inline void RtlFillMemory(void* d, SIZE_T n, UCHAR v) { __builtin_memset(d, v, n); }
inline void RtlCopyMemory(void* d, const void* s, SIZE_T n) { __builtin_memcpy(d, s, n); }
inline void RtlMoveMemory(void* d, const void* s, SIZE_T n) { __builtin_memmove(d, s, n); }
SIZE_T RtlCompareMemory(const void* a, const void* b, SIZE_T length);  // bytes that match
inline BOOLEAN RtlEqualMemory(const void* a, const void* b, SIZE_T n) { return __builtin_memcmp(a, b, n) == 0; }

// Caller-buffer validation: raise STATUS_ACCESS_VIOLATION (or
// STATUS_DATATYPE_MISALIGNMENT) through the SEH pair when the range is not
// accessible to the caller. A zero length never raises.
void ProbeForRead(const volatile void* address, SIZE_T length, ULONG alignment);
void ProbeForWrite(volatile void* address, SIZE_T length, ULONG alignment);
BOOLEAN MmIsAddressValid(PVOID virtualAddress);

// ---------------------------------------------------------------- lookaside lists
typedef PVOID (*PALLOCATE_FUNCTION)(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag);
typedef void (*PFREE_FUNCTION)(PVOID buffer);
typedef struct DECLSPEC_CACHEALIGN _NPAGED_LOOKASIDE_LIST {
    // Opaque to the driver; sized and aligned like the real one (128 bytes on a
    // cache-line boundary).
    UCHAR Opaque[128];
} NPAGED_LOOKASIDE_LIST, *PNPAGED_LOOKASIDE_LIST;
void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PALLOCATE_FUNCTION allocate,
                                     PFREE_FUNCTION free, ULONG flags, SIZE_T size, ULONG tag, USHORT depth);
void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside);
PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside);
void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PVOID entry);

// ---------------------------------------------------------------- rundown protection
// Lets a teardown wait until every user that got in has left, and keeps later ones
// out. The count is private to the machine; drivers only pass the structure.
typedef struct _EX_RUNDOWN_REF {
    union {
        ULONG_PTR Count;
        PVOID Ptr;
    };
} EX_RUNDOWN_REF, *PEX_RUNDOWN_REF;
void ExInitializeRundownProtection(PEX_RUNDOWN_REF runRef);
void ExReInitializeRundownProtection(PEX_RUNDOWN_REF runRef);
BOOLEAN ExAcquireRundownProtection(PEX_RUNDOWN_REF runRef);
void ExReleaseRundownProtection(PEX_RUNDOWN_REF runRef);
void ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF runRef);
void ExRundownCompleted(PEX_RUNDOWN_REF runRef);

// ---------------------------------------------------------------- AVL generic tables
typedef enum _RTL_GENERIC_COMPARE_RESULTS {
    GenericLessThan,
    GenericGreaterThan,
    GenericEqual
} RTL_GENERIC_COMPARE_RESULTS;
typedef struct _RTL_BALANCED_LINKS {
    struct _RTL_BALANCED_LINKS* Parent;
    struct _RTL_BALANCED_LINKS* LeftChild;
    struct _RTL_BALANCED_LINKS* RightChild;
    CHAR Balance;
    UCHAR Reserved[3];
} RTL_BALANCED_LINKS, *PRTL_BALANCED_LINKS;
struct _RTL_AVL_TABLE;
typedef RTL_GENERIC_COMPARE_RESULTS (*PRTL_AVL_COMPARE_ROUTINE)(struct _RTL_AVL_TABLE* table, PVOID first,
                                                                PVOID second);
typedef PVOID (*PRTL_AVL_ALLOCATE_ROUTINE)(struct _RTL_AVL_TABLE* table, ULONG byteSize);
typedef void (*PRTL_AVL_FREE_ROUTINE)(struct _RTL_AVL_TABLE* table, PVOID buffer);
typedef struct _RTL_AVL_TABLE {
    RTL_BALANCED_LINKS BalancedRoot;
    PVOID OrderedPointer;
    ULONG WhichOrderedElement;
    ULONG NumberGenericTableElements;
    ULONG DepthOfTree;
    PRTL_BALANCED_LINKS RestartKey;
    ULONG DeleteCount;
    PRTL_AVL_COMPARE_ROUTINE CompareRoutine;
    PRTL_AVL_ALLOCATE_ROUTINE AllocateRoutine;
    PRTL_AVL_FREE_ROUTINE FreeRoutine;
    PVOID TableContext;
} RTL_AVL_TABLE, *PRTL_AVL_TABLE;
// The allocate routine is asked for sizeof(RTL_BALANCED_LINKS) + the element size;
// the element lives right after the links.
void RtlInitializeGenericTableAvl(PRTL_AVL_TABLE table, PRTL_AVL_COMPARE_ROUTINE compare,
                                  PRTL_AVL_ALLOCATE_ROUTINE allocate, PRTL_AVL_FREE_ROUTINE free,
                                  PVOID tableContext);
PVOID RtlInsertElementGenericTableAvl(PRTL_AVL_TABLE table, PVOID buffer, ULONG bufferSize,
                                      PBOOLEAN newElement);
PVOID RtlLookupElementGenericTableAvl(PRTL_AVL_TABLE table, PVOID buffer);
BOOLEAN RtlDeleteElementGenericTableAvl(PRTL_AVL_TABLE table, PVOID buffer);
PVOID RtlGetElementGenericTableAvl(PRTL_AVL_TABLE table, ULONG i);
ULONG RtlNumberGenericTableElementsAvl(PRTL_AVL_TABLE table);
BOOLEAN RtlIsGenericTableEmptyAvl(PRTL_AVL_TABLE table);
PVOID RtlEnumerateGenericTableAvl(PRTL_AVL_TABLE table, BOOLEAN restart);

// ---------------------------------------------------------------- strings
void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
void RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source);
LONG RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive);
BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING prefix, PCUNICODE_STRING s, BOOLEAN caseInsensitive);
WCHAR RtlUpcaseUnicodeChar(WCHAR c);
WCHAR RtlDowncaseUnicodeChar(WCHAR c);
CHAR RtlUpperChar(CHAR c);
// ntstrsafe: STATUS_BUFFER_OVERFLOW when the text was truncated (output terminated).
NTSTATUS RtlStringCbPrintfW(PWSTR dest, SIZE_T cbDest, PCWSTR format, ...);
NTSTATUS RtlStringCchPrintfW(PWSTR dest, SIZE_T cchDest, PCWSTR format, ...);
NTSTATUS RtlStringCbVPrintfW(PWSTR dest, SIZE_T cbDest, PCWSTR format, va_list args);
NTSTATUS RtlStringCbPrintfA(PSTR dest, SIZE_T cbDest, PCSTR format, ...);
NTSTATUS RtlStringCchCopyW(PWSTR dest, SIZE_T cchDest, PCWSTR src);
NTSTATUS RtlStringCchCopyNW(PWSTR dest, SIZE_T cchDest, PCWSTR src, SIZE_T cchToCopy);
NTSTATUS RtlStringCbCopyA(PSTR dest, SIZE_T cbDest, PCSTR src);
NTSTATUS RtlStringCchLengthW(PCWSTR s, SIZE_T cchMax, SIZE_T* length);

// ---------------------------------------------------------------- objects, handles
#define OBJ_INHERIT 0x00000002L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE 0x00000200L
typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = NULL;     \
    } while (0)

typedef PVOID PSECURITY_DESCRIPTOR;
NTSTATUS ZwClose(HANDLE handle);
void ObReferenceObject(PVOID object);
void ObDereferenceObject(PVOID object);
LONG_PTR ObfReferenceObject(PVOID object);
LONG_PTR ObfDereferenceObject(PVOID object);

#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L

// ---------------------------------------------------------------- events, waits
typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef struct _KEVENT {
    alignas(8) UCHAR Opaque[24];  // the dispatcher header; managed by the machine
} KEVENT, *PKEVENT, *PRKEVENT;
typedef LONG KPRIORITY;
#define IO_NO_INCREMENT 0
typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6 } KWAIT_REASON;
typedef CCHAR KPROCESSOR_MODE;
typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait);
LONG KeResetEvent(PRKEVENT event);
void KeClearEvent(PRKEVENT event);
LONG KeReadStateEvent(PRKEVENT event);
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode,
                               BOOLEAN alertable, PLARGE_INTEGER timeout);
// Creates or opens the named notification event; returns the event and a kernel
// handle that keeps it alive until ZwClose.
PKEVENT IoCreateNotificationEvent(PUNICODE_STRING eventName, PHANDLE eventHandle);
PKEVENT IoCreateSynchronizationEvent(PUNICODE_STRING eventName, PHANDLE eventHandle);

// ---------------------------------------------------------------- time
void KeQueryTickCount(PLARGE_INTEGER tickCount);
ULONG KeQueryTimeIncrement();
void KeQuerySystemTime(PLARGE_INTEGER currentTime);
void KeQuerySystemTimePrecise(PLARGE_INTEGER currentTime);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE waitMode, BOOLEAN alertable, PLARGE_INTEGER interval);

// ---------------------------------------------------------------- processes
struct _EPROCESS;
struct _ETHREAD;
typedef struct _EPROCESS* PEPROCESS;
typedef struct _ETHREAD* PETHREAD;
typedef struct _EPROCESS* PKPROCESS;

PEPROCESS PsGetCurrentProcess();
PEPROCESS IoGetCurrentProcess();
HANDLE PsGetCurrentProcessId();
HANDLE PsGetCurrentThreadId();
PETHREAD PsGetCurrentThread();
HANDLE PsGetProcessId(PEPROCESS process);
NTSTATUS PsLookupProcessByProcessId(HANDLE processId, PEPROCESS* process);
#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#define ZwCurrentProcess() NtCurrentProcess()

typedef enum _PROCESSINFOCLASS { ProcessBasicInformation = 0, ProcessImageFileName = 27 } PROCESSINFOCLASS;
PVOID MmGetSystemRoutineAddress(PUNICODE_STRING systemRoutineName);

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef struct _PS_CREATE_NOTIFY_INFO {
    SIZE_T Size;
    union {
        ULONG Flags;
        struct {
            ULONG FileOpenNameAvailable : 1;
            ULONG IsSubsystemProcess : 1;
            ULONG Reserved : 30;
        };
    };
    HANDLE ParentProcessId;
    CLIENT_ID CreatingThreadId;
    struct _FILE_OBJECT* FileObject;
    PCUNICODE_STRING ImageFileName;
    PCUNICODE_STRING CommandLine;
    NTSTATUS CreationStatus;
} PS_CREATE_NOTIFY_INFO, *PPS_CREATE_NOTIFY_INFO;
typedef void (*PCREATE_PROCESS_NOTIFY_ROUTINE)(HANDLE parentId, HANDLE processId, BOOLEAN create);
typedef void (*PCREATE_PROCESS_NOTIFY_ROUTINE_EX)(PEPROCESS process, HANDLE processId,
                                                  PPS_CREATE_NOTIFY_INFO createInfo);
NTSTATUS PsSetCreateProcessNotifyRoutine(PCREATE_PROCESS_NOTIFY_ROUTINE notifyRoutine, BOOLEAN remove);
NTSTATUS PsSetCreateProcessNotifyRoutineEx(PCREATE_PROCESS_NOTIFY_ROUTINE_EX notifyRoutine, BOOLEAN remove);
HANDLE PsGetThreadProcessId(PETHREAD thread);
// The image file name of a process, allocated by the system (ExFreePool).
NTSTATUS SeLocateProcessImageName(PEPROCESS process, PUNICODE_STRING* imageFileName);

// Process and thread access rights (ntddk.h, wdm.h).
#define PROCESS_TERMINATE (0x0001)
#define PROCESS_CREATE_THREAD (0x0002)
#define PROCESS_VM_OPERATION (0x0008)
#define PROCESS_VM_READ (0x0010)
#define PROCESS_VM_WRITE (0x0020)
#define PROCESS_DUP_HANDLE (0x0040)
#define PROCESS_QUERY_INFORMATION (0x0400)
#define PROCESS_SUSPEND_RESUME (0x0800)
#define PROCESS_QUERY_LIMITED_INFORMATION (0x1000)
#define PROCESS_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)
#define THREAD_TERMINATE 0x0001
#define THREAD_SUSPEND_RESUME 0x0002
#define THREAD_GET_CONTEXT 0x0008
#define THREAD_SET_CONTEXT 0x0010
#define THREAD_QUERY_LIMITED_INFORMATION 0x0800
#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)

// ---------------------------------------------------------------- object callbacks (wdm.h)
typedef struct _OBJECT_TYPE* POBJECT_TYPE;
extern POBJECT_TYPE* PsProcessType;
extern POBJECT_TYPE* PsThreadType;

#define OB_FLT_REGISTRATION_VERSION_0100 0x0100
#define OB_FLT_REGISTRATION_VERSION OB_FLT_REGISTRATION_VERSION_0100
typedef ULONG OB_OPERATION;
#define OB_OPERATION_HANDLE_CREATE 0x00000001
#define OB_OPERATION_HANDLE_DUPLICATE 0x00000002

typedef struct _OB_PRE_CREATE_HANDLE_INFORMATION {
    ACCESS_MASK DesiredAccess;
    ACCESS_MASK OriginalDesiredAccess;
} OB_PRE_CREATE_HANDLE_INFORMATION, *POB_PRE_CREATE_HANDLE_INFORMATION;
typedef struct _OB_PRE_DUPLICATE_HANDLE_INFORMATION {
    ACCESS_MASK DesiredAccess;
    ACCESS_MASK OriginalDesiredAccess;
    PVOID SourceProcess;
    PVOID TargetProcess;
} OB_PRE_DUPLICATE_HANDLE_INFORMATION, *POB_PRE_DUPLICATE_HANDLE_INFORMATION;
typedef union _OB_PRE_OPERATION_PARAMETERS {
    OB_PRE_CREATE_HANDLE_INFORMATION CreateHandleInformation;
    OB_PRE_DUPLICATE_HANDLE_INFORMATION DuplicateHandleInformation;
} OB_PRE_OPERATION_PARAMETERS, *POB_PRE_OPERATION_PARAMETERS;
typedef struct _OB_PRE_OPERATION_INFORMATION {
    OB_OPERATION Operation;
    union {
        ULONG Flags;
        struct {
            ULONG KernelHandle : 1;
            ULONG Reserved : 31;
        };
    };
    PVOID Object;
    POBJECT_TYPE ObjectType;
    PVOID CallContext;
    POB_PRE_OPERATION_PARAMETERS Parameters;
} OB_PRE_OPERATION_INFORMATION, *POB_PRE_OPERATION_INFORMATION;

typedef struct _OB_POST_CREATE_HANDLE_INFORMATION {
    ACCESS_MASK GrantedAccess;
} OB_POST_CREATE_HANDLE_INFORMATION, *POB_POST_CREATE_HANDLE_INFORMATION;
typedef struct _OB_POST_DUPLICATE_HANDLE_INFORMATION {
    ACCESS_MASK GrantedAccess;
} OB_POST_DUPLICATE_HANDLE_INFORMATION, *POB_POST_DUPLICATE_HANDLE_INFORMATION;
typedef union _OB_POST_OPERATION_PARAMETERS {
    OB_POST_CREATE_HANDLE_INFORMATION CreateHandleInformation;
    OB_POST_DUPLICATE_HANDLE_INFORMATION DuplicateHandleInformation;
} OB_POST_OPERATION_PARAMETERS, *POB_POST_OPERATION_PARAMETERS;
typedef struct _OB_POST_OPERATION_INFORMATION {
    OB_OPERATION Operation;
    union {
        ULONG Flags;
        struct {
            ULONG KernelHandle : 1;
            ULONG Reserved : 31;
        };
    };
    PVOID Object;
    POBJECT_TYPE ObjectType;
    PVOID CallContext;
    NTSTATUS ReturnStatus;
    POB_POST_OPERATION_PARAMETERS Parameters;
} OB_POST_OPERATION_INFORMATION, *POB_POST_OPERATION_INFORMATION;

typedef enum _OB_PREOP_CALLBACK_STATUS { OB_PREOP_SUCCESS } OB_PREOP_CALLBACK_STATUS, *POB_PREOP_CALLBACK_STATUS;
typedef OB_PREOP_CALLBACK_STATUS (*POB_PRE_OPERATION_CALLBACK)(PVOID RegistrationContext,
                                                               POB_PRE_OPERATION_INFORMATION OperationInformation);
typedef void (*POB_POST_OPERATION_CALLBACK)(PVOID RegistrationContext,
                                            POB_POST_OPERATION_INFORMATION OperationInformation);
typedef struct _OB_OPERATION_REGISTRATION {
    POBJECT_TYPE* ObjectType;
    OB_OPERATION Operations;
    POB_PRE_OPERATION_CALLBACK PreOperation;
    POB_POST_OPERATION_CALLBACK PostOperation;
} OB_OPERATION_REGISTRATION, *POB_OPERATION_REGISTRATION;
typedef struct _OB_CALLBACK_REGISTRATION {
    USHORT Version;
    USHORT OperationRegistrationCount;
    UNICODE_STRING Altitude;
    PVOID RegistrationContext;
    OB_OPERATION_REGISTRATION* OperationRegistration;
} OB_CALLBACK_REGISTRATION, *POB_CALLBACK_REGISTRATION;

NTSTATUS ObRegisterCallbacks(POB_CALLBACK_REGISTRATION callbackRegistration, PVOID* registrationHandle);
void ObUnRegisterCallbacks(PVOID registrationHandle);

// ---------------------------------------------------------------- registry
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2
} KEY_VALUE_INFORMATION_CLASS;
typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

NTSTATUS ZwOpenKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes);
NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS infoClass,
                         PVOID keyValueInformation, ULONG length, PULONG resultLength);

// ---------------------------------------------------------------- registry callbacks (configuration manager)
#define STATUS_CALLBACK_BYPASS ((NTSTATUS)0xC0000503L)

typedef enum _REG_NOTIFY_CLASS {
    RegNtDeleteKey,
    RegNtPreDeleteKey = RegNtDeleteKey,
    RegNtSetValueKey,
    RegNtPreSetValueKey = RegNtSetValueKey,
    RegNtDeleteValueKey,
    RegNtPreDeleteValueKey = RegNtDeleteValueKey,
    RegNtSetInformationKey,
    RegNtPreSetInformationKey = RegNtSetInformationKey,
    RegNtRenameKey,
    RegNtPreRenameKey = RegNtRenameKey,
    RegNtEnumerateKey,
    RegNtPreEnumerateKey = RegNtEnumerateKey,
    RegNtEnumerateValueKey,
    RegNtPreEnumerateValueKey = RegNtEnumerateValueKey,
    RegNtQueryKey,
    RegNtPreQueryKey = RegNtQueryKey,
    RegNtQueryValueKey,
    RegNtPreQueryValueKey = RegNtQueryValueKey,
    RegNtQueryMultipleValueKey,
    RegNtPreQueryMultipleValueKey = RegNtQueryMultipleValueKey,
    RegNtPreCreateKey,
    RegNtPostCreateKey,
    RegNtPreOpenKey,
    RegNtPostOpenKey,
    RegNtKeyHandleClose,
    RegNtPreKeyHandleClose = RegNtKeyHandleClose,
    RegNtPostDeleteKey,
    RegNtPostSetValueKey,
    RegNtPostDeleteValueKey,
    RegNtPostSetInformationKey,
    RegNtPostRenameKey,
    RegNtPostEnumerateKey,
    RegNtPostEnumerateValueKey,
    RegNtPostQueryKey,
    RegNtPostQueryValueKey,
    RegNtPostQueryMultipleValueKey,
    RegNtPostKeyHandleClose,
    RegNtPreCreateKeyEx,
    RegNtPostCreateKeyEx,
    RegNtPreOpenKeyEx,
    RegNtPostOpenKeyEx,
    RegNtPreFlushKey,
    RegNtPostFlushKey,
    RegNtPreLoadKey,
    RegNtPostLoadKey,
    RegNtPreUnLoadKey,
    RegNtPostUnLoadKey,
    RegNtPreQueryKeySecurity,
    RegNtPostQueryKeySecurity,
    RegNtPreSetKeySecurity,
    RegNtPostSetKeySecurity,
    RegNtCallbackObjectContextCleanup,
    RegNtPreRestoreKey,
    RegNtPostRestoreKey,
    RegNtPreSaveKey,
    RegNtPostSaveKey,
    RegNtPreReplaceKey,
    RegNtPostReplaceKey,
    RegNtPreQueryKeyName,
    RegNtPostQueryKeyName,
    MaxRegNtNotifyClass
} REG_NOTIFY_CLASS, *PREG_NOTIFY_CLASS;

typedef NTSTATUS EX_CALLBACK_FUNCTION(PVOID CallbackContext, PVOID Argument1, PVOID Argument2);
typedef EX_CALLBACK_FUNCTION* PEX_CALLBACK_FUNCTION;

// What a pre-create or pre-open notification describes. Since Windows 7 the
// system passes the V1 form (Version 1); the members up to Transaction are shared.
typedef struct _REG_CREATE_KEY_INFORMATION {
    PUNICODE_STRING CompleteName;  // absolute ("\REGISTRY\...") or relative to RootObject
    PVOID RootObject;
    PVOID ObjectType;
    ULONG CreateOptions;
    PUNICODE_STRING Class;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
    ACCESS_MASK DesiredAccess;
    ACCESS_MASK GrantedAccess;
    PULONG Disposition;
    PVOID* ResultObject;
    PVOID CallContext;
    PVOID RootObjectContext;
    PVOID Transaction;
    PVOID Reserved;
} REG_CREATE_KEY_INFORMATION, REG_OPEN_KEY_INFORMATION, *PREG_CREATE_KEY_INFORMATION, *PREG_OPEN_KEY_INFORMATION;

typedef struct _REG_CREATE_KEY_INFORMATION_V1 {
    PUNICODE_STRING CompleteName;
    PVOID RootObject;
    PVOID ObjectType;
    ULONG Options;
    PUNICODE_STRING Class;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
    ACCESS_MASK DesiredAccess;
    ACCESS_MASK GrantedAccess;
    PULONG Disposition;
    PVOID* ResultObject;
    PVOID CallContext;
    PVOID RootObjectContext;
    PVOID Transaction;
    ULONG_PTR Version;
    PUNICODE_STRING RemainingName;
    ULONG Wow64Flags;
    ULONG Attributes;
    KPROCESSOR_MODE CheckAccessMode;
} REG_CREATE_KEY_INFORMATION_V1, REG_OPEN_KEY_INFORMATION_V1, *PREG_CREATE_KEY_INFORMATION_V1,
    *PREG_OPEN_KEY_INFORMATION_V1;

// Argument2 of every post-notification. Object is valid only when Status is
// STATUS_SUCCESS; ReturnStatus is used only when the callback returns
// STATUS_CALLBACK_BYPASS.
typedef struct _REG_POST_OPERATION_INFORMATION {
    PVOID Object;
    NTSTATUS Status;
    PVOID PreInformation;
    NTSTATUS ReturnStatus;
    PVOID CallContext;
    PVOID ObjectContext;
    PVOID Reserved;
} REG_POST_OPERATION_INFORMATION, *PREG_POST_OPERATION_INFORMATION;

// IRQL <= APC_LEVEL. Unregistering waits for the callback's calls in progress.
NTSTATUS CmRegisterCallbackEx(PEX_CALLBACK_FUNCTION Function, PCUNICODE_STRING Altitude, PVOID Driver, PVOID Context,
                              PLARGE_INTEGER Cookie, PVOID Reserved);
NTSTATUS CmUnRegisterCallback(LARGE_INTEGER Cookie);
// The full path of a key object; the name goes back with CmCallbackReleaseKeyObjectIDEx.
NTSTATUS CmCallbackGetKeyObjectIDEx(PLARGE_INTEGER Cookie, PVOID Object, PULONG_PTR ObjectID,
                                    PCUNICODE_STRING* ObjectName, ULONG Flags);
void CmCallbackReleaseKeyObjectIDEx(PCUNICODE_STRING ObjectName);

// ---------------------------------------------------------------- I/O manager
#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_SET_INFORMATION 0x06
#define IRP_MJ_QUERY_EA 0x07
#define IRP_MJ_SET_EA 0x08
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_QUERY_VOLUME_INFORMATION 0x0a
#define IRP_MJ_SET_VOLUME_INFORMATION 0x0b
#define IRP_MJ_DIRECTORY_CONTROL 0x0c
#define IRP_MJ_FILE_SYSTEM_CONTROL 0x0d
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_LOCK_CONTROL 0x11
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_CREATE_MAILSLOT 0x13
#define IRP_MJ_QUERY_SECURITY 0x14
#define IRP_MJ_SET_SECURITY 0x15
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_DEVICE_CHANGE 0x18
#define IRP_MJ_QUERY_QUOTA 0x19
#define IRP_MJ_SET_QUOTA 0x1a
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_PNP_POWER IRP_MJ_PNP
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b
#define IRP_MJ_OPERATION_END ((UCHAR)0x80)

// Minor functions of IRP_MJ_PNP.
#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS 0x07
#define IRP_MN_QUERY_INTERFACE 0x08
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_QUERY_ID 0x13
#define IRP_MN_SURPRISE_REMOVAL 0x17

// I/O control codes (devioctl.h).
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define DEVICE_TYPE_FROM_CTL_CODE(ctrlCode) (((ULONG)(ctrlCode & 0xffff0000)) >> 16)
#define METHOD_FROM_CTL_CODE(ctrlCode) ((ULONG)(ctrlCode & 3))
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_SPECIAL_ACCESS (FILE_ANY_ACCESS)
#define FILE_READ_ACCESS (0x0001)
#define FILE_WRITE_ACCESS (0x0002)

#define FILE_DEVICE_BUS_EXTENDER 0x0000002a
#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_CD_ROM 0x00000002
#define FILE_DEVICE_CD_ROM_FILE_SYSTEM 0x00000003
#define FILE_DEVICE_DISK 0x00000007
#define FILE_DEVICE_DISK_FILE_SYSTEM 0x00000008
#define FILE_DEVICE_NETWORK_FILE_SYSTEM 0x00000014

// Device characteristics.
#define FILE_REMOVABLE_MEDIA 0x00000001
#define FILE_READ_ONLY_DEVICE 0x00000002
#define FILE_FLOPPY_DISKETTE 0x00000004
#define FILE_WRITE_ONCE_MEDIA 0x00000008
#define FILE_REMOTE_DEVICE 0x00000010
#define FILE_DEVICE_IS_MOUNTED 0x00000020
typedef ULONG DEVICE_TYPE;

struct _DEVICE_OBJECT;
struct _IRP;
struct _DRIVER_OBJECT;
typedef NTSTATUS (*PDRIVER_DISPATCH)(struct _DEVICE_OBJECT* deviceObject, struct _IRP* irp);
typedef void (*PDRIVER_UNLOAD)(struct _DRIVER_OBJECT* driverObject);
typedef NTSTATUS (*PDRIVER_INITIALIZE)(struct _DRIVER_OBJECT* driverObject, PUNICODE_STRING registryPath);

typedef struct _DRIVER_OBJECT {
    SHORT Type;
    SHORT Size;
    struct _DEVICE_OBJECT* DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PVOID DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef struct _DEVICE_OBJECT {
    SHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    struct _DRIVER_OBJECT* DriverObject;
    struct _DEVICE_OBJECT* NextDevice;
    struct _DEVICE_OBJECT* AttachedDevice;
    struct _IRP* CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CHAR StackSize;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _FILE_OBJECT {
    SHORT Type;
    SHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PVOID Vpb;
    PVOID FsContext;
    PVOID FsContext2;
    PVOID SectionObjectPointer;
    PVOID PrivateCacheMap;
    NTSTATUS FinalStatus;
    struct _FILE_OBJECT* RelatedFileObject;
    BOOLEAN LockOperation;
    BOOLEAN DeletePending;
    BOOLEAN ReadAccess;
    BOOLEAN WriteAccess;
    BOOLEAN DeleteAccess;
    BOOLEAN SharedRead;
    BOOLEAN SharedWrite;
    BOOLEAN SharedDelete;
    ULONG Flags;
    UNICODE_STRING FileName;
} FILE_OBJECT, *PFILE_OBJECT;

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef enum _DRIVER_REGKEY_TYPE {
    DriverRegKeyParameters,
    DriverRegKeyPersistentState,
    DriverRegKeySharedPersistentState
} DRIVER_REGKEY_TYPE;
NTSTATUS IoOpenDriverRegistryKey(PDRIVER_OBJECT driverObject, DRIVER_REGKEY_TYPE regKeyType,
                                 ACCESS_MASK desiredAccess, ULONG flags, PHANDLE driverRegKey);
NTSTATUS ZwQueryInformationProcess(HANDLE processHandle, PROCESSINFOCLASS processInformationClass,
                                   PVOID processInformation, ULONG processInformationLength, PULONG returnLength);

// ---------------------------------------------------------------- I/O manager: IRPs
typedef struct _KDEVICE_QUEUE_ENTRY {
    LIST_ENTRY DeviceListEntry;
    ULONG SortKey;
    BOOLEAN Inserted;
} KDEVICE_QUEUE_ENTRY, *PKDEVICE_QUEUE_ENTRY;

typedef NTSTATUS (*PIO_COMPLETION_ROUTINE)(PDEVICE_OBJECT deviceObject, struct _IRP* irp, PVOID context);
// Runs with the cancel spin lock held (Irp->CancelIrql is the IRQL to return to);
// it must release it with IoReleaseCancelSpinLock.
typedef void (*PDRIVER_CANCEL)(PDEVICE_OBJECT deviceObject, struct _IRP* irp);
struct _CM_RESOURCE_LIST;

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            ULONG Length;
            ULONG POINTER_ALIGNMENT Key;
            LARGE_INTEGER ByteOffset;
        } Read;
        struct {
            ULONG Length;
            ULONG POINTER_ALIGNMENT Key;
            LARGE_INTEGER ByteOffset;
        } Write;
        struct {
            struct _CM_RESOURCE_LIST* AllocatedResources;
            struct _CM_RESOURCE_LIST* AllocatedResourcesTranslated;
        } StartDevice;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

typedef struct _IRP {
    SHORT Type;
    USHORT Size;
    USHORT AllocationProcessorNumber;
    USHORT Reserved;
    struct _MDL* MdlAddress;
    ULONG Flags;
    union {
        struct _IRP* MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            PVOID UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    volatile PDRIVER_CANCEL CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            union {
                KDEVICE_QUEUE_ENTRY DeviceQueueEntry;
                PVOID DriverContext[4];
            };
            PETHREAD Thread;
            PCHAR AuxiliaryBuffer;
            LIST_ENTRY ListEntry;
            union {
                struct _IO_STACK_LOCATION* CurrentStackLocation;
                ULONG PacketType;
            };
            PFILE_OBJECT OriginalFileObject;
        } Overlay;
        UCHAR Apc[0x58];  // KAPC
        PVOID CompletionKey;
    } Tail;
} IRP, *PIRP;

#define SL_PENDING_RETURNED 0x01
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation; }
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation - 1; }
inline void IoMarkIrpPending(PIRP irp) { IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED; }
inline void IoSkipCurrentIrpStackLocation(PIRP irp) {
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
}

// Builds a synchronous device-control request for deviceObject (METHOD_BUFFERED:
// the input is copied into a system buffer, the output copied back on completion).
// The I/O manager frees the request when it completes, after it has stored the
// final status in *ioStatusBlock and set event.
PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject, PVOID inputBuffer,
                                   ULONG inputBufferLength, PVOID outputBuffer, ULONG outputBufferLength,
                                   BOOLEAN internalDeviceIoControl, PKEVENT event, PIO_STATUS_BLOCK ioStatusBlock);
NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp);
void IofCompleteRequest(PIRP irp, CCHAR priorityBoost);
#define IoCallDriver(a, b) IofCallDriver(a, b)
#define IoCompleteRequest(a, b) IofCompleteRequest(a, b)

#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_DEVICE_DATA_ERROR ((NTSTATUS)0xC000009CL)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_IO_DEVICE_ERROR ((NTSTATUS)0xC0000185L)

// Requests a driver allocates itself: IoAllocateIrp gives an IRP with stackSize
// locations and no current one (IoGetNextIrpStackLocation is the first); the
// driver owns it and gives it back with IoFreeIrp, normally from its completion
// routine, which then returns STATUS_MORE_PROCESSING_REQUIRED.
PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota);
void IoFreeIrp(PIRP irp);

inline void IoSetNextIrpStackLocation(PIRP irp) {
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
}
inline void IoCopyCurrentIrpStackLocationToNext(PIRP irp) {
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    __builtin_memcpy(next, current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
}
inline void IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE completionRoutine, PVOID context,
                                   BOOLEAN invokeOnSuccess, BOOLEAN invokeOnError, BOOLEAN invokeOnCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->CompletionRoutine = completionRoutine;
    next->Context = context;
    next->Control = 0;
    if (invokeOnSuccess) next->Control = SL_INVOKE_ON_SUCCESS;
    if (invokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
    if (invokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

// Cancellation. IoCancelIrp sets Irp->Cancel and, when a cancel routine is set,
// takes the cancel spin lock, clears the routine and calls it (which releases the
// lock); it returns FALSE when there was no cancel routine.
BOOLEAN IoCancelIrp(PIRP irp);
void IoAcquireCancelSpinLock(PKIRQL irql);
void IoReleaseCancelSpinLock(KIRQL irql);
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL cancelRoutine) {
    return reinterpret_cast<PDRIVER_CANCEL>(InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(const_cast<PDRIVER_CANCEL*>(&irp->CancelRoutine)),
        reinterpret_cast<PVOID>(cancelRoutine)));
}

// ---------------------------------------------------------------- memory descriptor lists
typedef SHORT CSHORT;
typedef struct _MDL {
    struct _MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    struct _EPROCESS* Process;
    PVOID MappedSystemVa;  // valid when MDL_MAPPED_TO_SYSTEM_VA or MDL_SOURCE_IS_NONPAGED_POOL is set
    PVOID StartVa;         // page-aligned
    ULONG ByteCount;
    ULONG ByteOffset;      // of the buffer within the first page
} MDL, *PMDL;
typedef MDL* PMDLX;
#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_PARTIAL_HAS_BEEN_MAPPED 0x0020
#define MDL_IO_PAGE_READ 0x0040
#define MDL_WRITE_OPERATION 0x0080
#define MDL_MAPPING_CAN_FAIL 0x2000

typedef enum _MM_PAGE_PRIORITY {
    LowPagePriority,
    NormalPagePriority = 16,
    HighPagePriority = 32
} MM_PAGE_PRIORITY;
#define MdlMappingNoWrite 0x80000000
#define MdlMappingNoExecute 0x40000000
typedef enum _MEMORY_CACHING_TYPE {
    MmNonCached = 0,
    MmCached = 1,
    MmWriteCombined = 2,
    MmHardwareCoherentCached = 3,
    MmNonCachedUnordered = 4,
    MmUSWCCached = 5,
    MmMaximumCacheType = 6,
    MmNotMapped = -1
} MEMORY_CACHING_TYPE;

// An MDL for a buffer (not yet locked or mapped); with irp, it becomes the
// request's MdlAddress (secondaryBuffer FALSE) or is chained after it.
PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN chargeQuota, PIRP irp);
void IoFreeMdl(PMDL mdl);
void MmBuildMdlForNonPagedPool(PMDLX memoryDescriptorList);
// Maps the locked pages into system space. MmMapLockedPages bug-checks when no
// system address is left; MmMapLockedPagesSpecifyCache returns NULL instead when
// bugCheckOnFailure is FALSE.
PVOID MmMapLockedPages(PMDL memoryDescriptorList, KPROCESSOR_MODE accessMode);
PVOID MmMapLockedPagesSpecifyCache(PMDLX memoryDescriptorList, KPROCESSOR_MODE accessMode,
                                   MEMORY_CACHING_TYPE cacheType, PVOID requestedAddress, ULONG bugCheckOnFailure,
                                   ULONG priority);
void MmUnmapLockedPages(PVOID baseAddress, PMDL memoryDescriptorList);
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetMdlByteOffset(Mdl) ((Mdl)->ByteOffset)
#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
// The system address of the buffer an MDL describes, mapping it if needed; NULL
// when it cannot be mapped.
inline PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG priority) {
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return mdl->MappedSystemVa;
    return MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, NULL, FALSE, priority);
}

// ---------------------------------------------------------------- objects by name
// Looks a named object up (\Driver\Name for IoDriverObjectType; case-insensitive
// with OBJ_CASE_INSENSITIVE) and returns it referenced (ObDereferenceObject).
extern POBJECT_TYPE* IoDriverObjectType;
NTSTATUS ObReferenceObjectByName(PUNICODE_STRING objectName, ULONG attributes, struct _ACCESS_STATE* accessState,
                                 ACCESS_MASK desiredAccess, POBJECT_TYPE objectType, KPROCESSOR_MODE accessMode,
                                 PVOID parseContext, PVOID* object);

// ---------------------------------------------------------------- fast mutexes
// Raise to APC_LEVEL while held; acquired and released at IRQL <= APC_LEVEL.
typedef struct _FAST_MUTEX {
    alignas(8) UCHAR Opaque[56];  // managed by the machine
} FAST_MUTEX, *PFAST_MUTEX;
void ExInitializeFastMutex(PFAST_MUTEX fastMutex);
void ExAcquireFastMutex(PFAST_MUTEX fastMutex);
void ExReleaseFastMutex(PFAST_MUTEX fastMutex);
BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX fastMutex);

// ---------------------------------------------------------------- USB (usbspec.h, usb.h, usbdlib.h, usbioctl.h)
#define USB_DEVICE_DESCRIPTOR_TYPE 0x01
#define USB_CONFIGURATION_DESCRIPTOR_TYPE 0x02
#define USB_STRING_DESCRIPTOR_TYPE 0x03
#define USB_INTERFACE_DESCRIPTOR_TYPE 0x04
#define USB_ENDPOINT_DESCRIPTOR_TYPE 0x05

#define USB_DEVICE_CLASS_RESERVED 0x00
#define USB_DEVICE_CLASS_AUDIO 0x01
#define USB_DEVICE_CLASS_COMMUNICATIONS 0x02
#define USB_DEVICE_CLASS_HUMAN_INTERFACE 0x03
#define USB_DEVICE_CLASS_MONITOR 0x04
#define USB_DEVICE_CLASS_PHYSICAL_INTERFACE 0x05
#define USB_DEVICE_CLASS_POWER 0x06
#define USB_DEVICE_CLASS_IMAGE 0x06
#define USB_DEVICE_CLASS_PRINTER 0x07
#define USB_DEVICE_CLASS_STORAGE 0x08
#define USB_DEVICE_CLASS_HUB 0x09
#define USB_DEVICE_CLASS_CDC_DATA 0x0A
#define USB_DEVICE_CLASS_SMART_CARD 0x0B
#define USB_DEVICE_CLASS_CONTENT_SECURITY 0x0D
#define USB_DEVICE_CLASS_VIDEO 0x0E
#define USB_DEVICE_CLASS_VENDOR_SPECIFIC 0xFF

#pragma pack(push, 1)
typedef struct _USB_COMMON_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
} USB_COMMON_DESCRIPTOR, *PUSB_COMMON_DESCRIPTOR;
typedef struct _USB_DEVICE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
} USB_DEVICE_DESCRIPTOR, *PUSB_DEVICE_DESCRIPTOR;
typedef struct _USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;
} USB_CONFIGURATION_DESCRIPTOR, *PUSB_CONFIGURATION_DESCRIPTOR;
typedef struct _USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
} USB_INTERFACE_DESCRIPTOR, *PUSB_INTERFACE_DESCRIPTOR;
typedef struct _USB_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
} USB_ENDPOINT_DESCRIPTOR, *PUSB_ENDPOINT_DESCRIPTOR;
typedef struct _USB_STRING_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    WCHAR bString[1];
} USB_STRING_DESCRIPTOR, *PUSB_STRING_DESCRIPTOR;
#pragma pack(pop)

typedef LONG USBD_STATUS;
#define USBD_SUCCESS(Status) ((USBD_STATUS)(Status) >= 0)
#define USBD_PENDING(Status) ((ULONG)(Status) >> 30 == 1)
#define USBD_ERROR(Status) ((USBD_STATUS)(Status) < 0)
#define USBD_STATUS_SUCCESS ((USBD_STATUS)0x00000000L)
#define USBD_STATUS_PENDING ((USBD_STATUS)0x40000000L)
#define USBD_STATUS_STALL_PID ((USBD_STATUS)0xC0000004L)
#define USBD_STATUS_DEV_NOT_RESPONDING ((USBD_STATUS)0xC0000005L)
#define USBD_STATUS_INVALID_PARAMETER ((USBD_STATUS)0x80000300L)
#define USBD_STATUS_CANCELED ((USBD_STATUS)0xC0010000L)

#define URB_FUNCTION_SELECT_CONFIGURATION 0x0000
#define URB_FUNCTION_SELECT_INTERFACE 0x0001
#define URB_FUNCTION_CONTROL_TRANSFER 0x0008
#define URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER 0x0009
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE 0x000B
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT 0x0024
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE 0x0028

struct _URB_HEADER {
    USHORT Length;    // of the whole request structure
    USHORT Function;  // URB_FUNCTION_*
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};
struct _URB_HCD_AREA {
    PVOID Reserved8[8];
};
struct _URB_CONTROL_DESCRIPTOR_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;  // in: the buffer's size; out: the bytes transferred
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    USHORT Reserved1;
    UCHAR Index;
    UCHAR DescriptorType;
    USHORT LanguageId;
    USHORT Reserved2;
};
// The WDK's URB is a union of every request structure; its size is that of the
// largest (152 bytes on x64), which the padding member keeps.
typedef struct _URB {
    union {
        struct _URB_HEADER UrbHeader;
        struct _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
        UCHAR UrbSizeOfLargestRequest[152];
    };
} URB, *PURB;

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, transferBuffer, \
                                     transferBufferMDL, transferBufferLength, link)                            \
    {                                                                                                          \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                                   \
        (urb)->UrbHeader.Length = (length);                                                                    \
        (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);                      \
        (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                            \
        (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                                  \
        (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                                  \
        (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                                          \
        (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                                          \
        (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                                   \
    }

// The hub's internal device control for a USB request block: the URB travels in
// the next stack location's Parameters.Others.Argument1.
#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN
#define USB_SUBMIT_URB 0
#define IOCTL_INTERNAL_USB_SUBMIT_URB CTL_CODE(FILE_DEVICE_USB, USB_SUBMIT_URB, METHOD_NEITHER, FILE_ANY_ACCESS)
#define URB_FROM_IRP(Irp) ((IoGetCurrentIrpStackLocation(Irp))->Parameters.Others.Argument1)

// ---------------------------------------------------------------- I/O manager: device stacks and properties
// Both return a referenced device object (ObDereferenceObject when done).
PDEVICE_OBJECT IoGetDeviceAttachmentBaseRef(PDEVICE_OBJECT deviceObject);
PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT deviceObject);

typedef enum _DEVICE_REGISTRY_PROPERTY {
    DevicePropertyDeviceDescription = 0x0,
    DevicePropertyHardwareID = 0x1,
    DevicePropertyCompatibleIDs = 0x2,
    DevicePropertyBootConfiguration = 0x3,
    DevicePropertyBootConfigurationTranslated = 0x4,
    DevicePropertyClassName = 0x5,
    DevicePropertyClassGuid = 0x6,
    DevicePropertyDriverKeyName = 0x7,
    DevicePropertyManufacturer = 0x8,
    DevicePropertyFriendlyName = 0x9,
    DevicePropertyLocationInformation = 0xa,
    DevicePropertyPhysicalDeviceObjectName = 0xb,
    DevicePropertyBusTypeGuid = 0xc,
    DevicePropertyLegacyBusType = 0xd,
    DevicePropertyBusNumber = 0xe,
    DevicePropertyEnumeratorName = 0xf,
    DevicePropertyAddress = 0x10,
    DevicePropertyUINumber = 0x11,
    DevicePropertyInstallState = 0x12,
    DevicePropertyRemovalPolicy = 0x13,
    DevicePropertyResourceRequirements = 0x14,
    DevicePropertyAllocatedResources = 0x15,
    DevicePropertyContainerID = 0x16
} DEVICE_REGISTRY_PROPERTY;
// Reads a Plug and Play property of a physical device object; a buffer too small
// for it gives STATUS_BUFFER_TOO_SMALL with the size needed in *resultLength.
NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT deviceObject, DEVICE_REGISTRY_PROPERTY deviceProperty,
                             ULONG bufferLength, PVOID propertyBuffer, PULONG resultLength);

typedef GUID DEVPROPGUID;
typedef ULONG DEVPROPID;
typedef struct _DEVPROPKEY {
    DEVPROPGUID fmtid;
    DEVPROPID pid;
} DEVPROPKEY;
typedef ULONG DEVPROPTYPE, *PDEVPROPTYPE;
typedef ULONG LCID;
#define DEVPROP_TYPE_EMPTY 0x00000000
#define DEVPROP_TYPE_STRING 0x00000012
extern const DEVPROPKEY DEVPKEY_Device_InstanceId;
NTSTATUS IoGetDevicePropertyData(PDEVICE_OBJECT pdo, const DEVPROPKEY* propertyKey, LCID lcid, ULONG flags,
                                 ULONG size, PVOID data, PULONG requiredSize, PDEVPROPTYPE type);

// The DOS name ("C:") of a volume device; the buffer is allocated by the system
// and freed by the caller with ExFreePool.
NTSTATUS RtlVolumeDeviceToDosName(PVOID volumeDeviceObject, PUNICODE_STRING dosName);

// ---------------------------------------------------------------- storage (ntddstor.h)
#define IOCTL_STORAGE_QUERY_PROPERTY 0x002D1400
typedef enum _STORAGE_PROPERTY_ID { StorageDeviceProperty = 0, StorageAdapterProperty } STORAGE_PROPERTY_ID;
typedef enum _STORAGE_QUERY_TYPE {
    PropertyStandardQuery = 0,
    PropertyExistsQuery,
    PropertyMaskQuery,
    PropertyQueryMaxDefined
} STORAGE_QUERY_TYPE;
typedef struct _STORAGE_PROPERTY_QUERY {
    STORAGE_PROPERTY_ID PropertyId;
    STORAGE_QUERY_TYPE QueryType;
    UCHAR AdditionalParameters[1];
} STORAGE_PROPERTY_QUERY, *PSTORAGE_PROPERTY_QUERY;
typedef enum _STORAGE_BUS_TYPE {
    BusTypeUnknown = 0x00,
    BusTypeScsi,
    BusTypeAtapi,
    BusTypeAta,
    BusType1394,
    BusTypeSsa,
    BusTypeFibre,
    BusTypeUsb,
    BusTypeRAID,
    BusTypeiScsi,
    BusTypeSas,
    BusTypeSata,
    BusTypeSd,
    BusTypeMmc,
    BusTypeVirtual,
    BusTypeFileBackedVirtual,
    BusTypeSpaces,
    BusTypeNvme,
    BusTypeMaxReserved = 0x7F
} STORAGE_BUS_TYPE;
typedef struct _STORAGE_DEVICE_DESCRIPTOR {
    ULONG Version;
    ULONG Size;
    UCHAR DeviceType;
    UCHAR DeviceTypeModifier;
    BOOLEAN RemovableMedia;
    BOOLEAN CommandQueueing;
    ULONG VendorIdOffset;
    ULONG ProductIdOffset;
    ULONG ProductRevisionOffset;
    ULONG SerialNumberOffset;
    STORAGE_BUS_TYPE BusType;
    ULONG RawPropertiesLength;
    UCHAR RawDeviceProperties[1];
} STORAGE_DEVICE_DESCRIPTOR, *PSTORAGE_DEVICE_DESCRIPTOR;

// ---------------------------------------------------------------- volume information
typedef enum _FSINFOCLASS {
    FileFsVolumeInformation = 1,
    FileFsLabelInformation,
    FileFsSizeInformation,
    FileFsDeviceInformation,
    FileFsAttributeInformation
} FS_INFORMATION_CLASS, *PFS_INFORMATION_CLASS;
typedef struct _FILE_FS_SIZE_INFORMATION {
    LARGE_INTEGER TotalAllocationUnits;
    LARGE_INTEGER AvailableAllocationUnits;
    ULONG SectorsPerAllocationUnit;
    ULONG BytesPerSector;
} FILE_FS_SIZE_INFORMATION, *PFILE_FS_SIZE_INFORMATION;

// ---------------------------------------------------------------- file access bits
#define FILE_READ_DATA 0x0001
#define FILE_LIST_DIRECTORY 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_ADD_FILE 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_ADD_SUBDIRECTORY 0x0004
#define FILE_READ_EA 0x0008
#define FILE_WRITE_EA 0x0010
#define FILE_EXECUTE 0x0020
#define FILE_TRAVERSE 0x0020
#define FILE_DELETE_CHILD 0x0040
#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_WRITE_ATTRIBUTES 0x0100
#define FILE_GENERIC_READ 0x00120089
#define FILE_GENERIC_WRITE 0x00120116

#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_NORMAL 0x00000080

#define FILE_SUPERSEDE 0x00000000
#define FILE_OPEN 0x00000001
#define FILE_CREATE 0x00000002
#define FILE_OPEN_IF 0x00000003
#define FILE_OVERWRITE 0x00000004
#define FILE_OVERWRITE_IF 0x00000005

#define FILE_DIRECTORY_FILE 0x00000001
#define FILE_WRITE_THROUGH 0x00000002
#define FILE_SEQUENTIAL_ONLY 0x00000004
#define FILE_SYNCHRONOUS_IO_ALERT 0x00000010
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#define FILE_NON_DIRECTORY_FILE 0x00000040
#define FILE_OPEN_FOR_BACKUP_INTENT 0x00004000
#define FILE_DELETE_ON_CLOSE 0x00001000

#define FILE_SUPERSEDED 0x00000000
#define FILE_OPENED 0x00000001
#define FILE_CREATED 0x00000002
#define FILE_OVERWRITTEN 0x00000003
#define FILE_EXISTS 0x00000004
#define FILE_DOES_NOT_EXIST 0x00000005

typedef enum _FILE_INFORMATION_CLASS {
    FileRenameInformation = 10,
    FileDispositionInformation = 13,
    FileDispositionInformationEx = 64,
    FileRenameInformationEx = 65
} FILE_INFORMATION_CLASS;

// Set-information buffers of renames and deletes.
typedef struct _FILE_RENAME_INFORMATION {
    union {
        BOOLEAN ReplaceIfExists;  // FileRenameInformation
        ULONG Flags;              // FileRenameInformationEx: FILE_RENAME_*
    };
    HANDLE RootDirectory;
    ULONG FileNameLength;
    WCHAR FileName[1];
} FILE_RENAME_INFORMATION, *PFILE_RENAME_INFORMATION;
#define FILE_RENAME_REPLACE_IF_EXISTS 0x00000001
#define FILE_RENAME_POSIX_SEMANTICS 0x00000002
typedef struct _FILE_DISPOSITION_INFORMATION {
    BOOLEAN DeleteFile;
} FILE_DISPOSITION_INFORMATION, *PFILE_DISPOSITION_INFORMATION;
typedef struct _FILE_DISPOSITION_INFORMATION_EX {
    ULONG Flags;
} FILE_DISPOSITION_INFORMATION_EX, *PFILE_DISPOSITION_INFORMATION_EX;
#define FILE_DISPOSITION_DO_NOT_DELETE 0x00000000
#define FILE_DISPOSITION_DELETE 0x00000001
#define FILE_DISPOSITION_POSIX_SEMANTICS 0x00000002
#define FILE_DISPOSITION_FORCE_IMAGE_SECTION_CHECK 0x00000004
#define FILE_DISPOSITION_ON_CLOSE 0x00000008

// IRP flags (FLT_IO_PARAMETER_BLOCK::IrpFlags).
#define IRP_NOCACHE 0x00000001
#define IRP_PAGING_IO 0x00000002
#define IRP_SYNCHRONOUS_API 0x00000004
#define IRP_SYNCHRONOUS_PAGING_IO 0x00000040

// ---------------------------------------------------------------- security: tokens, access state
typedef PVOID PACCESS_TOKEN;
#define INITIAL_PRIVILEGE_COUNT 3
typedef struct _INITIAL_PRIVILEGE_SET {
    ULONG PrivilegeCount;
    ULONG Control;
    LUID_AND_ATTRIBUTES Privilege[INITIAL_PRIVILEGE_COUNT];
} INITIAL_PRIVILEGE_SET, *PINITIAL_PRIVILEGE_SET;
typedef struct _PRIVILEGE_SET {
    ULONG PrivilegeCount;
    ULONG Control;
    LUID_AND_ATTRIBUTES Privilege[1];
} PRIVILEGE_SET, *PPRIVILEGE_SET;
typedef enum _SECURITY_IMPERSONATION_LEVEL {
    SecurityAnonymous,
    SecurityIdentification,
    SecurityImpersonation,
    SecurityDelegation
} SECURITY_IMPERSONATION_LEVEL, *PSECURITY_IMPERSONATION_LEVEL;
typedef struct _SECURITY_SUBJECT_CONTEXT {
    PACCESS_TOKEN ClientToken;  // the impersonation token, when the thread impersonates
    SECURITY_IMPERSONATION_LEVEL ImpersonationLevel;
    PACCESS_TOKEN PrimaryToken;  // the process's token
    PVOID ProcessAuditId;
} SECURITY_SUBJECT_CONTEXT, *PSECURITY_SUBJECT_CONTEXT;
typedef struct _ACCESS_STATE {
    LUID OperationID;
    BOOLEAN SecurityEvaluated;
    BOOLEAN GenerateAudit;
    BOOLEAN GenerateOnClose;
    BOOLEAN PrivilegesAllocated;
    ULONG Flags;
    ACCESS_MASK RemainingDesiredAccess;
    ACCESS_MASK PreviouslyGrantedAccess;
    ACCESS_MASK OriginalDesiredAccess;
    SECURITY_SUBJECT_CONTEXT SubjectSecurityContext;
    PSECURITY_DESCRIPTOR SecurityDescriptor;
    PVOID AuxData;
    union {
        INITIAL_PRIVILEGE_SET InitialPrivilegeSet;
        PRIVILEGE_SET PrivilegeSet;
    } Privileges;
    BOOLEAN AuditPrivileges;
    UNICODE_STRING ObjectName;
    UNICODE_STRING ObjectTypeName;
} ACCESS_STATE, *PACCESS_STATE;
// The client token when the subject impersonates, else its primary token.
#define SeQuerySubjectContextToken(SubjectContext)                                      \
    (((PSECURITY_SUBJECT_CONTEXT)(SubjectContext))->ClientToken != NULL                 \
         ? ((PSECURITY_SUBJECT_CONTEXT)(SubjectContext))->ClientToken                   \
         : ((PSECURITY_SUBJECT_CONTEXT)(SubjectContext))->PrimaryToken)
typedef enum _TOKEN_INFORMATION_CLASS {
    TokenUser = 1,
    TokenGroups,
    TokenPrivileges,
    TokenOwner,
    TokenPrimaryGroup,
    TokenDefaultDacl,
    TokenSource,
    TokenType
} TOKEN_INFORMATION_CLASS, *PTOKEN_INFORMATION_CLASS;
#define TOKEN_SOURCE_LENGTH 8
typedef struct _TOKEN_SOURCE {
    CHAR SourceName[TOKEN_SOURCE_LENGTH];  // space padded, not terminated
    LUID SourceIdentifier;
} TOKEN_SOURCE, *PTOKEN_SOURCE;
// The information is allocated by the system; the caller frees it with ExFreePool.
NTSTATUS SeQueryInformationToken(PACCESS_TOKEN token, TOKEN_INFORMATION_CLASS tokenInformationClass,
                                 PVOID* tokenInformation);

// ---------------------------------------------------------------- filter manager
typedef struct _FLT_FILTER* PFLT_FILTER;
typedef struct _FLT_VOLUME* PFLT_VOLUME;
typedef struct _FLT_INSTANCE* PFLT_INSTANCE;
typedef struct _FLT_PORT* PFLT_PORT;
typedef PVOID PFLT_CONTEXT;

typedef USHORT FLT_CONTEXT_TYPE;
typedef ULONG FLT_FILE_NAME_OPTIONS;
#define FLT_VOLUME_CONTEXT 0x0001
#define FLT_INSTANCE_CONTEXT 0x0002
#define FLT_FILE_CONTEXT 0x0004
#define FLT_STREAM_CONTEXT 0x0008
#define FLT_STREAMHANDLE_CONTEXT 0x0010
#define FLT_TRANSACTION_CONTEXT 0x0020
#define FLT_CONTEXT_END 0xffff

typedef enum _FLT_FILESYSTEM_TYPE {
    FLT_FSTYPE_UNKNOWN = 0,
    FLT_FSTYPE_RAW = 1,
    FLT_FSTYPE_NTFS = 2,
    FLT_FSTYPE_FAT = 3,
    FLT_FSTYPE_CDFS = 4,
    FLT_FSTYPE_UDFS = 5,
    FLT_FSTYPE_LANMAN = 6,
    FLT_FSTYPE_WEBDAV = 7,
    FLT_FSTYPE_RDPDR = 8,
    FLT_FSTYPE_NFS = 9,
    FLT_FSTYPE_MS_NETWARE = 10,
    FLT_FSTYPE_NETWARE = 11,
    FLT_FSTYPE_BSUDF = 12,
    FLT_FSTYPE_MUP = 13,
    FLT_FSTYPE_RSFX = 14,
    FLT_FSTYPE_ROXIO_UDF1 = 15,
    FLT_FSTYPE_ROXIO_UDF2 = 16,
    FLT_FSTYPE_ROXIO_UDF3 = 17,
    FLT_FSTYPE_TACIT = 18,
    FLT_FSTYPE_FS_REC = 19,
    FLT_FSTYPE_INCD = 20,
    FLT_FSTYPE_INCD_FAT = 21,
    FLT_FSTYPE_EXFAT = 22,
    FLT_FSTYPE_PSFS = 23,
    FLT_FSTYPE_GPFS = 24,
    FLT_FSTYPE_NPFS = 25,
    FLT_FSTYPE_MSFS = 26,
    FLT_FSTYPE_CSVFS = 27,
    FLT_FSTYPE_REFS = 28,
    FLT_FSTYPE_OPENAFS = 29,
    FLT_FSTYPE_CIMFS = 30
} FLT_FILESYSTEM_TYPE, *PFLT_FILESYSTEM_TYPE;

typedef struct _IO_SECURITY_CONTEXT {
    PVOID SecurityQos;
    PACCESS_STATE AccessState;
    ACCESS_MASK DesiredAccess;
    ULONG FullCreateOptions;
} IO_SECURITY_CONTEXT, *PIO_SECURITY_CONTEXT;

typedef union _FLT_PARAMETERS {
    struct {
        PIO_SECURITY_CONTEXT SecurityContext;
        ULONG Options;  // create options; the create disposition in the high byte
        USHORT POINTER_ALIGNMENT FileAttributes;
        USHORT ShareAccess;
        ULONG POINTER_ALIGNMENT EaLength;
        PVOID EaBuffer;
        LARGE_INTEGER AllocationSize;
    } Create;
    struct {
        ULONG Length;
        ULONG POINTER_ALIGNMENT Key;
        LARGE_INTEGER ByteOffset;
        PVOID ReadBuffer;
        struct _MDL* MdlAddress;
    } Read;
    struct {
        ULONG Length;
        ULONG POINTER_ALIGNMENT Key;
        LARGE_INTEGER ByteOffset;
        PVOID WriteBuffer;
        struct _MDL* MdlAddress;
    } Write;
    struct {
        ULONG Length;
        FILE_INFORMATION_CLASS POINTER_ALIGNMENT FileInformationClass;
        PFILE_OBJECT ParentOfTarget;
        union {
            struct {
                BOOLEAN ReplaceIfExists;
                BOOLEAN AdvanceOnly;
            };
            ULONG ClusterCount;
            HANDLE DeleteHandle;
        };
        PVOID InfoBuffer;
    } SetFileInformation;
    struct {
        PVOID Argument1;
        PVOID Argument2;
        PVOID Argument3;
        PVOID Argument4;
        PVOID Argument5;
        LARGE_INTEGER Argument6;
    } Others;
} FLT_PARAMETERS, *PFLT_PARAMETERS;

typedef struct _FLT_IO_PARAMETER_BLOCK {
    ULONG IrpFlags;
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR OperationFlags;
    UCHAR Reserved;
    PFILE_OBJECT TargetFileObject;
    PFLT_INSTANCE TargetInstance;
    FLT_PARAMETERS Parameters;
} FLT_IO_PARAMETER_BLOCK, *PFLT_IO_PARAMETER_BLOCK;

typedef ULONG FLT_CALLBACK_DATA_FLAGS;
#define FLTFL_CALLBACK_DATA_IRP_OPERATION 0x00000001
#define FLTFL_CALLBACK_DATA_FAST_IO_OPERATION 0x00000002
#define FLTFL_CALLBACK_DATA_GENERATED_IO 0x00010000
#define FLTFL_CALLBACK_DATA_REISSUED_IO 0x00020000

typedef struct _FLT_CALLBACK_DATA {
    FLT_CALLBACK_DATA_FLAGS Flags;
    PETHREAD CONST Thread;
    PFLT_IO_PARAMETER_BLOCK CONST Iopb;
    IO_STATUS_BLOCK IoStatus;
    struct _FLT_TAG_DATA_BUFFER* TagData;
    union {
        struct {
            LIST_ENTRY QueueLinks;
            PVOID QueueContext[2];
        };
        PVOID FilterContext[4];
    };
    KPROCESSOR_MODE RequestorMode;
} FLT_CALLBACK_DATA, *PFLT_CALLBACK_DATA;

typedef struct _KTRANSACTION* PKTRANSACTION;
typedef struct _FLT_RELATED_OBJECTS {
    USHORT CONST Size;
    USHORT CONST TransactionContext;
    PFLT_FILTER CONST Filter;
    PFLT_VOLUME CONST Volume;
    PFLT_INSTANCE CONST Instance;
    PFILE_OBJECT CONST FileObject;
    PKTRANSACTION CONST Transaction;
} FLT_RELATED_OBJECTS, *PFLT_RELATED_OBJECTS;
typedef const FLT_RELATED_OBJECTS* PCFLT_RELATED_OBJECTS;

typedef enum _FLT_PREOP_CALLBACK_STATUS {
    FLT_PREOP_SUCCESS_WITH_CALLBACK,
    FLT_PREOP_SUCCESS_NO_CALLBACK,
    FLT_PREOP_PENDING,
    FLT_PREOP_DISALLOW_FASTIO,
    FLT_PREOP_COMPLETE,
    FLT_PREOP_SYNCHRONIZE,
    FLT_PREOP_DISALLOW_FSFILTER_IO
} FLT_PREOP_CALLBACK_STATUS;
typedef enum _FLT_POSTOP_CALLBACK_STATUS {
    FLT_POSTOP_FINISHED_PROCESSING,
    FLT_POSTOP_MORE_PROCESSING_REQUIRED,
    FLT_POSTOP_DISALLOW_FSFILTER_IO
} FLT_POSTOP_CALLBACK_STATUS;
typedef ULONG FLT_POST_OPERATION_FLAGS;
#define FLTFL_POST_OPERATION_DRAINING 0x00000001

typedef FLT_PREOP_CALLBACK_STATUS (*PFLT_PRE_OPERATION_CALLBACK)(PFLT_CALLBACK_DATA data,
                                                                 PCFLT_RELATED_OBJECTS fltObjects,
                                                                 PVOID* completionContext);
typedef FLT_POSTOP_CALLBACK_STATUS (*PFLT_POST_OPERATION_CALLBACK)(PFLT_CALLBACK_DATA data,
                                                                   PCFLT_RELATED_OBJECTS fltObjects,
                                                                   PVOID completionContext,
                                                                   FLT_POST_OPERATION_FLAGS flags);
typedef ULONG FLT_OPERATION_REGISTRATION_FLAGS;
#define FLTFL_OPERATION_REGISTRATION_SKIP_PAGING_IO 0x00000001
#define FLTFL_OPERATION_REGISTRATION_SKIP_CACHED_IO 0x00000002
typedef struct _FLT_OPERATION_REGISTRATION {
    UCHAR MajorFunction;
    FLT_OPERATION_REGISTRATION_FLAGS Flags;
    PFLT_PRE_OPERATION_CALLBACK PreOperation;
    PFLT_POST_OPERATION_CALLBACK PostOperation;
    PVOID Reserved1;
} FLT_OPERATION_REGISTRATION, *PFLT_OPERATION_REGISTRATION;

typedef void (*PFLT_CONTEXT_CLEANUP_CALLBACK)(PFLT_CONTEXT context, FLT_CONTEXT_TYPE contextType);
typedef PVOID (*PFLT_CONTEXT_ALLOCATE_CALLBACK)(POOL_TYPE poolType, SIZE_T size, FLT_CONTEXT_TYPE contextType);
typedef void (*PFLT_CONTEXT_FREE_CALLBACK)(PVOID pool, FLT_CONTEXT_TYPE contextType);
typedef USHORT FLT_CONTEXT_REGISTRATION_FLAGS;
typedef struct _FLT_CONTEXT_REGISTRATION {
    FLT_CONTEXT_TYPE ContextType;
    FLT_CONTEXT_REGISTRATION_FLAGS Flags;
    PFLT_CONTEXT_CLEANUP_CALLBACK ContextCleanupCallback;
    SIZE_T Size;
    ULONG PoolTag;
    PFLT_CONTEXT_ALLOCATE_CALLBACK ContextAllocateCallback;
    PFLT_CONTEXT_FREE_CALLBACK ContextFreeCallback;
    PVOID Reserved1;
} FLT_CONTEXT_REGISTRATION, *PFLT_CONTEXT_REGISTRATION;
typedef const FLT_CONTEXT_REGISTRATION* PCFLT_CONTEXT_REGISTRATION;

typedef ULONG FLT_FILTER_UNLOAD_FLAGS;
#define FLTFL_FILTER_UNLOAD_MANDATORY 0x00000001
typedef ULONG FLT_INSTANCE_SETUP_FLAGS;
#define FLTFL_INSTANCE_SETUP_AUTOMATIC_ATTACHMENT 0x00000001
#define FLTFL_INSTANCE_SETUP_MANUAL_ATTACHMENT 0x00000002
#define FLTFL_INSTANCE_SETUP_NEWLY_MOUNTED_VOLUME 0x00000004
typedef ULONG FLT_INSTANCE_QUERY_TEARDOWN_FLAGS;
typedef ULONG FLT_INSTANCE_TEARDOWN_FLAGS;

typedef NTSTATUS (*PFLT_FILTER_UNLOAD_CALLBACK)(FLT_FILTER_UNLOAD_FLAGS flags);
typedef NTSTATUS (*PFLT_INSTANCE_SETUP_CALLBACK)(PCFLT_RELATED_OBJECTS fltObjects, FLT_INSTANCE_SETUP_FLAGS flags,
                                                 DEVICE_TYPE volumeDeviceType,
                                                 FLT_FILESYSTEM_TYPE volumeFilesystemType);
typedef NTSTATUS (*PFLT_INSTANCE_QUERY_TEARDOWN_CALLBACK)(PCFLT_RELATED_OBJECTS fltObjects,
                                                          FLT_INSTANCE_QUERY_TEARDOWN_FLAGS flags);
typedef void (*PFLT_INSTANCE_TEARDOWN_CALLBACK)(PCFLT_RELATED_OBJECTS fltObjects,
                                                FLT_INSTANCE_TEARDOWN_FLAGS reason);

// The name-provider, transaction and section callbacks: the driver registers
// none, but the slots keep their types so a wrong routine cannot go in silently.
typedef struct _FLT_NAME_CONTROL {
    UNICODE_STRING Name;
} FLT_NAME_CONTROL, *PFLT_NAME_CONTROL;
typedef ULONG FLT_NORMALIZE_NAME_FLAGS;
typedef struct _FILE_NAMES_INFORMATION {
    ULONG NextEntryOffset;
    ULONG FileIndex;
    ULONG FileNameLength;
    WCHAR FileName[1];
} FILE_NAMES_INFORMATION, *PFILE_NAMES_INFORMATION;
typedef NTSTATUS (*PFLT_GENERATE_FILE_NAME)(PFLT_INSTANCE instance, PFILE_OBJECT fileObject,
                                            PFLT_CALLBACK_DATA callbackData, FLT_FILE_NAME_OPTIONS nameOptions,
                                            PBOOLEAN cacheFileNameInformation, PFLT_NAME_CONTROL fileName);
typedef NTSTATUS (*PFLT_NORMALIZE_NAME_COMPONENT)(PFLT_INSTANCE instance, PCUNICODE_STRING parentDirectory,
                                                  USHORT volumeNameLength, PCUNICODE_STRING component,
                                                  PFILE_NAMES_INFORMATION expandComponentName,
                                                  ULONG expandComponentNameLength, FLT_NORMALIZE_NAME_FLAGS flags,
                                                  PVOID* normalizationContext);
typedef NTSTATUS (*PFLT_NORMALIZE_NAME_COMPONENT_EX)(PFLT_INSTANCE instance, PFILE_OBJECT fileObject,
                                                     PCUNICODE_STRING parentDirectory, USHORT volumeNameLength,
                                                     PCUNICODE_STRING component,
                                                     PFILE_NAMES_INFORMATION expandComponentName,
                                                     ULONG expandComponentNameLength,
                                                     FLT_NORMALIZE_NAME_FLAGS flags, PVOID* normalizationContext);
typedef void (*PFLT_NORMALIZE_CONTEXT_CLEANUP)(PVOID* normalizationContext);
typedef NTSTATUS (*PFLT_TRANSACTION_NOTIFICATION_CALLBACK)(PCFLT_RELATED_OBJECTS fltObjects,
                                                           PFLT_CONTEXT transactionContext, ULONG notificationMask);
typedef NTSTATUS (*PFLT_SECTION_CONFLICT_NOTIFICATION_CALLBACK)(PFLT_INSTANCE instance, PFLT_CONTEXT sectionContext,
                                                                PFLT_CALLBACK_DATA data);

typedef ULONG FLT_REGISTRATION_FLAGS;
typedef struct _FLT_REGISTRATION {
    USHORT Size;
    USHORT Version;
    FLT_REGISTRATION_FLAGS Flags;
    const FLT_CONTEXT_REGISTRATION* ContextRegistration;
    const FLT_OPERATION_REGISTRATION* OperationRegistration;
    PFLT_FILTER_UNLOAD_CALLBACK FilterUnloadCallback;
    PFLT_INSTANCE_SETUP_CALLBACK InstanceSetupCallback;
    PFLT_INSTANCE_QUERY_TEARDOWN_CALLBACK InstanceQueryTeardownCallback;
    PFLT_INSTANCE_TEARDOWN_CALLBACK InstanceTeardownStartCallback;
    PFLT_INSTANCE_TEARDOWN_CALLBACK InstanceTeardownCompleteCallback;
    PFLT_GENERATE_FILE_NAME GenerateFileNameCallback;
    PFLT_NORMALIZE_NAME_COMPONENT NormalizeNameComponentCallback;
    PFLT_NORMALIZE_CONTEXT_CLEANUP NormalizeContextCleanupCallback;
    PFLT_TRANSACTION_NOTIFICATION_CALLBACK TransactionNotificationCallback;
    PFLT_NORMALIZE_NAME_COMPONENT_EX NormalizeNameComponentExCallback;
    PFLT_SECTION_CONFLICT_NOTIFICATION_CALLBACK SectionNotificationCallback;
} FLT_REGISTRATION, *PFLT_REGISTRATION;
#define FLT_REGISTRATION_VERSION_0203 0x0203
#define FLT_REGISTRATION_VERSION FLT_REGISTRATION_VERSION_0203

NTSTATUS FltRegisterFilter(PDRIVER_OBJECT driver, const FLT_REGISTRATION* registration, PFLT_FILTER* retFilter);
NTSTATUS FltStartFiltering(PFLT_FILTER filter);
void FltUnregisterFilter(PFLT_FILTER filter);

// Communication ports.
#define FLT_PORT_CONNECT 0x0001
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define FLT_PORT_ALL_ACCESS (FLT_PORT_CONNECT | STANDARD_RIGHTS_ALL)
typedef NTSTATUS (*PFLT_CONNECT_NOTIFY)(PFLT_PORT clientPort, PVOID serverPortCookie, PVOID connectionContext,
                                        ULONG sizeOfContext, PVOID* connectionPortCookie);
typedef void (*PFLT_DISCONNECT_NOTIFY)(PVOID connectionCookie);
typedef NTSTATUS (*PFLT_MESSAGE_NOTIFY)(PVOID portCookie, PVOID inputBuffer, ULONG inputBufferLength,
                                        PVOID outputBuffer, ULONG outputBufferLength,
                                        PULONG returnOutputBufferLength);
NTSTATUS FltBuildDefaultSecurityDescriptor(PSECURITY_DESCRIPTOR* securityDescriptor, ACCESS_MASK desiredAccess);
void FltFreeSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor);
NTSTATUS FltCreateCommunicationPort(PFLT_FILTER filter, PFLT_PORT* serverPort, POBJECT_ATTRIBUTES objectAttributes,
                                    PVOID serverPortCookie, PFLT_CONNECT_NOTIFY connectNotifyCallback,
                                    PFLT_DISCONNECT_NOTIFY disconnectNotifyCallback,
                                    PFLT_MESSAGE_NOTIFY messageNotifyCallback, LONG maxConnections);
void FltCloseCommunicationPort(PFLT_PORT serverPort);
void FltCloseClientPort(PFLT_FILTER filter, PFLT_PORT* clientPort);

// Files through the filters below the given instance.
NTSTATUS FltCreateFile(PFLT_FILTER filter, PFLT_INSTANCE instance, PHANDLE fileHandle, ACCESS_MASK desiredAccess,
                       POBJECT_ATTRIBUTES objectAttributes, PIO_STATUS_BLOCK ioStatusBlock,
                       PLARGE_INTEGER allocationSize, ULONG fileAttributes, ULONG shareAccess,
                       ULONG createDisposition, ULONG createOptions, PVOID eaBuffer, ULONG eaLength,
                       ULONG flags);
NTSTATUS FltClose(HANDLE fileHandle);

// Name information.
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
NTSTATUS FltGetFileNameInformation(PFLT_CALLBACK_DATA callbackData, FLT_FILE_NAME_OPTIONS nameOptions,
                                   PFLT_FILE_NAME_INFORMATION* fileNameInformation);
NTSTATUS FltParseFileNameInformation(PFLT_FILE_NAME_INFORMATION fileNameInformation);
void FltReleaseFileNameInformation(PFLT_FILE_NAME_INFORMATION fileNameInformation);

// Volumes.
// The storage device object the volume is mounted on, referenced (ObDereferenceObject).
NTSTATUS FltGetDiskDeviceObject(PFLT_VOLUME volume, PDEVICE_OBJECT* diskDeviceObject);
NTSTATUS FltQueryVolumeInformation(PFLT_INSTANCE instance, PIO_STATUS_BLOCK iosb, PVOID fsInformation, ULONG length,
                                   FS_INFORMATION_CLASS fsInformationClass);

// Contexts.
NTSTATUS FltAllocateContext(PFLT_FILTER filter, FLT_CONTEXT_TYPE contextType, SIZE_T contextSize,
                            POOL_TYPE poolType, PFLT_CONTEXT* returnedContext);
typedef enum _FLT_SET_CONTEXT_OPERATION { FLT_SET_CONTEXT_REPLACE_IF_EXISTS, FLT_SET_CONTEXT_KEEP_IF_EXISTS } FLT_SET_CONTEXT_OPERATION;
NTSTATUS FltSetVolumeContext(PFLT_VOLUME volume, FLT_SET_CONTEXT_OPERATION operation, PFLT_CONTEXT newContext,
                             PFLT_CONTEXT* oldContext);
NTSTATUS FltGetVolumeContext(PFLT_FILTER filter, PFLT_VOLUME volume, PFLT_CONTEXT* context);
void FltReleaseContext(PFLT_CONTEXT context);

#endif  // _WIN32
