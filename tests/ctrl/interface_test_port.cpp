// The test port's driver half. It is kernel code for the simulated machine, kept in
// a file of its own so that the tests' user-mode files do not see km.h.
#include "tests/ctrl/interface_test_port.h"

#include <mutex>

#include "winsim/winsim.h"

namespace ctrltest {
namespace {

constexpr char16_t kService[] = u"kxtestport";
constexpr char16_t kImage[] = u"kxtestport.sys";
constexpr ULONG kMaxConnections = 10;

PFLT_FILTER g_filter = nullptr;
PFLT_PORT g_serverPort = nullptr;
PFLT_PORT g_clients[kMaxConnections] = {};
std::mutex g_mutex;
std::vector<PortMessage> g_messages;
NTSTATUS g_replyStatus = STATUS_SUCCESS;
size_t g_connections = 0;

NTSTATUS Connect(PFLT_PORT clientPort, PVOID, PVOID, ULONG, PVOID* connectionCookie) {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (ULONG i = 0; i < kMaxConnections; ++i) {
        if (g_clients[i] == nullptr) {
            g_clients[i] = clientPort;
            *connectionCookie = &g_clients[i];
            ++g_connections;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_CONNECTION_COUNT_LIMIT;
}

void Disconnect(PVOID connectionCookie) {
    auto* slot = static_cast<PFLT_PORT*>(connectionCookie);
    PFLT_PORT port = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        port = *slot;
        *slot = nullptr;
        if (port != nullptr) {
            --g_connections;
        }
    }
    if (port != nullptr) {
        FltCloseClientPort(g_filter, &port);
    }
}

NTSTATUS Message(PVOID, PVOID input, ULONG inputLength, PVOID output, ULONG outputLength, PULONG returned) {
    PortMessage m;
    if (input != nullptr && inputLength != 0) {
        m.bytes.assign(static_cast<const uint8_t*>(input), static_cast<const uint8_t*>(input) + inputLength);
    }
    m.outputLength = outputLength;
    m.hasOutput = output != nullptr;
    *returned = 0;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_messages.push_back(std::move(m));
    return g_replyStatus;
}

NTSTATUS Unload(FLT_FILTER_UNLOAD_FLAGS) {
    if (g_serverPort != nullptr) {
        FltCloseCommunicationPort(g_serverPort);
        g_serverPort = nullptr;
    }
    for (ULONG i = 0; i < kMaxConnections; ++i) {
        PFLT_PORT port = nullptr;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            port = g_clients[i];
            g_clients[i] = nullptr;
            if (port != nullptr) {
                --g_connections;
            }
        }
        if (port != nullptr) {
            FltCloseClientPort(g_filter, &port);
        }
    }
    FltUnregisterFilter(g_filter);
    g_filter = nullptr;
    return STATUS_SUCCESS;
}

const FLT_REGISTRATION kRegistration = {
    sizeof(FLT_REGISTRATION), FLT_REGISTRATION_VERSION_0203, 0, nullptr, nullptr, Unload, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    NTSTATUS status = FltRegisterFilter(driver, &kRegistration, &g_filter);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    status = FltBuildDefaultSecurityDescriptor(&descriptor, FLT_PORT_ALL_ACCESS);
    if (NT_SUCCESS(status)) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\kx4grd");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr,
                                   descriptor);
        status = FltCreateCommunicationPort(g_filter, &g_serverPort, &attributes, nullptr, Connect, Disconnect,
                                            Message, kMaxConnections);
        FltFreeSecurityDescriptor(descriptor);
    }
    if (!NT_SUCCESS(status)) {
        g_serverPort = nullptr;
        FltUnregisterFilter(g_filter);
        g_filter = nullptr;
    }
    return status;
}

}  // namespace

std::u16string PortMessage::Wide(size_t offset, size_t maxChars) const {
    std::u16string text;
    for (size_t i = 0; i < maxChars && offset + 2 * i + 1 < bytes.size(); ++i) {
        const char16_t c = static_cast<char16_t>(bytes[offset + 2 * i] | (bytes[offset + 2 * i + 1] << 8));
        if (c == 0) {
            break;
        }
        text.push_back(c);
    }
    return text;
}

std::string PortMessage::Ansi(size_t offset, size_t maxBytes) const {
    std::string text;
    for (size_t i = 0; i < maxBytes && offset + i < bytes.size() && bytes[offset + i] != 0; ++i) {
        text.push_back(static_cast<char>(bytes[offset + i]));
    }
    return text;
}

bool PortMessage::ZeroFrom(size_t from, size_t to) const {
    for (size_t i = from; i < to; ++i) {
        if (bytes.at(i) != 0) {
            return false;
        }
    }
    return true;
}

long LoadTestPort() {
    winsim::Machine& m = winsim::Machine::Current();
    m.RegisterDriverImage(kImage, Entry);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_messages.clear();
        g_replyStatus = STATUS_SUCCESS;
    }
    return m.LoadDriver(kService, kImage);
}

long UnloadTestPort() { return winsim::Machine::Current().UnloadDriver(kService); }

bool TestPortLoaded() { return winsim::Machine::Running() && winsim::Machine::Current().IsDriverLoaded(kService); }

std::vector<PortMessage> TakePortMessages() {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<PortMessage> taken;
    taken.swap(g_messages);
    return taken;
}

size_t PortMessageCount() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_messages.size();
}

void SetPortReplyStatus(long status) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_replyStatus = static_cast<NTSTATUS>(status);
}

size_t PortConnections() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_connections;
}

}  // namespace ctrltest
