// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// The arming walk beside a bare pointer chase over the same timers in the
// same order: the walk's goal is the speed of the chase. The timers are bare
// 32-byte records, so that 512 fit in L1 and 16k in L2; 2M shuffled ones
// miss every cache.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "stimer.h"

extern int64_t bench_now;

namespace {

// n running timers; arming one more behind all of them walks every one.
// Building the list arms in falling order, so each goes in front.
struct WalkList {
    std::unique_ptr<stimer[]> store;
    running_timers list;
    stimer extra;
    explicit WalkList(const benchmark::State &state)
        : store(new stimer[static_cast<std::size_t>(state.range(0))])
    {
        auto n = static_cast<std::size_t>(state.range(0));
        std::vector<std::size_t> order(n);
        for (std::size_t i = 0; i < n; ++i)
            order[i] = i;
        if (state.range(1))
            std::shuffle(order.begin(), order.end(), std::mt19937_64(42));
        bench_now = 0;
        stimer_init_running_timers(&list);
        stimer_init(&extra, 0, nullptr);
        for (std::size_t i = 0; i < n; ++i) {
            stimer *t = &store[order[i]];
            stimer_init(t, 0, nullptr);
            stimer_start(&list, t, static_cast<int32_t>(n - i));
        }
    }
};

void walk(benchmark::State &state)
{
    WalkList w(state);
    auto beyond = static_cast<int32_t>(state.range(0) + 1);
    for (auto _ : state) {
        stimer_start(&w.list, &w.extra, beyond);
        stimer_kill(&w.list, &w.extra);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void chase(benchmark::State &state)
{
    WalkList w(state);
    const stimer_link *head = &w.list.head;
    for (auto _ : state) {
        const stimer_link *p = head->next;
        while (p != head) {
            p = p->next;
            asm volatile("" : "+r"(p)); // keeps every step; costs no instruction
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Side by side, size by size.
void sizes(benchmark::internal::Benchmark *b)
{
    b->Args({512, 0})->Args({16384, 0})->Args({2097152, 1})->ArgNames({"n", "shuffled"});
}

BENCHMARK(walk)->Name("Walk/stimer_walk")->Apply(sizes);
BENCHMARK(chase)->Name("Walk/pointer_chase")->Apply(sizes);

} // namespace
