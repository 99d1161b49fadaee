// The device policy through the whole stack: for every device class and every
// policy state with logging on and off, each kind of request by an ordinary
// process on a file of that class's volume. A row first runs with the policy
// cleared to learn what the file system does with the request, then with the
// row's policy: a refused request must end with STATUS_ACCESS_DENIED and leave
// the files as they were, an allowed one must end exactly as without the driver's
// policy. Each row also checks the POLICY record queued for it (or that none was).
#include "tests/driver/preop_fixture.h"

namespace kxtest {
namespace {

enum class Op { Create, Write, Rename10, Rename65, Delete13, Delete64, Read, Cleanup, Close };

const char* OpName(Op op) {
    switch (op) {
    case Op::Create: return "create";
    case Op::Write: return "write";
    case Op::Rename10: return "rename(10)";
    case Op::Rename65: return "rename(65)";
    case Op::Delete13: return "delete(13)";
    case Op::Delete64: return "delete(64)";
    case Op::Read: return "read";
    case Op::Cleanup: return "cleanup";
    case Op::Close: return "close";
    }
    return "?";
}

// The three accesses a create asks for in the matrix.
struct Access {
    const char* name;
    ACCESS_MASK mask;
};
const Access kAccesses[] = {
    {"read", FILE_GENERIC_READ},
    {"write", FILE_GENERIC_READ | FILE_GENERIC_WRITE},
    {"delete", DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE},
};

// How a class's policy is configured and decided.
enum class Kind { External, UncShare, MappedDrive, LocalDisk, NetworkIn };

struct ClassCase {
    const char* name;
    Kind kind;
    ULONG deviceType;  // the class the decision and the record use
    winsim::VolumeInfo PreopTest::*volume;
};

struct Outcome {
    winsim::IoResult result;
    std::string data;  // what a read returned
    std::optional<std::string> original, created, renamed;
    std::vector<EVENT_RECORD> records;
};

class PreopMatrixTest : public PreopTest {
protected:
    void ClearPolicies() {
        for (ULONG type = BDC_CDROM; type <= BDC_NETWORKSHAREOUT; ++type) Policy(type, ENABLE, 0);
    }

    void ApplyPolicy(const ClassCase& c, ULONG state, ULONG log) {
        switch (c.kind) {
        case Kind::UncShare:
            // The early test reads the outgoing-drive entry; the decision the
            // share's. Entry 5 refuses everything, so a decision taken with it
            // would show.
            Policy(BDC_NETWORKDRIVEOUT, DISABLE, log);
            Policy(BDC_NETWORKSHAREOUT, state, log);
            break;
        case Kind::MappedDrive:
            // A mapped drive keeps the outgoing-drive entry; the share entry
            // refuses everything, so a switch to it would show.
            Policy(BDC_NETWORKDRIVEOUT, state, log);
            Policy(BDC_NETWORKSHAREOUT, DISABLE, 1);
            break;
        default:
            Policy(c.deviceType, state, log);
            break;
        }
    }

    Outcome Run(const ClassCase& c, const Place& place, bool withPolicy, ULONG state, ULONG log, Op op,
                ULONG disposition, ACCESS_MASK access, bool targetExists) {
        Outcome out;
        std::filesystem::remove(place.hostDir + "/new.txt");
        std::filesystem::remove(place.hostDir + "/renamed.txt");
        PutFile(place, "f.txt", "data");
        ClearPolicies();
        const std::string clientSource = c.kind == Kind::NetworkIn ? "NtLmSsp " : "";

        winsim::OpenFile* file = nullptr;
        if (op != Op::Create) {
            winsim::IoResult opened = Open(place, "f.txt", FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE, FILE_OPEN,
                                           &file, nullptr, kFileOptions, clientSource);
            EXPECT_EQ(opened.status, STATUS_SUCCESS) << c.name;
        }
        Drain();
        NextRow();
        if (withPolicy) ApplyPolicy(c, state, log);

        switch (op) {
        case Op::Create:
            out.result = Open(place, targetExists ? "f.txt" : "new.txt", access, disposition, &file, nullptr,
                              kFileOptions, clientSource);
            Close(file);
            break;
        case Op::Write:
            out.result = machine().WriteFile(file, 0, "XY");
            break;
        case Op::Rename10:
        case Op::Rename65:
            out.result = machine().RenameFile(file, u"renamed.txt", false,
                                              op == Op::Rename10 ? FileRenameInformation : FileRenameInformationEx);
            break;
        case Op::Delete13:
        case Op::Delete64:
            out.result = machine().DeleteFile(
                file, true, op == Op::Delete13 ? FileDispositionInformation : FileDispositionInformationEx);
            break;
        case Op::Read:
            out.result = machine().ReadFile(file, 0, 16, &out.data);
            break;
        case Op::Cleanup:
            out.result = machine().CleanupFile(file);
            break;
        case Op::Close:
            out.result = machine().CloseFile(file);
            file = nullptr;
            break;
        }
        Close(file);
        out.records = DrainPolicy();
        out.original = Content(place, "f.txt");
        out.created = Content(place, "new.txt");
        out.renamed = Content(place, "renamed.txt");
        return out;
    }

    // What read-only does with a create: opens for reading pass; anything that
    // writes, deletes or replaces an existing file, or creates one with write
    // access, is refused; open-if and overwrite-if of a missing file are refused.
    static bool ReadOnlyRefusesCreate(ULONG disposition, ACCESS_MASK access, bool exists) {
        const bool writes = (access & FILE_WRITE_DATA) != 0;
        const bool deletes = (access & DELETE) != 0;
        switch (disposition) {
        case FILE_SUPERSEDE: return writes || deletes || exists;
        case FILE_CREATE: return writes || deletes;
        case FILE_OPEN: return deletes;
        case FILE_OPEN_IF: return !exists || writes || deletes;
        case FILE_OVERWRITE: return true;
        case FILE_OVERWRITE_IF: return true;
        }
        return false;
    }

    struct Expected {
        bool refused = false;
        bool recorded = false;
    };

    static Expected Expect(const ClassCase& c, ULONG state, ULONG log, Op op, ULONG disposition, ACCESS_MASK access,
                           bool exists) {
        Expected e;
        const bool decided = op == Op::Create || op == Op::Write || op == Op::Rename10 || op == Op::Rename65 ||
                             op == Op::Delete13 || op == Op::Delete64;
        if (!decided || c.kind == Kind::LocalDisk) return e;
        if (c.kind == Kind::NetworkIn) {
            // Only a create carries the remote client's token; the class is
            // detected only while its policy restricts it.
            if (op == Op::Create && state != ENABLE) {
                e.refused = true;
                e.recorded = log != 0;
            }
            return e;
        }
        if (state == ENABLE && log == 0 && c.kind != Kind::UncShare) return e;
        if (op == Op::Create) {
            e.refused = state == DISABLE || (state == READONLY && ReadOnlyRefusesCreate(disposition, access, exists));
        } else {
            e.refused = state != ENABLE;
        }
        e.recorded = log != 0 && !(state == READONLY && !e.refused);
        return e;
    }

    void CheckRow(const ClassCase& c, ULONG state, ULONG log, Op op, ULONG disposition = FILE_OPEN,
                  const Access& access = kAccesses[0], bool exists = true) {
        const Place place = PlaceOn(this->*c.volume);
        std::ostringstream row;
        row << c.name << " state " << state << " log " << log << " " << OpName(op);
        if (op == Op::Create) row << " disposition " << disposition << " " << access.name << (exists ? " existing" : " new");

        const Outcome baseline = Run(c, place, false, 0, 0, op, disposition, access.mask, exists);
        EXPECT_TRUE(baseline.records.empty()) << row.str() << " (no policy)";
        const Outcome actual = Run(c, place, true, state, log, op, disposition, access.mask, exists);
        const Expected e = Expect(c, state, log, op, disposition, access.mask, exists);

        if (e.refused) {
            EXPECT_EQ(actual.result.status, STATUS_ACCESS_DENIED) << row.str();
            EXPECT_EQ(actual.result.information, 0u) << row.str();
            EXPECT_FALSE(actual.result.reachedFileSystem) << row.str();
            EXPECT_EQ(actual.original, std::optional<std::string>("data")) << row.str();
            EXPECT_EQ(actual.created, std::nullopt) << row.str();
            EXPECT_EQ(actual.renamed, std::nullopt) << row.str();
        } else {
            EXPECT_EQ(actual.result.status, baseline.result.status) << row.str();
            EXPECT_EQ(actual.result.reachedFileSystem, baseline.result.reachedFileSystem) << row.str();
            EXPECT_EQ(actual.original, baseline.original) << row.str();
            EXPECT_EQ(actual.created, baseline.created) << row.str();
            EXPECT_EQ(actual.renamed, baseline.renamed) << row.str();
            EXPECT_EQ(actual.data, baseline.data) << row.str();
        }

        if (!e.recorded) {
            ExpectRecord(actual.records, 0, 0, 0, u"", u"", row.str());
            return;
        }
        const std::u16string file = op == Op::Create && !exists ? u"new.txt" : u"f.txt";
        const std::u16string path = place.prefix + u"\\" + file;
        ExpectRecord(actual.records, c.deviceType, state, log, u"app.exe", path, row.str());
        ++recordsChecked_;
    }

    int recordsChecked_ = 0;
};

const ClassCase kClasses[] = {
    {"CD-ROM", Kind::External, BDC_CDROM, &PreopTest::cdrom_},
    {"floppy", Kind::External, BDC_FLOOPY, &PreopTest::floppy_},
    {"USB disk", Kind::External, BDC_USB_DISK, &PreopTest::flash_},
    {"external HDD", Kind::External, BDC_EXTERNALHDD, &PreopTest::usbHdd_},
    {"local disk", Kind::LocalDisk, BDC_LOCAL_DISK, &PreopTest::local_},
    {"network drive out (mapped)", Kind::MappedDrive, BDC_NETWORKDRIVEOUT, &PreopTest::mapped_},
    {"network share out (UNC)", Kind::UncShare, BDC_NETWORKSHAREOUT, &PreopTest::mup_},
    {"network drive in", Kind::NetworkIn, BDC_NETWORKDRIVEIN, &PreopTest::local_},
};

class PreopMatrixByClass : public PreopMatrixTest, public ::testing::WithParamInterface<int> {};

TEST_P(PreopMatrixByClass, EveryRequestInEveryState) {
    const ClassCase& c = kClasses[GetParam()];
    for (ULONG state : {(ULONG)ENABLE, (ULONG)DISABLE, (ULONG)READONLY}) {
        for (ULONG log : {0u, 1u}) {
            for (ULONG disposition = FILE_SUPERSEDE; disposition <= FILE_OVERWRITE_IF; ++disposition) {
                for (const Access& access : kAccesses) {
                    for (bool exists : {true, false}) CheckRow(c, state, log, Op::Create, disposition, access, exists);
                }
            }
            for (Op op : {Op::Write, Op::Rename10, Op::Rename65, Op::Delete13, Op::Delete64, Op::Read, Op::Cleanup,
                          Op::Close}) {
                CheckRow(c, state, log, op);
            }
        }
    }
    // Classes that record at all recorded something in the logged states.
    if (c.kind != Kind::LocalDisk) EXPECT_GT(recordsChecked_, 0);
    EXPECT_EQ(Drain().size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Classes, PreopMatrixByClass, ::testing::Range(0, (int)(sizeof(kClasses) / sizeof(kClasses[0]))),
                         [](const ::testing::TestParamInfo<int>& info) {
                             std::string name = kClasses[info.param].name;
                             for (char& ch : name)
                                 if (!isalnum((unsigned char)ch)) ch = '_';
                             return name;
                         });

}  // namespace
}  // namespace kxtest
