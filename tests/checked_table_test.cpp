// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// The checked build's table of hints, compiled from its source and driven at
// random beside a std::unordered_map: a hint put is found until it is
// erased, through growth, shrinking and the shifts that erasure makes, with
// addresses scattered so that they collide, as neighbours in an array do not.
// And a signal handler that calls in while its thread is inside a table
// operation.
// The source's calls to mmap go through map_then_signal, which raises
// SIGUSR1 first when asked: the handler then runs while the table grows,
// with its lock held. Its own mmap is declared first, under its name.
#include <csignal>
#include <sys/mman.h>
void *map_then_signal(void *addr, size_t len, int prot, int flags, int fd, off_t off);
#define mmap map_then_signal
#include STIMER_CHECKED_SOURCE
#undef mmap

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

namespace {
volatile sig_atomic_t signal_in_next_map;
int maps;
} // namespace

void *map_then_signal(void *addr, size_t len, int prot, int flags, int fd, off_t off)
{
    ++maps;
    if (signal_in_next_map) {
        signal_in_next_map = 0;
        raise(SIGUSR1);
    }
    return mmap(addr, len, prot, flags, fd, off);
}

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

// Lists set up and emptied in turn move the count of hints up and down
// across the point where the table grows: it grows once and stays.
TEST(HintTable, ACountThatGoesUpAndDownMapsOnce)
{
    checked::Table table{};
    static stimer timers[64];
    for (stimer &t : timers)
        table.put(checked::Hint{&t, nullptr, nullptr, 0});
    int before = maps;
    for (int round = 0; round < 100; ++round) {
        for (int i = 0; i < 48; ++i)
            table.erase(&timers[i]);
        for (int i = 0; i < 48; ++i)
            table.put(checked::Hint{&timers[i], nullptr, nullptr, 0});
    }
    EXPECT_EQ(maps - before, 0);
    table.release();
}

// Waiting for the table would wait for ever, and changing it would corrupt
// it: the handler goes without, and the operation it interrupted ends as if
// the handler had not run.
TEST(HintTable, ASignalHandlerInsideAnOperationGoesWithout)
{
    static checked::Table table{};
    static stimer timers[256], other;
    static checked::Hint seen;
    auto *list = reinterpret_cast<const running_timers *>(uintptr_t{1} << 40);
    table.put(checked::Hint{&timers[0], list, nullptr, 0}); // maps the first slots
    std::signal(SIGUSR1, [](int) {
        table.put(checked::Hint{&other, nullptr, nullptr, 0});
        table.find(&timers[0], &seen);
        table.erase(&timers[0]);
    });
    signal_in_next_map = 1;
    size_t n = 1;
    while (signal_in_next_map && n < 256) // until the table grows
        table.put(checked::Hint{&timers[n++], list, nullptr, 0});
    std::signal(SIGUSR1, SIG_DFL);
    ASSERT_EQ(signal_in_next_map, 0) << "the table never grew";
    EXPECT_EQ(seen.timer, nullptr) << "the handler read the table";
    checked::Hint h{};
    table.find(&other, &h);
    EXPECT_EQ(h.timer, nullptr) << "the handler's hint was kept";
    for (size_t i = 0; i < n; ++i) {
        table.find(&timers[i], &h);
        EXPECT_EQ(h.timer, &timers[i]) << "timer " << i << " of " << n;
    }
}

} // namespace
