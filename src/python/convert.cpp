#include "python/convert.hpp"

#include "engine/support/number.hpp"
#include "python/instances.hpp"

#include <limits>
#include <stdexcept>
#include <unordered_map>

namespace quorvane::python {

namespace {

PyObject* g_internal_error = nullptr;

PyObject* exception_type_for(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::Exception: return PyExc_Exception;
        case ErrorKind::ValueError: return PyExc_ValueError;
        case ErrorKind::TypeError: return PyExc_TypeError;
        case ErrorKind::OverflowError: return PyExc_OverflowError;
        case ErrorKind::ZeroDivisionError: return PyExc_ZeroDivisionError;
        case ErrorKind::TimeoutError: return PyExc_TimeoutError;
        case ErrorKind::NotImplementedError: return PyExc_NotImplementedError;
    }
    return PyExc_Exception;
}

void add_note_to_pending(const char* arg) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value) {
        std::string note = std::string("argument '") + arg + "'";
        PyObject* r = PyObject_CallMethod(value, "add_note", "s", note.c_str());
        if (r) Py_DECREF(r);
        else PyErr_Clear();  // a note is a courtesy; keep the original error
        if (tb) PyException_SetTraceback(value, tb);
    }
    PyErr_Restore(type, value, tb);
}

bool is_numpy_bool(py::handle obj) {
    PyTypeObject* t = Py_TYPE(obj.ptr());
    std::string_view name = t->tp_name;
    return name == "numpy.bool" || name == "numpy.bool_";
}

}  // namespace

PyObject* internal_error_type() {
    if (!g_internal_error) {
        g_internal_error = PyErr_NewExceptionWithDoc(
            "quorvane.InternalError",
            "A broken internal invariant of the quorvane engine. Derived from BaseException.",
            PyExc_BaseException, nullptr);
        if (!g_internal_error) throw py::error_already_set();
    }
    return g_internal_error;
}

void install_exception_translation() {
    internal_error_type();
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const Error& e) {
            PyErr_SetString(exception_type_for(e.kind()), e.what());
        } catch (const InternalError& e) {
            PyErr_SetString(g_internal_error, e.what());
        } catch (const py::builtin_exception&) {
            throw;
        } catch (const py::error_already_set&) {
            throw;
        } catch (const std::bad_alloc&) {
            throw;  // the binding layer raises MemoryError
        } catch (const std::length_error& e) {
            // A container asked for more than it can ever hold: out of memory, not a broken invariant.
            PyErr_SetString(PyExc_MemoryError, e.what());
        } catch (const std::exception& e) {
            // pybind11 gives up with a plain exception when the interpreter cannot make
            // an object (a list, a dict, an int): the interpreter's MemoryError is pending.
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) return;
            // Anything else escaping the engine means an invariant broke.
            PyErr_SetString(g_internal_error, e.what());
        }
    });
}

[[noreturn]] void rethrow_with_note(const char* arg) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "conversion failed");
    add_note_to_pending(arg);
    throw py::error_already_set();
}

[[noreturn]] void raise_arg_error(PyObject* exc_type, const std::string& message, const char* arg) {
    PyErr_SetString(exc_type, message.c_str());
    rethrow_with_note(arg);
}

std::string type_name_of(py::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

void* bound_value(py::handle obj, const std::type_info& type, const char* arg, const char* class_name) {
    const py::detail::type_info* info = py::detail::get_type_info(type);
    if (!info) throw InternalError(std::string("the class ") + class_name + " is not registered");
    // The object's real type: isinstance() would also believe an object's `__class__` attribute.
    if (!PyType_IsSubtype(Py_TYPE(obj.ptr()), info->type))
        raise_arg_error(PyExc_TypeError,
                        "'" + type_name_of(obj) + "' object cannot be converted to '" + class_name + "'", arg);
    auto* inst = reinterpret_cast<py::detail::instance*>(obj.ptr());
    py::detail::value_and_holder vh = inst->get_value_and_holder(info, /*throw_if_missing=*/false);
    // `__new__` alone leaves the holder unconstructed (and the value unset, or allocated
    // but never initialised); every object the module makes owns a constructed holder.
    const bool constructed = vh.inst && vh.value_ptr() && (vh.holder_constructed() || !inst->owned);
    if (!constructed)
        raise_arg_error(PyExc_TypeError,
                        "'" + type_name_of(obj) + "' object is not initialized: it was made by __new__ without " +
                            class_name + "'s constructor",
                        arg);
    return vh.value_ptr();
}

namespace {

// `__new__` of a class without a constructor: the same refusal as calling the class.
// Its `__self__` is the class, which names the refusal when no class is passed.
PyObject* refuse_new(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
    PyObject* type = PyVectorcall_NARGS(nargs) > 0 && PyType_Check(args[0]) ? args[0] : cls;
    PyErr_Format(PyExc_TypeError, "%s: No constructor defined!", reinterpret_cast<PyTypeObject*>(type)->tp_name);
    return nullptr;
}

PyMethodDef refuse_new_def = {"__new__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(refuse_new)),
                              METH_FASTCALL | METH_KEYWORDS, "__new__(cls, /, *args, **kwargs)\n--\n\n"};

}  // namespace

void refuse_direct_construction(py::handle cls) {
    py::object module_name = cls.attr("__module__");
    PyObject* fn = PyCFunction_NewEx(&refuse_new_def, cls.ptr(), module_name.ptr());
    if (!fn) throw py::error_already_set();
    cls.attr("__new__") = py::staticmethod(py::reinterpret_steal<py::object>(fn));
}

namespace {
// The value of obj through its integer-index protocol, as a new int object.
py::object index_of(py::handle obj, const char* arg) {
    PyObject* r = PyNumber_Index(obj.ptr());
    if (!r) rethrow_with_note(arg);
    return py::reinterpret_steal<py::object>(r);
}

[[noreturn]] void out_of_range(const char* arg) {
    raise_arg_error(PyExc_OverflowError, "out of range integral type conversion attempted", arg);
}
}  // namespace

std::uint64_t to_u64(py::handle obj, const char* arg) {
    py::object v = index_of(obj, arg);
    unsigned long long r = PyLong_AsUnsignedLongLong(v.ptr());
    if (r == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        out_of_range(arg);
    }
    return r;
}

std::uint32_t to_u32(py::handle obj, const char* arg) {
    std::uint64_t v = to_u64(obj, arg);
    if (v > std::numeric_limits<std::uint32_t>::max()) out_of_range(arg);
    return static_cast<std::uint32_t>(v);
}

std::int32_t to_i32(py::handle obj, const char* arg) {
    py::object v = index_of(obj, arg);
    int overflow = 0;
    long long r = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (r == -1 && PyErr_Occurred()) rethrow_with_note(arg);
    if (overflow || r < std::numeric_limits<std::int32_t>::min() || r > std::numeric_limits<std::int32_t>::max())
        out_of_range(arg);
    return static_cast<std::int32_t>(r);
}

double to_f64(py::handle obj, const char* arg) {
    double r = PyFloat_AsDouble(obj.ptr());
    if (r == -1.0 && PyErr_Occurred()) rethrow_with_note(arg);
    return r;
}

bool to_bool(py::handle obj, const char* arg) {
    if (obj.ptr() == Py_True) return true;
    if (obj.ptr() == Py_False) return false;
    if (is_numpy_bool(obj)) {
        int r = PyObject_IsTrue(obj.ptr());
        if (r < 0) rethrow_with_note(arg);
        return r == 1;
    }
    raise_arg_error(PyExc_TypeError, "'" + type_name_of(obj) + "' object cannot be converted to 'bool'", arg);
}

std::string to_str(py::handle obj, const char* arg) {
    if (!PyUnicode_Check(obj.ptr()))
        raise_arg_error(PyExc_TypeError, "'" + type_name_of(obj) + "' object cannot be converted to 'str'", arg);
    Py_ssize_t len = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj.ptr(), &len);
    if (!data) rethrow_with_note(arg);
    return std::string(data, static_cast<std::size_t>(len));
}

std::size_t sequence_length(py::handle obj, const char* arg, const char* target) {
    if (PyUnicode_Check(obj.ptr()))
        raise_arg_error(PyExc_TypeError, std::string("a 'str' is not accepted as a sequence of ") + target, arg);
    if (!PySequence_Check(obj.ptr()))
        raise_arg_error(PyExc_TypeError, "'" + type_name_of(obj) + "' object cannot be converted to 'Sequence'",
                        arg);
    Py_ssize_t n = PySequence_Size(obj.ptr());
    if (n < 0) rethrow_with_note(arg);
    return static_cast<std::size_t>(n);
}

void check_tuple(py::handle obj, std::size_t n, const char* arg) {
    if (!PyTuple_Check(obj.ptr()))
        raise_arg_error(PyExc_TypeError, "'" + type_name_of(obj) + "' object cannot be converted to 'tuple'", arg);
    std::size_t len = static_cast<std::size_t>(PyTuple_GET_SIZE(obj.ptr()));
    if (len != n)
        raise_arg_error(PyExc_ValueError,
                        "expected tuple of length " + std::to_string(n) + ", but got tuple of length " +
                            std::to_string(len),
                        arg);
}

ExpressionNode to_node(py::handle obj, const char* arg) {
    return instance_of<ExpressionNode>(obj, arg, "ExpressionNode");
}

FlatExpr to_expr(py::handle obj, const char* arg) {
    return sequence_to_vector<ExpressionNode>(obj, arg, "ExpressionNode",
                                              [arg](py::handle item) { return to_node(item, arg); });
}

std::vector<FlatExpr> to_expr_list(py::handle obj, const char* arg) {
    return sequence_to_vector<FlatExpr>(obj, arg, "expressions", [arg](py::handle item) { return to_expr(item, arg); });
}

std::vector<NodeIndex> to_index_list(py::handle obj, const char* arg) {
    return sequence_to_vector<NodeIndex>(obj, arg, "int", [arg](py::handle item) { return to_u64(item, arg); });
}

Action to_action(py::handle obj, const char* arg) { return instance_of<Action>(obj, arg, "Action"); }
Effect to_effect(py::handle obj, const char* arg) { return instance_of<Effect>(obj, arg, "Effect"); }
Timing to_timing(py::handle obj, const char* arg) { return instance_of<Timing>(obj, arg, "Timing"); }
Event to_event(py::handle obj, const char* arg) { return instance_of<Event>(obj, arg, "Event"); }

TimedEvent to_timed_event(py::handle obj, const char* arg) {
    check_tuple(obj, 2, arg);
    return {to_timing(PyTuple_GET_ITEM(obj.ptr(), 0), arg), to_event(PyTuple_GET_ITEM(obj.ptr(), 1), arg)};
}

std::vector<Action> to_action_list(py::handle obj, const char* arg) {
    return sequence_to_vector<Action>(obj, arg, "Action", [arg](py::handle item) { return to_action(item, arg); });
}

std::vector<std::string> to_str_list(py::handle obj, const char* arg) {
    return sequence_to_vector<std::string>(obj, arg, "str", [arg](py::handle item) { return to_str(item, arg); });
}

void check_dict(py::handle obj, const char* arg) {
    if (!PyDict_Check(obj.ptr()))
        raise_arg_error(PyExc_TypeError, "'" + type_name_of(obj) + "' object cannot be converted to 'dict'", arg);
}
std::vector<std::pair<py::object, py::object>> dict_items(py::handle obj, const char* arg) {
    PyObject* items = PyDict_Items(obj.ptr());
    if (!items) rethrow_with_note(arg);
    py::list list = py::reinterpret_steal<py::list>(items);
    std::vector<std::pair<py::object, py::object>> out;
    out.reserve(list.size());
    for (py::handle item : list) {
        PyObject* t = item.ptr();
        out.emplace_back(py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(t, 0)),
                         py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(t, 1)));
    }
    return out;
}

ActionEvents to_action_events(py::handle obj, const char* arg) {
    check_dict(obj, arg);
    ActionEvents out;
    std::unordered_map<std::uint64_t, std::size_t> position;  // action index -> entry of `out`
    // Convert from a snapshot of the items: converting may run Python code that changes the dict.
    for (auto [k, v] : dict_items(obj, arg)) {
        Action a = to_action(k, arg);
        std::vector<TimedEvent> events = sequence_to_vector<TimedEvent>(
            v, arg, "(Timing, Event)", [arg](py::handle item) { return to_timed_event(item, arg); });
        // Keys compare by index: a later Action with the same index replaces the earlier entry.
        auto [it, inserted] = position.try_emplace(a.idx, out.size());
        if (inserted) out.emplace_back(a, std::move(events));
        else out[it->second].second = std::move(events);
    }
    return out;
}

ObjectsByType to_objects_by_type(py::handle obj, const char* arg) {
    check_dict(obj, arg);
    ObjectsByType out;
    for (auto [k, v] : dict_items(obj, arg)) {
        out.emplace_back(to_str(k, arg), to_str_list(v, arg));
    }
    return out;
}

py::object node_to_py(ExpressionNode node) { return to_instance(std::move(node)); }

py::list expr_to_py(const FlatExpr& expr) {
    py::list out(expr.size());
    for (std::size_t i = 0; i < expr.size(); ++i) out[i] = to_instance(expr[i]);
    return out;
}

py::list expr_list_to_py(const std::vector<FlatExpr>& list) {
    py::list out(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) out[i] = expr_to_py(list[i]);
    return out;
}

py::object action_to_py(Action a) { return to_instance(a); }

py::list action_list_to_py(const std::vector<Action>& actions) {
    py::list out(actions.size());
    for (std::size_t i = 0; i < actions.size(); ++i) out[i] = action_to_py(actions[i]);
    return out;
}

namespace {
py::object fraction_class() {
    py::module_ fractions = py::module_::import("fractions");
    return fractions.attr("Fraction");
}

std::optional<std::int32_t> as_i32(py::handle obj) {
    PyObject* v = PyNumber_Index(obj.ptr());
    if (!v) {
        PyErr_Clear();
        return std::nullopt;
    }
    int overflow = 0;
    long long r = PyLong_AsLongLongAndOverflow(v, &overflow);
    Py_DECREF(v);
    if (r == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    if (overflow || r < std::numeric_limits<std::int32_t>::min() || r > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(r);
}
}  // namespace

Rational get_big_rational(py::handle obj) {
    if (auto v = as_i32(obj)) return Rational(Integer(*v));
    auto fail = [] { raise(ErrorKind::ValueError, "Unable to parse Rational number"); };
    try {
        py::object fraction = fraction_class();
        int is = PyObject_IsInstance(obj.ptr(), fraction.ptr());
        if (is != 1) {
            PyErr_Clear();
            fail();
        }
        std::optional<std::int32_t> n, d;
        {
            PyObject* a = PyObject_GetAttrString(obj.ptr(), "numerator");
            if (!a) {
                PyErr_Clear();
                fail();
            }
            n = as_i32(a);
            Py_DECREF(a);
            if (!n) fail();
        }
        {
            PyObject* a = PyObject_GetAttrString(obj.ptr(), "denominator");
            if (!a) {
                PyErr_Clear();
                fail();
            }
            d = as_i32(a);
            Py_DECREF(a);
            if (!d) fail();
        }
        return mk_rational(*n, *d);
    } catch (const py::error_already_set&) {
        PyErr_Clear();
        fail();
    }
    fail();
    return Rational();
}

std::optional<Rational> get_option_big_rational(py::handle obj) {
    if (obj.is_none()) return std::nullopt;
    return get_big_rational(obj);
}

py::object big_rational_to_py_fraction(const Rational& r) {
    py::object fraction = fraction_class();
    return fraction(py::str(r.to_string()));
}

py::object integer_to_py(const Integer& i) {
    if (auto v = i.to_int64()) return py::int_(static_cast<long long>(*v));
    PyObject* r = PyLong_FromString(i.to_string().c_str(), nullptr, 10);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

}  // namespace quorvane::python
