// fltlib over the machine's ports: loading it, the HRESULTs of connect and send,
// the returned length, receives that end when the handle is closed, messages
// posted from the server side, and a host exit that closes the port.
#include <atomic>
#include <cstring>

#include "common/kx4grd_common.h"
#include "tests/winsim/um_fixture.h"

using umtest::UmTest;

namespace {

const std::u16string kPortName = u"\\UmFltlibTest";

// A filter whose message callback answers with the status and length the
// message asks for: input = { NTSTATUS status; ULONG returned; }.
namespace echo {

PFLT_FILTER g_filter;
PFLT_PORT g_server;
PFLT_PORT g_client;
std::atomic<int> g_disconnects;

NTSTATUS Connect(PFLT_PORT client, PVOID, PVOID, ULONG, PVOID* cookie) {
    g_client = client;
    *cookie = nullptr;
    return STATUS_SUCCESS;
}

void Disconnect(PVOID) {
    g_disconnects++;
    FltCloseClientPort(g_filter, &g_client);
}

NTSTATUS Message(PVOID, PVOID input, ULONG length, PVOID output, ULONG outputLength, PULONG returned) {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG count = 0;
    if (length >= 8) {
        std::memcpy(&status, input, 4);
        std::memcpy(&count, static_cast<char*>(input) + 4, 4);
    }
    if (output && outputLength) std::memset(output, 0xAB, outputLength < count ? outputLength : count);
    *returned = count;
    return status;
}

NTSTATUS Unload(FLT_FILTER_UNLOAD_FLAGS) {
    FltCloseCommunicationPort(g_server);
    FltUnregisterFilter(g_filter);
    return STATUS_SUCCESS;
}

const FLT_REGISTRATION kRegistration = {sizeof(FLT_REGISTRATION), FLT_REGISTRATION_VERSION, 0, nullptr, nullptr,
                                        Unload, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                        nullptr, nullptr, nullptr};

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    NTSTATUS status = FltRegisterFilter(driver, &kRegistration, &g_filter);
    if (!NT_SUCCESS(status)) return status;
    PSECURITY_DESCRIPTOR sd = nullptr;
    status = FltBuildDefaultSecurityDescriptor(&sd, FLT_PORT_ALL_ACCESS);
    if (NT_SUCCESS(status)) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(kPortName.c_str()));
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, sd);
        status = FltCreateCommunicationPort(g_filter, &g_server, &oa, nullptr, Connect, Disconnect, Message, 1);
        FltFreeSecurityDescriptor(sd);
    }
    if (!NT_SUCCESS(status)) FltUnregisterFilter(g_filter);
    return status;
}

}  // namespace echo

typedef HRESULT(WINAPI* ConnectFn)(LPCWSTR, DWORD, LPCVOID, WORD, LPSECURITY_ATTRIBUTES, HANDLE*);
typedef HRESULT(WINAPI* SendFn)(HANDLE, LPVOID, DWORD, LPVOID, DWORD, LPDWORD);
typedef HRESULT(WINAPI* GetFn)(HANDLE, PFILTER_MESSAGE_HEADER, DWORD, LPOVERLAPPED);

template <class F>
F Resolve(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

class FltlibTest : public UmTest {
protected:
    void SetUp() override {
        UmTest::SetUp();
        echo::g_disconnects = 0;
        M().RegisterDriverImage(u"echo.sys", echo::Entry);
        ASSERT_EQ(M().LoadDriver(u"echo", u"echo.sys"), STATUS_SUCCESS);
    }
    void TearDown() override {
        M().UnloadDriver(u"echo");
        EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
        UmTest::TearDown();
    }
};

struct Ask {
    NTSTATUS status;
    ULONG returned;
};

struct Receive {
    GetFn get;
    HANDLE port;
    HRESULT result = 0;
    NOTIFY_MESSAGE message{};
};

DWORD WINAPI ReceiveBody(LPVOID p) {
    auto* r = static_cast<Receive*>(p);
    r->result = r->get(r->port, reinterpret_cast<PFILTER_MESSAGE_HEADER>(&r->message), sizeof(r->message), nullptr);
    return 0;
}

}  // namespace

TEST_F(FltlibTest, FltlibLoadsByNameAndResolvesItsFourRoutines) {
    AsHost([this] {
        EXPECT_EQ(LoadLibraryW(WSTR("kernel33.dll")), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
        HMODULE m = LoadLibraryW(WSTR("fltlib.dll"));
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(LoadLibraryW(WSTR("C:\\Windows\\System32\\FLTLIB.DLL")), m);  // one module, two references
        EXPECT_EQ(Resolve<ConnectFn>(m, "FilterConnectCommunicationPort"), &FilterConnectCommunicationPort);
        EXPECT_NE(GetProcAddress(m, "FilterReplyMessage"), nullptr);
        EXPECT_EQ(GetProcAddress(m, "FilterLoad"), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
        EXPECT_TRUE(FreeLibrary(m));
        EXPECT_EQ(M().UserHandleCount(host_), 1u);  // still loaded once
        EXPECT_EQ(ViolationsWith("module Module from LoadLibraryW fltlib.dll"), 1u);
        EXPECT_TRUE(FreeLibrary(m));
        EXPECT_EQ(M().UserHandleCount(host_), 0u);
        EXPECT_FALSE(FreeLibrary(m));
    });
}

TEST_F(FltlibTest, SendResultsAreTheWin32HresultsOfTheDriverStatus) {
    AsHost([] {
        HMODULE m = LoadLibraryW(WSTR("fltlib.dll"));
        auto connect = Resolve<ConnectFn>(m, "FilterConnectCommunicationPort");
        auto send = Resolve<SendFn>(m, "FilterSendMessage");
        HANDLE port = nullptr;
        ASSERT_EQ(connect(reinterpret_cast<LPCWSTR>(kPortName.c_str()), 0, nullptr, 0, nullptr, &port), S_OK);
        unsigned char reply[256];
        struct Case {
            NTSTATUS status;
            HRESULT expected;
            bool lengthBack;
        } cases[] = {
            {STATUS_SUCCESS, S_OK, true},
            {STATUS_BUFFER_OVERFLOW, static_cast<HRESULT>(0x800700EAL), true},  // a warning: length comes back
            {STATUS_INVALID_PARAMETER, static_cast<HRESULT>(0x80070057L), false},
            {STATUS_ACCESS_DENIED, static_cast<HRESULT>(0x80070005L), false},
            {STATUS_BUFFER_TOO_SMALL, static_cast<HRESULT>(0x8007007AL), false},
            {STATUS_NOT_SUPPORTED, static_cast<HRESULT>(0x80070032L), false},
            {static_cast<NTSTATUS>(0xC0ABCDEFL), static_cast<HRESULT>(0x8007013DL), false},  // unknown: 317
        };
        for (const Case& c : cases) {
            Ask ask{c.status, 100};
            DWORD returned = 0xFEEDu;
            EXPECT_EQ(send(port, &ask, sizeof ask, reply, sizeof reply, &returned), c.expected)
                << std::hex << c.status;
            EXPECT_EQ(returned, c.lengthBack ? 100u : 0xFEEDu) << std::hex << c.status;
        }
        EXPECT_TRUE(CloseHandle(port));
        Ask ask{STATUS_SUCCESS, 0};
        DWORD returned = 0;
        EXPECT_EQ(send(port, &ask, sizeof ask, nullptr, 0, &returned), E_HANDLE);

        HANDLE none = nullptr;
        EXPECT_EQ(connect(WSTR("\\NoSuchPort"), 0, nullptr, 0, nullptr, &none), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
        EXPECT_EQ(none, INVALID_HANDLE_VALUE);
        FreeLibrary(m);
    });
    EXPECT_EQ(winsim::Machine::DosErrorOf(STATUS_PORT_DISCONNECTED), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
}

TEST_F(FltlibTest, PendingReceiveEndsWithOperationAbortedWhenTheHandleIsClosed) {
    AsHost([this] {
        HANDLE port = nullptr;
        ASSERT_EQ(FilterConnectCommunicationPort(reinterpret_cast<LPCWSTR>(kPortName.c_str()), 0, nullptr, 0, nullptr,
                                                 &port),
                  S_OK);
        Receive r{&FilterGetMessage, port};
        HANDLE t = CreateThread(nullptr, 0, ReceiveBody, &r, 0, nullptr);
        // The receive blocks: a wait for the thread times out.
        EXPECT_EQ(WaitForSingleObject(t, 500), static_cast<DWORD>(WAIT_TIMEOUT));
        EXPECT_TRUE(CloseHandle(port));
        EXPECT_EQ(WaitForSingleObject(t, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
        EXPECT_EQ(r.result, static_cast<HRESULT>(0x800703E3L));
        // A receive on the handle once it is closed fails at once, but not as aborted.
        EXPECT_EQ(FilterGetMessage(port, reinterpret_cast<PFILTER_MESSAGE_HEADER>(&r.message), sizeof r.message, nullptr),
                  E_HANDLE);
        CloseHandle(t);
    });
    EXPECT_EQ(echo::g_disconnects.load(), 1);
}

TEST_F(FltlibTest, APostedMessageArrivesBehindTheFilterMessageHeader) {
    AsHost([this] {
        HANDLE port = nullptr;
        ASSERT_EQ(FilterConnectCommunicationPort(reinterpret_cast<LPCWSTR>(kPortName.c_str()), 0, nullptr, 0, nullptr,
                                                 &port),
                  S_OK);
        NOTIFY_MESSAGE sent{};
        sent.processId = 500;
        std::memcpy(sent.processName, u"cmd.exe", 16);
        EXPECT_EQ(M().PostPortMessage(kPortName, reinterpret_cast<const char*>(&sent) + sizeof(KX_MESSAGE_HEADER),
                                      sizeof sent - sizeof(KX_MESSAGE_HEADER)),
                  1u);
        NOTIFY_MESSAGE got{};
        EXPECT_EQ(FilterGetMessage(port, reinterpret_cast<PFILTER_MESSAGE_HEADER>(&got), sizeof got, nullptr), S_OK);
        EXPECT_EQ(got.processId, 500u);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(got.processName)), u"cmd.exe");
        EXPECT_NE(got.header.MessageId, 0u);
        CloseHandle(port);
    });
}

TEST_F(FltlibTest, HostExitClosesItsPortAndEndsTheReceivingThread) {
    Receive r{&FilterGetMessage, nullptr};
    AsHost([&] {
        ASSERT_EQ(FilterConnectCommunicationPort(reinterpret_cast<LPCWSTR>(kPortName.c_str()), 0, nullptr, 0, nullptr,
                                                 &r.port),
                  S_OK);
        ASSERT_NE(CreateThread(nullptr, 0, ReceiveBody, &r, 0, nullptr), nullptr);
    });
    EXPECT_EQ(M().PortConnectionCount(kPortName), 1u);
    EXPECT_GE(ViolationsWith("user handle(s) left open"), 1u);
    M().ExitHost(host_);
    EXPECT_EQ(M().PortConnectionCount(kPortName), 0u);
    EXPECT_EQ(echo::g_disconnects.load(), 1);
    EXPECT_EQ(M().UserThreadCount(host_), 0u);
}
