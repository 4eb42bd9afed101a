/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
// Hooks of the checked build, each declared once. That build compiles
// stimer.cpp with STIMER_CHECKED and links checked.cpp, which defines them:
// it checks each call against the header's rules and stops the program at
// the first one broken. In the release build every hook has an empty body
// here, and the calls compile to nothing.
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

struct Node;

// Held for the whole of an exported call: it marks the call as in its list,
// so that another call on that list at the same moment is reported, and
// names the call, its records and its caller (site) in any report.
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
    Node *node = nullptr; // the list's, once this call is in it
    Call *outer;          // the call this thread was in when this one began
#endif
};

void list(const running_timers *) STIMER_HOOK;                  // initialised and sound
void timer(const running_timers *, const stimer *) STIMER_HOOK; // idle, or running in list
void visit(const running_timers *, const stimer *) STIMER_HOOK; // its links, before the walk
void fires(const running_timers *, const stimer *, int64_t) STIMER_HOOK; // when armed to
void tick(const running_timers *, int64_t) STIMER_HOOK;             // the count never goes back
void horizon(const running_timers *, int64_t, int32_t) STIMER_HOOK; // within 2^31 ticks
void init_list(const running_timers *) STIMER_HOOK;                 // holds no timer
void init_timer(const stimer *) STIMER_HOOK;                        // not running
void linked(const running_timers *, const stimer *, int64_t) STIMER_HOOK;
void unlinking(const running_timers *, const stimer *) STIMER_HOOK;

#ifndef STIMER_CHECKED
} // namespace
#endif
} // namespace checked

#undef STIMER_HOOK

// The exported call under way, and the address it returns to in its caller.
#define CHECKED_CALL(name, list, timer) \
    checked::Call call(name, list, timer, __builtin_return_address(0))
