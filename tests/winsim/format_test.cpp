// The Windows-rules formatter behind DbgPrintEx and the ntstrsafe printf family,
// and the ntstrsafe copy/length routines.

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <string>

#include "platform/km.h"
#include "winsim/detail/internal.h"

namespace {

std::string N(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string s = winsim::detail::FormatNarrow(format, args);
    va_end(args);
    return s;
}

std::u16string W(const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    std::u16string s = winsim::detail::FormatWide(format, args);
    va_end(args);
    return s;
}

NTSTATUS VPrintfThroughVaList(PWSTR dest, SIZE_T cb, PCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    NTSTATUS status = RtlStringCbVPrintfW(dest, cb, format, args);
    va_end(args);
    return status;
}

// ---------------------------------------------------------------- string widths

TEST(FormatStrings, DriverTraceLineMixesNarrowAndWide) {
    const WCHAR* path = u"\\Device\\HarddiskVolume3\\Temp";
    EXPECT_EQ(N("%s:%s: SET_PATH(%d)(%S)(%d)\n", "kx4grd", "PolicySetPath", 2, path, -1),
              "kx4grd:PolicySetPath: SET_PATH(2)(\\Device\\HarddiskVolume3\\Temp)(-1)\n");
}

TEST(FormatStrings, ModifiersChooseTheWidthInNarrowFormat) {
    EXPECT_EQ(N("[%s|%S|%hs|%ls|%ws|%hS|%lS|%wS]", "n1", u"w1", "n2", u"w2", u"w3", "n3", u"w4", u"w5"),
              "[n1|w1|n2|w2|w3|n3|w4|w5]");
}

TEST(FormatStrings, InWideFormatPercentSIsWide) {
    EXPECT_EQ(W(u"[%s|%S|%hs|%ls|%ws|%hS|%wS]", u"w1", "n1", "n2", u"w2", u"w3", "n3", u"w4"),
              u"[w1|n1|n2|w2|w3|n3|w4]");
}

TEST(FormatStrings, CharactersFollowTheSameRules) {
    EXPECT_EQ(N("%c%C%hc%lc%wc", 'a', u'b', 'c', u'd', u'e'), "abcde");
    EXPECT_EQ(W(u"%c%C%hc%lc%wc", u'a', 'b', 'c', u'd', u'e'), u"abcde");
    EXPECT_EQ(N("%C", u'\u00E9'), "\xC3\xA9");
    EXPECT_EQ(W(u"%C", 'x'), u"x");
    EXPECT_EQ(N("[%3c|%-3c]", 'x', 'y'), "[  x|y  ]");
}

TEST(FormatStrings, NullPointersPrintNull) {
    EXPECT_EQ(N("%s|%S|%hs|%ws", nullptr, nullptr, nullptr, nullptr), "(null)|(null)|(null)|(null)");
    EXPECT_EQ(W(u"%s|%S", nullptr, nullptr), u"(null)|(null)");
    EXPECT_EQ(N("[%.3s]", nullptr), "[(nu]");
    EXPECT_EQ(N("[%8s]", nullptr), "[  (null)]");
}

TEST(FormatStrings, CountedStrings) {
    WCHAR buffer[] = u"abcdef";
    UNICODE_STRING u{3 * sizeof(WCHAR), sizeof(buffer), buffer};  // not terminated after 3
    EXPECT_EQ(N("[%wZ]", &u), "[abc]");
    EXPECT_EQ(W(u"[%wZ]", &u), u"[abc]");
    EXPECT_EQ(N("[%6wZ|%-5wZ]", &u, &u), "[   abc|abc  ]");

    const PCUNICODE_STRING constant = &u;
    EXPECT_EQ(N("%wZ", constant), "abc");

    UNICODE_STRING empty{0, 0, buffer};
    EXPECT_EQ(N("[%wZ]", &empty), "[]");
    UNICODE_STRING noBuffer{4, 4, nullptr};
    EXPECT_EQ(N("[%wZ|%wZ]", &noBuffer, static_cast<PUNICODE_STRING>(nullptr)), "[(null)|(null)]");

    // Length counts, embedded NULs included.
    WCHAR withNul[] = {u'x', 0, u'y'};
    UNICODE_STRING nul{sizeof(withNul), sizeof(withNul), withNul};
    EXPECT_EQ(N("%wZ", &nul), std::string("x\0y", 3));

    char text[] = "HELLO-WORLD";
    ANSI_STRING a{5, sizeof(text), text};
    EXPECT_EQ(N("[%Z]", &a), "[HELLO]");
    EXPECT_EQ(W(u"[%Z]", &a), u"[HELLO]");
    EXPECT_EQ(N("[%Z]", static_cast<PANSI_STRING>(nullptr)), "[(null)]");
}

TEST(FormatStrings, PrecisionLimitsAndWidthPads) {
    const char* image = "averyveryverylongimage.exe";
    EXPECT_EQ(N("[%.16hs]", image), "[averyveryverylon]");
    EXPECT_EQ(N("[%.16hs]", "short.exe"), "[short.exe]");

    const WCHAR* w = u"abcdef";
    EXPECT_EQ(N("[%.3S]", w), "[abc]");
    EXPECT_EQ(N("[%8S]", w), "[  abcdef]");
    EXPECT_EQ(N("[%-8S]", w), "[abcdef  ]");
    EXPECT_EQ(N("[%8.2S]", w), "[      ab]");
    EXPECT_EQ(N("[%2S]", w), "[abcdef]") << "width never truncates";
    EXPECT_EQ(W(u"[%8.2s]", w), u"[      ab]");
    EXPECT_EQ(W(u"[%-4.3s]", w), u"[abc ]");
    EXPECT_EQ(W(u"[%*.*s]", 5, 1, w), u"[    a]");
    EXPECT_EQ(W(u"[%*s]", -5, w), u"[abcdef]");
    EXPECT_EQ(W(u"[%*s]", -8, w), u"[abcdef  ]");
    EXPECT_EQ(N("[%.0s]", "abc"), "[]");
    EXPECT_EQ(N("[%.*s]", -1, "abc"), "[abc]") << "negative precision is no precision";
}

TEST(FormatStrings, PrecisionBoundsTheReadOfUnterminatedText) {
    // Exactly four units and no terminator: reading a fifth would be a fault.
    const char bytes[4] = {'a', 'b', 'c', 'd'};
    const WCHAR units[4] = {u'w', u'x', u'y', u'z'};
    EXPECT_EQ(N("%.*s", 4, bytes), "abcd");
    EXPECT_EQ(N("%.*S", 4, units), "wxyz");
    EXPECT_EQ(W(u"%.*s", 4, units), u"wxyz");
    EXPECT_EQ(W(u"%.*hs", 4, bytes), u"abcd");
}

TEST(FormatStrings, ConversionBetweenWidths) {
    // Wide to UTF-8, with surrogate pairs and unpaired halves.
    EXPECT_EQ(N("%S", u"caf\u00E9 \xD83D\xDE00"), "caf\xC3\xA9 \xF0\x9F\x98\x80");
    const WCHAR lone[] = {u'a', 0xD800, u'b', 0};
    EXPECT_EQ(N("%S", lone), "a\xEF\xBF\xBD" "b");
    // A precision that cuts a pair leaves an unpaired half.
    EXPECT_EQ(N("%.1S", u"\xD83D\xDE00"), "\xEF\xBF\xBD");
    // Narrow to UTF-16: UTF-8 where well-formed, Latin-1 bytes otherwise.
    EXPECT_EQ(W(u"%hs", "caf\xC3\xA9"), u"caf\u00E9");
    EXPECT_EQ(W(u"%hs", "caf\xE9"), u"caf\u00E9");
    EXPECT_EQ(W(u"%S", "\xF0\x9F\x98\x80"), u"\xD83D\xDE00");
    // Narrow text into narrow output is copied byte for byte.
    EXPECT_EQ(N("%s", "caf\xE9"), "caf\xE9");
    // Wide text into wide output is copied unit for unit, unpaired halves included.
    EXPECT_EQ(W(u"%s", lone), std::u16string(lone));
}

// ---------------------------------------------------------------- integers

TEST(FormatIntegers, DriverFormats) {
    EXPECT_EQ(N("%lld.%02lld", 12LL, 5LL), "12.05");
    EXPECT_EQ(N("%lld.%02lld", -3LL, 45LL), "-3.45");
    EXPECT_EQ(N("%08x", static_cast<ULONG>(0xC0000022)), "c0000022");
    EXPECT_EQ(N("0x%08X", static_cast<NTSTATUS>(STATUS_ACCESS_DENIED)), "0xC0000022");
    EXPECT_EQ(N("%08x", 0x22u), "00000022");
    EXPECT_EQ(N("%x", static_cast<LONG>(-2)), "fffffffe");
    EXPECT_EQ(N("%X", static_cast<NTSTATUS>(STATUS_BUFFER_OVERFLOW)), "80000005");
    EXPECT_EQ(W(u"%d/%u", -7, 7u), u"-7/7");
}

TEST(FormatIntegers, LongIs32BitAsOnWindows) {
    EXPECT_EQ(N("%ld", static_cast<LONG>(-5)), "-5");
    EXPECT_EQ(N("%lx", static_cast<LONG>(-1)), "ffffffff");
    EXPECT_EQ(N("%lu", static_cast<ULONG>(4000000000u)), "4000000000");
    EXPECT_EQ(N("%ld", static_cast<LONG>(INT32_MIN)), "-2147483648");
}

TEST(FormatIntegers, SizePrefixes) {
    EXPECT_EQ(N("%llx", ~0ULL), "ffffffffffffffff");
    EXPECT_EQ(N("%llu", ~0ULL), "18446744073709551615");
    EXPECT_EQ(N("%lld", static_cast<long long>(INT64_MIN)), "-9223372036854775808");
    EXPECT_EQ(N("%I64u", ~0ULL), "18446744073709551615");
    EXPECT_EQ(N("%I64d", static_cast<LONGLONG>(INT64_MIN)), "-9223372036854775808");
    EXPECT_EQ(N("%I64X", 0x1234567890ABCDEFULL), "1234567890ABCDEF");
    EXPECT_EQ(N("%I32x", 0xABCDu), "abcd");
    EXPECT_EQ(N("%I32d", -1), "-1");
    EXPECT_EQ(N("%Iu", static_cast<SIZE_T>(1) << 40), "1099511627776");
    EXPECT_EQ(N("%Ix", static_cast<ULONG_PTR>(0xFFFFFFFFFFFFULL)), "ffffffffffff");
    EXPECT_EQ(N("%zu", static_cast<size_t>(5000000000ULL)), "5000000000");
    EXPECT_EQ(N("%zd", static_cast<ptrdiff_t>(-5000000000LL)), "-5000000000");
    EXPECT_EQ(N("%jd", static_cast<intmax_t>(-9000000000LL)), "-9000000000");
    EXPECT_EQ(N("%hd", 70000), "4464");
    EXPECT_EQ(N("%hd", 0x8000), "-32768");
    EXPECT_EQ(N("%hx", -1), "ffff");
    EXPECT_EQ(N("%hu", 65537), "1");
    EXPECT_EQ(N("%hhu", 300), "44");
    EXPECT_EQ(N("%hhd", 255), "-1");
    EXPECT_EQ(N("%hhx", -1), "ff");
}

TEST(FormatIntegers, FlagsWidthAndPrecision) {
    EXPECT_EQ(N("%+d|%+d|% d|% d", 5, -5, 5, -5), "+5|-5| 5|-5");
    EXPECT_EQ(N("%+u", 5u), "5") << "no sign on unsigned conversions";
    EXPECT_EQ(N("[%5d|%-5d|%05d]", 42, 42, -42), "[   42|42   |-0042]");
    EXPECT_EQ(N("[%-05d]", 42), "[42   ]") << "'-' wins over '0'";
    EXPECT_EQ(N("[%.3d|%5.3d|%05.3d|%-5.3d]", 7, 7, 7, 7), "[007|  007|  007|007  ]");
    EXPECT_EQ(N("[%.0d|%.0x|%3.0d]", 0, 0, 0), "[||   ]");
    EXPECT_EQ(N("[%.3d]", -7), "[-007]");
    EXPECT_EQ(N("[%#x|%#X|%#x|%#o|%#o|%o]", 255, 255, 0, 8, 0, 8), "[0xff|0XFF|0|010|0|10]");
    EXPECT_EQ(N("[%#010x]", 255), "[0x000000ff]");
    EXPECT_EQ(N("[%*d|%*d|%.*d]", 4, 7, -4, 7, -1, 7), "[   7|7   |7]");
    EXPECT_EQ(N("[%+05d]", 42), "[+0042]");
}

TEST(FormatIntegers, PointersAreSixteenUpperCaseHexDigits) {
    EXPECT_EQ(N("%p", reinterpret_cast<void*>(0xABCD)), "000000000000ABCD");
    EXPECT_EQ(N("%p", nullptr), "0000000000000000");
    EXPECT_EQ(N("%p", reinterpret_cast<void*>(0xFFFF800012345678ULL)), "FFFF800012345678");
    EXPECT_EQ(W(u"%p", reinterpret_cast<void*>(0x1F)), u"000000000000001F");
    EXPECT_EQ(N("[%20p]", reinterpret_cast<void*>(0x1)), "[    0000000000000001]");
    EXPECT_EQ(N("[%-18p]", reinterpret_cast<void*>(0x1)), "[0000000000000001  ]");
}

TEST(FormatIntegers, ArgumentsStayInStepAcrossSizes) {
    // Mixed sizes in one call: each conversion must take exactly its own argument.
    EXPECT_EQ(N("%hd %lld %d %I64x %hs %p %u", static_cast<short>(-1), 1LL << 40, 3, 0xFULL, "s",
                reinterpret_cast<void*>(0x10), 9u),
              "-1 1099511627776 3 f s 0000000000000010 9");
}

// ---------------------------------------------------------------- the rest

TEST(FormatMisc, PercentUnknownAndDangling) {
    EXPECT_EQ(N("100%%"), "100%");
    EXPECT_EQ(N("[%y]"), "[%y]");
    EXPECT_EQ(N("[%-5y]"), "[%-5y]");
    EXPECT_EQ(N("[%y|%d]", 3), "[%y|3]") << "an unknown conversion takes no argument";
    EXPECT_EQ(N("50%"), "50%");
    EXPECT_EQ(W(u"[%y]%"), u"[%y]%");
    EXPECT_EQ(N(nullptr), "");
}

TEST(FormatMisc, CountConversionWritesNothing) {
    int count = 123;
    EXPECT_EQ(N("ab%ncd%d", &count, 5), "abcd5");
    EXPECT_EQ(count, 123);
}

TEST(FormatMisc, FloatingPoint) {
    EXPECT_EQ(N("%.2f", 3.14159), "3.14");
    EXPECT_EQ(N("[%8.3f|%-8.1f|%+.0f]", 2.5, 2.25, 2.0), "[   2.500|2.2     |+2]");
    EXPECT_EQ(N("%e", 12345.0), "1.234500e+04");
    EXPECT_EQ(W(u"%g", 0.5), u"0.5");
}

TEST(FormatMisc, LiteralTextPassesThroughUnchanged) {
    EXPECT_EQ(N("caf\xC3\xA9 \xE9"), "caf\xC3\xA9 \xE9");
    EXPECT_EQ(W(u"\xD83D\xDE00 \u00E9"), u"\xD83D\xDE00 \u00E9");
}

// ---------------------------------------------------------------- ntstrsafe printf

TEST(StrSafePrintf, FitsExactlyOrTruncatesWithOverflowStatus) {
    WCHAR buf[8];
    EXPECT_EQ(RtlStringCbPrintfW(buf, sizeof(buf), u"%s=%d", u"ab", 42),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buf), u"ab=42");

    // Seven characters and the terminator fill the buffer exactly.
    EXPECT_EQ(RtlStringCbPrintfW(buf, sizeof(buf), u"%s", u"1234567"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buf), u"1234567");

    EXPECT_EQ(RtlStringCbPrintfW(buf, sizeof(buf), u"%s", u"12345678"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buf), u"1234567") << "truncated and terminated";

    EXPECT_EQ(RtlStringCbPrintfW(buf, sizeof(buf), u"\\Device\\%s-%08x", u"Volume", 0xC0000022u),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buf), u"\\Device");
}

TEST(StrSafePrintf, ByteCountRoundsDownToWholeCharacters) {
    WCHAR buf[4] = {u'#', u'#', u'#', u'#'};
    // Seven bytes hold three WCHARs: two characters and the terminator.
    EXPECT_EQ(RtlStringCbPrintfW(buf, 7, u"%d", 123), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buf), u"12");
    EXPECT_EQ(buf[3], u'#');
}

TEST(StrSafePrintf, ZeroSizedDestinationIsInvalidAndUntouched) {
    WCHAR buf[2] = {u'#', u'#'};
    EXPECT_EQ(RtlStringCbPrintfW(buf, 0, u"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbPrintfW(buf, 1, u"x"), STATUS_INVALID_PARAMETER) << "less than one WCHAR";
    EXPECT_EQ(RtlStringCchPrintfW(buf, 0, u"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buf[0], u'#');
    char narrow[2] = {'#', '#'};
    EXPECT_EQ(RtlStringCbPrintfA(narrow, 0, "x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(narrow[0], '#');
    // One WCHAR of room: only the terminator fits.
    EXPECT_EQ(RtlStringCchPrintfW(buf, 1, u"x"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(RtlStringCchPrintfW(buf, 1, u""), STATUS_SUCCESS);
}

TEST(StrSafePrintf, CchAndVaListVariantsAndNarrow) {
    WCHAR buf[16];
    EXPECT_EQ(RtlStringCchPrintfW(buf, 16, u"%wZ|%p", nullptr, reinterpret_cast<void*>(0xA)), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buf), u"(null)|00000000");
    EXPECT_EQ(RtlStringCchPrintfW(buf, 6, u"%hs", "abcde"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buf), u"abcde");

    EXPECT_EQ(VPrintfThroughVaList(buf, sizeof(buf), u"%s:%lu", u"pid", 1234u), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buf), u"pid:1234");
    EXPECT_EQ(VPrintfThroughVaList(buf, 4 * sizeof(WCHAR), u"%s:%lu", u"pid", 1234u), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buf), u"pid");

    char narrow[8];
    EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof(narrow), "%S-%d", u"ab", 5), STATUS_SUCCESS);
    EXPECT_EQ(std::string(narrow), "ab-5");
    EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof(narrow), "%s", "0123456789"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::string(narrow), "0123456");
}

// ---------------------------------------------------------------- ntstrsafe copy, length

TEST(StrSafeCopy, CopyWTruncatesWithOverflow) {
    WCHAR buf[6];
    EXPECT_EQ(RtlStringCchCopyW(buf, 6, u"abcde"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buf), u"abcde");
    EXPECT_EQ(RtlStringCchCopyW(buf, 6, u"abcdef"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buf), u"abcde");
    EXPECT_EQ(RtlStringCchCopyW(buf, 6, u""), STATUS_SUCCESS);
    EXPECT_EQ(buf[0], 0);
    WCHAR guard = u'#';
    EXPECT_EQ(RtlStringCchCopyW(&guard, 0, u"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(guard, u'#');
}

TEST(StrSafeCopy, CopyNWStopsAtCountOrTerminator) {
    WCHAR buf[8];
    EXPECT_EQ(RtlStringCchCopyNW(buf, 8, u"abcdef", 3), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buf), u"abc");
    EXPECT_EQ(RtlStringCchCopyNW(buf, 8, u"ab", 5), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buf), u"ab");
    EXPECT_EQ(RtlStringCchCopyNW(buf, 4, u"abcdef", 6), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buf), u"abc");
    EXPECT_EQ(RtlStringCchCopyNW(buf, 4, u"abcdef", 3), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buf), u"abc");
    // A source that is only cchToCopy long need not be terminated.
    const WCHAR unterminated[3] = {u'x', u'y', u'z'};
    EXPECT_EQ(RtlStringCchCopyNW(buf, 8, unterminated, 3), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buf), u"xyz");
}

TEST(StrSafeCopy, CbCopyA) {
    char buf[4];
    EXPECT_EQ(RtlStringCbCopyA(buf, sizeof(buf), "abc"), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buf), "abc");
    EXPECT_EQ(RtlStringCbCopyA(buf, sizeof(buf), "abcd"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::string(buf), "abc");
    EXPECT_EQ(RtlStringCbCopyA(buf, 0, "a"), STATUS_INVALID_PARAMETER);
}

TEST(StrSafeLength, CountsWithinMaximum) {
    SIZE_T length = 99;
    EXPECT_EQ(RtlStringCchLengthW(u"abc", 10, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(RtlStringCchLengthW(u"abc", 4, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 3u);
    length = 99;
    EXPECT_EQ(RtlStringCchLengthW(u"abc", 3, &length), STATUS_INVALID_PARAMETER) << "no terminator within 3";
    EXPECT_EQ(length, 0u);
    length = 99;
    EXPECT_EQ(RtlStringCchLengthW(nullptr, 10, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(RtlStringCchLengthW(u"abc", 0, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchLengthW(u"abc", 10, nullptr), STATUS_SUCCESS);
    const WCHAR unterminated[2] = {u'a', u'b'};
    EXPECT_EQ(RtlStringCchLengthW(unterminated, 2, &length), STATUS_INVALID_PARAMETER);
}

}  // namespace
