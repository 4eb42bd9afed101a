// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// stimer_queue against the sorted model of the list tests, which knows each
// entry's deadline and arming order: random armings (postponements, moves
// forward, equal deadlines), cancels and passes of the polling loop, with
// handling time, armings and cancels between the calls of a pass, beside a
// stimer_class and a plain timer in the same list.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <algorithm>
#include <vector>

#include "list_check.h"
#include "model.h"
#include "stimer_class.h"
#include "stimer_queue.h"
#include "test_clock.h"

namespace {

constexpr int kEntries = 200;

TEST(Queue, EntriesExpireAsTheModelSaysAndEveryPassTakesAllThatAreDue)
{
    running_timers list;
    stimer_queue q;
    stimer_class tc;
    stimer other;
    stimer_entry entries[kEntries];
    stimer_member member;
    int64_t member_deadline = 0;
    ReferenceList model;
    uint64_t seq = 0;
    std::mt19937_64 rng(7);
    std::memset(&q, 0xA5, sizeof q); // init must set every field it reads

    test_clock::now = (int64_t{1} << 32) - 3000; // a 32-bit wrap comes early
    stimer_init_running_timers(&list);
    list_check::Emptied emptied{list};
    stimer_queue_init(&q, &list, 1, &q);
    stimer_class_init(&tc, &list, 300, 2, &tc);
    stimer_init(&other, 3, nullptr);
    stimer_member_init(&member);
    for (stimer_entry &e : entries)
        stimer_entry_init(&e);

    // Up to 2^30 - 1, in every level of the wheel, or few distinct ones.
    auto ticks = [&] { return static_cast<int32_t>(rng() % (uint64_t{1} << (rng() % 31))); };
    auto arm = [&](int i) {
        // Few distinct deadlines, so that ties are common; now and then one
        // already due, or far off.
        uint64_t kind = rng() % 16;
        int32_t timeout = kind < 2   ? -static_cast<int32_t>(rng() % 3)
                          : kind < 3 ? ticks()
                                     : static_cast<int32_t>(rng() % (rng() % 2 ? 40 : 2000));
        stimer_queue_arm(&q, &entries[i], timeout);
        model.start(i, test_clock::now + timeout, seq++);
    };
    auto cancel = [&](int i) {
        stimer_queue_cancel(&q, &entries[i]);
        model.kill(i);
    };

    for (int step = 0; step < 30000; ++step) {
        // Now and then only a few entries are in play, so the queue empties.
        int i = static_cast<int>(rng() % (step / 1000 % 3 == 0 ? 3 : kEntries));
        bool drained = false; // the queue's timer, once drained, is armed exactly
        switch (rng() % 9) {
        case 0:
        case 1:
        case 2:
            arm(i);
            break;
        case 3:
            cancel(i);
            break;
        case 4:
            if (rng() % 2)
                stimer_start(&list, &other, static_cast<int32_t>(rng() % 100));
            else {
                stimer_class_renew(&tc, &member);
                member_deadline = test_clock::now + 300;
            }
            break;
        case 5: // time passes, and a shutdown drains both without their timers
            test_clock::now += static_cast<int64_t>(rng() % 400);
            while (stimer_entry *e = stimer_queue_expired(&q, test_clock::now))
                ASSERT_EQ(model.pop(test_clock::now), e - entries) << "step " << step;
            ASSERT_EQ(model.pop(test_clock::now), -1) << "step " << step;
            drained = true;
            while (stimer_member *m = stimer_class_expired(&tc, test_clock::now))
                ASSERT_TRUE(m == &member && test_clock::now >= member_deadline) << "step " << step;
            break;
        default: { // time passes, then one pass of the polling loop
            test_clock::now += rng() % 64 == 0
                                   ? ticks()
                                   : static_cast<int64_t>(rng() % (rng() % 4 == 0 ? 900 : 20));
            int pops = 0;
            while (stimer *fired = stimer_get_next_fired_timer(&list)) {
                ASSERT_LT(++pops, 4 * kEntries) << "a pass that never ends at step " << step;
                int64_t now = test_clock::now;
                if (fired == &tc.timer) {
                    while (stimer_member *m = stimer_class_expired(&tc, now))
                        ASSERT_TRUE(m == &member && now >= member_deadline) << "step " << step;
                    continue;
                }
                if (fired != &q.timer)
                    continue;
                while (stimer_entry *e = stimer_queue_expired(&q, now)) {
                    int k = static_cast<int>(e - entries);
                    ASSERT_EQ(model.pop(now), k) << "step " << step << ": not the earliest due";
                    ASSERT_FALSE(stimer_entry_is_armed(e));
                    test_clock::now += rng() % 3 == 0 ? static_cast<int64_t>(rng() % 50) : 0;
                    int j = static_cast<int>(rng() % kEntries);
                    switch (rng() % 4) { // what the caller does while it handles e
                    case 0:
                        arm(j);
                        break;
                    case 1:
                        cancel(j);
                        break;
                    case 2: // e again, never due within this pass
                        stimer_queue_arm(&q, e, 1 + static_cast<int32_t>(rng() % 100));
                        model.start(k, e->deadline, seq++);
                        break;
                    }
                }
                ASSERT_EQ(model.pop(now), -1) << "step " << step << ": a due entry was left";
                drained = true;
            }
            int64_t next = model.next_firing_time();
            ASSERT_TRUE(model.armed().empty() || next > test_clock::now)
                << "step " << step << ": an entry due at " << next << " outlived the pass at "
                << test_clock::now;
            ASSERT_TRUE(member.link.next == &member.link || member_deadline > test_clock::now)
                << "step " << step;
            break;
        }
        }
        ASSERT_EQ(stimer_is_running(&q.timer), !model.armed().empty()) << "step " << step;
        ASSERT_EQ(stimer_is_running(&tc.timer), member.link.next != &member.link)
            << "step " << step;
        if (!model.armed().empty()) {
            int64_t fires = stimer_firing_time(&list, &q.timer),
                    earliest = model.next_firing_time();
            ASSERT_TRUE(fires <= earliest && (!drained || fires > test_clock::now))
                << "step " << step << ": the timer fires at " << fires << ", the earliest entry at "
                << earliest;
        }
        std::size_t armed = 0;
        for (const stimer_entry &e : entries)
            armed += stimer_entry_is_armed(&e);
        ASSERT_EQ(armed, model.armed().size()) << "step " << step;
        // The walk, sorted by (deadline, order), is the order of expiry.
        std::vector<const stimer_entry *> walked;
        for (stimer_entry *e = stimer_queue_walk(&q, nullptr); e && walked.size() <= armed;
             e = stimer_queue_walk(&q, e))
            walked.push_back(e);
        std::sort(walked.begin(), walked.end(), [](auto *a, auto *b) {
            return a->deadline < b->deadline || (a->deadline == b->deadline && a->order < b->order);
        });
        ASSERT_EQ(walked.size(), armed) << "step " << step;
        for (std::size_t k = 0; k < armed; ++k) {
            const auto &a = model.armed()[k];
            ASSERT_TRUE(walked[k] == &entries[a.id] && entries[a.id].deadline == a.fire)
                << "step " << step << ": entry " << a.id << " is not " << k << "th in the walk";
        }
        std::vector<list_check::Entry> timers;
        ASSERT_EQ(list_check::check(list, 3, true, &timers), "") << "step " << step;
    }
}

// The wheel's own edges, which random timeouts seldom meet: one deadline
// armed far off (in a high level), then ever nearer (lower levels, down to
// level 0), and cascaded in between; deadlines on and around the first
// ticks of blocks; deadlines before the wheel's tick (negative timeouts
// right after a pass), armed out of order; long sleeps; and the ends of
// 2^32 and 2^36 ticks. Every entry must come out in the model's order, on
// the tick the model says, and a queue with one entry must need no more
// wakes than its levels.
TEST(Queue, EqualDeadlinesFromEveryLevelAndLateOnesExpireInArmingOrder)
{
    struct {
        stimer_queue q;
        stimer_entry entries[48]; // the first right after the queue's slots
    } s;
    running_timers list;
    ReferenceList model;
    uint64_t seq = 0;
    std::mt19937_64 rng(11);
    auto reset = [&](int64_t now) {
        test_clock::now = now;
        model = ReferenceList();
        stimer_init_running_timers(&list);
        stimer_queue_init(&s.q, &list, 0, nullptr);
        for (stimer_entry &e : s.entries)
            stimer_entry_init(&e);
    };
    auto arm = [&](int i, int64_t deadline) {
        stimer_queue_arm(&s.q, &s.entries[i], static_cast<int32_t>(deadline - test_clock::now));
        model.start(i, deadline, seq++);
    };
    // A pass, which now and then arms an entry due on its tick, or just
    // before: after those of the tick still to come, before the next tick.
    auto pass = [&](int64_t now) {
        test_clock::now = now;
        while (stimer_entry *e = stimer_queue_expired(&s.q, now)) {
            ASSERT_EQ(model.pop(now), e - s.entries) << "at " << now;
            if (rng() % 4 == 0)
                arm(static_cast<int>(rng() % 48), now - static_cast<int64_t>(rng() % 2));
        }
        ASSERT_EQ(model.pop(now), -1) << "at " << now;
    };
    for (int64_t start : {int64_t{1} << 32, int64_t{1} << 36, int64_t{5} << 18, int64_t{3} << 24,
                          -(int64_t{1} << 20)}) {
        for (int round = 0; round < 40; ++round) {
            SCOPED_TRACE(testing::Message() << "start " << start << " round " << round);
            reset(start - 300000 + static_cast<int64_t>(rng() % 50));
            // A few deadlines on and beside the first ticks of blocks.
            int64_t targets[4];
            for (int64_t &t : targets)
                t = start + (static_cast<int64_t>(rng() % 3) - 1) +
                    (int64_t{64} << (6 * (rng() % 3))) * static_cast<int64_t>(rng() % 3);
            while (test_clock::now < start + 300000) {
                int64_t d = targets[rng() % 4];
                if (rng() % 8 == 0) // before the wheel's tick, if the last pass reached now
                    d = test_clock::now - 1 - static_cast<int64_t>(rng() % 4);
                arm(static_cast<int>(rng() % 48), d);
                if (rng() % 4 == 0)
                    pass(test_clock::now);
                // Ever nearer: whole blocks or single ticks, to land on firsts.
                test_clock::now += static_cast<int64_t>(rng() % 2 ? rng() % 70 : rng() % 5000);
                if (rng() % 3 == 0)
                    pass(test_clock::now);
            }
            pass(test_clock::now + (int64_t{1} << 30)); // a long sleep takes the rest
            ASSERT_TRUE(model.armed().empty());
        }
    }
    // 58 or 59 ticks into a block of 64, a deadline 4,095 ahead is in the
    // 64th block of level 1 from now's, which level 1 cannot tell from
    // now's own, nor, from 123, level 2's block from now's block of level 1.
    for (int64_t offset : {123, 58}) {
        reset((int64_t{1} << 36) + offset);
        arm(0, test_clock::now + 4095);
        arm(1, test_clock::now + 10);
        arm(2, test_clock::now + 1);
        for (int64_t now = test_clock::now, end = now + 4095; now <= end; ++now)
            pass(now);
    }
    // One entry at a time: no more early wakes than levels above its own.
    for (int32_t timeout : {1, 63, 64, 4095, 4097, 262143, 300000, 1 << 30}) {
        int64_t from = (int64_t{1} << 36) - 5;
        reset(from);
        arm(0, from + timeout);
        int wakes = 0;
        while (stimer_is_running(&s.q.timer)) {
            test_clock::now = stimer_firing_time(&list, &s.q.timer);
            ASSERT_TRUE(stimer_get_next_fired_timer(&list));
            stimer_entry *e = stimer_queue_expired(&s.q, test_clock::now);
            ASSERT_TRUE(e ? test_clock::now == from + timeout : ++wakes <= 5)
                << "timeout " << timeout << ", " << wakes << " wakes";
        }
    }
}

} // namespace
