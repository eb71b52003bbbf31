#include "server/stats_refresher.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace {

// Between two looks at the stale list, however many writes nudge: a burst
// of uploads costs one look per interval, not one per upload.
constexpr double kMinPassSeconds = 0.02;
constexpr double kGapFactor = 10.0;

double steady_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

StatsRefresher::StatsRefresher(ResultStore* store) : store_(store), thread_([this] { loop(); }) {}

StatsRefresher::~StatsRefresher() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void StatsRefresher::nudge() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        nudged_ = true;
    }
    wake_.notify_all();
}

void StatsRefresher::loop() {
    std::map<std::string, double> not_before;  // per processor, steady seconds
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        nudged_ = false;
        lock.unlock();
        const double pass = steady_seconds();
        double wait = kStatsPollSeconds;
        std::vector<std::string> stale;
        if (store_->stale_processors(&stale) == StoreStatus::ok) {
            for (const std::string& key : stale) {
                {
                    std::lock_guard<std::mutex> stop(mutex_);
                    if (stopping_) return;
                }
                const double now = steady_seconds();
                const auto due = not_before.find(key);
                if (due != not_before.end() && now < due->second) {
                    wait = std::min(wait, due->second - now);
                    continue;
                }
                store_->refresh_processor(key);
                const double took = steady_seconds() - now;
                not_before[key] = now + took + std::min(kStatsMaxGapSeconds, kGapFactor * took);
            }
        }
        const double now = steady_seconds();
        for (auto it = not_before.begin(); it != not_before.end();)
            it = it->second <= now ? not_before.erase(it) : std::next(it);
        wait = std::max(wait, kMinPassSeconds - (now - pass));
        lock.lock();
        wake_.wait_for(lock, std::chrono::duration<double>(wait), [this] { return stopping_ || nudged_; });
        if (nudged_ && !stopping_) {
            // Nudged early: still keep kMinPassSeconds between passes.
            const double since = steady_seconds() - pass;
            if (since < kMinPassSeconds)
                wake_.wait_for(lock, std::chrono::duration<double>(kMinPassSeconds - since), [this] { return stopping_; });
        }
    }
}
