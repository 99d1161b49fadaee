// File requests issued by simulated processes, the way they travel on Windows:
// the I/O manager validates the request and checks the handle's granted access,
// the filter manager presents it to the pre-operation callbacks of every filter
// instance on the volume that registered the operation (top first), the file
// system carries it out on the volume's host directory only when every callback
// passed it, and the post-operation callbacks that were asked for run bottom up.
// The status the process gets is the callback data's final IoStatus.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "winsim/io/fltmgr.h"

using winsim::detail::Violation;

#define WINSIM_STATUS_END_OF_FILE ((NTSTATUS)0xC0000011L)
#define WINSIM_STATUS_NOT_SAME_DEVICE ((NTSTATUS)0xC00000D4L)
#define WINSIM_STATUS_DIRECTORY_NOT_EMPTY ((NTSTATUS)0xC0000101L)
#define WINSIM_STATUS_FLT_DISALLOW_FAST_IO ((NTSTATUS)0xC01C0004L)
#define WINSIM_FILE_GENERIC_EXECUTE 0x001200A0
#define WINSIM_FILE_ALL_ACCESS 0x001F01FF

namespace winsim::io {
namespace {

// Generic rights as the file object type maps them: what the file system and the
// filters see in the create's DesiredAccess, and what the handle is granted.
ACCESS_MASK MapGenericFileAccess(ACCESS_MASK access) {
    if (access & GENERIC_READ) access |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE) access |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE) access |= WINSIM_FILE_GENERIC_EXECUTE;
    if (access & GENERIC_ALL) access |= WINSIM_FILE_ALL_ACCESS;
    return access & ~(ACCESS_MASK)(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

// One filter instance the request passes through, with its registration for the
// operation (the filter's in-flight count was raised for it).
struct Layer {
    _FLT_INSTANCE* instance;
    _FLT_FILTER* filter;
    FLT_OPERATION_REGISTRATION registration;
};

// Instances attached to the volume whose filter registered this operation, top
// first (the filter manager keeps no altitudes here: the earliest attached is on top).
std::vector<Layer> LayersFor(_FLT_VOLUME* volume, UCHAR major, bool pagingIo) {
    FltState& s = Flt();
    std::vector<Layer> layers;
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& i : s.instances) {
        if (i->volume != volume || i->state != _FLT_INSTANCE::State::Attached) continue;
        _FLT_FILTER* f = i->filter;
        if (f->gone || f->unregistering || !f->started) continue;
        for (const auto& op : f->operations) {
            if (op.MajorFunction != major) continue;
            if (pagingIo && (op.Flags & FLTFL_OPERATION_REGISTRATION_SKIP_PAGING_IO)) break;
            ++f->callbacksInFlight;
            layers.push_back({i.get(), f, op});
            break;
        }
    }
    return layers;
}

struct Outcome {
    bool reachedFileSystem = false;
    bool fastIoDisallowed = false;
};

const char* MajorName(UCHAR major) {
    switch (major) {
        case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
        case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
        case IRP_MJ_READ: return "IRP_MJ_READ";
        case IRP_MJ_WRITE: return "IRP_MJ_WRITE";
        case IRP_MJ_SET_INFORMATION: return "IRP_MJ_SET_INFORMATION";
        case IRP_MJ_CLEANUP: return "IRP_MJ_CLEANUP";
        default: return "IRP_MJ_?";
    }
}

// Presents the request to the callbacks and, when they pass it, to the file system.
Outcome Dispatch(_FLT_VOLUME* volume, PFILE_OBJECT fileObject, FLT_CALLBACK_DATA& data, bool pagingIo,
                 const std::function<void(FLT_CALLBACK_DATA&)>& fileSystem) {
    const UCHAR major = data.Iopb->MajorFunction;
    const bool fastIo = data.Flags & FLTFL_CALLBACK_DATA_FAST_IO_OPERATION;
    std::vector<Layer> layers = LayersFor(volume, major, pagingIo);
    // One guard per raised in-flight count: unregistering waits for these callbacks.
    std::vector<std::unique_ptr<FilterCallback>> guards;
    for (auto& layer : layers) guards.push_back(std::make_unique<FilterCallback>(layer.filter, nullptr));

    struct Pending {
        const Layer* layer;
        PVOID context;
    };
    std::vector<Pending> posts;
    Outcome outcome;
    bool stopped = false;
    for (const Layer& layer : layers) {
        FLT_RELATED_OBJECTS related{sizeof(FLT_RELATED_OBJECTS), 0, layer.filter, volume, layer.instance,
                                    fileObject, nullptr};
        data.Iopb->TargetInstance = layer.instance;
        PFLT_PRE_OPERATION_CALLBACK pre = layer.registration.PreOperation;
        if (!pre) {
            if (layer.registration.PostOperation) posts.push_back({&layer, nullptr});
            continue;
        }
        PVOID context = nullptr;
        FLT_PREOP_CALLBACK_STATUS status;
        {
            DriverScope scope(&layer.filter->service);
            status = pre(&data, &related, &context);
        }
        const std::string who = detail::ToUtf8(layer.filter->service) + "'s pre-operation callback for " +
                                MajorName(major);
        switch (status) {
            case FLT_PREOP_SUCCESS_WITH_CALLBACK:
            case FLT_PREOP_SYNCHRONIZE:
                if (layer.registration.PostOperation) posts.push_back({&layer, context});
                else if (context) Violation(who + " returned a completion context but registered no post-operation callback");
                break;
            case FLT_PREOP_SUCCESS_NO_CALLBACK:
                if (context) Violation(who + " returned FLT_PREOP_SUCCESS_NO_CALLBACK with a completion context");
                break;
            case FLT_PREOP_COMPLETE:
                if (context) Violation(who + " completed the operation with a completion context");
                if (data.IoStatus.Status == STATUS_PENDING)
                    Violation(who + " completed the operation with STATUS_PENDING");
                if ((major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE) && !NT_SUCCESS(data.IoStatus.Status))
                    Violation(who + " failed the operation (cleanup and close must never fail)");
                stopped = true;
                break;
            case FLT_PREOP_DISALLOW_FASTIO:
                // Only meaningful for fast I/O: the I/O manager then reissues the request as an IRP.
                if (fastIo) {
                    outcome.fastIoDisallowed = true;
                    data.IoStatus.Status = WINSIM_STATUS_FLT_DISALLOW_FAST_IO;
                    data.IoStatus.Information = 0;
                    stopped = true;
                }
                break;
            default:
                Violation(who + " returned " + std::to_string((int)status) +
                          ", which the simulated filter manager does not support (pending requests)");
                break;
        }
        if (stopped) break;
    }
    if (!stopped) {
        fileSystem(data);
        outcome.reachedFileSystem = true;
    }
    for (auto it = posts.rbegin(); it != posts.rend(); ++it) {
        const Layer& layer = *it->layer;
        FLT_RELATED_OBJECTS related{sizeof(FLT_RELATED_OBJECTS), 0, layer.filter, volume, layer.instance,
                                    fileObject, nullptr};
        data.Iopb->TargetInstance = layer.instance;
        FLT_POSTOP_CALLBACK_STATUS status;
        {
            DriverScope scope(&layer.filter->service);
            status = layer.registration.PostOperation(&data, &related, it->context, 0);
        }
        if (status != FLT_POSTOP_FINISHED_PROCESSING)
            Violation(detail::ToUtf8(layer.filter->service) + "'s post-operation callback for " + MajorName(major) +
                      " returned " + std::to_string((int)status) + " (only FLT_POSTOP_FINISHED_PROCESSING is supported)");
    }
    return outcome;
}

// The thread state a request runs in: the requesting process and the IRQL asked for.
class RequestScope {
public:
    RequestScope(PEPROCESS process, KIRQL irql) : process_(process) {
        if (irql > KeGetCurrentIrql()) {
            KeRaiseIrql(irql, &old_);
            raised_ = true;
        }
    }
    ~RequestScope() {
        if (raised_) KeLowerIrql(old_);
    }
    RequestScope(const RequestScope&) = delete;
    RequestScope& operator=(const RequestScope&) = delete;

private:
    ProcessScope process_;
    KIRQL old_ = PASSIVE_LEVEL;
    bool raised_ = false;
};

IoResult Result(const FLT_CALLBACK_DATA& data, const Outcome& outcome) {
    IoResult r;
    r.status = data.IoStatus.Status;
    r.information = data.IoStatus.Information;
    r.reachedFileSystem = outcome.reachedFileSystem;
    return r;
}

IoResult Refused(NTSTATUS status) {
    IoResult r;
    r.status = status;
    return r;
}

OpenFile* LiveFile(OpenFile* file) {
    FltState& s = Flt();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!file || !s.openFiles.count(file))
        throw std::invalid_argument("winsim: not an open file from CreateFile (closed already?)");
    return file;
}

// A request on an open handle: the callback data with the handle's file object.
struct HandleRequest {
    HandleRequest(OpenFile* f, UCHAR major, const RequestOptions& options)
        : file(f),
          iopb{},
          data{options.fastIo ? (ULONG)FLTFL_CALLBACK_DATA_FAST_IO_OPERATION : (ULONG)FLTFL_CALLBACK_DATA_IRP_OPERATION,
               PsGetCurrentThread(),
               &iopb,
               {},
               nullptr,
               {},
               (KPROCESSOR_MODE)(options.kernelMode || options.pagingIo ? KernelMode : UserMode)} {
        iopb.MajorFunction = major;
        if (f) iopb.TargetFileObject = &f->file->file;
        if (options.presetIoStatus) {
            data.IoStatus.Status = options.presetStatus;
            data.IoStatus.Information = options.presetInformation;
        }
    }
    OpenFile* file;
    FLT_IO_PARAMETER_BLOCK iopb;
    FLT_CALLBACK_DATA data;
};

void Complete(FLT_CALLBACK_DATA& data, NTSTATUS status, ULONG_PTR information = 0) {
    data.IoStatus.Status = status;
    data.IoStatus.Information = information;
}

bool IsDeleteOrRename(FILE_INFORMATION_CLASS c) {
    return c == FileRenameInformation || c == FileRenameInformationEx || c == FileDispositionInformation ||
           c == FileDispositionInformationEx;
}

bool DirectoryEmpty(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_empty(path, ec) && !ec;
}

// The file system's rename of an open file.
void FileSystemRename(FileObject& file, const FILE_RENAME_INFORMATION* info, bool replace, FLT_CALLBACK_DATA& data) {
    std::u16string target(reinterpret_cast<const char16_t*>(info->FileName), info->FileNameLength / sizeof(WCHAR));
    if (info->RootDirectory) return Complete(data, STATUS_INVALID_PARAMETER);
    if (target.empty()) return Complete(data, STATUS_OBJECT_NAME_INVALID);
    if (target[0] != u'\\') {
        // A bare name: renamed within its own directory.
        if (target.find(u'\\') != std::u16string::npos) return Complete(data, STATUS_OBJECT_NAME_INVALID);
        const size_t slash = file.ntName.find_last_of(u'\\');
        target = file.ntName.substr(0, slash + 1) + target;
    }
    ParsedName parsed;
    NTSTATUS st = ParseFileName(target, 0, &parsed);
    if (!NT_SUCCESS(st)) return Complete(data, st);
    if (parsed.volume != file.volume) return Complete(data, WINSIM_STATUS_NOT_SAME_DEVICE);
    if (parsed.parts.empty()) return Complete(data, STATUS_ACCESS_DENIED);
    if (file.volume->readOnly) return Complete(data, WINSIM_STATUS_MEDIA_WRITE_PROTECTED);
    std::string hostTarget;
    bool exists = false;
    st = ResolveHostPath(parsed, &hostTarget, &exists);
    if (!NT_SUCCESS(st)) return Complete(data, st);
    std::error_code ec;
    const bool sameFile = exists && std::filesystem::equivalent(hostTarget, file.hostPath, ec);
    if (exists && !sameFile) {
        if (!replace) return Complete(data, STATUS_OBJECT_NAME_COLLISION);
        if (std::filesystem::is_directory(hostTarget)) return Complete(data, STATUS_ACCESS_DENIED);
    }
    if (sameFile) {
        // A change of case only: the host entry takes the new spelling.
        hostTarget = std::filesystem::path(hostTarget).parent_path().string() + "/" +
                     detail::ToUtf8(parsed.parts.back());
    }
    if (std::rename(file.hostPath.c_str(), hostTarget.c_str()) != 0) return Complete(data, HostErrorStatus(errno));
    file.hostPath = hostTarget;
    file.SetNames(RelativeName(parsed));
    Complete(data, STATUS_SUCCESS);
}

void FileSystemDisposition(FileObject& file, bool del, FLT_CALLBACK_DATA& data) {
    if (del) {
        if (file.volume->readOnly) return Complete(data, WINSIM_STATUS_MEDIA_WRITE_PROTECTED);
        if (file.directory && !DirectoryEmpty(file.hostPath)) return Complete(data, WINSIM_STATUS_DIRECTORY_NOT_EMPTY);
    }
    file.deleteOnClose = del;
    file.file.DeletePending = del;
    Complete(data, STATUS_SUCCESS);
}

}  // namespace
}  // namespace winsim::io

// ---------------------------------------------------------------- test controls
namespace winsim {

IoResult Machine::CreateFile(PEPROCESS process, const CreateRequest& request, OpenFile** file,
                             const RequestOptions& options) {
    if (!file) throw std::invalid_argument("CreateFile: file must not be null");
    *file = nullptr;
    if (!process) process = io::SystemProcessObject();
    io::RequestScope scope(process, options.irql);

    // The I/O manager's own checks: nothing here reaches a filter.
    NTSTATUS st = io::CheckCreateParameters(request.disposition, request.options);
    if (!NT_SUCCESS(st)) return io::Refused(st);
    if ((request.options & FILE_DELETE_ON_CLOSE) && !(request.desiredAccess & (DELETE | GENERIC_ALL)))
        return io::Refused(STATUS_INVALID_PARAMETER);
    io::ParsedName parsed;
    st = io::ParseFileName(request.path, request.options, &parsed);
    if (!NT_SUCCESS(st)) return io::Refused(st);

    const ACCESS_MASK access = io::MapGenericFileAccess(request.desiredAccess);
    auto opened = io::MakeFileObject(parsed, io::FsCreateResult{}, access, request.shareAccess, request.options);

    // The subject: the process's primary token and, when the thread impersonates,
    // the client's token.
    io::Token client;
    client.source = request.clientTokenSource;
    client.primary = false;
    const bool impersonating = !request.clientTokenSource.empty();
    if (impersonating) io::RegisterToken(&client);
    struct Unregister {
        const io::Token* token;
        ~Unregister() {
            if (token) io::UnregisterToken(token);
        }
    } unregister{impersonating ? &client : nullptr};

    ACCESS_STATE state{};
    state.OriginalDesiredAccess = access;
    state.RemainingDesiredAccess = access;
    state.SubjectSecurityContext.ClientToken = impersonating ? &client : nullptr;
    state.SubjectSecurityContext.ImpersonationLevel = impersonating ? SecurityImpersonation : SecurityAnonymous;
    state.SubjectSecurityContext.PrimaryToken = &process->token;
    IO_SECURITY_CONTEXT security{nullptr, request.accessState ? &state : nullptr, access, request.options};

    io::HandleRequest r(nullptr, IRP_MJ_CREATE, options);
    r.iopb.TargetFileObject = &opened->file;
    r.iopb.IrpFlags = IRP_SYNCHRONOUS_API;
    r.iopb.Parameters.Create.SecurityContext = &security;
    r.iopb.Parameters.Create.Options = (request.disposition << 24) | (request.options & 0x00ffffff);
    r.iopb.Parameters.Create.FileAttributes = (USHORT)request.fileAttributes;
    r.iopb.Parameters.Create.ShareAccess = (USHORT)request.shareAccess;
    r.data.Flags = FLTFL_CALLBACK_DATA_IRP_OPERATION;  // creates have no fast I/O path

    io::Outcome outcome = io::Dispatch(parsed.volume, &opened->file, r.data, false, [&](FLT_CALLBACK_DATA& data) {
        io::FsCreateResult created = io::FileSystemCreate(parsed, request.disposition, request.options);
        data.IoStatus.Status = created.status;
        data.IoStatus.Information = created.information;
        if (NT_SUCCESS(created.status)) {
            opened->hostPath = created.hostPath;
            opened->directory = created.directory;
        }
    });
    IoResult result = io::Result(r.data, outcome);
    if (!NT_SUCCESS(result.status)) {
        opened->deleteOnClose = false;  // never opened: nothing to delete
        return result;
    }
    auto handle = std::make_unique<OpenFile>();
    handle->process = process;
    handle->file = opened;
    handle->granted = access;
    *file = handle.get();
    io::FltState& s = io::Flt();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.openFiles[handle.get()] = std::move(handle);
    return result;
}

IoResult Machine::ReadFile(OpenFile* file, uint64_t offset, uint32_t length, std::string* data,
                           const RequestOptions& options) {
    io::LiveFile(file);
    if (data) data->clear();
    io::RequestScope scope(file->process, options.irql);
    if (!options.kernelMode && !(file->granted & FILE_READ_DATA)) return io::Refused(STATUS_ACCESS_DENIED);
    if (file->file->directory) return io::Refused(STATUS_INVALID_DEVICE_REQUEST);
    std::vector<char> buffer(length);
    RequestOptions issued = options;
    issued.pagingIo = false;
    for (;;) {
        io::HandleRequest r(file, IRP_MJ_READ, issued);
        r.iopb.Parameters.Read.Length = length;
        r.iopb.Parameters.Read.ByteOffset.QuadPart = (LONGLONG)offset;
        r.iopb.Parameters.Read.ReadBuffer = buffer.data();
        io::Outcome outcome =
            io::Dispatch(file->file->volume, &file->file->file, r.data, false, [&](FLT_CALLBACK_DATA& d) {
                if (file->file->hostPath.empty()) return io::Complete(d, STATUS_INVALID_DEVICE_REQUEST);
                int fd = ::open(file->file->hostPath.c_str(), O_RDONLY | O_CLOEXEC);
                if (fd < 0) return io::Complete(d, io::HostErrorStatus(errno));
                ssize_t got = length ? ::pread(fd, buffer.data(), length, (off_t)offset) : 0;
                ::close(fd);
                if (got < 0) return io::Complete(d, io::HostErrorStatus(errno));
                if (got == 0 && length) return io::Complete(d, WINSIM_STATUS_END_OF_FILE);
                io::Complete(d, STATUS_SUCCESS, (ULONG_PTR)got);
            });
        if (outcome.fastIoDisallowed) {
            issued.fastIo = false;  // the I/O manager reissues it as an IRP
            continue;
        }
        IoResult result = io::Result(r.data, outcome);
        if (data && NT_SUCCESS(result.status))
            data->assign(buffer.data(), std::min<size_t>(result.information, buffer.size()));
        return result;
    }
}

IoResult Machine::WriteFile(OpenFile* file, uint64_t offset, const std::string& data, const RequestOptions& options) {
    io::LiveFile(file);
    // A paging write comes from the memory manager on behalf of the system, not
    // through the handle: no access check.
    io::RequestScope scope(options.pagingIo ? io::SystemProcessObject() : file->process, options.irql);
    if (!options.kernelMode && !options.pagingIo && !(file->granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)))
        return io::Refused(STATUS_ACCESS_DENIED);
    if (file->file->directory) return io::Refused(STATUS_INVALID_DEVICE_REQUEST);
    std::string buffer = data;
    RequestOptions issued = options;
    if (issued.pagingIo) issued.fastIo = false;
    for (;;) {
        io::HandleRequest r(file, IRP_MJ_WRITE, issued);
        r.iopb.Parameters.Write.Length = (ULONG)buffer.size();
        r.iopb.Parameters.Write.ByteOffset.QuadPart = (LONGLONG)offset;
        r.iopb.Parameters.Write.WriteBuffer = buffer.data();
        if (issued.pagingIo) r.iopb.IrpFlags = IRP_PAGING_IO | IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO;
        io::Outcome outcome = io::Dispatch(file->file->volume, &file->file->file, r.data, issued.pagingIo,
                                           [&](FLT_CALLBACK_DATA& d) {
            if (file->file->volume->readOnly) return io::Complete(d, WINSIM_STATUS_MEDIA_WRITE_PROTECTED);
            if (file->file->hostPath.empty()) return io::Complete(d, STATUS_INVALID_DEVICE_REQUEST);
            int fd = ::open(file->file->hostPath.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd < 0) return io::Complete(d, io::HostErrorStatus(errno));
            ssize_t put = buffer.empty() ? 0 : ::pwrite(fd, buffer.data(), buffer.size(), (off_t)offset);
            ::close(fd);
            if (put < 0) return io::Complete(d, io::HostErrorStatus(errno));
            io::Complete(d, STATUS_SUCCESS, (ULONG_PTR)put);
        });
        if (outcome.fastIoDisallowed) {
            issued.fastIo = false;
            continue;
        }
        return io::Result(r.data, outcome);
    }
}

IoResult Machine::SetInformationFile(OpenFile* file, FILE_INFORMATION_CLASS infoClass, const void* buffer,
                                     uint32_t length, const RequestOptions& options) {
    io::LiveFile(file);
    io::RequestScope scope(file->process, options.irql);
    // The I/O manager: classes it knows, buffers long enough, and DELETE access
    // for renames and deletes.
    if (!io::IsDeleteOrRename(infoClass)) return io::Refused(WINSIM_STATUS_INVALID_INFO_CLASS);
    const bool rename = infoClass == FileRenameInformation || infoClass == FileRenameInformationEx;
    size_t minimum = rename ? offsetof(FILE_RENAME_INFORMATION, FileName)
                            : (infoClass == FileDispositionInformation ? sizeof(FILE_DISPOSITION_INFORMATION)
                                                                       : sizeof(FILE_DISPOSITION_INFORMATION_EX));
    if (!buffer || length < minimum) return io::Refused(STATUS_INFO_LENGTH_MISMATCH);
    if (rename) {
        auto* info = static_cast<const FILE_RENAME_INFORMATION*>(buffer);
        if (info->FileNameLength > length - minimum) return io::Refused(STATUS_INFO_LENGTH_MISMATCH);
    }
    if (!options.kernelMode && !(file->granted & DELETE)) return io::Refused(STATUS_ACCESS_DENIED);

    // The system buffer the filters and the file system see.
    std::vector<uint8_t> system((const uint8_t*)buffer, (const uint8_t*)buffer + length);
    RequestOptions issued = options;
    issued.fastIo = false;
    issued.pagingIo = false;
    io::HandleRequest r(file, IRP_MJ_SET_INFORMATION, issued);
    auto& p = r.iopb.Parameters.SetFileInformation;
    p.Length = length;
    p.FileInformationClass = infoClass;
    p.InfoBuffer = system.data();
    bool replace = false;
    if (infoClass == FileRenameInformation)
        replace = reinterpret_cast<const FILE_RENAME_INFORMATION*>(system.data())->ReplaceIfExists != 0;
    if (infoClass == FileRenameInformationEx)
        replace = (reinterpret_cast<const FILE_RENAME_INFORMATION*>(system.data())->Flags &
                   FILE_RENAME_REPLACE_IF_EXISTS) != 0;
    if (rename) p.ReplaceIfExists = replace;
    io::Outcome outcome = io::Dispatch(file->file->volume, &file->file->file, r.data, false,
                                       [&](FLT_CALLBACK_DATA& d) {
        // The file system reads the buffer as the filters left it.
        auto* info = static_cast<const uint8_t*>(d.Iopb->Parameters.SetFileInformation.InfoBuffer);
        switch (infoClass) {
            case FileRenameInformation:
            case FileRenameInformationEx:
                return io::FileSystemRename(*file->file, reinterpret_cast<const FILE_RENAME_INFORMATION*>(info),
                                            replace, d);
            case FileDispositionInformation:
                return io::FileSystemDisposition(
                    *file->file, reinterpret_cast<const FILE_DISPOSITION_INFORMATION*>(info)->DeleteFile != 0, d);
            default:
                return io::FileSystemDisposition(
                    *file->file,
                    (reinterpret_cast<const FILE_DISPOSITION_INFORMATION_EX*>(info)->Flags & FILE_DISPOSITION_DELETE) != 0,
                    d);
        }
    });
    return io::Result(r.data, outcome);
}

IoResult Machine::RenameFile(OpenFile* file, const std::u16string& newName, bool replace,
                             FILE_INFORMATION_CLASS infoClass, const RequestOptions& options) {
    const size_t length = offsetof(FILE_RENAME_INFORMATION, FileName) + newName.size() * sizeof(WCHAR);
    std::vector<uint64_t> storage((length + 7) / 8 + 1, 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(storage.data());
    if (infoClass == FileRenameInformationEx) info->Flags = replace ? FILE_RENAME_REPLACE_IF_EXISTS : 0;
    else info->ReplaceIfExists = replace;
    info->RootDirectory = nullptr;
    info->FileNameLength = (ULONG)(newName.size() * sizeof(WCHAR));
    std::memcpy(info->FileName, newName.data(), newName.size() * sizeof(WCHAR));
    return SetInformationFile(file, infoClass, info, (uint32_t)length, options);
}

IoResult Machine::DeleteFile(OpenFile* file, bool del, FILE_INFORMATION_CLASS infoClass,
                             const RequestOptions& options) {
    if (infoClass == FileDispositionInformationEx) {
        FILE_DISPOSITION_INFORMATION_EX info{del ? (ULONG)FILE_DISPOSITION_DELETE : (ULONG)FILE_DISPOSITION_DO_NOT_DELETE};
        return SetInformationFile(file, infoClass, &info, sizeof info, options);
    }
    FILE_DISPOSITION_INFORMATION info{(BOOLEAN)del};
    return SetInformationFile(file, infoClass, &info, sizeof info, options);
}

IoResult Machine::CleanupFile(OpenFile* file, const RequestOptions& options) {
    io::LiveFile(file);
    if (file->cleanedUp) throw std::invalid_argument("CleanupFile: the handle is closed already");
    io::RequestScope scope(file->process, options.irql);
    RequestOptions issued = options;
    issued.fastIo = false;
    issued.pagingIo = false;
    io::HandleRequest r(file, IRP_MJ_CLEANUP, issued);
    io::Outcome outcome = io::Dispatch(file->file->volume, &file->file->file, r.data, false,
                                       [&](FLT_CALLBACK_DATA& d) {
        // The last handle is gone: a delete on close or a pending delete happens now.
        io::FileObject& f = *file->file;
        if (f.deleteOnClose && !f.hostPath.empty()) {
            std::error_code ec;
            std::filesystem::remove(f.hostPath, ec);
        }
        f.deleteOnClose = false;
        io::Complete(d, STATUS_SUCCESS);
    });
    file->cleanedUp = true;
    return io::Result(r.data, outcome);
}

IoResult Machine::CloseFile(OpenFile* file, const RequestOptions& options) {
    io::LiveFile(file);
    if (!file->cleanedUp) CleanupFile(file, options);
    IoResult result;
    {
        io::RequestScope scope(file->process, options.irql);
        RequestOptions issued = options;
        issued.fastIo = false;
        issued.pagingIo = false;
        io::HandleRequest r(file, IRP_MJ_CLOSE, issued);
        io::Outcome outcome = io::Dispatch(file->file->volume, &file->file->file, r.data, false,
                                           [](FLT_CALLBACK_DATA& d) { io::Complete(d, STATUS_SUCCESS); });
        result = io::Result(r.data, outcome);
    }
    file->file->deleteOnClose = false;  // what the file system did not see at cleanup does not happen
    io::FltState& s = io::Flt();
    std::unique_ptr<OpenFile> gone;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = s.openFiles.find(file);
        gone = std::move(it->second);
        s.openFiles.erase(it);
    }
    return result;
}

PFILE_OBJECT Machine::FileObjectOf(OpenFile* file) const { return &io::LiveFile(file)->file->file; }

}  // namespace winsim
