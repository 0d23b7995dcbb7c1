#include "engine/state/object_names.hpp"

#include <atomic>
#include <bit>
#include <cstddef>
#include <mutex>
#include <utility>

#include <boost/unordered/unordered_flat_map.hpp>

#include "engine/support/errors.hpp"
#include "engine/support/fx_hash.hpp"

namespace quorvane {

namespace {

// Names by id in segments that never move: segment s holds ids [2^s - 1, 2^(s+1) - 1),
// so a reader finds a name without a lock. Interning takes the lock.
class NameTable {
  public:
    std::uint64_t intern(std::string_view name) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (auto it = ids_.find(name); it != ids_.end()) return it->second;
        const std::uint64_t id = size_;
        const auto [segment, offset] = locate(id);
        QV_REQUIRE(segment < kSegments, "too many object names");
        std::string* block = segments_[segment].load(std::memory_order_relaxed);
        if (!block) {
            block = new std::string[std::size_t{1} << segment];
            segments_[segment].store(block, std::memory_order_release);
        }
        block[offset] = std::string(name);
        ids_.emplace(block[offset], id);
        ++size_;
        return id;
    }
    const std::string& name(std::uint64_t id) const {
        const auto [segment, offset] = locate(id);
        QV_REQUIRE(segment < kSegments, "an object id beyond the table of names");
        const std::string* block = segments_[segment].load(std::memory_order_acquire);
        QV_REQUIRE(block, "an object id beyond the table of names");
        return block[offset];
    }

  private:
    static constexpr std::size_t kSegments = 48;
    static std::pair<std::size_t, std::size_t> locate(std::uint64_t id) noexcept {
        const std::size_t segment = static_cast<std::size_t>(std::bit_width(id + 1) - 1);
        return {segment, static_cast<std::size_t>(id + 1 - (std::uint64_t{1} << segment))};
    }
    struct StringHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept {
            support::FxHasher h;
            h.add_bytes(s.data(), s.size());
            h.add(s.size());
            return h.finish();
        }
    };
    struct StringEq {
        using is_transparent = void;
        bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
    };

    std::mutex mutex_;
    std::uint64_t size_ = 0;
    std::atomic<std::string*> segments_[kSegments] = {};
    boost::unordered_flat_map<std::string, std::uint64_t, StringHash, StringEq> ids_;
};

NameTable& names() {
    // Never destroyed: states may be released by threads that outlive static destruction.
    static NameTable* table = new NameTable;
    return *table;
}

}  // namespace

std::uint64_t intern_object_name(std::string_view name) { return names().intern(name); }
const std::string& object_name_of(std::uint64_t id) { return names().name(id); }

}  // namespace quorvane
