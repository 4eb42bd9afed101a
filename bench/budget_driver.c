/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
/* Calls one operation of the library many times, for callgrind to count its
 * instructions (tools/check-budgets.sh). The tick count is a plain load from
 * a global, so that the counts are the library's own. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "stimer.h"
#include "tovask.h"

static int64_t now;

int64_t TickGetCount(void)
{
    return now;
}

/* The header's walk over a whole list, in a function of its own for
 * callgrind to count. */
__attribute__((noinline)) static int64_t walk_list(const running_timers *list)
{
    int64_t sum = 0, at;
    for (stimer *t = stimer_walk(list, NULL, &at); t; t = stimer_walk(list, t, &at))
        sum += at;
    return sum;
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s peek|pop|kill|start-empty|walk|list-walk calls timers\n",
                argv[0]);
        return 2;
    }
    const char *op = argv[1];
    long calls = atol(argv[2]), n = atol(argv[3]);
    /* The timers are armed in falling order of timeout, so that each goes in
     * front and building the list costs O(n). */
    long count = n + calls + 2;
    stimer *t = calloc((size_t)count, sizeof *t);
    running_timers list;
    stimer_init_running_timers(&list);
    for (long i = 0; i < count; ++i)
        stimer_init(&t[i], 0, NULL);

    if (!strcmp(op, "peek")) {
        stimer_start(&list, &t[0], 10);
        int64_t sum = 0;
        for (long i = 0; i < calls; ++i)
            sum += stimer_get_next_firing_time(&list);
        printf("%lld\n", (long long)sum);
    } else if (!strcmp(op, "pop")) {
        /* Every pop takes a first timer that has a successor. */
        for (long i = calls; i >= 0; --i)
            stimer_start(&list, &t[i], (int32_t)(i + 1));
        now = calls + 1;
        for (long i = 0; i < calls; ++i)
            if (stimer_get_next_fired_timer(&list) != &t[i])
                return 1;
    } else if (!strcmp(op, "kill")) {
        stimer_start(&list, &t[0], 10);
        stimer_start(&list, &t[1], 20);
        stimer_start(&list, &t[2], 30);
        for (long i = 0; i < calls; ++i) {
            stimer_kill(&list, &t[1]);
            stimer_start(&list, &t[1], 20);
        }
    } else if (!strcmp(op, "start-empty")) {
        for (long i = 0; i < calls; ++i) {
            stimer_start(&list, &t[0], 10);
            stimer_kill(&list, &t[0]);
        }
    } else if (!strcmp(op, "walk")) {
        /* n running timers; each call walks all of them to arm at the tail. */
        for (long i = n; i >= 1; --i)
            stimer_start(&list, &t[i], (int32_t)i);
        for (long i = 0; i < calls; ++i) {
            stimer_start(&list, &t[0], (int32_t)(n + 1));
            stimer_kill(&list, &t[0]);
        }
    } else if (!strcmp(op, "list-walk")) {
        for (long i = n; i >= 1; --i)
            stimer_start(&list, &t[i], (int32_t)i);
        int64_t sum = 0;
        for (long i = 0; i < calls; ++i)
            sum += walk_list(&list);
        printf("%lld\n", (long long)sum);
    } else {
        return 2;
    }
    free(t);
    return 0;
}
