// The command line as a user meets it: every case runs the built program and
// checks its output and exit status; the same arguments are then parsed in
// process to check what reached the configuration record.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <malloc.h>

#include <gtest/gtest.h>

#include "driver/cmdline.h"
#include "driver/config.h"
#include "tests/driver/cli_test_util.h"
#include "tests/support/run_binary.h"

namespace {

enum outcome_t { ACCEPT, REJECT, HELP, VERSION, HOST };

struct cli_case_t {
    const char *name;
    std::vector<std::string> args; // "@" at the start of an argument stands for the scratch directory
    outcome_t outcome;
    std::string err;                               // REJECT: standard error, exactly
    std::function<void(const config_t &)> check;   // ACCEPT: what the record holds
};

// Names the case in failure reports instead of dumping its bytes.
void PrintTo(const cli_case_t &c, std::ostream *os)
{
    *os << c.name;
}

const char usage_hint[] = "Type \"kyvane -h\" to see program help.\n";

const char banner_top[] = "------------------------------------------------------\n";

// Every message this program prints for a rejected command line.
const char *const rejection_messages[] = {
    "Syntax error in", "must be", "Invalid", "Can't find", "Unable to read", "No memory",
    "are needed", "cannot be the same", "Both P and R", "to see program help",
};

scratch_dir_t *scratch = nullptr;

std::string expand(const std::string &arg)
{
    return !arg.empty() && arg[0] == '@' ? scratch->path + arg.substr(1) : arg;
}

// The usual required pair, followed by the case's own options.
std::vector<std::string> with_inputs(std::vector<std::string> extra)
{
    std::vector<std::string> args = {"-a", "@/angles.txt", "-i", "@/ts.mrc"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

void free_config(config_t *cfg)
{
    std::free(cfg->dataset_name);
    std::free(cfg->output_name);
    std::free(cfg->resume_name);
    std::free(cfg->angles);
    std::free(cfg->angles_name);
}

const std::vector<cli_case_t> &cli_cases()
{
    static const std::vector<cli_case_t> cases = {
        // Defaults and the required inputs.
        {"defaults", with_inputs({}), ACCEPT, "", [](const config_t &c) {
             EXPECT_EQ(c.method, 1);
             EXPECT_STREQ(c.method_name, "WBP");
             EXPECT_EQ(c.verbosity, 1);
             EXPECT_EQ(c.threads, -1);
             EXPECT_EQ(c.cache_block_kb, -1);
             EXPECT_EQ(c.y_first, -1);
             EXPECT_EQ(c.num_slices, 0);
             EXPECT_EQ(c.vector_ext, 3);
             ASSERT_EQ(c.num_angles, 2);
             EXPECT_EQ(c.angles[0], 1.5f);
             EXPECT_EQ(c.angles[1], -3.0f);
         }},
        {"no_angle_list", {"-i", "@/ts.mrc"}, REJECT,
         std::string("An angle file and a dataset are needed!\n") + usage_hint, nullptr},
        {"no_dataset", {"-a", "@/angles.txt"}, REJECT,
         std::string("An angle file and a dataset are needed!\n") + usage_hint, nullptr},
        {"options_after_other_arguments", {"stray", "-a", "@/angles.txt", "more", "-i", "@/ts.mrc"}, ACCEPT, "",
         [](const config_t &c) { EXPECT_EQ(c.num_angles, 2); }},
        {"default_output_name", {"-a", "@/angles.txt", "-i", "/data/ts.mrc"}, ACCEPT, "",
         [](const config_t &c) { EXPECT_STREQ(c.output_name, "recon_ts.mrc"); }},
        {"first_dataset_and_output_count", with_inputs({"-i", "other.mrc", "-o", "out.mrc", "-o", "later.mrc"}),
         ACCEPT, "", [](const config_t &c) {
             EXPECT_EQ(std::string(c.dataset_name), scratch->file("ts.mrc"));
             EXPECT_STREQ(c.output_name, "out.mrc");
             // Room for a name typed at the overwrite prompt.
             EXPECT_GE(malloc_usable_size(c.output_name), 256u);
         }},

        // Verbosity.
        {"verbosity_2_wbp_is_1", with_inputs({"-v", "2"}), ACCEPT, "",
         [](const config_t &c) { EXPECT_EQ(c.verbosity, 1); }},
        {"verbosity_2_sirt_stays", with_inputs({"-v", "2", "-S"}), ACCEPT, "", [](const config_t &c) {
             EXPECT_EQ(c.verbosity, 2);
             EXPECT_EQ(c.method, 0);
             EXPECT_STREQ(c.method_name, "SIRT");
         }},
        {"verbosity_0_no_banner", with_inputs({"-v", "0"}), ACCEPT, "",
         [](const config_t &c) { EXPECT_EQ(c.verbosity, 0); }},
        {"verbosity_5_accepted", with_inputs({"-v", "5"}), ACCEPT, "",
         [](const config_t &c) { EXPECT_EQ(c.verbosity, 5); }},
        {"verbosity_6_rejected", with_inputs({"-v", "6"}), REJECT, "Invalid verbosity level -> 6.\n", nullptr},
        {"verbosity_negative_rejected", with_inputs({"-v", "-1"}), REJECT, "Invalid verbosity level -> -1.\n",
         nullptr},

        // Threads and hyper-threading.
        {"threads_clear_hyperthreading", with_inputs({"-t", "4", "-H"}), ACCEPT, "", [](const config_t &c) {
             EXPECT_EQ(c.threads, 4);
             EXPECT_EQ(c.hyperthreading, 0);
         }},
        {"hyperthreading_alone", with_inputs({"-H"}), ACCEPT, "",
         [](const config_t &c) { EXPECT_EQ(c.hyperthreading, 1); }},
        {"threads_0_rejected", with_inputs({"-t", "0"}), REJECT, "Number of threads must be >= 1.\n", nullptr},
        // Beyond 32 bits the count saturates instead of wrapping to 1 or to 0.
        {"threads_beyond_int_saturate", with_inputs({"-t", "4294967297"}), ACCEPT, "",
         [](const config_t &c) { EXPECT_EQ(c.threads, INT32_MAX); }},
        {"threads_beyond_int_negative", with_inputs({"-t", "-4294967295"}), REJECT,
         "Number of threads must be >= 1.\n", nullptr},

        // Method and resume.
        {"resume_then_wbp_forgets", with_inputs({"-r", "old.mrc", "-o", "old.mrc", "-W"}), ACCEPT, "",
         [](const config_t &c) {
             EXPECT_EQ(c.method, 1);
             EXPECT_STREQ(c.method_name, "WBP");
             EXPECT_EQ(c.resume_name, nullptr);
         }},
        {"wbp_then_resume", with_inputs({"-W", "-r", "old.mrc"}), ACCEPT, "", [](const config_t &c) {
             EXPECT_EQ(c.method, 0);
             EXPECT_STREQ(c.method_name, "SIRT");
             EXPECT_STREQ(c.resume_name, "old.mrc");
         }},
        {"resume_read_again_after_wbp", with_inputs({"-r", "a.mrc", "-W", "-r", "b.mrc"}), ACCEPT, "",
         [](const config_t &c) {
             EXPECT_STREQ(c.resume_name, "b.mrc");
             EXPECT_EQ(c.method, 0);
         }},
        {"first_resume_counts", with_inputs({"-r", "a.mrc", "-r", "b.mrc"}), ACCEPT, "",
         [](const config_t &c) { EXPECT_STREQ(c.resume_name, "a.mrc"); }},
        {"output_same_as_resume", with_inputs({"-r", "v.mrc", "-o", "v.mrc"}), REJECT,
         "Output file and resumed file cannot be the same!\n", nullptr},
        {"iterations_0_rejected", with_inputs({"-l", "0"}), REJECT, "Iteration limit must be >= 1.\n", nullptr},
        {"iterations", with_inputs({"-S", "-l", "12"}), ACCEPT, "",
         [](const config_t &c) { EXPECT_EQ(c.iterations, 12); }},

        // Slice range.
        {"slice_range", with_inputs({"-y", "10,20"}), ACCEPT, "", [](const config_t &c) {
             EXPECT_EQ(c.y_first, 10);
             EXPECT_EQ(c.num_slices, 11);
         }},
        {"slice_range_reversed_means_all", with_inputs({"-y", "10,9"}), ACCEPT, "", [](const config_t &c) {
             EXPECT_EQ(c.y_first, 10);
             EXPECT_EQ(c.num_slices, 0);
         }},
        // A span of 2^32 rows must not wrap round to 0, which would mean all rows.
        {"slice_range_extremes_do_not_overflow", with_inputs({"-y", "-2147483648,2147483647"}), ACCEPT, "",
         [](const config_t &c) {
             EXPECT_EQ(c.y_first, -2147483647 - 1);
             EXPECT_EQ(c.num_slices, 2147483647);
         }},
        {"slice_range_extremes_reversed", with_inputs({"-y", "2147483647,-2147483648"}), ACCEPT, "",
         [](const config_t &c) { EXPECT_EQ(c.num_slices, -2147483647 - 1); }},
        {"slice_range_without_comma", with_inputs({"-y", "10"}), REJECT, "Syntax error in -y .\n", nullptr},

        // I/O buffers.
        {"buffers", with_inputs({"-b", "8,16"}), ACCEPT, "", [](const config_t &c) {
             EXPECT_EQ(c.read_block, 8);
             EXPECT_EQ(c.write_block, 16);
             EXPECT_EQ(c.buffers_set, 1);
         }},
        {"buffers_without_comma", with_inputs({"-b", "8"}), REJECT, "Syntax error in -b .\n", nullptr},
        {"buffers_read_0", with_inputs({"-b", "0,8"}), REJECT, "Dataset read block must be > 0.\n", nullptr},
        {"buffers_write_0", with_inputs({"-b", "8,0"}), REJECT, "Reconstruction write block must be > 0.\n",
         nullptr},

        // Width and height.
        {"height_odd", with_inputs({"-z", "7"}), REJECT, "-z must be even and > 0.\n", nullptr},
        {"height_0", with_inputs({"-z", "0"}), REJECT, "-z must be even and > 0.\n", nullptr},
        {"width_0", with_inputs({"-x", "0"}), REJECT, "-x must be > 0.\n", nullptr},
        {"width_and_height", with_inputs({"-x", "100", "-z", "64"}), ACCEPT, "", [](const config_t &c) {
             EXPECT_EQ(c.width, 100);
             EXPECT_EQ(c.height, 64);
         }},
        {"integer_trailing_text_ignored", with_inputs({"-x", "12abc"}), ACCEPT, "",
         [](const config_t &c) { EXPECT_EQ(c.width, 12); }},
        {"integer_without_digits_is_0", with_inputs({"-x", "abc"}), REJECT, "-x must be > 0.\n", nullptr},

        // Reals.
        {"hamming_top_accepted", with_inputs({"-m", "0.5"}), ACCEPT, "",
         [](const config_t &c) { EXPECT_EQ(c.hamming_freq, 0.5f); }},
        {"hamming_above", with_inputs({"-m", "0.6"}), REJECT, "Hamming frequency must be in [0,0.5].\n", nullptr},
        {"hamming_negative", with_inputs({"-m", "-0.1"}), REJECT, "Hamming frequency must be in [0,0.5].\n",
         nullptr},
        {"hamming_nan", with_inputs({"-m", "nan"}), REJECT, "Hamming frequency must be in [0,0.5].\n", nullptr},
        {"mem_limit_1", with_inputs({"-M", "1"}), REJECT, "-M must be > 0 and < 1.\n", nullptr},
        {"mem_limit_0", with_inputs({"-M", "0"}), REJECT, "-M must be > 0 and < 1.\n", nullptr},
        {"mem_limit_nan", with_inputs({"-M", "nan"}), REJECT, "-M must be > 0 and < 1.\n", nullptr},
        {"mem_limit", with_inputs({"-M", "0.5"}), ACCEPT, "",
         [](const config_t &c) { EXPECT_EQ(c.mem_limit, 0.5); }},
        {"density_offset", with_inputs({"-O", "-2.5", "-L", "-c", "-f"}), ACCEPT, "", [](const config_t &c) {
             EXPECT_EQ(c.density_offset, -2.5f);
             EXPECT_EQ(c.density_offset_set, 1);
             EXPECT_EQ(c.log10_input, 1);
             EXPECT_EQ(c.constrain, 1);
             EXPECT_EQ(c.force_overwrite, 1);
         }},
        {"density_offset_infinite", with_inputs({"-O", "inf"}), REJECT, "-O must be a finite number.\n", nullptr},
        {"angle_offset_nan", with_inputs({"-A", "nan"}), REJECT, "-A must be a finite number.\n", nullptr},
        {"angle_offset_beyond_float", with_inputs({"-A", "1e39"}), REJECT, "-A must be a finite number.\n",
         nullptr},

        // Words, in any case.
        {"words_any_case", with_inputs({"-e", "AVX", "-w", "OFF", "-I", "On"}), ACCEPT, "", [](const config_t &c) {
             EXPECT_EQ(c.vector_ext, 0);
             EXPECT_EQ(c.weighting, 0);
             EXPECT_EQ(c.interpolation, 1);
         }},
        {"vector_sse", with_inputs({"-e", "Sse", "-I", "off"}), ACCEPT, "", [](const config_t &c) {
             EXPECT_EQ(c.vector_ext, 1);
             EXPECT_EQ(c.interpolation, 0);
         }},
        {"vector_none", with_inputs({"-e", "NONE"}), ACCEPT, "", [](const config_t &c) { EXPECT_EQ(c.vector_ext, 2); }},
        {"vector_unknown", with_inputs({"-e", "avx2"}), REJECT,
         "-e must be followed by \"avx\", \"sse\" or \"none\".\n", nullptr},
        {"weighting_unknown", with_inputs({"-w", "yes"}), REJECT, "-w must be followed by \"on\" or \"off\".\n",
         nullptr},
        {"interpolation_unknown", with_inputs({"-I", "1"}), REJECT, "-I must be followed by \"on\" or \"off\".\n",
         nullptr},

        // Cache blocking: the last of -C, -R, -P decides.
        {"cache_block_then_rows_only", with_inputs({"-C", "100", "-R", "4"}), REJECT,
         "Both P and R must be specified.\n", nullptr},
        {"angles_and_rows_per_set", with_inputs({"-P", "4", "-R", "8"}), ACCEPT, "", [](const config_t &c) {
             EXPECT_EQ(c.cache_block_kb, 0);
             EXPECT_EQ(c.angles_per_set, 4);
             EXPECT_EQ(c.rows_per_set, 8);
         }},
        {"cache_block_last_wins", with_inputs({"-R", "8", "-P", "4", "-C", "100"}), ACCEPT, "",
         [](const config_t &c) {
             EXPECT_EQ(c.cache_block_kb, 100);
             EXPECT_EQ(c.angles_per_set, 0);
             EXPECT_EQ(c.rows_per_set, 0);
         }},
        {"cache_block_0", with_inputs({"-C", "0"}), REJECT, "Cache block must be > 0.\n", nullptr},
        {"angles_per_set_0", with_inputs({"-P", "0"}), REJECT, "Angles per set must be > 0.\n", nullptr},
        {"rows_per_set_0", with_inputs({"-R", "0"}), REJECT, "Rows per set must be > 0.\n", nullptr},
        {"split_factor_0", with_inputs({"-s", "0"}), REJECT, "Split factor must be >= 1.\n", nullptr},
        {"split_factor", with_inputs({"-s", "4"}), ACCEPT, "", [](const config_t &c) { EXPECT_EQ(c.split_factor, 4); }},

        // Angle list.
        {"second_angle_list_not_opened", {"-a", "@/angles.txt", "-a", "@/missing.txt", "-i", "@/ts.mrc"}, ACCEPT, "",
         [](const config_t &c) { EXPECT_EQ(c.num_angles, 2); }},
        {"angle_list_missing", {"-a", "@/missing.txt", "-i", "@/ts.mrc"}, REJECT,
         "Can't find angle list file \"@/missing.txt\".\n@/missing.txt: No such file or directory.\n",
         nullptr},
        {"angle_list_empty", {"-a", "@/empty.txt", "-i", "@/ts.mrc"}, REJECT,
         "Invalid angle list file \"@/empty.txt\".\n", nullptr},
        {"angle_list_nan", {"-a", "@/nan.txt", "-i", "@/ts.mrc"}, REJECT, "Invalid angle list file \"@/nan.txt\".\n",
         nullptr},
        {"angle_list_is_directory", {"-a", "@", "-i", "@/ts.mrc"}, REJECT,
         "Unable to read angle list file \"@\".\n@: Is a directory.\n", nullptr},
        {"flip_then_offset", {"-a", "@/thirty.txt", "-i", "@/ts.mrc", "-n", "-A", "2"}, ACCEPT, "",
         [](const config_t &c) {
             ASSERT_EQ(c.num_angles, 1);
             EXPECT_EQ(c.angles[0], -28.0f);
             EXPECT_EQ(c.angle_offset, 2.0f);
         }},

        // Immediate actions and the order of parsing.
        {"error_before_help", {"-x", "0", "-h"}, REJECT, "-x must be > 0.\n", nullptr},
        {"help_before_error", {"-h", "-x", "0"}, HELP, "", nullptr},
        {"help_skips_required_inputs", {"-h"}, HELP, "", nullptr},
        {"version", {"-V", "-q"}, VERSION, "", nullptr},
        {"host_report", {"-d", "-x", "0"}, HOST, "", nullptr},
        {"first_rejection_stops_parsing", {"-x", "0", "-a", "@/missing.txt"}, REJECT, "-x must be > 0.\n", nullptr},
        {"unknown_option", with_inputs({"-q"}), REJECT, std::string("kyvane: invalid option -- 'q'\n") + usage_hint,
         nullptr},
        {"missing_argument", with_inputs({"-t"}), REJECT,
         std::string("kyvane: option requires an argument -- 't'\n") + usage_hint, nullptr},
    };
    return cases;
}

class CliCase : public ::testing::TestWithParam<cli_case_t> {
protected:
    static void SetUpTestSuite()
    {
        scratch = new scratch_dir_t;
        write_text_file(scratch->file("angles.txt"), "1.5\n\n# comment\n-3\n");
        write_text_file(scratch->file("thirty.txt"), "30\n");
        write_text_file(scratch->file("empty.txt"), "");
        write_text_file(scratch->file("nan.txt"), "1\nnan\n2\n");
    }
    static void TearDownTestSuite()
    {
        delete scratch;
        scratch = nullptr;
    }
};

bool is_quiet(const std::vector<std::string> &args)
{
    for (size_t i = 0; i + 1 < args.size(); i++)
        if (args[i] == "-v" && args[i + 1] == "0")
            return true;
    return false;
}

std::string expand_all(const std::string &text)
{
    std::string out;
    for (char ch : text)
        out += ch == '@' ? scratch->path : std::string(1, ch);
    return out;
}

TEST_P(CliCase, BinaryOutputAndStatus)
{
    const cli_case_t &c = GetParam();
    std::vector<std::string> args;
    for (const std::string &arg : c.args)
        args.push_back(expand(arg));
    const run_result_t r = run_binary(KYVANE_BINARY, args, "", scratch->path);
    ASSERT_FALSE(r.timed_out);

    switch (c.outcome) {
    case REJECT: {
        EXPECT_EQ(r.status, 1);
        std::string expected = expand_all(c.err);
        // getopt's own diagnostic names the program by its full path.
        const std::string prefix = "kyvane: ";
        if (expected.compare(0, prefix.size(), prefix) == 0)
            expected = KYVANE_BINARY + expected.substr(prefix.size() - 2);
        EXPECT_EQ(r.err, expected);
        EXPECT_EQ(r.out, "");
        break;
    }
    case ACCEPT: {
        // The banner comes only after every check has passed; what follows
        // belongs to the run, which has no real tilt series here.
        if (is_quiet(c.args))
            EXPECT_EQ(r.out.find("KYVANE"), std::string::npos);
        else
            EXPECT_EQ(r.out.compare(0, sizeof banner_top - 1, banner_top), 0) << r.out;
        for (const char *message : rejection_messages)
            EXPECT_EQ(r.err.find(message), std::string::npos) << r.err;
        break;
    }
    case HELP:
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("Optional parameters:\n"), std::string::npos);
        EXPECT_EQ(r.err, "");
        break;
    case VERSION:
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("Kyvane"), std::string::npos);
        EXPECT_EQ(r.err, "");
        break;
    case HOST:
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(!r.out.empty() || r.err == "System information could not be retrieved.\n") << r.err;
        break;
    }
}

TEST_P(CliCase, ParsedConfiguration)
{
    const cli_case_t &c = GetParam();
    std::vector<std::string> args = {"kyvane"};
    for (const std::string &arg : c.args)
        args.push_back(expand(arg));
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    config_t cfg = config_defaults;
    testing::internal::CaptureStderr();
    int result = parse_command_line(&cfg, static_cast<int>(args.size()), argv.data());
    if (result == CMDLINE_RUN && finish_command_line(&cfg, "kyvane") != 0)
        result = CMDLINE_ERROR;
    const std::string err = testing::internal::GetCapturedStderr();

    switch (c.outcome) {
    case ACCEPT:
        EXPECT_EQ(result, CMDLINE_RUN) << err;
        EXPECT_EQ(err, "");
        if (result == CMDLINE_RUN && c.check)
            c.check(cfg);
        break;
    case REJECT:
        EXPECT_EQ(result, CMDLINE_ERROR);
        EXPECT_EQ(err, expand_all(c.err));
        break;
    case HELP:
        EXPECT_EQ(result, CMDLINE_HELP);
        break;
    case VERSION:
        EXPECT_EQ(result, CMDLINE_VERSION);
        break;
    case HOST:
        EXPECT_EQ(result, CMDLINE_HOST_REPORT);
        break;
    }
    free_config(&cfg);
}

INSTANTIATE_TEST_SUITE_P(Table, CliCase, ::testing::ValuesIn(cli_cases()),
                         [](const ::testing::TestParamInfo<cli_case_t> &info) { return std::string(info.param.name); });

} // namespace
