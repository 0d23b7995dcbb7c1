// Incremental simple temporal networks. DeltaSTN is the general network keyed by 64-bit
// time points, generic over the weight type: plan building uses it with exact rational
// weights and no tolerance. SearchNetwork is the network that every search state of a
// temporal task carries (64-bit float weights, a small tolerance): the same algorithm,
// specialised to the constraints a search posts, so that a copy costs a few pointers and
// a successor stores only what it adds.
#pragma once

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
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

// ---------------------------------------------------------------------------------------
// The network of a search state
// ---------------------------------------------------------------------------------------

namespace search_network_detail {

// A point's potential and what its out-edges are made of. `info` is a `const PointInfo*`,
// or a `const AppliedEvent*` with the low bit set once the point's event has been applied.
struct Cell {
    double potential = 0.0;
    std::uintptr_t info = 0;
};
static_assert(sizeof(Cell) == 16, "a point costs 16 bytes in every copy that changes it");

// A persistent array of cells: a radix trie with 8 cells per leaf and 8 children per
// inner node. Copies share every node; a change copies only the nodes on the path to
// its cell (a node is changed in place while exactly one array refers to it), so a
// successor that moves a few points copies a few hundred bytes, whatever the size.
class CellTable {
  public:
    CellTable() noexcept = default;
    CellTable(const CellTable& o) noexcept : root_(o.root_), size_(o.size_), levels_(o.levels_) { retain(root_); }
    CellTable(CellTable&& o) noexcept
        : root_(std::exchange(o.root_, nullptr)), size_(std::exchange(o.size_, 0)), levels_(std::exchange(o.levels_, 0)) {}
    CellTable& operator=(const CellTable& o) noexcept {
        CellTable copy(o);
        swap(copy);
        return *this;
    }
    CellTable& operator=(CellTable&& o) noexcept {
        CellTable moved(std::move(o));
        swap(moved);
        return *this;
    }
    ~CellTable() { release(root_, levels_); }

    std::uint32_t size() const noexcept { return size_; }
    const Cell& get(std::uint32_t i) const noexcept {
        const Node* n = root_;
        for (unsigned level = levels_; level > 0; --level) n = static_cast<const Inner*>(n)->child[slot(i, level)];
        return static_cast<const Leaf*>(n)->cells[i & kLeafMask];
    }
    // The cell for writing; copies the shared nodes on its path first.
    Cell& mut(std::uint32_t i) { return unique_path(i); }
    void push_back(const Cell& c);

  private:
    static constexpr unsigned kLeafBits = 3, kInnerBits = 3;
    static constexpr std::uint32_t kLeafMask = (1u << kLeafBits) - 1, kInnerMask = (1u << kInnerBits) - 1;
    struct Node {
        std::atomic<std::uint32_t> refs{1};
    };
    struct Leaf : Node {
        Cell cells[1u << kLeafBits] = {};
    };
    struct Inner : Node {
        Node* child[1u << kInnerBits] = {};
    };

    static unsigned slot(std::uint32_t i, unsigned level) noexcept {
        return (i >> (kLeafBits + (level - 1) * kInnerBits)) & kInnerMask;
    }
    static void retain(Node* n) noexcept {
        if (n) n->refs.fetch_add(1, std::memory_order_relaxed);
    }
    // The trie is at most a dozen levels deep, so the recursion is bounded.
    static void release(Node* n, unsigned level) noexcept;
    void swap(CellTable& o) noexcept {
        std::swap(root_, o.root_);
        std::swap(size_, o.size_);
        std::swap(levels_, o.levels_);
    }
    Cell& unique_path(std::uint32_t i);

    Node* root_ = nullptr;
    std::uint32_t size_ = 0;
    unsigned levels_ = 0;  // inner levels above the leaves
};

// One edge of an explicitly stored list: to point `target` with `weight`; lists run
// from the newest edge to the oldest and are never changed once they are shared.
struct Edge {
    const Edge* next = nullptr;
    double weight = 0.0;
    std::uint32_t target = 0;
};

// What never changes about a point: its key and the edges it got when its action
// started (the origin and horizon: the deadline's edges).
struct PointInfo {
    std::uint64_t key = 0;  // 0 while the point has not entered the network
    const Edge* edges = nullptr;
};

struct Frame;
struct StartRecord;
struct RunningSet;

}  // namespace search_network_detail

// The simple temporal network of a search state: the algorithm of DeltaSTN<double>
// (same edges, same order of every out-edge list, same arithmetic, so the same
// potentials and the same verdict after every constraint), in a representation built for
// the constraints a search posts (see search_space.cpp):
//
// - Points are numbered densely as they are made; each has a cell (potential and a
//   pointer to its edges) in a persistent array, so copying the network for a child
//   copies a handful of pointers, and a child owns only the parts of the array it changed.
// - The edges of one start (duration bounds, origin, horizon, the timing of each event)
//   live in one record of the start, made once and shared by every descendant.
// - The edges that order each applied event after every earlier event of the path are not
//   stored one by one: an applied event keeps one bit per earlier event (whether the two
//   interfere), and the out-edge list of an earlier event is read back from the later
//   events in the order the list would hold them. The origin's edges to every start are
//   read back from the list of starts in the same way.
// - The edges that order an applied event before the pending events of running actions
//   are stored with the applied event.
//
// Every constraint posted goes through the same steps as DeltaSTN::add: the edge test
// (an edge that a stored edge for the same pair implies within the tolerance is not
// stored; the later events' bits reproduce that decision when the list is read), the
// relaxation test, and the first-in first-out propagation with its cycle test and its
// termination bound. Only the storage differs.
class SearchNetwork {
  public:
    using Key = std::uint64_t;
    class AppliedEvent;
    // The keys of the plan's origin and horizon.
    static constexpr Key kOriginKey = 1, kHorizonKey = 2;

    // An empty, consistent network; a negative tolerance is taken as 0.
    explicit SearchNetwork(double tolerance);
    SearchNetwork(const SearchNetwork& o) noexcept;
    SearchNetwork(SearchNetwork&& o) noexcept;
    SearchNetwork& operator=(const SearchNetwork& o) noexcept;
    SearchNetwork& operator=(SearchNetwork&& o) noexcept;
    ~SearchNetwork();

    // Makes the calling thread's working tables of propagation now (see thread_storage.hpp).
    static void prepare_thread_scratch();

    bool consistent() const noexcept { return consistent_; }
    double tolerance() const noexcept { return tolerance_; }

    // --- the constraints of a search, in the order it posts them -------------------------
    // Each call does nothing once the network is inconsistent, like DeltaSTN::add.

    // t(horizon) - t(origin) = deadline: add(horizon, origin, d), then add(origin, horizon, -d).
    void post_deadline(double deadline);
    // A start of `action`: its start and end points (keys `start` and `end`, instance
    // `instance`) and room for the points of its `num_events` events.
    void begin_start(std::uint64_t action, std::uint32_t instance, Key start, Key end, std::size_t num_events);
    // add(start, end, min_weight), add(end, start, max_weight), add(origin, start, 0),
    // add(end, horizon, -eps) for the start begun last.
    void post_duration(double min_weight, double max_weight, double eps);
    // Event k of the start begun last gets key `event`, `delay` after the start point
    // (or the end point): add(r, event, -delay), then add(event, r, delay).
    void post_event_timing(std::size_t k, Key event, bool from_start, double delay);

    // The newest applied event; older() leads to the earlier ones, newest first.
    const AppliedEvent* newest_applied() const noexcept { return applied_; }
    // The application of event `pos` of a started action, instance `instance`, key `key`
    // (which its start gave it). `action` and `slot` name it for later events' interference
    // tests, `eps` is the separation of interfering events, and `pending` the number of
    // pending events it will be ordered before.
    void begin_apply(Key key, std::uint32_t instance, std::size_t pos, std::uint64_t action, std::int64_t slot,
                     double eps, std::size_t pending);
    // add(earlier, applied, interferes ? -eps : 0) for the event being applied; the earlier
    // events must come newest first, each right after the one before.
    void post_after(const AppliedEvent& earlier, bool interferes);
    // add(applied, pending, weight): event `pos` of the running instance of `action`,
    // with instance number `instance`, must follow the event being applied.
    void post_before(std::uint64_t action, std::size_t pos, std::uint32_t instance, double weight);

    // --- inspection --------------------------------------------------------------------------

    // The number of points in the network.
    std::size_t num_points() const noexcept { return entered_; }
    // Every point with its potential (minus its time), in the order the points entered.
    std::vector<std::pair<Key, double>> points() const;
    std::optional<double> potential(Key key) const;
    // The out-edges of `key` as (target, weight), newest first, as DeltaSTN would list them.
    std::vector<std::pair<Key, double>> out_edges(Key key) const;

  private:
    using Cell = search_network_detail::Cell;
    using Edge = search_network_detail::Edge;
    using PointInfo = search_network_detail::PointInfo;
    using Frame = search_network_detail::Frame;
    using StartRecord = search_network_detail::StartRecord;
    using RunningSet = search_network_detail::RunningSet;
    static constexpr std::uint32_t kOrigin = 0, kHorizon = 1;

    void enter_origin() noexcept;
    void enter_horizon() noexcept;
    void relax(std::uint32_t x, std::uint32_t y, double d);
    void propagate(std::uint32_t y, double d, double start_y, double delta);
    // Calls f(target, weight) for each out-edge of u, newest first, while f returns true;
    // false when f stopped the walk.
    template <class F>
    bool for_each_edge(std::uint32_t u, F&& f) const;
    std::optional<std::uint32_t> find(Key key) const;
    Key key_of(std::uint32_t index) const noexcept;
    double lowest_potential() const noexcept;

    search_network_detail::CellTable cells_;
    Frame* frame_ = nullptr;         // origin and horizon
    StartRecord* starts_ = nullptr;  // the newest start; each record holds the older ones
    AppliedEvent* applied_ = nullptr;  // the newest applied event; likewise
    RunningSet* running_ = nullptr;  // the starts whose events are not all applied yet
    std::uint32_t entered_ = 0;
    double tolerance_ = 0.0;
    bool consistent_ = true;
    bool origin_entered_ = false, horizon_entered_ = false;
};

// An applied event, as the later events of the path see it.
class SearchNetwork::AppliedEvent {
  public:
    AppliedEvent(const AppliedEvent&) = delete;
    AppliedEvent& operator=(const AppliedEvent&) = delete;

    const AppliedEvent* older() const noexcept { return older_; }
    std::uint64_t action() const noexcept { return action_; }
    std::int64_t slot() const noexcept { return slot_; }

  private:
    friend class SearchNetwork;
    struct BlockEdge {
        double weight;
        std::uint32_t target;
    };
    AppliedEvent() = default;
    static AppliedEvent* make(std::uint32_t ordinal, std::size_t pending);
    static void release(AppliedEvent* a) noexcept;
    bool interferes_with(std::uint32_t ordinal) const noexcept { return (bits_[ordinal >> 6] >> (ordinal & 63)) & 1; }

    std::atomic<std::uint32_t> refs_{1};
    std::uint32_t ordinal_ = 0;  // the number of events applied before this one
    AppliedEvent* older_ = nullptr;  // holds one reference
    const PointInfo* info_ = nullptr;  // the event's point: its key and its timing edge
    std::uint64_t action_ = 0;
    std::int64_t slot_ = 0;
    double eps_ = 0.0;
    std::uint32_t point_ = 0;
    // The edge into this event from each earlier event numbered posted_from_ or later has
    // been posted; all of them once the application is over.
    std::uint32_t posted_from_ = 0;
    // The edges to pending events, in the order they were posted.
    std::uint32_t block_size_ = 0, block_capacity_ = 0;
    BlockEdge* block_ = nullptr;
    // Bit i: this event interferes with the event numbered i, so the edge from that one
    // to this one weighs -eps_ (else 0).
    std::uint64_t* bits_ = nullptr;
};

}  // namespace quorvane
