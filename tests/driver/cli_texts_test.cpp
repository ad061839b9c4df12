// The fixed texts: help, version and banner, byte for byte where the layout is fixed.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/driver/cli_test_util.h"
#include "tests/support/run_binary.h"

namespace {

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

TEST(CliTexts, HelpLayout)
{
    const run_result_t r = run_binary(KYVANE_BINARY, {"-h"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::string &help = r.out;

    // Heading framed by dashes, then a blank line.
    ASSERT_FALSE(help.empty());
    EXPECT_EQ(help[0], '-');
    const std::string usage = "\n\nGeneral usage:\t kyvane -a tiltangs_file -i tiltseries\n\nOptional parameters:\n";
    const size_t at = help.find(usage);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(help[at - 1], '-');

    // Everything after the heading, byte for byte.
    EXPECT_EQ(help.substr(at + 2),
              "General usage:\t kyvane -a tiltangs_file -i tiltseries\n"
              "\n"
              "Optional parameters:\n"
              "[-A offset]\t  Add offset (a real number) to each tilt angle (default: 0)\n"
              "[-b n,m]\t  Size of I/O buffers (n=No. of sinograms, m=No. of slices) (default: auto)\n"
              "[-C n]\t\t  Process slices and sinograms using a cache block of n KB (default: auto)\n"
              "[-c]\t\t  Constrain output volume\n"
              "[-d]\t\t  Display system information and exit\n"
              "[-e avx/sse/none] Select vector extensions (default: auto)\n"
              "[-f]\t\t  Silently overwrite output volume\n"
              "[-H]\t\t  Use Hyper-Threading if available\n"
              "[-h]\t\t  Show this help and exit\n"
              "[-I on/off]\t  Turn on/off interpolation (default: on)\n"
              "[-L]\t\t  Reconstruct from the base 10 logarithm of input tiltseries\n"
              "[-l iter]\t  Iterations for the Iterative Reconstruction Methods (default: 30)\n"
              "[-M memlimit]\t  Impose a limit on how much RAM is used (default: 0.75 = 75%)\n"
              "[-m freq]\t  Frequency ([0,0.5]) from which Hamming filter is applied in WBP (default: 0)\n"
              "[-n]\t\t  Change the handedness of the tomogram (default: IMOD style)\n"
              "[-O densoffset]\t  Offset each sinogram pixel using density 'densoffset' (default: 0)\n"
              "[-o tomogram]\t  Name output reconstructed volume\n"
              "[-P n]\t\t  Sinograms will be processed in sets of n projections (default: auto)\n"
              "[-R n]\t\t  Slices will be processed in sets of n rows (default: auto)\n"
              "[-r tomogram]\t  Resume a previous SIRT reconstruction\n"
              "[-S]\t\t  Select SIRT (default: WBP)\n"
              "[-s splitf]\t  Factor to split slice rows (default: auto)\n"
              "[-t threads]\t  Use threading (default number of threads: auto)\n"
              "[-V]\t\t  Display version information and exit\n"
              "[-v level]\t  Set verbosity level: 0 (no verbose), 1 (low, default), 2 (high)\n"
              "[-w on/off]\t  Turn on/off weighting (default: on)\n"
              "[-x width]\t  Focus reconstruction instead of using default width\n"
              "[-y y1,y2]\t  Focus reconstruction instead of using default depth\n"
              "[-z height]\t  Focus reconstruction instead of using default height\n"
              "\n");
}

TEST(CliTexts, Version)
{
    const run_result_t r = run_binary(KYVANE_BINARY, {"-V"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Kyvane"), std::string::npos);
    EXPECT_NE(r.out.find("1.0.0"), std::string::npos);
}

TEST(CliTexts, BannerLayout)
{
    scratch_dir_t dir;
    write_text_file(dir.file("angles.txt"), "0\n");
    const run_result_t r = run_binary(KYVANE_BINARY, {"-a", dir.file("angles.txt"), "-i", dir.file("ts.mrc")}, "",
                                      dir.path);
    const std::vector<std::string> lines = split_lines(r.out);
    const std::string dashes(54, '-');
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], dashes);
    EXPECT_EQ(lines[1], std::string(24, ' ') + "KYVANE");
    size_t close = 2;
    while (close < lines.size() && lines[close] != dashes)
        close++;
    ASSERT_LT(close + 1, lines.size());
    EXPECT_GT(close, 2u); // a few lines describe the program
    EXPECT_EQ(lines[close + 1], "");
}

} // namespace
