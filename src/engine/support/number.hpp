// Exact numbers: arbitrary-precision integers and rationals.
//
// A value that fits a signed 64-bit word is held inline; only larger values live in a
// GMP integer on the heap. The inline form is canonical: every operation demotes a
// result that fits int64 back to it, so two equal values always have the same
// representation, and equality and hashing never need to look past it. Copying,
// comparing or hashing a small value never allocates.
#pragma once

#include <gmp.h>

#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "engine/support/errors.hpp"

static_assert(GMP_LIMB_BITS == 64 && GMP_NAIL_BITS == 0, "the inline form assumes 64-bit GMP limbs without nails");
static_assert(sizeof(long) == 8, "GMP's long-based accessors must cover int64");

namespace quorvane {

namespace number_detail {
// Multiply-rotate step of the Fx hash; used to fold the words of a value.
inline constexpr std::uint64_t fx_mix(std::uint64_t h, std::uint64_t word) noexcept {
    return (std::rotl(h, 5) ^ word) * 0x517cc1b727220a95ULL;
}

// GMP aborts the process when it cannot allocate, and throwing from its allocation
// functions is undefined. So every operation on big values first makes sure that its
// results, `result` limbs in all, with `scratch` limbs of temporary space beside them,
// can be had, and throws std::bad_alloc when not: past GMP's own size limit (a limb
// count must fit an int), past the limit below, or when malloc cannot give that much
// now. Values that fit a machine word never come here.
void reserve_limbs(std::size_t result, std::size_t scratch);

// The largest result, in limbs, that reserve_limbs grants: GMP's own limit unless
// lowered, which only tests do. Returns the previous limit.
inline constexpr std::size_t kGmpMaxLimbs = static_cast<std::size_t>(std::numeric_limits<int>::max());
std::size_t set_result_limb_limit(std::size_t limbs) noexcept;
}  // namespace number_detail

class Rational;

class Integer {
  public:
    Integer() noexcept = default;
    Integer(std::int64_t v) noexcept : small_(v) {}  // NOLINT: implicit on purpose
    Integer(const Integer& o) : small_(o.small_) {
        if (o.big_) [[unlikely]]
            copy_big(o);
    }
    Integer(Integer&& o) noexcept : small_(o.small_), big_(o.big_) {
        o.small_ = 0;
        o.big_ = nullptr;
    }
    Integer& operator=(const Integer& o) {
        if (this != &o) {
            if (!big_ && !o.big_) {
                small_ = o.small_;
            } else {
                Integer tmp(o);
                swap(tmp);
            }
        }
        return *this;
    }
    Integer& operator=(Integer&& o) noexcept {
        swap(o);
        return *this;
    }
    ~Integer() {
        if (big_) [[unlikely]]
            free_big();
    }

    // Optional leading '-', then one or more decimal digits and nothing else.
    static Integer from_decimal(std::string_view text);

    bool is_zero() const noexcept { return !big_ && small_ == 0; }
    int sign() const noexcept {
        if (big_) return big_sign();
        return (small_ > 0) - (small_ < 0);
    }
    bool is_small() const noexcept { return !big_; }

    std::optional<std::int32_t> to_int32() const noexcept {
        if (big_ || small_ < std::numeric_limits<std::int32_t>::min() ||
            small_ > std::numeric_limits<std::int32_t>::max())
            return std::nullopt;
        return static_cast<std::int32_t>(small_);
    }
    std::optional<std::int64_t> to_int64() const noexcept {
        if (big_) return std::nullopt;
        return small_;
    }
    std::optional<std::uint64_t> to_uint64() const noexcept;

    // The double nearest to the value, ties to even; values beyond the double range
    // give +-infinity. Throws std::bad_alloc only for a big value without room to work.
    double to_double() const {
        if (!big_) return static_cast<double>(small_);  // the hardware conversion rounds to nearest
        return big_to_double();
    }

    std::string to_string() const;

    Integer operator-() const {
        if (!big_ && small_ != std::numeric_limits<std::int64_t>::min()) return Integer(-small_);
        return neg_slow(*this);
    }
    Integer abs() const {
        if (!big_ && small_ != std::numeric_limits<std::int64_t>::min()) return Integer(small_ < 0 ? -small_ : small_);
        return abs_slow(*this);
    }

    friend Integer operator+(const Integer& a, const Integer& b) {
        std::int64_t r;
        if (!a.big_ && !b.big_ && !__builtin_add_overflow(a.small_, b.small_, &r)) return Integer(r);
        return add_slow(a, b);
    }
    friend Integer operator-(const Integer& a, const Integer& b) {
        std::int64_t r;
        if (!a.big_ && !b.big_ && !__builtin_sub_overflow(a.small_, b.small_, &r)) return Integer(r);
        return sub_slow(a, b);
    }
    friend Integer operator*(const Integer& a, const Integer& b) {
        std::int64_t r;
        if (!a.big_ && !b.big_ && !__builtin_mul_overflow(a.small_, b.small_, &r)) return Integer(r);
        return mul_slow(a, b);
    }
    // Truncating division and remainder, as for C++ built-in integers; the divisor must not be 0.
    friend Integer operator/(const Integer& a, const Integer& b) {
        QV_REQUIRE(!b.is_zero(), "integer division by zero");
        if (!a.big_ && !b.big_ && !(b.small_ == -1 && a.small_ == std::numeric_limits<std::int64_t>::min()))
            return Integer(a.small_ / b.small_);
        return div_slow(a, b);
    }
    friend Integer operator%(const Integer& a, const Integer& b) {
        QV_REQUIRE(!b.is_zero(), "integer remainder by zero");
        if (!a.big_ && !b.big_) return Integer(b.small_ == -1 ? 0 : a.small_ % b.small_);
        return mod_slow(a, b);
    }
    Integer& operator+=(const Integer& o) {
        std::int64_t r;
        if (!big_ && !o.big_ && !__builtin_add_overflow(small_, o.small_, &r)) {
            small_ = r;
            return *this;
        }
        return *this = *this + o;
    }
    Integer& operator-=(const Integer& o) {
        std::int64_t r;
        if (!big_ && !o.big_ && !__builtin_sub_overflow(small_, o.small_, &r)) {
            small_ = r;
            return *this;
        }
        return *this = *this - o;
    }
    Integer& operator*=(const Integer& o) {
        std::int64_t r;
        if (!big_ && !o.big_ && !__builtin_mul_overflow(small_, o.small_, &r)) {
            small_ = r;
            return *this;
        }
        return *this = *this * o;
    }

    // Greatest common divisor, never negative; gcd(0, 0) is 0.
    static Integer gcd(const Integer& a, const Integer& b);
    // a / b where b divides a exactly (checked); cheaper than a general division.
    static Integer divexact(const Integer& a, const Integer& b);

    friend bool operator==(const Integer& a, const Integer& b) noexcept {
        if (!a.big_ && !b.big_) return a.small_ == b.small_;
        if (!a.big_ || !b.big_) return false;  // canonical form: a big value never fits int64
        return big_cmp(a, b) == 0;
    }
    friend std::strong_ordering operator<=>(const Integer& a, const Integer& b) noexcept {
        if (!a.big_ && !b.big_) return a.small_ <=> b.small_;
        return big_cmp(a, b) <=> 0;
    }

    // The sign, then (for a non-zero value) the count of 64-bit magnitude words and the
    // words from the least significant one. Equal values give equal hashes.
    std::uint64_t hash() const noexcept {
        using number_detail::fx_mix;
        if (big_) return big_hash();
        std::uint64_t h = fx_mix(0, static_cast<std::uint64_t>(sign() + 1));
        if (small_ == 0) return h;
        return fx_mix(fx_mix(h, 1), small_magnitude());
    }

    void swap(Integer& o) noexcept {
        std::swap(small_, o.small_);
        std::swap(big_, o.big_);
    }

  private:
    friend class Rational;
    // A read-only GMP view of any value, inline ones included, without allocating.
    struct View;

    // The value sign * mag; big when it does not fit int64.
    static Integer from_magnitude(bool negative, unsigned __int128 mag);
    static Integer from_int128(__int128 v) {
        if (v >= std::numeric_limits<std::int64_t>::min() && v <= std::numeric_limits<std::int64_t>::max())
            return Integer(static_cast<std::int64_t>(v));
        return from_magnitude(v < 0, v < 0 ? 0 - static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v));
    }
    // Takes over the contents of z (which must not be cleared afterwards), demoting to
    // the inline form when the value fits int64.
    static Integer adopt(mpz_ptr z);
    // |value| as a 64-bit word; only for a small value.
    std::uint64_t small_magnitude() const noexcept {
        return small_ < 0 ? 0 - static_cast<std::uint64_t>(small_) : static_cast<std::uint64_t>(small_);
    }

    void copy_big(const Integer& o);
    void free_big() noexcept;
    int big_sign() const noexcept;
    double big_to_double() const;
    std::uint64_t big_hash() const noexcept;
    static int big_cmp(const Integer& a, const Integer& b) noexcept;
    static Integer neg_slow(const Integer& a);
    static Integer abs_slow(const Integer& a);
    static Integer add_slow(const Integer& a, const Integer& b);
    static Integer sub_slow(const Integer& a, const Integer& b);
    static Integer mul_slow(const Integer& a, const Integer& b);
    static Integer div_slow(const Integer& a, const Integer& b);
    static Integer mod_slow(const Integer& a, const Integer& b);

    std::int64_t small_ = 0;       // the value while big_ is null
    __mpz_struct* big_ = nullptr;  // owned; set only for values outside int64
};

static_assert(sizeof(Integer) == 16, "Integer must stay two words");
static_assert(std::is_nothrow_move_constructible_v<Integer> && std::is_nothrow_move_assignable_v<Integer>);

// Always reduced: gcd(numer, denom) == 1, denom > 0, and zero is 0/1.
class Rational {
  public:
    Rational() noexcept = default;
    Rational(Integer n) noexcept : num_(std::move(n)) {}  // NOLINT: implicit on purpose
    // n/d reduced; d must not be 0.
    Rational(Integer n, Integer d);
    // n/d reduced, exact for every pair, including INT32_MIN / -1; d must not be 0.
    static Rational from_int32(std::int32_t n, std::int32_t d);

    const Integer& numer() const noexcept { return num_; }
    const Integer& denom() const noexcept { return den_; }
    bool is_zero() const noexcept { return num_.is_zero(); }
    bool is_integer() const noexcept { return den_.is_small() && den_.small_ == 1; }
    int sign() const noexcept { return num_.sign(); }

    // The double nearest to the exact value, ties to even (subnormal results included);
    // values beyond the double range give +-infinity. Big parts may need memory.
    double to_double() const;
    // Rounded toward zero.
    Integer trunc() const { return is_integer() ? num_ : num_ / den_; }
    // "n/d", e.g. "-1/2", "3/1".
    std::string to_string() const;

    Rational operator-() const { return Rational(-num_, den_, Reduced{}); }

    friend Rational operator+(const Rational& a, const Rational& b) { return add(a, b, false); }
    friend Rational operator-(const Rational& a, const Rational& b) { return add(a, b, true); }
    friend Rational operator*(const Rational& a, const Rational& b) { return mul(a, b); }
    // The divisor must not be 0.
    friend Rational operator/(const Rational& a, const Rational& b) {
        QV_REQUIRE(!b.is_zero(), "rational division by zero");
        return div(a, b);
    }
    Rational& operator+=(const Rational& o) { return *this = *this + o; }
    Rational& operator-=(const Rational& o) { return *this = *this - o; }
    Rational& operator*=(const Rational& o) { return *this = *this * o; }
    Rational& operator/=(const Rational& o) { return *this = *this / o; }

    // Both sides are reduced, so equal values have equal parts.
    friend bool operator==(const Rational& a, const Rational& b) noexcept {
        return a.num_ == b.num_ && a.den_ == b.den_;
    }
    // Exact: cross products, never a conversion to double (so big values may need memory).
    friend std::strong_ordering operator<=>(const Rational& a, const Rational& b) { return compare(a, b); }

    std::uint64_t hash() const noexcept { return number_detail::fx_mix(num_.hash(), den_.hash()); }

  private:
    struct Reduced {};
    struct View;
    // The parts are already in lowest terms with a positive denominator.
    Rational(Integer n, Integer d, Reduced) noexcept : num_(std::move(n)), den_(std::move(d)) {}
    static Rational add(const Rational& a, const Rational& b, bool subtract);
    static Rational mul(const Rational& a, const Rational& b);
    static Rational div(const Rational& a, const Rational& b);  // b != 0
    static std::strong_ordering compare(const Rational& a, const Rational& b);
    // Makes sure that the product of a and b (or a over b) can be computed.
    static void reserve_product(const View& a, const View& b, bool invert_b);
    // (an/ad) * (bn/bd) on magnitudes of reduced fractions; the sign is given apart.
    static Rational mul_small(bool negative, std::uint64_t an, std::uint64_t ad, std::uint64_t bn, std::uint64_t bd);
    // Takes over the parts of a reduced GMP rational (which must not be cleared afterwards).
    static Rational adopt(__mpq_struct* q);
    bool all_small(const Rational& o) const noexcept {
        return num_.is_small() && den_.is_small() && o.num_.is_small() && o.den_.is_small();
    }

    Integer num_{0};
    Integer den_{1};
};

// n/d reduced to lowest terms with a positive denominator; d must not be 0.
inline Rational mk_rational(std::int32_t n, std::int32_t d) {
    QV_REQUIRE(d != 0, "a rational needs a non-zero denominator");
    return Rational::from_int32(n, d);
}

}  // namespace quorvane
