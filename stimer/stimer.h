/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
/*
 * stimer: one-shot software timers kept in a delta list and polled by the
 * caller.
 *
 * The library never allocates, keeps no global state, takes no locks and
 * starts no threads. Every record below belongs to the caller, who places it
 * in memory of its own and passes it by pointer. Time is read from the
 * platform's tick counter, TickGetCount(), and timeouts are given in the same
 * ticks, relative to the moment of arming.
 *
 * The delta list
 * --------------
 * A list of running timers is circular and doubly linked through a sentinel,
 * running_timers.head. With running timers t1 .. tn in list order
 * (t1 == head.next, tn == head.prev):
 *
 *   - An empty list points to itself: head.next == head.prev == &head.
 *   - An idle timer points to itself: link.next == link.prev == &link.
 *     A timer is idle exactly when link.next points to the timer itself.
 *   - A running timer is linked into exactly one list.
 *   - Each timer stores only delta, the ticks from its predecessor's firing
 *     time to its own; t1's delta is counted from the list's base_time.
 *     The firing time of tk is base_time + delta(t1) + ... + delta(tk):
 *     delta(t1) is sign-extended to 64 bits, the later offsets from
 *     base_time are summed in 32-bit two's-complement arithmetic.
 *   - Firing times never decrease along the list: delta(t2) .. delta(tn)
 *     are >= 0. delta(t1) may be negative, because base_time is not moved
 *     when a new earliest timer is put in front.
 *   - Timers with equal firing times stand in the order in which they were
 *     armed: a newly armed timer goes behind every running timer that fires
 *     on the same tick.
 *   - Whenever the first timer leaves a list that still holds timers,
 *     base_time moves to the new first timer's firing time and that timer's
 *     delta becomes 0. While a list is empty, base_time is not read.
 *
 * The 2^31-tick horizon: every difference between the firing times of the
 * timers of one list, its base_time and the tick at which any of its timers
 * is armed must lie within the signed 32-bit range. Differences beyond it
 * wrap modulo 2^32 and the timer is placed by the wrapped value; only the
 * checked build detects it. At one tick a millisecond the horizon is just
 * under 25 days.
 *
 * Absolute ticks are int64_t and compared as signed values, so the tick
 * count and every firing time stay far from the ends of that range: a
 * firing time past INT64_MAX would wrap to a negative tick and fire at once.
 *
 * Rules the caller keeps. The library checks none of them; the checked
 * build (stimer(3)) stops the program at the first one broken and cites
 * its number:
 *   1. every pointer passed in is valid and points to a record that has
 *      been through stimer_init_running_timers or stimer_init (a zeroed
 *      record is neither an empty list nor an idle timer);
 *   2. an operation on a running timer is given the list the timer is in;
 *   3. the fields marked "library:" below are written by the library alone;
 *      the caller only reads them, and re-arms a timer to move it;
 *   4. a running timer is not passed to stimer_init, and a list holding
 *      running timers is not passed to stimer_init_running_timers;
 *   5. neither is released, moved or copied while they are linked to each
 *      other. A record that was moved or copied is initialised again before
 *      use: its links still point at the original;
 *   6. all calls on one list and on its timers come from one thread at a
 *      time. Different lists share nothing. The tick count is read on the
 *      calling thread, and the library never calls back into the caller;
 *   7. the differences above stay within the 2^31-tick horizon, and every
 *      firing time within the int64_t range;
 *   8. the tick count never goes back (tovask.h).
 *
 * The library reports no errors and no call can fail.
 */
#ifndef STIMER_STIMER_H
#define STIMER_STIMER_H

#ifndef __cplusplus
#include <stdbool.h>
#endif
#include <limits.h>
#include <stddef.h>
#include <stdint.h>

/* The version of this header, the one home of the library's version: the
 * build, the SONAME and the packages take theirs from here. There is no
 * run-time query; compare these in the preprocessor. */
#define STIMER_VERSION_MAJOR 1
#define STIMER_VERSION_MINOR 3
#define STIMER_VERSION_PATCH 0
#define STIMER_VERSION_NUMBER \
    (STIMER_VERSION_MAJOR * 10000 + STIMER_VERSION_MINOR * 100 + STIMER_VERSION_PATCH)

#if defined(__GNUC__)
#define STIMER_API __attribute__((visibility("default")))
#else
#define STIMER_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A link of the circular list. Owned by the library while the record it is
 * in is running or is a list; read-only to the caller. */
typedef struct stimer_link {
    struct stimer_link *next; /* library: the following link, or the head */
    struct stimer_link *prev; /* library: the preceding link, or the head */
} stimer_link;

/* A list of running timers. */
typedef struct running_timers {
    int64_t base_time; /* library: tick from which the first delta counts */
    stimer_link head;  /* library: sentinel; next is earliest, prev latest */
} running_timers;

/* One timer. link is the first member, so a pointer to a timer's link is a
 * pointer to the timer. */
typedef struct stimer {
    stimer_link link;   /* library: place in a list, or itself when idle */
    void *data;         /* caller: stored by stimer_init, never read */
    int32_t delta;      /* library: ticks after the predecessor's firing
                           time (the first timer: after base_time);
                           meaningful only while running */
    uint16_t user_word; /* caller: cleared by stimer_init, else untouched */
    uint8_t user_byte;  /* caller: cleared by stimer_init, else untouched */
    uint8_t tag;        /* caller: stored by stimer_init and
                           stimer_start_ex, never read */
} stimer;

#if defined(__cplusplus) && __cplusplus >= 201103L
#define STIMER_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define STIMER_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
/* C99: a negative array size stops the build. */
#define STIMER_STATIC_ASSERT_JOIN(a, b) a##b
#define STIMER_STATIC_ASSERT_AT(cond, line) \
    typedef char STIMER_STATIC_ASSERT_JOIN(stimer_layout_check_, line)[(cond) ? 1 : -1]
#define STIMER_STATIC_ASSERT(cond, msg) STIMER_STATIC_ASSERT_AT(cond, __LINE__)
#endif

#if defined(__x86_64__)
/* The layout is part of the ABI: callers allocate these records. */
STIMER_STATIC_ASSERT(sizeof(stimer_link) == 16, "stimer_link is 16 bytes");
STIMER_STATIC_ASSERT(sizeof(running_timers) == 24, "running_timers is 24 bytes");
STIMER_STATIC_ASSERT(offsetof(running_timers, head) == 8, "running_timers.head at 8");
STIMER_STATIC_ASSERT(sizeof(stimer) == 32, "stimer is 32 bytes");
STIMER_STATIC_ASSERT(offsetof(stimer, link) == 0, "stimer.link at 0");
STIMER_STATIC_ASSERT(offsetof(stimer, data) == 16, "stimer.data at 16");
STIMER_STATIC_ASSERT(offsetof(stimer, delta) == 24, "stimer.delta at 24");
STIMER_STATIC_ASSERT(offsetof(stimer, user_word) == 28, "stimer.user_word at 28");
STIMER_STATIC_ASSERT(offsetof(stimer, user_byte) == 30, "stimer.user_byte at 30");
STIMER_STATIC_ASSERT(offsetof(stimer, tag) == 31, "stimer.tag at 31");
#endif

#undef STIMER_STATIC_ASSERT
#undef STIMER_STATIC_ASSERT_AT
#undef STIMER_STATIC_ASSERT_JOIN

/*
 * stimer_init_running_timers: make a list empty.
 *   Requires: no timer is running in the list.
 *   Effects:  head.next and head.prev point to head. base_time is not
 *             written.
 *   Cost:     O(1). Does not read the tick count.
 */
STIMER_API void stimer_init_running_timers(running_timers *list);

/*
 * stimer_init: make a timer idle and store the caller's values in it.
 *   Requires: the timer is not running.
 *   Effects:  data is stored; tag keeps the low 8 bits of the argument;
 *             user_word and user_byte become 0; link.next and link.prev
 *             point to the timer itself. delta is not written.
 *   Cost:     O(1). Does not read the tick count.
 */
STIMER_API void stimer_init(stimer *timer, int tag, void *data);

/*
 * stimer_start: arm a timer to fire timeout ticks after now.
 *   Requires: the timer is idle, or running in this list.
 *   Effects:  reads the tick count exactly once, as now, whatever the state
 *             of the list. A running timer is first taken out (as by
 *             stimer_kill). The timer then fires at now + timeout and goes
 *             behind every running timer with the same firing time; every
 *             other timer keeps its firing time. timeout is not checked: 0
 *             or a negative value fires at the next query. When the list is
 *             empty at that point, base_time becomes now + timeout and the
 *             timer's delta 0.
 *   Returns:  0, always.
 *   Cost:     O(1) into an empty list; otherwise a walk from the earliest
 *             timer over those that fire no later than this one, plus one.
 */
STIMER_API int stimer_start(running_timers *list, stimer *timer, int32_t timeout);

/*
 * stimer_start_ex: store a new tag in the timer, then stimer_start.
 *   Requires: as stimer_start.
 *   Effects:  tag keeps the low 8 bits of the argument (also when the timer
 *             is running), then exactly as stimer_start.
 *   Returns:  0, always.
 *   Cost:     as stimer_start. Reads the tick count exactly once.
 */
STIMER_API int stimer_start_ex(running_timers *list, stimer *timer, int32_t timeout, int tag);

/*
 * stimer_kill: cancel a timer.
 *   Requires: the timer is idle, or running in this list.
 *   Effects:  a running timer leaves the list and becomes idle; its
 *             successor inherits its delta, so every other timer keeps its
 *             firing time. When it was the first timer and others remain,
 *             base_time moves to the new first timer's firing time. An idle
 *             timer is left as it is.
 *   Cost:     O(1). Does not read the tick count.
 */
STIMER_API void stimer_kill(running_timers *list, stimer *timer);

/*
 * stimer_get_next_firing_time: when the earliest timer fires.
 *   Requires: a valid list.
 *   Returns:  the absolute tick at which the earliest running timer fires,
 *             base_time + its delta; -1 when the list is empty. (A timer
 *             that fires at tick -1 also reports -1.)
 *   Effects:  none.
 *   Cost:     O(1). Does not read the tick count.
 */
STIMER_API int64_t stimer_get_next_firing_time(const running_timers *list);

/*
 * stimer_get_next_fired_timer: take out one fired timer.
 *   Requires: a valid list.
 *   Effects:  when the earliest timer's firing time is at or before now,
 *             removes it as stimer_kill does; it is then idle and may be
 *             re-armed at once. Timers that fire on the same tick come back
 *             one a call, in arming order. Call again until it returns NULL.
 *   Returns:  the fired timer, or NULL when the list is empty or its
 *             earliest timer has not fired yet.
 *   Cost:     O(1). Reads the tick count exactly once when the list holds a
 *             timer (after computing the firing time), never when empty.
 */
STIMER_API stimer *stimer_get_next_fired_timer(running_timers *list);

/* Helpers compiled into the caller: they read the records as described
 * above and add nothing to the library's exports. */

/*
 * stimer_is_running: whether a timer is linked into a list.
 *   Requires: a timer that has been through stimer_init.
 *   Returns:  false exactly when the timer is idle (its next points to
 *             itself).
 *   Cost:     O(1). Does not read the tick count.
 */
static inline bool stimer_is_running(const stimer *timer)
{
    return timer->link.next != &timer->link;
}

/*
 * stimer_firing_time: the absolute tick at which a running timer fires.
 *   Requires: the timer is running in this list.
 *   Returns:  base_time + the deltas of the timers from the first to this
 *             one, summed as the invariants above define it.
 *   Cost:     O(position): it walks back from the timer to the head. Does
 *             not read the tick count.
 */
static inline int64_t stimer_firing_time(const running_timers *list, const stimer *timer)
{
    uint32_t offset = 0;
    const stimer_link *link = &timer->link;
    for (; link != &list->head; link = link->prev)
        offset += (uint32_t)((const stimer *)(const void *)link)->delta;
    /* Wraps as the library's tick arithmetic does, in unsigned types. */
    return (int64_t)((uint64_t)list->base_time + (uint64_t)(int64_t)(int32_t)offset);
}

/*
 * stimer_walk: the running timers of a list in firing order, each with its
 * firing time.
 *   Requires: timer is NULL, to start, or the timer this walk returned
 *             last, with *firing_time as the walk left it. Nothing changes
 *             the list during the walk.
 *   Effects:  *firing_time becomes the firing time of the timer returned,
 *             computed as stimer_firing_time does.
 *   Returns:  the first running timer when timer is NULL, otherwise the
 *             one after timer; NULL after the last.
 *   Cost:     O(1) a step, so O(n) a list. Does not read the tick count.
 */
static inline stimer *stimer_walk(const running_timers *list, const stimer *timer,
                                  int64_t *firing_time)
{
    const stimer_link *next = timer ? timer->link.next : list->head.next;
    uint32_t offset = 0;
    if (next == &list->head)
        return NULL;
    /* The offset from base_time is all that the last firing time holds. */
    if (timer)
        offset = (uint32_t)((uint64_t)*firing_time - (uint64_t)list->base_time);
    offset += (uint32_t)((const stimer *)(const void *)next)->delta;
    *firing_time = (int64_t)((uint64_t)list->base_time + (uint64_t)(int64_t)(int32_t)offset);
    return (stimer *)(void *)next;
}

/*
 * stimer_list_is_empty: whether no timer runs in a list.
 *   Requires: a list that has been through stimer_init_running_timers.
 *   Returns:  true exactly when head.next points to the head. (The -1 of
 *             stimer_get_next_firing_time cannot tell: a timer due at tick
 *             -1 gives it too.)
 *   Cost:     O(1). Does not read the tick count.
 */
static inline bool stimer_list_is_empty(const running_timers *list)
{
    return list->head.next == &list->head;
}

/*
 * stimer_poll_timeout: how long a loop may sleep before the earliest timer
 * of a list fires.
 *   Requires: a valid list; now is the tick count, as the caller read it.
 *   Returns:  -1 when the list is empty (no timer will wake the loop); 0
 *             when the earliest timer fires at or before now; otherwise
 *             the ticks until it fires, at most INT_MAX. Where a tick is a
 *             millisecond, this is the timeout poll(2) and epoll_wait(2)
 *             take.
 *   Cost:     O(1). Does not read the tick count.
 */
static inline int stimer_poll_timeout(const running_timers *list, int64_t now)
{
    if (stimer_list_is_empty(list))
        return -1;
    int64_t left = (int64_t)((uint64_t)stimer_get_next_firing_time(list) - (uint64_t)now);
    return left <= 0 ? 0 : left > INT_MAX ? INT_MAX : (int)left;
}

/*
 * STIMER_CONTAINER_OF: from a pointer to a field back to the caller's
 * record that holds it, such as a stimer, a stimer_member or a
 * stimer_entry embedded in a connection. ptr must point to the field of
 * that name in a record of that type; a pointer of another type than the
 * field's does not compile (a warning in C, an error in C++).
 */
#define STIMER_CONTAINER_OF(ptr, type, field)               \
    ((type *)(void *)((char *)(ptr)-offsetof(type, field) + \
                      0 * sizeof((ptr) == &((type *)0)->field)))

#ifdef __cplusplus
}
#endif

#endif /* STIMER_STIMER_H */
