// The lists changed from several threads at once while others look names up. Two
// adds of one name racing each other must leave one entry, so that one delete
// takes the name out of force; lookups of names nobody touches never miss.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "driver/policy/lists.h"
#include "driver/policy/usb_exceptions.h"
#include "tests/support/driver_fixture.h"

namespace {

constexpr ULONG kPpsc = winsim::PoolTag("ppsc");
constexpr ULONG kOpsc = winsim::PoolTag("opsc");

ULONG Bytes(const std::u16string& s) { return static_cast<ULONG>(s.size() * sizeof(char16_t)); }

// Releases the threads of one round together, so that their adds of the round's
// name overlap as closely as the machine allows.
class StartLine {
public:
    explicit StartLine(int threads) : threads_(threads) {}
    void Wait() {
        const int round = round_.load();
        if (arrived_.fetch_add(1) + 1 == threads_) {
            arrived_.store(0);
            round_.store(round + 1);
            return;
        }
        // Spin rather than sleep, so the threads leave together; yield only
        // when another thread is slow to arrive (fewer cores than threads).
        for (unsigned spins = 0; round_.load() == round; ++spins) {
            if (spins > 100000) {
                std::this_thread::yield();
            }
        }
    }

private:
    const int threads_;
    std::atomic<int> arrived_{0};
    std::atomic<int> round_{0};
};

class ListsConcurrencyTest : public kxtest::DriverTest {
protected:
    bool ConnectAgent() override { return false; }
    void SetUp() override {
        DriverTest::SetUp();
        // Silent: the adds print nothing to compete over.
        WriteNoFence(&DebugLevel, 0);
    }

    // Every thread adds each round's name once, all starting together.
    template <typename Add>
    void RaceAdds(int threads, int rounds, const Add& add) {
        StartLine line(threads);
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                for (int r = 0; r < rounds; ++r) {
                    line.Wait();
                    add(r, t);
                }
            });
        }
        for (auto& w : workers) {
            w.join();
        }
    }
};

std::u16string PathName(int round) { return u"\\Device\\HarddiskVolume2\\dir" + std::u16string(1, u'a' + round % 26) +
                                            std::u16string(1, u'a' + round / 26 % 26) +
                                            std::u16string(1, u'a' + round / 676); }

TEST_F(ListsConcurrencyTest, RacingAddsOfOneNameMakeOneEntry) {
    // As many threads as the machine has cores: more would take turns on them
    // rather than race.
    constexpr int kThreads = 2;
    constexpr int kRounds = 2000;
    // Different letter cases are the same name.
    auto spelled = [](int r, int t) {
        std::u16string name = PathName(r);
        if (t % 2) {
            for (auto& c : name) {
                c = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
            }
        }
        return name;
    };
    RaceAdds(kThreads, kRounds, [&](int r, int t) {
        const std::u16string name = spelled(r, t);
        SetProtectPathEx(KxPathList, PG_PATH_BLACK, name.c_str(), Bytes(name));
    });
    RaceAdds(kThreads, kRounds, [&](int r, int t) {
        const std::u16string name = spelled(r, t);
        SetProcessPath(static_cast<ULONG>(1) << t, name.c_str(), Bytes(name));
    });
    EXPECT_EQ(machine().PoolAllocations(kPpsc), static_cast<size_t>(kRounds));
    EXPECT_EQ(machine().PoolAllocations(kOpsc), static_cast<size_t>(kRounds));

    // One delete takes each name out of force: no twin is left behind. The
    // trusted entry holds the bits of every thread's add.
    for (int r = 0; r < kRounds; ++r) {
        const std::u16string name = PathName(r);
        const std::u16string file = name + u"\\f.exe";
        ASSERT_EQ(FindProtectPath(KxPathList, KX_PATH_LOOKUP_MASK, file.c_str(), Bytes(file)), (ULONG)PG_PATH_BLACK);
        RemoveFirstProtectPath(KxPathList, PG_PATH_BLACK, name.c_str(), Bytes(name));
        ASSERT_EQ(FindProtectPath(KxPathList, KX_PATH_LOOKUP_MASK, file.c_str(), Bytes(file)), 0u) << r;

        ULONG type = 0;
        ASSERT_TRUE(IsAllowProcessName(file.c_str(), Bytes(file), &type));
        ASSERT_EQ(type, 0x3u) << r;
        DelProcessPath(0x3, name.c_str(), Bytes(name));
        ASSERT_FALSE(IsAllowProcessName(file.c_str(), Bytes(file), &type)) << r;
    }
    EXPECT_EQ(machine().PoolAllocations(kPpsc), 0u);
    EXPECT_EQ(machine().PoolAllocations(kOpsc), 0u);
}

// Names that stay listed are found by every lookup while other threads add,
// retype, remove and empty the same lists around them.
TEST_F(ListsConcurrencyTest, LookupsOfStableNamesNeverMissWhileListsChange) {
    const std::u16string stablePath = u"\\Device\\HarddiskVolume2\\Stable";
    const std::u16string stableFile = stablePath + u"\\x.txt";
    const std::u16string stableImage = u"\\Device\\HarddiskVolume2\\bin\\stable.exe";
    SetProtectPathEx(KxPathList, PG_PATH_BLACK, stablePath.c_str(), Bytes(stablePath));
    SetProcessPath(1, u"stable", Bytes(u"stable"));
    SetUsbDiskException("VEND", "STABLE", "", "");
    SetUsbPortException(BDC_USB, 0x1234, 0x5678, 0, u"STABLE");

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    // Writers: churn names that come after the stable ones in each list.
    threads.emplace_back([&] {
        for (int i = 0; i < 3000; ++i) {
            const std::u16string name = PathName(i % 50);
            SetProtectPathEx(KxPathList, (i % 3) ? PG_PATH_BLACK : 1, name.c_str(), Bytes(name));
            SetProtectPathEx(KxFileNameList, 1, name.c_str(), Bytes(name));
            if (i % 7 == 0) {
                RemoveFirstProtectPath(KxPathList, 1, name.c_str(), Bytes(name));
            }
            if (i % 97 == 0) {
                CleanupPathlistEx(KxFileNameList);
            }
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 3000; ++i) {
            const std::u16string name = u"tool" + std::u16string(1, u'a' + i % 20);
            SetProcessPath(1 | ((i % 2) << 5), name.c_str(), Bytes(name));
            if (i % 5 == 0) {
                DelProcessPath(1, name.c_str(), Bytes(name));
            }
            SetUsbDiskException("VEND", "CHURN", "", "1");
            DelUsbDiskExceptionList("VEND", "CHURN", "", "1");
            SetUsbPortException(BDC_USB, 0x1234, 0x9999, 0, u"C");
            DelUsbPortExceptionList(BDC_USB, 0x1234, 0x9999, u"C");
        }
    });
    // Readers.
    std::atomic<int> lookups{0};
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&] {
            while (!stop.load()) {
                ASSERT_EQ(FindProtectPath(KxPathList, KX_PATH_LOOKUP_MASK, stableFile.c_str(), Bytes(stableFile)),
                          (ULONG)PG_PATH_BLACK);
                ULONG type = 0;
                ASSERT_TRUE(IsAllowProcessName(stableImage.c_str(), Bytes(stableImage), &type));
                ASSERT_EQ(type, 1u);
                ASSERT_TRUE(FindUsbDiskException("VEND", "STABLE", "", "SN"));
                ASSERT_TRUE(FindUsbPortException(BDC_USB, 0x1234, 0x5678, u"STA"));
                lookups.fetch_add(1);
            }
        });
    }
    threads[0].join();
    threads[1].join();
    stop.store(true);
    for (size_t i = 2; i < threads.size(); ++i) {
        threads[i].join();
    }
    EXPECT_GT(lookups.load(), 0);
}

}  // namespace
