// CReporter's fetches against the real driver's event log: the growing GET_LOG
// buffer, partial drains of a large backlog, and the sizes it must refuse. The
// GET_LOG exchange goes straight to the driver's port on the simulated machine,
// answered as fltlib answers (a failure status as an HRESULT, the returned length
// only on success and warnings).
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "ctrl/diag_log.h"
#include "ctrl/reporter.h"
#include "tests/support/driver_fixture.h"

namespace {

std::mutex g_linesLock;
std::vector<std::u16string> g_lines;

void WINAPI CollectLine(LPCWSTR line) {
    std::lock_guard<std::mutex> lock(g_linesLock);
    g_lines.emplace_back(line);
}

std::vector<std::u16string> Lines() {
    std::lock_guard<std::mutex> lock(g_linesLock);
    return g_lines;
}

// fltlib's mapping of a driver status.
HRESULT AsHresult(NTSTATUS status) {
    if (status >= 0) {
        return S_OK;
    }
    switch (status) {
    case STATUS_BUFFER_OVERFLOW:
        return HRESULT_FROM_WIN32(ERROR_MORE_DATA);
    case STATUS_UNSUCCESSFUL:
        return HRESULT_FROM_WIN32(ERROR_GEN_FAILURE);
    default:
        return HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
    }
}

class ReporterDrainTest : public kxtest::DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        std::lock_guard<std::mutex> lock(g_linesLock);
        g_lines.clear();
    }

    // One GET_LOG on the agent's connection; records what the reporter asked for.
    HRESULT SendGetLog(PVOID reply, DWORD replySize, PDWORD returned) {
        sizesSent_.push_back(replySize);
        returnedOnEntry_.push_back(*returned);
        kxtest::RawMessage msg(GET_LOG);
        uint32_t bytes = 0;
        const NTSTATUS status = machine().SendMessage(connection_, msg.data(), msg.size(), reply, replySize, &bytes);
        if (status >= 0 || (static_cast<ULONG>(status) >> 30) == 2) {  // success or a warning
            *returned = bytes;
        }
        return AsHresult(status);
    }

    CReporter::LogSender Sender() {
        return [this](PVOID reply, DWORD replySize, PDWORD returned) { return SendGetLog(reply, replySize, returned); };
    }

    // Records no filter drops, numbered in a0 so their order shows in the lines.
    void Produce(ULONG n) {
        for (ULONG i = 0; i < n; ++i) {
            ASSERT_EQ(SetLog(nullptr, nullptr, LOG_PROCESS, i, 7, 0, u"\\x\\agent.exe", u"\\Device\\NoSuch\\f.txt"),
                      STATUS_SUCCESS);
        }
    }

    static std::u16string LineOf(ULONG i) {
        std::string digits = std::to_string(i);
        return u",LOG_PROCESS," + std::u16string(digits.begin(), digits.end()) + u",7,agent.exe(";
    }

    // Every line i carries record i, in order.
    void ExpectLinesInOrder(ULONG n) {
        const std::vector<std::u16string> lines = Lines();
        ASSERT_EQ(lines.size(), n);
        for (ULONG i = 0; i < n; ++i) {
            ASSERT_NE(lines[i].find(LineOf(i)), std::u16string::npos) << "line " << i;
        }
    }

    std::vector<DWORD> sizesSent_;
    std::vector<DWORD> returnedOnEntry_;
};

constexpr DWORD kSlack = 232096;
constexpr DWORD Reply(DWORD records) { return 8 + 2280 * records; }

TEST_F(ReporterDrainTest, AReporterThatIsNotRunningSendsNothing) {
    Produce(2);
    CReporter reporter(CollectLine, Sender());
    reporter.GetLog();
    EXPECT_TRUE(sizesSent_.empty());
    EXPECT_EQ(KxLogCount(), 2u);
}

TEST_F(ReporterDrainTest, TheBufferGrowsToWhatTheDriverAsksPlusSlackAndStays) {
    CReporter reporter(CollectLine, Sender());
    reporter.SetRunningForTesting(true);

    // No buffer yet: the driver names no size for a missing buffer, so the first
    // resize is to the slack alone; an empty log then fails the resend too.
    reporter.GetLog();
    EXPECT_EQ(sizesSent_, (std::vector<DWORD>{0, kSlack}));
    EXPECT_EQ(reporter.BufferSize(), kSlack);
    EXPECT_TRUE(Lines().empty());

    // Three records fit in the slack buffer: one send, no resize.
    Produce(3);
    sizesSent_.clear();
    reporter.GetLog();
    EXPECT_EQ(sizesSent_, (std::vector<DWORD>{kSlack}));
    ExpectLinesInOrder(3);
    EXPECT_EQ(KxLogCount(), 0u);

    // 200 records do not fit: the driver names their size, the buffer becomes that
    // plus the slack, and the resend takes them all. The buffer then stays.
    {
        std::lock_guard<std::mutex> lock(g_linesLock);
        g_lines.clear();
    }
    Produce(200);
    sizesSent_.clear();
    reporter.GetLog();
    EXPECT_EQ(sizesSent_, (std::vector<DWORD>{kSlack, Reply(200) + kSlack}));
    EXPECT_EQ(reporter.BufferSize(), Reply(200) + kSlack);
    ExpectLinesInOrder(200);
    EXPECT_EQ(KxLogCount(), 0u);
    Produce(1);
    sizesSent_.clear();
    reporter.GetLog();
    EXPECT_EQ(sizesSent_, (std::vector<DWORD>{Reply(200) + kSlack}));

    // Every send starts with nothing returned, whatever the previous one returned.
    EXPECT_TRUE(std::all_of(returnedOnEntry_.begin(), returnedOnEntry_.end(), [](DWORD r) { return r == 0; }));
}

TEST_F(ReporterDrainTest, ThousandAndOnePendingRecordsAreDrainedCompletely) {
    // Above 1000 waiting records a buffer that is too small is answered with what
    // fits (101 records in the slack buffer) and success, and the driver signals
    // again; the fetches that follow take the rest, none lost or repeated.
    CReporter reporter(CollectLine, Sender());
    reporter.SetRunningForTesting(true);
    Produce(1001);
    reporter.GetLog();
    EXPECT_EQ(reporter.BufferSize(), kSlack);
    EXPECT_EQ(Lines().size(), 101u);
    EXPECT_EQ(KxLogCount(), 900u);
    int fetches = 1;
    while (KxLogCount() != 0 && fetches < 20) {
        reporter.GetLog();
        ++fetches;
    }
    EXPECT_EQ(KxLogCount(), 0u);
    ExpectLinesInOrder(1001);
    EXPECT_EQ(reporter.BufferSize(), Reply(900) + kSlack);
    EXPECT_EQ(fetches, 2);
}

TEST_F(ReporterDrainTest, AnOverflowingSizeEndsTheFetchAndTheLogIsStillDrained) {
    // The first answer names a length so close to 4 GiB that adding the slack
    // overflows 32 bits: in 32-bit arithmetic that is a 99-byte buffer, which the
    // driver, above 1000 records, answers with success and no record, forever.
    Produce(1001);
    bool lied = false;
    CReporter reporter(CollectLine, [&](PVOID reply, DWORD replySize, PDWORD returned) {
        const HRESULT hr = SendGetLog(reply, replySize, returned);
        if (!lied && FAILED(hr)) {
            lied = true;
            *returned = 0xFFFFFFFFu - kSlack + 100;
        }
        return hr;
    });
    reporter.SetRunningForTesting(true);
    reporter.GetLog();
    EXPECT_EQ(sizesSent_.size(), 1u) << "the fetch ends at the overflowing size";
    EXPECT_EQ(reporter.BufferSize(), 0u);
    EXPECT_EQ(KxLogCount(), 1001u);

    int fetches = 0;
    while (KxLogCount() != 0 && fetches < 20) {
        reporter.GetLog();
        ++fetches;
    }
    EXPECT_EQ(KxLogCount(), 0u);
    ExpectLinesInOrder(1001);
}

TEST_F(ReporterDrainTest, RecordsAreReadOnlyAsFarAsTheBufferHoldsThem) {
    // A reply whose count claims more records than the buffer can hold.
    CReporter reporter(CollectLine, [&](PVOID reply, DWORD replySize, PDWORD returned) {
        sizesSent_.push_back(replySize);
        if (reply == nullptr) {
            *returned = Reply(1);
            return HRESULT_FROM_WIN32(ERROR_MORE_DATA);
        }
        std::memset(reply, 0, replySize);
        const ULONG count = 100000;
        std::memcpy(reply, &count, sizeof(count));
        for (DWORD offset = 8; offset + 2280 <= replySize; offset += 2280) {
            const ULONG code = LOG_PROCESS;
            std::memcpy(static_cast<BYTE*>(reply) + offset + 12, &code, sizeof(code));
        }
        return S_OK;
    });
    reporter.SetRunningForTesting(true);
    reporter.GetLog();
    ASSERT_EQ(reporter.BufferSize(), Reply(1) + kSlack);
    EXPECT_EQ(Lines().size(), (Reply(1) + kSlack - 8) / 2280);
}

TEST_F(ReporterDrainTest, ABufferThatCannotBeAllocatedEndsTheFetchAndTheNextRetries) {
    CReporter reporter(CollectLine, Sender());
    reporter.SetRunningForTesting(true);
    Produce(3);
    machine().FailUserCall(winsim::UserFault::VirtualAlloc);
    reporter.GetLog();
    EXPECT_EQ(sizesSent_, (std::vector<DWORD>{0}));
    EXPECT_EQ(reporter.BufferSize(), 0u);
    EXPECT_EQ(KxLogCount(), 3u);
    EXPECT_TRUE(Lines().empty());

    sizesSent_.clear();
    reporter.GetLog();
    EXPECT_EQ(sizesSent_, (std::vector<DWORD>{0, kSlack}));
    ExpectLinesInOrder(3);
}

TEST_F(ReporterDrainTest, WithoutACallbackTheLogIsStillDrained) {
    CReporter reporter(nullptr, Sender());
    reporter.SetRunningForTesting(true);
    Produce(5);
    reporter.GetLog();
    EXPECT_EQ(KxLogCount(), 0u);
    EXPECT_TRUE(Lines().empty());
}

}  // namespace
