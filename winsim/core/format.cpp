// The Windows formatter (the kernel's and the CRT's printf rules) and the ntstrsafe
// routines built on it.
//
// One engine serves both widths. What differs between a narrow format (DbgPrint,
// RtlStringCbPrintfA) and a wide one (RtlStringCbPrintfW) is the "natural" string
// width: %s and %c take text of the format's own width, %S and %C the other one;
// h always means narrow, l and w always wide. Text of the other width is converted:
// wide to UTF-8 for narrow output, narrow (UTF-8, else Latin-1 bytes) to UTF-16
// for wide output. As in the CRT, width and precision of a string count units of
// the argument (bytes of narrow text, WCHARs of wide text).
//
// Integer sizes follow the LLP64 model of Windows x64: %ld and %lx are 32-bit
// (LONG/ULONG), %lld, %I64d, %Id, %zd and %p are 64-bit.

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/km.h"
#include "winsim/core/core.h"
#include "winsim/detail/internal.h"

namespace {

using winsim::detail::FromUtf8;
using winsim::detail::ToUtf8;

// ntstrsafe's limit on a destination or a length, in characters.
constexpr size_t kStrSafeMaxCch = 2147483647;

// The CRT formats an integer into a fixed buffer and caps the precision there.
constexpr int kMaxIntegerPrecision = 512;

enum class TextWidth { Natural, Narrow, Wide };

struct Spec {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    int width = 0;
    int precision = -1;  // -1: none given
    int intBits = 32;    // int, and LONG under LLP64
    TextWidth text = TextWidth::Natural;
};

template <class CharT>
class Formatter {
public:
    using Out = std::basic_string<CharT>;
    static constexpr bool kWideFormat = sizeof(CharT) == sizeof(WCHAR);

    explicit Formatter(va_list* args) : args_(args) {}

    // The first conversion of wide-character text the format holds ("%ws"), or
    // empty: what the kernel may format only at PASSIVE_LEVEL.
    const std::string& WideConversion() const { return wideConversion_; }

    Out Run(const CharT* format) {
        if (format == nullptr)
            return out_;
        const CharT* p = format;
        while (*p) {
            if (*p != '%') {
                out_.push_back(*p++);
                continue;
            }
            const CharT* start = p++;
            if (*p == '%') {
                out_.push_back('%');
                ++p;
                continue;
            }
            Spec spec;
            p = ParseSpec(p, spec);
            CharT conversion = *p;
            if (wideConversion_.empty() && IsWideConversion(conversion, spec)) {
                for (const CharT* c = start; c <= p && *c != 0; ++c)
                    wideConversion_.push_back(static_cast<char>(*c));
            }
            if (conversion == 0) {
                // A dangling conversion at the end of the format is text.
                out_.append(start, p);
                break;
            }
            ++p;
            if (!Convert(conversion, spec))
                out_.append(start, p);  // unknown conversions are copied as written
        }
        return out_;
    }

private:
    // ---- parsing

    static int AccumulateDigit(int value, CharT digit) {
        int d = static_cast<int>(digit - '0');
        return value > (INT_MAX - d) / 10 ? INT_MAX : value * 10 + d;
    }

    static bool IsDigit(CharT c) { return c >= '0' && c <= '9'; }

    const CharT* ParseSpec(const CharT* p, Spec& spec) {
        for (;; ++p) {
            if (*p == '-')
                spec.left = true;
            else if (*p == '+')
                spec.plus = true;
            else if (*p == ' ')
                spec.space = true;
            else if (*p == '#')
                spec.alternate = true;
            else if (*p == '0')
                spec.zero = true;
            else
                break;
        }
        if (*p == '*') {
            int w = va_arg(*args_, int);
            if (w < 0) {
                // A negative width argument is a '-' flag and a positive width.
                spec.left = true;
                w = (w == INT_MIN) ? INT_MAX : -w;
            }
            spec.width = w;
            ++p;
        } else {
            while (IsDigit(*p))
                spec.width = AccumulateDigit(spec.width, *p++);
        }
        if (*p == '.') {
            ++p;
            spec.precision = 0;
            if (*p == '*') {
                int pr = va_arg(*args_, int);
                spec.precision = pr < 0 ? -1 : pr;  // negative: as if not given
                ++p;
            } else {
                while (IsDigit(*p))
                    spec.precision = AccumulateDigit(spec.precision, *p++);
            }
        }
        for (;;) {
            switch (*p) {
                case 'h':
                    if (p[1] == 'h') {
                        spec.intBits = 8;
                        p += 2;
                    } else {
                        spec.intBits = 16;
                        ++p;
                    }
                    spec.text = TextWidth::Narrow;
                    continue;
                case 'l':
                    if (p[1] == 'l') {
                        spec.intBits = 64;
                        p += 2;
                    } else {
                        spec.intBits = 32;  // LONG is 32-bit on Windows x64
                        spec.text = TextWidth::Wide;
                        ++p;
                    }
                    continue;
                case 'w':
                    spec.text = TextWidth::Wide;
                    ++p;
                    continue;
                case 'I':
                    if (p[1] == '6' && p[2] == '4') {
                        spec.intBits = 64;
                        p += 3;
                    } else if (p[1] == '3' && p[2] == '2') {
                        spec.intBits = 32;
                        p += 3;
                    } else {
                        spec.intBits = 64;  // pointer-sized
                        ++p;
                    }
                    continue;
                case 'z':
                case 'j':
                case 't':
                    spec.intBits = 64;
                    ++p;
                    continue;
                case 'L':
                    // long double, which is double on Windows; no effect on integers.
                    ++p;
                    continue;
                default:
                    return p;
            }
        }
    }

    // ---- conversions

    bool Convert(CharT conversion, const Spec& spec) {
        switch (conversion) {
            case 'd':
            case 'i':
                FormatSigned(spec);
                return true;
            case 'u':
                PutInteger(spec, ReadUnsigned(spec), false, 10, false, false);
                return true;
            case 'o':
                PutInteger(spec, ReadUnsigned(spec), false, 8, false, false);
                return true;
            case 'x':
                PutInteger(spec, ReadUnsigned(spec), false, 16, false, false);
                return true;
            case 'X':
                PutInteger(spec, ReadUnsigned(spec), false, 16, true, false);
                return true;
            case 'p': {
                // Windows x64: sixteen upper-case hex digits, no "0x" (unless '#').
                Spec p = spec;
                p.precision = 2 * static_cast<int>(sizeof(void*));
                uint64_t v = reinterpret_cast<uintptr_t>(va_arg(*args_, void*));
                PutInteger(p, v, false, 16, true, false);
                return true;
            }
            case 'c':
                PutChar(spec, IsWide(spec.text, true));
                return true;
            case 'C':
                PutChar(spec, IsWide(spec.text, false));
                return true;
            case 's':
                PutCString(spec, IsWide(spec.text, true));
                return true;
            case 'S':
                PutCString(spec, IsWide(spec.text, false));
                return true;
            case 'Z':
                PutCountedString(spec);
                return true;
            case 'n':
                // Writing the count through a pointer is disabled, as in the
                // current CRT; the argument is still consumed.
                (void)va_arg(*args_, void*);
                return true;
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
            case 'a':
            case 'A':
                PutFloat(spec, static_cast<char>(conversion));
                return true;
            default:
                return false;
        }
    }

    // %S and %C (text of the other width, converted either way) and any string or
    // character conversion marked wide (%ws %wc %ls %lc %wZ).
    static bool IsWideConversion(CharT conversion, const Spec& spec) {
        switch (conversion) {
            case 'S':
            case 'C':
                return true;
            case 's':
            case 'c':
            case 'Z':
                return spec.text == TextWidth::Wide;
            default:
                return false;
        }
    }

    // natural: %s/%c take the format's own width; %S/%C the other one.
    static bool IsWide(TextWidth requested, bool natural) {
        switch (requested) {
            case TextWidth::Narrow:
                return false;
            case TextWidth::Wide:
                return true;
            case TextWidth::Natural:
                break;
        }
        return natural ? kWideFormat : !kWideFormat;
    }

    uint64_t ReadUnsigned(const Spec& spec) {
        if (spec.intBits == 64)
            return va_arg(*args_, unsigned long long);
        unsigned int v = va_arg(*args_, unsigned int);
        if (spec.intBits == 16)
            return static_cast<uint16_t>(v);
        if (spec.intBits == 8)
            return static_cast<uint8_t>(v);
        return v;
    }

    void FormatSigned(const Spec& spec) {
        int64_t v;
        if (spec.intBits == 64) {
            v = va_arg(*args_, long long);
        } else {
            int i = va_arg(*args_, int);
            if (spec.intBits == 16)
                v = static_cast<int16_t>(i);
            else if (spec.intBits == 8)
                v = static_cast<int8_t>(i);
            else
                v = i;
        }
        // The magnitude of INT64_MIN does not fit in int64_t; compute it unsigned.
        uint64_t magnitude = v < 0 ? (~static_cast<uint64_t>(v) + 1) : static_cast<uint64_t>(v);
        PutInteger(spec, magnitude, v < 0, 10, false, true);
    }

    void PutInteger(const Spec& spec, uint64_t value, bool negative, unsigned base, bool upper, bool isSigned) {
        char digits[24];  // 64 bits in octal: 22 digits
        int count = 0;
        int precision = spec.precision;
        if (precision > kMaxIntegerPrecision)
            precision = kMaxIntegerPrecision;
        // With an explicit precision of zero, zero prints no digits at all.
        if (!(precision == 0 && value == 0)) {
            const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
            uint64_t v = value;
            do {
                digits[count++] = set[v % base];
                v /= base;
            } while (v != 0);
        }
        int zeros = (precision > count) ? precision - count : 0;
        // '#' with octal guarantees a leading zero digit.
        if (spec.alternate && base == 8 && zeros == 0 && (count == 0 || digits[count - 1] != '0'))
            zeros = 1;

        char prefix[3];
        int prefixLength = 0;
        if (isSigned) {
            if (negative)
                prefix[prefixLength++] = '-';
            else if (spec.plus)
                prefix[prefixLength++] = '+';
            else if (spec.space)
                prefix[prefixLength++] = ' ';
        }
        if (spec.alternate && base == 16 && value != 0) {
            prefix[prefixLength++] = '0';
            prefix[prefixLength++] = upper ? 'X' : 'x';
        }

        // '0' pads between the prefix and the digits, unless a precision was given
        // or the field is left-justified.
        bool zeroPad = spec.zero && !spec.left && spec.precision < 0;
        int body = prefixLength + zeros + count;
        int padding = spec.width > body ? spec.width - body : 0;
        if (!spec.left && !zeroPad)
            Repeat(' ', padding);
        for (int i = 0; i < prefixLength; ++i)
            out_.push_back(static_cast<CharT>(prefix[i]));
        if (zeroPad)
            Repeat('0', padding);
        Repeat('0', zeros);
        for (int i = count - 1; i >= 0; --i)
            out_.push_back(static_cast<CharT>(digits[i]));
        if (spec.left)
            Repeat(' ', padding);
    }

    void PutChar(const Spec& spec, bool wide) {
        // Both widths arrive promoted to int.
        int value = va_arg(*args_, int);
        if (wide) {
            WCHAR c = static_cast<WCHAR>(value);
            PutText(spec, nullptr, &c, 1);
        } else {
            char c = static_cast<char>(value);
            PutText(spec, &c, nullptr, 1);
        }
    }

    // A NUL-terminated string; a precision bounds how far it is read.
    void PutCString(const Spec& spec, bool wide) {
        const void* arg = va_arg(*args_, const void*);
        size_t limit = spec.precision < 0 ? SIZE_MAX : static_cast<size_t>(spec.precision);
        if (arg == nullptr) {
            PutText(spec, "(null)", nullptr, std::min<size_t>(6, limit));
            return;
        }
        if (wide) {
            const WCHAR* s = static_cast<const WCHAR*>(arg);
            size_t n = 0;
            while (n < limit && s[n])
                ++n;
            PutText(spec, nullptr, s, n);
        } else {
            const char* s = static_cast<const char*>(arg);
            size_t n = 0;
            while (n < limit && s[n])
                ++n;
            PutText(spec, s, nullptr, n);
        }
    }

    // %Z: an ANSI_STRING; %wZ (or %lZ): a UNICODE_STRING. The count comes from
    // Length, embedded NULs included; as in the kernel's formatter, the
    // precision does not apply.
    void PutCountedString(const Spec& spec) {
        bool wide = spec.text == TextWidth::Wide;
        const void* arg = va_arg(*args_, const void*);
        if (wide) {
            auto s = static_cast<PCUNICODE_STRING>(arg);
            if (s == nullptr || s->Buffer == nullptr) {
                PutText(spec, "(null)", nullptr, 6);
                return;
            }
            PutText(spec, nullptr, s->Buffer, s->Length / sizeof(WCHAR));
        } else {
            auto s = static_cast<const ANSI_STRING*>(arg);
            if (s == nullptr || s->Buffer == nullptr) {
                PutText(spec, "(null)", nullptr, 6);
                return;
            }
            PutText(spec, s->Buffer, nullptr, s->Length);
        }
    }

    // Exactly one of narrow/wide is set; units counts its units. The field width
    // is measured in those units, as the CRT measures it.
    void PutText(const Spec& spec, const char* narrow, const WCHAR* wide, size_t units) {
        size_t width = static_cast<size_t>(spec.width);
        size_t padding = width > units ? width - units : 0;
        if (!spec.left)
            Repeat(spec.zero ? '0' : ' ', padding);  // the CRT zero-fills text too
        if (narrow != nullptr) {
            if constexpr (kWideFormat)
                out_ += FromUtf8(std::string(narrow, units));
            else
                out_.append(narrow, units);
        } else {
            if constexpr (kWideFormat)
                out_.append(wide, units);
            else
                out_ += ToUtf8(wide, units);
        }
        if (spec.left)
            Repeat(' ', padding);
    }

    // Floating point is rare in drivers; the host's formatting of a double matches
    // the current CRT's for every finite value and prints inf/nan the same way.
    void PutFloat(const Spec& spec, char conversion) {
        double value = va_arg(*args_, double);
        char format[16];
        int n = 0;
        format[n++] = '%';
        if (spec.left) format[n++] = '-';
        if (spec.plus) format[n++] = '+';
        if (spec.space) format[n++] = ' ';
        if (spec.alternate) format[n++] = '#';
        if (spec.zero) format[n++] = '0';
        format[n++] = '*';
        format[n++] = '.';
        format[n++] = '*';
        format[n++] = conversion;
        format[n] = 0;
        int precision = spec.precision;  // -1 lets the host use its default of 6
        int length = std::snprintf(nullptr, 0, format, spec.width, precision, value);
        if (length <= 0)
            return;
        std::string text(static_cast<size_t>(length) + 1, '\0');
        std::snprintf(text.data(), text.size(), format, spec.width, precision, value);
        text.resize(static_cast<size_t>(length));
        for (char c : text)
            out_.push_back(static_cast<CharT>(static_cast<unsigned char>(c)));
    }

    void Repeat(char c, size_t count) { out_.append(count, static_cast<CharT>(c)); }
    void Repeat(char c, int count) {
        if (count > 0)
            Repeat(c, static_cast<size_t>(count));
    }

    va_list* args_;
    Out out_;
    std::string wideConversion_;
};

// Copies a formatted text into a destination of cch units as _vsnprintf and
// ntstrsafe do: as much as fits before the terminator, always terminated.
template <class CharT>
NTSTATUS CopyOut(CharT* dest, size_t cchDest, const std::basic_string<CharT>& text) {
    size_t room = cchDest - 1;
    if (text.size() <= room) {
        std::memcpy(dest, text.data(), text.size() * sizeof(CharT));
        dest[text.size()] = 0;
        return STATUS_SUCCESS;
    }
    std::memcpy(dest, text.data(), room * sizeof(CharT));
    dest[room] = 0;
    return STATUS_BUFFER_OVERFLOW;
}

template <class CharT>
bool ValidDest(CharT* dest, size_t cchDest) {
    return dest != nullptr && cchDest != 0 && cchDest <= kStrSafeMaxCch;
}

NTSTATUS VPrintfW(const char* routine, PWSTR dest, size_t cchDest, PCWSTR format, va_list args) {
    if (!ValidDest(dest, cchDest)) {
        if (dest != nullptr && cchDest != 0)
            *dest = 0;
        return STATUS_INVALID_PARAMETER;
    }
    if (format == nullptr) {
        *dest = 0;
        return STATUS_INVALID_PARAMETER;
    }
    return CopyOut(dest, cchDest, winsim::detail::KernelFormatWide(routine, format, args));
}

template <class CharT>
NTSTATUS CopyN(CharT* dest, size_t cchDest, const CharT* src, size_t cchToCopy) {
    if (!ValidDest(dest, cchDest))
        return STATUS_INVALID_PARAMETER;
    if (cchToCopy > kStrSafeMaxCch) {
        *dest = 0;
        return STATUS_INVALID_PARAMETER;
    }
    // A NULL source copies as an empty string rather than faulting.
    size_t i = 0;
    if (src != nullptr) {
        while (i < cchDest && i < cchToCopy && src[i] != 0) {
            dest[i] = src[i];
            ++i;
        }
    }
    if (i == cchDest) {
        // Filled the buffer without reaching the end of the source: give back the
        // last unit to the terminator.
        dest[cchDest - 1] = 0;
        return STATUS_BUFFER_OVERFLOW;
    }
    dest[i] = 0;
    return STATUS_SUCCESS;
}

}  // namespace

namespace winsim::detail {

std::string FormatNarrow(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    Formatter<char> f(&copy);
    std::string out = f.Run(format);
    va_end(copy);
    return out;
}

std::u16string FormatWide(const WCHAR* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    Formatter<WCHAR> f(&copy);
    std::u16string out = f.Run(format);
    va_end(copy);
    return out;
}

namespace {

void CheckWideConversion(const char* routine, const std::string& conversion) {
    if (conversion.empty()) return;
    KIRQL irql = CurrentIrql();
    if (irql == PASSIVE_LEVEL) return;
    Violation(std::string(routine) + " formats wide text (\"" + conversion + "\") at IRQL " + IrqlName(irql) +
              " (PASSIVE_LEVEL only)" + (SpinLocksHeldByThisThread() ? ", with a spin lock held" : ""));
}

}  // namespace

std::string KernelFormatNarrow(const char* routine, const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    Formatter<char> f(&copy);
    std::string out = f.Run(format);
    va_end(copy);
    CheckWideConversion(routine, f.WideConversion());
    return out;
}

std::u16string KernelFormatWide(const char* routine, const WCHAR* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    Formatter<WCHAR> f(&copy);
    std::u16string out = f.Run(format);
    va_end(copy);
    CheckWideConversion(routine, f.WideConversion());
    return out;
}

}  // namespace winsim::detail

// ---------------------------------------------------------------- ntstrsafe

NTSTATUS RtlStringCbVPrintfW(PWSTR dest, SIZE_T cbDest, PCWSTR format, va_list args) {
    return VPrintfW("RtlStringCbVPrintfW", dest, cbDest / sizeof(WCHAR), format, args);
}

NTSTATUS RtlStringCbPrintfW(PWSTR dest, SIZE_T cbDest, PCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    NTSTATUS status = VPrintfW("RtlStringCbPrintfW", dest, cbDest / sizeof(WCHAR), format, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCchPrintfW(PWSTR dest, SIZE_T cchDest, PCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    NTSTATUS status = VPrintfW("RtlStringCchPrintfW", dest, cchDest, format, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCbPrintfA(PSTR dest, SIZE_T cbDest, PCSTR format, ...) {
    if (!ValidDest(dest, cbDest)) {
        if (dest != nullptr && cbDest != 0)
            *dest = 0;
        return STATUS_INVALID_PARAMETER;
    }
    if (format == nullptr) {
        *dest = 0;
        return STATUS_INVALID_PARAMETER;
    }
    va_list args;
    va_start(args, format);
    std::string text = winsim::detail::KernelFormatNarrow("RtlStringCbPrintfA", format, args);
    va_end(args);
    return CopyOut(dest, cbDest, text);
}

NTSTATUS RtlStringCchCopyW(PWSTR dest, SIZE_T cchDest, PCWSTR src) {
    return CopyN(dest, cchDest, src, kStrSafeMaxCch);
}

NTSTATUS RtlStringCchCopyNW(PWSTR dest, SIZE_T cchDest, PCWSTR src, SIZE_T cchToCopy) {
    return CopyN(dest, cchDest, src, cchToCopy);
}

NTSTATUS RtlStringCbCopyA(PSTR dest, SIZE_T cbDest, PCSTR src) {
    return CopyN(dest, cbDest, src, kStrSafeMaxCch);
}

NTSTATUS RtlStringCchLengthW(PCWSTR s, SIZE_T cchMax, SIZE_T* length) {
    NTSTATUS status = STATUS_SUCCESS;
    size_t n = 0;
    if (s == nullptr || cchMax > kStrSafeMaxCch) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        while (n < cchMax && s[n] != 0)
            ++n;
        // No terminator within cchMax characters.
        if (n == cchMax)
            status = STATUS_INVALID_PARAMETER;
    }
    if (length != nullptr)
        *length = NT_SUCCESS(status) ? n : 0;
    return status;
}
