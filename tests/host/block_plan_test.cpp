#include "host/block_plan.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::vector<int> walk(const int32_t *list, int total)
{
    std::vector<int> out;
    int sum = 0;
    while (sum < total) {
        EXPECT_GE(list[out.size()], 1);
        sum += list[out.size()];
        out.push_back(list[out.size()]);
    }
    EXPECT_EQ(sum, total);
    return out;
}

struct PlainCase {
    const char *name;
    int W, H, D, N, B, Rq, Pq, s, ext;
    std::vector<int> rows, projs;
    const char *report;  // nullptr: report not checked
};

TEST(BlockPlan, PlainPlannerListsAndReport)
{
    const std::vector<PlainCase> cases = {
        {"worked example, no vector extension", 1024, 256, 1024, 61, 256, 0, 0, 1, 2,
         {24, 24, 24, 24, 24, 8}, {15, 15, 15, 15, 1},
         "Cache usage info:\n"
         "Split factor    = 1\n"
         "Row size        = 8 KB\n"
         "Projection size = 4 KB\n"
         "Cache block     = 256 KB\n"
         "KB for slice    = 195\n"
         "KB for sinogram = 61\n"
         "5 sets of 24 rows plus one of 8.\n"
         "4 sets of 15 projections plus one of 1.\n\n"},
        {"worked example, SSE, split 2", 512, 512, 512, 121, 1024, 0, 0, 2, 1,
         {98, 98, 98, 98, 98, 22}, {30, 30, 30, 30, 1},
         "Cache usage info:\n"
         "Split factor    = 2\n"
         "Row size        = 8 KB\n"
         "Projection size = 8 KB\n"
         "Cache block     = 1024 KB\n"
         "KB for slice    = 782\n"
         "KB for sinogram = 242\n"
         "5 sets of 98 rows plus one of 22.\n"
         "4 sets of 30 projections plus one of 1.\n\n"},
        // S == G: R*rowKB = 4*8 = 32, N*projKB = 8*4 = 32; sinogram gets 0 KB.
        {"slice equals sinogram", 1024, 8, 1024, 8, 64, 0, 0, 1, 2,
         {4}, {1, 1, 1, 1, 1, 1, 1, 1},
         "Cache usage info:\n"
         "Split factor    = 1\n"
         "Row size        = 8 KB\n"
         "Projection size = 4 KB\n"
         "Cache block     = 64 KB\n"
         "KB for slice    = 64\n"
         "KB for sinogram = 0\n"
         "1 sets of 4 rows.\n"
         "8 sets of 1 projections.\n\n"},
        {"huge cache block, one tile each way", 256, 64, 256, 40, 2000000000, 0, 0, 1, 2,
         {32}, {40}, nullptr},
        {"B = 0, no tile sizes given", 64, 8, 64, 3, 0, 0, 0, 1, 2,
         {1, 1, 1, 1}, {1, 1, 1},
         "Cache usage info:\n"
         "4 sets of 1 rows.\n"
         "3 sets of 1 projections.\n\n"},
        {"B = 0, requests above R and N", 64, 8, 64, 3, 0, 100, 100, 1, 1,
         {4}, {3}, "Cache usage info:\n1 sets of 4 rows.\n1 sets of 3 projections.\n\n"},
        {"B = 0, explicit tiles with remainders", 64, 20, 64, 7, 0, 4, 3, 2, 2,
         {4, 4, 4, 4, 4}, {3, 3, 1}, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        block_lists_t bl{nullptr, nullptr};
        testing::internal::CaptureStdout();
        int rc = plan_cache_blocks(c.W, c.H, c.D, c.N, c.B, c.Rq, c.Pq, c.s, 1,
                                   c.ext, &bl);
        std::string out = testing::internal::GetCapturedStdout();
        ASSERT_EQ(rc, 0);
        const int R = (c.H >> 1) * c.s;
        EXPECT_EQ(walk(bl.row_block_sizes, R), c.rows);
        EXPECT_EQ(walk(bl.proj_block_sizes, c.N), c.projs);
        // One allocation: row list starts right behind the projection list.
        EXPECT_EQ(bl.row_block_sizes, bl.proj_block_sizes + c.projs.size());
        if (c.report) {
            EXPECT_EQ(out, c.report);
        }
        block_lists_free(&bl);
    }
}

TEST(BlockPlan, QuietWhenNotVerbose)
{
    block_lists_t plain{nullptr, nullptr}, avx{nullptr, nullptr};
    testing::internal::CaptureStdout();
    int rc_plain = plan_cache_blocks(1024, 256, 1024, 61, 256, 0, 0, 1, 0, 2, &plain);
    int rc_avx = plan_cache_blocks_avx(1024, 256, 1024, 61, 256, 0, 1, 0, &avx);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_EQ(rc_plain, 0);
    ASSERT_EQ(rc_avx, 0);
    block_lists_free(&plain);
    block_lists_free(&avx);
}

TEST(BlockPlan, AvxPlannerListsAndReport)
{
    block_lists_t bl{nullptr, reinterpret_cast<int32_t *>(&bl)};
    testing::internal::CaptureStdout();
    ASSERT_EQ(plan_cache_blocks_avx(1024, 256, 1024, 61, 2048, 0, 1, 1, &bl), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(bl.row_block_sizes, nullptr);
    EXPECT_EQ(walk(bl.proj_block_sizes, 61), std::vector<int>{61});
    EXPECT_EQ(out,
              "Cache usage info:\n"
              "Split factor    = 1\n"
              "L1 cache block  = 64 KB (Row size)\n"
              "LLC block       = 1952 KB\n"
              "Projection size = 32 KB\n"
              "128 sets of 1 row.\n"
              "1 sets of 61 projections.\n\n");
    block_lists_free(&bl);

    // B = 0 uses Pq and still prints the report; remainder block shown.
    testing::internal::CaptureStdout();
    ASSERT_EQ(plan_cache_blocks_avx(512, 64, 256, 10, 0, 4, 2, 1, &bl), 0);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(walk(bl.proj_block_sizes, 10), (std::vector<int>{4, 4, 2}));
    EXPECT_EQ(out,
              "Cache usage info:\n"
              "Split factor    = 2\n"
              "L1 cache block  = 16 KB (Row size)\n"
              "LLC block       = 32 KB\n"
              "Projection size = 8 KB\n"
              "64 sets of 1 row.\n"
              "2 sets of 4 projections plus one of 2.\n\n");
    block_lists_free(&bl);
}

// Projections per set = B / projKB rounded half up; projKB = 32 for D = 1024.
TEST(BlockPlan, AvxPlannerRoundsHalfUp)
{
    const struct {
        int B, want;
    } cases[] = {{1000, 31}, {1008, 32}, {1040, 33}};
    for (const auto &c : cases) {
        block_lists_t bl{nullptr, nullptr};
        ASSERT_EQ(plan_cache_blocks_avx(1024, 64, 1024, 100, c.B, 0, 1, 0, &bl), 0);
        EXPECT_EQ(bl.proj_block_sizes[0], c.want) << c.B;
        block_lists_free(&bl);
    }
}

TEST(BlockPlan, RandomPlansCoverRowsAndProjectionsExactly)
{
    std::mt19937 rng(12345);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int i = 0; i < 300; ++i) {
        const int s = pick(1, 4);
        const int W = s * pick(1, 600), H = 2 * pick(1, 300), D = pick(1, 2000);
        const int N = pick(1, 200), B = pick(0, 3) == 0 ? 0 : pick(1, 65536);
        const int Rq = pick(-2, 400), Pq = pick(-2, 250);
        block_lists_t bl{nullptr, nullptr};
        ASSERT_EQ(plan_cache_blocks(W, H, D, N, B, Rq, Pq, s, 0, pick(1, 2), &bl), 0);
        walk(bl.row_block_sizes, (H >> 1) * s);
        walk(bl.proj_block_sizes, N);
        block_lists_free(&bl);
        ASSERT_EQ(plan_cache_blocks_avx(W, H, D, N, B, Pq, s, 0, &bl), 0);
        walk(bl.proj_block_sizes, N);
        block_lists_free(&bl);
    }
}

TEST(BlockPlan, UnplannableSizesFail)
{
    block_lists_t bl{nullptr, nullptr};
    EXPECT_EQ(plan_cache_blocks(64, 64, 64, 10, 256, 0, 0, 0, 0, 2, &bl), -1);  // s = 0
    EXPECT_EQ(plan_cache_blocks(64, 0, 64, 10, 256, 0, 0, 1, 0, 2, &bl), -1);   // no rows
    EXPECT_EQ(plan_cache_blocks(64, 64, 64, 0, 256, 0, 0, 1, 0, 2, &bl), -1);   // no projections
    EXPECT_EQ(plan_cache_blocks(64, 64, 0, 10, 256, 0, 0, 1, 0, 2, &bl), -1);   // no bins
    EXPECT_EQ(plan_cache_blocks_avx(64, 64, 0, 10, 256, 0, 1, 0, &bl), -1);
    EXPECT_EQ(plan_cache_blocks_avx(64, 64, 64, 0, 256, 0, 1, 0, &bl), -1);
    // 2^11 x 2^20 kernel rows: more than an int counts.
    EXPECT_EQ(plan_cache_blocks(1 << 20, 1 << 12, 64, 10, 256, 0, 0, 1 << 20, 0, 2, &bl), -1);
    EXPECT_EQ(plan_cache_blocks_avx(1 << 20, 1 << 12, 64, 10, 256, 0, 1 << 20, 0, &bl), -1);
}

}  // namespace
