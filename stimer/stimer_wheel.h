/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
/*
 * stimer_wheel: the structure inside a stimer_queue, and no part of its
 * interface: include stimer_queue.h and call the stimer_queue_ functions.
 *
 * A hierarchical timing wheel that keeps exact deadlines in the caller's
 * memory: entries come out earliest first, and those with equal deadlines
 * in the order in which they were added. Adding and removing are O(1);
 * taking the earliest is O(1) but for cascades, which move an entry at
 * most once a level.
 *
 * The wheel's tick, now, is the tick up to which it has handed entries
 * out. It has 6 levels of 64 slots. Level L counts time in blocks of 64^L
 * ticks, and its 64 slots are the blocks from now's on, round modulo 64: a
 * slot is the block whose number, the deadline shifted right by 6L bits,
 * it names in its low 6 bits. An entry whose deadline d is at or after now
 * lies in a level whose block holding d is fewer than 64 blocks after
 * now's (the lowest such level, or the one above it, as a bit scan finds
 * it), in the slot of that block. So:
 *   - a slot of level 0 holds a single deadline, and the slots of level 0
 *     from now's on are the ticks that follow it, in order;
 *   - a slot of a level above 0 never holds the block now is in: when now
 *     reaches the first tick of a slot's block, the slot is cascaded, its
 *     entries placed again, each in a lower level;
 *   - the wheel's next step is the earliest of the levels' first occupied
 *     slots: the first tick of a block, or the deadline in level 0.
 * A bitmap a level marks the slots that hold entries, so that each level's
 * next slot is one bit scan away, and a wheel left far behind catches up
 * in steps of occupied slots, not of ticks. Level 5's blocks of 2^30 ticks
 * let deadlines lie up to 63 * 2^30 ticks after now.
 *
 * Why equal deadlines keep the order in which they were added. Every entry
 * takes a number, order, as it is added. Each slot is a FIFO: adding
 * appends to its tail, and a cascade takes a slot's entries from its head.
 * Entries of one deadline may still be split between a block of a higher
 * level, added while it was far, and level 0, added once it was near; at
 * equal steps a higher level cascades first, and an entry that a cascade
 * brings to level 0 goes behind the entries there that were added before
 * it, by a walk back from the tail over those added after it.
 *
 * A deadline before now (a negative timeout, added after now has passed
 * it) has no block: it waits in late, a list in order of deadline and
 * then of adding, found by a walk back from its tail. Every late entry
 * expires before every entry in the slots.
 */
#ifndef STIMER_STIMER_WHEEL_H
#define STIMER_STIMER_WHEEL_H

#include "stimer.h"

#ifdef __cplusplus
extern "C" {
#endif

#define STIMER_WHEEL_LEVELS 6
#define STIMER_WHEEL_SLOTS  64 /* a level: one bit each of a uint64_t */
#define STIMER_WHEEL_HEADS  (1 + STIMER_WHEEL_LEVELS * STIMER_WHEEL_SLOTS)

/* An entry of at most one wheel. link is the first member, so a pointer to
 * the link is a pointer to the entry; embed it in the caller's record. */
typedef struct stimer_entry {
    stimer_link link; /* queue: place in a slot or in late; itself in none */
    int64_t deadline; /* queue: the tick at which it expires; read-only */
    uint64_t order;   /* queue: when it was added, which breaks ties */
} stimer_entry;

typedef struct stimer_wheel {
    int64_t now;                            /* entries due before it have been handed out */
    uint64_t count;                         /* entries in the wheel */
    uint64_t adds;                          /* entries added so far: the next order */
    uint64_t occupied[STIMER_WHEEL_LEVELS]; /* a bit a slot that holds any */
    stimer_link late;                       /* due before now, in order */
    stimer_link slots[STIMER_WHEEL_LEVELS][STIMER_WHEEL_SLOTS]; /* FIFOs */
} stimer_wheel;

static inline stimer_entry *stimer_wheel_entry(const stimer_link *l)
{
    return (stimer_entry *)(void *)l;
}

/* The heads, late first and then the slots level by level, lie in one run
 * of memory: a link's index in it tells whether it is a head, and which. */
static inline uintptr_t stimer_wheel_head_index(const stimer_wheel *w, const stimer_link *l)
{
    return ((uintptr_t)l - (uintptr_t)&w->late) / sizeof(stimer_link);
}

/* The number of the block of 64^level ticks that holds t. */
static inline uint64_t stimer_wheel_block(int64_t t, int level)
{
    return (uint64_t)t >> (6 * level);
}

static inline void stimer_wheel_link_after(stimer_link *prev, stimer_link *l)
{
    stimer_link *next = prev->next;
    l->next = next;
    next->prev = l;
    l->prev = prev;
    prev->next = l;
}

/* e goes to the tail of a slot. */
static inline void stimer_wheel_append(stimer_wheel *w, stimer_entry *e, int level, unsigned slot)
{
    stimer_wheel_link_after(w->slots[level][slot].prev, &e->link);
    w->occupied[level] |= (uint64_t)1 << slot;
}

/* The level for a deadline at or after now: the one in which
 * ahead = deadline - now spans fewer than 64 blocks, bit-scanned. */
static inline int stimer_wheel_level(uint64_t ahead)
{
    return (int)((unsigned)(63 ^ __builtin_clzll(ahead | 1)) / 6); /* the top bit's group */
}

/* e, with its deadline and order set and in no list, goes where its
 * deadline puts it against now: late, or the tail of its block's slot. */
static inline void stimer_wheel_place(stimer_wheel *w, stimer_entry *e)
{
    uint64_t ahead = (uint64_t)e->deadline - (uint64_t)w->now, since;
    int level = stimer_wheel_level(ahead);
    if (e->deadline < w->now) {
        /* Behind every late entry due no later. */
        stimer_link *at = w->late.prev;
        while (at != &w->late && stimer_wheel_entry(at)->deadline > e->deadline)
            at = at->prev;
        stimer_wheel_link_after(at, &e->link);
        return;
    }
    /* now's place in its block can put the deadline's 64 blocks on: then
     * one level up, where it is the next block. (The blocks are counted from
     * now's first tick, so that they run on across tick 0.) */
    since = ahead + ((uint64_t)w->now & (((uint64_t)1 << (6 * level)) - 1));
    if (since >> (6 * level) >= STIMER_WHEEL_SLOTS)
        ++level;
    if (level >= STIMER_WHEEL_LEVELS)
        level = STIMER_WHEEL_LEVELS - 1;
    stimer_wheel_append(
        w, e, level, (unsigned)stimer_wheel_block(e->deadline, level) & (STIMER_WHEEL_SLOTS - 1));
}

/* The slot's entries, from its head, to the lower levels their deadlines
 * give against now, the first tick of the slot's block, where none spans
 * 64 blocks of its level. In level 0 an entry goes behind only those added
 * before it. */
static inline void stimer_wheel_cascade(stimer_wheel *w, int level, unsigned slot)
{
    stimer_link *head = &w->slots[level][slot], *l = head->next;
    head->next = head->prev = head;
    w->occupied[level] &= ~((uint64_t)1 << slot);
    while (l != head) {
        stimer_entry *e = stimer_wheel_entry(l);
        uint64_t ahead = (uint64_t)e->deadline - (uint64_t)w->now;
        l = l->next;
        if (ahead < STIMER_WHEEL_SLOTS) {
            unsigned tick = (unsigned)e->deadline & (STIMER_WHEEL_SLOTS - 1);
            stimer_link *at = w->slots[0][tick].prev;
            while (at != &w->slots[0][tick] && stimer_wheel_entry(at)->order > e->order)
                at = at->prev;
            stimer_wheel_link_after(at, &e->link);
            w->occupied[0] |= (uint64_t)1 << tick;
        } else {
            int to = stimer_wheel_level(ahead);
            stimer_wheel_append(
                w, e, to, (unsigned)stimer_wheel_block(e->deadline, to) & (STIMER_WHEEL_SLOTS - 1));
        }
    }
}

/*
 * stimer_wheel_init: an empty wheel.
 *   Cost:     O(slots).
 */
static inline void stimer_wheel_init(stimer_wheel *w)
{
    w->now = 0;
    w->count = 0;
    w->adds = 0;
    w->late.next = w->late.prev = &w->late;
    for (int level = 0; level != STIMER_WHEEL_LEVELS; ++level) {
        w->occupied[level] = 0;
        for (int slot = 0; slot != STIMER_WHEEL_SLOTS; ++slot)
            w->slots[level][slot].next = w->slots[level][slot].prev = &w->slots[level][slot];
    }
}

/* e leaves its list and points to itself. */
static inline void stimer_wheel_unlink(stimer_wheel *w, stimer_entry *e)
{
    stimer_link *next = e->link.next, *prev = e->link.prev;
    prev->next = next;
    next->prev = prev;
    e->link.next = e->link.prev = &e->link;
    /* Only a head is its own neighbour both ways: a list left empty. */
    if (next == prev) {
        uintptr_t i = stimer_wheel_head_index(w, next) - 1; /* late: none */
        if (i < STIMER_WHEEL_LEVELS * STIMER_WHEEL_SLOTS)
            w->occupied[i / STIMER_WHEEL_SLOTS] &= ~((uint64_t)1 << i % STIMER_WHEEL_SLOTS);
    }
}

/*
 * stimer_wheel_add: e expires at deadline, after every entry added before
 * it for the same tick.
 *   Requires: e is in this wheel, or points to itself; now is the tick of
 *             adding, at or after the wheel's now.
 *   Effects:  e joins the wheel, or moves in it. An empty wheel first
 *             moves its now to now, so that it never lags a clock it has
 *             not seen since it emptied.
 */
static inline void stimer_wheel_add(stimer_wheel *w, stimer_entry *e, int64_t deadline, int64_t now)
{
    if (e->link.next != &e->link)
        stimer_wheel_unlink(w, e);
    else if (w->count++ == 0)
        w->now = now;
    e->deadline = deadline;
    e->order = w->adds++;
    stimer_wheel_place(w, e);
}

/*
 * stimer_wheel_remove: e leaves the wheel and points to itself.
 *   Requires: e is in this wheel.
 */
static inline void stimer_wheel_remove(stimer_wheel *w, stimer_entry *e)
{
    stimer_wheel_unlink(w, e);
    w->count--;
}

/*
 * stimer_wheel_next: the tick of the wheel's next step.
 *   Requires: the wheel is not empty.
 *   Returns:  the earliest deadline when it is late, or in level 0 before
 *             any block of a higher level starts; otherwise the first tick
 *             of the earliest block to cascade, which is before every
 *             deadline in the wheel that is not in level 0. *level and
 *             *slot name that slot, or *level is -1 for late.
 *   Cost:     O(1) while level 0 holds the next 64 ticks' entries,
 *             otherwise O(levels).
 */
static inline int64_t stimer_wheel_next(const stimer_wheel *w, int *level, unsigned *slot)
{
    int64_t next = 0;
    *level = STIMER_WHEEL_LEVELS; /* none yet */
    *slot = 0;
    if (w->late.next != &w->late) {
        *level = -1;
        return stimer_wheel_entry(w->late.next)->deadline;
    }
    for (int l = 0; l != STIMER_WHEEL_LEVELS; ++l) {
        uint64_t bits = w->occupied[l];
        unsigned from = (unsigned)stimer_wheel_block(w->now, l) & (STIMER_WHEEL_SLOTS - 1), k;
        int64_t start;
        if (!bits)
            continue;
        /* Rotated so that bit k is the k-th block after now's. */
        bits = bits >> from | bits << ((STIMER_WHEEL_SLOTS - from) & (STIMER_WHEEL_SLOTS - 1));
        k = (unsigned)__builtin_ctzll(bits);
        start = (int64_t)((stimer_wheel_block(w->now, l) + k) << (6 * l));
        /* A block wins a tie with level 0: it may hold entries of that
         * deadline added before those in level 0. */
        if (*level == STIMER_WHEEL_LEVELS || start <= next) {
            next = start;
            *level = l;
            *slot = (from + k) & (STIMER_WHEEL_SLOTS - 1);
        }
        /* Blocks of the higher levels start on multiples of 64, and all
         * before now have been cascaded: none starts before a deadline in
         * now's 64 ticks, unless now is itself such a start. */
        if (l == 0 && (w->now & (STIMER_WHEEL_SLOTS - 1)) &&
            stimer_wheel_block(next, 1) == stimer_wheel_block(w->now, 1))
            break;
    }
    return next;
}

/*
 * stimer_wheel_pop: the earliest entry, when it is due at now.
 *   Returns:  the entry, out of the wheel, whose deadline is earliest and
 *             at or before now, the first added among equals; NULL when
 *             there is none. Moves the wheel's now up to now at most.
 *   Cost:     O(levels), and the cascades of the slots that now enters.
 */
static inline stimer_entry *stimer_wheel_pop_next(stimer_wheel *w, int64_t now);

static inline stimer_entry *stimer_wheel_pop(stimer_wheel *w, int64_t now)
{
    /* More entries due on the wheel's tick: nothing comes before them, as
     * every block that starts on it was cascaded before the first. */
    const stimer_link *tick = &w->slots[0][w->now & (STIMER_WHEEL_SLOTS - 1)];
    if (tick->next != tick && w->late.next == &w->late && w->now <= now) {
        stimer_entry *e = stimer_wheel_entry(tick->next);
        stimer_wheel_remove(w, e);
        return e;
    }
    return stimer_wheel_pop_next(w, now);
}

/* The rest of stimer_wheel_pop: a late entry, or the wheel's next steps. A
 * function of its own, which keeps the common path small enough to inline. */
static inline stimer_entry *stimer_wheel_pop_next(stimer_wheel *w, int64_t now)
{
    while (w->count) {
        int level;
        unsigned slot;
        int64_t next = stimer_wheel_next(w, &level, &slot);
        stimer_entry *e;
        if (next > now)
            return NULL;
        if (level < 0) {
            e = stimer_wheel_entry(w->late.next);
        } else {
            w->now = next;
            if (level > 0) {
                stimer_wheel_cascade(w, level, slot);
                continue;
            }
            e = stimer_wheel_entry(w->slots[0][slot].next);
        }
        stimer_wheel_remove(w, e);
        return e;
    }
    return NULL;
}

/*
 * stimer_wheel_walk: every entry of a wheel, late first, then level by
 * level, each level's slots from now's on and each slot from its head.
 *   Requires: e is NULL, to start, or the entry this walk returned last;
 *             nothing changes the wheel during the walk.
 *   Returns:  the entry after e, or the first when e is NULL; NULL after
 *             the last. A sort by (deadline, order) gives the order of
 *             expiry.
 *   Cost:     O(n + slots) a walk.
 */
static inline stimer_entry *stimer_wheel_walk(const stimer_wheel *w, const stimer_entry *e)
{
    const stimer_link *l = e ? e->link.next : w->late.next;
    uintptr_t at = stimer_wheel_head_index(w, l), k;
    if (at >= STIMER_WHEEL_HEADS)
        return stimer_wheel_entry(l); /* not a head */
    /* On from the head's place in the walk: late, then the k-th slot after
     * now's of each level. */
    if (at != 0) {
        int level = (int)((at - 1) / STIMER_WHEEL_SLOTS);
        unsigned from = (unsigned)stimer_wheel_block(w->now, level);
        at = 1 + (uintptr_t)level * STIMER_WHEEL_SLOTS +
             (((at - 1) % STIMER_WHEEL_SLOTS - from) & (STIMER_WHEEL_SLOTS - 1));
    }
    for (k = at; ++k != STIMER_WHEEL_HEADS;) {
        int level = (int)((k - 1) / STIMER_WHEEL_SLOTS);
        unsigned from = (unsigned)stimer_wheel_block(w->now, level);
        const stimer_link *head =
            &w->slots[level][(from + (k - 1) % STIMER_WHEEL_SLOTS) & (STIMER_WHEEL_SLOTS - 1)];
        if (head->next != head)
            return stimer_wheel_entry(head->next);
    }
    return NULL;
}

#ifdef __cplusplus
}
#endif

#endif /* STIMER_STIMER_WHEEL_H */
