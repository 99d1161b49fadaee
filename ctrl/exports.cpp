// Exports 3 to 32: each checks that Kx4grdInit has run, then builds and sends one
// command through the CInterface. 0 success, 1 failure. No exception leaves them.
#include "ctrl/kx4grdctrl.h"

#include <exception>

#include "ctrl/diag_log.h"
#include "ctrl/interface.h"
#include "ctrl/library.h"

namespace {

constexpr INT kOk = 0;
constexpr INT kFailed = 1;

// Runs op on the process's CInterface; 1 when there is none, when op fails, or if
// anything escapes it.
template <typename Op>
INT Run(Op op) {
    CInterface* iface = g_interface;
    if (iface == nullptr) {
        return kFailed;
    }
    try {
        return op(*iface) ? kOk : kFailed;
    } catch (...) {
        return kFailed;
    }
}

// The argument's length in bytes, as the process-path size check sees it.
DWORD ByteLength(LPCWSTR text) {
    size_t n = 0;
    while (n < 0x7FFFFFFF && text[n] != 0) {
        ++n;
    }
    return static_cast<DWORD>(n * sizeof(WCHAR));
}

}  // namespace

KX_EXPORT INT WINAPI Kx4grdSetProtectPath(ULONG type, LPCWSTR path) {
    if (path == nullptr) {
        return kFailed;
    }
    return Run([&](CInterface& i) { return i.SetProtectPath(type, path); });
}

KX_EXPORT INT WINAPI Kx4grdDelProtectPath(ULONG type, LPCWSTR path) {
    return Run([&](CInterface& i) { return i.DelProtectPath(type, path); });
}

KX_EXPORT INT WINAPI Kx4grdStartAndStop(ULONG flag) {
    return Run([&](CInterface& i) { return i.StartAndStop(flag); });
}

KX_EXPORT INT WINAPI Kx4grdSetPid(ULONG type, ULONG processId) {
    return Run([&](CInterface& i) { return i.SetPid(type, processId); });
}

KX_EXPORT INT WINAPI Kx4grdRemovePid(ULONG processId) {
    return Run([&](CInterface& i) { return i.RemovePid(processId); });
}

KX_EXPORT INT WINAPI Kx4grdDebug(ULONG debugLevel) {
    return Run([&](CInterface& i) { return i.Debug(debugLevel); });
}

KX_EXPORT INT WINAPI Kx4grdSetProcessPath(ULONG type, LPCWSTR path) {
    if (path == nullptr) {
        return kFailed;
    }
    return Run([&](CInterface& i) { return i.SetProcessPath(type, path, ByteLength(path)); });
}

KX_EXPORT INT WINAPI Kx4grdDelProcessPath(ULONG type, LPCWSTR path) {
    return Run([&](CInterface& i) { return i.DelProcessPath(type, path, path != nullptr ? ByteLength(path) : 0); });
}

KX_EXPORT INT WINAPI Kx4grdSetFolderProtect(ULONG state) {
    return Run([&](CInterface& i) { return i.SetFolderProtect(state); });
}

KX_EXPORT INT WINAPI Kx4grdSetShareWatch(ULONG state) {
    return Run([&](CInterface& i) { return i.SetShareWatch(state); });
}

KX_EXPORT INT WINAPI Kx4grdSetFileName(ULONG type, LPCWSTR fileName) {
    if (fileName == nullptr) {
        return kFailed;
    }
    return Run([&](CInterface& i) { return i.SetFileName(type, fileName); });
}

KX_EXPORT INT WINAPI Kx4grdSetDeleteFile(LPCWSTR path) {
    if (path == nullptr) {
        return kFailed;
    }
    return Run([&](CInterface& i) { return i.SetDeleteFile(path); });
}

KX_EXPORT INT WINAPI Kx4grdSetTerminateProcess(ULONG processId) {
    return Run([&](CInterface& i) { return i.SetTerminiateProcess(processId); });
}

KX_EXPORT INT WINAPI Kx4grdSetHook(ULONG deviceType, ULONG state) {
    return Run([&](CInterface& i) { return i.SetHook(deviceType, state); });
}

KX_EXPORT INT WINAPI Kx4grdSetPolicy(ULONG deviceType, ULONG policyState, ULONG log) {
    KX_LOGW(WSTR("%s :: devcie_type(%x), state(%x), islog(%x)\n"), WSTR("Kx4grdSetPolicy"), deviceType, policyState,
            log);
    return Run([&](CInterface& i) { return i.SetPolicy(deviceType, policyState, log); });
}

KX_EXPORT INT WINAPI Kx4grdProcessProtect(ULONG state) {
    KX_LOGW(WSTR("%s :: enable(%d)\n"), WSTR("Kx4grdProcessProtect"), state);
    return Run([&](CInterface& i) { return i.SetProcessProtect(state); });
}

KX_EXPORT INT WINAPI Kx4grdSetProcessProtectName(LPCWSTR name) {
    KX_LOGW(WSTR("%s :: name(%s)\n"), WSTR("Kx4grdSetProcessProtectName"), name);
    // A null or empty name would protect every process.
    if (name == nullptr || name[0] == 0) {
        return kFailed;
    }
    return Run([&](CInterface& i) { return i.SetProcessProtectName(name); });
}

KX_EXPORT INT WINAPI Kx4grdDelProcessProtectName(LPCWSTR name) {
    KX_LOGW(WSTR("%s :: name(%s)\n"), WSTR("Kx4grdDelProcessProtectName"), name);
    return Run([&](CInterface& i) { return i.DelProcessProtectName(name); });
}

KX_EXPORT INT WINAPI Kx4grdSetProcessProtectId(ULONG processId) {
    KX_LOGW(WSTR("%s :: pid(%d)\n"), WSTR("Kx4grdSetProcessProtectId"), processId);
    return Run([&](CInterface& i) { return i.SetProcessProtectId(processId); });
}

KX_EXPORT INT WINAPI Kx4grdDelProcessProtectId(ULONG processId) {
    KX_LOGW(WSTR("%s :: pid(%d)\n"), WSTR("Kx4grdDelProcessProtectId"), processId);
    return Run([&](CInterface& i) { return i.DelProcessProtectId(processId); });
}

KX_EXPORT INT WINAPI Kx4grdSetRegProtect(ULONG state) {
    KX_LOGW(WSTR("%s :: enable(%d)\n"), WSTR("Kx4grdSetRegProtect"), state);
    return Run([&](CInterface& i) { return i.SetRegProtect(state); });
}

KX_EXPORT INT WINAPI Kx4grdSetRegProtectName(LPCWSTR key) {
    KX_LOGW(WSTR("%s :: regkey(%s)\n"), WSTR("Kx4grdSetRegProtectName"), key);
    if (key == nullptr) {
        return kFailed;
    }
    return Run([&](CInterface& i) { return i.SetRegProtectName(key); });
}

KX_EXPORT INT WINAPI Kx4grdDelRegProtectName(LPCWSTR key) {
    KX_LOGW(WSTR("%s :: regkey(%s)\n"), WSTR("Kx4grdDelRegProtectName"), key);
    return Run([&](CInterface& i) { return i.DelRegProtectName(key); });
}

KX_EXPORT INT WINAPI Kx4grdSetDeviceProtect(ULONG state) {
    KX_LOGW(WSTR("%s :: enable(%d)\n"), WSTR("Kx4grdSetDeviceProtect"), state);
    return Run([&](CInterface& i) { return i.SetDeviceProtect(state); });
}

KX_EXPORT INT WINAPI Kx4grdSetUsbDiskException(LPCWSTR vendorId, LPCWSTR productId, LPCWSTR revision,
                                               LPCWSTR serialNumber) {
    return Run([&](CInterface& i) { return i.SetUsbDiskException(STATE_SET, vendorId, productId, revision, serialNumber); });
}

KX_EXPORT INT WINAPI Kx4grdSetUsbPortException(ULONG vendorId, ULONG productId, ULONG extraValue,
                                               LPCWSTR serialNumber) {
    return Run([&](CInterface& i) { return i.SetUsbPortException(STATE_SET, vendorId, productId, extraValue, serialNumber); });
}

KX_EXPORT INT WINAPI Kx4grdDelUsbPortException(ULONG vendorId, ULONG productId, ULONG extraValue,
                                               LPCWSTR serialNumber) {
    return Run([&](CInterface& i) { return i.SetUsbPortException(STATE_DEL, vendorId, productId, extraValue, serialNumber); });
}

KX_EXPORT INT WINAPI Kx4grdDelUsbDiskException(LPCWSTR vendorId, LPCWSTR productId, LPCWSTR revision,
                                               LPCWSTR serialNumber) {
    return Run([&](CInterface& i) { return i.SetUsbDiskException(STATE_DEL, vendorId, productId, revision, serialNumber); });
}

KX_EXPORT INT WINAPI Kx4grdClearUsbDiskException(void) {
    return Run([&](CInterface& i) { return i.SetUsbDiskException(STATE_CLEAR, nullptr, nullptr, nullptr, nullptr); });
}

KX_EXPORT INT WINAPI Kx4grdSetLogType(ULONG logType) {
    return Run([&](CInterface& i) { return i.SetLogtype(logType); });
}
