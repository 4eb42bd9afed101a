// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// stimer_class against a model that knows only when each member was last
// renewed: random renewals, moves between classes, removals and passes of
// the polling loop with handling time between the calls of a pass, beside a
// plain timer in the same list.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "list_check.h"
#include "stimer_class.h"
#include "test_clock.h"

namespace {

constexpr int kMembers = 64;
constexpr int kClasses = 2;
constexpr int32_t kTimeout[kClasses] = {50, 700};

TEST(Class, NoMemberExpiresEarlyAndEveryPassTakesAllThatAreDue)
{
    running_timers list;
    stimer_class classes[kClasses];
    stimer other;
    stimer_member members[kMembers];
    int in[kMembers];          // the class of each member, or -1
    int64_t renewed[kMembers]; // when, by the model's clock
    std::mt19937_64 rng(3);

    test_clock::now = (int64_t{1} << 32) - 3000; // a 32-bit wrap comes early
    stimer_init_running_timers(&list);
    list_check::Emptied emptied{list};
    for (int c = 0; c < kClasses; ++c)
        stimer_class_init(&classes[c], &list, kTimeout[c], 1, &classes[c]);
    stimer_init(&other, 2, nullptr);
    for (int i = 0; i < kMembers; ++i) {
        stimer_member_init(&members[i]);
        in[i] = -1;
    }

    for (int step = 0; step < 40000; ++step) {
        int i = static_cast<int>(rng() % kMembers);
        switch (rng() % 8) {
        case 0:
        case 1:
        case 2: { // activity; now and then a move to the other class
            int c = in[i] < 0 || rng() % 16 == 0 ? static_cast<int>(rng() % kClasses) : in[i];
            if (in[i] >= 0 && in[i] != c)
                stimer_class_remove(&classes[in[i]], &members[i]);
            stimer_class_renew(&classes[c], &members[i]);
            in[i] = c;
            renewed[i] = test_clock::now;
            break;
        }
        case 3:
            stimer_class_remove(&classes[in[i] < 0 ? 0 : in[i]], &members[i]);
            in[i] = -1;
            break;
        case 4:
            stimer_start(&list, &other, static_cast<int32_t>(rng() % 100));
            break;
        default: { // time passes, then one pass of the polling loop
            test_clock::now += static_cast<int64_t>(rng() % (rng() % 4 == 0 ? 900 : 20));
            int pops = 0;
            while (stimer *fired = stimer_get_next_fired_timer(&list)) {
                ASSERT_LT(++pops, 4 * kMembers) << "a pass that never ends at step " << step;
                if (fired == &other)
                    continue;
                int64_t now = test_clock::now;
                auto *tc = static_cast<stimer_class *>(fired->data);
                int c = static_cast<int>(tc - classes);
                while (stimer_member *m = stimer_class_expired(tc, now)) {
                    int k = static_cast<int>(m - members);
                    ASSERT_EQ(in[k], c) << "step " << step;
                    ASSERT_GE(now, renewed[k] + kTimeout[c]) << "member " << k << " expired early";
                    ASSERT_EQ(m->link.next, &m->link);
                    in[k] = -1;
                    // The caller's handling time, which the class's next
                    // arming must not add to the deadlines behind.
                    test_clock::now += rng() % 3 == 0 ? static_cast<int64_t>(rng() % 40) : 0;
                }
            }
            for (int k = 0; k < kMembers; ++k)
                ASSERT_TRUE(in[k] < 0 || renewed[k] + kTimeout[in[k]] > test_clock::now)
                    << "member " << k << " due at " << renewed[k] + kTimeout[in[k]]
                    << " was left in its class at " << test_clock::now;
            break;
        }
        }
        for (int c = 0; c < kClasses; ++c) {
            int has = 0, walked = 0;
            for (int k = 0; k < kMembers; ++k)
                has += in[k] == c;
            ASSERT_EQ(stimer_is_running(&classes[c].timer), has > 0) << "class " << c;
            // The walk: every member of the class once, in expiry order.
            int64_t last = INT64_MIN;
            for (stimer_member *m = stimer_class_walk(&classes[c], nullptr); m;
                 m = stimer_class_walk(&classes[c], m), ++walked) {
                ASSERT_TRUE(walked < has && in[m - members] == c && m->deadline >= last)
                    << "step " << step << ": class " << c << ", walked " << walked;
                last = m->deadline;
            }
            ASSERT_EQ(walked, has) << "step " << step << ": class " << c;
        }
        std::vector<list_check::Entry> timers;
        ASSERT_EQ(list_check::check(list, kClasses + 1, true, &timers), "") << "step " << step;
    }
}

} // namespace
