/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
/*
 * What the checked build costs beside the release build: run on each
 * (tools/checked-cost.sh puts the checked one first on LD_LIBRARY_PATH,
 * alternates the two and takes the medians). Prints the nanoseconds of:
 *   cycle   arm a timer for now and pop it, on the platform's clock;
 *   behind  arm a timer behind 100,000 others, and kill it.
 * With the argument "lists", in a process of their own, the nanoseconds
 * a list of setting up 100,000 lists with one timer each, and the process's
 * peak resident memory in KiB.
 * With the argument "churn", the nanoseconds a list of lists set up with
 * two timers and emptied again, 600,000 times at one address, then 600,000
 * times at ever new addresses in an arena that keeps 256 alive, as a server
 * keeps a list per connection.
 */
#define _POSIX_C_SOURCE 199309L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include "stimer.h"

enum { LONG_LIST = 100000, LISTS = 100000, CHURN = 600000, ALIVE = 256 };

struct connection {
    running_timers list;
    stimer timers[2];
};

static double seconds(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static int lists(void)
{
    running_timers *lists = malloc(LISTS * sizeof *lists);
    stimer *ones = malloc(LISTS * sizeof *ones);
    if (!lists || !ones)
        return 1;
    double t0 = seconds();
    for (int i = 0; i < LISTS; ++i) {
        stimer_init_running_timers(&lists[i]);
        stimer_init(&ones[i], 0, NULL);
        stimer_start(&lists[i], &ones[i], 1000);
    }
    double each = (seconds() - t0) * 1e9 / LISTS;
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("%.1f %ld\n", each, usage.ru_maxrss);
    return 0;
}

static void open_list(struct connection *c)
{
    stimer_init_running_timers(&c->list);
    for (int i = 0; i < 2; ++i) {
        stimer_init(&c->timers[i], i, NULL);
        stimer_start(&c->list, &c->timers[i], 1000 * (i + 1));
    }
}

static void close_list(struct connection *c)
{
    stimer_kill(&c->list, &c->timers[0]);
    stimer_kill(&c->list, &c->timers[1]);
}

static int churn(void)
{
    static struct connection one;
    struct connection *arena = malloc(CHURN * sizeof *arena);
    if (!arena)
        return 1;
    double t0 = seconds();
    for (int i = 0; i < CHURN; ++i) {
        open_list(&one);
        close_list(&one);
    }
    double t1 = seconds();
    for (int i = 0; i < CHURN + ALIVE; ++i) {
        if (i < CHURN)
            open_list(&arena[i]);
        if (i >= ALIVE)
            close_list(&arena[i - ALIVE]);
    }
    printf("%.1f %.1f\n", (t1 - t0) * 1e9 / CHURN, (seconds() - t1) * 1e9 / CHURN);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "lists") == 0)
        return lists();
    if (argc == 2 && strcmp(argv[1], "churn") == 0)
        return churn();
    static stimer timers[LONG_LIST + 1];
    running_timers list;
    const int cycles = 1000000, arms = 200;
    stimer_init_running_timers(&list);
    for (int i = 0; i <= LONG_LIST; ++i)
        stimer_init(&timers[i], 0, NULL);
    double t0 = seconds();
    for (int i = 0; i < cycles; ++i) {
        stimer_start(&list, &timers[0], 0);
        if (!stimer_get_next_fired_timer(&list))
            return 1;
    }
    double cycle = (seconds() - t0) * 1e9 / cycles;
    for (int i = 1; i < LONG_LIST; ++i)
        stimer_start(&list, &timers[i], 1000000);
    t0 = seconds();
    for (int i = 0; i < arms; ++i) {
        stimer_start(&list, &timers[LONG_LIST], 1000001);
        stimer_kill(&list, &timers[LONG_LIST]);
    }
    printf("%.1f %.1f\n", cycle, (seconds() - t0) * 1e9 / arms);
    return 0;
}
