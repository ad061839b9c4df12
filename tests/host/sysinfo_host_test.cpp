// The probes on this machine: CPUID against /proc/cpuinfo, and the report.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "host/sysinfo.h"
#include "host/sysinfo_env.h"

namespace {

std::string cpuinfo_field(const std::string &key)
{
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, key.size(), key) == 0) return line.substr(line.find(':') + 2);
    return "";
}

TEST(SysinfoHost, CpuidAgreesWithProcCpuinfo)
{
    char vendor[13];
    sysinfo_vendor_string(vendor);
    EXPECT_EQ(vendor, cpuinfo_field("vendor_id"));
    const bool avx_flag = (" " + cpuinfo_field("flags") + " ").find(" avx ") != std::string::npos;
    EXPECT_EQ(sysinfo_has_avx(), avx_flag ? 1 : 0);
    char brand[49] = {};
    sysinfo_brand_string(brand);
    EXPECT_NE(brand[0], ' ');
    EXPECT_EQ(sysinfo_has_cpuid(), 1);
    EXPECT_EQ(sysinfo_has_sse(), 1);
}

TEST(SysinfoHost, PinnedRunFillsRecord)
{
    sysinfo_t *r = sysinfo_new_package(nullptr, 0);
    ASSERT_NE(r, nullptr);
    cpu_set_t set;
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    ASSERT_EQ(sysinfo_pinned_cpuid_run(sysinfo_first_allowed(&set), r), 0);
    EXPECT_EQ(r->features & 3, 3);
    EXPECT_EQ(!!(r->features & SYSINFO_AVX), sysinfo_has_avx() == 1);
    EXPECT_NE(r->model_name[0], '\0');
    EXPECT_EQ(std::strlen(r->vendor_id), 12u);
    list_free(r);
    EXPECT_EQ(sysinfo_pinned_cpuid_run(CPU_SETSIZE + 5, r = sysinfo_new_package(nullptr, 0)), -1);
    EXPECT_EQ(r->features, 0);
    list_free(r);
}

TEST(SysinfoHost, ReportOfThisMachine)
{
    sysinfo_t *list = sysinfo_probe();
    ASSERT_NE(list, nullptr);
    const sysinfo_t *sum = static_cast<sysinfo_t *>(list_last(list));
    EXPECT_EQ(sum->logical, sysconf(_SC_NPROCESSORS_ONLN));
    EXPECT_GE(sum->cores, 1);
    EXPECT_GT(sum->llc.size_kb, 0);
    EXPECT_EQ(sum->features & 3, 3);
    EXPECT_EQ(!!(sum->features & SYSINFO_AVX), sysinfo_has_avx() == 1);
    testing::internal::CaptureStdout();
    sysinfo_print(list);
    const std::string out = testing::internal::GetCapturedStdout();
    std::printf("%s", out.c_str());  // shown for inspection
    EXPECT_NE(out.find("Model name            : Kyvane Virtual CPU\n"), std::string::npos);
    list_free(list);
}

TEST(SysinfoHost, ListHelpers)
{
    sysinfo_t *one = sysinfo_new_summary();
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(list_last(one), one);
    sysinfo_t *two = sysinfo_new_package(one, 3);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(list_last(two), one);
    EXPECT_EQ(two->l1.level, 1);
    EXPECT_EQ(two->llc.level, 0);
    list_free(two);
    list_free(nullptr);
    sysinfo_print(nullptr);
}

TEST(SysinfoHost, LeadingBlanksStripped)
{
    const struct {
        const char *in, *out;
    } cases[] = {{"   Intel(R) Xeon(R)", "Intel(R) Xeon(R)"}, {"AMD EPYC", "AMD EPYC"}, {"  ", ""}, {"\tx", "\tx"}};
    for (const auto &c : cases) {
        char buf[64];
        std::strcpy(buf, c.in);
        sysinfo_strip_leading_blanks(buf);
        EXPECT_STREQ(buf, c.out);
    }
}

}  // namespace

namespace {

std::vector<int> &recorded_cpus()
{
    static std::vector<int> cpus;
    return cpus;
}

int recording_run(int cpu, sysinfo_t *r)
{
    recorded_cpus().push_back(cpu);
    return sysinfo_pinned_cpuid_run(cpu, r);
}

// With the process confined away from CPU 0 (as taskset or a cpuset does),
// the real probe must still run CPUID, on a CPU it may use.
TEST(SysinfoHost, ProbeUnderRestrictedAffinity)
{
    cpu_set_t saved;
    ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
    int last = -1;
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &saved)) last = c;
    if (last <= 0) GTEST_SKIP() << "needs a CPU other than 0";
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(last, &only);
    ASSERT_EQ(sched_setaffinity(0, sizeof only, &only), 0);
    sysinfo_env_t env = sysinfo_host_env();
    env.cpuid_run = recording_run;
    recorded_cpus().clear();
    sysinfo_t *list = sysinfo_probe_env(&env);
    ASSERT_EQ(sched_setaffinity(0, sizeof saved, &saved), 0);
    ASSERT_NE(list, nullptr);
    ASSERT_FALSE(recorded_cpus().empty());
    for (int c : recorded_cpus()) EXPECT_EQ(c, last);
    EXPECT_EQ(static_cast<sysinfo_t *>(list_last(list))->features & 3, 3);
    list_free(list);
}

}  // namespace
