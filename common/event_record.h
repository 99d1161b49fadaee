// The event-log record and the GET_LOG reply: a wire format shared by the driver
// (which fills it) and the library's reporter (which formats it).
#pragma once

#include "platform/nt_types.h"

// Event codes. The log-type mask admits a record when (mask & code) != 0.
enum KX_EVENT_CODE : ULONG {
    CONNECT = 1,
    DISCONNECT = 2,  // known to the reader, never produced
    POLICY = 4,
    LOG_PROCESS = 16,
    PROCESS_PROTECT_EVENT = 17,  // a refused open of a protected process
};

#define KX_LOG_TYPE_DEFAULT 255

#define KX_EVENT_NAME_CHARS 100
#define KX_EVENT_PATH_CHARS 512
#define KX_EVENT_EXTRA_CHARS 512

// One record; texts are zero-terminated and truncated to their field.
typedef struct _EVENT_RECORD {
    ULONGLONG time;  // system time, 100-ns units since 1601 (FILETIME)
    ULONG pid;       // process current when the record was made
    ULONG code;      // KX_EVENT_CODE
    ULONG a0;        // POLICY: device class; CONNECT: volume device type; else producer's first number
    ULONG a1;        // POLICY: policy state; CONNECT: file-system type; else producer's second number
    ULONG log;       // POLICY: the class's log flag at the time
    WCHAR name[KX_EVENT_NAME_CHARS];
    WCHAR path[KX_EVENT_PATH_CHARS];
    WCHAR extra[KX_EVENT_EXTRA_CHARS];
    ULONG reserved;
} EVENT_RECORD, *PEVENT_RECORD;

#define KX_EVENT_RECORD_SIZE 2280

// GET_LOG reply: a count, 4 unused bytes, then count records, oldest first.
typedef struct _GET_LOG_REPLY_HEADER {
    ULONG count;
    ULONG reserved;  // not written by the driver
} GET_LOG_REPLY_HEADER;

#define KX_GET_LOG_HEADER_SIZE 8
// Above this many waiting records a too-small GET_LOG buffer gets a partial drain.
#define KX_GET_LOG_PARTIAL_THRESHOLD 1000

inline constexpr ULONGLONG GetLogReplySize(ULONGLONG records) {
    return KX_GET_LOG_HEADER_SIZE + (ULONGLONG)KX_EVENT_RECORD_SIZE * records;
}

static_assert(sizeof(EVENT_RECORD) == KX_EVENT_RECORD_SIZE, "EVENT_RECORD size");
static_assert(offsetof(EVENT_RECORD, time) == 0, "time");
static_assert(offsetof(EVENT_RECORD, pid) == 8, "pid");
static_assert(offsetof(EVENT_RECORD, code) == 12, "code");
static_assert(offsetof(EVENT_RECORD, a0) == 16, "a0");
static_assert(offsetof(EVENT_RECORD, a1) == 20, "a1");
static_assert(offsetof(EVENT_RECORD, log) == 24, "log");
static_assert(offsetof(EVENT_RECORD, name) == 28, "name");
static_assert(offsetof(EVENT_RECORD, path) == 228, "path");
static_assert(offsetof(EVENT_RECORD, extra) == 1252, "extra");
static_assert(offsetof(EVENT_RECORD, reserved) == 2276, "reserved");
static_assert(sizeof(GET_LOG_REPLY_HEADER) == KX_GET_LOG_HEADER_SIZE, "GET_LOG header");
static_assert(GetLogReplySize(3) == 6848, "three records");
