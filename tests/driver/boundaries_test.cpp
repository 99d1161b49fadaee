// Edges that an ordinary command sequence does not reach: the last policy class,
// device classes without a duplicate slot, a GET_LOG reply that faults after the
// records were taken, and registry values longer than a DWORD.
#include "tests/support/driver_fixture.h"

using kxtest::RawMessage;
using kxtest::RecordAt;
using kxtest::Reply;
using kxtest::ReplyCount;

namespace {

class BoundariesTest : public kxtest::DriverTest {
protected:
    NTSTATUS Policy(ULONG device, const char16_t* path) {
        return SetLog(nullptr, nullptr, POLICY, device, DISABLE, 0, u"\\Device\\HarddiskVolume2\\w.exe", path);
    }
    void Produce(ULONG first, ULONG count) {
        for (ULONG i = first; i < first + count; ++i) {
            ASSERT_EQ(SetLog(nullptr, nullptr, LOG_PROCESS, i, 0, 0, u"\\x\\a.exe", u"\\x\\a.exe"), STATUS_SUCCESS);
        }
    }
    Reply GetLog(void* out, uint32_t length) {
        RawMessage msg(GET_LOG);
        return Send(msg, out, length);
    }
};

// ---------------------------------------------------------------- policy table

TEST_F(BoundariesTest, ClearResetsEveryClassUpToTheLast) {
    for (ULONG i = 0; i <= BDC_MTP; ++i) {
        RawMessage policy(SET_POLICY);
        policy.DeviceType(i).PolicyState(i % 2 ? DISABLE : READONLY).Log(1);
        ASSERT_EQ(Send(policy).status, STATUS_SUCCESS);
    }
    ASSERT_EQ(GetDevicePolicyState(BDC_MTP), (ULONG)READONLY);
    RawMessage clear(CLEAR);
    ASSERT_EQ(Send(clear).status, STATUS_SUCCESS);
    for (ULONG i = 0; i <= BDC_MTP; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(GetDevicePolicyState(i), (ULONG)ENABLE);
        EXPECT_EQ(GetDevicePolicyLog(i), 0u);
    }
}

// ---------------------------------------------------------------- duplicate window

TEST_F(BoundariesTest, ClassesWithoutADuplicateSlotAreNeverDroppedAndTouchNoSlot) {
    // Class 30 has the last slot; a repeat of it is dropped within the window.
    ASSERT_EQ(Policy(BDC_MTP, u"\\mtp\\a"), STATUS_SUCCESS);
    for (ULONG device : {(ULONG)BDC_MAX_DEVICE_TYPE, 32u, 1000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(device);
        // Beyond the table: no slot to compare with or to store into.
        EXPECT_EQ(Policy(device, u"\\mtp\\a"), STATUS_SUCCESS);
        EXPECT_EQ(Policy(device, u"\\mtp\\a"), STATUS_SUCCESS);
    }
    EXPECT_EQ(Policy(BDC_MTP, u"\\mtp\\a"), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(KxLogCount(), 9u);

    std::vector<uint8_t> out(8 + 9 * KX_EVENT_RECORD_SIZE);
    ASSERT_EQ(GetLog(out.data(), (uint32_t)out.size()).status, STATUS_SUCCESS);
    ASSERT_EQ(ReplyCount(out), 9u);
    EVENT_RECORD beyond = RecordAt(out, 1);
    EXPECT_EQ(beyond.a0, (ULONG)BDC_MAX_DEVICE_TYPE);
    EXPECT_EQ(beyond.log, 0u);  // no policy entry either
    EXPECT_EQ(kxtest::Text(beyond.path), u"\\mtp\\a");
}

// ---------------------------------------------------------------- GET_LOG requeue

TEST_F(BoundariesTest, ReplyFaultingPartWayPutsTheTakenRecordsBackInOrder) {
    Produce(0, 3);
    const uint32_t length = KX_GET_LOG_HEADER_SIZE + 3 * KX_EVENT_RECORD_SIZE;
    // Valid where it starts (so the quick validity check passes), inaccessible
    // from the middle of the second record on.
    void* reply = machine().BufferWithInvalidTail(KX_GET_LOG_HEADER_SIZE + KX_EVENT_RECORD_SIZE + 100);
    Reply faulted = GetLog(reply, length);
    EXPECT_EQ(faulted.status, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(KxLogCount(), 3u);

    std::vector<uint8_t> out(length);
    ASSERT_EQ(GetLog(out.data(), length).status, STATUS_SUCCESS);
    ASSERT_EQ(ReplyCount(out), 3u);
    for (ULONG i = 0; i < 3; ++i) {
        EXPECT_EQ(RecordAt(out, i).a0, i);
    }
    EXPECT_EQ(KxLogCount(), 0u);
}

TEST_F(BoundariesTest, PartialDrainFaultingPartWayKeepsTheBacklogInOrder) {
    // More than a thousand waiting: a buffer for four records drains four.
    Produce(0, 1001);
    const uint32_t length = 10000;
    void* reply = machine().BufferWithInvalidTail(5000);
    EXPECT_EQ(GetLog(reply, length).status, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(KxLogCount(), 1001u);

    std::vector<uint8_t> out(length);
    ASSERT_EQ(GetLog(out.data(), length).status, STATUS_SUCCESS);
    ASSERT_EQ(ReplyCount(out), 4u);
    for (ULONG i = 0; i < 4; ++i) {
        EXPECT_EQ(RecordAt(out, i).a0, i);  // the oldest first, the requeued ones included
    }
    EXPECT_EQ(KxLogCount(), 997u);
}

// ---------------------------------------------------------------- registry values

// Values that fit the 20-byte partial-information buffer but are longer than a
// DWORD: the setting is the value's first four bytes, nothing more is copied.
class LongDwordParametersTest : public kxtest::DriverTest {
protected:
    bool ConnectAgent() override { return false; }
    void BeforeLoad() override {
        machine().RegSetBinary(kxtest::kParametersKey, u"ProcessCreate", {3, 0, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE});
        machine().RegSetBinary(kxtest::kParametersKey, u"DebugLevel", {1, 0, 0, 0, 0xEE});
    }
};

TEST_F(LongDwordParametersTest, EightAndFiveByteValuesGiveTheirFirstFourBytes) {
    EXPECT_EQ(Globals.ProcessCreateLog, 3u);
    EXPECT_EQ(DebugLevel, 2);  // read, then set to 2 as always
}

class ShortDwordParameterTest : public kxtest::DriverTest {
protected:
    bool ConnectAgent() override { return false; }
    void BeforeLoad() override {
        machine().RegSetBinary(kxtest::kParametersKey, u"ProcessCreate", {0x01, 0x01});
    }
};

TEST_F(ShortDwordParameterTest, TwoByteValueIsZeroExtended) { EXPECT_EQ(Globals.ProcessCreateLog, 0x0101u); }

class NineByteParameterTest : public kxtest::DriverTest {
protected:
    bool ConnectAgent() override { return false; }
    void BeforeLoad() override {
        machine().RegSetBinary(kxtest::kParametersKey, u"ProcessCreate", std::vector<uint8_t>(9, 1));
    }
};

TEST_F(NineByteParameterTest, ValueBeyondTheQueryBufferLeavesTheDefault) {
    EXPECT_EQ(Globals.ProcessCreateLog, 0u);
}

}  // namespace
