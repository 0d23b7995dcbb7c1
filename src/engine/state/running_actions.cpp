#include "engine/state/running_actions.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

namespace quorvane {

namespace {
// The slots of the smallest table: 15 in the first group, 14 in the second (its last
// slot marks the end).
constexpr unsigned kSmallSlots = 29;
// The number of slots RunningMap::reserve(n) asks for; room for at most 29 keeps the
// smallest table.
std::size_t slots_for(std::size_t n) { return static_cast<std::size_t>(std::ceil(static_cast<float>(n) / 0.875f)); }
}  // namespace

RunningActions::Block* RunningActions::make_block(std::size_t capacity) {
    void* raw = ::operator new(sizeof(Block) + capacity * sizeof(value_type));
    auto* b = ::new (raw) Block();
    b->capacity = static_cast<std::uint8_t>(capacity);
    return b;
}

void RunningActions::drop() noexcept {
    Header* h = std::exchange(b_, nullptr);
    if (!h || h->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (h->is_table) {
        delete static_cast<Table*>(h);
    } else {
        static_cast<Block*>(h)->~Block();  // the entries are trivially destructible
        ::operator delete(h);
    }
}

const RunningEntry& RunningActions::at(Action a) const {
    auto it = find(a);
    if (it == end()) throw std::out_of_range("the action is not running");
    return it->second;
}

template <class Range>
RunningActions::Block* RunningActions::copy_small(const Range& from, std::size_t capacity) {
    Block* copy = make_block(capacity);
    // A RunningMap's copy is a table made afresh and filled in the original's order:
    // each entry takes the lowest free slot of its group, so a group's entries keep
    // their order and close up.
    unsigned next[2] = {0, kGroupSlots};
    for (unsigned g = 0; g < 2; ++g)
        for (const value_type& item : from) {
            if (group_of(item.first) != g) continue;
            copy->slot[copy->count] = static_cast<std::uint8_t>(next[g]++);
            std::construct_at(copy->items() + copy->count, item);
            ++copy->count;
        }
    return copy;
}

void RunningActions::make_unique(std::size_t extra) {
    if (!b_) {
        b_ = make_block(std::max<std::size_t>(extra, 2));
        return;
    }
    if (b_->refs.load(std::memory_order_acquire) == 1) {
        Block* old = block();
        if (!old || old->count + extra <= old->capacity || old->count == kCompactLimit) return;
        // More room, every entry in its slot.
        Block* grown = make_block(std::min<std::size_t>(old->count + extra + 2, kCompactLimit));
        grown->count = old->count;
        std::copy_n(old->slot, old->count, grown->slot);
        for (std::size_t i = 0; i < old->count; ++i) std::construct_at(grown->items() + i, old->items()[i]);
        drop();
        b_ = grown;
        return;
    }
    // A copy of a shared map.
    const std::size_t n = size();
    Header* copy;
    if (n <= kCompactLimit) {
        copy = copy_small(*this, std::clamp<std::size_t>(n + extra, 2, kCompactLimit));
    } else {
        auto* t = new Table;
        try {
            t->map = table()->map;
        } catch (...) {
            delete t;
            throw;
        }
        copy = t;
    }
    drop();
    b_ = copy;
}

void RunningActions::become_table() {
    Block* k = block();
    auto* t = new Table;
    try {
        RunningMap& map = t->map;
        // Fill the slots in order, a stand-in in every free slot below a used one, so that
        // each entry lands in its slot; then the stand-ins go.
        std::vector<Action> stand_ins;
        std::uint64_t candidate = ~std::uint64_t{0};
        auto stand_in = [&](unsigned g) {
            for (;; --candidate) {
                const Action a{candidate};
                if (group_of(a) == g && !contains(a) && !map.contains(a)) return a;
            }
        };
        std::size_t i = 0;
        for (unsigned g = 0; g < 2; ++g) {
            for (unsigned slot = g * kGroupSlots; i < k->count && k->slot[i] / kGroupSlots == g; ++slot) {
                if (k->slot[i] == slot) {
                    map.emplace(k->items()[i].first, k->items()[i].second);
                    ++i;
                } else {
                    stand_ins.push_back(stand_in(g));
                    map.emplace(stand_ins.back(), RunningEntry{});
                }
            }
        }
        for (Action a : stand_ins) map.erase(a);
    } catch (...) {
        delete t;
        throw;
    }
    drop();
    b_ = t;
}

RunningEntry& RunningActions::insert_new(Action a, RunningEntry e) {
    Block* k = block();
    if (k && k->count == kCompactLimit) {
        become_table();
        k = nullptr;
    }
    if (!k) return table()->map.emplace(a, e).first->second;
    const unsigned g = group_of(a);
    // The lowest free slot of the group; the entries are in the order of their slots.
    std::size_t i = 0;
    while (i < k->count && k->slot[i] < g * kGroupSlots) ++i;
    unsigned slot = g * kGroupSlots;
    while (i < k->count && k->slot[i] == slot) ++i, ++slot;
    for (std::size_t j = k->count; j > i; --j) {
        k->slot[j] = k->slot[j - 1];
        std::construct_at(k->items() + j, k->items()[j - 1]);
    }
    k->slot[i] = static_cast<std::uint8_t>(slot);
    std::construct_at(k->items() + i, a, e);
    ++k->count;
    return k->items()[i].second;
}

void RunningActions::insert_or_assign(Action a, RunningEntry e) { (*this)[a] = e; }

RunningEntry& RunningActions::operator[](Action a) {
    make_unique(1);
    if (Block* k = block()) {
        for (std::size_t i = 0; i < k->count; ++i)
            if (k->items()[i].first == a) return k->items()[i].second;
        return insert_new(a, RunningEntry{});
    }
    return table()->map[a];
}

bool RunningActions::erase(Action a) {
    if (!contains(a)) return false;
    make_unique(0);
    if (Block* k = block()) {
        std::size_t i = 0;
        while (k->items()[i].first != a) ++i;
        for (; i + 1 < k->count; ++i) {
            k->slot[i] = k->slot[i + 1];
            std::construct_at(k->items() + i, k->items()[i + 1]);
        }
        --k->count;
    } else {
        table()->map.erase(a);
    }
    if (size() == 0) drop();
    return true;
}

void RunningActions::reserve(std::size_t n) {
    make_unique(0);  // a change, like any: a shared map is copied first
    if (block() && std::max(slots_for(n), slots_for(size())) <= kSmallSlots) {
        if (size() == 0) drop();
        return;  // the smallest table already has that room
    }
    if (block()) become_table();
    table()->map.reserve(n);
}

bool same_running(const RunningActions& a, const RunningActions& b) noexcept {
    if (a.size() != b.size()) return false;
    if (a.shares(b)) return true;
    for (const auto& [action, entry] : a) {
        auto it = b.find(action);
        if (it == b.end() || it->second.next_event != entry.next_event) return false;
    }
    return true;
}

}  // namespace quorvane
