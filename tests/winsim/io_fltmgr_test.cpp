// The filter manager as a minifilter sees it: loading and unloading, instances on
// volumes, volume contexts, and communication ports with their clients.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "winsim/io/io.h"
#include "winsim/winsim.h"

using winsim::Machine;
using winsim::PortConnection;
using winsim::VolumeKind;

namespace {

const std::u16string kPortName = u"\\FakeFilterPort";
const NTSTATUS kDoNotDetach = (NTSTATUS)0xC01C0010L;  // STATUS_FLT_DO_NOT_DETACH

// ---------------------------------------------------------------- the fake minifilter
namespace fake {

struct Config {
    bool closeServerPort = true;
    bool closeClientOnDisconnect = true;
    bool unregister = true;
    NTSTATUS unloadStatus = STATUS_SUCCESS;
    NTSTATUS entryStatusAfterSetup = STATUS_SUCCESS;  // a late DriverEntry failure (cleans up)
    bool refuseCdRom = false;
    bool leakVolumeContextGet = false;
    LONG maxConnections = 10;
};

struct VolumeContext {
    ULONG magic;
    DEVICE_TYPE deviceType;
};

struct Setup {
    PFLT_VOLUME volume;
    FLT_INSTANCE_SETUP_FLAGS flags;
    DEVICE_TYPE deviceType;
    FLT_FILESYSTEM_TYPE fsType;
};

enum Op : uint32_t { kEcho, kWhoAmI, kBlock, kKickMe, kGetContext };
struct Request {
    uint32_t op;
    uint32_t value;
};

Config g_cfg;
PFLT_FILTER g_filter;
PFLT_PORT g_server;
PFLT_PORT g_clients[64];
std::atomic<int> g_nextSlot;
std::mutex g_mu;
std::vector<Setup> g_setups;
std::vector<PFLT_VOLUME> g_teardownStart, g_teardownComplete;
std::atomic<int> g_contextCleanups;
std::vector<HANDLE> g_connectPids, g_disconnectPids;
std::atomic<int> g_unloadCalls;
PFLT_PORT g_staleCopy;
// Rendezvous for a message that blocks.
std::mutex g_blockMu;
std::condition_variable g_blockCv;
bool g_blockEntered, g_release, g_unregisterReturned, g_overlap;
std::atomic<bool> g_unloadEntered;

void ContextCleanup(PFLT_CONTEXT context, FLT_CONTEXT_TYPE type) {
    EXPECT_EQ(type, FLT_VOLUME_CONTEXT);
    EXPECT_EQ(static_cast<VolumeContext*>(context)->magic, 0x564f4c43u);
    g_contextCleanups.fetch_add(1);
}

const FLT_CONTEXT_REGISTRATION kContexts[] = {
    {FLT_VOLUME_CONTEXT, 0, ContextCleanup, sizeof(VolumeContext), winsim::PoolTag("fkVc"), nullptr, nullptr, nullptr},
    {FLT_CONTEXT_END, 0, nullptr, 0, 0, nullptr, nullptr, nullptr}};

NTSTATUS InstanceSetup(PCFLT_RELATED_OBJECTS objects, FLT_INSTANCE_SETUP_FLAGS flags, DEVICE_TYPE deviceType,
                       FLT_FILESYSTEM_TYPE fsType) {
    {
        std::lock_guard<std::mutex> lock(g_mu);
        g_setups.push_back({objects->Volume, flags, deviceType, fsType});
    }
    EXPECT_EQ(objects->Filter, g_filter);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    if (g_cfg.refuseCdRom && fsType == FLT_FSTYPE_CDFS) return STATUS_FLT_DO_NOT_ATTACH;
    PFLT_CONTEXT context = nullptr;
    NTSTATUS status = FltAllocateContext(g_filter, FLT_VOLUME_CONTEXT, sizeof(VolumeContext), NonPagedPoolNx, &context);
    if (!NT_SUCCESS(status)) return STATUS_FLT_DO_NOT_ATTACH;
    auto* vc = static_cast<VolumeContext*>(context);
    vc->magic = 0x564f4c43u;
    vc->deviceType = deviceType;
    status = FltSetVolumeContext(objects->Volume, FLT_SET_CONTEXT_KEEP_IF_EXISTS, context, nullptr);
    FltReleaseContext(context);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_FLT_DO_NOT_ATTACH;
}

void TeardownStart(PCFLT_RELATED_OBJECTS objects, FLT_INSTANCE_TEARDOWN_FLAGS) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_teardownStart.push_back(objects->Volume);
}

void TeardownComplete(PCFLT_RELATED_OBJECTS objects, FLT_INSTANCE_TEARDOWN_FLAGS) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_teardownComplete.push_back(objects->Volume);
}

NTSTATUS Connect(PFLT_PORT client, PVOID serverCookie, PVOID context, ULONG size, PVOID* connectionCookie) {
    EXPECT_EQ(serverCookie, &g_cfg);
    if (context && size == 6 && std::memcmp(context, "refuse", 6) == 0) return STATUS_ACCESS_DENIED;
    int slot = g_nextSlot.fetch_add(1);
    if (slot >= 64) return STATUS_INSUFFICIENT_RESOURCES;
    g_clients[slot] = client;
    *connectionCookie = reinterpret_cast<PVOID>((uintptr_t)slot + 1);
    std::lock_guard<std::mutex> lock(g_mu);
    g_connectPids.push_back(PsGetCurrentProcessId());
    return STATUS_SUCCESS;
}

void Disconnect(PVOID connectionCookie) {
    int slot = (int)(uintptr_t)connectionCookie - 1;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        g_disconnectPids.push_back(PsGetCurrentProcessId());
    }
    if (g_cfg.closeClientOnDisconnect) FltCloseClientPort(g_filter, &g_clients[slot]);
}

NTSTATUS Message(PVOID cookie, PVOID input, ULONG inputLength, PVOID output, ULONG outputLength, PULONG returned) {
    *returned = 0;
    Request request;
    if (inputLength < sizeof request) return STATUS_INVALID_PARAMETER;
    KX_TRY {
        ProbeForRead(input, sizeof request, 1);
        std::memcpy(&request, input, sizeof request);
        if (outputLength) ProbeForWrite(output, outputLength, 1);
    }
    KX_EXCEPT { return KX_EXCEPTION_CODE(); }
    int slot = (int)(uintptr_t)cookie - 1;
    uint32_t answer = 0;
    switch (request.op) {
        case kEcho: answer = request.value + 1; break;
        case kWhoAmI: answer = (uint32_t)(uintptr_t)PsGetCurrentProcessId(); break;
        case kBlock: {
            std::unique_lock<std::mutex> lock(g_blockMu);
            g_blockEntered = true;
            g_blockCv.notify_all();
            g_blockCv.wait(lock, [] { return g_release; });
            if (g_unregisterReturned) g_overlap = true;
            break;
        }
        case kKickMe:
            g_staleCopy = g_clients[slot];
            FltCloseClientPort(g_filter, &g_clients[slot]);
            break;
        case kGetContext: {
            PFLT_CONTEXT context = nullptr;
            std::lock_guard<std::mutex> lock(g_mu);
            if (g_setups.empty()) return STATUS_NOT_FOUND;
            NTSTATUS status = FltGetVolumeContext(g_filter, g_setups[0].volume, &context);
            if (!NT_SUCCESS(status)) return status;
            answer = static_cast<VolumeContext*>(context)->deviceType;
            if (!g_cfg.leakVolumeContextGet) FltReleaseContext(context);
            break;
        }
        default: return STATUS_INVALID_PARAMETER;
    }
    if (outputLength < sizeof answer) return STATUS_SUCCESS;
    KX_TRY { std::memcpy(output, &answer, sizeof answer); }
    KX_EXCEPT { return KX_EXCEPTION_CODE(); }
    *returned = sizeof answer;
    return STATUS_SUCCESS;
}

NTSTATUS Unload(FLT_FILTER_UNLOAD_FLAGS) {
    g_unloadCalls.fetch_add(1);
    g_unloadEntered = true;
    if (!NT_SUCCESS(g_cfg.unloadStatus)) return g_cfg.unloadStatus;
    if (g_cfg.closeServerPort) FltCloseCommunicationPort(g_server);
    if (g_cfg.unregister) FltUnregisterFilter(g_filter);
    std::lock_guard<std::mutex> lock(g_blockMu);
    g_unregisterReturned = true;
    return STATUS_SUCCESS;
}

const FLT_REGISTRATION kRegistration = {
    sizeof(FLT_REGISTRATION), FLT_REGISTRATION_VERSION, 0, kContexts, nullptr, Unload, InstanceSetup, nullptr,
    TeardownStart, TeardownComplete, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(PsGetCurrentProcessId(), (HANDLE)4);
    NTSTATUS status = FltRegisterFilter(driver, &kRegistration, &g_filter);
    if (!NT_SUCCESS(status)) return status;
    PSECURITY_DESCRIPTOR sd = nullptr;
    status = FltBuildDefaultSecurityDescriptor(&sd, FLT_PORT_ALL_ACCESS);
    if (!NT_SUCCESS(status)) {
        FltUnregisterFilter(g_filter);
        return status;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(kPortName.c_str()));
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, sd);
    status = FltCreateCommunicationPort(g_filter, &g_server, &oa, &g_cfg, Connect, Disconnect, Message,
                                        g_cfg.maxConnections);
    FltFreeSecurityDescriptor(sd);
    if (!NT_SUCCESS(status)) {
        FltUnregisterFilter(g_filter);
        return status;
    }
    status = FltStartFiltering(g_filter);
    if (NT_SUCCESS(status)) status = g_cfg.entryStatusAfterSetup;
    if (!NT_SUCCESS(status)) {
        FltCloseCommunicationPort(g_server);
        FltUnregisterFilter(g_filter);
        return status;
    }
    return STATUS_SUCCESS;
}

void Reset() {
    g_cfg = Config{};
    g_filter = nullptr;
    g_server = nullptr;
    std::memset(g_clients, 0, sizeof g_clients);
    g_nextSlot = 0;
    g_setups.clear();
    g_teardownStart.clear();
    g_teardownComplete.clear();
    g_contextCleanups = 0;
    g_connectPids.clear();
    g_disconnectPids.clear();
    g_unloadCalls = 0;
    g_staleCopy = nullptr;
    g_blockEntered = g_release = g_unregisterReturned = g_overlap = false;
    g_unloadEntered = false;
}

}  // namespace fake

class IoFltTest : public ::testing::Test {
protected:
    void SetUp() override {
        machine_ = &Machine::Boot();
        fake::Reset();
        M().RegisterDriverImage(u"fake.sys", fake::Entry);
    }
    void TearDown() override { Machine::Shutdown(); }
    Machine& M() { return *machine_; }
    NTSTATUS Load() { return M().LoadDriver(u"fltfake", u"fake.sys"); }
    PEPROCESS Process(const char16_t* image, bool admin = true) {
        winsim::ProcessOptions o;
        o.imagePath = std::u16string(u"\\Device\\HarddiskVolume2\\") + image;
        o.administrator = admin;
        return M().StartProcess(o);
    }
    NTSTATUS Send(PortConnection* c, fake::Op op, uint32_t value, uint32_t* answer, uint32_t* returned = nullptr) {
        fake::Request r{op, value};
        uint32_t bytes = 0;
        NTSTATUS status = M().SendMessage(c, &r, sizeof r, answer, answer ? sizeof *answer : 0, &bytes);
        if (returned) *returned = bytes;
        return status;
    }
    void ExpectClean() { EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString(); }
    Machine* machine_ = nullptr;
};

// ---------------------------------------------------------------- loading, instances, contexts

TEST_F(IoFltTest, LoadAttachesToEveryVolumeWithItsTypes) {
    auto c = M().AddVolume({VolumeKind::LocalDisk, u"", u"", ""});
    auto usb = M().AddVolume({VolumeKind::UsbFlashDisk, u"", u"", ""});
    auto cd = M().AddVolume({VolumeKind::CdRom, u"", u"", ""});
    auto net = M().AddVolume({VolumeKind::Network, u"", u"", ""});
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_TRUE(M().IsDriverLoaded(u"fltfake"));
    PDRIVER_OBJECT driver = M().DriverObject(u"fltfake");
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(winsim::io::ToU16(&driver->DriverName), u"\\FileSystem\\fltfake");

    ASSERT_EQ(fake::g_setups.size(), 4u);
    for (auto& s : fake::g_setups) EXPECT_EQ(s.flags, (ULONG)FLTFL_INSTANCE_SETUP_AUTOMATIC_ATTACHMENT);
    EXPECT_EQ(fake::g_setups[0].deviceType, (ULONG)FILE_DEVICE_DISK_FILE_SYSTEM);
    EXPECT_EQ(fake::g_setups[0].fsType, FLT_FSTYPE_NTFS);
    EXPECT_EQ(fake::g_setups[1].deviceType, (ULONG)FILE_DEVICE_DISK_FILE_SYSTEM);
    EXPECT_EQ(fake::g_setups[1].fsType, FLT_FSTYPE_FAT);
    EXPECT_EQ(fake::g_setups[2].deviceType, (ULONG)FILE_DEVICE_CD_ROM_FILE_SYSTEM);
    EXPECT_EQ(fake::g_setups[2].fsType, FLT_FSTYPE_CDFS);
    EXPECT_EQ(fake::g_setups[3].deviceType, (ULONG)FILE_DEVICE_NETWORK_FILE_SYSTEM);
    EXPECT_EQ(fake::g_setups[3].fsType, FLT_FSTYPE_MUP);

    // A volume that arrives later is set up as newly mounted.
    M().AddVolume({VolumeKind::Floppy, u"", u"", ""});
    ASSERT_EQ(fake::g_setups.size(), 5u);
    EXPECT_EQ(fake::g_setups[4].flags, (ULONG)FLTFL_INSTANCE_SETUP_NEWLY_MOUNTED_VOLUME);
    EXPECT_EQ(fake::g_setups[4].fsType, FLT_FSTYPE_FAT);

    ASSERT_EQ(M().UnloadDriver(u"fltfake"), STATUS_SUCCESS);
    EXPECT_FALSE(M().IsDriverLoaded(u"fltfake"));
    EXPECT_EQ(M().DriverObject(u"fltfake"), nullptr);
    EXPECT_EQ(fake::g_unloadCalls.load(), 1);
    EXPECT_EQ(fake::g_teardownStart.size(), 5u);
    EXPECT_EQ(fake::g_teardownComplete.size(), 5u);
    EXPECT_EQ(fake::g_contextCleanups.load(), 5);
    EXPECT_EQ(M().PoolAllocations(winsim::PoolTag("fkVc")), 0u);
    ExpectClean();
    (void)c, (void)usb, (void)cd, (void)net;
}

TEST_F(IoFltTest, SetupFailureMeansNoInstance) {
    fake::g_cfg.refuseCdRom = true;
    M().AddVolume({VolumeKind::LocalDisk, u"", u"", ""});
    M().AddVolume({VolumeKind::CdRom, u"", u"", ""});
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(fake::g_setups.size(), 2u);
    ASSERT_EQ(M().UnloadDriver(u"fltfake"), STATUS_SUCCESS);
    ASSERT_EQ(fake::g_teardownStart.size(), 1u);
    EXPECT_EQ(fake::g_teardownStart[0], fake::g_setups[0].volume);
    EXPECT_EQ(fake::g_contextCleanups.load(), 1);
    ExpectClean();
}

TEST_F(IoFltTest, VolumeContextReferenceLeakIsAViolation) {
    M().AddVolume({VolumeKind::UsbHardDisk, u"", u"", ""});
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PortConnection* c = nullptr;
    ASSERT_EQ(M().ConnectPort(Process(u"a.exe"), kPortName, &c), STATUS_SUCCESS);
    uint32_t answer = 0;
    ASSERT_EQ(Send(c, fake::kGetContext, 0, &answer), STATUS_SUCCESS);
    EXPECT_EQ(answer, (uint32_t)FILE_DEVICE_DISK_FILE_SYSTEM);
    M().ClosePort(c);
    ASSERT_EQ(M().UnloadDriver(u"fltfake"), STATUS_SUCCESS);
    ExpectClean();

    fake::Reset();
    fake::g_cfg.leakVolumeContextGet = true;
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(M().ConnectPort(Process(u"a.exe"), kPortName, &c), STATUS_SUCCESS);
    ASSERT_EQ(Send(c, fake::kGetContext, 0, &answer), STATUS_SUCCESS);
    M().ClosePort(c);
    ASSERT_EQ(M().UnloadDriver(u"fltfake"), STATUS_SUCCESS);
    EXPECT_EQ(fake::g_contextCleanups.load(), 0);  // still referenced: not cleaned up
    auto report = M().Verifier();
    ASSERT_FALSE(report.Clean());
    EXPECT_NE(report.ToString().find("FltReleaseContext"), std::string::npos) << report.ToString();
}

TEST_F(IoFltTest, ContextApiRules) {
    M().AddVolume({VolumeKind::LocalDisk, u"", u"", ""});
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PFLT_VOLUME volume = fake::g_setups.at(0).volume;
    PFLT_CONTEXT context = nullptr;
    // Only registered types and sizes can be allocated.
    EXPECT_NE(FltAllocateContext(fake::g_filter, FLT_STREAM_CONTEXT, 8, NonPagedPoolNx, &context), STATUS_SUCCESS);
    EXPECT_NE(FltAllocateContext(fake::g_filter, FLT_VOLUME_CONTEXT, 3, NonPagedPoolNx, &context), STATUS_SUCCESS);
    ASSERT_EQ(FltAllocateContext(fake::g_filter, FLT_VOLUME_CONTEXT, sizeof(fake::VolumeContext), NonPagedPoolNx,
                                 &context),
              STATUS_SUCCESS);
    static_cast<fake::VolumeContext*>(context)->magic = 0x564f4c43u;
    PFLT_CONTEXT old = nullptr;
    EXPECT_EQ(FltSetVolumeContext(volume, FLT_SET_CONTEXT_KEEP_IF_EXISTS, context, &old),
              STATUS_FLT_CONTEXT_ALREADY_DEFINED);
    ASSERT_NE(old, nullptr);
    EXPECT_NE(old, context);
    FltReleaseContext(old);
    // Replacing hands the old one back referenced; releasing it frees it.
    ASSERT_EQ(FltSetVolumeContext(volume, FLT_SET_CONTEXT_REPLACE_IF_EXISTS, context, &old), STATUS_SUCCESS);
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(fake::g_contextCleanups.load(), 0);
    FltReleaseContext(old);
    EXPECT_EQ(fake::g_contextCleanups.load(), 1);
    FltReleaseContext(context);  // the volume keeps its own reference
    PFLT_CONTEXT got = nullptr;
    ASSERT_EQ(FltGetVolumeContext(fake::g_filter, volume, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, context);
    FltReleaseContext(got);
    ExpectClean();
    FltReleaseContext(old);  // already freed
    EXPECT_FALSE(M().Verifier().Clean());
    M().ClearVerifier();
    ASSERT_EQ(M().UnloadDriver(u"fltfake"), STATUS_SUCCESS);
    EXPECT_EQ(fake::g_contextCleanups.load(), 2);
    ExpectClean();
}

// ---------------------------------------------------------------- ports

TEST_F(IoFltTest, ConnectSendCloseWithTheClientProcessCurrent) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PEPROCESS client = Process(u"client.exe");
    PortConnection* c = nullptr;
    ASSERT_EQ(M().ConnectPort(client, u"\\fakefilterPORT", &c), STATUS_SUCCESS);  // names ignore case
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(M().PortConnectionCount(kPortName), 1u);
    ASSERT_EQ(fake::g_connectPids.size(), 1u);
    EXPECT_EQ(fake::g_connectPids[0], PsGetProcessId(client));

    uint32_t answer = 0, returned = 0;
    EXPECT_EQ(Send(c, fake::kEcho, 41, &answer, &returned), STATUS_SUCCESS);
    EXPECT_EQ(answer, 42u);
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(Send(c, fake::kWhoAmI, 0, &answer), STATUS_SUCCESS);
    EXPECT_EQ(answer, M().ProcessId(client));
    EXPECT_EQ(PsGetCurrentProcess(), M().SystemProcess());  // restored after the call

    // The caller's pointers reach the driver unchanged: its probe catches a bad one.
    fake::Request r{fake::kEcho, 1};
    void* bad = M().InvalidBuffer(64);
    EXPECT_EQ(M().SendMessage(c, &r, sizeof r, bad, 4, &returned), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(M().SendMessage(c, bad, sizeof r, &answer, 4, &returned), STATUS_ACCESS_VIOLATION);

    M().ClosePort(c);
    ASSERT_EQ(fake::g_disconnectPids.size(), 1u);
    EXPECT_EQ(fake::g_disconnectPids[0], PsGetProcessId(client));
    EXPECT_EQ(M().PortConnectionCount(kPortName), 0u);
    EXPECT_EQ(Send(c, fake::kEcho, 1, &answer), STATUS_INVALID_HANDLE);
    M().ClosePort(c);  // closing again does nothing
    EXPECT_EQ(fake::g_disconnectPids.size(), 1u);

    ASSERT_EQ(M().UnloadDriver(u"fltfake"), STATUS_SUCCESS);
    ExpectClean();
}

TEST_F(IoFltTest, ConnectionRefusals) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PortConnection* c = nullptr;
    EXPECT_EQ(M().ConnectPort(Process(u"user.exe", false), kPortName, &c), STATUS_ACCESS_DENIED);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(M().ConnectPort(Process(u"a.exe"), u"\\NoSuchPort", &c), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(M().ConnectPort(Process(u"a.exe"), kPortName, "refuse", 6, &c), STATUS_ACCESS_DENIED);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(M().PortConnectionCount(kPortName), 0u);
    EXPECT_TRUE(fake::g_connectPids.empty());
    ASSERT_EQ(M().UnloadDriver(u"fltfake"), STATUS_SUCCESS);
    EXPECT_EQ(M().ConnectPort(Process(u"a.exe"), kPortName, &c), STATUS_OBJECT_NAME_NOT_FOUND);
    ExpectClean();
}

TEST_F(IoFltTest, EleventhConnectionRefusedAndUnloadDisconnectsTheRest) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PEPROCESS client = Process(u"svc.exe");
    std::vector<PortConnection*> connections;
    for (int i = 0; i < 10; ++i) {
        PortConnection* c = nullptr;
        ASSERT_EQ(M().ConnectPort(client, kPortName, &c), STATUS_SUCCESS) << i;
        connections.push_back(c);
    }
    PortConnection* extra = nullptr;
    EXPECT_EQ(M().ConnectPort(client, kPortName, &extra), STATUS_CONNECTION_COUNT_LIMIT);
    EXPECT_EQ(M().PortConnectionCount(kPortName), 10u);
    M().ClosePort(connections.back());
    connections.pop_back();
    ASSERT_EQ(M().ConnectPort(client, kPortName, &extra), STATUS_SUCCESS);
    connections.push_back(extra);
    EXPECT_EQ(fake::g_disconnectPids.size(), 1u);

    ASSERT_EQ(M().UnloadDriver(u"fltfake"), STATUS_SUCCESS);
    EXPECT_EQ(fake::g_disconnectPids.size(), 11u);  // every client still connected
    uint32_t answer = 0;
    for (PortConnection* c : connections) {
        EXPECT_EQ(Send(c, fake::kEcho, 1, &answer), STATUS_PORT_DISCONNECTED);
        M().ClosePort(c);
    }
    EXPECT_EQ(fake::g_disconnectPids.size(), 11u);
    ExpectClean();
}

TEST_F(IoFltTest, DriverClosingTheClientPortDisconnectsTheClient) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PortConnection* c = nullptr;
    ASSERT_EQ(M().ConnectPort(Process(u"a.exe"), kPortName, &c), STATUS_SUCCESS);
    uint32_t answer = 0;
    EXPECT_EQ(Send(c, fake::kKickMe, 0, &answer), STATUS_SUCCESS);
    EXPECT_EQ(fake::g_clients[0], nullptr);  // FltCloseClientPort cleared it
    EXPECT_EQ(M().PortConnectionCount(kPortName), 0u);
    EXPECT_EQ(Send(c, fake::kEcho, 1, &answer), STATUS_PORT_DISCONNECTED);
    M().ClosePort(c);
    EXPECT_TRUE(fake::g_disconnectPids.empty());  // nothing left to disconnect
    ExpectClean();
    // Closing the same client port again through a stale copy is a driver bug.
    FltCloseClientPort(fake::g_filter, &fake::g_staleCopy);
    EXPECT_EQ(fake::g_staleCopy, nullptr);
    EXPECT_FALSE(M().Verifier().Clean());
    M().ClearVerifier();
    ASSERT_EQ(M().UnloadDriver(u"fltfake"), STATUS_SUCCESS);
    ExpectClean();
}

TEST_F(IoFltTest, PortNamesAreUnique) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    auto create = [&](const char16_t* text, PFLT_PORT* port) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(text));
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        return FltCreateCommunicationPort(fake::g_filter, port, &oa, nullptr, fake::Connect, fake::Disconnect,
                                          nullptr, 1);
    };
    PFLT_PORT port = nullptr;
    EXPECT_EQ(create(u"\\FAKEFILTERPORT", &port), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(port, nullptr);
    ASSERT_EQ(create(u"\\OtherPort", &port), STATUS_SUCCESS);
    FltCloseCommunicationPort(port);
    // After closing, the name is free again and connections to the old port fail.
    PortConnection* c = nullptr;
    EXPECT_EQ(M().ConnectPort(Process(u"a.exe"), u"\\OtherPort", &c), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(create(u"\\OtherPort", &port), STATUS_SUCCESS);
    FltCloseCommunicationPort(port);
    ASSERT_EQ(M().UnloadDriver(u"fltfake"), STATUS_SUCCESS);
    ExpectClean();
}

TEST_F(IoFltTest, ClosedServerPortKeepsExistingConnections) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PortConnection* c = nullptr;
    ASSERT_EQ(M().ConnectPort(Process(u"a.exe"), kPortName, &c), STATUS_SUCCESS);
    FltCloseCommunicationPort(fake::g_server);
    uint32_t answer = 0;
    EXPECT_EQ(Send(c, fake::kEcho, 5, &answer), STATUS_SUCCESS);
    EXPECT_EQ(answer, 6u);
    PortConnection* other = nullptr;
    EXPECT_EQ(M().ConnectPort(Process(u"b.exe"), kPortName, &other), STATUS_OBJECT_NAME_NOT_FOUND);
    M().ClosePort(c);
    fake::g_cfg.closeServerPort = false;  // already closed
    ASSERT_EQ(M().UnloadDriver(u"fltfake"), STATUS_SUCCESS);
    ExpectClean();
}

// ---------------------------------------------------------------- unload and its violations

TEST_F(IoFltTest, RefusedUnloadKeepsTheDriver) {
    fake::g_cfg.unloadStatus = kDoNotDetach;
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(M().UnloadDriver(u"fltfake"), kDoNotDetach);
    EXPECT_TRUE(M().IsDriverLoaded(u"fltfake"));
    PortConnection* c = nullptr;
    ASSERT_EQ(M().ConnectPort(Process(u"a.exe"), kPortName, &c), STATUS_SUCCESS);
    M().ClosePort(c);
    fake::g_cfg.unloadStatus = STATUS_SUCCESS;
    EXPECT_EQ(M().UnloadDriver(u"fltfake"), STATUS_SUCCESS);
    EXPECT_EQ(fake::g_unloadCalls.load(), 2);
    EXPECT_EQ(M().UnloadDriver(u"fltfake"), STATUS_OBJECT_NAME_NOT_FOUND);
    ExpectClean();
}

TEST_F(IoFltTest, ServerPortLeftOpenIsAViolation) {
    fake::g_cfg.closeServerPort = false;
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(M().UnloadDriver(u"fltfake"), STATUS_SUCCESS);
    auto report = M().Verifier();
    ASSERT_EQ(report.violations.size(), 1u) << report.ToString();
    EXPECT_NE(report.violations[0].find("FakeFilterPort"), std::string::npos) << report.violations[0];
}

TEST_F(IoFltTest, ClientPortNeverClosedIsAViolation) {
    fake::g_cfg.closeClientOnDisconnect = false;
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PortConnection* c = nullptr;
    ASSERT_EQ(M().ConnectPort(Process(u"a.exe"), kPortName, &c), STATUS_SUCCESS);
    M().ClosePort(c);
    ASSERT_EQ(M().UnloadDriver(u"fltfake"), STATUS_SUCCESS);
    auto report = M().Verifier();
    ASSERT_EQ(report.violations.size(), 1u) << report.ToString();
    EXPECT_NE(report.violations[0].find("FltCloseClientPort"), std::string::npos) << report.violations[0];
}

TEST_F(IoFltTest, FilterNeverUnregisteredIsAViolation) {
    fake::g_cfg.unregister = false;
    M().AddVolume({VolumeKind::LocalDisk, u"", u"", ""});
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(M().UnloadDriver(u"fltfake"), STATUS_SUCCESS);
    auto report = M().Verifier();
    EXPECT_NE(report.ToString().find("still registered"), std::string::npos) << report.ToString();
    // Whatever it left is gone from the machine: a new volume calls nothing.
    size_t setups = fake::g_setups.size();
    M().AddVolume({VolumeKind::LocalDisk, u"", u"", ""});
    EXPECT_EQ(fake::g_setups.size(), setups);
}

TEST_F(IoFltTest, FailedDriverEntryIsCheckedAtOnce) {
    fake::g_cfg.entryStatusAfterSetup = STATUS_UNSUCCESSFUL;
    M().AddVolume({VolumeKind::LocalDisk, u"", u"", ""});
    EXPECT_EQ(Load(), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(M().IsDriverLoaded(u"fltfake"));
    EXPECT_EQ(fake::g_contextCleanups.load(), 1);
    ExpectClean();
    // And the service can be loaded afterwards.
    fake::g_cfg.entryStatusAfterSetup = STATUS_SUCCESS;
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(Load(), (NTSTATUS)0xC000010E);  // STATUS_IMAGE_ALREADY_LOADED
    ASSERT_EQ(M().UnloadDriver(u"fltfake"), STATUS_SUCCESS);
    EXPECT_EQ(M().LoadDriver(u"other", u"missing.sys"), STATUS_OBJECT_NAME_NOT_FOUND);
    ExpectClean();
}

TEST_F(IoFltTest, EveryInjectedFailureLeavesNothingBehind) {
    unsigned failures = 0;
    for (unsigned n = 1; n < 50; ++n) {
        Machine& m = Machine::Boot();
        machine_ = &m;
        fake::Reset();
        m.RegisterDriverImage(u"fake.sys", fake::Entry);
        m.AddVolume({VolumeKind::LocalDisk, u"", u"", ""});
        m.AddVolume({VolumeKind::UsbFlashDisk, u"", u"", ""});
        m.FailNthCall(winsim::FaultClass::Any, n);
        NTSTATUS status = Load();
        const bool hit = m.InjectedFaultHit();
        if (NT_SUCCESS(status)) ASSERT_EQ(m.UnloadDriver(u"fltfake"), STATUS_SUCCESS);
        EXPECT_TRUE(m.Verifier().Clean()) << "failure " << n << ": " << m.Verifier().ToString();
        if (!hit) break;
        ++failures;
    }
    EXPECT_GE(failures, 6u);  // registration, descriptor, port, start, and the contexts
}

// ---------------------------------------------------------------- concurrency

TEST_F(IoFltTest, ConcurrentClientsAndMessages) {
    fake::g_cfg.maxConnections = 64;
    M().AddVolume({VolumeKind::LocalDisk, u"", u"", ""});
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            winsim::ProcessOptions o;
            o.imagePath = u"\\Device\\HarddiskVolume2\\worker.exe";
            PEPROCESS client = M().StartProcess(o);
            for (int round = 0; round < 3; ++round) {
                PortConnection* c = nullptr;
                if (M().ConnectPort(client, kPortName, &c) != STATUS_SUCCESS) {
                    failures++;
                    continue;
                }
                for (uint32_t i = 0; i < 100; ++i) {
                    uint32_t answer = 0;
                    if (Send(c, fake::kEcho, i + t, &answer) != STATUS_SUCCESS || answer != i + t + 1) failures++;
                    if (Send(c, fake::kWhoAmI, 0, &answer) != STATUS_SUCCESS || answer != M().ProcessId(client))
                        failures++;
                }
                uint32_t answer = 0;
                if (Send(c, fake::kGetContext, 0, &answer) != STATUS_SUCCESS) failures++;
                M().ClosePort(c);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(M().PortConnectionCount(kPortName), 0u);
    ASSERT_EQ(M().UnloadDriver(u"fltfake"), STATUS_SUCCESS);
    EXPECT_EQ(fake::g_disconnectPids.size(), 24u);
    ExpectClean();
}

TEST_F(IoFltTest, UnloadWaitsForAMessageInProgress) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PortConnection* c = nullptr;
    ASSERT_EQ(M().ConnectPort(Process(u"a.exe"), kPortName, &c), STATUS_SUCCESS);
    NTSTATUS sendStatus = STATUS_PENDING;
    std::thread sender([&] {
        uint32_t answer = 0;
        sendStatus = Send(c, fake::kBlock, 0, &answer);
    });
    {
        std::unique_lock<std::mutex> lock(fake::g_blockMu);
        fake::g_blockCv.wait(lock, [] { return fake::g_blockEntered; });
    }
    NTSTATUS unloadStatus = STATUS_PENDING;
    std::thread unloader([&] { unloadStatus = M().UnloadDriver(u"fltfake"); });
    while (!fake::g_unloadEntered) std::this_thread::yield();
    // Give the unload a chance to get as far as it would go without waiting.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        std::lock_guard<std::mutex> lock(fake::g_blockMu);
        fake::g_release = true;
    }
    fake::g_blockCv.notify_all();
    sender.join();
    unloader.join();
    EXPECT_EQ(sendStatus, STATUS_SUCCESS);
    EXPECT_EQ(unloadStatus, STATUS_SUCCESS);
    EXPECT_FALSE(fake::g_overlap) << "the filter unregistered while its message callback still ran";
    M().ClosePort(c);
    ExpectClean();
}

}  // namespace
