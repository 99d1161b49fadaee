// libFuzzer target: the reporter's reading of a GET_LOG reply. Any bytes are a
// reply; every record the reply's count and size allow is read and formatted, and
// each line must stay terminated inside its buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ctrl/reporter_format.h"

namespace {

size_t Length(const WCHAR* text, size_t max) {
    size_t n = 0;
    while (n < max && text[n] != 0) {
        ++n;
    }
    return n;
}

bool StartsWith(const WCHAR* text, const char* prefix) {
    for (; *prefix != 0; ++prefix, ++text) {
        if (*text != static_cast<WCHAR>(*prefix)) {
            return false;
        }
    }
    return true;
}

// Conversions shaped like the real ones: a failing time conversion for part of
// the range, one mapped drive, a redirector prefix.
class FuzzSystem : public ReporterSystem {
public:
    bool LocalCalendar(ULONGLONG fileTime, ReporterCalendar* calendar) const override {
        if (fileTime >> 63) {
            return false;  // FileTimeToSystemTime refuses times past 0x7FFF...
        }
        const ULONGLONG seconds = fileTime / 10000000ull;
        calendar->second = static_cast<int>(seconds % 60);
        calendar->minute = static_cast<int>(seconds / 60 % 60);
        calendar->hour = static_cast<int>(seconds / 3600 % 24);
        calendar->day = static_cast<int>(seconds / 86400 % 28) + 1;
        calendar->month = static_cast<int>(seconds / (86400ull * 28) % 12) + 1;
        calendar->year = 1601 + static_cast<int>(seconds / (86400ull * 28 * 12));
        return true;
    }
    bool NtToDrive(const WCHAR* ntPath, WCHAR* out, size_t outChars) const override {
        if (!StartsWith(ntPath, "\\Device\\HarddiskVolume2")) {
            return false;
        }
        WideTextBuilder(out, outChars).Ascii("C:").Text(ntPath + 23);
        return true;
    }
    void NtToUnc(const WCHAR* ntPath, WCHAR* out, size_t outChars) const override {
        if (StartsWith(ntPath, "\\Device\\Mup")) {
            WideTextBuilder(out, outChars).Ascii("\\").Text(ntPath + 11);
        } else {
            WideTextBuilder(out, outChars);
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const FuzzSystem system;
    const size_t records = ReporterRecordsInReply(data, size);
    if (records > 0 && ReporterRecordOffset(records) > size) {
        std::abort();  // a record counted beyond the reply
    }
    for (size_t i = 0; i < records; ++i) {
        ReporterRecordFields fields;
        const size_t offset = ReporterRecordOffset(i);
        if (!ReadReporterRecord(data + offset, size - offset, &fields)) {
            std::abort();
        }
        ReporterLine line;
        FormatReporterLine(fields, system, &line);
        if (line.length >= kReporterLineChars || Length(line.text, kReporterLineChars) != line.length) {
            std::abort();
        }
    }
    return 0;
}
