#include "ctrl/reporter_format.h"

#include <cstring>

WideTextBuilder::WideTextBuilder(WCHAR* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {
    if (capacity_ != 0) {
        buffer_[0] = 0;
    }
}

void WideTextBuilder::Put(WCHAR c) {
    // The last slot is kept for the terminator: text beyond it is cut.
    if (length_ + 1 < capacity_) {
        buffer_[length_++] = c;
        buffer_[length_] = 0;
    }
}

WideTextBuilder& WideTextBuilder::Text(const WCHAR* text) {
    if (text != nullptr) {
        for (; *text != 0 && length_ + 1 < capacity_; ++text) {
            Put(*text);
        }
    }
    return *this;
}

WideTextBuilder& WideTextBuilder::Ascii(const char* text) {
    if (text != nullptr) {
        for (; *text != 0 && length_ + 1 < capacity_; ++text) {
            Put(static_cast<WCHAR>(static_cast<unsigned char>(*text)));
        }
    }
    return *this;
}

WideTextBuilder& WideTextBuilder::Signed(LONGLONG value) {
    char digits[24];
    size_t n = 0;
    // Work on the magnitude as unsigned so that the most negative value has one.
    ULONGLONG magnitude = value < 0 ? 0ull - static_cast<ULONGLONG>(value) : static_cast<ULONGLONG>(value);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) {
        Put(WSTR('-'));
    }
    while (n != 0) {
        Put(static_cast<WCHAR>(digits[--n]));
    }
    return *this;
}

namespace {

// A 32-bit field printed with %d.
LONGLONG AsInt(ULONG value) { return static_cast<LONG>(value); }

// Copies a text field of the record and terminates it inside the field, whatever
// the record held there.
template <size_t N>
void CopyField(WCHAR (&out)[N], const unsigned char* field) {
    std::memcpy(out, field, sizeof(out));
    out[N - 1] = 0;
}

const WCHAR* const kDeviceTypeNames[] = {
    WSTR("BDC_UNKNOWN_DEV"), WSTR("BDC_CDROM"), WSTR("BDC_FLOOPY"), WSTR("BDC_USB_DISK"),
    WSTR("BDC_LOCAL_DISK"), WSTR("BDC_NETWORKDRIVEOUT"), WSTR("BDC_EXTERNALHDD"), WSTR("BDC_NETWORKDRIVEIN"),
    WSTR("BDC_NETWORKSHAREOUT"), WSTR("BDC_USB"), WSTR("BDC_USB_NET"), WSTR("BDC_USB_HID"),
    WSTR("BDC_1394"), WSTR("BDC_SERIAL"), WSTR("BDC_PARALLEL"), WSTR("BDC_PCMCIA"),
    WSTR("BDC_PCMCIA_NET"), WSTR("BDC_IRDA"), WSTR("BDC_MODEM"), WSTR("BDC_BLUETOOTH"),
    WSTR("BDC_BLUETOOTH_FILE"), WSTR("BDC_WIBRO"), WSTR("BDC_TLOGIN"), WSTR("BDC_ACTIVE_SYNC"),
    WSTR("BDC_WIRELESS"), WSTR("BDC_LGMODEM"), WSTR("BDC_TETHERING"), WSTR("BDC_SDCARD"),
    WSTR("BDC_PORTABLE_STORAGE"), WSTR("BDC_WEBCAM"), WSTR("BDC_MTP"), WSTR("BDC_MAX_DEVICE_TYPE"),
};
static_assert(KX_COUNTOF(kDeviceTypeNames) == BDC_MAX_DEVICE_TYPE + 1, "one name per device class");

}  // namespace

size_t ReporterRecordsInReply(const void* reply, size_t bytes) {
    if (reply == nullptr || bytes < KX_GET_LOG_HEADER_SIZE) {
        return 0;
    }
    ULONG count = 0;
    std::memcpy(&count, reply, sizeof(count));
    const size_t fit = (bytes - KX_GET_LOG_HEADER_SIZE) / KX_EVENT_RECORD_SIZE;
    return count < fit ? count : fit;
}

bool ReadReporterRecord(const void* record, size_t bytes, ReporterRecordFields* fields) {
    if (record == nullptr || bytes < KX_EVENT_RECORD_SIZE) {
        return false;
    }
    // Field by field from the wire offsets: the reply buffer gives no alignment
    // guarantee beyond its bytes.
    const auto* raw = static_cast<const unsigned char*>(record);
    std::memcpy(&fields->time, raw + offsetof(EVENT_RECORD, time), sizeof(fields->time));
    std::memcpy(&fields->pid, raw + offsetof(EVENT_RECORD, pid), sizeof(fields->pid));
    std::memcpy(&fields->code, raw + offsetof(EVENT_RECORD, code), sizeof(fields->code));
    std::memcpy(&fields->a0, raw + offsetof(EVENT_RECORD, a0), sizeof(fields->a0));
    std::memcpy(&fields->a1, raw + offsetof(EVENT_RECORD, a1), sizeof(fields->a1));
    CopyField(fields->name, raw + offsetof(EVENT_RECORD, name));
    CopyField(fields->path, raw + offsetof(EVENT_RECORD, path));
    CopyField(fields->extra, raw + offsetof(EVENT_RECORD, extra));
    return true;
}

const WCHAR* ReporterCodeName(ULONG code) {
    switch (code) {
    case CONNECT:
        return WSTR("CONNECT");
    case DISCONNECT:
        return WSTR("DISCONNECT");
    case POLICY:
        return WSTR("POLICY");
    case LOG_PROCESS:
        return WSTR("LOG_PROCESS");
    default:
        return WSTR("UNKNWON");
    }
}

const WCHAR* ReporterDeviceTypeName(ULONG type) {
    return type < KX_COUNTOF(kDeviceTypeNames) ? kDeviceTypeNames[type] : kDeviceTypeNames[BDC_UNKNOWN_DEV];
}

const WCHAR* ReporterPolicyStateName(ULONG state) {
    switch (state) {
    case ENABLE:
        return WSTR("ENABLE");
    case DISABLE:
        return WSTR("DISABLE");
    case READONLY:
        return WSTR("READONLY");
    default:
        return WSTR("UNKNWON");
    }
}

void FormatReporterLine(const ReporterRecordFields& fields, const ReporterSystem& system, ReporterLine* line) {
    // The calendar fields start zeroed: a conversion that fails leaves them so
    // rather than printing whatever the stack held.
    ReporterCalendar calendar{};
    if (!system.LocalCalendar(fields.time, &calendar)) {
        calendar = ReporterCalendar{};
    }
    WCHAR timeText[kReporterTimeChars];
    WideTextBuilder(timeText, KX_COUNTOF(timeText))
        .Signed(calendar.year).Ascii("-").Signed(calendar.month).Ascii("-").Signed(calendar.day)
        .Ascii(" : ").Signed(calendar.hour).Ascii(":").Signed(calendar.minute).Ascii(":").Signed(calendar.second);

    WideTextBuilder out(line->text, KX_COUNTOF(line->text));
    if (fields.code == CONNECT) {
        // The path of a volume report is escaped for the host's JSON-minded reader.
        WCHAR escaped[kReporterEscapedPathChars];
        WideTextBuilder escape(escaped, KX_COUNTOF(escaped));
        for (const WCHAR* c = fields.path; *c != 0; ++c) {
            const WCHAR one[2] = {*c, 0};
            escape.Text(one);
            if (*c == WSTR('\\')) {
                escape.Text(one);
            }
        }
        out.Text(timeText).Ascii(", ").Text(ReporterCodeName(fields.code)).Ascii("(").Signed(AsInt(fields.code))
            .Ascii("),").Signed(AsInt(fields.a0)).Ascii(", ").Signed(AsInt(fields.a1)).Ascii(", ")
            .Text(fields.name).Ascii(", ").Signed(AsInt(fields.pid)).Ascii(", ").Text(fields.extra).Ascii(", ")
            .Text(escaped);
        line->diagnostic = false;
    } else {
        WCHAR display[kReporterDisplayPathChars] = {};
        if (!system.NtToDrive(fields.path, display, KX_COUNTOF(display))) {
            display[0] = 0;
            system.NtToUnc(fields.path, display, KX_COUNTOF(display));
            if (display[0] == 0) {
                WideTextBuilder(display, KX_COUNTOF(display)).Text(fields.path);
            }
        }
        display[KX_COUNTOF(display) - 1] = 0;
        if (fields.code == POLICY) {
            out.Text(timeText).Ascii(",").Text(ReporterCodeName(fields.code)).Ascii("(").Signed(AsInt(fields.code))
                .Ascii("),").Text(ReporterDeviceTypeName(fields.a0)).Ascii("(").Signed(AsInt(fields.a0))
                .Ascii("),").Text(ReporterPolicyStateName(fields.a1)).Ascii("(").Signed(AsInt(fields.a1))
                .Ascii("),").Text(fields.name).Ascii("(").Signed(AsInt(fields.pid)).Ascii("),").Text(display);
        } else {
            out.Text(timeText).Ascii(",").Text(ReporterCodeName(fields.code)).Ascii(",").Signed(AsInt(fields.a0))
                .Ascii(",").Signed(AsInt(fields.a1)).Ascii(",").Text(fields.name).Ascii("(")
                .Signed(AsInt(fields.pid)).Ascii("),").Text(display);
        }
        line->diagnostic = true;
    }
    line->length = out.Length();
}
