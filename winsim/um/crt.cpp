// The C runtime routines of the library that glibc lacks or spells for a 32-bit
// wchar_t, with MSVC's semantics, and the code-page conversions.
//
// Formatting is the machine's Windows formatter (in a wide format "%s" is a wide
// string and "%S" a narrow one). Where MSVC's runtime calls its invalid-parameter
// handler (which ends the process by default), the routine records a verifier
// violation naming the call, empties the destination and returns MSVC's error.
//
// CP_ACP is code page 1252. Wide to ANSI maps what 1252 cannot hold to the
// default character ('?' unless given), one per character (a surrogate pair is
// one); no best-fit mapping is done.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "winsim/um/um_internal.h"

namespace {

void InvalidParameter(const char* routine, const std::string& what) {
    winsim::detail::Violation(std::string(routine) + ": " + what +
                              " (the runtime's invalid-parameter handler would end the process)");
}

template <class C>
size_t Length(const C* s, size_t max) {
    size_t n = 0;
    while (n < max && s[n]) ++n;
    return n;
}

// _vsnwprintf_s / _vsnprintf_s on formatted text.
template <class C>
int SecurePrint(const char* routine, C* buffer, size_t size, size_t count, const std::basic_string<C>& text) {
    if (buffer == nullptr || size == 0) {
        InvalidParameter(routine, "no destination");
        errno = EINVAL;
        return -1;
    }
    size_t len = text.size();
    if (count == _TRUNCATE) {
        size_t n = len < size - 1 ? len : size - 1;
        std::memcpy(buffer, text.data(), n * sizeof(C));
        buffer[n] = 0;
        return len <= size - 1 ? static_cast<int>(len) : -1;
    }
    if (count < size) {
        // At most count characters; more is a truncation, not an error.
        size_t n = len < count ? len : count;
        std::memcpy(buffer, text.data(), n * sizeof(C));
        buffer[n] = 0;
        return len <= count ? static_cast<int>(len) : -1;
    }
    if (len >= size) {
        buffer[0] = 0;
        InvalidParameter(routine, "destination of " + std::to_string(size) + " characters too small for " +
                                      std::to_string(len + 1));
        errno = ERANGE;
        return -1;
    }
    std::memcpy(buffer, text.data(), len * sizeof(C));
    buffer[len] = 0;
    return static_cast<int>(len);
}

template <class C>
errno_t SecureCopy(const char* routine, C* dest, rsize_t size, const C* src, rsize_t count) {
    if (dest == nullptr || size == 0) {
        InvalidParameter(routine, "no destination");
        return EINVAL;
    }
    if (src == nullptr) {
        dest[0] = 0;
        InvalidParameter(routine, "null source");
        return EINVAL;
    }
    size_t len = Length(src, count == _TRUNCATE ? static_cast<size_t>(-1) : count);
    if (count == _TRUNCATE && len >= size) {
        std::memcpy(dest, src, (size - 1) * sizeof(C));
        dest[size - 1] = 0;
        return STRUNCATE;
    }
    if (len >= size) {
        dest[0] = 0;
        InvalidParameter(routine, "destination of " + std::to_string(size) + " characters too small for " +
                                      std::to_string(len + 1));
        return ERANGE;
    }
    std::memcpy(dest, src, len * sizeof(C));
    dest[len] = 0;
    return 0;
}

template <class C>
errno_t SecureCat(const char* routine, C* dest, rsize_t size, const C* src, rsize_t count) {
    if (dest == nullptr || size == 0) {
        InvalidParameter(routine, "no destination");
        return EINVAL;
    }
    size_t used = Length(dest, size);
    if (used == size) {
        dest[0] = 0;
        InvalidParameter(routine, "unterminated destination");
        return EINVAL;
    }
    if (src == nullptr) {
        dest[0] = 0;
        InvalidParameter(routine, "null source");
        return EINVAL;
    }
    errno_t r = SecureCopy(routine, dest + used, size - used, src, count);
    if (r == ERANGE || r == EINVAL) dest[0] = 0;
    return r;
}

std::u16string FormatW(const WCHAR* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    std::u16string s = winsim::detail::FormatWide(format, copy);
    va_end(copy);
    return s;
}

std::string FormatA(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    std::string s = winsim::detail::FormatNarrow(format, copy);
    va_end(copy);
    return s;
}

// Code page 1252: the characters of bytes 0x80..0x9F (0 for the five bytes the
// page leaves undefined, which map to the C1 control of the same value).
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char16_t FromCp1252(unsigned char b) {
    if (b >= 0x80 && b <= 0x9F && kCp1252High[b - 0x80]) return kCp1252High[b - 0x80];
    return b;
}

// -1 when 1252 has no byte for c.
int ToCp1252(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return c;
    for (int i = 0; i < 32; ++i)
        if (kCp1252High[i] == c) return 0x80 + i;
    if (c >= 0x80 && c <= 0x9F && kCp1252High[c - 0x80] == 0) return c;
    return -1;
}

}  // namespace

using winsim::um::SetError;

int _vsnwprintf_s(WCHAR* buffer, size_t sizeOfBuffer, size_t count, const WCHAR* format, va_list args) {
    if (format == nullptr) {
        InvalidParameter("_vsnwprintf_s", "null format");
        if (buffer && sizeOfBuffer) buffer[0] = 0;
        return -1;
    }
    return SecurePrint("_vsnwprintf_s", buffer, sizeOfBuffer, count, FormatW(format, args));
}

int _snwprintf_s(WCHAR* buffer, size_t sizeOfBuffer, size_t count, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int r = _vsnwprintf_s(buffer, sizeOfBuffer, count, format, args);
    va_end(args);
    return r;
}

int vswprintf_s(WCHAR* buffer, size_t sizeOfBuffer, const WCHAR* format, va_list args) {
    if (format == nullptr) {
        InvalidParameter("vswprintf_s", "null format");
        if (buffer && sizeOfBuffer) buffer[0] = 0;
        return -1;
    }
    return SecurePrint("swprintf_s", buffer, sizeOfBuffer, sizeOfBuffer, FormatW(format, args));
}

int swprintf_s(WCHAR* buffer, size_t sizeOfBuffer, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int r = vswprintf_s(buffer, sizeOfBuffer, format, args);
    va_end(args);
    return r;
}

int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list args) {
    std::u16string s = FormatW(format, args);
    size_t n = s.size() < count ? s.size() : count;
    std::memcpy(buffer, s.data(), n * sizeof(WCHAR));
    if (s.size() < count) buffer[s.size()] = 0;  // no terminator when it fills the buffer
    return s.size() <= count ? static_cast<int>(s.size()) : -1;
}

int _snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int r = _vsnwprintf(buffer, count, format, args);
    va_end(args);
    return r;
}

int _vscwprintf(const WCHAR* format, va_list args) { return static_cast<int>(FormatW(format, args).size()); }

errno_t wcscpy_s(WCHAR* dest, rsize_t destSize, const WCHAR* src) {
    return SecureCopy("wcscpy_s", dest, destSize, src, _TRUNCATE - 1);
}
errno_t wcsncpy_s(WCHAR* dest, rsize_t destSize, const WCHAR* src, rsize_t count) {
    return SecureCopy("wcsncpy_s", dest, destSize, src, count);
}
errno_t wcscat_s(WCHAR* dest, rsize_t destSize, const WCHAR* src) {
    return SecureCat("wcscat_s", dest, destSize, src, _TRUNCATE - 1);
}
errno_t wcsncat_s(WCHAR* dest, rsize_t destSize, const WCHAR* src, rsize_t count) {
    return SecureCat("wcsncat_s", dest, destSize, src, count);
}

errno_t _wcsupr_s(WCHAR* str, size_t size) {
    if (!str || size == 0 || Length(str, size) == size) {
        InvalidParameter("_wcsupr_s", "null or unterminated string");
        if (str && size) str[0] = 0;
        return EINVAL;
    }
    for (; *str; ++str) *str = RtlUpcaseUnicodeChar(*str);
    return 0;
}

errno_t _wcslwr_s(WCHAR* str, size_t size) {
    if (!str || size == 0 || Length(str, size) == size) {
        InvalidParameter("_wcslwr_s", "null or unterminated string");
        if (str && size) str[0] = 0;
        return EINVAL;
    }
    for (; *str; ++str)
        if ((*str >= u'A' && *str <= u'Z') || (*str >= 0xC0 && *str <= 0xDE && *str != 0xD7)) *str += 0x20;
    return 0;
}

WCHAR* wcscpy(WCHAR* dest, const WCHAR* src) {
    WCHAR* d = dest;
    while ((*d++ = *src++) != 0) {
    }
    return dest;
}

WCHAR* wcscat(WCHAR* dest, const WCHAR* src) {
    wcscpy(dest + wcslen(dest), src);
    return dest;
}

namespace {
// The ASCII prefix a number can be parsed from (digits, sign, blanks, letters for
// bases above 10); the parse stops at the first other character anyway.
std::string NumberPrefix(const WCHAR* str, size_t* units) {
    std::string s;
    size_t i = 0;
    while (str[i] && str[i] < 0x80) s.push_back(static_cast<char>(str[i++]));
    *units = i;
    return s;
}
}  // namespace

long wcstol(const WCHAR* str, WCHAR** end, int base) {
    size_t units = 0;
    std::string s = NumberPrefix(str, &units);
    char* e = nullptr;
    long v = std::strtol(s.c_str(), &e, base);
    if (end) *end = const_cast<WCHAR*>(str) + (e - s.c_str());
    return v;
}

unsigned long wcstoul(const WCHAR* str, WCHAR** end, int base) {
    size_t units = 0;
    std::string s = NumberPrefix(str, &units);
    char* e = nullptr;
    unsigned long v = std::strtoul(s.c_str(), &e, base);
    if (end) *end = const_cast<WCHAR*>(str) + (e - s.c_str());
    return v;
}

int _wtoi(const WCHAR* str) { return static_cast<int>(wcstol(str, nullptr, 10)); }

int _vsnprintf_s(char* buffer, size_t sizeOfBuffer, size_t count, const char* format, va_list args) {
    if (format == nullptr) {
        InvalidParameter("_vsnprintf_s", "null format");
        if (buffer && sizeOfBuffer) buffer[0] = 0;
        return -1;
    }
    return SecurePrint("_vsnprintf_s", buffer, sizeOfBuffer, count, FormatA(format, args));
}

int _snprintf_s(char* buffer, size_t sizeOfBuffer, size_t count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int r = _vsnprintf_s(buffer, sizeOfBuffer, count, format, args);
    va_end(args);
    return r;
}

int vsprintf_s(char* buffer, size_t sizeOfBuffer, const char* format, va_list args) {
    if (format == nullptr) {
        InvalidParameter("vsprintf_s", "null format");
        if (buffer && sizeOfBuffer) buffer[0] = 0;
        return -1;
    }
    return SecurePrint("sprintf_s", buffer, sizeOfBuffer, sizeOfBuffer, FormatA(format, args));
}

int sprintf_s(char* buffer, size_t sizeOfBuffer, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int r = vsprintf_s(buffer, sizeOfBuffer, format, args);
    va_end(args);
    return r;
}

errno_t strcpy_s(char* dest, rsize_t destSize, const char* src) {
    return SecureCopy("strcpy_s", dest, destSize, src, _TRUNCATE - 1);
}
errno_t strncpy_s(char* dest, rsize_t destSize, const char* src, rsize_t count) {
    return SecureCopy("strncpy_s", dest, destSize, src, count);
}
errno_t strcat_s(char* dest, rsize_t destSize, const char* src) {
    return SecureCat("strcat_s", dest, destSize, src, _TRUNCATE - 1);
}

// ---------------------------------------------------------------- code pages

UINT WINAPI GetACP(void) { return 1252; }

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wideCharStr, int wideChars, LPSTR multiByteStr,
                               int multiBytes, LPCCH defaultChar, LPBOOL usedDefaultChar) {
    if (wideCharStr == nullptr || wideChars == 0 || multiBytes < 0 ||
        (multiBytes > 0 && multiByteStr == nullptr) ||
        (multiBytes > 0 && static_cast<const void*>(multiByteStr) == static_cast<const void*>(wideCharStr))) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    bool utf8 = codePage == CP_UTF8;
    if (!utf8 && codePage != CP_ACP && codePage != CP_THREAD_ACP && codePage != 1252) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (utf8 && (defaultChar != nullptr || usedDefaultChar != nullptr)) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    (void)flags;
    size_t count = wideChars < 0 ? wcslen(wideCharStr) + 1 : static_cast<size_t>(wideChars);
    std::string out;
    bool usedDefault = false;
    char fallback = defaultChar ? *defaultChar : '?';
    if (utf8) {
        out = winsim::detail::ToUtf8(wideCharStr, count);
    } else {
        for (size_t i = 0; i < count; ++i) {
            char16_t c = wideCharStr[i];
            int b = ToCp1252(c);
            if (b < 0) {
                usedDefault = true;
                out.push_back(fallback);
                // A surrogate pair is one character.
                if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && wideCharStr[i + 1] >= 0xDC00 &&
                    wideCharStr[i + 1] <= 0xDFFF)
                    ++i;
            } else {
                out.push_back(static_cast<char>(b));
            }
        }
    }
    if (usedDefaultChar) *usedDefaultChar = usedDefault ? TRUE : FALSE;
    if (multiBytes == 0) return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(multiBytes)) {
        std::memcpy(multiByteStr, out.data(), static_cast<size_t>(multiBytes));
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(multiByteStr, out.data(), out.size());
    return static_cast<int>(out.size());
}

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH multiByteStr, int multiBytes, LPWSTR wideCharStr,
                               int wideChars) {
    if (multiByteStr == nullptr || multiBytes == 0 || wideChars < 0 || (wideChars > 0 && wideCharStr == nullptr)) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    bool utf8 = codePage == CP_UTF8;
    if (!utf8 && codePage != CP_ACP && codePage != CP_THREAD_ACP && codePage != 1252) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t count = multiBytes < 0 ? std::strlen(multiByteStr) + 1 : static_cast<size_t>(multiBytes);
    std::u16string out;
    if (utf8) {
        out = winsim::detail::FromUtf8(std::string(multiByteStr, count));
        if ((flags & MB_ERR_INVALID_CHARS) && out.find(u'\uFFFD') != std::u16string::npos) {
            SetError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
    } else {
        for (size_t i = 0; i < count; ++i) out.push_back(FromCp1252(static_cast<unsigned char>(multiByteStr[i])));
    }
    if (wideChars == 0) return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(wideChars)) {
        std::memcpy(wideCharStr, out.data(), static_cast<size_t>(wideChars) * sizeof(WCHAR));
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(wideCharStr, out.data(), out.size() * sizeof(WCHAR));
    return static_cast<int>(out.size());
}
