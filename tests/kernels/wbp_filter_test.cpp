// WBP weighting filter: the table, the weighting against a direct DFT, the
// per-worker buffers, and the WBP slice step.
#include <gtest/gtest.h>
#include <math.h>

#include <algorithm>
#include <complex>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "kernels/kernel_slots.h"
#include "kernels/wbp_filter.h"
#include "tests/kernels/kernel_layout_util.h"

using namespace layout_test;

namespace {

struct filter_holder {
    int ok;
    filter_holder(int n, int threads, float freq) { ok = wbp_filter_init(n, threads, freq) == 0; }
    ~filter_holder()
    {
        if (ok) wbp_filter_free();
    }
};

TEST(WbpFilterTest, WorkedTables)
{
    struct case_t {
        int n;
        float freq;
        std::vector<float> table;
    };
    const case_t cases[] = {
        {8, 0.25f, {0, 1, 2, 1.62f, 0.32f}},
        {8, 0.0f, {0, 0.87f, 1.08f, 0.64f, 0.32f}},
        {10, 0.1f, {0, 1, 1.73f, 1.62f, 0.86f, 0.4f}},
        {5, 0.45f, {0, 1, 2}},
        {8, 0.5f, {0, 1, 2, 3, 4}},
        {8, NAN, {0, 1, 2, 3, 4}},
        {1, 0.0f, {0}},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(testing::Message() << "n=" << c.n << " freq=" << c.freq);
        filter_holder f(c.n, 1, c.freq);
        ASSERT_TRUE(f.ok);
        for (size_t j = 0; j < c.table.size(); j++)
            EXPECT_NEAR(wbp_filter_table[j], c.table[j], 0.005f) << "bin " << j;
    }
    // The taper in exact form at a bin the worked tables leave out.
    filter_holder f(64, 1, 0.1f);
    const int m = 32, c = 7;
    EXPECT_NEAR(wbp_filter_table[20], (0.54 - 0.46 * cos(M_PI * (m - 20) / (m - c))) * 20, 1e-4);
    EXPECT_EQ(wbp_filter_table[c], (float)c);
}

// A frequency below the accepted range puts the taper's start below bin 0;
// the table must still be written only within its m + 1 entries (the
// sanitizer build sees a stray write), with bin 0 at 0 and the taper ending
// at 0.08 m.
TEST(WbpFilterTest, NegativeFrequencyStaysInsideTheTable)
{
    for (float freq : {-0.25f, -3.0f}) {
        SCOPED_TRACE(freq);
        filter_holder f(8, 1, freq);
        ASSERT_TRUE(f.ok);
        EXPECT_EQ(wbp_filter_table[0], 0.0f);
        for (int j = 1; j <= 4; j++) {
            EXPECT_GT(wbp_filter_table[j], 0.0f) << j;
            EXPECT_LE(wbp_filter_table[j], (float)j) << j;
        }
        EXPECT_NEAR(wbp_filter_table[4], 0.32f, 1e-5f);
    }
}

// Filtering a row in double precision with a direct DFT: the reference for
// the FFT path (circular convolution of length n, no padding).
std::vector<double> reference_weight(const float *row, int n, const float *table)
{
    const int m = n / 2;
    std::vector<std::complex<double>> X(m + 1);
    for (int j = 0; j <= m; j++) {
        for (int k = 0; k < n; k++)
            X[j] += (double)row[k] * std::polar(1.0, -2.0 * M_PI * j * k / n);
        X[j] *= table[j];
    }
    std::vector<double> y(n);
    for (int k = 0; k < n; k++) {
        double v = X[0].real();
        for (int j = 1; j <= m; j++) {
            const double term = (X[j] * std::polar(1.0, 2.0 * M_PI * j * k / n)).real();
            v += (2 * j == n) ? term : 2.0 * term;
        }
        y[k] = v / n;
    }
    return y;
}

TEST(WbpFilterTest, WeightsEveryRowOfEverySectionLikeADirectTransform)
{
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-1.0f, 4.0f);
    for (int n : {37, 64}) {
        for (float freq : {0.0f, 0.2f, 0.5f}) {
            SCOPED_TRACE(testing::Message() << "n=" << n << " freq=" << freq);
            filter_holder f(n, 2, freq);
            ASSERT_TRUE(f.ok);
            record sino(1, n, 5, 3);
            for (int64_t i = 0; i < sino.count(); i++) sino.floats()[i] = u(rng);
            std::vector<float> input(sino.floats(), sino.floats() + sino.count());
            wbp_weight_sinogram(&sino.rec, 1);
            for (int row = 0; row < 15; row++) {
                const std::vector<double> ref = reference_weight(&input[(size_t)row * n], n, wbp_filter_table);
                for (int k = 0; k < n; k++)
                    ASSERT_NEAR(sino.floats()[(size_t)row * n + k], ref[k], 2e-4 * n) << row << "," << k;
            }
        }
    }
}

TEST(WbpFilterTest, ConstantRowsVanish)
{
    for (int n : {1, 2, 33, 128}) {
        SCOPED_TRACE(n);
        filter_holder f(n, 1, 0.3f);
        ASSERT_TRUE(f.ok);
        record sino(1, n, 2);
        for (int64_t i = 0; i < sino.count(); i++) sino.floats()[i] = 5.0f;
        wbp_weight_sinogram(&sino.rec, 0);
        for (int64_t i = 0; i < sino.count(); i++) EXPECT_NEAR(sino.floats()[i], 0.0f, 1e-5f);
    }
}

// Workers weight their own sinograms at the same time with the shared plans,
// each through its own buffer pair; the rows come out as on one thread.
TEST(WbpFilterTest, WorkersWeightConcurrently)
{
    const int n = 96, threads = 4, rows = 200;
    filter_holder f(n, threads, 0.25f);
    ASSERT_TRUE(f.ok);
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    std::vector<std::unique_ptr<record>> sinos;
    for (int t = 0; t < threads; t++) {
        sinos.emplace_back(new record(1, n, rows));
        for (int64_t i = 0; i < sinos[t]->count(); i++) sinos[t]->floats()[i] = u(rng);
    }
    record expect(1, n, rows);
    std::vector<std::vector<float>> expected;
    for (int t = 0; t < threads; t++) {
        std::copy(sinos[t]->floats(), sinos[t]->floats() + expect.count(), expect.floats());
        wbp_weight_sinogram(&expect.rec, 0);
        expected.emplace_back(expect.floats(), expect.floats() + expect.count());
    }
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++)
        pool.emplace_back([&, t] { wbp_weight_sinogram(&sinos[t]->rec, t); });
    for (std::thread &th : pool) th.join();
    for (int t = 0; t < threads; t++)
        EXPECT_EQ(expected[t], std::vector<float>(sinos[t]->floats(), sinos[t]->floats() + expect.count()));
}

// The slice is cleared first, then receives the back-projection times 1/N.
TEST(WbpFilterTest, SliceStepClearsBackprojectsAndDividesByProjections)
{
    const int W = 16, H = 6, D = 20;
    const std::vector<float> angles = {-40.0f, -10.0f, 25.0f};
    for (int ext : {0, 1, 2}) {
        const int L = lanes_for(ext);
        geometry_holder geo(W, H, D, angles, 2, 1, ext);
        ASSERT_TRUE(geo.ok);
        sino_record sino(D, 3, L);
        for (int64_t i = 0; i < sino.count(); i++) sino.floats()[i] = 0.1f * (float)(i % 17);
        slice_record slice(W, H, 2, L), plain(W, H, 2, L);
        for (int64_t i = 0; i < slice.count(); i++) slice.floats()[i] = 99.0f;
        wbp_backproject_sinogram(&sino.rec, &slice.rec, 0);
        backproject_fn(&sino.rec, &plain.rec, ray_steps_table(0));
        for (int64_t i = 0; i < slice.count(); i++)
            ASSERT_EQ(slice.floats()[i], plain.floats()[i] * (1.0f / 3.0f)) << name_of(ext) << " " << i;
    }
}

}  // namespace
