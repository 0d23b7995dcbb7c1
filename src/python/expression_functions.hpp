// Module functions over whole flat expressions: shifting, evaluation on a state,
// simplification under assumed fluent values, and listing the fluents read.
#pragma once

#include "python/module.hpp"

namespace quorvane::python {

void add_shift_expression(ModuleBuilder& b);
// Adds evaluate, simplify and get_fluents, in that order.
void add_expression_functions(ModuleBuilder& b);

}  // namespace quorvane::python
