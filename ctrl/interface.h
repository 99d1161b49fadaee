// CInterface: the library's client of the driver's communication port "\kx4grd".
// It loads the filter-manager user library, connects, and sends one 2096-byte
// command message per operation. Operations report success or failure; each logs
// its own failure line.
#pragma once

#include <atomic>

#include "platform/um.h"

#include "common/kx4grd_common.h"

// The filter-manager user library's entry points, resolved by name at Init.
typedef HRESULT(WINAPI* PFN_FILTER_CONNECT_COMMUNICATION_PORT)(LPCWSTR portName, DWORD options, LPCVOID context,
                                                               WORD sizeOfContext,
                                                               LPSECURITY_ATTRIBUTES securityAttributes,
                                                               HANDLE* port);
typedef HRESULT(WINAPI* PFN_FILTER_SEND_MESSAGE)(HANDLE port, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                                                 DWORD outBufferSize, LPDWORD bytesReturned);
typedef HRESULT(WINAPI* PFN_FILTER_GET_MESSAGE)(HANDLE port, PFILTER_MESSAGE_HEADER messageBuffer,
                                                DWORD messageBufferSize, LPOVERLAPPED overlapped);
typedef HRESULT(WINAPI* PFN_FILTER_REPLY_MESSAGE)(HANDLE port, PFILTER_REPLY_HEADER replyBuffer,
                                                  DWORD replyBufferSize);

// Marks that the library is active in some process; nothing waits on it.
#define KX_SHARED_PRESENCE_EVENT_NAME WSTR("Global\\{A5F2956A-A68E-4404-BCD6-2A7DF47353E8}")

constexpr int kOpenAttempts = 5;
constexpr DWORD kOpenRetryMs = 200;
constexpr size_t kPathArgumentLimitChars = 507;   // SetProtectPath, DelProtectPath, SetFileName
constexpr DWORD kProcessPathLimitBytes = 2038;     // SetProcessPath, DelProcessPath
constexpr size_t kDeleteFileTextChars = 511;       // SET_DELETE_FILE text, "\??\" included
constexpr size_t kUsbIdBytes = 19;                 // SET_USB_DISK_EXCEPT strings
constexpr size_t kUsbSerialChars = 99;             // SET_USB_PORT_EXCEPT serial
constexpr ULONG kProtectedProcessType = 64;
constexpr ULONG kUsbDiskExceptType = 3;            // BDC_USB_DISK
constexpr ULONG kUsbPortExceptType = 9;            // BDC_USB

class CInterface {
public:
    CInterface() = default;
    ~CInterface();  // closes what is still open (port, library, presence event)
    CInterface(const CInterface&) = delete;
    CInterface& operator=(const CInterface&) = delete;

    // Loads "fltlib.dll", resolves its four port routines and creates the
    // presence event with sa. false with the system's last error on failure.
    bool Init(LPSECURITY_ATTRIBUTES sa);
    // Connects to "\kx4grd" (5 attempts, 200 ms apart) and sends CLEAR. A connection
    // whose CLEAR fails is closed again.
    bool OpenEx();
    // Closes the port, which ends a receive pending on it.
    void Close();
    // Closes the port, releases the presence event and unloads the filter library.
    void Release();
    bool Connected() const { return port_.load() != INVALID_HANDLE_VALUE; }

    // One operation per command; each returns true when the driver accepted it.
    bool StartAndStop(ULONG flag);
    bool SetProtectPath(ULONG type, LPCWSTR path);
    bool DelProtectPath(ULONG type, LPCWSTR path);
    bool SetProcessPath(ULONG type, LPCWSTR path, DWORD byteLength);
    bool DelProcessPath(ULONG type, LPCWSTR path, DWORD byteLength);
    bool SetFileName(ULONG type, LPCWSTR fileName);
    bool SetPid(ULONG type, ULONG processId);
    bool RemovePid(ULONG processId);
    bool Debug(ULONG debugLevel);
    bool SetFolderProtect(ULONG state);
    bool SetShareWatch(ULONG state);
    bool SetDeviceProtect(ULONG state);
    bool SetDeleteFile(LPCWSTR path);
    bool SetTerminiateProcess(ULONG processId);
    bool SetHook(ULONG deviceType, ULONG state);
    bool SetPolicy(ULONG deviceType, ULONG policyState, ULONG log);
    bool SetProcessProtect(ULONG state);
    bool SetProcessProtectName(LPCWSTR name);
    bool DelProcessProtectName(LPCWSTR name);
    bool SetProcessProtectId(ULONG processId);
    bool DelProcessProtectId(ULONG processId);
    bool SetRegProtect(ULONG state);
    bool SetRegProtectName(LPCWSTR key);
    bool DelRegProtectName(LPCWSTR key);
    bool SetUsbDiskException(ULONG state, LPCWSTR vendorId, LPCWSTR productId, LPCWSTR revision,
                             LPCWSTR serialNumber);
    bool SetUsbPortException(ULONG state, ULONG vendorId, ULONG productId, ULONG extraValue, LPCWSTR serialNumber);
    bool SetLogtype(ULONG logType);
    // GET_LOG into the reporter's buffer; *returned is 0 unless the driver wrote it.
    // Logs a failure itself.
    HRESULT GetLog(PVOID reply, DWORD replySize, PDWORD returned);

    // The notification receive thread (ctrl/notify.cpp).
    void StartGetMessageThread(ULONG_PTR notifyContext);
    void StopGetMessageThread();
    static DWORD WINAPI GetMessageThread(LPVOID self);

    // Notification-thread state.
    std::atomic<bool> notifyRunning_{false};
    HANDLE notifyThread_ = nullptr;
    HANDLE notifyWakeEvent_ = nullptr;
    ULONG_PTR notifyContext_ = 0;

    // The port is read by every sending thread and the receive thread, and closed
    // by the cleanup: one atomic handle.
    std::atomic<HANDLE> port_{INVALID_HANDLE_VALUE};
    HMODULE fltlib_ = nullptr;
    HANDLE sharedPresenceEvent_ = INVALID_HANDLE_VALUE;
    PFN_FILTER_CONNECT_COMMUNICATION_PORT filterConnectCommunicationPort_ = nullptr;
    PFN_FILTER_SEND_MESSAGE filterSendMessage_ = nullptr;
    PFN_FILTER_REPLY_MESSAGE filterReplyMessage_ = nullptr;
    PFN_FILTER_GET_MESSAGE filterGetMessage_ = nullptr;

private:
    // Sends msg; a failure logs "<format>" with logName and the status.
    bool SendLogged(COMMAND_MESSAGE& msg, const WCHAR* logName, const WCHAR* failFormat, PVOID reply = nullptr,
                    DWORD replySize = 0);
    HRESULT Send(COMMAND_MESSAGE& msg, PVOID reply, DWORD replySize, PDWORD returned);
    bool SendState(ULONGLONG command, ULONG state, const WCHAR* logName);
};

// A zero-filled command message for one command.
void InitCommandMessage(COMMAND_MESSAGE& msg, ULONGLONG command);
// Copies text (at most maxChars characters, never past its terminator) into the
// message's text field, terminated; returns the byte length of what was copied.
ULONG PutCommandText(COMMAND_MESSAGE& msg, LPCWSTR text, size_t maxChars = KX_TEXT_CHARS - 1);
