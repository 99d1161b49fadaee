// Exports 3 to 32: each sends the message of its row, compared byte for byte with
// a message built at the wire offsets (not through the shared struct); each answers
// 1 and sends nothing while the library is not initialised.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ctrl/kx4grdctrl.h"
#include "tests/ctrl/interface_fixture.h"

namespace ctrltest {
namespace {

// A command message as raw bytes at the documented offsets.
class Expected {
public:
    explicit Expected(uint64_t command) : bytes_(2096, 0) { Put64(8, command); }
    Expected& Put32(size_t offset, uint32_t v) {
        std::memcpy(&bytes_.at(offset), &v, 4);
        return *this;
    }
    Expected& Put64(size_t offset, uint64_t v) {
        std::memcpy(&bytes_.at(offset), &v, 8);
        return *this;
    }
    Expected& Value(uint32_t v) { return Put32(16, v); }
    Expected& Type(uint32_t v) { return Put32(20, v); }
    Expected& State(uint32_t v) { return Put32(24, v); }
    Expected& DeviceType(uint32_t v) { return Put32(28, v); }
    Expected& PolicyState(uint32_t v) { return Put32(32, v); }
    Expected& Log(uint32_t v) { return Put32(36, v); }
    Expected& UlType(uint32_t v) { return Put32(40, v); }
    Expected& Size(uint32_t v) { return Put32(44, v); }
    Expected& Text(const std::u16string& text) {  // text at 48, its byte length at 44
        PutWide(48, text);
        return Size(static_cast<uint32_t>(text.size() * 2));
    }
    Expected& PutWide(size_t offset, const std::u16string& text) {
        for (size_t i = 0; i < text.size(); ++i) {
            bytes_.at(offset + 2 * i) = static_cast<uint8_t>(text[i] & 0xff);
            bytes_.at(offset + 2 * i + 1) = static_cast<uint8_t>(text[i] >> 8);
        }
        return *this;
    }
    Expected& PutAnsi(size_t offset, const std::string& text) {
        std::memcpy(&bytes_.at(offset), text.data(), text.size());
        return *this;
    }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

// First differing byte, for a readable failure.
std::string Difference(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want) {
    if (got.size() != want.size()) {
        return "size " + std::to_string(got.size()) + " instead of " + std::to_string(want.size());
    }
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i] != want[i]) {
            return "offset " + std::to_string(i) + ": " + std::to_string(got[i]) + " instead of " +
                   std::to_string(want[i]);
        }
    }
    return "";
}

class ExportsTest : public CtrlTest {
protected:
    // Runs the export as the host and returns its result.
    int Call(const std::function<int()>& exportCall) {
        int result = -1;
        AsHost([&] { result = exportCall(); });
        return result;
    }

    // The export answers want and sends exactly the expected message.
    void ExpectSends(const std::function<int()>& exportCall, const Expected& expected, int want = 0,
                     uint32_t outputLength = 0) {
        EXPECT_EQ(Call(exportCall), want);
        std::vector<PortMessage> sent = TakePortMessages();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(Difference(sent[0].bytes, expected.bytes()), "");
        EXPECT_EQ(sent[0].outputLength, outputLength);
        EXPECT_EQ(sent[0].hasOutput, outputLength != 0);
    }

    void ExpectNothingSent(const std::function<int()>& exportCall) {
        EXPECT_EQ(Call(exportCall), 1);
        EXPECT_EQ(TakePortMessages().size(), 0u);
    }

    std::u16string OnC(const std::u16string& rest) const { return system_.deviceName + rest; }
};

TEST_F(ExportsTest, EachExportSendsTheMessageOfItsRow) {
    ConnectInterface();
    // 3, 4: paths in their NT form, the byte length without the terminator.
    ExpectSends([] { return Kx4grdSetProtectPath(4, W(u"C:\\data")); },
                Expected(6).UlType(4).Text(OnC(u"\\data")));
    ExpectSends([] { return Kx4grdDelProtectPath(16, W(u"C:\\data\\x")); },
                Expected(7).UlType(16).Text(OnC(u"\\data\\x")));
    ExpectSends([] { return Kx4grdDelProtectPath(16, nullptr); }, Expected(7).UlType(16));
    ExpectSends([] { return Kx4grdDelProtectPath(4, W(u"")); }, Expected(7).UlType(4));
    // 5
    ExpectSends([] { return Kx4grdStartAndStop(1); }, Expected(1));
    ExpectSends([] { return Kx4grdStartAndStop(7); }, Expected(1));
    ExpectSends([] { return Kx4grdStartAndStop(0); }, Expected(2));
    // 6, 7 (a 4-byte reply buffer offered), 8
    ExpectSends([] { return Kx4grdSetPid(1, 1234); }, Expected(12).Value(1234).Type(1));
    ExpectSends([] { return Kx4grdRemovePid(1234); }, Expected(13).Value(1234), 0, 4);
    ExpectSends([] { return Kx4grdDebug(3); }, Expected(19).Value(3));
    // 9, 10: a path goes in NT form, a bare name unchanged
    ExpectSends([] { return Kx4grdSetProcessPath(1, W(u"C:\\Program Files\\app\\app.exe")); },
                Expected(8).UlType(1).Text(OnC(u"\\Program Files\\app\\app.exe")));
    ExpectSends([] { return Kx4grdSetProcessPath(1, W(u"notepad.exe")); },
                Expected(8).UlType(1).Text(u"notepad.exe"));
    ExpectSends([] { return Kx4grdDelProcessPath(1, W(u"C:\\tools\\t.exe")); },
                Expected(23).UlType(1).Text(OnC(u"\\tools\\t.exe")));
    ExpectSends([] { return Kx4grdDelProcessPath(1, W(u"calc.exe")); }, Expected(23).UlType(1).Text(u"calc.exe"));
    ExpectSends([] { return Kx4grdDelProcessPath(0x20, nullptr); }, Expected(23).UlType(0x20));
    ExpectSends([] { return Kx4grdDelProcessPath(0x20, W(u"")); }, Expected(23).UlType(0x20));
    // 11, 12
    ExpectSends([] { return Kx4grdSetFolderProtect(1); }, Expected(14).State(1));
    ExpectSends([] { return Kx4grdSetShareWatch(5); }, Expected(15).State(5));
    // 13, 14
    ExpectSends([] { return Kx4grdSetFileName(4, W(u"report.doc")); },
                Expected(9).UlType(4).Text(u"report.doc"));
    ExpectSends([] { return Kx4grdSetDeleteFile(W(u"C:\\tmp\\x.txt")); },
                Expected(20).Text(u"\\??\\C:\\tmp\\x.txt"));
    // 15 to 18
    ExpectSends([] { return Kx4grdSetTerminateProcess(88); }, Expected(21).Value(88));
    ExpectSends([] { return Kx4grdSetHook(19, 1); }, Expected(25).Type(19).State(1));
    ExpectSends([] { return Kx4grdSetPolicy(3, 2, 1); }, Expected(5).DeviceType(3).PolicyState(2).Log(1));
    ExpectSends([] { return Kx4grdProcessProtect(1); }, Expected(29).State(1));
    // 19, 20: protected process names, type 64
    ExpectSends([] { return Kx4grdSetProcessProtectName(W(u"agent.exe")); },
                Expected(32).UlType(64).Text(u"agent.exe"));
    ExpectSends([] { return Kx4grdDelProcessProtectName(W(u"agent.exe")); },
                Expected(33).UlType(64).Text(u"agent.exe"));
    ExpectSends([] { return Kx4grdDelProcessProtectName(nullptr); }, Expected(33).UlType(64));
    // 21, 22: process ids, type 64
    ExpectSends([] { return Kx4grdSetProcessProtectId(500); }, Expected(30).Value(500).Type(64));
    ExpectSends([] { return Kx4grdDelProcessProtectId(0); }, Expected(31).Type(64));
    // 23 to 25: the key text; SET_REG_KEY leaves size 0
    ExpectSends([] { return Kx4grdSetRegProtect(1); }, Expected(26).State(1));
    ExpectSends([] { return Kx4grdSetRegProtectName(W(u"SOFTWARE\\Kx4")); },
                Expected(27).PutWide(48, u"SOFTWARE\\Kx4"));
    ExpectSends([] { return Kx4grdDelRegProtectName(W(u"SOFTWARE\\Kx4")); },
                Expected(28).Text(u"SOFTWARE\\Kx4"));
    ExpectSends([] { return Kx4grdDelRegProtectName(nullptr); }, Expected(28));
    // 26
    ExpectSends([] { return Kx4grdSetDeviceProtect(1); }, Expected(16).State(1));
    // 27, 30, 31: disk exceptions, ANSI upper case at 44, 64, 84, 104
    ExpectSends([] { return Kx4grdSetUsbDiskException(W(u"abcd"), W(u"Flash1"), W(u"1.0a"), W(u"sn-9x")); },
                Expected(34).State(0).UlType(3).PutAnsi(44, "ABCD").PutAnsi(64, "FLASH1").PutAnsi(84, "1.0A")
                    .PutAnsi(104, "SN-9X"));
    ExpectSends([] { return Kx4grdDelUsbDiskException(W(u"abcd"), nullptr, W(u""), W(u"s")); },
                Expected(34).State(1).UlType(3).PutAnsi(44, "ABCD").PutAnsi(104, "S"));
    ExpectSends([] { return Kx4grdClearUsbDiskException(); }, Expected(34).State(2).UlType(3));
    // 28, 29: port exceptions, numbers at 44, 48, 52 and the UTF-16 serial at 56
    ExpectSends([] { return Kx4grdSetUsbPortException(0x1234, 0x5678, 9, W(u"SER01")); },
                Expected(35).State(0).UlType(9).Put32(44, 0x1234).Put32(48, 0x5678).Put32(52, 9)
                    .PutWide(56, u"SER01"));
    ExpectSends([] { return Kx4grdDelUsbPortException(0x1234, 0x5678, 0, nullptr); },
                Expected(35).State(1).UlType(9).Put32(44, 0x1234).Put32(48, 0x5678));
    // 32
    ExpectSends([] { return Kx4grdSetLogType(0x14); }, Expected(36).Type(0x14));
}

// Every export of 3 to 32 with arguments it would accept.
std::vector<std::pair<const char*, std::function<int()>>> AllExportCalls() {
    return {
        {"SetProtectPath", [] { return Kx4grdSetProtectPath(4, W(u"C:\\data")); }},
        {"DelProtectPath", [] { return Kx4grdDelProtectPath(4, nullptr); }},
        {"StartAndStop", [] { return Kx4grdStartAndStop(1); }},
        {"SetPid", [] { return Kx4grdSetPid(1, 8); }},
        {"RemovePid", [] { return Kx4grdRemovePid(8); }},
        {"Debug", [] { return Kx4grdDebug(3); }},
        {"SetProcessPath", [] { return Kx4grdSetProcessPath(1, W(u"a.exe")); }},
        {"DelProcessPath", [] { return Kx4grdDelProcessPath(1, nullptr); }},
        {"SetFolderProtect", [] { return Kx4grdSetFolderProtect(1); }},
        {"SetShareWatch", [] { return Kx4grdSetShareWatch(1); }},
        {"SetFileName", [] { return Kx4grdSetFileName(4, W(u"a.doc")); }},
        {"SetDeleteFile", [] { return Kx4grdSetDeleteFile(W(u"C:\\a")); }},
        {"SetTerminateProcess", [] { return Kx4grdSetTerminateProcess(8); }},
        {"SetHook", [] { return Kx4grdSetHook(19, 1); }},
        {"SetPolicy", [] { return Kx4grdSetPolicy(3, 1, 1); }},
        {"ProcessProtect", [] { return Kx4grdProcessProtect(1); }},
        {"SetProcessProtectName", [] { return Kx4grdSetProcessProtectName(W(u"a.exe")); }},
        {"DelProcessProtectName", [] { return Kx4grdDelProcessProtectName(nullptr); }},
        {"SetProcessProtectId", [] { return Kx4grdSetProcessProtectId(8); }},
        {"DelProcessProtectId", [] { return Kx4grdDelProcessProtectId(8); }},
        {"SetRegProtect", [] { return Kx4grdSetRegProtect(1); }},
        {"SetRegProtectName", [] { return Kx4grdSetRegProtectName(W(u"K")); }},
        {"DelRegProtectName", [] { return Kx4grdDelRegProtectName(nullptr); }},
        {"SetDeviceProtect", [] { return Kx4grdSetDeviceProtect(1); }},
        {"SetUsbDiskException", [] { return Kx4grdSetUsbDiskException(W(u"v"), W(u"p"), W(u"r"), W(u"s")); }},
        {"SetUsbPortException", [] { return Kx4grdSetUsbPortException(1, 2, 3, W(u"s")); }},
        {"DelUsbPortException", [] { return Kx4grdDelUsbPortException(1, 2, 3, W(u"s")); }},
        {"DelUsbDiskException", [] { return Kx4grdDelUsbDiskException(W(u"v"), W(u"p"), W(u"r"), W(u"s")); }},
        {"ClearUsbDiskException", [] { return Kx4grdClearUsbDiskException(); }},
        {"SetLogType", [] { return Kx4grdSetLogType(0xff); }},
    };
}

TEST_F(ExportsTest, WithoutInitEveryExportAnswersOneAndSendsNothing) {
    // The port exists and accepts clients; only the library is not initialised.
    ASSERT_EQ(LoadTestPort(), STATUS_SUCCESS);
    auto calls = AllExportCalls();
    ASSERT_EQ(calls.size(), 30u);
    for (auto& [name, call] : calls) {
        EXPECT_EQ(Call(call), 1) << name;
    }
    EXPECT_EQ(PortMessageCount(), 0u);
    EXPECT_EQ(PortConnections(), 0u);
}

TEST_F(ExportsTest, AfterTheInterfaceIsGoneEveryExportAnswersOneAndSendsNothing) {
    ConnectInterface();
    // Each call goes through while the interface exists...
    for (auto& [name, call] : AllExportCalls()) {
        EXPECT_EQ(Call(call), 0) << name;
    }
    EXPECT_EQ(TakePortMessages().size(), 30u);
    // ...and none once it is forgotten.
    DestroyInterface();
    for (auto& [name, call] : AllExportCalls()) {
        EXPECT_EQ(Call(call), 1) << name;
    }
    EXPECT_EQ(PortMessageCount(), 0u);
}

TEST_F(ExportsTest, NullStringArgumentsAreRefusedWithoutSending) {
    ConnectInterface();
    ExpectNothingSent([] { return Kx4grdSetProtectPath(4, nullptr); });         // 3
    ExpectNothingSent([] { return Kx4grdSetProcessPath(1, nullptr); });         // 9
    ExpectNothingSent([] { return Kx4grdSetFileName(4, nullptr); });            // 13
    ExpectNothingSent([] { return Kx4grdSetDeleteFile(nullptr); });             // 14
    ExpectNothingSent([] { return Kx4grdSetProcessProtectName(nullptr); });     // 19
    ExpectNothingSent([] { return Kx4grdSetRegProtectName(nullptr); });         // 24
    // An empty protected-process name would match every process.
    ExpectNothingSent([] { return Kx4grdSetProcessProtectName(W(u"")); });
}

TEST_F(ExportsTest, DriverFailureAnswersOneAndLogsTheStatus) {
    ConnectInterface();
    LogCapture log;
    SetPortReplyStatus(STATUS_ACCESS_DENIED);  // HRESULT 0x80070005
    EXPECT_EQ(Call([] { return Kx4grdSetPid(1, 8); }), 1);
    EXPECT_EQ(Call([] { return Kx4grdSetPolicy(3, 1, 1); }), 1);
    EXPECT_EQ(TakePortMessages().size(), 2u);
    EXPECT_TRUE(log.Contains("CInterface::SetPid :: FilterSendMessage fail 80070005\n")) << log.All();
    EXPECT_TRUE(log.Contains("CInterface::SetPolicy :: FilterSendMessage fail (80070005)\n")) << log.All();
}

TEST_F(ExportsTest, ExportsSeventeenToTwentySixLogTheirOwnLineFirst) {
    LogCapture log;
    // Logged even before initialisation, since the line comes first.
    Call([] { return Kx4grdSetPolicy(3, 2, 1); });
    Call([] { return Kx4grdProcessProtect(1); });
    Call([] { return Kx4grdSetProcessProtectName(W(u"agent.exe")); });
    Call([] { return Kx4grdDelProcessProtectName(nullptr); });
    Call([] { return Kx4grdSetProcessProtectId(500); });
    Call([] { return Kx4grdDelProcessProtectId(0); });
    Call([] { return Kx4grdSetRegProtect(0); });
    Call([] { return Kx4grdSetRegProtectName(W(u"SOFTWARE\\Kx4")); });
    Call([] { return Kx4grdDelRegProtectName(W(u"SOFTWARE\\Kx4")); });
    Call([] { return Kx4grdSetDeviceProtect(1); });
    const std::vector<std::string> want = {
        "Kx4grdSetPolicy :: devcie_type(3), state(2), islog(1)\n",
        "Kx4grdProcessProtect :: enable(1)\n",
        "Kx4grdSetProcessProtectName :: name(agent.exe)\n",
        "Kx4grdDelProcessProtectName :: name((null))\n",
        "Kx4grdSetProcessProtectId :: pid(500)\n",
        "Kx4grdDelProcessProtectId :: pid(0)\n",
        "Kx4grdSetRegProtect :: enable(0)\n",
        "Kx4grdSetRegProtectName :: regkey(SOFTWARE\\Kx4)\n",
        "Kx4grdDelRegProtectName :: regkey(SOFTWARE\\Kx4)\n",
        "Kx4grdSetDeviceProtect :: enable(1)\n",
    };
    EXPECT_EQ(log.Lines(), want);
}

}  // namespace
}  // namespace ctrltest
