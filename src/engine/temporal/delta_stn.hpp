// An incremental simple temporal network keyed by 64-bit time points, generic over the
// weight type: plan building uses it with exact rational weights and no tolerance. The
// network of a search state (search_network.hpp) runs the same algorithm with float
// weights, and shares the weight traits and helpers below.
#pragma once

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "engine/support/errors.hpp"

namespace quorvane {

// What the network needs to know about a weight type beyond + - < <=. The primary
// template describes an exact type (a rational), where 0 is exact and nothing rounds.
template <class W>
struct StnWeightTraits {
    static constexpr bool exact = true;
    static W zero() { return W(0); }
    static W from_count(std::size_t n) { return W(static_cast<std::int64_t>(n)); }
    static void check_weight(const W&) {}
    // True when a potential has left the range in which times can be told apart.
    static bool out_of_range(const W&) { return false; }
    // Absolute error that `n` chained additions of values of magnitude `magnitude` can make.
    static W rounding_allowance(std::size_t, const W&) { return zero(); }
};

template <>
struct StnWeightTraits<double> {
    static constexpr bool exact = false;
    static double zero() { return 0.0; }
    static double from_count(std::size_t n) { return static_cast<double>(n); }
    static void check_weight(double w) { QV_REQUIRE(!std::isnan(w), "temporal constraint with a NaN weight"); }
    // Minus infinity (a -inf weight, or an overflowing sum) would put a point at an
    // infinite time; adding +inf weights to it would then give NaN.
    static bool out_of_range(double p) { return p == -std::numeric_limits<double>::infinity(); }
    // Each addition errs by at most half an ulp of its result; 2^-48 leaves a wide margin.
    static double rounding_allowance(std::size_t n, double magnitude) {
        return static_cast<double>(n) * magnitude * 0x1p-48;
    }
};

namespace stn_detail {
// Whether v lies between -tol and tol, bounds included.
template <class W>
bool within(const W& v, const W& tol) {
    return !(v < -tol) && !(tol < v);
}
// The absolute value of v.
template <class W, class Traits = StnWeightTraits<W>>
W magnitude(const W& v) {
    return v < Traits::zero() ? -v : v;
}
}  // namespace stn_detail

// Time-point keys carry the point identifier in the high 32 bits and an instance number
// in the low 32 bits, so a plain identity hash would leave the low bits almost constant
// across points; this mixer (the splitmix64 finalizer) spreads every bit.
struct TimePointHash {
    using is_avalanching = void;
    std::size_t operator()(std::uint64_t k) const noexcept {
        k ^= k >> 30;
        k *= 0xbf58476d1ce4e5b9ULL;
        k ^= k >> 27;
        k *= 0x94d049bb133111ebULL;
        k ^= k >> 31;
        return static_cast<std::size_t>(k);
    }
};

template <class W>
class DeltaEdgeList;

// One node of an edge list: an edge from the list's point to `node` with `weight`.
// Immutable once made; shared by every list (of every copy of a network) that reaches it.
template <class W>
class DeltaNeighbors {
  public:
    std::uint64_t node;
    W weight;
    const DeltaNeighbors* next() const noexcept { return next_; }

    DeltaNeighbors(const DeltaNeighbors&) = delete;
    DeltaNeighbors& operator=(const DeltaNeighbors&) = delete;

  private:
    friend class DeltaEdgeList<W>;
    DeltaNeighbors(std::uint64_t n, const W& w, DeltaNeighbors* nx) : node(n), weight(w), next_(nx) {}

    DeltaNeighbors* next_;  // holds one reference to the next older node
    std::atomic<std::size_t> refs_{1};
};

// The head of one point's edge list (possibly empty); copying shares the nodes.
template <class W>
class DeltaEdgeList {
    using Node = DeltaNeighbors<W>;

  public:
    DeltaEdgeList() noexcept = default;
    DeltaEdgeList(const DeltaEdgeList& o) noexcept : head_(o.head_) { retain(head_); }
    DeltaEdgeList(DeltaEdgeList&& o) noexcept : head_(std::exchange(o.head_, nullptr)) {}
    DeltaEdgeList& operator=(const DeltaEdgeList& o) noexcept {
        retain(o.head_);
        release(std::exchange(head_, o.head_));
        return *this;
    }
    DeltaEdgeList& operator=(DeltaEdgeList&& o) noexcept {
        if (this != &o) release(std::exchange(head_, std::exchange(o.head_, nullptr)));
        return *this;
    }
    ~DeltaEdgeList() { release(head_); }

    // The newest node, or null for an empty list.
    const Node* head() const noexcept { return head_; }
    // Number of list heads and older nodes referring to the head node (0 when empty).
    std::size_t head_use_count() const noexcept { return head_ ? head_->refs_.load(std::memory_order_relaxed) : 0; }

    // Makes a new head in front of the current one; the old nodes are left untouched.
    void prepend(std::uint64_t node, const W& weight) { head_ = new Node(node, weight, head_); }

  private:
    static void retain(Node* n) noexcept {
        if (n) n->refs_.fetch_add(1, std::memory_order_relaxed);
    }
    // Frees the nodes that this was the last reference to, in a loop: a list of a
    // million nodes must not unwind a million destructor frames.
    static void release(Node* n) noexcept {
        while (n && n->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            Node* older = n->next_;
            delete n;
            n = older;
        }
    }

    Node* head_ = nullptr;
};

// A simple temporal network keyed by 64-bit time points. add(x, y, d) posts
// t(x) - t(y) <= d as an edge x -> y of weight d. Each point keeps a potential p with
// p(y) <= p(x) + d (+ tolerance) for every edge; its time is -p, so every point starts at
// time 0 and only ever moves later. A network that becomes inconsistent stays so.
template <class W, class Traits = StnWeightTraits<W>>
class DeltaSTN {
  public:
    using Key = std::uint64_t;
    using Weight = W;
    using EdgeList = DeltaEdgeList<W>;
    using ConstraintMap = boost::unordered_flat_map<Key, EdgeList, TimePointHash>;
    using DistanceMap = boost::unordered_flat_map<Key, W, TimePointHash>;

    // An empty, consistent network. A negative tolerance is taken as 0: with a negative
    // slack, a zero-weight cycle (t(x) = t(r) + d posted as two edges) would be relaxed
    // forever without any potential moving.
    explicit DeltaSTN(const W& tolerance) : tolerance_(tolerance) {
        Traits::check_weight(tolerance_);
        if (tolerance_ < Traits::zero()) tolerance_ = Traits::zero();
        bounded_ = !Traits::exact || !(tolerance_ == Traits::zero());
    }

    bool consistent() const noexcept { return consistent_; }
    const W& tolerance() const noexcept { return tolerance_; }
    // Every known point with its potential (minus its time).
    const DistanceMap& distances() const noexcept { return distances_; }
    // Every known point with its outgoing edges, newest first.
    const ConstraintMap& constraints() const noexcept { return constraints_; }

    // Posts t(x) - t(y) <= d. Afterwards consistent() tells whether the network still is.
    void add(const Key& x, const Key& y, const W& d);

    // Makes the calling thread's working tables of propagation now (see thread_storage.hpp).
    static void prepare_thread_scratch() { static_cast<void>(scratch()); }

  private:
    struct Scratch {
        std::vector<Key> queue;
        DistanceMap start;  // potential of each point before this add moved it
    };
    static Scratch& scratch() {
        static thread_local Scratch s;
        return s;
    }

    void enter(const Key& k) {
        if (distances_.try_emplace(k, Traits::zero()).second) constraints_.try_emplace(k);
    }
    void propagate(const Key& y, const W& d, W start_y, W delta);

    ConstraintMap constraints_;
    DistanceMap distances_;
    W tolerance_;
    bool consistent_ = true;
    bool bounded_ = true;  // whether propagation needs the termination bound (see propagate)
};

template <class W, class Traits>
void DeltaSTN<W, Traits>::add(const Key& x, const Key& y, const W& d) {
    if (!consistent_) return;
    Traits::check_weight(d);
    enter(x);
    enter(y);

    // A tighter edge for the same pair that is at most `tolerance` looser than the newest
    // one adds nothing; older, looser nodes stay in the list for copies that share it.
    EdgeList& list = constraints_.find(x)->second;
    const DeltaNeighbors<W>* same = list.head();
    while (same && same->node != y) same = same->next();
    if (!same || tolerance_ + d < same->weight) list.prepend(y, d);

    W& py = distances_.find(y)->second;
    W candidate = distances_.find(x)->second + d;
    if (!(candidate < py - tolerance_)) return;
    // A self-edge below -tolerance is a negative cycle by itself, whether or not an
    // older self-edge made this one look implied.
    if (x == y || Traits::out_of_range(candidate)) {
        consistent_ = false;
        return;
    }
    W start_y = py;
    W delta = candidate - py;
    py = std::move(candidate);
    propagate(y, d, std::move(start_y), std::move(delta));
}

// First-in first-out relaxation from y. The new constraint reached again around a cycle
// (an edge into y within the tolerance of d that can still be relaxed) proves a negative
// cycle.
//
// Termination bound. With a tolerance, improvements of at most the tolerance are
// ignored, so the network can already hold a cycle of weight between -k*tolerance and
// -tolerance (k its length) that a propagation may go round forever without meeting the
// new constraint. The rule: with n points and delta = p(x) + d - p(y) (the first move of
// y), a propagation that would put a point v below p0(v) + delta - n*tolerance, where
// p0(v) is its potential when this add began, ends as inconsistent instead.
//
// Why this changes no propagation that ends on its own: at the end, follow from any moved
// point v the chain of points whose relaxation last moved it. Each link gives
// p(v) >= p(u) + w, since u's potential can only have dropped since. The chain holds no
// cycle (every link of a finished propagation is exact, and a cycle of exact links would
// have weight 0, while a cycle of links has weight below -tolerance when it closes), and
// every relaxation starts from a point that was moved, so the chain ends at y as moved by
// the new constraint: p(v) >= p0(y) + delta + (weight of a simple path y -> v). That path
// avoids the new edge (it enters y) and has fewer than n edges, each satisfied by p0 up
// to the tolerance, so its weight is at least p0(v) - p0(y) - (n-1)*tolerance. Floats get
// a further allowance for rounding. Conversely, a propagation that never ends lowers some
// point infinitely often, each time by more than the tolerance (by at least one ulp when
// the tolerance is 0), so it crosses the bound. Exact weights with tolerance 0 need no
// bound: every relaxation of y then comes round a negative cycle through the new edge,
// which the cycle test catches.
template <class W, class Traits>
void DeltaSTN<W, Traits>::propagate(const Key& y, const W& d, W start_y, W delta) {
    Scratch& s = scratch();
    s.queue.clear();
    if (!s.start.empty()) {
        // Clearing costs the table's capacity: drop a table grown by one large propagation.
        if (s.start.bucket_count() > 4096)
            s.start = DistanceMap();
        else
            s.start.clear();
    }
    W floor_offset = Traits::zero();  // delta - n*tolerance, later minus the rounding allowance
    bool allowance_added = false;
    if (bounded_) {
        floor_offset = delta - Traits::from_count(distances_.size()) * tolerance_;
        s.start.emplace(y, std::move(start_y));
    }
    s.queue.push_back(y);

    // No point is entered during propagation, so references into the maps stay valid.
    for (std::size_t front = 0; front < s.queue.size(); ++front) {
        const Key u = s.queue[front];
        const W& pu = distances_.find(u)->second;
        for (const DeltaNeighbors<W>* e = constraints_.find(u)->second.head(); e; e = e->next()) {
            W& pv = distances_.find(e->node)->second;
            W candidate = pu + e->weight;
            if (!(candidate < pv - tolerance_)) continue;
            if (e->node == y && stn_detail::within(e->weight - d, tolerance_)) {
                consistent_ = false;
                return;
            }
            if (Traits::out_of_range(candidate)) {
                consistent_ = false;
                return;
            }
            if (bounded_) {
                const W& p0 = s.start.try_emplace(e->node, pv).first->second;
                if (candidate < p0 + floor_offset && !allowance_added) {
                    // Reached only by propagations headed past the bound: the scan is rare.
                    W lowest = Traits::zero();
                    for (const auto& [k, p] : distances_)
                        if (p < lowest) lowest = p;
                    const std::size_t n = distances_.size();
                    W size = stn_detail::magnitude<W, Traits>(lowest) + stn_detail::magnitude<W, Traits>(delta) +
                             Traits::from_count(n) * tolerance_;
                    floor_offset = floor_offset - Traits::rounding_allowance(2 * n, size);
                    allowance_added = true;
                }
                if (candidate < p0 + floor_offset) {
                    consistent_ = false;
                    return;
                }
            }
            pv = std::move(candidate);
            s.queue.push_back(e->node);
        }
    }
}

}  // namespace quorvane
