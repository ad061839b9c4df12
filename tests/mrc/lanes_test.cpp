// Lane layouts of a slot and the in-place slot pre-processing.
#include <gtest/gtest.h>

#include <math.h>
#include <algorithm>
#include <random>
#include <vector>

#include "mrc/mrc.h"

namespace {

// A record with a cache of two slots of `step` planes of n floats (n x 1),
// and a work array of n * step floats.
struct SlotRig {
    mrc_image_t buf = {};
    mrc_cache_t cache = {};
    mrc_header_t header = {};
    mrc_image_t rec = {};
    mrc_image_t work = {};
    mrc_slot_t slots[2] = {{2, 0}, {2, 0}};
    int n, step;
    SlotRig(int n_, int step_) : n(n_), step(step_)
    {
        slots[1].row = step;
        cache.slots = slots;
        rec.ny = 2 * step;  // rows of the window: both slots hold data
        mrc_alloc_data_x1(&buf, n, 1, 2 * step);
        mrc_alloc_data_x1(&work, n * step + 1, 1, 1);
        cache.nx = n;
        cache.rows = 1;
        cache.step = step;
        cache.nslots = 2;
        cache.depth = 2 * step;
        rec.cache = &cache;
        rec.data = buf.data;
        rec.header = &header;
        rec.nx = n;
    }
    ~SlotRig()
    {
        mrc_free_data(&buf);
        mrc_free_data(&work);
    }
    float *plane(int slot, int l) { return rec.data[slot * step + l][0]; }
    float *a() { return work.data[0][0]; }
};

TEST(MrcLanes, InterleaveExample)
{
    SlotRig r(3, 4);
    for (int l = 0; l < 4; ++l)
        for (int i = 0; i < 3; ++i) r.plane(1, l)[i] = (float)(l * 3 + i + 1);
    r.a()[12] = -1.0f;
    mrc_interleave_slot(&r.rec, &r.work, 1);
    const float want[12] = {1, 4, 7, 10, 2, 5, 8, 11, 3, 6, 9, 12};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(r.a()[i], want[i]) << i;
    EXPECT_EQ(r.a()[12], -1.0f);  // nothing beyond N * L is touched
}

TEST(MrcLanes, FoldExamples)
{
    // One lane, a 2 x 2 plane [a, b, c, d].
    SlotRig one(4, 1);
    const float abcd[4] = {1, 2, 3, 4};
    for (int i = 0; i < 4; ++i) one.plane(0, 0)[i] = abcd[i];
    mrc_fold_slot(&one.rec, &one.work, 0);
    const float folded[4] = {1, 4, 2, 3};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(one.a()[i], folded[i]);
    for (int i = 0; i < 4; ++i) one.plane(0, 0)[i] = 0;
    mrc_unfold_slot(&one.rec, &one.work, 0);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(one.plane(0, 0)[i], abcd[i]);

    // Four lanes, N = 4: groups of elements 0, 3, 1, 2.
    SlotRig four(4, 4);
    for (int l = 0; l < 4; ++l)
        for (int i = 0; i < 4; ++i) four.plane(0, l)[i] = (float)(10 * l + i);
    mrc_fold_slot(&four.rec, &four.work, 0);
    const int order[4] = {0, 3, 1, 2};
    for (int g = 0; g < 4; ++g)
        for (int l = 0; l < 4; ++l) EXPECT_EQ(four.a()[g * 4 + l], 10 * l + order[g]);
}

TEST(MrcLanes, RoundTripsAndTables)
{
    std::mt19937 gen(7);
    for (int step : {1, 4, 8}) {
        for (int n : {1, 2, 3, 6, 10, 31, 64}) {
            SlotRig r(n, step);
            std::vector<float> orig;
            for (int l = 0; l < step; ++l)
                for (int i = 0; i < n; ++i) {
                    r.plane(1, l)[i] = (float)gen();
                    orig.push_back(r.plane(1, l)[i]);
                }
            // Fold is a permutation of the slot: every value appears once.
            mrc_fold_slot(&r.rec, &r.work, 1);
            if (n >= 2) {
                std::vector<float> got(r.a(), r.a() + n * step), want = orig;
                std::sort(got.begin(), got.end());
                std::sort(want.begin(), want.end());
                EXPECT_EQ(got, want) << step << " " << n;
            }
            for (int l = 0; l < step; ++l)
                for (int i = 0; i < n; ++i) r.plane(1, l)[i] = n >= 2 ? 0.0f : r.plane(1, l)[i];
            mrc_unfold_slot(&r.rec, &r.work, 1);
            for (int l = 0; l < step; ++l)
                for (int i = 0; i < n; ++i)
                    ASSERT_EQ(r.plane(1, l)[i], orig[l * n + i]) << step << " " << n;
            if (step > 1) {
                mrc_interleave_slot(&r.rec, &r.work, 1);
                for (int i = 0; i < n; ++i)
                    for (int l = 0; l < step; ++l) ASSERT_EQ(r.a()[i * step + l], orig[l * n + i]);
            }
        }
    }
    EXPECT_EQ(mrc_fold_fns[4], &mrc_fold_slot_x4);
    EXPECT_EQ(mrc_unfold_fns[8], &mrc_unfold_slot_x8);
    EXPECT_EQ(mrc_interleave_fns[1], nullptr);
    EXPECT_EQ(mrc_interleave_fns[8], &mrc_interleave_slot_x8);
}

TEST(MrcLanes, SlotAdd)
{
    struct Case { float amin; int use_min; float c; float added; };
    const Case cases[] = {
        {-5.0f, 1, 0.0f, 6.0f}, {0.0f, 1, 9.0f, 0.0f}, {3.0f, 1, 9.0f, 0.0f},
        {-5.0f, 0, 0.0f, 0.0f}, {-5.0f, 0, 2.5f, 2.5f},
    };
    for (const Case &c : cases) {
        SlotRig r(5, 4);
        r.header.amin = c.amin;
        for (int i = 0; i < 40; ++i) r.rec.data[0][0][i] = (float)i;
        mrc_slot_add(&r.rec, 1, c.use_min, c.c);
        for (int i = 0; i < 40; ++i)
            ASSERT_EQ(r.rec.data[0][0][i], i < 20 ? (float)i : (float)i + c.added) << c.amin;
    }
}

TEST(MrcLanes, SlotLog)
{
    struct Case { float amin, c, offset; };
    const Case cases[] = {{10.0f, 0.0f, 0.0f}, {-2.0f, 0.0f, 3.0f}, {0.5f, 0.2f, 0.5f}, {0.5f, 2.0f, 2.0f}};
    for (const Case &c : cases) {
        SlotRig r(3, 1);
        r.header.amin = c.amin;
        const float in[3] = {c.amin, 20.0f, 100.0f};
        for (int i = 0; i < 3; ++i) r.plane(0, 0)[i] = in[i];
        r.plane(1, 0)[0] = 7.0f;
        EXPECT_EQ(mrc_slot_log(&r.rec, 0, c.c), 0);
        for (int i = 0; i < 3; ++i)
            EXPECT_FLOAT_EQ(r.plane(0, 0)[i], log10f(in[i] + c.offset)) << c.amin << " " << c.c;
        EXPECT_EQ(r.plane(1, 0)[0], 7.0f);
    }
}

// A value at or below -offset (data below the header minimum) has no
// logarithm: the slot is refused. Planes past the window's last row hold
// no data and are not judged.
TEST(MrcLanes, SlotLogRefusesDataBelowTheMinimum)
{
    struct Case { const char *what; float amin, c, value; int rows; int result; };
    const Case cases[] = {
        {"at the offset", 1.0f, 0.0f, 0.0f, 8, -1},     // offset 1 - 1 = 0: log10(0)
        {"below the offset", 1.0f, 0.0f, -0.5f, 8, -1},
        {"offset from -O", -1.0f, 3.0f, -3.0f, 8, -1},  // 1 <= -1 + 3: offset 3
        {"just above", 1.0f, 0.0f, 1e-6f, 8, 0},
        {"in a plane past the last row", 1.0f, 0.0f, 0.0f, 6, 0},
    };
    for (const Case &c : cases) {
        SlotRig r(3, 4);
        r.rec.ny = c.rows;
        r.header.amin = c.amin;
        for (int l = 0; l < 4; ++l)
            for (int i = 0; i < 3; ++i) r.plane(1, l)[i] = 50.0f;
        // Plane 3 of slot 1 is row 7 of the window.
        r.plane(1, 3)[2] = c.value;
        EXPECT_EQ(mrc_slot_log(&r.rec, 1, c.c), c.result) << c.what;
    }
}

}  // namespace
