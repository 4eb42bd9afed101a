// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// The libevent column of bench/peers.cpp, with its own timeouts or common
// ones.
#pragma once

#include <event2/event.h>

#include <utility>
#include <vector>

#include "peers.h"

namespace peers {

// libevent: an event each, with its own timeout or, for a timeout that many
// share, a common timeout; the loop run once without waiting.
template <bool common>
struct Event {
    static constexpr const char *name = common ? "libevent_common" : "libevent";
    event_base *base;
    std::vector<event *> events;
    std::vector<std::pair<int32_t, const timeval *>> commons;
    Expiry on;
    Event(int n, const Shared &shared)
        : events(static_cast<std::size_t>(n))
    {
        event_config *cfg = event_config_new();
        event_config_set_flag(cfg, EVENT_BASE_FLAG_NOLOCK);
        base = event_base_new_with_config(cfg);
        event_config_free(cfg);
        for (int i = 0; i < n; ++i)
            events[static_cast<std::size_t>(i)] =
                evtimer_new(base, fired, reinterpret_cast<void *>(static_cast<intptr_t>(i)));
        for (int32_t timeout : common ? shared : Shared{}) {
            timeval every{timeout / 1000, timeout % 1000 * 1000};
            commons.emplace_back(timeout, event_base_init_common_timeout(base, &every));
        }
        current = this;
    }
    ~Event()
    {
        for (event *e : events)
            event_free(e);
        event_base_free(base);
    }
    static inline Event *current;
    static void fired(evutil_socket_t, short, void *arg);
    void tick() {}
    void arm(int i, int32_t timeout)
    {
        timeval tv{timeout / 1000, timeout % 1000 * 1000};
        const timeval *when = &tv;
        for (const auto &[t, shared] : commons)
            if (t == timeout)
                when = shared;
        evtimer_add(events[static_cast<std::size_t>(i)], when);
    }
    void cancel(int i) { evtimer_del(events[static_cast<std::size_t>(i)]); }
    void expire() { event_base_loop(base, EVLOOP_NONBLOCK | EVLOOP_ONCE); }
};

template <bool common>
void Event<common>::fired(evutil_socket_t, short, void *arg)
{
    expired(*current, static_cast<int>(reinterpret_cast<intptr_t>(arg)));
}

} // namespace peers
