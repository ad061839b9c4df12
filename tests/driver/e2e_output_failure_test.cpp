// End-to-end: an output the writer thread cannot write ends the run, with
// every thread stopped and the failure reported.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/driver/e2e_failures_fixture.h"

namespace {

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
    EXPECT_EQ(c.err, nowhere + ": Cannot create image.\n" + nowhere + ": No such file or directory.\n");
}

}  // namespace
