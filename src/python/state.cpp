#include "python/state.hpp"

#include "python/convert.hpp"
#include "python/docs.hpp"

namespace quorvane::python {

py::object state_to_py(StatePtr state) { return py::cast(PyState{std::move(state)}); }

const StatePtr& to_state(py::handle obj, const char* arg) { return instance_of<PyState>(obj, arg, "State").state; }

namespace {
const State& state_self(py::handle self) { return *to_state(self, "self"); }
}  // namespace

void register_state(ModuleBuilder& b) {
    b.announce("State");
    py::class_<PyState> cls(b.module(), "State", docs::kState);
    refuse_direct_construction(cls);
    cls.def_property_readonly("g", [](py::handle self) { return state_self(self).g; }, docs::kStateG)
        .def_property_readonly("path",
                               [](py::handle self) {
                                   std::vector<PathEntry> entries;
                                   for (const PathEntry& e : state_self(self).path.iter_rev()) entries.push_back(e);
                                   py::list out(entries.size());
                                   std::size_t i = 0;
                                   for (auto it = entries.rbegin(); it != entries.rend(); ++it)
                                       out[i++] = py::make_tuple(action_to_py(it->action), py::int_(it->pos),
                                                                 py::int_(it->instance));
                                   return out;
                               },
                               docs::kStatePath)
        .def_property_readonly("todo",
                               [](py::handle self) {
                                   py::dict out;
                                   for (const auto& [action, entry] : state_self(self).todo)
                                       out[action_to_py(action)] =
                                           py::make_tuple(py::int_(entry.next_event), py::int_(entry.instance));
                                   return out;
                               },
                               docs::kStateTodo)
        .def(
            "get_value",
            [](py::handle self, py::handle fluent) {
                const State& s = state_self(self);
                std::uint64_t f = to_u64(fluent, "fluent");
                if (f >= s.values.size()) raise(ErrorKind::Exception, "Fluent not found!");
                return s.values[f];
            },
            docs::kStateGetValue, py::arg("fluent"));
    b.finish_class(cls);
}

}  // namespace quorvane::python
