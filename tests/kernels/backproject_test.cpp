// Back-projection: the six variants against each other and against the
// closed-form geometry, independence from the block plan, rounding of the
// nearest-sample walk.
#include <gtest/gtest.h>
#include <math.h>

#include <random>
#include <vector>

#include "kernels/backproject.h"
#include "kernels/geometry.h"
#include "kernels/kernel_slots.h"
#include "tests/kernels/kernel_layout_util.h"

using namespace layout_test;

namespace {

struct bp_case {
    int W, H, D, s, interp;
    std::vector<float> angles;
};

std::vector<float> random_values(std::mt19937 &rng, size_t n, float lo, float hi)
{
    std::uniform_real_distribution<float> u(lo, hi);
    std::vector<float> v(n);
    for (float &x : v) x = u(rng);
    return v;
}

// Back-projects lanes [first, first + L) of the given sinograms onto the
// given start slices with extension ext, returning the L resulting slices.
std::vector<std::vector<float>> run_variant(const bp_case &c, int ext, int cache_kb, int rows_per_set,
                                            int angles_per_set, const std::vector<std::vector<float>> &sinos,
                                            const std::vector<std::vector<float>> &starts, int first)
{
        const int L = lanes_for(ext), N = (int)c.angles.size();
    geometry_holder geo(c.W, c.H, c.D, c.angles, c.s, c.interp, ext, cache_kb, rows_per_set,
                        angles_per_set);
    EXPECT_TRUE(geo.ok);
    sino_record sino(c.D, N, L);
    slice_record slice(c.W, c.H, c.s, L);
    for (int k = 0; k < L; k++) {
        sino.put(k, sinos[first + k]);
        slice.put(k, starts[first + k]);
    }
    // The walk written plainly, one entry at a time in increasing projection
    // order, with each variant's order of additions: the optimised members
    // must give exactly these sums.
    const int shift = shift_for(ext), R = slice.rec.ny;
    std::vector<float> expect(slice.floats(), slice.floats() + slice.count());
    for (int r = 0; r < R; r++)
        for (int a = 0; a < N; a++) {
            const ray_segment_t e = ray_table[r][a];
            float t = e.t_first;
            float *S = expect.data() + (size_t)r * slice.rec.nx;
            for (int x = e.first_col; x <= e.last_col; x += 1 << shift) {
                const int i = (int)t;
                const float f = t - (float)i;
                for (int k = 0; k < L; k++) {
                    const float p0 = sino.at(a, i, k), q0 = sino.at(a, c.D - 1 - i, k);
                    if (!c.interp) {
                        S[x + k] += p0;
                        S[x + L + k] += q0;
                        continue;
                    }
                    const float p1 = sino.at(a, i + 1, k), q1 = sino.at(a, c.D - 2 - i, k);
                    if (ext == 2) {
                        S[x + k] += p0 + (p1 - p0) * f;
                        S[x + L + k] += q0 + (q1 - q0) * f;
                    } else {
                        S[x + k] = (S[x + k] + p0) + (p1 - p0) * f;
                        S[x + L + k] = (S[x + L + k] + q0) + (q1 - q0) * f;
                    }
                }
                t += cos_table[a];
            }
        }
    backproject_fn(&sino.rec, &slice.rec, ray_steps_table(0));
    EXPECT_EQ(expect, std::vector<float>(slice.floats(), slice.floats() + slice.count()))
        << name_of(ext) << " lanes from " << first;
    std::vector<std::vector<float>> out;
    for (int k = 0; k < L; k++) out.push_back(slice.get(k));
    return out;
}

// Every lane of every variant, two block plans each: SSE and AVX identical,
// the nearest variants identical to the plain one, the plain interpolating
// variant equal up to rounding; results independent of the tiling. The
// slices start from random values, which must be kept under the sum.
TEST(BackprojectTest, VariantsAgreeOnRandomGeometries)
{
    std::mt19937 rng(777);
    std::uniform_int_distribution<int> half_height(1, 12), bins(3, 70), nangles(1, 9), factor(1, 4),
        piece(1, 12), flag(0, 1);
    std::uniform_real_distribution<float> angle(-90.0f, 90.0f);
    for (int iter = 0; iter < 60; iter++) {
        bp_case c;
        c.s = factor(rng);
        c.W = c.s * piece(rng);
        c.H = 2 * half_height(rng);
        c.D = bins(rng);
        c.interp = flag(rng);
        const int N = nangles(rng);
        for (int a = 0; a < N; a++) c.angles.push_back(angle(rng));
        c.angles[0] = (iter % 2) ? 90.0f : -90.0f;
        SCOPED_TRACE(testing::Message() << "W=" << c.W << " H=" << c.H << " D=" << c.D
                                        << " N=" << N << " s=" << c.s << " interp=" << c.interp);
        std::vector<std::vector<float>> sinos, starts;
        for (int k = 0; k < 8; k++) {
            sinos.push_back(random_values(rng, (size_t)N * c.D, -1.0f, 3.0f));
            starts.push_back(random_values(rng, (size_t)c.W * c.H, -2.0f, 2.0f));
        }
        const auto avx = run_variant(c, 0, 0, 1, 3, sinos, starts, 0);
        const auto avx_one_block = run_variant(c, 0, 100000, 1, 1, sinos, starts, 0);
        std::vector<std::vector<float>> sse, sse_one_block, plain, plain_one_block;
        for (int first : {0, 4}) {
            for (auto &v : run_variant(c, 1, 0, 2, 3, sinos, starts, first)) sse.push_back(v);
            for (auto &v : run_variant(c, 1, 0, 100000, 100000, sinos, starts, first))
                sse_one_block.push_back(v);
        }
        for (int k = 0; k < 8; k++) {
            plain.push_back(run_variant(c, 2, 0, 3, 2, sinos, starts, k)[0]);
            plain_one_block.push_back(run_variant(c, 2, 0, 100000, 100000, sinos, starts, k)[0]);
        }
        for (int k = 0; k < 8; k++) {
            ASSERT_EQ(avx[k], avx_one_block[k]) << "lane " << k;
            ASSERT_EQ(sse[k], sse_one_block[k]) << "lane " << k;
            ASSERT_EQ(plain[k], plain_one_block[k]) << "lane " << k;
            ASSERT_EQ(avx[k], sse[k]) << "lane " << k;
            if (!c.interp) {
                ASSERT_EQ(avx[k], plain[k]) << "lane " << k;
            } else {
                for (size_t v = 0; v < plain[k].size(); v++)
                    ASSERT_NEAR(plain[k][v], avx[k][v], 1e-5f * (4.0f * N + 2.0f)) << "voxel " << v;
            }
        }
    }
}

// Slices whose kernel rows do not fit one tile of the AVX walks (a row of
// 2048 column pairs is 128 KB for 8 lanes): every tile of rows, the last
// one short, receives every projection block, blocks of 2 projections and
// one block of all, both samplings.
TEST(BackprojectTest, AvxWalksSlicesOfSeveralTilesOfRows)
{
    std::mt19937 rng(31);
    bp_case c;
    c.W = 2048;
    c.H = 18;  // 9 kernel rows: tiles of 4, 4 and 1
    c.D = 70;
    c.s = 1;
    c.angles = {-50.0f, -3.0f, 0.0f, 20.0f, 64.5f};
    const int N = (int)c.angles.size();
    std::vector<std::vector<float>> sinos, starts;
    for (int k = 0; k < 8; k++) {
        sinos.push_back(random_values(rng, (size_t)N * c.D, -1.0f, 3.0f));
        starts.push_back(random_values(rng, (size_t)c.W * c.H, -2.0f, 2.0f));
    }
    for (int interp : {1, 0}) {
        c.interp = interp;
        SCOPED_TRACE(testing::Message() << "interp=" << interp);
        run_variant(c, 0, 0, 1, 2, sinos, starts, 0);
        run_variant(c, 0, 100000, 1, 1, sinos, starts, 0);
    }
}

// Sample of row P at coordinate t, linear interpolation, in double.
double sample_linear(const std::vector<float> &P, int a, int D, double t)
{
    const int i = (int)floor(t);
    const double f = t - i;
    const double p0 = P[(size_t)a * D + i];
    const double p1 = i + 1 < D ? P[(size_t)a * D + i + 1] : p0;
    return p0 + (p1 - p0) * f;
}

// Each voxel receives, per projection, the sinogram sampled where the closed
// formula puts it; voxels no ray meets keep their value. The sinogram is
// smooth so the small drift of the running coordinate does not matter.
TEST(BackprojectTest, VoxelsReceiveTheirSampleFromTheClosedFormula)
{
    const int W = 40, H = 16, D = 36;
    const std::vector<float> angles = {-90.0f, -63.5f, -20.0f, 0.0f, 12.25f, 45.0f, 89.0f, 90.0f};
    const int N = (int)angles.size();
    std::vector<float> rows((size_t)N * D);
    for (int a = 0; a < N; a++)
        for (int i = 0; i < D; i++) rows[(size_t)a * D + i] = (float)(2.0 + sin(0.21 * i + a));
    const std::vector<float> start((size_t)W * H, 0.25f);
    for (int ext : {0, 1, 2})
        for (int s : {1, 4}) {
            SCOPED_TRACE(testing::Message() << name_of(ext) << " s=" << s);
            const int L = lanes_for(ext);
            geometry_holder geo(W, H, D, angles, s, 1, ext);
            ASSERT_TRUE(geo.ok);
            sino_record sino(D, N, L);
            slice_record slice(W, H, s, L);
            for (int k = 0; k < L; k++) {
                sino.put(k, rows);
                slice.put(k, start);
            }
            backproject_fn(&sino.rec, &slice.rec, ray_steps_table(0));
            for (int z = 0; z < H; z++)
                for (int x = 0; x < W; x++) {
                    double expect = 0.25;
                    bool clear = true;
                    for (int a = 0; a < N; a++) {
                        const double t = closed_coordinate(W, H, D, angles[a], x, z);
                        if (t > 1e-3 && t < D - 1 - 1e-3)
                            expect += sample_linear(rows, a, D, t);
                        else if (t > -1e-3 && t < D - 1 + 1e-3)
                            clear = false;  // on the detector's edge: either way
                    }
                    if (!clear) continue;
                    for (int k = 0; k < L; k++)
                        ASSERT_NEAR(slice.at(x, z, k), expect, 1e-3) << x << "," << z;
                }
        }
}

// Angle 0, W = D - 5: column 0 sits at coordinate 2.5, so the nearest walk
// takes bin 3 and the reflection bin D - 4; the interpolating walk at t just
// below D - 1 reads bins D-2, D-1 and, mirrored, 1 and 0.
TEST(BackprojectTest, NearestRoundsHalfUpAndInterpolationReachesTheEnds)
{
    const int D = 16, W = D - 5, H = 2;
    const std::vector<float> angles = {0.0f};
    std::vector<float> ramp(D);
    for (int i = 0; i < D; i++) ramp[i] = (float)(i * i);
    for (int ext : {0, 1, 2}) {
        SCOPED_TRACE(name_of(ext));
        const int L = lanes_for(ext);
        {
            geometry_holder geo(W, H, D, angles, 1, 0, ext);
            sino_record sino(D, 1, L);
            slice_record slice(W, H, 1, L);
            for (int k = 0; k < L; k++) sino.put(k, ramp);
            backproject_fn(&sino.rec, &slice.rec, ray_steps_table(0));
            EXPECT_EQ(slice.at(0, 0, L - 1), 9.0f);                              // bin 3
            EXPECT_EQ(slice.at(W - 1, H - 1, L - 1), (float)((D - 4) * (D - 4)));  // mirror
        }
        {
            // W = D: column x at coordinate x; x = D - 2 reads bins D-2, D-1.
            geometry_holder geo(D, H, D, std::vector<float>{0.0f}, 1, 1, ext);
            sino_record sino(D, 1, L);
            slice_record slice(D, H, 1, L);
            for (int k = 0; k < L; k++) sino.put(k, ramp);
            backproject_fn(&sino.rec, &slice.rec, ray_steps_table(0));
            EXPECT_EQ(slice.at(D - 2, 0, 0), (float)((D - 2) * (D - 2)));
            EXPECT_EQ(slice.at(1, H - 1, 0), 1.0f);   // reflection of x = D-2: bin 1
            EXPECT_EQ(slice.at(D - 1, 0, 0), 0.0f);   // coordinate D-1: off the detector
        }
    }
}

}  // namespace
