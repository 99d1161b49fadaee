// Volumes and FltCreateFile against the volumes' host directories, plus file-name
// information for a file object.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>

#include "winsim/io/fltmgr.h"
#include "winsim/winsim.h"

using winsim::Machine;
using winsim::VolumeKind;
namespace fs = std::filesystem;

namespace {

// A minifilter that only records its instance on each volume.
namespace files_driver {

PFLT_FILTER g_filter;
std::map<PFLT_VOLUME, PFLT_INSTANCE> g_instances;
std::vector<PFLT_VOLUME> g_volumes;  // in setup order

NTSTATUS Unload(FLT_FILTER_UNLOAD_FLAGS) {
    FltUnregisterFilter(g_filter);
    return STATUS_SUCCESS;
}

NTSTATUS Setup(PCFLT_RELATED_OBJECTS objects, FLT_INSTANCE_SETUP_FLAGS, DEVICE_TYPE, FLT_FILESYSTEM_TYPE) {
    g_instances[objects->Volume] = objects->Instance;
    g_volumes.push_back(objects->Volume);
    return STATUS_SUCCESS;
}

const FLT_REGISTRATION kRegistration = {sizeof(FLT_REGISTRATION), FLT_REGISTRATION_VERSION, 0, nullptr, nullptr,
                                        Unload, Setup, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                        nullptr, nullptr};

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    NTSTATUS status = FltRegisterFilter(driver, &kRegistration, &g_filter);
    if (!NT_SUCCESS(status)) return status;
    status = FltStartFiltering(g_filter);
    if (!NT_SUCCESS(status)) FltUnregisterFilter(g_filter);
    return status;
}

}  // namespace files_driver

class IoFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        machine_ = &Machine::Boot();
        files_driver::g_instances.clear();
        files_driver::g_volumes.clear();
        c_ = M().AddVolume({VolumeKind::LocalDisk, u"", u"", ""});
        cd_ = M().AddVolume({VolumeKind::CdRom, u"", u"", ""});
        M().RegisterDriverImage(u"files.sys", files_driver::Entry);
        ASSERT_EQ(M().LoadDriver(u"files", u"files.sys"), STATUS_SUCCESS);
        ASSERT_EQ(files_driver::g_volumes.size(), 2u);
        instance_ = files_driver::g_instances[files_driver::g_volumes[0]];
    }
    void TearDown() override {
        if (Machine::Running()) {
            EXPECT_EQ(M().UnloadDriver(u"files"), STATUS_SUCCESS);
            EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
        }
        Machine::Shutdown();
    }
    Machine& M() { return *machine_; }

    NTSTATUS Create(const std::u16string& path, ULONG disposition, ULONG options, HANDLE* handle, ULONG_PTR* info,
                    PFLT_INSTANCE instance = nullptr, HANDLE root = nullptr) {
        UNICODE_STRING name;
        name.Buffer = const_cast<PWSTR>(reinterpret_cast<PCWSTR>(path.c_str()));
        name.Length = name.MaximumLength = (USHORT)(path.size() * 2);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, root, nullptr);
        IO_STATUS_BLOCK iosb{};
        iosb.Information = 0xdead;
        *handle = nullptr;
        NTSTATUS status = FltCreateFile(files_driver::g_filter, instance ? instance : instance_, handle,
                                        GENERIC_READ | GENERIC_WRITE, &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
                                        FILE_SHARE_READ, disposition, options, nullptr, 0, 0);
        EXPECT_EQ(iosb.Status, status);
        if (info) *info = iosb.Information;
        return status;
    }
    // Creates, checks and closes; returns the status and the information value.
    std::pair<NTSTATUS, ULONG_PTR> Try(const std::u16string& path, ULONG disposition, ULONG options = 0) {
        HANDLE h = nullptr;
        ULONG_PTR info = 0;
        NTSTATUS status = Create(path, disposition, options, &h, &info);
        if (NT_SUCCESS(status)) {
            EXPECT_NE(h, nullptr);
            EXPECT_EQ(FltClose(h), STATUS_SUCCESS);
        } else {
            EXPECT_EQ(h, nullptr);
        }
        return {status, info};
    }
    std::string Host(const std::string& relative) { return c_.hostDir + "/" + relative; }
    void Write(const std::string& relative, const std::string& text) { std::ofstream(Host(relative)) << text; }

    Machine* machine_ = nullptr;
    winsim::VolumeInfo c_, cd_;
    PFLT_INSTANCE instance_ = nullptr;
};

const std::u16string kVol = u"\\Device\\HarddiskVolume2";

TEST_F(IoFilesTest, VolumeDefaults) {
    EXPECT_EQ(c_.deviceName, kVol);
    EXPECT_EQ(c_.dosName, u"C:");
    EXPECT_EQ(c_.hostDir, winsim::detail::RootDir() + "/HarddiskVolume2");
    EXPECT_TRUE(fs::is_directory(c_.hostDir));
    EXPECT_EQ(cd_.deviceName, u"\\Device\\CdRom0");
    EXPECT_EQ(cd_.dosName, u"D:");
    auto usb = M().AddVolume({VolumeKind::UsbFlashDisk, u"", u"", ""});
    EXPECT_EQ(usb.deviceName, u"\\Device\\HarddiskVolume3");
    EXPECT_EQ(usb.dosName, u"E:");
    auto floppy = M().AddVolume({VolumeKind::Floppy, u"", u"", ""});
    EXPECT_EQ(floppy.deviceName, u"\\Device\\Floppy0");
    auto net = M().AddVolume({VolumeKind::Network, u"", u"", ""});
    EXPECT_EQ(net.deviceName, u"\\Device\\Mup");
    EXPECT_TRUE(net.dosName.empty());
    auto mapped = M().AddVolume({VolumeKind::Network, u"\\Device\\LanmanRedirector", u"Z:", ""});
    EXPECT_EQ(mapped.dosName, u"Z:");
    EXPECT_THROW(M().AddVolume({VolumeKind::LocalDisk, u"\\Device\\HarddiskVolume2", u"", ""}), std::invalid_argument);
    EXPECT_THROW(M().AddVolume({VolumeKind::LocalDisk, u"", u"c:", ""}), std::invalid_argument);
    auto custom = M().AddVolume({VolumeKind::LocalDisk, u"", u"", winsim::detail::RootDir() + "/elsewhere/x"});
    EXPECT_EQ(custom.deviceName, u"\\Device\\HarddiskVolume4");
    EXPECT_TRUE(fs::is_directory(custom.hostDir));
    auto volumes = M().Volumes();
    ASSERT_EQ(volumes.size(), 7u);
    EXPECT_EQ(volumes[0].deviceName, kVol);
    EXPECT_EQ(volumes[6].kind, VolumeKind::LocalDisk);
    EXPECT_EQ(files_driver::g_volumes.size(), 7u);  // each new volume got an instance
}

TEST_F(IoFilesTest, DispositionsOnFiles) {
    EXPECT_EQ(Try(kVol + u"\\new.txt", FILE_OPEN), std::make_pair(STATUS_OBJECT_NAME_NOT_FOUND, (ULONG_PTR)FILE_DOES_NOT_EXIST));
    EXPECT_EQ(Try(kVol + u"\\new.txt", FILE_OVERWRITE).first, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(fs::exists(Host("new.txt")));

    EXPECT_EQ(Try(kVol + u"\\new.txt", FILE_CREATE), std::make_pair(STATUS_SUCCESS, (ULONG_PTR)FILE_CREATED));
    EXPECT_TRUE(fs::is_regular_file(Host("new.txt")));
    EXPECT_EQ(Try(kVol + u"\\new.txt", FILE_CREATE), std::make_pair(STATUS_OBJECT_NAME_COLLISION, (ULONG_PTR)FILE_EXISTS));
    EXPECT_EQ(Try(kVol + u"\\NEW.TXT", FILE_OPEN), std::make_pair(STATUS_SUCCESS, (ULONG_PTR)FILE_OPENED));
    EXPECT_EQ(Try(kVol + u"\\new.txt", FILE_OPEN_IF), std::make_pair(STATUS_SUCCESS, (ULONG_PTR)FILE_OPENED));
    EXPECT_EQ(Try(kVol + u"\\other.txt", FILE_OPEN_IF), std::make_pair(STATUS_SUCCESS, (ULONG_PTR)FILE_CREATED));

    Write("new.txt", "content");
    EXPECT_EQ(Try(kVol + u"\\new.txt", FILE_OVERWRITE), std::make_pair(STATUS_SUCCESS, (ULONG_PTR)FILE_OVERWRITTEN));
    EXPECT_EQ(fs::file_size(Host("new.txt")), 0u);
    Write("new.txt", "content");
    EXPECT_EQ(Try(kVol + u"\\new.txt", FILE_OVERWRITE_IF), std::make_pair(STATUS_SUCCESS, (ULONG_PTR)FILE_OVERWRITTEN));
    EXPECT_EQ(fs::file_size(Host("new.txt")), 0u);
    EXPECT_EQ(Try(kVol + u"\\third.txt", FILE_OVERWRITE_IF), std::make_pair(STATUS_SUCCESS, (ULONG_PTR)FILE_CREATED));
    Write("new.txt", "content");
    EXPECT_EQ(Try(kVol + u"\\new.txt", FILE_SUPERSEDE), std::make_pair(STATUS_SUCCESS, (ULONG_PTR)FILE_SUPERSEDED));
    EXPECT_EQ(fs::file_size(Host("new.txt")), 0u);
    EXPECT_EQ(Try(kVol + u"\\fourth.txt", FILE_SUPERSEDE), std::make_pair(STATUS_SUCCESS, (ULONG_PTR)FILE_CREATED));
    EXPECT_TRUE(fs::exists(Host("fourth.txt")));
}

TEST_F(IoFilesTest, DirectoriesAndPaths) {
    EXPECT_EQ(Try(kVol + u"\\dir", FILE_CREATE, FILE_DIRECTORY_FILE).first, STATUS_SUCCESS);
    EXPECT_TRUE(fs::is_directory(Host("dir")));
    EXPECT_EQ(Try(kVol + u"\\dir", FILE_OPEN, FILE_NON_DIRECTORY_FILE).first, STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(Try(kVol + u"\\dir", FILE_OPEN, FILE_DIRECTORY_FILE).first, STATUS_SUCCESS);
    EXPECT_EQ(Try(kVol + u"\\dir", FILE_OPEN).first, STATUS_SUCCESS);
    EXPECT_EQ(Try(kVol + u"\\dir", FILE_CREATE, FILE_DIRECTORY_FILE).first, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Try(kVol + u"\\dir", FILE_OVERWRITE_IF, FILE_DIRECTORY_FILE).first, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Try(kVol + u"\\dir\\file.txt", FILE_CREATE, FILE_NON_DIRECTORY_FILE).first, STATUS_SUCCESS);
    EXPECT_TRUE(fs::is_regular_file(Host("dir/file.txt")));
    EXPECT_EQ(Try(kVol + u"\\DIR\\File.TXT", FILE_OPEN, FILE_DIRECTORY_FILE).first, STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(Try(kVol + u"\\missing\\file.txt", FILE_CREATE).first, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Try(kVol + u"\\dir\\file.txt\\below", FILE_CREATE).first, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Try(kVol + u"\\dir\\..\\..\\escape.txt", FILE_CREATE).first, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Try(kVol + u"\\dir\\.\\x.txt", FILE_CREATE).first, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Try(kVol + u"\\a/b.txt", FILE_CREATE).first, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Try(kVol + u"\\dir\\\\x.txt", FILE_CREATE).first, STATUS_OBJECT_NAME_INVALID);
    EXPECT_FALSE(fs::exists(fs::path(c_.hostDir).parent_path() / "escape.txt"));
    EXPECT_EQ(Try(kVol, FILE_OPEN, FILE_DIRECTORY_FILE).first, STATUS_SUCCESS);  // the volume root
    EXPECT_EQ(Try(kVol + u"\\", FILE_OPEN).first, STATUS_SUCCESS);
    EXPECT_EQ(Try(u"\\Device\\HarddiskVolume9\\x.txt", FILE_OPEN_IF).first, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Try(kVol + u"\\x.txt", 7).first, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Try(kVol + u"\\x.txt", FILE_OPEN_IF, FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE).first,
              STATUS_INVALID_PARAMETER);
    // A DOS-device name reaches the same file.
    EXPECT_EQ(Try(u"\\??\\C:\\dir\\file.txt", FILE_OPEN).first, STATUS_SUCCESS);
}

TEST_F(IoFilesTest, RelativeOpenInstanceCheckAndDeleteOnClose) {
    fs::create_directory(Host("base"));
    HANDLE dir = nullptr;
    ASSERT_EQ(Create(kVol + u"\\base", FILE_OPEN, FILE_DIRECTORY_FILE, &dir, nullptr), STATUS_SUCCESS);
    HANDLE file = nullptr;
    ASSERT_EQ(Create(u"rel.txt", FILE_CREATE, 0, &file, nullptr, nullptr, dir), STATUS_SUCCESS);
    EXPECT_TRUE(fs::exists(Host("base/rel.txt")));
    EXPECT_EQ(FltClose(file), STATUS_SUCCESS);
    EXPECT_EQ(FltClose(file), STATUS_INVALID_HANDLE);
    EXPECT_EQ(FltClose(dir), STATUS_SUCCESS);

    // The instance must be on the volume of the name.
    PFLT_INSTANCE cdInstance = files_driver::g_instances[files_driver::g_volumes[1]];
    EXPECT_NE(Create(kVol + u"\\x.txt", FILE_OPEN_IF, 0, &file, nullptr, cdInstance), STATUS_SUCCESS);
    // CD-ROMs are read-only.
    EXPECT_NE(Create(cd_.deviceName + u"\\x.txt", FILE_CREATE, 0, &file, nullptr, cdInstance), STATUS_SUCCESS);
    EXPECT_FALSE(fs::exists(cd_.hostDir + "/x.txt"));

    ASSERT_EQ(Create(kVol + u"\\temp.txt", FILE_CREATE, FILE_DELETE_ON_CLOSE, &file, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(fs::exists(Host("temp.txt")));
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
    EXPECT_FALSE(fs::exists(Host("temp.txt")));
}

TEST_F(IoFilesTest, NameInformationOfAFileObject) {
    Write("report.final.txt", "x");
    HANDLE h = nullptr;
    ASSERT_EQ(Create(kVol + u"\\Report.Final.txt", FILE_OPEN, 0, &h, nullptr), STATUS_SUCCESS);
    auto file = winsim::detail::ReferenceHandleAs<winsim::io::FileObject>(h);
    ASSERT_NE(file, nullptr);
    FLT_IO_PARAMETER_BLOCK iopb{};
    iopb.TargetFileObject = &file->file;
    iopb.TargetInstance = instance_;
    FLT_CALLBACK_DATA data{.Iopb = &iopb};
    PFLT_FILE_NAME_INFORMATION info = nullptr;
    ASSERT_EQ(FltGetFileNameInformation(&data, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, &info),
              STATUS_SUCCESS);
    EXPECT_EQ(winsim::io::ToU16(&info->Name), kVol + u"\\Report.Final.txt");
    ASSERT_EQ(FltParseFileNameInformation(info), STATUS_SUCCESS);
    EXPECT_EQ(winsim::io::ToU16(&info->Volume), kVol);
    EXPECT_EQ(winsim::io::ToU16(&info->ParentDir), u"\\");
    EXPECT_EQ(winsim::io::ToU16(&info->FinalComponent), u"Report.Final.txt");
    EXPECT_EQ(winsim::io::ToU16(&info->Extension), u"txt");
    EXPECT_EQ(info->Stream.Length, 0);
    FltReleaseFileNameInformation(info);
    EXPECT_EQ(FltClose(h), STATUS_SUCCESS);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
    FltReleaseFileNameInformation(info);  // released twice
    EXPECT_FALSE(M().Verifier().Clean());
    M().ClearVerifier();
}

TEST_F(IoFilesTest, NameInformationLeftReferencedIsAViolation) {
    HANDLE h = nullptr;
    ASSERT_EQ(Create(kVol + u"\\kept.txt", FILE_OPEN_IF, 0, &h, nullptr), STATUS_SUCCESS);
    auto file = winsim::detail::ReferenceHandleAs<winsim::io::FileObject>(h);
    FLT_IO_PARAMETER_BLOCK iopb{};
    iopb.TargetFileObject = &file->file;
    iopb.TargetInstance = instance_;
    FLT_CALLBACK_DATA data{.Iopb = &iopb};
    PFLT_FILE_NAME_INFORMATION info = nullptr;
    ASSERT_EQ(FltGetFileNameInformation(&data, FLT_FILE_NAME_OPENED, &info), STATUS_SUCCESS);
    EXPECT_EQ(FltClose(h), STATUS_SUCCESS);
    ASSERT_EQ(M().UnloadDriver(u"files"), STATUS_SUCCESS);
    auto report = M().Verifier();
    EXPECT_NE(report.ToString().find("FltReleaseFileNameInformation"), std::string::npos) << report.ToString();
    Machine::Shutdown();
}

TEST_F(IoFilesTest, HandleLeftOpenAtUnloadIsReported) {
    HANDLE h = nullptr;
    ASSERT_EQ(Create(kVol + u"\\leak.txt", FILE_OPEN_IF, 0, &h, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(M().UnloadDriver(u"files"), STATUS_SUCCESS);
    auto report = M().Verifier();
    ASSERT_EQ(report.violations.size(), 1u) << report.ToString();
    EXPECT_NE(report.violations[0].find("FltCreateFile"), std::string::npos) << report.violations[0];
    ZwClose(h);
    Machine::Shutdown();
}

TEST_F(IoFilesTest, CreateFileAbovePassiveIsAViolation) {
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    Try(kVol + u"\\p.txt", FILE_OPEN_IF);
    KeLowerIrql(old);
    EXPECT_FALSE(M().Verifier().Clean());
    M().ClearVerifier();
}

}  // namespace
