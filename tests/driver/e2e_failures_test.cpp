// End-to-end failures and warnings of a run: bad inputs, outputs that
// cannot be written, disagreeing angle lists and the overwrite dialogue.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/driver/e2e_util.h"

namespace {

class E2eFailures : public ::testing::Test {
protected:
    scratch_dir_t dir;
    e2e_series_t series = e2e_make_series(64, 8, 61, 32);
    std::string ts = dir.file("series.mrc"), tlt = dir.file("series.tlt");

    void SetUp() override { e2e_write_series(series, ts, tlt); }

    std::vector<std::string> args(const std::string &output, std::vector<std::string> extra = {})
    {
        std::vector<std::string> a = {"-a", tlt, "-i", ts, "-o", output};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
};

TEST_F(E2eFailures, MissingOrDamagedTiltSeries)
{
    const std::string missing = dir.file("missing.mrc");
    run_result_t r = e2e_run({"-a", tlt, "-i", missing, "-o", dir.file("out.mrc"), "-f"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, missing + ": Cannot find image.\n");

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

// A full disk is found by the writer: the run fails, no header is written,
// and nothing hangs.
TEST_F(E2eFailures, OutputThatCannotBeWritten)
{
    if (!std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    for (const char *method : {"WBP", "SIRT"}) {
        std::vector<std::string> extra = {"-f", "-t", "4"};
        if (std::string(method) == "SIRT")
            extra.insert(extra.end(), {"-S", "-l", "3"});
        const run_result_t r = e2e_run(args("/dev/full", extra));
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 1) << method;
        EXPECT_NE(r.err.find("/dev/full: Cannot write image.\n"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Reconstruction unsuccessful!\n"), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("Reconstruction successful!"), std::string::npos);
    }
    // The per-worker times come before the verdict.
    const run_result_t r = e2e_run(args("/dev/full", {"-f", "-t", "2", "-v", "3"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Worker 1 times (in sec.):\n\tReal     = "), std::string::npos);

    // A directory that does not exist cannot hold the output.
    const std::string nowhere = dir.file("no/such/dir/out.mrc");
    const run_result_t c = e2e_run(args(nowhere, {"-f"}));
    EXPECT_EQ(c.status, 1);
    EXPECT_EQ(c.err, nowhere + ": Cannot create image.\n");
}

TEST_F(E2eFailures, OutputMustNotBeTheTiltSeries)
{
    const auto before = std::filesystem::file_size(ts);
    const run_result_t r = e2e_run(args(ts, {"-f"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Output file and tilt series cannot be the same!\n");
    EXPECT_EQ(std::filesystem::file_size(ts), before);
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
    EXPECT_NE(r.out.find("100.0% completed (RAM usage: "), std::string::npos);
    EXPECT_NE(r.out.find("Reconstruction time = "), std::string::npos);
    EXPECT_EQ(r.out.find("belongs to weighting"), std::string::npos);
    EXPECT_NE(r.out.find("\nI/O time = "), std::string::npos);
    EXPECT_NE(r.out.find("Program execution time = "), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - 27), "Reconstruction successful!\n");

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
