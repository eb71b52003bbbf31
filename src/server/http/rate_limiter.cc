#include "server/http/rate_limiter.h"

#include <algorithm>

bool RateLimiter::allow(const std::string& key, double now) {
    if (per_minute_ <= 0) return true;
    const double capacity = per_minute_;
    const double per_second = per_minute_ / 60.0;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = buckets_.find(key);
    if (it == buckets_.end()) {
        if (buckets_.size() >= kMaxBuckets && now - last_sweep_ >= 1.0) {
            last_sweep_ = now;
            for (auto b = buckets_.begin(); b != buckets_.end();) {
                if (b->second.tokens + (now - b->second.updated) * per_second >= capacity)
                    b = buckets_.erase(b);
                else
                    ++b;
            }
        }
        if (buckets_.size() >= kMaxBuckets) return false;
        it = buckets_.emplace(key, Bucket{capacity, now}).first;
    }
    Bucket& b = it->second;
    if (now > b.updated) {
        b.tokens = std::min(capacity, b.tokens + (now - b.updated) * per_second);
        b.updated = now;
    }
    if (b.tokens < 1.0) return false;
    b.tokens -= 1.0;
    return true;
}
