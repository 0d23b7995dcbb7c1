// Errors raised by the engine. The engine never includes a Python header; each
// error carries the kind of Python exception the binding layer turns it into.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace quorvane {

enum class ErrorKind {
    Exception,
    ValueError,
    TypeError,
    OverflowError,
    ZeroDivisionError,
    TimeoutError,
    NotImplementedError,
};

// A user-facing error: reaches Python as the built-in exception `kind` with `what()` as text.
class Error : public std::runtime_error {
  public:
    Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    ErrorKind kind() const noexcept { return kind_; }

  private:
    ErrorKind kind_;
};

// A broken internal invariant or precondition. Reaches Python as an exception derived
// from BaseException (not Exception), so ordinary `except Exception` does not swallow it.
class InternalError : public std::logic_error {
  public:
    explicit InternalError(const std::string& message) : std::logic_error(message) {}
};

[[noreturn]] inline void internal_error(std::string_view message) {
    throw InternalError(std::string(message));
}

[[noreturn]] inline void raise(ErrorKind kind, std::string_view message) {
    throw Error(kind, std::string(message));
}

// The goal test's error, raised alike by the search space and the heuristics.
[[noreturn]] inline void raise_goal_not_boolean() {
    raise(ErrorKind::Exception, "The goal is not a boolean expression!");
}

}  // namespace quorvane

// Precondition check that stays on in release builds: a violated engine precondition
// must end the call with an exception, never with undefined behaviour.
#define QV_REQUIRE(cond, msg)                                                   \
    do {                                                                        \
        if (!(cond)) [[unlikely]]                                               \
            ::quorvane::internal_error(msg);                                    \
    } while (0)
