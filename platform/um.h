// The user-mode platform of the control library: the Win32 and fltlib names,
// signatures, constants and structure layouts (x64) that the library uses.
//
// On Windows this is the SDK itself: <windows.h> and <fltUser.h> (plus um_gaps.h
// for what mingw-w64's header set lacks in the Windows compile check). Elsewhere
// it declares the subset the library uses, with the SDK's shapes, and the
// simulated machine (winsim/) implements every routine. Nothing here is the
// project's own except KxHostFilePath at the end, which says so.
#pragma once

#if defined(_WIN32)

#if defined(__MINGW32__)
#include "platform/um_gaps.h"
#else
#include <windows.h>
#include <fltUser.h>
#endif
#include "platform/portable.h"

#include <string>

// The library's own files (its configuration beside the host executable, its log
// file) are opened through the C++ and log4cpp file APIs with a Windows path. On
// Windows that path is already the file's path.
inline std::string KxHostFilePath(const std::string& windowsPath) { return windowsPath; }

#else  // the simulated machine

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdarg.h>

#include <string>

#include "platform/nt_types.h"

// ---------------------------------------------------------------- base types
#define WINAPI
#define APIENTRY
#define CALLBACK
#define WINBASEAPI
#define CONST const
#ifndef UNREFERENCED_PARAMETER
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#endif
#ifndef MAX_PATH
#define MAX_PATH 260
#endif

typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef BOOL* PBOOL;
typedef BOOL* LPBOOL;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef WORD* PWORD;
typedef WORD* LPWORD;
typedef LONG* LPLONG;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef CHAR* LPCH;
typedef const CHAR* LPCCH;
typedef WCHAR* LPWCH;
typedef const WCHAR* LPCWCH;
typedef WCHAR* PWCH;
typedef const WCHAR* PCWCH;
typedef SIZE_T* PSIZE_T;
typedef ULONG_PTR DWORD_PTR;
typedef LONG HRESULT;
typedef LONG LSTATUS;
typedef HANDLE* LPHANDLE;

typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef struct SC_HANDLE__* SC_HANDLE;
typedef SC_HANDLE* LPSC_HANDLE;
typedef ACCESS_MASK REGSAM;
typedef long long INT_PTR;
typedef INT_PTR (*FARPROC)();

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define MAKEWORD(a, b) ((WORD)(((BYTE)((DWORD_PTR)(a) & 0xff)) | ((WORD)((BYTE)((DWORD_PTR)(b) & 0xff))) << 8))
#define LOWORD(l) ((WORD)((DWORD_PTR)(l) & 0xffff))
#define HIWORD(l) ((WORD)((DWORD_PTR)(l) >> 16))

// ---------------------------------------------------------------- errors, HRESULTs
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_ACCESS 12L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_BAD_LENGTH 24L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BUFFER_OVERFLOW 111L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_SEM_TIMEOUT 121L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_PIPE_NOT_CONNECTED 233L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_INVALID_ADDRESS 487L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_NOACCESS 998L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_KEY_DELETED 1018L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_DEPENDENT_SERVICES_RUNNING 1051L
#define ERROR_INVALID_SERVICE_CONTROL 1052L
#define ERROR_SERVICE_REQUEST_TIMEOUT 1053L
#define ERROR_SERVICE_NO_THREAD 1054L
#define ERROR_SERVICE_DATABASE_LOCKED 1055L
#define ERROR_SERVICE_ALREADY_RUNNING 1056L
#define ERROR_INVALID_SERVICE_ACCOUNT 1057L
#define ERROR_SERVICE_DISABLED 1058L
#define ERROR_CIRCULAR_DEPENDENCY 1059L
#define ERROR_SERVICE_DOES_NOT_EXIST 1060L
#define ERROR_SERVICE_CANNOT_ACCEPT_CTRL 1061L
#define ERROR_SERVICE_NOT_ACTIVE 1062L
#define ERROR_SERVICE_SPECIFIC_ERROR 1066L
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072L
#define ERROR_SERVICE_EXISTS 1073L
#define ERROR_DUPLICATE_SERVICE_NAME 1078L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_NOT_FOUND 1168L
#define ERROR_CONNECTION_COUNT_LIMIT 1238L
#define ERROR_NOT_ALL_ASSIGNED 1300L
#define ERROR_NO_SUCH_PRIVILEGE 1313L
#define ERROR_PRIVILEGE_NOT_HELD 1314L
#define ERROR_INVALID_SECURITY_DESCR 1338L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#define ERROR_TIMEOUT 1460L
#define ERROR_INTERNAL_ERROR 1359L
#define ERROR_DATATYPE_MISMATCH 1629L

#define S_OK ((HRESULT)0L)
#define S_FALSE ((HRESULT)1L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_HANDLE ((HRESULT)0x80070006L)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define FACILITY_WIN32 7
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define HRESULT_CODE(hr) ((hr) & 0xFFFF)
#define HRESULT_FACILITY(hr) (((hr) >> 16) & 0x1fff)
inline HRESULT HRESULT_FROM_WIN32(unsigned long x) {
    return (HRESULT)(x) <= 0 ? (HRESULT)(x) : (HRESULT)(((x) & 0x0000FFFF) | (FACILITY_WIN32 << 16) | 0x80000000);
}

DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD errorCode);

// ---------------------------------------------------------------- access rights
#ifndef DELETE
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L
#endif
#ifndef STANDARD_RIGHTS_ALL
#define STANDARD_RIGHTS_ALL 0x001F0000L
#endif
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#define MAXIMUM_ALLOWED 0x02000000L

// ---------------------------------------------------------------- handles, modules
BOOL WINAPI CloseHandle(HANDLE object);
HMODULE WINAPI LoadLibraryW(LPCWSTR fileName);
BOOL WINAPI FreeLibrary(HMODULE module);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);
HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName);
// moduleName NULL: the path of the process's executable image.
DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);
BOOL WINAPI DisableThreadLibraryCalls(HMODULE module);
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

// ---------------------------------------------------------------- security
typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef PVOID PSECURITY_DESCRIPTOR;
typedef PVOID PSID;
typedef struct _ACL {
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
} ACL, *PACL;
typedef WORD SECURITY_DESCRIPTOR_CONTROL, *PSECURITY_DESCRIPTOR_CONTROL;
typedef struct _SECURITY_DESCRIPTOR {
    BYTE Revision;
    BYTE Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
} SECURITY_DESCRIPTOR, *PISECURITY_DESCRIPTOR;
#define SECURITY_DESCRIPTOR_REVISION 1
#define SECURITY_DESCRIPTOR_MIN_LENGTH 40
#define SE_DACL_PRESENT 0x0004
#define SE_DACL_DEFAULTED 0x0008

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor, DWORD revision);
BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR securityDescriptor, BOOL daclPresent, PACL dacl,
                                      BOOL daclDefaulted);

// ---------------------------------------------------------------- tokens, privileges
// LUID and LUID_AND_ATTRIBUTES come from nt_types.h.
#define ANYSIZE_ARRAY 1
typedef struct _TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[ANYSIZE_ARRAY];
} TOKEN_PRIVILEGES, *PTOKEN_PRIVILEGES;

#define TOKEN_ASSIGN_PRIMARY 0x0001
#define TOKEN_DUPLICATE 0x0002
#define TOKEN_IMPERSONATE 0x0004
#define TOKEN_QUERY 0x0008
#define TOKEN_QUERY_SOURCE 0x0010
#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define TOKEN_ADJUST_GROUPS 0x0040
#define TOKEN_ADJUST_DEFAULT 0x0080
#define TOKEN_ADJUST_SESSIONID 0x0100
#define TOKEN_ALL_ACCESS 0xF01FF
#define SE_PRIVILEGE_ENABLED_BY_DEFAULT 0x00000001L
#define SE_PRIVILEGE_ENABLED 0x00000002L
#define SE_PRIVILEGE_REMOVED 0x00000004L
#define SE_DEBUG_NAME WSTR("SeDebugPrivilege")
#define SE_LOAD_DRIVER_NAME WSTR("SeLoadDriverPrivilege")
#define SE_SHUTDOWN_NAME WSTR("SeShutdownPrivilege")

HANDLE WINAPI GetCurrentProcess(void);  // the pseudo handle (HANDLE)-1
HANDLE WINAPI GetCurrentThread(void);   // the pseudo handle (HANDLE)-2
DWORD WINAPI GetCurrentProcessId(void);
DWORD WINAPI GetCurrentThreadId(void);
BOOL WINAPI OpenProcessToken(HANDLE processHandle, DWORD desiredAccess, PHANDLE tokenHandle);
BOOL WINAPI LookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, PLUID luid);
BOOL WINAPI AdjustTokenPrivileges(HANDLE tokenHandle, BOOL disableAllPrivileges, PTOKEN_PRIVILEGES newState,
                                  DWORD bufferLength, PTOKEN_PRIVILEGES previousState, PDWORD returnLength);

// ---------------------------------------------------------------- events, waits, threads
#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED 0x00000080L
#define WAIT_ABANDONED_0 0x00000080L
#define WAIT_IO_COMPLETION 0x000000C0L
#define WAIT_TIMEOUT 258L
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)
#define MAXIMUM_WAIT_OBJECTS 64
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3)
#define CREATE_EVENT_MANUAL_RESET 0x00000001
#define CREATE_EVENT_INITIAL_SET 0x00000002
#define CREATE_SUSPENDED 0x00000004
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000
#define STILL_ACTIVE 259L
#define THREAD_TERMINATE 0x0001
#define THREAD_QUERY_INFORMATION 0x0040
#ifndef THREAD_ALL_ACCESS
#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)
#endif

// Names: "Global\x" (and "Local\x", and bare names) live in \BaseNamedObjects.
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES eventAttributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
HANDLE WINAPI CreateEventExW(LPSECURITY_ATTRIBUTES eventAttributes, LPCWSTR name, DWORD flags, DWORD desiredAccess);
HANDLE WINAPI OpenEventW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);
BOOL WINAPI SetEvent(HANDLE event);
BOOL WINAPI ResetEvent(HANDLE event);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);
void WINAPI Sleep(DWORD milliseconds);

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID threadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES threadAttributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE startAddress,
                           LPVOID parameter, DWORD creationFlags, LPDWORD threadId);
BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
DWORD WINAPI ResumeThread(HANDLE thread);
DWORD WINAPI GetThreadId(HANDLE thread);

// ---------------------------------------------------------------- time
typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;
typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;
typedef struct _TIME_ZONE_INFORMATION {
    LONG Bias;
    WCHAR StandardName[32];
    SYSTEMTIME StandardDate;
    LONG StandardBias;
    WCHAR DaylightName[32];
    SYSTEMTIME DaylightDate;
    LONG DaylightBias;
} TIME_ZONE_INFORMATION, *PTIME_ZONE_INFORMATION, *LPTIME_ZONE_INFORMATION;
#define TIME_ZONE_ID_INVALID ((DWORD)0xFFFFFFFF)
#define TIME_ZONE_ID_UNKNOWN 0
#define TIME_ZONE_ID_STANDARD 1
#define TIME_ZONE_ID_DAYLIGHT 2

DWORD WINAPI GetTickCount(void);
ULONGLONG WINAPI GetTickCount64(void);
void WINAPI GetSystemTimeAsFileTime(LPFILETIME systemTimeAsFileTime);
void WINAPI GetSystemTime(LPSYSTEMTIME systemTime);
void WINAPI GetLocalTime(LPSYSTEMTIME systemTime);
BOOL WINAPI FileTimeToLocalFileTime(const FILETIME* fileTime, LPFILETIME localFileTime);
BOOL WINAPI FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime);
BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* systemTime, LPFILETIME fileTime);
DWORD WINAPI GetTimeZoneInformation(LPTIME_ZONE_INFORMATION timeZoneInformation);

// ---------------------------------------------------------------- memory
#define MEM_COMMIT 0x00001000
#define MEM_RESERVE 0x00002000
#define MEM_DECOMMIT 0x00004000
#define MEM_RELEASE 0x00008000
#define MEM_RESET 0x00080000
#define PAGE_NOACCESS 0x01
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
#define PAGE_EXECUTE_READWRITE 0x40
LPVOID WINAPI VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocationType, DWORD protect);
BOOL WINAPI VirtualFree(LPVOID address, SIZE_T size, DWORD freeType);

// ---------------------------------------------------------------- code pages
#define CP_ACP 0
#define CP_OEMCP 1
#define CP_THREAD_ACP 3
#define CP_UTF8 65001
#define MB_PRECOMPOSED 0x00000001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_COMPOSITECHECK 0x00000200
#define WC_DEFAULTCHAR 0x00000040
#define WC_NO_BEST_FIT_CHARS 0x00000400
#define WC_ERR_INVALID_CHARS 0x00000080
// CP_ACP is Windows-1252 on the simulated machine.
UINT WINAPI GetACP(void);
int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wideCharStr, int wideChars, LPSTR multiByteStr,
                               int multiBytes, LPCCH defaultChar, LPBOOL usedDefaultChar);
int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH multiByteStr, int multiBytes, LPWSTR wideCharStr,
                               int wideChars);

// ---------------------------------------------------------------- DOS devices, drives
DWORD WINAPI QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD max);
DWORD WINAPI GetLogicalDriveStringsW(DWORD bufferLength, LPWSTR buffer);
DWORD WINAPI GetLogicalDrives(void);

// ---------------------------------------------------------------- debug output
void WINAPI OutputDebugStringW(LPCWSTR outputString);
void WINAPI OutputDebugStringA(LPCSTR outputString);

// ---------------------------------------------------------------- registry
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))
#ifndef KEY_QUERY_VALUE
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#endif
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_EXECUTE KEY_READ
#ifndef REG_NONE
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11
#endif
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_OPTION_RESERVED 0x00000000L
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

LSTATUS WINAPI RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                               REGSAM desired, const LPSECURITY_ATTRIBUTES securityAttributes, PHKEY result,
                               LPDWORD disposition);
LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LSTATUS WINAPI RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD size);
LSTATUS WINAPI RegDeleteValueW(HKEY key, LPCWSTR valueName);
LSTATUS WINAPI RegDeleteKeyW(HKEY key, LPCWSTR subKey);
LSTATUS WINAPI RegDeleteTreeW(HKEY key, LPCWSTR subKey);
LSTATUS WINAPI RegCloseKey(HKEY key);

// ---------------------------------------------------------------- services
#define SC_MANAGER_CONNECT 0x0001
#define SC_MANAGER_CREATE_SERVICE 0x0002
#define SC_MANAGER_ENUMERATE_SERVICE 0x0004
#define SC_MANAGER_LOCK 0x0008
#define SC_MANAGER_QUERY_LOCK_STATUS 0x0010
#define SC_MANAGER_MODIFY_BOOT_CONFIG 0x0020
#define SC_MANAGER_ALL_ACCESS 0xF003F
#define SERVICE_QUERY_CONFIG 0x0001
#define SERVICE_CHANGE_CONFIG 0x0002
#define SERVICE_QUERY_STATUS 0x0004
#define SERVICE_ENUMERATE_DEPENDENTS 0x0008
#define SERVICE_START 0x0010
#define SERVICE_STOP 0x0020
#define SERVICE_PAUSE_CONTINUE 0x0040
#define SERVICE_INTERROGATE 0x0080
#define SERVICE_USER_DEFINED_CONTROL 0x0100
#define SERVICE_ALL_ACCESS 0xF01FF
#define SERVICE_KERNEL_DRIVER 0x00000001
#define SERVICE_FILE_SYSTEM_DRIVER 0x00000002
#define SERVICE_WIN32_OWN_PROCESS 0x00000010
#define SERVICE_WIN32_SHARE_PROCESS 0x00000020
#define SERVICE_BOOT_START 0x00000000
#define SERVICE_SYSTEM_START 0x00000001
#define SERVICE_AUTO_START 0x00000002
#define SERVICE_DEMAND_START 0x00000003
#define SERVICE_DISABLED 0x00000004
#define SERVICE_ERROR_IGNORE 0x00000000
#define SERVICE_ERROR_NORMAL 0x00000001
#define SERVICE_ERROR_SEVERE 0x00000002
#define SERVICE_ERROR_CRITICAL 0x00000003
#define SERVICE_NO_CHANGE 0xffffffff
#define SERVICE_CONTROL_STOP 0x00000001
#define SERVICE_CONTROL_PAUSE 0x00000002
#define SERVICE_CONTROL_CONTINUE 0x00000003
#define SERVICE_CONTROL_INTERROGATE 0x00000004
#define SERVICE_STOPPED 0x00000001
#define SERVICE_START_PENDING 0x00000002
#define SERVICE_STOP_PENDING 0x00000003
#define SERVICE_RUNNING 0x00000004
#define SERVICE_CONTINUE_PENDING 0x00000005
#define SERVICE_PAUSE_PENDING 0x00000006
#define SERVICE_PAUSED 0x00000007
#define SERVICE_ACCEPT_STOP 0x00000001
#define SERVICES_ACTIVE_DATABASEW WSTR("ServicesActive")

typedef struct _SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
} SERVICE_STATUS, *LPSERVICE_STATUS;

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess);
SC_HANDLE WINAPI CreateServiceW(SC_HANDLE scManager, LPCWSTR serviceName, LPCWSTR displayName, DWORD desiredAccess,
                                DWORD serviceType, DWORD startType, DWORD errorControl, LPCWSTR binaryPathName,
                                LPCWSTR loadOrderGroup, LPDWORD tagId, LPCWSTR dependencies,
                                LPCWSTR serviceStartName, LPCWSTR password);
SC_HANDLE WINAPI OpenServiceW(SC_HANDLE scManager, LPCWSTR serviceName, DWORD desiredAccess);
BOOL WINAPI ChangeServiceConfigW(SC_HANDLE service, DWORD serviceType, DWORD startType, DWORD errorControl,
                                 LPCWSTR binaryPathName, LPCWSTR loadOrderGroup, LPDWORD tagId, LPCWSTR dependencies,
                                 LPCWSTR serviceStartName, LPCWSTR password, LPCWSTR displayName);
BOOL WINAPI StartServiceW(SC_HANDLE service, DWORD numServiceArgs, LPCWSTR* serviceArgVectors);
BOOL WINAPI ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS serviceStatus);
BOOL WINAPI QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS serviceStatus);
BOOL WINAPI DeleteService(SC_HANDLE service);
BOOL WINAPI CloseServiceHandle(SC_HANDLE scObject);

// ---------------------------------------------------------------- fltlib (fltUser.h)
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        } s;
        PVOID Pointer;
    } u;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _FILTER_MESSAGE_HEADER {
    ULONG ReplyLength;
    ULONGLONG MessageId;
} FILTER_MESSAGE_HEADER, *PFILTER_MESSAGE_HEADER;
typedef struct _FILTER_REPLY_HEADER {
    NTSTATUS Status;
    ULONGLONG MessageId;
} FILTER_REPLY_HEADER, *PFILTER_REPLY_HEADER;
#define FLT_PORT_FLAG_SYNC_HANDLE 0x00000001

// The driver's status comes back as HRESULT_FROM_WIN32 of its Win32 error;
// lpBytesReturned is written on success and on warnings.
HRESULT WINAPI FilterConnectCommunicationPort(LPCWSTR portName, DWORD options, LPCVOID context, WORD sizeOfContext,
                                              LPSECURITY_ATTRIBUTES securityAttributes, HANDLE* port);
HRESULT WINAPI FilterSendMessage(HANDLE port, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                                 DWORD outBufferSize, LPDWORD bytesReturned);
HRESULT WINAPI FilterGetMessage(HANDLE port, PFILTER_MESSAGE_HEADER messageBuffer, DWORD messageBufferSize,
                                LPOVERLAPPED overlapped);
HRESULT WINAPI FilterReplyMessage(HANDLE port, PFILTER_REPLY_HEADER replyBuffer, DWORD replyBufferSize);

// ---------------------------------------------------------------- wide and secure CRT
// MSVC semantics: in a wide format "%s" is a wide string and "%S" a narrow one;
// the _s routines fail with EINVAL/ERANGE on a bad argument or a destination too
// small (destination emptied) and cut at the destination with _TRUNCATE.
typedef int errno_t;
typedef size_t rsize_t;
#ifndef _TRUNCATE
#define _TRUNCATE ((size_t)-1)
#endif
#ifndef STRUNCATE
#define STRUNCATE 80
#endif
#ifndef _countof
#define _countof(a) (sizeof(a) / sizeof((a)[0]))
#endif

int _vsnwprintf_s(WCHAR* buffer, size_t sizeOfBuffer, size_t count, const WCHAR* format, va_list args);
int _snwprintf_s(WCHAR* buffer, size_t sizeOfBuffer, size_t count, const WCHAR* format, ...);
int vswprintf_s(WCHAR* buffer, size_t sizeOfBuffer, const WCHAR* format, va_list args);
int swprintf_s(WCHAR* buffer, size_t sizeOfBuffer, const WCHAR* format, ...);
int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list args);
int _snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...);
int _vscwprintf(const WCHAR* format, va_list args);
errno_t wcscpy_s(WCHAR* dest, rsize_t destSize, const WCHAR* src);
errno_t wcsncpy_s(WCHAR* dest, rsize_t destSize, const WCHAR* src, rsize_t count);
errno_t wcscat_s(WCHAR* dest, rsize_t destSize, const WCHAR* src);
errno_t wcsncat_s(WCHAR* dest, rsize_t destSize, const WCHAR* src, rsize_t count);
errno_t _wcsupr_s(WCHAR* str, size_t size);
errno_t _wcslwr_s(WCHAR* str, size_t size);
WCHAR* wcscpy(WCHAR* dest, const WCHAR* src);
WCHAR* wcscat(WCHAR* dest, const WCHAR* src);
long wcstol(const WCHAR* str, WCHAR** end, int base);
unsigned long wcstoul(const WCHAR* str, WCHAR** end, int base);
int _wtoi(const WCHAR* str);
// Narrow secure routines (MSVC's; glibc has none of them). "%s" is narrow here.
int _vsnprintf_s(char* buffer, size_t sizeOfBuffer, size_t count, const char* format, va_list args);
int _snprintf_s(char* buffer, size_t sizeOfBuffer, size_t count, const char* format, ...);
int vsprintf_s(char* buffer, size_t sizeOfBuffer, const char* format, va_list args);
int sprintf_s(char* buffer, size_t sizeOfBuffer, const char* format, ...);
errno_t strcpy_s(char* dest, rsize_t destSize, const char* src);
errno_t strncpy_s(char* dest, rsize_t destSize, const char* src, rsize_t count);
errno_t strcat_s(char* dest, rsize_t destSize, const char* src);

// The array forms MSVC and mingw-w64 add in C++.
template <size_t N>
inline int _vsnwprintf_s(WCHAR (&buffer)[N], size_t count, const WCHAR* format, va_list args) {
    return _vsnwprintf_s(buffer, N, count, format, args);
}
template <size_t N>
inline int _snwprintf_s(WCHAR (&buffer)[N], size_t count, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int r = _vsnwprintf_s(buffer, N, count, format, args);
    va_end(args);
    return r;
}
template <size_t N>
inline int swprintf_s(WCHAR (&buffer)[N], const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int r = vswprintf_s(buffer, N, format, args);
    va_end(args);
    return r;
}
template <size_t N>
inline errno_t wcscpy_s(WCHAR (&dest)[N], const WCHAR* src) { return wcscpy_s(dest, N, src); }
template <size_t N>
inline errno_t wcsncpy_s(WCHAR (&dest)[N], const WCHAR* src, rsize_t count) { return wcsncpy_s(dest, N, src, count); }
template <size_t N>
inline errno_t wcscat_s(WCHAR (&dest)[N], const WCHAR* src) { return wcscat_s(dest, N, src); }
template <size_t N>
inline errno_t wcsncat_s(WCHAR (&dest)[N], const WCHAR* src, rsize_t count) { return wcsncat_s(dest, N, src, count); }
template <size_t N>
inline int _snprintf_s(char (&buffer)[N], size_t count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int r = _vsnprintf_s(buffer, N, count, format, args);
    va_end(args);
    return r;
}
template <size_t N>
inline int sprintf_s(char (&buffer)[N], const char* format, ...) {
    va_list args;
    va_start(args, format);
    int r = vsprintf_s(buffer, N, format, args);
    va_end(args);
    return r;
}
template <size_t N>
inline errno_t strcpy_s(char (&dest)[N], const char* src) { return strcpy_s(dest, N, src); }
template <size_t N>
inline errno_t strncpy_s(char (&dest)[N], const char* src, rsize_t count) { return strncpy_s(dest, N, src, count); }
template <size_t N>
inline errno_t strcat_s(char (&dest)[N], const char* src) { return strcat_s(dest, N, src); }

// ---------------------------------------------------------------- the library's own files
// Not a Windows routine: the host path of a file the library opens by its Windows
// path through the C++ and log4cpp file APIs (its configuration beside the host
// executable, its log file). "C:\dir\x.conf" (ANSI, code page 1252) becomes the
// file under the host directory of the volume that C: names; on Windows this is
// the identity. A path on no volume comes back unchanged.
std::string KxHostFilePath(const std::string& windowsPath);

// --- added by wt-scm
// Errors and registry options the Service Control Manager, registry, privilege and
// security routines report or take.
#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_INVALID_ADDRESS 487L
#define ERROR_DATABASE_DOES_NOT_EXIST 1065L
#define ERROR_UNKNOWN_REVISION 1305L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#define RPC_S_SERVER_UNAVAILABLE 1722L
#define REG_OPTION_CREATE_LINK 0x00000002L
#define REG_OPTION_BACKUP_RESTORE 0x00000004L
#define REG_OPTION_OPEN_LINK 0x00000008L

#endif  // _WIN32
