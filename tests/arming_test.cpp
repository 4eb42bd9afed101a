// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// Arming, re-arming and cancelling: where a timer goes, what its neighbours
// and the list's base_time become, and how the tick arithmetic wraps.
#include <cstring>

#include "fixture.h"

using Arming = TimerTest;

TEST_F(Arming, PlacesByFiringTimeAndKeepsArmingOrderOnTies)
{
    at(100);
    start(0, 10);
    expect_list(110, {{0, 0}});
    at(103);
    start(1, 7); // fires at 110 too: behind the first
    expect_list(110, {{0, 0}, {1, 0}});
    start(2, 2); // fires at 105: in front, base_time stays
    expect_list(110, {{2, -5}, {0, 5}, {1, 0}});
    start(3, 7); // 110 again: behind both timers of that tick
    expect_list(110, {{2, -5}, {0, 5}, {1, 0}, {3, 0}});
    start(4, 8);
    expect_list(110, {{2, -5}, {0, 5}, {1, 0}, {3, 0}, {4, 1}});
}

TEST_F(Arming, RearmingTheFirstRebasesBeforeTheWalk)
{
    start(0, 10);
    start(1, 20);
    expect_list(10, {{0, 0}, {1, 10}});
    at(5);
    start(0, 30);
    expect_list(20, {{1, 0}, {0, 15}});
    at(6);
    start(1, 29); // the same firing time as timer 0: goes behind it
    expect_list(35, {{0, 0}, {1, 0}});
}

TEST_F(Arming, RearmingTheOnlyTimerMeasuresFromNow)
{
    at(100);
    start(0, 50);
    expect_list(150, {{0, 0}});
    at(120);
    start(0, 5);
    expect_list(125, {{0, 0}});
    EXPECT_EQ(peek(), 125);
}

// A keep-alive re-armed long before it fires, for 2^33 ticks: base_time must
// follow it, or now - base_time leaves the 32-bit range and it fires early.
TEST_F(Arming, KeepAliveNeverFiresOverManyHorizons)
{
    const int32_t timeout = 1 << 24;
    for (int64_t now = 0; now <= (int64_t{1} << 33); now += 1 << 22) {
        at(now);
        ASSERT_EQ(pop(), -1) << "at tick " << now;
        start(0, timeout);
        ASSERT_EQ(peek(), now + timeout);
    }
}

TEST_F(Arming, KillHandsTheDeltaOnAndRebases)
{
    for (int i = 0; i < 4; ++i)
        start(i, 10 * (i + 1));
    expect_list(10, {{0, 0}, {1, 10}, {2, 10}, {3, 10}});
    kill(1);
    expect_list(10, {{0, 0}, {2, 20}, {3, 10}});
    kill(3);
    expect_list(10, {{0, 0}, {2, 20}});
    kill(0);
    expect_list(30, {{2, 0}});
    kill(2);
    expect_list(30, {});
    start(2, 5); // the emptied list takes a fresh base_time
    expect_list(5, {{2, 0}});
}

TEST_F(Arming, KillOfAnIdleTimerChangesNothing)
{
    start(0, 10);
    start(1, 20);
    running_timers list_before = list;
    stimer timers_before[kTimers];
    std::memcpy(timers_before, t, sizeof t);
    kill(5);
    EXPECT_EQ(std::memcmp(&list_before, &list, sizeof list), 0);
    EXPECT_EQ(std::memcmp(timers_before, t, sizeof t), 0);
}

TEST_F(Arming, StartExStoresTheTagFirstAlsoWhenRunning)
{
    start(0, 10);
    start_ex(1, 5, 0x142);
    EXPECT_EQ(t[1].tag, 0x42);
    expect_list(10, {{1, -5}, {0, 5}});
    start_ex(1, 20, 7);
    EXPECT_EQ(t[1].tag, 7);
    expect_list(10, {{0, 0}, {1, 10}});
    EXPECT_EQ(t[1].data, &t[1]);
}

TEST_F(Arming, WrapsDifferencesBeyondThirtyTwoBits)
{
    SKIP_ON_CHECKED_BUILD();
    start(0, 15);
    at((int64_t{1} << 32) + 5);
    start(1, 1); // (5 - 15) + 1 in 32 bits: -9
    expect_list(15, {{1, -9}, {0, 9}});
    EXPECT_EQ(peek(), 6);
}

// The extremes of both widths. A sanitizer build must stay silent here.
TEST_F(Arming, ExtremeTimeoutsAndTicksWrapWithoutOverflow)
{
    SKIP_ON_CHECKED_BUILD();
    at(INT64_MAX - 5);
    start(0, INT32_MAX);
    EXPECT_EQ(list.base_time, INT64_MIN + INT32_MAX - 6);
    start(1, INT32_MIN); // rel wraps from -2^31 - (2^31 - 1) to 1
    expect_list(INT64_MIN + INT32_MAX - 6, {{0, 0}, {1, 1}});
    kill(0);
    expect_list(INT64_MIN + INT32_MAX - 5, {{1, 0}});
    at(INT64_MIN);
    start(2, INT32_MIN); // rel: 0 - (2^31 - 6) - 2^31 wraps to 6
    expect_list(INT64_MIN + INT32_MAX - 5, {{1, 0}, {2, 6}});
}
