// The out-of-line parts of the exact numbers: everything that may touch GMP, and the
// machine-word kernels of rational arithmetic.
#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "engine/support/number.hpp"

namespace quorvane {

namespace number_detail {

namespace {
std::atomic<std::size_t> result_limb_limit{kGmpMaxLimbs};
}  // namespace

std::size_t set_result_limb_limit(std::size_t limbs) noexcept {
    return result_limb_limit.exchange(std::min(limbs, kGmpMaxLimbs));
}

void reserve_limbs(std::size_t result, std::size_t scratch) {
    if (result > result_limb_limit.load(std::memory_order_relaxed)) throw std::bad_alloc();
    if (scratch > std::numeric_limits<std::size_t>::max() / sizeof(mp_limb_t) - result) throw std::bad_alloc();
    // GMP takes its memory from malloc too: what a probe gets back now, GMP gets next.
    void* probe = std::malloc((result + scratch) * sizeof(mp_limb_t));
    if (!probe) throw std::bad_alloc();
    asm volatile("" : : "r"(probe) : "memory");  // keeps the pair from being optimised away
    std::free(probe);
}

}  // namespace number_detail

using number_detail::reserve_limbs;

struct Integer::View {
    explicit View(const Integer& i) noexcept {
        if (i.big_) {
            ptr_ = i.big_;
        } else {
            limb_ = i.small_magnitude();
            ptr_ = mpz_roinit_n(&z_, &limb_, i.small_ < 0 ? -1 : (i.small_ > 0 ? 1 : 0));
        }
    }
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    operator mpz_srcptr() const noexcept { return ptr_; }

  private:
    mp_limb_t limb_ = 0;
    __mpz_struct z_;
    mpz_srcptr ptr_;
};

namespace {

using Limits64 = std::numeric_limits<std::int64_t>;
constexpr std::uint64_t kTwoPow63 = std::uint64_t{1} << 63;

// An mpz that is cleared on scope exit unless its contents were handed on.
struct Mpz {
    mpz_t z;
    bool owned = true;
    Mpz() noexcept { mpz_init(z); }
    ~Mpz() {
        if (owned) mpz_clear(z);
    }
    Mpz(const Mpz&) = delete;
    Mpz& operator=(const Mpz&) = delete;
    mpz_ptr release() noexcept {
        owned = false;
        return z;
    }
};

// Limbs of a GMP integer (0 for zero).
std::size_t limbs(mpz_srcptr z) noexcept { return mpz_size(z); }

// Limbs of the quotient of n by d (d not zero).
std::size_t quotient_limbs(mpz_srcptr n, mpz_srcptr d) noexcept {
    return limbs(n) >= limbs(d) ? limbs(n) - limbs(d) + 1 : 1;
}

// Temporary space that GMP's multiplication, division, gcd and conversion to text may
// take beside their result, for operands of `operands` limbs in all. Measured peaks
// stay below 5 times the operands (a division of 2n by n limbs takes 17n); the rest is
// headroom for the allocator's own layout.
std::size_t scratch_for(std::size_t operands) noexcept { return 6 * operands + 64; }

std::uint64_t gcd64(std::uint64_t a, std::uint64_t b) noexcept {
    if (a == 0) return b;
    if (b == 0) return a;
    int shift = std::countr_zero(a | b);
    a >>= std::countr_zero(a);
    do {
        b >>= std::countr_zero(b);
        if (a > b) std::swap(a, b);
        b -= a;
    } while (b != 0);
    return a << shift;
}

// A read-only view of |z|.
mpz_srcptr abs_view(__mpz_struct* out, mpz_srcptr z) noexcept {
    return mpz_roinit_n(out, mpz_limbs_read(z), static_cast<mp_size_t>(mpz_size(z)));
}

// Rounds a positive value v to the nearest double, ties to even, given
// q = floor(v * 2^s) with 55 or 56 bits and `sticky` telling whether that floor was
// inexact. Below the normal range fewer bits are kept, so subnormal results are
// rounded once, correctly.
double round_quotient(std::uint64_t q, bool sticky, long s, bool negative) noexcept {
    const int qbits = std::bit_width(q);
    const long exponent = qbits - 1 - s;  // floor(log2 v)
    const double inf = std::numeric_limits<double>::infinity();
    if (exponent > 1023) return negative ? -inf : inf;
    const long precision = std::min<long>(53, exponent + 1075);
    if (precision < 0) return negative ? -0.0 : 0.0;
    const int extra = qbits - static_cast<int>(precision);  // 2..56 dropped bits
    std::uint64_t kept = q >> extra;
    const bool half = (q >> (extra - 1)) & 1;
    const bool below_half = sticky || (q & ((std::uint64_t{1} << (extra - 1)) - 1)) != 0;
    if (half && (below_half || (kept & 1))) ++kept;
    // kept has at most 53 bits (or is a power of two after a carry): the scaling is exact,
    // or overflows to infinity exactly when the rounded value lies beyond the range.
    const double r = std::ldexp(static_cast<double>(kept), static_cast<int>(extra - s));
    return negative ? -r : r;
}

// num/den for magnitudes num >= 1, den >= 1 that fit 64 bits.
double small_quotient_to_double(bool negative, std::uint64_t num, std::uint64_t den) noexcept {
    const long s = 55 - std::bit_width(num) + std::bit_width(den);  // -8..118
    std::uint64_t q;
    bool sticky;
    if (s >= 0) {
        const unsigned __int128 n = static_cast<unsigned __int128>(num) << s;
        q = static_cast<std::uint64_t>(n / den);
        sticky = n % den != 0;
    } else {
        const unsigned __int128 d = static_cast<unsigned __int128>(den) << -s;
        q = static_cast<std::uint64_t>(num / d);
        sticky = num % d != 0;
    }
    return round_quotient(q, sticky, s, negative);
}

// num/den for num != 0 and den > 0 of any size.
double big_quotient_to_double(mpz_srcptr num, mpz_srcptr den) {
    const bool negative = mpz_sgn(num) < 0;
    __mpz_struct nbuf, dbuf;
    mpz_srcptr n = abs_view(&nbuf, num);
    mpz_srcptr d = abs_view(&dbuf, den);
    const long diff = static_cast<long>(mpz_sizeinbase(n, 2)) - static_cast<long>(mpz_sizeinbase(d, 2));
    // floor(log2 |v|) is diff or diff - 1: settle the far-out cases before shifting.
    if (diff - 1 > 1023) return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    if (diff < -1076) return negative ? -0.0 : 0.0;
    const long s = 55 - diff;
    // The shifted operand, a 56-bit quotient and a remainder below the divisor.
    const std::size_t shift_limbs = static_cast<std::size_t>(s >= 0 ? s : -s) / GMP_LIMB_BITS + 1;
    const std::size_t shifted = (s >= 0 ? limbs(n) : limbs(d)) + shift_limbs;
    reserve_limbs(shifted + limbs(d) + 2, scratch_for(shifted + limbs(n) + limbs(d)));
    Mpz t, q, r;
    if (s >= 0) {
        mpz_mul_2exp(t.z, n, static_cast<mp_bitcnt_t>(s));
        mpz_tdiv_qr(q.z, r.z, t.z, d);
    } else {
        mpz_mul_2exp(t.z, d, static_cast<mp_bitcnt_t>(-s));
        mpz_tdiv_qr(q.z, r.z, n, t.z);
    }
    return round_quotient(mpz_get_ui(q.z), mpz_sgn(r.z) != 0, s, negative);
}

}  // namespace

// ---- Integer ------------------------------------------------------------------------

Integer Integer::adopt(mpz_ptr z) {
    if (mpz_fits_slong_p(z)) {
        Integer r(static_cast<std::int64_t>(mpz_get_si(z)));
        mpz_clear(z);
        return r;
    }
    __mpz_struct* p;
    try {
        p = new __mpz_struct;
    } catch (...) {
        mpz_clear(z);
        throw;
    }
    *p = *z;
    Integer r;
    r.big_ = p;
    return r;
}

Integer Integer::from_magnitude(bool negative, unsigned __int128 mag) {
    if (mag <= static_cast<unsigned __int128>(Limits64::max())) {
        auto v = static_cast<std::int64_t>(mag);
        return Integer(negative ? -v : v);
    }
    if (negative && mag == kTwoPow63) return Integer(Limits64::min());
    const auto lo = static_cast<std::uint64_t>(mag);
    const auto hi = static_cast<std::uint64_t>(mag >> 64);
    reserve_limbs(2, 0);
    Mpz z;
    mp_limb_t* out = mpz_limbs_write(z.z, 2);
    out[0] = lo;
    out[1] = hi;
    const mp_size_t n = hi ? 2 : 1;
    mpz_limbs_finish(z.z, negative ? -n : n);
    return adopt(z.release());
}

void Integer::copy_big(const Integer& o) {
    reserve_limbs(limbs(o.big_), 0);
    big_ = new __mpz_struct;
    mpz_init_set(big_, o.big_);
}

void Integer::free_big() noexcept {
    mpz_clear(big_);
    delete big_;
    big_ = nullptr;
}

int Integer::big_sign() const noexcept { return mpz_sgn(big_); }

double Integer::big_to_double() const {
    const Integer one(1);
    return big_quotient_to_double(big_, View(one));
}

std::uint64_t Integer::big_hash() const noexcept {
    using number_detail::fx_mix;
    std::uint64_t h = fx_mix(0, static_cast<std::uint64_t>(mpz_sgn(big_) + 1));
    const std::size_t n = mpz_size(big_);
    h = fx_mix(h, n);
    const mp_limb_t* limbs = mpz_limbs_read(big_);
    for (std::size_t i = 0; i < n; ++i) h = fx_mix(h, limbs[i]);
    return h;
}

int Integer::big_cmp(const Integer& a, const Integer& b) noexcept {
    if (a.big_ && b.big_) return mpz_cmp(a.big_, b.big_);
    // A big value lies outside int64, so its sign alone orders it against a small one.
    if (a.big_) return mpz_sgn(a.big_);
    return -mpz_sgn(b.big_);
}

std::optional<std::uint64_t> Integer::to_uint64() const noexcept {
    if (!big_) {
        if (small_ < 0) return std::nullopt;
        return static_cast<std::uint64_t>(small_);
    }
    if (mpz_sgn(big_) < 0 || mpz_size(big_) != 1) return std::nullopt;
    return mpz_getlimbn(big_, 0);
}

std::string Integer::to_string() const {
    if (!big_) {
        char buf[24];
        auto res = std::to_chars(buf, buf + sizeof buf, small_);
        return std::string(buf, res.ptr);
    }
    std::string out(mpz_sizeinbase(big_, 10) + 2, '\0');  // may overestimate by one digit
    reserve_limbs(0, scratch_for(limbs(big_)));
    mpz_get_str(out.data(), 10, big_);
    out.resize(std::strlen(out.c_str()));
    return out;
}

Integer Integer::from_decimal(std::string_view text) {
    const std::size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
    QV_REQUIRE(text.size() > start, "an integer needs at least one decimal digit");
    for (std::size_t i = start; i < text.size(); ++i)
        QV_REQUIRE(text[i] >= '0' && text[i] <= '9', "an integer may hold only decimal digits after its sign");
    std::int64_t v;
    auto res = std::from_chars(text.data(), text.data() + text.size(), v);
    if (res.ec == std::errc() && res.ptr == text.data() + text.size()) return Integer(v);
    const std::string copy(text);  // GMP reads a NUL-terminated string
    // A decimal digit carries less than 4 bits.
    const std::size_t result = text.size() * 4 / GMP_LIMB_BITS + 2;
    reserve_limbs(result, scratch_for(result));
    Mpz z;
    mpz_set_str(z.z, copy.c_str(), 10);
    return adopt(z.release());
}

Integer Integer::neg_slow(const Integer& a) {
    if (!a.big_) return from_magnitude(a.small_ > 0, a.small_magnitude());
    reserve_limbs(limbs(a.big_), 0);
    Mpz r;
    mpz_neg(r.z, a.big_);
    return adopt(r.release());
}

Integer Integer::abs_slow(const Integer& a) {
    if (!a.big_) return from_magnitude(false, a.small_magnitude());
    reserve_limbs(limbs(a.big_), 0);
    Mpz r;
    mpz_abs(r.z, a.big_);
    return adopt(r.release());
}

Integer Integer::add_slow(const Integer& a, const Integer& b) {
    const View va(a), vb(b);
    reserve_limbs(std::max(limbs(va), limbs(vb)) + 1, 0);
    Mpz r;
    mpz_add(r.z, va, vb);
    return adopt(r.release());
}

Integer Integer::sub_slow(const Integer& a, const Integer& b) {
    const View va(a), vb(b);
    reserve_limbs(std::max(limbs(va), limbs(vb)) + 1, 0);
    Mpz r;
    mpz_sub(r.z, va, vb);
    return adopt(r.release());
}

Integer Integer::mul_slow(const Integer& a, const Integer& b) {
    if (!a.big_ && !b.big_)
        return from_int128(static_cast<__int128>(a.small_) * b.small_);  // at most 126 bits
    const View va(a), vb(b);
    reserve_limbs(limbs(va) + limbs(vb), scratch_for(limbs(va) + limbs(vb)));
    Mpz r;
    mpz_mul(r.z, va, vb);
    return adopt(r.release());
}

Integer Integer::div_slow(const Integer& a, const Integer& b) {
    const View va(a), vb(b);
    reserve_limbs(quotient_limbs(va, vb), scratch_for(limbs(va) + limbs(vb)));
    Mpz r;
    mpz_tdiv_q(r.z, va, vb);
    return adopt(r.release());
}

Integer Integer::mod_slow(const Integer& a, const Integer& b) {
    const View va(a), vb(b);
    reserve_limbs(limbs(vb) + 1, scratch_for(limbs(va) + limbs(vb)));
    Mpz r;
    mpz_tdiv_r(r.z, va, vb);
    return adopt(r.release());
}

Integer Integer::gcd(const Integer& a, const Integer& b) {
    if (!a.big_ && !b.big_) return from_magnitude(false, gcd64(a.small_magnitude(), b.small_magnitude()));
    if (a.big_ && b.big_) {
        reserve_limbs(std::min(limbs(a.big_), limbs(b.big_)), scratch_for(limbs(a.big_) + limbs(b.big_)));
        Mpz r;
        mpz_gcd(r.z, a.big_, b.big_);
        return adopt(r.release());
    }
    const Integer& big = a.big_ ? a : b;
    const Integer& small = a.big_ ? b : a;
    if (small.is_zero()) return big.abs();
    // The result divides |small|, so it fits a word.
    return from_magnitude(false, mpz_gcd_ui(nullptr, big.big_, small.small_magnitude()));
}

Integer Integer::divexact(const Integer& a, const Integer& b) {
    QV_REQUIRE(!b.is_zero(), "exact division by zero");
    if (!a.big_ && !b.big_) {
        QV_REQUIRE(b.small_ == -1 || a.small_ % b.small_ == 0, "exact division with a remainder");
        return a / b;
    }
    View va(a), vb(b);
    reserve_limbs(quotient_limbs(va, vb), scratch_for(limbs(va) + limbs(vb)));
    QV_REQUIRE(mpz_divisible_p(va, vb), "exact division with a remainder");
    Mpz r;
    mpz_divexact(r.z, va, vb);
    return adopt(r.release());
}

// ---- Rational -----------------------------------------------------------------------

Rational Rational::adopt(__mpq_struct* q) {
    Integer n;
    try {
        n = Integer::adopt(mpq_numref(q));
    } catch (...) {
        mpz_clear(mpq_denref(q));
        throw;
    }
    Integer d = Integer::adopt(mpq_denref(q));
    return Rational(std::move(n), std::move(d), Reduced{});
}

// A read-only GMP rational over the parts of a Rational, for GMP's rational routines.
struct Rational::View {
    explicit View(const Rational& r) noexcept : num(r.num_), den(r.den_) {
        // Shallow copies: GMP only reads them, and inline limbs live in num and den.
        q._mp_num = *static_cast<mpz_srcptr>(num);
        q._mp_den = *static_cast<mpz_srcptr>(den);
    }
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    mpq_srcptr get() const noexcept { return &q; }

    Integer::View num, den;
    __mpq_struct q;
};

// (an/ad) * (bn/bd), or with b inverted: the products of the parts before the reduction.
void Rational::reserve_product(const View& a, const View& b, bool invert_b) {
    const std::size_t an = limbs(&a.get()->_mp_num), ad = limbs(&a.get()->_mp_den);
    std::size_t bn = limbs(&b.get()->_mp_num), bd = limbs(&b.get()->_mp_den);
    if (invert_b) std::swap(bn, bd);
    reserve_limbs(an + bn + ad + bd, scratch_for(an + ad + bn + bd));
}

Rational::Rational(Integer n, Integer d) {
    QV_REQUIRE(!d.is_zero(), "a rational needs a non-zero denominator");
    if (n.is_zero()) return;  // stays 0/1
    if (n.is_small() && d.is_small()) {
        const bool negative = (n.small_ < 0) != (d.small_ < 0);
        const std::uint64_t un = n.small_magnitude(), ud = d.small_magnitude();
        const std::uint64_t g = gcd64(un, ud);
        num_ = Integer::from_magnitude(negative, un / g);
        den_ = Integer::from_magnitude(false, ud / g);
        return;
    }
    Integer::View vn(n), vd(d);
    // The gcd and both reduced parts, each no larger than its source.
    reserve_limbs(2 * (limbs(vn) + limbs(vd)), scratch_for(limbs(vn) + limbs(vd)));
    Mpz g, rn, rd;
    mpz_gcd(g.z, vn, vd);
    mpz_divexact(rn.z, vn, g.z);
    mpz_divexact(rd.z, vd, g.z);
    if (mpz_sgn(rd.z) < 0) {
        mpz_neg(rn.z, rn.z);
        mpz_neg(rd.z, rd.z);
    }
    num_ = Integer::adopt(rn.release());
    den_ = Integer::adopt(rd.release());
}

Rational Rational::from_int32(std::int32_t n, std::int32_t d) {
    QV_REQUIRE(d != 0, "a rational needs a non-zero denominator");
    if (n == 0) return Rational();
    // In 64 bits, negating INT32_MIN is exact.
    std::int64_t num = n, den = d;
    const auto g = static_cast<std::int64_t>(gcd64(static_cast<std::uint64_t>(num < 0 ? -num : num),
                                                   static_cast<std::uint64_t>(den < 0 ? -den : den)));
    if (den < 0) {
        num = -num;
        den = -den;
    }
    return Rational(Integer(num / g), Integer(den / g), Reduced{});
}

double Rational::to_double() const {
    if (num_.is_zero()) return 0.0;
    if (num_.is_small() && den_.is_small()) {
        constexpr std::int64_t exact = std::int64_t{1} << 53;
        const std::int64_t n = num_.small_, d = den_.small_;
        // Both parts convert exactly, and one IEEE division rounds correctly.
        if (n >= -exact && n <= exact && d <= exact) return static_cast<double>(n) / static_cast<double>(d);
        return small_quotient_to_double(n < 0, num_.small_magnitude(), static_cast<std::uint64_t>(d));
    }
    return big_quotient_to_double(Integer::View(num_), Integer::View(den_));
}

std::string Rational::to_string() const {
    std::string out = num_.to_string();
    out += '/';
    out += den_.to_string();
    return out;
}

Rational Rational::add(const Rational& a, const Rational& b, bool subtract) {
    if (a.all_small(b)) {
        const std::int64_t an = a.num_.small_, bn = b.num_.small_;
        const auto ad = static_cast<std::uint64_t>(a.den_.small_), bd = static_cast<std::uint64_t>(b.den_.small_);
        if (ad == 1 && bd == 1) {
            const __int128 t = subtract ? static_cast<__int128>(an) - bn : static_cast<__int128>(an) + bn;
            return Rational(Integer::from_int128(t));
        }
        // With g1 = gcd(ad, bd), the only factors the sum can share with its denominator
        // are those of g1, so one more word-sized gcd finishes the reduction.
        const std::uint64_t g1 = gcd64(ad, bd);
        const std::uint64_t ad1 = ad / g1, bd1 = bd / g1;
        const __int128 x = static_cast<__int128>(an) * bd1, y = static_cast<__int128>(bn) * ad1;  // < 2^126 each
        const __int128 t = subtract ? x - y : x + y;
        if (t == 0) return Rational();
        const unsigned __int128 tm = t < 0 ? 0 - static_cast<unsigned __int128>(t) : static_cast<unsigned __int128>(t);
        const std::uint64_t g2 = gcd64(static_cast<std::uint64_t>(tm % g1), g1);
        return Rational(Integer::from_int128(t / g2),
                        Integer::from_magnitude(false, static_cast<unsigned __int128>(ad1) * (bd / g2)), Reduced{});
    }
    const View va(a), vb(b);
    // an*bd + bn*ad over ad*bd before the reduction.
    const std::size_t an = limbs(&va.get()->_mp_num), ad = limbs(&va.get()->_mp_den);
    const std::size_t bn = limbs(&vb.get()->_mp_num), bd = limbs(&vb.get()->_mp_den);
    reserve_limbs(std::max(an + bd, bn + ad) + 1 + ad + bd, scratch_for(an + ad + bn + bd));
    __mpq_struct r;
    mpq_init(&r);
    if (subtract)
        mpq_sub(&r, va.get(), vb.get());
    else
        mpq_add(&r, va.get(), vb.get());
    return adopt(&r);
}

Rational Rational::mul_small(bool negative, std::uint64_t an, std::uint64_t ad, std::uint64_t bn, std::uint64_t bd) {
    if (an == 0 || bn == 0) return Rational();
    // Cancelling across the two reduced fractions leaves the product reduced.
    const std::uint64_t g1 = gcd64(an, bd), g2 = gcd64(bn, ad);
    const auto num = static_cast<unsigned __int128>(an / g1) * (bn / g2);
    const auto den = static_cast<unsigned __int128>(ad / g2) * (bd / g1);
    return Rational(Integer::from_magnitude(negative, num), Integer::from_magnitude(false, den), Reduced{});
}

Rational Rational::mul(const Rational& a, const Rational& b) {
    if (a.all_small(b))
        return mul_small(a.num_.sign() * b.num_.sign() < 0, a.num_.small_magnitude(),
                                   a.den_.small_magnitude(), b.num_.small_magnitude(), b.den_.small_magnitude());
    const View va(a), vb(b);
    reserve_product(va, vb, false);
    __mpq_struct r;
    mpq_init(&r);
    mpq_mul(&r, va.get(), vb.get());
    return adopt(&r);
}

Rational Rational::div(const Rational& a, const Rational& b) {
    if (a.all_small(b))
        return mul_small(a.num_.sign() * b.num_.sign() < 0, a.num_.small_magnitude(),
                                   a.den_.small_magnitude(), b.den_.small_magnitude(), b.num_.small_magnitude());
    const View va(a), vb(b);
    reserve_product(va, vb, true);
    __mpq_struct r;
    mpq_init(&r);
    mpq_div(&r, va.get(), vb.get());
    return adopt(&r);
}

std::strong_ordering Rational::compare(const Rational& a, const Rational& b) {
    if (a.all_small(b)) {
        if (a.den_.small_ == b.den_.small_) return a.num_.small_ <=> b.num_.small_;
        return static_cast<__int128>(a.num_.small_) * b.den_.small_ <=>
               static_cast<__int128>(b.num_.small_) * a.den_.small_;
    }
    const int sa = a.sign(), sb = b.sign();
    if (sa != sb) return sa <=> sb;
    const View va(a), vb(b);
    // The cross products an*bd and bn*ad.
    reserve_limbs(0, limbs(&va.get()->_mp_num) + limbs(&vb.get()->_mp_den) + limbs(&vb.get()->_mp_num) +
                         limbs(&va.get()->_mp_den) + 16);
    return mpq_cmp(va.get(), vb.get()) <=> 0;
}

}  // namespace quorvane
