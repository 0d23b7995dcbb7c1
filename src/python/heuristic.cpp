// The Python class `Heuristic`: static constructors for the five variants, `name`,
// `eval` and `reachable_actions`; and the Python side of custom heuristics.
#include "python/heuristic.hpp"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/attachment.hpp"
#include "python/convert.hpp"
#include "python/docs.hpp"
#include "python/search_space.hpp"
#include "python/state.hpp"

namespace quorvane::python {

namespace {

// A Python callable, shared by every copy of one custom heuristic: copies never need
// the interpreter, and the one strong reference goes away with the last copy, on
// whatever thread that happens (see OwnedRef). Calls attach for their own length:
// searches run with the interpreter lock released.
class PythonCallable final : public CustomCallable {
  public:
    // Takes over one reference to `fn`.
    explicit PythonCallable(PyObject* fn) : fn_(std::make_shared<const OwnedRef>(OwnedRef::steal(fn))) {}
    explicit PythonCallable(std::shared_ptr<const OwnedRef> fn) noexcept : fn_(std::move(fn)) {}

    std::unique_ptr<CustomCallable> clone() const override { return std::make_unique<PythonCallable>(fn_); }

    std::optional<double> call(StatePtr state) const override {
        Attached attached;
        // Plain pointers only: when the interpreter ends this thread inside the call,
        // the unwind must leave every reference alone.
        return calling_python([&]() -> std::optional<double> {
            PyObject* arg = state_to_py(std::move(state)).release().ptr();
            PyObject* result = PyObject_CallOneArg(fn_->get(), arg);
            Py_DECREF(arg);
            if (!result) throw py::error_already_set();
            if (result == Py_None) {
                Py_DECREF(result);
                return std::nullopt;
            }
            // The host's float conversion, its error unchanged (no note: it is the callable's).
            double v = PyFloat_AsDouble(result);
            Py_DECREF(result);
            if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
            return v;
        });
    }

  private:
    std::shared_ptr<const OwnedRef> fn_;
};

struct RelaxationArgs {
    std::vector<Action> actions;
    std::vector<std::string> fluent_types;
    ObjectsByType objects;
    ActionEvents events;
    FlatExpr goals;
    bool internal_caching;
    bool cache_value_in_state;
    bool inadmissible;
};

RelaxationArgs convert_common(py::handle actions, py::handle fluent_types, py::handle objects, py::handle events,
                              py::handle goals, py::handle internal_caching, py::handle cache_value_in_state,
                              py::handle inadmissible) {
    RelaxationArgs a;
    a.actions = to_action_list(actions, "actions");
    a.fluent_types = to_str_list(fluent_types, "fluent_types");
    a.objects = to_objects_by_type(objects, "objects");
    a.events = to_action_events(events, "events");
    a.goals = to_expr(goals, "goals");
    a.internal_caching = to_bool(internal_caching, "internal_caching");
    a.cache_value_in_state = to_bool(cache_value_in_state, "cache_value_in_state");
    a.inadmissible = to_bool(inadmissible, "inadmissible_numeric_heuristic_variant");
    return a;
}

template <RelaxationKind Kind>
std::unique_ptr<Heuristic> relaxation(py::handle actions, py::handle fluent_types, py::handle objects,
                                      py::handle events, py::handle goals, py::handle internal_caching,
                                      py::handle cache_value_in_state, py::handle inadmissible,
                                      py::handle disable_numeric_reasoning) {
    RelaxationArgs a = convert_common(actions, fluent_types, objects, events, goals, internal_caching,
                                      cache_value_in_state, inadmissible);
    bool disable = to_bool(disable_numeric_reasoning, "disable_numeric_reasoning");
    return std::make_unique<Heuristic>(
        Heuristic::Engine(std::in_place_type<DeleteRelaxationHeuristic>, a.actions, a.fluent_types, a.objects,
                          a.events, a.goals, a.internal_caching, a.inadmissible, disable, Kind),
        a.cache_value_in_state);
}

std::unique_ptr<Heuristic> hmax_explicit(py::handle actions, py::handle fluent_types, py::handle objects,
                                         py::handle events, py::handle goals, py::handle internal_caching,
                                         py::handle cache_value_in_state, py::handle inadmissible) {
    // `objects` and the variant flag are converted (and so checked) but not used.
    RelaxationArgs a = convert_common(actions, fluent_types, objects, events, goals, internal_caching,
                                      cache_value_in_state, inadmissible);
    return std::make_unique<Heuristic>(Heuristic::Engine(std::in_place_type<HMaxExplicit>, a.actions,
                                                         a.fluent_types, a.events, a.goals, a.internal_caching),
                                       a.cache_value_in_state);
}

std::unique_ptr<Heuristic> custom(py::object callable, py::handle cache_value_in_state) {
    bool cache = to_bool(cache_value_in_state, "cache_value_in_state");
    return std::make_unique<Heuristic>(CustomHeuristic(std::make_unique<PythonCallable>(callable.release().ptr())),
                                       cache);
}

py::str name(py::handle self) { return py::str(to_heuristic(self, "self").name()); }

py::object eval(py::handle self, py::handle state, py::handle ss) {
    const Heuristic& h = to_heuristic(self, "self");
    StatePtr s = to_state(state, "state");
    SearchSpaceBorrow space(ss, "ss");
    std::optional<double> value = run_detached([&] {
        // No time-out, but a long evaluation still lets Ctrl-C through.
        const TimeLimit limit(std::nullopt);
        return h.eval(*s, space.get(), &limit);
    });
    if (!value) return py::none();
    return py::float_(*value);
}

py::set reachable_actions(py::handle self, py::handle state) {
    const Heuristic& h = to_heuristic(self, "self");
    StatePtr s = to_state(state, "state");
    std::optional<std::vector<Action>> actions = run_detached([&] { return h.reachable_actions(*s); });
    if (!actions) raise(ErrorKind::NotImplementedError, "reachable_actions is not available: hdr is None");
    py::set out;
    for (Action a : *actions) out.add(action_to_py(a));
    return out;
}

constexpr Row kHeuristicMembers[] = {
    static_method<&custom>("custom", docs::kHeuristicCustom),
    static_method<&relaxation<RelaxationKind::HFF>>("hff", docs::kHeuristicHff),
    static_method<&relaxation<RelaxationKind::HADD>>("hadd", docs::kHeuristicHadd),
    static_method<&relaxation<RelaxationKind::HMAX>>("hmax", docs::kHeuristicHmax),
    static_method<&hmax_explicit>("hmax_explicit", docs::kHeuristicHmaxExplicit),
    property<&name>("name", docs::kHeuristicName),
    method<&eval>("eval", docs::kHeuristicEval),
    method<&reachable_actions>("reachable_actions", docs::kHeuristicReachableActions),
};

}  // namespace

const Heuristic& to_heuristic(py::handle obj, const char* arg) { return instance_of<Heuristic>(obj, arg, "Heuristic"); }

std::pair<Heuristic, double> to_heuristic_pair(py::handle obj, const char* arg) {
    check_tuple(obj, 2, arg);
    Heuristic copy = to_heuristic(PyTuple_GET_ITEM(obj.ptr(), 0), arg);
    double weight = to_f64(PyTuple_GET_ITEM(obj.ptr(), 1), arg);
    return {std::move(copy), weight};
}

void register_heuristic(ModuleBuilder& b) { b.add_class<Heuristic>("Heuristic", docs::kHeuristic, kHeuristicMembers); }

}  // namespace quorvane::python
