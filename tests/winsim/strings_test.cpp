// WCHAR C-library routines, Rtl counted strings, case mapping and the UTF-8 /
// UTF-16 conversions of the simulated machine.

#include <gtest/gtest.h>

#include <string>

#include "platform/km.h"
#include "winsim/detail/internal.h"

using winsim::detail::EqualsNoCase;
using winsim::detail::FromUtf8;
using winsim::detail::ToUtf8;

namespace {

UNICODE_STRING Counted(const WCHAR* s) {
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, s);
    return u;
}

// A counted string over the first `units` WCHARs of s (no terminator implied).
UNICODE_STRING Slice(const WCHAR* s, USHORT units) {
    UNICODE_STRING u;
    u.Buffer = const_cast<PWSTR>(s);
    u.Length = static_cast<USHORT>(units * sizeof(WCHAR));
    u.MaximumLength = u.Length;
    return u;
}

// ---------------------------------------------------------------- C library

TEST(WcsRoutines, LengthsStopAtTerminatorOrLimit) {
    EXPECT_EQ(wcslen(u""), 0u);
    EXPECT_EQ(wcslen(u"kx4grd"), 6u);
    EXPECT_EQ(wcslen(u"a\xD83D\xDE00"), 3u) << "counts UTF-16 units";
    EXPECT_EQ(wcsnlen(u"kx4grd", 3), 3u);
    EXPECT_EQ(wcsnlen(u"kx", 10), 2u);
    WCHAR unterminated[4] = {u'a', u'b', u'c', u'd'};
    EXPECT_EQ(wcsnlen(unterminated, 4), 4u);  // must not read past the limit
    EXPECT_EQ(wcsnlen(static_cast<const WCHAR*>(nullptr), 0), 0u);
}

TEST(WcsRoutines, CompareIsUnsignedPerUnit) {
    EXPECT_EQ(wcscmp(u"abc", u"abc"), 0);
    EXPECT_LT(wcscmp(u"abc", u"abd"), 0);
    EXPECT_GT(wcscmp(u"abcd", u"abc"), 0);
    EXPECT_LT(wcscmp(u"ab", u"abc"), 0);
    // WCHAR is unsigned: U+FFFF sorts after ASCII.
    EXPECT_GT(wcscmp(u"\xFFFF", u"a"), 0);
    EXPECT_EQ(wcsncmp(u"abcX", u"abcY", 3), 0);
    EXPECT_LT(wcsncmp(u"abcX", u"abcY", 4), 0);
    EXPECT_EQ(wcsncmp(u"ab", u"ab", 10), 0) << "stops at the terminator";
    EXPECT_EQ(wcsncmp(u"x", u"y", 0), 0);
}

TEST(WcsRoutines, CaseInsensitiveCompareFoldsAsciiToLower) {
    EXPECT_EQ(_wcsicmp(u"NotePad.EXE", u"notepad.exe"), 0);
    EXPECT_NE(_wcsicmp(u"notepad.exe", u"notepad.ex"), 0);
    // Folding to lower case puts '_' (0x5F) before letters: "_" < "A".
    EXPECT_LT(_wcsicmp(u"_", u"A"), 0);
    EXPECT_GT(_wcsicmp(u"b", u"A"), 0);
    EXPECT_EQ(_wcsnicmp(u"SYSTEM32\\drivers", u"system32\\DRIVERS", 8), 0);
    EXPECT_EQ(_wcsnicmp(u"SYSTEM32x", u"system32y", 8), 0);
    EXPECT_NE(_wcsnicmp(u"SYSTEM32x", u"system32y", 9), 0);
    EXPECT_EQ(_wcsnicmp(u"ab", u"AB", 5), 0);
}

TEST(WcsRoutines, SearchFunctions) {
    const WCHAR* path = u"\\Device\\HarddiskVolume2\\Windows\\notepad.exe";
    EXPECT_EQ(wcsstr(path, u"Windows"), path + 24);
    EXPECT_EQ(wcsstr(path, u"windows"), nullptr) << "case-sensitive";
    EXPECT_EQ(wcsstr(path, u""), path);
    const WCHAR* overlapping = u"aaab";
    EXPECT_EQ(wcsstr(overlapping, u"aab"), overlapping + 1);
    EXPECT_EQ(wcsstr(u"ab", u"abc"), nullptr);

    EXPECT_EQ(wcsrchr(path, u'\\'), path + 31);
    EXPECT_EQ(wcschr(path, u'\\'), path);
    EXPECT_EQ(wcschr(path, u'H'), path + 8);
    EXPECT_EQ(wcschr(path, u'Z'), nullptr);
    EXPECT_EQ(wcsrchr(path, u'Z'), nullptr);
    // The terminator belongs to the string.
    EXPECT_EQ(wcschr(path, 0), path + wcslen(path));
    EXPECT_EQ(wcsrchr(path, 0), path + wcslen(path));

    // The non-const overloads return writable pointers into the same string.
    WCHAR buf[] = u"C:\\dir\\file.txt";
    WCHAR* dot = wcsrchr(buf, u'.');
    ASSERT_NE(dot, nullptr);
    *dot = 0;
    EXPECT_EQ(std::u16string(buf), u"C:\\dir\\file");
    WCHAR* sep = wcschr(buf, u'\\');
    ASSERT_EQ(sep, buf + 2);
    WCHAR* sub = wcsstr(buf, u"dir");
    EXPECT_EQ(sub, buf + 3);
}

TEST(WcsRoutines, NcpyPadsWithZerosAndDoesNotTerminateWhenFull) {
    WCHAR buf[6];
    for (auto& c : buf)
        c = u'#';
    wcsncpy(buf, u"ab", 5);
    EXPECT_EQ(buf[0], u'a');
    EXPECT_EQ(buf[1], u'b');
    for (int i = 2; i < 5; ++i)
        EXPECT_EQ(buf[i], 0) << i;
    EXPECT_EQ(buf[5], u'#') << "wrote past n";

    for (auto& c : buf)
        c = u'#';
    wcsncpy(buf, u"abcdefgh", 4);
    EXPECT_EQ(std::u16string(buf, 4), u"abcd");
    EXPECT_EQ(buf[4], u'#') << "no terminator when the source is too long";
}

TEST(WcsRoutines, NullStringFaultsAsAnAccessViolation) {
    // What a kernel __try/__except around the call would catch on Windows.
    NTSTATUS status = STATUS_SUCCESS;
    KX_TRY { (void)wcslen(static_cast<const WCHAR*>(nullptr)); }
    KX_EXCEPT { status = KX_EXCEPTION_CODE(); }
    EXPECT_EQ(status, STATUS_ACCESS_VIOLATION);

    status = STATUS_SUCCESS;
    UNICODE_STRING s = Counted(u"x");
    KX_TRY { (void)RtlEqualUnicodeString(&s, nullptr, TRUE); }
    KX_EXCEPT { status = KX_EXCEPTION_CODE(); }
    EXPECT_EQ(status, STATUS_ACCESS_VIOLATION);
}

// ---------------------------------------------------------------- Rtl strings

TEST(RtlUnicodeString, InitCountsBytesWithoutTerminator) {
    const WCHAR* text = u"\\Registry\\Machine";
    UNICODE_STRING u = Counted(text);
    EXPECT_EQ(u.Length, 17 * sizeof(WCHAR));
    EXPECT_EQ(u.MaximumLength, 18 * sizeof(WCHAR));
    EXPECT_EQ(u.Buffer, text);

    UNICODE_STRING empty = Counted(u"");
    EXPECT_EQ(empty.Length, 0);
    EXPECT_EQ(empty.MaximumLength, 2);

    UNICODE_STRING null;
    null.Length = 5;
    null.MaximumLength = 5;
    null.Buffer = u.Buffer;
    RtlInitUnicodeString(&null, nullptr);
    EXPECT_EQ(null.Length, 0);
    EXPECT_EQ(null.MaximumLength, 0);
    EXPECT_EQ(null.Buffer, nullptr);
}

TEST(RtlUnicodeString, InitCapsOverlongSources) {
    std::u16string huge(40000, u'x');
    UNICODE_STRING u = Counted(huge.c_str());
    EXPECT_EQ(u.Length, 0xFFFC);
    EXPECT_EQ(u.MaximumLength, 0xFFFE);
}

TEST(RtlUnicodeString, CopyTruncatesToDestinationAndTerminatesWhenRoom) {
    UNICODE_STRING src = Counted(u"abcdef");
    WCHAR buf[8];
    for (auto& c : buf)
        c = u'#';

    UNICODE_STRING dst{0, sizeof(buf), buf};
    RtlCopyUnicodeString(&dst, &src);
    EXPECT_EQ(dst.Length, 12);
    EXPECT_EQ(std::u16string(buf, 6), u"abcdef");
    EXPECT_EQ(buf[6], 0) << "terminated when a WCHAR fits";
    EXPECT_EQ(buf[7], u'#');

    for (auto& c : buf)
        c = u'#';
    UNICODE_STRING small{0, 4 * sizeof(WCHAR), buf};
    RtlCopyUnicodeString(&small, &src);
    EXPECT_EQ(small.Length, 8) << "copies only MaximumLength bytes";
    EXPECT_EQ(std::u16string(buf, 4), u"abcd");
    EXPECT_EQ(buf[4], u'#') << "no terminator written past MaximumLength";

    // Source Length governs, not a terminator inside the buffer.
    UNICODE_STRING part = Slice(u"xyz", 2);
    RtlCopyUnicodeString(&dst, &part);
    EXPECT_EQ(dst.Length, 4);
    EXPECT_EQ(std::u16string(buf, 3), (std::u16string{u'x', u'y', 0}));

    RtlCopyUnicodeString(&dst, nullptr);
    EXPECT_EQ(dst.Length, 0);
}

TEST(RtlUnicodeString, CompareOrdersByUnitsThenLength) {
    UNICODE_STRING a = Counted(u"abc");
    UNICODE_STRING b = Counted(u"abd");
    UNICODE_STRING ab = Counted(u"ab");
    UNICODE_STRING upper = Counted(u"ABC");
    EXPECT_EQ(RtlCompareUnicodeString(&a, &a, FALSE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&b, &a, FALSE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&ab, &a, FALSE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&a, &ab, FALSE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&a, &upper, FALSE), 0);
    EXPECT_EQ(RtlCompareUnicodeString(&a, &upper, TRUE), 0);
    // Case-insensitive comparison folds to upper case: '_' (0x5F) sorts after 'A'.
    UNICODE_STRING underscore = Counted(u"_");
    UNICODE_STRING lowerA = Counted(u"a");
    EXPECT_GT(RtlCompareUnicodeString(&underscore, &lowerA, TRUE), 0);
    // Only Length counts, not what lies beyond it.
    UNICODE_STRING slice = Slice(u"abcZZZ", 3);
    EXPECT_EQ(RtlCompareUnicodeString(&slice, &a, FALSE), 0);
}

TEST(RtlUnicodeString, EqualAndPrefix) {
    UNICODE_STRING name = Counted(u"\\Device\\HarddiskVolume2\\Temp\\a.txt");
    UNICODE_STRING same = Counted(u"\\device\\harddiskvolume2\\temp\\A.TXT");
    UNICODE_STRING prefix = Counted(u"\\DEVICE\\HarddiskVolume2\\");
    UNICODE_STRING longer = Counted(u"\\Device\\HarddiskVolume2\\Temp\\a.txt2");
    EXPECT_FALSE(RtlEqualUnicodeString(&name, &same, FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(&name, &same, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&name, &longer, TRUE));
    EXPECT_TRUE(RtlPrefixUnicodeString(&prefix, &name, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&prefix, &name, FALSE));
    EXPECT_TRUE(RtlPrefixUnicodeString(&name, &name, FALSE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&longer, &name, TRUE)) << "a prefix cannot be longer";
    UNICODE_STRING empty = Counted(u"");
    EXPECT_TRUE(RtlPrefixUnicodeString(&empty, &name, FALSE));
    UNICODE_STRING e1 = Counted(u"\u00E9t\u00E9");
    UNICODE_STRING e2 = Counted(u"\u00C9T\u00C9");
    EXPECT_TRUE(RtlEqualUnicodeString(&e1, &e2, TRUE));
}

// ---------------------------------------------------------------- case mapping

TEST(CaseMapping, KnownPairs) {
    struct Pair {
        WCHAR lower, upper;
    } pairs[] = {
        {u'a', u'A'},         {u'z', u'Z'},         {0x00E9, 0x00C9},  // e acute
        {0x00FE, 0x00DE},     {0x00FF, 0x0178},     {0x0101, 0x0100},  // y diaeresis; a macron
        {0x017E, 0x017D},     {0x03B1, 0x0391},     {0x03C9, 0x03A9},  // z caron; alpha; omega
        {0x044F, 0x042F},     {0x0451, 0x0401},     {0x0561, 0x0531},  // ya; yo; Armenian ayb
        {0x1E01, 0x1E00},     {0xFF41, 0xFF21},     {0x24D0, 0x24B6},  // fullwidth a; circled a
    };
    for (const Pair& p : pairs) {
        EXPECT_EQ(RtlUpcaseUnicodeChar(p.lower), p.upper) << std::hex << unsigned(p.lower);
        EXPECT_EQ(RtlDowncaseUnicodeChar(p.upper), p.lower) << std::hex << unsigned(p.upper);
        EXPECT_EQ(RtlUpcaseUnicodeChar(p.upper), p.upper);
        EXPECT_EQ(RtlDowncaseUnicodeChar(p.lower), p.lower);
    }
}

TEST(CaseMapping, CharactersWithoutSimpleMappingStay) {
    for (WCHAR c : {u'0', u'_', u'\\', u'@', u'[', u'{', WCHAR(0x00DF) /* sharp s */, WCHAR(0x00D7),
                    WCHAR(0x00F7), WCHAR(0x4E2D), WCHAR(0xD800), WCHAR(0xFFFF)}) {
        EXPECT_EQ(RtlUpcaseUnicodeChar(c), c) << std::hex << unsigned(c);
        EXPECT_EQ(RtlDowncaseUnicodeChar(c), c) << std::hex << unsigned(c);
    }
}

TEST(CaseMapping, NoForeignLetterFoldsIntoAscii) {
    // Dotless i, long s, dotted capital I, Kelvin sign: Windows keeps these apart
    // from ASCII, so "SYSTEM" never equals a look-alike name.
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x0131), 0x0131);
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x017F), 0x017F);
    EXPECT_EQ(RtlDowncaseUnicodeChar(0x0130), 0x0130);
    EXPECT_EQ(RtlDowncaseUnicodeChar(0x212A), 0x212A);
    for (unsigned c = 0x80; c <= 0xFFFF; ++c) {
        ASSERT_GE(RtlUpcaseUnicodeChar(static_cast<WCHAR>(c)), 0x80) << std::hex << unsigned(c);
        ASSERT_GE(RtlDowncaseUnicodeChar(static_cast<WCHAR>(c)), 0x80) << std::hex << unsigned(c);
    }
}

TEST(CaseMapping, MappingIsIdempotentAndAsciiOnlyChangesLetters) {
    for (unsigned c = 0; c <= 0xFFFF; ++c) {
        WCHAR w = static_cast<WCHAR>(c);
        WCHAR up = RtlUpcaseUnicodeChar(w);
        WCHAR down = RtlDowncaseUnicodeChar(w);
        ASSERT_EQ(RtlUpcaseUnicodeChar(up), up) << std::hex << unsigned(c);
        ASSERT_EQ(RtlDowncaseUnicodeChar(down), down) << std::hex << unsigned(c);
        if (c < 0x80) {
            bool lower = c >= 'a' && c <= 'z';
            bool upper = c >= 'A' && c <= 'Z';
            ASSERT_EQ(up, lower ? c - 32 : c);
            ASSERT_EQ(down, upper ? c + 32 : c);
        }
    }
}

TEST(CaseMapping, UpperCharUsesWindows1252) {
    EXPECT_EQ(RtlUpperChar('a'), 'A');
    EXPECT_EQ(RtlUpperChar('Z'), 'Z');
    EXPECT_EQ(RtlUpperChar('5'), '5');
    EXPECT_EQ(static_cast<unsigned char>(RtlUpperChar(static_cast<CHAR>(0xE9))), 0xC9);
    EXPECT_EQ(static_cast<unsigned char>(RtlUpperChar(static_cast<CHAR>(0xF7))), 0xF7);
    EXPECT_EQ(static_cast<unsigned char>(RtlUpperChar(static_cast<CHAR>(0xFF))), 0x9F);
    EXPECT_EQ(static_cast<unsigned char>(RtlUpperChar(static_cast<CHAR>(0x9A))), 0x8A);
    EXPECT_EQ(static_cast<unsigned char>(RtlUpperChar(static_cast<CHAR>(0xDF))), 0xDF);
}

TEST(CaseMapping, EqualsNoCaseUsesUpcaseTable) {
    EXPECT_TRUE(EqualsNoCase(u"\\BaseNamedObjects\\Kx4Evt", u"\\basenamedobjects\\KX4EVT"));
    EXPECT_TRUE(EqualsNoCase(u"\u00E9\u0444", u"\u00C9\u0424"));
    EXPECT_FALSE(EqualsNoCase(u"abc", u"abcd"));
    EXPECT_FALSE(EqualsNoCase(u"abc", u"abd"));
    EXPECT_FALSE(EqualsNoCase(u"\u0131", u"I"));
    EXPECT_TRUE(EqualsNoCase(u"", u""));
}

TEST(RtlCompareMemoryTest, CountsLeadingMatchingBytes) {
    const unsigned char a[] = {1, 2, 3, 4, 5};
    const unsigned char b[] = {1, 2, 3, 9, 5};
    EXPECT_EQ(RtlCompareMemory(a, a, sizeof(a)), sizeof(a));
    EXPECT_EQ(RtlCompareMemory(a, b, sizeof(a)), 3u);
    EXPECT_EQ(RtlCompareMemory(a, b, 2), 2u);
    EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

// ---------------------------------------------------------------- conversions

TEST(Utf, WideToUtf8HandlesSurrogates) {
    EXPECT_EQ(ToUtf8(u"plain"), "plain");
    EXPECT_EQ(ToUtf8(u"\u00E9\u20AC"), "\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(ToUtf8(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
    // Unpaired halves become U+FFFD.
    EXPECT_EQ(ToUtf8(std::u16string{0xD83D, u'x'}), "\xEF\xBF\xBDx");
    EXPECT_EQ(ToUtf8(std::u16string{0xDE00}), "\xEF\xBF\xBD");
    EXPECT_EQ(ToUtf8(std::u16string{0xDE00, 0xD83D}), "\xEF\xBF\xBD\xEF\xBF\xBD");
    // The counted overload converts exactly the units given, NULs included.
    const WCHAR text[] = {u'a', 0, u'b', 0xD83D, 0xDE00};
    EXPECT_EQ(ToUtf8(text, 3), std::string("a\0b", 3));
    EXPECT_EQ(ToUtf8(text, 4), std::string("a\0b\xEF\xBF\xBD", 6)) << "a pair cut by the count";
}

TEST(Utf, Utf8ToWideFallsBackToLatin1) {
    EXPECT_EQ(FromUtf8("plain"), u"plain");
    EXPECT_EQ(FromUtf8("\xC3\xA9\xE2\x82\xAC"), u"\u00E9\u20AC");
    EXPECT_EQ(FromUtf8("\xF0\x9F\x98\x80"), u"\xD83D\xDE00");
    EXPECT_EQ(FromUtf8(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
    // Bytes that are not well-formed UTF-8 are Latin-1 characters.
    EXPECT_EQ(FromUtf8("caf\xE9"), u"caf\u00E9");
    EXPECT_EQ(FromUtf8("\xC0\xAF"), u"\u00C0\u00AF") << "overlong form";
    EXPECT_EQ(FromUtf8("\xED\xA0\x80"), u"\u00ED\u00A0\u0080") << "encoded surrogate";
    EXPECT_EQ(FromUtf8("\xE2\x82"), u"\u00E2\u0082") << "truncated sequence";
    EXPECT_EQ(FromUtf8("\xF4\x90\x80\x80"), u"\u00F4\u0090\u0080\u0080") << "above U+10FFFF";
    EXPECT_EQ(FromUtf8("\xE2\x82x"), u"\u00E2\u0082x");
}

TEST(Utf, RoundTripOfEveryBmpCharacterAndAPair) {
    std::u16string all;
    for (unsigned c = 1; c <= 0xFFFF; ++c)
        if (c < 0xD800 || c > 0xDFFF)
            all.push_back(static_cast<char16_t>(c));
    all += u"\xD800\xDC00\xDBFF\xDFFF";
    EXPECT_EQ(FromUtf8(ToUtf8(all)), all);
}

}  // namespace
