/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
/* Three timers, armed at once, firing 100, 200 and 300 ticks later. */
#define _POSIX_C_SOURCE 200809L /* for poll() */
#include <poll.h>
#include <stdio.h>

#include <stimer.h>
#include <tovask.h>

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
        /* Sleep until the earliest timer is due; a tick is 1 ms on the stand-in. */
        poll(NULL, 0, stimer_poll_timeout(&timers, TickGetCount()));
        stimer *done;
        while ((done = stimer_get_next_fired_timer(&timers)) != NULL) {
            printf("%s fired (tag %d)\n", (char *)done->data, done->tag);
            fired++;
        }
    }
    return 0;
}
