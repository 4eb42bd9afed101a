/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
/* The interface from C, on the stand-in clock: the header compiles as C, the
 * records lay out as the library expects, and one timer goes through its
 * whole life. */
#include <stddef.h>
#include <stdio.h>

#include "stimer.h"
#include "tovask.h"

static int failures;

#define CHECK(cond)                                                            \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                        \
        }                                                                      \
    } while (0)

int main(void)
{
    /* The stand-in starts its count less than a second below a multiple of
     * 2^32, so that 32-bit wrap bugs show up at once. */
    int64_t first = TickGetCount();
    int64_t to_wrap = ((int64_t)1 << 32) - first;
    CHECK(to_wrap > 0 && to_wrap <= 1000);

    struct running_timers list;
    stimer t, u;
    int payload = 0;
    stimer_init_running_timers(&list);
    stimer_init(&t, 300, &payload);
    stimer_init(&u, 2, NULL);
    CHECK(t.tag == 300 % 256 && t.data == &payload && t.link.next == &t.link);

    CHECK(stimer_start(&list, &t, 0) == 0);
    CHECK(stimer_start_ex(&list, &u, 60000, 9) == 0 && u.tag == 9);
    int64_t fire = stimer_get_next_firing_time(&list);
    CHECK(fire >= first && fire <= TickGetCount());
    CHECK(stimer_get_next_fired_timer(&list) == &t);
    CHECK(t.link.next == &t.link && t.link.prev == &t.link);
    CHECK(stimer_get_next_fired_timer(&list) == NULL);
    stimer_kill(&list, &u);
    CHECK(list.head.next == &list.head && stimer_get_next_firing_time(&list) == -1);
    CHECK(TickGetCount() >= first);

    printf("%s\n", failures ? "FAILED" : "ok");
    return failures != 0;
}
