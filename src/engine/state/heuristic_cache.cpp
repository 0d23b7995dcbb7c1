#include "engine/state/heuristic_cache.hpp"

namespace quorvane {

HeuristicCache::~HeuristicCache() { delete block_.load(std::memory_order_acquire); }

HeuristicCache::Block& HeuristicCache::block() {
    Block* b = block_.load(std::memory_order_acquire);
    if (b) return *b;
    auto* fresh = new Block;
    if (block_.compare_exchange_strong(b, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) return *fresh;
    delete fresh;  // another thread installed one first
    return *b;
}

std::optional<std::optional<double>> HeuristicCache::get(std::string_view name) const {
    Block* b = block_.load(std::memory_order_acquire);
    if (!b) return std::nullopt;
    std::lock_guard<std::mutex> lock(b->mutex);
    for (const auto& [key, value] : b->entries)
        if (key == name) return value;
    return std::nullopt;
}

void HeuristicCache::put(std::string_view name, std::optional<double> value) {
    Block& b = block();
    std::lock_guard<std::mutex> lock(b.mutex);
    for (auto& entry : b.entries)
        if (entry.first == name) {
            entry.second = value;
            return;
        }
    b.entries.emplace_back(name, value);
}

std::size_t HeuristicCache::size() const {
    Block* b = block_.load(std::memory_order_acquire);
    if (!b) return 0;
    std::lock_guard<std::mutex> lock(b->mutex);
    return b->entries.size();
}

void HeuristicCache::clear() noexcept {
    Block* b = block_.load(std::memory_order_acquire);
    if (!b) return;
    std::lock_guard<std::mutex> lock(b->mutex);
    b->entries.clear();
}

void HeuristicCache::copy_from(const HeuristicCache& other) {
    Block* src = other.block_.load(std::memory_order_acquire);
    if (!src) return;
    std::vector<std::pair<std::string_view, std::optional<double>>> copy;
    {
        std::lock_guard<std::mutex> lock(src->mutex);
        copy = src->entries;
    }
    Block& b = block();
    std::lock_guard<std::mutex> lock(b.mutex);
    b.entries = std::move(copy);
}

}  // namespace quorvane
