// Process-id state tables against a plain model: random sequences of every table
// operation over small ids, ids around 131072, and large and huge ids (any 32-bit
// value, multiples of 4 or not), compared after each step.
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/support/driver_fixture.h"

namespace {

constexpr ULONG kSmallLimit = 131072;
const ULONG kStates[] = {1, 2, 4, 8, 64};
const ULONG kNotStates[] = {0, 3, 16, 32, 65, 0x80000000};

// The tables as they have always answered: below 131072 an id shares its entry with
// the other three ids of its group of four; from 131072 up every value is its own.
class Model {
public:
    static ULONG Key(ULONG id) { return id < kSmallLimit ? (id & ~3u) : id; }
    static bool Valid(ULONG state) {
        for (ULONG s : kStates) {
            if (s == state) return true;
        }
        return false;
    }

    void Add(ULONG id, ULONG state) {
        if (Valid(state)) states_[Key(id)] |= state;
    }
    ULONG GetState(ULONG id) const {
        const ULONG held = Held(id);
        for (ULONG s : {1u, 2u, 4u, 8u}) {
            if (held & s) return s;
        }
        return 0;
    }
    ULONG IsProtect(ULONG id) const { return Held(id) & 64; }
    ULONG Remove(ULONG id) {
        const ULONG before = GetState(id);
        states_.erase(Key(id));
        return before;
    }
    ULONG RemoveState(ULONG id, ULONG state) {
        if (Valid(state)) Clear(Key(id), state);
        return state;
    }
    void ClearState(ULONG state) {
        if (!Valid(state)) return;
        for (auto it = states_.begin(); it != states_.end();) {
            it->second &= ~state;
            it = it->second ? std::next(it) : states_.erase(it);
        }
    }
    void ClearAll() { states_.clear(); }

    const std::map<ULONG, ULONG>& Entries() const { return states_; }

private:
    ULONG Held(ULONG id) const {
        auto it = states_.find(Key(id));
        return it == states_.end() ? 0 : it->second;
    }
    void Clear(ULONG key, ULONG state) {
        auto it = states_.find(key);
        if (it == states_.end()) return;
        it->second &= ~state;
        if (it->second == 0) states_.erase(it);
    }
    std::map<ULONG, ULONG> states_;
};

class ProcessIdModelTest : public kxtest::DriverTest {
protected:
    bool ConnectAgent() override { return false; }

    // A fixed population of ids, so operations keep meeting ids seen before.
    void MakeIds(std::mt19937& random) {
        auto any = [&] { return static_cast<ULONG>(random()); };
        for (int i = 0; i < 60; ++i) ids_.push_back(any() % kSmallLimit);
        for (int d = -12; d <= 12; ++d) ids_.push_back(kSmallLimit + d);
        // Busy-machine ids: consecutive multiples of 4, and clusters of neighbours.
        for (int i = 0; i < 60; ++i) ids_.push_back(kSmallLimit + 4 * (any() % 3000));
        for (int c = 0; c < 8; ++c) {
            const ULONG centre = kSmallLimit + 64 + any() % (0xFFFFFFFFu - kSmallLimit - 128);
            for (int i = 0; i < 10; ++i) ids_.push_back(centre + (any() % 64) - 32);
        }
        for (int i = 0; i < 40; ++i) {
            ULONG id = any();
            ids_.push_back(id < kSmallLimit ? id + kSmallLimit : id);
        }
        for (ULONG id : {0xFFFFFFFCu, 0xFFFFFFFDu, 0xFFFFFFFEu, 0xFFFFFFFFu, 0x80000000u, 0u, 4u, 8u}) {
            ids_.push_back(id);
        }
    }

    ULONG PickId(std::mt19937& random) {
        if (random() % 10 == 0) return static_cast<ULONG>(random());  // mostly a miss
        return ids_[random() % ids_.size()];
    }
    ULONG PickState(std::mt19937& random) {
        if (random() % 20 == 0) return kNotStates[random() % std::size(kNotStates)];
        return kStates[random() % std::size(kStates)];
    }

    // Both lookups of id and of the ids right around it agree with the model.
    void ExpectSame(const Model& model, ULONG id, const std::string& step) {
        for (ULONG delta = 0; delta < 9; ++delta) {
            const ULONG probe = id + delta - 4;  // wraps at both ends of the range
            ASSERT_EQ(PgGetPidState(probe), model.GetState(probe)) << step << " probe " << probe;
            ASSERT_EQ(PgIsProtectPid(probe), model.IsProtect(probe)) << step << " probe " << probe;
        }
    }

    void ExpectAllSame(const Model& model, const std::string& step) {
        for (const auto& [key, held] : model.Entries()) {
            ExpectSame(model, key, step);
            if (HasFatalFailure()) return;
        }
        for (ULONG id : ids_) {
            ExpectSame(model, id, step);
            if (HasFatalFailure()) return;
        }
    }

    // Memory follows the recorded large ids: none when there are none, and at most
    // 1 KB for each.
    void ExpectBoundedPool(const Model& model, const std::string& step) {
        size_t large = 0;
        for (const auto& entry : model.Entries()) {
            if (entry.first >= kSmallLimit) ++large;
        }
        const size_t bytes = machine().PoolBytes(KX_TAG_PID);
        if (large == 0) {
            ASSERT_EQ(bytes, 0u) << step;
        } else {
            ASSERT_LE(bytes, 1024 * large) << step;
        }
    }

    static std::string Id(ULONG id) { return std::to_string(static_cast<int>(id)); }

    std::vector<ULONG> ids_;
};

TEST_F(ProcessIdModelTest, RandomOperationsAnswerAsTheModel) {
    std::mt19937 random(20260805);
    MakeIds(random);
    Model model;
    PgClearAllPid();  // start-up recorded the always-trusted ids; begin from nothing
    constexpr int kSteps = 40000;
    for (int step = 0; step < kSteps; ++step) {
        const ULONG id = PickId(random);
        const ULONG state = PickState(random);
        const unsigned op = random() % 1000;
        std::string what = "step " + std::to_string(step) + ": ";
        machine().ClearDebugOutput();
        if (op < 400) {
            what += "add " + std::to_string(id) + " " + std::to_string(state);
            PgAddPid(id, state);
            model.Add(id, state);
            ASSERT_EQ(machine().DebugContains("kx4grd:PgAddPid: " + Id(id) + " " + Id(state) + " COMPLETE\n"),
                      Model::Valid(state))
                << what;
        } else if (op < 560) {
            what += "lookup " + std::to_string(id);
        } else if (op < 680) {
            what += "remove " + std::to_string(id);
            const ULONG expected = model.Remove(id);
            ASSERT_EQ(PgRemovePid(id), expected) << what;
            ASSERT_TRUE(machine().DebugContains("kx4grd:PgRemovePid: PgRemove " + Id(id) + " " + Id(expected) + "\n"))
                << what;
        } else if (op < 994) {
            what += "remove state " + std::to_string(id) + " " + std::to_string(state);
            ASSERT_EQ(PgRemovePidState(id, state), model.RemoveState(id, state)) << what;
            ASSERT_TRUE(machine().DebugContains("kx4grd:PgRemovePidState: " + Id(id) + " " + Id(state) + "\n"))
                << what;
        } else if (op < 999) {
            what += "clear state " + std::to_string(state);
            PgClearPidState(state);
            model.ClearState(state);
        } else {
            what += "clear all";
            PgClearAllPid();
            model.ClearAll();
        }
        ExpectSame(model, id, what);
        ASSERT_NO_FATAL_FAILURE(ExpectBoundedPool(model, what));
        if (HasFatalFailure()) return;
        if (step % 2000 == 1999) {
            ExpectAllSame(model, what);
            if (HasFatalFailure()) return;
            // Take every large id away, one at a time, in the model's order: the
            // storage must go with the last of them.
            for (const auto& [key, held] : std::map<ULONG, ULONG>(model.Entries())) {
                if (key < kSmallLimit) continue;
                if (held & 64) {
                    PgRemovePidState(key, 64);
                    model.RemoveState(key, 64);
                }
                ASSERT_EQ(PgRemovePid(key), model.Remove(key)) << what << " emptying " << key;
            }
            ASSERT_NO_FATAL_FAILURE(ExpectBoundedPool(model, what + " emptied"));
            ExpectAllSame(model, what + " emptied");
            if (HasFatalFailure()) return;
        }
    }
    ExpectAllSame(model, "end");
    PgClearAllPid();
    EXPECT_EQ(machine().PoolAllocations(KX_TAG_PID), 0u);
}

}  // namespace
