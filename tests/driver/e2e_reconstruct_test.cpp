// End-to-end reconstructions: the program is run as a user runs it, on tilt
// series made from the exact line integrals of a phantom, and its volumes
// are judged against the phantom or against each other.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "tests/driver/e2e_util.h"
#include "tests/support/realdata.h"

namespace {

class E2eReconstruct : public ::testing::Test {
protected:
    static scratch_dir_t *dir;
    static e2e_series_t *series;
    static std::string ts, tlt;

    static void SetUpTestSuite()
    {
        dir = new scratch_dir_t;
        series = new e2e_series_t(e2e_make_series());
        ts = dir->file("series.mrc");
        tlt = dir->file("series.tlt");
        e2e_write_series(*series, ts, tlt);
    }
    static void TearDownTestSuite()
    {
        delete series;
        delete dir;
    }

    // Reconstructs the float series into name with the given options and
    // returns the volume; fails the test when the run does.
    static e2e_volume_t reconstruct(const std::string &name, std::vector<std::string> options,
                                    const std::string &input = ts, const std::string &angles = tlt)
    {
        std::vector<std::string> args = {"-a", angles, "-i", input, "-o", dir->file(name), "-f",
                                         "-v", "0"};
        args.insert(args.end(), options.begin(), options.end());
        const run_result_t r = e2e_run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_FALSE(r.timed_out);
        const e2e_volume_t v = e2e_read_volume(dir->file(name));
        EXPECT_TRUE(v.ok) << name;
        return v;
    }
};

scratch_dir_t *E2eReconstruct::dir = nullptr;
e2e_series_t *E2eReconstruct::series = nullptr;
std::string E2eReconstruct::ts, E2eReconstruct::tlt;

// With tilts to +-60 degrees the missing wedge limits the likeness (WBP
// reaches about 0.79, SIRT 0.87 after 20 iterations); with the full half
// circle WBP reaches 0.98, well above a volume mirrored or shifted by one
// voxel (about 0.95 to 0.97).
TEST_F(E2eReconstruct, WbpAndSirtResemblePhantom)
{
    const e2e_series_t half = e2e_make_series(64, 16, 180, 32, 89.5);
    const std::string half_ts = dir->file("half.mrc"), half_tlt = dir->file("half.tlt");
    e2e_write_series(half, half_ts, half_tlt);
    struct case_t {
        const char *name;
        std::vector<std::string> options;
        bool full_circle;
        double min_correlation;
    } cases[] = {
        {"wbp.mrc", {"-z", "32"}, false, 0.75},
        {"wbp_ramp.mrc", {"-z", "32", "-m", "0.5", "-I", "off"}, false, 0.75},
        {"sirt.mrc", {"-z", "32", "-S", "-l", "20"}, false, 0.82},
        {"wbp_half.mrc", {"-z", "32"}, true, 0.975},
        {"sirt_half.mrc", {"-z", "32", "-S", "-l", "20", "-w", "off"}, true, 0.92},
    };
    for (const case_t &c : cases) {
        const e2e_series_t &s = c.full_circle ? half : *series;
        const e2e_volume_t v = c.full_circle ? reconstruct(c.name, c.options, half_ts, half_tlt)
                                             : reconstruct(c.name, c.options);
        ASSERT_EQ(v.nx, s.D);
        ASSERT_EQ(v.ny, s.H);
        ASSERT_EQ(v.nz, s.rows);
        const double corr = e2e_correlation(v.data, e2e_phantom_volume(s, s.D, s.H));
        RecordProperty(c.name, std::to_string(corr));
        EXPECT_GT(corr, c.min_correlation) << c.name;
    }
}

// Correlation ignores scale; the mass does not. With weighting on, SIRT
// matches the measured projections, each of which carries the whole mass of
// its section, so every section holds the phantom's mass (a correct run
// keeps 97.5 to 99.6 % of it; the rest is the rasterised phantom's edges).
TEST_F(E2eReconstruct, SirtSectionsHoldThePhantomsMass)
{
    const e2e_volume_t v = reconstruct("sirt_mass.mrc", {"-z", "32", "-S", "-l", "10"});
    ASSERT_EQ(v.nz, series->rows);
    const std::vector<float> phantom = e2e_phantom_volume(*series, series->D, series->H);
    const size_t section = (size_t)v.nx * v.ny;
    std::vector<double> got(v.nz, 0.0), want(v.nz, 0.0);
    for (int y = 0; y < v.nz; y++)
        for (size_t i = 0; i < section; i++) {
            got[y] += v.data[y * section + i];
            want[y] += phantom[y * section + i];
        }
    const double peak = *std::max_element(want.begin(), want.end());
    int checked = 0;
    for (int y = 0; y < v.nz; y++) {
        if (want[y] < 0.05 * peak)
            continue;  // the ends of the ellipsoids: too little mass to judge
        EXPECT_NEAR(got[y] / want[y], 1.0, 0.05) << "section " << y;
        checked++;
    }
    EXPECT_GE(checked, v.nz - 4);
}

TEST_F(E2eReconstruct, VectorExtensionsAndThreadCountsAgree)
{
    for (const char *method : {"WBP", "SIRT"}) {
        std::vector<std::string> base = {"-z", "32"};
        if (std::string(method) == "SIRT")
            base.insert(base.end(), {"-S", "-l", "6"});
        auto with = [&](std::vector<std::string> extra) {
            std::vector<std::string> o = base;
            o.insert(o.end(), extra.begin(), extra.end());
            return o;
        };
        const e2e_volume_t ref = reconstruct("ref.mrc", with({"-e", "none", "-t", "1"}));
        for (const auto &extra : std::vector<std::vector<std::string>>{
                 {"-e", "none", "-t", "5"},
                 {"-e", "sse", "-t", "1"},
                 {"-e", "sse", "-t", "3"},
                 {"-e", "avx", "-t", "1"},
                 {"-e", "avx", "-t", "8"},
                 {"-e", "avx", "-t", "2", "-s", "4"}}) {
            const e2e_volume_t v = reconstruct("other.mrc", with(extra));
            ASSERT_EQ(v.data.size(), ref.data.size());
            EXPECT_LT(e2e_relative_difference(ref.data, v.data), 1e-4)
                << method << " " << extra[1] << " " << extra[3];
        }
    }
}

// The SIRT iterations allocate nothing: a run's heap allocations, counted
// by a preloaded counter, are the same for 1 and for 12 iterations (the
// calibration runs SIRT steps as well). One sinogram group on one
// worker is written in one flush, so the count does not depend on timing.
TEST_F(E2eReconstruct, SirtIterationsAllocateNothing)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer runtime owns the allocator";
#endif
    const struct {
        const char *ext, *interp, *rows;
    } cases[] = {{"avx", "on", "0,7"}, {"avx", "off", "0,7"}, {"sse", "on", "0,3"},
                 {"none", "off", "0,0"}};
    auto allocations = [&](const std::string &ext, const std::string &interp,
                           const std::string &rows, const std::string &iterations) {
        const run_result_t r = run_binary(
            "/usr/bin/env", {"LD_PRELOAD=" KYVANE_HEAP_COUNT, KYVANE_BINARY, "-a", tlt, "-i", ts,
                             "-o", dir->file("counted.mrc"), "-f", "-v", "0", "-S", "-l",
                             iterations, "-t", "1", "-e", ext, "-I", interp, "-y", rows});
        EXPECT_EQ(r.status, 0) << r.err;
        const std::string tag = "heap allocations: ";
        const size_t at = r.err.rfind(tag);
        EXPECT_NE(at, std::string::npos) << r.err;
        return at == std::string::npos ? -1L : std::stol(r.err.substr(at + tag.size()));
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.ext) + " -I " + c.interp);
        const long once = allocations(c.ext, c.interp, c.rows, "1");
        EXPECT_GT(once, 0);
        EXPECT_EQ(allocations(c.ext, c.interp, c.rows, "12"), once);
    }
}

TEST_F(E2eReconstruct, SliceRangeGivesTheSameSectionsAsTheFullRun)
{
    for (const char *ext : {"none", "avx"}) {
        for (bool sirt : {false, true}) {
            std::vector<std::string> o = {"-z", "32", "-e", ext};
            if (sirt)
                o.insert(o.end(), {"-S", "-l", "4"});
            const e2e_volume_t full = reconstruct("full.mrc", o);
            o.insert(o.end(), {"-y", "3,10"});
            const e2e_volume_t part = reconstruct("part.mrc", o);
            ASSERT_EQ(part.nz, 8);
            EXPECT_EQ(part.origin_row, 3);
            const size_t section = (size_t)full.nx * full.ny;
            const std::vector<float> expected(full.data.begin() + 3 * section,
                                              full.data.begin() + 11 * section);
            EXPECT_LT(e2e_relative_difference(expected, part.data), 1e-5) << ext << sirt;
        }
    }
}

TEST_F(E2eReconstruct, WidthAndHeightCropTheSliceAroundItsCentre)
{
    const e2e_volume_t full = reconstruct("full.mrc", {"-z", "32"});
    const e2e_volume_t crop = reconstruct("crop.mrc", {"-x", "48", "-z", "24"});
    ASSERT_EQ(crop.nx, 48);
    ASSERT_EQ(crop.ny, 24);
    ASSERT_EQ(crop.nz, full.nz);
    std::vector<float> expected, got;
    for (int y = 0; y < crop.nz; y++)
        for (int z = 0; z < crop.ny; z++)
            for (int x = 0; x < crop.nx; x++) {
                expected.push_back(full.at(x + 8, z + 4, y));
                got.push_back(crop.at(x, z, y));
            }
    EXPECT_LT(e2e_relative_difference(expected, got), 2e-3);

    // Too wide or too thick: the detector width is used, with a warning.
    const run_result_t r = e2e_run({"-a", tlt, "-i", ts, "-o", dir->file("wide.mrc"), "-f", "-x",
                                    "100", "-z", "200"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Warning: -x is greater than maximum width. Adjusting -x to 64.\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("Warning: -z is greater than maximum height. Adjusting -z to 64.\n"),
              std::string::npos);
    const e2e_volume_t wide = e2e_read_volume(dir->file("wide.mrc"));
    EXPECT_EQ(wide.nx, 64);
    EXPECT_EQ(wide.ny, 64);
}

TEST_F(E2eReconstruct, OddDetectorWidthGivesAnEvenHeight)
{
    const e2e_series_t odd = e2e_make_series(33, 4, 21, 16);
    const std::string path = dir->file("odd.mrc"), angles = dir->file("odd.tlt");
    e2e_write_series(odd, path, angles);
    const run_result_t r = e2e_run({"-a", angles, "-i", path, "-o", dir->file("odd_out.mrc"), "-f"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Warning: -z is odd. Adjusting -z to 32.\n"), std::string::npos);
    const e2e_volume_t v = e2e_read_volume(dir->file("odd_out.mrc"));
    EXPECT_TRUE(v.ok);
    EXPECT_EQ(v.nx, 33);
    EXPECT_EQ(v.ny, 32);
}

// -L: the run on the raw series equals the run on a series whose logarithm
// was taken here, with the offset rule of the logarithm: the offset is used
// when it lifts the header minimum to 1 or more, else the minimum is lifted
// to exactly 1.
TEST_F(E2eReconstruct, LogarithmOfTheInput)
{
    std::vector<float> raw = series->tilt;
    for (float &v : raw)
        v = 0.02f * v + 0.25f;  // minimum 0.25: below 1
    const float amin = *std::min_element(raw.begin(), raw.end());
    const std::string raw_path = dir->file("raw.mrc");
    e2e_write_mrc(raw_path, series->D, series->rows, series->N, raw);
    for (float offset : {0.0f, 3.0f}) {
        const float o = 1.0f > amin + offset ? 1.0f - amin : offset;
        std::vector<float> logged = raw;
        for (float &v : logged)
            v = std::log10(v + o);
        const std::string logged_path = dir->file("logged.mrc");
        e2e_write_mrc(logged_path, series->D, series->rows, series->N, logged);
        std::vector<std::string> opts = {"-z", "32", "-L"};
        if (offset != 0.0f)
            opts.insert(opts.end(), {"-O", "3"});
        const e2e_volume_t a = reconstruct("log_a.mrc", opts, raw_path);
        const e2e_volume_t b = reconstruct("log_b.mrc", {"-z", "32"}, logged_path);
        EXPECT_LT(e2e_relative_difference(b.data, a.data), 1e-4) << offset;
    }
}

// -O adds the offset; SIRT without -O lifts a negative header minimum to 1.
TEST_F(E2eReconstruct, DensityOffsetAndSirtShift)
{
    auto shifted = [&](float c) {
        std::vector<float> v = series->tilt;
        for (float &x : v)
            x += c;
        return v;
    };
    const float tilt_min = *std::min_element(series->tilt.begin(), series->tilt.end());
    const std::string plus5 = dir->file("plus5.mrc"), minus3 = dir->file("minus3.mrc"),
                      lifted = dir->file("lifted.mrc");
    e2e_write_mrc(plus5, series->D, series->rows, series->N, shifted(5.0f));
    e2e_write_mrc(minus3, series->D, series->rows, series->N, shifted(-3.0f - tilt_min));
    e2e_write_mrc(lifted, series->D, series->rows, series->N, shifted(1.0f - tilt_min));
    const std::vector<std::string> sirt = {"-z", "32", "-S", "-l", "3"};
    auto plus = [&](std::vector<std::string> extra) {
        std::vector<std::string> o = sirt;
        o.insert(o.end(), extra.begin(), extra.end());
        return o;
    };
    // Offset given: added as it is, for SIRT and for WBP without weighting.
    for (const auto &method : {sirt, std::vector<std::string>{"-z", "32", "-w", "off"}}) {
        std::vector<std::string> with_offset = method;
        with_offset.insert(with_offset.end(), {"-O", "5"});
        const e2e_volume_t a = reconstruct("off_a.mrc", with_offset);
        const e2e_volume_t b = reconstruct("off_b.mrc", method, plus5);
        EXPECT_LT(e2e_relative_difference(b.data, a.data), 1e-4);
    }
    // A negative minimum (-3) is lifted to 1 when SIRT has no -O.
    const e2e_volume_t neg = reconstruct("neg.mrc", sirt, minus3);
    const e2e_volume_t ref = reconstruct("lift.mrc", sirt, lifted);
    EXPECT_LT(e2e_relative_difference(ref.data, neg.data), 1e-4);
    // With -O 0 the negative data are taken as they are.
    const e2e_volume_t kept = reconstruct("kept.mrc", plus({"-O", "0"}), minus3);
    EXPECT_GT(e2e_relative_difference(ref.data, kept.data), 1e-2);
}

TEST_F(E2eReconstruct, ConstrainClampsNegativeVoxels)
{
    const e2e_volume_t plain = reconstruct("plain.mrc", {"-z", "32"});
    const e2e_volume_t clamped = reconstruct("clamped.mrc", {"-z", "32", "-c"});
    ASSERT_EQ(plain.data.size(), clamped.data.size());
    size_t negatives = 0;
    std::vector<float> expected = plain.data;
    for (float &v : expected)
        if (v < 0.0f)
            v = 0.0f, negatives++;
    EXPECT_GT(negatives, 0u);  // the test would show nothing otherwise
    EXPECT_EQ(e2e_relative_difference(expected, clamped.data), 0.0);
    EXPECT_GE(clamped.amin, 0.0f);

    const e2e_volume_t sirt = reconstruct("sirt_c.mrc", {"-z", "32", "-S", "-l", "5", "-c"});
    EXPECT_GE(*std::min_element(sirt.data.begin(), sirt.data.end()), 0.0f);
}

// SIRT resumed for 4 more iterations continues where the first 4 stopped.
TEST_F(E2eReconstruct, ResumedSirtEqualsOneLongerRun)
{
    for (const char *ext : {"none", "sse", "avx"}) {
        const std::vector<std::string> base = {"-z", "32", "-S", "-e", ext, "-y", "2,13"};
        auto with = [&](std::vector<std::string> extra) {
            std::vector<std::string> o = base;
            o.insert(o.end(), extra.begin(), extra.end());
            return o;
        };
        reconstruct("first4.mrc", with({"-l", "4"}));
        // The resumed volume fixes the slice range, width and height.
        const e2e_volume_t resumed =
            reconstruct("resumed.mrc", {"-S", "-e", ext, "-l", "4", "-r", dir->file("first4.mrc")});
        const e2e_volume_t once = reconstruct("once8.mrc", with({"-l", "8"}));
        ASSERT_EQ(resumed.nz, 12);
        ASSERT_EQ(resumed.ny, 32);
        EXPECT_EQ(resumed.origin_row, 2);
        EXPECT_LT(e2e_relative_difference(once.data, resumed.data), 1e-4) << ext;
        // No tilt-series labels when resuming: only the run's own label.
        ASSERT_EQ(resumed.nlabl, 1);
        EXPECT_EQ(resumed.labels[0].rfind("Kyvane: Tomogram reconstruction. SIRT, 4 iterations", 0), 0u);
    }
}

TEST_F(E2eReconstruct, ResumeWithOtherGeometryWarnsAndUsesTheResumedOne)
{
    reconstruct("base.mrc", {"-z", "32", "-S", "-l", "2", "-y", "4,11"});
    const run_result_t r = e2e_run({"-a", tlt, "-i", ts, "-o", dir->file("again.mrc"), "-f", "-S",
                                    "-l", "2", "-x", "40", "-z", "16", "-r", dir->file("base.mrc")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Warning: -x must be equal to resumed reconstruction width. Adjusting -x to 64.\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("Warning: -z must be equal to resumed reconstruction height. Adjusting -z to 32.\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("Resumed recon file: " + dir->file("base.mrc") + "\n"), std::string::npos);
    // A slice range inside the resumed volume continues just those sections.
    const e2e_volume_t part = reconstruct("part.mrc", {"-S", "-l", "2", "-y", "6,9", "-r",
                                                       dir->file("base.mrc")});
    const e2e_volume_t whole = reconstruct("whole.mrc", {"-z", "32", "-S", "-l", "4", "-y", "4,11"});
    ASSERT_EQ(part.nz, 4);
    EXPECT_EQ(part.origin_row, 6);
    const size_t section = (size_t)whole.nx * whole.ny;
    const std::vector<float> expected(whole.data.begin() + 2 * section,
                                      whole.data.begin() + 6 * section);
    EXPECT_LT(e2e_relative_difference(expected, part.data), 1e-4);

    // A slice range outside the resumed volume is refused.
    const run_result_t bad = e2e_run({"-a", tlt, "-i", ts, "-o", dir->file("bad.mrc"), "-f", "-S",
                                      "-y", "2,9", "-r", dir->file("base.mrc")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, dir->file("base.mrc") + ": Depth out of bounds.\n");

    // Sections are loaded into the float slots as stored: only float
    // volumes in this machine's byte order can be resumed.
    e2e_mrc_options_t opt;
    opt.mode = 1;
    const std::string ints = dir->file("ints.mrc");
    e2e_write_mrc(ints, 64, 32, 16, std::vector<float>(64 * 32 * 16, 1.0f), opt);
    const run_result_t wrong = e2e_run({"-a", tlt, "-i", ts, "-o", dir->file("bad.mrc"), "-f", "-S",
                                        "-r", ints});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.err, ints + ": A resumed reconstruction must hold 32-bit floats in this "
                                "machine's byte order.\n");
    const std::string odd = dir->file("odd.mrc");
    e2e_write_mrc(odd, 64, 31, 16, std::vector<float>(64 * 31 * 16, 1.0f));
    const run_result_t odd_run = e2e_run({"-a", tlt, "-i", ts, "-o", dir->file("bad.mrc"), "-f",
                                          "-S", "-r", odd});
    EXPECT_EQ(odd_run.status, 1);
    EXPECT_EQ(odd_run.err, odd + ": A resumed reconstruction must have an even height.\n");
}

TEST_F(E2eReconstruct, EveryDataModeAndByteOrderGivesTheSameVolume)
{
    std::vector<float> whole = series->tilt;
    e2e_quantise(whole);
    const std::string reference = dir->file("q_ref.mrc");
    e2e_write_mrc(reference, series->D, series->rows, series->N, whole);
    const e2e_volume_t ref = reconstruct("q_ref_out.mrc", {"-z", "32", "-S", "-l", "3"}, reference);
    for (int mode : {0, 1, 2, 6}) {
        for (bool swap : {false, true}) {
            e2e_mrc_options_t opt;
            opt.mode = mode;
            opt.swap = swap;
            const std::string path = dir->file("q.mrc");
            e2e_write_mrc(path, series->D, series->rows, series->N, whole, opt);
            const e2e_volume_t v = reconstruct("q_out.mrc", {"-z", "32", "-S", "-l", "3"}, path);
            EXPECT_EQ(e2e_relative_difference(ref.data, v.data), 0.0) << mode << swap;
        }
    }
}

TEST_F(E2eReconstruct, OutputHeaderLabelsAndCell)
{
    e2e_mrc_options_t opt;
    opt.pixel = 2.5f;
    opt.labels = {"first label of the tilt series", "second label"};
    const std::string path = dir->file("labelled.mrc");
    e2e_write_mrc(path, series->D, series->rows, series->N, series->tilt, opt);
    const e2e_volume_t v = reconstruct("labelled_out.mrc", {"-z", "32", "-y", "5,12"}, path);
    ASSERT_TRUE(v.ok);
    EXPECT_EQ(v.mode, 2);
    EXPECT_EQ(v.origin_row, 5);
    EXPECT_FLOAT_EQ(v.xlen, 64 * 2.5f);
    EXPECT_FLOAT_EQ(v.ylen, 32 * 2.5f);
    EXPECT_FLOAT_EQ(v.zlen, 8 * 2.5f);
    ASSERT_EQ(v.nlabl, 3);
    EXPECT_EQ(v.labels[0].rfind("first label of the tilt series", 0), 0u);
    EXPECT_EQ(v.labels[1].rfind("second label", 0), 0u);
    EXPECT_EQ(v.labels[2].substr(0, 55),
              "Kyvane: Tomogram reconstruction. WBP                   ");
    EXPECT_EQ(v.labels[2][55], ' ');
    EXPECT_EQ(v.labels[2][58], '-');
    // Minimum, maximum and mean are the data's own.
    const auto [lo, hi] = std::minmax_element(v.data.begin(), v.data.end());
    double sum = 0;
    for (float x : v.data)
        sum += x;
    EXPECT_EQ(v.amin, *lo);
    EXPECT_EQ(v.amax, *hi);
    EXPECT_NEAR(v.amean, sum / v.data.size(), 1e-4 * (*hi - *lo));

    if (!e2e_have_mrcfile())
        GTEST_SKIP() << "/usr/bin/python3 with mrcfile is not installed";
    std::string report;
    EXPECT_TRUE(e2e_mrcfile_valid(dir->file("labelled_out.mrc"), &report)) << report;
}

// A flat series of 10000 with noise of 0.1, back-projected without
// weighting into the centre of the slice, where every ray reaches every
// voxel: a volume of mean 10000 and spread 0.01, whose header rms must still
// be its standard deviation to single precision.
TEST_F(E2eReconstruct, HeaderRmsOfALargeMean)
{
    e2e_series_t flat = e2e_make_series(64, 16, 61, 32);
    std::mt19937 gen(5);
    std::normal_distribution<float> noise(10000.0f, 0.1f);
    for (float &x : flat.tilt)
        x = noise(gen);
    const std::string path = dir->file("flat.mrc");
    e2e_write_mrc(path, flat.D, flat.rows, flat.N, flat.tilt);
    const e2e_volume_t v = reconstruct("flat_out.mrc", {"-w", "off", "-x", "16", "-z", "16"}, path);
    ASSERT_TRUE(v.ok);
    double mean = 0, ss = 0;
    for (float x : v.data)
        mean += x;
    mean /= (double)v.data.size();
    for (float x : v.data)
        ss += (x - mean) * (x - mean);
    const double sd = std::sqrt(ss / (double)v.data.size());
    ASSERT_LT(sd, 0.1);
    float rms;
    std::ifstream in(dir->file("flat_out.mrc"), std::ios::binary);
    in.seekg(216);
    in.read(reinterpret_cast<char *>(&rms), 4);
    EXPECT_NEAR(v.amean, mean, 1e-6 * mean);
    EXPECT_NEAR(rms, sd, 1e-5 * sd);
}

TEST(E2eRealData, TomoautoSeriesInEveryMode)
{
    const std::string base = realdata_dir() + "/tomoauto/";
    KV_REQUIRE_REALDATA(base + "test_002.tlt");
    const bool check_mrc = e2e_have_mrcfile();
    scratch_dir_t dir;
    for (const char *method : {"WBP", "SIRT"}) {
        std::vector<float> reference;
        for (const char *mode : {"2", "0", "1", "6"}) {
            const std::string out = dir.file(std::string("real") + mode + ".mrc");
            std::vector<std::string> args = {"-a", base + "test_002.tlt", "-i",
                                             base + "test_002_mode" + mode + ".st", "-o", out, "-f",
                                             "-v", "0"};
            if (std::string(method) == "SIRT")
                args.insert(args.end(), {"-S", "-l", "5"});
            const run_result_t r = e2e_run(args);
            ASSERT_EQ(r.status, 0) << method << mode << r.err;
            const e2e_volume_t v = e2e_read_volume(out);
            ASSERT_TRUE(v.ok);
            EXPECT_EQ(v.nx, 24);
            EXPECT_EQ(v.ny, 24);
            EXPECT_EQ(v.nz, 24);
            for (float x : v.data)
                ASSERT_TRUE(std::isfinite(x));
            if (reference.empty())
                reference = v.data;
            // The integer modes hold the float data rounded (mode 0 also rescaled).
            EXPECT_GT(e2e_correlation(reference, v.data), 0.95) << method << mode;
            if (check_mrc) {
                std::string report;
                EXPECT_TRUE(e2e_mrcfile_valid(out, &report)) << report;
            }
        }
    }
}

}  // namespace
