#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <optional>

#include <sys/resource.h>
#include <sys/sysinfo.h>

#include "engine/support/memory_probe.hpp"

namespace probe = quorvane::support;

namespace {

std::size_t physical_memory() {
    struct sysinfo machine {};
    if (::sysinfo(&machine) != 0) return 0;
    return static_cast<std::size_t>(machine.totalram) * machine.mem_unit;
}

// In a child process: lowers the address-space limit to `bytes` and exits with 0 when
// the ceiling follows it.
[[noreturn]] void exit_whether_ceiling_follows(std::size_t bytes) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(2);
    limit.rlim_cur = bytes;
    if (::setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(3);
    std::_Exit(probe::process_memory_ceiling() == bytes ? 0 : 1);
}

}  // namespace

TEST(MemoryProbe, CeilingFollowsAnAddressSpaceLimitSetInTheProcess) {
    const std::size_t ram = physical_memory();
    ASSERT_GT(ram, std::size_t{64} << 20);
    // Below the machine's memory, and not a round number.
    const std::size_t bytes = ram / 2 + 12345 * 4096;
    EXPECT_EXIT(exit_whether_ceiling_follows(bytes), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(exit_whether_ceiling_follows(bytes / 3), ::testing::ExitedWithCode(0), "");
}

TEST(MemoryProbe, CeilingWithoutALimitIsAtLeastThePhysicalMemory) {
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_AS, &limit), 0);
    if (limit.rlim_cur != RLIM_INFINITY) GTEST_SKIP() << "this process runs under an address-space limit";
    EXPECT_GE(probe::process_memory_ceiling(), physical_memory());
}

TEST(MemoryProbe, AvailableMemoryIsInBytesAndWithinTheMachine) {
    struct sysinfo machine {};
    ASSERT_EQ(::sysinfo(&machine), 0);
    const std::optional<std::size_t> available = probe::meminfo_available();
    ASSERT_TRUE(available.has_value());
    EXPECT_LE(*available, physical_memory());
    // The kernel's estimate counts free memory and more; read in kB it would be far below.
    EXPECT_GE(*available, static_cast<std::size_t>(machine.freeram) * machine.mem_unit / 4);
}

TEST(MemoryProbe, ReserveIsTheLargerOf256MiBAndTwoPercentOfTheMachine) {
    const std::size_t reserve = probe::memory_reserve();
    EXPECT_GE(reserve, std::size_t{256} << 20);
    EXPECT_GE(reserve, physical_memory() / 50);
    EXPECT_LT(reserve, physical_memory());
}
