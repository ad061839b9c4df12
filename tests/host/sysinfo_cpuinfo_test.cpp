#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host/sysinfo.h"
#include "host/sysinfo_env.h"
#include "tests/host/sysfs_fixture.h"

namespace {

// Each entry carries a model name that contains "processor", as some
// virtual CPUs report, which must not count as a processor line.
std::string entries(int count, const std::string &body)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "processor\t: " + std::to_string(i) + "\nvendor_id\t: x\nmodel name\t: Common KVM processor\n" + body +
                "flags\t\t: fpu sse avx\n\n";
    return text;
}

sysinfo_t *probe_text(const FixtureDir &fx, const std::string &text, const cpu_set_t *allowed = nullptr,
                      long l1d = 32768, const char *vendor = "GenuineIntel")
{
    fx.put("cpuinfo", text);
    sysinfo_env_t env = fixture_env(fx, allowed, l1d);
    fake_cpuid_t::vendor() = vendor;
    return sysinfo_probe_cpuinfo_env(&env);
}

TEST(SysinfoCpuinfo, PackagesFromProcessorEntries)
{
    struct Case {
        const char *name;
        std::string text;
        const char *vendor;
        int records, cores, logical, tpc, features, llc_kb;
    };
    const std::string quad_ht = "physical id\t: 0\nsiblings\t: 8\ncpu cores\t: 4\ncache size\t: 8192 KB\n";
    const Case cases[] = {
        {"one hyper-threaded package", entries(8, quad_ht), "GenuineIntel", 1, 4, 8, 2, 15, 8192},
        {"same, not Intel: no ht bit", entries(8, quad_ht), "AuthenticAMD", 1, 4, 8, 2, 7, 8192},
        {"6 siblings on 4 cores round up", entries(1, "physical id : 0\nsiblings : 6\ncpu cores : 4\ncache size : 6144 KB\n"),
         "GenuineIntel", 1, 4, 6, 2, 15, 6144},
        {"no cache size line", entries(2, "physical id : 0\nsiblings : 2\ncpu cores : 2\n"), "AuthenticAMD", 1, 2, 2,
         1, 7, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FixtureDir fx;
        sysinfo_t *list = probe_text(fx, c.text, nullptr, 32768, c.vendor);
        ASSERT_NE(list, nullptr);
        int n = 0;
        for (sysinfo_t *r = list; r->next; r = r->next) ++n;
        EXPECT_EQ(n, c.records);
        const sysinfo_t *sum = static_cast<sysinfo_t *>(list_last(list));
        for (const sysinfo_t *r : {static_cast<const sysinfo_t *>(list), sum}) {
            EXPECT_EQ(r->cores, c.cores);
            EXPECT_EQ(r->logical, c.logical);
            EXPECT_EQ(r->threads_per_core, c.tpc);
            EXPECT_EQ(r->features, c.features);
            EXPECT_EQ(r->llc.level, 0);
            EXPECT_EQ(r->llc.size_kb, c.llc_kb);
            EXPECT_EQ(r->llc.shared_cores, c.llc_kb ? c.cores : 0);
            EXPECT_EQ(r->llc.shared_logical, c.llc_kb ? c.logical : 0);
            EXPECT_EQ(r->l1.size_kb, 32);
            EXPECT_EQ(r->l1.shared_cores, 1);
            EXPECT_EQ(r->l1.shared_logical, c.tpc);
        }
        EXPECT_EQ(list->package_id, 0);
        EXPECT_EQ(list->from_cpuinfo, 1);
        EXPECT_STREQ(list->model_name, "Test CPU @ 3.00GHz");
        list_free(list);
    }
}

TEST(SysinfoCpuinfo, EntriesWithoutTopologyAreNumberedInListOrder)
{
    FixtureDir fx;
    sysinfo_t *list = probe_text(fx, entries(3, ""));
    ASSERT_NE(list, nullptr);
    // Prepended: the entry read last (processor 2) comes first and gets id 0.
    std::vector<int> ids;
    for (sysinfo_t *r = list; r->next; r = r->next) {
        ids.push_back(r->package_id);
        EXPECT_EQ(r->cores, 1);
        EXPECT_EQ(r->logical, 1);
        EXPECT_EQ(r->threads_per_core, 1);
    }
    EXPECT_EQ(ids, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(fake_cpuid_t::calls(), (std::vector<int>{0, 1, 2}));
    const sysinfo_t *sum = static_cast<sysinfo_t *>(list_last(list));
    EXPECT_EQ(sum->cores, 3);
    EXPECT_EQ(sum->logical, 3);
    EXPECT_EQ(sum->llc.size_kb, 0);
    list_free(list);
}

TEST(SysinfoCpuinfo, NoL1SizePrintsZeroRows)
{
    FixtureDir fx;
    sysinfo_t *list = probe_text(fx, entries(1, "physical id : 0\ncache size : 512 KB\n"), nullptr, -1);
    ASSERT_NE(list, nullptr);
    testing::internal::CaptureStdout();
    sysinfo_print(list);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string rows = "L1 cache size         : 0 KB\nL1 shared by          : 0 cores, 0 logical\n";
    const size_t first = out.find(rows);
    ASSERT_NE(first, std::string::npos) << out;
    EXPECT_NE(out.find(rows, first + 1), std::string::npos) << out;  // summary block too
    EXPECT_EQ(out.rfind("Using /proc/cpuinfo instead of Sysfs (some info may be inaccurate).\n\n"
                        "Processor             : 0\n",
                        0),
              0u);
    list_free(list);
}

// Keyed lines ahead of the first processor entry belong to no package:
// they must not reach the summary record.
TEST(SysinfoCpuinfo, KeyedLinesBeforeTheFirstProcessorAreIgnored)
{
    FixtureDir fx;
    sysinfo_t *list = probe_text(fx, "cache size : 512 KB\nphysical id : 0\nsiblings : 9\ncpu cores : 7\n\n" +
                                         entries(2, "physical id : 0\nsiblings : 2\ncpu cores : 2\n"
                                                    "cache size : 4096 KB\n"));
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list->next, nullptr);
    const sysinfo_t *sum = list->next;
    EXPECT_EQ(sum->next, nullptr);
    EXPECT_EQ(list->package_id, 0);
    EXPECT_EQ(sum->package_id, -1);
    EXPECT_EQ(sum->cores, 2);
    EXPECT_EQ(sum->logical, 2);
    EXPECT_EQ(sum->llc.size_kb, 4096);
    list_free(list);
}

// A CPUID answer that tells which CPU gave it.
int cpuid_naming_cpu(int cpu, sysinfo_t *r)
{
    fake_cpuid_t::run(cpu, r);
    std::snprintf(r->model_name, sizeof r->model_name, "CPU %d", cpu);
    return 0;
}

TEST(SysinfoCpuinfo, CpuidRunsOnAllowedCpus)
{
    FixtureDir fx;
    std::string text;
    for (int i = 0; i < 8; ++i)
        text += "processor : " + std::to_string(i) + "\nphysical id : " + std::to_string(i / 4) +
                "\nsiblings : 4\ncpu cores : 4\n\n";
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(2, &set);  // package 0 only through its third CPU; package 1 none
    CPU_SET(3, &set);
    sysinfo_t *list = probe_text(fx, text, &set);
    ASSERT_NE(list, nullptr);
    const sysinfo_t *p1 = list, *p0 = list->next;
    EXPECT_EQ(p1->package_id, 1);
    EXPECT_EQ(p0->package_id, 0);
    EXPECT_EQ(p0->features, 7);
    EXPECT_EQ(p1->features, 7);
    EXPECT_STREQ(p0->vendor_id, "GenuineIntel");
    EXPECT_EQ(static_cast<sysinfo_t *>(list_last(list))->features, 7);
    // CPU 2 answers for package 0, the lowest allowed CPU (2) for package 1.
    EXPECT_EQ(fake_cpuid_t::calls().front(), 2);
    EXPECT_EQ(fake_cpuid_t::calls().back(), 2);
    list_free(list);

    // Each package answered by an allowed CPU of its own, met in a later
    // entry that merges into the package's record.
    CPU_ZERO(&set);
    CPU_SET(1, &set);
    CPU_SET(6, &set);
    fx.put("cpuinfo", text);
    sysinfo_env_t env = fixture_env(fx, &set);
    env.cpuid_run = cpuid_naming_cpu;
    list = sysinfo_probe_cpuinfo_env(&env);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list->next, nullptr);
    EXPECT_STREQ(list->model_name, "CPU 6");
    EXPECT_STREQ(list->next->model_name, "CPU 1");
    EXPECT_EQ(list->features, 7);
    EXPECT_EQ(fake_cpuid_t::calls(), (std::vector<int>{1, 6}));
    list_free(list);
}

TEST(SysinfoCpuinfo, NothingToDescribe)
{
    FixtureDir fx;
    sysinfo_env_t env = fixture_env(fx);
    EXPECT_EQ(sysinfo_probe_cpuinfo_env(&env), nullptr);  // no file
    fx.put("cpuinfo", "vendor_id : GenuineIntel\ncache size : 512 KB\n");
    EXPECT_EQ(sysinfo_probe_cpuinfo_env(&env), nullptr);  // no processor line
}

}  // namespace
