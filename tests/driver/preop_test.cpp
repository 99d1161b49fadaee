// The pre-operation callbacks beyond the plain policy matrix: the typical request
// end to end, trusted and system processes, the control process, kernel-mode
// requests, listed USB disks, network host exceptions, the CD-ROM volume itself,
// the burn folder, protected folders, the bypass test, and the faults mended.
#include "tests/driver/preop_fixture.h"

namespace kxtest {
namespace {

constexpr ACCESS_MASK kReadWrite = FILE_GENERIC_READ | FILE_GENERIC_WRITE;

class PreopRowsTest : public PreopTest {
protected:
    // A create on the USB flash drive by process p; the handle is closed again.
    NTSTATUS CreateOnFlash(PEPROCESS p, ACCESS_MASK access = kReadWrite, ULONG disposition = FILE_OPEN,
                           const std::string& name = "f.txt", const winsim::RequestOptions& ro = {}) {
        winsim::OpenFile* f = nullptr;
        NTSTATUS status = Open(PlaceOn(flash_), name, access, disposition, &f, p, kFileOptions, "", ro).status;
        Close(f);
        return status;
    }
    PEPROCESS Start(const std::u16string& image, std::optional<std::u16string> shortName = std::nullopt,
                    const std::u16string& commandLine = u"") {
        winsim::ProcessOptions o;
        o.imagePath = image;
        o.shortImageName = shortName;
        o.commandLine = commandLine;
        PEPROCESS p = machine().StartProcess(o);
        EXPECT_NE(p, nullptr);
        return p;
    }
    void SetUp() override {
        PreopTest::SetUp();
        if (HasFatalFailure()) return;
        PutFile(PlaceOn(flash_), "f.txt", "data");
    }
};

// ------------------------------------------------------------ the typical request

class TypicalRequestTest : public PreopTest {};

// A process opens a file for writing on a USB flash drive under READONLY with
// logging: the open passes unrecorded, the first write is refused and recorded.
TEST_F(TypicalRequestTest, OpenForWritePassesFirstWriteIsRefusedAndRecorded) {
    ASSERT_FALSE(connects_.empty());
    for (const EVENT_RECORD& r : connects_) EXPECT_EQ(r.code, (ULONG)CONNECT);
    const Place usb = PlaceOn(flash_);
    PutFile(usb, "report.docx", "original");
    Policy(BDC_USB_DISK, READONLY, 1);

    winsim::OpenFile* f = nullptr;
    const winsim::IoResult open = Open(usb, "report.docx", kReadWrite, FILE_OPEN, &f);
    EXPECT_EQ(open.status, STATUS_SUCCESS);
    EXPECT_TRUE(open.reachedFileSystem);
    const winsim::IoResult write = machine().WriteFile(f, 0, "changed");
    EXPECT_EQ(write.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(write.information, 0u);
    Close(f);
    EXPECT_EQ(Content(usb, "report.docx"), std::optional<std::string>("original"));

    const std::vector<EVENT_RECORD> records = Drain();
    ASSERT_EQ(records.size(), 1u);
    ExpectRecord(records, BDC_USB_DISK, READONLY, 1, u"app.exe", usb.prefix + u"\\report.docx", "typical");
}

// The same request with the CONNECT records still waiting: one GET_LOG answers
// them and the single POLICY record together.
class TypicalRequestWithConnectsTest : public PreopTest {
protected:
    void SetUp() override {
        PreopTest::SetUp();
        if (HasFatalFailure()) return;
        // Bring the CONNECT records back by attaching the volumes again.
        for (const winsim::VolumeInfo* v : {&local_, &flash_}) {
            ASSERT_EQ(machine().DetachInstance(kServiceName, v->deviceName), STATUS_SUCCESS);
            ASSERT_EQ(machine().AttachInstance(kServiceName, v->deviceName), STATUS_SUCCESS);
        }
    }
};

TEST_F(TypicalRequestWithConnectsTest, OnePolicyRecordBesideTheConnectRecords) {
    const Place usb = PlaceOn(flash_);
    PutFile(usb, "report.docx", "original");
    Policy(BDC_USB_DISK, READONLY, 1);
    winsim::OpenFile* f = nullptr;
    EXPECT_EQ(Open(usb, "report.docx", kReadWrite, FILE_OPEN, &f).status, STATUS_SUCCESS);
    EXPECT_EQ(machine().WriteFile(f, 0, "changed").status, STATUS_ACCESS_DENIED);
    Close(f);

    std::vector<uint8_t> out(GetLogReplySize(16));
    RawMessage msg(GET_LOG);
    ASSERT_EQ(Send(msg, out.data(), static_cast<uint32_t>(out.size())).status, STATUS_SUCCESS);
    std::vector<EVENT_RECORD> policy;
    size_t connects = 0;
    for (uint32_t i = 0; i < ReplyCount(out); ++i) {
        EVENT_RECORD r = RecordAt(out, i);
        if (r.code == CONNECT) ++connects;
        if (r.code == POLICY) policy.push_back(r);
    }
    EXPECT_EQ(connects, 2u);
    EXPECT_EQ(ReplyCount(out), connects + 1);
    ExpectRecord(policy, BDC_USB_DISK, READONLY, 1, u"app.exe", usb.prefix + u"\\report.docx", "typical");
}

// ------------------------------------------------------------ trusted processes

// A trusted-list hit is cached by process id: the process stays trusted after its
// entry is deleted, until it exits or CLEAR empties the tables.
TEST_F(PreopRowsTest, TrustedListHitIsCachedUntilExitOrClear) {
    WriteNoFence(&DebugLevel, KX_DBG_ERROR | KX_DBG_INFO);
    Policy(BDC_USB_DISK, DISABLE, 1);
    EXPECT_EQ(CreateOnFlash(user_), STATUS_ACCESS_DENIED);
    NextRow();
    TextCommand(SET_PROCESSNAME, KX_PROCESS_TRUSTED, u"app.exe");
    EXPECT_EQ(CreateOnFlash(user_), STATUS_SUCCESS);
    const ULONG pid = machine().ProcessId(user_);
    EXPECT_EQ(PgGetPidState(pid), 1u);
    EXPECT_TRUE(machine().DebugContains("Update Allow Process, Path(\\Device\\HarddiskVolume2\\Users\\kim\\app.exe)(" +
                                        std::to_string(pid) + "), Type(1)"));

    TextCommand(DEL_PROCESSNAME, KX_PROCESS_TRUSTED, u"app.exe");
    machine().ClearDebugOutput();
    EXPECT_EQ(CreateOnFlash(user_), STATUS_SUCCESS);
    EXPECT_FALSE(machine().DebugContains("Update Allow Process"));  // answered from the cache
    EXPECT_TRUE(DrainPolicy().size() == 1);                          // only the refused first create

    // A second process of the same image is not trusted any more.
    PEPROCESS second = Start(kUserImage);
    EXPECT_EQ(CreateOnFlash(second), STATUS_ACCESS_DENIED);

    // Exit forgets the id; CLEAR forgets every cached id.
    machine().ExitProcess(second);
    EXPECT_EQ(PgGetPidState(machine().ProcessId(user_)), 1u);
    Command(CLEAR, 0);
    Policy(BDC_USB_DISK, DISABLE, 0);
    EXPECT_EQ(PgGetPidState(pid), 0u);
    EXPECT_EQ(CreateOnFlash(user_), STATUS_ACCESS_DENIED);
}

TEST_F(PreopRowsTest, ExitedTrustedProcessIdStartsClean) {
    Policy(BDC_USB_DISK, DISABLE, 0);
    PEPROCESS p = Start(u"\\Device\\HarddiskVolume2\\Tools\\tool.exe");
    const uint32_t pid = machine().ProcessId(p);
    TextCommand(SET_PROCESSNAME, KX_PROCESS_TRUSTED, u"tool.exe");
    EXPECT_EQ(CreateOnFlash(p), STATUS_SUCCESS);
    TextCommand(DEL_PROCESSNAME, KX_PROCESS_TRUSTED, u"tool.exe");
    machine().ExitProcess(p);
    winsim::ProcessOptions again;
    again.imagePath = u"\\Device\\HarddiskVolume2\\Tools\\tool.exe";
    again.pid = pid;
    PEPROCESS reused = machine().StartProcess(again);
    ASSERT_NE(reused, nullptr);
    EXPECT_EQ(CreateOnFlash(reused), STATUS_ACCESS_DENIED);
}

// Only the states the process-id tables keep for list entries are cached: an
// entry of type 64 must not put the process into the protected-process table.
TEST_F(PreopRowsTest, TrustedListTypesOutsideTheCachedStatesAreNotCached) {
    Policy(BDC_USB_DISK, DISABLE, 0);
    const ULONG pid = machine().ProcessId(user_);
    TextCommand(SET_PROCESSNAME, KX_PROCESS_PROTECTED, u"app.exe");
    EXPECT_EQ(CreateOnFlash(user_), STATUS_ACCESS_DENIED);  // 64 is not the trusted bit
    EXPECT_EQ(PgIsProtectPid(pid), 0u);
    EXPECT_EQ(PgGetPidState(pid), 0u);

    // 0x21 is trusted for this request but not cached either; 2 is cached.
    TextCommand(SET_PROCESSNAME, 0x21, u"app.exe");  // ORed: 0x61
    EXPECT_EQ(CreateOnFlash(user_), STATUS_SUCCESS);
    EXPECT_EQ(PgGetPidState(pid), 0u);
    EXPECT_EQ(PgIsProtectPid(pid), 0u);
    PEPROCESS other = Start(u"\\Device\\HarddiskVolume2\\Tools\\two.exe");
    TextCommand(SET_PROCESSNAME, 2, u"two.exe");
    EXPECT_EQ(CreateOnFlash(other), STATUS_ACCESS_DENIED);
    EXPECT_EQ(PgGetPidState(machine().ProcessId(other)), 2u);
}

TEST_F(PreopRowsTest, BareNameAndPathEntries) {
    Policy(BDC_USB_DISK, DISABLE, 0);
    struct Row {
        const char16_t* image;
        bool trusted;
    } rows[] = {
        {u"\\Device\\HarddiskVolume2\\Apps\\backup.exe", true},    // bare entry "backup"
        {u"\\Device\\HarddiskVolume2\\Apps\\backup2.exe", true},   // bare entries are prefixes
        {u"\\Device\\HarddiskVolume2\\Apps\\mybackup.exe", false},
        {u"\\Device\\HarddiskVolume2\\Tools\\sync.exe", true},     // path entry "\...\Tools"
        {u"\\Device\\HarddiskVolume2\\Tools\\sub\\x.exe", true},
        {u"\\Device\\HarddiskVolume2\\ToolsX\\evil.exe", false},   // not a component boundary
        {u"\\Device\\HarddiskVolume3\\Tools\\sync.exe", false},
    };
    TextCommand(SET_PROCESSNAME, KX_PROCESS_TRUSTED, u"backup");
    TextCommand(SET_PROCESSNAME, KX_PROCESS_TRUSTED, u"\\Device\\HarddiskVolume2\\Tools");
    for (const Row& row : rows) {
        PEPROCESS p = Start(row.image);
        EXPECT_EQ(CreateOnFlash(p), row.trusted ? STATUS_SUCCESS : STATUS_ACCESS_DENIED) << Utf8(row.image);
    }
}

TEST_F(PreopRowsTest, AutomationProcessesAndSystemIdsAreTrusted) {
    Policy(BDC_USB_DISK, DISABLE, 1);
    PEPROCESS excel = Start(u"\\Device\\HarddiskVolume2\\Office\\EXCEL.EXE", std::nullopt,
                            u"\"C:\\Office\\EXCEL.EXE\" /automation -Embedding");
    EXPECT_EQ(CreateOnFlash(excel), STATUS_SUCCESS);
    PEPROCESS lower = Start(u"\\Device\\HarddiskVolume2\\Office\\excel.exe", std::nullopt,
                            u"\"C:\\Office\\excel.exe\" /automation -Embedding");
    EXPECT_EQ(CreateOnFlash(lower), STATUS_ACCESS_DENIED);
    NextRow();

    EXPECT_EQ(PgGetPidState(0), 1u);
    EXPECT_EQ(CreateOnFlash(machine().SystemProcess()), STATUS_SUCCESS);
    winsim::ProcessOptions eight;
    eight.imagePath = u"\\Device\\HarddiskVolume2\\Windows\\System32\\smss.exe";
    eight.pid = 8;
    PEPROCESS p8 = machine().StartProcess(eight);
    ASSERT_NE(p8, nullptr);
    EXPECT_EQ(CreateOnFlash(p8), STATUS_SUCCESS);
    // Only the refused lower-case automation create was recorded.
    EXPECT_EQ(DrainPolicy().size(), 1u);
}

// A process trusted with 0x21 still has its renames checked in protected folders.
TEST_F(PreopRowsTest, TrustedRenameCheckedProcessInAProtectedFolder) {
    const Place c = PlaceOn(local_);
    PutFile(c, "Secret/readme.txt", "r");
    PutFile(c, "Secret/other.txt", "o");
    TextCommand(SET_PATH, PG_PATH_BLACK, local_.deviceName + u"\\Secret");
    TextCommand(SET_FILENAME, 1, u"readme");
    TextCommand(SET_PROCESSNAME, 0x21, u"app.exe");

    winsim::OpenFile* f = nullptr;
    ASSERT_EQ(Open(c, "Secret/other.txt", kReadWrite | DELETE, FILE_OPEN, &f).status, STATUS_SUCCESS);
    EXPECT_EQ(machine().WriteFile(f, 0, "O2").status, STATUS_SUCCESS);
    EXPECT_EQ(machine().RenameFile(f, u"moved.txt", false).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(machine().RenameFile(f, u"moved.txt", false, FileRenameInformationEx).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(machine().DeleteFile(f, true, FileDispositionInformationEx).status, STATUS_SUCCESS);
    Close(f);
    EXPECT_EQ(Content(c, "Secret/other.txt"), std::nullopt);
    EXPECT_EQ(Content(c, "Secret/moved.txt"), std::nullopt);

    // With only the trusted bit every request passes, renames included.
    PEPROCESS plain = Start(u"\\Device\\HarddiskVolume2\\Apps\\trusted.exe");
    TextCommand(SET_PROCESSNAME, KX_PROCESS_TRUSTED, u"trusted.exe");
    ASSERT_EQ(Open(c, "Secret/readme.txt", kReadWrite | DELETE, FILE_OPEN, &f, plain).status, STATUS_SUCCESS);
    EXPECT_EQ(machine().RenameFile(f, u"readme2.txt", false).status, STATUS_SUCCESS);
    Close(f);
    EXPECT_EQ(Content(c, "Secret/readme2.txt"), std::optional<std::string>("r"));
    EXPECT_TRUE(DrainPolicy().empty());  // folder decisions are never recorded
}

// ------------------------------------------------------------ system processes, control, kernel mode

TEST_F(PreopRowsTest, SystemProcessExemptionsByShortName) {
    Policy(BDC_USB_DISK, DISABLE, 1);
    const Place c = PlaceOn(local_);
    PutFile(c, "Secret/x.txt", "x");
    TextCommand(SET_PATH, PG_PATH_BLACK, local_.deviceName + u"\\Secret");
    struct Row {
        const char16_t* image;
        std::optional<std::u16string> shortName;
        bool usbExempt, localExempt;
    } rows[] = {
        {u"\\Device\\HarddiskVolume2\\Windows\\System32\\svchost.exe", std::nullopt, true, true},
        {u"\\Device\\HarddiskVolume2\\Windows\\System32\\SVCHOST.EXE", std::nullopt, true, true},
        {u"\\Device\\HarddiskVolume2\\Windows\\System32\\SearchIndexer.exe", std::nullopt, true, true},  // cut to 15
        {u"\\Device\\HarddiskVolume2\\Windows\\System32\\dllhost.exe", std::nullopt, false, true},
        {u"\\Device\\HarddiskVolume2\\Program Files\\VMware\\vmtoolsd.exe", std::nullopt, false, true},
        {u"\\Device\\HarddiskVolume2\\Apps\\anything.exe", u"", true, true},  // empty short name: first entry
        {u"\\Device\\HarddiskVolume2\\Apps\\svc.exe", u"svc", true, true},   // begins "svchost.exe"
        {u"\\Device\\HarddiskVolume2\\Apps\\svchost.exe.x", std::nullopt, false, false},
        {u"\\Device\\HarddiskVolume2\\Apps\\notepad.exe", std::nullopt, false, false},
    };
    for (const Row& row : rows) {
        PEPROCESS p = Start(row.image, row.shortName);
        EXPECT_EQ(CreateOnFlash(p), row.usbExempt ? STATUS_SUCCESS : STATUS_ACCESS_DENIED) << Utf8(row.image);
        winsim::OpenFile* f = nullptr;
        EXPECT_EQ(Open(c, "Secret/x.txt", FILE_GENERIC_READ, FILE_OPEN, &f, p).status,
                  row.localExempt ? STATUS_SUCCESS : STATUS_ACCESS_DENIED)
            << Utf8(row.image);
        Close(f);
        NextRow();
    }
    // Exempt processes are never recorded; of the four refused USB creates the
    // event log's noise filter drops vmtoolsd.exe and svchost.exe.x (it matches
    // svchost.exe by prefix).
    EXPECT_EQ(DrainPolicy().size(), 2u);
}

TEST_F(PreopRowsTest, ControlProcessAndKernelModeRequestsPass) {
    Policy(BDC_USB_DISK, DISABLE, 1);
    Policy(BDC_NETWORKDRIVEIN, DISABLE, 1);
    EXPECT_EQ(CreateOnFlash(agent_, kReadWrite, FILE_OVERWRITE_IF), STATUS_SUCCESS);
    winsim::RequestOptions kernel;
    kernel.kernelMode = true;
    EXPECT_EQ(CreateOnFlash(user_, kReadWrite, FILE_OPEN, "f.txt", kernel), STATUS_SUCCESS);
    EXPECT_TRUE(DrainPolicy().empty());

    // A remote client's kernel-mode create is refused all the same.
    const Place c = PlaceOn(local_);
    PutFile(c, "shared.txt", "s");
    winsim::OpenFile* f = nullptr;
    EXPECT_EQ(Open(c, "shared.txt", FILE_GENERIC_READ, FILE_OPEN, &f, user_, kFileOptions, "NtLmSsp ", kernel).status,
              STATUS_ACCESS_DENIED);
    Close(f);
    EXPECT_EQ(DrainPolicy().size(), 1u);
}

// The incoming-network decider reads the short name itself and records it.
TEST_F(PreopRowsTest, NetworkDriveInRecordsTheShortImageName) {
    Policy(BDC_NETWORKDRIVEIN, READONLY, 1);
    const Place c = PlaceOn(local_);
    PutFile(c, "shared.txt", "s");
    struct Row {
        const char16_t* image;
        std::optional<std::u16string> shortName;
        const char16_t* recorded;
    } rows[] = {
        {u"\\Device\\HarddiskVolume2\\Windows\\System32\\svchost.exe", std::nullopt, u"svchost.exe"},
        {u"\\Device\\HarddiskVolume2\\Apps\\averyveryverylongname.exe", std::nullopt, u"averyveryverylo"},
        {u"\\Device\\HarddiskVolume2\\Apps\\x.exe", u"", u""},
    };
    for (const Row& row : rows) {
        PEPROCESS p = Start(row.image, row.shortName);
        winsim::OpenFile* f = nullptr;
        EXPECT_EQ(Open(c, "shared.txt", FILE_GENERIC_READ, FILE_OPEN, &f, p, kFileOptions, "KSecDD  ").status,
                  STATUS_ACCESS_DENIED);
        Close(f);
        std::vector<EVENT_RECORD> records = DrainPolicy();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(Text(records[0].name), row.recorded);
        EXPECT_EQ(Text(records[0].path), c.prefix + u"\\shared.txt");
        EXPECT_EQ(records[0].a0, (ULONG)BDC_NETWORKDRIVEIN);
        EXPECT_EQ(records[0].a1, (ULONG)READONLY);
        NextRow();
    }
}

// When the short name cannot be read at all: the incoming-network decider
// records an empty name and still refuses; elsewhere the process counts as
// having the empty name, which the exemption lists let through.
TEST_F(PreopRowsTest, UnreadableShortName) {
    Policy(BDC_NETWORKDRIVEIN, DISABLE, 1);
    Policy(BDC_USB_DISK, DISABLE, 0);
    const Place c = PlaceOn(local_);
    PutFile(c, "shared.txt", "s");
    const ULONG offset = ProcessNameOffset;
    ProcessNameOffset = 0;
    winsim::OpenFile* f = nullptr;
    const NTSTATUS remote = Open(c, "shared.txt", FILE_GENERIC_READ, FILE_OPEN, &f, user_, kFileOptions, "NtLmSsp ").status;
    Close(f);
    const NTSTATUS usb = CreateOnFlash(user_);
    ProcessNameOffset = offset;
    EXPECT_EQ(remote, STATUS_ACCESS_DENIED);
    EXPECT_EQ(usb, STATUS_SUCCESS);
    const std::vector<EVENT_RECORD> records = DrainPolicy();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].a0, (ULONG)BDC_NETWORKDRIVEIN);
    EXPECT_EQ(Text(records[0].name), u"");
    EXPECT_EQ(Text(records[0].path), c.prefix + u"\\shared.txt");
}

// ------------------------------------------------------------ listed USB disks, hosts, CD-ROM

TEST_F(PreopRowsTest, ListedUsbDiskPassesButIsStillRecorded) {
    RawMessage except(SET_USB_DISK_EXCEPT);
    except.State(STATE_SET).UlType(BDC_USB_DISK).PutAnsi(44, "KXVEND").PutAnsi(64, "LISTED");
    ASSERT_EQ(Send(except).status, STATUS_SUCCESS);
    Policy(BDC_USB_DISK, DISABLE, 1);
    const Place listed = PlaceOn(listedUsb_);
    PutFile(listed, "f.txt", "data");

    winsim::OpenFile* f = nullptr;
    EXPECT_EQ(Open(listed, "f.txt", kReadWrite | DELETE, FILE_OPEN, &f).status, STATUS_SUCCESS);
    ExpectRecord(DrainPolicy(), BDC_USB_DISK, DISABLE, 1, u"app.exe", listed.prefix + u"\\f.txt", "listed create");
    NextRow();
    EXPECT_EQ(machine().WriteFile(f, 0, "DA").status, STATUS_SUCCESS);
    ExpectRecord(DrainPolicy(), BDC_USB_DISK, DISABLE, 1, u"app.exe", listed.prefix + u"\\f.txt", "listed write");
    NextRow();
    EXPECT_EQ(machine().DeleteFile(f, true, FileDispositionInformationEx).status, STATUS_SUCCESS);
    ExpectRecord(DrainPolicy(), BDC_USB_DISK, DISABLE, 1, u"app.exe", listed.prefix + u"\\f.txt", "listed delete");
    Close(f);
    EXPECT_EQ(Content(listed, "f.txt"), std::nullopt);
    // The other USB disk stays refused.
    EXPECT_EQ(CreateOnFlash(user_), STATUS_ACCESS_DENIED);
}

TEST_F(PreopRowsTest, AllowedNetworkHostsPass) {
    Policy(BDC_NETWORKDRIVEOUT, DISABLE, 1);
    Policy(BDC_NETWORKSHAREOUT, DISABLE, 1);
    const Place unc = PlaceOn(mup_), mapped = PlaceOn(mapped_);
    PutFile(unc, "f.txt", "u");
    PutFile(mapped, "f.txt", "m");
    auto write = [&](const Place& place) {
        winsim::OpenFile* f = nullptr;
        NTSTATUS status = Open(place, "f.txt", kReadWrite, FILE_OPEN, &f).status;
        NextRow();
        if (NT_SUCCESS(status)) status = machine().WriteFile(f, 0, "W").status;
        Close(f);
        NextRow();
        return status;
    };
    EXPECT_EQ(write(unc), STATUS_ACCESS_DENIED);
    EXPECT_EQ(write(mapped), STATUS_ACCESS_DENIED);
    SetAllowHost(WSTR("server"));
    EXPECT_EQ(write(unc), STATUS_SUCCESS);
    EXPECT_EQ(write(mapped), STATUS_SUCCESS);
    EXPECT_EQ(Content(unc, "f.txt"), std::optional<std::string>("W"));
    // Allowed requests are still recorded on a refusing device: 2 refused + 2 x (open, write).
    EXPECT_EQ(DrainPolicy().size(), 6u);
    CleanupHostIpLists();
}

TEST_F(PreopRowsTest, CdRomVolumeItselfOpensUnderDisable) {
    Policy(BDC_CDROM, DISABLE, 0);
    PutFile(PlaceOn(cdrom_), "f.txt", "cd");
    for (const char16_t* path : {u"\\Device\\CdRom0", u"\\Device\\CdRom0\\"}) {
        winsim::CreateRequest r;
        r.path = path;
        r.desiredAccess = FILE_GENERIC_READ;
        winsim::OpenFile* f = nullptr;
        const winsim::IoResult result = machine().CreateFile(user_, r, &f);
        EXPECT_NE(result.status, STATUS_ACCESS_DENIED) << Utf8(path);
        EXPECT_TRUE(result.reachedFileSystem) << Utf8(path);
        Close(f);
    }
    winsim::OpenFile* f = nullptr;
    EXPECT_EQ(Open(PlaceOn(cdrom_), "f.txt", FILE_GENERIC_READ, FILE_OPEN, &f).status, STATUS_ACCESS_DENIED);
    Close(f);
}

// ------------------------------------------------------------ the burn folder

TEST_F(PreopRowsTest, BurnFolderFirstReadIsRefusedWhileCdRomIsRestricted) {
    const Place c = PlaceOn(local_);
    const std::string folder = "Users/kim/AppData/Local/Microsoft/Windows/Burn/Burn/";
    PutFile(c, folder + "photo.jpg", "jpegdata");
    PutFile(c, folder + "desktop.ini", "ini");
    winsim::OpenFile* photo = nullptr;
    winsim::OpenFile* ini = nullptr;
    ASSERT_EQ(Open(c, folder + "photo.jpg", FILE_GENERIC_READ, FILE_OPEN, &photo).status, STATUS_SUCCESS);
    ASSERT_EQ(Open(c, folder + "desktop.ini", FILE_GENERIC_READ, FILE_OPEN, &ini).status, STATUS_SUCCESS);
    std::string data;

    EXPECT_EQ(machine().ReadFile(photo, 0, 4, &data).status, STATUS_SUCCESS);  // CD-ROM allowed
    Policy(BDC_CDROM, READONLY, 0);
    EXPECT_EQ(machine().ReadFile(photo, 0, 4, &data).status, STATUS_ACCESS_DENIED);
    std::vector<EVENT_RECORD> records = DrainPolicy();  // recorded whatever the CD-ROM log flag
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].a0, (ULONG)BDC_CDROM);
    EXPECT_EQ(records[0].a1, (ULONG)READONLY);
    EXPECT_EQ(Text(records[0].name), u"app.exe");
    EXPECT_EQ(Text(records[0].path),
              u"\\device\\harddiskvolume2\\users\\kim\\appdata\\local\\microsoft\\windows\\burn\\burn\\photo.jpg");

    EXPECT_EQ(machine().ReadFile(photo, 4, 4, &data).status, STATUS_SUCCESS);
    EXPECT_EQ(data, "data");
    EXPECT_EQ(machine().ReadFile(ini, 0, 3, &data).status, STATUS_SUCCESS);
    winsim::RequestOptions fast;
    fast.fastIo = true;
    EXPECT_EQ(machine().ReadFile(photo, 0, 4, &data, fast).status, STATUS_SUCCESS);
    // At APC_LEVEL the read is refused all the same, without a record.
    winsim::RequestOptions apc;
    apc.irql = APC_LEVEL;
    NextRow();
    EXPECT_EQ(machine().ReadFile(photo, 0, 4, &data, apc).status, STATUS_ACCESS_DENIED);
    EXPECT_TRUE(DrainPolicy().empty());
    // Device protection off: passes.
    Command(START_DEVICE_PROTECT, 0);
    EXPECT_EQ(machine().ReadFile(photo, 0, 4, &data).status, STATUS_SUCCESS);
    Close(photo);
    Close(ini);
}

// ------------------------------------------------------------ protected folders

TEST_F(PreopRowsTest, ProtectedFolderWithListedFileNames) {
    WriteNoFence(&DebugLevel, KX_DBG_ERROR | KX_DBG_INFO);
    const Place c = PlaceOn(local_);
    PutFile(c, "Secret/readme.txt", "r");
    PutFile(c, "Secret/other.txt", "o");
    PutFile(c, "Open/free.txt", "f");
    TextCommand(SET_PATH, PG_PATH_BLACK, local_.deviceName + u"\\Secret");
    TextCommand(SET_FILENAME, 1, u"readme");
    TextCommand(SET_FILENAME, 2, u"other");  // type 2 is never asked for

    struct Row {
        const char* file;
        ACCESS_MASK access;
        ULONG options;
        NTSTATUS status;
    } rows[] = {
        {"Secret/readme.txt", FILE_GENERIC_READ, kFileOptions, STATUS_SUCCESS},
        {"Secret/README.TXT", FILE_GENERIC_READ, kFileOptions, STATUS_SUCCESS},
        {"Secret/readme.txt", FILE_GENERIC_READ | FILE_WRITE_DATA, kFileOptions, STATUS_ACCESS_DENIED},
        {"Secret/readme.txt", FILE_GENERIC_READ | FILE_WRITE_ATTRIBUTES, kFileOptions, STATUS_ACCESS_DENIED},
        {"Secret/readme.txt", DELETE, kFileOptions, STATUS_ACCESS_DENIED},
        {"Secret/other.txt", FILE_GENERIC_READ, kFileOptions, STATUS_ACCESS_DENIED},
        {"Secret", FILE_GENERIC_READ, FILE_DIRECTORY_FILE, STATUS_ACCESS_DENIED},
        {"Open/free.txt", kReadWrite | DELETE, kFileOptions, STATUS_SUCCESS},
    };
    for (const Row& row : rows) {
        winsim::OpenFile* f = nullptr;
        EXPECT_EQ(Open(c, row.file, row.access, FILE_OPEN, &f, user_, row.options).status, row.status) << row.file;
        Close(f);
    }
    EXPECT_TRUE(machine().DebugContains("PG_PATH_BLACK PERMIT FILENAME: Path(\\Device\\HarddiskVolume2\\Secret\\readme.txt)"));
    EXPECT_TRUE(machine().DebugContains("ACCESS DENIED (Local Disk): Path(\\Device\\HarddiskVolume2\\Secret\\other.txt)"));
    EXPECT_TRUE(machine().DebugContains("desiredaccess(120089)\tname(readme.txt)\tlen(20)"));

    // A listed file opened for reading by a trusted process and written through a
    // handle: writes pass, renames and deletes (all four classes) do not.
    PEPROCESS trusted = Start(u"\\Device\\HarddiskVolume2\\Apps\\editor.exe");
    TextCommand(SET_PROCESSNAME, KX_PROCESS_TRUSTED, u"editor.exe");
    winsim::OpenFile* f = nullptr;
    ASSERT_EQ(Open(c, "Secret/readme.txt", kReadWrite | DELETE, FILE_OPEN, &f, trusted).status, STATUS_SUCCESS);
    TextCommand(DEL_PROCESSNAME, KX_PROCESS_TRUSTED, u"editor.exe");
    Command(CLEAR, 0);  // forgets the cached trust; the lists are set again
    Command(START_FOLDER_PROTECT, 1);
    TextCommand(SET_PATH, PG_PATH_BLACK, local_.deviceName + u"\\Secret");
    TextCommand(SET_FILENAME, 1, u"readme");
    EXPECT_EQ(machine().WriteFile(f, 0, "R2").status, STATUS_SUCCESS);
    EXPECT_EQ(machine().RenameFile(f, u"x.txt", false).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(machine().RenameFile(f, u"x.txt", false, FileRenameInformationEx).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(machine().DeleteFile(f).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(machine().DeleteFile(f, true, FileDispositionInformationEx).status, STATUS_ACCESS_DENIED);
    Close(f);
    EXPECT_EQ(Content(c, "Secret/readme.txt"), std::optional<std::string>("R2"));
    // Folder protection off: everything passes.
    Command(START_FOLDER_PROTECT, 0);
    winsim::OpenFile* g = nullptr;
    EXPECT_EQ(Open(c, "Secret/other.txt", kReadWrite, FILE_OPEN, &g).status, STATUS_SUCCESS);
    Close(g);
    EXPECT_TRUE(DrainPolicy().empty());
}

// ------------------------------------------------------------ bypass test

TEST_F(PreopRowsTest, BypassedRequests) {
    Policy(BDC_USB_DISK, DISABLE, 1);
    // Stopped: nothing is filtered.
    Command(STOP, 0);
    EXPECT_EQ(CreateOnFlash(user_), STATUS_SUCCESS);
    Command(START, 1);
    // Device protection off: the device policy is not applied, nor recorded.
    Command(START_DEVICE_PROTECT, 0);
    EXPECT_EQ(CreateOnFlash(user_), STATUS_SUCCESS);
    EXPECT_TRUE(DrainPolicy().empty());
    Command(START_DEVICE_PROTECT, 1);
    // A request that already carries a failure or a reparse status.
    winsim::RequestOptions preset;
    preset.presetIoStatus = true;
    preset.presetStatus = (NTSTATUS)0x00000104L;  // STATUS_REPARSE
    winsim::OpenFile* f = nullptr;
    Policy(BDC_USB_DISK, READONLY, 1);  // opens for writing pass, writes do not
    ASSERT_EQ(Open(PlaceOn(flash_), "f.txt", kReadWrite, FILE_OPEN, &f).status, STATUS_SUCCESS);
    NextRow();
    EXPECT_NE(machine().WriteFile(f, 0, "X", preset).status, STATUS_ACCESS_DENIED);
    preset.presetStatus = STATUS_UNSUCCESSFUL;
    EXPECT_NE(machine().WriteFile(f, 0, "X", preset).status, STATUS_ACCESS_DENIED);
    // Above PASSIVE_LEVEL: passes (the deciders need passive level).
    winsim::RequestOptions apc;
    apc.irql = APC_LEVEL;
    EXPECT_EQ(machine().WriteFile(f, 0, "Y", apc).status, STATUS_SUCCESS);
    EXPECT_EQ(machine().WriteFile(f, 0, "Z").status, STATUS_ACCESS_DENIED);
    Close(f);
}

// ------------------------------------------------------------ faults and decisions

// Unknown states are refused like DISABLE: creates, writes, renames and deletes,
// every one recorded; reads pass.
TEST_F(PreopRowsTest, PolicyStateAboveReadOnlyFailsClosed) {
    Policy(BDC_USB_DISK, 3, 1);
    const Place usb = PlaceOn(flash_);
    EXPECT_EQ(CreateOnFlash(user_, FILE_GENERIC_READ, FILE_OVERWRITE_IF), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Content(usb, "f.txt"), std::optional<std::string>("data"));
    ExpectRecord(DrainPolicy(), BDC_USB_DISK, 3, 1, u"app.exe", usb.prefix + u"\\f.txt", "state 3 create");
    NextRow();
    Policy(BDC_USB_DISK, ENABLE, 0);
    winsim::OpenFile* f = nullptr;
    ASSERT_EQ(Open(usb, "f.txt", kReadWrite | DELETE, FILE_OPEN, &f).status, STATUS_SUCCESS);
    Policy(BDC_USB_DISK, 3, 1);
    EXPECT_EQ(machine().WriteFile(f, 0, "X").status, STATUS_ACCESS_DENIED);
    ExpectRecord(DrainPolicy(), BDC_USB_DISK, 3, 1, u"app.exe", usb.prefix + u"\\f.txt", "state 3 write");
    NextRow();
    EXPECT_EQ(machine().RenameFile(f, u"g.txt", false, FileRenameInformationEx).status, STATUS_ACCESS_DENIED);
    NextRow();
    EXPECT_EQ(machine().DeleteFile(f, true, FileDispositionInformationEx).status, STATUS_ACCESS_DENIED);
    std::string data;
    EXPECT_EQ(machine().ReadFile(f, 0, 4, &data).status, STATUS_SUCCESS);
    Close(f);
    EXPECT_EQ(Content(usb, "f.txt"), std::optional<std::string>("data"));
    EXPECT_EQ(DrainPolicy().size(), 2u);
}

// The private name copy holds the name's maximum length plus 12 bytes, computed
// in 32 bits; a name for which that exceeds a counted string is refused.
TEST_F(PreopRowsTest, NameCopyOfNamesNear64KiB) {
    std::vector<WCHAR> text(32767, WSTR('a'));
    UNICODE_STRING name;
    name.Buffer = text.data();
    UNICODE_STRING copy;
    for (USHORT maximum : {(USHORT)65523, (USHORT)65534}) {
        name.MaximumLength = maximum;
        name.Length = (USHORT)(maximum & ~1u) - 2;
        const unsigned allocationsBefore = machine().FailableCallsSeen(winsim::FaultClass::Allocation);
        const NTSTATUS status = KxCopyFileName(&name, &copy);
        const unsigned allocations = machine().FailableCallsSeen(winsim::FaultClass::Allocation) - allocationsBefore;
        if (maximum + 12u <= 0xFFFF) {
            ASSERT_EQ(status, STATUS_SUCCESS) << maximum;
            EXPECT_EQ(allocations, 1u);
            EXPECT_EQ(copy.Length, name.Length);
            EXPECT_EQ(copy.MaximumLength, maximum + 12u);
            EXPECT_EQ(copy.Buffer[copy.Length / 2], 0);
            EXPECT_EQ(std::u16string(copy.Buffer, copy.Length / 2), std::u16string(name.Length / 2, u'a'));
            KxFreeUnicodeString(&copy);
        } else {
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << maximum;
            EXPECT_EQ(copy.Buffer, nullptr);
            EXPECT_EQ(allocations, 0u);  // no buffer of a wrapped-around size was asked for
        }
    }
    EXPECT_EQ(machine().PoolAllocations(KX_TAG_STRING), 0u);
}

TEST_F(PreopRowsTest, MappedDrivePaths) {
    struct Row {
        const char16_t* path;
        bool mapped;
    } rows[] = {
        {u"\\Device\\LanmanRedirector\\;Z:0000000000012345\\server\\share\\f.txt", true},
        {u"\\Device\\Mup\\;LanmanRedirector\\;Z:0000000000012345\\server\\share", true},
        {u"\\Device\\Mup\\;lanmanredirector\\;z:1\\s\\x", true},
        {u"\\Device\\Mup\\server\\share\\a;b:c.txt", true},  // ';' letter ':' anywhere
        {u"\\Device\\Mup\\server\\share\\f.txt", false},
        {u"\\Device\\Mup\\server\\share\\a;1:c.txt", false},
        {u"\\Device\\Mup\\server\\share\\end;", false},
        {u"\\Device\\Mup\\server\\share\\end;z", false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(IsMappedDrivePath(row.path) != FALSE, row.mapped) << Utf8(row.path);
    }
}

// Every failing allocation or registration on a refused, recorded create and on
// a protected-folder decision leaves the request decided or passed, and nothing
// behind (the verifier checks at unload).
TEST_F(PreopRowsTest, FailuresOnTheWayReleaseEverything) {
    Policy(BDC_USB_DISK, DISABLE, 1);
    const Place c = PlaceOn(local_);
    PutFile(c, "Secret/other.txt", "o");
    TextCommand(SET_PATH, PG_PATH_BLACK, local_.deviceName + u"\\Secret");
    TextCommand(SET_PROCESSNAME, 0x20, u"nothing-to-trust");
    unsigned hits = 0;
    for (unsigned n = 1; n < 200; ++n) {
        NextRow();
        machine().FailNthCall(winsim::FaultClass::Any, n);
        const NTSTATUS usb = CreateOnFlash(user_);
        winsim::OpenFile* f = nullptr;
        const NTSTATUS local = Open(c, "Secret/other.txt", FILE_GENERIC_READ, FILE_OPEN, &f).status;
        Close(f);
        const bool hit = machine().InjectedFaultHit();
        machine().ClearFaultInjection();
        EXPECT_TRUE(usb == STATUS_ACCESS_DENIED || usb == STATUS_SUCCESS) << n;
        EXPECT_TRUE(local == STATUS_ACCESS_DENIED || local == STATUS_SUCCESS) << n;
        if (!hit) {
            EXPECT_EQ(usb, STATUS_ACCESS_DENIED);
            EXPECT_EQ(local, STATUS_ACCESS_DENIED);
            break;
        }
        ++hits;
    }
    // The name copies, image paths, event-log blocks and named events of both
    // requests: each failed once.
    EXPECT_GE(hits, 6u);
    Drain();
}

}  // namespace
}  // namespace kxtest
