// Header statistics of a written volume (minimum, maximum, mean, rms and the
// count of non-finite voxels) against a double-precision reference computed
// here from the very floats written.
#include <float.h>
#include <math.h>

#include <fstream>
#include <random>

#include <gtest/gtest.h>

#include "mrc/mrc_internal.h"
#include "tests/mrc/mrc_test_util.h"

using namespace mrc_test;

namespace {

struct header_stats_t {
    float amin, amax, amean, rms;
};

header_stats_t read_header_stats(const std::string &path)
{
    const std::string b = read_whole_file(path);
    header_stats_t h = {NAN, NAN, NAN, NAN};
    if (b.size() < 1024) return h;
    memcpy(&h.amin, b.data() + 76, 4);
    memcpy(&h.amax, b.data() + 80, 4);
    memcpy(&h.amean, b.data() + 84, 4);
    memcpy(&h.rms, b.data() + 216, 4);
    return h;
}

// Extremes of the non-NaN values, mean and population standard deviation of
// the finite ones, in long double and two passes.
struct reference_t {
    float min = INFINITY, max = -INFINITY;
    long double mean = 0, sd = 0;
    int64_t finite = 0, nonfinite = 0;
};

reference_t reference_of(const std::vector<float> &v)
{
    reference_t r;
    long double sum = 0;
    for (float x : v) {
        if (!std::isnan(x)) {
            r.min = std::min(r.min, x);
            r.max = std::max(r.max, x);
        }
        if (std::isfinite(x)) {
            sum += x;
            ++r.finite;
        } else {
            ++r.nonfinite;
        }
    }
    r.mean = sum / r.finite;
    long double ss = 0;
    for (float x : v)
        if (std::isfinite(x)) ss += (x - r.mean) * (x - r.mean);
    r.sd = sqrtl(ss / r.finite);
    return r;
}

// Writes v as a volume of nz sections of nx x ny, `writes` sections at a
// time (each write is one statistics pass, merged into the header), and
// returns its header with the non-finite count seen before the close.
header_stats_t write_volume(const std::string &path, const std::vector<float> &v, int nx, int ny,
                            int nz, int writes_of, int64_t *nonfinite)
{
    mrc_image_t rec;
    EXPECT_EQ(mrc_create(path.c_str(), &rec, nx, ny, nz, 0, NULL), 0);
    mrc_image_t buf = {};
    EXPECT_EQ(mrc_alloc_data_x1(&buf, nx, ny, writes_of), 0);
    const size_t section = (size_t)nx * ny;
    for (int z = 0; z < nz; z += writes_of) {
        const int n = std::min(writes_of, nz - z);
        memcpy(buf.data[0][0], v.data() + z * section, n * section * sizeof(float));
        EXPECT_EQ(mrc_write_sections(&buf, &rec, z, n), n);
    }
    mrc_free_data(&buf);
    *nonfinite = mrc_nonfinite_count(&rec);
    EXPECT_EQ(mrc_close(&rec, NULL), 0);
    return read_header_stats(path);
}

void expect_matches(const header_stats_t &h, const reference_t &r, double rms_tolerance)
{
    EXPECT_EQ(h.amin, r.min);
    EXPECT_EQ(h.amax, r.max);
    EXPECT_NEAR(h.amean, (double)r.mean, 2e-7 * fabsl(r.mean) + 1e-30);
    EXPECT_NEAR(h.rms, (double)r.sd, rms_tolerance * (double)r.sd);
}

}  // namespace

// One section of 53 x 157 floats: two whole blocks of the statistics pass,
// then a part block whose length is not a multiple of four. A non-finite
// value in any lane, at a block edge or in the tail must neither hide the
// extremes seen before it nor spoil mean and rms.
TEST(MrcStats, NonFiniteVoxelAnywhere)
{
    scratch_dir_t dir;
    const int nx = 53, ny = 157, n = nx * ny;
    std::mt19937 gen(7);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    std::vector<float> base(n);
    for (float &x : base) x = 3.0f + noise(gen);

    const std::vector<int> positions = {0,    1,    2,    3,    4,    5,    6,    7,    9,
                                        4094, 4095, 4096, 4097, 4098, 4099, 8191, 8192, 8193,
                                        8316, 8317, 8318, 8319, 8320};
    for (float bad : {NAN, -NAN, INFINITY, -INFINITY}) {
        for (int p : positions) {
            SCOPED_TRACE("value " + std::to_string(bad) + " at " + std::to_string(p));
            std::vector<float> v = base;
            // The extremes in the same lane as the bad value, before it where
            // there is room, so that a lane which forgets them shows it.
            const int hi = p >= 4 ? p - 4 : p + 4;
            const int lo = p >= 8 ? p - 8 : p + 8;
            v[hi] = 33.49f;
            v[lo] = -17.90f;
            v[p] = bad;
            int64_t nonfinite = -1;
            const header_stats_t h =
                write_volume(dir.file("v.mrc"), v, nx, ny, 1, 1, &nonfinite);
            const reference_t r = reference_of(v);
            EXPECT_EQ(nonfinite, 1);
            expect_matches(h, r, 1e-6);
        }
    }

    // Several bad values in one vector, and a whole block of them.
    std::vector<float> v = base;
    v[100] = 40.0f;
    v[101] = -40.0f;
    for (int i = 4096; i < 8192; ++i) v[i] = NAN;
    v[104] = v[105] = v[106] = v[107] = NAN;
    v[8320] = INFINITY;
    int64_t nonfinite = -1;
    const header_stats_t h = write_volume(dir.file("v.mrc"), v, nx, ny, 1, 1, &nonfinite);
    const reference_t r = reference_of(v);
    EXPECT_EQ(nonfinite, 4096 + 4 + 1);
    EXPECT_EQ(h.amax, INFINITY);
    expect_matches(h, r, 1e-6);
}

// A volume with nothing finite has no mean and no rms, and extremes only
// where it has a non-NaN voxel: infinities are its extremes, even when they
// are all of one sign or come after runs of nothing but NaN. One with no
// non-finite voxel reports none.
TEST(MrcStats, AllOrNothingFinite)
{
    scratch_dir_t dir;
    std::vector<float> mixed(24, INFINITY), late(24, NAN);
    mixed[5] = -INFINITY;
    late[20] = -INFINITY;  // in the second write of two
    const struct {
        const char *what;
        std::vector<float> v;
        float amin, amax;  // NaN: none
    } cases[] = {
        {"all NaN", std::vector<float>(24, NAN), NAN, NAN},
        {"both infinities", mixed, -INFINITY, INFINITY},
        {"all +inf", std::vector<float>(24, INFINITY), INFINITY, INFINITY},
        {"all -inf", std::vector<float>(24, -INFINITY), -INFINITY, -INFINITY},
        {"NaN, then one -inf", late, -INFINITY, -INFINITY},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        int64_t nonfinite = -1;
        const header_stats_t h = write_volume(dir.file("bad.mrc"), c.v, 4, 2, 3, 2, &nonfinite);
        EXPECT_EQ(nonfinite, 24);
        EXPECT_TRUE(std::isnan(h.amean));
        EXPECT_TRUE(std::isnan(h.rms));
        if (std::isnan(c.amin)) {
            EXPECT_TRUE(std::isnan(h.amin) && std::isnan(h.amax));
        } else {
            EXPECT_EQ(h.amin, c.amin);
            EXPECT_EQ(h.amax, c.amax);
        }
    }

    int64_t nonfinite = -1;
    std::vector<float> v(24);
    for (int i = 0; i < 24; ++i) v[i] = (float)(i % 5);
    const header_stats_t h = write_volume(dir.file("ok.mrc"), v, 4, 2, 3, 2, &nonfinite);
    EXPECT_EQ(nonfinite, 0);
    expect_matches(h, reference_of(v), 1e-6);
}

// Large mean, small spread: a sum of squares minus the squared mean would
// cancel almost every digit of the variance; the rms must still be right to
// single precision. 1024 x 1024 x 16 voxels, written in runs of 4 sections
// and of 3 (so runs of different sizes are merged).
TEST(MrcStats, RmsKeepsItsDigitsUnderALargeMean)
{
    scratch_dir_t dir;
    const int nx = 1024, ny = 1024, nz = 16;
    std::mt19937 gen(11);
    std::normal_distribution<float> noise(0.0f, 0.0037f);
    std::vector<float> v((size_t)nx * ny * nz);
    for (float &x : v) x = 10000.1f + noise(gen);
    const reference_t r = reference_of(v);
    ASSERT_GT(r.sd, 0.003L);
    for (int runs : {4, 3}) {
        SCOPED_TRACE("sections per write " + std::to_string(runs));
        int64_t nonfinite = -1;
        const header_stats_t h = write_volume(dir.file("flat.mrc"), v, nx, ny, nz, runs, &nonfinite);
        EXPECT_EQ(nonfinite, 0);
        expect_matches(h, r, 1e-5);
    }

    // Sections whose means drift far apart: the merge of the runs carries
    // the spread between them, not only within.
    for (int z = 0; z < nz; ++z)
        for (size_t i = 0; i < (size_t)nx * ny; ++i) v[z * (size_t)nx * ny + i] += 1000.0f * z;
    const reference_t r2 = reference_of(v);
    int64_t nonfinite = -1;
    const header_stats_t h = write_volume(dir.file("drift.mrc"), v, nx, ny, nz, 1, &nonfinite);
    expect_matches(h, r2, 1e-5);
}

// The scalar, SSE2 and AVX block passes against the reference and so
// against each other, on lengths that end in every lane position and on
// every kind of non-finite value in every position of the first vectors and
// of the tail.
TEST(MrcStats, BlockPassesAgree)
{
    std::vector<std::pair<const char *, mrc_stats_block_fn>> passes = {
        {"scalar", mrc_stats_block_scalar}, {"sse2", mrc_stats_block_sse2}};
    if (__builtin_cpu_supports("avx"))
        passes.push_back({"avx", mrc_stats_block_avx});
    std::mt19937 gen(3);
    std::uniform_real_distribution<float> noise(-0.01f, 0.01f);
    auto check = [&](const std::vector<float> &v, const std::string &what) {
        const reference_t r = reference_of(v);
        for (const auto &pass : passes) {
            SCOPED_TRACE(std::string(pass.first) + ", n " + std::to_string(v.size()) + ", " + what);
            mrc_stats_t st;
            mrc_compute_stats_with(v.data(), (int64_t)v.size(), &st, pass.second);
            EXPECT_EQ(st.min, r.min);
            EXPECT_EQ(st.max, r.max);
            EXPECT_EQ(st.count, r.finite);
            EXPECT_EQ(st.nonfinite, r.nonfinite);
            if (r.finite == 0) continue;
            EXPECT_NEAR(st.mean, (double)r.mean, 1e-12 * (double)r.mean);
            EXPECT_NEAR(sqrt(st.m2 / st.count), (double)r.sd, 1e-9 * (double)r.sd + 1e-12);
        }
    };
    for (int64_t n : {1, 7, 8, 9, 15, 16, 17, 4095, 4096, 4097, 4096 + 13}) {
        std::vector<float> base(n);
        for (float &x : base) x = 1.0e4f + noise(gen);
        for (int64_t p = -1; p < n; p = p < 17 ? p + 1 : (p < n - 9 ? n - 9 : p + 1)) {
            for (float bad : {NAN, INFINITY, -INFINITY}) {
                std::vector<float> v = base;
                if (p >= 0) v[p] = bad;
                check(v, std::to_string(bad) + " at " + std::to_string(p));
                if (p < 0) break;
            }
        }
        // Nothing but one infinity: it is both extremes, in every lane.
        for (float bad : {INFINITY, -INFINITY})
            check(std::vector<float>(n, bad), "all " + std::to_string(bad));
    }
}
