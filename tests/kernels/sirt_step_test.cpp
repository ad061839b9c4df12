// SIRT iteration step: work store, residual rows, correlation family, the
// step's update and its time accounting.
#include <gtest/gtest.h>
#include <math.h>
#include <time.h>

#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "kernels/forward_project.h"
#include "kernels/geometry.h"
#include "kernels/kernel_slots.h"
#include "kernels/sirt_step.h"
#include "kernels/sirt_tables.h"
#include "kernels/wall_time.h"
#include "tests/kernels/sirt_test_util.h"

using namespace layout_test;
using namespace sirt_test;

namespace {

TEST(SirtStepTest, WorkStoreHasOneSectionViewPerThread)
{
    const int D = 10, N = 7, threads = 3;
    for (int ext : {0, 1, 2}) {
        SCOPED_TRACE(name_of(ext));
        const int L = lanes_for(ext);
        ASSERT_EQ(0, sirt_work_init(D, N, threads, ext));
        ASSERT_NE(nullptr, sirt_work);
        EXPECT_EQ(sirt_iterate_sinogram, sirt_step_fn);
        EXPECT_EQ(ext == 0 ? correlation_avx : ext == 1 ? correlation_sse : correlation_scalar, correlation_fn);
        EXPECT_EQ(D * L, sirt_work[0].nx);
        EXPECT_EQ(N, sirt_work[0].ny);
        EXPECT_EQ(threads, sirt_work[0].nz);
        for (int t = 0; t < threads; ++t) {
            const mrc_image_t &v = sirt_work[t + 1];
            EXPECT_EQ(D * L, v.nx);
            EXPECT_EQ(N, v.ny);
            EXPECT_EQ(1, v.nz);
            // Section t of the one block: the views neither overlap nor leave gaps.
            EXPECT_EQ(sirt_work[0].data[0][0] + (size_t)t * N * D * L, v.data[0][0]);
            EXPECT_EQ(0u, ((uintptr_t)v.data[0][0]) % (4 * L));
        }
        sirt_work_free();
        EXPECT_EQ(nullptr, sirt_work);
    }
}

TEST(SirtStepTest, ResidualRowsSubtractProjectionFromMeasurement)
{
    std::mt19937 rng(9);
    typedef void (*row_fn)(float *, const float *, int);
    const row_fn fns[] = {row_residual_scalar, row_residual_sse, row_residual_avx};
    record dst(lanes_for(0), 8, 1), src(lanes_for(0), 8, 1);  // 64 floats, 32-byte aligned
    for (row_fn fn : fns) {
        fill_uniform(dst.floats(), 64, rng, -2.0f, 2.0f);
        fill_uniform(src.floats(), 64, rng, -2.0f, 2.0f);
        std::vector<float> d(dst.floats(), dst.floats() + 64);
        fn(dst.floats(), src.floats(), 64);
        for (int i = 0; i < 64; ++i) ASSERT_EQ(src.floats()[i] - d[i], dst.floats()[i]) << i;
    }
    // n = 0 and below: nothing.
    const float before = dst.floats()[0];
    row_residual_scalar(dst.floats(), src.floats(), 0);
    row_residual_scalar(dst.floats(), src.floats(), -3);
    EXPECT_EQ(before, dst.floats()[0]);
}

double pearson_lane(const float *p, const float *m, int64_t pixels, int L, int k)
{
    double mp = 0, mm = 0;
    for (int64_t i = 0; i < pixels; ++i) {
        mp += p[i * L + k];
        mm += m[i * L + k];
    }
    mp /= pixels;
    mm /= pixels;
    double c = 0, vp = 0, vm = 0;
    for (int64_t i = 0; i < pixels; ++i) {
        const double dp = p[i * L + k] - mp, dm = m[i * L + k] - mm;
        c += dp * dm;
        vp += dp * dp;
        vm += dm * dm;
    }
    return c / sqrt(vp * vm);
}

enum corr_case { RANDOM, IDENTICAL, NEGATED, ZERO_PROJECTION, NAN_DATA };

// Each lane takes one case, so the vector variants show that the lanes are
// independent; the scalar variant runs every case on its own.
TEST(SirtStepTest, CorrelationCoefficientAndEdgeCases)
{
    const int D = 37, N = 11;
    const corr_case cases[] = {RANDOM, IDENTICAL, NEGATED, ZERO_PROJECTION, NAN_DATA};
    std::mt19937 rng(21);
    for (int ext : {0, 1, 2}) {
        const int L = lanes_for(ext);
        const correlation_fn_t fn = ext == 0 ? correlation_avx : ext == 1 ? correlation_sse : correlation_scalar;
        for (int first = 0; first < 5; first += L) {
            record p(lanes_for(ext), D, N), m(lanes_for(ext), D, N);
            fill_uniform(m.floats(), m.count(), rng, 0.0f, 3.0f);
            fill_uniform(p.floats(), p.count(), rng, 0.0f, 3.0f);
            const int64_t pixels = (int64_t)D * N;
            for (int k = 0; k < L; ++k) {
                const corr_case c = cases[(first + k) % 5];
                for (int64_t i = 0; i < pixels; ++i) {
                    float &pv = p.floats()[i * L + k];
                    const float mv = m.floats()[i * L + k];
                    if (c == RANDOM) pv = 0.6f * mv + pv;  // partly correlated
                    if (c == IDENTICAL) pv = mv;
                    if (c == NEGATED) pv = -mv;
                    if (c == ZERO_PROJECTION) pv = 0.0f;
                }
                if (c == NAN_DATA) m.floats()[17 * L + k] = std::numeric_limits<float>::quiet_NaN();
            }
            std::vector<float> out(L, -7.0f);
            fn(&p.rec, &m.rec, out.data());
            for (int k = 0; k < L; ++k) {
                const corr_case c = cases[(first + k) % 5];
                SCOPED_TRACE(testing::Message() << name_of(ext) << " lane " << k << " case " << c);
                switch (c) {
                case RANDOM:
                    EXPECT_NEAR(pearson_lane(p.floats(), m.floats(), pixels, L, k), out[k], 1e-4);
                    EXPECT_GT(out[k], 0.3f);
                    break;
                case IDENTICAL: EXPECT_NEAR(1.0f, out[k], 1e-5f); break;
                case NEGATED: EXPECT_NEAR(-1.0f, out[k], 1e-5f); break;
                case ZERO_PROJECTION: EXPECT_EQ(0.0f, out[k]); break;
                case NAN_DATA:
                    if (ext == 2) {
                        EXPECT_EQ(0.0f, out[k]);
                    } else {
                        EXPECT_TRUE(std::isnan(out[k]));
                    }
                    break;
                }
            }
        }
    }
}

struct step_fixture {
    static constexpr int W = 20, H = 8, D = 25, s = 2;
    std::vector<float> angles = angle_range(-60.0f, 60.0f, 10.0f);
    int N = (int)angles.size();
};

// From an empty slice the residual is the measurement and the slice becomes
// its back-projection; a measurement equal to rho * A x leaves x as it is.
TEST(SirtStepTest, StepAddsBackprojectedResidual)
{
    const step_fixture f;
    std::mt19937 rng(4);
    for (int ext : {0, 1, 2})
        for (int interp : {1, 0}) {
            SCOPED_TRACE(testing::Message() << name_of(ext) << " interp=" << interp);
            geometry_holder g(f.W, f.H, f.D, f.angles, f.s, interp, ext);
            ASSERT_TRUE(g.ok);
            ASSERT_EQ(0, sirt_init(f.H, f.D, f.N, f.angles.data(), f.s, 1, interp, ext));
            ASSERT_EQ(0, sirt_work_init(f.D, f.N, 2, ext));
            record measured(lanes_for(ext), f.D, f.N);
            fill_uniform(measured.floats(), measured.count(), rng, 0.0f, 1.0f);
            slice_record x(f.W, f.H, f.s, lanes_for(ext));
            slice_record expect(f.W, f.H, f.s, lanes_for(ext));
            fill_uniform(x.floats(), x.count(), rng);
            slice_zero(&x.rec);
            for (int64_t q = 0; q < x.count(); ++q) ASSERT_EQ(0.0f, x.floats()[q]);
            backproject_fn(&measured.rec, &expect.rec, ray_steps_table(0));
            double time = 0.0;
            sirt_step_fn(&measured.rec, &x.rec, nullptr, &time, 1);
            for (int64_t q = 0; q < x.count(); ++q) ASSERT_EQ(expect.floats()[q], x.floats()[q]) << q;

            // Consistent measurement: rho * A x of the current slice.
            forward_project_fn(&measured.rec, &x.rec, ray_steps_table(0));
            const std::vector<float> before(x.floats(), x.floats() + x.count());
            float peak = 0.0f;
            for (float v : before) peak = std::max(peak, fabsf(v));
            sirt_step_fn(&measured.rec, &x.rec, nullptr, &time, 0);
            for (int64_t q = 0; q < x.count(); ++q) ASSERT_NEAR(before[q], x.floats()[q], 1e-5f * peak) << q;
            sirt_work_free();
            sirt_tables_free();
        }
}

// The correlation is computed only when asked for, into the caller's array,
// and its time is never added to the accumulator: the step's whole span holds
// the correlation's pause, so what it adds stays at least that pause below
// the span, however slow the machine.
float slow_corr_value;
const double corr_pause = 0.05;
void slow_correlation(mrc_image_t *, mrc_image_t *, float *out)
{
    const double start = wall_time_seconds();
    const struct timespec nap = {0, 5 * 1000 * 1000};
    while (wall_time_seconds() - start < corr_pause) nanosleep(&nap, nullptr);
    out[0] = slow_corr_value;
}

TEST(SirtStepTest, CorrelationOnlyOnRequestAndNotTimed)
{
    const step_fixture f;
    geometry_holder g(f.W, f.H, f.D, f.angles, f.s, 1, 2);
    ASSERT_TRUE(g.ok);
    ASSERT_EQ(0, sirt_init(f.H, f.D, f.N, f.angles.data(), f.s, 1, 1, 2));
    ASSERT_EQ(0, sirt_work_init(f.D, f.N, 1, 2));
    record measured(lanes_for(2), f.D, f.N);
    slice_record x(f.W, f.H, f.s, lanes_for(2));
    for (int64_t q = 0; q < measured.count(); ++q) measured.floats()[q] = 1.0f;

    float corr = -3.0f;
    double time = 5.0;
    sirt_step_fn(&measured.rec, &x.rec, nullptr, &time, 0);
    EXPECT_EQ(-3.0f, corr);
    EXPECT_GE(time, 5.0);

    const correlation_fn_t saved = correlation_fn;
    correlation_fn = slow_correlation;
    slow_corr_value = 0.25f;
    time = 0.0;
    const double span_start = wall_time_seconds();
    sirt_step_fn(&measured.rec, &x.rec, &corr, &time, 0);
    const double span = wall_time_seconds() - span_start;
    correlation_fn = saved;
    EXPECT_EQ(0.25f, corr);
    EXPECT_GE(time, 0.0);
    EXPECT_LE(time, span - corr_pause + 1e-6);
    sirt_work_free();
    sirt_tables_free();
}

}  // namespace
