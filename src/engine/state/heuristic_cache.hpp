// The heuristic values a state keeps, by heuristic name.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvane {

// Heuristic values computed for one state, by heuristic name; an entry without a
// number records a dead end. The only part of a shared state that changes; it guards
// itself, and takes memory only once a value is stored.
class HeuristicCache {
  public:
    HeuristicCache() noexcept = default;
    HeuristicCache(const HeuristicCache&) = delete;
    HeuristicCache& operator=(const HeuristicCache&) = delete;
    ~HeuristicCache();

    // nullopt: nothing cached under `name`; otherwise the cached value (itself optional).
    std::optional<std::optional<double>> get(std::string_view name) const;
    void put(std::string_view name, std::optional<double> value);
    std::size_t size() const;
    void copy_from(const HeuristicCache& other);
    // Forgets every entry (keeping the memory for the next ones).
    void clear() noexcept;

  private:
    struct Block {
        std::mutex mutex;
        // Few heuristics run per search: a flat list beats a hash map here.
        std::vector<std::pair<std::string_view, std::optional<double>>> entries;
    };
    Block& block();
    mutable std::atomic<Block*> block_{nullptr};
};

}  // namespace quorvane
