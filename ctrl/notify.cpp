// The notification receive thread: a blocking receive loop on the driver's port
// that logs each process notification it gets. The driver of this system never
// sends one, so in practice the thread waits in its first receive until the port
// is closed; the loop still serves a driver that does send.
#include "ctrl/interface.h"

#include <cstring>

#include "ctrl/diag_log.h"

namespace {

// FilterGetMessage's answer when the port handle is closed under a pending receive.
constexpr HRESULT kReceiveAborted = static_cast<HRESULT>(0x800703E3);  // ERROR_OPERATION_ABORTED
// Its answer on a handle that is no longer (or never was) a port.
constexpr HRESULT kReceiveInvalidHandle = static_cast<HRESULT>(0x80070006);  // ERROR_INVALID_HANDLE
// The pause after each receive, also a failed one: a port that fails every
// receive at once must not turn the loop into a busy spin.
constexpr DWORD kReceivePauseMs = 500;

bool ValidHandle(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

}  // namespace

void CInterface::StartGetMessageThread(ULONG_PTR notifyContext) {
    if (notifyThread_ != nullptr) {
        return;
    }
    if (notifyWakeEvent_ == nullptr) {
        // Manual reset, set once to end the pause when the thread is stopped.
        notifyWakeEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (notifyWakeEvent_ == nullptr) {
            KX_LOGW(WSTR("%s :: CreateEvent fail ge(%x)\n"), WSTR("CInterface::StartGetMessageThread"), GetLastError());
            return;
        }
    }
    notifyContext_ = notifyContext;
    notifyRunning_.store(true);
    notifyThread_ = CreateThread(nullptr, 0, &CInterface::GetMessageThread, this, 0, nullptr);
    if (notifyThread_ == nullptr) {
        const DWORD error = GetLastError();
        KX_LOGW(WSTR("%s :: CreateThread fail ge(%x)\n"), WSTR("CInterface::StartGetMessageThread"), error);
        notifyRunning_.store(false);
        CloseHandle(notifyWakeEvent_);
        notifyWakeEvent_ = nullptr;
    }
}

void CInterface::StopGetMessageThread() {
    // The caller has closed the port (or is about to have it closed by the driver's
    // unload): a pending receive then ends, and the flag keeps the loop from
    // starting another one; the wake event ends a pause.
    notifyRunning_.store(false);
    if (notifyWakeEvent_ != nullptr) {
        SetEvent(notifyWakeEvent_);
    }
    if (notifyThread_ != nullptr) {
        WaitForSingleObject(notifyThread_, INFINITE);
        CloseHandle(notifyThread_);
        notifyThread_ = nullptr;
    }
    if (notifyWakeEvent_ != nullptr) {
        CloseHandle(notifyWakeEvent_);
        notifyWakeEvent_ = nullptr;
    }
}

DWORD WINAPI CInterface::GetMessageThread(LPVOID self) {
    auto* iface = static_cast<CInterface*>(self);
    if (iface == nullptr) {
        return ERROR_INVALID_PARAMETER;  // 87
    }
    try {
        KX_LOGW(WSTR("%s :: start"), WSTR("CInterface::GetMessageThread"));
        NOTIFY_MESSAGE message;
        std::memset(&message, 0, sizeof(message));
        KX_LOGW(WSTR("%s :: FilterGetMessage, wait"), WSTR("CInterface::GetMessageProc"));
        // The loop leaves when the flag is clear or the port handle is gone, not only
        // on the abort answer: after the port closed during a pause, a receive on the
        // stale handle answers something else, forever.
        for (;;) {
            const HANDLE port = iface->port_.load();
            if (!iface->notifyRunning_.load() || !ValidHandle(port) || iface->filterGetMessage_ == nullptr) {
                break;
            }
            const HRESULT hr = iface->filterGetMessage_(port, reinterpret_cast<PFILTER_MESSAGE_HEADER>(&message),
                                                        KX_NOTIFY_MESSAGE_SIZE, nullptr);
            if (hr == kReceiveAborted || hr == kReceiveInvalidHandle || !iface->notifyRunning_.load()) {
                break;
            }
            if (FAILED(hr)) {
                KX_LOGW(WSTR("%s :: Failed to get message from the minifilter.(%x)"), WSTR("CInterface::GetMessageProc"),
                        hr);
            } else {
                // A sender's name fields need not be terminated: they are cut inside
                // their fields before they are formatted.
                message.processName[KX_NOTIFY_NAME_CHARS - 1] = 0;
                message.processPath[KX_NOTIFY_PATH_CHARS - 1] = 0;
                KX_LOGW(WSTR("%s :: FilterGetMessage, [%d], ProcessName[%s], ProcessPath[%s]"),
                        WSTR("CInterface::GetMessageProc"), message.processId, message.processName,
                        message.processPath);
            }
            if (iface->notifyWakeEvent_ != nullptr) {
                WaitForSingleObject(iface->notifyWakeEvent_, kReceivePauseMs);
            } else {
                Sleep(kReceivePauseMs);
            }
            KX_LOGW(WSTR("%s :: FilterGetMessage, wait"), WSTR("CInterface::GetMessageProc"));
        }
        KX_LOGW(WSTR("%s :: FilterGetMessage aborted."), WSTR("CInterface::GetMessageProc"));
    } catch (...) {
        KX_LOGW(WSTR("%s :: exception in the notification thread"), WSTR("CInterface::GetMessageThread"));
    }
    return 1;
}
