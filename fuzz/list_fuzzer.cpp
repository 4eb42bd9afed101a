// Differential fuzzing: the input is a program of operations over a few
// lists and timers, applied both to the library and to the reference model.
//
// While a list stays within the 32-bit horizon the model is an exact oracle:
// order, firing times, query results. Once an arming takes it outside, only
// the structure is checked (links, idle timers, which timers are where) until
// the list is empty again. Clock reads are checked everywhere.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "list_check.h"
#include "model.h"
#include "stimer.h"

namespace {

int64_t clock_now;
uint64_t clock_reads;

constexpr int kLists = 3;
constexpr int kTimers = 16;

[[noreturn]] void diverged(const char *what, int list)
{
    std::fprintf(stderr, "divergence: %s (list %d)\n", what, list);
    std::abort();
}

class Input {
public:
    Input(const uint8_t *data, std::size_t size) : p_(data), end_(data + size) {}
    bool done() const { return p_ == end_; }
    uint8_t byte() { return p_ == end_ ? 0 : *p_++; }
    uint64_t bytes(int n)
    {
        uint64_t v = 0;
        for (int i = 0; i < n; ++i)
            v = v << 8 | byte();
        return v;
    }

private:
    const uint8_t *p_;
    const uint8_t *end_;
};

struct World {
    running_timers lists[kLists];
    stimer timers[kTimers];
    ReferenceList model[kLists];
    int64_t base[kLists];     // the model's view of base_time
    bool exact[kLists];       // within the horizon since the list was last empty
    int home[kTimers];        // the list a timer runs in, or -1
    uint64_t seq = 0;

    World()
    {
        for (int l = 0; l < kLists; ++l) {
            stimer_init_running_timers(&lists[l]);
            exact[l] = true;
        }
        for (int i = 0; i < kTimers; ++i) {
            stimer_init(&timers[i], i, nullptr);
            home[i] = -1;
        }
    }

    // The model's first timer left: base_time follows the new first one.
    void rebase(int l)
    {
        if (!model[l].armed().empty())
            base[l] = model[l].armed().front().fire;
    }

    void take_out(int l, int id)
    {
        bool first = model[l].armed().front().id == id;
        model[l].kill(id);
        home[id] = -1;
        if (first)
            rebase(l);
        if (model[l].armed().empty())
            exact[l] = true;
    }

    // An arming stays exact when base_time, now and every firing time of the
    // list lie within 2^31 ticks of each other, measured without wrapping.
    bool within_horizon(int l, int64_t now) const
    {
        __int128 lo = base[l], hi = base[l];
        auto widen = [&](__int128 v) {
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
        };
        widen(now);
        for (const auto &a : model[l].armed())
            widen(a.fire);
        return hi - lo < (__int128{1} << 31) - 1;
    }

    void start(int l, int id, int32_t timeout)
    {
        if (home[id] >= 0)
            take_out(l, id);
        int64_t fire = list_check::wrap_add(clock_now, timeout);
        if (model[l].armed().empty())
            base[l] = fire;
        model[l].start(id, fire, ++seq);
        home[id] = l;
        // A fire time that wrapped past INT64 shows up as a wide span.
        __int128 unwrapped = __int128{clock_now} + timeout;
        if (!within_horizon(l, clock_now) || unwrapped != fire)
            exact[l] = false;
    }

    void check(int l) const
    {
        std::vector<list_check::Entry> entries;
        std::string error = list_check::check(lists[l], kTimers, exact[l], &entries);
        if (!error.empty())
            diverged(error.c_str(), l);
        const auto &armed = model[l].armed();
        if (entries.size() != armed.size())
            diverged("number of running timers", l);
        for (std::size_t k = 0; k < armed.size(); ++k) {
            const stimer *t = entries[k].timer;
            if (t < timers || t >= timers + kTimers || home[t - timers] != l)
                diverged("a timer that is not in this list", l);
            if (exact[l] && (t != &timers[armed[k].id] || entries[k].fire != armed[k].fire))
                diverged("order or firing time", l);
        }
        if (exact[l] && !armed.empty() && lists[l].base_time != base[l])
            diverged("base_time", l);
    }
};

void expect_reads(uint64_t before, uint64_t count, int l)
{
    if (clock_reads != before + count)
        diverged("clock reads", l);
}

} // namespace

extern "C" int64_t TickGetCount(void)
{
    ++clock_reads;
    return clock_now;
}

namespace {
uint64_t operations;
void report() { std::fprintf(stderr, "operations checked: %llu\n", static_cast<unsigned long long>(operations)); }
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::atexit(report);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    Input in(data, size);
    World w;
    clock_now = static_cast<int64_t>(in.bytes(8));
    while (!in.done()) {
        ++operations;
        uint8_t op = in.byte();
        int id = in.byte() % kTimers;
        int l = w.home[id] >= 0 ? w.home[id] : (op >> 4) % kLists;
        running_timers *list = &w.lists[l];
        stimer *timer = &w.timers[id];
        uint64_t before = clock_reads;
        switch (op % 8) {
        case 0:
        case 1: {
            uint8_t kind = in.byte();
            int32_t timeout = kind & 1 ? static_cast<int32_t>(in.bytes(4))
                                       : static_cast<int16_t>(in.bytes(2));
            int r = op % 8 == 0 ? stimer_start(list, timer, timeout)
                                : stimer_start_ex(list, timer, timeout, kind << 4 | op);
            if (r != 0 || (op % 8 == 1 && timer->tag != static_cast<uint8_t>(kind << 4 | op)))
                diverged("arming result or tag", l);
            expect_reads(before, 1, l);
            w.start(l, id, timeout);
            break;
        }
        case 2:
            stimer_kill(list, timer);
            expect_reads(before, 0, l);
            if (w.home[id] >= 0)
                w.take_out(l, id);
            break;
        case 3:
            if (w.exact[l] && stimer_get_next_firing_time(list) != w.model[l].next_firing_time())
                diverged("next firing time", l);
            expect_reads(before, 0, l);
            break;
        case 4: {
            bool empty = w.model[l].armed().empty();
            stimer *fired = stimer_get_next_fired_timer(list);
            expect_reads(before, empty ? 0 : 1, l);
            if (w.exact[l]) {
                int expected = w.model[l].pop(clock_now);
                if (fired != (expected < 0 ? nullptr : &w.timers[expected]))
                    diverged("fired timer", l);
                if (expected >= 0) {
                    w.home[expected] = -1;
                    w.rebase(l);
                }
            } else if (fired) {
                if (fired < w.timers || fired >= w.timers + kTimers || w.home[fired - w.timers] != l)
                    diverged("fired a timer of another list", l);
                w.take_out(l, static_cast<int>(fired - w.timers));
            }
            if (fired && !list_check::is_idle(*fired))
                diverged("a fired timer is not idle", l);
            break;
        }
        case 5:
            clock_now = list_check::wrap_add(clock_now, static_cast<int64_t>(in.bytes(2)));
            break;
        case 6: {
            // Jumps: past the 32-bit horizon, or to the edges of the 64-bit range.
            uint8_t kind = in.byte();
            int64_t by = static_cast<int64_t>(in.bytes(4));
            if (kind % 3 == 0)
                clock_now = list_check::wrap_add(clock_now, (int64_t{1} << 31) + by);
            else if (kind % 3 == 1)
                clock_now = list_check::wrap_add(INT64_MAX, -by);
            else
                clock_now = list_check::wrap_add(INT64_MIN, by);
            break;
        }
        case 7: {
            int target = (op >> 4) % kLists;
            if (w.model[target].armed().empty())
                stimer_init_running_timers(&w.lists[target]);
            if (w.home[id] < 0)
                stimer_init(timer, id, timer);
            expect_reads(before, 0, l);
            break;
        }
        }
        for (int k = 0; k < kLists; ++k)
            w.check(k);
        for (int i = 0; i < kTimers; ++i)
            if (w.home[i] < 0 && !list_check::is_idle(w.timers[i]))
                diverged("a timer out of every list is not idle", -1);
    }
    return 0;
}
