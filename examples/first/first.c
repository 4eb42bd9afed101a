/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
/* Three timers, armed at once, firing 100, 200 and 300 ticks later. */
#define _POSIX_C_SOURCE 200809L /* for poll() */
#include <limits.h>
#include <poll.h>
#include <stdio.h>

#include <stimer.h>
#include <tovask.h>

/* How long to sleep: until the earliest timer is due, or for ever when none
 * runs. An empty list is told by its head (CAVEATS in stimer(3)). */
static int wait_ms(const running_timers *timers)
{
    if (timers->head.next == &timers->head)
        return -1;
    int64_t left = stimer_get_next_firing_time(timers) - TickGetCount();
    return left <= 0 ? 0 : left > INT_MAX ? INT_MAX : (int)left;
}

int main(void)
{
    static char *names[] = {"first", "second", "third"};
    running_timers timers;
    stimer t[3];
    int fired = 0;

    stimer_init_running_timers(&timers);
    for (int i = 0; i < 3; i++) {
        stimer_init(&t[i], i, names[i]);
        stimer_start(&timers, &t[i], 100 * (3 - i)); /* 300, 200, 100 */
    }
    while (fired < 3) {
        poll(NULL, 0, wait_ms(&timers)); /* a tick is 1 ms on the stand-in */
        stimer *done;
        while ((done = stimer_get_next_fired_timer(&timers)) != NULL) {
            printf("%s fired (tag %d)\n", (char *)done->data, done->tag);
            fired++;
        }
    }
    return 0;
}
