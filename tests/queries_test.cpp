// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// The earliest firing time and the fired timers, one a call.
#include "fixture.h"

#include <random>

using Queries = TimerTest;

TEST_F(Queries, EmptyListGivesSentinelsWithoutReadingTheClock)
{
    EXPECT_EQ(peek(), -1);
    EXPECT_EQ(pop(), -1);
    EXPECT_EQ(test_clock::reads, 0u);
}

TEST_F(Queries, FiresExactlyAtItsTick)
{
    at(100);
    start(0, 5);
    at(104);
    EXPECT_EQ(pop(), -1);
    expect_list(105, {{0, 0}});
    at(105);
    EXPECT_EQ(pop(), 0);
    EXPECT_EQ(peek(), -1);
}

TEST_F(Queries, PoppingAFirstWithANegativeDeltaRebases)
{
    at(100);
    start(0, 10);
    at(103);
    start(1, 7);
    start(2, 2);
    expect_list(110, {{2, -5}, {0, 5}, {1, 0}});
    EXPECT_EQ(peek(), 105);
    at(105);
    EXPECT_EQ(pop(), 2);
    expect_list(110, {{0, 0}, {1, 0}});
    EXPECT_EQ(pop(), -1);
}

TEST_F(Queries, LateQueryReturnsAllInListOrderThenNull)
{
    at(100);
    start(0, 10);
    start(1, 10);
    start(2, 50);
    expect_list(110, {{0, 0}, {1, 0}, {2, 40}});
    at(200);
    EXPECT_EQ(pop(), 0);
    expect_list(110, {{1, 0}, {2, 40}});
    EXPECT_EQ(pop(), 1);
    expect_list(150, {{2, 0}});
    EXPECT_EQ(pop(), 2);
    expect_list(150, {});
    EXPECT_EQ(pop(), -1);
}

TEST_F(Queries, TimerRearmedInsideThePopLoopComesBackAfterItsPeers)
{
    at(150);
    start(0, 50);
    start(1, 50);
    start(2, 40);
    start(3, 51);
    at(200);
    std::vector<int> order;
    for (int i; (i = pop()) >= 0;) {
        order.push_back(i);
        if (order.size() == 1)
            start(i, 0); // fires at 200 again, behind 0 and 1
    }
    EXPECT_EQ(order, (std::vector<int>{2, 0, 1, 2}));
    EXPECT_EQ(peek(), 201);
    at(201);
    EXPECT_EQ(pop(), 3);
}

TEST_F(Queries, ZeroAndNegativeTimeoutsFireAtTheNextQuery)
{
    at(1000);
    start(0, 5);
    start(1, 0);
    start(2, -30);
    EXPECT_EQ(peek(), 970);
    EXPECT_EQ(pop(), 2);
    EXPECT_EQ(pop(), 1);
    EXPECT_EQ(pop(), -1);
}

// A timer may fire at tick -1; the query then cannot be told from an empty
// list by its value alone, but the timer is still there and fires.
TEST_F(Queries, EarliestFiringTimeOfMinusOne)
{
    at(-11);
    start(0, 10);
    EXPECT_EQ(peek(), -1);
    at(-2);
    EXPECT_EQ(pop(), -1);
    at(-1);
    EXPECT_EQ(pop(), 0);
}

// The sleep a loop takes from the list: for ever only when it is empty (also
// with a timer due at tick -1), never negative, and clamped to an int.
TEST_F(Queries, PollTimeoutFromTheCallersNow)
{
    EXPECT_TRUE(stimer_list_is_empty(&list));
    EXPECT_EQ(stimer_poll_timeout(&list, 0), -1);
    at(-11);
    start(0, 10);
    EXPECT_FALSE(stimer_list_is_empty(&list));
    EXPECT_EQ(stimer_poll_timeout(&list, -11), 10);
    EXPECT_EQ(stimer_poll_timeout(&list, -1), 0);
    EXPECT_EQ(stimer_poll_timeout(&list, 500), 0);
    at(0);
    start(0, INT32_MAX);
    EXPECT_EQ(stimer_poll_timeout(&list, 1), INT_MAX - 1);
    EXPECT_EQ(stimer_poll_timeout(&list, -5), INT_MAX);
    EXPECT_EQ(test_clock::reads, 2u); // one a start, none here
}

TEST(ContainerOf, GivesBackTheRecordAroundAnEmbeddedTimer)
{
    struct job {
        char name[24];
        stimer timer;
    } j{};
    EXPECT_EQ(STIMER_CONTAINER_OF(&j.timer, struct job, timer), &j);
    const stimer *link_view = &j.timer;
    EXPECT_EQ(STIMER_CONTAINER_OF(link_view, struct job, timer), &j);
}

// A worked example, step by step: arming in front, a tie, a pop and a kill.
TEST_F(Queries, TheGuidesWorkedExample)
{
    enum { A, B, C, D };
    at(100);
    start(A, 30);
    expect_list(130, {{A, 0}});
    start(B, 10);
    expect_list(130, {{B, -20}, {A, 20}});
    start(C, 20);
    expect_list(130, {{B, -20}, {C, 10}, {A, 10}});
    at(105);
    start(D, 15);
    expect_list(130, {{B, -20}, {C, 10}, {D, 0}, {A, 10}});
    at(110);
    EXPECT_EQ(pop(), B);
    expect_list(120, {{C, 0}, {D, 0}, {A, 10}});
    at(111);
    kill(D);
    expect_list(120, {{C, 0}, {A, 10}});
}

// The periodic idiom: re-armed from its due time, not from when the caller
// got round to it, the timer keeps its period however late each wake-up.
TEST_F(Queries, PeriodicTimerRearmedFromItsDueTimeNeverDrifts)
{
    constexpr int64_t period = 100, origin = (int64_t{1} << 32) - 5000;
    std::mt19937 late(1);
    at(origin);
    start(0, period);
    for (int64_t k = 1; k <= 10000; ++k) {
        ASSERT_EQ(peek(), origin + k * period) << "period " << k;
        at(origin + k * period + static_cast<int64_t>(late() % period));
        ASSERT_EQ(pop(), 0);
        start(0, static_cast<int32_t>(origin + (k + 1) * period - test_clock::now));
    }
}
