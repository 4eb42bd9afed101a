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
//   P6 mixed:  one loop with 300 timers on their own timeouts, 2 x 100
//              connections on two shared timeouts and 8 one-off timers;
//              each operation re-arms one of the first, renews one
//              connection of each timeout, now and then arms a one-off,
//              lets a tick pass and expires what is due
//   P7 re-arm: n timers with timeouts of 1 to 100,000 ticks; each pass
//              lets a tick pass, expires what is due and re-arms every
//              timer with a new timeout (time per re-arm)
// stimer runs each as its users would: a timer each (the list), a
// stimer_queue, stimer_class for shared timeouts, and in P6 all three in
// one list.
// A tick is a millisecond. Every library reads the same counter: stimer
// through TickGetCount, libuv and libevent through clock_gettime on the
// coarse monotonic clock, which this program defines in their place. The
// peers' loops poll with epoll_wait, which this program also defines: it
// counts the call and returns no event at once, so that no column pays a
// system call that the others do not.
// Before anything is timed, every column runs each workload with its
// expiries recorded, and the run fails unless all expire the same timers on
// the same ticks.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <sys/epoll.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// libev first: libevent and elf.h define as macros some names that ev.h
// declares.
#if HAVE_LIBEV
#include "peer_libev.h"
#include <link.h>
#endif
#include "peer_stimer.h"
#if HAVE_LIBUV
#include "peer_libuv.h"
#endif
#if HAVE_LIBEVENT
#include "peer_libevent.h"
#endif
#include "peers.h"
#include "run.h"

using peers::clock_reads;
using peers::polls;
using peers::ticks;

// The peers' poll for events: none, at once.
extern "C" int epoll_wait(int, struct epoll_event *, int, int)
{
    ++polls;
    return 0;
}

extern "C" int epoll_pwait(int, struct epoll_event *, int, int, const sigset_t *)
{
    ++polls;
    return 0;
}

extern "C" int64_t TickGetCount(void)
{
    ++clock_reads;
    return ticks;
}

#if HAVE_LIBEV
// Whether an address is in libev's code, whose bounds are found once.
static bool in_libev(const void *address)
{
    static const auto code = [] {
        std::pair<uintptr_t, uintptr_t> found{0, 0};
        dl_iterate_phdr(
            [](dl_phdr_info *info, size_t, void *out) {
                auto *range = static_cast<std::pair<uintptr_t, uintptr_t> *>(out);
                auto probe = reinterpret_cast<uintptr_t>(&ev_run);
                for (int i = 0; i < info->dlpi_phnum; ++i) {
                    const ElfW(Phdr) &seg = info->dlpi_phdr[i];
                    uintptr_t lo = info->dlpi_addr + seg.p_vaddr, hi = lo + seg.p_memsz;
                    if (seg.p_type == PT_LOAD && (seg.p_flags & PF_X) && lo <= probe && probe < hi)
                        *range = {lo, hi};
                }
                return 0;
            },
            &found);
        return found;
    }();
    auto a = reinterpret_cast<uintptr_t>(address);
    return code.first <= a && a < code.second;
}
#endif

// The peers' clock. libuv's fast clock and libevent's default one are the
// coarse monotonic clock, and libev's the monotonic one; any other clock,
// and the monotonic one read by any other code, the benchmark's own timing
// among it, is the real one.
extern "C" int clock_gettime(clockid_t id, struct timespec *ts)
{
    static auto real =
        reinterpret_cast<int (*)(clockid_t, struct timespec *)>(dlsym(RTLD_NEXT, "clock_gettime"));
    bool ticking = id == CLOCK_MONOTONIC_COARSE;
#if HAVE_LIBEV
    ticking = ticking || (id == CLOCK_MONOTONIC && in_libev(__builtin_return_address(0)));
#endif
    if (!ticking)
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

using namespace peers;

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

// P6 as a stimer user writes it: one list with a queue for the timers on
// their own timeouts, a class for each shared timeout and a timer for each
// one-off, told apart by their tags.
struct StimerMixed {
    static constexpr const char *name = "stimer_mixed";
    enum : int { kQueue, kClass, kOneOff }; // tags; StimerQueue's timer has 0
    StimerQueue own;
    stimer_class tc[2];
    std::unique_ptr<stimer_member[]> members;
    std::unique_ptr<stimer[]> timers;
    Expiry on;
    StimerMixed(int n, const Shared &shared);
    ~StimerMixed()
    {
        while (own.list.head.next != &own.list.head)
            stimer_kill(&own.list, reinterpret_cast<stimer *>(own.list.head.next));
    }
    void tick() {}
    void arm(int i, int32_t timeout);
    void expire();
};

// The workloads. Each sets the clock and its columns up alike; op() is one
// timed operation, of items() timers; rearm() the timeout of an expired
// timer (0: it stays idle); shared() the timeouts that many of its timers
// share.
struct Workload {
    static Shared shared(int) { return {}; }
    static int32_t rearm(int, int) { return 0; }
    static int items(int) { return 1; }
};

struct Churn : Workload {
    static constexpr const char *name = "P1_churn";
    static int32_t rearm(int id, int) { return timeout_for(id, ticks, 1000); }
    template <class Lib>
    static void setup(Lib &lib, int n)
    {
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

// Request deadlines pushed back by traffic: every timer, every pass.
struct Rearm : Workload {
    static constexpr const char *name = "P7_rearm";
    static int32_t rearm(int id, int) { return timeout_for(id, ticks, 100000); }
    static int items(int n) { return n; }
    template <class Lib>
    static void setup(Lib &lib, int n)
    {
        for (int i = 0; i < n; ++i)
            lib.arm(i, timeout_for(i, ticks, 100000));
    }
    template <class Lib>
    static void op(Lib &lib, int n, uint64_t)
    {
        ++ticks;
        lib.tick();
        lib.expire();
        for (int i = 0; i < n; ++i)
            lib.arm(i, timeout_for(i, ticks, 100000));
    }
};

struct Idle : Workload {
    static constexpr const char *name = "P5_idle";
    static Shared shared(int n) { return {2 * n}; }
    static int32_t rearm(int, int n) { return 2 * n; }
    // Connection i arrived i ticks after the first, so deadlines are spread.
    // A timer each of stimer is armed newest first, each in front of the
    // others, which leaves the same list in O(n) instead of O(n^2).
    template <class Lib>
    static void setup(Lib &lib, int n)
    {
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

struct Mixed : Workload {
    static constexpr const char *name = "P6_mixed";
    static constexpr int kOwn = 300, kConnections = 100, kOneOff = 8;
    static constexpr int kTimers = kOwn + 2 * kConnections + kOneOff;
    static constexpr int32_t kShared[2] = {2000, 6000};
    static Shared shared(int) { return {kShared[0], kShared[1]}; }
    // The timeout of each timer: its own, its connection's, or a one-off's.
    static int32_t timeout(int id)
    {
        if (id < kOwn)
            return timeout_for(id, ticks, 1000);
        if (id < kOwn + 2 * kConnections)
            return kShared[(id - kOwn) / kConnections];
        return timeout_for(id, ticks, 50);
    }
    // Own timeouts come back; a connection that expires reconnects.
    static int32_t rearm(int id, int) { return id < kOwn + 2 * kConnections ? timeout(id) : 0; }
    template <class Lib>
    static void setup(Lib &lib, int)
    {
        for (int i = 0; i < kOwn + 2 * kConnections; ++i)
            lib.arm(i, timeout(i));
    }
    template <class Lib>
    static void op(Lib &lib, int, uint64_t k)
    {
        uint64_t h = k * 2654435761u;
        ++ticks;
        lib.tick();
        for (int i : {static_cast<int>(h % kOwn), kOwn + static_cast<int>(h % kConnections),
                      kOwn + kConnections + static_cast<int>(h / 7 % kConnections)})
            lib.arm(i, timeout(i));
        if (k % 16 == 0) {
            int i = kOwn + 2 * kConnections + static_cast<int>(k / 16 % kOneOff);
            lib.arm(i, timeout(i));
        }
        lib.expire();
    }
};

StimerMixed::StimerMixed(int n, const Shared &shared)
    : own(n, shared)
    , members(new stimer_member[2 * Mixed::kConnections])
    , timers(new stimer[Mixed::kOneOff])
{
    for (int c = 0; c < 2; ++c)
        stimer_class_init(&tc[c], &own.list, shared.at(static_cast<std::size_t>(c)), kClass,
                          &tc[c]);
    for (int i = 0; i < 2 * Mixed::kConnections; ++i)
        stimer_member_init(&members[i]);
    for (int i = 0; i < Mixed::kOneOff; ++i)
        stimer_init(&timers[i], kOneOff, nullptr);
}

void StimerMixed::arm(int i, int32_t timeout)
{
    if (i < Mixed::kOwn)
        stimer_queue_arm(&own.q, &own.entries[i], timeout);
    else if ((i -= Mixed::kOwn) < 2 * Mixed::kConnections)
        stimer_class_renew(&tc[i / Mixed::kConnections], &members[i]);
    else
        stimer_start(&own.list, &timers[i - 2 * Mixed::kConnections], timeout);
}

// The loop of a stimer program with all three in one list.
void StimerMixed::expire()
{
    while (stimer *t = stimer_get_next_fired_timer(&own.list)) {
        int64_t now = TickGetCount();
        if (t->tag == kQueue) {
            stimer_entry *e = stimer_queue_expired(&own.q, now);
            early_wakes += !e;
            for (; e; e = stimer_queue_expired(&own.q, now))
                expired(*this, static_cast<int>(e - own.entries.get()));
        } else if (t->tag == kClass) {
            auto *c = static_cast<stimer_class *>(t->data);
            while (stimer_member *m = stimer_class_expired(c, now))
                expired(*this, Mixed::kOwn + static_cast<int>(m - members.get()));
        } else {
            expired(*this,
                    Mixed::kOwn + 2 * Mixed::kConnections + static_cast<int>(t - timers.get()));
        }
    }
}

// Arming n idle timers, then (untimed) letting them all expire.
struct Arm : Workload {
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
struct Drain : Workload {
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

// The longest single call of f(i) for i below count, in ns on the real
// clock: the worst wait that one operation puts on a loop.
template <class F>
double worst_of(int count, F f)
{
    using clock = std::chrono::steady_clock;
    clock::duration worst{};
    for (int i = 0; i < count; ++i) {
        auto start = clock::now();
        f(i);
        worst = std::max(worst, clock::now() - start);
    }
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(worst).count());
}

// Per operation: clock reads, polls for events and early wakes since the
// marks.
struct Calls {
    uint64_t reads = clock_reads, polled = polls, early = early_wakes;
    void count(benchmark::State &state, double per) const
    {
        state.counters["clock_reads"] = static_cast<double>(clock_reads - reads) / per;
        state.counters["polls"] = static_cast<double>(polls - polled) / per;
        state.counters["early_wakes"] = static_cast<double>(early_wakes - early) / per;
    }
};

// Steady workloads: setup, then op() in the timed loop. After it, untimed,
// P1 times 10,000 more operations one by one for the worst.
template <class W, class Lib>
void steady(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    ticks = kStart;
    Lib lib(n, W::shared(n));
    lib.on.rearm = W::rearm;
    lib.on.n = n;
    W::setup(lib, n);
    uint64_t k = 0;
    Calls calls;
    for (auto _ : state)
        W::op(lib, n, k++);
    state.SetItemsProcessed(state.iterations() * W::items(n));
    calls.count(state, static_cast<double>(state.iterations() * W::items(n)));
    if (std::is_same_v<W, Churn>)
        state.counters["worst_ns"] = worst_of(10000, [&](int) { W::op(lib, n, k++); });
}

// Batch workloads: the timed half is fill() for P2, empty() for P3 and P4.
// P2 times one more fill arm by arm for the worst.
template <class W, bool time_fill, class Lib>
void batch(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    ticks = kStart;
    Lib lib(n, W::shared(n));
    Calls calls;
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
    calls.count(state, static_cast<double>(state.iterations() * n));
    if (time_fill) {
        state.counters["worst_ns"] =
            worst_of(n, [&](int i) { lib.arm(i, timeout_for(i, ticks, 100000)); });
        W::empty(lib, n);
    }
}

// The floor of memory over 2^20 nodes of a cache line each, in a random
// order: a dependent pointer chase, where each load waits for the last, and
// independent random loads, which overlap. ns per node.
struct Nodes {
    static constexpr std::size_t kCount = std::size_t{1} << 20;
    struct alignas(64) Node {
        Node *next;
    };
    std::unique_ptr<Node[]> nodes{new Node[kCount]};
    std::vector<uint32_t> order;
    Nodes()
        : order(kCount)
    {
        for (std::size_t i = 0; i < kCount; ++i)
            order[i] = static_cast<uint32_t>(i);
        std::shuffle(order.begin(), order.end(), std::mt19937_64(42));
        for (std::size_t i = 0; i < kCount; ++i)
            nodes[order[i]].next = &nodes[order[(i + 1) % kCount]];
    }
};

void floor_chase(benchmark::State &state)
{
    Nodes n;
    const Nodes::Node *p = &n.nodes[0];
    for (auto _ : state) {
        for (std::size_t i = 0; i < Nodes::kCount; ++i)
            p = p->next;
        benchmark::DoNotOptimize(p);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(Nodes::kCount));
}

void floor_loads(benchmark::State &state)
{
    Nodes n;
    uintptr_t sum = 0;
    for (auto _ : state) {
        for (uint32_t i : n.order)
            sum += reinterpret_cast<uintptr_t>(n.nodes[i].next);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(Nodes::kCount));
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
    Lib lib(n, W::shared(n));
    lib.on.log = &log;
    lib.on.rearm = W::rearm;
    lib.on.n = n;
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
    // One fill of 100,000 timers a repetition, or more than one of fewer.
    // 0 repetitions is the command line's number.
    template <class W, bool time_fill>
    static void batch_all(std::initializer_list<int> sizes, int repetitions = 0)
    {
        for (auto *b : {add<W, Libs>(batch<W, time_fill, Libs>, sizes)...}) {
            b->Iterations(std::max(1, 100000 / *sizes.begin()));
            if (repetitions)
                b->Repetitions(repetitions);
        }
    }
};

// Instructions, under callgrind (tools/peer-counts.sh): one operation on each
// of n timers of a column, in a function of its own for --toggle-collect.
// arm: idle timers; rearm: armed ones, with new timeouts; cancel: armed
// ones; expire: a full drain, all due.
const char *const kCounted[] = {"arm", "rearm", "cancel", "expire"};

template <class Lib>
__attribute__((noinline)) void counted_phase(Lib &lib, int n, int op)
{
    if (op == 3)
        lib.expire();
    for (int i = 0; op < 3 && i < n; ++i) {
        if (op == 2)
            lib.cancel(i);
        else
            lib.arm(i, timeout_for(i, ticks, 100000));
    }
}

template <class Lib>
bool count(const std::string &column, int n, int op)
{
    if (column != Lib::name)
        return false;
    ticks = kStart;
    Lib lib(n, {});
    if (op > 0)
        for (int i = 0; i < n; ++i)
            lib.arm(i, timeout_for(i, ticks, 100000));
    ticks += op == 3 ? 100001 : 1;
    lib.tick();
    counted_phase(lib, n, op);
    return true;
}

#if HAVE_LIBUV
#define UV_COLUMN , Uv
#define UV_NAME   , Uv::name
#else
#define UV_COLUMN
#define UV_NAME
#endif
#if HAVE_LIBEV
#define EV_COLUMN , Ev
#define EV_NAME   , Ev::name
#else
#define EV_COLUMN
#define EV_NAME
#endif
#if HAVE_LIBEVENT
#define EVENT_COLUMN        , Event<false>
#define EVENT_NAME          , Event<false>::name
#define EVENT_COMMON_COLUMN , Event<true>
#else
#define EVENT_COLUMN
#define EVENT_NAME
#define EVENT_COMMON_COLUMN
#endif

} // namespace

template <class... Libs>
int count_any(int argc, char **argv)
{
    int op = 0, n = argc == 5 ? std::atoi(argv[4]) : 0;
    while (op < 4 && (argc != 5 || argv[3] != std::string(kCounted[op])))
        ++op;
    if (op == 4 || n <= 0 || !(count<Libs>(argv[2], n, op) || ...)) {
        std::fprintf(stderr,
                     "usage: %s --count COLUMN arm|rearm|cancel|expire N\n"
                     "  COLUMN: one of%s, as built\n",
                     argv[0], ((std::string(" ") + Libs::name) + ...).c_str());
        return 2;
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc > 1 && argv[1] == std::string("--count"))
        return count_any<StimerQueue EV_COLUMN UV_COLUMN EVENT_COLUMN>(argc, argv);
    if (argc > 1 && argv[1] == std::string("--columns")) {
        for (const char *name : {StimerQueue::name EV_NAME UV_NAME EVENT_NAME})
            std::printf("%s\n", name);
        return 0;
    }
#if !HAVE_LIBUV
    std::printf("left out: libuv, whose header or library was not found at build time "
                "(apt-get install libuv1-dev, then configure again)\n");
#endif
#if !HAVE_LIBEV
    std::printf("left out: libev, whose header or library was not found at build time "
                "(apt-get install libev-dev, then configure again)\n");
#endif
#if !HAVE_LIBEVENT
    std::printf("left out: libevent, whose header or library was not found at build time "
                "(apt-get install libevent-dev, then configure again)\n");
#endif
    std::string sizes = "stimer " + std::to_string(sizeof(stimer)) + ", stimer_member " +
                        std::to_string(sizeof(stimer_member)) + " and " +
                        std::to_string(sizeof(stimer_class)) + " a class, stimer_entry " +
                        std::to_string(sizeof(stimer_entry)) + " and " +
                        std::to_string(sizeof(stimer_queue)) + " a queue";
#if HAVE_LIBUV
    sizes += ", libuv " + std::to_string(sizeof(uv_timer_t));
#endif
#if HAVE_LIBEVENT
    sizes += ", libevent " + std::to_string(event_get_struct_event_size());
#endif
#if HAVE_LIBEV
    sizes += ", libev " + std::to_string(sizeof(ev_timer));
#endif
    benchmark::AddCustomContext("bytes_per_timer", sizes);

    // A timer each (the list) arms behind the timers due sooner, so it
    // leaves the columns of P1 at 65,536, of a million random timeouts and
    // of P7, which are its worst case and not what it is for.
    using All = Columns<Stimer, StimerQueue EV_COLUMN UV_COLUMN EVENT_COLUMN>;
    using Many = Columns<StimerQueue EV_COLUMN UV_COLUMN EVENT_COLUMN>;
    All::steady_all<Churn>({1, 4, 16, 64, 256, 1024, 4096}, 3000);
    Many::steady_all<Churn>({65536}, 3000);
    // Arming is checked as the fill of the drain, which it is.
    compare<Drain<false>, Stimer, StimerQueue EV_COLUMN UV_COLUMN EVENT_COLUMN>({10000, 100000}, 0);
    compare<Drain<false>, StimerQueue EV_COLUMN UV_COLUMN EVENT_COLUMN>({1000000}, 0);
    compare<Drain<true>, Stimer, StimerQueue EV_COLUMN UV_COLUMN EVENT_COLUMN>({100000}, 0);
    All::batch_all<Arm, true>({10000});
    All::batch_all<Arm, true>({100000}, 1);
    Many::batch_all<Arm, true>({1000000}, 3);
    All::batch_all<Drain<false>, false>({10000});
    All::batch_all<Drain<false>, false>({100000});
    Many::batch_all<Drain<false>, false>({1000000}, 3);
    All::batch_all<Drain<true>, false>({100000});
    Many::steady_all<Rearm>({65536, 1000000}, 4);
    Columns<StimerClass EV_COLUMN UV_COLUMN EVENT_COMMON_COLUMN, Stimer,
            StimerQueue>::steady_all<Idle>({1000, 16000, 100000}, 3000);
    Columns<StimerMixed EV_COLUMN UV_COLUMN EVENT_COMMON_COLUMN>::steady_all<Mixed>(
        {Mixed::kTimers}, 20000);
    benchmark::RegisterBenchmark("clock/every_column", clock_cost);
    benchmark::RegisterBenchmark("floor/pointer_chase", floor_chase);
    benchmark::RegisterBenchmark("floor/random_loads", floor_loads);
    if (failures) {
        std::printf("FAIL %d workloads expire differently; nothing is timed\n", failures);
        return 1;
    }
    return run_registered(argc, argv);
}
