// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// The checked build's table of hints, compiled from its source and driven at
// random beside a std::unordered_map: a hint put is found until it is
// erased, through growth, shrinking and the shifts that erasure makes, with
// addresses scattered so that they collide, as neighbours in an array do not.
#include STIMER_CHECKED_SOURCE

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

namespace {

TEST(HintTable, FindsEachHintUntilItIsErased)
{
    checked::Table table{};
    std::unordered_map<const stimer *, uintptr_t> model;
    std::mt19937_64 random(7);
    auto found = [&](const stimer *t) {
        checked::Hint h{};
        table.find(t, &h);
        return h.timer ? reinterpret_cast<uintptr_t>(h.list) : 0;
    };
    for (int round = 0; round < 4; ++round) {
        size_t most = size_t{64} << (3 * round); // up to 32,768 at once
        for (int step = 0; step < 60000; ++step) {
            // 32-byte records in 1 MiB, where blocks of them meet often.
            auto *t = reinterpret_cast<const stimer *>((uintptr_t{1} << 40) +
                                                       (random() % (1 << 15)) * 32);
            bool grow = step < 30000 && model.size() < most;
            if (grow) {
                uintptr_t list = random() | 8;
                table.put(checked::Hint{t, reinterpret_cast<running_timers *>(list), nullptr, 0});
                model[t] = list;
            } else {
                table.erase(t);
                model.erase(t);
            }
            ASSERT_EQ(found(t), grow ? model[t] : 0) << "step " << step;
            if (step % 256 == 0)
                for (auto [kept, list] : model)
                    ASSERT_EQ(found(kept), list) << "step " << step;
        }
    }
}

} // namespace
