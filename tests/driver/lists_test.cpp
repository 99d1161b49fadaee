// The protected-path, file-name, protected-process-name and trusted-process lists,
// filled through the port's commands and asked through the lookups the deciders
// use; the host and address lists, which no command fills, through the driver's
// own routines.
#include "driver/policy/lists.h"
#include "driver/policy/usb_exceptions.h"
#include "tests/support/driver_fixture.h"

using kxtest::RawMessage;

namespace {

constexpr ULONG kPpsc = winsim::PoolTag("ppsc");
constexpr ULONG kOpsc = winsim::PoolTag("opsc");
constexpr ULONG kEusc = winsim::PoolTag("eusc");

ULONG Bytes(const std::u16string& s) { return static_cast<ULONG>(s.size() * sizeof(char16_t)); }

class ListsTest : public kxtest::DriverTest {
protected:
    void Command(uint64_t command, ULONG ulType, const std::u16string& text) {
        RawMessage msg(command);
        msg.UlType(ulType).Text(text);
        ASSERT_EQ(Send(msg).status, STATUS_SUCCESS);
    }
    // The same command with size 0 but a text present in the message.
    void CommandSizeZero(uint64_t command, ULONG ulType, const std::u16string& text) {
        RawMessage msg(command);
        msg.UlType(ulType).Text(text).Size(0);
        ASSERT_EQ(Send(msg).status, STATUS_SUCCESS);
    }

    static ULONG PathType(const std::u16string& query, ULONG mask = KX_PATH_LOOKUP_MASK) {
        return FindProtectPath(KxPathList, mask, query.c_str(), Bytes(query));
    }
    static ULONG FileNameType(const std::u16string& query) {
        return FindProtectPath(KxFileNameList, 0x1, query.c_str(), Bytes(query));
    }
    static ULONG ProtectedNameType(const std::u16string& query) {
        return FindProtectPath(KxProtectProcessNameList, 64, query.c_str(), Bytes(query));
    }
    // The trusted-list answer for an image: its type, or -1 when not listed.
    static int64_t Trusted(const std::u16string& image) {
        ULONG type = 0xFFFF;
        if (!IsAllowProcessName(image.c_str(), Bytes(image), &type)) {
            EXPECT_EQ(type, 0u);
            return -1;
        }
        return type;
    }

    size_t Entries(ULONG tag) { return machine().PoolAllocations(tag); }
    void Verbose() {
        WriteNoFence(&DebugLevel, KX_DBG_ERROR | KX_DBG_INFO);
        machine().ClearDebugOutput();
    }
};

const std::u16string kData = u"\\Device\\HarddiskVolume2\\Data";

// ---------------------------------------------------------------- protected paths

TEST_F(ListsTest, SetPathAddsThenRetypesTheSameTextWhateverItsCase) {
    Command(SET_PATH, PG_PATH_BLACK, kData);
    EXPECT_TRUE(machine().DebugContains("kx4grd:Kx4GrdMssageProc: SET_PATH(4)(\\Device\\HarddiskVolume2\\Data)(56)\n"));
    EXPECT_EQ(PathType(kData + u"\\a.txt"), 4u);
    EXPECT_EQ(Entries(kPpsc), 1u);

    machine().ClearDebugOutput();
    Command(SET_PATH, 1, u"\\DEVICE\\harddiskvolume2\\DATA");
    EXPECT_EQ(Entries(kPpsc), 1u);  // retyped in place, not added
    EXPECT_EQ(PathType(kData + u"\\a.txt"), 1u);  // replaced, not ORed
    EXPECT_TRUE(machine().DebugContains(
        "kx4grd:SetProtectPathEx: Exist\tPath, ulType = 1, \\DEVICE\\harddiskvolume2\\DATA(56)success\n"))
        << machine().DebugText();

    // The same letters with another length are another entry.
    Command(SET_PATH, PG_PATH_BLACK, kData + u"2");
    EXPECT_EQ(Entries(kPpsc), 2u);
}

TEST_F(ListsTest, PrefixLookupMatchesCharactersUnderTheTypeMaskFirstEntryFirst) {
    Command(SET_PATH, 1, kData);
    Command(SET_PATH, PG_PATH_BLACK, kData + u"\\Secret");
    Command(SET_PATH, PG_PATH_GRAY, u"\\Device\\HarddiskVolume2\\Gray");
    Command(SET_PATH, 2, u"\\Device\\HarddiskVolume2\\Two");
    Command(SET_PATH, 32, u"\\Device\\HarddiskVolume2\\Other");

    // The folder entry of type 1 comes first and answers for its subfolder too.
    EXPECT_EQ(PathType(kData + u"\\Secret\\x.txt"), 1u);
    // Characters, not components: \Data covers \DataOld.
    EXPECT_EQ(PathType(kData + u"Old\\x"), 1u);
    EXPECT_EQ(PathType(u"\\device\\HARDDISKVOLUME2\\data"), 1u);
    // An entry longer than the query never matches it.
    EXPECT_EQ(PathType(u"\\Device\\HarddiskVolume2\\Dat"), 0u);
    // Types without a bit in the mask are never found; type 2 is found.
    EXPECT_EQ(PathType(u"\\Device\\HarddiskVolume2\\Gray\\x"), 0u);
    EXPECT_EQ(PathType(u"\\Device\\HarddiskVolume2\\Gray\\x", PG_PATH_GRAY), (ULONG)PG_PATH_GRAY);
    EXPECT_EQ(PathType(u"\\Device\\HarddiskVolume2\\Other\\x"), 0u);
    EXPECT_EQ(PathType(u"\\Device\\HarddiskVolume2\\Two\\x"), 2u);
    // The query's length counts, not its terminator.
    const std::u16string longer = kData + u"\\x";
    EXPECT_EQ(FindProtectPath(KxPathList, KX_PATH_LOOKUP_MASK, longer.c_str(), Bytes(kData) - 2), 0u);
    // Removing the type-1 folder uncovers the subfolder's type-4 entry.
    Command(DEL_PATH, 1, kData);
    EXPECT_EQ(PathType(kData + u"\\Secret\\x.txt"), (ULONG)PG_PATH_BLACK);
    EXPECT_EQ(PathType(kData + u"\\x.txt"), 0u);
}

TEST_F(ListsTest, CommandsWithoutTextAreIgnored) {
    Verbose();
    CommandSizeZero(SET_PATH, PG_PATH_BLACK, kData);
    CommandSizeZero(SET_FILENAME, 1, u"readme");
    CommandSizeZero(SET_PROCESSNAME, 1, u"notepad");
    EXPECT_EQ(Entries(kPpsc), 0u);
    EXPECT_EQ(Entries(kOpsc), 0u);
    EXPECT_EQ(machine().DebugText(), "");
}

TEST_F(ListsTest, DelPathRemovesFirstPrefixEntryOrEveryEntryOfTheType) {
    const std::u16string a = u"\\Device\\HarddiskVolume2\\a";
    Command(SET_PATH, PG_PATH_BLACK, a);
    Command(SET_PATH, PG_PATH_BLACK, a + u"\\b");
    // \a is a prefix of the text and comes first: it is the one removed.
    Command(DEL_PATH, PG_PATH_BLACK, a + u"\\b");
    EXPECT_EQ(Entries(kPpsc), 1u);
    EXPECT_EQ(PathType(a + u"\\x"), 0u);
    EXPECT_EQ(PathType(a + u"\\b\\x"), (ULONG)PG_PATH_BLACK);
    // A mask without the entry's bits finds nothing to remove.
    Command(DEL_PATH, 1, a + u"\\b");
    EXPECT_EQ(Entries(kPpsc), 1u);

    const ULONG types[] = {1, 2, PG_PATH_BLACK, 8, PG_PATH_GRAY, PG_PATH_BLACK};
    for (size_t i = 0; i < std::size(types); ++i) {
        Command(SET_PATH, types[i], u"\\Device\\HarddiskVolume3\\t" + std::u16string(1, u'a' + i));
    }
    EXPECT_EQ(Entries(kPpsc), 7u);
    CommandSizeZero(DEL_PATH, PG_PATH_BLACK, u"");
    EXPECT_EQ(Entries(kPpsc), 4u);  // types 1, 2, 8 and 16 stay
    for (size_t i = 0; i < std::size(types); ++i) {
        const std::u16string q = u"\\Device\\HarddiskVolume3\\t" + std::u16string(1, u'a' + i) + u"\\f";
        EXPECT_EQ(PathType(q, 0xFF), types[i] == PG_PATH_BLACK ? 0u : types[i]) << i;
    }
    EXPECT_EQ(PathType(a + u"\\b\\x"), 0u);
}

// ---------------------------------------------------------------- file names

TEST_F(ListsTest, FileNameEntriesArePrefixesFoundOnlyWithTheirBit) {
    Command(SET_FILENAME, 1, u"readme");
    Command(SET_FILENAME, 2, u"secret");
    EXPECT_TRUE(machine().DebugContains("kx4grd:Kx4GrdMssageProc: SET_FILENAME(1)(readme)(12)\n"));
    EXPECT_EQ(FileNameType(u"readme.txt"), 1u);
    EXPECT_EQ(FileNameType(u"README.DOC"), 1u);
    EXPECT_EQ(FileNameType(u"read.txt"), 0u);
    EXPECT_EQ(FileNameType(u"secret.txt"), 0u);
}

// ---------------------------------------------------------------- protected names

TEST_F(ListsTest, ProtectedProcessNamesAddRemoveAndEmpty) {
    Command(SET_PROCESS_PROTECT_PROCESSNAME, 64, u"note");
    Command(SET_PROCESS_PROTECT_PROCESSNAME, 64, u"agent.exe");
    EXPECT_EQ(ProtectedNameType(u"notepad.exe"), 64u);
    EXPECT_EQ(ProtectedNameType(u"notes.exe"), 64u);
    EXPECT_EQ(ProtectedNameType(u"not"), 0u);  // the entry is longer than the name
    EXPECT_EQ(ProtectedNameType(u"AGENT.EXE"), 64u);

    // A removal asks with a mask: without bit 64 nothing goes.
    Command(DEL_PROCESS_PROTECT_PROCESSNAME, 1, u"notepad.exe");
    EXPECT_EQ(Entries(kPpsc), 2u);
    Command(DEL_PROCESS_PROTECT_PROCESSNAME, 64, u"notepad.exe");
    EXPECT_TRUE(machine().DebugContains("kx4grd:Kx4GrdMssageProc: DEL_PROCESS_PROTECT_PROCESSNAME(notepad.exe)(22)\n"));
    EXPECT_EQ(ProtectedNameType(u"notepad.exe"), 0u);
    EXPECT_EQ(ProtectedNameType(u"agent.exe"), 64u);

    Command(SET_PROCESS_PROTECT_PROCESSNAME, 64, u"x.exe");
    CommandSizeZero(DEL_PROCESS_PROTECT_PROCESSNAME, 0, u"whatever");  // size 0 empties, whatever the type
    EXPECT_EQ(Entries(kPpsc), 0u);
    EXPECT_EQ(ProtectedNameType(u"agent.exe"), 0u);
}

// An entry whose name is empty (SET_PROCESS_PROTECT_PROCESSNAME with size 0 still
// adds one) or shorter than one character would begin every name: it would
// protect every process. It is kept, and never matches.
TEST_F(ListsTest, EmptyNamesAreStoredButNeverMatch) {
    CommandSizeZero(SET_PROCESS_PROTECT_PROCESSNAME, 64, u"");
    EXPECT_TRUE(machine().DebugContains("kx4grd:Kx4GrdMssageProc: SET_PROCESS_PROTECT_PROCESSNAME()(0)\n"));
    EXPECT_EQ(Entries(kPpsc), 1u);
    EXPECT_EQ(ProtectedNameType(u"notepad.exe"), 0u);
    EXPECT_EQ(ProtectedNameType(u"x"), 0u);
    // A second empty entry is the same entry.
    CommandSizeZero(SET_PROCESS_PROTECT_PROCESSNAME, 64, u"");
    EXPECT_EQ(Entries(kPpsc), 1u);

    // Routines the commands do not reach with size 0, and a lone odd byte.
    SetProtectPathEx(KxPathList, PG_PATH_BLACK, u"", 0);
    SetProtectPathEx(KxFileNameList, 1, u"r", 1);
    EXPECT_EQ(PathType(kData), 0u);
    EXPECT_EQ(FileNameType(u"readme.txt"), 0u);
    SetProcessPath(KX_PROCESS_TYPE_TRUSTED, u"", 0);
    SetProcessPath(KX_PROCESS_TYPE_TRUSTED, u"n", 1);
    EXPECT_EQ(Entries(kOpsc), 2u);
    EXPECT_EQ(Trusted(u"\\Device\\HarddiskVolume2\\notepad.exe"), -1);
    EXPECT_EQ(Trusted(u"\\Device\\HarddiskVolume2\\"), -1);
}

// ---------------------------------------------------------------- trusted processes

TEST_F(ListsTest, TrustedTypesMergeAndAreStrippedBitByBit) {
    const std::u16string image = u"\\Device\\HarddiskVolume2\\Windows\\notepad.exe";
    Command(SET_PROCESSNAME, KX_PROCESS_TYPE_TRUSTED, u"notepad");
    EXPECT_TRUE(machine().DebugContains("kx4grd:SetProcessPath: path(notepad), ulType(1), size(14)\n"));
    machine().ClearDebugOutput();
    Command(SET_PROCESSNAME, KX_PROCESS_TYPE_CHECK_RENAME, u"NOTEPAD");
    EXPECT_FALSE(machine().DebugContains("SetProcessPath"));  // merged, not added
    EXPECT_EQ(Entries(kOpsc), 1u);
    EXPECT_EQ(Trusted(image), 0x21);

    Command(DEL_PROCESSNAME, KX_PROCESS_TYPE_CHECK_RENAME, u"notepad");
    EXPECT_TRUE(machine().DebugContains("kx4grd:Kx4GrdMssageProc: DEL_PROCESSNAME(32)(notepad)(14)\n"));
    EXPECT_EQ(Trusted(image), 0x1);
    // Another name of the same beginning is not the entry.
    Command(DEL_PROCESSNAME, KX_PROCESS_TYPE_TRUSTED, u"notepad.exe");
    EXPECT_EQ(Trusted(image), 0x1);
    Command(DEL_PROCESSNAME, KX_PROCESS_TYPE_TRUSTED, u"notepad");
    EXPECT_EQ(Trusted(image), -1);
    EXPECT_EQ(Entries(kOpsc), 0u);
}

TEST_F(ListsTest, DelProcessNameWithoutTextAppliesToEveryEntry) {
    Command(SET_PROCESSNAME, 0x1, u"one.exe");
    Command(SET_PROCESSNAME, 0x21, u"both.exe");
    Command(SET_PROCESSNAME, 0x20, u"rename.exe");
    Command(SET_PROCESSNAME, 0x1, u"uno.exe");
    CommandSizeZero(DEL_PROCESSNAME, 0x1, u"");
    EXPECT_EQ(Entries(kOpsc), 2u);
    EXPECT_EQ(Trusted(u"\\x\\one.exe"), -1);
    EXPECT_EQ(Trusted(u"\\x\\uno.exe"), -1);
    EXPECT_EQ(Trusted(u"\\x\\both.exe"), 0x20);
    EXPECT_EQ(Trusted(u"\\x\\rename.exe"), 0x20);
}

TEST_F(ListsTest, BareNamesMatchTheFileNameByItsBeginning) {
    Command(SET_PROCESSNAME, 0x1, u"notepad");
    Verbose();
    EXPECT_EQ(Trusted(u"\\Device\\HarddiskVolume2\\Windows\\notepad.exe"), 1);
    EXPECT_EQ(Trusted(u"\\Device\\HarddiskVolume3\\any\\NOTEPAD2.EXE"), 1);
    EXPECT_TRUE(machine().DebugContains(
        "kx4grd:IsAllowProcessName: IsAllowProcessName, cname(NOTEPAD2.EXE),name(NOTEPAD2.EXE),ulType(1)\n"))
        << machine().DebugText();
    EXPECT_EQ(Trusted(u"\\Device\\HarddiskVolume2\\notepad\\other.exe"), -1);  // the folder is not the name
    EXPECT_EQ(Trusted(u"\\Device\\HarddiskVolume2\\note.exe"), -1);
    EXPECT_EQ(Trusted(u"notepad.exe"), 1);  // no folder at all: the whole text is the name
    // Only the given length counts.
    const std::u16string image = u"\\x\\notepad.exe";
    ULONG type = 0;
    EXPECT_FALSE(IsAllowProcessName(image.c_str(), Bytes(u"\\x\\note"), &type));
}

// A path entry covers the image it names and the images below the folder it
// names, never a sibling whose name begins the same way: \Tools must not trust
// \ToolsX\evil.exe, a folder any user can create at a volume root.
TEST_F(ListsTest, PathEntriesMatchOnlyAtAComponentBoundary) {
    const std::u16string tools = u"\\Device\\HarddiskVolume2\\Tools";
    Command(SET_PROCESSNAME, 0x1, tools);
    Verbose();
    EXPECT_EQ(Trusted(tools + u"\\a.exe"), 1);
    EXPECT_TRUE(machine().DebugContains(
        "kx4grd:IsAllowProcessName: IsAllowProcessName, cname(\\Device\\HarddiskVolume2\\Tools\\a.exe),name(a.exe),"
        "ulType(1)\n"))
        << machine().DebugText();
    EXPECT_EQ(Trusted(u"\\DEVICE\\HARDDISKVOLUME2\\TOOLS\\sub\\b.exe"), 1);
    EXPECT_EQ(Trusted(tools + u"X\\evil.exe"), -1);
    EXPECT_EQ(Trusted(tools + u".exe"), -1);
    EXPECT_EQ(Trusted(u"\\Device\\HarddiskVolume3\\Tools\\a.exe"), -1);
    EXPECT_EQ(Trusted(u"Tools.exe"), -1);  // a path entry never matches by the file name

    // An entry ending in a separator, and one naming an image.
    Command(SET_PROCESSNAME, 0x1, u"\\Device\\HarddiskVolume3\\Apps\\");
    Command(SET_PROCESSNAME, 0x21, u"\\Device\\HarddiskVolume3\\bin\\tool.exe");
    EXPECT_EQ(Trusted(u"\\Device\\HarddiskVolume3\\Apps\\x.exe"), 1);
    EXPECT_EQ(Trusted(u"\\Device\\HarddiskVolume3\\AppsX\\x.exe"), -1);
    EXPECT_EQ(Trusted(u"\\Device\\HarddiskVolume3\\bin\\tool.exe"), 0x21);
    EXPECT_EQ(Trusted(u"\\Device\\HarddiskVolume3\\bin\\tool.exe2"), -1);
}

// A name longer than its entry's field is refused: a shortened name would be a
// prefix, covering more than was asked for.
TEST_F(ListsTest, NamesLongerThanTheirFieldAreRefused) {
    Verbose();
    const std::u16string folder = u"\\Device\\HarddiskVolume2\\";
    const std::u16string fits = folder + std::u16string(KX_PROCESS_ENTRY_MAX_CHARS - folder.size(), u'a');
    const std::u16string tooLong = fits + u"b";
    Command(SET_PROCESSNAME, 0x1, tooLong);
    EXPECT_EQ(Entries(kOpsc), 0u);
    EXPECT_TRUE(machine().DebugContains("kx4grd:SetProcessPath: name too long(1024)\n")) << machine().DebugText();
    EXPECT_EQ(Trusted(fits + u"\\x.exe"), -1);
    Command(SET_PROCESSNAME, 0x1, fits);
    EXPECT_EQ(Entries(kOpsc), 1u);
    EXPECT_EQ(Trusted(fits + u"\\x.exe"), 1);
    EXPECT_EQ(Trusted(fits + u"b\\x.exe"), -1);

    // The named-text field holds 1039 characters, more than a message carries.
    const std::u16string path = folder + std::u16string(KX_NAME_ENTRY_MAX_CHARS - folder.size(), u'p');
    const std::u16string longer = path + u"q";
    SetProtectPathEx(KxPathList, PG_PATH_BLACK, longer.c_str(), Bytes(longer));
    EXPECT_EQ(Entries(kPpsc), 0u);
    EXPECT_EQ(PathType(longer + u"\\f"), 0u);
    SetProtectPathEx(KxPathList, PG_PATH_BLACK, path.c_str(), Bytes(path));
    EXPECT_EQ(Entries(kPpsc), 1u);
    EXPECT_EQ(PathType(path + u"\\f"), (ULONG)PG_PATH_BLACK);
}

// The prefix lookup and the USB disk lookup print nothing and may be asked from
// DISPATCH_LEVEL (the verifier, checked in TearDown, would report anything they
// must not do there).
TEST_F(ListsTest, SilentLookupsWorkAtDispatchLevel) {
    Command(SET_PATH, PG_PATH_BLACK, kData);
    SetUsbDiskException("VEND", "DRIVE", "", "");
    WriteNoFence(&DebugLevel, KX_DBG_ERROR | KX_DBG_INFO);
    const std::u16string query = kData + u"\\x";
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    const ULONG type = FindProtectPath(KxPathList, KX_PATH_LOOKUP_MASK, query.c_str(), Bytes(query));
    const BOOLEAN listed = FindUsbDiskException("VEND", "DRIVE", "", "1");
    KeLowerIrql(old);
    EXPECT_EQ(type, (ULONG)PG_PATH_BLACK);
    EXPECT_TRUE(listed);
}

// ---------------------------------------------------------------- CLEAR and unload

TEST_F(ListsTest, ClearEmptiesTheNameListsAndKeepsTheUsbLists) {
    Command(SET_PATH, PG_PATH_BLACK, kData);
    Command(SET_FILENAME, 1, u"readme");
    Command(SET_PROCESS_PROTECT_PROCESSNAME, 64, u"agent.exe");
    Command(SET_PROCESSNAME, 1, u"notepad");
    SetUsbPortException(9, 0x1234, 0x5678, 0, u"ABC");
    SetAllowHost(u"server");
    EXPECT_EQ(Entries(kPpsc), 4u);  // three names and the host
    EXPECT_EQ(Entries(kOpsc), 1u);

    Verbose();
    RawMessage clear(CLEAR);
    ASSERT_EQ(Send(clear).status, STATUS_SUCCESS);
    EXPECT_EQ(Entries(kPpsc), 1u);  // the host list is not a command's to empty
    EXPECT_EQ(Entries(kOpsc), 0u);
    EXPECT_EQ(Entries(kEusc), 1u);
    EXPECT_EQ(machine().DebugCount("kx4grd:CleanupPathlistEx: success\n"), 3u);
    EXPECT_EQ(machine().DebugCount("kx4grd:CleanupProcesslist: success\n"), 1u);
    EXPECT_EQ(PathType(kData + u"\\x"), 0u);
    EXPECT_EQ(FileNameType(u"readme.txt"), 0u);
    EXPECT_EQ(ProtectedNameType(u"agent.exe"), 0u);
    EXPECT_EQ(Trusted(u"\\x\\notepad.exe"), -1);
    EXPECT_TRUE(FindUsbPortException(9, 0x1234, 0x5678, u"ABC"));

    // The lists work again after CLEAR.
    Command(SET_PATH, PG_PATH_BLACK, kData);
    EXPECT_EQ(PathType(kData + u"\\x"), (ULONG)PG_PATH_BLACK);
}

// Unload frees every list, the host and address lists included; the verifier's
// leak check by tag at unload (in TearDown) fails otherwise.
TEST_F(ListsTest, UnloadFreesEveryEntry) {
    for (int i = 0; i < 20; ++i) {
        const std::u16string n = u"n" + std::u16string(1, u'a' + i);
        Command(SET_PATH, PG_PATH_BLACK, u"\\Device\\HarddiskVolume2\\" + n);
        Command(SET_FILENAME, 1, n);
        Command(SET_PROCESS_PROTECT_PROCESSNAME, 64, n);
        Command(SET_PROCESSNAME, 1, n);
        SetAllowHost(n.c_str());
        SetAllowAddress(0x0A000000u + i, 0);
    }
    EXPECT_EQ(Entries(kPpsc), 100u);
    EXPECT_EQ(Entries(kOpsc), 20u);
    Unload();
    EXPECT_EQ(Entries(kPpsc), 0u);
    EXPECT_EQ(Entries(kOpsc), 0u);
}

// An allocation failure adds nothing, and still retypes an entry already there.
TEST_F(ListsTest, AllocationFailureAddsNothing) {
    Command(SET_PATH, PG_PATH_BLACK, kData);
    machine().FailNthCall(winsim::FaultClass::Allocation, 1);
    SetProtectPathEx(KxPathList, 1, u"\\Device\\HarddiskVolume2\\New", Bytes(u"\\Device\\HarddiskVolume2\\New"));
    EXPECT_TRUE(machine().InjectedFaultHit());
    EXPECT_EQ(Entries(kPpsc), 1u);
    EXPECT_EQ(PathType(u"\\Device\\HarddiskVolume2\\New\\x"), 0u);

    machine().FailNthCall(winsim::FaultClass::Allocation, 1);
    SetProtectPathEx(KxPathList, 2, kData.c_str(), Bytes(kData));
    EXPECT_TRUE(machine().InjectedFaultHit());
    EXPECT_EQ(PathType(kData + u"\\x"), 2u);

    machine().FailNthCall(winsim::FaultClass::Allocation, 1);
    SetProcessPath(1, u"notepad", Bytes(u"notepad"));
    EXPECT_TRUE(machine().InjectedFaultHit());
    EXPECT_EQ(Entries(kOpsc), 0u);
    machine().ClearFaultInjection();
}

// ---------------------------------------------------------------- hosts and addresses

TEST_F(ListsTest, HostIsExtractedFromEveryNetworkPathForm) {
    struct Case {
        std::u16string path;
        const char* host;  // nullptr: no host, answer false without a trace
    };
    const Case cases[] = {
        {u"\\Device\\Mup\\server\\share\\f.txt", "server"},
        {u"\\Device\\LanmanRedirector\\;Z:0000000000012345\\server\\share\\f.txt", "server"},
        {u"\\Device\\Mup\\;LanmanRedirector\\;Z:0000000000012345\\Server\\share", "server"},
        {u"\\Device\\LanmanRedirector\\;Z:0000000000012345\\server", "server"},
        {u"\\??\\UNC\\x\\\\Host.Corp\\share", "host.corp"},
        {u"\\Device\\Mup\\server", nullptr},
        {u"\\Device\\Mup\\server\\", nullptr},
        {u"\\Device\\Mup\\\\share", nullptr},
        {u"\\Device\\LanmanRedirector\\;Z:0000000000012345", nullptr},
        {u"\\Device\\LanmanRedirector\\;Z:0000000000012345\\", nullptr},
        {u"\\Device\\HarddiskVolume2\\server\\share", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
        Verbose();
        // Both lists are empty: the answer is always false.
        EXPECT_FALSE(IsAllowHostIp(c.path.c_str(), Bytes(c.path)));
        if (c.host == nullptr) {
            EXPECT_EQ(machine().DebugText(), "");
        } else {
            EXPECT_EQ(machine().DebugCount(std::string("kx4grd:IsAllowHostIp: wszBuf(") + c.host + ")\n"), 1u)
                << machine().DebugText();
            EXPECT_EQ(machine().DebugCount("kx4grd:IsAllowHostIp: Host In.\n"), 1u);
        }
    }
    EXPECT_FALSE(IsAllowHostIp(u"\\Device\\Mup\\server\\share", 0));
}

TEST_F(ListsTest, HostEntriesMatchTheWholeHostOrUpToADomainDot) {
    SetAllowHost(u"FileServer");
    SetAllowHost(u"corp.");
    auto allowed = [](const std::u16string& host) {
        const std::u16string path = u"\\Device\\Mup\\" + host + u"\\share\\f.txt";
        return IsAllowHostIp(path.c_str(), Bytes(path)) != FALSE;
    };
    EXPECT_TRUE(allowed(u"fileserver"));
    EXPECT_TRUE(allowed(u"FILESERVER.example.com"));
    EXPECT_FALSE(allowed(u"fileserver2"));
    EXPECT_FALSE(allowed(u"fileserve"));
    EXPECT_TRUE(allowed(u"corp.anything"));
    EXPECT_FALSE(allowed(u"corpx"));
    EXPECT_FALSE(allowed(u"10.0.0.1"));  // addresses are not looked up in the host list
    // The path is cut at 259 characters before the host is taken: a host that
    // begins past the cut is not seen, one cut short is not taken.
    auto deep = [](size_t depth) { return u"\\??\\" + std::u16string(depth, u'd') + u"\\\\fileserver\\share"; };
    EXPECT_TRUE(IsAllowHostIp(deep(240).c_str(), Bytes(deep(240))));
    EXPECT_FALSE(IsAllowHostIp(deep(250).c_str(), Bytes(deep(250))));
    EXPECT_FALSE(IsAllowHostIp(deep(243).c_str(), Bytes(deep(243))));  // the buffer ends with the host
}

TEST_F(ListsTest, AddressEntriesMatchOneAddressOrARange) {
    SetAllowAddress(0x0A000001, 0);           // 10.0.0.1
    SetAllowAddress(0xC0A80110, 0xC0A80120);  // 192.168.1.16 to 192.168.1.32
    auto allowed = [this](const std::u16string& host) {
        Verbose();
        const std::u16string path = u"\\Device\\Mup\\" + host + u"\\share\\f.txt";
        const bool answer = IsAllowHostIp(path.c_str(), Bytes(path)) != FALSE;
        EXPECT_EQ(machine().DebugCount("kx4grd:IsAllowHostIp: IP In.\n"), 1u) << machine().DebugText();
        return answer;
    };
    EXPECT_TRUE(allowed(u"10.0.0.1"));
    EXPECT_FALSE(allowed(u"10.0.0.2"));
    EXPECT_TRUE(allowed(u"192.168.1.16"));
    EXPECT_TRUE(allowed(u"192.168.1.020"));
    EXPECT_TRUE(allowed(u"192.168.1.32"));
    EXPECT_FALSE(allowed(u"192.168.1.33"));
    EXPECT_FALSE(allowed(u"192.168.1.15"));
}

// Text that only looks like an address (a field of four digits, above 255, or
// empty) is a host name: converting it would alias another address (0001.1.1.1
// is not 1.1.1.1).
TEST_F(ListsTest, MalformedAddressesAreHostNames) {
    SetAllowAddress(0x01010101, 0);  // 1.1.1.1
    SetAllowAddress(0x00010101, 0);  // 0.1.1.1, what 256.1.1.1 wraps to
    SetAllowAddress(0xD2010101, 0);  // 210.1.1.1, what 1234.1.1.1 keeps of its first field
    SetAllowHost(u"256.1.1.1");
    const struct {
        const char16_t* host;
        bool allowed;
    } cases[] = {
        {u"1234.1.1.1", false}, {u"0001.1.1.1", false}, {u"256.1.1.1", true}, {u"1..11.111", false},
        {u"1.1.1.1.", false},   {u"1.1.1", false},      {u"1.1.1.1", true},
    };
    for (const auto& c : cases) {
        const std::u16string host = c.host;
        SCOPED_TRACE(std::string(host.begin(), host.end()));
        Verbose();
        const std::u16string path = u"\\Device\\Mup\\" + host + u"\\share";
        EXPECT_EQ(IsAllowHostIp(path.c_str(), Bytes(path)) != FALSE, c.allowed);
        const bool literal = host == u"1.1.1.1";
        EXPECT_EQ(machine().DebugContains("IP In."), literal) << machine().DebugText();
        EXPECT_EQ(machine().DebugContains("Host In."), !literal);
    }
}

// The lookups print names (wide text), which is allowed only at PASSIVE_LEVEL:
// they print after the walk, with the lock released, and only what matched. The
// verifier (checked in TearDown) reports any wide format above PASSIVE_LEVEL.
TEST_F(ListsTest, TracesOfLookupsArePrintedOnceOutsideTheLock) {
    for (int i = 0; i < 5; ++i) {
        Command(SET_PROCESSNAME, 0x1, u"\\Device\\HarddiskVolume2\\dir" + std::u16string(1, u'0' + i));
        Command(SET_PROCESSNAME, 0x1, u"tool" + std::u16string(1, u'0' + i));
        SetAllowHost((u"host" + std::u16string(1, u'0' + i)).c_str());
    }
    Verbose();
    EXPECT_EQ(Trusted(u"\\Device\\HarddiskVolume2\\dir3\\a.exe"), 1);
    EXPECT_EQ(Trusted(u"\\Device\\HarddiskVolume2\\x\\tool4.exe"), 1);
    EXPECT_EQ(Trusted(u"\\Device\\HarddiskVolume2\\x\\none.exe"), -1);
    EXPECT_EQ(machine().DebugCount("IsAllowProcessName, cname("), 2u) << machine().DebugText();
    const std::u16string path = u"\\Device\\Mup\\host4\\share";
    EXPECT_TRUE(IsAllowHostIp(path.c_str(), Bytes(path)));
    EXPECT_TRUE(machine().Verifier().Clean()) << machine().Verifier().ToString();
}

}  // namespace
