#include "ctrl/interface.h"

#include <cstring>
#include <string>

#include "ctrl/diag_log.h"
#include "ctrl/paths.h"

namespace {

using Traits = std::char_traits<WCHAR>;

const WCHAR kFailHex[] = WSTR("%s :: FilterSendMessage fail %x\n");
const WCHAR kFailParen[] = WSTR("%s :: FilterSendMessage fail (%x)\n");
const WCHAR kDelFormat[] = WSTR("%s :: dwType(%d), ntDevicePath(%s)\n");
const WCHAR kNoDrive[] = WSTR("%s :: Exist Drive Name\n");
const WCHAR kConversionFail[] = WSTR("%s :: DriveToNtPath fail, path(%s)\n");
const WCHAR kSizeFail[] = WSTR("%s :: size fail %x,%x\n");

// Characters before the terminator, counting no further than limit.
size_t BoundedLength(LPCWSTR text, size_t limit) {
    size_t n = 0;
    while (n < limit && text[n] != 0) {
        ++n;
    }
    return n;
}

bool HasBackslash(LPCWSTR text) {
    for (; *text != 0; ++text) {
        if (*text == WSTR('\\')) {
            return true;
        }
    }
    return false;
}

template <typename Fn>
Fn ProcAs(FARPROC proc) {
    // Through the generic function type, as every caller of GetProcAddress does.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(proc));
}

ULONG AddressBits(const void* p) { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(p)); }

template <typename Fn>
ULONG AddressBits(Fn fn) {
    return fn == nullptr ? 0 : AddressBits(reinterpret_cast<const void*>(fn));
}

// One USB identity string for the disk overlay: converted to the system ANSI code
// page through a scratch buffer, ASCII letters upper-cased, cut to 19 bytes and
// terminated. A null or empty string leaves the field empty.
void PutUsbId(CHAR (&field)[KX_USB_ID_CHARS], LPCWSTR text) {
    std::memset(field, 0, sizeof field);
    if (text == nullptr || text[0] == 0) {
        return;
    }
    const int chars = static_cast<int>(BoundedLength(text, kUsbIdBytes));
    char scratch[kUsbIdBytes * 2 + 1] = {};
    int bytes = WideCharToMultiByte(CP_ACP, 0, text, chars, scratch, static_cast<int>(sizeof scratch - 1), nullptr,
                                    nullptr);
    if (bytes <= 0) {
        return;
    }
    if (bytes > static_cast<int>(kUsbIdBytes)) {
        bytes = static_cast<int>(kUsbIdBytes);
    }
    for (int i = 0; i < bytes; ++i) {
        char c = scratch[i];
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
        field[i] = c;
    }
    field[bytes] = 0;
}

}  // namespace

void InitCommandMessage(COMMAND_MESSAGE& msg, ULONGLONG command) {
    std::memset(&msg, 0, sizeof msg);
    msg.command = command;
}

ULONG PutCommandText(COMMAND_MESSAGE& msg, LPCWSTR text, size_t maxChars) {
    if (maxChars > KX_TEXT_CHARS - 1) {
        maxChars = KX_TEXT_CHARS - 1;
    }
    size_t n = 0;
    if (text != nullptr) {
        for (; n < maxChars && text[n] != 0; ++n) {
            msg.text[n] = text[n];
        }
    }
    msg.text[n] = 0;
    return static_cast<ULONG>(n * sizeof(WCHAR));
}

CInterface::~CInterface() { Release(); }

bool CInterface::Init(LPSECURITY_ATTRIBUTES sa) {
    static const WCHAR kName[] = WSTR("CInterface::Init");
    fltlib_ = LoadLibraryW(WSTR("fltlib.dll"));
    if (fltlib_ == nullptr) {
        return false;
    }
    filterConnectCommunicationPort_ =
        ProcAs<PFN_FILTER_CONNECT_COMMUNICATION_PORT>(GetProcAddress(fltlib_, "FilterConnectCommunicationPort"));
    filterSendMessage_ = ProcAs<PFN_FILTER_SEND_MESSAGE>(GetProcAddress(fltlib_, "FilterSendMessage"));
    filterReplyMessage_ = ProcAs<PFN_FILTER_REPLY_MESSAGE>(GetProcAddress(fltlib_, "FilterReplyMessage"));
    filterGetMessage_ = ProcAs<PFN_FILTER_GET_MESSAGE>(GetProcAddress(fltlib_, "FilterGetMessage"));
    if (filterConnectCommunicationPort_ == nullptr || filterSendMessage_ == nullptr ||
        filterReplyMessage_ == nullptr || filterGetMessage_ == nullptr) {
        const DWORD error = GetLastError();
        KX_LOGW(WSTR("%s :: Invaild Func Adr %x %x %x %x\n"), kName, AddressBits(filterConnectCommunicationPort_),
                AddressBits(filterSendMessage_), AddressBits(filterReplyMessage_), AddressBits(filterGetMessage_));
        SetLastError(error);
        return false;
    }

    HANDLE presence = CreateEventW(sa, FALSE, FALSE, KX_SHARED_PRESENCE_EVENT_NAME);
    if (presence == nullptr) {
        const DWORD error = GetLastError();
        KX_LOGW(WSTR("%s :: share event fail GL = %d\n"), kName, error);
        SetLastError(error);
        return false;
    }
    sharedPresenceEvent_ = presence;
    return true;
}

bool CInterface::OpenEx() {
    static const WCHAR kName[] = WSTR("CInterface::OpenEx");
    static const WCHAR kFail[] = WSTR("%s :: CInterface::OpenEx(), Fail\t%x\n");
    if (filterConnectCommunicationPort_ == nullptr) {
        return false;
    }
    Close();  // a connection left from an earlier attempt is not kept twice

    HANDLE port = INVALID_HANDLE_VALUE;
    HRESULT hr = E_FAIL;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        port = INVALID_HANDLE_VALUE;
        hr = filterConnectCommunicationPort_(KX4GRD_PORT_NAME, 0, nullptr, 0, nullptr, &port);
        if (SUCCEEDED(hr)) {
            break;
        }
        KX_LOGW(kFail, kName, hr);
        Sleep(kOpenRetryMs);
    }
    if (FAILED(hr)) {
        KX_LOGW(kFail, kName, hr);
        return false;
    }
    port_ = port;

    static const WCHAR kClear[] = WSTR("CInterface::Clear");
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, CLEAR);
    if (FAILED(Send(msg, nullptr, 0, nullptr))) {
        const DWORD error = GetLastError();
        KX_LOGW(WSTR("%s :: FilterSendMessage fail %x %x\n"), kClear, error, static_cast<ULONG>(CLEAR));
        Close();  // the connection is not used; keeping it open would leak it
        SetLastError(error);
        return false;
    }
    KX_LOGW(WSTR("%s :: CInterface::Clear(), Success\n"), kClear);
    return true;
}

void CInterface::Close() {
    HANDLE port = port_.exchange(INVALID_HANDLE_VALUE);
    if (port != INVALID_HANDLE_VALUE && port != nullptr) {
        CloseHandle(port);
    }
}

void CInterface::Release() {
    Close();
    if (sharedPresenceEvent_ != INVALID_HANDLE_VALUE && sharedPresenceEvent_ != nullptr) {
        CloseHandle(sharedPresenceEvent_);
    }
    sharedPresenceEvent_ = INVALID_HANDLE_VALUE;
    if (fltlib_ != nullptr) {
        FreeLibrary(fltlib_);
        fltlib_ = nullptr;
    }
    filterConnectCommunicationPort_ = nullptr;
    filterSendMessage_ = nullptr;
    filterReplyMessage_ = nullptr;
    filterGetMessage_ = nullptr;
}

HRESULT CInterface::Send(COMMAND_MESSAGE& msg, PVOID reply, DWORD replySize, PDWORD returned) {
    DWORD ignored = 0;
    PDWORD bytesReturned = returned != nullptr ? returned : &ignored;
    *bytesReturned = 0;
    if (filterSendMessage_ == nullptr) {
        return E_HANDLE;
    }
    return filterSendMessage_(port_.load(), &msg, static_cast<DWORD>(sizeof msg), reply, replySize, bytesReturned);
}

bool CInterface::SendLogged(COMMAND_MESSAGE& msg, const WCHAR* logName, const WCHAR* failFormat, PVOID reply,
                            DWORD replySize) {
    const HRESULT hr = Send(msg, reply, replySize, nullptr);
    if (FAILED(hr)) {
        KX_LOGW(failFormat, logName, hr);
        return false;
    }
    return true;
}

bool CInterface::SendState(ULONGLONG command, ULONG state, const WCHAR* logName) {
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, command);
    msg.state = state;
    return SendLogged(msg, logName, kFailHex);
}

bool CInterface::StartAndStop(ULONG flag) {
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, flag != 0 ? START : STOP);
    return SendLogged(msg, WSTR("CInterface::StartAndStop"), kFailHex);
}

bool CInterface::SetProtectPath(ULONG type, LPCWSTR path) {
    static const WCHAR kName[] = WSTR("CInterface::SetProtectPath");
    if (path == nullptr || BoundedLength(path, kPathArgumentLimitChars) >= kPathArgumentLimitChars) {
        return false;
    }
    WCHAR ntPath[KX_TEXT_CHARS];
    const bool converted = DriveToNtPath(path, ntPath, KX_TEXT_CHARS);
    if (!converted) {
        // The empty text still goes out (the driver ignores it), but the caller
        // learns that nothing was protected.
        ntPath[0] = 0;
        KX_LOGW(kConversionFail, kName, path);
    }
    KX_LOGW(WSTR("%s :: SetProtectPath, ntDevicePath(%s) ulType(%d)"), kName, ntPath, type);
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, SET_PATH);
    msg.ulType = type;
    msg.size = PutCommandText(msg, ntPath);
    return SendLogged(msg, kName, kFailHex) && converted;
}

bool CInterface::DelProtectPath(ULONG type, LPCWSTR path) {
    static const WCHAR kName[] = WSTR("CInterface::DelProtectPath");
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, DEL_PATH);
    msg.ulType = type;
    if (path == nullptr || path[0] == 0) {
        KX_LOGW(kDelFormat, kName, type, WSTR(""));
        return SendLogged(msg, kName, kFailHex);
    }
    if (BoundedLength(path, kPathArgumentLimitChars) >= kPathArgumentLimitChars) {
        return false;
    }
    WCHAR ntPath[KX_TEXT_CHARS];
    if (!DriveToNtPath(path, ntPath, KX_TEXT_CHARS)) {
        KX_LOGW(kNoDrive, kName);
        return false;
    }
    KX_LOGW(kDelFormat, kName, type, ntPath);
    msg.size = PutCommandText(msg, ntPath);
    return SendLogged(msg, kName, kFailHex);
}

bool CInterface::SetProcessPath(ULONG type, LPCWSTR path, DWORD byteLength) {
    static const WCHAR kName[] = WSTR("CInterface::SetProcessPath");
    if (path == nullptr) {
        return false;
    }
    if (byteLength >= kProcessPathLimitBytes) {
        KX_LOGW(kSizeFail, kName, byteLength, kProcessPathLimitBytes);
        return false;
    }
    WCHAR text[KX_TEXT_CHARS];
    bool converted = true;
    if (HasBackslash(path)) {
        converted = DriveToNtPath(path, text, KX_TEXT_CHARS);
        if (!converted) {
            text[0] = 0;
            KX_LOGW(kConversionFail, kName, path);
        }
    } else {
        const size_t n = BoundedLength(path, KX_TEXT_CHARS - 1);
        Traits::copy(text, path, n);
        text[n] = 0;
    }
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, SET_PROCESSNAME);
    msg.ulType = type;
    // The size covers the text sent: a shorter size would store a prefix that
    // trusts a whole folder tree.
    msg.size = PutCommandText(msg, text);
    KX_LOGW(WSTR("%s :: path(%s) size(%d)"), kName, text, msg.size);
    return SendLogged(msg, kName, kFailHex) && converted;
}

bool CInterface::DelProcessPath(ULONG type, LPCWSTR path, DWORD byteLength) {
    static const WCHAR kName[] = WSTR("CInterface::DelProcessPath");
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, DEL_PROCESSNAME);
    msg.ulType = type;
    if (path == nullptr || path[0] == 0) {
        KX_LOGW(kDelFormat, kName, type, WSTR(""));
        return SendLogged(msg, kName, kFailHex);
    }
    if (byteLength >= kProcessPathLimitBytes) {
        KX_LOGW(kSizeFail, kName, byteLength, kProcessPathLimitBytes);
        return false;
    }
    WCHAR text[KX_TEXT_CHARS];
    if (HasBackslash(path)) {
        if (!DriveToNtPath(path, text, KX_TEXT_CHARS)) {
            KX_LOGW(kNoDrive, kName);
            return false;
        }
    } else {
        const size_t n = BoundedLength(path, KX_TEXT_CHARS - 1);
        Traits::copy(text, path, n);
        text[n] = 0;
    }
    KX_LOGW(kDelFormat, kName, type, text);
    msg.size = PutCommandText(msg, text);
    return SendLogged(msg, kName, kFailHex);
}

bool CInterface::SetFileName(ULONG type, LPCWSTR fileName) {
    if (fileName == nullptr || BoundedLength(fileName, kPathArgumentLimitChars) >= kPathArgumentLimitChars) {
        return false;
    }
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, SET_FILENAME);
    msg.ulType = type;
    msg.size = PutCommandText(msg, fileName);
    return SendLogged(msg, WSTR("CInterface::SetFileName"), kFailHex);
}

bool CInterface::SetPid(ULONG type, ULONG processId) {
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, SET_PID);
    msg.value = processId;
    msg.type = type;
    return SendLogged(msg, WSTR("CInterface::SetPid"), kFailHex);
}

bool CInterface::RemovePid(ULONG processId) {
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, REMOVE_PID);
    msg.value = processId;
    ULONG reply = 0;  // passed, never read
    return SendLogged(msg, WSTR("CInterface::RemovePid"), kFailHex, &reply, static_cast<DWORD>(sizeof reply));
}

bool CInterface::Debug(ULONG debugLevel) {
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, SET_DEBUG_LEVEL);
    msg.value = debugLevel;
    return SendLogged(msg, WSTR("CInterface::Debug"), kFailHex);
}

bool CInterface::SetFolderProtect(ULONG state) {
    return SendState(START_FOLDER_PROTECT, state, WSTR("CInterface::SetFolderProtect"));
}

bool CInterface::SetShareWatch(ULONG state) {
    return SendState(START_IS_SHARE_FOLDER_WATCHE, state, WSTR("CInterface::SetShareWatch"));
}

bool CInterface::SetDeviceProtect(ULONG state) {
    return SendState(START_DEVICE_PROTECT, state, WSTR("CInterface::SetDeviceProtect"));
}

bool CInterface::SetDeleteFile(LPCWSTR path) {
    if (path == nullptr) {
        return false;
    }
    static const WCHAR kPrefix[] = WSTR("\\??\\");
    constexpr size_t kPrefixChars = KX_COUNTOF(kPrefix) - 1;
    WCHAR text[kDeleteFileTextChars + 1];
    Traits::copy(text, kPrefix, kPrefixChars);
    const size_t n = BoundedLength(path, kDeleteFileTextChars - kPrefixChars);
    Traits::copy(text + kPrefixChars, path, n);
    text[kPrefixChars + n] = 0;
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, SET_DELETE_FILE);
    msg.size = PutCommandText(msg, text);
    return SendLogged(msg, WSTR("CInterface::SetDeleteFile"), kFailHex);
}

bool CInterface::SetTerminiateProcess(ULONG processId) {
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, SET_TERMINATE_PROCESS);
    msg.value = processId;
    return SendLogged(msg, WSTR("CInterface::SetTerminiateProcess"), kFailHex);
}

bool CInterface::SetHook(ULONG deviceType, ULONG state) {
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, SET_HOOK);
    msg.type = deviceType;
    msg.state = state;
    return SendLogged(msg, WSTR("CInterface::SetHook"), kFailParen);
}

bool CInterface::SetPolicy(ULONG deviceType, ULONG policyState, ULONG log) {
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, SET_POLICY);
    msg.devicetype = deviceType;
    msg.policystate = policyState;
    msg.log = log;
    return SendLogged(msg, WSTR("CInterface::SetPolicy"), kFailParen);
}

bool CInterface::SetProcessProtect(ULONG state) {
    static const WCHAR kName[] = WSTR("CInterface::SetProcessProtect");
    KX_LOGW(WSTR("%s :: msg.id(%d), msg.folder_protect_(%d)\n"), kName, static_cast<ULONG>(SET_PROCESS_PROTECT),
            state);
    return SendState(SET_PROCESS_PROTECT, state, kName);
}

bool CInterface::SetProcessProtectName(LPCWSTR name) {
    static const WCHAR kName[] = WSTR("CInterface::SetProcessProtectName");
    // An empty entry would match every process.
    if (name == nullptr || name[0] == 0) {
        return false;
    }
    KX_LOGW(WSTR("%s :: type(%d), name(%s)"), kName, kProtectedProcessType, name);
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, SET_PROCESS_PROTECT_PROCESSNAME);
    msg.ulType = kProtectedProcessType;
    msg.size = PutCommandText(msg, name);
    return SendLogged(msg, kName, kFailHex);
}

bool CInterface::DelProcessProtectName(LPCWSTR name) {
    static const WCHAR kName[] = WSTR("CInterface::DelProcessProtectName");
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, DEL_PROCESS_PROTECT_PROCESSNAME);
    msg.ulType = kProtectedProcessType;
    if (name == nullptr || name[0] == 0) {
        KX_LOGW(WSTR("%s :: all delete type(%d), name(%s)\n"), kName, kProtectedProcessType, name);
    } else {
        KX_LOGW(WSTR("%s :: type(%d), name(%s)\n"), kName, kProtectedProcessType, name);
        msg.size = PutCommandText(msg, name);
    }
    return SendLogged(msg, kName, kFailHex);
}

bool CInterface::SetProcessProtectId(ULONG processId) {
    static const WCHAR kName[] = WSTR("CInterface::SetProcessProtectId");
    KX_LOGW(WSTR("%s :: type(%d) pid(%d)"), kName, kProtectedProcessType, processId);
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, SET_PROCESS_PROTECT_PID);
    msg.value = processId;
    msg.type = kProtectedProcessType;
    return SendLogged(msg, kName, kFailHex);
}

bool CInterface::DelProcessProtectId(ULONG processId) {
    static const WCHAR kName[] = WSTR("CInterface::DelProcessProtectId");
    KX_LOGW(WSTR("%s :: type(%d) pid(%d)"), kName, kProtectedProcessType, processId);
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, DEL_PROCESS_PROTECT_PID);
    msg.value = processId;
    msg.type = kProtectedProcessType;
    return SendLogged(msg, kName, kFailHex);
}

bool CInterface::SetRegProtect(ULONG state) {
    static const WCHAR kName[] = WSTR("CInterface::SetRegProtect");
    KX_LOGW(WSTR("%s :: msg.id(%d), msg.state_(%d)\n"), kName, static_cast<ULONG>(SET_REG_PROTECT), state);
    return SendState(SET_REG_PROTECT, state, kName);
}

bool CInterface::SetRegProtectName(LPCWSTR key) {
    static const WCHAR kName[] = WSTR("CInterface::SetRegProtectName");
    if (key == nullptr) {
        return false;
    }
    KX_LOGW(WSTR("%s :: regkey(%s)"), kName, key);
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, SET_REG_KEY);
    PutCommandText(msg, key);  // the driver reads the terminated text; size stays 0
    return SendLogged(msg, kName, kFailHex);
}

bool CInterface::DelRegProtectName(LPCWSTR key) {
    static const WCHAR kName[] = WSTR("CInterface::DelRegProtectName");
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, DEL_REG_KEY);
    if (key == nullptr) {
        KX_LOGW(WSTR("%s :: all delete type\n"), kName);
    } else {
        KX_LOGW(WSTR("%s :: regkey(%s)\n"), kName, key);
        msg.size = PutCommandText(msg, key);
    }
    return SendLogged(msg, kName, kFailHex);
}

bool CInterface::SetUsbDiskException(ULONG state, LPCWSTR vendorId, LPCWSTR productId, LPCWSTR revision,
                                     LPCWSTR serialNumber) {
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, SET_USB_DISK_EXCEPT);
    msg.state = state;
    msg.ulType = kUsbDiskExceptType;
    if (state != STATE_CLEAR) {
        PutUsbId(msg.usbDisk.vendorId, vendorId);
        PutUsbId(msg.usbDisk.productId, productId);
        PutUsbId(msg.usbDisk.productRevision, revision);
        PutUsbId(msg.usbDisk.serialNumber, serialNumber);
    }
    KX_LOGA("%s :: state(%d), vid(%s), pid(%s), serial(%s)\n", "CInterface::SetUsbDiskException", state,
            msg.usbDisk.vendorId, msg.usbDisk.productId, msg.usbDisk.serialNumber);
    return SendLogged(msg, WSTR("CInterface::SetUsbDiskException"), kFailParen);
}

bool CInterface::SetUsbPortException(ULONG state, ULONG vendorId, ULONG productId, ULONG extraValue,
                                     LPCWSTR serialNumber) {
    static const WCHAR kName[] = WSTR("CInterface::SetUsbPortException");
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, SET_USB_PORT_EXCEPT);
    msg.state = state;
    msg.ulType = kUsbPortExceptType;
    msg.usbPort.vendorId = vendorId;
    msg.usbPort.productId = productId;
    msg.usbPort.extraValue = extraValue;
    if (serialNumber != nullptr) {
        const size_t n = BoundedLength(serialNumber, kUsbSerialChars);
        Traits::copy(msg.usbPort.serialNumber, serialNumber, n);
        msg.usbPort.serialNumber[n] = 0;
    }
    KX_LOGW(WSTR("%s :: vid(%x), pid(%x), (%s)\n"), kName, vendorId, productId, msg.usbPort.serialNumber);
    return SendLogged(msg, kName, kFailParen);
}

bool CInterface::SetLogtype(ULONG logType) {
    static const WCHAR kName[] = WSTR("CInterface::SetLogtype");
    KX_LOGW(WSTR("%s :: type(%x)\n"), kName, logType);
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, SET_LOG_TYPE);
    msg.type = logType;
    return SendLogged(msg, kName, kFailParen);
}

HRESULT CInterface::GetLog(PVOID reply, DWORD replySize, PDWORD returned) {
    COMMAND_MESSAGE msg;
    InitCommandMessage(msg, GET_LOG);
    const HRESULT hr = Send(msg, reply, replySize, returned);
    if (FAILED(hr)) {
        KX_LOGW(kFailParen, WSTR("CInterface::GetLog"), hr);
    }
    return hr;
}
