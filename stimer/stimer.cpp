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
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b)));
}

// An absolute tick moved by a signed 32-bit difference, wrapping at 2^64.
inline int64_t advance(int64_t tick, int32_t by)
{
    return static_cast<int64_t>(static_cast<uint64_t>(tick) + static_cast<uint64_t>(static_cast<int64_t>(by)));
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

// Takes a timer out and hands its delta on, so that every other timer keeps
// its firing time. The first timer's successor becomes the new first: the
// list re-bases on it instead of carrying the inherited delta.
inline void remove(running_timers *list, stimer *timer)
{
    stimer_link *next = timer->link.next;
    if (next == &timer->link)
        return;
    stimer_link *prev = timer->link.prev;
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

// remove() for the timer at the front, as the pop path has it: it is known
// to be running and to be first, so neither needs checking, and the delta
// it hands on goes straight into base_time.
inline void remove_first(running_timers *list, stimer *first)
{
    stimer_link *next = first->link.next;
    if (next != &list->head) {
        stimer *succ = timer_of(next);
        list->base_time = advance(list->base_time, add32(succ->delta, first->delta));
        succ->delta = 0;
    }
    list->head.next = next;
    next->prev = &list->head;
    make_idle(first);
}

// The only timer of an otherwise empty list is measured from a fresh
// base_time, so that a lone timer re-armed for ever keeps now - base_time
// small instead of drifting out of the 32-bit horizon.
inline void start_alone(running_timers *list, stimer *timer, int64_t fire)
{
    list->base_time = fire;
    timer->delta = 0;
    timer->link.next = &list->head;
    timer->link.prev = &list->head;
    list->head.next = &timer->link;
    list->head.prev = &timer->link;
}

// Puts a timer into a list that holds others, behind every timer that
// fires no later than it does. rel is its offset from base_time and off that
// of the timer just passed, both in 32 bits; passing on rel >= off is what
// keeps equal firing times in arming order.
inline void insert(running_timers *list, stimer *timer, int32_t rel)
{
    stimer_link *pos = list->head.next;
    int32_t off = 0;
    for (;;) {
        // The next link is loaded first, so that the pointer chase, which
        // bounds the walk, never waits for the comparison.
        stimer_link *next = pos->next;
        stimer *cur = timer_of(pos);
        off = add32(off, cur->delta);
        if (rel < off) {
            // The new timer's delta is rel less the offset before cur. That
            // offset is rebuilt from cur->delta, read again, rather than
            // kept: carrying it costs an instruction on every step.
            int32_t before = *static_cast<volatile int32_t *>(&cur->delta);
            cur->delta = sub32(off, rel);
            timer->delta = add32(sub32(rel, off), before);
            break;
        }
        pos = next;
        if (pos == &list->head) {
            timer->delta = sub32(rel, off);
            break;
        }
    }
    link_before(pos, timer);
}

inline void start(running_timers *list, stimer *timer, int32_t timeout)
{
    int64_t now = TickGetCount();
    if (!is_empty(list)) {
        remove(list, timer);
        if (!is_empty(list)) {
            insert(list, timer, add32(diff32(now, list->base_time), timeout));
            return;
        }
    }
    start_alone(list, timer, advance(now, timeout));
}

} // namespace

extern "C" {

void stimer_init_running_timers(running_timers *list)
{
    list->head.next = &list->head;
    list->head.prev = &list->head;
}

void stimer_init(stimer *timer, int tag, void *data)
{
    timer->data = data;
    timer->user_word = 0;
    timer->user_byte = 0;
    timer->tag = static_cast<uint8_t>(tag);
    make_idle(timer);
}

int stimer_start(running_timers *list, stimer *timer, int32_t timeout)
{
    start(list, timer, timeout);
    return 0;
}

int stimer_start_ex(running_timers *list, stimer *timer, int32_t timeout, int tag)
{
    timer->tag = static_cast<uint8_t>(tag);
    start(list, timer, timeout);
    return 0;
}

void stimer_kill(running_timers *list, stimer *timer)
{
    remove(list, timer);
}

int64_t stimer_get_next_firing_time(const running_timers *list)
{
    if (is_empty(list))
        return -1;
    return advance(list->base_time, timer_of(list->head.next)->delta);
}

stimer *stimer_get_next_fired_timer(running_timers *list)
{
    if (is_empty(list))
        return nullptr;
    stimer *first = timer_of(list->head.next);
    int64_t fire = advance(list->base_time, first->delta);
    if (fire > TickGetCount())
        return nullptr;
    remove_first(list, first);
    return first;
}

} // extern "C"
