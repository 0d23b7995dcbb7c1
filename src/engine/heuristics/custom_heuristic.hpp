// A heuristic whose values come from outside the engine: the extension hands in a
// Python callable behind the abstract CustomCallable.
#pragma once

#include <memory>
#include <optional>
#include <utility>

#include "engine/state/state.hpp"
#include "engine/support/errors.hpp"

namespace quorvane {

// A heuristic implemented outside the engine (in the extension: a Python callable).
// The implementation is responsible for attaching to its interpreter for every call,
// copy and release, so that the engine may use it from any thread.
class CustomCallable {
  public:
    virtual ~CustomCallable() = default;
    // The value of `state`, a full copy made for this call alone; nullopt for a dead
    // end. Failures are thrown and must reach the caller unchanged.
    virtual std::optional<double> call(StatePtr state) const = 0;
    // Another handle to the same callable.
    virtual std::unique_ptr<CustomCallable> clone() const = 0;
};

class CustomHeuristic {
  public:
    explicit CustomHeuristic(std::unique_ptr<CustomCallable> callable) : callable_(std::move(callable)) {
        QV_REQUIRE(callable_, "a custom heuristic needs a callable");
    }
    CustomHeuristic(const CustomHeuristic& other) : callable_(other.callable_ ? other.callable_->clone() : nullptr) {}
    CustomHeuristic& operator=(const CustomHeuristic& other) {
        if (this != &other) callable_ = other.callable_ ? other.callable_->clone() : nullptr;
        return *this;
    }
    CustomHeuristic(CustomHeuristic&&) noexcept = default;
    CustomHeuristic& operator=(CustomHeuristic&&) noexcept = default;

    // The callable sees a full copy, so nothing it does reaches the searched state.
    std::optional<double> eval(const State& state) const;
    const CustomCallable& callable() const {
        QV_REQUIRE(callable_, "custom heuristic without a callable");
        return *callable_;
    }

  private:
    std::unique_ptr<CustomCallable> callable_;
};

}  // namespace quorvane
