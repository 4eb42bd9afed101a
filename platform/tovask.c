/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
/*
 * Stand-in for the platform library: a tick is one millisecond of
 * CLOCK_MONOTONIC.
 *
 * The count starts TICK_START_BEFORE_WRAP ticks below a multiple of 2^32, so
 * that its low 32 bits wrap a second after the process loads the library.
 * Code that keeps absolute ticks in 32 bits, or compares them without
 * wrap-safe arithmetic, then goes wrong at once instead of after 49 days.
 */
#include "tovask.h"

#include <time.h>

#define TICK_START_BEFORE_WRAP 1000

static const int64_t first_tick = ((int64_t)1 << 32) - TICK_START_BEFORE_WRAP;

static int64_t origin_ms;

static int64_t monotonic_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* Runs when the library is loaded, before any caller can read the count. */
__attribute__((constructor)) static void start_count(void)
{
    origin_ms = monotonic_ms();
}

__attribute__((visibility("default"))) int64_t TickGetCount(void)
{
    return first_tick + (monotonic_ms() - origin_ms);
}
