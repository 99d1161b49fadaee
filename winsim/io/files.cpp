// Files on the simulated volumes: FltCreateFile maps an NT path below a volume's
// device name to the volume's host directory and carries out the create
// disposition there; FltClose closes the handle. Also file-name information.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "winsim/io/fltmgr.h"

namespace winsim::io {

FileObject::~FileObject() {
    if (!deleteOnClose) return;
    std::error_code ec;
    std::filesystem::remove(hostPath, ec);
}

namespace {

constexpr ULONG kMaxDisposition = FILE_OVERWRITE_IF;

bool ValidComponent(const std::u16string& c) {
    if (c.empty() || c.size() > 255 || c == u"." || c == u"..") return false;
    for (char16_t ch : c)
        if (ch < 0x20 || ch == u'"' || ch == u'*' || ch == u'/' || ch == u':' || ch == u'<' || ch == u'>' ||
            ch == u'?' || ch == u'|' || ch == u'\\')
            return false;
    return true;
}

bool StartsWithNoCase(const std::u16string& s, const std::u16string& prefix) {
    return s.size() >= prefix.size() && detail::EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

// The volume a full NT name lies on (device form, or a DOS-device form such as
// \??\C:\...) and the rest of the name after the volume. Caller holds the lock.
_FLT_VOLUME* VolumeForName(const std::u16string& name, std::u16string* rest) {
    for (auto& v : Flt().volumes) {
        const std::u16string& dev = v->info.deviceName;
        if (StartsWithNoCase(name, dev) && (name.size() == dev.size() || name[dev.size()] == u'\\')) {
            *rest = name.substr(dev.size());
            return v.get();
        }
    }
    for (const char16_t* prefix : {u"\\??\\", u"\\DosDevices\\", u"\\GLOBAL??\\"}) {
        if (!StartsWithNoCase(name, prefix)) continue;
        std::u16string dos = name.substr(std::u16string(prefix).size());
        for (auto& v : Flt().volumes) {
            const std::u16string& letter = v->info.dosName;
            if (!letter.empty() && StartsWithNoCase(dos, letter) &&
                (dos.size() == letter.size() || dos[letter.size()] == u'\\')) {
                *rest = dos.substr(letter.size());
                return v.get();
            }
        }
    }
    return nullptr;
}

enum class Lookup { Found, Missing, ParentMissing };

// Maps the components to a host path under root, matching existing names without
// regard to case as the Windows file systems do.
Lookup ResolveHost(const std::string& root, const std::vector<std::u16string>& parts, std::string* out) {
    std::string cur = root;
    for (size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        std::string exact = cur + "/" + detail::ToUtf8(parts[i]);
        struct stat st;
        std::string chosen;
        if (::lstat(exact.c_str(), &st) == 0) {
            chosen = exact;
        } else {
            std::error_code ec;
            for (std::filesystem::directory_iterator it(cur, ec), end; !ec && it != end; it.increment(ec)) {
                std::string leaf = it->path().filename().string();
                if (detail::EqualsNoCase(detail::FromUtf8(leaf), parts[i])) {
                    chosen = cur + "/" + leaf;
                    break;
                }
            }
        }
        if (chosen.empty()) {
            if (!last) return Lookup::ParentMissing;
            *out = exact;
            return Lookup::Missing;
        }
        if (!last && !std::filesystem::is_directory(chosen)) return Lookup::ParentMissing;
        cur = chosen;
    }
    *out = cur;
    return Lookup::Found;
}

NTSTATUS HostError(int error) {
    switch (error) {
        case EACCES:
        case EPERM: return STATUS_ACCESS_DENIED;
        case ENOENT: return STATUS_OBJECT_PATH_NOT_FOUND;
        case EEXIST: return STATUS_OBJECT_NAME_COLLISION;
        case ENOTDIR: return STATUS_OBJECT_PATH_NOT_FOUND;
        case EROFS: return WINSIM_STATUS_MEDIA_WRITE_PROTECTED;
        default: return STATUS_UNSUCCESSFUL;
    }
}

NTSTATUS CreateHostFile(const std::string& path, bool directory) {
    if (directory) return ::mkdir(path.c_str(), 0777) == 0 ? STATUS_SUCCESS : HostError(errno);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return HostError(errno);
    ::close(fd);
    return STATUS_SUCCESS;
}

NTSTATUS TruncateHostFile(const std::string& path) {
    return ::truncate(path.c_str(), 0) == 0 ? STATUS_SUCCESS : HostError(errno);
}

}  // namespace

NTSTATUS HostErrorStatus(int error) { return HostError(error); }

NTSTATUS ResolveHostPath(const ParsedName& name, std::string* hostPath, bool* exists) {
    Lookup found = ResolveHost(name.volume->info.hostDir, name.parts, hostPath);
    *exists = found == Lookup::Found;
    return found == Lookup::ParentMissing ? STATUS_OBJECT_PATH_NOT_FOUND : STATUS_SUCCESS;
}

NTSTATUS CheckCreateParameters(ULONG disposition, ULONG options) {
    const bool wantDirectory = options & FILE_DIRECTORY_FILE;
    const bool wantFile = options & FILE_NON_DIRECTORY_FILE;
    if (disposition > kMaxDisposition || (wantDirectory && wantFile)) return STATUS_INVALID_PARAMETER;
    if (wantDirectory && disposition != FILE_CREATE && disposition != FILE_OPEN && disposition != FILE_OPEN_IF)
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

NTSTATUS ParseFileName(const std::u16string& name, ULONG options, ParsedName* out) {
    *out = ParsedName{};
    std::u16string rest;
    {
        std::lock_guard<std::mutex> lock(Flt().mutex);
        out->volume = VolumeForName(name, &rest);
    }
    if (!out->volume) return STATUS_OBJECT_PATH_NOT_FOUND;
    const bool wantFile = options & FILE_NON_DIRECTORY_FILE;
    out->mustBeDirectory = options & FILE_DIRECTORY_FILE;
    // A trailing backslash names a directory.
    if (rest.size() > 1 && rest.back() == u'\\') {
        if (wantFile) return STATUS_OBJECT_NAME_INVALID;
        rest.pop_back();
        out->mustBeDirectory = true;
    }
    // On a redirector, a mapped drive's names start with "\;X:" and the logon id
    // (\;Z:0000000000012345\server\share\...): that component belongs to the name,
    // not to the share's directory tree.
    if (out->volume->info.kind == VolumeKind::Network && rest.size() > 1 && rest[1] == u';') {
        size_t end = rest.find(u'\\', 1);
        out->prefix = rest.substr(0, end);
        rest = end == std::u16string::npos ? std::u16string() : rest.substr(end);
    }
    if (rest.size() > 1) {
        size_t start = 1;
        for (;;) {
            size_t end = rest.find(u'\\', start);
            std::u16string part = rest.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
            if (!ValidComponent(part)) return STATUS_OBJECT_NAME_INVALID;
            out->parts.push_back(part);
            if (end == std::u16string::npos) break;
            start = end + 1;
        }
    }
    return STATUS_SUCCESS;
}

FsCreateResult FileSystemCreate(const ParsedName& name, ULONG disposition, ULONG options) {
    FsCreateResult r;
    auto fail = [&](NTSTATUS status, ULONG_PTR information = 0) {
        r.status = status;
        r.information = information;
        return r;
    };
    _FLT_VOLUME* volume = name.volume;
    const bool wantFile = options & FILE_NON_DIRECTORY_FILE;
    Lookup found = ResolveHost(volume->info.hostDir, name.parts, &r.hostPath);
    if (found == Lookup::ParentMissing) return fail(STATUS_OBJECT_PATH_NOT_FOUND);

    const bool modifies = disposition != FILE_OPEN && !(found == Lookup::Found && disposition == FILE_OPEN_IF);
    if (modifies && volume->readOnly) return fail(WINSIM_STATUS_MEDIA_WRITE_PROTECTED);
    if (found == Lookup::Found) {
        r.directory = std::filesystem::is_directory(r.hostPath);
        if (r.directory && wantFile) return fail(STATUS_FILE_IS_A_DIRECTORY);
        if (!r.directory && name.mustBeDirectory) return fail(STATUS_NOT_A_DIRECTORY);
        switch (disposition) {
            case FILE_CREATE: return fail(STATUS_OBJECT_NAME_COLLISION, FILE_EXISTS);
            case FILE_OPEN:
            case FILE_OPEN_IF: r.information = FILE_OPENED; break;
            case FILE_OVERWRITE:
            case FILE_OVERWRITE_IF:
            case FILE_SUPERSEDE: {
                // The file system replaces or truncates whatever access the caller asked for.
                if (r.directory) return fail(STATUS_FILE_IS_A_DIRECTORY);
                NTSTATUS st = TruncateHostFile(r.hostPath);
                if (!NT_SUCCESS(st)) return fail(st);
                r.information = disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
                break;
            }
        }
    } else {
        if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE)
            return fail(STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST);
        NTSTATUS st = CreateHostFile(r.hostPath, name.mustBeDirectory);
        if (!NT_SUCCESS(st)) return fail(st, st == STATUS_OBJECT_NAME_COLLISION ? FILE_EXISTS : 0);
        r.directory = name.mustBeDirectory;
        r.information = FILE_CREATED;
    }
    r.status = STATUS_SUCCESS;
    return r;
}

std::u16string RelativeName(const ParsedName& name) {
    std::u16string relative = name.prefix;
    for (const auto& part : name.parts) relative.append(1, u'\\').append(part);
    if (relative.empty()) relative.push_back(u'\\');
    return relative;
}

void FileObject::SetNames(const std::u16string& relative) {
    relativeName = relative;
    ntName = volume->info.deviceName + relativeName;
}

std::shared_ptr<FileObject> MakeFileObject(const ParsedName& name, const FsCreateResult& created,
                                           ACCESS_MASK desiredAccess, ULONG shareAccess, ULONG options) {
    auto file = std::make_shared<FileObject>();
    file->volume = name.volume;
    file->SetNames(RelativeName(name));
    file->openedName = file->relativeName;
    file->hostPath = created.hostPath;
    file->directory = created.directory;
    file->deleteOnClose = options & FILE_DELETE_ON_CLOSE;
    FILE_OBJECT& fo = file->file;
    fo.Type = 5;  // IO_TYPE_FILE
    fo.Size = (SHORT)sizeof(FILE_OBJECT);
    fo.DeviceObject = &name.volume->storageDevice;
    fo.FsContext = file.get();
    fo.FileName.Buffer = file->openedName.data();
    fo.FileName.Length = (USHORT)(file->openedName.size() * sizeof(WCHAR));
    fo.FileName.MaximumLength = fo.FileName.Length;
    fo.ReadAccess = (desiredAccess & (FILE_READ_DATA | GENERIC_READ | GENERIC_ALL)) != 0;
    fo.WriteAccess = (desiredAccess & (FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL)) != 0;
    fo.DeleteAccess = (desiredAccess & (DELETE | GENERIC_ALL)) != 0;
    fo.SharedRead = (shareAccess & FILE_SHARE_READ) != 0;
    fo.SharedWrite = (shareAccess & FILE_SHARE_WRITE) != 0;
    fo.SharedDelete = (shareAccess & FILE_SHARE_DELETE) != 0;
    return file;
}

}  // namespace winsim::io

using namespace winsim;

NTSTATUS FltCreateFile(PFLT_FILTER filter, PFLT_INSTANCE instance, PHANDLE fileHandle, ACCESS_MASK desiredAccess,
                       POBJECT_ATTRIBUTES objectAttributes, PIO_STATUS_BLOCK ioStatusBlock,
                       PLARGE_INTEGER allocationSize, ULONG fileAttributes, ULONG shareAccess,
                       ULONG createDisposition, ULONG createOptions, PVOID eaBuffer, ULONG eaLength, ULONG flags) {
    detail::RequirePassive("FltCreateFile");
    if (!fileHandle || !objectAttributes || !objectAttributes->ObjectName || !ioStatusBlock)
        return STATUS_INVALID_PARAMETER;
    *fileHandle = nullptr;
    auto done = [&](NTSTATUS status, ULONG_PTR information) {
        ioStatusBlock->Status = status;
        ioStatusBlock->Information = information;
        return status;
    };
    NTSTATUS st = io::CheckCreateParameters(createDisposition, createOptions);
    if (!NT_SUCCESS(st)) return done(st, 0);

    // The full NT name, relative opens resolved against their root file.
    std::u16string name = io::ToU16(objectAttributes->ObjectName);
    if (objectAttributes->RootDirectory) {
        auto root = detail::ReferenceHandleAs<io::FileObject>(objectAttributes->RootDirectory);
        if (!root) return done(STATUS_INVALID_HANDLE, 0);
        if (!name.empty() && name[0] == u'\\') return done(STATUS_OBJECT_NAME_INVALID, 0);
        std::u16string base = root->ntName;
        if (!name.empty()) {
            if (base.empty() || base.back() != u'\\') base += u'\\';
            base += name;
        }
        name = base;
    }

    io::FltState& s = io::Flt();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!io::FindFilterLocked(filter)) return done(STATUS_INVALID_PARAMETER, 0);
    }
    io::ParsedName parsed;
    st = io::ParseFileName(name, createOptions, &parsed);
    if (parsed.volume && instance) {
        std::lock_guard<std::mutex> lock(s.mutex);
        _FLT_INSTANCE* i = io::FindInstanceLocked(instance);
        if (!i || i->filter != filter || i->state != _FLT_INSTANCE::State::Attached)
            return done(STATUS_INVALID_PARAMETER, 0);
        if (parsed.volume != i->volume) return done(WINSIM_STATUS_INVALID_DEVICE_OBJECT_PARAMETER, 0);
    }
    if (!NT_SUCCESS(st)) return done(st, 0);

    io::FsCreateResult result = io::FileSystemCreate(parsed, createDisposition, createOptions);
    if (!NT_SUCCESS(result.status)) return done(result.status, result.information);
    auto file = io::MakeFileObject(parsed, result, desiredAccess, shareAccess, createOptions);
    HANDLE handle = detail::InsertHandle(file, true, "FltCreateFile");
    if (!handle) return done(STATUS_INSUFFICIENT_RESOURCES, 0);
    *fileHandle = handle;
    return done(STATUS_SUCCESS, result.information);
}

NTSTATUS FltClose(HANDLE fileHandle) {
    detail::RequirePassive("FltClose");
    if (!detail::ReferenceHandleAs<io::FileObject>(fileHandle)) return STATUS_INVALID_HANDLE;
    return detail::CloseHandleEntry(fileHandle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

// ---------------------------------------------------------------- name information
namespace {
const ULONG kNameTag = PoolTag("FMfn");
}

NTSTATUS FltGetFileNameInformation(PFLT_CALLBACK_DATA callbackData, FLT_FILE_NAME_OPTIONS nameOptions,
                                   PFLT_FILE_NAME_INFORMATION* fileNameInformation) {
    detail::RequireIrqlAtMost(APC_LEVEL, "FltGetFileNameInformation");
    if (!callbackData || !fileNameInformation || !callbackData->Iopb) return STATUS_INVALID_PARAMETER;
    *fileNameInformation = nullptr;
    const FLT_FILE_NAME_OPTIONS format = nameOptions & 0xff;
    if (format == FLT_FILE_NAME_SHORT) return STATUS_NOT_SUPPORTED;
    if (format != FLT_FILE_NAME_NORMALIZED && format != FLT_FILE_NAME_OPENED) return STATUS_INVALID_PARAMETER;
    PFILE_OBJECT fo = callbackData->Iopb->TargetFileObject;
    if (!fo) return STATUS_INVALID_PARAMETER;

    io::FltState& s = io::Flt();
    _FLT_FILTER* filter;
    _FLT_VOLUME* volume;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        _FLT_INSTANCE* i = io::FindInstanceLocked(callbackData->Iopb->TargetInstance);
        if (!i) return STATUS_INVALID_PARAMETER;
        filter = i->filter;
        volume = i->volume;
    }
    // The normalized name follows renames; the opened name is the one the file was
    // opened by.
    const auto* record = static_cast<const io::FileObject*>(fo->FsContext);
    std::u16string relative = record && format == FLT_FILE_NAME_NORMALIZED ? record->relativeName
                                                                            : io::ToU16(&fo->FileName);
    if (relative.empty() || relative[0] != u'\\') relative.insert(relative.begin(), u'\\');
    const std::u16string full = volume->info.deviceName + relative;
    const size_t bytes = full.size() * sizeof(WCHAR);
    auto* info = static_cast<FLT_FILE_NAME_INFORMATION*>(
        ExAllocatePoolWithTag(PagedPool, sizeof(FLT_FILE_NAME_INFORMATION) + bytes, kNameTag));
    if (!info) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(info, 0, sizeof *info);
    auto* text = reinterpret_cast<WCHAR*>(info + 1);
    std::memcpy(text, full.data(), bytes);
    info->Size = sizeof(FLT_FILE_NAME_INFORMATION);
    info->Format = format;
    info->Name.Buffer = text;
    info->Name.Length = info->Name.MaximumLength = (USHORT)bytes;
    std::lock_guard<std::mutex> lock(s.mutex);
    s.names[info] = io::NameRecord{filter, 1, volume};
    *fileNameInformation = info;
    return STATUS_SUCCESS;
}

NTSTATUS FltParseFileNameInformation(PFLT_FILE_NAME_INFORMATION info) {
    detail::RequireIrqlAtMost(APC_LEVEL, "FltParseFileNameInformation");
    io::FltState& s = io::Flt();
    _FLT_VOLUME* volume;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = s.names.find(info);
        if (it == s.names.end()) return STATUS_INVALID_PARAMETER;
        volume = it->second.volume;
    }
    auto sub = [&](size_t start, size_t length) {
        UNICODE_STRING u;
        u.Buffer = length ? info->Name.Buffer + start : nullptr;
        u.Length = u.MaximumLength = (USHORT)(length * sizeof(WCHAR));
        return u;
    };
    const std::u16string name = io::ToU16(&info->Name);
    size_t pos = volume->info.deviceName.size();
    info->Volume = sub(0, pos);
    info->Share = sub(0, 0);
    if (volume->info.kind == VolumeKind::Network) {
        // \Device\Mup\server\share\...: the share is the first two components; a
        // mapped drive's (\;Z:0000000000012345\server\share\...) the first three.
        size_t end = pos;
        const int components = name.size() > pos + 1 && name[pos + 1] == u';' ? 3 : 2;
        for (int k = 0; k < components && end != std::u16string::npos; ++k) end = name.find(u'\\', end + 1);
        if (end == std::u16string::npos) end = name.size();
        info->Share = sub(pos, end - pos);
        pos = end;
    }
    const size_t lastSlash = name.find_last_of(u'\\');
    const size_t finalStart = (lastSlash == std::u16string::npos || lastSlash < pos) ? name.size() : lastSlash + 1;
    info->ParentDir = sub(pos, finalStart - pos);
    info->FinalComponent = sub(finalStart, name.size() - finalStart);
    const std::u16string final = name.substr(finalStart);
    const size_t colon = final.find(u':');
    const size_t baseEnd = colon == std::u16string::npos ? final.size() : colon;
    info->Stream = sub(finalStart + baseEnd, final.size() - baseEnd);
    const size_t dot = final.substr(0, baseEnd).find_last_of(u'.');
    info->Extension = dot == std::u16string::npos ? sub(0, 0) : sub(finalStart + dot + 1, baseEnd - dot - 1);
    info->NamesParsed = WINSIM_FLTFL_FILE_NAME_PARSED_FINAL_COMPONENT | WINSIM_FLTFL_FILE_NAME_PARSED_EXTENSION |
                        WINSIM_FLTFL_FILE_NAME_PARSED_STREAM | WINSIM_FLTFL_FILE_NAME_PARSED_PARENT_DIR;
    return STATUS_SUCCESS;
}

void FltReleaseFileNameInformation(PFLT_FILE_NAME_INFORMATION info) {
    detail::RequireIrqlAtMost(APC_LEVEL, "FltReleaseFileNameInformation");
    io::FltState& s = io::Flt();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = s.names.find(info);
        if (it != s.names.end()) {
            if (--it->second.references > 0) return;
            s.names.erase(it);
        } else {
            info = nullptr;
        }
    }
    if (!info) {
        detail::Violation("FltReleaseFileNameInformation on name information that holds no reference "
                          "(released twice, or not from FltGetFileNameInformation)");
        return;
    }
    ExFreePoolWithTag(info, kNameTag);
}
