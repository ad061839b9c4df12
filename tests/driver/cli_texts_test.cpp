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

    // One line per option, then a blank line at the end.
    ASSERT_GE(help.size(), 8u);
    EXPECT_EQ(help.substr(help.size() - 8), "height\n\n");
    const std::vector<std::string> options = split_lines(help.substr(at + usage.size()));
    ASSERT_EQ(options.size(), 30u); // 29 options and the closing blank line
    EXPECT_EQ(options.back(), "");

    // The three separators, the single percent sign, and the first and last lines.
    EXPECT_EQ(options[0], "[-A offset]\t  Add offset (a real number) to each tilt angle (default: 0)");
    EXPECT_EQ(options[1], "[-b n,m]\t  Size of I/O buffers (n=No. of sinograms, m=No. of slices) (default: auto)");
    EXPECT_EQ(options[3], "[-c]\t\t  Constrain output volume");
    EXPECT_EQ(options[5], "[-e avx/sse/none] Select vector extensions (default: auto)");
    EXPECT_EQ(options[12], "[-M memlimit]\t  Impose a limit on how much RAM is used (default: 0.75 = 75%)");
    EXPECT_EQ(options[15], "[-O densoffset]\t  Offset each sinogram pixel using density 'densoffset' (default: 0)");
    EXPECT_EQ(options[24], "[-v level]\t  Set verbosity level: 0 (no verbose), 1 (low, default), 2 (high)");
    EXPECT_EQ(options[28], "[-z height]\t  Focus reconstruction instead of using default height");

    // Every option line follows the separator rule; -W stays unlisted.
    const char *order[] = {"-A", "-b", "-C", "-c", "-d", "-e", "-f", "-H", "-h", "-I", "-L", "-l", "-M", "-m", "-n",
                           "-O", "-o", "-P", "-R", "-r", "-S", "-s", "-t", "-V", "-v", "-w", "-x", "-y", "-z"};
    for (size_t i = 0; i + 1 < options.size(); i++) {
        const std::string &line = options[i];
        SCOPED_TRACE(line);
        ASSERT_EQ(line.compare(0, 3, std::string("[") + order[i]), 0);
        const size_t close = line.find(']');
        ASSERT_NE(close, std::string::npos);
        const std::string bracket = line.substr(0, close + 1);
        const std::string rest = line.substr(close + 1);
        const std::string separator =
            bracket == "[-e avx/sse/none]" ? " " : (bracket.size() >= 8 ? "\t  " : "\t\t  ");
        EXPECT_EQ(rest.compare(0, separator.size(), separator), 0);
        EXPECT_NE(rest.size(), separator.size());
        EXPECT_NE(rest[separator.size()], ' ');
    }
    EXPECT_EQ(help.find("[-W"), std::string::npos);
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
