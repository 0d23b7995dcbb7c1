// Registration of the module's classes and functions, in the module's order.
#pragma once

#include <pybind11/pybind11.h>

#include <span>

#include "python/table.hpp"

namespace quorvane::python {

namespace py = pybind11;

// Adds names to the module: each name is appended to `__all__` before the
// attribute is set, so `__all__` always lists exactly what was added, in order.
class ModuleBuilder {
  public:
    explicit ModuleBuilder(py::module_ m);

    // Adds the bound class T as `name`: its name to `__all__`, then the class itself,
    // then, when `rows` has no constructor, a `__new__` that refuses (its instances come
    // from the module alone), then the members of `rows` in order, and last the mark of
    // a class with no module of its own.
    template <class T>
    void add_class(const char* name, const char* doc, std::span<const Row> rows) {
        announce(name);
        py::class_<T> cls(m_, name, doc);
        complete_class(cls, rows);
    }

    // Adds the module functions of `rows`, in order, each to `__all__` too.
    void def_functions(std::span<const Row> rows);

  private:
    // Appends a name to __all__; the caller then sets the attribute.
    void announce(const char* name);
    // The steps of add_class that follow the creation of the class.
    void complete_class(py::handle cls, std::span<const Row> rows);

    py::module_ m_;
    py::object all_;  // created with the first name
};

// Each registers one class (or one group of functions) on the module.
void register_expression_node(ModuleBuilder& b);
void register_effect(ModuleBuilder& b);
void register_timing(ModuleBuilder& b);
void register_event(ModuleBuilder& b);
void register_action(ModuleBuilder& b);

void add_node_functions(ModuleBuilder& b);

// The logging bridge; returns false when a process-wide logger is already installed.
bool install_logging_bridge();

}  // namespace quorvane::python
