/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
/*
 * stimer_queue: any number of entries on their own timeouts, kept with one
 * timer.
 *
 * Per-request deadlines, retries with jitter, leases: when thousands of
 * timers have unrelated timeouts, a timer each would be armed behind all
 * those due sooner. A queue keeps its entries in a hierarchical timing
 * wheel through the caller's own records (stimer_wheel.h), and arms one
 * stimer, in the caller's list, for the wheel's next step. A wheel, for
 * its O(1) arming and cancelling and a drain that hands out whole slots;
 * docs/BENCHMARKS.md has the figures beside the pairing heap it replaced.
 *
 *   - stimer_queue_arm places or moves an entry in O(1). It re-arms the
 *     queue's timer only when the entry is due before the tick the timer
 *     is armed for, or the queue was empty;
 *   - stimer_queue_cancel takes an entry out at once, in O(1), and stops
 *     the timer with the last entry;
 *   - when the queue's timer comes back from stimer_get_next_fired_timer,
 *     stimer_queue_expired hands back, one a call, the entries whose
 *     deadline has come, earliest first, then arms the timer for the
 *     wheel's next step.
 *
 * The timer is never armed for a tick later than the earliest deadline. It
 * may fire before it: after a cancel or a postponement, and at the first
 * tick of a block of the wheel's upper levels, which it then spreads over
 * the levels below; an entry alone in the queue, armed n ticks ahead,
 * brings one such wake a level above 0 that it passes, about log64(n). It
 * then finds nothing due and is armed again. An entry never expires before its deadline, and
 * entries with equal deadlines expire in the order in which they were armed, as timers do in a
 * list.
 *
 * Timeouts. A deadline is the tick of arming plus the timeout, so entries
 * may be armed with any int32_t timeout; 0 or less is due at the next pass.
 * The queue's timer is armed with the distance from the tick of arming to
 * the wheel's next step, and the list's 2^31-tick horizon (stimer.h)
 * applies to it: keep timeouts within 2^30 ticks and the loop less than
 * 2^30 ticks late, and nothing wraps.
 *
 * Everything here is static inline over the library's exports and
 * TickGetCount: it allocates nothing and adds nothing to the ABI. The rules
 * of stimer.h hold for the queue's timer; besides, an entry is in one queue
 * at a time and is given with that queue, and a queue with entries is not
 * released, moved or copied. Absolute ticks are compared as plain int64_t
 * and stay far from its limits.
 */
#ifndef STIMER_STIMER_QUEUE_H
#define STIMER_STIMER_QUEUE_H

#include "stimer.h"
#include "stimer_wheel.h"
#include "tovask.h"

#ifdef __cplusplus
extern "C" {
#endif

/* stimer_entry, an entry of at most one queue, is stimer_wheel.h's: a
 * stimer_link, the deadline and the order of arming, 32 bytes to embed in
 * the caller's record. */

/* Entries on their own timeouts, and the timer for the earliest. */
typedef struct stimer_queue {
    stimer timer;         /* queue: runs while the queue has entries; its
                             tag and data are the caller's, to know it by */
    running_timers *list; /* queue: the list the timer runs in */
    int64_t wake;         /* queue: the tick the timer is armed for, while
                             it runs */
    stimer_wheel wheel;   /* queue: the entries */
} stimer_queue;

#if defined(__x86_64__) && (defined(__cplusplus) || __STDC_VERSION__ >= 201112L)
#ifdef __cplusplus
#define STIMER_QUEUE_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define STIMER_QUEUE_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif
/* What the gdb extension reads, and the sizes that the pages promise. */
STIMER_QUEUE_ASSERT(sizeof(stimer_entry) == 32, "stimer_entry is 32 bytes");
STIMER_QUEUE_ASSERT(offsetof(stimer_entry, deadline) == 16, "stimer_entry.deadline at 16");
STIMER_QUEUE_ASSERT(offsetof(stimer_entry, order) == 24, "stimer_entry.order at 24");
STIMER_QUEUE_ASSERT(offsetof(stimer_queue, wake) == 40, "stimer_queue.wake at 40");
STIMER_QUEUE_ASSERT(offsetof(stimer_queue, wheel) == 48, "stimer_queue.wheel at 48");
STIMER_QUEUE_ASSERT(offsetof(stimer_wheel, count) == 8, "stimer_wheel.count at 8");
STIMER_QUEUE_ASSERT(offsetof(stimer_wheel, late) == 72, "stimer_wheel.late at 72");
STIMER_QUEUE_ASSERT(offsetof(stimer_wheel, slots) == 88, "the slots follow late");
STIMER_QUEUE_ASSERT(sizeof(stimer_queue) == 6280, "stimer_queue is 6,280 bytes");
#undef STIMER_QUEUE_ASSERT
#endif

/*
 * stimer_queue_init: an empty queue whose timer runs in list.
 *   Requires: the queue's timer is not running.
 *   Effects:  timer gets tag and data as by stimer_init; no entry.
 *   Cost:     O(slots), about 400 stores. Does not read the tick count.
 */
static inline void stimer_queue_init(stimer_queue *q, running_timers *list, int tag, void *data)
{
    stimer_init(&q->timer, tag, data);
    q->list = list;
    stimer_wheel_init(&q->wheel);
}

/*
 * stimer_entry_init: an entry of no queue.
 *   Cost:     O(1).
 */
static inline void stimer_entry_init(stimer_entry *e)
{
    e->link.next = e->link.prev = &e->link;
}

/*
 * stimer_entry_is_armed: whether an entry is in a queue.
 *   Requires: an entry that has been through stimer_entry_init.
 *   Cost:     O(1).
 */
static inline bool stimer_entry_is_armed(const stimer_entry *e)
{
    return e->link.next != &e->link;
}

/*
 * stimer_queue_arm: the entry expires timeout ticks from now.
 *   Requires: the entry is in this queue, or in none.
 *   Effects:  reads the tick count once, as now; deadline becomes
 *             now + timeout, after every entry armed before it for the
 *             same tick. The queue's timer is armed when the entry is due
 *             before the tick it is armed for, or the queue was empty; in a
 *             pass, the pass's last stimer_queue_expired arms it.
 *   Cost:     O(1), but for a deadline before the last pass's now (a
 *             negative timeout), which walks the entries so armed that
 *             are due later. The library is called only when the timer is
 *             armed.
 */
static inline void stimer_queue_arm(stimer_queue *q, stimer_entry *e, int32_t timeout)
{
    int64_t now = TickGetCount();
    int64_t deadline = (int64_t)((uint64_t)now + (uint64_t)(int64_t)timeout);
    int was_empty = q->wheel.count == 0;
    stimer_wheel_add(&q->wheel, e, deadline, now);
    /* A stopped timer with entries left is in a pass, whose last
     * stimer_queue_expired arms it. */
    if (stimer_is_running(&q->timer) ? deadline < q->wake : was_empty) {
        q->wake = deadline;
        stimer_start(q->list, &q->timer, timeout);
    }
}

/*
 * stimer_queue_cancel: take an entry out of its queue.
 *   Requires: the entry is in this queue, or in none.
 *   Effects:  the entry is in no queue, and the caller may release it at
 *             once; the timer stops with the last entry and is otherwise
 *             left armed. An entry in no queue is left as it is.
 *   Cost:     O(1). Does not read the tick count.
 */
static inline void stimer_queue_cancel(stimer_queue *q, stimer_entry *e)
{
    if (!stimer_entry_is_armed(e))
        return;
    stimer_wheel_remove(&q->wheel, e);
    if (!q->wheel.count)
        stimer_kill(q->list, &q->timer);
}

/* Internal to stimer_queue_expired, and no part of the interface: the end
 * of a pass, the timer armed for the wheel's next step or stopped. A
 * function of its own, which keeps stimer_queue_expired small enough to
 * inline into the caller's loop. */
static inline void stimer_queue_rearm(stimer_queue *q)
{
    int level;
    unsigned slot;
    int64_t wake;
    if (!q->wheel.count) {
        stimer_kill(q->list, &q->timer);
        return;
    }
    wake = stimer_wheel_next(&q->wheel, &level, &slot);
    if (!stimer_is_running(&q->timer) || q->wake != wake) {
        int64_t armed = TickGetCount(); /* the pass may have taken ticks */
        q->wake = wake;
        stimer_start(q->list, &q->timer, (int32_t)(uint32_t)((uint64_t)wake - (uint64_t)armed));
    }
}

/*
 * stimer_queue_expired: the next entry whose deadline is at or before now.
 *   Requires: now is the tick count of this pass. Once the queue's timer
 *             has come back from stimer_get_next_fired_timer, call it
 *             until it returns NULL: until then the timer stays stopped.
 *             It may also be called when the timer has not fired, to
 *             drain the queue up to now.
 *   Effects:  the entry returned is out of the queue and may be armed
 *             again at once; one armed with a timeout of 0 or less during
 *             the pass comes back in the same pass, so such a pass does
 *             not end. Its deadline still reads as it was. With none left
 *             due, the timer is armed for the wheel's next step, measured
 *             from the tick count read then, or stopped when the queue is
 *             empty.
 *   Returns:  an entry, or NULL.
 *   Cost:     O(1), and the cascades of the wheel's slots that now
 *             reaches, each entry at most once a level. Reads the tick
 *             count only when it arms the timer.
 */
static inline stimer_entry *stimer_queue_expired(stimer_queue *q, int64_t now)
{
    stimer_entry *e = stimer_wheel_pop(&q->wheel, now);
    if (!e)
        stimer_queue_rearm(q);
    return e;
}

/*
 * stimer_queue_walk: every armed entry of a queue.
 *   Requires: e is NULL, to start, or the entry this walk returned last.
 *             Nothing changes the queue during the walk.
 *   Returns:  the first entry when e is NULL, otherwise the next; NULL
 *             after the last, in the wheel's order (stimer_wheel.h). A
 *             sort by (deadline, order) gives the order of expiry, equal
 *             deadlines included.
 *   Cost:     O(n) a walk, and a look at each of the wheel's 385 lists.
 *             Does not read the tick count.
 */
static inline stimer_entry *stimer_queue_walk(const stimer_queue *q, const stimer_entry *e)
{
    return stimer_wheel_walk(&q->wheel, e);
}

#ifdef __cplusplus
}
#endif

#endif /* STIMER_STIMER_QUEUE_H */
