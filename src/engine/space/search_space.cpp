#include "engine/space/search_space.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "engine/support/number.hpp"

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
        QV_REQUIRE(list.size() < std::numeric_limits<std::uint32_t>::max(),
                   "more events for action " + std::to_string(action.idx) + " than a running action can count");
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
    compile_events();
    if (layout_) compile_start_filters();
    compile_quick_tests();
    if (layout_ && goal_) compiled_goal_ = CompiledCondition::compile(*goal_, layout_);
}

void SearchSpace::compile_events() {
    // One shared reference per distinct durative condition, for every event that names it.
    boost::unordered_flat_map<FlatExpr, ConditionRef, FlatExprHash, FlatExprEq> conditions;
    auto shared = [&](const std::vector<FlatExpr>& exprs) {
        std::vector<ConditionRef> refs;
        refs.reserve(exprs.size());
        for (const FlatExpr& e : exprs) refs.push_back(conditions.try_emplace(e, e).first->second);
        return refs;
    };
    compiled_events_.resize(fluent_sets_->size());
    for (const auto& [action, list] : events_) {
        auto& row = compiled_events_[action.idx];
        row.reserve(list.size());
        for (const TimedEvent& te : list) {
            const Event& event = te.second;
            CompiledEvent& c = row.emplace_back();
            c.source = &event;
            c.start_conditions = shared(event.start_conditions);
            c.end_conditions = shared(event.end_conditions);
            // Without a layout no form is ready and every value goes to the evaluator.
            if (layout_) c.condition = CompiledCondition::compile(event.conditions, layout_);
            c.effects.reserve(event.effects.size());
            for (const Effect& e : event.effects)
                c.effects.push_back(layout_ && e.fluent < layout_->num_fluents()
                                        ? CompiledValue::compile(e.value, layout_)
                                        : CompiledValue());
            if (layout_) compile_writes(event, c);
        }
    }
}

namespace {
// The write into `word` among `writes`, added when there is none yet.
WordWrite& write_into(std::vector<WordWrite>& writes, std::uint32_t word) {
    for (WordWrite& w : writes)
        if (w.word == word) return w;
    return writes.emplace_back(WordWrite{word, 0, 0});
}
}  // namespace

void SearchSpace::compile_writes(const Event& event, CompiledEvent& c) const {
    // Effects are written in order, so a later write of a fluent replaces an earlier one.
    for (std::size_t k = 0; k < event.effects.size(); ++k) {
        Cell value;
        if (!c.effects[k].constant(value)) return;
        const std::uint64_t f = event.effects[k].fluent;
        const std::uint32_t i = layout_->index(f);
        if (layout_->is_bit(f)) {
            if (!value.is_bool()) return;  // the state would move to cells only
            const std::uint64_t mask = std::uint64_t{1} << (i & 63);
            WordWrite& w = write_into(c.bit_writes, i >> 6);
            w.clear |= mask;
            w.set = value.is_true() ? (w.set | mask) : (w.set & ~mask);
        } else {
            if (value.is_boxed()) return;
            WordWrite& w = write_into(c.cell_writes, i);
            w.clear = ~std::uint64_t{0};
            w.set = value.word();
        }
    }
    c.writes_ready = true;
}

void SearchSpace::compile_start_filters() {
    start_filters_.assign(compiled_events_.size(), StartFilter{});
    for (std::size_t a = 0; a < compiled_events_.size(); ++a) {
        const std::vector<TimedEvent>* events = events_by_index_[a];
        // An action without events, or with an empty list, goes to build_successor: it
        // decides (or fails) there.
        if (!events || events->empty() || compiled_events_[a].size() != events->size()) continue;
        StartFilter& f = start_filters_[a];
        f.begin = static_cast<std::uint32_t>(start_tests_.size());
        const CompiledCondition::RuledOut r = compiled_events_[a][0].condition.append_ruling_out_tests(start_tests_);
        f.end = static_cast<std::uint32_t>(start_tests_.size());
        f.never = r == CompiledCondition::RuledOut::kAlways;
    }
}

void SearchSpace::compile_quick_tests() {
    quick_tests_.clear();
    // A test reads a word: a layout without any gets none.
    if (!layout_ || layout_->num_words() == 0) return;
    quick_tests_.reserve(relevant_actions_.size());
    for (const Action action : relevant_actions_) {
        compiled_detail::WordTest t{0, 0, 0};  // (w & 0) == 0: every state passes
        if (action.idx < start_filters_.size()) {
            const StartFilter& f = start_filters_[action.idx];
            if (f.never) t.expect = 1;  // (w & 0) is never 1
            else if (f.begin < f.end) t = start_tests_[f.begin];
        }
        quick_tests_.push_back(t);
    }
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

std::uint32_t SearchSpace::instance_counter() const {
    std::lock_guard<std::mutex> lock(counter_mutex_);
    return instance_counter_.load(std::memory_order_relaxed);
}

// --- initial state --------------------------------------------------------------------

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

}  // namespace quorvane
