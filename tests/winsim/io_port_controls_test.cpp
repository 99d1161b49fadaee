// The driver closing a client port while a message on it is still running, and
// the test controls that step into a driver at a chosen moment: a connection the
// instant a port is created, an action at a debug line, a buffer whose tail faults.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "winsim/winsim.h"

using winsim::Machine;
using winsim::PortConnection;

namespace {

const std::u16string kPortName = u"\\PortControlsTest";

// A minimal minifilter: one port, one client slot, a message that can block.
namespace tiny {

PFLT_FILTER g_filter;
PFLT_PORT g_server;
PFLT_PORT g_client;
std::atomic<int> g_disconnects, g_messages;
std::mutex g_mu;
std::condition_variable g_cv;
bool g_inside, g_release, g_messageReturned;

NTSTATUS Connect(PFLT_PORT client, PVOID, PVOID, ULONG, PVOID* cookie) {
    g_client = client;
    *cookie = &g_client;
    return STATUS_SUCCESS;
}

void Disconnect(PVOID) {
    g_disconnects++;
    if (g_client != nullptr) FltCloseClientPort(g_filter, &g_client);
}

// Input byte 1: block until released; anything else answers at once.
NTSTATUS Message(PVOID, PVOID input, ULONG length, PVOID, ULONG, PULONG returned) {
    *returned = 0;
    g_messages++;
    if (length == 1 && *static_cast<const uint8_t*>(input) == 1) {
        std::unique_lock<std::mutex> lock(g_mu);
        g_inside = true;
        g_cv.notify_all();
        g_cv.wait(lock, [] { return g_release; });
        g_messageReturned = true;
    }
    return STATUS_SUCCESS;
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
        DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0, "tiny: creating the port\n");
        status = FltCreateCommunicationPort(g_filter, &g_server, &oa, nullptr, Connect, Disconnect, Message, 1);
        FltFreeSecurityDescriptor(sd);
    }
    if (!NT_SUCCESS(status)) {
        FltUnregisterFilter(g_filter);
        return status;
    }
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0, "tiny: port created\n");
    return STATUS_SUCCESS;
}

void Reset() {
    g_filter = nullptr;
    g_server = nullptr;
    g_client = nullptr;
    g_disconnects = 0;
    g_messages = 0;
    g_inside = g_release = g_messageReturned = false;
}

}  // namespace tiny

class PortControlsTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_ = &Machine::Boot();
        tiny::Reset();
        m_->RegisterDriverImage(u"tiny.sys", tiny::Entry);
    }
    void TearDown() override {
        EXPECT_TRUE(m_->Verifier().Clean()) << m_->Verifier().ToString();
        Machine::Shutdown();
    }
    NTSTATUS Send(PortConnection* c, uint8_t op) {
        uint32_t returned = 0;
        return m_->SendMessage(c, &op, 1, nullptr, 0, &returned);
    }
    Machine* m_ = nullptr;
};

TEST_F(PortControlsTest, DriverClosingAClientPortWaitsForItsMessageInProgress) {
    ASSERT_EQ(m_->LoadDriver(u"tiny", u"tiny.sys"), STATUS_SUCCESS);
    PortConnection* c = nullptr;
    ASSERT_EQ(m_->ConnectPort(m_->SystemProcess(), kPortName, &c), STATUS_SUCCESS);
    std::thread sender([&] { EXPECT_EQ(Send(c, 1), STATUS_SUCCESS); });
    {
        std::unique_lock<std::mutex> lock(tiny::g_mu);
        tiny::g_cv.wait(lock, [] { return tiny::g_inside; });
    }
    std::atomic<bool> closed{false};
    bool returnedBeforeClose = false;
    std::thread closer([&] {
        PFLT_PORT port = tiny::g_client;
        tiny::g_client = nullptr;
        FltCloseClientPort(tiny::g_filter, &port);
        {
            std::lock_guard<std::mutex> lock(tiny::g_mu);
            returnedBeforeClose = tiny::g_messageReturned;
        }
        EXPECT_EQ(port, nullptr);
        closed = true;
    });
    // The close has had every chance to finish; it must still be waiting.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(closed.load());
    {
        std::lock_guard<std::mutex> lock(tiny::g_mu);
        tiny::g_release = true;
    }
    tiny::g_cv.notify_all();
    sender.join();
    closer.join();
    EXPECT_TRUE(returnedBeforeClose) << "FltCloseClientPort returned while a message on the port still ran";
    // The connection is gone: new messages never reach the driver, and the
    // client's own close brings no second disconnection.
    const int messages = tiny::g_messages.load();
    EXPECT_EQ(Send(c, 0), STATUS_PORT_DISCONNECTED);
    EXPECT_EQ(tiny::g_messages.load(), messages);
    m_->ClosePort(c);
    EXPECT_EQ(tiny::g_disconnects.load(), 0);
    EXPECT_EQ(m_->UnloadDriver(u"tiny"), STATUS_SUCCESS);
}

TEST_F(PortControlsTest, ClientConnectsAndSendsInsidePortCreation) {
    PortConnection* c = nullptr;
    NTSTATUS sent = STATUS_PENDING;
    std::u16string seen;
    m_->OnPortCreated([&](const std::u16string& name) {
        seen = name;
        // DriverEntry has not returned, nor printed its line after the creation.
        EXPECT_FALSE(m_->DebugContains("tiny: port created"));
        ASSERT_EQ(m_->ConnectPort(m_->SystemProcess(), name, &c), STATUS_SUCCESS);
        sent = Send(c, 0);
    });
    ASSERT_EQ(m_->LoadDriver(u"tiny", u"tiny.sys"), STATUS_SUCCESS);
    EXPECT_EQ(seen, kPortName);
    EXPECT_EQ(sent, STATUS_SUCCESS);
    EXPECT_EQ(tiny::g_messages.load(), 1);
    m_->ClosePort(c);
    EXPECT_EQ(tiny::g_disconnects.load(), 1);
    m_->OnPortCreated(nullptr);
    EXPECT_EQ(m_->UnloadDriver(u"tiny"), STATUS_SUCCESS);
}

TEST_F(PortControlsTest, DebugLineActionRunsOnceAtThatLine) {
    int runs = 0;
    bool portExisted = true;
    m_->OnDebugLine("creating the port", [&] {
        ++runs;
        PortConnection* c = nullptr;
        portExisted = m_->ConnectPort(m_->SystemProcess(), kPortName, &c) != STATUS_OBJECT_NAME_NOT_FOUND;
    });
    ASSERT_EQ(m_->LoadDriver(u"tiny", u"tiny.sys"), STATUS_SUCCESS);
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(portExisted);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0, "tiny: creating the port\n");
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(m_->UnloadDriver(u"tiny"), STATUS_SUCCESS);
}

TEST_F(PortControlsTest, BufferWithInvalidTailFaultsOnlyPastItsValidBytes) {
    auto* p = static_cast<uint8_t*>(m_->BufferWithInvalidTail(100));
    std::memset(p, 0xab, 100);  // writable for real
    EXPECT_TRUE(MmIsAddressValid(p));
    EXPECT_TRUE(MmIsAddressValid(p + 99));
    EXPECT_FALSE(MmIsAddressValid(p + 100));
    auto probe = [&](SIZE_T length) {
        NTSTATUS status = STATUS_SUCCESS;
        KX_TRY { ProbeForWrite(p, length, 1); }
        KX_EXCEPT { status = KX_EXCEPTION_CODE(); }
        return status;
    };
    EXPECT_EQ(probe(100), STATUS_SUCCESS);
    EXPECT_EQ(probe(101), STATUS_ACCESS_VIOLATION);
}

}  // namespace
