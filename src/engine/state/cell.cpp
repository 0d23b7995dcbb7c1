#include "engine/state/cell.hpp"

#include <optional>
#include <utility>

#include "engine/state/object_names.hpp"
#include "engine/support/errors.hpp"
#include "engine/support/fx_hash.hpp"

namespace quorvane {

namespace {
std::atomic<std::size_t> live_boxes{0};
}

CellBox::CellBox(ExpressionNode n) : hash(support::FxHash<ExpressionNode>{}(n)), node(std::move(n)) {
    live_boxes.fetch_add(1, std::memory_order_relaxed);
}
CellBox::~CellBox() { live_boxes.fetch_sub(1, std::memory_order_relaxed); }
std::size_t CellBox::live() noexcept { return live_boxes.load(std::memory_order_relaxed); }

Cell Cell::encode(const ExpressionNode& node) {
    switch (node.kind()) {
        case NodeKind::Bool: return boolean(node.as_bool());
        case NodeKind::Int:
            if (std::optional<std::int64_t> v = node.as_int().to_int64(); v && int_fits(*v)) return small_int(*v);
            break;
        case NodeKind::Rational: {
            const Rational& r = node.as_rational();
            std::optional<std::int32_t> n = r.numer().to_int32();
            std::optional<std::int64_t> d = r.denom().to_int64();
            if (n && d && *d > 0 && static_cast<std::uint64_t>(*d) < kDenomLimit)
                return Cell((static_cast<std::uint64_t>(static_cast<std::uint32_t>(*n)) << 32) |
                            (static_cast<std::uint64_t>(*d) << 3) | kRational);
            break;
        }
        case NodeKind::Object: return object(intern_object_name(node.object_name()));
        default: break;
    }
    auto* box = new CellBox(node);
    return Cell(reinterpret_cast<std::uint64_t>(box) | kBoxed);
}

ExpressionNode Cell::decode() const {
    switch (tag()) {
        case kBool: return ExpressionNode::boolean(is_true());
        case kInt: return ExpressionNode::integer(Integer(small_int_value()));
        case kRational: {
            const auto n = static_cast<std::int32_t>(static_cast<std::uint32_t>(w_ >> 32));
            const auto d = static_cast<std::int64_t>((w_ >> 3) & (kDenomLimit - 1));
            return ExpressionNode::rational(Rational(Integer(n), Integer(d)));
        }
        case kObject: return ExpressionNode::object(object_name_of(w_ >> 3));
        case kBoxed: return box().node;
    }
    internal_error("a value cell with an unknown tag");
}

bool Cell::is_number() const noexcept {
    switch (tag()) {
        case kInt:
        case kRational: return true;
        case kBoxed: return box().node.is_number();
        default: return false;
    }
}

bool same_value(Cell a, Cell b) noexcept {
    if (a.w_ == b.w_) return true;
    return a.is_boxed() && b.is_boxed() && a.box().node == b.box().node;
}

std::uint64_t Cell::value_hash() const noexcept { return is_boxed() ? box().hash : w_; }

void Cell::retain(Cell c) noexcept {
    if (c.is_boxed()) c.box().refs.fetch_add(1, std::memory_order_relaxed);
}

void Cell::release(Cell c) noexcept {
    if (c.is_boxed() && c.box().refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete &c.box();
}

}  // namespace quorvane
