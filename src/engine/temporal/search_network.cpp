#include "engine/temporal/search_network.hpp"

#include <algorithm>
#include <functional>
#include <limits>
#include <memory>
#include <new>

#include <boost/container/small_vector.hpp>

#include "engine/support/errors.hpp"
#include "engine/temporal/delta_stn.hpp"
#include "engine/temporal/search_network_records.hpp"

namespace quorvane {

using namespace search_network_detail;

namespace {

// The network's weights are doubles, checked and bounded as DeltaSTN<double> does it.
using Weights = StnWeightTraits<double>;

// Working tables of one propagation, reused across calls on the same thread.
struct Scratch {
    std::vector<std::uint32_t> queue;
    std::vector<double> start;  // a point's potential before this propagation moved it
    std::vector<std::uint32_t> stamp;  // start[v] is meaningful when stamp[v] == generation
    std::uint32_t generation = 0;

    void begin(std::size_t points) {
        queue.clear();
        // `stamp` last: its size says how many points both tables hold, also after a
        // resize that ran out of memory.
        if (stamp.size() < points) {
            start.resize(points);
            stamp.resize(points, 0);
        }
        if (++generation == 0) {
            std::fill(stamp.begin(), stamp.end(), 0);
            generation = 1;
        }
    }
    void set_start(std::uint32_t v, double p) {
        stamp[v] = generation;
        start[v] = p;
    }
    // The potential v had when first met, recorded now if this is the first time.
    double start_of(std::uint32_t v, double p) {
        if (stamp[v] != generation) set_start(v, p);
        return start[v];
    }
};

Scratch& scratch() {
    static thread_local Scratch s;
    return s;
}

}  // namespace

// Every state of a temporal task holds one network of its own, and every applied event one
// record: both stay small.
static_assert(sizeof(SearchNetwork) == 72);
static_assert(sizeof(SearchNetwork::AppliedEvent) == 64);

// --- applied events ---------------------------------------------------------------------------

SearchNetwork::AppliedEvent* SearchNetwork::AppliedEvent::make(std::uint32_t ordinal, std::size_t pending) {
    static_assert(sizeof(AppliedEvent) % alignof(BlockEdge) == 0 && sizeof(BlockEdge) % alignof(std::uint64_t) == 0);
    const std::size_t words = (static_cast<std::size_t>(ordinal) + 63) / 64;
    const std::size_t bytes = sizeof(AppliedEvent) + pending * sizeof(BlockEdge) + words * sizeof(std::uint64_t);
    auto* a = ::new (::operator new(bytes)) AppliedEvent();
    a->ordinal_ = ordinal;
    a->posted_from_ = ordinal;
    a->block_capacity_ = static_cast<std::uint32_t>(pending);
    std::uninitialized_value_construct_n(a->block(), pending);
    std::uninitialized_value_construct_n(a->bits(), words);
    return a;
}

void SearchNetwork::AppliedEvent::release(AppliedEvent* a) noexcept {
    while (a && a->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        AppliedEvent* older = a->older_;
        a->~AppliedEvent();
        ::operator delete(a);
        a = older;
    }
}

// --- construction and copies ------------------------------------------------------------------

void SearchNetwork::prepare_thread_scratch() { static_cast<void>(scratch()); }

SearchNetwork::SearchNetwork(double tolerance) {
    Weights::check_weight(tolerance);
    frame_ = new Frame;
    // With a negative slack a zero-weight cycle (an event pinned by two edges) would be
    // relaxed forever without any potential moving.
    frame_->tolerance = tolerance < 0.0 ? 0.0 : tolerance;
    try {
        cells_.push_back(PointSlot{0.0, reinterpret_cast<std::uintptr_t>(&frame_->origin)});
        cells_.push_back(PointSlot{0.0, reinterpret_cast<std::uintptr_t>(&frame_->horizon)});
    } catch (...) {
        Frame::release(frame_);  // no destructor runs for a constructor that throws
        throw;
    }
}

SearchNetwork::SearchNetwork(const SearchNetwork& o) noexcept
    : cells_(o.cells_),
      frame_(o.frame_),
      starts_(o.starts_),
      applied_(o.applied_),
      running_(o.running_),
      frame_potentials_{o.frame_potentials_[0], o.frame_potentials_[1]},
      entered_(o.entered_),
      consistent_(o.consistent_),
      origin_entered_(o.origin_entered_),
      horizon_entered_(o.horizon_entered_) {
    if (frame_) frame_->refs.fetch_add(1, std::memory_order_relaxed);
    if (starts_) starts_->refs.fetch_add(1, std::memory_order_relaxed);
    if (applied_) applied_->refs_.fetch_add(1, std::memory_order_relaxed);
    if (running_) running_->refs.fetch_add(1, std::memory_order_relaxed);
}

SearchNetwork::SearchNetwork(SearchNetwork&& o) noexcept
    : cells_(std::move(o.cells_)),
      frame_(std::exchange(o.frame_, nullptr)),
      starts_(std::exchange(o.starts_, nullptr)),
      applied_(std::exchange(o.applied_, nullptr)),
      running_(std::exchange(o.running_, nullptr)),
      frame_potentials_{o.frame_potentials_[0], o.frame_potentials_[1]},
      entered_(o.entered_),
      consistent_(o.consistent_),
      origin_entered_(o.origin_entered_),
      horizon_entered_(o.horizon_entered_) {}

SearchNetwork& SearchNetwork::operator=(const SearchNetwork& o) noexcept {
    if (this != &o) *this = SearchNetwork(o);
    return *this;
}

SearchNetwork& SearchNetwork::operator=(SearchNetwork&& o) noexcept {
    if (this == &o) return *this;
    Frame::release(std::exchange(frame_, std::exchange(o.frame_, nullptr)));
    StartRecord::release(std::exchange(starts_, std::exchange(o.starts_, nullptr)));
    AppliedEvent::release(std::exchange(applied_, std::exchange(o.applied_, nullptr)));
    RunningSet::release(std::exchange(running_, std::exchange(o.running_, nullptr)));
    cells_ = std::move(o.cells_);
    frame_potentials_[0] = o.frame_potentials_[0];
    frame_potentials_[1] = o.frame_potentials_[1];
    entered_ = o.entered_;
    consistent_ = o.consistent_;
    origin_entered_ = o.origin_entered_;
    horizon_entered_ = o.horizon_entered_;
    return *this;
}

double SearchNetwork::tolerance() const noexcept { return frame_ ? frame_->tolerance : 0.0; }

SearchNetwork::~SearchNetwork() {
    // Nothing is read through the raw pointers of cells and records while they go.
    RunningSet::release(running_);
    AppliedEvent::release(applied_);
    StartRecord::release(starts_);
    Frame::release(frame_);
}

// --- posting ----------------------------------------------------------------------------------
//
// Each add(x, y, d) below follows DeltaSTN::add step by step: nothing once inconsistent;
// the weight checked; x and y entered; the edge test; the relaxation test and propagation.
// The edge tests of a start come out "store" without a search: their targets are points
// that the start itself has just made, which no earlier edge reaches, except the edge from
// the end point to the horizon, when the end point's only edge leads to the start point.

void SearchNetwork::enter_origin() noexcept {
    if (!origin_entered_) {
        origin_entered_ = true;
        ++entered_;
    }
}

void SearchNetwork::enter_horizon() noexcept {
    if (!horizon_entered_) {
        horizon_entered_ = true;
        ++entered_;
    }
}

void SearchNetwork::post_deadline(double deadline) {
    QV_REQUIRE(frame_->refs.load(std::memory_order_acquire) == 1 && frame_->deadline_edges == 0 && !starts_,
               "a deadline posted on a network that already holds constraints");
    // add(horizon, origin, deadline)
    if (!consistent_) return;
    Weights::check_weight(deadline);
    enter_horizon();
    enter_origin();
    frame_->deadline = deadline;
    frame_->deadline_edges = 1;
    relax(kHorizon, kOrigin, deadline);
    // add(origin, horizon, -deadline)
    if (!consistent_) return;
    Weights::check_weight(-deadline);
    frame_->deadline_edges = 2;
    relax(kOrigin, kHorizon, -deadline);
}

void SearchNetwork::begin_start(std::uint64_t action, std::uint32_t instance, Key start, Key end,
                                std::size_t num_events) {
    if (!consistent_) return;
    QV_REQUIRE(num_events < std::numeric_limits<std::uint32_t>::max() - cells_.size() - 2,
               "too many points in a temporal network");
    StartRecord* r = StartRecord::make(num_events);
    r->action = action;
    r->instance = instance;
    r->base = cells_.size();
    // Held by the network before its points are made: when making them runs out of
    // memory, the network (which is then dropped) still frees the record.
    r->older = starts_;
    starts_ = r;
    for (std::size_t k = 0; k < 2 + num_events; ++k)
        cells_.push_back(PointSlot{0.0, reinterpret_cast<std::uintptr_t>(&r->points()[k])});
    r->points()[0].key = start;
    r->points()[1].key = end;
    entered_ += 2;  // the event points enter with their timing edges
    if (num_events > 1) {
        RunningSet* s = RunningSet::with(running_, r);
        RunningSet::release(std::exchange(running_, s));
    }
}

void SearchNetwork::post_duration(double min_weight, double max_weight, double eps) {
    if (!consistent_) return;
    StartRecord& r = *starts_;
    QV_REQUIRE(r.refs.load(std::memory_order_acquire) == 1 && r.edges_used == 0, "a start's duration posted twice");
    const std::uint32_t s = r.base, e = r.base + 1;
    // add(s, e, min_weight)
    Weights::check_weight(min_weight);
    r.weights()[0] = min_weight;
    r.edges_used = 1;
    relax(s, e, min_weight);
    // add(e, s, max_weight)
    if (!consistent_) return;
    Weights::check_weight(max_weight);
    r.weights()[1] = max_weight;
    r.edges_used = 2;
    relax(e, s, max_weight);
    // add(origin, s, 0)
    if (!consistent_) return;
    enter_origin();
    r.origin_edge = true;
    relax(kOrigin, s, 0.0);
    // add(e, horizon, -eps)
    if (!consistent_) return;
    Weights::check_weight(-eps);
    enter_horizon();
    r.weights()[2] = eps;
    r.edges_used = 3;
    relax(e, kHorizon, -eps);
}

void SearchNetwork::post_event_timing(std::size_t k, Key event, bool from_start, double delay) {
    if (!consistent_) return;
    StartRecord& r = *starts_;
    QV_REQUIRE(r.refs.load(std::memory_order_acquire) == 1 && k < r.num_events && r.points()[2 + k].key == 0 &&
                   r.edges_used == 3 + 2 * k,
               "an event's timing posted twice, out of order (the duration first, then event by event) or "
               "beyond its action's events");
    const std::uint32_t x = r.base + 2 + static_cast<std::uint32_t>(k);
    const std::uint32_t base = from_start ? r.base : r.base + 1;
    // add(base, x, -delay)
    Weights::check_weight(-delay);
    r.points()[2 + k].key = event;
    ++entered_;
    r.delays()[k] = delay;
    r.from_start()[k] = from_start;
    r.edges_used = 4 + 2 * static_cast<std::uint32_t>(k);
    relax(base, x, -delay);
    // add(x, base, delay)
    if (!consistent_) return;
    Weights::check_weight(delay);
    r.edges_used = 5 + 2 * static_cast<std::uint32_t>(k);
    relax(x, base, delay);
}

void SearchNetwork::begin_apply(Key key, std::uint32_t instance, std::size_t pos, std::uint64_t action,
                                std::int64_t slot, double eps, std::size_t pending) {
    if (!consistent_) return;
    // Event 0 (and, in a compressed start, every event) belongs to the newest start;
    // a later event to the start of a running action.
    const StartRecord* r = starts_ && starts_->owns(pos, instance) ? starts_ : nullptr;
    if (!r && running_)
        for (std::uint32_t i = 0; i < running_->count && !r; ++i)
            if (running_->items()[i]->owns(pos, instance)) r = running_->items()[i];
    QV_REQUIRE(r, "an event applied without the time points of its action's start");
    const std::uint32_t point = r->base + 2 + static_cast<std::uint32_t>(pos);
    const PointInfo* info = &r->points()[2 + pos];
    QV_REQUIRE(info->key == key && !(cells_.get(point).info & 1),
               "an event applied twice, or under another time point than its start gave it");

    AppliedEvent* a = AppliedEvent::make(applied_ ? applied_->ordinal_ + 1 : 0, pending);
    a->older_ = applied_;  // takes over the network's reference
    a->info_ = info;
    a->action_ = action;
    a->slot_ = slot;
    a->eps_ = eps;
    a->point_ = point;
    applied_ = a;
    cells_.mut(point).info = reinterpret_cast<std::uintptr_t>(a) | 1;
    if (pos + 1 == r->num_events && running_ && running_->contains(r)) {
        RunningSet* s = RunningSet::without(running_, r);
        RunningSet::release(std::exchange(running_, s));
    }
}

void SearchNetwork::post_after(const AppliedEvent& earlier, bool interferes) {
    if (!consistent_) return;
    AppliedEvent& a = *applied_;
    QV_REQUIRE(earlier.ordinal_ + 1 == a.posted_from_, "earlier events posted out of path order");
    const double d = interferes ? -a.eps_ : 0.0;
    Weights::check_weight(d);
    // The edge test is made when the list of `earlier` is read (see for_each_edge).
    if (interferes) a.bits()[earlier.ordinal_ >> 6] |= std::uint64_t{1} << (earlier.ordinal_ & 63);
    a.posted_from_ = earlier.ordinal_;
    relax(earlier.point_, a.point_, d);
}

void SearchNetwork::post_before(std::uint64_t action, std::size_t pos, std::uint32_t instance, double weight) {
    if (!consistent_) return;
    const StartRecord* r = nullptr;
    if (running_)
        for (std::uint32_t i = 0; i < running_->count && !r; ++i)
            if (running_->items()[i]->action == action) r = running_->items()[i];
    QV_REQUIRE(r && r->owns(pos, instance), "a running action without the time points of its start");
    const std::uint32_t target = r->base + 2 + static_cast<std::uint32_t>(pos);
    Weights::check_weight(weight);
    AppliedEvent& a = *applied_;
    // Edge test over the applied event's list as it stands: its edges to pending events so
    // far. Its timing edge leads to an action point, never to an event's point, and no later
    // event has an edge from it yet.
    AppliedEvent::BlockEdge* block = a.block();
    const double* newest = nullptr;
    for (std::uint32_t i = a.block_size_; i-- > 0 && !newest;)
        if (block[i].target == target) newest = &block[i].weight;
    if (!newest || frame_->tolerance + weight < *newest) {
        QV_REQUIRE(a.block_size_ < a.block_capacity_, "more pending events than announced");
        block[a.block_size_++] = AppliedEvent::BlockEdge{weight, target};
    }
    relax(a.point_, target, weight);
}

// --- the algorithm ----------------------------------------------------------------------------

void SearchNetwork::relax(std::uint32_t x, std::uint32_t y, double d) {
    const double py = potential_of(y);
    const double candidate = potential_of(x) + d;
    if (!(candidate < py - frame_->tolerance)) return;
    // A self-edge below -tolerance is a negative cycle by itself; minus infinity is a time
    // that no double holds.
    if (x == y || Weights::out_of_range(candidate)) {
        consistent_ = false;
        return;
    }
    const double start_y = py;
    const double delta = candidate - py;
    set_potential(y, candidate);
    propagate(y, d, start_y, delta);
}

// First-in first-out relaxation from y, as DeltaSTN::propagate (which gives the reasons for
// the cycle test and the termination bound).
void SearchNetwork::propagate(std::uint32_t y, double d, double start_y, double delta) {
    Scratch& s = scratch();
    s.begin(cells_.size());
    const double tolerance = frame_->tolerance;
    double floor_offset = delta - static_cast<double>(entered_) * tolerance;
    bool allowance_added = false;
    s.set_start(y, start_y);
    s.queue.push_back(y);

    for (std::size_t front = 0; front < s.queue.size(); ++front) {
        const std::uint32_t u = s.queue[front];
        const bool finished = for_each_edge(u, [&](std::uint32_t v, double w) {
            const double pu = potential_of(u);  // read afresh, as DeltaSTN does
            const double pv = potential_of(v);
            const double candidate = pu + w;
            if (!(candidate < pv - tolerance)) return true;
            if ((v == y && stn_detail::within(w - d, tolerance)) || Weights::out_of_range(candidate)) {
                consistent_ = false;
                return false;
            }
            const double p0 = s.start_of(v, pv);
            if (candidate < p0 + floor_offset && !allowance_added) {
                const double lowest = lowest_potential();
                const std::size_t n = entered_;
                const double size =
                    stn_detail::magnitude(lowest) + stn_detail::magnitude(delta) + static_cast<double>(n) * tolerance;
                floor_offset = floor_offset - Weights::rounding_allowance(2 * n, size);
                allowance_added = true;
            }
            if (candidate < p0 + floor_offset) {
                consistent_ = false;
                return false;
            }
            set_potential(v, candidate);
            s.queue.push_back(v);
            return true;
        });
        if (!finished) return;
    }
}

// The out-edges of u, newest first, exactly as DeltaSTN would hold them.
template <class F>
bool SearchNetwork::for_each_edge(std::uint32_t u, F&& f) const {
    if (u == kOrigin) {
        // Edges to each start point, newest first, all newer than the deadline's edge.
        for (const StartRecord* r = starts_; r; r = r->older)
            if (r->origin_edge && !f(r->base, 0.0)) return false;
        return frame_->deadline_edges < 2 || f(kHorizon, -frame_->deadline);
    }
    if (u == kHorizon) return frame_->deadline_edges < 1 || f(kOrigin, frame_->deadline);
    const std::uintptr_t info = cells_.get(u).info;
    if (!(info & 1)) {
        const PointInfo* p = reinterpret_cast<const PointInfo*>(info);
        return p->record->for_each_edge(static_cast<std::uint32_t>(p - p->record->points()), kHorizon, f);
    }

    // An applied event a. Its list, newest first: an edge to each later applied event
    // (posted when that event was applied, newest first), its edges to the events that
    // were pending when it was applied (posted then), and its timing edge.
    const AppliedEvent* a = reinterpret_cast<const AppliedEvent*>(info & ~std::uintptr_t{1});
    // The edge to a later event j was not stored when the list already held an edge to
    // j's point that implied it: an edge to j posted while j was pending. The edge test
    // compared with the newest such edge; the timing edge leads to an action point, never
    // to an event's point.
    const AppliedEvent::BlockEdge* block = a->block();
    boost::container::small_vector<std::uint32_t, 8> skipped;
    for (std::uint32_t i = a->block_size_; i-- > 0;) {
        const AppliedEvent::BlockEdge& b = block[i];
        bool newer_to_same = false;
        for (std::uint32_t k = i + 1; k < a->block_size_ && !newer_to_same; ++k)
            newer_to_same = block[k].target == b.target;
        if (newer_to_same) continue;
        const std::uintptr_t t = cells_.get(b.target).info;
        if (!(t & 1)) continue;
        const AppliedEvent* j = reinterpret_cast<const AppliedEvent*>(t & ~std::uintptr_t{1});
        if (a->ordinal_ < j->posted_from_) continue;  // not posted yet
        const double d = j->interferes_with(a->ordinal_) ? -j->eps_ : 0.0;
        if (!(frame_->tolerance + d < b.weight)) skipped.push_back(j->ordinal_);
    }
    std::sort(skipped.begin(), skipped.end(), std::greater<>());
    std::size_t next_skipped = 0;
    for (const AppliedEvent* j = applied_; j != a; j = j->older_) {
        if (a->ordinal_ < j->posted_from_) continue;
        if (next_skipped < skipped.size() && skipped[next_skipped] == j->ordinal_) {
            ++next_skipped;
            continue;
        }
        if (!f(j->point_, j->interferes_with(a->ordinal_) ? -j->eps_ : 0.0)) return false;
    }
    for (std::uint32_t i = a->block_size_; i-- > 0;)
        if (!f(block[i].target, block[i].weight)) return false;
    const StartRecord& r = *a->info_->record;
    return r.for_each_edge(static_cast<std::uint32_t>(a->info_ - r.points()), kHorizon, f);
}

double SearchNetwork::lowest_potential() const noexcept {
    // Cells of points that have not entered yet hold 0, which changes no minimum below 0.
    double lowest = 0.0;
    for (std::uint32_t i = 0; i < cells_.size(); ++i) {
        const double p = potential_of(i);
        if (p < lowest) lowest = p;
    }
    return lowest;
}

// --- inspection -------------------------------------------------------------------------------

SearchNetwork::Key SearchNetwork::key_of(std::uint32_t index) const noexcept {
    const std::uintptr_t info = cells_.get(index).info;
    if (info & 1) return reinterpret_cast<const AppliedEvent*>(info & ~std::uintptr_t{1})->info_->key;
    return reinterpret_cast<const PointInfo*>(info)->key;
}

std::vector<std::pair<SearchNetwork::Key, double>> SearchNetwork::points() const {
    std::vector<std::pair<Key, double>> out;
    for (std::uint32_t i = 0; i < cells_.size(); ++i) {
        const bool entered = i == kOrigin ? origin_entered_ : i == kHorizon ? horizon_entered_ : key_of(i) != 0;
        if (entered) out.emplace_back(key_of(i), potential_of(i));
    }
    return out;
}

std::optional<std::uint32_t> SearchNetwork::find(Key key) const {
    for (std::uint32_t i = 0; i < cells_.size(); ++i) {
        if ((i == kOrigin && !origin_entered_) || (i == kHorizon && !horizon_entered_)) continue;
        if (key_of(i) == key) return i;
    }
    return std::nullopt;
}

std::optional<double> SearchNetwork::potential(Key key) const {
    const auto i = find(key);
    if (!i) return std::nullopt;
    return potential_of(*i);
}

std::vector<std::pair<SearchNetwork::Key, double>> SearchNetwork::out_edges(Key key) const {
    std::vector<std::pair<Key, double>> out;
    if (const auto i = find(key))
        for_each_edge(*i, [&](std::uint32_t v, double w) {
            out.emplace_back(key_of(v), w);
            return true;
        });
    return out;
}

}  // namespace quorvane
