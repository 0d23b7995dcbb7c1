// The Python class `SearchSpace`.
#include "python/search_space.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/convert.hpp"
#include "python/docs.hpp"
#include "python/state.hpp"

namespace quorvane::python {

namespace {

[[noreturn]] void borrow_error(const char* message) {
    PyErr_SetString(PyExc_RuntimeError, message);
    throw py::error_already_set();
}

// Exclusive access for the life of the object: fails while any shared borrow is held.
class ExclusiveBorrow {
  public:
    explicit ExclusiveBorrow(const PySearchSpace& holder) : holder_(holder) {
        std::int64_t expected = 0;
        if (!holder_.borrow_flag.compare_exchange_strong(expected, -1, std::memory_order_acquire))
            borrow_error("Already borrowed: the SearchSpace is in use and cannot be changed now");
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() { holder_.borrow_flag.store(0, std::memory_order_release); }

  private:
    const PySearchSpace& holder_;
};

std::vector<std::optional<DurationBounds>> to_actions_duration(py::handle obj, const char* arg) {
    return sequence_to_vector<std::optional<DurationBounds>>(
        obj, arg, "duration bounds", [arg](py::handle item) -> std::optional<DurationBounds> {
            if (item.is_none()) return std::nullopt;
            check_tuple(item, 4, arg);
            PyObject* t = item.ptr();
            DurationBounds d;
            d.lower = to_expr(PyTuple_GET_ITEM(t, 0), arg);
            d.upper = to_expr(PyTuple_GET_ITEM(t, 1), arg);
            d.lower_open = to_bool(PyTuple_GET_ITEM(t, 2), arg);
            d.upper_open = to_bool(PyTuple_GET_ITEM(t, 3), arg);
            return d;
        });
}

std::optional<std::vector<bool>> to_bool_list(py::handle obj, const char* arg) {
    if (obj.is_none()) return std::nullopt;
    return sequence_to_vector<bool>(obj, arg, "bool", [arg](py::handle item) { return to_bool(item, arg); });
}

std::optional<std::vector<std::vector<std::string>>> to_action_objects(py::handle obj, const char* arg) {
    if (obj.is_none()) return std::nullopt;
    return sequence_to_vector<std::vector<std::string>>(obj, arg, "lists of str",
                                                        [arg](py::handle item) { return to_str_list(item, arg); });
}

ActionSet to_action_set(py::handle obj, const char* arg) {
    if (!PyAnySet_Check(obj.ptr()))
        raise_arg_error(PyExc_TypeError, "'" + type_name_of(obj) + "' object cannot be converted to 'set'", arg);
    // A snapshot: converting the members may run Python code that changes the set.
    PyObject* items = PySequence_List(obj.ptr());
    if (!items) rethrow_with_note(arg);
    py::list list = py::reinterpret_steal<py::list>(items);
    ActionSet out;
    for (py::handle item : list) out.insert(to_action(item, arg));
    return out;
}

std::optional<ObjectPrerequisites> to_object_prerequisites(py::handle obj, const char* arg) {
    if (obj.is_none()) return std::nullopt;
    check_dict(obj, arg);
    ObjectPrerequisites out;
    for (auto& [k, v] : dict_items(obj, arg)) {
        std::string name = to_str(k, arg);
        out.insert_or_assign(std::move(name), to_action_set(v, arg));
    }
    return out;
}

std::optional<FlatExpr> to_optional_expr(py::handle obj, const char* arg) {
    if (obj.is_none()) return std::nullopt;
    return to_expr(obj, arg);
}

std::optional<Rational> to_optional_rational(py::handle obj, const char* arg) {
    try {
        return get_option_big_rational(obj);
    } catch (const Error& e) {
        raise_arg_error(PyExc_ValueError, e.what(), arg);
    }
}

PySearchSpace& holder_of(py::handle obj, const char* arg) {
    return instance_of<PySearchSpace>(obj, arg, "SearchSpace");
}

py::object rational_text(const std::optional<Rational>& r) {
    if (!r) return py::none();
    return py::str(r->to_string());
}

std::unique_ptr<PySearchSpace> make_search_space(py::handle actions_duration, py::handle events, py::handle actions,
                                                 py::handle compression_safe_actions, py::handle action_objects,
                                                 py::handle obj_to_prev_actions_map, py::handle initial_state,
                                                 py::handle goal, py::handle relevant_actions, py::handle deadline,
                                                 py::handle epsilon) {
    SearchSpaceInput in;
    in.actions_duration = to_actions_duration(actions_duration, "actions_duration");
    in.events = to_action_events(events, "events");
    in.actions = to_action_list(actions, "actions");
    in.compression_safe_actions = to_bool_list(compression_safe_actions, "compression_safe_actions");
    in.action_objects = to_action_objects(action_objects, "action_objects");
    in.obj_to_prev_actions_map = to_object_prerequisites(obj_to_prev_actions_map, "obj_to_prev_actions_map");
    in.initial_state = to_optional_expr(initial_state, "initial_state");
    in.goal = to_optional_expr(goal, "goal");
    if (!relevant_actions.is_none()) in.relevant_actions = to_action_list(relevant_actions, "relevant_actions");
    in.deadline = to_optional_rational(deadline, "deadline");
    in.epsilon = to_optional_rational(epsilon, "epsilon");
    return std::make_unique<PySearchSpace>(std::move(in));
}

void reset(py::handle self) { SearchSpaceBorrow borrow(self, "self"); }

py::list build_plan(py::handle self, py::handle path) {
    SearchSpaceBorrow borrow(self, "self");
    std::vector<Action> actions = to_action_list(path, "path");
    TimedPlan plan = borrow->build_plan(actions);
    py::list out(plan.size());
    for (std::size_t i = 0; i < plan.size(); ++i)
        out[i] = py::make_tuple(rational_text(plan[i].start), action_to_py(plan[i].action),
                                rational_text(plan[i].duration));
    return out;
}

bool goal_reached(py::handle self, py::handle state, py::handle goal) {
    SearchSpaceBorrow borrow(self, "self");
    const StatePtr& s = to_state(state, "state");
    std::optional<FlatExpr> g = to_optional_expr(goal, "goal");
    return borrow->goal_reached(*s, g ? &*g : nullptr);
}

py::list subgoals_sat(py::handle self, py::handle state, py::handle goal) {
    SearchSpaceBorrow borrow(self, "self");
    const StatePtr& s = to_state(state, "state");
    std::optional<FlatExpr> g = to_optional_expr(goal, "goal");
    return expr_list_to_py(borrow->subgoals_sat(*s, g ? &*g : nullptr));
}

py::object initial_state(py::handle self, py::handle initial_state) {
    SearchSpaceBorrow borrow(self, "self");
    std::optional<FlatExpr> init = to_optional_expr(initial_state, "initial_state");
    return state_to_py(borrow->initial_state(init ? &*init : nullptr));
}

py::object get_successor_state(py::handle self, py::handle state, py::handle action) {
    SearchSpaceBorrow borrow(self, "self");
    StatePtr s = to_state(state, "state");
    Action a = to_action(action, "action");
    StatePtr next = borrow->get_successor_state(*s, a);
    if (!next) return py::none();
    return state_to_py(std::move(next));
}

py::list get_successor_states(py::handle self, py::handle state) {
    SearchSpaceBorrow borrow(self, "self");
    StatePtr s = to_state(state, "state");
    std::vector<StatePtr> successors;
    auto seq = borrow->get_successor_states_iter(std::move(s));
    while (StatePtr next = seq.next()) successors.push_back(std::move(next));
    py::list out(successors.size());
    for (std::size_t i = 0; i < successors.size(); ++i) out[i] = state_to_py(std::move(successors[i]));
    return out;
}

bool is_temporal(py::handle self) {
    SearchSpaceBorrow borrow(self, "self");
    return borrow->is_temporal();
}

py::list relevant_actions(py::handle self) {
    SearchSpaceBorrow borrow(self, "self");
    return action_list_to_py(borrow->relevant_actions());
}

void set_relevant_actions(py::handle self, py::handle value) {
    PySearchSpace& holder = holder_of(self, "self");
    // Converted before the exclusive borrow: conversion may run Python code.
    std::vector<Action> actions = to_action_list(value, "relevant_actions");
    ExclusiveBorrow borrow(holder);
    holder.space.set_relevant_actions(std::move(actions));
}

constexpr Row kSearchSpaceMembers[] = {
    constructor<&make_search_space>(docs::kSearchSpaceInit),
    method<&reset>("reset", docs::kSearchSpaceReset),
    method<&build_plan>("build_plan", docs::kSearchSpaceBuildPlan),
    method<&goal_reached>("goal_reached", docs::kSearchSpaceGoalReached),
    method<&subgoals_sat>("subgoals_sat", docs::kSearchSpaceSubgoalsSat),
    method<&initial_state>("initial_state", docs::kSearchSpaceInitialState),
    method<&get_successor_state>("get_successor_state", docs::kSearchSpaceGetSuccessorState),
    method<&get_successor_states>("get_successor_states", docs::kSearchSpaceGetSuccessorStates),
    property<&is_temporal>("is_temporal", docs::kSearchSpaceIsTemporal),
    property<&relevant_actions, &set_relevant_actions>("relevant_actions", docs::kSearchSpaceRelevantActions),
};

}  // namespace

SearchSpaceBorrow::SearchSpaceBorrow(py::handle obj, const char* arg)
    : keep_alive_(OwnedRef::borrow(obj)), holder_(&holder_of(obj, arg)) {
    acquire();
}

void SearchSpaceBorrow::acquire() {
    std::int64_t current = holder_->borrow_flag.load(std::memory_order_relaxed);
    do {
        if (current < 0) borrow_error("Already mutably borrowed: the SearchSpace is being changed");
    } while (!holder_->borrow_flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                                         std::memory_order_relaxed));
}

SearchSpaceBorrow::~SearchSpaceBorrow() { holder_->borrow_flag.fetch_sub(1, std::memory_order_release); }

void register_search_space(ModuleBuilder& b) {
    b.add_class<PySearchSpace>("SearchSpace", docs::kSearchSpace, kSearchSpaceMembers);
}

}  // namespace quorvane::python
