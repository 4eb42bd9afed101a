/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
// The differential driver: a program of operations, decoded from bytes,
// applied to a few lists and timers of the library and to the reference
// model at once. Shared by the libFuzzer target and the differential test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace differential {

// Runs one program on fresh lists and timers, with the test clock. Returns
// the first divergence, or an empty string; adds the operations run to *ops.
// With keep_rules, operations that would break the caller's rules (an
// arming beyond the 2^31-tick horizon, the clock going back) are passed
// over, as the checked build requires.
std::string run(const uint8_t *data, std::size_t size, uint64_t *ops, bool keep_rules = false);

// A program of n operations drawn from one stream of random numbers,
// starting at the given tick, in the byte form that run() reads: mostly
// small timeouts, re-arms, pops and small clock steps, with an occasional
// jump past the 32-bit horizon.
std::vector<uint8_t> generate(uint64_t stream, int64_t start_tick, int n);

} // namespace differential
