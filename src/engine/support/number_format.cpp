#include "engine/support/number_format.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

#include "engine/support/errors.hpp"

namespace quorvane::support {

namespace {

// The shortest round-trip digits of a finite non-zero value, without sign or point,
// and the decimal exponent of the first digit: 1234.5 -> ("12345", 3).
struct Digits {
    std::string digits;
    int exponent = 0;
    bool negative = false;
};

template <class F>
Digits shortest_digits(F v) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    QV_REQUIRE(ec == std::errc(), "number too long to format");
    Digits d;
    const char* p = buf;
    if (*p == '-') {
        d.negative = true;
        ++p;
    }
    for (; p < end && *p != 'e'; ++p)
        if (*p != '.') d.digits += *p;
    QV_REQUIRE(p < end, "scientific text without an exponent");
    ++p;  // 'e'
    int sign = 1;
    if (*p == '+' || *p == '-') {
        if (*p == '-') sign = -1;
        ++p;
    }
    int e = 0;
    for (; p < end; ++p) e = e * 10 + (*p - '0');
    d.exponent = sign * e;
    // Drop trailing zeros of the mantissa (to_chars gives none for shortest, but be sure).
    while (d.digits.size() > 1 && d.digits.back() == '0') d.digits.pop_back();
    return d;
}

// Plain positional text of the digits, without exponent.
std::string positional(const Digits& d) {
    std::string out;
    if (d.negative) out += '-';
    const int n = static_cast<int>(d.digits.size());
    if (d.exponent >= n - 1) {
        out += d.digits;
        out.append(static_cast<std::size_t>(d.exponent - (n - 1)), '0');
    } else if (d.exponent >= 0) {
        out.append(d.digits, 0, static_cast<std::size_t>(d.exponent + 1));
        out += '.';
        out.append(d.digits, static_cast<std::size_t>(d.exponent + 1), std::string::npos);
    } else {
        out += "0.";
        out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
        out += d.digits;
    }
    return out;
}

template <class F>
const char* non_finite_text(F v) {
    if (std::isnan(v)) return "NaN";
    return v > 0 ? "inf" : "-inf";
}

std::string debug_f32(float v) {
    if (!std::isfinite(v)) return non_finite_text(v);
    if (v == 0.0f) return std::signbit(v) ? "-0.0" : "0.0";
    float magnitude = std::fabs(v);
    Digits d = shortest_digits(v);
    if (magnitude >= 1e16f || magnitude < 1e-4f) {
        std::string out;
        if (d.negative) out += '-';
        out += d.digits[0];
        if (d.digits.size() > 1) {
            out += '.';
            out.append(d.digits, 1, std::string::npos);
        }
        out += 'e';
        out += std::to_string(d.exponent);
        return out;
    }
    std::string out = positional(d);
    if (out.find('.') == std::string::npos) out += ".0";
    return out;
}

}  // namespace

std::string format_number(double v) {
    if (!std::isfinite(v)) return non_finite_text(v);
    if (v == 0.0) return std::signbit(v) ? "-0" : "0";
    return positional(shortest_digits(v));
}

std::string format_fixed4(double v) {
    if (!std::isfinite(v)) return non_finite_text(v);
    char buf[400];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 4);
    QV_REQUIRE(ec == std::errc(), "number too long to format");
    return std::string(buf, end);
}

std::string format_timeout(std::optional<float> timeout) {
    if (!timeout) return "None";
    return "Some(" + debug_f32(*timeout) + ")";
}

}  // namespace quorvane::support
