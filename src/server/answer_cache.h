// Finished answers of the per-processor pages and API. Each gathers every
// result of a processor, or of all of them (about a second with 100,000
// stored), so an answer is kept until the results next change here, and for
// at most kAnswerMaxAge seconds, which bounds how long a change made by
// another instance on the same PostgreSQL database goes unseen.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

constexpr double kAnswerMaxAge = 10.0;
constexpr size_t kAnswerCacheBytes = 64u << 20;  // past it, the cache starts again empty

struct AnswerCache {
    std::mutex mutex;
    uint64_t generation = 0;  // counts the changes of the results
    size_t bytes = 0;
    struct Entry {
        uint64_t generation;
        double at;
        std::string body;
    };
    std::map<std::string, Entry> entries;
};

// After any upload, label or listing change or deletion.
void answers_changed(AnswerCache* cache);
// The generation to pass to keep_answer, read before the store is asked.
uint64_t answer_generation(AnswerCache* cache);
// True with *body when a kept answer for key is still good at now (steady seconds).
bool cached_answer(AnswerCache* cache, const std::string& key, double now, std::string* body);
// Keeps body for key unless the results changed since generation.
void keep_answer(AnswerCache* cache, const std::string& key, uint64_t generation, double now, const std::string& body);
