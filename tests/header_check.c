/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
/* A caller of stimer.h, stimer_class.h and stimer_queue.h, built in every language mode
 * they promise with warnings as errors, from the tree and once installed:
 * the records, the version macros and the inline helpers, linked to the
 * exports alone. */
#include <stdio.h>

#include "stimer.h"
#include "stimer_class.h"
#include "stimer_queue.h"

#if STIMER_VERSION_NUMBER < 10100
#error "stimer_is_running and stimer_firing_time came with 1.1"
#endif
#if STIMER_VERSION_NUMBER < 10200
#error "stimer_queue came with 1.2"
#endif

int main(void)
{
    running_timers list;
    stimer timer;
    stimer_init_running_timers(&list);
    stimer_init(&timer, 0, NULL);
    int idle = !stimer_is_running(&timer);
    stimer_start(&list, &timer, 1000);
    int running = stimer_is_running(&timer) &&
                  stimer_firing_time(&list, &timer) == stimer_get_next_firing_time(&list);
    stimer_kill(&list, &timer);

    stimer_class tc;
    stimer_member member;
    stimer_class_init(&tc, &list, 10, 0, NULL);
    stimer_member_init(&member);
    stimer_class_renew(&tc, &member);
    int classed = stimer_is_running(&tc.timer) &&
                  stimer_class_expired(&tc, member.deadline - 1) == NULL &&
                  stimer_class_expired(&tc, member.deadline) == &member;
    stimer_class_remove(&tc, &member);
    classed = classed && !stimer_is_running(&tc.timer);

    stimer_queue q;
    stimer_entry entry;
    stimer_queue_init(&q, &list, 0, NULL);
    stimer_entry_init(&entry);
    stimer_queue_arm(&q, &entry, 10);
    int queued = stimer_entry_is_armed(&entry) && stimer_is_running(&q.timer) &&
                 stimer_queue_expired(&q, entry.deadline - 1) == NULL &&
                 stimer_queue_expired(&q, entry.deadline) == &entry &&
                 stimer_queue_expired(&q, entry.deadline) == NULL && !stimer_is_running(&q.timer);

    int ok = idle && running && classed && queued;
    printf("stimer %d.%d.%d (%d): %s\n", STIMER_VERSION_MAJOR, STIMER_VERSION_MINOR,
           STIMER_VERSION_PATCH, STIMER_VERSION_NUMBER, ok ? "ok" : "FAILED");
    return !ok;
}
