// Random operations on several lists, checked step by step against the
// reference model: order, firing times, results and clock reads.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "list_check.h"
#include "model.h"
#include "stimer.h"
#include "test_clock.h"

namespace {

constexpr int kLists = 4;
constexpr int kTimers = 48;

class RandomRun {
public:
    explicit RandomRun(uint64_t stream, int64_t start_tick) : rng_(stream)
    {
        test_clock::now = start_tick;
        for (auto &l : lists_)
            stimer_init_running_timers(&l);
        for (int i = 0; i < kTimers; ++i) {
            stimer_init(&timers_[i], i, nullptr);
            home_[i] = -1;
        }
    }

    // Runs until the first mismatch; returns false there.
    bool run(int ops)
    {
        for (int n = 0; n < ops; ++n) {
            step();
            if (!check())
                return false;
        }
        return true;
    }

private:
    int pick(int below) { return std::uniform_int_distribution<int>(0, below - 1)(rng_); }

    void expect_reads(uint64_t before, uint64_t count)
    {
        EXPECT_EQ(test_clock::reads, before + count);
    }

    void step()
    {
        int id = pick(kTimers);
        stimer *timer = &timers_[id];
        // A running timer is given the list it is in.
        int l = home_[id] >= 0 ? home_[id] : pick(kLists);
        running_timers *list = &lists_[l];
        uint64_t before = test_clock::reads;
        int op = pick(100);
        if (op < 40) {
            int32_t timeout = pick(8) == 0 ? -pick(100) : pick(4) == 0 ? pick(4) : pick(50000);
            if (op < 30) {
                EXPECT_EQ(stimer_start(list, timer, timeout), 0);
            } else {
                EXPECT_EQ(stimer_start_ex(list, timer, timeout, 1000 + op), 0);
                EXPECT_EQ(timer->tag, static_cast<uint8_t>(1000 + op));
            }
            expect_reads(before, 1);
            if (home_[id] >= 0)
                model_[l].kill(id);
            model_[l].start(id, test_clock::now + timeout, ++seq_);
            home_[id] = l;
        } else if (op < 55) {
            stimer_kill(list, timer);
            expect_reads(before, 0);
            if (home_[id] >= 0)
                model_[l].kill(id);
            home_[id] = -1;
        } else if (op < 65) {
            EXPECT_EQ(stimer_get_next_firing_time(list), model_[l].next_firing_time());
            expect_reads(before, 0);
        } else if (op < 90) {
            bool empty = model_[l].armed().empty();
            stimer *fired = stimer_get_next_fired_timer(list);
            expect_reads(before, empty ? 0 : 1);
            int expected = model_[l].pop(test_clock::now);
            EXPECT_EQ(fired, expected < 0 ? nullptr : &timers_[expected]);
            if (expected >= 0)
                home_[expected] = -1;
        } else if (op < 98) {
            test_clock::now += pick(3) == 0 ? pick(3) : pick(20000);
        } else if (home_[id] < 0) {
            stimer_init(timer, id, timer);
            expect_reads(before, 0);
        } else if (model_[l].armed().empty()) {
            stimer_init_running_timers(list);
        }
    }

    bool check()
    {
        std::vector<list_check::Entry> entries;
        for (int l = 0; l < kLists; ++l) {
            std::string error = list_check::check(lists_[l], kTimers, true, &entries);
            const auto &armed = model_[l].armed();
            EXPECT_EQ(error, "") << "list " << l;
            EXPECT_EQ(entries.size(), armed.size()) << "list " << l;
            if (!error.empty() || entries.size() != armed.size())
                return false;
            for (std::size_t k = 0; k < armed.size(); ++k) {
                EXPECT_EQ(entries[k].timer, &timers_[armed[k].id]) << "list " << l << " at " << k;
                EXPECT_EQ(entries[k].fire, armed[k].fire) << "list " << l << " at " << k;
                if (entries[k].timer != &timers_[armed[k].id] || entries[k].fire != armed[k].fire)
                    return false;
            }
        }
        for (int id = 0; id < kTimers; ++id)
            if (home_[id] < 0 && !list_check::is_idle(timers_[id])) {
                ADD_FAILURE() << "timer " << id << " should be idle";
                return false;
            }
        return !::testing::Test::HasFailure();
    }

    std::mt19937_64 rng_;
    running_timers lists_[kLists];
    stimer timers_[kTimers];
    ReferenceList model_[kLists];
    int home_[kTimers]; // the list a timer runs in, or -1 when idle
    uint64_t seq_ = 0;
};

struct Start {
    uint64_t stream;
    int64_t tick;
};

class Model : public ::testing::TestWithParam<Start> {};

TEST_P(Model, AgreesWithTheReferenceOverManyOperations)
{
    RandomRun run(GetParam().stream, GetParam().tick);
    EXPECT_TRUE(run.run(150000));
}

// Near zero, just below a 32-bit wrap, far below zero and near the top of
// the 64-bit range, where the lists' offsets and absolute ticks wrap.
INSTANTIATE_TEST_SUITE_P(StartTicks, Model,
                         ::testing::Values(Start{1, 0}, Start{2, (int64_t{1} << 32) - 100000},
                                           Start{3, -(int64_t{1} << 40)},
                                           Start{4, INT64_MAX - (int64_t{1} << 31)}));

// Lists on different threads share nothing: each thread runs its own lists
// and clock at once with the others. Meant for the ThreadSanitizer build.
TEST(Threads, IndependentListsRunConcurrently)
{
    std::vector<std::thread> threads;
    bool ok[4] = {};
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([i, &ok] {
            RandomRun run(100 + static_cast<uint64_t>(i), int64_t{i} << 33);
            ok[i] = run.run(30000);
        });
    for (auto &th : threads)
        th.join();
    for (bool b : ok)
        EXPECT_TRUE(b);
}

} // namespace
