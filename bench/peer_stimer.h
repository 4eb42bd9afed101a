// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// The stimer columns of bench/peers.cpp: a timer each, a queue, a class.
#pragma once

#include <memory>

#include "peers.h"
#include "stimer.h"
#include "stimer_class.h"
#include "stimer_queue.h"
#include "tovask.h"

namespace peers {

// stimer through libstimer.so, a timer each.
struct Stimer {
    static constexpr const char *name = "stimer";
    running_timers list;
    std::unique_ptr<stimer[]> timers;
    Expiry on;
    Stimer(int n, const Shared &)
        : timers(new stimer[static_cast<std::size_t>(n)])
    {
        stimer_init_running_timers(&list);
        for (int i = 0; i < n; ++i)
            stimer_init(&timers[i], 0, reinterpret_cast<void *>(static_cast<intptr_t>(i)));
    }
    ~Stimer()
    {
        while (list.head.next != &list.head)
            stimer_kill(&list, reinterpret_cast<stimer *>(list.head.next));
    }
    void tick() {}
    void arm(int i, int32_t timeout) { stimer_start(&list, &timers[i], timeout); }
    void expire();
};

// Many timers on their own timeouts: a stimer_queue, one timer in all.
struct StimerQueue {
    static constexpr const char *name = "stimer_queue";
    running_timers list;
    stimer_queue q;
    std::unique_ptr<stimer_entry[]> entries;
    Expiry on;
    StimerQueue(int n, const Shared &)
        : entries(new stimer_entry[static_cast<std::size_t>(n)])
    {
        stimer_init_running_timers(&list);
        stimer_queue_init(&q, &list, 0, nullptr);
        for (int i = 0; i < n; ++i)
            stimer_entry_init(&entries[i]);
    }
    ~StimerQueue() { stimer_kill(&list, &q.timer); }
    void tick() {}
    void arm(int i, int32_t timeout) { stimer_queue_arm(&q, &entries[i], timeout); }
    void cancel(int i) { stimer_queue_cancel(&q, &entries[i]); }
    void expire();
};

// The idle pattern: a stimer_class holds the connections, one timer in all.
struct StimerClass {
    static constexpr const char *name = "stimer_class";
    running_timers list;
    stimer_class tc;
    Expiry on;
    std::unique_ptr<stimer_member[]> members;
    StimerClass(int n, const Shared &shared)
        : members(new stimer_member[static_cast<std::size_t>(n)])
    {
        stimer_init_running_timers(&list);
        stimer_class_init(&tc, &list, shared.at(0), 0, nullptr);
        for (int i = 0; i < n; ++i)
            stimer_member_init(&members[i]);
    }
    ~StimerClass() { stimer_kill(&list, &tc.timer); }
    void tick() {}
    void arm(int i, int32_t) { stimer_class_renew(&tc, &members[i]); }
    void expire();
};

inline void Stimer::expire()
{
    while (stimer *t = stimer_get_next_fired_timer(&list))
        expired(*this, static_cast<int>(reinterpret_cast<intptr_t>(t->data)));
}

inline void StimerQueue::expire()
{
    if (!stimer_get_next_fired_timer(&list))
        return;
    int64_t now = TickGetCount();
    stimer_entry *e = stimer_queue_expired(&q, now);
    early_wakes += !e;
    for (; e; e = stimer_queue_expired(&q, now))
        expired(*this, static_cast<int>(e - entries.get()));
}

inline void StimerClass::expire()
{
    if (!stimer_get_next_fired_timer(&list))
        return;
    int64_t now = TickGetCount();
    while (stimer_member *m = stimer_class_expired(&tc, now))
        expired(*this, static_cast<int>(m - members.get()));
}

} // namespace peers
