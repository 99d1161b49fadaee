#include "tests/support/driver_fixture.h"

namespace kxtest {

void DriverTest::SetUp() {
    machine_ = &winsim::Machine::Boot();
    machine_->RegisterDriverImage(kImageName, DriverEntry);
    BeforeLoad();
    ASSERT_EQ(machine_->LoadDriver(kServiceName, kImageName), STATUS_SUCCESS);
    loaded_ = true;
    winsim::ProcessOptions agent;
    agent.imagePath = u"\\Device\\HarddiskVolume2\\Program Files\\Agent\\agent.exe";
    agent_ = machine_->StartProcess(agent);
    if (ConnectAgent()) {
        connection_ = Connect(agent_);
        ASSERT_NE(connection_, nullptr);
    }
}

void DriverTest::TearDown() {
    if (machine_ == nullptr) {
        return;
    }
    for (auto* c : extra_) {
        if (c != nullptr) {
            machine_->ClosePort(c);
        }
    }
    extra_.clear();
    if (connection_ != nullptr) {
        machine_->ClosePort(connection_);
        connection_ = nullptr;
    }
    if (loaded_) {
        EXPECT_EQ(machine_->UnloadDriver(kServiceName), STATUS_SUCCESS);
        loaded_ = false;
    }
    winsim::VerifierReport report = machine_->Verifier();
    EXPECT_TRUE(report.Clean()) << report.ToString();
    winsim::Machine::Shutdown();
    machine_ = nullptr;
}

winsim::PortConnection* DriverTest::Connect(PEPROCESS process) {
    winsim::PortConnection* connection = nullptr;
    NTSTATUS status = machine_->ConnectPort(process, KX4GRD_PORT_NAME, &connection);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (NT_SUCCESS(status) && connection_ != nullptr) {
        extra_.push_back(connection);
    }
    return NT_SUCCESS(status) ? connection : nullptr;
}

void DriverTest::Disconnect(winsim::PortConnection*& connection) {
    winsim::PortConnection* closing = connection;
    for (auto& c : extra_) {
        if (c == connection) {
            c = nullptr;
        }
    }
    if (connection == connection_) {
        connection_ = nullptr;
    }
    machine_->ClosePort(closing);
    connection = nullptr;
}

Reply DriverTest::Send(RawMessage& message, void* output, uint32_t outputLength) {
    return SendOn(connection_, message, output, outputLength);
}

Reply DriverTest::SendOn(winsim::PortConnection* connection, RawMessage& message, void* output,
                         uint32_t outputLength) {
    Reply reply;
    reply.status = machine_->SendMessage(connection, message.data(), message.size(), output, outputLength,
                                         &reply.bytesReturned);
    return reply;
}

void DriverTest::Unload() {
    for (auto*& c : extra_) {
        if (c != nullptr) {
            machine_->ClosePort(c);
            c = nullptr;
        }
    }
    if (connection_ != nullptr) {
        machine_->ClosePort(connection_);
        connection_ = nullptr;
    }
    ASSERT_EQ(machine_->UnloadDriver(kServiceName), STATUS_SUCCESS);
    loaded_ = false;
}

EVENT_RECORD RecordAt(const std::vector<uint8_t>& reply, size_t index) {
    EVENT_RECORD record;
    std::memcpy(&record, reply.data() + 8 + index * KX_EVENT_RECORD_SIZE, sizeof(record));
    return record;
}

uint32_t ReplyCount(const std::vector<uint8_t>& reply) {
    uint32_t count;
    std::memcpy(&count, reply.data(), 4);
    return count;
}

std::u16string Text(const WCHAR* text) { return std::u16string(text); }

}  // namespace kxtest
