// How much memory this process may hold and the machine can still hand out, from
// sysinfo, getrlimit and /proc/meminfo.
#pragma once

#include <cstddef>
#include <optional>

namespace quorvane::support {

// The most memory this process can ever hold: the machine's memory (physical and swap)
// or the address-space limit, whichever is smaller.
std::size_t process_memory_ceiling();

// Memory the machine can still hand out without swapping (the kernel's own estimate),
// or nullopt where it does not say.
std::optional<std::size_t> meminfo_available();

// The machine is about to run out of memory when less than this is left: the larger of
// 256 MiB and 2% of its physical memory.
std::size_t memory_reserve();

}  // namespace quorvane::support
