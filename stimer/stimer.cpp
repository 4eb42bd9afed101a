// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// The delta list behind the stimer interface.
//
// Every timer stores its distance from its predecessor, so the earliest
// firing time is base_time + first->delta and popping the earliest timer
// touches only its neighbours. Arming walks from the front.
//
// Tick arithmetic wraps modulo 2^32 (offsets) or 2^64 (absolute ticks). It
// is done on unsigned values and converted back, which is defined for every
// input; signed overflow would not be.

#include "stimer.h"

#include "checked.h"
#include "tovask.h"

namespace {

// 32-bit tick differences, wrapping.
inline int32_t add32(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

inline int32_t sub32(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

// The low 32 bits of the difference of two absolute ticks.
inline int32_t diff32(int64_t a, int64_t b)
{
    return static_cast<int32_t>(
        static_cast<uint32_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b)));
}

// An absolute tick moved by a signed 32-bit difference, wrapping at 2^64.
inline int64_t advance(int64_t tick, int32_t by)
{
    return static_cast<int64_t>(static_cast<uint64_t>(tick) +
                                static_cast<uint64_t>(static_cast<int64_t>(by)));
}

// link is the first member of stimer, so the conversion is exact.
inline stimer *timer_of(stimer_link *link)
{
    return reinterpret_cast<stimer *>(link);
}

inline bool is_empty(const running_timers *list)
{
    return list->head.next == &list->head;
}

inline bool is_idle(const stimer *timer)
{
    return timer->link.next == &timer->link;
}

inline void make_idle(stimer *timer)
{
    timer->link.next = &timer->link;
    timer->link.prev = &timer->link;
}

inline void link_before(stimer_link *pos, stimer *timer)
{
    stimer_link *prev = pos->prev;
    timer->link.next = pos;
    timer->link.prev = prev;
    prev->next = &timer->link;
    pos->prev = &timer->link;
}

// Takes a running timer out from behind prev, for cancel, re-arm and expiry
// alike. Its successor inherits its delta, so every other timer keeps its
// firing time; when the first timer leaves, the list re-bases on the new
// first instead. The pop path passes the head as prev, which it knows.
inline void unlink(running_timers *list, stimer *timer, stimer_link *prev)
{
    checked::unlinking(list, timer);
    stimer_link *next = timer->link.next;
    if (next != &list->head) {
        stimer *succ = timer_of(next);
        int32_t delta = add32(succ->delta, timer->delta);
        if (prev == &list->head) {
            list->base_time = advance(list->base_time, delta);
            delta = 0;
        }
        succ->delta = delta;
    }
    prev->next = next;
    next->prev = prev;
    make_idle(timer);
}

// The only timer of an otherwise empty list is measured from a fresh
// base_time, so that a lone timer re-armed for ever keeps now - base_time
// small instead of drifting out of the 32-bit horizon.
inline void start_alone(running_timers *list, stimer *timer, int64_t fire)
{
    list->base_time = fire;
    timer->delta = 0;
    link_before(&list->head, timer);
}

// Puts a timer into a list that holds others. rel is its offset from
// base_time; off is the offset of the position just passed. The walk passes
// every timer whose offset is not greater than rel, so a timer goes behind
// those that fire on the same tick and equal firing times keep arming order.
inline void insert(running_timers *list, stimer *timer, int32_t rel)
{
    stimer_link *pos = list->head.next;
    int32_t off = 0;
    while (pos != &list->head) {
        checked::visit(list, timer_of(pos));
        int32_t cur_off = add32(off, timer_of(pos)->delta);
        if (rel < cur_off)
            break;
        off = cur_off;
        pos = pos->next;
    }
    timer->delta = sub32(rel, off);
    // The timer it goes in front of keeps its firing time.
    if (pos != &list->head)
        timer_of(pos)->delta = sub32(timer_of(pos)->delta, timer->delta);
    link_before(pos, timer);
}

inline void start(running_timers *list, stimer *timer, int32_t timeout)
{
    checked::list(list);
    checked::timer(list, timer);
    int64_t now = TickGetCount();
    checked::tick(list, now);
    // Fast path, seen by no test: an empty list holds no running timer, so
    // the timer's link is not loaded (28 instructions, tools/check-budgets.sh).
    if (!is_empty(list) && !is_idle(timer))
        unlink(list, timer, timer->link.prev);
    checked::horizon(list, now, timeout);
    int64_t fire = advance(now, timeout);
    if (is_empty(list))
        start_alone(list, timer, fire);
    else
        insert(list, timer, add32(diff32(now, list->base_time), timeout));
    checked::linked(list, timer, fire);
}

} // namespace

extern "C" {

void stimer_init_running_timers(running_timers *list)
{
    CHECKED_CALL("stimer_init_running_timers", list, nullptr);
    checked::init_list(list);
    list->head.next = &list->head;
    list->head.prev = &list->head;
}

void stimer_init(stimer *timer, int tag, void *data)
{
    CHECKED_CALL("stimer_init", nullptr, timer);
    checked::init_timer(timer);
    timer->data = data;
    timer->user_word = 0;
    timer->user_byte = 0;
    timer->tag = static_cast<uint8_t>(tag);
    make_idle(timer);
}

int stimer_start(running_timers *list, stimer *timer, int32_t timeout)
{
    CHECKED_CALL("stimer_start", list, timer);
    start(list, timer, timeout);
    return 0;
}

int stimer_start_ex(running_timers *list, stimer *timer, int32_t timeout, int tag)
{
    CHECKED_CALL("stimer_start_ex", list, timer);
    timer->tag = static_cast<uint8_t>(tag);
    start(list, timer, timeout);
    return 0;
}

void stimer_kill(running_timers *list, stimer *timer)
{
    CHECKED_CALL("stimer_kill", list, timer);
    checked::list(list);
    checked::timer(list, timer);
    if (!is_idle(timer))
        unlink(list, timer, timer->link.prev);
}

int64_t stimer_get_next_firing_time(const running_timers *list)
{
    CHECKED_CALL("stimer_get_next_firing_time", list, nullptr);
    checked::list(list);
    if (is_empty(list))
        return -1;
    stimer *first = timer_of(list->head.next);
    int64_t fire = advance(list->base_time, first->delta);
    checked::fires(list, first, fire);
    return fire;
}

stimer *stimer_get_next_fired_timer(running_timers *list)
{
    CHECKED_CALL("stimer_get_next_fired_timer", list, nullptr);
    checked::list(list);
    if (is_empty(list))
        return nullptr;
    stimer *first = timer_of(list->head.next);
    checked::timer(list, first);
    int64_t fire = advance(list->base_time, first->delta);
    checked::fires(list, first, fire);
    int64_t now = TickGetCount();
    checked::tick(list, now);
    if (fire > now)
        return nullptr;
    unlink(list, first, &list->head);
    return first;
}

} // extern "C"
