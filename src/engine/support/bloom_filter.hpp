// A Bloom filter sized from an expected item count and a false-positive rate.
// Each filter draws its own hash seed, so two filters disagree on their false positives.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <random>

#include "engine/support/errors.hpp"

namespace quorvane::support {

class BloomFilter {
  public:
    BloomFilter(double false_positive_rate, std::uint64_t expected_items)
        : BloomFilter(false_positive_rate, expected_items, fresh_seed()) {}

    BloomFilter(double false_positive_rate, std::uint64_t expected_items, std::uint64_t seed) : seed_(seed) {
        QV_REQUIRE(false_positive_rate > 0.0 && false_positive_rate < 1.0, "Bloom filter rate outside (0, 1)");
        QV_REQUIRE(expected_items > 0, "Bloom filter for no items");
        const double ln2 = std::log(2.0);
        double n = static_cast<double>(expected_items);
        double m = std::ceil(-n * std::log(false_positive_rate) / (ln2 * ln2));
        // Beyond 2^63 bits the conversion below would be undefined; no machine holds such a filter anyway.
        QV_REQUIRE(m < 9.2e18, "Bloom filter too large for its rate and item count");
        bits_ = static_cast<std::uint64_t>(m);
        if (bits_ < 64) bits_ = 64;
        hashes_ = static_cast<unsigned>(std::lround(static_cast<double>(bits_) / n * ln2));
        if (hashes_ < 1) hashes_ = 1;
        // Zeroed memory straight from the system: a large filter is mapped on demand, so
        // only the pages its bits land on ever cost anything, and making it is immediate.
        words_.reset(static_cast<std::uint64_t*>(std::calloc((bits_ + 63) / 64, sizeof(std::uint64_t))));
        if (!words_) throw std::bad_alloc();
    }

    // Inserts the key and reports whether it was (possibly falsely) present already.
    bool check_and_set(std::uint64_t key) noexcept {
        std::uint64_t h1 = mix(key ^ seed_);
        std::uint64_t h2 = mix(h1 + 0x9e3779b97f4a7c15ULL) | 1;  // odd: walks every residue
        bool present = true;
        for (unsigned i = 0; i < hashes_; ++i) {
            std::uint64_t bit = (h1 + i * h2) % bits_;
            std::uint64_t mask = std::uint64_t{1} << (bit & 63);
            std::uint64_t& word = words_[bit >> 6];
            if (!(word & mask)) {
                present = false;
                word |= mask;
            }
        }
        return present;
    }

    std::uint64_t bit_count() const noexcept { return bits_; }
    unsigned hash_count() const noexcept { return hashes_; }
    std::uint64_t seed() const noexcept { return seed_; }

  private:
    static std::uint64_t fresh_seed() {
        std::random_device rd;
        return (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
    }
    static std::uint64_t mix(std::uint64_t z) noexcept {  // splitmix64 finaliser
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }

    struct Free {
        void operator()(std::uint64_t* p) const noexcept { std::free(p); }
    };

    std::uint64_t seed_;
    std::uint64_t bits_ = 0;
    unsigned hashes_ = 1;
    std::unique_ptr<std::uint64_t[], Free> words_;
};

}  // namespace quorvane::support
