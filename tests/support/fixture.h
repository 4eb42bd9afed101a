/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
// A list and a few timers driven through the library, with the tick count
// under the test's control. Every call checks its return value and how often
// it read the clock, then checks the whole list again.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <utility>

#include "list_check.h"
#include "stimer.h"
#include "test_clock.h"

// Placement beyond the 2^31-tick horizon is tested on the release build; the
// checked build reports it instead (checked_test.cpp).
#ifdef STIMER_TEST_CHECKED
#define SKIP_ON_CHECKED_BUILD() \
    GTEST_SKIP() << "beyond the horizon, which the checked build reports"
#else
#define SKIP_ON_CHECKED_BUILD() (void)0
#endif

class TimerTest : public ::testing::Test {
protected:
    static constexpr int kTimers = 8;

    running_timers list{};
    stimer t[kTimers]{};

    void SetUp() override
    {
        stimer_init_running_timers(&list);
        for (int i = 0; i < kTimers; ++i)
            stimer_init(&t[i], i, &t[i]);
        test_clock::now = 0;
        test_clock::reads = 0;
    }

    // Running timers are killed before the records go: the checked build
    // holds a test to that rule like any caller.
    void TearDown() override
    {
        for (stimer &timer : t)
            stimer_kill(&list, &timer);
    }

    void at(int64_t tick) { test_clock::now = tick; }

    void start(int i, int32_t timeout)
    {
        uint64_t before = test_clock::reads;
        EXPECT_EQ(stimer_start(&list, &t[i], timeout), 0);
        EXPECT_EQ(test_clock::reads, before + 1);
        verify();
    }

    void start_ex(int i, int32_t timeout, int tag)
    {
        uint64_t before = test_clock::reads;
        EXPECT_EQ(stimer_start_ex(&list, &t[i], timeout, tag), 0);
        EXPECT_EQ(test_clock::reads, before + 1);
        verify();
    }

    void kill(int i)
    {
        uint64_t before = test_clock::reads;
        stimer_kill(&list, &t[i]);
        EXPECT_EQ(test_clock::reads, before);
        EXPECT_TRUE(list_check::is_idle(t[i]));
        verify();
    }

    int64_t peek()
    {
        uint64_t before = test_clock::reads;
        int64_t fire = stimer_get_next_firing_time(&list);
        EXPECT_EQ(test_clock::reads, before);
        return fire;
    }

    // The index of the timer popped, or -1.
    int pop()
    {
        uint64_t before = test_clock::reads;
        bool empty = list.head.next == &list.head;
        stimer *fired = stimer_get_next_fired_timer(&list);
        EXPECT_EQ(test_clock::reads, before + (empty ? 0 : 1));
        verify();
        if (!fired)
            return -1;
        EXPECT_TRUE(list_check::is_idle(*fired));
        return static_cast<int>(fired - t);
    }

    std::vector<list_check::Entry> verify()
    {
        std::vector<list_check::Entry> entries;
        EXPECT_EQ(list_check::check(list, kTimers, true, &entries), "");
        for (const stimer &timer : t) {
            bool running = false;
            for (const auto &e : entries)
                running = running || e.timer == &timer;
            EXPECT_TRUE(running || list_check::is_idle(timer)) << "timer " << (&timer - t);
        }
        return entries;
    }

    // The list holds exactly these timers, in this order, with these deltas.
    void expect_list(int64_t base_time, std::initializer_list<std::pair<int, int32_t>> timers)
    {
        auto entries = verify();
        ASSERT_EQ(entries.size(), timers.size());
        EXPECT_EQ(list.base_time, base_time);
        std::size_t k = 0;
        for (auto [i, delta] : timers) {
            EXPECT_EQ(entries[k].timer, &t[i]) << "position " << k;
            EXPECT_EQ(entries[k].timer->delta, delta) << "position " << k;
            ++k;
        }
    }
};
