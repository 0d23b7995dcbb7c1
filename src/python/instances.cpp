#include "python/instances.hpp"

namespace quorvane::python {

namespace instances_detail {
thread_local constinit int t_converting = 0;
}  // namespace instances_detail

namespace {

// The interpreter's own allocation. Only pybind11's making of an instance for a
// conversion comes here while t_converting is set, with nothing but C++ frames between
// the conversion and this function, so the error may be thrown to it.
PyObject* allocate_instance(PyTypeObject* type, Py_ssize_t items) {
    PyObject* obj = PyType_GenericAlloc(type, items);
    if (!obj && instances_detail::t_converting > 0) throw py::error_already_set();
    return obj;
}

}  // namespace

void guard_instance_allocation(py::handle cls) {
    reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_alloc = allocate_instance;
}

}  // namespace quorvane::python
