// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// The checked build stops each class of caller mistake at once, with one
// line that names the call, the rule and the likely cause. Each mistake runs
// in a child process (a death test) against a fresh list.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "stimer.h"
#include "test_clock.h"

namespace {

class Checked : public ::testing::Test {
protected:
    running_timers list, other;
    stimer t[4];

    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        test_clock::now = 1000;
        stimer_init_running_timers(&list);
        stimer_init_running_timers(&other);
        for (auto &timer : t)
            stimer_init(&timer, 0, nullptr);
    }

    // The records go away with the test: their timers go first.
    void TearDown() override
    {
        for (running_timers *l : {&list, &other})
            while (l->head.next != &l->head)
                stimer_kill(l, reinterpret_cast<stimer *>(l->head.next));
    }

    void arm_three()
    {
        for (int i = 0; i < 3; ++i)
            stimer_start(&list, &t[i], 10 * (i + 1));
    }
};

// ThreadSanitizer reports a read of freed memory in the instrumented
// library itself, before the checked build can; the other builds run these.
#if defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_TSAN() GTEST_SKIP() << "ThreadSanitizer reports the freed memory itself"
#else
#define SKIP_UNDER_TSAN() (void)0
#endif

const char kKeep[] =
    "Rule: neither is released, moved or copied while they are linked to each other";
const char kHorizon[] = "Rule: every difference between the firing times";

TEST_F(Checked, RecordsNeverInitialised)
{
    running_timers zeroed_list{};
    stimer zeroed{};
    EXPECT_DEATH(stimer_start(&zeroed_list, &t[0], 5),
                 "stimer: stimer_start\\(list=0x[0-9a-f]+, timer=0x[0-9a-f]+\\): the list is "
                 "zeroed.*Likely cause: "
                 "stimer_init_running_timers was never called on it\\.");
    EXPECT_DEATH(stimer_get_next_fired_timer(&zeroed_list),
                 "stimer_get_next_fired_timer.*the list is zeroed");
    EXPECT_DEATH(stimer_kill(&list, &zeroed),
                 "stimer_kill.*the timer is zeroed.*Rule: every pointer passed in");
    arm_three();
    EXPECT_DEATH(stimer_start(&list, &zeroed, 5), "stimer_start.*the timer is zeroed");
    EXPECT_DEATH(stimer_start(&other, &zeroed, 5),
                 "stimer_start.*the timer is zeroed"); // an empty list
    running_timers garbage;
    std::memset(&garbage, 0x5A, sizeof garbage);
    EXPECT_DEATH(
        stimer_get_next_firing_time(&garbage),
        "stimer_get_next_firing_time\\(list=.*no timer runs in this list.*never initialised");
}

TEST_F(Checked, RunningTimerGivenAnotherList)
{
    arm_three();
    EXPECT_DEATH(stimer_kill(&other, &t[2]), "stimer_kill.*the timer runs in list 0x[0-9a-f]+, not "
                                             "in this one\\. Rule: an operation on a "
                                             "running timer is given the list the timer is in");
    stimer_start(&other, &t[3], 5);
    EXPECT_DEATH(stimer_start(&list, &t[3], 5), "stimer_start.*runs in list.*not in this one");
    EXPECT_DEATH(stimer_start_ex(&list, &t[3], 5, 1),
                 "stimer_start_ex.*runs in list.*not in this one");
}

TEST_F(Checked, InitialisingRunningRecords)
{
    arm_three();
    EXPECT_DEATH(stimer_init(&t[1], 0, nullptr), "stimer_init.*the timer is running in list.*Rule: "
                                                 "a running timer is not passed to stimer_init");
    EXPECT_DEATH(stimer_init_running_timers(&list),
                 "stimer_init_running_timers.*the list still holds running timers.*Likely cause: "
                 "kill or collect");
}

TEST_F(Checked, RunningTimersCopiedOrMoved)
{
    SKIP_UNDER_TSAN();
    arm_three();
    stimer copy = t[1];
    EXPECT_DEATH(stimer_kill(&list, &copy),
                 "stimer_kill.*say that it runs, but no list holds it.*" + std::string(kKeep) +
                     ".*a copy or a move of a running timer");
    // An array of running timers moved elsewhere, the old one freed.
    EXPECT_DEATH(
        {
            auto *a = static_cast<stimer *>(std::malloc(3 * sizeof(stimer)));
            for (int i = 0; i < 3; ++i) {
                stimer_init(&a[i], i, nullptr);
                stimer_start(&other, &a[i], i);
            }
            auto *moved = static_cast<stimer *>(std::malloc(3 * sizeof(stimer)));
            std::memcpy(moved, a, 3 * sizeof(stimer));
            std::free(a);
            test_clock::now += 10;
            while (stimer_get_next_fired_timer(&other)) {
            }
        },
        "stimer_get_next_fired_timer.*(freed or dead memory|neither this list.s head nor a timer "
        "running in it|"
        "lead back)");
}

__attribute__((noinline)) void arm_on_stack(running_timers *list)
{
    stimer local;
    stimer_init(&local, 0, nullptr);
    stimer_start(list, &local, 15);
}

__attribute__((noinline)) void scribble()
{
    volatile unsigned char junk[512];
    for (auto &b : junk)
        b = 0x5A;
}

TEST_F(Checked, RunningTimersFreedOrOutOfScope)
{
    SKIP_UNDER_TSAN();
    arm_three();
    EXPECT_DEATH(
        {
            auto *heap = static_cast<stimer *>(std::malloc(sizeof(stimer)));
            stimer_init(heap, 0, nullptr);
            stimer_start(&list, heap, 1);
            std::free(heap);
            test_clock::now += 100;
            while (stimer_get_next_fired_timer(&list)) {
            }
        },
        "stimer_get_next_fired_timer.*" + std::string(kKeep));
    EXPECT_DEATH(
        {
            arm_on_stack(&list);
            scribble();
            stimer_start(&list, &t[3], 100); // the walk passes the dead timer
        },
        "stimer_start.*" + std::string(kKeep) + ".*went out of scope");
    EXPECT_DEATH(
        {
            std::memset(&t[1].link, 0x5A, sizeof t[1].link); // a stray write
            stimer_start(&list, &t[3], 100);
        },
        "stimer_start.*met 0x5a5a5a5a5a5a5a5a, which is neither this list's head nor a timer "
        "running in it");
    EXPECT_DEATH(
        {
            std::memset(&t[0].link.next, 0x5A, sizeof t[0].link.next); // the first timer's
            test_clock::now += 100;
            stimer_get_next_fired_timer(&list);
        },
        "stimer_get_next_fired_timer.*met 0x5a5a5a5a5a5a5a5a, which is neither");
}

TEST_F(Checked, BeyondTheHorizonAndClockGoingBack)
{
    stimer_start(&list, &t[0], 10);
    test_clock::now += 1000;
    // An overdue timer left in the list, then a timeout near 2^31.
    EXPECT_DEATH(stimer_start(&list, &t[1], INT32_MAX - 100),
                 "stimer_start.*the list would span [0-9]+ ticks.*" + std::string(kHorizon) +
                     ".*an overdue timer not collected");
    // The tick count jumps by 2^32, or the list is left undrained for 26 days.
    test_clock::now += int64_t{1} << 32;
    EXPECT_DEATH(stimer_start(&list, &t[1], 5),
                 "would span.*Likely cause: fired timers left in the list too long, "
                 "or a jump of the tick count");
    test_clock::now = 1000 + 26LL * 24 * 3600 * 1000;
    EXPECT_DEATH(stimer_start(&list, &t[1], 5), "would span");
    test_clock::now = 900;
    EXPECT_DEATH(stimer_get_next_fired_timer(&list),
                 "stimer_get_next_fired_timer.*the tick count went back from 1000 to 900\\. Rule: "
                 "the count never goes "
                 "backwards");
    test_clock::now = INT64_MAX - 5;
    EXPECT_DEATH(stimer_start(&other, &t[2], 10), "leaves the 64-bit tick range");
}

// A program that keeps the rules sees the same results as on the release
// build; the whole unit suite runs on this build too (stimer_tests_checked).
TEST_F(Checked, KeepingTheRulesIsQuiet)
{
    arm_three();
    stimer copy = t[1];
    (void)copy; // a copy that is never used harms nothing
    stimer_kill(&list, &t[3]);
    test_clock::now += 30;
    int fired = 0;
    while (stimer *done = stimer_get_next_fired_timer(&list)) {
        EXPECT_EQ(done, &t[fired]);
        ++fired;
    }
    EXPECT_EQ(fired, 3);
    stimer_init_running_timers(&list);
    stimer_init(&t[0], 1, nullptr);
}

} // namespace
