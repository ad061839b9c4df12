// End-to-end runs in a hostile environment: failures and stop signals that
// must leave the previous output as it was, closed standard descriptors, a
// log pipe whose reader is gone and a file-size limit.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <filesystem>

#include "tests/driver/e2e_util.h"

namespace {

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
};

// Every way a run can fail after the output was named: whatever stood there
// is left byte for byte, and no unfinished volume remains beside it. A stop
// signal still ends the run by that signal, so that a calling shell loop
// stops too. All of it holds for the unnamed file the volume is written to,
// and for the hidden named file used where the file system has no unnamed
// ones; only the unnamed file survives SIGKILL without a trace.
TEST_F(E2eEnvironment, FailedRunsKeepThePreviousOutput)
{
    // SIRT with many iterations: the run is still going when the signal comes.
    const std::vector<std::string> long_run = {"-f", "-S", "-l", "200", "-e", "none", "-t", "2",
                                               "-b", "4,1", "-v", "0"};
    const std::string split = "Split factor must be a divisor of reconstruction width (64).";
    struct case_t {
        const char *what;
        std::vector<std::string> extra;
        std::string answer;         // typed at the overwrite prompt
        int signal;                 // sent once the volume is being written; the run dies by it
        long long file_size_limit;  // bytes, -1 none
        long long stack_limit;      // bytes, -1 as is
        int status;                 // when no signal is sent
        std::vector<std::string> err_has;
        std::string fail = "";      // the shim's modes
    } cases[] = {
        {"split factor", {"-f", "-s", "3"}, "", 0, -1, -1, 1, {split}},
        {"overwrite accepted, then split factor", {"-s", "3"}, "y\n", 0, -1, -1, 1, {split}},
        {"SIGINT", long_run, "", SIGINT, -1, -1, -1, {}},
        {"SIGTERM", long_run, "", SIGTERM, -1, -1, -1, {}},
        {"SIGHUP", long_run, "", SIGHUP, -1, -1, -1, {}},
        {"SIGQUIT", long_run, "", SIGQUIT, -1, -1, -1, {}},
        {"SIGUSR1", long_run, "", SIGUSR1, -1, -1, -1, {}},
        {"SIGALRM", long_run, "", SIGALRM, -1, -1, -1, {}},
        {"SIGXCPU", long_run, "", SIGXCPU, -1, -1, -1, {}},
        {"SIGKILL", long_run, "", SIGKILL, -1, -1, -1, {}},
        // Room for the header and a few of the 32 slices of 16 KB: known
        // before the work, so refused then.
        {"file-size limit", {"-f", "-t", "2"}, "", 0, 64 * 1024, -1, 1, {keep + ": Cannot create image.\n"}},
        // A disk that fills while the volume is written.
        {"disk full", {"-f", "-t", "2"}, "", 0, -1, -1, 1,
         {keep + ": Cannot write image.\n", "Reconstruction unsuccessful!\n"}, "write=ENOSPC"},
        // Threads get stacks of the stack limit: none as large as the
        // address space can be had.
        {"threads cannot be created", {"-f", "-t", "2"}, "", 0, -1, 1LL << 47, 1,
         {"Creation of I/O threads failed!\n"}},
    };
    const struct {
        const char *what;
        std::string fail;  // the shim's modes
    } rounds[] = {{"unnamed file", ""}, {"named hidden file", "tmpfile"}};
    const std::set<std::string> before = e2e_listing(dir.path);
    // Where the file system has no unnamed files, the program falls back to
    // a named one in the first round too.
    const int probe = open(dir.path.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    const bool unnamed = probe >= 0;
    if (probe >= 0)
        close(probe);
    else
        std::cout << "No unnamed files in " << dir.path << ": the SIGKILL case is left out\n";
    for (const auto &round : rounds) {
        for (const case_t &c : cases) {
#ifdef __SANITIZE_THREAD__
            // ThreadSanitizer's runtime cannot lay out its memory under such a limit.
            if (c.stack_limit >= 0)
                continue;
#endif
            // Nothing can remove a named file when the process is killed outright.
            if (c.signal == SIGKILL && (!round.fail.empty() || !unnamed))
                continue;
            const std::string what = std::string(c.what) + ", " + round.what;
            run_options_t options;
            options.stdin_text = c.answer;
            options.file_size_limit = c.file_size_limit;
            options.stack_limit = c.stack_limit;
            options.signal = c.signal;
            options.trigger = [this](int pid) { return e2e_writing_a_file(pid, dir.path); };
            const std::string fail = round.fail + (round.fail.empty() || c.fail.empty() ? "" : ",") + c.fail;
            if (!fail.empty())
                options.env = e2e_fail_env(fail);
            const run_result_t r = run_binary_with(KYVANE_BINARY, args(keep, c.extra), options);
            EXPECT_FALSE(r.timed_out) << what;
            EXPECT_EQ(r.status, c.signal ? -1 : c.status) << what << "\n" << r.err;
            EXPECT_EQ(r.term_signal, c.signal) << what << "\n" << r.err;
            if (c.signal) {
                EXPECT_TRUE(r.signal_sent) << what;
            }
            for (const std::string &text : c.err_has)
                EXPECT_NE(r.err.find(text), std::string::npos) << what << "\n" << r.err;
            EXPECT_EQ(r.out.find("Reconstruction successful!"), std::string::npos) << what;
            EXPECT_EQ(read_whole_file(keep), keep_bytes) << what;
            EXPECT_EQ(e2e_listing(dir.path), before) << what;
            // A leftover would fail every later case too.
            for (const std::string &name : e2e_listing(dir.path))
                if (!before.count(name))
                    std::filesystem::remove(dir.file(name));
            write_text_file(keep, keep_bytes);
        }
    }
}

// A stop signal the caller set to be ignored (nohup) stays ignored: the run
// goes on and writes its volume.
TEST_F(E2eEnvironment, IgnoredStopSignalsStayIgnored)
{
    const std::string out = dir.file("out.mrc");
    for (int sig : {SIGHUP, SIGUSR1}) {
        run_options_t options;
        options.ignored_signals = {sig};
        options.signal = sig;
        options.trigger = [this](int pid) { return e2e_writing_a_file(pid, dir.path); };
        options.env = e2e_fail_env("tmpfile");
        const run_result_t r = run_binary_with(
            KYVANE_BINARY, args(out, {"-f", "-S", "-l", "40", "-t", "2", "-b", "4,1", "-v", "0"}), options);
        EXPECT_TRUE(r.signal_sent) << strsignal(sig);
        EXPECT_EQ(r.status, 0) << strsignal(sig) << "\n" << r.err;
        EXPECT_EQ(r.term_signal, 0) << strsignal(sig);
        const e2e_volume_t v = e2e_read_volume(out);
        EXPECT_TRUE(v.ok) << strsignal(sig);
        EXPECT_EQ(v.nz, series.rows) << strsignal(sig);
    }
}

// With descriptor 0, 1 or 2 closed, no file may take its number: the prompt
// then meets the end of its input, and the log never lands in the volume.
TEST_F(E2eEnvironment, ClosedStandardStreams)
{
    run_options_t no_stdin;
    no_stdin.close_stdin = true;
    const std::set<std::string> before = e2e_listing(dir.path);
    run_result_t r = run_binary_with(KYVANE_BINARY, args(keep), no_stdin);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.err, "Overwriting check could not be performed!\n");
    // The question met the end of the input at once: no answer was read
    // from some file that took descriptor 0, so no new name was asked for.
    const std::string question = "Warning: Output file already exists. Overwrite? [y/n] ";
    ASSERT_GE(r.out.size(), question.size());
    EXPECT_EQ(r.out.substr(r.out.size() - question.size()), question) << r.out;
    EXPECT_EQ(read_whole_file(keep), keep_bytes);
    EXPECT_EQ(e2e_listing(dir.path), before);

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
