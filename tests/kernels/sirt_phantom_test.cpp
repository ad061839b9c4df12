// SIRT on the test phantom: the exact sinogram of a few ellipses, weighted
// as a run weights it, iterated from an empty slice by every variant.
#include <gtest/gtest.h>
#include <math.h>

#include <memory>
#include <vector>

#include "kernels/forward_project.h"
#include "kernels/geometry.h"
#include "kernels/kernel_slots.h"
#include "kernels/sirt_step.h"
#include "kernels/sirt_tables.h"
#include "tests/kernels/sirt_test_util.h"
#include "tests/support/phantom.h"

using namespace layout_test;
using namespace sirt_test;

namespace {

// || measured - rho * A x || over all lanes, measured already weighted.
double weighted_residual(record &measured, record &slice, record &scratch)
{
    forward_project_fn(&scratch.rec, &slice.rec, ray_steps_table(0));
    double s = 0.0;
    for (int64_t q = 0; q < measured.count(); ++q) {
        const double r = (double)measured.floats()[q] - scratch.floats()[q];
        s += r * r;
    }
    return sqrt(s);
}

// How the measured sinogram is weighted before the iterations.
enum weighting_mode {
    RAY_WEIGHTS,    // by the ray weights themselves: plain SIRT, consistent for any geometry
    ANGLE_WEIGHTS,  // sino_weight_fn with weighting on (a slab H thick, as in a run)
    BY_COUNT        // sino_weight_fn with weighting off (1/N)
};

struct sirt_case {
    int ext, interp;
    weighting_mode mode;
    float max_angle, step;
    double min_correlation;     // of the reconstruction with the phantom, every lane
    double max_residual_ratio;  // weighted residual after / before the iterations
    float min_projection_corr;  // of the last projection with the measurement
};

// Each lane holds another section of a volume phantom. Over the iterations
// the weighted residual falls and the correlation with the phantom rises.
// The thresholds are what a correct SIRT reaches here, with some margin:
// with the ray weights and a nearly full tilt range it recovers the slice
// (r about 0.99 linear, 0.97 nearest); with +-60 degrees the missing wedge
// smears this thin slab along z and caps r near 0.67 whatever the weights,
// and the angle weights of a run then agree with the ray weights. Weighting
// off divides the measurement by N only, so it stays a factor of about the
// ray length away from the ray-weighted projection: the residual falls less
// and the projections match less closely.
TEST(SirtPhantomTest, ResidualFallsAndReconstructionApproachesPhantom)
{
    const int W = 96, H = 24, D = 100, s = 2, iterations = 30, rows = 16;
    const sirt_case cases[] = {
        {2, 1, RAY_WEIGHTS, 88.0f, 4.0f, 0.97, 0.1, 0.99},
        {1, 1, RAY_WEIGHTS, 88.0f, 4.0f, 0.97, 0.1, 0.99},
        {0, 1, RAY_WEIGHTS, 88.0f, 4.0f, 0.97, 0.1, 0.99},
        {2, 0, RAY_WEIGHTS, 88.0f, 4.0f, 0.95, 0.1, 0.99},
        {1, 0, RAY_WEIGHTS, 88.0f, 4.0f, 0.95, 0.1, 0.99},
        {0, 0, RAY_WEIGHTS, 88.0f, 4.0f, 0.95, 0.1, 0.99},
        {2, 1, ANGLE_WEIGHTS, 60.0f, 3.0f, 0.65, 0.1, 0.99},
        {1, 1, ANGLE_WEIGHTS, 60.0f, 3.0f, 0.65, 0.1, 0.99},
        {0, 0, ANGLE_WEIGHTS, 60.0f, 3.0f, 0.65, 0.1, 0.99},
        {2, 1, BY_COUNT, 60.0f, 3.0f, 0.7, 0.3, 0.9},
    };
    const auto volume = phantom_volume_ellipsoids(W, H, rows);
    for (const sirt_case &c : cases) {
        SCOPED_TRACE(testing::Message() << name_of(c.ext) << " interp=" << c.interp << " mode="
                                        << c.mode << " angles +-" << c.max_angle);
        const std::vector<float> angles = angle_range(-c.max_angle, c.max_angle, c.step);
        const int N = (int)angles.size(), L = lanes_for(c.ext);
        geometry_holder g(W, H, D, angles, s, c.interp, c.ext, 0, 5, 7);
        ASSERT_TRUE(g.ok);
        ASSERT_EQ(0, sirt_init(H, D, N, angles.data(), s, c.mode != BY_COUNT, c.interp, c.ext));
        ASSERT_EQ(0, sirt_work_init(D, N, 1, c.ext));

        record measured(lanes_for(c.ext), D, N), scratch(lanes_for(c.ext), D, N);
        std::vector<std::vector<float>> truth(L, std::vector<float>((size_t)W * H));
        std::vector<float> sino((size_t)N * D);
        for (int k = 0; k < L; ++k) {
            const auto section = phantom_section(volume, rows, 4 + k);
            phantom_rasterise(section, W, H, 4, truth[k].data());
            phantom_sinogram(section, D, N, angles.data(), sino.data());
            for (size_t q = 0; q < sino.size(); ++q) measured.floats()[q * L + k] = sino[q];
        }
        if (c.mode == RAY_WEIGHTS) {
            for (size_t q = 0; q < sino.size(); ++q)
                for (int k = 0; k < L; ++k) measured.floats()[q * L + k] *= ray_weights[0][q];
        } else {
            sino_weight_fn(&measured.rec);
        }

        slice_record slice(W, H, s, lanes_for(c.ext));
        slice_zero(&slice.rec);
        double time = 0.0;
        std::vector<float> corr(L, -2.0f), first_corr;
        std::vector<double> residual = {weighted_residual(measured, slice, scratch)};
        std::vector<std::vector<double>> rc(L);
        for (int it = 0; it < iterations; ++it) {
            sirt_step_fn(&measured.rec, &slice.rec, corr.data(), &time, 0);
            if (it == 0) first_corr = corr;
            residual.push_back(weighted_residual(measured, slice, scratch));
            for (int k = 0; k < L; ++k) rc[k].push_back(pearson(slice.get(k), truth[k]));
        }
        EXPECT_GT(time, 0.0);
        for (int it = 1; it <= iterations; ++it) EXPECT_LE(residual[it], residual[it - 1] * 1.0001) << it;
        EXPECT_LT(residual[iterations], c.max_residual_ratio * residual[0]);
        for (int k = 0; k < L; ++k) {
            SCOPED_TRACE(testing::Message() << "lane " << k);
            // The first step projects an empty slice: correlation 0.
            EXPECT_EQ(0.0f, first_corr[k]);
            EXPECT_GT(corr[k], c.min_projection_corr);
            EXPECT_GT(rc[k][iterations - 1], rc[k][0] + 0.05);
            EXPECT_GT(rc[k][iterations - 1], c.min_correlation);
        }
        sirt_work_free();
        sirt_tables_free();
    }
}

}  // namespace
