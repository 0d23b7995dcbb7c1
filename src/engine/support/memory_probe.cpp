// How much memory this process may hold and the machine can still hand out.
#include "engine/support/memory_probe.hpp"

#include <algorithm>
#include <cstdio>
#include <limits>

#include <sys/resource.h>
#include <sys/sysinfo.h>

namespace quorvane::support {

// The most memory this process can ever hold: the machine's memory (physical and swap)
// or the address-space limit, whichever is smaller.
std::size_t process_memory_ceiling() {
    std::size_t ceiling = std::numeric_limits<std::size_t>::max();
    struct sysinfo machine {};
    if (::sysinfo(&machine) == 0 && machine.mem_unit > 0) {
        const unsigned __int128 bytes =
            (static_cast<unsigned __int128>(machine.totalram) + machine.totalswap) * machine.mem_unit;
        if (bytes < ceiling) ceiling = static_cast<std::size_t>(bytes);
    }
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        ceiling = std::min<std::size_t>(ceiling, static_cast<std::size_t>(limit.rlim_cur));
    return ceiling;
}

// Memory the machine can still hand out without swapping (the kernel's own estimate),
// or nullopt where it does not say.
std::optional<std::size_t> meminfo_available() {
    std::FILE* f = std::fopen("/proc/meminfo", "r");
    if (!f) return std::nullopt;
    std::optional<std::size_t> out;
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
        unsigned long long kib = 0;
        if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) {
            out = static_cast<std::size_t>(kib) * 1024;
            break;
        }
    }
    std::fclose(f);
    return out;
}

// The machine is about to run out of memory when less than this is left: the larger of
// 256 MiB and 2% of its physical memory.
std::size_t memory_reserve() {
    std::size_t reserve = std::size_t{256} << 20;
    struct sysinfo machine {};
    if (::sysinfo(&machine) == 0 && machine.mem_unit > 0)
        reserve = std::max<std::size_t>(reserve, static_cast<std::size_t>(machine.totalram) * machine.mem_unit / 50);
    return reserve;
}

}  // namespace quorvane::support
