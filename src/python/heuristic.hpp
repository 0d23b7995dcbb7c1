// The Python class `Heuristic` and the conversion of a (Heuristic, float) pair.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

#include "engine/heuristics/heuristic.hpp"
#include "python/module.hpp"

namespace quorvane::python {

// The engine heuristic inside a Python `Heuristic` object (TypeError naming `arg` otherwise).
const Heuristic& to_heuristic(py::handle obj, const char* arg);

// A (Heuristic, float) tuple as a private copy of the heuristic (sharing its internal
// caches) and the weight. Errors carry a note naming `arg`.
std::pair<Heuristic, double> to_heuristic_pair(py::handle obj, const char* arg);

void register_heuristic(ModuleBuilder& b);

}  // namespace quorvane::python
