#include "engine/space/search_space.hpp"

#include <mutex>
#include <span>
#include <string>

#include "engine/expressions/evaluation.hpp"
#include "engine/support/number.hpp"

namespace quorvane {

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

namespace {
void write_value(StateBox& state, std::uint64_t fluent, const ExpressionNode& value) {
    QV_REQUIRE(fluent < state->values.size(), "effect on fluent " + std::to_string(fluent) +
                                                  ", beyond the state's " + std::to_string(state->values.size()) +
                                                  " fluents");
    state.set_value(fluent, value);
}
}  // namespace

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
    StateBox child;
    if (!build_successor(parent, action, compress, child)) return nullptr;
    return StatePtr(std::move(child));
}

bool SearchSpace::build_successor(const State& parent, Action action, bool compress, StateBox& child,
                                  const std::uint32_t* first_instance) const {
    const std::vector<TimedEvent>* events = events_of(action);
    if (!events) return false;
    const std::size_t n = events->size();
    // Rows of prepared forms line up with the lists of events_of.
    const CompiledEvent* compiled =
        action.idx < compiled_events_.size() && compiled_events_[action.idx].size() == n
            ? compiled_events_[action.idx].data()
            : nullptr;

    if (auto running = parent.todo.empty() ? parent.todo.end() : parent.todo.find(action);
        running != parent.todo.end()) {
        const RunningEntry entry = running->second;
        if (entry.next_event >= n) return false;
        const Event& event = (*events)[entry.next_event].second;
        if (!event_condition_holds(compiled ? compiled + entry.next_event : nullptr, event, parent)) return false;
        child.reset_from(parent);
        child->g += 1.0;
        if (entry.next_event + 1 < n) child->todo.insert_or_assign(action, RunningEntry{entry.next_event + 1, entry.instance + 1});
        else child->todo.erase(action);
        if (!expand_event(parent, child, event, entry.next_event, entry.instance)) return false;
        child.adopt_layout(layout_);
        return true;
    }

    QV_REQUIRE(n > 0, "action " + std::to_string(action.idx) + " has an empty event list");
    if (!event_condition_holds(compiled, (*events)[0].second, parent)) return false;
    // The filter reads only the parent, so it runs before the copy is made.
    if (!passes_object_filter(parent, action)) return false;
    child.reset_from(parent);
    child->g += 1.0;
    std::uint32_t first = 0;
    if (is_temporal_ && first_instance) {
        // Made again: the numbers this start took when it was first made.
        first = *first_instance;
        std::uint32_t counter = first - 1;
        post_start_constraints(parent, *child, action, *events, counter);
    } else if (is_temporal_) {
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
    if (n > 1) child->todo.insert_or_assign(action, RunningEntry{1, first + 1});
    if (!expand_event(parent, child, (*events)[0].second, 0, first)) return false;

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
                return false;
        }
    }
    child.adopt_layout(layout_);
    return true;
}

bool SearchSpace::active_conditions_hold(const State& holder, const State& over) const {
    if (holder.active_conditions.empty()) return true;
    for (const auto& [condition, count] : holder.active_conditions) {
        if (count == 0) continue;
        // Every occurrence of one expression has the same value: one evaluation serves all.
        if (!is_sat(condition.expr(), over)) return false;
    }
    return true;
}

void SearchSpace::write_effects(const State& parent, StateBox& built, const Event& event,
                                const CompiledEvent* compiled) const {
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
}

bool SearchSpace::expand_event(const State& parent, StateBox& built, const Event& event, std::size_t pos,
                               std::uint32_t instance) const {
    built->path.push_front(PathEntry{event.action, event.pos, instance});

    if (!active_conditions_hold(*built, parent)) return false;
    const CompiledEvent* compiled = compiled_event(event, pos);
    if (compiled) {
        for (const ConditionRef& c : compiled->end_conditions) built->active_conditions.remove_one(c);
        for (const ConditionRef& c : compiled->start_conditions) built->active_conditions.add(c);
    } else {
        for (const FlatExpr& c : event.end_conditions) built->active_conditions.remove_one(ConditionRef(c));
        for (const FlatExpr& c : event.start_conditions) built->active_conditions.add(ConditionRef(c));
    }
    // Constants the slots hold inline are written in one pass over the words.
    if (compiled && compiled->writes_ready && &parent.values.layout() == layout_.get() &&
        &built->values.layout() == layout_.get())
        built.write_words(compiled->bit_writes, compiled->cell_writes);
    else
        write_effects(parent, built, event, compiled);
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

}  // namespace quorvane
