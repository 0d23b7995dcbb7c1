// The module-level search functions.
#pragma once

#include "python/module.hpp"

namespace quorvane::python {

// Adds dfs_search, bfs_search, multiqueue_search, wastar_search,
// wastar_search_memory_bounded, astar_search, astar_search_memory_bounded,
// gbfs_search, gbfs_search_memory_bounded and ehc_search, in that order.
void add_search_functions(ModuleBuilder& b);

}  // namespace quorvane::python
