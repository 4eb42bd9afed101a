// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// Differential fuzzing: each input is a program of operations over a few
// lists and timers, run on the library and on the reference model at once
// (tests/support/differential.cpp says how the bytes are read). The first
// divergence aborts with its description.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "differential.h"

namespace {

uint64_t operations;

void report()
{
    std::fprintf(stderr, "operations checked: %llu\n", static_cast<unsigned long long>(operations));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::atexit(report);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    std::string error = differential::run(data, size, &operations);
    if (!error.empty()) {
        std::fprintf(stderr, "divergence: %s\n", error.c_str());
        std::abort();
    }
    return 0;
}
