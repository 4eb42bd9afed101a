/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
/* A consumer of the installed library, built with
 *   cc -std=c99 rearm_app.c $(pkg-config --cflags --libs stimer)
 * It arms, re-arms and cancels timers on the platform clock and checks that
 * the rest fire in order, each at or after its due tick. */
#define _POSIX_C_SOURCE 200809L
#include <poll.h>
#include <stdio.h>

#include <stimer.h>
#include <tovask.h>

enum { A, B, C, D, COUNT };

static int64_t due[COUNT];

static void arm(running_timers *list, stimer *t, int32_t timeout)
{
    due[t->tag] = TickGetCount() + timeout;
    stimer_start(list, t, timeout);
}

int main(void)
{
    static const int expected[] = {D, A, B};
    running_timers list;
    stimer t[COUNT];
    int fired = 0, i;

    stimer_init_running_timers(&list);
    for (i = 0; i < COUNT; i++)
        stimer_init(&t[i], i, NULL);
    arm(&list, &t[A], 30);
    arm(&list, &t[B], 10);
    arm(&list, &t[C], 20);
    arm(&list, &t[D], 20);
    stimer_kill(&list, &t[C]); /* C never fires */
    arm(&list, &t[B], 40);     /* B moves behind A */
    if (stimer_get_next_firing_time(&list) != due[D]) {
        fprintf(stderr, "next firing time %lld, D is due at %lld\n",
                (long long)stimer_get_next_firing_time(&list), (long long)due[D]);
        return 1;
    }

    while (fired < 3) {
        int64_t next = stimer_get_next_firing_time(&list);
        int64_t now = TickGetCount();
        stimer *done;
        if (next == -1) {
            fprintf(stderr, "list empty after %d timers\n", fired);
            return 1;
        }
        poll(NULL, 0, next > now ? (int)(next - now) : 0);
        while ((done = stimer_get_next_fired_timer(&list)) != NULL) {
            int64_t at = TickGetCount();
            printf("timer %c fired at tick %lld, due %lld\n", 'A' + done->tag, (long long)at,
                   (long long)due[done->tag]);
            if (fired == 3 || done->tag != expected[fired] || at < due[done->tag]) {
                fprintf(stderr, "unexpected timer %c\n", 'A' + done->tag);
                return 1;
            }
            fired++;
        }
    }
    if (stimer_get_next_firing_time(&list) != -1 || t[C].link.next != &t[C].link) {
        fprintf(stderr, "list not empty, or the cancelled timer not idle\n");
        return 1;
    }
    return 0;
}
