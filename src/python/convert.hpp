// Argument conversion between Python objects and engine values.
//
// Every converter takes the argument's name: a value that cannot be converted
// raises the Python exception of its kind (TypeError, OverflowError, ValueError)
// with its own text and a note naming the argument.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <typeinfo>
#include <vector>

#include "engine/support/errors.hpp"
#include "engine/expressions/node.hpp"
#include "engine/task/actions.hpp"

namespace quorvane::python {

namespace py = pybind11;

// Adds a note naming `arg` to the pending Python exception and throws it on.
[[noreturn]] void rethrow_with_note(const char* arg);
// Raises `exc_type(message)` with a note naming `arg`.
[[noreturn]] void raise_arg_error(PyObject* exc_type, const std::string& message, const char* arg);
// Raises the pending Python exception unchanged.
[[noreturn]] inline void rethrow_pending() { throw py::error_already_set(); }

// The exception type for broken internal invariants (derived from BaseException).
PyObject* internal_error_type();
void install_exception_translation();

std::string type_name_of(py::handle obj);

std::uint64_t to_u64(py::handle obj, const char* arg);
std::uint32_t to_u32(py::handle obj, const char* arg);
std::int32_t to_i32(py::handle obj, const char* arg);
double to_f64(py::handle obj, const char* arg);
bool to_bool(py::handle obj, const char* arg);
std::string to_str(py::handle obj, const char* arg);

// Calls f(item) for each element of a sequence (not a str), in order.
template <class F>
void for_each_in_sequence(py::handle obj, const char* arg, const char* target, F&& f);
std::size_t sequence_length(py::handle obj, const char* arg, const char* target);
// The elements of a sequence (not a str), each converted by `convert(item)`, in order.
template <class T, class F>
std::vector<T> sequence_to_vector(py::handle obj, const char* arg, const char* target, F&& convert);

// Checks that obj is a tuple (or a subclass) of exactly n elements.
void check_tuple(py::handle obj, std::size_t n, const char* arg);

// The C++ value inside obj, an instance of the bound class `type` (or of a Python
// subclass). TypeError naming `arg` when obj is of another class, or when it was made
// by `__new__` alone and so holds no constructed value.
void* bound_value(py::handle obj, const std::type_info& type, const char* arg, const char* class_name);

// The C++ value inside a Python object of the bound class T. Every argument and every
// `self` of a bound class goes through here (arg "self" for the latter).
template <class T>
T& instance_of(py::handle obj, const char* arg, const char* class_name) {
    return *static_cast<T*>(bound_value(obj, typeid(T), arg, class_name));
}

// Makes `Cls.__new__(Cls)` (and so `Cls()`) raise TypeError for a class whose
// instances only the module creates.
void refuse_direct_construction(py::handle cls);

ExpressionNode to_node(py::handle obj, const char* arg);
FlatExpr to_expr(py::handle obj, const char* arg);
std::vector<FlatExpr> to_expr_list(py::handle obj, const char* arg);
std::vector<NodeIndex> to_index_list(py::handle obj, const char* arg);
Action to_action(py::handle obj, const char* arg);
Effect to_effect(py::handle obj, const char* arg);
Timing to_timing(py::handle obj, const char* arg);
Event to_event(py::handle obj, const char* arg);
TimedEvent to_timed_event(py::handle obj, const char* arg);
std::vector<Action> to_action_list(py::handle obj, const char* arg);
// A dict from Action to a sequence of (Timing, Event) tuples.
ActionEvents to_action_events(py::handle obj, const char* arg);
// A dict from str to a sequence of str.
ObjectsByType to_objects_by_type(py::handle obj, const char* arg);
std::vector<std::string> to_str_list(py::handle obj, const char* arg);
// A dict (or subclass) check, and a snapshot of its items: converting the items may
// run Python code that changes the dict.
void check_dict(py::handle obj, const char* arg);
std::vector<std::pair<py::object, py::object>> dict_items(py::handle obj, const char* arg);

py::object node_to_py(ExpressionNode node);
py::list expr_to_py(const FlatExpr& expr);
// A new list with one `expr_to_py` list per expression, in order.
py::list expr_list_to_py(const std::vector<FlatExpr>& list);
py::object action_to_py(Action a);
// A new list with one new Action object per action, in order.
py::list action_list_to_py(const std::vector<Action>& actions);

// Exact rationals (ValueError "Unable to parse Rational number" for anything unusable).
Rational get_big_rational(py::handle obj);
std::optional<Rational> get_option_big_rational(py::handle obj);
py::object big_rational_to_py_fraction(const Rational& r);
py::object integer_to_py(const Integer& i);

template <class F>
void for_each_in_sequence(py::handle obj, const char* arg, const char* target, F&& f) {
    std::size_t n = sequence_length(obj, arg, target);
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_GetItem(obj.ptr(), static_cast<Py_ssize_t>(i));
        if (!item) rethrow_with_note(arg);
        py::object holder = py::reinterpret_steal<py::object>(item);
        f(py::handle(holder));
    }
}

// Room reserved up front for a sequence's elements: its length is the caller's claim
// (any `__len__`), so longer sequences grow as their elements really arrive.
inline constexpr std::size_t kMaxSequenceReserve = 1024;

template <class T, class F>
std::vector<T> sequence_to_vector(py::handle obj, const char* arg, const char* target, F&& convert) {
    std::vector<T> out;
    out.reserve(std::min(sequence_length(obj, arg, target), kMaxSequenceReserve));
    for_each_in_sequence(obj, arg, target, [&](py::handle item) { out.push_back(convert(item)); });
    return out;
}

}  // namespace quorvane::python
