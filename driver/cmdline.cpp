#include "driver/cmdline.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <getopt.h>
#include <strings.h>

#include "driver/angles.h"
#include "driver/output_name.h"

const char cmdline_options[] = "a:A:b:cC:de:fhHi:I:l:Lm:M:no:O:P:r:R:s:St:v:Vw:Wx:y:z:";

// Base-10 integer from the start of the text, kept in 32 bits.
// Saturated at the int32 range: a number beyond it must not wrap round to a
// small count that passes the option's checks (2^32 + 1 threads as 1).
static int32_t read_int(const char *text)
{
    const long long value = std::strtoll(text, nullptr, 10);
    return static_cast<int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

static double read_real(const char *text)
{
    return std::strtod(text, nullptr);
}

// "on" 1, "off" 0, anything else -1.
static int read_on_off(const char *word)
{
    if (strcasecmp(word, "on") == 0)
        return 1;
    if (strcasecmp(word, "off") == 0)
        return 0;
    return -1;
}

static int fail(const char *message)
{
    std::fputs(message, stderr);
    return CMDLINE_ERROR;
}

static char *copy_text(const char *text, size_t min_size)
{
    const size_t len = std::strlen(text);
    char *copy = static_cast<char *>(std::malloc(std::max(len + 1, min_size)));
    if (copy)
        std::memcpy(copy, text, len + 1);
    return copy;
}

static void set_method(config_t *cfg, int32_t method)
{
    cfg->method = method;
    std::strcpy(cfg->method_name, method == 1 ? "WBP" : "SIRT");
}

int parse_command_line(config_t *cfg, int argc, char **argv)
{
    optind = 0; // full restart of the GNU getopt, argument permutation included
    int opt;
    while ((opt = getopt(argc, argv, cmdline_options)) != -1) {
        switch (opt) {
        case 'A': {
            const float value = static_cast<float>(read_real(optarg));
            // A non-finite offset would turn every angle into NaN or inf.
            if (!std::isfinite(value))
                return fail("-A must be a finite number.\n");
            cfg->angle_offset = value;
            cfg->angle_offset_set = 1;
            break;
        }
        case 'a':
            if (cfg->angles)
                break; // only the first angle list counts
            if (read_angle_list(optarg, &cfg->angles, &cfg->num_angles) != 0)
                return CMDLINE_ERROR;
            cfg->angles_name = copy_text(optarg, 0);
            if (!cfg->angles_name)
                return fail("No memory to store angle file name!\n");
            break;
        case 'b': {
            const char *comma = std::strchr(optarg, ',');
            if (!comma)
                return fail("Syntax error in -b .\n");
            const int32_t n = read_int(optarg);
            if (n < 1)
                return fail("Dataset read block must be > 0.\n");
            const int32_t m = read_int(comma + 1);
            if (m < 1)
                return fail("Reconstruction write block must be > 0.\n");
            cfg->read_block = n;
            cfg->write_block = m;
            cfg->buffers_set = 1;
            break;
        }
        case 'C': {
            const int32_t value = read_int(optarg);
            if (value < 1)
                return fail("Cache block must be > 0.\n");
            cfg->cache_block_kb = value;
            cfg->rows_per_set = 0;
            cfg->angles_per_set = 0;
            break;
        }
        case 'c':
            cfg->constrain = 1;
            break;
        case 'd':
            return CMDLINE_HOST_REPORT;
        case 'e':
            if (strcasecmp(optarg, "avx") == 0)
                cfg->vector_ext = VECTOR_EXT_AVX;
            else if (strcasecmp(optarg, "sse") == 0)
                cfg->vector_ext = VECTOR_EXT_SSE;
            else if (strcasecmp(optarg, "none") == 0)
                cfg->vector_ext = VECTOR_EXT_NONE;
            else
                return fail("-e must be followed by \"avx\", \"sse\" or \"none\".\n");
            break;
        case 'f':
            cfg->force_overwrite = 1;
            break;
        case 'H':
            cfg->hyperthreading = 1;
            break;
        case 'h':
            return CMDLINE_HELP;
        case 'I': {
            const int value = read_on_off(optarg);
            if (value < 0)
                return fail("-I must be followed by \"on\" or \"off\".\n");
            cfg->interpolation = value;
            break;
        }
        case 'i':
            if (cfg->dataset_name)
                break;
            cfg->dataset_name = copy_text(optarg, 0);
            if (!cfg->dataset_name)
                return fail("No memory to store dataset name!\n");
            break;
        case 'L':
            cfg->log10_input = 1;
            break;
        case 'l': {
            const int32_t value = read_int(optarg);
            if (value < 1)
                return fail("Iteration limit must be >= 1.\n");
            cfg->iterations = value;
            break;
        }
        case 'M': {
            const double value = read_real(optarg);
            if (!(value > 0.0 && value < 1.0)) // NaN fails too
                return fail("-M must be > 0 and < 1.\n");
            cfg->mem_limit = value;
            break;
        }
        case 'm': {
            const double value = read_real(optarg);
            if (!(value >= 0.0 && value <= 0.5)) { // NaN fails too
                std::fprintf(stderr, "Hamming frequency must be in [0,%g].\n", 0.5);
                return CMDLINE_ERROR;
            }
            cfg->hamming_freq = static_cast<float>(value);
            break;
        }
        case 'n':
            cfg->flip_handedness = 1;
            break;
        case 'O': {
            const float value = static_cast<float>(read_real(optarg));
            if (!std::isfinite(value))
                return fail("-O must be a finite number.\n");
            cfg->density_offset = value;
            cfg->density_offset_set = 1;
            break;
        }
        case 'o':
            if (cfg->output_name)
                break;
            // At least 256 bytes, room for a name typed at the overwrite prompt.
            cfg->output_name = copy_text(optarg, 256);
            if (!cfg->output_name)
                return fail("No memory to store reconstruction name!\n");
            break;
        case 'P': {
            const int32_t value = read_int(optarg);
            if (value < 1)
                return fail("Angles per set must be > 0.\n");
            cfg->angles_per_set = value;
            cfg->cache_block_kb = 0;
            break;
        }
        case 'R': {
            const int32_t value = read_int(optarg);
            if (value < 1)
                return fail("Rows per set must be > 0.\n");
            cfg->rows_per_set = value;
            cfg->cache_block_kb = 0;
            break;
        }
        case 'r':
            if (!cfg->resume_name) {
                cfg->resume_name = copy_text(optarg, 0);
                if (!cfg->resume_name)
                    return fail("No memory to store resumed reconstruction name!\n");
            }
            set_method(cfg, 0);
            break;
        case 'S':
            set_method(cfg, 0);
            break;
        case 's': {
            const int32_t value = read_int(optarg);
            if (value < 1)
                return fail("Split factor must be >= 1.\n");
            cfg->split_factor = value;
            break;
        }
        case 't': {
            const int32_t value = read_int(optarg);
            if (value < 1)
                return fail("Number of threads must be >= 1.\n");
            cfg->threads = value;
            break;
        }
        case 'V':
            return CMDLINE_VERSION;
        case 'v': {
            const int32_t value = read_int(optarg);
            if (value < 0 || value > 5) {
                std::fprintf(stderr, "Invalid verbosity level -> %d.\n", value);
                return CMDLINE_ERROR;
            }
            cfg->verbosity = value;
            break;
        }
        case 'W':
            set_method(cfg, 1);
            // WBP resumes nothing; a later -r is taken again.
            std::free(cfg->resume_name);
            cfg->resume_name = nullptr;
            break;
        case 'w': {
            const int value = read_on_off(optarg);
            if (value < 0)
                return fail("-w must be followed by \"on\" or \"off\".\n");
            cfg->weighting = value;
            break;
        }
        case 'x': {
            const int32_t value = read_int(optarg);
            if (value < 1)
                return fail("-x must be > 0.\n");
            cfg->width = value;
            break;
        }
        case 'y': {
            const char *comma = std::strchr(optarg, ',');
            if (!comma)
                return fail("Syntax error in -y .\n");
            const int32_t y1 = read_int(optarg);
            const int32_t y2 = read_int(comma + 1);
            cfg->y_first = y1;
            // In 64 bits, then saturated: a span beyond 32 bits must not wrap
            // round to 0 (all rows) or to a small count. The run set-up judges
            // the range.
            const int64_t count = static_cast<int64_t>(y2) - y1 + 1;
            cfg->num_slices = static_cast<int32_t>(std::clamp<int64_t>(count, INT32_MIN, INT32_MAX));
            break;
        }
        case 'z': {
            const int32_t value = read_int(optarg);
            if (value < 1 || value % 2 != 0)
                return fail("-z must be even and > 0.\n");
            cfg->height = value;
            break;
        }
        default: // unknown option or missing argument; getopt has said which
            print_usage_hint(argv[0]);
            return CMDLINE_ERROR;
        }
    }
    return CMDLINE_RUN;
}

int finish_command_line(config_t *cfg, const char *program_path)
{
    if (!cfg->angles || !cfg->dataset_name) {
        std::fputs("An angle file and a dataset are needed!\n", stderr);
        print_usage_hint(program_path);
        return -1;
    }
    if (!cfg->output_name) {
        cfg->output_name = default_output_name(cfg->dataset_name);
        if (!cfg->output_name) {
            std::fputs("No memory to store reconstruction name!\n", stderr);
            return -1;
        }
    }
    if (cfg->resume_name && std::strcmp(cfg->output_name, cfg->resume_name) == 0) {
        std::fputs("Output file and resumed file cannot be the same!\n", stderr);
        return -1;
    }
    if (cfg->cache_block_kb == 0 && (cfg->rows_per_set == 0 || cfg->angles_per_set == 0)) {
        std::fputs("Both P and R must be specified.\n", stderr);
        return -1;
    }
    if (cfg->threads != -1)
        cfg->hyperthreading = 0;
    if (cfg->flip_handedness)
        for (int32_t i = 0; i < cfg->num_angles; i++)
            cfg->angles[i] = 0.0f - cfg->angles[i];
    if (cfg->angle_offset_set)
        for (int32_t i = 0; i < cfg->num_angles; i++)
            cfg->angles[i] += cfg->angle_offset;
    // Level 2 adds only SIRT correlation lines.
    if (cfg->method == 1 && cfg->verbosity == 2)
        cfg->verbosity = 1;
    return 0;
}

void print_usage_hint(const char *program_path)
{
    std::fprintf(stderr, "Type \"%s -h\" to see program help.\n",
                 path_basename(program_path ? program_path : "kyvane"));
}

struct help_line_t {
    const char *bracket;
    const char *description;
};

static const help_line_t help_lines[] = {
    {"[-A offset]", "Add offset (a real number) to each tilt angle (default: 0)"},
    {"[-b n,m]", "Size of I/O buffers (n=No. of sinograms, m=No. of slices) (default: auto)"},
    {"[-C n]", "Process slices and sinograms using a cache block of n KB (default: auto)"},
    {"[-c]", "Constrain output volume"},
    {"[-d]", "Display system information and exit"},
    {"[-e avx/sse/none]", "Select vector extensions (default: auto)"},
    {"[-f]", "Silently overwrite output volume"},
    {"[-H]", "Use Hyper-Threading if available"},
    {"[-h]", "Show this help and exit"},
    {"[-I on/off]", "Turn on/off interpolation (default: on)"},
    {"[-L]", "Reconstruct from the base 10 logarithm of input tiltseries"},
    {"[-l iter]", "Iterations for the Iterative Reconstruction Methods (default: 30)"},
    {"[-M memlimit]", "Impose a limit on how much RAM is used (default: 0.75 = 75%)"},
    {"[-m freq]", "Frequency ([0,0.5]) from which Hamming filter is applied in WBP (default: 0)"},
    {"[-n]", "Change the handedness of the tomogram (default: IMOD style)"},
    {"[-O densoffset]", "Offset each sinogram pixel using density 'densoffset' (default: 0)"},
    {"[-o tomogram]", "Name output reconstructed volume"},
    {"[-P n]", "Sinograms will be processed in sets of n projections (default: auto)"},
    {"[-R n]", "Slices will be processed in sets of n rows (default: auto)"},
    {"[-r tomogram]", "Resume a previous SIRT reconstruction"},
    {"[-S]", "Select SIRT (default: WBP)"},
    {"[-s splitf]", "Factor to split slice rows (default: auto)"},
    {"[-t threads]", "Use threading (default number of threads: auto)"},
    {"[-V]", "Display version information and exit"},
    {"[-v level]", "Set verbosity level: 0 (no verbose), 1 (low, default), 2 (high)"},
    {"[-w on/off]", "Turn on/off weighting (default: on)"},
    {"[-x width]", "Focus reconstruction instead of using default width"},
    {"[-y y1,y2]", "Focus reconstruction instead of using default depth"},
    {"[-z height]", "Focus reconstruction instead of using default height"},
};

void print_help(void)
{
    std::fputs("------------------------------------------------------------------------\n"
               "Kyvane reconstructs a 3-D volume from a single-axis electron-tomography\n"
               "tilt series (an MRC stack and a text file of its tilt angles in degrees)\n"
               "by weighted back-projection (WBP) or SIRT, using every core of the host.\n"
               "------------------------------------------------------------------------\n"
               "\n"
               "General usage:\t kyvane -a tiltangs_file -i tiltseries\n"
               "\n"
               "Optional parameters:\n",
               stdout);
    for (const help_line_t &line : help_lines) {
        const char *separator = "\t  ";
        if (std::strcmp(line.bracket, "[-e avx/sse/none]") == 0)
            separator = " ";
        else if (std::strlen(line.bracket) < 8)
            separator = "\t\t  ";
        std::printf("%s%s%s\n", line.bracket, separator, line.description);
    }
    std::fputs("\n", stdout);
}

void print_version(void)
{
    std::fputs("Kyvane version 1.0.0, released 10 December 2026.\n"
               "Tomographic reconstruction by WBP and SIRT for multicore x86-64 CPUs.\n"
               "Written by the Kyvane developers.\n",
               stdout);
}

void print_banner(void)
{
    std::fputs("------------------------------------------------------\n"
               "                        KYVANE\n"
               "    Tomographic reconstruction from tilt series\n"
               "    WBP and SIRT, multithreaded, SSE/AVX kernels\n"
               "------------------------------------------------------\n"
               "\n",
               stdout);
}
