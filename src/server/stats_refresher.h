// Brings a store's per-processor statistics up to date off the request
// path: a thread that asks the store which processors are stale and
// recomputes them, woken by this process's own writes (nudge) and otherwise
// polling every kStatsPollSeconds for changes made by other instances on the
// same database. A processor is recomputed at once after a quiet spell, but
// after a recompute that took d seconds not again before min(10 d,
// kStatsMaxGapSeconds): a burst of uploads to a processor of 10,000 results
// recomputes it a few times, not once per upload, and keeps the refresher
// to a tenth of a core, while a small processor's page follows every write.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "server/store.h"

constexpr double kStatsPollSeconds = 1.0;
constexpr double kStatsMaxGapSeconds = 5.0;

class StatsRefresher {
public:
    explicit StatsRefresher(ResultStore* store);
    // Stops the thread; a recompute under way finishes first.
    ~StatsRefresher();
    StatsRefresher(const StatsRefresher&) = delete;
    StatsRefresher& operator=(const StatsRefresher&) = delete;
    // A write here marked a processor stale.
    void nudge();

private:
    void loop();

    ResultStore* store_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false, nudged_ = false;
    std::thread thread_;
};
