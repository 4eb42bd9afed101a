// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
#include "test_clock.h"

#include "tovask.h"

namespace test_clock {
thread_local int64_t now;
thread_local uint64_t reads;
thread_local void (*on_read)();
} // namespace test_clock

extern "C" int64_t TickGetCount(void)
{
    ++test_clock::reads;
    if (test_clock::on_read)
        test_clock::on_read();
    return test_clock::now;
}
