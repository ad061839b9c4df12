// SIRT tables: ray-weight facts, per-angle weights and the sinogram
// weighting family.
#include <gtest/gtest.h>
#include <math.h>
#include <stdint.h>

#include <algorithm>
#include <random>
#include <vector>

#include "kernels/forward_project.h"
#include "kernels/geometry.h"
#include "kernels/sirt_tables.h"
#include "tests/kernels/sirt_test_util.h"

using namespace layout_test;
using namespace sirt_test;

namespace {

// At tilt 0 every slice row puts a total weight of 1 into each bin within
// the slice's width, so S = H and the ray weight is 1/(N H), the per-angle
// weight; bins beyond the slice are never reached and keep weight 0.
TEST(SirtTablesTest, RayWeightsAtTiltZeroAndUnreachedBins)
{
    const int W = 8, H = 6;
    const std::vector<float> angles = {0.0f, 30.0f, -50.0f, 10.0f};
    const int N = (int)angles.size();
    for (int ext : {0, 1, 2})
        for (int interp : {1, 0})
            for (int D : {20, 21}) {  // integer and half-integer coordinates
                SCOPED_TRACE(testing::Message() << name_of(ext) << " interp=" << interp << " D=" << D);
                geometry_holder g(W, H, D, angles, 1, interp, ext);
                ASSERT_TRUE(g.ok);
                ASSERT_EQ(0, sirt_init(H, D, N, angles.data(), 1, 1, interp, ext));
                // Slice columns 0 ... W-1 meet bins first ... first + W - 1 at tilt 0.
                const float first = (D - 1) * 0.5f - (W - 1) * 0.5f;
                const float expect = 1.0f / (N * H);
                for (int j = 0; j < D; ++j) {
                    const bool inside = j > first && j < first + W - 1;
                    const bool outside = j < first - 1 || j > first + W;
                    if (inside) {
                        EXPECT_NEAR(expect, ray_weights[0][j], 1e-6f * expect) << j;
                    }
                    if (outside) {
                        EXPECT_EQ(0.0f, ray_weights[0][j]) << j;
                    }
                }
                EXPECT_NEAR(expect, angle_weights[0], 1e-6f * expect);
                // A bin that no ray reaches projects to 0 whatever the slice holds.
                slice_record x(W, H, 1, lanes_for(ext));
                for (int64_t q = 0; q < x.count(); ++q) x.floats()[q] = 1.0f;
                record p(lanes_for(ext), D, N);
                forward_project_fn(&p.rec, &x.rec, ray_steps_table(0));
                const int L = lanes_for(ext);
                EXPECT_EQ(0.0f, p.floats()[0]);
                EXPECT_EQ(0.0f, p.floats()[(int64_t)(D - 1) * L + L - 1]);
                sirt_tables_free();
            }
}

// With nearest sampling every S is a count of samples, so N * weight is the
// reciprocal of a whole number; the same for many angles and a split slice.
TEST(SirtTablesTest, NearestSamplingCountsWholeSamples)
{
    const int W = 30, H = 12, D = 37, s = 3;
    const std::vector<float> angles = angle_range(-70.0f, 70.0f, 7.0f);
    const int N = (int)angles.size();
    geometry_holder g(W, H, D, angles, s, 0, 2);
    ASSERT_TRUE(g.ok);
    ASSERT_EQ(0, sirt_init(H, D, N, angles.data(), s, 0, 0, 2));
    int nonzero = 0;
    for (int a = 0; a < N; ++a)
        for (int j = 0; j < D; ++j) {
            const float w = ray_weights[a][j];
            if (w == 0.0f) continue;
            ++nonzero;
            const double count = 1.0 / ((double)N * w);
            EXPECT_NEAR(nearbyint(count), count, 1e-5 * count) << a << " " << j;
            EXPECT_GE(nearbyint(count), 1.0);
        }
    EXPECT_GT(nonzero, N * W / 2);
    EXPECT_EQ(nullptr, angle_weights);
    sirt_tables_free();
}

// Small tables go through true divisions and give the correctly rounded
// values; larger ones through the refined reciprocal estimate, which must be
// as close as single precision allows.
TEST(SirtTablesTest, WeightsExactForSmallTablesAndCloseForLarge)
{
    // Tilt 0, W = 3, D = 5: bins 1 ... 3 have S = H; 5 entries < 8.
    {
        const std::vector<float> angles = {0.0f};
        const int H = 6;
        geometry_holder g(3, H, 5, angles, 1, 0, 2);
        ASSERT_TRUE(g.ok);
        ASSERT_EQ(0, sirt_init(H, 5, 1, angles.data(), 1, 1, 0, 2));
        EXPECT_EQ(0.0f, ray_weights[0][0]);
        for (int j = 1; j <= 3; ++j) EXPECT_EQ(1.0f / (float)H, ray_weights[0][j]);
        EXPECT_EQ(0.0f, ray_weights[0][4]);
        sirt_tables_free();
    }
    // N below 4: every per-angle weight from true divisions.
    {
        const std::vector<float> angles = {-61.0f, 13.0f, 77.5f};
        const int H = 14, N = 3;
        geometry_holder g(16, H, 16, angles, 1, 1, 2);
        ASSERT_TRUE(g.ok);
        ASSERT_EQ(0, sirt_init(H, 16, N, angles.data(), 1, 1, 1, 2));
        for (int a = 0; a < N; ++a) {
            const float c = cosf(angles[a] * 0.017453292f);
            EXPECT_EQ(1.0f / (fabsf((float)H / c) * (float)N), angle_weights[a]) << a;
        }
        sirt_tables_free();
    }
    // Many angles: estimates refined to within a few units in the last place.
    {
        const std::vector<float> angles = angle_range(-60.0f, 60.0f, 3.0f);
        const int H = 20, N = (int)angles.size(), D = 40;
        geometry_holder g(40, H, D, angles, 2, 1, 2);
        ASSERT_TRUE(g.ok);
        ASSERT_EQ(0, sirt_init(H, D, N, angles.data(), 2, 1, 1, 2));
        for (int a = 0; a < N; ++a) {
            const double expect = fabs(cos(angles[a] * 0.017453292)) / ((double)N * H);
            EXPECT_NEAR(expect, angle_weights[a], 1e-6 * expect) << a;
        }
        // Every ray weight against the sums recovered from an unweighted
        // projection of a slice of ones (A 1 = S), with rho = 1/(N S).
        std::vector<float> rho(ray_weights[0], ray_weights[0] + (size_t)N * D);
        slice_record ones(40, H, 2, lanes_for(2));
        for (int64_t q = 0; q < ones.count(); ++q) ones.floats()[q] = 1.0f;
        record sums(lanes_for(2), D, N);
        {
            unit_ray_weights unit(D, N);
            forward_project_fn(&sums.rec, &ones.rec, ray_steps_table(0));
        }
        for (int64_t q = 0; q < (int64_t)N * D; ++q) {
            const float S = sums.floats()[q];
            if (S == 0.0f) {
                EXPECT_EQ(0.0f, rho[q]) << q;
            } else {
                const double expect = 1.0 / ((double)N * S);
                EXPECT_NEAR(expect, rho[q], 1e-6 * expect) << q;
            }
        }
        sirt_tables_free();
    }
}

// The two slots of sirt_init by vector extension (any value but 0 and 1 is
// scalar), interpolation and weighting. The angle-weighting members give the
// same numbers on aligned data, so only the slots show a wrong pick.
TEST(SirtTablesTest, SlotsFollowExtensionInterpolationAndWeighting)
{
    struct expect_t {
        int ext, interp, weighting;
        forward_project_fn_t forward;
        sino_weight_fn_t weight;
    };
    const expect_t table[] = {
        {0, 1, 1, forward_project_interp_avx, sino_angle_weight_avx},
        {0, 0, 0, forward_project_nearest_avx, sino_scale_by_projections},
        {1, 1, 0, forward_project_interp_sse, sino_scale_by_projections},
        {1, 0, 1, forward_project_nearest_sse, sino_angle_weight_sse},
        {2, 1, 1, forward_project_interp_scalar, sino_angle_weight_scalar},
        {2, 0, 0, forward_project_nearest_scalar, sino_scale_by_projections},
        {5, 0, 1, forward_project_nearest_scalar, sino_angle_weight_scalar},
    };
    const std::vector<float> angles = {-20.0f, 0.0f, 35.0f};
    for (const expect_t &e : table) {
        SCOPED_TRACE(testing::Message() << "ext " << e.ext << " interp " << e.interp
                                        << " weighting " << e.weighting);
        geometry_holder g(16, 4, 16, angles, 2, e.interp, e.ext);
        ASSERT_TRUE(g.ok);
        ASSERT_EQ(0, sirt_init(4, 16, 3, angles.data(), 2, e.weighting, e.interp, e.ext));
        EXPECT_EQ(e.forward, forward_project_fn);
        EXPECT_EQ(e.weight, sino_weight_fn);
        EXPECT_EQ(e.weighting != 0, angle_weights != nullptr);
        sirt_tables_free();
    }
}

// Entries ahead of a table's first 16-byte boundary and after its last whole
// group (eight ray weights, four per-angle weights) take true divisions. With
// nearest sampling every sum is a whole count, recovered exactly from the
// weight, so those ray weights must equal (1/N)/S to the bit; the grouped
// ones come from the refined estimate and may differ in the last bits only.
// The same for the per-angle weights against 1/(|H/cos| N).
size_t entries_ahead_of_boundary(const float *p, size_t n)
{
    const uintptr_t addr = (uintptr_t)p;
    return addr % 4 != 0 ? n : std::min(n, (size_t)((16 - addr % 16) % 16) / 4);
}

TEST(SirtTablesTest, TableEndsTakeTrueDivisions)
{
    const int W = 14, H = 10, D = 13;  // N * D = 7 * 13 = 91 = 11 * 8 + 3
    const std::vector<float> angles = {-55.0f, -31.0f, -12.0f, 0.0f, 9.0f, 28.0f, 61.0f};
    const int N = (int)angles.size();
    geometry_holder g(W, H, D, angles, 1, 0, 2);
    ASSERT_TRUE(g.ok);
    ASSERT_EQ(0, sirt_init(H, D, N, angles.data(), 1, 1, 0, 2));
    const float q = 1.0f / (float)N;
    const float *w = ray_weights[0];
    const size_t n = (size_t)N * D;
    const size_t head = entries_ahead_of_boundary(w, n);
    const size_t tail_start = head + (n - head) / 8 * 8;
    int exact_checked = 0;
    for (size_t k = 0; k < n; ++k) {
        if (w[k] == 0.0f) continue;
        const float S = (float)nearbyint(1.0 / ((double)N * w[k]));
        ASSERT_GE(S, 1.0f) << k;
        if (k < head || k >= tail_start) {
            EXPECT_EQ(q / S, w[k]) << k;
            ++exact_checked;
        } else {
            EXPECT_NEAR(q / S, w[k], 4e-7f * (q / S)) << k;
        }
    }
    EXPECT_GT(exact_checked, 0);

    const size_t ahead = entries_ahead_of_boundary(angle_weights, (size_t)N);
    const size_t rest = ahead + ((size_t)N - ahead) / 4 * 4;
    for (size_t a = 0; a < (size_t)N; ++a) {
        const float c = cosf(angles[a] * 0.017453292f);
        const float exact = 1.0f / (fabsf((float)H / c) * (float)N);
        if (a < ahead || a >= rest) {
            EXPECT_EQ(exact, angle_weights[a]) << a;
        } else {
            EXPECT_NEAR(exact, angle_weights[a], 1e-6f * exact) << a;
        }
    }
    sirt_tables_free();
}

// Weighting on: row a of every section times angle_weights[a], identically
// in all variants. Weighting off: every float times 1.0f/N and no table.
TEST(SirtTablesTest, SinogramWeighting)
{
    const std::vector<float> angles = {-45.0f, -20.0f, 0.0f, 5.0f, 33.0f, 60.0f};
    const int N = (int)angles.size(), D = 12, H = 8;
    std::mt19937 rng(3);
    for (int ext : {0, 1, 2}) {
        SCOPED_TRACE(name_of(ext));
        const int L = lanes_for(ext);
        geometry_holder g(16, H, D, angles, 1, 1, ext);
        ASSERT_TRUE(g.ok);
        ASSERT_EQ(0, sirt_init(H, D, N, angles.data(), 1, 1, 1, ext));
        record sino(lanes_for(ext), D, N, 2);
        fill_uniform(sino.floats(), sino.count(), rng, -3.0f, 3.0f);
        const std::vector<float> before(sino.floats(), sino.floats() + sino.count());
        sino_weight_fn(&sino.rec);
        for (int z = 0; z < 2; ++z)
            for (int a = 0; a < N; ++a)
                for (int x = 0; x < D * L; ++x) {
                    const size_t q = ((size_t)z * N + a) * D * L + x;
                    ASSERT_EQ(before[q] * angle_weights[a], sino.floats()[q]) << z << " " << a << " " << x;
                }
        sirt_tables_free();
        EXPECT_EQ(nullptr, angle_weights);

        ASSERT_EQ(0, sirt_init(H, D, N, angles.data(), 1, 0, 1, ext));
        EXPECT_EQ(sino_scale_by_projections, sino_weight_fn);
        EXPECT_EQ(nullptr, angle_weights);
        record one(lanes_for(ext), D, N);
        fill_uniform(one.floats(), one.count(), rng, -3.0f, 3.0f);
        const std::vector<float> raw(one.floats(), one.floats() + one.count());
        sino_weight_fn(&one.rec);
        const float q = 1.0f / (float)N;
        for (int64_t i = 0; i < one.count(); ++i) ASSERT_EQ(raw[i] * q, one.floats()[i]) << i;
        sirt_tables_free();
    }
}

// More kernel rows than an int counts are refused before any table is
// touched.
TEST(SirtTablesTest, RefusesKernelRowsBeyondInt)
{
    const std::vector<float> angles = {0.0f, 10.0f};
    EXPECT_EQ(-1, sirt_init(1 << 12, 16, 2, angles.data(), 1 << 20, 0, 0, 2));
}

}  // namespace
