#include "engine/space/search_space.hpp"

#include <algorithm>
#include <optional>
#include <span>
#include <string>

#include "engine/expressions/evaluation.hpp"
#include "engine/support/number.hpp"

namespace quorvane {

namespace {
// One action instance of a plan: its start and end points share this.
struct InstanceKey {
    Action action;
    std::uint32_t instance;
    friend bool operator==(const InstanceKey&, const InstanceKey&) noexcept = default;
};
struct InstanceHash {
    std::size_t operator()(const InstanceKey& k) const noexcept {
        support::FxHasher h;
        h.add(k.action.idx);
        h.add(static_cast<std::uint64_t>(k.instance));
        return static_cast<std::size_t>(h.finish());
    }
};

// Replays a plan's actions into a network over the times of their events, one event
// per step, and reads the plan's start times and durations from that network.
class PlanScheduler {
  public:
    PlanScheduler(const SearchSpace& space, const std::vector<std::optional<DurationBounds>>& durations,
                  std::size_t steps)
        : space_(space), durations_(durations), eps_(space.epsilon()) {
        history_.reserve(steps);
    }

    // Places the next event of `a` (whose events are `events`), with `state` the state
    // after it.
    void place(Action a, const std::vector<TimedEvent>& events, const State& state) {
        const bool starts = !running_.contains(a);
        const Placed placed = starts ? start(a, events, state) : advance(a, events);
        order_after_others(placed);
        history_.push_back(placed);
        if (starts) {
            if (events.size() > 1) running_.insert_or_assign(a, Running{1, local_ + 2});
            local_ = local_ + 1 + static_cast<std::uint32_t>(events.size());
        }
    }

    // The plan from the network's times; fails when no times satisfy it.
    TimedPlan plan() const {
        // Potentials of an inconsistent network mean nothing: no times can be read from it.
        if (!net_.consistent())
            raise(ErrorKind::Exception,
                  "The plan cannot be scheduled: its temporal constraints are inconsistent (the duration bounds or "
                  "the timings of its actions contradict each other)");
        return read_plan();
    }

  private:
    struct Running {
        std::size_t next_event;
        std::uint32_t instance;
    };
    struct Placed {
        const Event* event;
        std::size_t pos;
        std::uint32_t instance;
        std::uint64_t key;  // event_key(*event, instance)
    };

    std::uint64_t event_key(const Event& e, std::uint32_t instance) const {
        return time_point_key(space_.tn_interpreter().get_event_point(e.action, e.pos), instance);
    }

    // The next event of a running action.
    Placed advance(Action a, const std::vector<TimedEvent>& events) {
        auto it = running_.find(a);
        const Running r = it->second;
        QV_REQUIRE(r.next_event < events.size(), "a running action past its last event");
        const Event& event = events[r.next_event].second;
        if (r.next_event + 1 < events.size()) it->second = Running{r.next_event + 1, r.instance + 1};
        else running_.erase(it);
        return Placed{&event, r.next_event, r.instance, event_key(event, r.instance)};
    }

    // The first event of a starting action, with its duration bounds and the timings of
    // all its events posted.
    Placed start(Action a, const std::vector<TimedEvent>& events, const State& state) {
        const TNInterpreter& tn = space_.tn_interpreter();
        const std::uint64_t s = time_point_key(tn.get_action_point(a, true), local_);
        const std::uint64_t e = time_point_key(tn.get_action_point(a, false), local_);
        QV_REQUIRE(a.idx < durations_.size(),
                   "action " + std::to_string(a.idx) + " lies beyond the actions_duration list");
        Rational minimum(0), maximum(0);
        if (const auto& bounds = durations_[a.idx]) {
            Rational lower = get_rational_from_expression_node(
                internal_evaluate(std::span<const ExpressionNode>(bounds->lower), state));
            Rational upper = get_rational_from_expression_node(
                internal_evaluate(std::span<const ExpressionNode>(bounds->upper), state));
            minimum = bounds->lower_open ? lower + eps_ : lower;
            maximum = bounds->upper_open ? upper - eps_ : upper;
        }
        net_.add(s, e, -minimum);
        net_.add(e, s, maximum);
        std::uint64_t key = 0;
        for (std::size_t k = 0; k < events.size(); ++k) {
            const auto& [timing, event] = events[k];
            const std::uint64_t x = event_key(event, local_ + 1 + static_cast<std::uint32_t>(k));
            const std::uint64_t base = timing.start ? s : e;
            net_.add(base, x, -timing.delay);
            net_.add(x, base, timing.delay);
            if (k == 0) key = x;
        }
        return Placed{&events[0].second, 0, local_ + 1, key};
    }

    // Orders the placed event after the events placed before it that it conflicts with
    // or must follow, and before the later events of running actions it conflicts with.
    void order_after_others(const Placed& placed) {
        const EventRef self{placed.event->action, placed.pos};
        for (const Placed& h : history_) {
            const EventRef other{h.event->action, h.event->pos};
            if (space_.mutex_checker().check(EventPair{self, other})) net_.add(h.key, placed.key, -eps_);
            else if (space_.precedence_checker().check(EventPair{other, self})) net_.add(h.key, placed.key, zero_);
        }
        for (const auto& [b, r] : running_) {
            const std::vector<TimedEvent>* list = space_.events_of(b);
            QV_REQUIRE(list, "a running action without events");
            for (std::size_t q = r.next_event; q < list->size(); ++q) {
                const Event& future = (*list)[q].second;
                if (space_.mutex_checker().check(EventPair{self, EventRef{b, q}}))
                    net_.add(placed.key, event_key(future, r.instance + static_cast<std::uint32_t>(q - r.next_event)),
                             -eps_);
            }
        }
    }

    TimedPlan read_plan() const {
        boost::unordered_flat_map<InstanceKey, Rational, InstanceHash> starts, ends;
        for (auto& [point, time] : space_.tn_interpreter().get_actions_timings(net_)) {
            auto& target = point.is_start ? starts : ends;
            target.insert_or_assign(InstanceKey{point.action, point.instance}, std::move(time));
        }
        TimedPlan plan;
        plan.reserve(starts.size());
        for (const auto& [instance, start] : starts) {
            auto end = ends.find(instance);
            QV_REQUIRE(end != ends.end(), "an action start point without its end point");
            Rational duration = end->second - start;
            plan.push_back(TimedPlanEntry{start, instance.action,
                                          duration.is_zero() ? std::nullopt : std::optional<Rational>(duration)});
        }
        std::stable_sort(plan.begin(), plan.end(), [](const TimedPlanEntry& x, const TimedPlanEntry& y) {
            if (*x.start != *y.start) return *x.start < *y.start;
            if (x.action.idx != y.action.idx) return x.action.idx < y.action.idx;
            if (x.duration.has_value() != y.duration.has_value()) return !x.duration.has_value();
            return x.duration && *x.duration < *y.duration;
        });
        return plan;
    }

    const SearchSpace& space_;
    const std::vector<std::optional<DurationBounds>>& durations_;
    const Rational& eps_;
    const Rational zero_{0};
    DeltaSTN<Rational> net_{Rational(0)};
    std::uint32_t local_ = 0;
    boost::unordered_flat_map<Action, Running, support::FxHash<Action>> running_;
    std::vector<Placed> history_;
};
}  // namespace

TimedPlan SearchSpace::build_plan(const std::vector<Action>& path) const {
    if (!is_temporal_) {
        TimedPlan plan;
        plan.reserve(path.size());
        for (Action a : path) plan.push_back(TimedPlanEntry{std::nullopt, a, std::nullopt});
        return plan;
    }
    PlanScheduler scheduler(*this, actions_duration_, path.size());
    StatePtr state = initial_state(nullptr);
    for (std::size_t step = 0; step < path.size(); ++step) {
        const Action a = path[step];
        StatePtr next = get_successor_state_with_compression(*state, a, false);
        QV_REQUIRE(next, "the plan's entry " + std::to_string(step) + " (action " + std::to_string(a.idx) +
                             ") has no successor in the replayed state");
        state = std::move(next);
        scheduler.place(a, *events_of(a), *state);  // a successor exists, so events do
    }
    return scheduler.plan();
}

}  // namespace quorvane
