#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/memory_figures.h"

namespace {

TEST(MemoryFigures, ByteSizesInReadableUnits)
{
    const struct {
        uint64_t n;
        double value;
        const char *unit;
    } cases[] = {
        {0, 0.0, "bytes"},
        {1023, 1023.0, "bytes"},
        {1024, 1.0, "KB"},
        {(1u << 20) - 1, ((1u << 20) - 1) / 1024.0, "KB"},
        {1u << 20, 1.0, "MB"},
        {3ull << 30, 3.0, "GB"},
        {1ull << 40, 1024.0, "GB"},
    };
    for (const auto &c : cases) {
        char unit[8] = "xxxxxxx";
        EXPECT_DOUBLE_EQ(format_byte_size(c.n, unit), c.value) << c.n;
        EXPECT_STREQ(unit, c.unit) << c.n;
    }
}

TEST(MemoryFigures, NinetyPercent)
{
    EXPECT_EQ(reaches_ninety_percent(1000, 900), 1);
    EXPECT_EQ(reaches_ninety_percent(1000, 899), 0);
    EXPECT_EQ(reaches_ninety_percent(1000, 5000), 1);
    EXPECT_EQ(reaches_ninety_percent(0, 0), 1);
}

TEST(MemoryFigures, ThisProcessAndHost)
{
    const uint64_t total = sysinfo_total_ram();
    EXPECT_GT(total, 0u);
    const uint64_t before = sysinfo_resident_bytes();
    EXPECT_GT(before, 0u);
    EXPECT_LT(before, total);
    // Touching 64 MiB must show in the resident size.
    std::vector<char> block(64u << 20, 1);
    EXPECT_GT(sysinfo_resident_bytes(), before + (32u << 20));
    EXPECT_EQ(block[12345], 1);

    // Address space that is never touched is not resident: 1 GiB mapped
    // must not show (the total program size would).
    const size_t untouched_bytes = 1u << 30;
    void *untouched = mmap(nullptr, untouched_bytes, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(untouched, MAP_FAILED);
    const uint64_t resident = sysinfo_resident_bytes();
    munmap(untouched, untouched_bytes);
    EXPECT_LT(resident, before + (96u << 20));
}

}  // namespace
