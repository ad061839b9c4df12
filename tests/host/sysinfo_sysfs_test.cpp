#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host/sysinfo.h"
#include "host/sysinfo_env.h"
#include "tests/host/sysfs_fixture.h"

namespace {

std::string hex(unsigned v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", v);
    return buf;
}

// One package of `cores` cores starting at CPU `first`; with ht, CPU
// first + i and first + cores + i are the two threads of core i.
void add_package(const FixtureDir &fx, int package, int first, int cores, bool ht, int l3_kb, int l1_kb = 32)
{
    const int n = ht ? 2 * cores : cores;
    unsigned all = 0;
    for (int i = 0; i < n; ++i) all |= 1u << (first + i);
    for (int i = 0; i < n; ++i) {
        const int cpu = first + i;
        const int core = i % cores;
        unsigned sib = 1u << (first + core);
        if (ht) sib |= 1u << (first + core + cores);
        fx.add_cpu(cpu, package, hex(sib),
                   {{1, "Data", l1_kb, hex(sib)},
                    {1, "Instruction", 32, hex(sib)},
                    {2, "Unified", 256, hex(sib)},
                    {3, "Unified", l3_kb, hex(all)}});
    }
}

void expect_cache(const sysinfo_cache_t &c, int level, int size, int cores, int logical)
{
    EXPECT_EQ(c.level, level);
    EXPECT_EQ(c.size_kb, size);
    EXPECT_EQ(c.shared_cores, cores);
    EXPECT_EQ(c.shared_logical, logical);
}

std::string report(const sysinfo_t *list)
{
    testing::internal::CaptureStdout();
    sysinfo_print(list);
    return testing::internal::GetCapturedStdout();
}

TEST(SysinfoSysfs, HyperThreadedPackageAndItsReport)
{
    FixtureDir fx;
    fx.put("cpu/kernel_max", "7\n");
    fx.put("cpu/online", "0-7\n");
    add_package(fx, 0, 0, 4, true, 8192);
    sysinfo_env_t env = fixture_env(fx);
    sysinfo_t *list = sysinfo_probe_sysfs_env(&env);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list->next, nullptr);
    const sysinfo_t *pkg = list, *sum = list->next;
    EXPECT_EQ(sum->next, nullptr);
    EXPECT_EQ(pkg->masks, nullptr);
    EXPECT_EQ(pkg->package_id, 0);
    EXPECT_EQ(pkg->from_cpuinfo, 0);
    EXPECT_EQ(pkg->cores, 4);
    EXPECT_EQ(pkg->logical, 8);
    EXPECT_EQ(pkg->threads_per_core, 2);
    EXPECT_EQ(pkg->features, 15);
    expect_cache(pkg->llc, 3, 8192, 4, 8);
    expect_cache(pkg->l1, 1, 32, 1, 2);
    EXPECT_EQ(sum->package_id, -1);
    EXPECT_EQ(sum->cores, 4);
    EXPECT_EQ(sum->logical, 8);
    EXPECT_EQ(sum->threads_per_core, 2);
    EXPECT_EQ(sum->features, 15);
    expect_cache(sum->llc, 0, 8192, 4, 8);
    expect_cache(sum->l1, 1, 32, 1, 2);
    EXPECT_EQ(fake_cpuid_t::calls(), std::vector<int>{0});

    EXPECT_EQ(report(list),
              "Processor             : 0\n"
              "Model name            : Test CPU @ 3.00GHz\n"
              "Vendor ID             : GenuineIntel\n"
              "Cores in chip         : 4\n"
              "Hardware threads/core : 2\n"
              "Logical cores         : 8\n"
              "Cache size            : 8192 KB\n"
              "Cache shared by       : 4 cores, 8 logical\n"
              "L1 cache size         : 32 KB\n"
              "L1 shared by          : 1 core, 2 logical\n"
              "Features              : sse avx ht\n"
              "\n"
              "Processor             : -1\n"
              "Model name            : Kyvane Virtual CPU\n"
              "Vendor ID             : TrueKyvane\n"
              "Cores in chip         : 4\n"
              "Hardware threads/core : 2\n"
              "Logical cores         : 8\n"
              "Cache size            : 8192 KB\n"
              "Cache shared by       : 4 cores, 8 logical\n"
              "L1 cache size         : 32 KB\n"
              "L1 shared by          : 1 core, 2 logical\n"
              "Features              : sse avx ht\n"
              "\n");
    list_free(list);
}

TEST(SysinfoSysfs, HyperThreadingBitNeedsTwoThreadsAndIntel)
{
    struct Case {
        const char *name;
        bool ht;
        const char *vendor;
        int logical, tpc, features;
    };
    const Case cases[] = {
        {"no hyper-threading", false, "GenuineIntel", 4, 1, 7},
        {"two threads, other vendor", true, "AuthenticAMD", 8, 2, 7},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FixtureDir fx;
        fx.put("cpu/kernel_max", "7\n");
        fx.put("cpu/online", c.ht ? "0-7\n" : "0-3\n");
        add_package(fx, 0, 0, 4, c.ht, 8192);
        sysinfo_env_t env = fixture_env(fx);
        fake_cpuid_t::vendor() = c.vendor;
        sysinfo_t *list = sysinfo_probe_sysfs_env(&env);
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list->cores, 4);
        EXPECT_EQ(list->logical, c.logical);
        EXPECT_EQ(list->threads_per_core, c.tpc);
        EXPECT_EQ(list->features, c.features);
        expect_cache(list->llc, 3, 8192, 4, c.logical);
        expect_cache(list->l1, 1, 32, 1, c.tpc);
        list_free(list);
    }
}

TEST(SysinfoSysfs, TwoPackagesListedLastDiscoveredFirst)
{
    FixtureDir fx;
    fx.put("cpu/kernel_max", "7\n");
    fx.put("cpu/online", "0-3,4-7\n");
    add_package(fx, 0, 0, 4, false, 8192, 48);
    add_package(fx, 1, 4, 2, true, 4096);
    sysinfo_env_t env = fixture_env(fx);
    sysinfo_t *list = sysinfo_probe_sysfs_env(&env);
    ASSERT_NE(list, nullptr);
    const sysinfo_t *p1 = list, *p0 = list->next, *sum = p0->next;
    ASSERT_NE(sum, nullptr);
    EXPECT_EQ(sum->next, nullptr);
    EXPECT_EQ(p1->package_id, 1);
    EXPECT_EQ(p0->package_id, 0);
    EXPECT_EQ(p1->cores, 2);
    EXPECT_EQ(p1->logical, 4);
    expect_cache(p1->llc, 3, 4096, 2, 4);
    expect_cache(p0->llc, 3, 8192, 4, 4);
    expect_cache(p0->l1, 1, 48, 1, 1);
    EXPECT_EQ(sum->cores, 6);
    EXPECT_EQ(sum->logical, 8);
    EXPECT_EQ(sum->threads_per_core, 2);
    expect_cache(sum->llc, 0, 4096, 4, 4);
    expect_cache(sum->l1, 1, 32, 1, 2);
    EXPECT_EQ(p0->features, 7);   // one thread per core: no ht bit
    EXPECT_EQ(sum->features, 7);  // AND over the packages
    EXPECT_EQ(fake_cpuid_t::calls(), (std::vector<int>{0, 4}));

    const std::string out = report(list);
    const size_t a = out.find("Processor             : 1\n");
    const size_t b = out.find("Processor             : 0\n");
    const size_t c = out.find("Processor             : -1\n");
    EXPECT_TRUE(a != std::string::npos && a < b && b < c && c != std::string::npos) << out;
    list_free(list);
}

// CPUID must run where the process may run: otherwise the pinned thread
// cannot start and the host loses its SSE/AVX features.
TEST(SysinfoSysfs, CpuidRunsOnAnAllowedCpuOfThePackage)
{
    FixtureDir fx;
    fx.put("cpu/kernel_max", "7\n");
    fx.put("cpu/online", "0-7\n");
    add_package(fx, 0, 0, 4, false, 8192);
    add_package(fx, 1, 4, 4, false, 8192);
    struct Case {
        std::vector<int> allowed;
        std::vector<int> calls;
    };
    const Case cases[] = {
        {{2, 3, 6, 7}, {2, 6}},  // first CPU of each package not allowed
        {{1, 2}, {1, 1}},        // package 1 has no allowed CPU: any allowed one
        {{0, 1, 2, 3, 4, 5, 6, 7}, {0, 4}},
    };
    for (const Case &c : cases) {
        cpu_set_t set;
        CPU_ZERO(&set);
        for (int cpu : c.allowed) CPU_SET(cpu, &set);
        sysinfo_env_t env = fixture_env(fx, &set);
        sysinfo_t *list = sysinfo_probe_sysfs_env(&env);
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(fake_cpuid_t::calls(), c.calls);
        EXPECT_EQ(static_cast<sysinfo_t *>(list_last(list))->features, 7);
        list_free(list);
    }
}

TEST(SysinfoSysfs, FailedCpuidRunFailsTheProbe)
{
    FixtureDir fx;
    fx.put("cpu/kernel_max", "7\n");
    fx.put("cpu/online", "0-3\n");
    add_package(fx, 0, 0, 4, false, 8192);
    sysinfo_env_t env = fixture_env(fx);
    env.cpuid_run = fake_cpuid_t::fail;
    EXPECT_EQ(sysinfo_probe_sysfs_env(&env), nullptr);
}

TEST(SysinfoSysfs, CpusFromDirectoriesWithoutOnlineFile)
{
    FixtureDir fx;
    fx.put("cpu/kernel_max", "7\n");
    add_package(fx, 0, 0, 4, false, 8192);
    std::filesystem::remove_all(fx.path("cpu/cpu2/topology"));  // skipped
    fx.mkdir("cpu/cpu5");  // beyond the gap at cpu4: never reached
    sysinfo_env_t env = fixture_env(fx);
    sysinfo_t *list = sysinfo_probe_sysfs_env(&env);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->cores, 3);
    EXPECT_EQ(list->logical, 3);
    list_free(list);
}

// Mask text of `words` comma-separated words with `low` as word `at`
// (counted from the last word of the text).
std::string mask_text(int words, unsigned low, int at)
{
    std::string text;
    for (int k = words - 1; k >= 0; --k) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%08x", k == at ? low : 0u);
        text += buf;
        if (k) text += ",";
    }
    return text;
}

TEST(SysinfoSysfs, MaskWordCountFollowsKernelMax)
{
    struct Case {
        const char *name;
        const char *kernel_max;
        int first_cpu;   // CPUs first_cpu .. first_cpu + 3 online
        int text_words;  // words in every mask text
        bool ok;
    };
    const Case cases[] = {
        {"kernel_max 7, one-word masks", "7", 0, 1, true},
        {"kernel_max 7, longer texts: extra words dropped", "7", 0, 3, true},
        {"kernel_max 63, CPUs in word 1", "63", 32, 2, true},
        {"kernel_max 8191, one-word texts are word 0", "8191", 0, 1, true},
        {"kernel_max 8191, full 256-word texts (longer than 1023 characters)", "8191", 32, 256, true},
        {"kernel_max 7, CPU 32 does not fit", "7", 32, 2, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FixtureDir fx;
        fx.put("cpu/kernel_max", std::string(c.kernel_max) + "\n");
        fx.put("cpu/online", std::to_string(c.first_cpu) + "-" + std::to_string(c.first_cpu + 3) + "\n");
        const int word = c.first_cpu / 32;
        for (int i = 0; i < 4; ++i) {
            const std::string own = mask_text(c.text_words, 1u << i, word);
            fx.add_cpu(c.first_cpu + i, 0, own,
                       {{1, "Data", 48, own}, {3, "Unified", 2048, mask_text(c.text_words, 0xf, word)}});
        }
        sysinfo_env_t env = fixture_env(fx);
        sysinfo_t *list = sysinfo_probe_sysfs_env(&env);
        if (!c.ok) {
            EXPECT_EQ(list, nullptr);
            list_free(list);
            continue;
        }
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list->cores, 4);
        EXPECT_EQ(list->logical, 4);
        expect_cache(list->llc, 3, 2048, 4, 4);
        expect_cache(list->l1, 1, 48, 1, 1);
        list_free(list);
    }
}

TEST(SysinfoSysfs, WordCountFromCoreSiblingsWithoutKernelMax)
{
    FixtureDir fx;
    fx.put("cpu/online", "32-33\n");
    fx.put("cpu/cpu0/topology/core_siblings", "00000000,00000003\n");
    for (int i = 0; i < 2; ++i)
        fx.add_cpu(32 + i, 0, hex(1u << i) + ",0",
                   {{1, "Data", 32, hex(1u << i) + ",0"}, {2, "Unified", 512, "3,0"}});
    sysinfo_env_t env = fixture_env(fx);
    sysinfo_t *list = sysinfo_probe_sysfs_env(&env);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->cores, 2);
    expect_cache(list->llc, 2, 512, 2, 2);
    list_free(list);
}

TEST(SysinfoSysfs, OnlyLevelOneDataCache)
{
    FixtureDir fx;
    fx.put("cpu/kernel_max", "3\n");
    fx.put("cpu/online", "0-1\n");
    // A larger, shared instruction cache of the same level comes first:
    // both cache passes must pass over it.
    for (int cpu = 0; cpu < 2; ++cpu)
        fx.add_cpu(cpu, 0, hex(1u << cpu),
                   {{1, "Instruction", 64, "3"}, {1, "Data", 16, hex(1u << cpu)}});
    sysinfo_env_t env = fixture_env(fx);
    sysinfo_t *list = sysinfo_probe_sysfs_env(&env);
    ASSERT_NE(list, nullptr);
    expect_cache(list->llc, 1, 16, 1, 1);
    expect_cache(list->l1, 1, 16, 1, 1);
    const std::string out = report(list);
    // The package block leaves out its L1 rows; the summary block keeps them.
    const size_t summary = out.find("Processor             : -1");
    ASSERT_NE(summary, std::string::npos);
    EXPECT_EQ(out.find("L1 cache size"), out.find("L1 cache size", summary));
    list_free(list);
}

TEST(SysinfoSysfs, UnusableTreesFallBackToCpuinfo)
{
    struct Case {
        const char *name;
        void (*damage)(const FixtureDir &);
    };
    const Case cases[] = {
        {"no type files",
         [](const FixtureDir &fx) {
             for (int cpu = 0; cpu < 4; ++cpu)
                 for (int m = 0; m < 4; ++m)
                     std::filesystem::remove(fx.path("cpu/cpu" + std::to_string(cpu) + "/cache/index" +
                                                     std::to_string(m) + "/type"));
         }},
        {"a CPU without the last-level cache",
         [](const FixtureDir &fx) {
             fx.put("cpu/cpu0/cache/index3/shared_cpu_map", "1\n");
             std::filesystem::remove_all(fx.path("cpu/cpu1/cache/index3"));
         }},
        {"no kernel_max, no core_siblings",
         [](const FixtureDir &fx) { std::filesystem::remove(fx.path("cpu/kernel_max")); }},
        {"missing thread_siblings",
         [](const FixtureDir &fx) { std::filesystem::remove(fx.path("cpu/cpu1/topology/thread_siblings")); }},
        {"missing shared_cpu_map",
         [](const FixtureDir &fx) { std::filesystem::remove(fx.path("cpu/cpu0/cache/index0/shared_cpu_map")); }},
        {"online CPU beyond kernel_max",
         [](const FixtureDir &fx) { fx.put("cpu/online", "0-3,4000000000\n"); }},
        {"empty online file", [](const FixtureDir &fx) { fx.put("cpu/online", ""); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FixtureDir fx;
        fx.put("cpu/kernel_max", "7\n");
        fx.put("cpu/online", "0-3\n");
        add_package(fx, 0, 0, 4, false, 8192);
        fx.put("cpuinfo", "processor\t: 0\nphysical id\t: 0\nsiblings\t: 1\ncpu cores\t: 1\ncache size\t: 512 KB\n");
        c.damage(fx);
        sysinfo_env_t env = fixture_env(fx);
        sysinfo_t *sysfs = sysinfo_probe_sysfs_env(&env);
        EXPECT_EQ(sysfs, nullptr);
        list_free(sysfs);
        sysinfo_t *list = sysinfo_probe_env(&env);
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list->from_cpuinfo, 1);
        EXPECT_EQ(list->llc.size_kb, 512);
        EXPECT_EQ(report(list).rfind("Using /proc/cpuinfo instead of Sysfs (some info may be inaccurate).\n\n", 0), 0u);
        list_free(list);
    }
}

}  // namespace
