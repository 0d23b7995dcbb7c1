// The module entry: the classic and the newer export entry share one slot list;
// the execution step installs the logging bridge, then adds every class and
// function in a fixed order.
#include <Python.h>

#include <pybind11/pybind11.h>

#include <algorithm>
#include <new>
#include <stdexcept>
#include <utility>

#include "python/convert.hpp"
#include "python/docs.hpp"
#include "python/expression_functions.hpp"
#include "python/heuristic.hpp"
#include "python/instances.hpp"
#include "python/module.hpp"
#include "python/search.hpp"
#include "python/search_space.hpp"
#include "python/signals.hpp"
#include "python/state.hpp"

namespace py = pybind11;

namespace quorvane::python {

ModuleBuilder::ModuleBuilder(py::module_ m) : m_(std::move(m)) {}

void ModuleBuilder::announce(const char* name) {
    try {
        if (!all_) {
            all_ = py::list();
            m_.attr("__all__") = all_;
        }
        if (PyList_Append(all_.ptr(), py::str(name).ptr()) < 0) throw py::error_already_set();
    } catch (py::error_already_set& e) {
        throw std::runtime_error(std::string("cannot append to __all__: ") + e.what());
    }
}

void ModuleBuilder::complete_class(py::handle cls, std::span<const Row> rows) {
    const bool constructible =
        std::any_of(rows.begin(), rows.end(), [](const Row& row) { return row.kind == RowKind::Constructor; });
    if (!constructible) refuse_direct_construction(cls);
    guard_instance_allocation(cls);
    define_members(cls, m_.attr("__name__"), rows);
    cls.attr("__module__") = "builtins";
}

void ModuleBuilder::def_functions(std::span<const Row> rows) {
    for (const Row& row : rows) {
        py::object fn = make_module_function(m_, row);
        announce(row.name);
        m_.attr(row.name) = fn;
    }
}

namespace {

void exec_steps(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyModule'", Py_TYPE(module)->tp_name);
        throw py::error_already_set();
    }
    py::options options;
    options.disable_function_signatures();
    install_exception_translation();
    if (!install_logging_bridge()) throw std::runtime_error("a process-wide logger is already installed");
    install_signal_check();

    ModuleBuilder b(py::reinterpret_borrow<py::module_>(module));
    register_expression_node(b);
    register_effect(b);
    register_timing(b);
    register_event(b);
    register_action(b);
    register_search_space(b);
    register_state(b);
    register_heuristic(b);
    add_node_functions(b);
    add_shift_expression(b);
    add_search_functions(b);
    add_expression_functions(b);
}

int module_exec(PyObject* module) {
    table_detail::prepare_thread();
    try {
        exec_steps(module);
        return 0;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::exception& e) {
        PyObject* type = nullptr;
        try {
            type = internal_error_type();
        } catch (py::error_already_set&) {
            PyErr_Clear();
            type = PyExc_BaseException;
        }
        PyErr_SetString(type, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_BaseException, "unknown failure while setting up the module");
    }
    return -1;
}

#if defined(Py_mod_abi)
PyABIInfo_VAR(abi_info);
#endif

// The stub's module docstring.
constexpr const char* module_doc = docs::kModule;

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if defined(Py_mod_abi)
    {Py_mod_abi, &abi_info},
#endif
#if defined(Py_mod_gil)
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
#if defined(Py_mod_name)
    {Py_mod_name, const_cast<char*>("quorvane")},
#endif
#if defined(Py_mod_doc)
    {Py_mod_doc, const_cast<char*>(module_doc)},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorvane",
    module_doc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quorvane::python

extern "C" {

PyMODINIT_FUNC PyInit_quorvane(void) { return PyModuleDef_Init(&quorvane::python::module_def); }

#if defined(Py_mod_name) && defined(PyMODEXPORT_FUNC)
PyMODEXPORT_FUNC PyModExport_quorvane(void) { return quorvane::python::module_slots; }
#endif
}
