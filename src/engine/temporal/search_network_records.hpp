// The records a search network keeps of its frame, its starts and its running starts,
// shared by the copies of a network. Internal to the network: only search_network.cpp
// includes this.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "engine/temporal/search_network.hpp"

namespace quorvane {

namespace search_network_detail {

// The origin and the horizon, the deadline's two edges (horizon to origin, then origin
// to horizon) as far as they were posted, and the network's tolerance.
struct Frame {
    std::atomic<std::uint32_t> refs{1};
    std::uint32_t deadline_edges = 0;  // 0, 1 or 2
    double deadline = 0.0;
    double tolerance = 0.0;
    PointInfo origin{SearchNetwork::kOriginKey, nullptr};
    PointInfo horizon{SearchNetwork::kHorizonKey, nullptr};

    static void release(Frame* f) noexcept {
        if (f && f->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete f;
    }
};

// One started action instance: its points (start, end, then one per event, numbered from
// `base` on) and the weights of the edges posted when it started. Made and filled by one
// successor, then never changed.
//
// The edges are posted in one order, and `edges_used` says how far it got (a network that
// turns inconsistent stops posting):
//   0: start -> end, weights()[0]     1: end -> start, weights()[1]
//   2: end -> horizon, -weights()[2]  (the origin's edge to the start comes after 2)
//   3 + 2k: start (or end) -> event k, -delays()[k]
//   4 + 2k: event k -> start (or end), delays()[k]
// A point's list holds its edges newest first (see for_each_edge).
struct StartRecord {
    std::atomic<std::uint32_t> refs{1};
    bool origin_edge = false;  // whether the origin's edge to the start point is posted
    StartRecord* older = nullptr;  // holds one reference
    std::uint64_t action = 0;
    std::uint32_t instance = 0;  // of the start and end points; event k has instance + 1 + k
    std::uint32_t base = 0;
    std::uint32_t num_events = 0;
    std::uint32_t edges_used = 0;
    // The record is followed by its 2 + num_events points, the duration's weights (minimum,
    // maximum, separation from the horizon), a delay per event and a flag per event: its
    // delay runs from the start (else from the end).
    PointInfo* points() noexcept { return reinterpret_cast<PointInfo*>(this + 1); }
    const PointInfo* points() const noexcept { return reinterpret_cast<const PointInfo*>(this + 1); }
    double* weights() noexcept { return reinterpret_cast<double*>(points() + 2 + num_events); }
    const double* weights() const noexcept { return reinterpret_cast<const double*>(points() + 2 + num_events); }
    double* delays() noexcept { return weights() + 3; }
    const double* delays() const noexcept { return weights() + 3; }
    bool* from_start() noexcept { return reinterpret_cast<bool*>(delays() + num_events); }
    const bool* from_start() const noexcept { return reinterpret_cast<const bool*>(delays() + num_events); }

    bool owns(std::size_t pos, std::uint32_t event_instance) const noexcept {
        return pos < num_events && static_cast<std::uint32_t>(instance + 1 + pos) == event_instance;
    }

    // Calls f(target, weight) for each edge of point `index` (0: start, 1: end, 2 + k:
    // event k), newest first, while f returns true; false when f stopped the walk.
    template <class F>
    bool for_each_edge(std::uint32_t index, std::uint32_t horizon, F&& f) const {
        const std::uint32_t used = edges_used;
        if (index >= 2) {
            const std::uint32_t k = index - 2;
            return 4 + 2 * k >= used || f(from_start()[k] ? base : base + 1, delays()[k]);
        }
        const bool start = index == 0;
        for (std::uint32_t k = num_events; k-- > 0;)
            if (3 + 2 * k < used && from_start()[k] == start && !f(base + 2 + k, -delays()[k])) return false;
        if (start) return used == 0 || f(base + 1, weights()[0]);
        if (used > 2 && !f(horizon, -weights()[2])) return false;
        return used <= 1 || f(base, weights()[1]);
    }

    static StartRecord* make(std::size_t num_events) {
        const std::size_t bytes = sizeof(StartRecord) + (2 + num_events) * sizeof(PointInfo) +
                                  (3 + num_events) * sizeof(double) + num_events * sizeof(bool);
        auto* r = ::new (::operator new(bytes)) StartRecord();
        r->num_events = static_cast<std::uint32_t>(num_events);
        std::uninitialized_value_construct_n(r->points(), 2 + num_events);
        for (std::size_t k = 0; k < 2 + num_events; ++k) r->points()[k].record = r;
        std::uninitialized_value_construct_n(r->weights(), 3 + num_events);
        std::uninitialized_value_construct_n(r->from_start(), num_events);
        return r;
    }
    // Iterative: a path of a million starts must not unwind a million frames.
    static void release(StartRecord* r) noexcept {
        while (r && r->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            StartRecord* older = r->older;
            r->~StartRecord();
            ::operator delete(r);
            r = older;
        }
    }
};

static_assert(alignof(PointInfo) <= alignof(StartRecord) && sizeof(StartRecord) % alignof(PointInfo) == 0);
static_assert(sizeof(PointInfo) % alignof(double) == 0);
static_assert(sizeof(StartRecord) == 40, "a start costs its header, its points and its edges");

// The starts that still have events to apply (at most one per action), for finding the
// points of pending events. Small, and replaced as a whole when it changes.
struct RunningSet {
    std::atomic<std::uint32_t> refs{1};
    std::uint32_t count = 0;

    const StartRecord** items() noexcept { return reinterpret_cast<const StartRecord**>(this + 1); }
    const StartRecord* const* items() const noexcept { return reinterpret_cast<const StartRecord* const*>(this + 1); }

    static RunningSet* make(std::size_t count) {
        auto* s = ::new (::operator new(sizeof(RunningSet) + count * sizeof(const StartRecord*))) RunningSet();
        s->count = static_cast<std::uint32_t>(count);
        return s;
    }
    static void release(RunningSet* s) noexcept {
        if (s && s->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            s->~RunningSet();
            ::operator delete(s);
        }
    }
    // `old` with `r` added, in place of any start of the same action.
    static RunningSet* with(const RunningSet* old, const StartRecord* r) {
        std::size_t kept = 0;
        if (old)
            for (std::uint32_t i = 0; i < old->count; ++i) kept += old->items()[i]->action != r->action;
        RunningSet* s = make(kept + 1);
        std::size_t at = 0;
        if (old)
            for (std::uint32_t i = 0; i < old->count; ++i)
                if (old->items()[i]->action != r->action) s->items()[at++] = old->items()[i];
        s->items()[at] = r;
        return s;
    }
    bool contains(const StartRecord* r) const noexcept {
        return std::find(items(), items() + count, r) != items() + count;
    }
    // `old`, which holds `r`, without it; null when nothing is left.
    static RunningSet* without(const RunningSet* old, const StartRecord* r) {
        if (old->count == 1) return nullptr;
        RunningSet* s = make(old->count - 1);
        std::size_t at = 0;
        for (std::uint32_t i = 0; i < old->count; ++i)
            if (old->items()[i] != r) s->items()[at++] = old->items()[i];
        return s;
    }
};

static_assert(sizeof(RunningSet) % alignof(const StartRecord*) == 0);

}  // namespace search_network_detail

}  // namespace quorvane
