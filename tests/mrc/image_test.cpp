// Float arrays, views and per-thread error codes.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string>
#include <thread>

#include "mrc/mrc.h"

namespace {

TEST(MrcArray, X4LayoutMatchesThreeLevels)
{
    mrc_image_t rec = {};
    ASSERT_EQ(mrc_alloc_data_x4(&rec, 3, 2, 5), 0);
    EXPECT_EQ(mrc_errno(), 0);
    EXPECT_EQ(rec.nx, 12);
    EXPECT_EQ(rec.ny, 2);
    EXPECT_EQ(rec.nz, 5);
    char *block = (char *)rec.data[0][0];
    EXPECT_EQ((uintptr_t)block % 16, 0u);
    // Row 7 is section 3, row 1: 7 rows of 48 bytes in.
    EXPECT_EQ((char *)rec.data[3][1] - block, 336);
    for (int s = 0; s < 5; ++s)
        for (int r = 0; r < 2; ++r)
            EXPECT_EQ((char *)rec.data[s][r] - block, (s * 2 + r) * 48);
    // The whole block is writable as one flat run of 120 floats.
    for (int i = 0; i < 120; ++i) rec.data[0][0][i] = (float)i;
    EXPECT_EQ(rec.data[4][1][11], 119.0f);
    mrc_free_data(&rec);
}

TEST(MrcArray, AlignmentPerLaneCount)
{
    for (int trial = 0; trial < 8; ++trial) {
        mrc_image_t a = {}, b = {}, c = {};
        ASSERT_EQ(mrc_alloc_data_x1(&a, 3 + trial, 3, 2), 0);
        ASSERT_EQ(mrc_alloc_data_x4(&b, 5 + trial, 1, 3), 0);
        ASSERT_EQ(mrc_alloc_data_x8(&c, 7 + trial, 2, 2), 0);
        EXPECT_EQ((uintptr_t)a.data[0][0] % 8, 0u);
        EXPECT_EQ(a.nx, 3 + trial);
        for (int j = 0; j < 3; ++j) EXPECT_EQ((uintptr_t)b.data[j][0] % 16, 0u);
        for (int j = 0; j < 4; ++j) EXPECT_EQ((uintptr_t)c.data[j / 2][j % 2] % 32, 0u);
        EXPECT_EQ(c.nx, 8 * (7 + trial));
        mrc_free_data(&a);
        mrc_free_data(&b);
        mrc_free_data(&c);
    }
}

TEST(MrcArray, BadCountsFailWithOutOfMemory)
{
    struct Case { int n, ny, nz, lanes; };
    const Case cases[] = {
        {-1, 1, 1, 8},          // negative vectors
        {1, 1, -1, 8},          // negative sections
        {4, -3, 2, 4},          // negative rows
        {0x7fffffff, 0x7fffffff, 0x7fffffff, 1},  // product beyond 64 bits
        {0x40000000, 0x40000000, 4, 8},
        {1 << 28, 1, 1, 8},     // 2^31 floats a row: more than the record's nx holds
        {1 << 29, 1, 1, 4},
    };
    for (const Case &c : cases) {
        mrc_image_t rec = {};
        mrc_alloc_data_x1(&rec, 1, 1, 1);  // leaves code 0
        mrc_free_data(&rec);
        rec = mrc_image_t{};
        rec.data = (float ***)&rec;  // must be cleared on failure
        int rc = c.lanes == 1 ? mrc_alloc_data_x1(&rec, c.n, c.ny, c.nz)
               : c.lanes == 4 ? mrc_alloc_data_x4(&rec, c.n, c.ny, c.nz)
                              : mrc_alloc_data_x8(&rec, c.n, c.ny, c.nz);
        EXPECT_EQ(rc, -1) << c.n << " " << c.ny << " " << c.nz;
        EXPECT_EQ(mrc_errno(), 8);
        EXPECT_EQ(rec.data, nullptr);
        const int64_t floats = (int64_t)c.n * c.lanes;
        EXPECT_EQ(rec.nx, floats >= INT32_MIN && floats <= INT32_MAX ? floats : 0);
        EXPECT_EQ(rec.ny, c.ny);
        EXPECT_EQ(rec.nz, c.nz);
    }
    EXPECT_EQ(mrc_alloc_images(-1), nullptr);
    EXPECT_EQ(mrc_errno(), 8);
}

TEST(MrcArray, AllocImagesZeroesAndFreeOfEmptyIsHarmless)
{
    mrc_image_t *recs = mrc_alloc_images(3);
    ASSERT_NE(recs, nullptr);
    EXPECT_EQ(mrc_errno(), 0);
    const unsigned char *bytes = (const unsigned char *)recs;
    for (size_t i = 0; i < 3 * sizeof(mrc_image_t); ++i) ASSERT_EQ(bytes[i], 0);
    mrc_free_data(&recs[1]);  // data NULL: nothing happens
    recs[2].nx = 5;
    EXPECT_EQ(mrc_init_image(&recs[2]), 0);
    EXPECT_EQ(recs[2].nx, 0);
    free(recs);
}

TEST(MrcView, PlaneViewZeroClearsOnlyItsPlanes)
{
    mrc_image_t arr = {};
    ASSERT_EQ(mrc_alloc_data_x1(&arr, 3, 2, 4), 0);
    float *flat = arr.data[0][0];
    for (int i = 0; i < 24; ++i) flat[i] = 1.0f + i;
    mrc_image_t view = {};
    view.axis = 7;  // fields other than the four stay untouched
    mrc_plane_view(&arr, &view, 2, 2);
    EXPECT_EQ(view.nx, 3);
    EXPECT_EQ(view.ny, 2);
    EXPECT_EQ(view.nz, 2);
    EXPECT_EQ(view.axis, 7);
    EXPECT_EQ(view.data[0][0], arr.data[2][0]);
    mrc_zero_data(&view);
    for (int i = 0; i < 24; ++i) EXPECT_EQ(flat[i], i >= 12 ? 0.0f : 1.0f + i) << i;
    mrc_free_data(&arr);
}

TEST(MrcView, ViewsOfCachedRecordTakeCacheGeometry)
{
    // A hand-made cached record whose ny differs from the cache's rows.
    mrc_image_t arr = {};
    ASSERT_EQ(mrc_alloc_data_x1(&arr, 5, 3, 8), 0);
    mrc_cache_t cache = {};
    cache.nx = 5;
    cache.rows = 3;
    cache.step = 4;
    cache.nslots = 2;
    cache.depth = 8;
    mrc_image_t file = {};
    file.nx = 5;
    file.ny = 100;
    file.nz = 3;
    file.cache = &cache;
    file.data = arr.data;
    mrc_image_t view = {};
    mrc_plane_view(&file, &view, 1, 2);
    EXPECT_EQ(view.ny, 3);
    EXPECT_EQ(view.data, arr.data + 1);
    mrc_slot_view(&file, &view, 1);
    EXPECT_EQ(view.nx, 5);
    EXPECT_EQ(view.ny, 3);
    EXPECT_EQ(view.nz, 4);
    EXPECT_EQ(view.data, arr.data + 4);
    mrc_free_data(&arr);
}

TEST(MrcErrors, CodesArePerThread)
{
    mrc_image_t rec = {};
    ASSERT_EQ(mrc_alloc_data_x8(&rec, -1, 1, 1), -1);
    ASSERT_EQ(mrc_errno(), 8);
    int seen_fresh = -1, seen_after = -1, seen_own = -1;
    std::thread t([&] {
        seen_fresh = mrc_errno();  // nothing stored in this thread yet
        mrc_image_t r = {};
        mrc_alloc_data_x1(&r, 1, 1, -2);
        seen_own = mrc_errno();
        mrc_alloc_data_x1(&r, 2, 2, 2);
        seen_after = mrc_errno();
        mrc_free_data(&r);
    });
    t.join();
    EXPECT_EQ(seen_fresh, 0);
    EXPECT_EQ(seen_own, 8);
    EXPECT_EQ(seen_after, 0);
    EXPECT_EQ(mrc_errno(), 8);  // untouched by the other thread
    ASSERT_EQ(mrc_alloc_data_x1(&rec, 1, 1, 1), 0);
    EXPECT_EQ(mrc_errno(), 0);
    mrc_free_data(&rec);
}

TEST(MrcErrors, PerrorFormats)
{
    mrc_image_t rec = {};
    mrc_alloc_data_x1(&rec, -1, 1, 1);
    testing::internal::CaptureStderr();
    mrc_perror(NULL);
    mrc_perror("tilt.mrc");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Out of memory.\ntilt.mrc: Out of memory.\n");
    const char *expected[14] = {
        "Success", "Cannot find image", "Cannot create image", "Cannot close image",
        "Cannot read image", "Cannot write image", "File seems damaged (is it MRC?)",
        "File is read only", "Out of memory", "Out of resources",
        "Invalid image data type", "Depth out of bounds", "Invalid number of labels",
        "Bad function parameter"};
    for (int i = 0; i < 14; ++i) EXPECT_STREQ(mrc_error_messages[i], expected[i]);
}

}  // namespace
