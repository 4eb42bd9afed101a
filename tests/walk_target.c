/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
/* Lists, a class and a queue of a known shape, for the test of the gdb
 * extension: printed through the header's walks into a file, then held at
 * walk_target_ready() for gdb to read the same records, live and from a
 * core. Two more lists are broken on purpose: one with a cycle, one with a
 * wild pointer.
 *
 *   walk_target <output file> <timers in the long list>
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "stimer.h"
#include "stimer_class.h"
#include "stimer_queue.h"

/* The program's own clock, which the library calls instead of the
 * platform's; it starts just below the 32-bit wrap. */
static int64_t now = ((int64_t)1 << 32) - 300;
int64_t TickGetCount(void)
{
    return now;
}

const char first_name[] = "first"; /* data that gdb names */

running_timers empty, one, wrap, many, loop, cycle, wild;
stimer one_timer, idle_timer, wrap_timers[6], cycle_timers[3], wild_timers[3];
stimer_class idle;
stimer_queue retries;
struct conn {
    int fd;
    stimer_member member;
} conns[5];
struct job {
    int id;
    stimer_entry entry;
} jobs[20];

void walk_target_ready(void);
__attribute__((noinline)) void walk_target_ready(void)
{
    __asm__ volatile("");
}

static void print_list(FILE *out, const char *name, const running_timers *list)
{
    int64_t at;
    fprintf(out, "list %s\n", name);
    for (stimer *t = stimer_walk(list, NULL, &at); t; t = stimer_walk(list, t, &at))
        fprintf(out, "timer %p fires %lld\n", (void *)t, (long long)at);
}

static void setup_lists(int n, stimer *many_timers)
{
    stimer_init_running_timers(&empty);
    stimer_init_running_timers(&one);
    stimer_init_running_timers(&wrap);
    stimer_init_running_timers(&many);

    stimer_init(&idle_timer, 8, NULL);
    stimer_init(&one_timer, 7, (void *)first_name);
    stimer_start(&one, &one_timer, 50);

    /* Across the wrap of the low 32 bits, with a tie and a first timer put
     * in front later, so that its delta is negative. */
    static const int32_t timeouts[6] = {500, 299, 300, 301, 300, 1000};
    for (int i = 0; i < 6; i++) {
        stimer_init(&wrap_timers[i], i, &wrap_timers[i]);
        stimer_start(&wrap, &wrap_timers[i], timeouts[i]);
    }
    now += 10;
    stimer_kill(&wrap, &wrap_timers[1]);
    stimer_start(&wrap, &wrap_timers[1], 5);

    /* Armed latest first, so that each goes in front: two a timeout. */
    for (int i = 0; i < n; i++) {
        stimer_init(&many_timers[i], i, NULL);
        stimer_start(&many, &many_timers[i], n - i / 2);
    }
}

static void setup_loop(void)
{
    stimer_init_running_timers(&loop);
    stimer_class_init(&idle, &loop, 300, 1, NULL);
    for (int i = 0; i < 5; i++) {
        stimer_member_init(&conns[i].member);
        stimer_class_renew(&idle, &conns[i].member);
        now += 7;
    }
    stimer_class_renew(&idle, &conns[1].member);

    stimer_queue_init(&retries, &loop, 2, NULL);
    unsigned state = 1; /* a fixed linear congruential sequence */
    for (int i = 0; i < 20; i++) {
        state = state * 1103515245u + 12345u;
        jobs[i].id = i;
        stimer_entry_init(&jobs[i].entry);
        stimer_queue_arm(&retries, &jobs[i].entry, (int32_t)(state >> 16) % 40 * 25);
    }
    stimer_queue_cancel(&retries, &jobs[3].entry);
}

/* Links that no correct program makes: a cycle behind the first timer, and
 * a link to memory that is not mapped. */
static void setup_broken(void)
{
    stimer_init_running_timers(&cycle);
    stimer_init_running_timers(&wild);
    for (int i = 0; i < 3; i++) {
        stimer_init(&cycle_timers[i], i, NULL);
        stimer_start(&cycle, &cycle_timers[i], 10 * (i + 1));
        stimer_init(&wild_timers[i], i, NULL);
        stimer_start(&wild, &wild_timers[i], 10 * (i + 1));
    }
    cycle_timers[2].link.next = &cycle_timers[1].link;
    wild_timers[1].link.next = (stimer_link *)(uintptr_t)0x10;
}

int main(int argc, char **argv)
{
    int n = argc > 2 ? atoi(argv[2]) : 0;
    stimer *many_timers = malloc(sizeof(stimer) * (size_t)(n > 0 ? n : 1));
    FILE *out = argc > 1 ? fopen(argv[1], "w") : NULL;
    if (!many_timers || !out || n < 0) {
        fprintf(stderr, "usage: walk_target <output file> <timers in the long list>\n");
        return 2;
    }
    setup_lists(n, many_timers);
    setup_loop();
    setup_broken();

    print_list(out, "empty", &empty);
    print_list(out, "one", &one);
    print_list(out, "wrap", &wrap);
    print_list(out, "many", &many);
    print_list(out, "loop", &loop);
    fprintf(out, "class idle\n");
    for (stimer_member *m = stimer_class_walk(&idle, NULL); m; m = stimer_class_walk(&idle, m))
        fprintf(out, "member %p deadline %lld\n", (void *)m, (long long)m->deadline);
    const stimer_entry *sorted[20];
    size_t k = 0;
    /* The walk, sorted by (deadline, order): an insertion sort. */
    for (stimer_entry *e = stimer_queue_walk(&retries, NULL); e;
         e = stimer_queue_walk(&retries, e)) {
        size_t i = k++;
        for (;
             i > 0 && (sorted[i - 1]->deadline > e->deadline ||
                       (sorted[i - 1]->deadline == e->deadline && sorted[i - 1]->order > e->order));
             i--)
            sorted[i] = sorted[i - 1];
        sorted[i] = e;
    }
    fprintf(out, "queue retries\n");
    for (size_t i = 0; i < k; i++)
        fprintf(out, "entry %p deadline %lld\n", (void *)sorted[i], (long long)sorted[i]->deadline);
    fprintf(out, "now %lld\n", (long long)now);
    fclose(out);

    walk_target_ready();
    free(many_timers); /* the broken lists are left as they are */
    return 0;
}
