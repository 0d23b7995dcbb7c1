#include "engine/search_state.hpp"

namespace quorvane {

std::optional<std::optional<double>> HeuristicCache::get(std::string_view name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [key, value] : entries_)
        if (key == name) return value;
    return std::nullopt;
}

void HeuristicCache::put(std::string_view name, std::optional<double> value) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : entries_)
        if (entry.first == name) {
            entry.second = value;
            return;
        }
    entries_.emplace_back(name, value);
}

std::size_t HeuristicCache::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

void HeuristicCache::copy_from(const HeuristicCache& other) {
    std::vector<std::pair<std::string_view, std::optional<double>>> copy;
    {
        std::lock_guard<std::mutex> lock(other.mutex_);
        copy = other.entries_;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    entries_ = std::move(copy);
}

void State::copy_fields_into(State& out) const {
    out.values = values;
    out.temporal_network = temporal_network;
    out.todo = todo;
    out.active_conditions = active_conditions;
    out.g = g;
    out.path = path;
}

std::unique_ptr<State> State::clone_for_child() const {
    auto child = std::make_unique<State>();
    copy_fields_into(*child);
    return child;
}

std::unique_ptr<State> State::full_clone() const {
    auto copy = std::make_unique<State>();
    copy_fields_into(*copy);
    copy->heuristic_cache.copy_from(heuristic_cache);
    return copy;
}

bool operator==(const State& a, const State& b) noexcept {
    if (a.temporal_network) return false;
    return a.values == b.values;
}

std::uint64_t State::hash() const noexcept {
    support::FxHasher h;
    for (const auto& node : values) node.hash_into(h);
    return h.finish();
}

}  // namespace quorvane
