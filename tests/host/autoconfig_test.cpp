#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "driver/config.h"
#include "host/autoconfig.h"
#include "host/sysinfo_env.h"
#include "mrc/mrc.h"
#include "tests/support/mrc_test_file.h"
#include "tests/support/scratch_dir.h"
#include "tests/host/sysfs_fixture.h"

namespace {

constexpr uint64_t GiB = 1ull << 30;

sysinfo_t host_summary(int features, int cores, int logical, sysinfo_cache_t llc, sysinfo_cache_t l1)
{
    sysinfo_t s{};
    s.package_id = -1;
    s.features = features;
    s.cores = cores;
    s.logical = logical;
    s.llc = llc;
    s.l1 = l1;
    return s;
}

// The 8-core, 16-logical machine: LLC 8192 KB shared by 4 cores / 8
// logical, L1 32 KB shared by 1 core / 2 logical.
const sysinfo_t kHtHost = host_summary(15, 8, 16, {0, 8192, 4, 8}, {1, 32, 1, 2});
const sysinfo_t kSseHost = host_summary(1 | 2, 4, 4, {0, 6144, 4, 4}, {1, 32, 1, 1});
const sysinfo_t kPlainHost = host_summary(1, 4, 4, {0, 6144, 4, 4}, {1, 32, 1, 1});
const sysinfo_t kUnsharedHost = host_summary(15, 8, 16, {0, 8192, 0, 0}, {1, 32, 0, 0});
// 6144 / (3 x 1.6) is 1280 in single precision but 1279.99... in double;
// an L1 of 1 KB per core divides to 0.
const sysinfo_t kThreeCoreAvxHost = host_summary(7, 3, 3, {0, 6144, 3, 3}, {1, 1, 1, 1});

struct HwCase {
    const char *name;
    const sysinfo_t *host;  // nullptr: the probe failed
    int host_avx;
    int vector_ext, threads, cache_block, split, ht;  // requested
    int want_vector, want_threads, want_cache, want_l1, want_ht;
    const char *want_out;
};

TEST(Autoconfig, HardwareDecisions)
{
    const HwCase cases[] = {
        {"all automatic", &kHtHost, 0, 3, -1, -1, -1, 0, 0, 8, 1280, 16, 0, ""},
        {"with -H", &kHtHost, 0, 3, -1, -1, -1, 1, 0, 16, 640, 8, 1, ""},
        {"with -e sse", &kHtHost, 0, 1, -1, -1, -1, 0, 1, 8, 682, 0, 0, ""},
        {"given -t, -C and -s", &kHtHost, 0, 3, 3, 100, 2, 1, 0, 3, 100, 0, 1, ""},
        {"sharing counts of 0", &kUnsharedHost, 0, 3, -1, -1, -1, 0, 0, 8, 256, 16, 0, ""},
        {"AVX block in single precision, L1 block of 0 becomes 16", &kThreeCoreAvxHost, 0, 3, -1, -1, -1, 0, 0, 3,
         1280, 16, 0, ""},
        {"-H without hyper-threading", &kSseHost, 0, 3, -1, -1, -1, 1, 1, 4, 512, 0, 0, ""},
        {"-e avx, SSE only", &kSseHost, 0, 0, -1, -1, -1, 0, 1, 4, 512, 0, 0,
         "Your system is not AVX-enabled. Trying SSE... Succeed!\n"},
        {"-e avx, no SSE", &kPlainHost, 0, 0, -1, -1, -1, 0, 2, 4, 512, 0, 0,
         "Your system is not AVX-enabled. Trying SSE... Failed!\nVectorization disabled.\n"},
        {"-e sse, no SSE", &kPlainHost, 0, 1, -1, -1, -1, 0, 2, 4, 512, 0, 0,
         "Your system is not SSE-enabled.\nVectorization disabled.\n"},
        {"automatic, plain host", &kPlainHost, 0, 3, -1, -1, -1, 0, 2, 4, 512, 0, 0, ""},
        {"probe failed, all automatic", nullptr, 1, 3, -1, -1, -1, 1, 0, 1, 256, 16, 0,
         "Warning: Autoconfiguration failed! Parameters [-t -C -s \b] may be set to non-optimal values.\n"
         "To override this, restart the program and enter them manually.\n"},
        {"probe failed, -t and -C given, no AVX", nullptr, 0, 3, 4, 100, -1, 0, 1, 4, 100, 0, 0, ""},
        {"probe failed, -e none", nullptr, 1, 2, -1, 100, -1, 1, 2, 1, 100, 0, 0,
         "Warning: Autoconfiguration failed! Parameters [-t \b] may be set to non-optimal values.\n"
         "To override this, restart the program and enter them manually.\n"},
        {"probe failed, -e sse", nullptr, 1, 1, 2, 100, -1, 0, 1, 2, 100, 0, 0, ""},
    };
    for (const HwCase &c : cases) {
        SCOPED_TRACE(c.name);
        config_t cfg = config_defaults;
        cfg.vector_ext = c.vector_ext;
        cfg.threads = c.threads;
        cfg.cache_block_kb = c.cache_block;
        cfg.split_factor = c.split;
        cfg.hyperthreading = c.ht;
        testing::internal::CaptureStdout();
        autoconfig_hardware_from(&cfg, c.host, c.host_avx);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.want_out);
        EXPECT_EQ(cfg.vector_ext, c.want_vector);
        EXPECT_EQ(cfg.threads, c.want_threads);
        EXPECT_EQ(cfg.cache_block_kb, c.want_cache);
        EXPECT_EQ(cfg.l1_block_kb, c.want_l1);
        EXPECT_EQ(cfg.hyperthreading, c.want_ht);
        EXPECT_EQ(cfg.split_factor, c.split);
    }
}

TEST(Autoconfig, HardwareOnThisHost)
{
    config_t cfg = config_defaults;
    testing::internal::CaptureStdout();
    autoconfig_hardware(&cfg);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(cfg.vector_ext, sysinfo_has_avx() ? 0 : 1);
    EXPECT_GE(cfg.threads, 1);
    EXPECT_GT(cfg.cache_block_kb, 0);
}

// One package of `cores` cores (CPUs 0 .. cores-1, and cores .. 2 cores-1
// as their second threads with ht) whose last level is shared by all; an
// l2_kb of 0 leaves the level-2 cache out of the tree.
void put_host(const FixtureDir &fx, int cores, bool ht, int l2_kb, int llc_kb)
{
    const int n = ht ? 2 * cores : cores;
    auto hex = [](unsigned v) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%x", v);
        return std::string(buf);
    };
    fx.put("cpu/kernel_max", std::to_string(n - 1) + "\n");
    fx.put("cpu/online", "0-" + std::to_string(n - 1) + "\n");
    const std::string all = hex((1u << n) - 1);
    for (int cpu = 0; cpu < n; ++cpu) {
        const int core = cpu % cores;
        const std::string sib = hex((1u << core) | (ht ? 1u << (core + cores) : 0u));
        std::vector<fixture_cache_t> caches = {{1, "Data", 48, sib}, {1, "Instruction", 32, sib}};
        if (l2_kb > 0) caches.push_back({2, "Unified", l2_kb, sib});
        caches.push_back({3, "Unified", llc_kb, all});
        fx.add_cpu(cpu, 0, sib, caches);
    }
}

// The automatic block from a probed sysfs tree: the last level's figure
// where its report is plausible, the core's own cache where the last level
// is false or huge; -C still wins.
TEST(Autoconfig, CacheBlockFollowsTheCoresOwnCache)
{
    const struct {
        const char *name;
        int cores;
        bool ht;
        int l2_kb, llc_kb;
        int vector_ext, cache_block, use_ht;  // requested
        int want_block;
    } cases[] = {
        {"480 MB shared by 8 cores", 8, false, 2048, 491520, 3, -1, 0, 1280},
        {"480 MB, SSE", 8, false, 2048, 491520, 1, -1, 0, 682},
        {"480 MB, -H", 8, true, 2048, 491520, 3, -1, 1, 640},
        {"480 MB, no level-2 cache in the tree", 8, false, 0, 491520, 3, -1, 0, 1280},
        {"480 MB, -C given", 8, false, 2048, 491520, 3, 4096, 0, 4096},
        {"32 MB shared by 8 cores", 8, false, 1024, 32768, 3, -1, 0, 2560},
        {"8 MB shared by 4 cores", 4, false, 256, 8192, 3, -1, 0, 1280},
        {"8 MB shared by 4 cores, -H", 4, true, 256, 8192, 3, -1, 1, 640},
        {"share 16 times the L2", 8, false, 512, 65536, 3, -1, 0, 5120},
        {"share above 16 times the L2", 8, false, 512, 66560, 3, -1, 0, 320},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        FixtureDir fx;
        put_host(fx, c.cores, c.ht, c.l2_kb, c.llc_kb);
        sysinfo_env_t env = fixture_env(fx);
        sysinfo_t *list = sysinfo_probe_sysfs_env(&env);
        ASSERT_NE(list, nullptr);
        config_t cfg = config_defaults;
        cfg.vector_ext = c.vector_ext;
        cfg.cache_block_kb = c.cache_block;
        cfg.hyperthreading = c.use_ht;
        testing::internal::CaptureStdout();
        autoconfig_hardware_from(&cfg, static_cast<const sysinfo_t *>(list_last(list)), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        list_free(list);
        EXPECT_EQ(cfg.cache_block_kb, c.want_block);
    }
}

struct IoCase {
    const char *name;
    int method, vector_ext, threads, width, height;
    int nx, nz;
    uint64_t ram;
    int want_block;
    double mem_limit = 0.75;
};

TEST(Autoconfig, IoBufferBonuses)
{
    const IoCase cases[] = {
        {"WBP, AVX, 8 threads, 8 GiB", 1, 0, 8, 0, 0, 1024, 61, 8 * GiB, 8 * 8 * 16},
        {"WBP, AVX, 8 threads, 4 GiB", 1, 0, 8, 0, 0, 1024, 61, 4 * GiB, 8 * 8 * 10},
        {"SIRT, none, 4 threads, 4 GiB", 0, 2, 4, 0, 0, 1024, 61, 4 * GiB, 4 * 1 * 8},
        {"SSE, not even one bonus fits", 1, 1, 2, 0, 0, 1024, 61, 1 << 20, 2 * 4 * 1},
        {"unknown RAM keeps all bonuses", 1, 1, 2, 0, 0, 1024, 61, 0, 2 * 4 * 16},
        // need(8) = 8 x (249856 + 4194304) + 4194304 = 39747584 = 0.75 x 52996779, truncated:
        // a need equal to the top still fits.
        {"need equal to the top", 0, 2, 1, 0, 0, 1024, 61, 52996779, 8},
        {"top one byte below the need", 0, 2, 1, 0, 0, 1024, 61, 52996778, 7},
        {"absurd header words", 1, 0, 8, 0, 0, 2147483647, 2147483647, 8 * GiB, 8 * 8 * 1},
        {"a limit of under one byte still limits", 1, 0, 8, 0, 0, 1024, 61, 8 * GiB, 8 * 8 * 1, 1e-11},
        {"a limit of a few KB", 1, 0, 8, 0, 0, 1024, 61, 8 * GiB, 8 * 8 * 1, 1e-6},
    };
    for (const IoCase &c : cases) {
        SCOPED_TRACE(c.name);
        config_t cfg = config_defaults;
        cfg.method = c.method;
        cfg.vector_ext = c.vector_ext;
        cfg.threads = c.threads;
        cfg.width = c.width;
        cfg.height = c.height;
        cfg.mem_limit = c.mem_limit;
        testing::internal::CaptureStdout();
        autoconfig_io_plan(&cfg, c.nx, c.nz, 0, 0, c.ram);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // verbosity 1
        EXPECT_EQ(cfg.read_block, c.want_block);
        EXPECT_EQ(cfg.write_block, c.want_block);
    }
}

// The verbosity-5 report shows which slice was counted.
TEST(Autoconfig, IoBufferReportAndSliceSize)
{
    struct Case {
        const char *name;
        int width, height;
        const char *resume;
        const char *want;
    };
    // SIRT, none, 1 thread, tilt series 1024 x 61, 8 GiB: need(8) = 8 (sino + slice) + slice.
    const Case cases[] = {
        {"height 513 counts 512", 0, 513, nullptr,
         "I/O buffers config:\nTop RAM    =   6.00 GB\nRAM needed =  19.91 MB (8 bonuses)\n"
         "I/O buffers set to 8,8.\n\n"},
        {"width and height beyond the tilt series count its width", 4096, 1024, nullptr,
         "I/O buffers config:\nTop RAM    =   6.00 GB\nRAM needed =  37.91 MB (8 bonuses)\n"
         "I/O buffers set to 8,8.\n\n"},
        {"resumed volume 1024 x 512", 0, 0, "resume.mrc",
         "I/O buffers config:\nTop RAM    =   6.00 GB\nRAM needed =  19.91 MB (8 bonuses)\n"
         "I/O buffers set to 8,8.\n\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        config_t cfg = config_defaults;
        cfg.method = 0;
        cfg.vector_ext = VECTOR_EXT_NONE;
        cfg.threads = 1;
        cfg.verbosity = 5;
        cfg.width = c.width;
        cfg.height = c.height;
        cfg.resume_name = const_cast<char *>(c.resume);
        testing::internal::CaptureStdout();
        autoconfig_io_plan(&cfg, 1024, 61, 1024, 512, 8 * GiB);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.want);
    }
}

// A float file of zeros in a scratch directory of its own.
class TempMrc {
public:
    TempMrc(int nx, int ny, int nz) : path_(dir_.file("volume.mrc"))
    {
        mrc_raw_write(path_, mrc_raw_file(mrc_raw_header(nx, ny, nz, 2), "",
                                          std::string(static_cast<size_t>(nx) * ny * nz * 4, '\0')));
    }
    char *name() { return &path_[0]; }

private:
    scratch_dir_t dir_;
    std::string path_;
};

// The slice part of the report ("RAM needed ... I/O buffers set to ...").
std::string io_report_tail(config_t *cfg, int *rc)
{
    cfg->verbosity = 5;
    testing::internal::CaptureStdout();
    *rc = autoconfig_io_buffers(cfg);
    const std::string out = testing::internal::GetCapturedStdout();
    const size_t at = out.find("RAM needed");
    return at == std::string::npos ? out : out.substr(at);
}

TEST(Autoconfig, IoBuffersFromFiles)
{
    // The tilt series' ny (4 rows) and nz (6 images) differ, and so do the
    // resumed volume's ny (6) and nz (2): a header word read from the wrong
    // axis changes the need. SIRT, no vector extension, 1 thread:
    // need(8) = 8 x (sino + slice) + slice, far below any RAM.
    TempMrc series(16, 4, 6), volume(10, 6, 2);
    config_t cfg = config_defaults;
    cfg.method = 0;
    cfg.vector_ext = VECTOR_EXT_NONE;
    cfg.threads = 1;
    cfg.dataset_name = series.name();
    int rc = -1;
    // sino = 16 x 4 x 6 = 384, slice = 16 x 4 x 16 = 1024: 12288 bytes.
    EXPECT_EQ(io_report_tail(&cfg, &rc), "RAM needed =  12.00 KB (8 bonuses)\nI/O buffers set to 8,8.\n\n");
    EXPECT_EQ(rc, 0);
    // Resumed: slice = 10 x 4 x 6 = 240, whatever the tilt series' width: 5232 bytes.
    cfg.resume_name = volume.name();
    EXPECT_EQ(io_report_tail(&cfg, &rc), "RAM needed =   5.11 KB (8 bonuses)\nI/O buffers set to 8,8.\n\n");
    EXPECT_EQ(rc, 0);

    cfg = config_defaults;
    cfg.vector_ext = VECTOR_EXT_SSE;
    cfg.threads = 2;
    cfg.dataset_name = series.name();
    EXPECT_EQ(autoconfig_io_buffers(&cfg), 0);
    EXPECT_EQ(cfg.read_block, 2 * 4 * 16);  // tiny sizes: every bonus fits

    char missing[] = "/tmp/kyvane_no_such_file.mrc";
    struct Case {
        char *dataset, *resume;
        const char *err;
    } cases[] = {
        {missing, nullptr, "/tmp/kyvane_no_such_file.mrc: Cannot find image.\n"
                           "/tmp/kyvane_no_such_file.mrc: No such file or directory.\n"},
        {series.name(), missing, "/tmp/kyvane_no_such_file.mrc: Cannot find image.\n"
                                 "/tmp/kyvane_no_such_file.mrc: No such file or directory.\n"},
    };
    for (const Case &c : cases) {
        cfg.dataset_name = c.dataset;
        cfg.resume_name = c.resume;
        testing::internal::CaptureStderr();
        EXPECT_EQ(autoconfig_io_buffers(&cfg), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    }

    // -b given: nothing is read, not even a missing file.
    cfg = config_defaults;
    cfg.buffers_set = 1;
    cfg.read_block = 5;
    cfg.dataset_name = missing;
    EXPECT_EQ(autoconfig_io_buffers(&cfg), 0);
    EXPECT_EQ(cfg.read_block, 5);
}

TEST(Autoconfig, GivenSplitFactorMustDivideWidth)
{
    const struct {
        int split, W, rc;
        const char *err;
    } cases[] = {
        {4, 1000, 0, ""},
        {1000, 1000, 0, ""},
        {3, 1000, -1,
         "Split factor must be a divisor of reconstruction width (1000). Legal values are:\n"
         "# 1 2 4 5 8 10 20 25 40 50 100 125 200 250 500 1000 #\n"},
        {3, 16, -1, "Split factor must be a divisor of reconstruction width (16). Legal values are:\n# 1 2 4 8 16 #\n"},
        {3, 1, -1, "Split factor must be a divisor of reconstruction width (1). Legal values are:\n# 1 #\n"},
        {5, 36, -1,
         "Split factor must be a divisor of reconstruction width (36). Legal values are:\n# 1 2 3 4 6 9 12 18 36 #\n"},
        {0, 16, -1, "Split factor must be a divisor of reconstruction width (16). Legal values are:\n# 1 2 4 8 16 #\n"},
        {3, -4, -1,
         "Split factor must be a divisor of reconstruction width (-4). Legal values are:\n"
         "An error occurred while printing divisors.\n"},
    };
    for (const auto &c : cases) {
        config_t cfg = config_defaults;
        cfg.split_factor = c.split;
        testing::internal::CaptureStderr();
        EXPECT_EQ(autoconfig_split_factor(&cfg, c.W), c.rc) << c.W;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err) << c.W;
        EXPECT_EQ(cfg.split_factor, c.split);
    }
}

TEST(Autoconfig, AutomaticSplitFactor)
{
    const struct {
        int vector_ext, l1_kb, W, want;
    } cases[] = {
        {0, 16, 1000, 4}, {0, 16, 1024, 4}, {0, 16, 4096, 16}, {0, 8, 1024, 8},
        {0, 16, 256, 1},  {1, 16, 4096, 1}, {2, 16, 4096, 1},
    };
    for (const auto &c : cases) {
        config_t cfg = config_defaults;
        cfg.vector_ext = c.vector_ext;
        cfg.l1_block_kb = c.l1_kb;
        EXPECT_EQ(autoconfig_split_factor(&cfg, c.W), 0);
        EXPECT_EQ(cfg.split_factor, c.want) << c.W;
    }

    config_t cfg = config_defaults;
    cfg.vector_ext = VECTOR_EXT_AVX;
    cfg.l1_block_kb = 16;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(autoconfig_split_factor(&cfg, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "An error occurred while searching for split factor.\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Warning: Split factor disabled (you can use -s to manually set it).\n");
    EXPECT_EQ(cfg.split_factor, 1);
}

}  // namespace
