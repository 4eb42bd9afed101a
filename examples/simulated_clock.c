/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
/*
 * A test of your own timer code on a simulated clock.
 *
 * The test program defines TickGetCount itself and moves the count when it
 * chooses. That works with every build of the library: a program's own
 * definition comes first in the dynamic linker's lookup order, so
 * libstimer.so (release or checked) binds its import to it, and a static
 * link with libstimer.a takes the program's definition instead of any
 * library's. Nothing sleeps, and every run is the same.
 *
 * The code under test is a retry scheduler with back-off: a job that fails
 * is tried again after a delay that doubles from FIRST_DELAY up to
 * MAX_DELAY. Each job has its own deadline, so the jobs wait in a
 * stimer_queue, which keeps one timer in the list for all of them. The test
 * lets each job fail a few times, jumps the clock from one firing time to
 * the next, and checks that every try comes on exactly the tick the
 * schedule gives.
 */
#include <stdio.h>

#include "stimer.h"
#include "stimer_queue.h"
#include "tovask.h"

static int64_t now = ((int64_t)1 << 32) - 500; /* a 32-bit wrap comes early */

int64_t TickGetCount(void)
{
    return now;
}

/* The code under test. */

#define FIRST_DELAY 10
#define MAX_DELAY   1000

struct job {
    stimer_entry entry;
    int32_t delay; /* before the next retry */
    int failures;  /* how many tries fail before one succeeds */
    int tries;
};

static void submit(stimer_queue *retries, struct job *job, int32_t after)
{
    job->delay = FIRST_DELAY;
    stimer_queue_arm(retries, &job->entry, after);
}

/* A try of a due job: it succeeds, or it is retried after the delay, which
 * doubles for the next time. */
static void run(stimer_queue *retries, struct job *job)
{
    if (++job->tries > job->failures)
        return;
    stimer_queue_arm(retries, &job->entry, job->delay);
    job->delay = job->delay < MAX_DELAY / 2 ? 2 * job->delay : MAX_DELAY;
}

/* The test. */

#define JOBS 100

int main(void)
{
    static struct job jobs[JOBS];
    static int64_t expected[JOBS][16]; /* the tick of each try */
    running_timers list;
    stimer_queue retries;
    int errors = 0, tries = 0;

    stimer_init_running_timers(&list);
    stimer_queue_init(&retries, &list, 0, NULL);
    for (int j = 0; j < JOBS; j++) {
        stimer_entry_init(&jobs[j].entry);
        jobs[j].failures = j % 12;
        int32_t after = (j * 37) % 200;
        expected[j][0] = now + after;
        for (int k = 1, delay = FIRST_DELAY; k <= jobs[j].failures; k++) {
            expected[j][k] = expected[j][k - 1] + delay;
            delay = delay < MAX_DELAY / 2 ? 2 * delay : MAX_DELAY;
        }
        submit(&retries, &jobs[j], after);
    }

    while (!stimer_list_is_empty(&list)) {
        int64_t next = stimer_get_next_firing_time(&list);
        if (next < now) {
            printf("FAIL the next firing time %lld is behind the clock\n", (long long)next);
            return 1;
        }
        now = next; /* straight to it: simulated time costs nothing */
        /* The queue's timer is the list's only one. */
        while (stimer_get_next_fired_timer(&list) != NULL) {
            stimer_entry *due;
            while ((due = stimer_queue_expired(&retries, now)) != NULL) {
                struct job *job = STIMER_CONTAINER_OF(due, struct job, entry);
                int j = (int)(job - jobs);
                if (now != expected[j][job->tries]) {
                    printf("FAIL job %d, try %d: at tick %lld, due at %lld\n", j, job->tries + 1,
                           (long long)now, (long long)expected[j][job->tries]);
                    errors++;
                }
                tries++;
                run(&retries, job);
                if (stimer_entry_is_armed(&job->entry) &&
                    job->entry.deadline != expected[j][job->tries]) {
                    printf("FAIL job %d is due at the wrong tick\n", j);
                    errors++;
                }
            }
        }
    }
    for (int j = 0; j < JOBS; j++)
        if (jobs[j].tries != jobs[j].failures + 1) {
            printf("FAIL job %d was tried %d times, not %d\n", j, jobs[j].tries,
                   jobs[j].failures + 1);
            errors++;
        }
    printf("%d jobs, %d tries, %s\n", JOBS, tries,
           errors ? "FAILED" : "each on the tick its back-off gives");
    return errors != 0;
}
