// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// stimer beside the timers of libuv and libevent, each used through its
// public API as its users use it, on one clock:
//   P1 churn:  n timers with timeouts of 1 to 1000 ticks; each operation
//              re-arms a random one, lets a tick pass and expires what is
//              due, re-arming each expired timer
//   P2 arm:    n idle timers armed with random timeouts (time per arm)
//   P3 drain:  n timers with random timeouts, all due (time per expiry)
//   P4 burst:  n timers due on one tick (time per expiry)
//   P5 idle:   n connections on one timeout of 2n ticks; each operation
//              renews a random one, lets a tick pass, and the connections
//              that went the whole timeout unread expire and reconnect
// A tick is a millisecond. Every library reads the same counter: stimer
// through TickGetCount, libuv and libevent through clock_gettime on the
// coarse monotonic clock, which this program defines in their place.
// Before anything is timed, every column runs each workload with its
// expiries recorded, and the run fails unless all expire the same timers on
// the same ticks.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#if HAVE_LIBUV
#include <uv.h>
#endif
#if HAVE_LIBEVENT
#include <event2/event.h>
#endif

#include "run.h"
#include "stimer.h"
#include "stimer_class.h"
#include "tovask.h"

namespace {

int64_t ticks;        // the clock of every column
uint64_t clock_reads; // how often any column read it

} // namespace

extern "C" int64_t TickGetCount(void)
{
    ++clock_reads;
    return ticks;
}

// The peers' clock. libuv's fast clock and libevent's default one are the
// coarse monotonic clock; any other clock, the benchmark's own timing
// among them, is the real one.
extern "C" int clock_gettime(clockid_t id, struct timespec *ts)
{
    static auto real =
        reinterpret_cast<int (*)(clockid_t, struct timespec *)>(dlsym(RTLD_NEXT, "clock_gettime"));
    if (id != CLOCK_MONOTONIC_COARSE)
        return real(id, ts);
    ++clock_reads;
    ts->tv_sec = ticks / 1000;
    ts->tv_nsec = ticks % 1000 * 1000000;
    return 0;
}

// libuv takes the coarse clock for its fast one only at 1 ms resolution.
extern "C" int clock_getres(clockid_t id, struct timespec *res)
{
    static auto real =
        reinterpret_cast<int (*)(clockid_t, struct timespec *)>(dlsym(RTLD_NEXT, "clock_getres"));
    if (id != CLOCK_MONOTONIC_COARSE)
        return real(id, res);
    *res = {0, 1000000};
    return 0;
}

namespace {

constexpr int64_t kStart = (int64_t{1} << 32) - 1000;

// Timeouts are a function of the timer and the tick, so that every column
// draws the same one whatever order it expires equal deadlines in.
int32_t timeout_for(int id, int64_t tick, int32_t most)
{
    uint64_t x = static_cast<uint64_t>(id) * 0x9E3779B97F4A7C15u ^ static_cast<uint64_t>(tick);
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9u;
    return static_cast<int32_t>((x ^ x >> 32) % static_cast<uint64_t>(most)) + 1;
}

// The expiries of a column, (tick, timer), sorted when compared.
using Log = std::vector<std::pair<int64_t, int>>;

// What a workload does when a timer expires, shared by every column.
struct Expiry {
    Log *log = nullptr; // when checking
    int32_t rearm = 0;  // 0: stay idle; > 0: timeouts up to this; < 0: exactly -rearm
};

// stimer through libstimer.so, a timer each.
struct Stimer {
    static constexpr const char *name = "stimer";
    running_timers list;
    std::unique_ptr<stimer[]> timers;
    Expiry on;
    explicit Stimer(int n)
        : timers(new stimer[static_cast<std::size_t>(n)])
    {
        stimer_init_running_timers(&list);
        for (int i = 0; i < n; ++i)
            stimer_init(&timers[i], 0, reinterpret_cast<void *>(static_cast<intptr_t>(i)));
    }
    ~Stimer()
    {
        while (list.head.next != &list.head)
            stimer_kill(&list, reinterpret_cast<stimer *>(list.head.next));
    }
    void tick() {}
    void arm(int i, int32_t timeout) { stimer_start(&list, &timers[i], timeout); }
    void expire();
};

// The idle pattern: a stimer_class holds the connections, one timer in all.
struct StimerClass {
    static constexpr const char *name = "stimer_class";
    running_timers list;
    stimer_class tc;
    Expiry on;
    std::unique_ptr<stimer_member[]> members;
    explicit StimerClass(int n)
        : members(new stimer_member[static_cast<std::size_t>(n)])
    {
        stimer_init_running_timers(&list);
        stimer_class_init(&tc, &list, 2 * n, 0, nullptr);
        for (int i = 0; i < n; ++i)
            stimer_member_init(&members[i]);
    }
    ~StimerClass() { stimer_kill(&list, &tc.timer); }
    void tick() {}
    void arm(int i, int32_t) { stimer_class_renew(&tc, &members[i]); }
    void expire();
};

#if HAVE_LIBUV
// libuv: a uv_timer_t each, the loop run without waiting.
struct Uv {
    static constexpr const char *name = "libuv";
    uv_loop_t loop;
    std::vector<uv_timer_t> timers; // sized once: a handle does not move
    Expiry on;
    explicit Uv(int n)
        : timers(static_cast<std::size_t>(n))
    {
        uv_loop_init(&loop);
        loop.data = this;
        for (int i = 0; i < n; ++i) {
            uv_timer_init(&loop, &timers[static_cast<std::size_t>(i)]);
            timers[static_cast<std::size_t>(i)].data =
                reinterpret_cast<void *>(static_cast<intptr_t>(i));
        }
    }
    ~Uv()
    {
        uv_walk(
            &loop, [](uv_handle_t *h, void *) { uv_close(h, nullptr); }, nullptr);
        uv_run(&loop, UV_RUN_DEFAULT);
        uv_loop_close(&loop);
    }
    static void fired(uv_timer_t *h);
    void tick() { uv_update_time(&loop); }
    void arm(int i, int32_t timeout)
    {
        uv_timer_start(&timers[static_cast<std::size_t>(i)], fired, static_cast<uint64_t>(timeout),
                       0);
    }
    void expire() { uv_run(&loop, UV_RUN_NOWAIT); }
};
#endif

#if HAVE_LIBEVENT
// libevent: an event each, with its own timeout or, for the idle pattern,
// a common timeout; the loop run once without waiting.
template <bool common>
struct Event {
    static constexpr const char *name = common ? "libevent_common" : "libevent";
    event_base *base;
    std::vector<event *> events;
    const timeval *shared = nullptr;
    Expiry on;
    explicit Event(int n)
        : events(static_cast<std::size_t>(n))
    {
        event_config *cfg = event_config_new();
        event_config_set_flag(cfg, EVENT_BASE_FLAG_NOLOCK);
        base = event_base_new_with_config(cfg);
        event_config_free(cfg);
        for (int i = 0; i < n; ++i)
            events[static_cast<std::size_t>(i)] =
                evtimer_new(base, fired, reinterpret_cast<void *>(static_cast<intptr_t>(i)));
        if (common) {
            timeval every{2 * n / 1000, 2 * n % 1000 * 1000};
            shared = event_base_init_common_timeout(base, &every);
        }
        current = this;
    }
    ~Event()
    {
        for (event *e : events)
            event_free(e);
        event_base_free(base);
    }
    static inline Event *current;
    static void fired(evutil_socket_t, short, void *arg);
    void tick() {}
    void arm(int i, int32_t timeout)
    {
        timeval tv{timeout / 1000, timeout % 1000 * 1000};
        evtimer_add(events[static_cast<std::size_t>(i)], common ? shared : &tv);
    }
    void expire() { event_base_loop(base, EVLOOP_NONBLOCK | EVLOOP_ONCE); }
};
#endif

template <class Lib>
inline void expired(Lib &lib, int id)
{
    if (lib.on.log)
        lib.on.log->emplace_back(ticks, id);
    if (lib.on.rearm)
        lib.arm(id, lib.on.rearm < 0 ? -lib.on.rearm : timeout_for(id, ticks, lib.on.rearm));
}

void Stimer::expire()
{
    while (stimer *t = stimer_get_next_fired_timer(&list))
        expired(*this, static_cast<int>(reinterpret_cast<intptr_t>(t->data)));
}

void StimerClass::expire()
{
    if (!stimer_get_next_fired_timer(&list))
        return;
    int64_t now = TickGetCount();
    while (stimer_member *m = stimer_class_expired(&tc, now))
        expired(*this, static_cast<int>(m - members.get()));
}

#if HAVE_LIBUV
void Uv::fired(uv_timer_t *h)
{
    expired(*static_cast<Uv *>(h->loop->data),
            static_cast<int>(reinterpret_cast<intptr_t>(h->data)));
}
#endif

#if HAVE_LIBEVENT
template <bool common>
void Event<common>::fired(evutil_socket_t, short, void *arg)
{
    expired(*current, static_cast<int>(reinterpret_cast<intptr_t>(arg)));
}
#endif

// The workloads. Each sets the clock and its columns up alike; op() is one
// timed operation.
struct Churn {
    static constexpr const char *name = "P1_churn";
    template <class Lib>
    static void setup(Lib &lib, int n)
    {
        lib.on.rearm = 1000;
        for (int i = 0; i < n; ++i)
            lib.arm(i, timeout_for(i, ticks, 1000));
    }
    template <class Lib>
    static void op(Lib &lib, int n, uint64_t k)
    {
        ++ticks;
        lib.tick();
        int i = static_cast<int>(k * 2654435761u % static_cast<uint64_t>(n));
        lib.arm(i, timeout_for(i, ticks, 1000));
        lib.expire();
    }
};

struct Idle {
    static constexpr const char *name = "P5_idle";
    // Connection i arrived i ticks after the first, so deadlines are spread.
    // A timer each of stimer is armed newest first, each in front of the
    // others, which leaves the same list in O(n) instead of O(n^2).
    template <class Lib>
    static void setup(Lib &lib, int n)
    {
        lib.on.rearm = -2 * n;
        int64_t start = ticks;
        for (int k = 0; k < n; ++k) {
            int i = std::is_same_v<Lib, Stimer> ? n - 1 - k : k;
            ticks = start - 2 * n + i;
            lib.tick();
            lib.arm(i, 2 * n);
        }
        ticks = start;
        lib.tick();
    }
    template <class Lib>
    static void op(Lib &lib, int n, uint64_t k)
    {
        int i = static_cast<int>(k * 2654435761u % static_cast<uint64_t>(n));
        lib.arm(i, 2 * n);
        ++ticks;
        lib.tick();
        lib.expire();
    }
};

// Arming n idle timers, then (untimed) letting them all expire.
struct Arm {
    static constexpr const char *name = "P2_arm";
    template <class Lib>
    static void fill(Lib &lib, int n)
    {
        for (int i = 0; i < n; ++i)
            lib.arm(i, timeout_for(i, ticks, 100000));
    }
    template <class Lib>
    static void empty(Lib &lib, int)
    {
        ticks += 100001;
        lib.tick();
        lib.expire();
    }
};

// Expiring n due timers with random timeouts, or all on one tick.
template <bool burst>
struct Drain {
    static constexpr const char *name = burst ? "P4_burst" : "P3_drain";
    // Untimed. stimer is given its timers latest first, each in front of
    // the others, which leaves the same list in O(n log n) instead of
    // O(n^2); a burst, all on one tick, has no such order.
    template <class Lib>
    static void fill(Lib &lib, int n)
    {
        std::vector<std::pair<int32_t, int>> order;
        for (int i = 0; i < n; ++i)
            order.emplace_back(burst ? 1 : timeout_for(i, ticks, 100000), i);
        if (std::is_same_v<Lib, Stimer>)
            std::sort(order.rbegin(), order.rend());
        for (auto [timeout, i] : order)
            lib.arm(i, timeout);
        ticks += burst ? 1 : 100001;
        lib.tick();
    }
    template <class Lib>
    static void empty(Lib &lib, int)
    {
        lib.expire();
    }
};

// Steady workloads: setup, then op() in the timed loop.
template <class W, class Lib>
void steady(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    ticks = kStart;
    Lib lib(n);
    W::setup(lib, n);
    uint64_t k = 0, reads = clock_reads;
    for (auto _ : state)
        W::op(lib, n, k++);
    state.SetItemsProcessed(state.iterations());
    state.counters["clock_reads"] = benchmark::Counter(static_cast<double>(clock_reads - reads),
                                                       benchmark::Counter::kAvgIterations);
}

// Batch workloads: the timed half is fill() for P2, empty() for P3 and P4.
template <class W, bool time_fill, class Lib>
void batch(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    ticks = kStart;
    Lib lib(n);
    for (auto _ : state) {
        if (!time_fill)
            state.PauseTiming();
        W::fill(lib, n);
        if (time_fill)
            state.PauseTiming();
        else
            state.ResumeTiming();
        W::empty(lib, n);
        if (time_fill)
            state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * n);
}

// The clock every column reads, through each path: its own cost per read.
void clock_cost(benchmark::State &state)
{
    timespec ts;
    for (auto _ : state) {
        benchmark::DoNotOptimize(TickGetCount());
        clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
        benchmark::DoNotOptimize(ts);
    }
    state.SetItemsProcessed(2 * state.iterations());
}

// The expiries of one column on a workload: ops steady operations, or one
// fill and empty.

template <class W, class Lib>
Log record(int n, int ops)
{
    ticks = kStart;
    Log log;
    Lib lib(n);
    lib.on.log = &log;
    if constexpr (requires { W::op(lib, n, 0); }) {
        W::setup(lib, n);
        for (int k = 0; k < ops; ++k)
            W::op(lib, n, static_cast<uint64_t>(k));
    } else {
        W::fill(lib, n);
        W::empty(lib, n);
    }
    std::sort(log.begin(), log.end());
    return log;
}

int failures;

// Checks the columns against the first, then registers them.
template <class W, class... Libs>
void compare(std::initializer_list<int> sizes, int ops)
{
    std::size_t total = 0;
    for (int n : sizes) {
        std::vector<std::pair<std::string, Log>> logs{{Libs::name, record<W, Libs>(n, ops)}...};
        total += logs.front().second.size();
        for (const auto &[name, log] : logs)
            if (log != logs.front().second) {
                std::printf("FAIL %s n=%d: %s expired %zu timers, %s %zu, not the same ones on "
                            "the same ticks\n",
                            W::name, n, name.c_str(), log.size(), logs.front().first.c_str(),
                            logs.front().second.size());
                ++failures;
            }
        std::printf(
            "ok   %s n=%d: %s expire the same %zu timers on the same ticks\n", W::name, n,
            [] {
                std::string all;
                for (const char *s : {Libs::name...})
                    all += all.empty() ? s : std::string(", ") + s;
                return all;
            }()
                .c_str(),
            logs.front().second.size());
    }
    if (total == 0) {
        std::printf("FAIL %s: no column expired anything, so nothing was compared\n", W::name);
        ++failures;
    }
}

template <class W, class Lib>
benchmark::internal::Benchmark *add(void (*fn)(benchmark::State &),
                                    std::initializer_list<int> sizes)
{
    auto *b = benchmark::RegisterBenchmark((std::string(W::name) + "/" + Lib::name).c_str(), fn);
    for (int n : sizes)
        b->Arg(n);
    return b->ArgName("n");
}

template <class... Libs>
struct Columns {
    template <class W>
    static void steady_all(std::initializer_list<int> sizes, int ops)
    {
        compare<W, Libs...>(sizes, ops);
        (add<W, Libs>(steady<W, Libs>, sizes), ...);
    }
    // One fill of 100,000 timers a repetition, and of those armed in the
    // timed loop one repetition: stimer takes most of a minute to arm them
    // with random timeouts, each behind those due sooner. 0 repetitions is
    // the command line's number.
    template <class W, bool time_fill>
    static void batch_all(std::initializer_list<int> sizes, int repetitions = 0)
    {
        for (auto *b : {add<W, Libs>(batch<W, time_fill, Libs>, sizes)...}) {
            b->Iterations(100000 / *sizes.begin());
            if (repetitions)
                b->Repetitions(repetitions);
        }
    }
};

#if HAVE_LIBUV
#define UV_COLUMN , Uv
#else
#define UV_COLUMN
#endif
#if HAVE_LIBEVENT
#define EVENT_COLUMN        , Event<false>
#define EVENT_COMMON_COLUMN , Event<true>
#else
#define EVENT_COLUMN
#define EVENT_COMMON_COLUMN
#endif

} // namespace

int main(int argc, char **argv)
{
#if !HAVE_LIBUV
    std::printf("left out: libuv, whose header or library was not found at build time "
                "(apt-get install libuv1-dev, then configure again)\n");
#endif
#if !HAVE_LIBEVENT
    std::printf("left out: libevent, whose header or library was not found at build time "
                "(apt-get install libevent-dev, then configure again)\n");
#endif
    std::string sizes = "stimer " + std::to_string(sizeof(stimer)) + ", stimer_member " +
                        std::to_string(sizeof(stimer_member)) + " and " +
                        std::to_string(sizeof(stimer_class)) + " a class";
#if HAVE_LIBUV
    sizes += ", libuv " + std::to_string(sizeof(uv_timer_t));
#endif
#if HAVE_LIBEVENT
    sizes += ", libevent " + std::to_string(event_get_struct_event_size());
#endif
    benchmark::AddCustomContext("bytes_per_timer", sizes);

    using All = Columns<Stimer UV_COLUMN EVENT_COLUMN>;
    All::steady_all<Churn>({1, 4, 16, 64, 256, 1024, 4096}, 3000);
    // Arming is checked as the fill of the drain, which it is.
    compare<Drain<false>, Stimer UV_COLUMN EVENT_COLUMN>({10000, 100000}, 0);
    compare<Drain<true>, Stimer UV_COLUMN EVENT_COLUMN>({100000}, 0);
    All::batch_all<Arm, true>({10000});
    All::batch_all<Arm, true>({100000}, 1);
    All::batch_all<Drain<false>, false>({10000});
    All::batch_all<Drain<false>, false>({100000});
    All::batch_all<Drain<true>, false>({100000});
    Columns<StimerClass UV_COLUMN EVENT_COMMON_COLUMN, Stimer>::steady_all<Idle>(
        {1000, 16000, 100000}, 3000);
    benchmark::RegisterBenchmark("clock/every_column", clock_cost);
    if (failures) {
        std::printf("FAIL %d workloads expire differently; nothing is timed\n", failures);
        return 1;
    }
    return run_registered(argc, argv);
}
