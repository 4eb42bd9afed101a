/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
// Tick arithmetic of the library, private to it and to its checked build.
//
// Ticks wrap modulo 2^32 (offsets) or 2^64 (absolute ticks). The sums are
// done on unsigned values and converted back, which is defined for every
// input; signed overflow would not be.
#pragma once

#include "stimer.h"

namespace {

// 32-bit tick differences, wrapping.
inline int32_t add32(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

inline int32_t sub32(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

// The low 32 bits of the difference of two absolute ticks.
inline int32_t diff32(int64_t a, int64_t b)
{
    return static_cast<int32_t>(
        static_cast<uint32_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b)));
}

// An absolute tick moved by a signed 32-bit difference, wrapping at 2^64.
inline int64_t advance(int64_t tick, int32_t by)
{
    return static_cast<int64_t>(static_cast<uint64_t>(tick) +
                                static_cast<uint64_t>(static_cast<int64_t>(by)));
}

// link is the first member of stimer, so the conversion is exact.
inline stimer *timer_of(stimer_link *link)
{
    return reinterpret_cast<stimer *>(link);
}

inline const stimer *timer_of(const stimer_link *link)
{
    return reinterpret_cast<const stimer *>(link);
}

// When the first timer of a list that holds timers fires.
inline int64_t earliest_firing_time(const running_timers *list)
{
    return advance(list->base_time, timer_of(list->head.next)->delta);
}

} // namespace
