/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
/*
 * A polling loop on the platform clock (a tick is a millisecond).
 *
 * The loop sleeps in poll(2) until the earliest timer is due, then collects
 * every fired timer and acts on it by its tag. It shows:
 *   - timers with different timeouts firing in order;
 *   - two timers due on the same tick, fired in the order they were armed;
 *   - a periodic timer re-armed each time it fires;
 *   - a keep-alive re-armed before it can fire, until it is left to expire;
 *   - a timer cancelled before it fires.
 */
#include <poll.h>
#include <stdio.h>

#include "stimer.h"
#include "tovask.h"

enum {
    TAG_ONCE,     /* fires once */
    TAG_TICK,     /* periodic: re-armed each time it fires */
    TAG_FEED,     /* re-arms the keep-alive while the peer is alive */
    TAG_WATCHDOG, /* the keep-alive: fires only once nobody feeds it */
    TAG_CANCEL,   /* cancels the doomed timer before it can fire */
    TAG_DOOMED,   /* never fires */
    TAG_STOP      /* ends the loop */
};

#define TICK_PERIOD      250
#define FEED_PERIOD      200
#define WATCHDOG_TIMEOUT 500
#define FEEDS            5

/* What a timer was armed for, kept in its data. */
struct job {
    const char *name;
    int64_t due;
};

static running_timers timers;

static void arm(stimer *t, int32_t timeout)
{
    struct job *job = t->data;
    job->due = TickGetCount() + timeout;
    stimer_start(&timers, t, timeout);
}

int main(void)
{
    struct job jobs[] = {
        {"once-900", 0}, {"once-300", 0}, {"tie-first", 0}, {"tie-second", 0}, {"tick", 0},
        {"feed", 0},     {"watchdog", 0}, {"cancel", 0},    {"doomed", 0},     {"stop", 0},
    };
    stimer once900, once300, tie1, tie2, tick, feed, watchdog, cancel, doomed, stop;

    stimer_init_running_timers(&timers);
    stimer_init(&once900, TAG_ONCE, &jobs[0]);
    stimer_init(&once300, TAG_ONCE, &jobs[1]);
    stimer_init(&tie1, TAG_ONCE, &jobs[2]);
    stimer_init(&tie2, TAG_ONCE, &jobs[3]);
    stimer_init(&tick, TAG_TICK, &jobs[4]);
    stimer_init(&feed, TAG_FEED, &jobs[5]);
    stimer_init(&watchdog, TAG_WATCHDOG, &jobs[6]);
    stimer_init(&cancel, TAG_CANCEL, &jobs[7]);
    stimer_init(&doomed, TAG_DOOMED, &jobs[8]);
    stimer_init(&stop, TAG_STOP, &jobs[9]);

    int64_t t0 = TickGetCount();
    printf("start at tick %lld\n", (long long)t0);
    arm(&once900, 900);
    arm(&once300, 300);
    /* Due on the same tick: they fire in the order they were armed. */
    arm(&tie1, 600);
    arm(&tie2, 600);
    arm(&tick, TICK_PERIOD);
    arm(&feed, FEED_PERIOD);
    arm(&watchdog, WATCHDOG_TIMEOUT);
    arm(&doomed, 1200);
    arm(&cancel, 700);
    arm(&stop, 2400);

    int fired = 0, ticks = 0, feeds = 0, running = 1;
    while (running) {
        poll(NULL, 0, stimer_poll_timeout(&timers, TickGetCount()));
        stimer *t;
        while ((t = stimer_get_next_fired_timer(&timers)) != NULL) {
            struct job *job = t->data;
            int64_t now = TickGetCount();
            ++fired;
            printf("fired %-10s tag=%u data=%p tick=%lld (+%lld) late=%lld\n", job->name,
                   (unsigned)t->tag, t->data, (long long)now, (long long)(now - t0),
                   (long long)(now - job->due));
            switch (t->tag) {
            case TAG_TICK:
                /* Measured from when it was due, so lateness does not add up. */
                if (++ticks < 8)
                    arm(t, (int32_t)(job->due + TICK_PERIOD - now));
                break;
            case TAG_FEED:
                /* The peer is alive: push the watchdog out again. */
                if (++feeds < FEEDS) {
                    arm(&watchdog, WATCHDOG_TIMEOUT);
                    arm(t, FEED_PERIOD);
                }
                break;
            case TAG_CANCEL:
                stimer_kill(&timers, &doomed);
                printf("      cancelled doomed before it fired\n");
                break;
            case TAG_DOOMED:
                printf("error: a cancelled timer fired\n");
                return 1;
            case TAG_STOP:
                running = 0;
                break;
            }
        }
    }
    printf("summary: %d timers fired in %lld ms; %d ticks, watchdog fed %d times, "
           "doomed cancelled, %s\n",
           fired, (long long)(TickGetCount() - t0), ticks, feeds - 1,
           stimer_list_is_empty(&timers) ? "no timer left" : "timers left");
    return 0;
}
