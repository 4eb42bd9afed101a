/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
/*
 * stimer_class: members that share one timeout, kept with one timer.
 *
 * Idle connections, sessions, leases: when many members share a timeout, a
 * timer each would be armed behind all the others, and every renewal would
 * walk them all. Members that share a timeout expire in the order of their
 * last renewal, so a class keeps them in that order, in a FIFO through the
 * caller's own records, and arms one stimer for the head's deadline:
 *
 *   - stimer_class_renew moves a member to the tail in O(1). It calls the
 *     library only when the class's timer is not running (the class was
 *     empty);
 *   - stimer_class_remove takes a member out in O(1), and stops the timer
 *     with the last member;
 *   - when the class's timer comes back from stimer_get_next_fired_timer,
 *     stimer_class_expired hands back, one a call, the members whose
 *     deadline has come, then arms the timer for the new head.
 *
 * A head renewed after the timer was armed makes the timer fire early once;
 * it then finds nothing due and is armed again. A member never expires
 * before its timeout has passed since its last renewal.
 *
 * Timeouts. The class's timer is armed with the distance from the tick of
 * arming to the head's deadline, and the list's 2^31-tick horizon
 * (stimer.h) applies to it: keep the timeout within 2^30 ticks and the
 * loop less than 2^30 ticks late, and nothing wraps.
 *
 * Everything here is static inline over the library's exports and
 * TickGetCount: it allocates nothing and adds nothing to the ABI. The
 * rules of stimer.h hold for the class's timer; besides, a member is in one
 * class at a time and is given with that class, and a class with members
 * is not released, moved or copied.
 */
#ifndef STIMER_STIMER_CLASS_H
#define STIMER_STIMER_CLASS_H

#include "stimer.h"
#include "tovask.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A member of at most one class. link is the first member, so a pointer to
 * the link is a pointer to the member; embed it in the caller's record. */
typedef struct stimer_member {
    stimer_link link; /* class: place in its FIFO, or itself when in none */
    int64_t deadline; /* class: the tick at which it expires; read-only */
} stimer_member;

/* Members that share a timeout, and the timer for the first of them. */
typedef struct stimer_class {
    stimer timer;         /* class: runs while the class has members; its
                             tag and data are the caller's, to know it by */
    stimer_link fifo;     /* class: least recently renewed first */
    running_timers *list; /* class: the list the timer runs in */
    int32_t timeout;      /* class: ticks from a renewal to expiry */
} stimer_class;

/*
 * stimer_class_init: an empty class whose timer runs in list.
 *   Requires: the class's timer is not running.
 *   Effects:  timer gets tag and data as by stimer_init; no member.
 *   Cost:     O(1). Does not read the tick count.
 */
static inline void stimer_class_init(stimer_class *tc, running_timers *list, int32_t timeout,
                                     int tag, void *data)
{
    stimer_init(&tc->timer, tag, data);
    tc->fifo.next = tc->fifo.prev = &tc->fifo;
    tc->list = list;
    tc->timeout = timeout;
}

/*
 * stimer_member_init: a member of no class.
 *   Cost:     O(1).
 */
static inline void stimer_member_init(stimer_member *m)
{
    m->link.next = m->link.prev = &m->link;
}

/*
 * stimer_class_remove: take a member out of its class.
 *   Requires: the member is in this class, or in none.
 *   Effects:  the member is in no class; the timer stops with the last
 *             member. A member in no class is left as it is.
 *   Cost:     O(1). Does not read the tick count.
 */
static inline void stimer_class_remove(stimer_class *tc, stimer_member *m)
{
    m->link.prev->next = m->link.next;
    m->link.next->prev = m->link.prev;
    stimer_member_init(m);
    if (tc->fifo.next == &tc->fifo)
        stimer_kill(tc->list, &tc->timer);
}

/*
 * stimer_class_renew: the member expires timeout ticks from now.
 *   Requires: the member is in this class, or in none.
 *   Effects:  reads the tick count once, as now; deadline becomes
 *             now + timeout and the member goes to the tail. When the
 *             class's timer is not running, it is armed for the head.
 *   Cost:     O(1), and no library call while the timer runs.
 */
static inline void stimer_class_renew(stimer_class *tc, stimer_member *m)
{
    int64_t now = TickGetCount();
    m->link.prev->next = m->link.next;
    m->link.next->prev = m->link.prev;
    m->deadline = (int64_t)((uint64_t)now + (uint64_t)(int64_t)tc->timeout);
    m->link.next = &tc->fifo;
    m->link.prev = tc->fifo.prev;
    tc->fifo.prev->next = &m->link;
    tc->fifo.prev = &m->link;
    if (!stimer_is_running(&tc->timer)) {
        const stimer_member *first = (const stimer_member *)(const void *)tc->fifo.next;
        stimer_start(tc->list, &tc->timer, (int32_t)(first->deadline - now));
    }
}

/*
 * stimer_class_expired: the next member whose deadline is at or before now.
 *   Requires: now is the tick count of this pass; call it when the class's
 *             timer has fired, until it returns NULL.
 *   Effects:  the member returned is out of the class. With none left
 *             due, the timer is armed for the new head's deadline, measured
 *             from the tick count read then, or stopped when the class is
 *             empty. A member renewed during the pass with a timeout of 0
 *             or less is due again at once, so such a pass does not end.
 *             It may also be called when the timer has not fired, to
 *             drain the class up to now.
 *   Returns:  a member, or NULL.
 *   Cost:     O(1). Reads the tick count only when it arms the timer.
 */
static inline stimer_member *stimer_class_expired(stimer_class *tc, int64_t now)
{
    stimer_member *first = (stimer_member *)(void *)tc->fifo.next;
    if (tc->fifo.next == &tc->fifo) {
        stimer_kill(tc->list, &tc->timer);
        return NULL;
    }
    if (first->deadline > now) {
        /* From the tick of arming, not of the pass: the caller may have
         * spent ticks on the members handed back before. */
        int64_t armed = TickGetCount();
        stimer_start(tc->list, &tc->timer,
                     (int32_t)(uint32_t)((uint64_t)first->deadline - (uint64_t)armed));
        return NULL;
    }
    tc->fifo.next = first->link.next;
    first->link.next->prev = &tc->fifo;
    stimer_member_init(first);
    return first;
}

/*
 * stimer_class_walk: the members of a class in the order they expire.
 *   Requires: m is NULL, to start, or the member this walk returned last.
 *             Nothing changes the class during the walk.
 *   Returns:  the least recently renewed member when m is NULL, otherwise
 *             the one renewed after m; NULL after the last. Each member's
 *             deadline is its own.
 *   Cost:     O(1) a step. Does not read the tick count.
 */
static inline stimer_member *stimer_class_walk(const stimer_class *tc, const stimer_member *m)
{
    const stimer_link *next = m ? m->link.next : tc->fifo.next;
    return next == &tc->fifo ? NULL : (stimer_member *)(void *)next;
}

#ifdef __cplusplus
}
#endif

#endif /* STIMER_STIMER_CLASS_H */
