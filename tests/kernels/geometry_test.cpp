// Projection geometry, kernel slots and the small utilities.
#include <gtest/gtest.h>
#include <math.h>
#include <time.h>

#include <random>
#include <vector>

#include "kernels/array2d.h"
#include "kernels/backproject.h"
#include "kernels/elementwise.h"
#include "kernels/geometry.h"
#include "kernels/kernel_slots.h"
#include "kernels/sirt_step.h"
#include "kernels/wall_time.h"
#include "mrc/mrc_internal.h"
#include "tests/kernels/kernel_layout_util.h"

using namespace layout_test;

namespace {

struct geometry_case {
    int W, H, D, s, interp, ext;
    std::vector<float> angles;
};

geometry_case random_case(std::mt19937 &rng)
{
    std::uniform_int_distribution<int> half_height(1, 24), bins(2, 90), nangles(1, 12),
        ext(0, 2), flag(0, 1), factor(1, 6), piece(1, 16);
    geometry_case c;
    c.s = factor(rng);
    c.W = c.s * piece(rng);
    c.H = 2 * half_height(rng);
    c.D = bins(rng);
    c.interp = flag(rng);
    c.ext = ext(rng);
    std::uniform_real_distribution<float> angle(-90.0f, 90.0f);
    const int N = nangles(rng);
    for (int a = 0; a < N; a++) c.angles.push_back(angle(rng));
    // The ends of the range, where the coordinate barely moves along a row.
    c.angles[0] = -90.0f;
    if (N > 1) c.angles[1] = 90.0f;
    if (N > 2) c.angles[2] = 0.0f;
    return c;
}

// Over random sizes, split factors and angles: every column pair a kernel
// walk reaches (running sum from t_first, as the kernels do it) keeps its
// samples and their mirrors on the detector; the pieces of a row cover each
// column at most once, and cover every column whose ray clearly meets the
// detector; t_first agrees with the closed formula; the transposed table
// holds the same entries.
TEST(GeometryTest, RandomGeometriesKeepEveryWalkOnTheDetector)
{
    std::mt19937 rng(20261210);
    for (int iter = 0; iter < 300; iter++) {
        const geometry_case g = random_case(rng);
        const int N = (int)g.angles.size(), w = g.W / g.s;
        const int c = shift_for(g.ext);
        SCOPED_TRACE(testing::Message() << "W=" << g.W << " H=" << g.H << " D=" << g.D
                                        << " s=" << g.s << " interp=" << g.interp << " "
                                        << name_of(g.ext));
        geometry_holder geo(g.W, g.H, g.D, g.angles, g.s, g.interp, g.ext);
        ASSERT_TRUE(geo.ok);
        const float half = g.interp ? 0.0f : 0.5f;
        for (int a = 0; a < N; a++) {
            EXPECT_EQ(cos_table[a], cosf(g.angles[a] * 0.017453292f));
            const double drift = 1e-5 * (g.W + g.D + g.H);
            for (int z = 0; z < g.H / 2; z++) {
                std::vector<int> covered(g.W, 0);
                for (int p = 0; p < g.s; p++) {
                    const int r = z * g.s + p;
                    const ray_segment_t e = ray_table[r][a];
                    const ray_segment_t et = ray_table_by_angle[a][r];
                    EXPECT_EQ(e.first_col, et.first_col);
                    EXPECT_EQ(e.last_col, et.last_col);
                    EXPECT_EQ(e.t_first, et.t_first);
                    if (e.last_col < 0) {
                        EXPECT_EQ(e.first_col, 0);
                        EXPECT_EQ(e.last_col, -(1 << c));
                        EXPECT_EQ(e.t_first, 0.0f);
                        continue;
                    }
                    ASSERT_EQ(e.first_col % (1 << c), 0);
                    ASSERT_EQ(e.last_col % (1 << c), 0);
                    ASSERT_LE(e.first_col, e.last_col);
                    ASSERT_LT(e.last_col >> c, w);
                    const int x0 = p * w + (e.first_col >> c);
                    EXPECT_NEAR(e.t_first - half, closed_coordinate(g.W, g.H, g.D, g.angles[a], x0, z),
                                drift);
                    float t = e.t_first;
                    for (int col = e.first_col; col <= e.last_col; col += 1 << c) {
                        const int i = (int)t;
                        if (g.interp) {
                            ASSERT_GE(t, 0.0f);
                            ASSERT_LT(t, (float)(g.D - 1));
                            ASSERT_LE(i + 1, g.D - 1);       // bins i, i+1
                            ASSERT_GE(g.D - 2 - i, 0);       // mirrors D-1-i, D-2-i
                        } else {
                            ASSERT_GE(i, 0);
                            ASSERT_LE(i, g.D - 1);
                        }
                        covered[p * w + (col >> c)]++;
                        t += cos_table[a];
                    }
                }
                for (int x = 0; x < g.W; x++) {
                    ASSERT_LE(covered[x], 1);
                    const double u = closed_coordinate(g.W, g.H, g.D, g.angles[a], x, z);
                    if (u > drift && u < g.D - 1 - drift) {
                        EXPECT_EQ(covered[x], 1) << "x=" << x;
                    }
                    if (u < -drift || u > g.D - 1 + drift) {
                        EXPECT_EQ(covered[x], 0) << "x=" << x;
                    }
                }
            }
        }
    }
}

// Angle 0 with W = D puts column x exactly at coordinate x: 0 is valid, D-1
// is not, and t_first carries the +0.5 only without interpolation.
TEST(GeometryTest, DetectorEndsAndRoundingTerm)
{
    const std::vector<float> angles = {0.0f};
    for (int ext : {0, 1, 2})
        for (int interp : {0, 1}) {
            SCOPED_TRACE(testing::Message() << name_of(ext) << " interp=" << interp);
            geometry_holder geo(8, 4, 8, angles, 1, interp, ext);
            ASSERT_TRUE(geo.ok);
            const int c = shift_for(ext);
            for (int r = 0; r < 2; r++) {
                EXPECT_EQ(ray_table[r][0].first_col, 0);
                EXPECT_EQ(ray_table[r][0].last_col, 6 << c);
                EXPECT_EQ(ray_table[r][0].t_first, interp ? 0.0f : 0.5f);
            }
        }
}

// A detector of 4 bins under a 64-wide slice: at angle 0 the outer pieces
// see no detector at all and carry the empty entry.
TEST(GeometryTest, PiecesThatMissTheDetectorAreEmpty)
{
    const std::vector<float> angles = {0.0f};
    for (int ext : {0, 1, 2}) {
        geometry_holder geo(64, 2, 4, angles, 8, 1, ext);
        ASSERT_TRUE(geo.ok);
        for (int p : {0, 1, 2, 5, 6, 7}) {
            const ray_segment_t e = ray_table[p][0];
            EXPECT_EQ(e.first_col, 0);
            EXPECT_EQ(e.last_col, -(1 << shift_for(ext)));
            EXPECT_EQ(e.t_first, 0.0f);
        }
        EXPECT_GE(ray_table[3][0].last_col, 0);  // columns 30..32 lie under it
        EXPECT_GE(ray_table[4][0].last_col, 0);
    }
}

// The statistics pass of the written sections follows the choice as well:
// a run without vector extension must not take AVX there either.
TEST(GeometryTest, SlotsFollowExtensionAndInterpolation)
{
    struct expect_t {
        int ext, interp;
        constrain_fn_t constrain;
        scale_fn_t scale;
        backproject_fn_t backproject;
        residual_row_fn_t residual;
        mrc_stats_block_fn stats;
    };
    const expect_t table[] = {
        {0, 1, slice_constrain_avx, image_scale_avx, backproject_interp_avx, row_residual_avx,
         mrc_stats_block_avx},
        {0, 0, slice_constrain_avx, image_scale_avx, backproject_nearest_avx, row_residual_avx,
         mrc_stats_block_avx},
        {1, 1, slice_constrain_sse, image_scale_sse, backproject_interp_sse, row_residual_sse,
         mrc_stats_block_sse2},
        {1, 0, slice_constrain_sse, image_scale_sse, backproject_nearest_sse, row_residual_sse,
         mrc_stats_block_sse2},
        {2, 1, slice_constrain_scalar, image_scale_scalar, backproject_interp_scalar,
         row_residual_scalar, mrc_stats_block_scalar},
        {2, 0, slice_constrain_scalar, image_scale_scalar, backproject_nearest_scalar,
         row_residual_scalar, mrc_stats_block_scalar},
        {7, 1, slice_constrain_scalar, image_scale_scalar, backproject_interp_scalar,
         row_residual_scalar, mrc_stats_block_scalar},
    };
    const std::vector<float> angles = {-30.0f, 30.0f};
    for (const expect_t &e : table) {
        geometry_holder geo(16, 4, 16, angles, 2, e.interp, e.ext);
        ASSERT_TRUE(geo.ok);
        EXPECT_EQ(constrain_fn, e.constrain);
        EXPECT_EQ(scale_fn, e.scale);
        EXPECT_EQ(backproject_fn, e.backproject);
        EXPECT_EQ(residual_row_fn, e.residual);
        EXPECT_EQ(mrc_stats_pass(), e.stats) << "vector extension " << e.ext;
    }
}

// Arguments the walk cannot honour fail cleanly and leave the slots alone.
TEST(GeometryTest, RefusesSplitFactorThatDoesNotDivideWidth)
{
    const std::vector<float> angles = {0.0f, 10.0f};
    geometry_holder first(12, 4, 16, angles, 1, 1, 2);
    ASSERT_TRUE(first.ok);
    projection_geometry_free();
    first.ok = 0;
    const backproject_fn_t before = backproject_fn;
    EXPECT_EQ(projection_geometry_init(12, 4, 16, 2, angles.data(), 0, 3, 4, 5, 0, 0, 0), -1);
    EXPECT_EQ(projection_geometry_init(12, 0, 16, 2, angles.data(), 0, 3, 4, 1, 0, 0, 0), -1);
    // Kernel rows (split factor times half the height) or kernel row lengths
    // beyond the int range cannot be indexed.
    EXPECT_EQ(projection_geometry_init(1 << 20, 1 << 12, 16, 2, angles.data(), 0, 3, 4, 1 << 20, 0,
                                       0, 2),
              -1);
    EXPECT_EQ(projection_geometry_init(1 << 30, 2, 16, 2, angles.data(), 0, 3, 4, 1, 0, 0, 1), -1);
    EXPECT_EQ(backproject_fn, before);
}

TEST(Array2dTest, RowsLieInOneBlockOwnedByRowZero)
{
    void **one = array2d_alloc(5, 1, sizeof(double));
    ASSERT_NE(one, nullptr);
    EXPECT_NE(one[0], nullptr);
    array2d_free(one);

    float **a = reinterpret_cast<float **>(array2d_alloc(7, 3, sizeof(float)));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a[1], a[0] + 7);
    EXPECT_EQ(a[2], a[0] + 14);
    for (int i = 0; i < 21; i++) a[0][i] = 1.0f;
    array2d_zero(a, 7, 0);  // zero count: nothing
    EXPECT_EQ(a[0][0], 1.0f);
    array2d_zero(a, 7, 2);
    for (int i = 0; i < 14; i++) EXPECT_EQ(a[0][i], 0.0f);
    EXPECT_EQ(a[2][0], 1.0f);
    array2d_free(reinterpret_cast<void **>(a));
    array2d_free(nullptr);

    // A table whose size does not fit in memory's address range fails.
    EXPECT_EQ(array2d_alloc(1 << 30, 1 << 30, (size_t)1 << 40), nullptr);
    EXPECT_EQ(array2d_alloc(4, 0, sizeof(float)), nullptr);
}

TEST(WallTimeTest, ReadsTheWallClock)
{
    const double t0 = wall_time_seconds();
    EXPECT_NEAR(t0, (double)time(NULL), 2.0);
    EXPECT_GE(wall_time_seconds(), t0);
}

}  // namespace
