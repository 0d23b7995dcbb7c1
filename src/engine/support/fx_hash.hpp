// The Fx hash: a fast multiply-rotate hash for the engine's hash maps and sets.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

namespace quorvane::support {

struct FxHasher {
    static constexpr std::uint64_t kSeed = 0x517cc1b727220a95ULL;
    std::uint64_t state = 0;

    void add(std::uint64_t word) noexcept { state = (std::rotl(state, 5) ^ word) * kSeed; }
    void add_bytes(const void* data, std::size_t n) noexcept {
        const auto* p = static_cast<const unsigned char*>(data);
        while (n >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            add(w);
            p += 8;
            n -= 8;
        }
        if (n) {
            std::uint64_t w = 0;
            std::memcpy(&w, p, n);
            add(w);
        }
    }
    std::uint64_t finish() const noexcept { return state; }
};

// A strong 64-bit finaliser: every input bit reaches every output bit. For keys whose
// low bits must be good (Fx leaves them weak) or that are combined by summing.
constexpr std::uint64_t mix64(std::uint64_t x) noexcept {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

template <class T>
concept FxHashable = requires(const T& v, FxHasher& h) { v.hash_into(h); };

// Fx is weak in its low bits, so boost's tables post-mix it (not marked avalanching).
template <class T>
struct FxHash {
    std::size_t operator()(const T& v) const noexcept {
        FxHasher h;
        if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
            h.add(static_cast<std::uint64_t>(v));
        } else if constexpr (FxHashable<T>) {
            v.hash_into(h);
        } else {
            static_assert(sizeof(T) == 0, "type is not Fx-hashable");
        }
        return h.finish();
    }
};

template <class A, class B>
struct FxHash<std::pair<A, B>> {
    std::size_t operator()(const std::pair<A, B>& p) const noexcept {
        FxHasher h;
        h.add(FxHash<A>{}(p.first));
        h.add(FxHash<B>{}(p.second));
        return h.finish();
    }
};

template <class K, class V>
using FxMap = boost::unordered_flat_map<K, V, FxHash<K>>;
template <class K>
using FxSet = boost::unordered_flat_set<K, FxHash<K>>;

}  // namespace quorvane::support
