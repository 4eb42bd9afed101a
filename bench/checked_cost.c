/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
/*
 * What the checked build costs beside the release build: run once on each
 * (tools/checked-cost.sh puts the checked one first on LD_LIBRARY_PATH).
 * Prints the median nanoseconds of five rounds of:
 *   cycle   arm a timer for now and pop it, on the platform's clock;
 *   behind  arm a timer behind 100,000 others, and kill it.
 */
#define _POSIX_C_SOURCE 199309L
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "stimer.h"

enum { ROUNDS = 5, LONG_LIST = 100000 };

static double seconds(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static int by_value(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

int main(void)
{
    static stimer timers[LONG_LIST + 1];
    running_timers list;
    double cycle[ROUNDS], behind[ROUNDS];
    stimer_init_running_timers(&list);
    for (int i = 0; i <= LONG_LIST; ++i)
        stimer_init(&timers[i], 0, NULL);
    for (int r = 0; r < ROUNDS; ++r) {
        const int n = 1000000;
        double t0 = seconds();
        for (int i = 0; i < n; ++i) {
            stimer_start(&list, &timers[0], 0);
            if (!stimer_get_next_fired_timer(&list))
                return 1;
        }
        cycle[r] = (seconds() - t0) * 1e9 / n;
    }
    for (int i = 1; i < LONG_LIST; ++i)
        stimer_start(&list, &timers[i], 1000000);
    for (int r = 0; r < ROUNDS; ++r) {
        const int n = 200;
        double t0 = seconds();
        for (int i = 0; i < n; ++i) {
            stimer_start(&list, &timers[LONG_LIST], 1000001);
            stimer_kill(&list, &timers[LONG_LIST]);
        }
        behind[r] = (seconds() - t0) * 1e9 / n;
    }
    qsort(cycle, ROUNDS, sizeof *cycle, by_value);
    qsort(behind, ROUNDS, sizeof *behind, by_value);
    printf("%.1f %.1f\n", cycle[ROUNDS / 2], behind[ROUNDS / 2]);
    return 0;
}
