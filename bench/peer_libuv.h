// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// The libuv column of bench/peers.cpp.
#pragma once

#include <uv.h>

#include <vector>

#include "peers.h"

namespace peers {

// libuv: a uv_timer_t each, the loop run without waiting.
struct Uv {
    static constexpr const char *name = "libuv";
    uv_loop_t loop;
    std::vector<uv_timer_t> timers; // sized once: a handle does not move
    Expiry on;
    Uv(int n, const Shared &)
        : timers(static_cast<std::size_t>(n))
    {
        uv_loop_init(&loop);
        loop.data = this;
        for (int i = 0; i < n; ++i) {
            uv_timer_init(&loop, &timers[static_cast<std::size_t>(i)]);
            timers[static_cast<std::size_t>(i)].data =
                reinterpret_cast<void *>(static_cast<intptr_t>(i));
        }
    }
    ~Uv()
    {
        uv_walk(
            &loop, [](uv_handle_t *h, void *) { uv_close(h, nullptr); }, nullptr);
        uv_run(&loop, UV_RUN_DEFAULT);
        uv_loop_close(&loop);
    }
    static void fired(uv_timer_t *h);
    void tick() { uv_update_time(&loop); }
    void arm(int i, int32_t timeout)
    {
        uv_timer_start(&timers[static_cast<std::size_t>(i)], fired, static_cast<uint64_t>(timeout),
                       0);
    }
    void cancel(int i) { uv_timer_stop(&timers[static_cast<std::size_t>(i)]); }
    void expire() { uv_run(&loop, UV_RUN_NOWAIT); }
};

inline void Uv::fired(uv_timer_t *h)
{
    expired(*static_cast<Uv *>(h->loop->data),
            static_cast<int>(reinterpret_cast<intptr_t>(h->data)));
}

} // namespace peers
