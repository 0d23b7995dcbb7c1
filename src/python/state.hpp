// The Python class `State`: a frozen handle to a shared engine state.
#pragma once

#include <pybind11/pybind11.h>

#include "engine/state/state.hpp"
#include "python/module.hpp"

namespace quorvane::python {

struct PyState {
    StatePtr state;
};

py::object state_to_py(StatePtr state);
// The engine state inside a Python `State` object (TypeError naming `arg` otherwise).
const StatePtr& to_state(py::handle obj, const char* arg);

void register_state(ModuleBuilder& b);

}  // namespace quorvane::python
