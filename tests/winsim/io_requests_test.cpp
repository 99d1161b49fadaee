// File requests of simulated processes through a filter's callbacks: what the
// callbacks see, that their decision is what the process gets, that the file
// system acts on the host only for requests passed on, and the I/O manager's own
// checks before any filter.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <fstream>
#include <sstream>

#include "winsim/io/fltmgr.h"
#include "winsim/winsim.h"

using winsim::CreateRequest;
using winsim::IoResult;
using winsim::Machine;
using winsim::OpenFile;
using winsim::RequestOptions;
using winsim::VolumeKind;
namespace fs = std::filesystem;

namespace {

// A minifilter whose callbacks do what the test tells them, and record what they saw.
namespace probe {

struct Seen {
    UCHAR major = 0;
    ULONG flags = 0;
    ULONG irpFlags = 0;
    KPROCESSOR_MODE mode = 0;
    KIRQL irql = 0;
    uint32_t pid = 0;
    NTSTATUS statusOnEntry = 0;
    PDEVICE_OBJECT device = nullptr;
    PFILE_OBJECT related = nullptr;
    PFILE_OBJECT target = nullptr;
    ULONG createOptions = 0;
    ACCESS_MASK desiredAccess = 0;
    USHORT shareAccess = 0;
    bool hasAccessState = false;
    std::string primarySource, clientSource;  // through SeQueryInformationToken
    std::u16string normalized, opened;
    ULONG length = 0;
    LONGLONG offset = 0;
    FILE_INFORMATION_CLASS infoClass{};
    BOOLEAN replace = 0;
};

struct Decision {
    FLT_PREOP_CALLBACK_STATUS status = FLT_PREOP_SUCCESS_NO_CALLBACK;
    NTSTATUS completeWith = STATUS_SUCCESS;
};

PFLT_FILTER g_filter;
std::map<UCHAR, Decision> g_decide;
std::vector<Seen> g_pre;
std::vector<std::pair<UCHAR, NTSTATUS>> g_post;  // major and the final status the post callback saw
bool g_queryNames = true;
bool g_leakName = false;
bool g_leakTokenSource = false;
bool g_leakContext = false;  // pre-create takes the volume context and keeps it
ULONG g_readFlags = 0;  // registration flags of the read and write operations

std::string Source(PACCESS_TOKEN token) {
    if (!token) return "";
    PVOID info = nullptr;
    if (!NT_SUCCESS(SeQueryInformationToken(token, TokenSource, &info))) return "?";
    std::string s(static_cast<PTOKEN_SOURCE>(info)->SourceName, TOKEN_SOURCE_LENGTH);
    if (!g_leakTokenSource) ExFreePool(info);
    return s;
}

FLT_PREOP_CALLBACK_STATUS Pre(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID* context) {
    Seen s;
    s.major = data->Iopb->MajorFunction;
    s.flags = data->Flags;
    s.irpFlags = data->Iopb->IrpFlags;
    s.mode = data->RequestorMode;
    s.irql = KeGetCurrentIrql();
    s.pid = (uint32_t)(uintptr_t)PsGetCurrentProcessId();
    s.statusOnEntry = data->IoStatus.Status;
    s.device = data->Iopb->TargetFileObject->DeviceObject;
    s.related = objects->FileObject;
    s.target = data->Iopb->TargetFileObject;
    EXPECT_EQ(data->Iopb->TargetInstance, objects->Instance);
    EXPECT_EQ(objects->Filter, g_filter);
    EXPECT_EQ(data->Thread, PsGetCurrentThread());
    switch (s.major) {
        case IRP_MJ_CREATE: {
            auto& c = data->Iopb->Parameters.Create;
            s.createOptions = c.Options;
            s.desiredAccess = c.SecurityContext->DesiredAccess;
            s.shareAccess = c.ShareAccess;
            s.hasAccessState = c.SecurityContext->AccessState != nullptr;
            if (s.hasAccessState && s.irql == PASSIVE_LEVEL) {
                auto& subject = c.SecurityContext->AccessState->SubjectSecurityContext;
                s.primarySource = Source(subject.PrimaryToken);
                s.clientSource = Source(subject.ClientToken);
                EXPECT_EQ(SeQuerySubjectContextToken(&subject),
                          subject.ClientToken ? subject.ClientToken : subject.PrimaryToken);
            }
            break;
        }
        case IRP_MJ_READ:
            s.length = data->Iopb->Parameters.Read.Length;
            s.offset = data->Iopb->Parameters.Read.ByteOffset.QuadPart;
            break;
        case IRP_MJ_WRITE:
            s.length = data->Iopb->Parameters.Write.Length;
            s.offset = data->Iopb->Parameters.Write.ByteOffset.QuadPart;
            break;
        case IRP_MJ_SET_INFORMATION:
            s.infoClass = data->Iopb->Parameters.SetFileInformation.FileInformationClass;
            s.replace = data->Iopb->Parameters.SetFileInformation.ReplaceIfExists;
            break;
    }
    if (g_queryNames && s.irql <= APC_LEVEL) {
        PFLT_FILE_NAME_INFORMATION name = nullptr;
        if (NT_SUCCESS(FltGetFileNameInformation(data, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, &name))) {
            s.normalized = winsim::io::ToU16(&name->Name);
            if (!g_leakName) FltReleaseFileNameInformation(name);
        }
        if (NT_SUCCESS(FltGetFileNameInformation(data, FLT_FILE_NAME_OPENED, &name))) {
            s.opened = winsim::io::ToU16(&name->Name);
            FltReleaseFileNameInformation(name);
        }
    }
    if (g_leakContext && s.major == IRP_MJ_CREATE) {
        PFLT_CONTEXT context = nullptr;
        EXPECT_EQ(FltGetVolumeContext(g_filter, objects->Volume, &context), STATUS_SUCCESS);
    }
    g_pre.push_back(s);
    Decision d = g_decide.count(s.major) ? g_decide[s.major] : Decision{};
    if (d.status == FLT_PREOP_COMPLETE) {
        data->IoStatus.Status = d.completeWith;
        data->IoStatus.Information = 0;
    }
    if (d.status == FLT_PREOP_SUCCESS_WITH_CALLBACK) *context = (PVOID)(uintptr_t)(0x1000 + s.major);
    return d.status;
}

FLT_POSTOP_CALLBACK_STATUS Post(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID context,
                                FLT_POST_OPERATION_FLAGS) {
    EXPECT_EQ(context, (PVOID)(uintptr_t)(0x1000 + data->Iopb->MajorFunction));
    g_post.emplace_back(data->Iopb->MajorFunction, data->IoStatus.Status);
    return FLT_POSTOP_FINISHED_PROCESSING;
}

FLT_OPERATION_REGISTRATION g_operations[] = {
    {IRP_MJ_CREATE, 0, Pre, Post, nullptr},        {IRP_MJ_READ, 0, Pre, Post, nullptr},
    {IRP_MJ_WRITE, 0, Pre, Post, nullptr},         {IRP_MJ_SET_INFORMATION, 0, Pre, Post, nullptr},
    {IRP_MJ_CLEANUP, 0, Pre, Post, nullptr},       {IRP_MJ_CLOSE, 0, Pre, nullptr, nullptr},
    {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr},
};

NTSTATUS Unload(FLT_FILTER_UNLOAD_FLAGS) {
    FltUnregisterFilter(g_filter);
    return STATUS_SUCCESS;
}

const FLT_CONTEXT_REGISTRATION g_contexts[] = {
    {FLT_VOLUME_CONTEXT, 0, nullptr, 16, winsim::PoolTag("Prbc"), nullptr, nullptr, nullptr},
    {FLT_CONTEXT_END, 0, nullptr, 0, 0, nullptr, nullptr, nullptr},
};

FLT_REGISTRATION g_registration = {sizeof(FLT_REGISTRATION), FLT_REGISTRATION_VERSION, 0, g_contexts, g_operations,
                                   Unload, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr};

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    g_operations[1].Flags = g_readFlags;
    g_operations[2].Flags = g_readFlags;
    NTSTATUS status = FltRegisterFilter(driver, &g_registration, &g_filter);
    if (!NT_SUCCESS(status)) return status;
    status = FltStartFiltering(g_filter);
    if (!NT_SUCCESS(status)) FltUnregisterFilter(g_filter);
    return status;
}

void Reset() {
    g_decide.clear();
    g_pre.clear();
    g_post.clear();
    g_queryNames = true;
    g_leakName = false;
    g_leakTokenSource = false;
    g_leakContext = false;
    g_readFlags = 0;
}

size_t Count(UCHAR major) {
    return (size_t)std::count_if(g_pre.begin(), g_pre.end(), [&](const Seen& s) { return s.major == major; });
}

}  // namespace probe

const std::u16string kVol = u"\\Device\\HarddiskVolume2";
constexpr NTSTATUS kReparse = 0x104;  // STATUS_REPARSE

class IoRequestsTest : public ::testing::Test {
protected:
    void SetUp() override {
        probe::Reset();
        machine_ = &Machine::Boot();
        c_ = M().AddVolume({VolumeKind::LocalDisk, u"", u"", ""});
        BeforeLoad();
        M().RegisterDriverImage(u"probe.sys", probe::Entry);
        ASSERT_EQ(M().LoadDriver(u"probe", u"probe.sys"), STATUS_SUCCESS);
        winsim::ProcessOptions o;
        o.imagePath = u"\\Device\\HarddiskVolume2\\Windows\\notepad.exe";
        app_ = M().StartProcess(o);
    }
    virtual void BeforeLoad() {}
    void TearDown() override {
        if (Machine::Running()) {
            if (M().IsDriverLoaded(u"probe")) EXPECT_EQ(M().UnloadDriver(u"probe"), STATUS_SUCCESS);
            EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
        }
        Machine::Shutdown();
    }
    Machine& M() { return *machine_; }
    std::string Host(const std::string& relative) { return c_.hostDir + "/" + relative; }
    void Put(const std::string& relative, const std::string& text) { std::ofstream(Host(relative)) << text; }
    std::string Get(const std::string& relative) {
        std::ifstream in(Host(relative));
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    OpenFile* Open(const std::u16string& leaf, ACCESS_MASK access, ULONG disposition = FILE_OPEN, ULONG options = 0) {
        CreateRequest r;
        r.path = kVol + u"\\" + leaf;
        r.desiredAccess = access;
        r.disposition = disposition;
        r.options = options;
        OpenFile* f = nullptr;
        IoResult result = M().CreateFile(app_, r, &f);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        return f;
    }
    void Complete(UCHAR major, NTSTATUS status) { probe::g_decide[major] = {FLT_PREOP_COMPLETE, status}; }
    void Pass(UCHAR major) { probe::g_decide[major] = {FLT_PREOP_SUCCESS_NO_CALLBACK, 0}; }

    Machine* machine_ = nullptr;
    winsim::VolumeInfo c_;
    PEPROCESS app_ = nullptr;
};

TEST_F(IoRequestsTest, CreateDecidedByTheCallbackAndCarriedOutOnlyWhenPassed) {
    CreateRequest r;
    r.path = kVol + u"\\new.txt";
    r.desiredAccess = GENERIC_READ | GENERIC_WRITE;
    r.disposition = FILE_CREATE;
    r.shareAccess = FILE_SHARE_READ;
    r.options = FILE_NON_DIRECTORY_FILE;
    OpenFile* f = nullptr;

    Complete(IRP_MJ_CREATE, STATUS_ACCESS_DENIED);
    IoResult denied = M().CreateFile(app_, r, &f);
    EXPECT_EQ(denied.status, STATUS_ACCESS_DENIED);
    EXPECT_FALSE(denied.reachedFileSystem);
    EXPECT_EQ(f, nullptr);
    EXPECT_FALSE(fs::exists(Host("new.txt")));
    ASSERT_EQ(probe::g_pre.size(), 1u);
    const probe::Seen& s = probe::g_pre[0];
    EXPECT_EQ(s.flags & FLTFL_CALLBACK_DATA_IRP_OPERATION, (ULONG)FLTFL_CALLBACK_DATA_IRP_OPERATION);
    EXPECT_EQ(s.mode, UserMode);
    EXPECT_EQ(s.irql, PASSIVE_LEVEL);
    EXPECT_EQ(s.pid, M().ProcessId(app_));
    EXPECT_EQ(s.createOptions >> 24, (ULONG)FILE_CREATE);
    EXPECT_EQ(s.createOptions & 0xffffff, (ULONG)FILE_NON_DIRECTORY_FILE);
    EXPECT_EQ(s.desiredAccess, (ACCESS_MASK)(FILE_GENERIC_READ | FILE_GENERIC_WRITE));  // generic rights mapped
    EXPECT_EQ(s.shareAccess, FILE_SHARE_READ);
    EXPECT_TRUE(s.hasAccessState);
    EXPECT_EQ(s.primarySource, "User32  ");
    EXPECT_EQ(s.clientSource, "");
    ASSERT_NE(s.device, nullptr);
    EXPECT_EQ(s.device->DeviceType, (DEVICE_TYPE)FILE_DEVICE_DISK);
    EXPECT_EQ(s.related, s.target);  // the related objects name the request's file object
    EXPECT_EQ(s.normalized, kVol + u"\\new.txt");
    EXPECT_TRUE(probe::g_post.empty());  // a completing filter's own post callback is not called

    probe::g_decide[IRP_MJ_CREATE] = {FLT_PREOP_SUCCESS_WITH_CALLBACK, 0};
    IoResult created = M().CreateFile(app_, r, &f);
    EXPECT_EQ(created.status, STATUS_SUCCESS);
    EXPECT_EQ(created.information, (ULONG_PTR)FILE_CREATED);
    EXPECT_TRUE(created.reachedFileSystem);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(fs::is_regular_file(Host("new.txt")));
    ASSERT_EQ(probe::g_post.size(), 1u);
    EXPECT_EQ(probe::g_post[0], std::make_pair((UCHAR)IRP_MJ_CREATE, STATUS_SUCCESS));
    EXPECT_EQ(M().FileObjectOf(f)->DeviceObject, probe::g_pre.back().device);
    EXPECT_EQ(M().CloseFile(f).status, STATUS_SUCCESS);

    // The file system's own answers reach the process (and the post callback).
    probe::g_post.clear();
    EXPECT_EQ(M().CreateFile(app_, r, &f).status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(probe::g_post.at(0).second, STATUS_OBJECT_NAME_COLLISION);
    r.path = kVol + u"\\missing.txt";
    r.disposition = FILE_OPEN;
    EXPECT_EQ(M().CreateFile(app_, r, &f).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(f, nullptr);
}

TEST_F(IoRequestsTest, OverwriteDispositionsTruncateWhateverAccessWasAsked) {
    for (ULONG disposition : {FILE_SUPERSEDE, FILE_OVERWRITE, FILE_OVERWRITE_IF}) {
        Put("data.txt", "content");
        OpenFile* f = Open(u"data.txt", FILE_READ_ATTRIBUTES | SYNCHRONIZE, disposition);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(fs::file_size(Host("data.txt")), 0u) << disposition;
        M().CloseFile(f);
    }
    // Refused by the filter, the same request leaves the file as it was.
    Put("data.txt", "content");
    Complete(IRP_MJ_CREATE, STATUS_ACCESS_DENIED);
    CreateRequest r;
    r.path = kVol + u"\\data.txt";
    r.desiredAccess = FILE_READ_ATTRIBUTES;
    r.disposition = FILE_OVERWRITE_IF;
    OpenFile* f = nullptr;
    EXPECT_EQ(M().CreateFile(app_, r, &f).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(Get("data.txt"), "content");
}

TEST_F(IoRequestsTest, IoManagerChecksComeBeforeAnyFilter) {
    CreateRequest r;
    r.path = kVol + u"\\x.txt";
    r.disposition = FILE_OPEN_IF;
    r.options = FILE_DELETE_ON_CLOSE;  // without DELETE access
    OpenFile* f = nullptr;
    EXPECT_EQ(M().CreateFile(app_, r, &f).status, STATUS_INVALID_PARAMETER);
    r.options = 0;
    r.disposition = 9;
    EXPECT_EQ(M().CreateFile(app_, r, &f).status, STATUS_INVALID_PARAMETER);
    r.disposition = FILE_OPEN_IF;
    r.path = u"\\Device\\HarddiskVolume7\\x.txt";
    EXPECT_EQ(M().CreateFile(app_, r, &f).status, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_TRUE(probe::g_pre.empty());

    // A read-only handle: writes, renames and deletes never reach the filter.
    Put("ro.txt", "abc");
    f = Open(u"ro.txt", FILE_GENERIC_READ);
    ASSERT_NE(f, nullptr);
    probe::g_pre.clear();
    EXPECT_EQ(M().WriteFile(f, 0, "zz").status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(M().RenameFile(f, u"other.txt", false).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(M().RenameFile(f, u"other.txt", false, FileRenameInformationEx).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(M().DeleteFile(f).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(M().DeleteFile(f, true, FileDispositionInformationEx).status, STATUS_ACCESS_DENIED);
    EXPECT_TRUE(probe::g_pre.empty());
    EXPECT_EQ(Get("ro.txt"), "abc");
    // A kernel-mode request is not held to the handle's access.
    RequestOptions kernel;
    kernel.kernelMode = true;
    EXPECT_EQ(M().WriteFile(f, 0, "zz", kernel).status, STATUS_SUCCESS);
    ASSERT_EQ(probe::g_pre.size(), 1u);
    EXPECT_EQ(probe::g_pre[0].mode, KernelMode);
    EXPECT_EQ(Get("ro.txt"), "zzc");
    // A write-only handle cannot read.
    OpenFile* w = Open(u"ro.txt", FILE_WRITE_DATA);
    std::string data;
    EXPECT_EQ(M().ReadFile(w, 0, 3, &data).status, STATUS_ACCESS_DENIED);
    M().CloseFile(w);
    M().CloseFile(f);
}

TEST_F(IoRequestsTest, ReadIrpAndFastIo) {
    Put("r.txt", "0123456789");
    OpenFile* f = Open(u"r.txt", FILE_GENERIC_READ);
    ASSERT_NE(f, nullptr);
    probe::g_pre.clear();
    std::string data;
    IoResult r = M().ReadFile(f, 2, 4, &data);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(data, "2345");
    ASSERT_EQ(probe::g_pre.size(), 1u);
    EXPECT_EQ(probe::g_pre[0].flags, (ULONG)FLTFL_CALLBACK_DATA_IRP_OPERATION);
    EXPECT_EQ(probe::g_pre[0].length, 4u);
    EXPECT_EQ(probe::g_pre[0].offset, 2);
    EXPECT_EQ(M().ReadFile(f, 10, 4, &data).status, (NTSTATUS)0xC0000011L);  // end of file

    Complete(IRP_MJ_READ, STATUS_ACCESS_DENIED);
    probe::g_pre.clear();
    RequestOptions fast;
    fast.fastIo = true;
    r = M().ReadFile(f, 0, 4, &data, fast);
    EXPECT_EQ(r.status, STATUS_ACCESS_DENIED);
    EXPECT_TRUE(data.empty());
    ASSERT_EQ(probe::g_pre.size(), 1u);
    EXPECT_EQ(probe::g_pre[0].flags, (ULONG)FLTFL_CALLBACK_DATA_FAST_IO_OPERATION);

    // A filter that disallows the fast path sees the request again as an IRP.
    probe::g_decide[IRP_MJ_READ] = {FLT_PREOP_DISALLOW_FASTIO, 0};
    probe::g_pre.clear();
    r = M().ReadFile(f, 0, 3, &data, fast);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(data, "012");
    ASSERT_EQ(probe::g_pre.size(), 2u);
    EXPECT_EQ(probe::g_pre[0].flags, (ULONG)FLTFL_CALLBACK_DATA_FAST_IO_OPERATION);
    EXPECT_EQ(probe::g_pre[1].flags, (ULONG)FLTFL_CALLBACK_DATA_IRP_OPERATION);
    M().CloseFile(f);
}

TEST_F(IoRequestsTest, WriteDecidedByTheCallback) {
    Put("w.txt", "aaaa");
    OpenFile* f = Open(u"w.txt", FILE_GENERIC_READ | FILE_GENERIC_WRITE);
    ASSERT_NE(f, nullptr);
    Complete(IRP_MJ_WRITE, STATUS_ACCESS_DENIED);
    IoResult r = M().WriteFile(f, 1, "bb");
    EXPECT_EQ(r.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(Get("w.txt"), "aaaa");

    probe::g_decide[IRP_MJ_WRITE] = {FLT_PREOP_SUCCESS_WITH_CALLBACK, 0};
    probe::g_post.clear();
    r = M().WriteFile(f, 1, "bb");
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 2u);
    EXPECT_EQ(Get("w.txt"), "abba");
    EXPECT_EQ(probe::g_post.at(0), std::make_pair((UCHAR)IRP_MJ_WRITE, STATUS_SUCCESS));
    M().CloseFile(f);
}

TEST_F(IoRequestsTest, PagingWritesComeFromTheSystemInKernelMode) {
    Put("p.txt", "....");
    OpenFile* f = Open(u"p.txt", FILE_GENERIC_READ);  // no write access: paging I/O does not go through the handle
    ASSERT_NE(f, nullptr);
    probe::g_pre.clear();
    RequestOptions paging;
    paging.pagingIo = true;
    EXPECT_EQ(M().WriteFile(f, 0, "PP", paging).status, STATUS_SUCCESS);
    ASSERT_EQ(probe::g_pre.size(), 1u);
    EXPECT_NE(probe::g_pre[0].irpFlags & IRP_PAGING_IO, 0u);
    EXPECT_EQ(probe::g_pre[0].mode, KernelMode);
    EXPECT_EQ(probe::g_pre[0].pid, 4u);
    EXPECT_EQ(Get("p.txt"), "PP..");
    M().CloseFile(f);
}

class IoRequestsSkipPagingTest : public IoRequestsTest {
    void BeforeLoad() override { probe::g_readFlags = FLTFL_OPERATION_REGISTRATION_SKIP_PAGING_IO; }
};

TEST_F(IoRequestsSkipPagingTest, FilterThatSkipsPagingIoDoesNotSeeIt) {
    Put("p.txt", "....");
    OpenFile* f = Open(u"p.txt", FILE_GENERIC_READ | FILE_GENERIC_WRITE);
    Complete(IRP_MJ_WRITE, STATUS_ACCESS_DENIED);
    RequestOptions paging;
    paging.pagingIo = true;
    probe::g_pre.clear();
    EXPECT_EQ(M().WriteFile(f, 0, "PP", paging).status, STATUS_SUCCESS);
    EXPECT_TRUE(probe::g_pre.empty());
    EXPECT_EQ(Get("p.txt"), "PP..");
    EXPECT_EQ(M().WriteFile(f, 2, "CC").status, STATUS_ACCESS_DENIED);  // a cached write still arrives
    EXPECT_EQ(Get("p.txt"), "PP..");
    M().CloseFile(f);
}

TEST_F(IoRequestsTest, RenameBothClassesOnlyWhenPassed) {
    for (FILE_INFORMATION_CLASS cls : {FileRenameInformation, FileRenameInformationEx}) {
        fs::remove(Host("a.txt"));
        fs::remove(Host("b.txt"));
        Put("a.txt", "x");
        OpenFile* f = Open(u"a.txt", DELETE | FILE_GENERIC_READ);
        ASSERT_NE(f, nullptr);
        Complete(IRP_MJ_SET_INFORMATION, STATUS_ACCESS_DENIED);
        probe::g_pre.clear();
        EXPECT_EQ(M().RenameFile(f, kVol + u"\\b.txt", true, cls).status, STATUS_ACCESS_DENIED);
        EXPECT_TRUE(fs::exists(Host("a.txt")));
        EXPECT_FALSE(fs::exists(Host("b.txt")));
        ASSERT_EQ(probe::g_pre.size(), 1u);
        EXPECT_EQ(probe::g_pre[0].infoClass, cls);
        EXPECT_EQ(probe::g_pre[0].replace, 1);

        Pass(IRP_MJ_SET_INFORMATION);
        Put("b.txt", "old");
        EXPECT_EQ(M().RenameFile(f, kVol + u"\\b.txt", false, cls).status, STATUS_OBJECT_NAME_COLLISION);
        EXPECT_EQ(M().RenameFile(f, kVol + u"\\b.txt", true, cls).status, STATUS_SUCCESS);
        EXPECT_FALSE(fs::exists(Host("a.txt")));
        EXPECT_EQ(Get("b.txt"), "x");
        // The normalized name follows the rename; the opened name does not.
        probe::g_pre.clear();
        std::string data;
        M().ReadFile(f, 0, 1, &data);
        EXPECT_EQ(probe::g_pre.at(0).normalized, kVol + u"\\b.txt");
        EXPECT_EQ(probe::g_pre.at(0).opened, kVol + u"\\a.txt");
        EXPECT_EQ(M().RenameFile(f, u"c.txt", false, cls).status, STATUS_SUCCESS);  // within its directory
        EXPECT_TRUE(fs::exists(Host("c.txt")));
        fs::remove(Host("c.txt"));
        M().CloseFile(f);
    }
}

TEST_F(IoRequestsTest, DeleteBothClassesHappensAtCleanupOnlyWhenPassed) {
    for (FILE_INFORMATION_CLASS cls : {FileDispositionInformation, FileDispositionInformationEx}) {
        Put("d.txt", "x");
        OpenFile* f = Open(u"d.txt", DELETE);
        ASSERT_NE(f, nullptr);
        Complete(IRP_MJ_SET_INFORMATION, STATUS_ACCESS_DENIED);
        EXPECT_EQ(M().DeleteFile(f, true, cls).status, STATUS_ACCESS_DENIED);
        EXPECT_EQ(M().CloseFile(f).status, STATUS_SUCCESS);
        EXPECT_TRUE(fs::exists(Host("d.txt"))) << cls;

        Pass(IRP_MJ_SET_INFORMATION);
        f = Open(u"d.txt", DELETE);
        EXPECT_EQ(M().DeleteFile(f, true, cls).status, STATUS_SUCCESS);
        EXPECT_TRUE(M().FileObjectOf(f)->DeletePending);
        EXPECT_TRUE(fs::exists(Host("d.txt")));  // still there until the handle goes
        EXPECT_EQ(M().CleanupFile(f).status, STATUS_SUCCESS);
        EXPECT_FALSE(fs::exists(Host("d.txt"))) << cls;
        EXPECT_EQ(M().CloseFile(f).status, STATUS_SUCCESS);
    }
    // A non-empty directory cannot be deleted.
    fs::create_directory(Host("dir"));
    Put("dir/in.txt", "x");
    CreateRequest r;
    r.path = kVol + u"\\dir";
    r.desiredAccess = DELETE;
    r.options = FILE_DIRECTORY_FILE;
    OpenFile* d = nullptr;
    ASSERT_EQ(M().CreateFile(app_, r, &d).status, STATUS_SUCCESS);
    EXPECT_EQ(M().DeleteFile(d).status, (NTSTATUS)0xC0000101L);
    M().CloseFile(d);
    EXPECT_TRUE(fs::exists(Host("dir/in.txt")));
}

TEST_F(IoRequestsTest, CleanupAndCloseReachTheCallbacksAndDeleteOnClose) {
    OpenFile* f = Open(u"t.txt", DELETE | FILE_GENERIC_WRITE, FILE_CREATE, FILE_DELETE_ON_CLOSE);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(fs::exists(Host("t.txt")));
    probe::g_decide[IRP_MJ_CLEANUP] = {FLT_PREOP_SUCCESS_WITH_CALLBACK, 0};
    probe::g_pre.clear();
    probe::g_post.clear();
    EXPECT_EQ(M().CloseFile(f).status, STATUS_SUCCESS);
    EXPECT_FALSE(fs::exists(Host("t.txt")));
    ASSERT_EQ(probe::g_pre.size(), 2u);
    EXPECT_EQ(probe::g_pre[0].major, IRP_MJ_CLEANUP);
    EXPECT_EQ(probe::g_pre[1].major, IRP_MJ_CLOSE);
    EXPECT_EQ(probe::g_post.size(), 1u);  // close registered no post callback

    // A filter that completes the cleanup keeps the file system from deleting.
    f = Open(u"t2.txt", DELETE | FILE_GENERIC_WRITE, FILE_CREATE, FILE_DELETE_ON_CLOSE);
    Complete(IRP_MJ_CLEANUP, STATUS_SUCCESS);
    EXPECT_EQ(M().CleanupFile(f).status, STATUS_SUCCESS);
    EXPECT_EQ(M().CloseFile(f).status, STATUS_SUCCESS);
    EXPECT_TRUE(fs::exists(Host("t2.txt")));

    // Failing a cleanup is a filter bug the verifier reports.
    f = Open(u"t2.txt", FILE_GENERIC_READ);
    Complete(IRP_MJ_CLEANUP, STATUS_ACCESS_DENIED);
    M().CleanupFile(f);
    M().CloseFile(f);
    auto report = M().Verifier();
    ASSERT_EQ(report.violations.size(), 1u) << report.ToString();
    EXPECT_NE(report.violations[0].find("must never fail"), std::string::npos);
    M().ClearVerifier();
}

TEST_F(IoRequestsTest, ControlsIrqlPresetStatusAndKernelMode) {
    Put("c.txt", "abc");
    CreateRequest r;
    r.path = kVol + u"\\c.txt";
    OpenFile* f = nullptr;
    RequestOptions o;
    o.kernelMode = true;
    o.presetIoStatus = true;
    o.presetStatus = kReparse;
    ASSERT_EQ(M().CreateFile(app_, r, &f, o).status, STATUS_SUCCESS);
    EXPECT_EQ(probe::g_pre.at(0).mode, KernelMode);
    EXPECT_EQ(probe::g_pre.at(0).statusOnEntry, kReparse);
    RequestOptions apc;
    apc.irql = APC_LEVEL;
    probe::g_pre.clear();
    std::string data;
    EXPECT_EQ(M().ReadFile(f, 0, 3, &data, apc).status, STATUS_SUCCESS);
    EXPECT_EQ(probe::g_pre.at(0).irql, APC_LEVEL);
    EXPECT_EQ(probe::g_pre.at(0).normalized, kVol + u"\\c.txt");  // name queries are allowed at APC_LEVEL
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    M().CloseFile(f);
}

TEST_F(IoRequestsTest, OperationsNotRegisteredReachNoCallback) {
    // A second filter registered only for creates: it never sees reads.
    static std::vector<UCHAR> seen;
    seen.clear();
    static PFLT_FILTER other;
    static const FLT_OPERATION_REGISTRATION ops[] = {
        {IRP_MJ_CREATE, 0,
         [](PFLT_CALLBACK_DATA d, PCFLT_RELATED_OBJECTS, PVOID*) {
             seen.push_back(d->Iopb->MajorFunction);
             return FLT_PREOP_SUCCESS_NO_CALLBACK;
         },
         nullptr, nullptr},
        {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr}};
    static const FLT_REGISTRATION reg = {sizeof(FLT_REGISTRATION), FLT_REGISTRATION_VERSION, 0, nullptr, ops,
                                         [](FLT_FILTER_UNLOAD_FLAGS) {
                                             FltUnregisterFilter(other);
                                             return STATUS_SUCCESS;
                                         },
                                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                         nullptr, nullptr};
    M().RegisterDriverImage(u"other.sys", [](PDRIVER_OBJECT d, PUNICODE_STRING) {
        NTSTATUS st = FltRegisterFilter(d, &reg, &other);
        return NT_SUCCESS(st) ? FltStartFiltering(other) : st;
    });
    ASSERT_EQ(M().LoadDriver(u"other", u"other.sys"), STATUS_SUCCESS);
    Put("o.txt", "x");
    OpenFile* f = Open(u"o.txt", FILE_GENERIC_READ);
    std::string data;
    M().ReadFile(f, 0, 1, &data);
    M().CloseFile(f);
    EXPECT_EQ(seen, std::vector<UCHAR>{IRP_MJ_CREATE});
    EXPECT_EQ(probe::Count(IRP_MJ_READ), 1u);
    EXPECT_EQ(M().UnloadDriver(u"other"), STATUS_SUCCESS);
}

TEST_F(IoRequestsTest, TokensWithSourcesAndClientImpersonation) {
    winsim::ProcessOptions o;
    o.imagePath = u"\\Device\\HarddiskVolume2\\Windows\\System32\\svchost.exe";
    o.tokenSource = "NtLmSsp ";
    PEPROCESS server = M().StartProcess(o);
    CreateRequest r;
    r.path = kVol + u"\\s.txt";
    r.disposition = FILE_OPEN_IF;
    OpenFile* f = nullptr;
    const unsigned before = M().TokenQueries();
    ASSERT_EQ(M().CreateFile(server, r, &f).status, STATUS_SUCCESS);
    EXPECT_EQ(probe::g_pre.back().primarySource, "NtLmSsp ");
    EXPECT_EQ(probe::g_pre.back().clientSource, "");
    M().CloseFile(f);
    r.clientTokenSource = "KSecDD  ";
    ASSERT_EQ(M().CreateFile(app_, r, &f).status, STATUS_SUCCESS);
    EXPECT_EQ(probe::g_pre.back().primarySource, "User32  ");
    EXPECT_EQ(probe::g_pre.back().clientSource, "KSecDD  ");
    M().CloseFile(f);
    EXPECT_EQ(M().TokenQueries() - before, 3u);
    r.accessState = false;
    ASSERT_EQ(M().CreateFile(app_, r, &f).status, STATUS_SUCCESS);
    EXPECT_FALSE(probe::g_pre.back().hasAccessState);
    M().CloseFile(f);
}

TEST_F(IoRequestsTest, TokenSourceNeverFreedIsALeakAtUnload) {
    probe::g_leakTokenSource = true;
    CreateRequest r;
    r.path = kVol + u"\\s.txt";
    r.disposition = FILE_OPEN_IF;
    OpenFile* f = nullptr;
    ASSERT_EQ(M().CreateFile(app_, r, &f).status, STATUS_SUCCESS);
    M().CloseFile(f);
    ASSERT_EQ(M().UnloadDriver(u"probe"), STATUS_SUCCESS);
    auto report = M().Verifier();
    EXPECT_NE(report.ToString().find("pool leak at unload of probe: tag 'SeTi'"), std::string::npos)
        << report.ToString();
    M().ClearVerifier();
}

TEST_F(IoRequestsTest, NameInformationNeverReleasedIsReportedAtUnload) {
    probe::g_leakName = true;
    Put("n.txt", "x");
    OpenFile* f = Open(u"n.txt", FILE_GENERIC_READ);
    M().CloseFile(f);
    ASSERT_EQ(M().UnloadDriver(u"probe"), STATUS_SUCCESS);
    auto report = M().Verifier();
    EXPECT_NE(report.ToString().find("FltReleaseFileNameInformation missing"), std::string::npos)
        << report.ToString();
    M().ClearVerifier();
}

TEST_F(IoRequestsTest, VolumeContextNeverReleasedIsReportedAtUnload) {
    FLT_RELATED_OBJECTS objects{};
    ASSERT_TRUE(M().RelatedObjects(u"probe", kVol, &objects));
    PFLT_CONTEXT context = nullptr;
    ASSERT_EQ(FltAllocateContext(probe::g_filter, FLT_VOLUME_CONTEXT, 16, NonPagedPool, &context), STATUS_SUCCESS);
    ASSERT_EQ(FltSetVolumeContext(objects.Volume, FLT_SET_CONTEXT_KEEP_IF_EXISTS, context, nullptr), STATUS_SUCCESS);
    FltReleaseContext(context);
    probe::g_leakContext = true;
    Put("v.txt", "x");
    OpenFile* f = Open(u"v.txt", FILE_GENERIC_READ);
    M().CloseFile(f);
    ASSERT_EQ(M().UnloadDriver(u"probe"), STATUS_SUCCESS);
    auto report = M().Verifier();
    EXPECT_NE(report.ToString().find("FltReleaseContext missing"), std::string::npos) << report.ToString();
    M().ClearVerifier();
}

TEST_F(IoRequestsTest, NamesInTheirWindowsForms) {
    auto cd = M().AddVolume({VolumeKind::CdRom, u"", u"", ""});
    auto mup = M().AddVolume({VolumeKind::Network, u"", u"", ""});
    auto mapped = M().AddVolume({VolumeKind::Network, u"\\Device\\LanmanRedirector", u"Z:", ""});
    fs::create_directories(cd.hostDir + "/dir");
    std::ofstream(cd.hostDir + "/dir/disc.txt") << "x";
    fs::create_directories(mup.hostDir + "/server/share");
    fs::create_directories(mapped.hostDir + "/server/share/docs");
    struct Case {
        std::u16string path;
        std::u16string share;
        DEVICE_TYPE device;
    } cases[] = {
        {u"\\Device\\CdRom0\\dir\\disc.txt", u"", FILE_DEVICE_CD_ROM},
        {u"\\Device\\Mup\\server\\share\\unc.txt", u"\\server\\share", FILE_DEVICE_NETWORK_FILE_SYSTEM},
        {u"\\Device\\LanmanRedirector\\;Z:0000000000012345\\server\\share\\docs\\mapped.txt",
         u"\\;Z:0000000000012345\\server\\share", FILE_DEVICE_NETWORK_FILE_SYSTEM},
    };
    probe::g_queryNames = false;
    for (const Case& c : cases) {
        CreateRequest r;
        r.path = c.path;
        r.disposition = c.device == FILE_DEVICE_CD_ROM ? FILE_OPEN : FILE_OPEN_IF;
        OpenFile* f = nullptr;
        ASSERT_EQ(M().CreateFile(app_, r, &f).status, STATUS_SUCCESS) << winsim::detail::ToUtf8(c.path);
        PFILE_OBJECT fo = M().FileObjectOf(f);
        EXPECT_EQ(fo->DeviceObject->DeviceType, c.device);
        FLT_RELATED_OBJECTS objects{};
        ASSERT_TRUE(M().RelatedObjects(u"probe", c.path.substr(0, c.path.find(u'\\', 8)), &objects));
        FLT_IO_PARAMETER_BLOCK iopb{};
        iopb.TargetFileObject = fo;
        iopb.TargetInstance = objects.Instance;
        FLT_CALLBACK_DATA data{.Iopb = &iopb};
        PFLT_FILE_NAME_INFORMATION info = nullptr;
        ASSERT_EQ(FltGetFileNameInformation(&data, FLT_FILE_NAME_NORMALIZED, &info), STATUS_SUCCESS);
        EXPECT_EQ(winsim::io::ToU16(&info->Name), c.path);
        ASSERT_EQ(FltParseFileNameInformation(info), STATUS_SUCCESS);
        EXPECT_EQ(winsim::io::ToU16(&info->Share), c.share);
        FltReleaseFileNameInformation(info);
        M().CloseFile(f);
    }
    EXPECT_TRUE(fs::exists(mapped.hostDir + "/server/share/docs/mapped.txt"));
    EXPECT_TRUE(fs::exists(mup.hostDir + "/server/share/unc.txt"));
}

TEST(IoRequestsProcessTest, ShortImageNameMayDifferFromTheImagePath) {
    Machine& m = Machine::Boot();
    winsim::ProcessOptions o;
    o.imagePath = u"\\Device\\HarddiskVolume2\\Program Files\\Search\\SearchIndexer.exe";
    PEPROCESS cut = m.StartProcess(o);
    o.shortImageName = u"";
    PEPROCESS empty = m.StartProcess(o);
    o.shortImageName = u"AVeryLongImageNameIndeed.exe";
    PEPROCESS explicitName = m.StartProcess(o);
    auto shortName = [](PEPROCESS p) {
        return std::string(reinterpret_cast<const char*>(p) + Machine::kProcessNameOffset);
    };
    EXPECT_EQ(shortName(cut), "SearchIndexer.e");
    EXPECT_EQ(shortName(empty), "");
    EXPECT_EQ(shortName(explicitName), "AVeryLongImageN");
    Machine::Shutdown();
}

}  // namespace
