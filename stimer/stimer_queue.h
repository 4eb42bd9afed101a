/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
/*
 * stimer_queue: any number of entries on their own timeouts, kept with one
 * timer.
 *
 * Per-request deadlines, retries with jitter, leases: when thousands of
 * timers have unrelated timeouts, a timer each would be armed behind all
 * those due sooner. A queue keeps its entries in a pairing heap through the
 * caller's own records and arms one stimer, in the caller's list, for the
 * earliest of them. (A pointer-based binary heap, as libuv keeps, took 1.4
 * to 3 times as long on the same churn from 64 to 65,536 entries, side by
 * side in one run, and insertion there is O(log n), not O(1).)
 *
 *   - stimer_queue_arm places a new entry in amortised O(1), and moves an
 *     armed one in amortised O(log n). It re-arms the queue's timer only when the
 *     entry is due before the tick the timer is armed for, or the queue
 *     was empty;
 *   - stimer_queue_cancel takes an entry out at once, in amortised
 *     O(log n), and stops the timer with the last entry;
 *   - when the queue's timer comes back from stimer_get_next_fired_timer,
 *     stimer_queue_expired hands back, one a call, the entries whose
 *     deadline has come, earliest first, then arms the timer for the new
 *     earliest.
 *
 * The timer is never armed for a tick later than the earliest deadline.
 * After a cancel or a postponement it may fire early once; it then finds
 * nothing due and is armed again. An entry never expires before its
 * deadline, and entries with equal deadlines expire in the order in which
 * they were armed, as timers do in a list.
 *
 * A postponed entry is taken out and put back. Leaving it in place with its
 * new deadline, to be moved when it reaches the front, took 16 more bytes
 * an entry, was no faster where every arming postpones (bench/stimer_peers
 * P5) and 6% to 15% slower on churn and mixed loads (P1, P6).
 *
 * Timeouts. A deadline is the tick of arming plus the timeout, so entries
 * may be armed with any int32_t timeout; 0 or less is due at the next pass.
 * The queue's timer is armed with the distance from the tick of arming to
 * the earliest deadline, and the list's 2^31-tick horizon (stimer.h)
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
#include "tovask.h"

#ifdef __cplusplus
extern "C" {
#endif

/* An entry of at most one queue; embed it in the caller's record. */
typedef struct stimer_entry {
    struct stimer_entry *child; /* queue: first child in the heap, or NULL */
    struct stimer_entry *next;  /* queue: next sibling, or NULL */
    struct stimer_entry *prev;  /* queue: previous sibling, the parent of a
                                   first child, NULL at the root; the entry
                                   itself when not armed */
    int64_t deadline;           /* queue: the tick at which it expires;
                                   read-only, meaningful while armed */
    uint64_t order;             /* queue: the arming that set deadline,
                                   which breaks ties */
} stimer_entry;

/* Entries on their own timeouts, and the timer for the earliest. */
typedef struct stimer_queue {
    stimer timer;         /* queue: runs while the queue has entries; its
                             tag and data are the caller's, to know it by */
    stimer_entry *root;   /* queue: the heap's first entry, or NULL */
    running_timers *list; /* queue: the list the timer runs in */
    int64_t armed_for;    /* queue: the deadline the timer was armed for,
                             meaningful while it runs */
    uint64_t arms;        /* queue: armings so far, the next order */
    uint64_t pushes;      /* queue: trees put under the root so far */
} stimer_queue;

/* Internal to the queue, and no part of its interface: the stimer_heap_
 * functions keep a pairing heap ordered by (deadline, order),
 * which no two entries share, so that equal deadlines keep arming order.
 * Every entry is at or after its parent. */

static inline int stimer_heap_before(const stimer_entry *a, const stimer_entry *b)
{
    return (a->deadline < b->deadline) | ((a->deadline == b->deadline) & (a->order < b->order));
}

/* b, a root, becomes the first child of a. */
static inline stimer_entry *stimer_heap_adopt(stimer_entry *a, stimer_entry *b)
{
    stimer_entry *c = a->child;
    b->prev = a;
    b->next = c;
    if (c)
        c->prev = b;
    a->child = b;
    return a;
}

/* Two heaps made one: the later root becomes the first child of the
 * earlier; the roots' siblings are not read. Without a branch, for the
 * pairing, whose outcomes no predictor can guess: 15% to 25% faster on
 * random timeouts at 1,024 and 4,096 entries, 15% slower where deadlines
 * come in order (bench/stimer_peers, P1 and P5), where a stimer_class is
 * the better tool. */
static inline stimer_entry *stimer_heap_meld(stimer_entry *a, stimer_entry *b)
{
    uintptr_t swap = (uintptr_t)0 - (uintptr_t)stimer_heap_before(b, a);
    uintptr_t x = ((uintptr_t)a ^ (uintptr_t)b) & swap;
    return stimer_heap_adopt((stimer_entry *)((uintptr_t)a ^ x),
                             (stimer_entry *)((uintptr_t)b ^ x));
}

/* The sibling list from first, melded into one heap in two passes: pairs
 * from the left, then the pairs from the right. This is what gives the
 * amortised O(log n) removal. */
static inline stimer_entry *stimer_heap_merge_pairs(stimer_entry *first)
{
    stimer_entry *pairs = NULL, *root;
    while (first) {
        stimer_entry *a = first, *b = first->next;
        if (b) {
            first = b->next;
            a = stimer_heap_meld(a, b);
        } else {
            first = NULL;
        }
        a->next = pairs; /* pairs is built in reverse */
        pairs = a;
    }
    if (!pairs)
        return NULL;
    root = pairs;
    for (pairs = pairs->next; pairs;) {
        stimer_entry *following = pairs->next;
        root = stimer_heap_meld(root, pairs);
        pairs = following;
    }
    root->prev = root->next = NULL;
    return root;
}

/* A tree t joins the heap: t becomes the root, or the root's first child.
 * The root's newest children are then paired as a binary counter carries:
 * the k-th tree melds them as often as k ends in zero bits. Runs of
 * insertions and removals so leave the root O(log n) children instead of
 * one each, and the next expiry pays for no more: after a million armings
 * and 200,000 moves and cancels, the first expiry took 13 ms without. */
static inline void stimer_heap_push(stimer_queue *q, stimer_entry *t)
{
    stimer_entry *root = q->root;
    uint64_t k;
    if (!root || stimer_heap_before(t, root)) {
        t->prev = t->next = NULL;
        q->root = root ? stimer_heap_adopt(t, root) : t;
        return;
    }
    stimer_heap_adopt(root, t);
    for (k = ++q->pushes; !(k & 1) && t->next; k >>= 1) {
        stimer_entry *rest = t->next->next;
        t = stimer_heap_meld(t, t->next);
        t->prev = root;
        t->next = rest;
        if (rest)
            rest->prev = t;
        root->child = t;
    }
}

/* Takes e out of the heap; e's own links are left for the caller. */
static inline void stimer_heap_remove(stimer_queue *q, stimer_entry *e)
{
    stimer_entry *rest = stimer_heap_merge_pairs(e->child);
    if (e == q->root) {
        q->root = rest;
        return;
    }
    if (e->prev->child == e) /* a first child: prev is its parent */
        e->prev->child = e->next;
    else
        e->prev->next = e->next;
    if (e->next)
        e->next->prev = e->prev;
    if (rest)
        stimer_heap_push(q, rest);
}

/*
 * stimer_queue_init: an empty queue whose timer runs in list.
 *   Requires: the queue's timer is not running.
 *   Effects:  timer gets tag and data as by stimer_init; no entry.
 *   Cost:     O(1). Does not read the tick count.
 */
static inline void stimer_queue_init(stimer_queue *q, running_timers *list, int tag, void *data)
{
    stimer_init(&q->timer, tag, data);
    q->root = NULL;
    q->list = list;
    q->arms = q->pushes = 0;
}

/*
 * stimer_entry_init: an entry of no queue.
 *   Cost:     O(1).
 */
static inline void stimer_entry_init(stimer_entry *e)
{
    e->prev = e;
}

/*
 * stimer_entry_is_armed: whether an entry is in a queue.
 *   Requires: an entry that has been through stimer_entry_init.
 *   Cost:     O(1).
 */
static inline bool stimer_entry_is_armed(const stimer_entry *e)
{
    return e->prev != e;
}

/*
 * stimer_queue_arm: the entry expires timeout ticks from now.
 *   Requires: the entry is in this queue, or in none.
 *   Effects:  reads the tick count once, as now; deadline becomes
 *             now + timeout, after every entry armed before it for the
 *             same tick. The queue's timer is armed when the entry is due
 *             before the tick it is armed for, or the queue was empty; in a
 *             pass, the pass's last stimer_queue_expired arms it.
 *   Cost:     amortised O(1) for an entry in no queue, amortised
 *             O(log n) for an armed one. The library is called only when the timer is
 *             armed.
 */
static inline void stimer_queue_arm(stimer_queue *q, stimer_entry *e, int32_t timeout)
{
    int64_t now = TickGetCount();
    int64_t deadline = (int64_t)((uint64_t)now + (uint64_t)(int64_t)timeout);
    int was_empty = q->root == NULL;
    if (stimer_entry_is_armed(e))
        stimer_heap_remove(q, e);
    e->deadline = deadline;
    e->order = q->arms++;
    e->child = NULL;
    stimer_heap_push(q, e);
    /* A stopped timer with entries left is in a pass, whose last
     * stimer_queue_expired arms it. */
    if (stimer_is_running(&q->timer) ? deadline < q->armed_for : was_empty) {
        q->armed_for = deadline;
        stimer_start(q->list, &q->timer, timeout);
    }
}

/*
 * stimer_queue_cancel: take an entry out of its queue.
 *   Requires: the entry is in this queue, or in none.
 *   Effects:  the entry is in no queue, and the caller may release it at
 *             once; the timer stops with the last entry and is otherwise
 *             left armed. An entry in no queue is left as it is.
 *   Cost:     amortised O(log n). Does not read the tick count.
 */
static inline void stimer_queue_cancel(stimer_queue *q, stimer_entry *e)
{
    if (!stimer_entry_is_armed(e))
        return;
    stimer_heap_remove(q, e);
    stimer_entry_init(e);
    if (!q->root)
        stimer_kill(q->list, &q->timer);
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
 *             not end. With none left due, the timer is armed for the
 *             earliest deadline, measured from the tick count read then,
 *             or stopped when the queue is empty.
 *   Returns:  an entry, or NULL.
 *   Cost:     amortised O(log n). Reads the tick count only when it arms
 *             the timer.
 */
static inline stimer_entry *stimer_queue_expired(stimer_queue *q, int64_t now)
{
    stimer_entry *e = q->root;
    if (!e) {
        stimer_kill(q->list, &q->timer);
        return NULL;
    }
    if (e->deadline <= now) {
        stimer_heap_remove(q, e);
        stimer_entry_init(e);
        return e;
    }
    if (!stimer_is_running(&q->timer) || q->armed_for != e->deadline) {
        int64_t armed = TickGetCount(); /* the pass may have taken ticks */
        q->armed_for = e->deadline;
        stimer_start(q->list, &q->timer,
                     (int32_t)(uint32_t)((uint64_t)e->deadline - (uint64_t)armed));
    }
    return NULL;
}

/*
 * stimer_queue_walk: every armed entry of a queue, in heap order.
 *   Requires: e is NULL, to start, or the entry this walk returned last.
 *             Nothing changes the queue during the walk.
 *   Returns:  the earliest entry when e is NULL, otherwise the next in
 *             heap order, in which every entry comes after its parent in
 *             the heap, which expires before it; NULL after the last.
 *             Beyond the first, that is not the order of expiry: sort by
 *             (deadline, order) for that, which is also how equal
 *             deadlines expire.
 *   Cost:     O(n) a walk, in preorder through the heap's own links.
 *             Does not read the tick count.
 */
static inline stimer_entry *stimer_queue_walk(const stimer_queue *q, const stimer_entry *e)
{
    if (!e)
        return q->root;
    if (e->child)
        return e->child;
    for (;;) {
        if (e->next)
            return e->next;
        /* Up: back to the first sibling, whose prev is the parent. */
        while (e->prev && e->prev->child != e)
            e = e->prev;
        e = e->prev;
        if (!e)
            return NULL;
    }
}

#ifdef __cplusplus
}
#endif

#endif /* STIMER_STIMER_QUEUE_H */
