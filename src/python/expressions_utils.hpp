// Module functions over whole flat expressions: shifting, evaluation on a state,
// simplification under assumed fluent values, and listing the fluents read.
#pragma once

#include "python/module.hpp"

namespace quorvane::python {

void add_shift_expression(ModuleBuilder& b);
void add_evaluate(ModuleBuilder& b);
void add_simplify(ModuleBuilder& b);
void add_get_fluents(ModuleBuilder& b);

}  // namespace quorvane::python
