// Forward projection: adjointness with the back-projection walk for every
// variant, the lane variants against the scalar one, and the walk's edges.
#include <gtest/gtest.h>
#include <math.h>

#include <memory>
#include <random>
#include <vector>

#include "kernels/forward_project.h"
#include "kernels/geometry.h"
#include "kernels/kernel_slots.h"
#include "kernels/sirt_tables.h"
#include "tests/kernels/sirt_test_util.h"

using namespace layout_test;
using namespace sirt_test;

namespace {

// Angles that cover both signs, the axis (0) and the ends (+-90) where the
// coordinate barely moves along a row, plus an irregular one.
std::vector<float> test_angles()
{
    std::vector<float> a = angle_range(-90.0f, 90.0f, 15.0f);
    a.push_back(37.3f);
    return a;
}

// <A x, y> = <x, A^T y>: A the forward walk with unit ray weights, A^T the
// back-projection. This is what makes the SIRT update a gradient step.
TEST(ForwardProjectTest, AdjointOfBackprojectionForEveryVariant)
{
    const int W = 24, H = 10;
    const std::vector<float> angles = test_angles();
    const int N = (int)angles.size();
    std::mt19937 rng(12345);
    for (int ext : {0, 1, 2})
        for (int interp : {1, 0})
            for (int D : {31, 32, 17})
                for (int s : {1, 2, 3}) {
                    SCOPED_TRACE(testing::Message() << name_of(ext) << " interp=" << interp
                                                    << " D=" << D << " s=" << s);
                    geometry_holder g(W, H, D, angles, s, interp, ext);
                    ASSERT_TRUE(g.ok);
                    unit_ray_weights ones(D, N);
                    slice_record x(W, H, s, lanes_for(ext));
                    slice_record back(W, H, s, lanes_for(ext));
                    record y(lanes_for(ext), D, N), ax(lanes_for(ext), D, N);
                    fill_uniform(x.floats(), x.count(), rng);
                    fill_uniform(y.floats(), y.count(), rng);
                    fill_uniform(ax.floats(), ax.count(), rng, -5.0f, 5.0f);  // must be overwritten

                    forward_variant(ext, interp)(&ax.rec, &x.rec, ray_steps_table(0));
                    backproject_fn(&y.rec, &back.rec, ray_steps_table(0));

                    const double lhs = dot(ax.floats(), y.floats(), y.count());
                    const double rhs = dot(x.floats(), back.floats(), x.count());
                    EXPECT_GT(lhs, 10.0);
                    EXPECT_NEAR(lhs, rhs, 2e-6 * fabs(rhs));
                }
}

// Each lane of a 4- or 8-lane group is projected as the scalar variant
// projects that slice alone, ray weights included; and the ray-weight table
// does not depend on the vector extension.
TEST(ForwardProjectTest, LaneVariantsMatchScalar)
{
    const int W = 24, H = 8;
    const std::vector<float> angles = test_angles();
    const int N = (int)angles.size();
    std::mt19937 rng(777);
    for (int ext : {0, 1})
        for (int interp : {1, 0})
            for (int D : {29, 36})
                for (int s : {1, 2}) {
                    SCOPED_TRACE(testing::Message() << name_of(ext) << " interp=" << interp
                                                    << " D=" << D << " s=" << s);
                    const int L = lanes_for(ext);
                    std::vector<std::vector<float>> images(L, std::vector<float>((size_t)W * H));
                    for (auto &img : images) fill_uniform(img.data(), (int64_t)img.size(), rng, -1.0f, 2.0f);

                    // Scalar reference, lane by lane.
                    std::vector<std::vector<float>> expect(L);
                    std::vector<float> scalar_weights;
                    {
                        geometry_holder g(W, H, D, angles, s, interp, 2);
                        ASSERT_TRUE(g.ok);
                        ASSERT_EQ(0, sirt_init(H, D, N, angles.data(), s, 1, interp, 2));
                        scalar_weights.assign(ray_weights[0], ray_weights[0] + (size_t)N * D);
                        for (int k = 0; k < L; ++k) {
                            slice_record x(W, H, s, lanes_for(2));
                            x.put(0, images[k]);
                            record p(lanes_for(2), D, N);
                            forward_project_fn(&p.rec, &x.rec, ray_steps_table(0));
                            expect[k].assign(p.floats(), p.floats() + p.count());
                        }
                        sirt_tables_free();
                    }

                    geometry_holder g(W, H, D, angles, s, interp, ext);
                    ASSERT_TRUE(g.ok);
                    ASSERT_EQ(0, sirt_init(H, D, N, angles.data(), s, 1, interp, ext));
                    EXPECT_EQ(forward_variant(ext, interp), forward_project_fn);
                    EXPECT_TRUE(std::equal(scalar_weights.begin(), scalar_weights.end(), ray_weights[0]));
                    slice_record x(W, H, s, lanes_for(ext));
                    for (int k = 0; k < L; ++k) x.put(k, images[k]);
                    record p(lanes_for(ext), D, N);
                    forward_project_fn(&p.rec, &x.rec, ray_steps_table(0));
                    float scale = 0.0f;
                    for (const auto &e : expect)
                        for (float v : e) scale = std::max(scale, fabsf(v));
                    ASSERT_GT(scale, 0.0f);
                    int bad = 0;
                    for (int k = 0; k < L; ++k)
                        for (int64_t q = 0; q < (int64_t)N * D; ++q)
                            if (fabsf(p.floats()[q * L + k] - expect[k][q]) > 1e-5f * scale) ++bad;
                    EXPECT_EQ(0, bad);
                    sirt_tables_free();
                }
}

// The AVX members gather every bin in the order of the scalar walk (kernel
// rows in increasing order, each ray's steps in walk order, the four gains
// of a step in their order, the same weight formula), so each lane equals
// the scalar projection of its slice bit for bit, whatever the block plan.
// Random sizes: rays that start and end at different column pairs, odd and
// even detectors (the centre bin shared by a voxel and its reflection),
// angles of 0 (a step of exactly 1) and near +-90 (steps near 0), blocks of
// 1 to 5 projections and one block of all.
TEST(ForwardProjectTest, AvxLanesEqualScalarBitForBit)
{
    std::mt19937 rng(4242);
    std::uniform_int_distribution<int> half_height(1, 10), bins(3, 61), nangles(1, 11), factor(1, 3),
        piece(1, 12), flag(0, 1), per_set(1, 6);
    std::uniform_real_distribution<float> angle(-90.0f, 90.0f);
    for (int iter = 0; iter < 41; iter++) {
        // The last case: kernel rows of 2048 column pairs (128 KB for 8
        // lanes), so that the AVX walks take the slice in several tiles of
        // rows, the last one short.
        const bool wide = iter == 40;
        const int s = wide ? 1 : factor(rng), W = wide ? 2048 : s * piece(rng);
        const int H = wide ? 18 : 2 * half_height(rng), D = bins(rng);
        const int interp = flag(rng), N = nangles(rng);
        const int block = per_set(rng) == 6 ? 100000 : per_set(rng);
        std::vector<float> angles;
        for (int a = 0; a < N; a++) angles.push_back(angle(rng));
        angles[0] = (iter % 3 == 0) ? 0.0f : (iter % 3 == 1) ? 90.0f : -89.5f;
        SCOPED_TRACE(testing::Message() << "W=" << W << " H=" << H << " D=" << D << " N=" << N
                                        << " s=" << s << " interp=" << interp << " block=" << block);
        std::vector<std::vector<float>> images(8, std::vector<float>((size_t)W * H));
        for (auto &img : images) fill_uniform(img.data(), (int64_t)img.size(), rng, -1.0f, 2.0f);

        std::vector<std::vector<float>> expect(8);
        {
            geometry_holder g(W, H, D, angles, s, interp, 2, 0, 2, block);
            ASSERT_TRUE(g.ok);
            ASSERT_EQ(0, sirt_init(H, D, N, angles.data(), s, 1, interp, 2));
            for (int k = 0; k < 8; ++k) {
                slice_record x(W, H, s, lanes_for(2));
                x.put(0, images[k]);
                record p(lanes_for(2), D, N);
                forward_project_fn(&p.rec, &x.rec, ray_steps_table(0));
                expect[k].assign(p.floats(), p.floats() + p.count());
            }
            sirt_tables_free();
        }
        geometry_holder g(W, H, D, angles, s, interp, 0, 0, 2, block);
        ASSERT_TRUE(g.ok);
        ASSERT_EQ(0, sirt_init(H, D, N, angles.data(), s, 1, interp, 0));
        slice_record x(W, H, s, lanes_for(0));
        for (int k = 0; k < 8; ++k) x.put(k, images[k]);
        record p(lanes_for(0), D, N);
        forward_project_fn(&p.rec, &x.rec, ray_steps_table(0));
        for (int k = 0; k < 8; ++k) {
            std::vector<float> lane((size_t)N * D);
            for (int64_t q = 0; q < (int64_t)N * D; ++q) lane[q] = p.floats()[q * 8 + k];
            ASSERT_EQ(expect[k], lane) << "lane " << k;
        }
        sirt_tables_free();
    }
}

// A slice of zeros projects to zeros whatever the sinogram held, and a
// detector that no ray meets (D = 1: no coordinate lies in [0, D-1)) yields
// empty entries, zero ray weights and a zero projection of any slice.
TEST(ForwardProjectTest, ZeroSliceAndEmptyEntriesGiveZeroSinogram)
{
    const int W = 16, H = 6, s = 2;
    const std::vector<float> angles = test_angles();
    const int N = (int)angles.size();
    std::mt19937 rng(5);
    for (int ext : {0, 1, 2})
        for (int interp : {1, 0})
            for (int D : {1, 21}) {
                SCOPED_TRACE(testing::Message() << name_of(ext) << " interp=" << interp << " D=" << D);
                geometry_holder g(W, H, D, angles, s, interp, ext);
                ASSERT_TRUE(g.ok);
                ASSERT_EQ(0, sirt_init(H, D, N, angles.data(), s, 1, interp, ext));
                slice_record x(W, H, s, lanes_for(ext));
                if (D == 1) fill_uniform(x.floats(), x.count(), rng, 1.0f, 2.0f);
                record p(lanes_for(ext), D, N);
                fill_uniform(p.floats(), p.count(), rng, 1.0f, 2.0f);
                forward_project_fn(&p.rec, &x.rec, ray_steps_table(0));
                for (int64_t q = 0; q < p.count(); ++q) ASSERT_EQ(0.0f, p.floats()[q]) << q;
                if (D == 1) {
                    for (int a = 0; a < N; ++a) EXPECT_EQ(0.0f, ray_weights[a][0]);
                }
                sirt_tables_free();
            }
}

// One column, D = 3, tilt 0: the voxel and its reflection both meet the
// centre bin at an integer coordinate, so bin 1 receives both with weight 1
// and its neighbours nothing (weight 0 times the value, ray weight 0).
TEST(ForwardProjectTest, CentreBinOfOddDetectorReceivesVoxelAndReflection)
{
    const std::vector<float> angles = {0.0f};
    for (int ext : {0, 1, 2})
        for (int interp : {1, 0}) {
            SCOPED_TRACE(testing::Message() << name_of(ext) << " interp=" << interp);
            const int L = lanes_for(ext);
            geometry_holder g(1, 2, 3, angles, 1, interp, ext);
            ASSERT_TRUE(g.ok);
            ASSERT_EQ(0, sirt_init(2, 3, 1, angles.data(), 1, 1, interp, ext));
            EXPECT_EQ(0.0f, ray_weights[0][0]);
            EXPECT_EQ(0.5f, ray_weights[0][1]);
            EXPECT_EQ(0.0f, ray_weights[0][2]);
            slice_record x(1, 2, 1, lanes_for(ext));
            for (int k = 0; k < L; ++k) {
                x.floats()[k] = 1.0f + k;       // voxel (0, 0)
                x.floats()[L + k] = 10.0f * k;  // voxel (0, 1), the reflection
            }
            record p(lanes_for(ext), 3, 1);
            forward_project_fn(&p.rec, &x.rec, ray_steps_table(0));
            for (int k = 0; k < L; ++k) {
                EXPECT_EQ(0.0f, p.floats()[k]);
                EXPECT_FLOAT_EQ(0.5f * (1.0f + k + 10.0f * k), p.floats()[L + k]);
                EXPECT_EQ(0.0f, p.floats()[2 * L + k]);
            }
            sirt_tables_free();
        }
}

}  // namespace
