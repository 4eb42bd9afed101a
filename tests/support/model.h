/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
// An independent model of one list: absolute firing times and arming order,
// kept sorted. It knows nothing of deltas or links.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

class ReferenceList {
public:
    struct Armed {
        int id;
        int64_t fire;
        uint64_t seq;
    };

    void start(int id, int64_t fire, uint64_t seq)
    {
        kill(id);
        Armed a{id, fire, seq};
        armed_.insert(std::upper_bound(armed_.begin(), armed_.end(), a,
                                       [](const Armed &x, const Armed &y) {
                                           return x.fire < y.fire ||
                                                  (x.fire == y.fire && x.seq < y.seq);
                                       }),
                      a);
    }

    bool kill(int id)
    {
        auto it =
            std::find_if(armed_.begin(), armed_.end(), [id](const Armed &a) { return a.id == id; });
        if (it == armed_.end())
            return false;
        armed_.erase(it);
        return true;
    }

    int64_t next_firing_time() const { return armed_.empty() ? -1 : armed_.front().fire; }

    // The id of the timer that fires at now, or -1.
    int pop(int64_t now)
    {
        if (armed_.empty() || armed_.front().fire > now)
            return -1;
        int id = armed_.front().id;
        armed_.erase(armed_.begin());
        return id;
    }

    const std::vector<Armed> &armed() const { return armed_; }

private:
    std::vector<Armed> armed_;
};
