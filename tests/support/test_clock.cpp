// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
#include "test_clock.h"

#include "tovask.h"

namespace test_clock {
thread_local int64_t now;
thread_local uint64_t reads;
} // namespace test_clock

extern "C" int64_t TickGetCount(void)
{
    ++test_clock::reads;
    return test_clock::now;
}
