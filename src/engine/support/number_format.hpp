// The texts numbers and flags take in the searches' log records and statistics.
#pragma once

#include <optional>
#include <string>

namespace quorvane::support {

// Shortest text that reads back as the same double, never with an exponent, without a
// fractional part when whole: 3 -> "3", 2.5 -> "2.5", 1e300 -> "1" and 300 zeros.
std::string format_number(double v);
// Exactly four digits after the point: 3 -> "3.0000".
std::string format_fixed4(double v);
// "None", or "Some(x)" with x the shortest text of the 32-bit float, always with a
// fractional part, in exponent form from 1e16 up and below 1e-4: Some(30.0), Some(1e-5).
std::string format_timeout(std::optional<float> timeout);
inline const char* format_flag(bool b) noexcept { return b ? "true" : "false"; }

}  // namespace quorvane::support
