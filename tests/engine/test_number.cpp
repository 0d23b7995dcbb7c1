#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "engine/support/errors.hpp"
#include "engine/support/number.hpp"

namespace quorvane {
// Readable failure output.
void PrintTo(const Integer& v, std::ostream* os) { *os << v.to_string(); }
void PrintTo(const Rational& v, std::ostream* os) { *os << v.to_string(); }
}  // namespace quorvane

namespace {

using quorvane::Integer;
using quorvane::InternalError;
using quorvane::Rational;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

Integer I(std::string_view text) { return Integer::from_decimal(text); }

// "n/d" (or "n" for n/1), reduced by the constructor.
Rational Q(std::string_view text) {
    auto slash = text.find('/');
    if (slash == std::string_view::npos) return Rational(I(text));
    return Rational(I(text.substr(0, slash)), I(text.substr(slash + 1)));
}

Integer pow2(int k) {
    Integer r(1);
    for (int i = 0; i < k; ++i) r *= Integer(2);
    return r;
}

bool fits_int64(std::string_view text) {
    std::int64_t v;
    auto res = std::from_chars(text.data(), text.data() + text.size(), v);
    return res.ec == std::errc() && res.ptr == text.data() + text.size();
}

// The inline form must be used exactly for the values that fit a word.
void expect_canonical(const Integer& v) {
    EXPECT_EQ(v.is_small(), fits_int64(v.to_string())) << v.to_string();
}

// ---- Integer ------------------------------------------------------------------------

struct IntCase {
    const char* a;
    char op;
    const char* b;
    const char* expected;
};
void PrintTo(const IntCase& c, std::ostream* os) { *os << c.a << ' ' << c.op << ' ' << c.b; }

class IntegerArithmetic : public testing::TestWithParam<IntCase> {};

TEST_P(IntegerArithmetic, MatchesExactResultAndStaysCanonical) {
    const IntCase& c = GetParam();
    const Integer a = I(c.a), b = I(c.b);
    Integer r;
    Integer in_place = a;
    switch (c.op) {
        case '+': r = a + b; in_place += b; break;
        case '-': r = a - b; in_place -= b; break;
        case '*': r = a * b; in_place *= b; break;
        case '/': r = a / b; in_place = r; break;
        case '%': r = a % b; in_place = r; break;
    }
    EXPECT_EQ(r.to_string(), c.expected);
    EXPECT_EQ(r, I(c.expected));
    EXPECT_EQ(in_place, r);
    expect_canonical(r);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IntegerArithmetic,
    testing::Values(
        IntCase{"2", '+', "3", "5"},
        IntCase{"9223372036854775807", '+', "1", "9223372036854775808"},
        IntCase{"-9223372036854775808", '-', "1", "-9223372036854775809"},
        IntCase{"9223372036854775808", '-', "1", "9223372036854775807"},    // demotes
        IntCase{"-9223372036854775809", '+', "1", "-9223372036854775808"},  // demotes to INT64_MIN
        IntCase{"-9223372036854775808", '*', "-1", "9223372036854775808"},
        IntCase{"-9223372036854775808", '/', "-1", "9223372036854775808"},
        IntCase{"-9223372036854775808", '%', "-1", "0"},
        IntCase{"4294967296", '*', "4294967296", "18446744073709551616"},
        IntCase{"-4294967296", '*', "4294967296", "-18446744073709551616"},
        IntCase{"9223372036854775807", '*', "9223372036854775807", "85070591730234615847396907784232501249"},
        IntCase{"18446744073709551616", '/', "4294967296", "4294967296"},  // big back to small
        IntCase{"18446744073709551616", '-', "18446744073709551615", "1"},
        IntCase{"100000000000000000000000000000", '*', "-100000000000000000000",
                "-10000000000000000000000000000000000000000000000000"},
        // Truncation toward zero, remainder takes the dividend's sign.
        IntCase{"-7", '/', "2", "-3"},
        IntCase{"-7", '%', "2", "-1"},
        IntCase{"7", '%', "-2", "1"},
        IntCase{"-18446744073709551617", '/', "2", "-9223372036854775808"},
        IntCase{"-18446744073709551617", '%', "2", "-1"},
        IntCase{"-9223372036854775808", '/', "9223372036854775808", "-1"},
        IntCase{"5", '/', "-18446744073709551616", "0"},
        IntCase{"5", '%', "-18446744073709551616", "5"}));

TEST(Integer, UnaryOperatorsCrossTheBoundary) {
    struct Case {
        const char* v;
        const char* neg;
        const char* abs;
    };
    const Case cases[] = {
        {"0", "0", "0"},
        {"-5", "5", "5"},
        {"-9223372036854775808", "9223372036854775808", "9223372036854775808"},
        {"9223372036854775808", "-9223372036854775808", "9223372036854775808"},
        {"-18446744073709551616", "18446744073709551616", "18446744073709551616"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.v);
        EXPECT_EQ((-I(c.v)).to_string(), c.neg);
        EXPECT_EQ(I(c.v).abs().to_string(), c.abs);
        expect_canonical(-I(c.v));
        expect_canonical(I(c.v).abs());
    }
}

TEST(Integer, OrderAcrossSmallAndBig) {
    // Strictly increasing.
    const std::vector<Integer> values = {
        -pow2(100), -pow2(64), I("-9223372036854775809"), Integer(kMin), Integer(-1), Integer(0), Integer(1),
        Integer(kMax), pow2(63), pow2(64) - Integer(1), pow2(64), pow2(100),
    };
    for (std::size_t i = 0; i < values.size(); ++i) {
        for (std::size_t j = 0; j < values.size(); ++j) {
            SCOPED_TRACE(values[i].to_string() + " vs " + values[j].to_string());
            EXPECT_EQ(values[i] <=> values[j], i <=> j);
            EXPECT_EQ(values[i] == values[j], i == j);
        }
        EXPECT_EQ(values[i].sign(), values[i] < Integer(0) ? -1 : (values[i] > Integer(0) ? 1 : 0));
    }
}

TEST(Integer, EqualValuesHashAlikeWhateverTheRoute) {
    const std::vector<std::vector<Integer>> groups = {
        {pow2(64), Integer(kMax) * Integer(2) + Integer(2), I("18446744073709551616"), pow2(65) / Integer(2),
         Integer::divexact(pow2(70), pow2(6))},
        {Integer(kMax), pow2(63) - Integer(1), I("9223372036854775807"), (pow2(64) - Integer(2)) / Integer(2)},
        {Integer(kMin), -pow2(63), I("-9223372036854775808")},
        {Integer(0), pow2(80) - pow2(80), I("-0"), I("000")},
        {-pow2(64), -I("18446744073709551616"), pow2(64) * Integer(-1)},
    };
    for (const auto& group : groups) {
        for (const Integer& v : group) {
            SCOPED_TRACE(v.to_string());
            EXPECT_EQ(v, group.front());
            EXPECT_EQ(v.hash(), group.front().hash());
            expect_canonical(v);
        }
    }
    EXPECT_NE(pow2(64).hash(), (-pow2(64)).hash());
    EXPECT_NE(Integer(1).hash(), Integer(-1).hash());
}

TEST(Integer, DecimalTextRoundTrips) {
    const char* texts[] = {
        "0", "7", "-7", "2147483648", "-9223372036854775808", "9223372036854775807", "9223372036854775808",
        "-9223372036854775809", "18446744073709551615", "-123456789012345678901234567890123456789",
    };
    for (const char* t : texts) {
        EXPECT_EQ(I(t).to_string(), t);
        expect_canonical(I(t));
    }
    EXPECT_EQ(I("-000123").to_string(), "-123");
    EXPECT_EQ(I("0000000000000000000000000000001").to_string(), "1");
}

TEST(Integer, MalformedDecimalTextIsRejected) {
    for (const char* t : {"", "-", "+1", " 1", "1 ", "1a", "1.0", "--1", "0x10", "12345678901234567890x"}) {
        SCOPED_TRACE(t);
        EXPECT_THROW(Integer::from_decimal(t), InternalError);
    }
}

TEST(Integer, MachineConversionsRespectTheirRanges) {
    EXPECT_EQ(I("2147483647").to_int32(), 2147483647);
    EXPECT_EQ(I("-2147483648").to_int32(), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(I("2147483648").to_int32(), std::nullopt);
    EXPECT_EQ(I("-2147483649").to_int32(), std::nullopt);
    EXPECT_EQ(Integer(kMin).to_int64(), kMin);
    EXPECT_EQ(pow2(63).to_int64(), std::nullopt);
    EXPECT_EQ(pow2(63).to_uint64(), std::uint64_t{1} << 63);
    EXPECT_EQ((pow2(64) - Integer(1)).to_uint64(), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(pow2(64).to_uint64(), std::nullopt);
    EXPECT_EQ(Integer(-1).to_uint64(), std::nullopt);
    EXPECT_EQ((-pow2(63) - Integer(1)).to_uint64(), std::nullopt);
}

TEST(Integer, GcdAndExactDivision) {
    struct Case {
        Integer a, b;
        const char* gcd;
    };
    const Case cases[] = {
        {0, 0, "0"},
        {-12, 18, "6"},
        {0, -5, "5"},
        {kMin, kMin, "9223372036854775808"},
        {kMin, 0, "9223372036854775808"},
        {kMin, 6, "2"},
        {pow2(70), pow2(64) * Integer(3), "18446744073709551616"},
        {-pow2(70), Integer(-6), "2"},
        {Integer(0), -pow2(70), "1180591620717411303424"},
        {pow2(70) + Integer(1), pow2(70), "1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.a.to_string() + ", " + c.b.to_string());
        EXPECT_EQ(Integer::gcd(c.a, c.b).to_string(), c.gcd);
        EXPECT_EQ(Integer::gcd(c.b, c.a).to_string(), c.gcd);
        expect_canonical(Integer::gcd(c.a, c.b));
    }
    EXPECT_EQ(Integer::divexact(Integer(kMin), Integer(-1)), pow2(63));
    EXPECT_EQ(Integer::divexact(-pow2(70), pow2(69)), Integer(-2));
    EXPECT_THROW(Integer::divexact(Integer(7), Integer(2)), InternalError);
    EXPECT_THROW(Integer::divexact(pow2(70) + Integer(1), Integer(2)), InternalError);
    EXPECT_THROW(Integer::divexact(Integer(1), Integer(0)), InternalError);
}

TEST(Integer, DivisionByZeroThrows) {
    for (const Integer& a : {Integer(0), Integer(5), pow2(70)}) {
        EXPECT_THROW(a / Integer(0), InternalError);
        EXPECT_THROW(a % Integer(0), InternalError);
    }
}

TEST(Integer, CopiesOfBigValuesAreIndependent) {
    Integer big = pow2(100);
    Integer copy = big;
    copy += Integer(1);
    EXPECT_EQ(big, pow2(100));
    EXPECT_EQ(copy - Integer(1), big);

    Integer moved = std::move(copy);
    EXPECT_EQ(moved, pow2(100) + Integer(1));
    EXPECT_TRUE(copy.is_zero());  // NOLINT: a moved-from value is 0

    Integer small(3);
    small = big;  // small <- big
    EXPECT_EQ(small, pow2(100));
    big = Integer(4);  // big <- small
    EXPECT_EQ(big, Integer(4));
    small = small;  // NOLINT: self-assignment keeps the value
    EXPECT_EQ(small, pow2(100));
}

TEST(Integer, ToDoubleRoundsToNearestEven) {
    struct Case {
        Integer v;
        double expected;
    };
    const Case cases[] = {
        {Integer(kMax), 0x1p63},
        {Integer(kMin), -0x1p63},
        {pow2(53) + Integer(1), 0x1p53},                                // tie, down to even
        {pow2(53) + Integer(3), 0x1.0000000000002p53},                  // tie, up to even
        {pow2(70) + Integer(1), 0x1p70},
        {pow2(70) + pow2(17), 0x1p70},                                  // tie, down to even
        {pow2(70) + pow2(17) + Integer(1), 0x1.0000000000001p70},       // just past the tie
        {pow2(70) + pow2(17) * Integer(3), 0x1.0000000000002p70},       // tie, up to even
        {pow2(71) - Integer(1), 0x1p71},                                // truncation would give less
        {-(pow2(70) + pow2(17) * Integer(3)), -0x1.0000000000002p70},
        {pow2(1024) - pow2(970) - Integer(1), 0x1.fffffffffffffp1023},
        {pow2(1024) - pow2(970), std::numeric_limits<double>::infinity()},
        {-pow2(2000), -std::numeric_limits<double>::infinity()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.v.to_string());
        EXPECT_EQ(c.v.to_double(), c.expected);
    }
}

// ---- Rational -----------------------------------------------------------------------

TEST(Rational, ConstructionReducesToLowestTerms) {
    struct Case {
        Integer n, d;
        const char* expected;
    };
    const Case cases[] = {
        {5, -10, "-1/2"},
        {0, -7, "0/1"},
        {-4, -4, "1/1"},
        {kMin, -1, "9223372036854775808/1"},
        {kMin, kMin, "1/1"},
        {1, kMin, "-1/9223372036854775808"},
        {kMax, kMin, "-9223372036854775807/9223372036854775808"},
        {pow2(70), -pow2(68), "-4/1"},
        {6, pow2(70) * Integer(3), "1/590295810358705651712"},
        {pow2(70) * Integer(3), pow2(72) * Integer(-9), "-1/12"},
        {I("0"), -pow2(70), "0/1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n.to_string() + "/" + c.d.to_string());
        const Rational r(c.n, c.d);
        EXPECT_EQ(r.to_string(), c.expected);
        EXPECT_EQ(Integer::gcd(r.numer(), r.denom()), r.numer().is_zero() ? r.denom() : Integer(1));
        EXPECT_GT(r.denom(), Integer(0));
        expect_canonical(r.numer());
        expect_canonical(r.denom());
    }
}

TEST(Rational, FromInt32IsExactForEveryPair) {
    constexpr std::int32_t lo = std::numeric_limits<std::int32_t>::min();
    constexpr std::int32_t hi = std::numeric_limits<std::int32_t>::max();
    struct Case {
        std::int32_t n, d;
        const char* expected;
    };
    const Case cases[] = {
        {5, -10, "-1/2"},   {0, -7, "0/1"},         {-4, -4, "1/1"},
        {lo, -1, "2147483648/1"}, {lo, lo, "1/1"}, {1, lo, "-1/2147483648"},
        {hi, lo, "-2147483647/2147483648"}, {lo, 6, "-1073741824/3"}, {6, 4, "3/2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.n) + "/" + std::to_string(c.d));
        const Rational r = Rational::from_int32(c.n, c.d);
        EXPECT_EQ(r.to_string(), c.expected);
        EXPECT_EQ(r, Rational(Integer(c.n), Integer(c.d)));
    }
    EXPECT_THROW(Rational::from_int32(1, 0), InternalError);
    EXPECT_THROW(Rational(Integer(1), Integer(0)), InternalError);
    EXPECT_THROW(Rational(pow2(70), Integer(0)), InternalError);
}

struct RatCase {
    const char* a;
    char op;
    const char* b;
    const char* expected;
};
void PrintTo(const RatCase& c, std::ostream* os) { *os << c.a << ' ' << c.op << ' ' << c.b; }

class RationalArithmetic : public testing::TestWithParam<RatCase> {};

TEST_P(RationalArithmetic, MatchesExactReducedResult) {
    const RatCase& c = GetParam();
    const Rational a = Q(c.a), b = Q(c.b);
    Rational r, in_place = a;
    switch (c.op) {
        case '+': r = a + b; in_place += b; break;
        case '-': r = a - b; in_place -= b; break;
        case '*': r = a * b; in_place *= b; break;
        case '/': r = a / b; in_place /= b; break;
    }
    EXPECT_EQ(r.to_string(), c.expected);
    EXPECT_EQ(in_place, r);
    expect_canonical(r.numer());
    expect_canonical(r.denom());
}

INSTANTIATE_TEST_SUITE_P(
    Table, RationalArithmetic,
    testing::Values(
        RatCase{"1/2", '+', "1/3", "5/6"},
        RatCase{"1/6", '+', "1/3", "1/2"},  // common factor of the denominators cancels
        RatCase{"3/4", '-', "1/4", "1/2"},
        RatCase{"1/2", '-', "1/2", "0/1"},
        RatCase{"9223372036854775807", '+', "1", "9223372036854775808/1"},
        RatCase{"-9223372036854775808", '-', "1", "-9223372036854775809/1"},
        RatCase{"9223372036854775808", '-', "1", "9223372036854775807/1"},
        RatCase{"1/9223372036854775807", '+', "1/9223372036854775806",
                "18446744073709551613/85070591730234615838173535747377725442"},
        RatCase{"1/9223372036854775807", '-', "1/9223372036854775806",
                "-1/85070591730234615838173535747377725442"},
        RatCase{"-9223372036854775808/2", '+', "-9223372036854775808/3", "-23058430092136939520/3"},
        RatCase{"-1180591620717411303424/3", '+', "1/27670116110564327421",
                "-3629678580490010276549131939033057154389/9223372036854775807"},
        RatCase{"1180591620717411303424/3", '-', "1180591620717411303424/3", "0/1"},
        RatCase{"1180591620717411303425/2", '-', "1180591620717411303423/2", "1/1"},
        RatCase{"2/3", '*', "9/4", "3/2"},
        RatCase{"-9223372036854775808", '*', "-1", "9223372036854775808/1"},
        RatCase{"9223372036854775807/2", '*', "9223372036854775807/3",
                "85070591730234615847396907784232501249/6"},
        RatCase{"9223372036854775807/9223372036854775806", '*', "9223372036854775806/9223372036854775805",
                "9223372036854775807/9223372036854775805"},
        RatCase{"1180591620717411303424/3", '*', "3/1180591620717411303424", "1/1"},
        RatCase{"0", '*', "1180591620717411303424/3", "0/1"},
        RatCase{"1/2", '/', "-1/4", "-2/1"},
        RatCase{"-9223372036854775808", '/', "-1", "9223372036854775808/1"},
        RatCase{"1", '/', "-9223372036854775808", "-1/9223372036854775808"},
        RatCase{"1180591620717411303424/3", '/', "2361183241434822606848/9", "3/2"},
        RatCase{"0", '/', "-5/7", "0/1"}));

TEST(Rational, DivisionByZeroThrows) {
    for (const Rational& a : {Q("0"), Q("1/2"), Q("1180591620717411303424/3")}) {
        EXPECT_THROW(a / Rational(), InternalError);
        Rational b = a;
        EXPECT_THROW(b /= Rational(), InternalError);
    }
}

TEST(Rational, NegationCrossesTheBoundary) {
    EXPECT_EQ((-Q("-9223372036854775808/3")).to_string(), "9223372036854775808/3");
    EXPECT_EQ((-Q("9223372036854775808/5")).to_string(), "-9223372036854775808/5");
    expect_canonical((-Q("9223372036854775808/5")).numer());
    EXPECT_EQ(-Rational(), Rational());
}

TEST(Rational, OrderIsExact) {
    // Strictly increasing; neighbours differ by far less than a double can resolve.
    const std::vector<Rational> values = {
        Q("-1180591620717411303424/3"),
        Q("-9223372036854775807/9223372036854775806"),
        Q("-1/1"),
        Q("-1/2"),
        Q("-1/9223372036854775808"),
        Q("0"),
        Q("1/85070591730234615838173535747377725442"),
        Q("1/9223372036854775807"),
        Q("1/3"),
        Q("9223372036854775806/9223372036854775807"),
        Q("1"),
        Q("9223372036854775807/9223372036854775806"),
        Q("9223372036854775806/9223372036854775805"),
        Q("9223372036854775807"),
        Q("9223372036854775808"),
        Q("1180591620717411303424/3"),
        Q("1180591620717411303425/3"),
    };
    for (std::size_t i = 0; i < values.size(); ++i) {
        for (std::size_t j = 0; j < values.size(); ++j) {
            SCOPED_TRACE(values[i].to_string() + " vs " + values[j].to_string());
            EXPECT_EQ(values[i] <=> values[j], i <=> j);
            EXPECT_EQ(values[i] == values[j], i == j);
        }
    }
}

TEST(Rational, EqualValuesHashAlikeWhateverTheRoute) {
    const std::vector<std::vector<Rational>> groups = {
        {Q("1/2"), Q("5/10"), Q("-3/-6"), Q("1/3") + Q("1/6"), Rational(pow2(70), pow2(71)),
         Q("1180591620717411303425/2361183241434822606848") - Q("1/2361183241434822606848")},
        {Q("1"), Rational(Integer(1)), Rational(pow2(70), pow2(70)), Q("2/3") * Q("3/2"), Q("7/3") / Q("7/3")},
        {Q("0"), Rational(), Q("0/-9"), Q("1180591620717411303424/3") - Q("1180591620717411303424/3")},
        {Q("9223372036854775808"), Q("9223372036854775807") + Q("1"), Q("-9223372036854775808") * Q("-1"),
         Rational(pow2(64), Integer(2))},
    };
    for (const auto& group : groups) {
        for (const Rational& v : group) {
            SCOPED_TRACE(v.to_string());
            EXPECT_EQ(v, group.front());
            EXPECT_EQ(v.hash(), group.front().hash());
        }
    }
    EXPECT_NE(Q("1/2").hash(), Q("2/1").hash());
}

TEST(Rational, PredicatesAndTruncation) {
    struct Case {
        const char* v;
        int sign;
        bool integer;
        const char* trunc;
    };
    const Case cases[] = {
        {"0", 0, true, "0"},
        {"-5", -1, true, "-5"},
        {"7/2", 1, false, "3"},
        {"-7/2", -1, false, "-3"},
        {"-1/3", -1, false, "0"},
        {"-1180591620717411303425/2", -1, false, "-590295810358705651712"},
        {"1180591620717411303424/3", 1, false, "393530540239137101141"},
        {"-9223372036854775808", -1, true, "-9223372036854775808"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.v);
        const Rational r = Q(c.v);
        EXPECT_EQ(r.sign(), c.sign);
        EXPECT_EQ(r.is_zero(), c.sign == 0);
        EXPECT_EQ(r.is_integer(), c.integer);
        EXPECT_EQ(r.trunc().to_string(), c.trunc);
    }
}

// The exact value of a finite double.
Rational exact_value(double x) {
    int e;
    const double m = std::frexp(x, &e);
    const auto mant = static_cast<std::int64_t>(std::ldexp(m, 53));
    e -= 53;
    return e >= 0 ? Rational(Integer(mant) * pow2(e)) : Rational(Integer(mant), pow2(-e));
}

Rational abs_of(const Rational& r) { return r.sign() < 0 ? -r : r; }

// x is the double nearest to r, ties going to the even significand.
void expect_nearest(const Rational& r, double x) {
    SCOPED_TRACE(r.to_string());
    const double inf = std::numeric_limits<double>::infinity();
    if (std::isinf(x)) {
        // At or beyond the midpoint between the largest double and 2^1024.
        const Rational limit(pow2(1024) - pow2(970));
        EXPECT_GE(abs_of(r), limit);
        EXPECT_EQ(x > 0, r.sign() > 0);
        return;
    }
    const Rational err = abs_of(r - exact_value(x));
    for (double n : {std::nextafter(x, -inf), std::nextafter(x, inf)}) {
        if (std::isinf(n)) continue;
        const Rational other = abs_of(r - exact_value(n));
        EXPECT_LE(err, other) << "neighbour " << n << " is closer than " << x;
        if (err == other) {
            std::uint64_t bits;
            std::memcpy(&bits, &x, sizeof bits);
            EXPECT_EQ(bits & 1, 0u) << "a tie must go to the even significand";
        }
    }
}

TEST(Rational, ToDoubleIsCorrectlyRounded) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        Rational v;
        double expected;
    };
    const Case cases[] = {
        {Q("1/3"), 0x1.5555555555555p-2},
        {Q("-1/3"), -0x1.5555555555555p-2},
        {Q("1/10"), 0.1},
        {Q("9007199254740993"), 0x1p53},                 // 2^53 + 1: tie, down to even
        {Q("9007199254740995"), 0x1.0000000000002p53},   // 2^53 + 3: tie, up to even
        {Q("9007199254740993/2"), 0x1p52},               // (2^53 + 1) / 2
        {Q("9223372036854775807/3"), 0x1.5555555555555p61},
        {Rational(pow2(70) + Integer(1)), 0x1p70},
        {Rational(pow2(70) + pow2(17) * Integer(3)), 0x1.0000000000002p70},
        {Rational(pow2(70) + Integer(1), pow2(69)), 2.0},
        {Rational(Integer(1), pow2(1074)), 0x1p-1074},
        {Rational(Integer(1), pow2(1075)), 0.0},                    // tie between 0 and the least subnormal
        {Rational(Integer(3), pow2(1076)), 0x1p-1074},
        {Rational(Integer(1), pow2(1075) - Integer(1)), 0x1p-1074},
        {Rational(Integer(3), pow2(1075)), 0x1p-1073},              // subnormal tie, up to even
        {Rational(Integer(-5), pow2(1075)), -0x1p-1073},            // subnormal tie, down to even
        {Rational(Integer(1), pow2(1023) * Integer(3)), 0x1.5555555555555p-1025},
        {Rational(pow2(1024) - pow2(970)), inf},
        {Rational(pow2(1024) - pow2(970) - Integer(1)), 0x1.fffffffffffffp1023},
        {Rational(pow2(1030), Integer(-3)), -inf},
        {Rational(pow2(1025), Integer(3)), 0x1.5555555555555p1023},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.v.to_string());
        EXPECT_EQ(c.v.to_double(), c.expected);
        expect_nearest(c.v, c.v.to_double());
    }
    EXPECT_EQ(Rational().to_double(), 0.0);
}

// ---- Memory for big values -----------------------------------------------------------

// Lowers the largest result a big-value operation may make, for the length of a test.
class ResultLimbLimit {
  public:
    explicit ResultLimbLimit(std::size_t limbs) : previous_(quorvane::number_detail::set_result_limb_limit(limbs)) {}
    ~ResultLimbLimit() { quorvane::number_detail::set_result_limb_limit(previous_); }
    ResultLimbLimit(const ResultLimbLimit&) = delete;
    ResultLimbLimit& operator=(const ResultLimbLimit&) = delete;

  private:
    std::size_t previous_;
};

TEST(BigValueMemory, ResultsBeyondTheLimitThrowBadAllocAndLeaveTheOperandsAsTheyWere) {
    const Integer a = pow2(190) + Integer(1), b = pow2(189) + Integer(3);  // 3 limbs each
    const Integer product = a * b;                                         // 6 limbs
    const Rational p(a, b), q(b, pow2(130) + Integer(7));
    const std::string texts[] = {a.to_string(), b.to_string(), product.to_string(), p.to_string(), q.to_string()};
    Integer target = a;
    Rational rtarget = p;
    {
        ResultLimbLimit limit(5);
        struct Case {
            const char* what;
            std::function<void()> op;
        } cases[] = {
            {"product", [&] { (void)(a * b); }},
            {"product in place", [&] { target *= b; }},
            {"copy", [&] { Integer copy(product); }},
            {"assignment", [&] { target = product; }},
            {"quotient", [&] { (void)(product / Integer(3)); }},
            {"reduction", [&] { Rational r(product, a); }},
            {"rational product", [&] { (void)(p * p); }},
            {"rational quotient in place", [&] { rtarget /= q; }},
            {"rational sum", [&] { (void)(p + q); }},
            {"decimal text", [&] { (void)Integer::from_decimal(std::string(100, '7')); }},
        };
        for (const Case& c : cases) EXPECT_THROW(c.op(), std::bad_alloc) << c.what;
        // Within the limit big values still work.
        EXPECT_EQ((a + b) - b, a);
        EXPECT_EQ(product / a, b);
    }
    EXPECT_EQ(target, a);
    EXPECT_EQ(rtarget, p);
    const std::string after[] = {a.to_string(), b.to_string(), product.to_string(), p.to_string(), q.to_string()};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(after[i], texts[i]);
    EXPECT_EQ(a * b, product);
}

TEST(BigValueMemory, MachineWordValuesNeverAskForMemory) {
    ResultLimbLimit limit(0);
    EXPECT_EQ(Integer(6) * Integer(-7), Integer(-42));
    EXPECT_EQ(Integer(kMax) - Integer(1) + Integer(1), Integer(kMax));
    EXPECT_EQ(Rational(Integer(1), Integer(2)) + Rational(Integer(1), Integer(3)),
              Rational(Integer(5), Integer(6)));
    EXPECT_EQ(Integer::from_decimal("-9223372036854775808"), Integer(kMin));
    // The first value that leaves the machine word asks.
    EXPECT_THROW((void)(Integer(kMax) + Integer(1)), std::bad_alloc);
}

TEST(BigValueMemory, NoResultBeyondGmpsOwnLimitAndNoImpossibleScratch) {
    using quorvane::number_detail::kGmpMaxLimbs;
    using quorvane::number_detail::reserve_limbs;
    ResultLimbLimit limit(std::numeric_limits<std::size_t>::max());  // cannot rise past GMP's limit
    EXPECT_THROW(reserve_limbs(kGmpMaxLimbs + 1, 0), std::bad_alloc);
    EXPECT_THROW(reserve_limbs(1, std::numeric_limits<std::size_t>::max() - 1), std::bad_alloc);
    EXPECT_NO_THROW(reserve_limbs(kGmpMaxLimbs / 1024, 0));  // 16 MiB
}

TEST(Rational, ToDoubleIsNearestAcrossRepresentations) {
    const Integer ten30 = I("1000000000000000000000000000000");
    const Integer ten400 = []() {
        Integer r(1);
        for (int i = 0; i < 400; ++i) r *= Integer(10);
        return r;
    }();
    const std::vector<Rational> values = {
        Q("2/3"),
        Q("-7/9"),
        Q("9223372036854775807/9223372036854775806"),
        Q("1/9223372036854775807"),
        Q("-9223372036854775808/9223372036854775807"),
        Q("12345678901234567/1000000"),
        Q("-18014398509481983/3"),
        Rational(ten30, Integer(7)),
        Rational(Integer(7), ten30),
        Rational(ten30 + Integer(1), ten30 * Integer(3)),
        Rational(ten400, Integer(3)),
        Rational(Integer(1), ten400),
        Rational(pow2(700) * Integer(3) + Integer(1), pow2(701) + Integer(5)),
        Rational(Integer(-1), pow2(1060) * Integer(7)),
        Rational(pow2(1023) * Integer(3) + Integer(1), Integer(2)),
    };
    for (const Rational& v : values) expect_nearest(v, v.to_double());
}

using quorvane::mk_rational;

// ---------------------------------------------------------------------------
// Exact rationals from 32-bit integers
// ---------------------------------------------------------------------------

TEST(MkRational, ReducesWithPositiveDenominator) {
    constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
    struct Case {
        std::int32_t n, d;
        const char* text;
    };
    const std::vector<Case> cases = {
        {5, -10, "-1/2"}, {0, -7, "0/1"}, {-4, -4, "1/1"}, {kMin, -1, "2147483648/1"}, {kMin, kMin, "1/1"},
        {6, 4, "3/2"},    {-1, 3, "-1/3"}, {7, 1, "7/1"},
    };
    for (const auto& c : cases) EXPECT_EQ(mk_rational(c.n, c.d).to_string(), c.text) << c.n << "/" << c.d;
}

TEST(MkRational, ZeroDenominatorIsInternalError) { EXPECT_THROW(mk_rational(1, 0), InternalError); }

}  // namespace
