/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
// Hooks of the checked build. That build compiles stimer.cpp with
// STIMER_CHECKED and links checked.cpp, which checks each call against the
// header's rules and stops the program at the first one broken. In the
// release build every hook is an empty inline function and compiles to
// nothing.
#pragma once

#include "stimer.h"

namespace checked {

#ifdef STIMER_CHECKED

// Held for the whole of an exported call: it takes the checked build's lock
// and names the call and its records in any report.
class Call {
public:
    Call(const char *name, const running_timers *list, const stimer *timer = nullptr);
    ~Call();
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;
};

void list(const running_timers *list);                   // initialised and sound
void timer(const running_timers *list, const stimer *t); // idle, or running in list
void visit(const running_timers *list, const stimer *t); // its links, before the walk reads it
void tick(const running_timers *list, int64_t now);      // the count never goes back
void horizon(const running_timers *list, int64_t now, int32_t timeout);
void init_list(const running_timers *list);
void init_timer(const stimer *t);
void linked(const running_timers *list, const stimer *t, int64_t fire);
void unlinking(const running_timers *list, const stimer *t);

#else

class Call {
public:
    Call(const char *, const running_timers *, const stimer * = nullptr) {}
};

inline void list(const running_timers *) {}
inline void timer(const running_timers *, const stimer *) {}
inline void visit(const running_timers *, const stimer *) {}
inline void tick(const running_timers *, int64_t) {}
inline void horizon(const running_timers *, int64_t, int32_t) {}
inline void init_list(const running_timers *) {}
inline void init_timer(const stimer *) {}
inline void linked(const running_timers *, const stimer *, int64_t) {}
inline void unlinking(const running_timers *, const stimer *) {}

#endif

} // namespace checked
