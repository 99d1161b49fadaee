// Compile-time proof that the kernel platform has the WDK's x64 shapes.
//
// Built twice: in the Linux build against platform/km.h, and by the Windows
// compile check (scripts/wincheck.sh) against the Windows headers. The numbers
// below are the WDK's x64 offsets and sizes of what the driver reads; when both
// builds pass, km.h and the Windows headers agree on every one of them.
#include "platform/km.h"

#include <stddef.h>

#define WDK_OFFSET(type, member, offset) \
    static_assert(offsetof(type, member) == (offset), #type "." #member " is at " #offset " on x64")
#define WDK_SIZE(type, size) static_assert(sizeof(type) == (size), "sizeof(" #type ") is " #size " on x64")

static_assert(sizeof(void*) == 8, "the layouts below are the x64 ones");

// ---------------------------------------------------------------- basic types
WDK_SIZE(LARGE_INTEGER, 8);
WDK_SIZE(LIST_ENTRY, 16);
WDK_SIZE(KSPIN_LOCK, 8);
WDK_SIZE(CLIENT_ID, 16);
WDK_SIZE(WCHAR, 2);
WDK_SIZE(ULONG, 4);
WDK_SIZE(NTSTATUS, 4);
WDK_SIZE(KPROCESSOR_MODE, 1);

WDK_OFFSET(UNICODE_STRING, Length, 0);
WDK_OFFSET(UNICODE_STRING, MaximumLength, 2);
WDK_OFFSET(UNICODE_STRING, Buffer, 8);
WDK_SIZE(UNICODE_STRING, 16);

WDK_OFFSET(OBJECT_ATTRIBUTES, Length, 0);
WDK_OFFSET(OBJECT_ATTRIBUTES, RootDirectory, 8);
WDK_OFFSET(OBJECT_ATTRIBUTES, ObjectName, 16);
WDK_OFFSET(OBJECT_ATTRIBUTES, Attributes, 24);
WDK_OFFSET(OBJECT_ATTRIBUTES, SecurityDescriptor, 32);
WDK_OFFSET(OBJECT_ATTRIBUTES, SecurityQualityOfService, 40);
WDK_SIZE(OBJECT_ATTRIBUTES, 48);

WDK_OFFSET(IO_STATUS_BLOCK, Status, 0);
WDK_OFFSET(IO_STATUS_BLOCK, Pointer, 0);
WDK_OFFSET(IO_STATUS_BLOCK, Information, 8);
WDK_SIZE(IO_STATUS_BLOCK, 16);

WDK_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex, 0);
WDK_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Type, 4);
WDK_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, DataLength, 8);
WDK_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data, 12);
WDK_SIZE(KEY_VALUE_PARTIAL_INFORMATION, 16);

// ---------------------------------------------------------------- kernel objects the driver embeds
WDK_SIZE(KEVENT, 24);
WDK_SIZE(NPAGED_LOOKASIDE_LIST, 128);
static_assert(alignof(NPAGED_LOOKASIDE_LIST) == 64, "NPAGED_LOOKASIDE_LIST is cache-aligned on x64");
WDK_SIZE(RTL_BALANCED_LINKS, 32);
WDK_OFFSET(RTL_AVL_TABLE, OrderedPointer, 32);
WDK_OFFSET(RTL_AVL_TABLE, RestartKey, 56);
WDK_OFFSET(RTL_AVL_TABLE, CompareRoutine, 72);
WDK_OFFSET(RTL_AVL_TABLE, TableContext, 96);
WDK_SIZE(RTL_AVL_TABLE, 104);

// ---------------------------------------------------------------- I/O requests, devices and storage
WDK_OFFSET(IO_STACK_LOCATION, MajorFunction, 0);
WDK_OFFSET(IO_STACK_LOCATION, Control, 3);
WDK_OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength, 8);
WDK_OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength, 16);
WDK_OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode, 24);
WDK_OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer, 32);
WDK_OFFSET(IO_STACK_LOCATION, DeviceObject, 40);
WDK_OFFSET(IO_STACK_LOCATION, FileObject, 48);
WDK_OFFSET(IO_STACK_LOCATION, CompletionRoutine, 56);
WDK_OFFSET(IO_STACK_LOCATION, Context, 64);
WDK_SIZE(IO_STACK_LOCATION, 72);

WDK_OFFSET(IRP, MdlAddress, 8);
WDK_OFFSET(IRP, Flags, 16);
WDK_OFFSET(IRP, AssociatedIrp.SystemBuffer, 24);
WDK_OFFSET(IRP, IoStatus, 48);
WDK_OFFSET(IRP, RequestorMode, 64);
WDK_OFFSET(IRP, PendingReturned, 65);
WDK_OFFSET(IRP, StackCount, 66);
WDK_OFFSET(IRP, CurrentLocation, 67);
WDK_OFFSET(IRP, UserIosb, 72);
WDK_OFFSET(IRP, UserEvent, 80);
WDK_OFFSET(IRP, UserBuffer, 112);
WDK_OFFSET(IRP, Tail.Overlay.DriverContext, 120);
WDK_OFFSET(IRP, Tail.Overlay.Thread, 152);
WDK_OFFSET(IRP, Tail.Overlay.CurrentStackLocation, 184);
WDK_OFFSET(IRP, Tail.Overlay.OriginalFileObject, 192);
WDK_SIZE(IRP, 208);

WDK_OFFSET(DEVPROPKEY, pid, 16);
WDK_SIZE(DEVPROPKEY, 20);

WDK_SIZE(STORAGE_PROPERTY_QUERY, 12);
WDK_OFFSET(STORAGE_DEVICE_DESCRIPTOR, Size, 4);
WDK_OFFSET(STORAGE_DEVICE_DESCRIPTOR, RemovableMedia, 10);
WDK_OFFSET(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset, 12);
WDK_OFFSET(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset, 16);
WDK_OFFSET(STORAGE_DEVICE_DESCRIPTOR, ProductRevisionOffset, 20);
WDK_OFFSET(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset, 24);
WDK_OFFSET(STORAGE_DEVICE_DESCRIPTOR, BusType, 28);
WDK_OFFSET(STORAGE_DEVICE_DESCRIPTOR, RawPropertiesLength, 32);
WDK_OFFSET(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties, 36);
WDK_SIZE(STORAGE_DEVICE_DESCRIPTOR, 40);

WDK_OFFSET(FILE_FS_SIZE_INFORMATION, AvailableAllocationUnits, 8);
WDK_OFFSET(FILE_FS_SIZE_INFORMATION, SectorsPerAllocationUnit, 16);
WDK_OFFSET(FILE_FS_SIZE_INFORMATION, BytesPerSector, 20);
WDK_SIZE(FILE_FS_SIZE_INFORMATION, 24);

static_assert(IOCTL_STORAGE_QUERY_PROPERTY == 0x2D1400, "IOCTL_STORAGE_QUERY_PROPERTY");
static_assert(BusTypeUsb == 7 && StorageDeviceProperty == 0 && PropertyStandardQuery == 0, "storage query values");
static_assert(DevicePropertyDeviceDescription == 0 && DevicePropertyHardwareID == 1 &&
                  DevicePropertyFriendlyName == 9 && DevicePropertyEnumeratorName == 15,
              "device property numbers");
static_assert(FileFsSizeInformation == 3, "FileFsSizeInformation");

// ---------------------------------------------------------------- process creation
WDK_OFFSET(PS_CREATE_NOTIFY_INFO, Size, 0);
WDK_OFFSET(PS_CREATE_NOTIFY_INFO, Flags, 8);
WDK_OFFSET(PS_CREATE_NOTIFY_INFO, ParentProcessId, 16);
WDK_OFFSET(PS_CREATE_NOTIFY_INFO, CreatingThreadId, 24);
WDK_OFFSET(PS_CREATE_NOTIFY_INFO, FileObject, 40);
WDK_OFFSET(PS_CREATE_NOTIFY_INFO, ImageFileName, 48);
WDK_OFFSET(PS_CREATE_NOTIFY_INFO, CommandLine, 56);
WDK_OFFSET(PS_CREATE_NOTIFY_INFO, CreationStatus, 64);
WDK_SIZE(PS_CREATE_NOTIFY_INFO, 72);

// ---------------------------------------------------------------- object callbacks
WDK_OFFSET(OB_PRE_OPERATION_INFORMATION, Operation, 0);
WDK_OFFSET(OB_PRE_OPERATION_INFORMATION, Flags, 4);
WDK_OFFSET(OB_PRE_OPERATION_INFORMATION, Object, 8);
WDK_OFFSET(OB_PRE_OPERATION_INFORMATION, ObjectType, 16);
WDK_OFFSET(OB_PRE_OPERATION_INFORMATION, CallContext, 24);
WDK_OFFSET(OB_PRE_OPERATION_INFORMATION, Parameters, 32);
WDK_SIZE(OB_PRE_OPERATION_INFORMATION, 40);
WDK_OFFSET(OB_PRE_CREATE_HANDLE_INFORMATION, DesiredAccess, 0);
WDK_OFFSET(OB_PRE_CREATE_HANDLE_INFORMATION, OriginalDesiredAccess, 4);
WDK_OFFSET(OB_PRE_DUPLICATE_HANDLE_INFORMATION, DesiredAccess, 0);
WDK_OFFSET(OB_PRE_DUPLICATE_HANDLE_INFORMATION, OriginalDesiredAccess, 4);
WDK_OFFSET(OB_PRE_DUPLICATE_HANDLE_INFORMATION, SourceProcess, 8);
WDK_OFFSET(OB_PRE_DUPLICATE_HANDLE_INFORMATION, TargetProcess, 16);
WDK_SIZE(OB_PRE_OPERATION_PARAMETERS, 24);
WDK_OFFSET(OB_POST_OPERATION_INFORMATION, ReturnStatus, 32);
WDK_OFFSET(OB_POST_OPERATION_INFORMATION, Parameters, 40);
WDK_OFFSET(OB_OPERATION_REGISTRATION, ObjectType, 0);
WDK_OFFSET(OB_OPERATION_REGISTRATION, Operations, 8);
WDK_OFFSET(OB_OPERATION_REGISTRATION, PreOperation, 16);
WDK_OFFSET(OB_OPERATION_REGISTRATION, PostOperation, 24);
WDK_SIZE(OB_OPERATION_REGISTRATION, 32);
WDK_OFFSET(OB_CALLBACK_REGISTRATION, Version, 0);
WDK_OFFSET(OB_CALLBACK_REGISTRATION, OperationRegistrationCount, 2);
WDK_OFFSET(OB_CALLBACK_REGISTRATION, Altitude, 8);
WDK_OFFSET(OB_CALLBACK_REGISTRATION, RegistrationContext, 24);
WDK_OFFSET(OB_CALLBACK_REGISTRATION, OperationRegistration, 32);
WDK_SIZE(OB_CALLBACK_REGISTRATION, 40);
static_assert(OB_FLT_REGISTRATION_VERSION == 0x0100 && OB_OPERATION_HANDLE_CREATE == 1 &&
                  OB_OPERATION_HANDLE_DUPLICATE == 2 && OB_PREOP_SUCCESS == 0,
              "object callback values");
static_assert(PROCESS_TERMINATE == 1 && PROCESS_SUSPEND_RESUME == 0x800 && THREAD_TERMINATE == 1 &&
                  THREAD_SUSPEND_RESUME == 2 && PROCESS_CREATE_THREAD == 2 && PROCESS_VM_READ == 0x10,
              "process and thread access rights");

// ---------------------------------------------------------------- filter manager: requests
WDK_OFFSET(IO_SECURITY_CONTEXT, SecurityQos, 0);
WDK_OFFSET(IO_SECURITY_CONTEXT, AccessState, 8);
WDK_OFFSET(IO_SECURITY_CONTEXT, DesiredAccess, 16);
WDK_OFFSET(IO_SECURITY_CONTEXT, FullCreateOptions, 20);
WDK_SIZE(IO_SECURITY_CONTEXT, 24);

WDK_OFFSET(SECURITY_SUBJECT_CONTEXT, ClientToken, 0);
WDK_OFFSET(SECURITY_SUBJECT_CONTEXT, ImpersonationLevel, 8);
WDK_OFFSET(SECURITY_SUBJECT_CONTEXT, PrimaryToken, 16);
WDK_SIZE(SECURITY_SUBJECT_CONTEXT, 32);
WDK_OFFSET(ACCESS_STATE, Flags, 12);
WDK_OFFSET(ACCESS_STATE, OriginalDesiredAccess, 24);
WDK_OFFSET(ACCESS_STATE, SubjectSecurityContext, 32);
WDK_OFFSET(ACCESS_STATE, SecurityDescriptor, 64);
WDK_OFFSET(ACCESS_STATE, Privileges, 80);
WDK_OFFSET(ACCESS_STATE, AuditPrivileges, 124);
WDK_OFFSET(ACCESS_STATE, ObjectName, 128);
WDK_OFFSET(ACCESS_STATE, ObjectTypeName, 144);
WDK_SIZE(ACCESS_STATE, 160);
WDK_OFFSET(TOKEN_SOURCE, SourceName, 0);
WDK_OFFSET(TOKEN_SOURCE, SourceIdentifier, 8);
WDK_SIZE(TOKEN_SOURCE, 16);
WDK_OFFSET(FILE_RENAME_INFORMATION, ReplaceIfExists, 0);
WDK_OFFSET(FILE_RENAME_INFORMATION, RootDirectory, 8);
WDK_OFFSET(FILE_RENAME_INFORMATION, FileNameLength, 16);
WDK_OFFSET(FILE_RENAME_INFORMATION, FileName, 20);
WDK_SIZE(FILE_DISPOSITION_INFORMATION, 1);

WDK_OFFSET(FLT_PARAMETERS, Create.SecurityContext, 0);
WDK_OFFSET(FLT_PARAMETERS, Create.Options, 8);
WDK_OFFSET(FLT_PARAMETERS, Create.FileAttributes, 16);
WDK_OFFSET(FLT_PARAMETERS, Create.ShareAccess, 18);
WDK_OFFSET(FLT_PARAMETERS, Create.EaLength, 24);
WDK_OFFSET(FLT_PARAMETERS, Create.EaBuffer, 32);
WDK_OFFSET(FLT_PARAMETERS, Create.AllocationSize, 40);
WDK_OFFSET(FLT_PARAMETERS, Read.Length, 0);
WDK_OFFSET(FLT_PARAMETERS, Read.Key, 8);
WDK_OFFSET(FLT_PARAMETERS, Read.ByteOffset, 16);
WDK_OFFSET(FLT_PARAMETERS, Read.ReadBuffer, 24);
WDK_OFFSET(FLT_PARAMETERS, Read.MdlAddress, 32);
WDK_OFFSET(FLT_PARAMETERS, Write.Length, 0);
WDK_OFFSET(FLT_PARAMETERS, Write.Key, 8);
WDK_OFFSET(FLT_PARAMETERS, Write.ByteOffset, 16);
WDK_OFFSET(FLT_PARAMETERS, Write.WriteBuffer, 24);
WDK_OFFSET(FLT_PARAMETERS, Write.MdlAddress, 32);
WDK_OFFSET(FLT_PARAMETERS, SetFileInformation.Length, 0);
WDK_OFFSET(FLT_PARAMETERS, SetFileInformation.FileInformationClass, 8);
WDK_OFFSET(FLT_PARAMETERS, SetFileInformation.ParentOfTarget, 16);
WDK_OFFSET(FLT_PARAMETERS, SetFileInformation.ReplaceIfExists, 24);
WDK_OFFSET(FLT_PARAMETERS, SetFileInformation.AdvanceOnly, 25);
WDK_OFFSET(FLT_PARAMETERS, SetFileInformation.ClusterCount, 24);
WDK_OFFSET(FLT_PARAMETERS, SetFileInformation.DeleteHandle, 24);
WDK_OFFSET(FLT_PARAMETERS, SetFileInformation.InfoBuffer, 32);
WDK_OFFSET(FLT_PARAMETERS, Others.Argument1, 0);
WDK_OFFSET(FLT_PARAMETERS, Others.Argument5, 32);
WDK_OFFSET(FLT_PARAMETERS, Others.Argument6, 40);
WDK_SIZE(FLT_PARAMETERS, 48);

WDK_OFFSET(FLT_IO_PARAMETER_BLOCK, IrpFlags, 0);
WDK_OFFSET(FLT_IO_PARAMETER_BLOCK, MajorFunction, 4);
WDK_OFFSET(FLT_IO_PARAMETER_BLOCK, MinorFunction, 5);
WDK_OFFSET(FLT_IO_PARAMETER_BLOCK, OperationFlags, 6);
WDK_OFFSET(FLT_IO_PARAMETER_BLOCK, TargetFileObject, 8);
WDK_OFFSET(FLT_IO_PARAMETER_BLOCK, TargetInstance, 16);
WDK_OFFSET(FLT_IO_PARAMETER_BLOCK, Parameters, 24);
WDK_SIZE(FLT_IO_PARAMETER_BLOCK, 72);

WDK_OFFSET(FLT_CALLBACK_DATA, Flags, 0);
WDK_OFFSET(FLT_CALLBACK_DATA, Thread, 8);
WDK_OFFSET(FLT_CALLBACK_DATA, Iopb, 16);
WDK_OFFSET(FLT_CALLBACK_DATA, IoStatus, 24);
WDK_OFFSET(FLT_CALLBACK_DATA, TagData, 40);
WDK_OFFSET(FLT_CALLBACK_DATA, QueueLinks, 48);
WDK_OFFSET(FLT_CALLBACK_DATA, QueueContext, 64);
WDK_OFFSET(FLT_CALLBACK_DATA, FilterContext, 48);
WDK_OFFSET(FLT_CALLBACK_DATA, RequestorMode, 80);
WDK_SIZE(FLT_CALLBACK_DATA, 88);

WDK_OFFSET(FLT_RELATED_OBJECTS, Size, 0);
WDK_OFFSET(FLT_RELATED_OBJECTS, TransactionContext, 2);
WDK_OFFSET(FLT_RELATED_OBJECTS, Filter, 8);
WDK_OFFSET(FLT_RELATED_OBJECTS, Volume, 16);
WDK_OFFSET(FLT_RELATED_OBJECTS, Instance, 24);
WDK_OFFSET(FLT_RELATED_OBJECTS, FileObject, 32);
WDK_OFFSET(FLT_RELATED_OBJECTS, Transaction, 40);
WDK_SIZE(FLT_RELATED_OBJECTS, 48);

WDK_OFFSET(FLT_FILE_NAME_INFORMATION, Size, 0);
WDK_OFFSET(FLT_FILE_NAME_INFORMATION, NamesParsed, 2);
WDK_OFFSET(FLT_FILE_NAME_INFORMATION, Format, 4);
WDK_OFFSET(FLT_FILE_NAME_INFORMATION, Name, 8);
WDK_OFFSET(FLT_FILE_NAME_INFORMATION, Volume, 24);
WDK_OFFSET(FLT_FILE_NAME_INFORMATION, Share, 40);
WDK_OFFSET(FLT_FILE_NAME_INFORMATION, Extension, 56);
WDK_OFFSET(FLT_FILE_NAME_INFORMATION, Stream, 72);
WDK_OFFSET(FLT_FILE_NAME_INFORMATION, FinalComponent, 88);
WDK_OFFSET(FLT_FILE_NAME_INFORMATION, ParentDir, 104);
WDK_SIZE(FLT_FILE_NAME_INFORMATION, 120);

// ---------------------------------------------------------------- filter manager: registration
WDK_OFFSET(FLT_OPERATION_REGISTRATION, MajorFunction, 0);
WDK_OFFSET(FLT_OPERATION_REGISTRATION, Flags, 4);
WDK_OFFSET(FLT_OPERATION_REGISTRATION, PreOperation, 8);
WDK_OFFSET(FLT_OPERATION_REGISTRATION, PostOperation, 16);
WDK_OFFSET(FLT_OPERATION_REGISTRATION, Reserved1, 24);
WDK_SIZE(FLT_OPERATION_REGISTRATION, 32);
WDK_SIZE(FLT_OPERATION_REGISTRATION_FLAGS, 4);

WDK_OFFSET(FLT_CONTEXT_REGISTRATION, ContextType, 0);
WDK_OFFSET(FLT_CONTEXT_REGISTRATION, Flags, 2);
WDK_OFFSET(FLT_CONTEXT_REGISTRATION, ContextCleanupCallback, 8);
WDK_OFFSET(FLT_CONTEXT_REGISTRATION, Size, 16);
WDK_OFFSET(FLT_CONTEXT_REGISTRATION, PoolTag, 24);
WDK_OFFSET(FLT_CONTEXT_REGISTRATION, ContextAllocateCallback, 32);
WDK_OFFSET(FLT_CONTEXT_REGISTRATION, ContextFreeCallback, 40);
WDK_OFFSET(FLT_CONTEXT_REGISTRATION, Reserved1, 48);
WDK_SIZE(FLT_CONTEXT_REGISTRATION, 56);

WDK_OFFSET(FLT_REGISTRATION, Size, 0);
WDK_OFFSET(FLT_REGISTRATION, Version, 2);
WDK_OFFSET(FLT_REGISTRATION, Flags, 4);
WDK_OFFSET(FLT_REGISTRATION, ContextRegistration, 8);
WDK_OFFSET(FLT_REGISTRATION, OperationRegistration, 16);
WDK_OFFSET(FLT_REGISTRATION, FilterUnloadCallback, 24);
WDK_OFFSET(FLT_REGISTRATION, InstanceSetupCallback, 32);
WDK_OFFSET(FLT_REGISTRATION, InstanceQueryTeardownCallback, 40);
WDK_OFFSET(FLT_REGISTRATION, InstanceTeardownStartCallback, 48);
WDK_OFFSET(FLT_REGISTRATION, InstanceTeardownCompleteCallback, 56);
WDK_OFFSET(FLT_REGISTRATION, GenerateFileNameCallback, 64);
WDK_OFFSET(FLT_REGISTRATION, NormalizeNameComponentCallback, 72);
WDK_OFFSET(FLT_REGISTRATION, NormalizeContextCleanupCallback, 80);
WDK_OFFSET(FLT_REGISTRATION, TransactionNotificationCallback, 88);
WDK_OFFSET(FLT_REGISTRATION, NormalizeNameComponentExCallback, 96);
WDK_OFFSET(FLT_REGISTRATION, SectionNotificationCallback, 104);
WDK_SIZE(FLT_REGISTRATION, 112);

// ---------------------------------------------------------------- declared types
// Members whose type the WDK fixes: const where the filter manager owns the value,
// typed callback slots (a routine of the wrong shape does not fit), MODE values.
template <class A, class B>
struct WdkSameType {
    static constexpr bool value = false;
};
template <class A>
struct WdkSameType<A, A> {
    static constexpr bool value = true;
};
#define WDK_TYPE(expr, type) static_assert(WdkSameType<decltype(expr), type>::value, #expr " is " #type)

WDK_TYPE(KernelMode, MODE);
WDK_TYPE(UserMode, MODE);
WDK_TYPE(IO_STATUS_BLOCK::Status, NTSTATUS);
WDK_TYPE(IO_SECURITY_CONTEXT::AccessState, PACCESS_STATE);
WDK_TYPE(PS_CREATE_NOTIFY_INFO::CreatingThreadId, CLIENT_ID);
WDK_TYPE(FLT_CALLBACK_DATA::Thread, PETHREAD const);
WDK_TYPE(FLT_CALLBACK_DATA::Iopb, PFLT_IO_PARAMETER_BLOCK const);
WDK_TYPE(FLT_CALLBACK_DATA::RequestorMode, KPROCESSOR_MODE);
WDK_TYPE(FLT_RELATED_OBJECTS::Size, USHORT const);
WDK_TYPE(FLT_RELATED_OBJECTS::Filter, PFLT_FILTER const);
WDK_TYPE(FLT_RELATED_OBJECTS::Volume, PFLT_VOLUME const);
WDK_TYPE(FLT_RELATED_OBJECTS::Instance, PFLT_INSTANCE const);
WDK_TYPE(FLT_RELATED_OBJECTS::FileObject, PFILE_OBJECT const);
WDK_TYPE(FLT_OPERATION_REGISTRATION::Flags, ULONG);
WDK_TYPE(FLT_OPERATION_REGISTRATION::PreOperation, PFLT_PRE_OPERATION_CALLBACK);
WDK_TYPE(FLT_OPERATION_REGISTRATION::PostOperation, PFLT_POST_OPERATION_CALLBACK);
WDK_TYPE(FLT_CONTEXT_REGISTRATION::ContextCleanupCallback, PFLT_CONTEXT_CLEANUP_CALLBACK);
WDK_TYPE(FLT_CONTEXT_REGISTRATION::ContextAllocateCallback, PFLT_CONTEXT_ALLOCATE_CALLBACK);
WDK_TYPE(FLT_CONTEXT_REGISTRATION::ContextFreeCallback, PFLT_CONTEXT_FREE_CALLBACK);
WDK_TYPE(FLT_REGISTRATION::Flags, FLT_REGISTRATION_FLAGS);
WDK_TYPE(FLT_REGISTRATION::FilterUnloadCallback, PFLT_FILTER_UNLOAD_CALLBACK);
WDK_TYPE(FLT_REGISTRATION::InstanceSetupCallback, PFLT_INSTANCE_SETUP_CALLBACK);
WDK_TYPE(FLT_REGISTRATION::InstanceQueryTeardownCallback, PFLT_INSTANCE_QUERY_TEARDOWN_CALLBACK);
WDK_TYPE(FLT_REGISTRATION::InstanceTeardownStartCallback, PFLT_INSTANCE_TEARDOWN_CALLBACK);
WDK_TYPE(FLT_REGISTRATION::GenerateFileNameCallback, PFLT_GENERATE_FILE_NAME);
WDK_TYPE(FLT_REGISTRATION::NormalizeNameComponentCallback, PFLT_NORMALIZE_NAME_COMPONENT);
WDK_TYPE(FLT_REGISTRATION::NormalizeContextCleanupCallback, PFLT_NORMALIZE_CONTEXT_CLEANUP);
WDK_TYPE(FLT_REGISTRATION::TransactionNotificationCallback, PFLT_TRANSACTION_NOTIFICATION_CALLBACK);
WDK_TYPE(FLT_REGISTRATION::NormalizeNameComponentExCallback, PFLT_NORMALIZE_NAME_COMPONENT_EX);
WDK_TYPE(FLT_REGISTRATION::SectionNotificationCallback, PFLT_SECTION_CONFLICT_NOTIFICATION_CALLBACK);

// ---------------------------------------------------------------- constants the driver's decisions rest on
static_assert(KernelMode == 0 && UserMode == 1, "MODE values");
static_assert(TokenSource == 7 && FileRenameInformation == 10 && FileDispositionInformation == 13 &&
                  FileDispositionInformationEx == 64 && FileRenameInformationEx == 65,
              "information classes");
static_assert(IRP_PAGING_IO == 2 && FLTFL_CALLBACK_DATA_IRP_OPERATION == 1 && FLTFL_CALLBACK_DATA_FAST_IO_OPERATION == 2,
              "request flags");
static_assert(IRP_MJ_CREATE == 0x00 && IRP_MJ_CLOSE == 0x02 && IRP_MJ_READ == 0x03 && IRP_MJ_WRITE == 0x04 &&
                  IRP_MJ_SET_INFORMATION == 0x06 && IRP_MJ_CLEANUP == 0x12 && IRP_MJ_OPERATION_END == 0x80,
              "major function codes");
static_assert(FILE_SUPERSEDE == 0 && FILE_OPEN == 1 && FILE_CREATE == 2 && FILE_OPEN_IF == 3 &&
                  FILE_OVERWRITE == 4 && FILE_OVERWRITE_IF == 5,
              "create dispositions");
static_assert(FILE_WRITE_DATA == 2 && FILE_WRITE_EA == 0x10 && FILE_LIST_DIRECTORY == 1 && DELETE == 0x10000,
              "access bits");
static_assert(FLT_PREOP_SUCCESS_WITH_CALLBACK == 0 && FLT_PREOP_SUCCESS_NO_CALLBACK == 1 && FLT_PREOP_COMPLETE == 4,
              "pre-operation statuses");
static_assert(FLTFL_CALLBACK_DATA_GENERATED_IO == 0x00010000, "generated I/O flag");
static_assert(STATUS_ACCESS_DENIED == (NTSTATUS)0xC0000022L, "STATUS_ACCESS_DENIED");

// ---------------------------------------------------------------- the standard minifilter idiom
// A pre-operation callback as every minifilter writes it. It must compile
// unchanged against both header sets, and fit the registration slot's type.
FLT_PREOP_CALLBACK_STATUS Pre(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* Context);

FLT_PREOP_CALLBACK_STATUS Pre(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* Context) {
    UNREFERENCED_PARAMETER(FltObjects); UNREFERENCED_PARAMETER(Context);
    if (Data->RequestorMode == KernelMode) return FLT_PREOP_SUCCESS_NO_CALLBACK;
    if (Data->Iopb->MajorFunction == IRP_MJ_CREATE &&
        (Data->Iopb->Parameters.Create.SecurityContext->DesiredAccess & FILE_WRITE_DATA)) {
        Data->IoStatus.Status = STATUS_ACCESS_DENIED; Data->IoStatus.Information = 0;
        return FLT_PREOP_COMPLETE;
    }
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
}

static_assert(sizeof(FLT_OPERATION_REGISTRATION{IRP_MJ_CREATE, 0, Pre, NULL, NULL}) == 32,
              "the callback fits the typed registration slot");

// ---------------------------------------------------------------- registry callbacks
WDK_OFFSET(REG_POST_OPERATION_INFORMATION, Object, 0);
WDK_OFFSET(REG_POST_OPERATION_INFORMATION, Status, 8);
WDK_OFFSET(REG_POST_OPERATION_INFORMATION, PreInformation, 16);
WDK_OFFSET(REG_POST_OPERATION_INFORMATION, ReturnStatus, 24);
WDK_OFFSET(REG_POST_OPERATION_INFORMATION, CallContext, 32);
WDK_SIZE(REG_POST_OPERATION_INFORMATION, 56);
WDK_OFFSET(REG_OPEN_KEY_INFORMATION_V1, CompleteName, 0);
WDK_OFFSET(REG_OPEN_KEY_INFORMATION_V1, RootObject, 8);
WDK_OFFSET(REG_OPEN_KEY_INFORMATION_V1, DesiredAccess, 56);
WDK_OFFSET(REG_OPEN_KEY_INFORMATION_V1, ResultObject, 72);
WDK_OFFSET(REG_OPEN_KEY_INFORMATION_V1, CallContext, 80);
WDK_OFFSET(REG_OPEN_KEY_INFORMATION_V1, Version, 104);
static_assert(RegNtPreOpenKeyEx == 28 && RegNtPostOpenKeyEx == 29, "open-key notify classes");
static_assert(STATUS_CALLBACK_BYPASS == (NTSTATUS)0xC0000503L, "STATUS_CALLBACK_BYPASS");

// ---------------------------------------------------------------- other drivers' requests
WDK_OFFSET(IO_STACK_LOCATION, MinorFunction, 1);
WDK_OFFSET(IO_STACK_LOCATION, Parameters.Write.Length, 8);
WDK_OFFSET(IO_STACK_LOCATION, Parameters.Write.Key, 16);
WDK_OFFSET(IO_STACK_LOCATION, Parameters.Write.ByteOffset, 24);
WDK_OFFSET(IO_STACK_LOCATION, Parameters.Read.Length, 8);
WDK_OFFSET(IO_STACK_LOCATION, Parameters.Others.Argument1, 8);
WDK_OFFSET(IO_STACK_LOCATION, Parameters.StartDevice.AllocatedResources, 8);
WDK_OFFSET(IO_STACK_LOCATION, Parameters.StartDevice.AllocatedResourcesTranslated, 16);
WDK_OFFSET(IRP, Cancel, 68);
WDK_OFFSET(IRP, CancelIrql, 69);
WDK_OFFSET(IRP, CancelRoutine, 104);
WDK_OFFSET(DRIVER_OBJECT, DriverName, 56);
WDK_OFFSET(DRIVER_OBJECT, DriverUnload, 104);
WDK_OFFSET(DRIVER_OBJECT, MajorFunction, 112);
WDK_SIZE(DRIVER_OBJECT, 336);
WDK_OFFSET(DEVICE_OBJECT, DriverObject, 8);
WDK_OFFSET(DEVICE_OBJECT, NextDevice, 16);
WDK_OFFSET(DEVICE_OBJECT, AttachedDevice, 24);
WDK_OFFSET(DEVICE_OBJECT, DeviceExtension, 64);
WDK_OFFSET(DEVICE_OBJECT, StackSize, 76);

WDK_OFFSET(MDL, Next, 0);
WDK_OFFSET(MDL, Size, 8);
WDK_OFFSET(MDL, MdlFlags, 10);
WDK_OFFSET(MDL, Process, 16);
WDK_OFFSET(MDL, MappedSystemVa, 24);
WDK_OFFSET(MDL, StartVa, 32);
WDK_OFFSET(MDL, ByteCount, 40);
WDK_OFFSET(MDL, ByteOffset, 44);
WDK_SIZE(MDL, 48);
static_assert(MDL_MAPPED_TO_SYSTEM_VA == 0x1 && MDL_PAGES_LOCKED == 0x2 && MDL_SOURCE_IS_NONPAGED_POOL == 0x4,
              "MDL flags");
static_assert(NormalPagePriority == 16 && MmCached == 1, "mapping priorities and caching");
WDK_SIZE(FAST_MUTEX, 56);

static_assert(IRP_MJ_WRITE == 0x04 && IRP_MJ_DEVICE_CONTROL == 0x0e && IRP_MJ_INTERNAL_DEVICE_CONTROL == 0x0f &&
                  IRP_MJ_PNP == 0x1b && IRP_MJ_MAXIMUM_FUNCTION == 0x1b,
              "major functions of the interposed drivers");
static_assert(IRP_MN_START_DEVICE == 0 && IRP_MN_REMOVE_DEVICE == 2, "plug-and-play minor functions");
static_assert(CTL_CODE(0x22, 0x8CF, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS) == 0x0022E33C,
              "CTL_CODE");
static_assert(STATUS_INVALID_DEVICE_STATE == (NTSTATUS)0xC0000184L && STATUS_CANCELLED == (NTSTATUS)0xC0000120L &&
                  STATUS_MORE_PROCESSING_REQUIRED == (NTSTATUS)0xC0000016L && STATUS_TIMEOUT == 0x102,
              "request statuses");

// ---------------------------------------------------------------- USB descriptors and requests
WDK_SIZE(USB_COMMON_DESCRIPTOR, 2);
WDK_SIZE(USB_DEVICE_DESCRIPTOR, 18);
WDK_OFFSET(USB_DEVICE_DESCRIPTOR, bcdUSB, 2);
WDK_OFFSET(USB_DEVICE_DESCRIPTOR, bDeviceClass, 4);
WDK_OFFSET(USB_DEVICE_DESCRIPTOR, idVendor, 8);
WDK_OFFSET(USB_DEVICE_DESCRIPTOR, idProduct, 10);
WDK_OFFSET(USB_DEVICE_DESCRIPTOR, bcdDevice, 12);
WDK_OFFSET(USB_DEVICE_DESCRIPTOR, iManufacturer, 14);
WDK_OFFSET(USB_DEVICE_DESCRIPTOR, iSerialNumber, 16);
WDK_OFFSET(USB_DEVICE_DESCRIPTOR, bNumConfigurations, 17);
WDK_SIZE(USB_CONFIGURATION_DESCRIPTOR, 9);
WDK_OFFSET(USB_CONFIGURATION_DESCRIPTOR, wTotalLength, 2);
WDK_OFFSET(USB_CONFIGURATION_DESCRIPTOR, bNumInterfaces, 4);
WDK_OFFSET(USB_CONFIGURATION_DESCRIPTOR, MaxPower, 8);
WDK_SIZE(USB_INTERFACE_DESCRIPTOR, 9);
WDK_OFFSET(USB_INTERFACE_DESCRIPTOR, bInterfaceNumber, 2);
WDK_OFFSET(USB_INTERFACE_DESCRIPTOR, bInterfaceClass, 5);
WDK_SIZE(USB_ENDPOINT_DESCRIPTOR, 7);
WDK_OFFSET(USB_ENDPOINT_DESCRIPTOR, wMaxPacketSize, 4);
WDK_OFFSET(USB_ENDPOINT_DESCRIPTOR, bInterval, 6);
WDK_SIZE(USB_STRING_DESCRIPTOR, 4);
WDK_OFFSET(USB_STRING_DESCRIPTOR, bString, 2);
static_assert(USB_DEVICE_DESCRIPTOR_TYPE == 1 && USB_CONFIGURATION_DESCRIPTOR_TYPE == 2 &&
                  USB_STRING_DESCRIPTOR_TYPE == 3 && USB_INTERFACE_DESCRIPTOR_TYPE == 4 &&
                  USB_ENDPOINT_DESCRIPTOR_TYPE == 5,
              "descriptor types");
static_assert(USB_DEVICE_CLASS_AUDIO == 1 && USB_DEVICE_CLASS_HUMAN_INTERFACE == 3 && USB_DEVICE_CLASS_PRINTER == 7 &&
                  USB_DEVICE_CLASS_HUB == 9 && USB_DEVICE_CLASS_VIDEO == 14,
              "device classes");

WDK_SIZE(struct _URB_HEADER, 24);
WDK_OFFSET(struct _URB_HEADER, Length, 0);
WDK_OFFSET(struct _URB_HEADER, Function, 2);
WDK_OFFSET(struct _URB_HEADER, Status, 4);
WDK_OFFSET(struct _URB_HEADER, UsbdDeviceHandle, 8);
WDK_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength, 36);
WDK_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer, 40);
WDK_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferMDL, 48);
WDK_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, UrbLink, 56);
WDK_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index, 130);
WDK_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType, 131);
WDK_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId, 132);
WDK_SIZE(struct _URB_CONTROL_DESCRIPTOR_REQUEST, 136);
WDK_SIZE(URB, 152);
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x00220003, "IOCTL_INTERNAL_USB_SUBMIT_URB");
static_assert(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE == 0x000B, "URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE");

// ---------------------------------------------------------------- the request idioms of the device handlers
// Written as the handlers write them; both header sets must accept them unchanged.
PVOID MappedBuffer(PIRP Irp);
PVOID MappedBuffer(PIRP Irp) {
    if (Irp->MdlAddress == NULL || MmGetMdlByteCount(Irp->MdlAddress) == 0) return NULL;
    return MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority | MdlMappingNoExecute);
}

void BuildDescriptorRequest(PURB Urb, PVOID Buffer, ULONG Length, UCHAR Index);
void BuildDescriptorRequest(PURB Urb, PVOID Buffer, ULONG Length, UCHAR Index) {
    UsbBuildGetDescriptorRequest(Urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_STRING_DESCRIPTOR_TYPE, Index, 0x0409, Buffer, NULL, Length, NULL);
}

NTSTATUS LookUpDriver(PUNICODE_STRING Name, PDRIVER_OBJECT* Driver);
NTSTATUS LookUpDriver(PUNICODE_STRING Name, PDRIVER_OBJECT* Driver) {
    return ObReferenceObjectByName(Name, OBJ_CASE_INSENSITIVE, NULL, 0, *IoDriverObjectType, KernelMode, NULL,
                                   (PVOID*)Driver);
}

void CancelIdiom(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void CancelIdiom(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
}
static_assert(sizeof(IoSetCancelRoutine(static_cast<PIRP>(NULL), CancelIdiom)) == sizeof(PDRIVER_CANCEL),
              "a cancel routine fits IoSetCancelRoutine");
