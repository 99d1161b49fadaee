// DOS device names from the machine's volumes and mapped network drives.
#include "tests/winsim/um_scm_fixture.h"

namespace umtest {
namespace {

class DosDevicesTest : public ServicesTest {
protected:
    void SetUp() override {
        ServicesTest::SetUp();
        usb_ = machine().AddVolume({winsim::VolumeKind::UsbFlashDisk});  // D:
        winsim::VolumeOptions unc;
        unc.kind = winsim::VolumeKind::Network;  // \Device\Mup, no letter
        machine().AddVolume(unc);
    }
    winsim::VolumeInfo usb_;
};

std::u16string Chars(const WCHAR* buffer, DWORD count) {
    return std::u16string(reinterpret_cast<const char16_t*>(buffer), count);
}

TEST_F(DosDevicesTest, QueryDosDeviceAnswersTheVolumesDevice) {
    AsHost([&] {
        WCHAR buffer[128];
        DWORD n = QueryDosDeviceW(W(u"C:"), buffer, 128);
        EXPECT_EQ(Chars(buffer, n), system_.deviceName + u'\0' + u'\0');
        n = QueryDosDeviceW(W(u"d:"), buffer, 128);
        EXPECT_EQ(Chars(buffer, n), usb_.deviceName + u'\0' + u'\0');

        EXPECT_EQ(QueryDosDeviceW(W(u"E:"), buffer, 128), 0u);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(QueryDosDeviceW(W(u"\\\\"), buffer, 128), 0u) << "a UNC start has no target";
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
        // Exactly the size needed, and one less.
        const DWORD needed = static_cast<DWORD>(system_.deviceName.size() + 2);
        EXPECT_EQ(QueryDosDeviceW(W(u"C:"), buffer, needed), needed);
        EXPECT_EQ(QueryDosDeviceW(W(u"C:"), buffer, needed - 1), 0u);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);

        // Without a name: every DOS name.
        n = QueryDosDeviceW(nullptr, buffer, 128);
        EXPECT_EQ(Chars(buffer, n), std::u16string(u"C:\0D:\0\0", 7));
    });
}

TEST_F(DosDevicesTest, LogicalDriveStringsListTheLettersInOrder) {
    AsHost([&] {
        WCHAR buffer[64];
        DWORD n = GetLogicalDriveStringsW(64, buffer);
        EXPECT_EQ(n, 8u);
        EXPECT_EQ(Chars(buffer, n + 1), std::u16string(u"C:\\\0D:\\\0\0", 9));
        EXPECT_EQ(GetLogicalDrives(), 0xCu);
        // Too small: nothing written, the size needed (terminator included).
        buffer[0] = u'#';
        EXPECT_EQ(GetLogicalDriveStringsW(8, buffer), 9u);
        EXPECT_EQ(buffer[0], u'#');
    });
}

TEST_F(DosDevicesTest, AMappedDriveNamesItsRedirectorPath) {
    const std::u16string target = machine().MapNetworkDrive(u"Z:", u"\\\\server\\share");
    EXPECT_EQ(target, u"\\Device\\LanmanRedirector\\;Z:0000000000012345\\server\\share");
    EXPECT_THROW(machine().MapNetworkDrive(u"C:", u"\\\\server\\share"), std::invalid_argument);
    AsHost([&] {
        WCHAR buffer[128];
        DWORD n = QueryDosDeviceW(W(u"Z:"), buffer, 128);
        EXPECT_EQ(Chars(buffer, n), target + u'\0' + u'\0');
        n = GetLogicalDriveStringsW(128, buffer);
        EXPECT_EQ(Chars(buffer, n), std::u16string(u"C:\\\0D:\\\0Z:\\\0", 12));
    });
    EXPECT_TRUE(machine().UnmapNetworkDrive(u"z:"));
    AsHost([&] {
        WCHAR buffer[128];
        EXPECT_EQ(QueryDosDeviceW(W(u"Z:"), buffer, 128), 0u);
    });
}

}  // namespace
}  // namespace umtest
