// Registration of the module's classes and functions, in the module's order.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace quorvane::python {

namespace py = pybind11;

// Adds names to the module: each name is appended to `__all__` before the
// attribute is set, so `__all__` always lists exactly what was added, in order.
class ModuleBuilder {
  public:
    explicit ModuleBuilder(py::module_ m);

    py::module_& module() noexcept { return m_; }

    // Appends a class name to __all__; the caller then creates the class (which sets the attribute).
    void announce(const char* name);
    // Marks a freshly created class as having no module of its own.
    void finish_class(py::handle cls);

    // `name` and `doc` must be static text: the module's function keeps pointing at them.
    template <class Func, class... Extra>
    void def(const char* name, Func&& f, const char* doc, const Extra&... extra) {
        py::cpp_function fn(std::forward<Func>(f), py::name(name), py::scope(m_),
                            py::sibling(py::getattr(m_, name, py::none())), doc, extra...);
        py::object bound = bind_to_module(name, doc, std::move(fn));
        announce(name);
        m_.attr(name) = bound;
    }

  private:
    // A builtin function whose `__self__` is the module, forwarding every call to `target`.
    py::object bind_to_module(const char* name, const char* doc, py::object target);

    py::module_ m_;
    py::object all_;  // created with the first name
};

// Each registers one class (or the functions of one Part) on the module.
void register_expression_node(ModuleBuilder& b);
void register_effect(ModuleBuilder& b);
void register_timing(ModuleBuilder& b);
void register_event(ModuleBuilder& b);
void register_action(ModuleBuilder& b);

void add_node_functions(ModuleBuilder& b);

// The logging bridge; returns false when a process-wide logger is already installed.
bool install_logging_bridge();

}  // namespace quorvane::python
