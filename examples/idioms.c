/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
/*
 * The idioms the manual and the guides show, each in the function that the
 * text quotes, run on a simulated clock and checked tick by tick.
 */
#include <stdio.h>
#include <stdlib.h>

#include "stimer.h"
#include "stimer_class.h"
#include "tovask.h"

static int64_t now = ((int64_t)1 << 32) - 100;

int64_t TickGetCount(void)
{
    return now;
}

enum { TAG_IDLE, TAG_LAZY, TAG_TICK, TAG_CLASS };
#define IDLE_TIMEOUT 50
#define PERIOD       20

static running_timers timers;
static int failures;

static void expect(int ok, const char *what)
{
    if (!ok) {
        printf("FAIL %s\n", what);
        failures++;
    }
}

/* Timers kept inside the caller's own objects. */
struct connection {
    int fd;
    stimer idle;          /* re-armed on every read */
    stimer lazy;          /* re-armed only when it fires */
    int64_t last_active;  /* for the lazy one */
    stimer_member member; /* for a timeout class */
};

static struct connection *open_connection(int fd)
{
    struct connection *c = malloc(sizeof *c);
    c->fd = fd;
    stimer_init(&c->idle, TAG_IDLE, c); /* data leads back to c */
    stimer_init(&c->lazy, TAG_LAZY, c);
    stimer_member_init(&c->member);
    return c;
}

/* A keep-alive pushed back on every sign of life: every call walks the
 * timers that are due sooner. */
static void on_read(struct connection *c)
{
    stimer_start_ex(&timers, &c->idle, IDLE_TIMEOUT, TAG_IDLE);
}

/* The lazy variant: a read only notes the time, and the timer is armed
 * again when it fires. */
static void on_read_lazily(struct connection *c)
{
    c->last_active = now; /* on every read: one store */
}

/* Returns 1 when the connection has been idle for the whole timeout. */
static int on_lazy_timer(struct connection *c)
{
    int64_t due = c->last_active + IDLE_TIMEOUT;
    if (due <= now)
        return 1;
    stimer_start(&timers, &c->lazy, (int32_t)(due - now));
    return 0;
}

/* A periodic timer, re-armed from when it was due, not from now. */
static void on_tick(stimer *tick, int64_t *due)
{
    *due += PERIOD;
    stimer_start(&timers, tick, (int32_t)(*due - TickGetCount()));
}

/* Postponing a deadline by a second, whether or not it is armed. */
static void postpone(stimer *t)
{
    int64_t due = stimer_is_running(t) ? stimer_firing_time(&timers, t) : TickGetCount();
    stimer_start(&timers, t, (int32_t)(due + 1000 - TickGetCount()));
}

/* Releasing a connection: killing an idle timer does nothing. */
static void close_connection(struct connection *c)
{
    stimer_kill(&timers, &c->idle); /* idle or not */
    stimer_kill(&timers, &c->lazy);
    free(c);
}

int main(void)
{
    stimer_init_running_timers(&timers);
    struct connection *c = open_connection(3);
    int64_t start = now;

    on_read(c);
    now += IDLE_TIMEOUT - 1;
    on_read(c); /* just in time: pushed back */
    expect(stimer_firing_time(&timers, &c->idle) == now + IDLE_TIMEOUT, "keep-alive pushed back");
    postpone(&c->idle);
    expect(stimer_firing_time(&timers, &c->idle) == now + IDLE_TIMEOUT + 1000, "postponed");
    stimer_kill(&timers, &c->idle);
    postpone(&c->idle);
    expect(stimer_firing_time(&timers, &c->idle) == now + 1000, "postponed from now");
    stimer_kill(&timers, &c->idle);

    /* The lazy keep-alive fires only once the connection has been quiet. */
    now = start;
    on_read_lazily(c);
    stimer_start(&timers, &c->lazy, IDLE_TIMEOUT);
    now += 30;
    on_read_lazily(c);
    now += 20;
    expect(stimer_get_next_fired_timer(&timers) == &c->lazy && !on_lazy_timer(c), "lazy: re-armed");
    now += 30;
    expect(stimer_get_next_fired_timer(&timers) == &c->lazy && on_lazy_timer(c), "lazy: idle");

    /* A periodic timer collected late keeps its period. */
    stimer tick;
    int64_t due = now + PERIOD, first = due;
    stimer_init(&tick, TAG_TICK, NULL);
    stimer_start(&timers, &tick, PERIOD);
    for (int k = 1; k <= 5; k++) {
        now = due + k; /* late by k ticks */
        expect(stimer_get_next_fired_timer(&timers) == &tick, "periodic: fired");
        on_tick(&tick, &due);
    }
    expect(stimer_firing_time(&timers, &tick) == first + 5 * PERIOD, "periodic: no drift");
    stimer_kill(&timers, &tick);

    /* A timeout class expires its member once, when it is due. */
    stimer_class idle;
    stimer_class_init(&idle, &timers, IDLE_TIMEOUT, TAG_CLASS, NULL);
    stimer_class_renew(&idle, &c->member); /* on every read */
    now += IDLE_TIMEOUT;
    /* in the loop, when stimer_get_next_fired_timer() returns &idle.timer */
    expect(stimer_get_next_fired_timer(&timers) == &idle.timer, "class: its timer fired");
    int64_t pass = TickGetCount();
    stimer_member *m;
    int expired = 0;
    while ((m = stimer_class_expired(&idle, pass)) != NULL)
        expired += STIMER_CONTAINER_OF(m, struct connection, member) == c;
    expect(expired == 1 && !stimer_is_running(&idle.timer), "class: expired once, timer stopped");

    close_connection(c);
    expect(stimer_list_is_empty(&timers), "no timer left");
    printf("%s\n", failures ? "FAILED" : "every idiom fired on its tick");
    return failures != 0;
}
