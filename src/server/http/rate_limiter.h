// Uploads per minute per client, as token buckets that refill continuously,
// so a client at the limit is never locked out for long.
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>

class RateLimiter {
public:
    explicit RateLimiter(int per_minute) : per_minute_(per_minute) {}
    // key: limit_key() of the client; now in seconds on any steady clock.
    bool allow(const std::string& key, double now);
    size_t tracked() const { return buckets_.size(); }

    // The table never holds more buckets than this. Past it, full buckets go
    // first (they carry no information); if every bucket is still draining,
    // the new key is refused rather than the table grown or a drained bucket
    // forgotten (which would hand a client a fresh allowance).
    static constexpr size_t kMaxBuckets = 65536;

private:
    struct Bucket {
        double tokens, updated;
    };
    int per_minute_;
    double last_sweep_ = -1e300;  // a sweep a second at most, whatever the flood
    std::mutex mutex_;
    std::unordered_map<std::string, Bucket> buckets_;
};
