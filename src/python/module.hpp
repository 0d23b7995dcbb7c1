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

    py::module_& module() noexcept { return m_; }

    // Appends a class name to __all__; the caller then creates the class (which sets the attribute).
    void announce(const char* name);
    // Marks a freshly created class as having no module of its own.
    void finish_class(py::handle cls);

    // Adds the module functions of `rows`, in order, each to `__all__` too.
    void def_functions(std::span<const Row> rows);
    // Adds a class's constructor, static constructors, methods and properties, in order.
    void def_members(py::handle cls, std::span<const Row> rows);

  private:
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
