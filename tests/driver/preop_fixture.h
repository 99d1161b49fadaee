// A machine with one volume of every kind the device policy tells apart, the
// driver loaded and started (device and folder protection on), the agent
// connected as the control process and one ordinary user process that issues the
// file requests. Helpers set policies, prepare files on the host side and drain
// the event log.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "driver/policy/lists.h"
#include "driver/policy/preop.h"
#include "driver/policy/usb_exceptions.h"
#include "tests/support/driver_fixture.h"

namespace kxtest {

// Where the tests' files live on each volume.
struct Place {
    winsim::VolumeInfo volume;
    std::u16string prefix;  // NT name of the folder, without a trailing separator
    std::string hostDir;    // the same folder on the host
};

inline std::string Utf8(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

inline std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

class PreopTest : public DriverTest {
protected:
    static constexpr char16_t kUserImage[] = u"\\Device\\HarddiskVolume2\\Users\\kim\\app.exe";
    static constexpr char16_t kMappedPrefix[] = u"\\;Z:0000000000012345\\server\\share";
    // Plain Win32 opens are synchronous and of files; the event log's noise filter
    // reads the same bits.
    static constexpr ULONG kFileOptions = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE;

    void BeforeLoad() override {
        local_ = machine().AddVolume({winsim::VolumeKind::LocalDisk, u"", u"", ""});     // HarddiskVolume2, C:
        flash_ = machine().AddVolume({winsim::VolumeKind::UsbFlashDisk, u"", u"", ""});  // HarddiskVolume3
        usbHdd_ = machine().AddVolume({winsim::VolumeKind::UsbHardDisk, u"", u"", ""});  // HarddiskVolume4
        floppy_ = machine().AddVolume({winsim::VolumeKind::Floppy, u"", u"", ""});
        cdrom_ = machine().AddVolume({winsim::VolumeKind::CdRom, u"", u"", ""});
        mup_ = machine().AddVolume({winsim::VolumeKind::Network, u"", u"", ""});
        mapped_ = machine().AddVolume({winsim::VolumeKind::Network, u"\\Device\\LanmanRedirector", u"Z:", ""});
        winsim::VolumeOptions listed;
        listed.kind = winsim::VolumeKind::UsbFlashDisk;
        listed.customIdentity = true;
        listed.identity = winsim::DefaultDiskIdentity(winsim::VolumeKind::UsbFlashDisk);
        listed.identity.vendor = "KXVEND";
        listed.identity.product = "LISTED DISK";
        listed.identity.serial = "SER0001";
        listedUsb_ = machine().AddVolume(listed);
        std::filesystem::create_directories(mup_.hostDir + "/server/share");
        std::filesystem::create_directories(mapped_.hostDir + "/server/share");
    }

    void SetUp() override {
        DriverTest::SetUp();
        if (HasFatalFailure()) return;
        Command(START, 1);
        Command(START_DEVICE_PROTECT, 1);
        Command(START_FOLDER_PROTECT, 1);
        winsim::ProcessOptions user;
        user.imagePath = kUserImage;
        user_ = machine().StartProcess(user);
        ASSERT_NE(user_, nullptr);
        connects_ = Drain();  // the volumes' CONNECT records
    }

    void Command(uint64_t command, uint32_t state) {
        RawMessage msg(command);
        msg.State(state);
        ASSERT_EQ(Send(msg).status, STATUS_SUCCESS);
    }
    void Policy(ULONG deviceType, ULONG state, ULONG log) {
        RawMessage msg(SET_POLICY);
        msg.DeviceType(deviceType).PolicyState(state).Log(log);
        ASSERT_EQ(Send(msg).status, STATUS_SUCCESS);
    }
    void TextCommand(uint64_t command, uint32_t ulType, const std::u16string& text) {
        RawMessage msg(command);
        msg.UlType(ulType).Text(text);
        ASSERT_EQ(Send(msg).status, STATUS_SUCCESS);
    }

    // Every record waiting in the event log, oldest first.
    std::vector<EVENT_RECORD> Drain() {
        std::vector<EVENT_RECORD> records;
        std::vector<uint8_t> out(GetLogReplySize(64));
        for (;;) {
            RawMessage msg(GET_LOG);
            Reply reply = Send(msg, out.data(), static_cast<uint32_t>(out.size()));
            if (reply.status != STATUS_SUCCESS) break;
            for (uint32_t i = 0; i < ReplyCount(out); ++i) records.push_back(RecordAt(out, i));
        }
        return records;
    }
    std::vector<EVENT_RECORD> DrainPolicy() {
        std::vector<EVENT_RECORD> policy;
        for (const EVENT_RECORD& r : Drain())
            if (r.code == POLICY) policy.push_back(r);
        return policy;
    }
    // Past the event log's two-second duplicate window.
    void NextRow() { machine().AdvanceClock(2500); }

    Place PlaceOn(const winsim::VolumeInfo& volume) const {
        if (volume.kind == winsim::VolumeKind::Network) {
            const bool mapped = volume.deviceName == mapped_.deviceName;
            return {volume, volume.deviceName + (mapped ? std::u16string(kMappedPrefix) : u"\\server\\share"),
                    volume.hostDir + "/server/share"};
        }
        return {volume, volume.deviceName, volume.hostDir};
    }

    static void PutFile(const Place& place, const std::string& name, const std::string& content) {
        std::filesystem::create_directories(std::filesystem::path(place.hostDir + "/" + name).parent_path());
        std::ofstream(place.hostDir + "/" + name, std::ios::binary | std::ios::trunc) << content;
    }
    // The file's content, or nothing when it does not exist.
    static std::optional<std::string> Content(const Place& place, const std::string& name) {
        std::ifstream in(place.hostDir + "/" + name, std::ios::binary);
        if (!in) return std::nullopt;
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    winsim::IoResult Open(const Place& place, const std::string& name, ACCESS_MASK access, ULONG disposition,
                          winsim::OpenFile** file, PEPROCESS process = nullptr, ULONG options = kFileOptions,
                          const std::string& clientTokenSource = "", const winsim::RequestOptions& ro = {}) {
        winsim::CreateRequest r;
        std::u16string relative = Wide(name);
        for (char16_t& ch : relative)
            if (ch == u'/') ch = u'\\';
        r.path = place.prefix + u"\\" + relative;
        r.desiredAccess = access;
        r.disposition = disposition;
        r.options = options;
        r.shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        r.clientTokenSource = clientTokenSource;
        *file = nullptr;
        return machine().CreateFile(process != nullptr ? process : user_, r, file, ro);
    }
    void Close(winsim::OpenFile*& file) {
        if (file != nullptr) {
            EXPECT_EQ(machine().CloseFile(file).status, STATUS_SUCCESS);
            file = nullptr;
        }
    }

    // Expects one POLICY record with these fields, or none when deviceType is 0.
    void ExpectRecord(const std::vector<EVENT_RECORD>& records, ULONG deviceType, ULONG state, ULONG log,
                      const std::u16string& name, const std::u16string& path, const std::string& row) {
        if (deviceType == 0) {
            EXPECT_TRUE(records.empty()) << row << ": " << records.size() << " record(s), first "
                                         << Utf8(records.empty() ? u"" : Text(records[0].path));
            return;
        }
        ASSERT_EQ(records.size(), 1u) << row;
        const EVENT_RECORD& r = records[0];
        EXPECT_EQ(r.code, (ULONG)POLICY) << row;
        EXPECT_EQ(r.a0, deviceType) << row;
        EXPECT_EQ(r.a1, state) << row;
        EXPECT_EQ(r.log, log) << row;
        EXPECT_EQ(Text(r.name), name) << row;
        EXPECT_EQ(Text(r.path), path) << row;
        EXPECT_EQ(r.pid, machine().ProcessId(user_)) << row;
    }

public:
    // Public so that tables of rows can name a volume by member pointer.
    winsim::VolumeInfo local_, flash_, usbHdd_, floppy_, cdrom_, mup_, mapped_, listedUsb_;

protected:
    PEPROCESS user_ = nullptr;
    std::vector<EVENT_RECORD> connects_;
};

}  // namespace kxtest
