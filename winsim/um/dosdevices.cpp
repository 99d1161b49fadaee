// DOS device names of user mode: the drive letters of the machine's volumes and
// the network drives mapped with Machine::MapNetworkDrive. A volume's letter
// names its device (C: -> \Device\HarddiskVolume2); a mapped drive names the
// redirector path of its share (Z: -> \Device\LanmanRedirector\;Z:<logon id>\server\share).
// A network volume added without a letter has no DOS name.
#include <algorithm>

#include "winsim/um/services.h"

namespace winsim::um {
namespace {

// The logon session the mapped drives belong to (the interactive user's).
constexpr char16_t kLogonId[] = u"0000000000012345";

struct DosState {
    std::mutex mutex;
    std::map<std::u16string, std::u16string> mapped;  // "Z:" -> redirector path, by upper-cased letter
};
std::unique_ptr<DosState> g_dos;

DosState& Dos() {
    if (!g_dos) Machine::Current();
    return *g_dos;
}

bool IsDriveName(const std::u16string& name) {
    return name.size() == 2 && name[1] == u':' &&
           ((name[0] >= u'A' && name[0] <= u'Z') || (name[0] >= u'a' && name[0] <= u'z'));
}

// Every DOS device name with its target, by upper-cased name (sorted: A: to Z:).
std::map<std::u16string, std::u16string> DosNames() {
    std::map<std::u16string, std::u16string> names;
    for (auto& volume : Machine::Current().Volumes())
        if (IsDriveName(volume.dosName)) names[io::Upcase(volume.dosName)] = volume.deviceName;
    DosState& s = Dos();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& [letter, target] : s.mapped) names.emplace(letter, target);
    return names;
}

}  // namespace

void DosDevicesBoot() { g_dos = std::make_unique<DosState>(); }
void DosDevicesShutdown() { g_dos.reset(); }

}  // namespace winsim::um

// ---------------------------------------------------------------- test controls
namespace winsim {

std::u16string Machine::MapNetworkDrive(const std::u16string& drive, const std::u16string& share) {
    if (!um::IsDriveName(drive)) throw std::invalid_argument("MapNetworkDrive: not a drive letter");
    if (share.size() < 5 || share.compare(0, 2, u"\\\\") != 0 || share.find(u'\\', 2) == std::u16string::npos)
        throw std::invalid_argument("MapNetworkDrive: not a \\\\server\\share path");
    const std::u16string letter = io::Upcase(drive);
    for (auto& volume : Volumes())
        if (detail::EqualsNoCase(volume.dosName, letter))
            throw std::invalid_argument("MapNetworkDrive: drive letter in use by a volume");
    um::DosState& s = um::Dos();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.mapped.count(letter)) throw std::invalid_argument("MapNetworkDrive: drive letter already mapped");
    std::u16string target = u"\\Device\\LanmanRedirector\\;" + letter + um::kLogonId + share.substr(1);
    s.mapped[letter] = target;
    return target;
}

bool Machine::UnmapNetworkDrive(const std::u16string& drive) {
    um::DosState& s = um::Dos();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.mapped.erase(io::Upcase(drive)) != 0;
}

}  // namespace winsim

// ---------------------------------------------------------------- Windows routines
using namespace winsim;
using namespace winsim::um;

DWORD WINAPI QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD maxChars) {
    auto names = DosNames();
    std::u16string out;  // a multi-string: each item terminated, one more terminator at the end
    if (!deviceName) {
        for (auto& [name, target] : names) {
            out += name;
            out.push_back(u'\0');
        }
    } else {
        std::u16string name(reinterpret_cast<const char16_t*>(deviceName));
        auto it = names.find(io::Upcase(name));
        if (it == names.end()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
        out = it->second;
        out.push_back(u'\0');
    }
    out.push_back(u'\0');
    if (!targetPath || maxChars < out.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(out.begin(), out.end(), reinterpret_cast<char16_t*>(targetPath));
    return static_cast<DWORD>(out.size());
}

DWORD WINAPI GetLogicalDriveStringsW(DWORD bufferChars, LPWSTR buffer) {
    auto names = DosNames();
    std::u16string out;  // "C:\<nul>D:\<nul><nul>"
    for (auto& [name, target] : names) {
        out += name + u"\\";
        out.push_back(u'\0');
    }
    // The size without the final terminator; a buffer too small gets nothing and
    // the size it needs, terminator included.
    const DWORD length = static_cast<DWORD>(out.size());
    if (!buffer || bufferChars < length + 1) {
        return length + 1;
    }
    out.push_back(u'\0');
    std::copy(out.begin(), out.end(), reinterpret_cast<char16_t*>(buffer));
    return length;
}

DWORD WINAPI GetLogicalDrives(void) {
    DWORD mask = 0;
    for (auto& [name, target] : DosNames()) mask |= 1u << (name[0] - u'A');
    return mask;
}
