/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
// The tick count as the tests see it: TickGetCount is defined by the test
// executable, so the dynamic linker binds the library's import to it before
// the stand-in's. Each thread has its own clock.
#pragma once

#include <cstdint>

namespace test_clock {
extern thread_local int64_t now;
extern thread_local uint64_t reads;
extern thread_local void (*on_read)(); // run inside the library's call, when set
} // namespace test_clock
