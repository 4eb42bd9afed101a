// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// What the columns of bench/peers.cpp share: the one clock, the counts of
// its reads and of polls, and what a workload does when a timer expires.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace peers {

inline int64_t ticks;        // the clock of every column
inline uint64_t clock_reads; // how often any column read it
inline uint64_t polls;       // how often a loop polled for events
inline uint64_t early_wakes; // how often a queue's timer fired with nothing due

// The expiries of a column, (tick, timer), sorted when compared.
using Log = std::vector<std::pair<int64_t, int>>;

// What a workload does when a timer expires, shared by every column.
struct Expiry {
    Log *log = nullptr;                        // when checking
    int32_t (*rearm)(int id, int n) = nullptr; // the new timeout; 0: stay idle
    int n = 0;
};

// A column is made for n timers and for the timeouts that many of them
// share, which stimer gives a class each and libevent a common timeout.
using Shared = std::vector<int32_t>;

// A column calls this for each timer that expires.
template <class Lib>
inline void expired(Lib &lib, int id)
{
    if (lib.on.log)
        lib.on.log->emplace_back(ticks, id);
    if (int32_t timeout = lib.on.rearm ? lib.on.rearm(id, lib.on.n) : 0)
        lib.arm(id, timeout);
}

} // namespace peers
