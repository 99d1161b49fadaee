// Several threads at once through the dispatcher, the event log and the id tables.
// These also run under ThreadSanitizer.
#include <atomic>
#include <thread>

#include "tests/support/driver_fixture.h"

using kxtest::RawMessage;

namespace {

class ConcurrencyTest : public kxtest::DriverTest {};

TEST_F(ConcurrencyTest, ProducersAndOneDrainerLoseNothing) {
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 300;
    std::atomic<int> producersLeft{kProducers};
    std::atomic<uint64_t> drained{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kProducers; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerProducer; ++i) {
                std::u16string path = u"\\Device\\HarddiskVolume2\\t" + std::u16string(1, u'0' + t);
                EXPECT_EQ(SetLog(nullptr, nullptr, LOG_PROCESS, t, i, 0, u"\\p.exe", path.c_str()), STATUS_SUCCESS);
            }
            producersLeft--;
        });
    }
    std::vector<int> lastSeen(kProducers, -1);
    std::vector<uint8_t> out(8 + 50 * 2280);
    for (;;) {
        const bool done = producersLeft.load() == 0;
        RawMessage msg(GET_LOG);
        kxtest::Reply reply = Send(msg, out.data(), static_cast<uint32_t>(out.size()));
        if (reply.status == STATUS_SUCCESS) {
            const uint32_t n = kxtest::ReplyCount(out);
            for (uint32_t i = 0; i < n; ++i) {
                EVENT_RECORD r = kxtest::RecordAt(out, i);
                ASSERT_LT(r.a0, (ULONG)kProducers);
                // Each producer's records arrive in the order it made them.
                EXPECT_EQ((int)r.a1, lastSeen[r.a0] + 1);
                lastSeen[r.a0] = (int)r.a1;
            }
            drained += n;
        } else if (reply.status == STATUS_BUFFER_OVERFLOW) {
            out.resize(reply.bytesReturned);
        } else if (done) {
            break;
        } else {
            std::this_thread::yield();
        }
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(drained.load(), (uint64_t)kProducers * kPerProducer);
}

TEST_F(ConcurrencyTest, DuplicateFilterUnderContentionAdmitsEachPathOnce) {
    // Within one window every thread offers the same two records; each must be
    // admitted exactly once however the threads interleave.
    constexpr int kThreads = 4;
    std::atomic<int> admitted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const char16_t* path = (t % 2) ? u"\\Device\\HarddiskVolume5\\b" : u"\\Device\\HarddiskVolume5\\a";
                ULONG device = (t % 2) ? BDC_EXTERNALHDD : BDC_USB_DISK;
                if (SetLog(nullptr, nullptr, POLICY, device, DISABLE, 0, u"\\w.exe", path) == STATUS_SUCCESS) {
                    admitted++;
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(admitted.load(), 2);
}

TEST_F(ConcurrencyTest, CommandsFromManyClientsAtOnce) {
    constexpr int kClients = 4;
    std::vector<winsim::PortConnection*> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(Connect(agent_));
    }
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            for (int i = 0; i < 200; ++i) {
                RawMessage policy(SET_POLICY);
                policy.DeviceType((c * 7 + i) % 31).PolicyState(i % 3).Log(i % 2);
                EXPECT_EQ(SendOn(clients[c], policy).status, STATUS_SUCCESS);
                RawMessage pid(SET_PROCESS_PROTECT_PID);
                pid.Value(1000 + 4 * (c * 1000 + i));
                EXPECT_EQ(SendOn(clients[c], pid).status, STATUS_SUCCESS);
                RawMessage start(i % 2 ? START : STOP);
                EXPECT_EQ(SendOn(clients[c], start).status, STATUS_SUCCESS);
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    for (int c = 0; c < kClients; ++c) {
        for (int i = 0; i < 200; ++i) {
            ASSERT_EQ(PgIsProtectPid(1000 + 4 * (c * 1000 + i)), 64u);
        }
    }
}

TEST_F(ConcurrencyTest, ConnectAndDisconnectRaces) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                winsim::PortConnection* c = nullptr;
                NTSTATUS status = machine().ConnectPort(agent_, KX4GRD_PORT_NAME, &c);
                if (NT_SUCCESS(status)) {
                    RawMessage start(START);
                    EXPECT_EQ(SendOn(c, start).status, STATUS_SUCCESS);
                    machine().ClosePort(c);
                } else {
                    EXPECT_EQ(status, STATUS_CONNECTION_COUNT_LIMIT);
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    // The fixture's own client never left: it still controls the driver.
    EXPECT_EQ(Globals.ControlProcess, agent_);
}

TEST_F(ConcurrencyTest, IdTablesFromManyThreads) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (ULONG i = 0; i < 500; ++i) {
                const ULONG small = 10000 + 4 * (t * 500 + i);
                const ULONG large = 200000 + 4 * (t * 500 + i);
                PgAddPid(small, 2);
                PgAddPid(large, 64);
                EXPECT_EQ(PgGetPidState(small), 2u);
                EXPECT_EQ(PgIsProtectPid(large), 64u);
                if (i % 2) {
                    PgRemovePid(large);
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    PgClearAllPid();
    EXPECT_EQ(machine().PoolAllocations(KX_TAG_PID), 0u);
}

}  // namespace
