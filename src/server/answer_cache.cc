#include "server/answer_cache.h"

void answers_changed(AnswerCache* cache) {
    std::lock_guard<std::mutex> lock(cache->mutex);
    ++cache->generation;
    cache->entries.clear();
    cache->bytes = 0;
}

uint64_t answer_generation(AnswerCache* cache) {
    std::lock_guard<std::mutex> lock(cache->mutex);
    return cache->generation;
}

bool cached_answer(AnswerCache* cache, const std::string& key, double now, std::string* body) {
    std::lock_guard<std::mutex> lock(cache->mutex);
    const auto found = cache->entries.find(key);
    if (found == cache->entries.end()) return false;
    const AnswerCache::Entry& e = found->second;
    if (e.generation != cache->generation || now - e.at > kAnswerMaxAge || now < e.at) return false;
    *body = e.body;
    return true;
}

void keep_answer(AnswerCache* cache, const std::string& key, uint64_t generation, double now, const std::string& body) {
    std::lock_guard<std::mutex> lock(cache->mutex);
    if (generation != cache->generation) return;
    if (cache->bytes + body.size() > kAnswerCacheBytes) {
        cache->entries.clear();
        cache->bytes = 0;
    }
    auto& e = cache->entries[key];
    cache->bytes -= e.body.size();
    e = {generation, now, body};
    cache->bytes += body.size();
}
