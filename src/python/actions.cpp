// Python classes of the task's actions: Effect, Timing, Event and Action.
#include <pybind11/pybind11.h>

#include "python/convert.hpp"
#include "python/docs.hpp"
#include "python/module.hpp"

namespace quorvane::python {

namespace {

// `self` of the classes' methods and properties.
const Effect& effect_self(py::handle self) { return instance_of<Effect>(self, "self", "Effect"); }
const Timing& timing_self(py::handle self) { return instance_of<Timing>(self, "self", "Timing"); }
const Event& event_self(py::handle self) { return instance_of<Event>(self, "self", "Event"); }

Effect make_effect(py::handle fluent, py::handle value) {
    return Effect{to_u64(fluent, "fluent"), to_expr(value, "value")};
}

std::uint64_t effect_fluent(py::handle self) { return effect_self(self).fluent; }
py::list effect_value(py::handle self) { return expr_to_py(effect_self(self).value); }
std::string effect_repr(py::handle self) { return effect_self(self).debug(); }

constexpr Row kEffectMembers[] = {
    constructor<&make_effect>(docs::kEffectInit),
    property<&effect_fluent>("fluent", docs::kEffectFluent),
    property<&effect_value>("value", docs::kEffectValue),
    method<&effect_repr>("__repr__", docs::kEffectRepr),
};

Timing make_timing(py::handle start, py::handle delay) {
    bool s = to_bool(start, "start");
    Rational d;
    try {
        d = get_big_rational(delay);
    } catch (const Error& e) {
        raise_arg_error(PyExc_ValueError, e.what(), "delay");
    }
    return Timing{s, std::move(d)};
}

bool timing_is_from_start(py::handle self) { return timing_self(self).is_from_start(); }
bool timing_is_from_end(py::handle self) { return timing_self(self).is_from_end(); }
py::object timing_delay(py::handle self) { return big_rational_to_py_fraction(timing_self(self).delay); }
std::string timing_repr(py::handle self) { return timing_self(self).debug(); }

constexpr Row kTimingMembers[] = {
    constructor<&make_timing>(docs::kTimingInit),
    method<&timing_is_from_start>("is_from_start", docs::kTimingIsFromStart),
    method<&timing_is_from_end>("is_from_end", docs::kTimingIsFromEnd),
    property<&timing_delay>("delay", docs::kTimingDelay),
    method<&timing_repr>("__repr__", docs::kTimingRepr),
};

Event make_event(py::handle action, py::handle pos, py::handle conditions, py::handle start_conditions,
                 py::handle end_conditions, py::handle effects) {
    Event e;
    e.action = to_action(action, "action");
    e.pos = to_u64(pos, "pos");
    e.conditions = to_expr(conditions, "conditions");
    e.start_conditions = to_expr_list(start_conditions, "start_conditions");
    e.end_conditions = to_expr_list(end_conditions, "end_conditions");
    for_each_in_sequence(effects, "effects", "Effect",
                         [&](py::handle item) { e.effects.push_back(to_effect(item, "effects")); });
    return e;
}

Action event_action(py::handle self) { return event_self(self).action; }
std::uint64_t event_pos(py::handle self) { return event_self(self).pos; }
py::list event_conditions(py::handle self) { return expr_to_py(event_self(self).conditions); }
py::list event_start_conditions(py::handle self) { return expr_list_to_py(event_self(self).start_conditions); }
py::list event_end_conditions(py::handle self) { return expr_list_to_py(event_self(self).end_conditions); }

py::list event_effects(py::handle self) {
    const Event& e = event_self(self);
    py::list out(e.effects.size());
    for (std::size_t i = 0; i < e.effects.size(); ++i) out[i] = to_instance(e.effects[i]);
    return out;
}

std::string event_repr(py::handle self) { return event_self(self).debug(); }

constexpr Row kEventMembers[] = {
    constructor<&make_event>(docs::kEventInit),
    property<&event_action>("action", docs::kEventAction),
    property<&event_pos>("pos", docs::kEventPos),
    property<&event_conditions>("conditions", docs::kEventConditions),
    property<&event_start_conditions>("start_conditions", docs::kEventStartConditions),
    property<&event_end_conditions>("end_conditions", docs::kEventEndConditions),
    property<&event_effects>("effects", docs::kEventEffects),
    method<&event_repr>("__repr__", docs::kEventRepr),
};

Action make_action(py::handle idx) { return Action{to_u64(idx, "idx")}; }

std::uint64_t action_idx(py::handle self) { return to_action(self, "self").idx; }

constexpr Row kActionMembers[] = {
    constructor<&make_action>(docs::kActionInit),
    property<&action_idx>("idx", docs::kActionIdx),
};

}  // namespace

void register_effect(ModuleBuilder& b) { b.add_class<Effect>("Effect", docs::kEffect, kEffectMembers); }

void register_timing(ModuleBuilder& b) { b.add_class<Timing>("Timing", docs::kTiming, kTimingMembers); }

void register_event(ModuleBuilder& b) { b.add_class<Event>("Event", docs::kEvent, kEventMembers); }

void register_action(ModuleBuilder& b) { b.add_class<Action>("Action", docs::kAction, kActionMembers); }

}  // namespace quorvane::python
