// The instances of the bound classes that results are converted into.
//
// pybind11 makes the instance for a converted value without looking at what the
// interpreter's allocation gave it: when the interpreter is out of memory it writes
// through a null pointer. So every bound class allocates its instances through the
// module's allocator (guard_instance_allocation), which, while `to_instance` converts a
// value on this thread, throws the interpreter's MemoryError instead of returning null.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace quorvane::python {

namespace py = pybind11;

namespace instances_detail {
// How many conversions by `to_instance` are under way on this thread.
extern thread_local constinit int t_converting;
}  // namespace instances_detail

// Makes the bound class `cls` allocate its instances as described above. Elsewhere
// (the interpreter making an instance for `Cls(...)`) a failure is returned as before:
// nothing there could catch an exception.
void guard_instance_allocation(py::handle cls);

// py::cast(value): for a value of a bound class, the interpreter's MemoryError is thrown
// when its instance cannot be made.
template <class T>
py::object to_instance(T&& value) {
    int& converting = instances_detail::t_converting;
    struct Done {
        int& n;
        ~Done() { --n; }
    } done{++converting};
    return py::cast(std::forward<T>(value));
}

}  // namespace quorvane::python
