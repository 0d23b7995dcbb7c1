// The process-wide table of object names, which value cells refer to by id.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvane {

// The id of an object name in the process-wide table of names. Names only come from the
// caller's expressions, so the table stays as small as the tasks' object names; an id
// never changes and its name is never freed.
std::uint64_t intern_object_name(std::string_view name);
const std::string& object_name_of(std::uint64_t id);

}  // namespace quorvane
