// The control channel between the library and the driver: one fixed 2096-byte
// command message per request over the communication port, the command numbers,
// and the one record that travels the other way.
#pragma once

#include "platform/nt_types.h"

#define KX4GRD_PORT_NAME WSTR("\\kx4grd")
#define KX4GRD_MAX_CONNECTIONS 10
// The named notification event set while event-log records wait; the library
// opens it in the global namespace ("Global\\" + the braced name).
#define KX4GRD_EVENT_GUID WSTR("{kx4grd-4200-BED2-6B5CD0D88247}")
#define KX4GRD_EVENT_NAME WSTR("\\BaseNamedObjects\\{kx4grd-4200-BED2-6B5CD0D88247}")

// Command numbers (field `command`, a 64-bit number: the high half counts).
enum KX4_COMMAND : ULONGLONG {
    START = 1,
    STOP = 2,
    CLEAR = 3,
    GET_LOG = 4,
    SET_POLICY = 5,
    SET_PATH = 6,
    DEL_PATH = 7,
    SET_PROCESSNAME = 8,
    SET_FILENAME = 9,
    SET_PID = 12,
    REMOVE_PID = 13,
    START_FOLDER_PROTECT = 14,
    START_IS_SHARE_FOLDER_WATCHE = 15,
    START_DEVICE_PROTECT = 16,
    GET_PROCESS_NOTIFY_STATUS = 17,
    SET_DEBUG_LEVEL = 19,
    SET_DELETE_FILE = 20,
    SET_TERMINATE_PROCESS = 21,
    DEL_PROCESSNAME = 23,
    SET_HOOK = 25,
    SET_REG_PROTECT = 26,
    SET_REG_KEY = 27,
    DEL_REG_KEY = 28,
    SET_PROCESS_PROTECT = 29,
    SET_PROCESS_PROTECT_PID = 30,
    DEL_PROCESS_PROTECT_PID = 31,
    SET_PROCESS_PROTECT_PROCESSNAME = 32,
    DEL_PROCESS_PROTECT_PROCESSNAME = 33,
    SET_USB_DISK_EXCEPT = 34,
    SET_USB_PORT_EXCEPT = 35,
    SET_LOG_TYPE = 36,
};

// Name of a command number as the tools print it; nullptr for numbers without one.
inline const char* CommandName(ULONGLONG command) {
    switch (command) {
    case START: return "START";
    case STOP: return "STOP";
    case CLEAR: return "CLEAR";
    case GET_LOG: return "GET_LOG";
    case SET_POLICY: return "SET_POLICY";
    case SET_PATH: return "SET_PATH";
    case DEL_PATH: return "DEL_PATH";
    case SET_PROCESSNAME: return "SET_PROCESSNAME";
    case SET_FILENAME: return "SET_FILENAME";
    case SET_PID: return "SET_PID";
    case REMOVE_PID: return "REMOVE_PID";
    case START_FOLDER_PROTECT: return "START_FOLDER_PROTECT";
    case START_IS_SHARE_FOLDER_WATCHE: return "START_IS_SHARE_FOLDER_WATCHE";
    case START_DEVICE_PROTECT: return "START_DEVICE_PROTECT";
    case GET_PROCESS_NOTIFY_STATUS: return "GET_PROCESS_NOTIFY_STATUS";
    case SET_DEBUG_LEVEL: return "SET_DEBUG_LEVEL";
    case SET_DELETE_FILE: return "SET_DELETE_FILE";
    case SET_TERMINATE_PROCESS: return "SET_TERMINATE_PROCESS";
    case DEL_PROCESSNAME: return "DEL_PROCESSNAME";
    case SET_HOOK: return "SET_HOOK";
    case SET_REG_PROTECT: return "SET_REG_PROTECT";
    case SET_REG_KEY: return "SET_REG_KEY";
    case DEL_REG_KEY: return "DEL_REG_KEY";
    case SET_PROCESS_PROTECT: return "SET_PROCESS_PROTECT";
    case SET_PROCESS_PROTECT_PID: return "SET_PROCESS_PROTECT_PID";
    case DEL_PROCESS_PROTECT_PID: return "DEL_PROCESS_PROTECT_PID";
    case SET_PROCESS_PROTECT_PROCESSNAME: return "SET_PROCESS_PROTECT_PROCESSNAME";
    case DEL_PROCESS_PROTECT_PROCESSNAME: return "DEL_PROCESS_PROTECT_PROCESSNAME";
    case SET_USB_DISK_EXCEPT: return "SET_USB_DISK_EXCEPT";
    case SET_USB_PORT_EXCEPT: return "SET_USB_PORT_EXCEPT";
    case SET_LOG_TYPE: return "SET_LOG_TYPE";
    default: return nullptr;
    }
}

#define KX_TEXT_CHARS 1024
#define KX_USB_ID_CHARS 20
#define KX_USB_SERIAL_CHARS 100

// SET_USB_DISK_EXCEPT overlay (from offset 44): ANSI, upper case, zero-terminated.
typedef struct _USB_DISK_EXCEPT_FIELDS {
    CHAR vendorId[KX_USB_ID_CHARS];
    CHAR productId[KX_USB_ID_CHARS];
    CHAR productRevision[KX_USB_ID_CHARS];
    CHAR serialNumber[KX_USB_ID_CHARS];
} USB_DISK_EXCEPT_FIELDS;

// SET_USB_PORT_EXCEPT overlay (from offset 44).
typedef struct _USB_PORT_EXCEPT_FIELDS {
    ULONG vendorId;
    ULONG productId;
    ULONG extraValue;  // stored with the entry, not matched
    WCHAR serialNumber[KX_USB_SERIAL_CHARS];
} USB_PORT_EXCEPT_FIELDS;

// One request. The sender zero-fills the whole block, then sets the fields its
// command uses.
typedef struct _COMMAND_MESSAGE {
    ULONGLONG reserved;
    ULONGLONG command;
    ULONG value;        // a process id, or the new debug-level mask
    ULONG type;         // SET_HOOK device type, SET_LOG_TYPE mask, SET_PID process type
    ULONG state;        // on/off switch, or the USB exception action
    ULONG devicetype;   // SET_POLICY
    ULONG policystate;  // SET_POLICY
    ULONG log;          // SET_POLICY
    ULONG ulType;       // list entry type bits
    union {
        struct {
            ULONG size;                // bytes of text without the terminator
            WCHAR text[KX_TEXT_CHARS];  // zero-terminated, at most 1023 characters
        };
        USB_DISK_EXCEPT_FIELDS usbDisk;
        USB_PORT_EXCEPT_FIELDS usbPort;
    };
} COMMAND_MESSAGE, *PCOMMAND_MESSAGE;

#define KX_COMMAND_MESSAGE_SIZE 2096

// The GET_PROCESS_NOTIFY_STATUS reply: one status.
#define KX_NOTIFY_STATUS_REPLY_SIZE 4

// Header of the notification record read by the library's receive loop; the same
// 16 bytes as the filter manager's FILTER_MESSAGE_HEADER.
typedef struct _KX_MESSAGE_HEADER {
    ULONG ReplyLength;
    ULONGLONG MessageId;
} KX_MESSAGE_HEADER;

#define KX_NOTIFY_NAME_CHARS 260
#define KX_NOTIFY_PATH_CHARS 512

// Packed to 4 so the record is exactly the 1564 bytes the receive loop reads (the
// 8-byte-aligned header would otherwise pad it to 1568).
#pragma pack(push, 4)
typedef struct _NOTIFY_MESSAGE {
    KX_MESSAGE_HEADER header;
    ULONG processId;
    WCHAR processName[KX_NOTIFY_NAME_CHARS];  // zero-terminated
    WCHAR processPath[KX_NOTIFY_PATH_CHARS];  // zero-terminated
} NOTIFY_MESSAGE, *PNOTIFY_MESSAGE;
#pragma pack(pop)

#define KX_NOTIFY_MESSAGE_SIZE 1564

// The layout is a wire format: every size and offset is fixed.
static_assert(sizeof(USB_DISK_EXCEPT_FIELDS) == 80, "disk overlay");
static_assert(sizeof(USB_PORT_EXCEPT_FIELDS) == 212, "port overlay");
static_assert(sizeof(COMMAND_MESSAGE) == KX_COMMAND_MESSAGE_SIZE, "COMMAND_MESSAGE size");
static_assert(offsetof(COMMAND_MESSAGE, reserved) == 0, "reserved");
static_assert(offsetof(COMMAND_MESSAGE, command) == 8, "command");
static_assert(offsetof(COMMAND_MESSAGE, value) == 16, "value");
static_assert(offsetof(COMMAND_MESSAGE, type) == 20, "type");
static_assert(offsetof(COMMAND_MESSAGE, state) == 24, "state");
static_assert(offsetof(COMMAND_MESSAGE, devicetype) == 28, "devicetype");
static_assert(offsetof(COMMAND_MESSAGE, policystate) == 32, "policystate");
static_assert(offsetof(COMMAND_MESSAGE, log) == 36, "log");
static_assert(offsetof(COMMAND_MESSAGE, ulType) == 40, "ulType");
static_assert(offsetof(COMMAND_MESSAGE, size) == 44, "size");
static_assert(offsetof(COMMAND_MESSAGE, text) == 48, "text");
static_assert(offsetof(COMMAND_MESSAGE, usbDisk) + offsetof(USB_DISK_EXCEPT_FIELDS, vendorId) == 44, "disk vid");
static_assert(offsetof(COMMAND_MESSAGE, usbDisk) + offsetof(USB_DISK_EXCEPT_FIELDS, productId) == 64, "disk pid");
static_assert(offsetof(COMMAND_MESSAGE, usbDisk) + offsetof(USB_DISK_EXCEPT_FIELDS, productRevision) == 84,
              "disk revision");
static_assert(offsetof(COMMAND_MESSAGE, usbDisk) + offsetof(USB_DISK_EXCEPT_FIELDS, serialNumber) == 104,
              "disk serial");
static_assert(offsetof(COMMAND_MESSAGE, usbPort) + offsetof(USB_PORT_EXCEPT_FIELDS, vendorId) == 44, "port vid");
static_assert(offsetof(COMMAND_MESSAGE, usbPort) + offsetof(USB_PORT_EXCEPT_FIELDS, productId) == 48, "port pid");
static_assert(offsetof(COMMAND_MESSAGE, usbPort) + offsetof(USB_PORT_EXCEPT_FIELDS, extraValue) == 52,
              "port extra");
static_assert(offsetof(COMMAND_MESSAGE, usbPort) + offsetof(USB_PORT_EXCEPT_FIELDS, serialNumber) == 56,
              "port serial");
static_assert(sizeof(KX_MESSAGE_HEADER) == 16, "message header");
static_assert(sizeof(NOTIFY_MESSAGE) == KX_NOTIFY_MESSAGE_SIZE, "NOTIFY_MESSAGE size");
static_assert(offsetof(NOTIFY_MESSAGE, processId) == 16, "processId");
static_assert(offsetof(NOTIFY_MESSAGE, processName) == 20, "processName");
static_assert(offsetof(NOTIFY_MESSAGE, processPath) == 540, "processPath");
