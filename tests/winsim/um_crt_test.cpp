// Code page 1252 conversions and the wide secure CRT with MSVC's semantics.
#include <cstring>

#include "tests/winsim/um_fixture.h"

using umtest::UmTest;

TEST_F(UmTest, WideToAnsiMapsWhat1252CannotHoldToTheDefaultCharacter) {
    // e-acute and the euro sign exist in 1252; A-macron and a surrogate pair do not.
    const WCHAR text[] = {u'a', 0x00E9, 0x20AC, 0x0100, 0xD83D, 0xDE00, u'z', 0};
    char out[16];
    BOOL used = FALSE;
    int n = WideCharToMultiByte(CP_ACP, 0, text, -1, out, sizeof out, nullptr, &used);
    ASSERT_EQ(n, 7);
    EXPECT_EQ(std::string(out), std::string("a\xE9\x80??z"));
    EXPECT_TRUE(used);
    // The required size, a caller's default character, and a buffer too small.
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr), 7);
    const char star = '*';
    n = WideCharToMultiByte(CP_ACP, 0, text, 4, out, sizeof out, &star, &used);
    EXPECT_EQ(std::string(out, static_cast<size_t>(n)), std::string("a\xE9\x80*"));
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, out, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    const WCHAR plain[] = u"plain";
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, plain, -1, out, sizeof out, nullptr, &used), 6);
    EXPECT_FALSE(used);
    // CP_UTF8 refuses a default character.
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, plain, -1, out, sizeof out, &star, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    WCHAR wide[8];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "\x80\x81\xE9", 3, wide, 8), 3);
    EXPECT_EQ(wide[0], 0x20AC);
    EXPECT_EQ(wide[1], 0x0081);  // undefined in 1252: the C1 control of the same value
    EXPECT_EQ(wide[2], 0x00E9);
    EXPECT_EQ(GetACP(), 1252u);
}

TEST_F(UmTest, WideFormattingFollowsMsvcRules) {
    WCHAR buf[16];
    EXPECT_EQ(swprintf_s(buf, WSTR("%s-%S-%d"), WSTR("w"), "n", 7), 5);
    EXPECT_EQ(std::u16string(buf), u"w-n-7");
    EXPECT_EQ(_snwprintf_s(buf, _countof(buf), _TRUNCATE, WSTR("%s"), WSTR("0123456789abcdefghij")), -1);
    EXPECT_EQ(std::u16string(buf), u"0123456789abcde");
    EXPECT_EQ(_snwprintf_s(buf, _countof(buf), 4, WSTR("%d"), 123456), -1);
    EXPECT_EQ(std::u16string(buf), u"1234");
    EXPECT_EQ(_snwprintf_s(buf, _TRUNCATE, WSTR("%s"), WSTR("(null)")), 6);
    EXPECT_TRUE(M().Verifier().Clean());

    // What MSVC's runtime treats as fatal is empty output and a violation here.
    EXPECT_EQ(swprintf_s(buf, WSTR("%s"), WSTR("0123456789abcdefghij")), -1);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(ViolationsWith("swprintf_s: destination of 16 characters too small for 21"), 1u);
}

TEST_F(UmTest, SecureCopiesCutOnlyWhenAskedAndReportOverflows) {
    WCHAR small[4];
    EXPECT_EQ(wcsncpy_s(small, WSTR("abcdef"), _TRUNCATE), STRUNCATE);
    EXPECT_EQ(std::u16string(small), u"abc");
    EXPECT_EQ(wcsncpy_s(small, WSTR("abcdef"), 2), 0);
    EXPECT_EQ(std::u16string(small), u"ab");
    EXPECT_EQ(wcscat_s(small, WSTR("c")), 0);
    EXPECT_EQ(std::u16string(small), u"abc");
    EXPECT_TRUE(M().Verifier().Clean());
    EXPECT_EQ(wcscat_s(small, WSTR("d")), ERANGE);
    EXPECT_EQ(small[0], 0);
    EXPECT_EQ(wcscpy_s(small, WSTR("abcd")), ERANGE);
    EXPECT_EQ(wcscpy_s(small, nullptr), EINVAL);
    EXPECT_EQ(ViolationsWith("wcscat_s"), 1u);
    EXPECT_EQ(ViolationsWith("wcscpy_s"), 2u);

    char narrow[8];
    EXPECT_EQ(sprintf_s(narrow, "%s%d", "ab", 12), 4);
    EXPECT_EQ(std::string(narrow), "ab12");
    EXPECT_EQ(strcpy_s(narrow, "0123456"), 0);
    WCHAR* end = nullptr;
    EXPECT_EQ(wcstol(WSTR("  -42x"), &end, 10), -42);
    EXPECT_EQ(*end, u'x');
}
