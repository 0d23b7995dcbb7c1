// Registration tables: one row per function, static constructor, method or property,
// giving its name, its docstring and its implementation.
//
// A callable's parameters (names and defaults) are read from the signature line that
// begins its docstring, once, at module setup: the docstring is their only source, so
// what `inspect.signature` shows is what the call accepts. Each row becomes a plain
// builtin whose `__self__` is the module (module functions) or the class (methods,
// static constructors and property accessors), which gives it the `__qualname__`
// "name" or "Class.name". Methods and `__init__` sit in the class as instance methods,
// static constructors as static methods, accessors inside a property.
//
// An implementation is a plain function of `py::handle` (or `py::object`) parameters,
// one per parameter of the signature line (`self` included); its result is converted
// as the binding layer converts results, and its exceptions are translated as the
// binding layer translates them. A constructor's factory takes the parameters after
// `self` and returns the class's value.
#pragma once

#include <Python.h>

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>

#include "python/attachment.hpp"
#include "python/instances.hpp"

namespace quorvane::python {

namespace py = pybind11;

// The parameters of one callable; made at module setup and kept for the process.
struct Parameters;

namespace table_detail {

// Matches a vectorcall's arguments to the parameters, positional then keyword, and
// fills in defaults: `out[i]` gets a borrowed reference for parameter i. On a wrong
// number of arguments, an unknown keyword or a duplicate, sets a TypeError naming
// the callable and returns false; without memory for that error's text, a MemoryError.
// Never throws.
bool bind_arguments(const Parameters& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out);

// Sets the Python error for the C++ exception being handled.
void translate_exception();

// Whether this thread's storage is made (see engine/temporal/thread_storage.hpp); set once by
// prepare_thread_storage.
extern thread_local constinit bool t_storage_prepared;
void prepare_thread_storage();
// Every call into the module comes here first, on the calling thread: the thread's
// storage is made before anything that may run out of memory.
inline void prepare_thread() {
    if (!t_storage_prepared) [[unlikely]]
        prepare_thread_storage();
}

template <class T>
T argument(PyObject* obj) {
    if constexpr (std::is_same_v<T, py::object>) return py::reinterpret_borrow<py::object>(obj);
    else return py::handle(obj);
}

template <auto F>
struct Entry;

// The builtin's C function for the implementation F. Every implementation is
// registered once, so its parameters can live with its entry.
template <class R, class... A, R (*F)(A...)>
struct Entry<F> {
    static constexpr std::size_t arity = sizeof...(A);
    static inline const Parameters* params = nullptr;

    static PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        prepare_thread();
        std::array<PyObject*, arity> bound{};
        if (!bind_arguments(*params, args, nargs, kwnames, bound.data())) return nullptr;
        try {
            return invoke(bound, std::index_sequence_for<A...>{});
        } catch (py::error_already_set& e) {
            e.restore();
            return nullptr;
#if defined(__GLIBCXX__)
        } catch (const detail::ForcedUnwind&) {
            throw;
#endif
        } catch (...) {
            translate_exception();
            return nullptr;
        }
    }

  private:
    template <std::size_t... I>
    static PyObject* invoke(const std::array<PyObject*, arity>& bound, std::index_sequence<I...>) {
        if constexpr (std::is_void_v<R>) {
            F(argument<std::decay_t<A>>(bound[I])...);
            return Py_NewRef(Py_None);
        } else if constexpr (std::is_base_of_v<py::handle, R>) {
            return F(argument<std::decay_t<A>>(bound[I])...).release().ptr();
        } else {
            return to_instance(F(argument<std::decay_t<A>>(bound[I])...)).release().ptr();
        }
    }
};

// The `__init__` made from the factory F: the binding layer's own constructor (which
// creates the instance's value from F's result) is kept as the target, and the
// builtin, once it has matched the arguments to the parameters, hands them to it by
// position together with `self`.
template <class T>
struct ClassOf {
    using type = T;
};
template <class T>
struct ClassOf<std::unique_ptr<T>> {
    using type = T;
};

template <auto F>
struct Constructor;

template <class R, class... A, R (*F)(A...)>
struct Constructor<F> {
    static constexpr std::size_t arity = sizeof...(A) + 1;
    static inline const Parameters* params = nullptr;
    static inline PyObject* target = nullptr;

    static PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        prepare_thread();
        std::array<PyObject*, arity> bound{};
        if (!bind_arguments(*params, args, nargs, kwnames, bound.data())) return nullptr;
        return PyObject_Vectorcall(target, bound.data(), arity, nullptr);
    }

    // Defines the binding layer's constructor on `cls`, which then holds it as `__init__`.
    static void install(py::handle cls) {
        using Class = py::class_<typename ClassOf<R>::type>;
        py::reinterpret_borrow<Class>(cls).def(py::init(F));
    }
};

}  // namespace table_detail

using EntryPoint = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// One implementation: its C function, where that function finds its parameters, and
// how many parameters the implementation takes.
struct Callee {
    EntryPoint entry = nullptr;
    const Parameters** params = nullptr;
    std::size_t arity = 0;
    // Constructors only: defines the binding layer's constructor, and where the entry finds it.
    void (*install)(py::handle cls) = nullptr;
    PyObject** target = nullptr;
};

template <auto F>
constexpr Callee callee() {
    using E = table_detail::Entry<F>;
    return Callee{&E::call, &E::params, E::arity};
}

enum class RowKind { Function, Static, Method, Property, Constructor };

// `name` and `doc` must be static text: the builtins keep pointing at them. A property's
// doc is plain text (no signature line); its getter takes `self`, its setter `self, value`.
struct Row {
    RowKind kind;
    const char* name;
    const char* doc;
    Callee call;
    Callee set;  // properties only; no entry: read-only
};

// `__init__`, from a factory of the class's value (docstring "__init__(self, ...)").
template <auto F>
constexpr Row constructor(const char* doc) {
    using E = table_detail::Constructor<F>;
    return Row{RowKind::Constructor, "__init__", doc, Callee{&E::call, &E::params, E::arity, &E::install, &E::target},
               {}};
}
template <auto F>
constexpr Row function(const char* name, const char* doc) {
    return Row{RowKind::Function, name, doc, callee<F>(), {}};
}
template <auto F>
constexpr Row static_method(const char* name, const char* doc) {
    return Row{RowKind::Static, name, doc, callee<F>(), {}};
}
// A method whose docstring has no signature line takes `self` alone.
template <auto F>
constexpr Row method(const char* name, const char* doc) {
    return Row{RowKind::Method, name, doc, callee<F>(), {}};
}
template <auto Get>
constexpr Row property(const char* name, const char* doc) {
    return Row{RowKind::Property, name, doc, callee<Get>(), {}};
}
template <auto Get, auto Set>
constexpr Row property(const char* name, const char* doc) {
    return Row{RowKind::Property, name, doc, callee<Get>(), callee<Set>()};
}

// Adds the static constructors, methods and properties of `rows` to the class `cls`, in
// order; `module_name` becomes their `__module__`.
void define_members(py::handle cls, py::handle module_name, std::span<const Row> rows);

// A builtin function of `row` (a Function row) whose `__self__` is `module`.
py::object make_module_function(py::handle module, const Row& row);

}  // namespace quorvane::python
