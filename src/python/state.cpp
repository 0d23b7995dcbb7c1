#include "python/state.hpp"

#include "python/convert.hpp"
#include "python/docs.hpp"
#include "python/instances.hpp"

namespace quorvane::python {

py::object state_to_py(StatePtr state) { return to_instance(PyState{std::move(state)}); }

const StatePtr& to_state(py::handle obj, const char* arg) { return instance_of<PyState>(obj, arg, "State").state; }

namespace {

const State& state_self(py::handle self) { return *to_state(self, "self"); }

double g(py::handle self) { return state_self(self).g; }

py::list path(py::handle self) {
    std::vector<PathEntry> entries;
    for (const PathEntry& e : state_self(self).path.iter_rev()) entries.push_back(e);
    py::list out(entries.size());
    std::size_t i = 0;
    for (auto it = entries.rbegin(); it != entries.rend(); ++it)
        out[i++] = py::make_tuple(action_to_py(it->action), py::int_(it->pos), py::int_(it->instance));
    return out;
}

py::dict todo(py::handle self) {
    py::dict out;
    for (const auto& [action, entry] : state_self(self).todo)
        out[action_to_py(action)] = py::make_tuple(py::int_(entry.next_event), py::int_(entry.instance));
    return out;
}

ExpressionNode get_value(py::handle self, py::handle fluent) {
    const State& s = state_self(self);
    std::uint64_t f = to_u64(fluent, "fluent");
    if (f >= s.values.size()) raise(ErrorKind::Exception, "Fluent not found!");
    return s.values[f];
}

constexpr Row kStateMembers[] = {
    property<&g>("g", docs::kStateG),
    property<&path>("path", docs::kStatePath),
    property<&todo>("todo", docs::kStateTodo),
    method<&get_value>("get_value", docs::kStateGetValue),
};

}  // namespace

void register_state(ModuleBuilder& b) { b.add_class<PyState>("State", docs::kState, kStateMembers); }

}  // namespace quorvane::python
