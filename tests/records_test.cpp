// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// The two initialisers.
#include <cstring>

#include "fixture.h"

TEST(Records, InitListMakesItEmptyAndLeavesBaseTime)
{
    running_timers list;
    std::memset(&list, 0xA5, sizeof list);
    list.base_time = 12345;
    stimer_init_running_timers(&list);
    EXPECT_EQ(list.head.next, &list.head);
    EXPECT_EQ(list.head.prev, &list.head);
    EXPECT_EQ(list.base_time, 12345);
    EXPECT_EQ(stimer_get_next_firing_time(&list), -1);
}

TEST(Records, InitTimerStoresCallerValuesAndLeavesDelta)
{
    stimer t;
    std::memset(&t, 0xA5, sizeof t);
    t.delta = 77;
    int payload;
    stimer_init(&t, 0x1AB, &payload);
    EXPECT_TRUE(list_check::is_idle(t));
    EXPECT_EQ(t.data, &payload);
    EXPECT_EQ(t.tag, 0xAB);
    EXPECT_EQ(t.user_word, 0);
    EXPECT_EQ(t.user_byte, 0);
    EXPECT_EQ(t.delta, 77);

    // Again while idle: the new values replace the old.
    t.user_word = 9;
    stimer_init(&t, -1, nullptr);
    EXPECT_TRUE(list_check::is_idle(t));
    EXPECT_EQ(t.data, nullptr);
    EXPECT_EQ(t.tag, 0xFF);
    EXPECT_EQ(t.user_word, 0);
}
