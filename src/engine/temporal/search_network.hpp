// The network that every search state of a temporal task carries (64-bit float weights,
// a small tolerance): the algorithm of DeltaSTN (delta_stn.hpp), specialised to the
// constraints a search posts, so that a copy costs a few pointers and a successor stores
// only what it adds.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "engine/temporal/cell_table.hpp"

namespace quorvane {

namespace search_network_detail {

struct StartRecord;

// What never changes about a point: its key, and the start that made it (null for the
// origin and the horizon), which holds the edges it got then.
struct PointInfo {
    std::uint64_t key = 0;  // 0 while the point has not entered the network
    const StartRecord* record = nullptr;
};

struct Frame;
struct RunningSet;

}  // namespace search_network_detail

// The simple temporal network of a search state: the algorithm of DeltaSTN<double>
// (same edges, same order of every out-edge list, same arithmetic, so the same
// potentials and the same verdict after every constraint), in a representation built for
// the constraints a search posts (see space/successors.cpp):
//
// - Points are numbered densely as they are made; each has a cell (potential and a
//   pointer to what its edges are read from) in a persistent array, so copying the
//   network for a child copies a handful of pointers, and a child owns only the parts of
//   the array it changed. The origin's and the horizon's potentials, which nearly every
//   successor moves, are kept in the network itself.
// - The edges of one start (duration bounds, origin, horizon, the timing of each event)
//   live in one record of the start, made once and shared by every descendant; the record
//   keeps their weights, and the lists are read back in the order they were posted in.
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
    double tolerance() const noexcept;

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
    using PointSlot = search_network_detail::PointSlot;
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
    // The potential of a point: the origin's and the horizon's are kept here (nearly every
    // successor moves the horizon), every other one in its cell.
    double potential_of(std::uint32_t i) const noexcept {
        return i <= kHorizon ? frame_potentials_[i] : cells_.get(i).potential;
    }
    void set_potential(std::uint32_t i, double p) {
        if (i <= kHorizon) frame_potentials_[i] = p;
        else cells_.mut(i).potential = p;
    }
    Key key_of(std::uint32_t index) const noexcept;
    double lowest_potential() const noexcept;

    // A copy for every state: 72 bytes, what does not change (the tolerance among it)
    // lives in the frame.
    search_network_detail::CellTable cells_;  // the cells of the origin and horizon hold no potential
    double frame_potentials_[2] = {0.0, 0.0};  // of the origin and the horizon
    Frame* frame_ = nullptr;         // origin, horizon and tolerance
    StartRecord* starts_ = nullptr;  // the newest start; each record holds the older ones
    AppliedEvent* applied_ = nullptr;  // the newest applied event; likewise
    RunningSet* running_ = nullptr;  // the starts whose events are not all applied yet
    std::uint32_t entered_ = 0;
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
    // The edges to pending events and the bits follow the event in one allocation.
    BlockEdge* block() noexcept { return reinterpret_cast<BlockEdge*>(this + 1); }
    const BlockEdge* block() const noexcept { return reinterpret_cast<const BlockEdge*>(this + 1); }
    const std::uint64_t* bits() const noexcept {
        return reinterpret_cast<const std::uint64_t*>(block() + block_capacity_);
    }
    std::uint64_t* bits() noexcept { return reinterpret_cast<std::uint64_t*>(block() + block_capacity_); }
    bool interferes_with(std::uint32_t ordinal) const noexcept { return (bits()[ordinal >> 6] >> (ordinal & 63)) & 1; }

    std::atomic<std::uint32_t> refs_{1};
    std::uint32_t ordinal_ = 0;  // the number of events applied before this one
    AppliedEvent* older_ = nullptr;  // holds one reference
    const PointInfo* info_ = nullptr;  // the event's point: its key and its start
    std::uint64_t action_ = 0;
    std::int64_t slot_ = 0;
    double eps_ = 0.0;
    std::uint32_t point_ = 0;
    // The edge into this event from each earlier event numbered posted_from_ or later has
    // been posted; all of them once the application is over.
    std::uint32_t posted_from_ = 0;
    // The edges to pending events (block()), in the order they were posted.
    std::uint32_t block_size_ = 0, block_capacity_ = 0;
    // Then bits(): bit i says that this event interferes with the event numbered i, so
    // the edge from that one to this one weighs -eps_ (else 0).
};

}  // namespace quorvane
