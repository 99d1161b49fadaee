// The verifier's IRQL rules for paged code and for wide-text formatting:
// PAGED_CODE() above APC_LEVEL, and DbgPrintEx / the string-safe printf routines
// formatting wide-character text above PASSIVE_LEVEL.
#include "core_fixture.h"

namespace {

using coretest::CoreTest;

// A routine that may be paged out, as a driver marks it.
int PagedRoutine(int x) {
    PAGED_CODE();
    return x + 1;
}

// Runs fn at irql, restoring the previous IRQL afterwards.
template <class Fn>
void AtIrql(KIRQL irql, Fn fn) {
    KIRQL old;
    KeRaiseIrql(irql, &old);
    fn();
    KeLowerIrql(old);
}

class PagedCodeTest : public CoreTest {};

TEST_F(PagedCodeTest, AllowedAtPassiveAndApcLevel) {
    EXPECT_EQ(PagedRoutine(1), 2);
    AtIrql(APC_LEVEL, [] { EXPECT_EQ(PagedRoutine(2), 3); });
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(PagedCodeTest, ReportedAtDispatchLevelWithTheRoutineAndIrql) {
    AtIrql(DISPATCH_LEVEL, [] { EXPECT_EQ(PagedRoutine(3), 4); });  // reported, not fatal
    auto report = M().Verifier();
    ASSERT_EQ(report.violations.size(), 1u) << report.ToString();
    const std::string& v = report.violations[0];
    EXPECT_NE(v.find("PAGED_CODE"), std::string::npos) << v;
    EXPECT_NE(v.find("PagedRoutine"), std::string::npos) << v;
    EXPECT_NE(v.find("DISPATCH_LEVEL"), std::string::npos) << v;
}

TEST_F(PagedCodeTest, ReportedUnderASpinLock) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    PagedRoutine(0);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(ViolationsWith("PAGED_CODE"), 1u) << M().Verifier().ToString();
    M().ClearVerifier();
    PagedRoutine(0);  // back at passive level: nothing more
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(PagedCodeTest, AssertionsAreReportedWithTheirText) {
    int value = 2;
    NT_ASSERT(value == 2);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
    NT_ASSERT(value == 3);
    EXPECT_EQ(ViolationsWith("value == 3"), 1u) << M().Verifier().ToString();
}

class WideFormatTest : public CoreTest {};

const WCHAR kWide[] = u"wide";

// Every spelling of a wide-character conversion in a narrow format.
TEST_F(WideFormatTest, DbgPrintExWideConversionsAbovePassiveAreReported) {
    UNICODE_STRING counted;
    RtlInitUnicodeString(&counted, kWide);
    AtIrql(DISPATCH_LEVEL, [&] {
        DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0, "%S\n", kWide);
        DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0, "%ws\n", kWide);
        DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0, "%ls\n", kWide);
        DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0, "%wZ\n", &counted);
        DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0, "%C\n", (int)u'w');
        DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0, "%wc\n", (int)u'w');
        DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0, "%lc\n", (int)u'w');
    });
    auto report = M().Verifier();
    ASSERT_EQ(report.violations.size(), 7u) << report.ToString();
    const char* spellings[] = {"%S", "%ws", "%ls", "%wZ", "%C", "%wc", "%lc"};
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_NE(report.violations[i].find("DbgPrintEx"), std::string::npos) << report.violations[i];
        EXPECT_NE(report.violations[i].find(std::string("\"") + spellings[i] + "\""), std::string::npos)
            << report.violations[i];
        EXPECT_NE(report.violations[i].find("DISPATCH_LEVEL"), std::string::npos) << report.violations[i];
    }
    // The text is still formatted: the report does not lose the line.
    EXPECT_EQ(M().DebugCount("wide"), 4u);
}

TEST_F(WideFormatTest, NarrowAndNumericConversionsAbovePassiveAreFine) {
    AtIrql(DISPATCH_LEVEL, [] {
        DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0, "%s:%s: %d %x %p %hs %c\n", "kx", "fn", 1, 2u, (void*)nullptr, "n",
                   'c');
        DbgPrint("%s %lu %I64x\n", "narrow", 5ul, 6ull);
        CHAR buffer[64];
        EXPECT_EQ(RtlStringCbPrintfA(buffer, sizeof buffer, "%s %d", "narrow", 7), STATUS_SUCCESS);
    });
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(WideFormatTest, WideConversionsAtPassiveLevelAreFine) {
    UNICODE_STRING counted;
    RtlInitUnicodeString(&counted, kWide);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0, "%S %ws %ls %wZ %C %wc %lc\n", kWide, kWide, kWide, &counted, (int)u'a',
               (int)u'b', (int)u'c');
    WCHAR out[64];
    EXPECT_EQ(RtlStringCbPrintfW(out, sizeof out, u"%ws %S", kWide, "narrow"), STATUS_SUCCESS);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(WideFormatTest, StringSafePrintfRoutinesAreCheckedToo) {
    WCHAR out[64];
    CHAR narrow[64];
    AtIrql(APC_LEVEL, [&] {
        EXPECT_EQ(RtlStringCbPrintfW(out, sizeof out, u"%ws", kWide), STATUS_SUCCESS);
        EXPECT_EQ(RtlStringCchPrintfW(out, KX_COUNTOF(out), u"%S", "narrow"), STATUS_SUCCESS);
        EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof narrow, "%ls", kWide), STATUS_SUCCESS);
        // In a wide format a plain %s is the format's own width: nothing to convert.
        EXPECT_EQ(RtlStringCbPrintfW(out, sizeof out, u"%s %d", kWide, 1), STATUS_SUCCESS);
    });
    EXPECT_EQ(std::u16string(out), u"wide 1");
    EXPECT_EQ(ViolationsWith("RtlStringCbPrintfW formats wide text (\"%ws\") at IRQL APC_LEVEL"), 1u)
        << M().Verifier().ToString();
    EXPECT_EQ(ViolationsWith("RtlStringCchPrintfW formats wide text (\"%S\")"), 1u) << M().Verifier().ToString();
    EXPECT_EQ(ViolationsWith("RtlStringCbPrintfA formats wide text (\"%ls\")"), 1u) << M().Verifier().ToString();
    EXPECT_EQ(M().Verifier().violations.size(), 3u) << M().Verifier().ToString();
}

TEST_F(WideFormatTest, OneReportPerCallNamingTheFirstWideConversion) {
    AtIrql(DISPATCH_LEVEL, [] { DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0, "%d %-8ws %S\n", 1, kWide, kWide); });
    auto report = M().Verifier();
    ASSERT_EQ(report.violations.size(), 1u) << report.ToString();
    EXPECT_NE(report.violations[0].find("\"%-8ws\""), std::string::npos) << report.violations[0];
}

}  // namespace
