// End-to-end failures and warnings of a run: bad inputs, outputs that
// cannot be written, disagreeing angle lists and the overwrite dialogue.

// g++ 12 with the sanitizers warns falsely inside std::regex's own
// std::function members; the warning says nothing of this file.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <regex>

#include "tests/driver/e2e_failures_fixture.h"

namespace {

TEST_F(E2eFailures, MissingOrDamagedTiltSeries)
{
    const std::string missing = dir.file("missing.mrc");
    run_result_t r = e2e_run({"-a", tlt, "-i", missing, "-o", dir.file("out.mrc"), "-f"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, missing + ": Cannot find image.\n" + missing + ": No such file or directory.\n");

    // One byte short of what the header promises.
    const std::string damaged = dir.file("damaged.mrc");
    std::filesystem::copy_file(ts, damaged);
    std::filesystem::resize_file(damaged, std::filesystem::file_size(ts) - 1);
    r = e2e_run({"-a", tlt, "-i", damaged, "-o", dir.file("out.mrc"), "-f", "-b", "8,8"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, damaged + ": File seems damaged (is it MRC?).\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.mrc")));

    // A slice range outside the tilt series.
    r = e2e_run(args(dir.file("out.mrc"), {"-f", "-y", "4,8"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, ts + ": Depth out of bounds.\n");
}

// The lower of the two counts is used: with fewer angles the last tilt
// images are left out, with more angles the surplus angles.
TEST_F(E2eFailures, AngleListAndTiltSeriesOfDifferentLengths)
{
    std::vector<float> shorter(series.angles.begin(), series.angles.end() - 1);
    std::vector<float> longer = series.angles;
    longer.push_back(70.0f);
    const std::string short_tlt = dir.file("short.tlt"), long_tlt = dir.file("long.tlt");
    e2e_write_angles(short_tlt, shorter);
    e2e_write_angles(long_tlt, longer);

    // The truth for 60 angles: a series of the first 60 tilt images.
    const std::string first60 = dir.file("first60.mrc");
    std::vector<float> images(series.tilt.begin(), series.tilt.end() - (size_t)series.D * series.rows);
    e2e_write_mrc(first60, series.D, series.rows, 60, images);

    run_result_t r = e2e_run({"-a", short_tlt, "-i", ts, "-o", dir.file("short.mrc"), "-f"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Warning: There are 61 tilt images in the dataset and 60 angles in the "
                         "angle list. Using the lowest value.\n"),
              std::string::npos);
    r = e2e_run({"-a", short_tlt, "-i", first60, "-o", dir.file("first60_out.mrc"), "-f", "-v", "0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(e2e_relative_difference(e2e_read_volume(dir.file("first60_out.mrc")).data,
                                      e2e_read_volume(dir.file("short.mrc")).data),
              0.0);

    r = e2e_run({"-a", long_tlt, "-i", ts, "-o", dir.file("long.mrc"), "-f", "-S", "-l", "2"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Warning: There are 61 tilt images in the dataset and 62 angles in the "
                         "angle list. Using the lowest value.\n"),
              std::string::npos);
    r = e2e_run(args(dir.file("normal.mrc"), {"-f", "-S", "-l", "2", "-v", "0"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(e2e_relative_difference(e2e_read_volume(dir.file("normal.mrc")).data,
                                      e2e_read_volume(dir.file("long.mrc")).data),
              0.0);
}

// A file that is refused when it is one of the inputs, also under another
// spelling of its name, and is left as it was.
TEST_F(E2eFailures, OutputMustNotBeAnInput)
{
    const std::string volume = dir.file("volume.mrc");
    ASSERT_EQ(e2e_run(args(volume, {"-f", "-S", "-l", "1", "-v", "0"})).status, 0);
    struct case_t {
        std::string output;
        std::vector<std::string> extra;
        std::string input;
        const char *message;
    } cases[] = {
        {ts, {"-f"}, ts, "Output file and tilt series cannot be the same!\n"},
        {tlt, {"-f"}, tlt, "Output file and angle list cannot be the same!\n"},
        {dir.path + "/./series.tlt", {"-f"}, tlt, "Output file and angle list cannot be the same!\n"},
        {dir.path + "/./series.mrc", {"-f"}, ts, "Output file and tilt series cannot be the same!\n"},
        {dir.path + "/./volume.mrc", {"-f", "-S", "-r", volume}, volume,
         "Output file and resumed file cannot be the same!\n"},
    };
    for (const case_t &c : cases) {
        const std::string before = read_whole_file(c.input);
        const run_result_t r = e2e_run(args(c.output, c.extra));
        EXPECT_EQ(r.status, 1) << c.output;
        EXPECT_EQ(r.err, c.message);
        EXPECT_TRUE(read_whole_file(c.input) == before) << c.output;
    }
}

// A write that fails on a real file (here a disk that fills): no output is
// left behind, the verdict comes after the per-worker blocks in a log of
// both streams, and the status is 1.
TEST_F(E2eFailures, FailedWriteLeavesNoOutput)
{
    const std::string out = dir.file("limited.mrc");
    std::vector<std::string> sh = {"-c", "exec \"$0\" \"$@\" 2>&1", KYVANE_BINARY};
    for (const std::string &a : args(out, {"-f", "-t", "2", "-v", "3", "-b", "8,8"}))
        sh.push_back(a);
    run_options_t options;
    options.env = e2e_fail_env("write=ENOSPC");
    const run_result_t r = run_binary_with("/bin/sh", sh, options);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find(out + ": Cannot write image.\n"), std::string::npos) << r.out;
    const size_t blocks = r.out.find("Worker 1 times (in sec.):\n");
    const size_t verdict = r.out.find("Reconstruction unsuccessful!\n");
    ASSERT_NE(blocks, std::string::npos) << r.out;
    ASSERT_NE(verdict, std::string::npos) << r.out;
    EXPECT_LT(blocks, verdict);
    EXPECT_EQ(r.out.find("Reconstruction successful!"), std::string::npos);

    // Nothing but the inputs: neither the volume nor its unfinished copy.
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir.path))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"series.mrc", "series.tlt"}));
}

// A volume with NaN or infinite voxels is still written, with a warning
// that counts them (even a single one) and names the usual causes, and a
// header whose statistics are those of its finite voxels (extremes: of its
// non-NaN ones, infinities included).
TEST_F(E2eFailures, NonFiniteVoxelsAreReported)
{
    auto expect_reported = [&](const std::string &input, std::vector<std::string> extra,
                               const std::string &angles, long long expected_bad) {
        const std::string out = dir.file("nonfinite.mrc");
        std::vector<std::string> a = {"-a", angles, "-i", input, "-o", out, "-f", "-v", "0"};
        a.insert(a.end(), extra.begin(), extra.end());
        const run_result_t r = e2e_run(a);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        const e2e_volume_t v = e2e_read_volume(out);
        ASSERT_TRUE(v.ok);
        long long bad = 0;
        float lo = INFINITY, hi = -INFINITY;
        double sum = 0;
        for (float x : v.data) {
            if (!std::isnan(x)) {
                lo = std::min(lo, x);
                hi = std::max(hi, x);
            }
            if (std::isfinite(x))
                sum += x;
            else
                bad++;
        }
        ASSERT_GT(bad, 0);
        if (expected_bad > 0) {
            EXPECT_EQ(bad, expected_bad);
        }
        EXPECT_EQ(r.out, "Warning: " + std::to_string(bad) +
                             " voxels of the reconstructed volume are not finite (NaN or "
                             "infinite).\nCommon causes: non-finite pixels in the tilt series, or "
                             "-L or -O values that take pixels to zero or below.\n");
        if (lo <= hi) {
            EXPECT_EQ(v.amin, lo);
            EXPECT_EQ(v.amax, hi);
        } else {  // nothing but NaN: no extremes and no mean
            EXPECT_TRUE(std::isnan(v.amin) && std::isnan(v.amax) && std::isnan(v.amean));
        }
        if (bad < (long long)v.data.size()) {
            const double mean = sum / (double)(v.data.size() - bad);
            EXPECT_NEAR(v.amean, mean, 1e-5 * std::fabs(mean) + 1e-6);
        }
    };

    // One NaN pixel: its slice is lost, the rest of the volume is not.
    e2e_series_t s = series;
    s.tilt[((size_t)20 * s.rows + 3) * s.D + 30] = NAN;
    const std::string nan_series = dir.file("nan_pixel.mrc");
    e2e_write_mrc(nan_series, s.D, s.rows, s.N, s.tilt);
    expect_reported(nan_series, {}, tlt, 0);
    // A header minimum above the data under -L is refused, not reported
    // (e2e_reasons_test.cpp).

    // One angle, no weighting, nearest samples: every voxel takes one pixel.
    const std::string one_angle = dir.file("one_angle.tlt");
    e2e_write_angles(one_angle, {0.0f});
    const std::vector<std::string> one_pixel_each = {"-w", "off", "-I", "off", "-z", "2"};
    auto with = [](std::vector<std::string> a, std::vector<std::string> b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const size_t pixels = (size_t)series.D * series.rows;
    // Nothing but +inf: every voxel +inf.
    const std::string infinite = dir.file("infinite.mrc");
    e2e_write_mrc(infinite, series.D, series.rows, 1, std::vector<float>(pixels, INFINITY));
    expect_reported(infinite, with(one_pixel_each, {"-x", "46"}), one_angle,
                    46LL * 2 * series.rows);
    // A single +inf pixel that a slice one voxel wide takes in one voxel.
    std::vector<float> ones(pixels, 1.0f);
    ones[(size_t)3 * series.D + series.D / 2] = INFINITY;
    const std::string one_bad = dir.file("one_bad.mrc");
    e2e_write_mrc(one_bad, series.D, series.rows, 1, ones);
    expect_reported(one_bad, with(one_pixel_each, {"-x", "1"}), one_angle, 1);

    // A clean run says nothing at verbosity 0.
    const run_result_t r = e2e_run(args(dir.file("clean.mrc"), {"-f", "-v", "0"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
}

// Sizes beyond the int range, from options and from headers: each one is
// refused with a message before anything is sized from it. Run in the
// sanitizer build, a wrapped size would show as an overflow report.
TEST_F(E2eFailures, SizesBeyondInt)
{
    const std::string out = dir.file("big.mrc");
    // T threads of L lanes need T k + 5 image records and 2 L T slots in
    // flight: the first two fail on the records, the others (k = 3) only on
    // the slots.
    const struct {
        const char *threads, *ext;
    } thread_cases[] = {{"1431655765", "none"}, {"715827882", "avx"}, {"200000000", "avx"},
                        {"300000000", "sse"}};
    for (const auto &c : thread_cases) {
        const std::string threads = c.threads;
        SCOPED_TRACE("-t " + threads + " -e " + c.ext);
        const run_result_t r = e2e_run(args(out, {"-f", "-t", threads, "-e", c.ext}));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("Too many threads (-t ") + threads +
                             "): the per-thread records and buffers cannot be sized.\n");
        EXPECT_FALSE(std::filesystem::exists(out));
    }

    // A resumed range whose first section lies beyond the int range: also
    // from an origin row near the top, where 32 bits would wrap the section
    // round to 1, inside the volume's 4.
    const std::string prev = dir.file("prev.mrc"), high = dir.file("high_origin.mrc");
    run_result_t r = e2e_run(args(prev, {"-f", "-S", "-l", "1", "-y", "2,5", "-v", "0"}));
    ASSERT_EQ(r.status, 0) << r.err;
    std::filesystem::copy_file(prev, high);
    {
        std::fstream f(high, std::ios::in | std::ios::out | std::ios::binary);
        const int32_t origin = INT32_MAX;
        f.seekp(100);
        f.write(reinterpret_cast<const char *>(&origin), 4);
    }
    for (const std::string &resumed : {prev, high}) {
        r = e2e_run({"-a", tlt, "-i", ts, "-o", out, "-f", "-r", resumed, "-y",
                     "-2147483648,-2147483647"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, resumed + ": Depth out of bounds.\n");
    }

    // A sparse tilt series of one row of 2^30 bytes: the slice planes of a
    // volume that wide cannot be sized. The caches before them are reserved
    // but never touched; the leak scan and heap poisoning of the sanitizer
    // build would touch all 12 GB of them, so they are off for this run.
    const std::string wide = dir.file("wide.mrc");
    {
        int32_t w[256] = {};
        w[0] = 1 << 30, w[1] = 1, w[2] = 1, w[3] = 0;
        w[7] = 1 << 30, w[8] = 1, w[9] = 1;
        std::ofstream f(wide, std::ios::binary);
        f.write(reinterpret_cast<const char *>(w), sizeof w);
    }
    std::filesystem::resize_file(wide, 1024 + (1u << 30));
    const std::string one = dir.file("one.tlt");
    write_text_file(one, "0\n");
    const char *asan = std::getenv("ASAN_OPTIONS");
    const std::string saved = asan ? asan : "";
    setenv("ASAN_OPTIONS", (saved + ":detect_leaks=0:poison_heap=0").c_str(), 1);
    r = e2e_run({"-a", one, "-i", wide, "-o", out, "-f", "-e", "none", "-t", "1", "-z", "2", "-v",
                 "0"});
    if (asan)
        setenv("ASAN_OPTIONS", saved.c_str(), 1);
    else
        unsetenv("ASAN_OPTIONS");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No memory to reconstruct the 3D volume!\n"
                     "Do not change the default values of -b and -M and try\n"
                     "one or more of the following tips:\n"
                     "  1. Reduce the number of threads (-t).\n"
                     "  2. Disable vectorization or use SSE instead of AVX (-e).\n");
}

TEST_F(E2eFailures, WarningBeforeErrorInCombinedLog)
{
    std::vector<float> shorter(series.angles.begin(), series.angles.end() - 1);
    const std::string short_tlt = dir.file("short.tlt");
    e2e_write_angles(short_tlt, shorter);
    const std::string out = dir.file("no/such/dir/out.mrc");
    const run_result_t r = run_binary(
        "/bin/sh", {"-c", "exec \"$0\" \"$@\" 2>&1", KYVANE_BINARY, "-a", short_tlt, "-i", ts,
                    "-o", out, "-f"});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1) << r.out;
    const size_t warning = r.out.find("Warning: There are 61 tilt images");
    const size_t error = r.out.find(out + ": Cannot create image.\n");
    ASSERT_NE(warning, std::string::npos) << r.out;
    ASSERT_NE(error, std::string::npos) << r.out;
    EXPECT_LT(warning, error) << r.out;
}

// Messages of rare roads, one run each: what standard output must hold and
// must not hold, and standard error in full.
TEST_F(E2eFailures, MessagesOfRareRoads)
{
    // A detector one pixel wide leaves no even height.
    const std::string narrow = dir.file("narrow.mrc");
    e2e_write_mrc(narrow, 1, 4, series.N, std::vector<float>((size_t)4 * series.N, 1.0f));
    // A resumed volume whose first row is -1: the peek itself succeeds.
    const std::string negative = dir.file("negative.mrc");
    e2e_write_mrc(negative, 64, 32, 8, std::vector<float>(64 * 32 * 8, 1.0f));
    {
        std::fstream f(negative, std::ios::in | std::ios::out | std::ios::binary);
        const int32_t origin = -1;
        f.seekp(100);
        f.write(reinterpret_cast<const char *>(&origin), 4);
    }
    struct case_t {
        std::vector<std::string> options;
        int status;
        std::vector<std::string> out_has, out_lacks;
        std::string err;
        std::string input = "";  // the tilt series when empty
    } cases[] = {
        {{"-v", "1"}, 1, {"Warning: -z is odd. Adjusting -z to 0.\n"}, {}, "-z became 0 unexpectedly!\n",
         narrow},
        {{"-S", "-r", negative}, 1, {}, {},
         negative + ": Invalid first row -1 in the resumed reconstruction.\n"},
        // No Hamming text without weighting or at 0.5; a weighting share
        // only when there is weighting.
        {{"-w", "off"}, 0, {"Running WBP.\n", " sec.\nI/O time = "}, {"belongs to weighting"}, ""},
        {{"-m", "0.5"}, 0, {"Running WBP.\n", " belongs to weighting)\nI/O time = "}, {}, ""},
        // Buffer sizes the library changes are reported with -b at any level,
        // without it only at level 5.
        {{"-e", "sse", "-t", "2", "-b", "2,7"}, 0,
         {"Warning: Dataset read block changes to 4.\n",
          "Warning: Reconstruction write block changes to 4.\n", "I/O buffers set to 4,4.\n"},
         {}, ""},
        {{"-e", "sse", "-t", "2", "-v", "5"}, 0,
         {"Warning: Dataset read block changes to 8.\n",
          "Warning: Reconstruction write block changes to 8.\n"},
         {"% completed"}, ""},
        {{"-e", "sse", "-t", "2", "-v", "4"}, 0, {"I/O buffers set to 8,8.\n"},
         {"changes to", "may not", "% completed"}, ""},
        // The progress line at level 3.
        {{"-v", "3"}, 0, {"0% completed.\r", "100.0% completed (RAM usage: "}, {}, ""},
    };
    for (const case_t &c : cases) {
        std::vector<std::string> a = {"-a", tlt, "-i", c.input.empty() ? ts : c.input, "-o",
                                      dir.file("rare.mrc"), "-f"};
        a.insert(a.end(), c.options.begin(), c.options.end());
        const run_result_t r = e2e_run(a);
        const std::string name = a[3] + " " + c.options[0] + " " + c.options[1];
        EXPECT_FALSE(r.timed_out) << name;
        EXPECT_EQ(r.status, c.status) << name;
        EXPECT_EQ(r.err, c.err) << name;
        for (const std::string &text : c.out_has)
            EXPECT_NE(r.out.find(text), std::string::npos) << name << ": " << text << "\n" << r.out;
        for (const std::string &text : c.out_lacks)
            EXPECT_EQ(r.out.find(text), std::string::npos) << name << ": " << text << "\n" << r.out;
    }
}

TEST_F(E2eFailures, OverwriteDialogue)
{
    const std::string existing = dir.file("existing.mrc");
    write_text_file(existing, "keep me");

    // Declined, then another name typed.
    run_result_t r = e2e_run(args(existing), "n\n" + dir.file("other.mrc") + "\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Warning: Output file already exists. Overwrite? [y/n] "
                         "Please, type path and name for output file: "),
              std::string::npos);
    EXPECT_NE(r.out.find("Output recon file:  " + dir.file("other.mrc") + "\n"), std::string::npos);
    EXPECT_EQ(std::filesystem::file_size(existing), 7u);
    EXPECT_TRUE(e2e_read_volume(dir.file("other.mrc")).ok);

    // Accepted.
    r = e2e_run(args(existing), "yes\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(e2e_read_volume(existing).ok);

    // Standard input ends before an answer: the run stops, the file stays.
    write_text_file(existing, "keep me");
    r = e2e_run(args(existing), "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Overwriting check could not be performed!\n");
    EXPECT_EQ(std::filesystem::file_size(existing), 7u);
}

TEST_F(E2eFailures, InformationBlockAndTimeReport)
{
    const run_result_t r = e2e_run(args(dir.file("info.mrc"), {"-f", "-S", "-l", "3", "-e", "sse",
                                                               "-t", "2", "-b", "8,4"}));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string expected = "Input dataset:      " + ts + "\n" +
                                 "Output recon file:  " + dir.file("info.mrc") + "\n" +
                                 "Running SIRT (3 iterations).\n"
                                 "I/O buffers set to 8,4.\n"
                                 "SSE enabled.\n"
                                 "2 thread(s) will be created.\n"
                                 "Output volume will be 64 x 64 x 8 (129.0 KB).\n"
                                 "0% completed.\r";
    EXPECT_NE(r.out.find(expected), std::string::npos) << r.out;
    // -b was given, so the buffer warnings name the recommended size 2 x 4 x 2.
    EXPECT_NE(r.out.find("Warning: Write buffer may not serve threads efficiently.\nTip: Reduce the "
                         "number of threads or increase reconstruction write block (16 or greater "
                         "recommended).\n"),
              std::string::npos);
    // Progress lines rewritten in place, kept by a newline after the last
    // one, then the time report (SIRT: no weighting share).
    const std::string unit = "(GB|MB|KB|bytes)";
    const std::regex tail("0% completed\\.\r"
                          "(\\d+\\.\\d% completed \\(RAM usage: \\d+\\.\\d" + unit + "/\\d+\\.\\d" + unit +
                          "\\)\\. {8}\r)*"
                          "100\\.0% completed \\(RAM usage: \\d+\\.\\d" + unit + "/\\d+\\.\\d" + unit +
                          "\\)\\. {8}\r\n"
                          "Reconstruction time = \\d+\\.\\d{4} sec\\.\n"
                          "I/O time = \\d+\\.\\d{4} sec\\. \\{read = \\d+\\.\\d{4}, write = \\d+\\.\\d{4}, "
                          "non-overlapped = \\d+\\.\\d{4}\\}\n"
                          "Program execution time = \\d+\\.\\d{4} sec\\.\n"
                          "Reconstruction successful!\n$");
    const size_t start = r.out.find("0% completed.\r");
    ASSERT_NE(start, std::string::npos);
    EXPECT_TRUE(std::regex_match(r.out.substr(start), tail)) << r.out.substr(start);

    const run_result_t w = e2e_run(args(dir.file("info.mrc"), {"-f", "-m", "0.25"}));
    ASSERT_EQ(w.status, 0) << w.err;
    EXPECT_NE(w.out.find("Running WBP (with Hamming filter from frequency = 0.250).\n"),
              std::string::npos);
    EXPECT_NE(w.out.find("belongs to weighting)\nI/O time"), std::string::npos);

    const run_result_t quiet = e2e_run(args(dir.file("info.mrc"), {"-f", "-v", "0"}));
    ASSERT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.out, "");
}

}  // namespace

namespace {

// One worker's block of times, as printed at verbosity 3 and more.
struct worker_times_t {
    double real, recon, weight, wait, other;
};

std::vector<worker_times_t> worker_blocks(const std::string &out)
{
    std::vector<worker_times_t> blocks;
    for (size_t at = out.find("Worker "); at != std::string::npos; at = out.find("Worker ", at + 1)) {
        int index = -1;
        worker_times_t t;
        if (std::sscanf(out.c_str() + at,
                        "Worker %d times (in sec.):\n\tReal     = %lf\n\tRecon    = %lf\n"
                        "\tWeight   = %lf\n\tI/O wait = %lf\n\tOther    = %lf",
                        &index, &t.real, &t.recon, &t.weight, &t.wait, &t.other) == 6 &&
            index == (int)blocks.size())
            blocks.push_back(t);
    }
    return blocks;
}

// The time report is made of the per-worker figures: reconstruction time
// (weighting included) and non-overlapped I/O wait are averages over all
// workers, the weighting share is the weighting's part of the former. Each
// printed figure is rounded to 0.5e-4, which bounds the differences.
TEST(E2eTimeReport, FiguresAgreeWithTheWorkerBlocks)
{
    scratch_dir_t dir;
    const e2e_series_t s = e2e_make_series(128, 48, 61, 64);
    const std::string ts = dir.file("series.mrc"), tlt = dir.file("series.tlt");
    e2e_write_series(s, ts, tlt);
    const std::vector<std::vector<std::string>> cases = {
        {"-t", "4", "-e", "none", "-z", "32"},       // WBP with weighting
        {"-t", "3", "-e", "sse", "-S", "-l", "5"},   // SIRT
    };
    for (const auto &extra : cases) {
        std::vector<std::string> a = {"-a", tlt, "-i", ts, "-o", dir.file("out.mrc"), "-f", "-v", "3"};
        a.insert(a.end(), extra.begin(), extra.end());
        const run_result_t r = e2e_run(a);
        ASSERT_EQ(r.status, 0) << r.err;
        const int T = std::stoi(extra[1]);
        const bool wbp = extra.size() == 6;
        const std::vector<worker_times_t> blocks = worker_blocks(r.out);
        ASSERT_EQ((int)blocks.size(), T) << r.out;
        double recon = 0, weight = 0, wait = 0;
        for (const worker_times_t &b : blocks) {
            recon += b.recon;
            weight += b.weight;
            wait += b.wait;
            EXPECT_NEAR(b.other, b.real - b.recon - b.weight - b.wait, 2.6e-4) << r.out;
        }
        ASSERT_GT(recon, 2e-3) << "too little work to tell the averages apart";

        const size_t at = r.out.find("Reconstruction time = ");
        ASSERT_NE(at, std::string::npos) << r.out;
        double R = -1, share = -1, io = -1, read = -1, write = -1, overlap = -1;
        ASSERT_EQ(std::sscanf(r.out.c_str() + at, "Reconstruction time = %lf sec.", &R), 1);
        const size_t share_at = r.out.find(" sec. (", at);
        if (wbp) {
            ASSERT_NE(share_at, std::string::npos) << r.out;
            ASSERT_EQ(std::sscanf(r.out.c_str() + share_at, " sec. (%lf%% belongs to weighting)", &share), 1);
        } else {
            EXPECT_EQ(share_at, std::string::npos) << r.out;
        }
        const size_t io_at = r.out.find("\nI/O time = ", at);
        ASSERT_NE(io_at, std::string::npos) << r.out;
        ASSERT_EQ(std::sscanf(r.out.c_str() + io_at,
                              "\nI/O time = %lf sec. {read = %lf, write = %lf, non-overlapped = %lf}",
                              &io, &read, &write, &overlap),
                  4);

        const double W = weight / T;
        EXPECT_NEAR(R, recon / T + W, 1.6e-4) << r.out;
        EXPECT_NEAR(overlap, wait / T, 1.1e-4) << r.out;
        EXPECT_NEAR(io, read + write, 1.6e-4) << r.out;
        if (wbp) {
            ASSERT_GT(W, 0.0) << r.out;
            const double bound = 0.051 + 100 * (0.5e-4 / R + W * 0.5e-4 / (R * R));
            EXPECT_NEAR(share, 100 * W / R, bound) << r.out;
        }
    }
}

}  // namespace
