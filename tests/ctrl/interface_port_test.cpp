// CInterface against the test port: connecting, the text limits and cuts, path
// conversion failures, and the diagnostic lines written before sending.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "ctrl/kx4grdctrl.h"
#include "tests/ctrl/interface_fixture.h"

namespace ctrltest {
namespace {

class InterfaceTest : public CtrlTest {
protected:
    int Call(const std::function<int()>& exportCall) {
        int result = -1;
        AsHost([&] { result = exportCall(); });
        return result;
    }
    bool Run(const std::function<bool(CInterface&)>& op) {
        bool result = false;
        AsHost([&] { result = op(*iface_); });
        return result;
    }
    PortMessage OnlyMessage() {
        std::vector<PortMessage> sent = TakePortMessages();
        EXPECT_EQ(sent.size(), 1u);
        return sent.empty() ? PortMessage{} : sent[0];
    }
    std::u16string OnC(const std::u16string& rest) const { return system_.deviceName + rest; }
};

std::u16string Repeat(char16_t c, size_t n) { return std::u16string(n, c); }

// ---- connecting

TEST_F(InterfaceTest, OpenExConnectsSendsClearAndLogsIt) {
    LogCapture log;
    ConnectInterface();  // asserts the single CLEAR
    EXPECT_EQ(PortConnections(), 1u);
    EXPECT_TRUE(log.Contains("CInterface::Clear :: CInterface::Clear(), Success\n")) << log.All();
    EXPECT_EQ(log.Count("OpenEx(), Fail"), 0u);
    // The presence event exists while the interface does, and goes with it.
    EXPECT_TRUE(machine().NamedObjectExists(u"\\BaseNamedObjects\\{A5F2956A-A68E-4404-BCD6-2A7DF47353E8}"));
    DestroyInterface();
    EXPECT_EQ(PortConnections(), 0u);
    EXPECT_FALSE(machine().NamedObjectExists(u"\\BaseNamedObjects\\{A5F2956A-A68E-4404-BCD6-2A7DF47353E8}"));
}

TEST_F(InterfaceTest, OpenExWithoutAPortTriesFiveTimesAboutOneSecondAndLogsSixLines) {
    LogCapture log;
    bool opened = true;
    const uint64_t before = machine().SystemTime();
    AsHost([&] {
        iface_ = new CInterface();
        ASSERT_TRUE(iface_->Init(nullptr));
        opened = iface_->OpenEx();
    });
    const uint64_t elapsedMs = (machine().SystemTime() - before) / 10000;
    EXPECT_FALSE(opened);
    EXPECT_FALSE(iface_->Connected());
    EXPECT_GE(elapsedMs, 1000u);
    EXPECT_LT(elapsedMs, 1100u);
    // "\kx4grd" does not exist: HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND).
    EXPECT_EQ(log.Count("CInterface::OpenEx :: CInterface::OpenEx(), Fail\t80070002\n"), 6u) << log.All();
}

TEST_F(InterfaceTest, AConnectionWhoseClearFailsIsClosed) {
    ASSERT_EQ(LoadTestPort(), STATUS_SUCCESS);
    SetPortReplyStatus(STATUS_INVALID_PARAMETER);
    LogCapture log;
    bool opened = true;
    AsHost([&] {
        iface_ = new CInterface();
        ASSERT_TRUE(iface_->Init(nullptr));
        opened = iface_->OpenEx();
    });
    EXPECT_FALSE(opened);
    EXPECT_FALSE(iface_->Connected());
    EXPECT_EQ(PortConnections(), 0u);
    std::vector<PortMessage> sent = TakePortMessages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].command(), 3u);
    // The last error, then the command number 3.
    const std::regex line("CInterface::Clear :: FilterSendMessage fail [0-9a-f]+ 3\n");
    size_t matching = 0;
    for (const std::string& logged : log.Lines()) {
        matching += std::regex_match(logged, line) ? 1 : 0;
    }
    EXPECT_EQ(matching, 1u) << log.All();
    // A later attempt connects afresh, once.
    SetPortReplyStatus(STATUS_SUCCESS);
    AsHost([&] { opened = iface_->OpenEx(); });
    EXPECT_TRUE(opened);
    EXPECT_EQ(PortConnections(), 1u);
}

TEST_F(InterfaceTest, OpenExRetriesUntilTheConnectionSucceeds) {
    ASSERT_EQ(LoadTestPort(), STATUS_SUCCESS);
    machine().FailUserCall(winsim::UserFault::PortConnect, 1, 3);
    LogCapture log;
    bool opened = false;
    const uint64_t before = machine().SystemTime();
    AsHost([&] {
        iface_ = new CInterface();
        ASSERT_TRUE(iface_->Init(nullptr));
        opened = iface_->OpenEx();
    });
    EXPECT_TRUE(opened);
    EXPECT_GE((machine().SystemTime() - before) / 10000, 600u);  // three pauses of 200 ms
    EXPECT_EQ(log.Count("CInterface::OpenEx :: CInterface::OpenEx(), Fail\t80070002\n"), 3u) << log.All();
    std::vector<PortMessage> sent = TakePortMessages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].command(), 3u);
    EXPECT_EQ(PortConnections(), 1u);
}

// ---- Init: the filter library, its entry points and the presence event

constexpr char16_t kPresenceEvent[] = u"\\BaseNamedObjects\\{A5F2956A-A68E-4404-BCD6-2A7DF47353E8}";

TEST_F(InterfaceTest, InitFailsWithoutTheFilterLibrary) {
    machine().FailUserCall(winsim::UserFault::LoadLibrary);
    bool ok = true;
    DWORD error = 0;
    AsHost([&] {
        iface_ = new CInterface();
        ok = iface_->Init(nullptr);
        error = GetLastError();
    });
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, 126u);  // ERROR_MOD_NOT_FOUND
    EXPECT_FALSE(machine().NamedObjectExists(kPresenceEvent));
}

TEST_F(InterfaceTest, InitFailsWhenAnEntryPointIsMissingAndLogsTheFourAddresses) {
    LogCapture log;
    machine().FailUserCall(winsim::UserFault::GetProcAddress, 2);  // FilterSendMessage
    bool ok = true;
    DWORD error = 0;
    AsHost([&] {
        iface_ = new CInterface();
        ok = iface_->Init(nullptr);
        error = GetLastError();
    });
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, 127u);  // ERROR_PROC_NOT_FOUND
    const std::regex line("CInterface::Init :: Invaild Func Adr [0-9a-f]*[1-9a-f][0-9a-f]* 0 "
                          "[0-9a-f]*[1-9a-f][0-9a-f]* [0-9a-f]*[1-9a-f][0-9a-f]*\n");
    ASSERT_EQ(log.Lines().size(), 1u) << log.All();
    EXPECT_TRUE(std::regex_match(log.Lines()[0], line)) << log.All();
    EXPECT_FALSE(machine().NamedObjectExists(kPresenceEvent));
    // The library stays loaded until the object goes (TearDown finds no handle left).
}

TEST_F(InterfaceTest, InitFailsWithoutThePresenceEvent) {
    LogCapture log;
    machine().FailUserCall(winsim::UserFault::CreateEvent);
    bool ok = true;
    DWORD error = 0;
    AsHost([&] {
        iface_ = new CInterface();
        ok = iface_->Init(nullptr);
        error = GetLastError();
    });
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, 5u);  // ERROR_ACCESS_DENIED
    EXPECT_EQ(iface_->sharedPresenceEvent_, INVALID_HANDLE_VALUE);
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"CInterface::Init :: share event fail GL = 5\n"}));
}

// ---- path conversions inside the operations

TEST_F(InterfaceTest, SetProtectPathOnAnUnmappedDriveSendsEmptyTextButAnswersOne) {
    ConnectInterface();
    LogCapture log;
    EXPECT_EQ(Call([] { return Kx4grdSetProtectPath(4, W(u"Q:\\data")); }), 1);
    PortMessage m = OnlyMessage();
    EXPECT_EQ(m.command(), 6u);
    EXPECT_EQ(m.U32(40), 4u);
    EXPECT_EQ(m.U32(44), 0u);
    EXPECT_TRUE(m.ZeroFrom(44, 2096));
    EXPECT_TRUE(log.Contains("CInterface::SetProtectPath :: DriveToNtPath fail, path(Q:\\data)\n")) << log.All();
}

TEST_F(InterfaceTest, SetProcessPathOnAnUnmappedDriveSendsEmptyTextButAnswersOne) {
    ConnectInterface();
    EXPECT_EQ(Call([] { return Kx4grdSetProcessPath(1, W(u"Q:\\tools\\t.exe")); }), 1);
    PortMessage m = OnlyMessage();
    EXPECT_EQ(m.command(), 8u);
    EXPECT_EQ(m.U32(40), 1u);
    EXPECT_TRUE(m.ZeroFrom(44, 2096));
}

TEST_F(InterfaceTest, DeletesOnAnUnmappedDriveSendNothing) {
    ConnectInterface();
    LogCapture log;
    EXPECT_EQ(Call([] { return Kx4grdDelProtectPath(4, W(u"Q:\\data")); }), 1);
    EXPECT_EQ(Call([] { return Kx4grdDelProcessPath(1, W(u"Q:\\t.exe")); }), 1);
    EXPECT_EQ(PortMessageCount(), 0u);
    EXPECT_TRUE(log.Contains("CInterface::DelProtectPath :: Exist Drive Name\n")) << log.All();
    EXPECT_TRUE(log.Contains("CInterface::DelProcessPath :: Exist Drive Name\n")) << log.All();
}

TEST_F(InterfaceTest, SetProcessPathSizeIsTheByteLengthOfTheConvertedText) {
    ConnectInterface();
    // "C:\app" is 6 characters; what is stored is the NT form, and its size must
    // cover it all (a shorter size would make a prefix of it a trusted tree).
    EXPECT_EQ(Call([] { return Kx4grdSetProcessPath(1, W(u"C:\\app")); }), 0);
    PortMessage m = OnlyMessage();
    const std::u16string nt = OnC(u"\\app");
    EXPECT_EQ(m.Wide(48, 1024), nt);
    EXPECT_EQ(m.U32(44), nt.size() * 2);
    EXPECT_EQ(Call([] { return Kx4grdDelProcessPath(1, W(u"C:\\app")); }), 0);
    m = OnlyMessage();
    EXPECT_EQ(m.U32(44), nt.size() * 2);
}

// ---- input limits

TEST_F(InterfaceTest, PathsOfFiveHundredSevenCharactersAreRefused) {
    ConnectInterface();
    const std::u16string ok = u"C:\\" + Repeat(u'a', 503);    // 506 characters
    const std::u16string tooLong = ok + u"b";                  // 507
    EXPECT_EQ(Call([&] { return Kx4grdSetProtectPath(4, W(tooLong.c_str())); }), 1);
    EXPECT_EQ(Call([&] { return Kx4grdDelProtectPath(4, W(tooLong.c_str())); }), 1);
    const std::u16string longName = Repeat(u'n', 507);
    EXPECT_EQ(Call([&] { return Kx4grdSetFileName(4, W(longName.c_str())); }), 1);
    EXPECT_EQ(PortMessageCount(), 0u);

    EXPECT_EQ(Call([&] { return Kx4grdSetProtectPath(4, W(ok.c_str())); }), 0);
    PortMessage m = OnlyMessage();
    const std::u16string nt = OnC(u"\\" + Repeat(u'a', 503));
    EXPECT_EQ(m.Wide(48, 1024), nt);
    EXPECT_EQ(m.U32(44), nt.size() * 2);
    EXPECT_EQ(Call([&] { return Kx4grdSetFileName(4, W(longName.substr(1).c_str())); }), 0);
    EXPECT_EQ(OnlyMessage().U32(44), 506u * 2);
}

TEST_F(InterfaceTest, ProcessPathsOf2038BytesAreRefusedAndLogged) {
    ConnectInterface();
    LogCapture log;
    const std::u16string tooLong = Repeat(u'p', 1019);  // 2038 bytes
    EXPECT_EQ(Call([&] { return Kx4grdSetProcessPath(1, W(tooLong.c_str())); }), 1);
    EXPECT_EQ(Call([&] { return Kx4grdDelProcessPath(1, W(tooLong.c_str())); }), 1);
    EXPECT_EQ(PortMessageCount(), 0u);
    EXPECT_TRUE(log.Contains("CInterface::SetProcessPath :: size fail 7f6,7f6\n")) << log.All();
    EXPECT_TRUE(log.Contains("CInterface::DelProcessPath :: size fail 7f6,7f6\n")) << log.All();

    // 1018 characters pass; converted, the NT form outgrows 1023 characters and is cut.
    const std::u16string path = u"C:\\" + Repeat(u'q', 1015);
    EXPECT_EQ(Call([&] { return Kx4grdSetProcessPath(1, W(path.c_str())); }), 0);
    PortMessage m = OnlyMessage();
    const std::u16string sent = m.Wide(48, 1024);
    EXPECT_EQ(sent.size(), 1023u);
    EXPECT_EQ(sent, (OnC(u"\\" + Repeat(u'q', 1015))).substr(0, 1023));
    EXPECT_EQ(m.U32(44), 2046u);
    EXPECT_EQ(m.bytes.at(2094), 0u);  // the terminator ends the field
    EXPECT_EQ(m.bytes.at(2095), 0u);
}

// ---- long texts: cut to their fields, terminated, size = what was sent

TEST_F(InterfaceTest, ProtectedProcessNamesAreCutTo1023CharactersWithTheirSentSize) {
    ConnectInterface();
    const std::u16string name = Repeat(u'x', 1500);
    EXPECT_EQ(Call([&] { return Kx4grdSetProcessProtectName(W(name.c_str())); }), 0);
    PortMessage m = OnlyMessage();
    EXPECT_EQ(m.command(), 32u);
    EXPECT_EQ(m.Wide(48, 1024), Repeat(u'x', 1023));
    EXPECT_EQ(m.U32(44), 2046u);
    EXPECT_EQ(m.bytes.size(), 2096u);
    EXPECT_EQ(m.bytes[2094], 0u);
    EXPECT_EQ(m.bytes[2095], 0u);

    EXPECT_EQ(Call([&] { return Kx4grdDelProcessProtectName(W(name.c_str())); }), 0);
    m = OnlyMessage();
    EXPECT_EQ(m.command(), 33u);
    EXPECT_EQ(m.Wide(48, 1024), Repeat(u'x', 1023));
    EXPECT_EQ(m.U32(44), 2046u);
    EXPECT_EQ(m.bytes[2094], 0u);
}

TEST_F(InterfaceTest, RegistryKeysAreCutTo1023Characters) {
    ConnectInterface();
    const std::u16string key = Repeat(u'k', 1500);
    EXPECT_EQ(Call([&] { return Kx4grdSetRegProtectName(W(key.c_str())); }), 0);
    PortMessage m = OnlyMessage();
    EXPECT_EQ(m.Wide(48, 1024), Repeat(u'k', 1023));
    EXPECT_EQ(m.U32(44), 0u);
    EXPECT_EQ(m.bytes[2094], 0u);

    EXPECT_EQ(Call([&] { return Kx4grdDelRegProtectName(W(key.c_str())); }), 0);
    m = OnlyMessage();
    EXPECT_EQ(m.Wide(48, 1024), Repeat(u'k', 1023));
    EXPECT_EQ(m.U32(44), 2046u);
    EXPECT_EQ(m.bytes[2094], 0u);
}

TEST_F(InterfaceTest, DeleteFileTextIsCutTo511CharactersTerminated) {
    ConnectInterface();
    const std::u16string path = u"C:\\" + Repeat(u'd', 700);
    EXPECT_EQ(Call([&] { return Kx4grdSetDeleteFile(W(path.c_str())); }), 0);
    PortMessage m = OnlyMessage();
    const std::u16string want = (u"\\??\\" + path).substr(0, 511);
    EXPECT_EQ(m.Wide(48, 1024), want);
    EXPECT_EQ(m.U32(44), 511u * 2);
    EXPECT_TRUE(m.ZeroFrom(48 + 511 * 2, 2096));
}

TEST_F(InterfaceTest, UsbStringsAreCutToTheirFieldsTerminated) {
    ConnectInterface();
    const std::u16string longId = u"abcdefghijklmnopqrstuvwxyz0123";  // 30 characters
    EXPECT_EQ(Call([&] {
                  return Kx4grdSetUsbDiskException(W(longId.c_str()), W(longId.c_str()), W(longId.c_str()),
                                                    W(longId.c_str()));
              }),
              0);
    PortMessage m = OnlyMessage();
    for (size_t offset : {44u, 64u, 84u, 104u}) {
        EXPECT_EQ(m.Ansi(offset, 20), "ABCDEFGHIJKLMNOPQRS") << offset;
        EXPECT_EQ(m.bytes[offset + 19], 0u) << offset;
    }
    EXPECT_TRUE(m.ZeroFrom(124, 2096));

    const std::u16string serial = Repeat(u's', 150);
    EXPECT_EQ(Call([&] { return Kx4grdSetUsbPortException(1, 2, 3, W(serial.c_str())); }), 0);
    m = OnlyMessage();
    EXPECT_EQ(m.Wide(56, 100), Repeat(u's', 99));
    EXPECT_TRUE(m.ZeroFrom(56 + 198, 2096));
}

TEST_F(InterfaceTest, UsbDiskStringsGoThroughTheAnsiCodePage) {
    ConnectInterface();
    // Only ASCII letters are upper-cased; e-acute is 0xE9 in code page 1252 and the
    // euro sign 0x80; a character without a mapping becomes '?'.
    EXPECT_EQ(Call([] { return Kx4grdSetUsbDiskException(W(u"ab\u00e9"), W(u"\u20ac1"), W(u"\u4e00r"), W(u"")); }),
              0);
    PortMessage m = OnlyMessage();
    EXPECT_EQ(m.Ansi(44, 20), std::string("AB\xE9"));
    EXPECT_EQ(m.Ansi(64, 20), std::string("\x80") + "1");
    EXPECT_EQ(m.Ansi(84, 20), "?R");
    EXPECT_EQ(m.Ansi(104, 20), "");
}

// ---- lines written before sending

TEST_F(InterfaceTest, OperationsLogTheirLinesBeforeSending) {
    ConnectInterface();
    LogCapture log;
    Call([] { return Kx4grdSetProtectPath(4, W(u"C:\\data")); });
    Call([] { return Kx4grdDelProtectPath(16, nullptr); });
    Call([] { return Kx4grdSetProcessPath(1, W(u"notepad.exe")); });
    Call([] { return Kx4grdDelProcessPath(1, W(u"C:\\t.exe")); });
    Call([] { return Kx4grdProcessProtect(1); });
    Call([] { return Kx4grdSetRegProtect(1); });
    Call([] { return Kx4grdSetProcessProtectName(W(u"agent.exe")); });
    Call([] { return Kx4grdDelProcessProtectName(W(u"agent.exe")); });
    Call([] { return Kx4grdDelProcessProtectName(nullptr); });
    Call([] { return Kx4grdSetProcessProtectId(500); });
    Call([] { return Kx4grdSetRegProtectName(W(u"SOFTWARE\\Kx4")); });
    Call([] { return Kx4grdDelRegProtectName(nullptr); });
    Call([] { return Kx4grdSetUsbDiskException(W(u"abcd"), W(u"p1"), W(u"r"), W(u"sn")); });
    Call([] { return Kx4grdSetUsbPortException(0x1234, 0xbeef, 0, nullptr); });
    Call([] { return Kx4grdSetLogType(0x14); });
    const std::string c = std::string("\\Device\\HarddiskVolume2");
    ASSERT_EQ(system_.deviceName, u"\\Device\\HarddiskVolume2");
    for (const std::string& line : {
             "CInterface::SetProtectPath :: SetProtectPath, ntDevicePath(" + c + "\\data) ulType(4)",
             std::string("CInterface::DelProtectPath :: dwType(16), ntDevicePath()\n"),
             std::string("CInterface::SetProcessPath :: path(notepad.exe) size(22)"),
             "CInterface::DelProcessPath :: dwType(1), ntDevicePath(" + c + "\\t.exe)\n",
             std::string("CInterface::SetProcessProtect :: msg.id(29), msg.folder_protect_(1)\n"),
             std::string("CInterface::SetRegProtect :: msg.id(26), msg.state_(1)\n"),
             std::string("CInterface::SetProcessProtectName :: type(64), name(agent.exe)"),
             std::string("CInterface::DelProcessProtectName :: type(64), name(agent.exe)\n"),
             std::string("CInterface::DelProcessProtectName :: all delete type(64), name((null))\n"),
             std::string("CInterface::SetProcessProtectId :: type(64) pid(500)"),
             std::string("CInterface::SetRegProtectName :: regkey(SOFTWARE\\Kx4)"),
             std::string("CInterface::DelRegProtectName :: all delete type\n"),
             std::string("CInterface::SetUsbDiskException :: state(0), vid(ABCD), pid(P1), serial(SN)\n"),
             std::string("CInterface::SetUsbPortException :: vid(1234), pid(beef), ()\n"),
             std::string("CInterface::SetLogtype :: type(14)\n"),
         }) {
        bool found = false;
        for (const std::string& logged : log.Lines()) {
            found = found || logged == line;
        }
        EXPECT_TRUE(found) << "missing line: " << line << "\n" << log.All();
    }
}

}  // namespace
}  // namespace ctrltest
