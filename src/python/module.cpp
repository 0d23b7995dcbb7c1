// The module entry: the classic and the newer export entry share one slot list;
// the execution step installs the logging bridge, then adds every class and
// function in a fixed order.
#include <Python.h>

#include <pybind11/pybind11.h>

#include <array>
#include <new>
#include <stdexcept>
#include <utility>

#include "python/convert.hpp"
#include "python/expressions_utils.hpp"
#include "python/heuristic.hpp"
#include "python/module.hpp"
#include "python/search.hpp"
#include "python/search_space.hpp"
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

void ModuleBuilder::finish_class(py::handle cls) { cls.attr("__module__") = "builtins"; }

namespace {

// The binding layer makes functions whose `__self__` is its own function record, which
// shows in their `__qualname__`. Each module function is therefore a plain builtin
// bound to the module that forwards to the binding layer's function. The execution
// step runs once per process, so the table is filled once and lives as long.
constexpr std::size_t kMaxModuleFunctions = 32;
using FastCallWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

std::array<PyObject*, kMaxModuleFunctions> g_forward_targets{};
std::array<PyMethodDef, kMaxModuleFunctions> g_forward_defs{};
std::size_t g_forward_count = 0;

template <std::size_t I>
PyObject* forward_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return PyObject_Vectorcall(g_forward_targets[I], args, static_cast<std::size_t>(nargs), kwnames);
}

template <std::size_t... I>
constexpr std::array<FastCallWithKeywords, sizeof...(I)> make_forwarders(std::index_sequence<I...>) {
    return {&forward_call<I>...};
}

constexpr auto g_forwarders = make_forwarders(std::make_index_sequence<kMaxModuleFunctions>{});

}  // namespace

py::object ModuleBuilder::bind_to_module(const char* name, const char* doc, py::object target) {
    if (g_forward_count == kMaxModuleFunctions) throw std::runtime_error("too many module functions");
    const std::size_t i = g_forward_count;
    g_forward_defs[i] = PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(g_forwarders[i])),
                                    METH_FASTCALL | METH_KEYWORDS, doc};
    py::object module_name = m_.attr("__name__");
    PyObject* fn = PyCFunction_NewEx(&g_forward_defs[i], m_.ptr(), module_name.ptr());
    if (!fn) throw py::error_already_set();
    g_forward_targets[i] = target.release().ptr();
    ++g_forward_count;
    return py::reinterpret_steal<py::object>(fn);
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
    add_evaluate(b);
    add_simplify(b);
    add_get_fluents(b);
}

int module_exec(PyObject* module) {
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

const char module_doc[] = "A Python extension module that searches for plans in planning tasks.";

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
