// kx4grd driver-wide declarations: global state, diagnostics, and the routines
// each module offers the others.
#pragma once

#include "platform/km.h"
#include "common/kx4grd_common.h"
#include "driver/core/nt_routines.h"

// ---------------------------------------------------------------- diagnostics
#define KX_DRIVER_NAME "kx4grd"
#define KX_DBG_ERROR 0x1  // errors and decision traces
#define KX_DBG_INFO 0x2   // informational lines

extern volatile LONG DebugLevel;

inline bool KxDebugOn(ULONG bit) { return (((ULONG)ReadNoFence(&DebugLevel)) & bit) != 0; }

// Every line starts "%s:%s: " with the driver name and the printing function; the
// format strings are written out in full at each call so they read as printed.
#define KX_TRACE_NAMED(bit, function, format, ...)                                             \
    do {                                                                                       \
        if (KxDebugOn(bit)) {                                                                  \
            DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0, format, KX_DRIVER_NAME, function, ##__VA_ARGS__); \
        }                                                                                      \
    } while (0)
#define KX_TRACE(bit, format, ...) KX_TRACE_NAMED(bit, __func__, format, ##__VA_ARGS__)

// ---------------------------------------------------------------- global state
// Switches and masks are single aligned 32-bit values read without locks; they are
// written with single stores (WriteNoFence) so readers see the old or new value.
struct KX4GRD_GLOBALS {
    volatile LONG Started;
    volatile LONG LogType;
    volatile LONG FolderProtect;
    volatile LONG DeviceProtect;
    volatile LONG ShareFolderWatch;
    PEPROCESS volatile ControlProcess;  // no reference held
    PFLT_FILTER FilterHandle;
    PFLT_PORT ServerPort;
    PDRIVER_OBJECT DriverObject;
    ULONG ProcessCreateLog;
};
extern KX4GRD_GLOBALS Globals;

inline bool KxSwitch(const volatile LONG& s) { return ReadNoFence(&s) != 0; }
inline void KxSetSwitch(volatile LONG& s, bool on) { WriteNoFence(&s, on ? 1 : 0); }

// Pool tags, one per family.
#define KX_TAG_CONNECTION KX_POOL_TAG("cnsc")  // port connection records
#define KX_TAG_STRING KX_POOL_TAG("strk")      // counted strings and work buffers
#define KX_TAG_LOG KX_POOL_TAG("prdk")         // event-log blocks
#define KX_TAG_LOG_WORK KX_POOL_TAG("prdw")    // event-log trace copies
#define KX_TAG_PID KX_POOL_TAG("pgsc")         // process-id entries beyond the bitmaps
#define KX_TAG_PROCESS KX_POOL_TAG("pisc")     // started-process table elements

// ---------------------------------------------------------------- control channel
NTSTATUS Kx4GrdPortConnect(PFLT_PORT clientPort, PVOID serverPortCookie, PVOID connectionContext,
                           ULONG sizeOfContext, PVOID* connectionCookie);
void Kx4GrdPortDisconnect(PVOID connectionCookie);
NTSTATUS Kx4GrdMssageProc(PVOID connectionCookie, PVOID inputBuffer, ULONG inputBufferLength, PVOID outputBuffer,
                          ULONG outputBufferLength, PULONG returnOutputBufferLength);
void InitConnectionList();

// ---------------------------------------------------------------- entry and process helpers
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
NTSTATUS Kx4GrdUnload(FLT_FILTER_UNLOAD_FLAGS flags);
ULONG USetProcessNameOffset();
extern ULONG ProcessNameOffset;
BOOLEAN GetCurrentProcessShortName(CHAR name[17]);
NTSTATUS GetCurrentProcessImagePath(HANDLE processId, PUNICODE_STRING imagePath);
NTSTATUS KxAllocateUnicodeString(PUNICODE_STRING s, USHORT maximumLength);
NTSTATUS KxFreeUnicodeString(PUNICODE_STRING s);
NTSTATUS KxCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source);

// ---------------------------------------------------------------- volumes
NTSTATUS Kx4GrdInstanceSetup(PCFLT_RELATED_OBJECTS fltObjects, FLT_INSTANCE_SETUP_FLAGS flags,
                             DEVICE_TYPE volumeDeviceType, FLT_FILESYSTEM_TYPE volumeFilesystemType);
NTSTATUS Kx4GrdInstanceQueryTeardown(PCFLT_RELATED_OBJECTS fltObjects, FLT_INSTANCE_QUERY_TEARDOWN_FLAGS flags);
void Kx4GrdCleanupVolumeContext(PFLT_CONTEXT context, FLT_CONTEXT_TYPE contextType);
struct VOLUME_CONTEXT;
extern const SIZE_T KxVolumeContextSize;

// ---------------------------------------------------------------- process tracking
void PgInitPidTables();
void PgAddPid(ULONG processId, ULONG state);
ULONG PgGetPidState(ULONG processId);
ULONG PgIsProtectPid(ULONG processId);
ULONG PgRemovePid(ULONG processId);
ULONG PgRemovePidState(ULONG processId, ULONG state);
void PgClearPidState(ULONG state);
void PgClearAllPid();
NTSTATUS InitProcessNotify();
void UnInitProcessNotify();
NTSTATUS GetProcessNotifyStatus();

// ---------------------------------------------------------------- policy table
void SetDevicePolicy(ULONG devicetype, ULONG state, ULONG log);
ULONG GetDevicePolicyState(ULONG devicetype);
ULONG GetDevicePolicyLog(ULONG devicetype);
void ClearDevicePolicy();
BOOLEAN IsPolicyState(ULONG devicetype, ULONG state, PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects,
                      PCUNICODE_STRING fileName);

// ---------------------------------------------------------------- file-system callbacks
FLT_PREOP_CALLBACK_STATUS Kx4GrdPreOperation(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects,
                                             PVOID* completionContext);
FLT_PREOP_CALLBACK_STATUS Kx4GrdPreRead(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects,
                                        PVOID* completionContext);
FLT_POSTOP_CALLBACK_STATUS Kx4GrdPostOperation(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects,
                                               PVOID completionContext, FLT_POST_OPERATION_FLAGS flags);

// ---------------------------------------------------------------- lists
// Named-text lists: the protected paths, the excepted file names and the protected
// process names share one implementation and differ only in the list they act on.
enum KX_NAME_LIST { KxPathList, KxFileNameList, KxProtectProcessNameList };
void InitNameLists();
void SetProtectPathEx(KX_NAME_LIST list, ULONG type, PCWSTR text, ULONG size);
void RemoveFirstProtectPath(KX_NAME_LIST list, ULONG typeMask, PCWSTR text, ULONG size);
void RemoveProtectPathsByType(KX_NAME_LIST list, ULONG typeMask);
void CleanupPathlistEx(KX_NAME_LIST list);
void SetProcessPath(ULONG type, PCWSTR text, ULONG size);
void DelProcessPath(ULONG type, PCWSTR text, ULONG size);
void CleanupProcesslist();

// ---------------------------------------------------------------- USB exceptions
void InitUsbExceptionLists();
void SetUsbDiskException(PCSTR vendorId, PCSTR productId, PCSTR productRevision, PCSTR serialNumber);
void DelUsbDiskExceptionList(PCSTR vendorId, PCSTR productId, PCSTR productRevision, PCSTR serialNumber);
void CleanupUsbDiskExceptionList();
void SetUsbPortException(ULONG type, ULONG vendorId, ULONG productId, ULONG extraValue, PCWSTR serialNumber);
void DelUsbPortExceptionList(ULONG type, ULONG vendorId, ULONG productId, PCWSTR serialNumber);
void CleanupUsbPortExceptionList();

// ---------------------------------------------------------------- event log
void InitLog();
void Cleanuplog();
NTSTATUS SetLog(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS fltObjects, ULONG code, ULONG a0, ULONG a1,
                ULONG reserved, PCWSTR nameSource, PCWSTR path);
NTSTATUS SetConnectLog(PCFLT_RELATED_OBJECTS fltObjects, ULONG a0, ULONG a1, ULONG reserved, PCWSTR extra,
                       PCWSTR name, PCWSTR path);
BOOLEAN IsException(PFLT_CALLBACK_DATA data, const EVENT_RECORD* record);
BOOLEAN IsOvlappedLog(const EVENT_RECORD* record);
// Moves waiting records into a GET_LOG reply. *faulted is set when writing the
// reply raised an access fault; the status is then the exception code and no
// record has been consumed.
NTSTATUS GetLog(PVOID outputBuffer, ULONG outputSize, PULONG reportedSize, bool* faulted);
ULONG KxLogCount();

// ---------------------------------------------------------------- dispatch hooks
void InitHooks();
void USBIrpHookInit();
void USBIrpHookCleanup();
void BlueToothIrpHookInit();
void BlueToothIrpHookCleanup();
void MtpIrpHookInit();
void MtpIrpHookCleanup();
void EtcIrpHookInit();
void EtcIrpHookCleanup();

// ---------------------------------------------------------------- protection
extern volatile LONG ProcessProtectActive;
extern volatile LONG RegProtectActive;
NTSTATUS InstallProcessProtect();
void UnInstallProcessProtect();
NTSTATUS StartRegFlt(PDRIVER_OBJECT driverObject);
void StopRegFlt();
void InitRegKeyList();
void AddRegProtectKey(PCWSTR key);
// Upper-cases key in place, then removes the entry.
void DelRegProtectKey(PWSTR key);
