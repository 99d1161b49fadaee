// The reporter's lines, formatted from raw record bytes with stand-in time and
// path conversions (no machine needed).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ctrl/reporter_format.h"

namespace {

// A record as the driver writes it, built at the wire offsets.
struct RawRecord {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(KX_EVENT_RECORD_SIZE, 0);
    RawRecord& Put32(size_t offset, uint32_t v) {
        std::memcpy(&bytes[offset], &v, 4);
        return *this;
    }
    RawRecord& Time(uint64_t t) {
        std::memcpy(&bytes[0], &t, 8);
        return *this;
    }
    RawRecord& Pid(uint32_t v) { return Put32(8, v); }
    RawRecord& Code(uint32_t v) { return Put32(12, v); }
    RawRecord& A0(uint32_t v) { return Put32(16, v); }
    RawRecord& A1(uint32_t v) { return Put32(20, v); }
    RawRecord& Wide(size_t offset, size_t fieldBytes, const std::u16string& text) {
        EXPECT_LE(text.size() * 2, fieldBytes);
        std::fill(bytes.begin() + static_cast<long>(offset), bytes.begin() + static_cast<long>(offset + fieldBytes), 0);
        std::memcpy(&bytes[offset], text.data(), text.size() * 2);
        return *this;
    }
    RawRecord& Name(const std::u16string& t) { return Wide(28, 200, t); }
    RawRecord& Path(const std::u16string& t) { return Wide(228, 1024, t); }
    RawRecord& Extra(const std::u16string& t) { return Wide(1252, 1024, t); }
};

constexpr uint64_t kSomeTime = 133540000000000000ull;

// C: is \Device\HarddiskVolume3; \Device\Mup paths have a UNC form; the clock says
// 2024-03-07 09:05:00 unless told to fail (then it scribbles before failing, as a
// conversion that stops half-way may).
class FakeSystem : public ReporterSystem {
public:
    bool timeFails = false;
    mutable std::vector<std::u16string> driveQueries;

    bool LocalCalendar(ULONGLONG fileTime, ReporterCalendar* c) const override {
        EXPECT_EQ(fileTime, kSomeTime);
        if (timeFails) {
            c->year = 7777;
            c->second = 99;
            return false;
        }
        *c = ReporterCalendar{2024, 3, 7, 9, 5, 0};
        return true;
    }
    bool NtToDrive(const WCHAR* ntPath, WCHAR* out, size_t outChars) const override {
        const std::u16string nt(ntPath);
        driveQueries.push_back(nt);
        const std::u16string prefix = u"\\Device\\HarddiskVolume3";
        if (nt.compare(0, prefix.size(), prefix) != 0) {
            return false;
        }
        WideTextBuilder(out, outChars).Text(u"C:").Text(ntPath + prefix.size());
        return true;
    }
    void NtToUnc(const WCHAR* ntPath, WCHAR* out, size_t outChars) const override {
        const std::u16string nt(ntPath);
        if (nt.rfind(u"\\Device\\Mup", 0) == 0) {
            WideTextBuilder(out, outChars).Text(u"\\").Text(ntPath + 11);
        } else {
            WideTextBuilder(out, outChars);
        }
    }
};

ReporterLine Format(const RawRecord& record, const FakeSystem& system) {
    ReporterRecordFields fields;
    EXPECT_TRUE(ReadReporterRecord(record.bytes.data(), record.bytes.size(), &fields));
    ReporterLine line;
    FormatReporterLine(fields, system, &line);
    EXPECT_EQ(line.length, std::u16string(line.text).size());
    return line;
}

TEST(ReporterFormat, PolicyLineNamesCodeClassAndStateAndShowsTheDrivePath) {
    FakeSystem system;
    RawRecord r;
    r.Time(kSomeTime).Pid(1234).Code(POLICY).A0(BDC_USB_DISK).A1(READONLY).Name(u"explorer.exe")
        .Path(u"\\Device\\HarddiskVolume3\\a.txt");
    const ReporterLine line = Format(r, system);
    EXPECT_EQ(std::u16string(line.text), u"2024-3-7 : 9:5:0,POLICY(4),BDC_USB_DISK(3),READONLY(2),explorer.exe(1234),C:\\a.txt");
    EXPECT_TRUE(line.diagnostic);

    r.A0(BDC_MTP).A1(DISABLE);
    EXPECT_EQ(std::u16string(Format(r, system).text),
              u"2024-3-7 : 9:5:0,POLICY(4),BDC_MTP(30),DISABLE(1),explorer.exe(1234),C:\\a.txt");
    r.A0(BDC_MAX_DEVICE_TYPE).A1(ENABLE);
    EXPECT_EQ(std::u16string(Format(r, system).text),
              u"2024-3-7 : 9:5:0,POLICY(4),BDC_MAX_DEVICE_TYPE(31),ENABLE(0),explorer.exe(1234),C:\\a.txt");
    // Unknown numbers: class 40 is BDC_UNKNOWN_DEV, state 7 UNKNWON; numbers print signed.
    r.A0(40).A1(7).Pid(0xFFFFFFFFu);
    EXPECT_EQ(std::u16string(Format(r, system).text),
              u"2024-3-7 : 9:5:0,POLICY(4),BDC_UNKNOWN_DEV(40),UNKNWON(7),explorer.exe(-1),C:\\a.txt");
    r.A0(0x80000000u);
    EXPECT_EQ(std::u16string(Format(r, system).text),
              u"2024-3-7 : 9:5:0,POLICY(4),BDC_UNKNOWN_DEV(-2147483648),UNKNWON(7),explorer.exe(-1),C:\\a.txt");
}

TEST(ReporterFormat, ConnectLineHasSpacedSeparatorsDoubledBackslashesAndStaysOutOfTheDiagnosticLog) {
    FakeSystem system;
    RawRecord r;
    r.Time(kSomeTime).Pid(4).Code(CONNECT).A0(8).A1(3).Name(u"System")
        .Path(u"{\"dev\":\"\\Device\\HarddiskVolume3\"}").Extra(u"E:");
    const ReporterLine line = Format(r, system);
    EXPECT_EQ(std::u16string(line.text),
              u"2024-3-7 : 9:5:0, CONNECT(1),8, 3, System, 4, E:, {\"dev\":\"\\\\Device\\\\HarddiskVolume3\"}");
    EXPECT_FALSE(line.diagnostic);
    EXPECT_TRUE(system.driveQueries.empty()) << "a connect path is escaped, not converted";
}

TEST(ReporterFormat, OtherCodesUseTheShortLineWithTheirNames) {
    FakeSystem system;
    RawRecord r;
    r.Time(kSomeTime).Pid(1000).Code(LOG_PROCESS).A0(1).A1(0).Name(u"cmd.exe").Path(u"\\Device\\HarddiskVolume3\\x.exe");
    EXPECT_EQ(std::u16string(Format(r, system).text), u"2024-3-7 : 9:5:0,LOG_PROCESS,1,0,cmd.exe(1000),C:\\x.exe");
    r.Code(PROCESS_PROTECT_EVENT).A0(1200).A1(1300).Name(u"");
    EXPECT_EQ(std::u16string(Format(r, system).text), u"2024-3-7 : 9:5:0,UNKNWON,1200,1300,(1000),C:\\x.exe");
    r.Code(DISCONNECT);
    const ReporterLine line = Format(r, system);
    EXPECT_EQ(std::u16string(line.text), u"2024-3-7 : 9:5:0,DISCONNECT,1200,1300,(1000),C:\\x.exe");
    EXPECT_TRUE(line.diagnostic);
}

TEST(ReporterFormat, DisplayPathFallsBackToUncFormThenToThePathItself) {
    FakeSystem system;
    RawRecord r;
    r.Time(kSomeTime).Pid(8).Code(POLICY).A0(BDC_NETWORKDRIVEOUT).A1(DISABLE).Name(u"a.exe")
        .Path(u"\\Device\\Mup\\server\\share\\f.txt");
    EXPECT_EQ(std::u16string(Format(r, system).text),
              u"2024-3-7 : 9:5:0,POLICY(4),BDC_NETWORKDRIVEOUT(5),DISABLE(1),a.exe(8),\\\\server\\share\\f.txt");
    r.Path(u"\\Device\\CdRom0\\x.txt");
    EXPECT_EQ(std::u16string(Format(r, system).text),
              u"2024-3-7 : 9:5:0,POLICY(4),BDC_NETWORKDRIVEOUT(5),DISABLE(1),a.exe(8),\\Device\\CdRom0\\x.txt");
}

TEST(ReporterFormat, AFailedTimeConversionPrintsZerosNotWhatTheConversionLeft) {
    FakeSystem system;
    system.timeFails = true;
    RawRecord r;
    r.Time(kSomeTime).Pid(1).Code(LOG_PROCESS).Name(u"n").Path(u"p");
    EXPECT_EQ(std::u16string(Format(r, system).text), u"0-0-0 : 0:0:0,LOG_PROCESS,0,0,n(1),p");
}

TEST(ReporterFormat, TextFieldsAreReadOnlyInsideTheirFields) {
    FakeSystem system;
    RawRecord r;
    r.Time(kSomeTime).Pid(1).Code(LOG_PROCESS);
    // Name, path and extra filled to their last byte with no terminator.
    std::fill(r.bytes.begin() + 28, r.bytes.begin() + 2276, 0);
    for (size_t i = 0; i < 100; ++i) r.bytes[28 + 2 * i] = 'n';
    for (size_t i = 0; i < 512; ++i) r.bytes[228 + 2 * i] = 'p';
    for (size_t i = 0; i < 512; ++i) r.bytes[1252 + 2 * i] = 'x';
    ReporterRecordFields fields;
    ASSERT_TRUE(ReadReporterRecord(r.bytes.data(), r.bytes.size(), &fields));
    EXPECT_EQ(std::u16string(fields.name), std::u16string(99, u'n'));
    EXPECT_EQ(std::u16string(fields.path), std::u16string(511, u'p'));
    EXPECT_EQ(std::u16string(fields.extra), std::u16string(511, u'x'));
    EXPECT_EQ(std::u16string(Format(r, system).text),
              u"2024-3-7 : 9:5:0,LOG_PROCESS,0,0," + std::u16string(99, u'n') + u"(1)," + std::u16string(511, u'p'));
}

TEST(ReporterFormat, AConnectPathOfBackslashesOnlyIsDoubledWhole) {
    FakeSystem system;
    RawRecord r;
    r.Time(kSomeTime).Code(CONNECT).Path(std::u16string(511, u'\\')).Extra(std::u16string(511, u'e'));
    const std::u16string line = Format(r, system).text;
    const std::u16string tail = u", " + std::u16string(1022, u'\\');
    ASSERT_GE(line.size(), tail.size());
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
    EXPECT_EQ(line, u"2024-3-7 : 9:5:0, CONNECT(1),0, 0, , 0, " + std::u16string(511, u'e') + tail);
}

TEST(ReporterFormat, RepliesAreReadOnlyAsFarAsTheirBytesHoldWholeRecords) {
    std::vector<uint8_t> reply(KX_GET_LOG_HEADER_SIZE + 3 * KX_EVENT_RECORD_SIZE, 0);
    const uint32_t count = 3;
    std::memcpy(reply.data(), &count, 4);
    EXPECT_EQ(ReporterRecordsInReply(reply.data(), reply.size()), 3u);
    EXPECT_EQ(ReporterRecordsInReply(reply.data(), reply.size() - 1), 2u) << "the third record is cut";
    const uint32_t huge = 0xFFFFFFFFu;
    std::memcpy(reply.data(), &huge, 4);
    EXPECT_EQ(ReporterRecordsInReply(reply.data(), reply.size()), 3u);
    EXPECT_EQ(ReporterRecordsInReply(reply.data(), 7), 0u) << "not even a header";
    EXPECT_EQ(ReporterRecordsInReply(nullptr, 100), 0u);
    const uint32_t none = 0;
    std::memcpy(reply.data(), &none, 4);
    EXPECT_EQ(ReporterRecordsInReply(reply.data(), reply.size()), 0u);

    ReporterRecordFields fields;
    EXPECT_FALSE(ReadReporterRecord(reply.data() + 8, KX_EVENT_RECORD_SIZE - 1, &fields));
    EXPECT_TRUE(ReadReporterRecord(reply.data() + 8, KX_EVENT_RECORD_SIZE, &fields));
}

TEST(ReporterFormat, TextBuilderCutsAtItsCapacityAndAlwaysTerminates) {
    WCHAR buffer[6];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    WideTextBuilder b(buffer, 6);
    b.Ascii("abc").Signed(-42).Text(u"zz");
    EXPECT_EQ(b.Length(), 5u);
    EXPECT_EQ(std::u16string(buffer), u"abc-4");
    WCHAR one[1] = {u'#'};
    WideTextBuilder(one, 1).Text(u"x");
    EXPECT_EQ(one[0], 0);
    WCHAR digits[32];
    WideTextBuilder(digits, 32).Signed(-9223372036854775807ll - 1);
    EXPECT_EQ(std::u16string(digits), u"-9223372036854775808");
}

}  // namespace
