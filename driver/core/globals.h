// Driver-wide state and switches, and the diagnostics every module prints through.
//
// IRQL and locking: the switches, the debug level and the log-type mask are single
// aligned 32-bit values. Readers at any IRQL load them without a lock; writers
// (the dispatcher, entry and unload, the port callbacks) store them whole, so a
// reader sees the old or the new value, never a mix. The trace macros call
// DbgPrintEx and may be used at any IRQL, but a line with wide-text conversions
// must only be printed at PASSIVE_LEVEL.
#pragma once

#include "platform/km.h"
#include "common/kx4grd_common.h"

// A pool tag from its four characters in reading order, so "ppsc" here is the
// tag a pool dump shows as "ppsc" (what 'cspp' spells as a character constant).
#define KX_POOL_TAG(s) \
    ((ULONG)(UCHAR)(s)[0] | ((ULONG)(UCHAR)(s)[1] << 8) | ((ULONG)(UCHAR)(s)[2] << 16) | ((ULONG)(UCHAR)(s)[3] << 24))

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
