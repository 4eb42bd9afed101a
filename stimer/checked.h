/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
// Hooks of the checked build, each declared once. That build compiles
// stimer.cpp with STIMER_CHECKED and links checked.cpp, which defines them:
// each checks what its name says against the numbered rules of stimer.h and
// stops the program at the first one broken. In the release build every
// hook has an empty body here, and the calls compile to nothing.
#pragma once

#include "stimer.h"

// clang-format off
#ifdef STIMER_CHECKED
#define STIMER_HOOK
namespace checked {
#else
#define STIMER_HOOK {}
namespace checked { namespace { // empty hooks of this file alone
#endif
// clang-format on

// Held for the whole of an exported call: it names the call, its records
// and its caller (site) in any report, and marks the call as in its list.
class Call {
public:
    Call(const char *, const running_timers *, const stimer *, const void *) STIMER_HOOK;
#ifdef STIMER_CHECKED
    ~Call();
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;

    const char *name;
    const running_timers *list;
    const stimer *timer;
    const void *site;
    int64_t now = 0; // the tick the call read, once it has
    Call *outer;     // the call this thread was in when this one began
    void *mark = nullptr;
#endif
};

void list_valid(const running_timers *) STIMER_HOOK;                   // initialised, head agrees
void timer_valid(const running_timers *, const stimer *) STIMER_HOOK;  // idle, or running in list
void walk_valid(const running_timers *, const stimer *) STIMER_HOOK;   // links agree, in order
void unlink_valid(const running_timers *, const stimer *) STIMER_HOOK; // links agree; forgotten
void remember(const running_timers *, const stimer *) STIMER_HOOK;     // linked in: list and site
void clock_valid(const running_timers *, int64_t) STIMER_HOOK;         // not before an arming
void horizon_valid(const running_timers *, int64_t, int32_t) STIMER_HOOK; // within 2^31 ticks
void list_init_valid(const running_timers *) STIMER_HOOK;                 // holds no running timer
void timer_init_valid(const stimer *) STIMER_HOOK;                        // not running

#ifndef STIMER_CHECKED
} // namespace
#endif
} // namespace checked

#undef STIMER_HOOK

// The exported call under way, and the address it returns to in its caller.
#define CHECKED_CALL(name, list, timer) \
    checked::Call call(name, list, timer, __builtin_return_address(0))
