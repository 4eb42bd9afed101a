// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// The byte form of a program: eight bytes of start tick, then operations of
// an opcode byte and a timer byte, some with operands:
//   op % 8 == 0, 1   stimer_start, stimer_start_ex: a kind byte, then a
//                    4-byte timeout (odd kind) or a 2-byte signed one
//            2       stimer_kill
//            3       stimer_get_next_firing_time
//            4       stimer_get_next_fired_timer
//            5       the clock steps forward by a 2-byte count
//            6       the clock jumps: a kind byte and 4 bytes, past 2^31 or
//                    to the edges of the 64-bit range
//            7       re-initialise a list that is empty, a timer that is idle
// A running timer is always given its own list; an idle one the list that
// op >> 4 names. Multi-byte values are big-endian; a short input reads zeros.
//
// The model knows absolute firing times and arming order only. It is an
// exact oracle while every firing time and arming tick of a list, since the
// list was last empty, lie within 2^31 ticks of each other: base_time is
// always one of those firing times, so the list is then inside the horizon.
// Beyond it only the structure is checked until the list empties again.
#include "differential.h"

#include <random>

#include "list_check.h"
#include "model.h"
#include "stimer.h"
#include "test_clock.h"

namespace differential {
namespace {

constexpr int kLists = 4;
constexpr int kTimers = 32;

class Input {
public:
    Input(const uint8_t *data, std::size_t size)
        : p_(data)
        , end_(data + size)
    {
    }
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

// The lowest and highest tick a list has seen since it was last empty.
struct Span {
    __int128 lo = 0, hi = 0;
    bool any = false;
    void add(__int128 v)
    {
        lo = any && lo < v ? lo : v;
        hi = any && hi > v ? hi : v;
        any = true;
    }
};

class World {
public:
    explicit World(bool keep_rules)
        : keep_rules_(keep_rules)
    {
        for (int l = 0; l < kLists; ++l) {
            stimer_init_running_timers(&lists_[l]);
            exact_[l] = true;
        }
        for (int i = 0; i < kTimers; ++i) {
            stimer_init(&timers_[i], i, nullptr);
            home_[i] = -1;
        }
    }

    // The lists and timers go away with the world: the timers go first.
    ~World()
    {
        for (int i = 0; i < kTimers; ++i)
            if (home_[i] >= 0)
                stimer_kill(&lists_[home_[i]], &timers_[i]);
    }

    // One operation; false and error() set at the first divergence.
    bool step(Input &in)
    {
        uint8_t op = in.byte();
        int id = in.byte() % kTimers;
        int l = home_[id] >= 0 ? home_[id] : (op >> 4) % kLists;
        running_timers *list = &lists_[l];
        stimer *timer = &timers_[id];
        const stimer_link *first = list->head.next;
        const stimer *armed = nullptr;
        uint64_t before = test_clock::reads;
        uint64_t reads = 0;
        switch (op % 8) {
        case 0:
        case 1: {
            uint8_t kind = in.byte();
            int32_t timeout =
                kind & 1 ? static_cast<int32_t>(in.bytes(4)) : static_cast<int16_t>(in.bytes(2));
            if (keep_rules_ && beyond_horizon(l, timeout))
                break;
            int tag = kind << 4 | op;
            int r = op % 8 == 0 ? stimer_start(list, timer, timeout)
                                : stimer_start_ex(list, timer, timeout, tag);
            if (r != 0 || (op % 8 == 1 && timer->tag != static_cast<uint8_t>(tag)))
                return fail("arming result or tag", l);
            reads = 1;
            start(l, id, timeout);
            armed = timer;
            break;
        }
        case 2:
            stimer_kill(list, timer);
            if (home_[id] >= 0)
                take_out(l, id);
            break;
        case 3:
            if (exact_[l] && stimer_get_next_firing_time(list) != model_[l].next_firing_time())
                return fail("next firing time", l);
            break;
        case 4: {
            reads = model_[l].armed().empty() ? 0 : 1;
            stimer *fired = stimer_get_next_fired_timer(list);
            if (exact_[l]) {
                int expected = model_[l].pop(test_clock::now);
                if (fired != (expected < 0 ? nullptr : &timers_[expected]))
                    return fail("fired timer", l);
                if (expected >= 0)
                    take_out(l, expected);
            } else if (fired) {
                if (fired < timers_ || fired >= timers_ + kTimers || home_[fired - timers_] != l)
                    return fail("fired a timer of another list", l);
                take_out(l, static_cast<int>(fired - timers_));
            }
            if (fired && !list_check::is_idle(*fired))
                return fail("a fired timer is not idle", l);
            break;
        }
        case 5: {
            auto by = static_cast<int64_t>(in.bytes(2));
            if (!keep_rules_ || test_clock::now <= INT64_MAX - by)
                test_clock::now = list_check::wrap_add(test_clock::now, by);
            break;
        }
        case 6: {
            uint8_t kind = in.byte();
            int64_t by = static_cast<int64_t>(in.bytes(4));
            if (keep_rules_)
                break;
            if (kind % 3 == 0)
                test_clock::now = list_check::wrap_add(test_clock::now, (int64_t{1} << 31) + by);
            else
                test_clock::now = list_check::wrap_add(kind % 3 == 1 ? INT64_MAX : INT64_MIN,
                                                       kind % 3 == 1 ? -by : by);
            break;
        }
        case 7: {
            int target = (op >> 4) % kLists;
            if (model_[target].armed().empty())
                stimer_init_running_timers(&lists_[target]);
            if (home_[id] < 0)
                stimer_init(timer, id, timer);
            break;
        }
        }
        if (test_clock::reads != before + reads)
            return fail("clock reads", l);
        return check_rebase(l, first, armed) && check();
    }

    const std::string &error() const { return error_; }

private:
    bool fail(const char *what, int l)
    {
        error_ = std::string(what) + " (list " + std::to_string(l) + ")";
        return false;
    }

    void take_out(int l, int id)
    {
        model_[l].kill(id);
        home_[id] = -1;
        if (model_[l].armed().empty()) {
            span_[l] = Span();
            exact_[l] = true;
        }
    }

    // Whether arming in list l would leave the span the model keeps exact,
    // or put a firing time past the ends of the 64-bit range, where it wraps.
    bool beyond_horizon(int l, int32_t timeout) const
    {
        Span span = span_[l];
        span.add(test_clock::now);
        span.add(__int128{test_clock::now} + timeout);
        return span.hi - span.lo >= (__int128{1} << 31) - 1 || span.hi > INT64_MAX ||
               span.lo < INT64_MIN;
    }

    void start(int l, int id, int32_t timeout)
    {
        if (home_[id] >= 0)
            take_out(l, id);
        if (beyond_horizon(l, timeout))
            exact_[l] = false;
        int64_t now = test_clock::now;
        model_[l].start(id, list_check::wrap_add(now, timeout), ++seq_);
        home_[id] = l;
        span_[l].add(now);
        span_[l].add(__int128{now} + timeout);
    }

    // A timer that became first other than by being armed in front took the
    // list's base_time as its own firing time: its delta is 0. So is the
    // delta of a timer armed into a list that was empty.
    bool check_rebase(int l, const stimer_link *first_before, const stimer *armed)
    {
        const stimer_link *head = &lists_[l].head;
        const stimer_link *first = head->next;
        if (!exact_[l] || first == head)
            return true;
        const stimer *t = reinterpret_cast<const stimer *>(first);
        bool alone = first->next == head;
        if (((t != armed && first != first_before) || (t == armed && alone)) && t->delta != 0)
            return fail("the new first timer was not re-based", l);
        return true;
    }

    bool check()
    {
        std::vector<list_check::Entry> entries;
        for (int l = 0; l < kLists; ++l) {
            std::string error = list_check::check(lists_[l], kTimers, exact_[l], &entries);
            if (!error.empty())
                return fail(error.c_str(), l);
            const auto &armed = model_[l].armed();
            if (entries.size() != armed.size())
                return fail("number of running timers", l);
            for (std::size_t k = 0; k < armed.size(); ++k) {
                const stimer *t = entries[k].timer;
                if (t < timers_ || t >= timers_ + kTimers || home_[t - timers_] != l)
                    return fail("a timer that is not in this list", l);
                if (exact_[l] && (t != &timers_[armed[k].id] || entries[k].fire != armed[k].fire))
                    return fail("order or firing time", l);
                if (!stimer_is_running(t) ||
                    (exact_[l] && stimer_firing_time(&lists_[l], t) != armed[k].fire))
                    return fail("stimer_is_running or stimer_firing_time of a running timer", l);
            }
        }
        for (int i = 0; i < kTimers; ++i)
            if (home_[i] < 0 &&
                (!list_check::is_idle(timers_[i]) || stimer_is_running(&timers_[i])))
                return fail("a timer out of every list is not idle", -1);
        return true;
    }

    running_timers lists_[kLists];
    stimer timers_[kTimers];
    ReferenceList model_[kLists];
    Span span_[kLists];
    bool exact_[kLists]; // within the horizon since the list was last empty
    int home_[kTimers];  // the list a timer runs in, or -1 when idle
    uint64_t seq_ = 0;
    bool keep_rules_;
    std::string error_;
};

} // namespace

std::string run(const uint8_t *data, std::size_t size, uint64_t *ops, bool keep_rules)
{
    Input in(data, size);
    test_clock::now = static_cast<int64_t>(in.bytes(8));
    World world(keep_rules);
    for (uint64_t n = 0; !in.done(); ++n) {
        ++*ops;
        if (!world.step(in))
            return "operation " + std::to_string(n) + ": " + world.error();
    }
    return {};
}

std::vector<uint8_t> generate(uint64_t stream, int64_t start_tick, int n)
{
    std::mt19937_64 rng(stream);
    auto pick = [&rng](int below) {
        return static_cast<int>(rng() % static_cast<uint64_t>(below));
    };
    std::vector<uint8_t> out;
    auto put = [&out](uint64_t v, int bytes) {
        for (int i = bytes - 1; i >= 0; --i)
            out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put(static_cast<uint64_t>(start_tick), 8);
    for (int k = 0; k < n; ++k) {
        int r = pick(10000);
        int op = r < 4000   ? (r < 3000 ? 0 : 1)
                 : r < 5500 ? 2
                 : r < 6500 ? 3
                 : r < 9000 ? 4
                 : r < 9800 ? 5
                 : r < 9998 ? 7
                            : 6;
        put(static_cast<uint64_t>(pick(16) << 4 | op), 1);
        put(static_cast<uint64_t>(pick(kTimers)), 1);
        if (op <= 1) {
            // Mostly up to 50000 ticks, some 0 to 3, some negative.
            int32_t timeout = pick(8) == 0 ? -pick(100) : pick(4) == 0 ? pick(4) : pick(50000);
            put(static_cast<uint64_t>(pick(128) << 1 | 1), 1);
            put(static_cast<uint32_t>(timeout), 4);
        } else if (op == 5) {
            put(static_cast<uint64_t>(pick(3) == 0 ? pick(3) : pick(20000)), 2);
        } else if (op == 6) {
            put(static_cast<uint64_t>(pick(256)), 1);
            put(rng(), 4);
        }
    }
    return out;
}

} // namespace differential
