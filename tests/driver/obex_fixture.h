// A machine with the Bluetooth stack drivers (BTKRNL, RFCOMM, BTWUSB, BTHUSB) and
// the IrDA driver loaded, kx4grd loaded and started with the Bluetooth and IrDA
// hooks installed, and one user process that sends the traffic. Helpers build
// OBEX packets, send them on a connection and drain the event log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/hooks/hooks.h"
#include "driver/hooks/obex.h"
#include "driver/hooks/obex_headers.h"
#include "tests/support/driver_fixture.h"

namespace kxtest {

using Bytes = std::vector<uint8_t>;

inline constexpr NTSTATUS kRefused = (NTSTATUS)0xC0000010L;  // STATUS_INVALID_DEVICE_REQUEST
inline constexpr ULONG kTdiSend = 0x0021001F;                // what the machine's OBEX sends carry

inline std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

namespace obex {

inline void Put16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
    b.push_back(static_cast<uint8_t>(v & 0xFF));
}
// Connect: version 1.0, no flags, maximum packet 8192.
inline Bytes Connect() { return {OBEX_OPCODE_CONNECT, 0x00, 0x07, 0x10, 0x00, 0x20, 0x00}; }
inline Bytes Disconnect() { return {OBEX_OPCODE_DISCONNECT, 0x00, 0x03}; }
// A name header: big-endian text with its zero unit, the length counted whole
// unless declared is given.
inline Bytes NameHeader(const std::u16string& text, int declared = -1) {
    Bytes b{OBEX_HEADER_NAME};
    const uint32_t whole = static_cast<uint32_t>(3 + 2 * (text.size() + 1));
    Put16(b, declared >= 0 ? static_cast<uint32_t>(declared) : whole);
    for (char16_t c : text) Put16(b, c);
    Put16(b, 0);
    return b;
}
// A put carrying the headers given, then a small body.
inline Bytes Put(const Bytes& headers, uint8_t opcode = OBEX_OPCODE_PUT_FINAL) {
    Bytes b{opcode, 0, 0};
    b.insert(b.end(), headers.begin(), headers.end());
    const Bytes body{0x49, 0x00, 0x08, 'h', 'e', 'l', 'l', 'o'};
    b.insert(b.end(), body.begin(), body.end());
    b[1] = static_cast<uint8_t>(b.size() >> 8);
    b[2] = static_cast<uint8_t>(b.size() & 0xFF);
    return b;
}
inline Bytes PutNamed(const std::u16string& name, uint8_t opcode = OBEX_OPCODE_PUT_FINAL) {
    return Put(NameHeader(name), opcode);
}

}  // namespace obex

class ObexTest : public DriverTest {
protected:
    static constexpr char16_t kSenderImage[] = u"\\Device\\HarddiskVolume2\\Windows\\System32\\fsquirt.exe";

    void BeforeLoad() override {
        for (const char16_t* name : {u"BTKRNL", u"RFCOMM", u"BTWUSB", u"BTHUSB", u"irda"}) {
            ASSERT_EQ(machine().LoadTargetDriver(name), STATUS_SUCCESS);
        }
    }

    void SetUp() override {
        DriverTest::SetUp();
        if (HasFatalFailure()) return;
        Command(START, 1);
        Hook(BDC_BLUETOOTH, 1);
        Hook(BDC_IRDA, 1);
        ASSERT_TRUE(KxHookFamilyActive(KxHookBluetooth));
        ASSERT_TRUE(KxHookFamilyActive(KxHookEtc));
        winsim::ProcessOptions sender;
        sender.imagePath = kSenderImage;
        sender_ = machine().StartProcess(sender);
        ASSERT_NE(sender_, nullptr);
        Drain();
        machine().ClearDebugOutput();
    }

    void Command(uint64_t command, uint32_t state) {
        RawMessage msg(command);
        msg.State(state);
        ASSERT_EQ(Send(msg).status, STATUS_SUCCESS);
    }
    void Hook(ULONG deviceType, ULONG on) {
        RawMessage msg(SET_HOOK);
        msg.Type(deviceType).State(on);
        ASSERT_EQ(Send(msg).status, STATUS_SUCCESS);
    }
    void Policy(ULONG deviceType, ULONG state, ULONG log) {
        RawMessage msg(SET_POLICY);
        msg.DeviceType(deviceType).PolicyState(state).Log(log);
        ASSERT_EQ(Send(msg).status, STATUS_SUCCESS);
    }

    // An OBEX packet from the sender on a connection.
    winsim::DeviceRequestResult Obex(winsim::ObexTransport transport, uint32_t connection, const Bytes& packet,
                                     winsim::ObexSendOptions options = {}) {
        if (options.process == nullptr) options.process = sender_;
        return machine().SendObexPacket(transport, connection, packet, options);
    }
    winsim::DeviceRequestResult Rfcomm(uint32_t connection, const Bytes& packet, winsim::ObexSendOptions options = {}) {
        return Obex(winsim::ObexTransport::Rfcomm, connection, packet, options);
    }
    winsim::DeviceRequestResult Irda(uint32_t connection, const Bytes& packet, winsim::ObexSendOptions options = {}) {
        return Obex(winsim::ObexTransport::Irda, connection, packet, options);
    }
    // A device-control request with inputLength input bytes from the sender.
    winsim::DeviceRequestResult Control(const std::u16string& target, ULONG code, ULONG inputLength,
                                        UCHAR major = IRP_MJ_DEVICE_CONTROL, KIRQL irql = PASSIVE_LEVEL) {
        winsim::DeviceRequest request;
        request.major = major;
        request.ioControlCode = code;
        request.input.assign(inputLength, 0x5A);
        request.process = sender_;
        request.irql = irql;
        return machine().SendRequest(target, request);
    }
    unsigned Reached(const std::u16string& target) { return machine().TargetRequests(target).total; }
    PFILE_OBJECT ConnectionOf(uint32_t connection) { return machine().ConnectionFileObject(connection); }

    // Every POLICY record waiting in the event log, oldest first.
    std::vector<EVENT_RECORD> Drain() {
        std::vector<EVENT_RECORD> records;
        std::vector<uint8_t> out(GetLogReplySize(64));
        for (;;) {
            RawMessage msg(GET_LOG);
            Reply reply = Send(msg, out.data(), static_cast<uint32_t>(out.size()));
            if (reply.status != STATUS_SUCCESS) break;
            for (uint32_t i = 0; i < ReplyCount(out); ++i) {
                const EVENT_RECORD r = RecordAt(out, i);
                if (r.code == POLICY) records.push_back(r);
            }
        }
        return records;
    }
    // Past the event log's two-second duplicate window.
    void NextWindow() { machine().AdvanceClock(2500); }

    static void ExpectRefused(const winsim::DeviceRequestResult& r, const char* what) {
        EXPECT_EQ(r.returned, kRefused) << what;
        EXPECT_TRUE(r.completed) << what;
        EXPECT_EQ(r.status, kRefused) << what;
        EXPECT_EQ(r.information, 0u) << what;
    }
    static void ExpectPassed(const winsim::DeviceRequestResult& r, const char* what) {
        EXPECT_TRUE(r.completed) << what;
        EXPECT_EQ(r.status, STATUS_SUCCESS) << what;
    }
    static void ExpectEvent(const EVENT_RECORD& r, ULONG a0, ULONG a1, const std::u16string& path) {
        EXPECT_EQ(r.code, static_cast<ULONG>(POLICY));
        EXPECT_EQ(r.a0, a0);
        EXPECT_EQ(r.a1, a1);
        EXPECT_EQ(Text(r.name), u"fsquirt.exe");
        EXPECT_EQ(Text(r.path), path);
    }

    PEPROCESS sender_ = nullptr;
};

}  // namespace kxtest
