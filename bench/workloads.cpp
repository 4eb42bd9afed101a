// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// The library beside the structures people pick instead (baselines.h), on
// the same workloads:
//   W1 steady state with a few timers and random timeouts (pop one, arm one)
//   W2 many identical timeouts, such as per-connection idle timers
//   W3 keep-alive: re-arm a random running timer
//   W4 cancel-heavy: arm one, cancel a random running one
//   W5 burst expiry: n timers fire on one tick (time per pop)
//   W6 peek at the earliest firing time
// each with nodes in address order and with shuffled addresses. Timeouts and
// picks are drawn before the timed loop, from one stream, so every structure
// sees the same operations; the harness benchmark times that loop alone.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <type_traits>

#include "baselines.h"
#include "run.h"
#include "stimer.h"
#include "tovask.h"

int64_t bench_now;

// The platform clock, as a plain load. The baselines read it as one, and
// so does the library once LTO inlines it, so that the columns differ only
// in the structure.
extern "C" int64_t TickGetCount(void)
{
    return bench_now;
}

namespace {

// The library through its C interface: in libstimer.so, or with
// STIMER_BENCH_LTO inlined from libstimer.a.
struct Stimer {
#if STIMER_BENCH_LTO
    static constexpr const char *name = "stimer_lto";
#else
    static constexpr const char *name = "stimer";
#endif
    using Node = stimer;
    running_timers list;
    Stimer()
    {
        stimer_init_running_timers(&list);
    }
    void start(Node *n, int32_t timeout)
    {
        stimer_start(&list, n, timeout);
    }
    void kill(Node *n)
    {
        stimer_kill(&list, n);
    }
};

int64_t peek(Stimer &q)
{
    return stimer_get_next_firing_time(&q.list);
}

stimer *pop(Stimer &q)
{
    return stimer_get_next_fired_timer(&q.list);
}

// Precomputed draws, used round-robin: a power of two, larger than any
// working set below so that the branch predictor cannot learn them.
constexpr std::size_t kDraws = 1 << 16;

template <class Q>
struct Setup {
    using Node = typename Q::Node;
    std::unique_ptr<Node[]> store;
    std::vector<Node *> nodes;
    std::vector<int32_t> timeouts;
    std::vector<uint32_t> picks; // node indices
    std::size_t next_timeout = 0, next_pick = 0;
    Q q;

    // n nodes, in address order or shuffled; timeouts uniform in [lo, hi].
    Setup(benchmark::State &state, int32_t lo, int32_t hi)
        : store(new Node[static_cast<std::size_t>(state.range(0))]())
        , nodes(static_cast<std::size_t>(state.range(0)))
        , timeouts(kDraws)
        , picks(kDraws)
    {
        for (std::size_t i = 0; i < nodes.size(); ++i)
            nodes[i] = &store[i];
        if (state.range(1))
            std::shuffle(nodes.begin(), nodes.end(), std::mt19937_64(42));
        if constexpr (std::is_same_v<Q, Stimer>)
            for (Node *n : nodes)
                stimer_init(n, 0, nullptr);
        std::mt19937_64 stream(7);
        for (std::size_t i = 0; i < kDraws; ++i) {
            timeouts[i] = std::uniform_int_distribution<int32_t>(lo, hi)(stream);
            picks[i] = static_cast<uint32_t>(stream() % nodes.size());
        }
        bench_now = (int64_t{1} << 32) - 1000;
    }
    int32_t draw() { return timeouts[next_timeout++ & (kDraws - 1)]; }
    void arm_all()
    {
        for (Node *node : nodes)
            q.start(node, draw());
    }
    // The walk's visits count from here on.
    void start_counting()
    {
        if constexpr (std::is_same_v<Q, SortedList>)
            q.visits = 0;
    }
    Node *pick() { return nodes[picks[next_pick++ & (kDraws - 1)]]; }
    std::size_t n() const { return nodes.size(); }
};

template <class Q>
void finish(benchmark::State &state, Setup<Q> &s, int64_t items_per_iteration = 1)
{
    state.SetItemsProcessed(state.iterations() * items_per_iteration);
    if constexpr (std::is_same_v<Q, SortedList>)
        // The delta list visits the same timers: both pass every timer that
        // fires no later than the new one, then stop on the next.
        state.counters["visits_per_arm"] =
            benchmark::Counter(static_cast<double>(s.q.visits), benchmark::Counter::kAvgIterations);
}

// W1: a few timers with random timeouts; pop the earliest, re-arm it.
template <class Q>
void w1_few(benchmark::State &state)
{
    Setup<Q> s(state, 1, 1000);
    s.arm_all();
    s.start_counting();
    for (auto _ : state) {
        bench_now = peek(s.q);
        s.q.start(pop(s.q), s.draw());
    }
    finish(state, s);
}

// The W1 loop with the structure taken out: the cost of the draws and the
// loop itself, which every column of W1 includes.
void harness(benchmark::State &state)
{
    Setup<SortedList> s(state, 1, 1000);
    for (auto _ : state) {
        benchmark::DoNotOptimize(bench_now);
        int32_t timeout = s.draw();
        benchmark::DoNotOptimize(timeout);
    }
    state.SetItemsProcessed(state.iterations());
}

// Arms every timer with one timeout, on successive ticks, as if one
// connection arrived each tick: timer i at tick now + i - timeout, so that
// the first is due now.
template <class Q>
void arm_one_a_tick(Setup<Q> &s, int32_t timeout)
{
    int64_t start = bench_now;
    // Filled newest first, each timer in front, which leaves the same state
    // as arming at the tail but in O(n).
    for (std::size_t i = s.n(); i-- > 0;) {
        bench_now = start + static_cast<int64_t>(i) - timeout;
        s.q.start(s.nodes[i], timeout);
    }
    bench_now = start;
}

// W2: every timer on one timeout, so that each arming goes behind all the
// others.
template <class Q>
void w2_identical(benchmark::State &state)
{
    Setup<Q> s(state, 0, 0);
    auto timeout = static_cast<int32_t>(s.n());
    arm_one_a_tick(s, timeout);
    s.start_counting();
    for (auto _ : state) {
        bench_now = peek(s.q);
        s.q.start(pop(s.q), timeout);
    }
    finish(state, s);
}

// W3: connections with idle timeouts of 1-2 s; traffic on a random one
// pushes its timer out again.
template <class Q>
void w3_keepalive(benchmark::State &state)
{
    Setup<Q> s(state, 1000, 2000);
    s.arm_all();
    s.start_counting();
    for (auto _ : state)
        s.q.start(s.pick(), 2000);
    finish(state, s);
}

// W4: requests that nearly always answer before their timeout: arm one with
// a timeout of 100 to 5000 ticks, cancel another.
template <class Q>
void w4_cancel(benchmark::State &state)
{
    Setup<Q> s(state, 100, 5000);
    for (std::size_t i = 0; i < s.n() / 2; ++i)
        s.q.start(s.nodes[i], s.draw());
    s.start_counting();
    for (auto _ : state) {
        s.q.start(s.pick(), s.draw());
        s.q.kill(s.pick());
    }
    finish(state, s);
}

// W5: n timers due on one tick, collected in one go; time per timer popped.
template <class Q>
void w5_burst(benchmark::State &state)
{
    Setup<Q> s(state, 0, 0);
    for (auto _ : state) {
        state.PauseTiming();
        for (auto *node : s.nodes)
            s.q.start(node, 1);
        ++bench_now;
        state.ResumeTiming();
        while (auto *fired = pop(s.q))
            benchmark::DoNotOptimize(fired);
    }
    finish(state, s, static_cast<int64_t>(s.n()));
}

// W6: how long until the next timer, with n running.
template <class Q>
void w6_peek(benchmark::State &state)
{
    Setup<Q> s(state, 1, 100000);
    s.arm_all();
    for (auto _ : state)
        benchmark::DoNotOptimize(peek(s.q));
    finish(state, s);
}

void sizes(benchmark::internal::Benchmark *b, std::initializer_list<int64_t> ns)
{
    for (int64_t n : ns)
        for (int64_t shuffled : {0, 1})
            b->Args({n, shuffled});
    b->ArgNames({"n", "shuffled"});
}

// The LTO build runs the workloads where the cost of a call shows, W1, W5
// and W6, with the structures that W1 compares it to.
template <class Q>
void register_all()
{
    std::string name = Q::name;
    auto add = [&name](const char *work, void (*fn)(benchmark::State &),
                       std::initializer_list<int64_t> ns) {
        sizes(benchmark::RegisterBenchmark((std::string(work) + "/" + name).c_str(), fn), ns);
    };
    add("W1_few", w1_few<Q>, {1, 4, 16, 64});
    if (!STIMER_BENCH_LTO) {
        add("W2_identical", w2_identical<Q>, {64, 1024, 16384, 262144});
        add("W3_keepalive", w3_keepalive<Q>, {1024});
        add("W4_cancel", w4_cancel<Q>, {1024});
    }
    add("W5_burst", w5_burst<Q>, {1024});
    add("W6_peek", w6_peek<Q>, {1024});
}

} // namespace

int main(int argc, char **argv)
{
    sizes(benchmark::RegisterBenchmark("W1_few/harness", harness), {1, 4, 16, 64});
    register_all<Stimer>();
    register_all<SortedList>();
#if !STIMER_BENCH_LTO
    register_all<MultiMap>();
#if HAVE_BOOST_INTRUSIVE
    register_all<BoostSet>();
#endif
#endif
    return run_registered(argc, argv);
}
