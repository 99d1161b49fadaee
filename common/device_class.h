// Device classes, policy states and the USB exception actions shared by the
// driver, the library and the reporter.
#pragma once

#include "platform/nt_types.h"

// Device class of a volume, channel or device; indexes the policy table.
enum BDC_DEVICE_TYPE : ULONG {
    BDC_UNKNOWN_DEV = 0,
    BDC_CDROM = 1,
    BDC_FLOOPY = 2,
    BDC_USB_DISK = 3,
    BDC_LOCAL_DISK = 4,
    BDC_NETWORKDRIVEOUT = 5,
    BDC_EXTERNALHDD = 6,
    BDC_NETWORKDRIVEIN = 7,
    BDC_NETWORKSHAREOUT = 8,
    BDC_USB = 9,
    BDC_USB_NET = 10,
    BDC_USB_HID = 11,
    BDC_1394 = 12,
    BDC_SERIAL = 13,
    BDC_PARALLEL = 14,
    BDC_PCMCIA = 15,
    BDC_PCMCIA_NET = 16,
    BDC_IRDA = 17,
    BDC_MODEM = 18,
    BDC_BLUETOOTH = 19,
    BDC_BLUETOOTH_FILE = 20,
    BDC_WIBRO = 21,
    BDC_TLOGIN = 22,
    BDC_ACTIVE_SYNC = 23,
    BDC_WIRELESS = 24,
    BDC_LGMODEM = 25,
    BDC_TETHERING = 26,
    BDC_SDCARD = 27,
    BDC_PORTABLE_STORAGE = 28,
    BDC_WEBCAM = 29,
    BDC_MTP = 30,
    BDC_MAX_DEVICE_TYPE = 31,
};

// The policy table has one entry per class below BDC_MAX_DEVICE_TYPE.
constexpr ULONG KX_POLICY_ENTRIES = BDC_MAX_DEVICE_TYPE;

// Policy state of a device class. Any other value counts as allowed.
enum POLICY_STATE : ULONG {
    ENABLE = 0,
    DISABLE = 1,
    READONLY = 2,
};

// Action of SET_USB_DISK_EXCEPT and SET_USB_PORT_EXCEPT (any other value clears).
enum USB_EXCEPT_STATE : ULONG {
    STATE_SET = 0,
    STATE_DEL = 1,
    STATE_CLEAR = 2,
};

// Process type bits kept per process id and per trusted-process list entry.
constexpr ULONG KX_PROCESS_TRUSTED = 0x1;
constexpr ULONG KX_PROCESS_RENAME_CHECKED = 0x20;
constexpr ULONG KX_PROCESS_NOT_LISTED = 0x8;
constexpr ULONG KX_PROCESS_PROTECTED = 64;

// Protected-path entry types.
constexpr ULONG PG_PATH_BLACK = 4;
constexpr ULONG PG_PATH_GRAY = 16;

// The spelling of a device class as the reporter and the tools print it;
// "BDC_UNKNOWN_DEV" for values outside the table.
inline const char* BdcName(ULONG deviceType) {
    static const char* const names[] = {
        "BDC_UNKNOWN_DEV", "BDC_CDROM", "BDC_FLOOPY", "BDC_USB_DISK", "BDC_LOCAL_DISK",
        "BDC_NETWORKDRIVEOUT", "BDC_EXTERNALHDD", "BDC_NETWORKDRIVEIN", "BDC_NETWORKSHAREOUT", "BDC_USB",
        "BDC_USB_NET", "BDC_USB_HID", "BDC_1394", "BDC_SERIAL", "BDC_PARALLEL",
        "BDC_PCMCIA", "BDC_PCMCIA_NET", "BDC_IRDA", "BDC_MODEM", "BDC_BLUETOOTH",
        "BDC_BLUETOOTH_FILE", "BDC_WIBRO", "BDC_TLOGIN", "BDC_ACTIVE_SYNC", "BDC_WIRELESS",
        "BDC_LGMODEM", "BDC_TETHERING", "BDC_SDCARD", "BDC_PORTABLE_STORAGE", "BDC_WEBCAM",
        "BDC_MTP", "BDC_MAX_DEVICE_TYPE",
    };
    return deviceType < sizeof(names) / sizeof(names[0]) ? names[deviceType] : names[0];
}

inline const char* PolicyStateName(ULONG state) {
    switch (state) {
    case DISABLE:
        return "DISABLE";
    case READONLY:
        return "READONLY";
    default:
        return "ENABLE";
    }
}
