// Value cells: one fluent value in 8 bytes, with the counted box behind a value too
// large to sit inline.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/expressions/node.hpp"

namespace quorvane {

struct CellBox;

// One fluent value in 8 bytes: the low three bits are a tag.
//   Bool      payload 0 or 1
//   Int       a signed integer of 61 bits
//   Rational  numerator (signed, 32 bits) and denominator (29 bits), already reduced
//   Object    the id of an interned name
//   Boxed     a pointer to a reference-counted node: any other value (larger numbers,
//             and whatever else a caller's initial state may hold)
// Every value that fits inline is always stored inline, so two cells hold equal values
// exactly when their words are equal, or both are boxed and the boxed nodes are equal.
// A Cell is a plain word: who stores a boxed one holds one reference (see retain/release).
class Cell {
  public:
    enum Tag : std::uint64_t { kBool = 0, kInt = 1, kRational = 2, kObject = 3, kBoxed = 4 };
    static constexpr std::uint64_t kTagMask = 7;
    static constexpr std::int64_t kIntMin = -(std::int64_t{1} << 60);
    static constexpr std::int64_t kIntMax = (std::int64_t{1} << 60) - 1;
    static constexpr std::uint64_t kDenomLimit = std::uint64_t{1} << 29;  // denominators below it fit

    constexpr Cell() noexcept = default;
    static constexpr Cell from_word(std::uint64_t w) noexcept { return Cell(w); }
    static constexpr Cell boolean(bool b) noexcept { return Cell(static_cast<std::uint64_t>(b) << 3); }
    static constexpr bool int_fits(std::int64_t v) noexcept { return v >= kIntMin && v <= kIntMax; }
    // v must fit (int_fits).
    static constexpr Cell small_int(std::int64_t v) noexcept { return Cell((static_cast<std::uint64_t>(v) << 3) | kInt); }
    static Cell object(std::uint64_t id) noexcept { return Cell((id << 3) | kObject); }

    // The cell for a copy of `node`, boxing what does not fit inline; a boxed result
    // carries one reference for the caller.
    static Cell encode(const ExpressionNode& node);
    // A node equal to the value.
    ExpressionNode decode() const;

    constexpr std::uint64_t word() const noexcept { return w_; }
    constexpr Tag tag() const noexcept { return static_cast<Tag>(w_ & kTagMask); }
    constexpr bool is_bool() const noexcept { return tag() == kBool; }
    constexpr bool is_true() const noexcept { return w_ == 8; }
    constexpr bool is_false() const noexcept { return w_ == 0; }
    constexpr bool is_boxed() const noexcept { return tag() == kBoxed; }
    constexpr bool is_small_int() const noexcept { return tag() == kInt; }
    constexpr std::int64_t small_int_value() const noexcept { return static_cast<std::int64_t>(w_) >> 3; }
    const CellBox& box() const noexcept { return *reinterpret_cast<const CellBox*>(w_ & ~kTagMask); }
    // Whether the value is an Int or a Rational.
    bool is_number() const noexcept;

    // The node equality of the two values.
    friend bool same_value(Cell a, Cell b) noexcept;
    // Consistent with same_value.
    std::uint64_t value_hash() const noexcept;

    static void retain(Cell c) noexcept;
    static void release(Cell c) noexcept;

  private:
    constexpr explicit Cell(std::uint64_t w) noexcept : w_(w) {}
    std::uint64_t w_ = 0;
};
static_assert(sizeof(Cell) == 8);

// The node behind a boxed cell. Boxes are counted, not interned: they are rare (values
// beyond the inline ranges), a count frees each as soon as its last holder goes, so
// numbers that keep growing along a search never pile up, and no table is shared.
struct CellBox {
    mutable std::atomic<std::uint32_t> refs{1};
    std::uint64_t hash = 0;
    ExpressionNode node;
    explicit CellBox(ExpressionNode n);
    ~CellBox();
    CellBox(const CellBox&) = delete;
    CellBox& operator=(const CellBox&) = delete;
    // Boxes alive in the process.
    static std::size_t live() noexcept;
};

// A cell that holds its own reference.
class OwnedCell {
  public:
    OwnedCell() noexcept = default;
    explicit OwnedCell(const ExpressionNode& node) : c_(Cell::encode(node)) {}
    OwnedCell(const OwnedCell& o) noexcept : c_(o.c_) { Cell::retain(c_); }
    OwnedCell& operator=(const OwnedCell& o) noexcept {
        Cell::retain(o.c_);
        Cell::release(c_);
        c_ = o.c_;
        return *this;
    }
    ~OwnedCell() { Cell::release(c_); }
    Cell get() const noexcept { return c_; }

  private:
    Cell c_;
};

}  // namespace quorvane
