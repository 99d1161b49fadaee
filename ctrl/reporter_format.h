// Turning one event-log record of a GET_LOG reply into the text line the host's
// callback receives. Nothing here touches the system: time and path conversions
// come through ReporterSystem, so the formatting runs (and is fuzzed) without a
// machine. CReporter (reporter.h) supplies the real conversions.
#pragma once

#include "platform/um.h"

#include <cstddef>

#include "common/kx4grd_common.h"

// A line holds at most 2047 characters and its terminator; the time text 259.
constexpr size_t kReporterLineChars = 2048;
constexpr size_t kReporterTimeChars = 260;
// A CONNECT path of 511 characters with every backslash doubled, and a terminator.
constexpr size_t kReporterEscapedPathChars = 2 * (KX_EVENT_PATH_CHARS - 1) + 1;
// The display form of a path (drive letter or UNC) is cut like any sent text.
constexpr size_t kReporterDisplayPathChars = 1024;

// Local calendar time as the line prints it.
struct ReporterCalendar {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// The system services a line needs.
class ReporterSystem {
public:
    virtual ~ReporterSystem() = default;
    // Local calendar time of a UTC FILETIME. On false the fields print as they are
    // (the caller hands them in zeroed).
    virtual bool LocalCalendar(ULONGLONG fileTime, ReporterCalendar* calendar) const = 0;
    // Drive-letter form of an NT path into out (outChars with the terminator);
    // false when no drive maps the path.
    virtual bool NtToDrive(const WCHAR* ntPath, WCHAR* out, size_t outChars) const = 0;
    // Display form of a redirector or \??\ path; empty when it has none.
    virtual void NtToUnc(const WCHAR* ntPath, WCHAR* out, size_t outChars) const = 0;
};

// The fields the reporter reads out of one record, each text terminated inside its
// field whatever the record held.
struct ReporterRecordFields {
    ULONGLONG time = 0;
    ULONG pid = 0;
    ULONG code = 0;
    ULONG a0 = 0;
    ULONG a1 = 0;
    WCHAR name[KX_EVENT_NAME_CHARS] = {};
    WCHAR path[KX_EVENT_PATH_CHARS] = {};
    WCHAR extra[KX_EVENT_EXTRA_CHARS] = {};
};

// The records of a GET_LOG reply that can be read: its count field, bounded by the
// whole records that the reply's bytes hold (0 when not even the header is there).
size_t ReporterRecordsInReply(const void* reply, size_t bytes);
// Where record index starts in a reply.
inline size_t ReporterRecordOffset(size_t index) {
    return KX_GET_LOG_HEADER_SIZE + index * static_cast<size_t>(KX_EVENT_RECORD_SIZE);
}

// Copies the record at record (bytes available there) into fields. False when
// fewer than a whole record's bytes are available: such a record is not read.
bool ReadReporterRecord(const void* record, size_t bytes, ReporterRecordFields* fields);

// Names as the lines spell them.
const WCHAR* ReporterCodeName(ULONG code);         // "UNKNWON" for unknown codes
const WCHAR* ReporterDeviceTypeName(ULONG type);   // "BDC_UNKNOWN_DEV" above 31
const WCHAR* ReporterPolicyStateName(ULONG state); // "UNKNWON" for unknown states

struct ReporterLine {
    WCHAR text[kReporterLineChars] = {};
    size_t length = 0;
    // Lines of every code but CONNECT also go to the diagnostic log.
    bool diagnostic = false;
};

// Formats the line of one record.
void FormatReporterLine(const ReporterRecordFields& fields, const ReporterSystem& system, ReporterLine* line);

// Bounded, always-terminated wide text building (the lines are built piece by
// piece rather than through a printf so that no field can overrun its buffer).
class WideTextBuilder {
public:
    WideTextBuilder(WCHAR* buffer, size_t capacity);  // capacity includes the terminator
    WideTextBuilder& Text(const WCHAR* text);         // null appends nothing
    WideTextBuilder& Ascii(const char* text);
    WideTextBuilder& Signed(LONGLONG value);
    size_t Length() const { return length_; }

private:
    void Put(WCHAR c);
    WCHAR* buffer_;
    size_t capacity_;
    size_t length_ = 0;
};
