// Shared set-up for the dispatch-hook tests: the twelve target drivers, the
// commands that drive the hooks, and readers for slots, events and traces.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "driver/hooks/hooks.h"
#include "tests/support/driver_fixture.h"

namespace hooktest {

struct TargetSpec {
    const char16_t* name;    // the driver's name under \Driver
    UCHAR major;             // the interposed major function
    uint32_t setHookType;    // a device type whose SET_HOOK installs its family
    KX_HOOK_FAMILY family;
    int index;               // the record's index in its family
};

inline const TargetSpec kTargets[] = {
    {u"BTKRNL", IRP_MJ_DEVICE_CONTROL, BDC_BLUETOOTH, KxHookBluetooth, 0},
    {u"RFCOMM", IRP_MJ_INTERNAL_DEVICE_CONTROL, BDC_BLUETOOTH, KxHookBluetooth, 1},
    {u"BTWUSB", IRP_MJ_DEVICE_CONTROL, BDC_BLUETOOTH, KxHookBluetooth, 2},
    {u"BTHUSB", IRP_MJ_DEVICE_CONTROL, BDC_BLUETOOTH, KxHookBluetooth, 3},
    {u"ohci1394", IRP_MJ_DEVICE_CONTROL, BDC_1394, KxHookEtc, 0},
    {u"Serenum", IRP_MJ_WRITE, BDC_SERIAL, KxHookEtc, 1},
    {u"Parport", IRP_MJ_WRITE, BDC_PARALLEL, KxHookEtc, 2},
    {u"irda", IRP_MJ_INTERNAL_DEVICE_CONTROL, BDC_IRDA, KxHookEtc, 3},
    {u"modem", IRP_MJ_WRITE, BDC_MODEM, KxHookEtc, 4},
    {u"WudfRd", IRP_MJ_DEVICE_CONTROL, BDC_MTP, KxHookMtp, 0},
    {u"usbhub", IRP_MJ_PNP, BDC_USB, KxHookUsb, 0},
    {u"usbhub3", IRP_MJ_PNP, BDC_USB, KxHookUsb, 1},
};

// The family a SET_HOOK device type acts on; -1 for none.
inline int FamilyOfType(uint32_t type) {
    switch (type) {
    case BDC_USB:
        return KxHookUsb;
    case BDC_BLUETOOTH:
        return KxHookBluetooth;
    case BDC_MTP:
        return KxHookMtp;
    case BDC_1394:
    case BDC_SERIAL:
    case BDC_PARALLEL:
    case BDC_IRDA:
    case BDC_MODEM:
        return KxHookEtc;
    default:
        return -1;
    }
}

inline std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

class HooksTest : public kxtest::DriverTest {
protected:
    kxtest::Reply SetHook(uint32_t type, uint32_t on, winsim::PortConnection* connection = nullptr) {
        kxtest::RawMessage m(SET_HOOK);
        m.Type(type).State(on);
        return SendOn(connection != nullptr ? connection : connection_, m);
    }
    kxtest::Reply SetPolicy(uint32_t type, uint32_t state, uint32_t log,
                            winsim::PortConnection* connection = nullptr) {
        kxtest::RawMessage m(SET_POLICY);
        m.DeviceType(type).PolicyState(state).Log(log);
        return SendOn(connection != nullptr ? connection : connection_, m);
    }
    void StartFiltering() {
        kxtest::RawMessage m(START);
        ASSERT_EQ(Send(m).status, STATUS_SUCCESS);
    }
    void SetDebugLevel(uint32_t level) {
        kxtest::RawMessage m(SET_DEBUG_LEVEL);
        m.Value(level);
        ASSERT_EQ(Send(m).status, STATUS_SUCCESS);
    }
    void LoadAllTargets() {
        for (const TargetSpec& t : kTargets) {
            ASSERT_EQ(machine().LoadTargetDriver(t.name), STATUS_SUCCESS) << Narrow(t.name);
        }
    }
    PDRIVER_DISPATCH SlotOf(const std::u16string& name, UCHAR major) {
        PDRIVER_OBJECT d = machine().TargetDriverObject(name);
        return d == nullptr ? nullptr : d->MajorFunction[major];
    }
    // Every slot of every loaded target holds the target's own routine.
    void ExpectAllOriginal() {
        for (const TargetSpec& t : kTargets) {
            PDRIVER_OBJECT d = machine().TargetDriverObject(t.name);
            if (d == nullptr) continue;
            for (int mj = 0; mj <= IRP_MJ_MAXIMUM_FUNCTION; ++mj) {
                EXPECT_EQ(d->MajorFunction[mj], winsim::Machine::TargetDispatchRoutine())
                    << Narrow(t.name) << " MJ " << mj;
            }
            EXPECT_EQ(machine().ObjectReferencesHeld(d), 0) << Narrow(t.name);
        }
    }
    std::vector<EVENT_RECORD> Events() {
        std::vector<uint8_t> out(KX_GET_LOG_HEADER_SIZE + 20 * KX_EVENT_RECORD_SIZE);
        kxtest::RawMessage m(GET_LOG);
        kxtest::Reply reply = Send(m, out.data(), static_cast<uint32_t>(out.size()));
        std::vector<EVENT_RECORD> records;
        if (reply.status != STATUS_SUCCESS) return records;
        for (uint32_t i = 0; i < kxtest::ReplyCount(out); ++i) records.push_back(kxtest::RecordAt(out, i));
        return records;
    }
    // Polls (real time) until the debug output holds text at least count times.
    bool WaitForDebug(const std::string& text, size_t count = 1, int timeoutMs = 5000) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (machine().DebugCount(text) < count) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    // The position of the first debug line holding text; -1 when none.
    long DebugIndex(const std::string& text) {
        std::vector<std::string> lines = machine().DebugOutput();
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].find(text) != std::string::npos) return static_cast<long>(i);
        }
        return -1;
    }
};

}  // namespace hooktest
