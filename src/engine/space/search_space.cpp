#include "engine/space/search_space.hpp"

#include <algorithm>
#include <string>

#include "engine/expressions/evaluation.hpp"
#include "engine/support/number.hpp"
#include "engine/expressions/splitting.hpp"

namespace quorvane {

// --- construction ---------------------------------------------------------------------

namespace {
// Keys compare by index: of two entries for one index the later replaces the earlier,
// keeping the position of the first.
ActionEvents unique_by_index(ActionEvents events) {
    ActionEvents out;
    boost::unordered_flat_map<Action, std::size_t, support::FxHash<Action>> position;
    for (auto& [action, list] : events) {
        auto [it, inserted] = position.try_emplace(action, out.size());
        if (inserted) out.emplace_back(action, std::move(list));
        else out[it->second].second = std::move(list);
    }
    return out;
}
}  // namespace

SearchSpace::SearchSpace(SearchSpaceInput input)
    : actions_duration_(std::move(input.actions_duration)),
      compression_safe_actions_(std::move(input.compression_safe_actions)),
      action_objects_(std::move(input.action_objects)),
      obj_to_prev_actions_map_(std::move(input.obj_to_prev_actions_map)),
      initial_state_(std::move(input.initial_state)),
      goal_(std::move(input.goal)),
      epsilon_(input.epsilon ? std::move(*input.epsilon) : mk_rational(1, 100)) {
    relevant_actions_ = input.relevant_actions ? std::move(*input.relevant_actions) : input.actions;
    is_temporal_ = std::any_of(actions_duration_.begin(), actions_duration_.end(),
                               [](const auto& d) { return d.has_value(); });

    ActionEvents events = unique_by_index(std::move(input.events));
    auto sets = std::make_shared<FluentSetTable>(input.actions.size());
    for (const auto& [action, list] : events) {
        QV_REQUIRE(action.idx < sets->size(),
                   "events given for action " + std::to_string(action.idx) + ", beyond the " +
                       std::to_string(sets->size()) + " actions of the task");
        auto& row = (*sets)[action.idx];
        for (const TimedEvent& te : list) row.push_back(EventFluentSets::of(te.second));
    }
    fluent_sets_ = std::move(sets);
    tn_interpreter_ = TNInterpreter(input.actions, events);
    if (is_temporal_) {
        // Only temporal tasks order events; their answers are tabulated once here.
        mutex_checker_ = MutexChecker(fluent_sets_);
        precedence_checker_ = PrecedenceChecker(fluent_sets_);
    }

    for (auto& [action, list] : events) events_.insert_or_assign(action, std::move(list));
    // The map no longer changes: its lists stay where they are.
    events_by_index_.assign(fluent_sets_->size(), nullptr);
    for (const auto& [action, list] : events_) events_by_index_[action.idx] = &list;
    if (input.deadline) deadline_ = input.deadline->to_double();
    epsilon_float_ = epsilon_.to_double();
    if (initial_state_) layout_ = StateLayout::make(boolean_fluents());
    if (layout_) {
        compiled_events_.resize(fluent_sets_->size());
        for (const auto& [action, list] : events_) {
            auto& row = compiled_events_[action.idx];
            row.reserve(list.size());
            for (const TimedEvent& te : list) {
                const Event& event = te.second;
                CompiledEvent& c = row.emplace_back();
                c.source = &event;
                c.condition = CompiledCondition::compile(event.conditions, layout_);
                c.effects.reserve(event.effects.size());
                for (const Effect& e : event.effects)
                    c.effects.push_back(e.fluent < layout_->num_fluents() ? CompiledValue::compile(e.value, layout_)
                                                                          : CompiledValue());
            }
        }
        if (goal_) compiled_goal_ = CompiledCondition::compile(*goal_, layout_);
    }
}

const CompiledEvent* SearchSpace::compiled_event(const Event& event, std::size_t pos) const noexcept {
    if (event.action.idx >= compiled_events_.size()) return nullptr;
    const auto& row = compiled_events_[event.action.idx];
    if (pos >= row.size() || row[pos].source != &event) return nullptr;
    return &row[pos];
}

bool SearchSpace::event_condition_holds(const CompiledEvent* compiled, const Event& event, const State& state) const {
    if (compiled) {
        const CompiledCondition::Result r = compiled->condition.eval(state);
        if (r != CompiledCondition::kUnknown) return r == CompiledCondition::kTrue;
    }
    return is_sat(event.conditions, state);
}

std::vector<bool> SearchSpace::boolean_fluents() const {
    // A fluent gets a bit when it starts as a boolean and every effect on it can only
    // write a boolean: a boolean constant, a comparison or connective (their values are
    // booleans or errors), or a copy of a fluent that itself gets a bit. Fluents are
    // struck off until nothing changes.
    const FlatExpr& initial = *initial_state_;
    std::vector<bool> bits(initial.size());
    for (std::size_t f = 0; f < initial.size(); ++f) bits[f] = initial[f].kind() == NodeKind::Bool;
    auto writes_boolean = [&](const FlatExpr& value) {
        if (value.empty()) return false;
        const ExpressionNode& root = value.back();
        switch (root.kind()) {
            case NodeKind::Bool:
            case NodeKind::And:
            case NodeKind::Or:
            case NodeKind::Not:
            case NodeKind::Equals:
            case NodeKind::LE:
            case NodeKind::LT: return true;
            case NodeKind::Fluent: return root.fluent_index() < bits.size() && bits[root.fluent_index()];
            default: return false;
        }
    };
    for (bool changed = true; changed;) {
        changed = false;
        for (const auto& [action, list] : events_)
            for (const TimedEvent& te : list)
                for (const Effect& e : te.second.effects)
                    if (e.fluent < bits.size() && bits[e.fluent] && !writes_boolean(e.value)) {
                        bits[e.fluent] = false;
                        changed = true;
                    }
    }
    return bits;
}

const std::vector<TimedEvent>* SearchSpace::events_of(Action action) const noexcept {
    return action.idx < events_by_index_.size() ? events_by_index_[action.idx] : nullptr;
}

std::uint32_t SearchSpace::instance_counter() const {
    std::lock_guard<std::mutex> lock(counter_mutex_);
    return instance_counter_.load(std::memory_order_relaxed);
}

// --- initial state and goal tests -----------------------------------------------------

namespace {
void write_value(StateBox& state, std::uint64_t fluent, const ExpressionNode& value) {
    QV_REQUIRE(fluent < state->values.size(), "effect on fluent " + std::to_string(fluent) +
                                                  ", beyond the state's " + std::to_string(state->values.size()) +
                                                  " fluents");
    state.set_value(fluent, value);
}

const FlatExpr& goal_or_fail(const FlatExpr* given, const std::optional<FlatExpr>& stored) {
    if (given) return *given;
    if (stored) return *stored;
    raise(ErrorKind::Exception, "The goal must be defined somewhere!");
}
}  // namespace

StatePtr SearchSpace::initial_state(const FlatExpr* initial) const {
    const FlatExpr* nodes = initial ? initial : (initial_state_ ? &*initial_state_ : nullptr);
    if (!nodes) raise(ErrorKind::Exception, "The initial state must be defined somewhere!");
    StateBox state = State::make(*nodes, layout_);
    if (is_temporal_) {
        FloatNetwork network(epsilon_float_ / 1000.0);
        if (deadline_) network.post_deadline(*deadline_);
        state->temporal_network.emplace(std::move(network));
    }
    return StatePtr(std::move(state));
}

bool SearchSpace::goal_reached(const State& state, const FlatExpr* goal) const {
    if (!state.todo.empty()) return false;
    if (!goal && compiled_goal_.ready()) {
        const CompiledCondition::Result r = compiled_goal_.eval(state);
        if (r != CompiledCondition::kUnknown) return r == CompiledCondition::kTrue;
    }
    const FlatExpr& g = goal_or_fail(goal, goal_);
    ExpressionNode value = internal_evaluate(std::span<const ExpressionNode>(g), state);
    if (value.kind() != NodeKind::Bool) raise_goal_not_boolean();
    return value.as_bool();
}

std::vector<FlatExpr> SearchSpace::subgoals_sat(const State& state, const FlatExpr* goal) const {
    const FlatExpr& g = goal_or_fail(goal, goal_);
    std::vector<FlatExpr> conjuncts = split_expression(g);
    // Equal conjuncts are reported once; the order kept is that of first appearance.
    boost::unordered_flat_set<FlatExpr, FlatExprHash, FlatExprEq> seen;
    std::vector<FlatExpr> out;
    for (FlatExpr& c : conjuncts) {
        if (!internal_evaluate(std::span<const ExpressionNode>(c), state).is_true()) continue;
        if (seen.insert(c).second) out.push_back(std::move(c));
    }
    return out;
}

// --- successor generation -------------------------------------------------------------

bool SearchSpace::is_sat(const FlatExpr& condition, const State& state) const {
    ExpressionNode value = internal_evaluate(std::span<const ExpressionNode>(condition), state);
    if (value.kind() != NodeKind::Bool) raise(ErrorKind::Exception, "An action condition is not a boolean expression!");
    return value.as_bool();
}

bool SearchSpace::passes_object_filter(const State& parent, Action action) const {
    if (!action_objects_ || !obj_to_prev_actions_map_) return true;
    QV_REQUIRE(action.idx < action_objects_->size(),
               "action " + std::to_string(action.idx) + " lies beyond the action_objects list");
    for (const std::string& object : (*action_objects_)[action.idx]) {
        auto it = obj_to_prev_actions_map_->find(object);
        if (it == obj_to_prev_actions_map_->end()) continue;
        const ActionSet& required = it->second;
        if (required.contains(action)) continue;
        bool met = false;
        for (const PathEntry& e : parent.path.iter_rev())
            if (required.contains(e.action)) {
                met = true;
                break;
            }
        if (!met) return false;
    }
    return true;
}

void SearchSpace::post_start_constraints(const State& parent, State& child, Action action,
                                         const std::vector<TimedEvent>& events, std::uint32_t& counter) const {
    QV_REQUIRE(child.temporal_network.has_value(), "a state of a temporal task without a temporal network");
    FloatNetwork& net = *child.temporal_network;
    const std::uint32_t instance = counter;
    const std::uint64_t s = time_point_key(tn_interpreter_.get_action_point(action, true), counter);
    const std::uint64_t e = time_point_key(tn_interpreter_.get_action_point(action, false), counter);
    ++counter;

    QV_REQUIRE(action.idx < actions_duration_.size(),
               "action " + std::to_string(action.idx) + " lies beyond the actions_duration list");
    double lower = 0.0, upper = 0.0;
    bool lower_open = false, upper_open = false;
    if (const auto& bounds = actions_duration_[action.idx]) {
        lower = get_rational_from_expression_node(
                    internal_evaluate(std::span<const ExpressionNode>(bounds->lower), parent))
                    .to_double();
        upper = get_rational_from_expression_node(
                    internal_evaluate(std::span<const ExpressionNode>(bounds->upper), parent))
                    .to_double();
        lower_open = bounds->lower_open;
        upper_open = bounds->upper_open;
    }
    const double eps = epsilon_float_;
    // Posted in this order: the duration bounds (start to end, end to start), the origin
    // before the start, the end at least eps before the horizon, then each event pinned to
    // the start or the end by its delay (to the event, then back).
    net.begin_start(action.idx, instance, s, e, events.size());
    net.post_duration(lower_open ? -lower - eps : -lower, upper_open ? upper - eps : upper, eps);
    for (std::size_t k = 0; k < events.size(); ++k) {
        const auto& [timing, event] = events[k];
        const std::uint64_t x = time_point_key(tn_interpreter_.get_event_point(event.action, event.pos), counter);
        net.post_event_timing(k, x, timing.start, timing.delay.to_double());
        ++counter;
    }
}

StatePtr SearchSpace::get_successor_state_with_compression(const State& parent, Action action, bool compress) const {
    const std::vector<TimedEvent>* events = events_of(action);
    if (!events) return nullptr;
    const std::size_t n = events->size();
    // Rows of prepared forms line up with the lists of events_of.
    const CompiledEvent* compiled =
        action.idx < compiled_events_.size() && compiled_events_[action.idx].size() == n
            ? compiled_events_[action.idx].data()
            : nullptr;

    if (auto running = parent.todo.empty() ? parent.todo.end() : parent.todo.find(action);
        running != parent.todo.end()) {
        const TodoEntry entry = running->second;
        if (entry.next_event >= n) return nullptr;
        const Event& event = (*events)[entry.next_event].second;
        if (!event_condition_holds(compiled ? compiled + entry.next_event : nullptr, event, parent)) return nullptr;
        StateBox child = parent.clone_for_child();
        child->g += 1.0;
        if (entry.next_event + 1 < n) child->todo.insert_or_assign(action, TodoEntry{entry.next_event + 1, entry.instance + 1});
        else child->todo.erase(action);
        if (!expand_event(parent, child, event, entry.next_event, entry.instance)) return nullptr;
        child.adopt_layout(layout_);
        return StatePtr(std::move(child));
    }

    QV_REQUIRE(n > 0, "action " + std::to_string(action.idx) + " has an empty event list");
    if (!event_condition_holds(compiled, (*events)[0].second, parent)) return nullptr;
    // The filter reads only the parent, so it runs before the copy is made.
    if (!passes_object_filter(parent, action)) return nullptr;
    StateBox child = parent.clone_for_child();
    child->g += 1.0;
    std::uint32_t first = 0;
    if (is_temporal_) {
        // Held while the start takes its numbers and posts its points: the numbers of one
        // start are consecutive and no two starts share one. Applying event 0 below needs
        // no lock: it reads no shared state that changes, and the network is the child's.
        std::lock_guard<std::mutex> lock(counter_mutex_);
        std::uint32_t counter = instance_counter_.load(std::memory_order_relaxed);
        first = counter + 1;
        // Numbers taken stay consumed when posting fails part-way.
        struct Publish {
            std::atomic<std::uint32_t>& to;
            const std::uint32_t& value;
            ~Publish() { to.store(value, std::memory_order_relaxed); }
        } publish{instance_counter_, counter};
        post_start_constraints(parent, *child, action, *events, counter);
    } else {
        // Only temporal starts take numbers: without a network the counter never moves,
        // and starts need no lock.
        first = instance_counter_.load(std::memory_order_relaxed);
    }
    if (n > 1) child->todo.insert_or_assign(action, TodoEntry{1, first + 1});
    if (!expand_event(parent, child, (*events)[0].second, 0, first)) return nullptr;

    const bool safe = compress && compression_safe_actions_ && [&] {
        QV_REQUIRE(action.idx < compression_safe_actions_->size(),
                   "action " + std::to_string(action.idx) + " lies beyond the compression_safe_actions list");
        return static_cast<bool>((*compression_safe_actions_)[action.idx]);
    }();
    if (safe && n > 1) {
        const std::uint32_t m = child->todo.find(action)->second.instance;
        child->todo.erase(action);
        for (std::size_t k = 1; k < n; ++k) {
            StatePtr before = child->clone_for_child();
            child->g += 1.0;
            if (!expand_event(*before, child, (*events)[k].second, k, m + static_cast<std::uint32_t>(k - 1)))
                return nullptr;
        }
    }
    child.adopt_layout(layout_);
    return StatePtr(std::move(child));
}

bool SearchSpace::active_conditions_hold(const State& holder, const State& over) const {
    for (const auto& [condition, count] : holder.active_conditions) {
        if (count == 0) continue;
        // Every occurrence of one expression has the same value: one evaluation serves all.
        if (!is_sat(condition, over)) return false;
    }
    return true;
}

bool SearchSpace::expand_event(const State& parent, StateBox& built, const Event& event, std::size_t pos,
                               std::uint32_t instance) const {
    built->path.push_front(PathEntry{event.action, event.pos, instance});

    if (!active_conditions_hold(*built, parent)) return false;
    for (const FlatExpr& c : event.end_conditions) built->active_conditions.remove_one(c);
    for (const FlatExpr& c : event.start_conditions) built->active_conditions.add(c);
    const CompiledEvent* compiled = compiled_event(event, pos);
    for (std::size_t k = 0; k < event.effects.size(); ++k) {
        const Effect& effect = event.effects[k];
        Cell cell;
        if (compiled && compiled->effects[k].eval(parent, cell)) {
            built.set_cell(effect.fluent, cell);
            continue;
        }
        ExpressionNode value = internal_evaluate(std::span<const ExpressionNode>(effect.value), parent);
        write_value(built, effect.fluent, value);
    }
    // Writing a value may have moved the state: the reference is taken after the writes.
    State& child = *built;
    if (!active_conditions_hold(child, child)) return false;
    if (!is_temporal_) return true;

    QV_REQUIRE(child.temporal_network.has_value(), "a state of a temporal task without a temporal network");
    FloatNetwork& net = *child.temporal_network;
    const double eps = epsilon_float_;
    const std::uint64_t key = time_point_key(tn_interpreter_.get_event_point(event.action, event.pos), instance);
    // The checker's numbers for this event, as the new event of each pair here and as the
    // earlier event of the pairs of later events (there under its own `pos`).
    const EventSlot self = mutex_checker_.slot(EventRef{event.action, pos});
    const EventSlot as_earlier = mutex_checker_.slot(EventRef{event.action, event.pos});
    // Does the new event interfere with the event of `other_action` in `other`? Events of
    // one action always do; otherwise the checker's answer, or its error for an event
    // outside its table (the new event's checked first).
    auto interferes = [&](Action other_action, EventSlot other) {
        return mutex_checker_.check(event.action, self, other_action, other);
    };
    std::size_t pending = 0;
    for (const auto& [running, entry] : child.todo)
        if (const std::vector<TimedEvent>* list = events_of(running); list && entry.next_event < list->size())
            pending += list->size() - entry.next_event;

    // The new event lies after every earlier event of the path, by eps when they interfere:
    // one constraint per earlier event, newest first. Every pair is posted (and so tested)
    // even once the network has failed: an inconsistent network ignores the constraints,
    // but the errors of broken preconditions stay the same whatever the outcome.
    const SearchNetwork::AppliedEvent* earlier = net.newest_applied();
    net.begin_apply(key, instance, pos, event.action.idx, as_earlier, eps, pending);
    for (; earlier; earlier = earlier->older())
        net.post_after(*earlier, interferes(Action{earlier->action()}, earlier->slot()));

    // Every pending event of a running action, including the remaining events of this
    // event's own action, lies after the new event, at least eps after when they interfere.
    for (const auto& [running, entry] : child.todo) {
        const std::vector<TimedEvent>* list = events_of(running);
        QV_REQUIRE(list, "a running action without events");
        for (std::size_t q = entry.next_event; q < list->size(); ++q) {
            const std::uint32_t inst = entry.instance + static_cast<std::uint32_t>(q - entry.next_event);
            const bool mutex = interferes(running, mutex_checker_.slot(EventRef{running, q}));
            net.post_before(running.idx, q, inst, mutex ? -eps : 0.0);
        }
    }
    return net.consistent();
}

// --- plan building --------------------------------------------------------------------

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
