// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// The libev column of bench/peers.cpp: an ev_timer each on an epoll loop,
// armed with ev_timer_start, moved with ev_timer_again, the loop's time
// taken with ev_now_update and the loop run with EVRUN_NOWAIT.
//
// libev reads CLOCK_MONOTONIC, which bench/peers.cpp answers from the
// shared tick count when the call comes from libev's own code, and fires a
// timer once its time is strictly past. So each timeout is given half a
// tick short: a timer armed for k ticks then fires on the tick that every
// other column fires it on, never one before.
#pragma once

#include <ev.h>

#include <vector>

#include "peers.h"

namespace peers {

struct Ev {
    static constexpr const char *name = "libev";
    struct ev_loop *loop;
    std::vector<ev_timer> timers; // sized once: a watcher does not move
    Expiry on;
    bool rearmed = false; // whether the callback of the moment re-armed its timer
    Ev(int n, const Shared &)
        : loop(ev_loop_new(EVBACKEND_EPOLL))
        , timers(static_cast<std::size_t>(n))
    {
        ev_set_userdata(loop, this);
        for (int i = 0; i < n; ++i) {
            ev_timer *w = &timers[static_cast<std::size_t>(i)];
            ev_init(w, fired);
            w->data = reinterpret_cast<void *>(static_cast<intptr_t>(i));
        }
    }
    ~Ev()
    {
        for (ev_timer &w : timers)
            ev_timer_stop(loop, &w);
        ev_loop_destroy(loop);
    }
    static double seconds(int32_t timeout) { return (timeout - 0.5) / 1000; }
    static void fired(struct ev_loop *loop, ev_timer *w, int)
    {
        auto *self = static_cast<Ev *>(ev_userdata(loop));
        self->rearmed = false;
        expired(*self, static_cast<int>(reinterpret_cast<intptr_t>(w->data)));
        if (!self->rearmed) // a timer moved with ev_timer_again would repeat
            ev_timer_stop(loop, w);
    }
    void tick() { ev_now_update(loop); }
    void arm(int i, int32_t timeout)
    {
        ev_timer *w = &timers[static_cast<std::size_t>(i)];
        rearmed = true;
        if (ev_is_active(w)) {
            w->repeat = seconds(timeout);
            ev_timer_again(loop, w);
        } else {
            ev_timer_set(w, seconds(timeout), 0.);
            ev_timer_start(loop, w);
        }
    }
    void cancel(int i) { ev_timer_stop(loop, &timers[static_cast<std::size_t>(i)]); }
    void expire() { ev_run(loop, EVRUN_NOWAIT); }
};

} // namespace peers
