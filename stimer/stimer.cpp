// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// The delta list behind the stimer interface.
//
// Every timer stores its distance from its predecessor, so the earliest
// firing time is base_time + first->delta and popping the earliest timer
// touches only its neighbours. Arming walks from the front.
//
// Tick arithmetic wraps; its helpers are in ticks.h, shared with the
// checked build.

#include "stimer.h"

#include "checked.h"
#include "ticks.h"
#include "tovask.h"

namespace {

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

inline void link_before(running_timers *list, stimer_link *pos, stimer *timer)
{
    stimer_link *prev = pos->prev;
    timer->link.next = pos;
    timer->link.prev = prev;
    prev->next = &timer->link;
    pos->prev = &timer->link;
    checked::remember(list, timer);
}

// Takes a running timer out from behind prev, for cancel, re-arm and expiry
// alike. Its successor inherits its delta, so every other timer keeps its
// firing time; when the first timer leaves, the list re-bases on the new
// first instead. The pop path passes the head as prev, which it knows.
inline void unlink(running_timers *list, stimer *timer, stimer_link *prev)
{
    checked::unlink_valid(list, timer);
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
    link_before(list, &list->head, timer);
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
        checked::walk_valid(list, timer_of(pos));
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
    link_before(list, pos, timer);
}

inline void start(running_timers *list, stimer *timer, int32_t timeout)
{
    checked::list_valid(list);
    checked::timer_valid(list, timer);
    int64_t now = TickGetCount();
    checked::clock_valid(list, now);
    // Fast path, seen by no test: an empty list holds no running timer, so
    // the timer's link is not loaded (28 instructions, tools/check-budgets.sh).
    if (!is_empty(list) && !is_idle(timer))
        unlink(list, timer, timer->link.prev);
    checked::horizon_valid(list, now, timeout);
    int64_t fire = advance(now, timeout);
    if (is_empty(list))
        start_alone(list, timer, fire);
    else
        insert(list, timer, add32(diff32(now, list->base_time), timeout));
}

} // namespace

extern "C" {

void stimer_init_running_timers(running_timers *list)
{
    CHECKED_CALL("stimer_init_running_timers", list, nullptr);
    checked::list_init_valid(list);
    list->head.next = &list->head;
    list->head.prev = &list->head;
}

void stimer_init(stimer *timer, int tag, void *data)
{
    CHECKED_CALL("stimer_init", nullptr, timer);
    checked::timer_init_valid(timer);
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
    checked::list_valid(list);
    checked::timer_valid(list, timer);
    if (!is_idle(timer))
        unlink(list, timer, timer->link.prev);
}

int64_t stimer_get_next_firing_time(const running_timers *list)
{
    CHECKED_CALL("stimer_get_next_firing_time", list, nullptr);
    checked::list_valid(list);
    if (is_empty(list))
        return -1;
    return earliest_firing_time(list);
}

stimer *stimer_get_next_fired_timer(running_timers *list)
{
    CHECKED_CALL("stimer_get_next_fired_timer", list, nullptr);
    checked::list_valid(list);
    if (is_empty(list))
        return nullptr;
    stimer *first = timer_of(list->head.next);
    int64_t fire = earliest_firing_time(list);
    if (fire > TickGetCount())
        return nullptr;
    unlink(list, first, &list->head);
    return first;
}

} // extern "C"
