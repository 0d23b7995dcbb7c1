// The rows of the registration tables made into builtins: their parameters read from
// the docstrings, and the matching of a call's arguments to them.
#include "python/table.hpp"

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <pybind11/detail/exception_translation.h>

#include "engine/temporal/thread_storage.hpp"

namespace quorvane::python {

// Names are interned str; a default is null for a required parameter. Every reference
// here is kept for the life of the process, as are the builtins that use them.
struct Parameters {
    std::string qualname;
    std::vector<PyObject*> names;
    std::vector<PyObject*> defaults;
    std::size_t required = 0;
};

namespace table_detail {

namespace {

std::string plural(std::size_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter lists missing arguments.
std::string quoted_list(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'" + names[i] + "'";
    }
    return out;
}

bool type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

bool too_many_positional(const Parameters& p, std::size_t given) {
    const std::size_t n = p.names.size();
    std::string takes = p.required == n ? plural(n, "positional argument")
                                        : "from " + std::to_string(p.required) + " to " + plural(n, "positional argument");
    return type_error(p.qualname + "() takes " + takes + " but " + std::to_string(given) +
                      (given == 1 ? " was" : " were") + " given");
}

std::optional<std::size_t> parameter_index(const Parameters& p, PyObject* keyword) {
    for (std::size_t i = 0; i < p.names.size(); ++i)
        if (p.names[i] == keyword) return i;
    for (std::size_t i = 0; i < p.names.size(); ++i) {
        int equal = PyObject_RichCompareBool(p.names[i], keyword, Py_EQ);
        if (equal < 0) PyErr_Clear();
        if (equal > 0) return i;
    }
    return std::nullopt;
}

bool bind_keywords(const Parameters& p, PyObject* const* values, PyObject* kwnames, PyObject** out) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        std::optional<std::size_t> i = parameter_index(p, keyword);
        if (!i) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", p.qualname.c_str(),
                         keyword);
            return false;
        }
        if (out[*i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", p.qualname.c_str(),
                         p.names[*i]);
            return false;
        }
        out[*i] = values[k];
    }
    return true;
}

bool bind_or_refuse(const Parameters& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out) {
    const std::size_t given = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
    if (given > p.names.size()) return too_many_positional(p, given);
    for (std::size_t i = 0; i < given; ++i) out[i] = args[i];
    if (kwnames && !bind_keywords(p, args + given, kwnames, out)) return false;
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < p.names.size(); ++i) {
        if (out[i]) continue;
        if (p.defaults[i]) out[i] = p.defaults[i];
        else missing.emplace_back(PyUnicode_AsUTF8(p.names[i]));
    }
    if (missing.empty()) return true;
    return type_error(p.qualname + "() missing " + plural(missing.size(), "required positional argument") + ": " +
                      quoted_list(missing));
}

}  // namespace

bool bind_arguments(const Parameters& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out) {
    try {
        return bind_or_refuse(p, args, nargs, kwnames, out);
    } catch (const std::exception&) {
        // Only the texts of the errors allocate: out of memory for one.
        PyErr_NoMemory();
        return false;
    }
}

void translate_exception() { py::detail::try_translate_exceptions(); }

thread_local constinit bool t_storage_prepared = false;

void prepare_thread_storage() {
    quorvane::prepare_thread_storage();
    t_storage_prepared = true;
}

}  // namespace table_detail

namespace {

constexpr std::string_view kSignatureEnd = ")\n--\n\n";

[[noreturn]] void setup_error(const std::string& qualname, const std::string& what) {
    throw std::runtime_error("cannot register " + qualname + ": " + what);
}

// The text between the parentheses of the docstring's signature line, or nothing when
// the docstring has no signature line.
std::optional<std::string_view> parameter_list(std::string_view name, std::string_view doc) {
    if (!doc.starts_with(name) || doc.substr(name.size(), 1) != "(") return std::nullopt;
    const std::size_t end = doc.find(kSignatureEnd);
    if (end == std::string_view::npos || doc.find('\n') != end + 1) return std::nullopt;
    return doc.substr(name.size() + 1, end - name.size() - 1);
}

std::vector<std::string_view> split_parameters(std::string_view list) {
    std::vector<std::string_view> out;
    while (!list.empty()) {
        const std::size_t comma = list.find(", ");
        out.push_back(list.substr(0, comma));
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 2);
    }
    return out;
}

// The declared parameters of one of a row's callables.
std::vector<std::string_view> declared_parameters(const Row& row, bool setter, const std::string& qualname) {
    if (row.kind == RowKind::Property) return setter ? std::vector<std::string_view>{"self", "value"}
                                                     : std::vector<std::string_view>{"self"};
    if (std::optional<std::string_view> list = parameter_list(row.name, row.doc)) return split_parameters(*list);
    if (row.kind == RowKind::Method && std::string_view(row.doc).find("\n--\n\n") == std::string_view::npos)
        return {"self"};
    setup_error(qualname, "its docstring does not begin with its signature line");
}

bool is_identifier(std::string_view s) {
    if (s.empty() || (s[0] >= '0' && s[0] <= '9')) return false;
    for (char c : s)
        if (!(c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
    return true;
}

// The constants a signature line may give as defaults.
PyObject* default_value(std::string_view text) {
    if (text == "None") return Py_None;
    if (text == "False") return Py_False;
    if (text == "True") return Py_True;
    return nullptr;
}

const Parameters* make_parameters(const std::string& qualname, const std::vector<std::string_view>& declared,
                                  std::size_t arity) {
    if (declared.size() != arity)
        setup_error(qualname, "the signature line names " + std::to_string(declared.size()) +
                                  " parameters but the implementation takes " + std::to_string(arity));
    auto* p = new Parameters{qualname, {}, {}, 0};
    for (std::string_view text : declared) {
        const std::size_t eq = text.find('=');
        std::string_view name = text.substr(0, eq);
        PyObject* value = eq == std::string_view::npos ? nullptr : default_value(text.substr(eq + 1));
        if (!is_identifier(name) || (eq != std::string_view::npos && !value))
            setup_error(qualname, "cannot read the parameter '" + std::string(text) + "'");
        if (!value && p->required != p->names.size())
            setup_error(qualname, "a required parameter follows one with a default");
        PyObject* interned = PyUnicode_InternFromString(std::string(name).c_str());
        if (!interned) throw py::error_already_set();
        p->names.push_back(interned);
        p->defaults.push_back(Py_XNewRef(value));
        if (!value) ++p->required;
    }
    return p;
}

// A builtin calling `c`, whose `__self__` is `self`. The method table entry and the
// parameters stay for the life of the process, like the builtin's module.
py::object make_builtin(const Row& row, const Callee& c, bool setter, py::handle self, py::handle module_name,
                        const std::string& qualname) {
    if (*c.params) setup_error(qualname, "its implementation is registered twice");
    *c.params = make_parameters(qualname, declared_parameters(row, setter, qualname), c.arity);
    const char* doc = row.kind == RowKind::Property ? nullptr : row.doc;
    auto* def = new PyMethodDef{row.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(c.entry)),
                                METH_FASTCALL | METH_KEYWORDS, doc};
    PyObject* fn = PyCFunction_NewEx(def, self.ptr(), module_name.ptr());
    if (!fn) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(fn);
}

// Defines the binding layer's constructor and keeps it, for the life of the process, as
// the target of the row's builtin.
void install_constructor(py::handle cls, const Callee& c, const std::string& qualname) {
    if (*c.target) setup_error(qualname, "its factory is registered twice");
    c.install(cls);
    py::object defined = cls.attr("__dict__")["__init__"];
    if (!PyInstanceMethod_Check(defined.ptr())) setup_error(qualname, "the binding layer made no constructor");
    *c.target = Py_NewRef(PyInstanceMethod_GET_FUNCTION(defined.ptr()));
}

py::object make_member(py::handle cls, py::handle module_name, const Row& row) {
    const std::string qualname = py::str(cls.attr("__qualname__")).cast<std::string>() + "." + row.name;
    if (row.kind == RowKind::Constructor) install_constructor(cls, row.call, qualname);
    py::object fn = make_builtin(row, row.call, false, cls, module_name, qualname);
    PyObject* member = nullptr;
    switch (row.kind) {
        case RowKind::Static: member = PyStaticMethod_New(fn.ptr()); break;
        case RowKind::Method:
        case RowKind::Constructor: member = PyInstanceMethod_New(fn.ptr()); break;
        case RowKind::Property: {
            py::object set = py::none();
            if (row.set.entry) set = make_builtin(row, row.set, true, cls, module_name, qualname);
            py::handle type(reinterpret_cast<PyObject*>(&PyProperty_Type));
            return type(fn, set, py::none(), py::str(row.doc));
        }
        case RowKind::Function: setup_error(qualname, "a module function among a class's members");
    }
    if (!member) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(member);
}

}  // namespace

void define_members(py::handle cls, py::handle module_name, std::span<const Row> rows) {
    for (const Row& row : rows) cls.attr(row.name) = make_member(cls, module_name, row);
}

py::object make_module_function(py::handle module, const Row& row) {
    if (row.kind != RowKind::Function) setup_error(row.name, "not a module function");
    return make_builtin(row, row.call, false, module, module.attr("__name__"), row.name);
}

}  // namespace quorvane::python
