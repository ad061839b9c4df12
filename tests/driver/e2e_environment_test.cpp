// End-to-end runs in a hostile environment: failures and stop signals that
// must leave the previous output as it was, closed standard descriptors, a
// log pipe whose reader is gone and a file-size limit.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <set>

#include "tests/driver/e2e_util.h"

namespace {

std::string read_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every name in a directory, hidden ones included.
std::set<std::string> listing(const std::string &dir)
{
    std::set<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        names.insert(e.path().filename());
    return names;
}

class E2eEnvironment : public ::testing::Test {
protected:
    scratch_dir_t dir;
    e2e_series_t series = e2e_make_series(64, 32, 61, 32);
    std::string ts = dir.file("series.mrc"), tlt = dir.file("series.tlt");
    std::string keep = dir.file("keep.mrc");
    // Not an MRC file at all: any byte the run changed would show.
    std::string keep_bytes = std::string("previous volume\n") + std::string(3000, '\x5a');

    void SetUp() override
    {
        e2e_write_series(series, ts, tlt);
        write_text_file(keep, keep_bytes);
    }

    std::vector<std::string> args(const std::string &output, std::vector<std::string> extra = {})
    {
        std::vector<std::string> a = {"-a", tlt, "-i", ts, "-o", output};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }

    // True once the run has started to put voxels on the disk: the output
    // changed, or some new file in the directory holds bytes.
    bool writing_begun()
    {
        std::error_code ec;
        if (std::filesystem::file_size(keep, ec) != keep_bytes.size())
            return true;
        for (const auto &e : std::filesystem::directory_iterator(dir.path, ec)) {
            const std::string name = e.path().filename();
            if (name != "series.mrc" && name != "series.tlt" && name != "keep.mrc" &&
                e.file_size(ec) > 0 && !ec)
                return true;
        }
        return false;
    }
};

// Every way a run can fail after the output was named: whatever stood there
// is left byte for byte, and no unfinished volume remains beside it.
TEST_F(E2eEnvironment, FailedRunsKeepThePreviousOutput)
{
    // SIRT with many iterations: the run is still going when the signal comes.
    const std::vector<std::string> long_run = {"-f", "-S", "-l", "600", "-e", "none", "-t", "2",
                                               "-b", "4,1", "-v", "0"};
    const std::string split = "Split factor must be a divisor of reconstruction width (64).";
    struct case_t {
        const char *what;
        std::vector<std::string> extra;
        std::string answer;         // typed at the overwrite prompt
        int signal;                 // sent once the volume is being written
        long long file_size_limit;  // bytes, -1 none
        long long stack_limit;      // bytes, -1 as is
        int status;
        std::vector<std::string> err_has;
    } cases[] = {
        {"split factor", {"-f", "-s", "3"}, "", 0, -1, -1, 1, {split}},
        {"overwrite accepted, then split factor", {"-s", "3"}, "y\n", 0, -1, -1, 1, {split}},
        {"SIGINT", long_run, "", SIGINT, -1, -1, 128 + SIGINT, {}},
        {"SIGTERM", long_run, "", SIGTERM, -1, -1, 128 + SIGTERM, {}},
        {"SIGHUP", long_run, "", SIGHUP, -1, -1, 128 + SIGHUP, {}},
        // Room for the header and a few of the 32 slices of 16 KB.
        {"file-size limit", {"-f", "-t", "2"}, "", 0, 64 * 1024, -1, 1,
         {keep + ": Cannot write image.\n", "Reconstruction unsuccessful!\n"}},
        // Threads get stacks of the stack limit: none as large as the
        // address space can be had.
        {"threads cannot be created", {"-f", "-t", "2"}, "", 0, -1, 1LL << 47, 1,
         {"Creation of I/O threads failed!\n"}},
    };
    const std::set<std::string> before = listing(dir.path);
    for (const case_t &c : cases) {
#ifdef __SANITIZE_THREAD__
        // ThreadSanitizer's runtime cannot lay out its memory under such a limit.
        if (c.stack_limit >= 0)
            continue;
#endif
        run_options_t options;
        options.stdin_text = c.answer;
        options.file_size_limit = c.file_size_limit;
        options.stack_limit = c.stack_limit;
        options.signal = c.signal;
        options.trigger = [this]() { return writing_begun(); };
        const run_result_t r = run_binary_with(KYVANE_BINARY, args(keep, c.extra), options);
        EXPECT_FALSE(r.timed_out) << c.what;
        EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.err;
        if (c.signal) {
            EXPECT_TRUE(r.signal_sent) << c.what;
        }
        for (const std::string &text : c.err_has)
            EXPECT_NE(r.err.find(text), std::string::npos) << c.what << "\n" << r.err;
        EXPECT_EQ(r.out.find("Reconstruction successful!"), std::string::npos) << c.what;
        EXPECT_EQ(read_bytes(keep), keep_bytes) << c.what;
        EXPECT_EQ(listing(dir.path), before) << c.what;
        write_text_file(keep, keep_bytes);
    }
}

// With descriptor 0, 1 or 2 closed, no file may take its number: the prompt
// then meets the end of its input, and the log never lands in the volume.
TEST_F(E2eEnvironment, ClosedStandardStreams)
{
    run_options_t no_stdin;
    no_stdin.close_stdin = true;
    const std::set<std::string> before = listing(dir.path);
    run_result_t r = run_binary_with(KYVANE_BINARY, args(keep), no_stdin);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.err, "Overwriting check could not be performed!\n");
    // The question met the end of the input at once: no answer was read
    // from some file that took descriptor 0, so no new name was asked for.
    const std::string question = "Warning: Output file already exists. Overwrite? [y/n] ";
    ASSERT_GE(r.out.size(), question.size());
    EXPECT_EQ(r.out.substr(r.out.size() - question.size()), question) << r.out;
    EXPECT_EQ(read_bytes(keep), keep_bytes);
    EXPECT_EQ(listing(dir.path), before);

    const std::string ref = dir.file("ref.mrc"), out = dir.file("out.mrc");
    ASSERT_EQ(e2e_run(args(ref, {"-f", "-t", "2", "-v", "0"})).status, 0);
    run_options_t none;
    none.close_stdin = none.close_stdout = none.close_stderr = true;
    // Level 5 writes the most: banner, information block, traces, times.
    r = run_binary_with(KYVANE_BINARY, args(out, {"-f", "-t", "2", "-v", "5"}), none);
    EXPECT_EQ(r.status, 0);
    const e2e_volume_t got = e2e_read_volume(out), want = e2e_read_volume(ref);
    ASSERT_TRUE(want.ok);
    EXPECT_TRUE(got.ok);
    EXPECT_EQ(got.data, want.data);
    EXPECT_EQ(got.nlabl, want.nlabl);
}

// A log pipe whose reader went away costs only the log: the run goes on and
// writes its volume.
TEST_F(E2eEnvironment, ClosedLogPipe)
{
    const std::string ref = dir.file("ref.mrc"), out = dir.file("out.mrc");
    ASSERT_EQ(e2e_run(args(ref, {"-f", "-t", "2", "-v", "0"})).status, 0);
    run_options_t options;
    options.stdout_unread = true;
    const run_result_t r = run_binary_with(KYVANE_BINARY, args(out, {"-f", "-t", "2", "-v", "5"}),
                                           options);
    EXPECT_EQ(r.status, 0) << r.err;
    const e2e_volume_t got = e2e_read_volume(out);
    EXPECT_TRUE(got.ok);
    EXPECT_EQ(got.data, e2e_read_volume(ref).data);
}

}  // namespace
