// Test fixtures for the driver: a booted machine with kx4grd loaded, raw command
// messages built at their wire offsets, and a verifier check at the end of each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// The driver's module headers: unit tests call module routines directly.
#include "driver/core/dispatch.h"
#include "driver/core/entry.h"
#include "driver/core/globals.h"
#include "driver/core/process_ids.h"
#include "driver/core/process_info.h"
#include "driver/core/process_notify.h"
#include "driver/core/strings.h"
#include "driver/core/volume.h"
#include "driver/log/event_log.h"
#include "driver/policy/policy.h"
#include "winsim/winsim.h"

namespace kxtest {

inline constexpr char16_t kServiceName[] = u"kx4grd";
inline constexpr char16_t kImageName[] = u"kx4grd_x64.sys";
inline constexpr char16_t kServiceKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kx4grd";
inline constexpr char16_t kParametersKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kx4grd\\Parameters";

// A command message as raw bytes, filled at the documented offsets (not through the
// shared struct), so a layout mistake in the struct cannot hide in the tests.
class RawMessage {
public:
    explicit RawMessage(uint64_t command) : bytes_(2096, 0) { Put64(8, command); }
    RawMessage& Put32(size_t offset, uint32_t v) {
        std::memcpy(&bytes_.at(offset), &v, 4);
        return *this;
    }
    RawMessage& Put64(size_t offset, uint64_t v) {
        std::memcpy(&bytes_.at(offset), &v, 8);
        return *this;
    }
    RawMessage& Value(uint32_t v) { return Put32(16, v); }
    RawMessage& Type(uint32_t v) { return Put32(20, v); }
    RawMessage& State(uint32_t v) { return Put32(24, v); }
    RawMessage& DeviceType(uint32_t v) { return Put32(28, v); }
    RawMessage& PolicyState(uint32_t v) { return Put32(32, v); }
    RawMessage& Log(uint32_t v) { return Put32(36, v); }
    RawMessage& UlType(uint32_t v) { return Put32(40, v); }
    RawMessage& Size(uint32_t v) { return Put32(44, v); }
    // text at 48 and its byte length at 44
    RawMessage& Text(const std::u16string& text) {
        PutWide(48, text);
        return Size(static_cast<uint32_t>(text.size() * 2));
    }
    RawMessage& PutWide(size_t offset, const std::u16string& text) {
        std::memcpy(&bytes_.at(offset), text.data(), text.size() * 2);
        return *this;
    }
    RawMessage& PutAnsi(size_t offset, const std::string& text) {
        std::memcpy(&bytes_.at(offset), text.data(), text.size());
        return *this;
    }
    uint8_t* data() { return bytes_.data(); }
    uint32_t size() const { return static_cast<uint32_t>(bytes_.size()); }
    std::vector<uint8_t>& bytes() { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

struct Reply {
    NTSTATUS status = 0;
    uint32_t bytesReturned = 0;
};

// Boots a machine, loads the driver and connects one client (the agent process).
// TearDown disconnects, unloads and requires a clean verifier.
class DriverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    winsim::Machine& machine() { return *machine_; }

    // Hooks for tests that need the machine prepared before the driver loads.
    virtual void BeforeLoad() {}
    virtual bool ConnectAgent() { return true; }

    winsim::PortConnection* Connect(PEPROCESS process);
    void Disconnect(winsim::PortConnection*& connection);
    Reply Send(RawMessage& message, void* output = nullptr, uint32_t outputLength = 0);
    Reply SendOn(winsim::PortConnection* connection, RawMessage& message, void* output = nullptr,
                 uint32_t outputLength = 0);
    void Unload();  // explicit unload inside a test; TearDown then only checks

    PEPROCESS agent_ = nullptr;
    winsim::PortConnection* connection_ = nullptr;
    bool loaded_ = false;

private:
    winsim::Machine* machine_ = nullptr;
    std::vector<winsim::PortConnection*> extra_;
};

// Reads an event record out of a GET_LOG reply.
EVENT_RECORD RecordAt(const std::vector<uint8_t>& reply, size_t index);
uint32_t ReplyCount(const std::vector<uint8_t>& reply);
std::u16string Text(const WCHAR* text);

}  // namespace kxtest
