/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
// Checks a list against the invariants of the delta list and reports the
// timers it holds, in order, with their firing times. Shared by the tests
// and the fuzz target; it reads the records directly and trusts nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "stimer.h"

namespace list_check {

struct Entry {
    const stimer *timer;
    int64_t fire;
};

inline int64_t wrap_add(int64_t a, int64_t b)
{
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

inline bool is_idle(const stimer &t)
{
    return t.link.next == &t.link && t.link.prev == &t.link;
}

// Structure: links agree in both directions, no running timer looks idle,
// and the walk closes within max_timers steps. With ordered set, also the
// order: every delta but the first is >= 0, so firing times never decrease
// (this holds only while the list stays within the 32-bit horizon).
// Returns an empty string when the list is sound.
inline std::string check(const running_timers &list, std::size_t max_timers, bool ordered,
                         std::vector<Entry> *out)
{
    out->clear();
    const stimer_link *head = &list.head;
    const stimer_link *prev = head;
    uint32_t offset = 0;
    for (const stimer_link *p = head->next; p != head; prev = p, p = p->next) {
        if (out->size() == max_timers)
            return "the list does not close: more links than timers";
        if (p->prev != prev)
            return "link " + std::to_string(out->size()) + ": prev does not lead back";
        if (p->next == p)
            return "link " + std::to_string(out->size()) + ": a running timer points to itself";
        const stimer *t = reinterpret_cast<const stimer *>(p);
        if (ordered && !out->empty() && t->delta < 0)
            return "link " + std::to_string(out->size()) + ": negative delta behind the first";
        offset += static_cast<uint32_t>(t->delta);
        int64_t fire = out->empty() ? wrap_add(list.base_time, t->delta)
                                    : wrap_add(list.base_time, static_cast<int32_t>(offset));
        if (ordered && !out->empty() && fire < out->back().fire)
            return "link " + std::to_string(out->size()) + ": fires before its predecessor";
        out->push_back({t, fire});
    }
    if (head->prev != prev)
        return "head.prev is not the last timer";
    // The header's walk gives the same timers and firing times.
    int64_t fire = 0;
    const stimer *t = stimer_walk(&list, nullptr, &fire);
    for (const Entry &e : *out) {
        if (t != e.timer || fire != e.fire)
            return "stimer_walk differs at timer " + std::to_string(&e - out->data());
        t = stimer_walk(&list, t, &fire);
    }
    if (t)
        return "stimer_walk goes past the last timer";
    return {};
}

// Kills every timer still running in a list when it goes out of scope, so
// that a test ends, however it ends, without releasing a list that holds
// timers: the checked build holds a test to that rule like any caller.
struct Emptied {
    running_timers &list;
    ~Emptied()
    {
        while (list.head.next != &list.head)
            stimer_kill(&list, reinterpret_cast<stimer *>(list.head.next));
    }
};

} // namespace list_check
