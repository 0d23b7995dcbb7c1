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

namespace {

// A strong 64-bit finaliser: entries are summed, so each must spread over all bits.
std::uint64_t mix64(std::uint64_t x) noexcept {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

bool same_running(const TodoMap& a, const TodoMap& b) noexcept {
    if (a.size() != b.size()) return false;
    for (const auto& [action, entry] : a) {
        auto it = b.find(action);
        if (it == b.end() || it->second.next_event != entry.next_event) return false;
    }
    return true;
}

bool same_conditions(const ConditionMultiset& a, const ConditionMultiset& b) noexcept {
    if (a.size() != b.size()) return false;
    for (const auto& [condition, count] : a) {
        auto it = b.find(condition);
        if (it == b.end() || it->second != count) return false;
    }
    return true;
}

}  // namespace

bool operator==(const State& a, const State& b) noexcept {
    if (a.temporal_network) return false;
    return a.values == b.values && same_running(a.todo, b.todo) &&
           same_conditions(a.active_conditions, b.active_conditions);
}

std::uint64_t State::values_hash() const noexcept {
    support::FxHasher h;
    for (const auto& node : values) node.hash_into(h);
    return h.finish();
}

void State::hash_progress_into(support::FxHasher& h) const noexcept {
    // Sums of mixed entry hashes do not depend on the order the maps are walked in.
    std::uint64_t running = 0;
    for (const auto& [action, entry] : todo) {
        support::FxHasher e;
        action.hash_into(e);
        e.add(entry.next_event);
        running += mix64(e.finish());
    }
    std::uint64_t conditions = 0;
    for (const auto& [condition, count] : active_conditions) {
        support::FxHasher e;
        hash_expr(e, condition);
        e.add(count);
        conditions += mix64(e.finish());
    }
    h.add(todo.size());
    h.add(running);
    h.add(active_conditions.size());
    h.add(conditions);
}

std::uint64_t State::hash() const noexcept {
    support::FxHasher h;
    for (const auto& node : values) node.hash_into(h);
    if (progress_in_identity()) hash_progress_into(h);
    return h.finish();
}

}  // namespace quorvane
