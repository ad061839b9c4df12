// Large blocks of every allocator lie on whole huge pages marked for
// transparent huge pages; small blocks are left to the C library as they are.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "kernels/array2d.h"
#include "kernels/ray_steps.h"
#include "mrc/mrc.h"
#include "mrc/mrc_block.h"
#include "mrc_test_util.h"

namespace {


// The mapping of /proc/self/smaps that holds an address.
struct mapping_t {
    uintptr_t start = 0, end = 0;
    std::string flags;  // the VmFlags line, " " + flags + " "
};

bool mapping_of(const void *p, mapping_t *out)
{
    const uintptr_t a = (uintptr_t)p;
    std::ifstream in("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        unsigned long lo, hi;
        char dash;
        std::istringstream head(line);
        if (line.compare(0, 8, "VmFlags:") != 0 && (head >> std::hex >> lo >> dash >> hi) &&
            dash == '-') {
            inside = a >= lo && a < hi;
            if (inside) {
                out->start = lo;
                out->end = hi;
            }
        } else if (inside && line.compare(0, 8, "VmFlags:") == 0) {
            out->flags = " " + line.substr(8) + " ";
            return true;
        }
    }
    return false;
}

bool marked(const mapping_t &m)
{
    return m.flags.find(" hg ") != std::string::npos;
}

// Why huge pages cannot be asked for here, or "" when they can.
std::string no_huge_pages()
{
    std::ifstream in("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string mode;
    if (!std::getline(in, mode)) return "the kernel has no transparent huge pages";
    if (mode.find("[never]") != std::string::npos)
        return "transparent huge pages are switched off (mode never)";
    return "";
}

// One allocator of the program: makes a block of `bytes` (a multiple of
// 4096), lets `look` see it and frees it again.
typedef std::function<void(const void *block)> look_fn;
struct allocator_t {
    const char *name;
    void (*with_block)(size_t bytes, const look_fn &look);
};

void with_array(int lanes, size_t bytes, const look_fn &look)
{
    // Rows of 4096 bytes: 1024 floats in all lanes.
    mrc_image_t rec = {};
    const int n = 1024 / lanes, rows = (int)(bytes / 4096);
    const int rc = lanes == 8   ? mrc_alloc_data_x8(&rec, n, rows, 1)
                   : lanes == 4 ? mrc_alloc_data_x4(&rec, n, rows, 1)
                                : mrc_alloc_data_x1(&rec, n, rows, 1);
    ASSERT_EQ(rc, 0);
    look(rec.data[0][0]);
    mrc_free_data(&rec);
}

const allocator_t allocators[] = {
    {"three-level array, 1 lane", [](size_t b, const look_fn &f) { with_array(1, b, f); }},
    {"three-level array, 4 lanes", [](size_t b, const look_fn &f) { with_array(4, b, f); }},
    {"three-level array, 8 lanes", [](size_t b, const look_fn &f) { with_array(8, b, f); }},
    {"read cache",
     [](size_t bytes, const look_fn &look) {
         // A tilt series of one image: each cache plane is one row of 4096
         // bytes, and as many rows as planes. Its voxels are never read.
         scratch_dir_t dir;
         const std::string path = dir.file("t.mrc");
         const int rows = (int)(bytes / 4096);
         mrc_raw_write(path, mrc_raw_file(mrc_raw_header(1024, rows, 1, 2),
                                                         "", ""));
         ASSERT_EQ(truncate(path.c_str(), 1024 + (off_t)bytes), 0);
         mrc_image_t rec;
         int depth = rows;
         ASSERT_EQ(mrc_open(path.c_str(), &rec, 0, 0, 0, &depth, 1), 0);
         ASSERT_EQ(depth, rows);
         look(rec.data[0][0]);
         mrc_close(&rec, NULL);
     }},
    {"write cache",
     [](size_t bytes, const look_fn &look) {
         scratch_dir_t dir;
         const int sections = (int)(bytes / 4096);
         mrc_image_t rec;
         int depth = sections;
         ASSERT_EQ(mrc_create(dir.file("v.mrc").c_str(), &rec, 1024, 1, sections, 0, &depth, 1, 0),
                   0);
         ASSERT_EQ(depth, sections);
         look(rec.data[0][0]);
         mrc_close(&rec, NULL);
     }},
    {"workers' step tables",
     [](size_t bytes, const look_fn &look) {
         const int pairs = (int)(bytes / (ray_steps_size(0) * sizeof(int32_t))) - 1;
         ASSERT_EQ(ray_steps_size(pairs) * sizeof(int32_t), bytes);
         ASSERT_EQ(ray_steps_init(2, pairs), 0);
         look(ray_steps_table(1));
         ray_steps_free();
     }},
    {"kernel tables",
     [](size_t bytes, const look_fn &look) {
         void **t = array2d_alloc(1024, (int)(bytes / 4096), sizeof(float));
         ASSERT_NE(t, nullptr);
         look(t[0]);
         array2d_free(t);
     }},
};

TEST(MrcBlock, LargeBlocksLieOnWholeMarkedHugePages)
{
    const std::string why = no_huge_pages();
    if (!why.empty()) GTEST_SKIP() << why;
    // The smallest large block, and one that ends inside a huge page.
    const size_t huge = MRC_BLOCK_HUGE_PAGE;
    for (size_t bytes : {MRC_BLOCK_HUGE_MIN, 2 * MRC_BLOCK_HUGE_MIN + 3 * 4096}) {
        const size_t whole = (bytes + huge - 1) / huge * huge;
        for (const allocator_t &a : allocators) {
            SCOPED_TRACE(std::string(a.name) + ", " + std::to_string(bytes) + " bytes");
            a.with_block(bytes, [&](const void *block) {
                ASSERT_NE(block, nullptr);
                EXPECT_EQ((uintptr_t)block % huge, 0u);
                mapping_t m;
                ASSERT_TRUE(mapping_of(block, &m));
                EXPECT_TRUE(marked(m)) << "VmFlags:" << m.flags;
                EXPECT_GE(m.end, (uintptr_t)block + whole);
            });
        }
    }
}

TEST(MrcBlock, SmallBlocksAreLeftAlone)
{
    const char *tunables = getenv("GLIBC_TUNABLES");
    if (tunables && strstr(tunables, "hugetlb"))
        GTEST_SKIP() << "the C library marks its own memory (GLIBC_TUNABLES=" << tunables << ")";
    // A page, and the largest block below the threshold.
    for (size_t bytes : {(size_t)4096, MRC_BLOCK_HUGE_MIN - 4096}) {
        for (const allocator_t &a : allocators) {
            SCOPED_TRACE(std::string(a.name) + ", " + std::to_string(bytes) + " bytes");
            a.with_block(bytes, [&](const void *block) {
                ASSERT_NE(block, nullptr);
                mapping_t m;
                ASSERT_TRUE(mapping_of(block, &m));
                EXPECT_FALSE(marked(m)) << "VmFlags:" << m.flags;
            });
        }
    }
}

}  // namespace
