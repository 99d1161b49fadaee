// The device policy table and the create decision on read-only devices.
#include <filesystem>
#include <fstream>

#include "tests/support/driver_fixture.h"

namespace {

struct CreateRequest {
    IO_SECURITY_CONTEXT security{};
    FLT_IO_PARAMETER_BLOCK iopb{};
    FLT_CALLBACK_DATA data{.Iopb = &iopb};

    CreateRequest(ULONG disposition, ULONG options, ACCESS_MASK access) {
        iopb.MajorFunction = IRP_MJ_CREATE;
        iopb.Parameters.Create.SecurityContext = &security;
        iopb.Parameters.Create.Options = (disposition << 24) | options;
        security.DesiredAccess = access;
    }
};

class PolicyTest : public kxtest::DriverTest {
protected:
    bool ConnectAgent() override { return false; }

    void SetUp() override {
        DriverTest::SetUp();
        winsim::VolumeOptions usb;
        usb.kind = winsim::VolumeKind::UsbFlashDisk;
        volume_ = machine().AddVolume(usb);
        ASSERT_TRUE(machine().RelatedObjects(kxtest::kServiceName, volume_.deviceName, &objects_));
        std::ofstream(volume_.hostDir + "/present.txt") << "data";
        std::filesystem::create_directory(volume_.hostDir + "/folder");
    }

    // Asks the decision for one request on a file of the USB volume.
    bool Blocks(ULONG state, ULONG disposition, ULONG options, ACCESS_MASK access,
                const std::u16string& file = u"present.txt") {
        CreateRequest request(disposition, options, access);
        std::u16string name = volume_.deviceName + u"\\" + file;
        UNICODE_STRING fileName;
        RtlInitUnicodeString(&fileName, name.c_str());
        return IsPolicyState(BDC_USB_DISK, state, &request.data, &objects_, &fileName) != FALSE;
    }

    winsim::VolumeInfo volume_;
    FLT_RELATED_OBJECTS objects_{};
};

TEST_F(PolicyTest, ClearedTableAllowsEverything) {
    for (ULONG type = 0; type < 31; ++type) {
        EXPECT_EQ(GetDevicePolicyState(type), (ULONG)ENABLE);
        EXPECT_FALSE(Blocks(GetDevicePolicyState(type), FILE_SUPERSEDE, 0, FILE_GENERIC_WRITE | DELETE));
    }
}

TEST_F(PolicyTest, DisableBlocksEveryCreateSilently) {
    WriteNoFence(&DebugLevel, KX_DBG_ERROR | KX_DBG_INFO);
    machine().ClearDebugOutput();
    for (ULONG disposition = FILE_SUPERSEDE; disposition <= FILE_OVERWRITE_IF; ++disposition) {
        EXPECT_TRUE(Blocks(DISABLE, disposition, 0, FILE_READ_ATTRIBUTES)) << disposition;
    }
    EXPECT_EQ(machine().DebugText(), "");
}

TEST_F(PolicyTest, OtherStatesAllow) {
    for (ULONG state : {(ULONG)ENABLE, 3u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(Blocks(state, FILE_CREATE, 0, FILE_GENERIC_WRITE | DELETE)) << state;
    }
}

TEST_F(PolicyTest, ReadOnlyOpenAllowsWritersButNotDelete) {
    WriteNoFence(&DebugLevel, KX_DBG_ERROR);
    EXPECT_FALSE(Blocks(READONLY, FILE_OPEN, 0, FILE_GENERIC_READ | FILE_GENERIC_WRITE));
    EXPECT_TRUE(Blocks(READONLY, FILE_OPEN, 0, DELETE));
    EXPECT_TRUE(machine().DebugContains("block(7) disposition(1), desired_access(10000)"));
}

TEST_F(PolicyTest, ReadOnlyCreateAndSupersede) {
    WriteNoFence(&DebugLevel, KX_DBG_ERROR);
    EXPECT_TRUE(Blocks(READONLY, FILE_CREATE, FILE_DIRECTORY_FILE, FILE_LIST_DIRECTORY, u"newdir"));
    EXPECT_TRUE(machine().DebugContains("block(2) create_option(2000001), desired_access(1)"));
    EXPECT_TRUE(Blocks(READONLY, FILE_CREATE, FILE_DIRECTORY_FILE, FILE_WRITE_EA, u"newdir"));
    EXPECT_TRUE(machine().DebugContains("block(1)"));
    EXPECT_FALSE(Blocks(READONLY, FILE_CREATE, FILE_DIRECTORY_FILE, FILE_READ_ATTRIBUTES | SYNCHRONIZE, u"newdir"));
    EXPECT_TRUE(Blocks(READONLY, FILE_CREATE, 0, FILE_WRITE_DATA, u"new.txt"));
    EXPECT_TRUE(machine().DebugContains("block(3) disposition(2), desired_access(2)"));
    EXPECT_TRUE(Blocks(READONLY, FILE_SUPERSEDE, 0, DELETE));
    EXPECT_TRUE(machine().DebugContains("block(4) disposition(0), desired_access(10000)"));
    // A new file may be made as long as nothing is written to it.
    EXPECT_FALSE(Blocks(READONLY, FILE_CREATE, 0, FILE_READ_ATTRIBUTES | SYNCHRONIZE, u"new.txt"));
    EXPECT_TRUE(machine().DebugContains(
        "READONLY, disposition[2],create_option(2000000), desired_access(100080)"));
}

TEST_F(PolicyTest, ReadOnlyOpenIfProbesForTheTarget) {
    WriteNoFence(&DebugLevel, KX_DBG_ERROR);
    EXPECT_FALSE(Blocks(READONLY, FILE_OPEN_IF, 0, FILE_GENERIC_READ));
    EXPECT_TRUE(machine().DebugContains("PERMIT(1) disposition(3), desired_access(120089),create_option(3000000)"));
    EXPECT_TRUE(Blocks(READONLY, FILE_OPEN_IF, 0, FILE_GENERIC_READ, u"missing.txt"));
    EXPECT_TRUE(machine().DebugContains("block(5) disposition(3), desired_access(120089)"));
    EXPECT_TRUE(Blocks(READONLY, FILE_OPEN_IF, 0, FILE_WRITE_DATA));
    EXPECT_TRUE(machine().DebugContains("block(3) disposition(3), desired_access(2)"));
    EXPECT_TRUE(Blocks(READONLY, FILE_OPEN_IF, 0, DELETE | FILE_WRITE_DATA));
    EXPECT_TRUE(machine().DebugContains("block(6) disposition(3)"));
    // A directory is not an existing file.
    EXPECT_TRUE(Blocks(READONLY, FILE_OPEN_IF, 0, FILE_GENERIC_READ, u"folder"));
    EXPECT_TRUE(machine().DebugContains(
        "FILE_OVERWRITE_IF , FILE_OPEN_IF disposition[3]create_option(3000000), desired_access(120089)"));
}

// The file system truncates or replaces an existing file for FILE_OVERWRITE,
// FILE_OVERWRITE_IF and FILE_SUPERSEDE whatever access was asked: on a read-only
// device that loses data, so they are refused when the target exists. Creating a
// new file without write access stays allowed.
TEST_F(PolicyTest, ReadOnlyRefusesReplacingAnExistingFile) {
    WriteNoFence(&DebugLevel, KX_DBG_ERROR);
    EXPECT_TRUE(Blocks(READONLY, FILE_OVERWRITE, 0, FILE_GENERIC_READ));
    EXPECT_TRUE(machine().DebugContains("block(9) disposition(4), desired_access(120089),create_option(4000000)"));
    EXPECT_TRUE(Blocks(READONLY, FILE_OVERWRITE_IF, 0, FILE_GENERIC_READ));
    EXPECT_TRUE(machine().DebugContains("block(10) disposition(5), desired_access(120089)"));
    EXPECT_TRUE(Blocks(READONLY, FILE_SUPERSEDE, 0, FILE_GENERIC_READ));
    EXPECT_TRUE(machine().DebugContains("block(8) disposition(0), desired_access(120089)"));
    // A missing target: superseding creates a new, empty file (allowed without
    // write access); overwrite-if is refused as open-if is (the probe fails).
    EXPECT_FALSE(Blocks(READONLY, FILE_SUPERSEDE, 0, FILE_READ_ATTRIBUTES | SYNCHRONIZE, u"new.txt"));
    EXPECT_TRUE(Blocks(READONLY, FILE_OVERWRITE_IF, 0, FILE_GENERIC_READ, u"new.txt"));
    EXPECT_TRUE(machine().DebugContains("block(5) disposition(5)"));
    EXPECT_FALSE(Blocks(READONLY, 6, 0, FILE_GENERIC_WRITE | DELETE));
}

TEST_F(PolicyTest, DecisionDoesNotDependOnTheDebugLevel) {
    struct Request {
        ULONG disposition;
        ACCESS_MASK access;
        const char16_t* file;
    };
    const Request requests[] = {
        {FILE_OPEN, DELETE, u"present.txt"},     {FILE_OPEN, FILE_WRITE_DATA, u"present.txt"},
        {FILE_OPEN_IF, 0x1, u"present.txt"},     {FILE_OPEN_IF, 0x1, u"gone.txt"},
        {FILE_CREATE, FILE_WRITE_DATA, u"x.txt"}, {FILE_OVERWRITE, DELETE, u"present.txt"},
    };
    for (const Request& r : requests) {
        WriteNoFence(&DebugLevel, 0);
        const bool quiet = Blocks(READONLY, r.disposition, 0, r.access, r.file);
        WriteNoFence(&DebugLevel, KX_DBG_ERROR | KX_DBG_INFO);
        EXPECT_EQ(Blocks(READONLY, r.disposition, 0, r.access, r.file), quiet);
    }
}

}  // namespace
