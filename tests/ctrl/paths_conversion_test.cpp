// Drive-letter, NT device and UNC path conversions on a machine with C:
// (\Device\HarddiskVolume2), D: (\Device\HarddiskVolume20) and, where a test maps
// it, the network drive Z:.
#include <gtest/gtest.h>

#include <string>

#include "ctrl/paths.h"
#include "tests/ctrl/interface_fixture.h"

namespace ctrltest {
namespace {

class PathsTest : public CtrlTest {
protected:
    void SetUp() override {
        CtrlTest::SetUp();
        winsim::VolumeOptions d;
        d.kind = winsim::VolumeKind::LocalDisk;
        d.deviceName = u"\\Device\\HarddiskVolume20";
        d.dosName = u"D:";
        machine().AddVolume(d);
    }

    // Each conversion as the host runs it; "<fail>" when it reports failure.
    std::u16string ToNt(const char16_t* path, size_t chars = 1024) {
        std::u16string out;
        AsHost([&] {
            std::u16string buffer(chars, u'#');
            const bool ok = DriveToNtPath(W(path), reinterpret_cast<WCHAR*>(buffer.data()), chars);
            out = ok ? U(reinterpret_cast<WCHAR*>(buffer.data())) : u"<fail>";
            if (!ok) {
                EXPECT_EQ(buffer[0], u'\0');  // a failed conversion leaves an empty text
            }
        });
        return out;
    }
    std::u16string ToDrive(const char16_t* path) {
        std::u16string out;
        AsHost([&] {
            WCHAR buffer[1024];
            out = NtToDrivePath(W(path), buffer, 1024) ? U(buffer) : u"<fail>";
        });
        return out;
    }
    std::u16string ToUnc(const char16_t* path) {
        std::u16string out;
        AsHost([&] {
            WCHAR buffer[1024];
            NtToUncPath(W(path), buffer, 1024);
            out = U(buffer);
        });
        return out;
    }
};

TEST_F(PathsTest, DriveToNtPathPutsTheDriveTargetBeforeTheRest) {
    EXPECT_EQ(ToNt(u"C:\\data"), u"\\Device\\HarddiskVolume2\\data");
    EXPECT_EQ(ToNt(u"d:\\x\\y.txt"), u"\\Device\\HarddiskVolume20\\x\\y.txt");
    EXPECT_EQ(ToNt(u"C:"), u"\\Device\\HarddiskVolume2");
    // No check of the colon: the first two characters are asked about as they are.
    EXPECT_EQ(ToNt(u"\\\\server\\share"), u"<fail>");
    EXPECT_EQ(ToNt(u"Q:\\unmapped"), u"<fail>");
}

TEST_F(PathsTest, DriveToNtPathFailsArgumentsShorterThanADrive) {
    EXPECT_EQ(ToNt(u""), u"<fail>");
    EXPECT_EQ(ToNt(u"C"), u"<fail>");
    AsHost([] {
        WCHAR buffer[16];
        EXPECT_FALSE(DriveToNtPath(nullptr, buffer, 16));
    });
}

TEST_F(PathsTest, DriveToNtPathCutsAt1023CharactersAndAtTheBuffer) {
    const std::u16string longPath = u"C:\\" + std::u16string(1100, u'a');
    const std::u16string nt = ToNt(longPath.c_str());
    EXPECT_EQ(nt.size(), 1023u);
    EXPECT_EQ(nt, (u"\\Device\\HarddiskVolume2\\" + std::u16string(1100, u'a')).substr(0, 1023));
    EXPECT_EQ(ToNt(u"C:\\data", 10), u"\\Device\\H");
}

TEST_F(PathsTest, NtToDrivePathFindsTheDriveWhoseTargetIsAWholePrefix) {
    EXPECT_EQ(ToDrive(u"\\Device\\HarddiskVolume2\\a.txt"), u"C:\\a.txt");
    EXPECT_EQ(ToDrive(u"\\Device\\HarddiskVolume2"), u"C:");
    // HarddiskVolume2 is a prefix of HarddiskVolume20's name, but not of its path:
    // the device name must end at a backslash or the path's end.
    EXPECT_EQ(ToDrive(u"\\Device\\HarddiskVolume20\\a.txt"), u"D:\\a.txt");
    EXPECT_EQ(ToDrive(u"\\Device\\HarddiskVolume21\\a.txt"), u"<fail>");
    // The comparison is case-sensitive.
    EXPECT_EQ(ToDrive(u"\\device\\harddiskvolume2\\a.txt"), u"<fail>");
    EXPECT_EQ(ToDrive(u"\\Device\\Mup\\srv\\s\\a.txt"), u"<fail>");
    EXPECT_EQ(ToDrive(u""), u"<fail>");
}

TEST_F(PathsTest, NtToDrivePathKnowsMappedNetworkDrives) {
    const std::u16string target = machine().MapNetworkDrive(u"Z:", u"\\\\server\\share");
    const std::u16string path = target + u"\\docs\\a.txt";
    EXPECT_EQ(ToDrive(path.c_str()), u"Z:\\docs\\a.txt");
}

TEST_F(PathsTest, NtToDrivePathWaitsAMillisecondPerDriveTried) {
    const uint64_t before = machine().SystemTime();
    EXPECT_EQ(ToDrive(u"\\Device\\HarddiskVolume20\\a"), u"D:\\a");  // C: then D:
    EXPECT_GE((machine().SystemTime() - before) / 10000, 2u);
}

TEST_F(PathsTest, NtToUncPathGivesTheDisplayFormOfRedirectorPaths) {
    EXPECT_EQ(ToUnc(u"\\Device\\Mup\\server\\share\\a.txt"), u"\\\\server\\share\\a.txt");
    EXPECT_EQ(ToUnc(u"\\Device\\LanmanRedirector\\;Z:0000000000012345\\server\\share"), u"\\\\server\\share");
    EXPECT_EQ(ToUnc(u"\\Device\\Mup\\;LanmanRedirector\\;Z:0000000000012345\\srv\\s\\f"), u"\\\\srv\\s\\f");
    EXPECT_EQ(ToUnc(u"\\??\\C:\\x"), u"C:\\x");
    EXPECT_EQ(ToUnc(u"\\??\\UNC\\srv\\s"), u"\\\\srv\\s");
    // Prefixes compare without regard to case.
    EXPECT_EQ(ToUnc(u"\\DEVICE\\MUP\\srv\\s"), u"\\\\srv\\s");
    EXPECT_EQ(ToUnc(u"\\Device\\HarddiskVolume2\\a.txt"), u"\\Device\\HarddiskVolume2\\a.txt");
    EXPECT_EQ(ToUnc(u"plain"), u"plain");
}

TEST_F(PathsTest, NtToUncPathEmptyResults) {
    EXPECT_EQ(ToUnc(u""), u"");
    AsHost([] {
        WCHAR buffer[8] = {'x', 0};
        NtToUncPath(nullptr, buffer, 8);
        EXPECT_EQ(buffer[0], 0);
    });
    // The argument ends before the kept text would begin.
    EXPECT_EQ(ToUnc(u"\\Device\\Mup"), u"");
    EXPECT_EQ(ToUnc(u"\\Device\\LanmanRedirector"), u"");
    // A redirector path without a backslash after the drive component, or nothing after it.
    EXPECT_EQ(ToUnc(u"\\Device\\LanmanRedirector\\;Z:0000000000012345"), u"");
    EXPECT_EQ(ToUnc(u"\\Device\\LanmanRedirector\\;Z:0000000000012345\\"), u"");
}

TEST_F(PathsTest, NtToUncPathRemoteDesktopRowNeverDecides) {
    // "\Device\Mup" is tried first and matches every remote-desktop path, so the
    // remote-desktop row (which would drop the lead "\\") is never reached.
    EXPECT_EQ(ToUnc(u"\\Device\\Mup\\;RdpDr\\;:1\\tsclient\\C\\a.txt"),
              u"\\\\;RdpDr\\;:1\\tsclient\\C\\a.txt");
    EXPECT_EQ(ToUnc(u"\\Device\\Mup\\;RdpDr\\;:9\\tsclient\\C"), u"\\\\;RdpDr\\;:9\\tsclient\\C");
}

}  // namespace
}  // namespace ctrltest
