// Small fixture trees that stand in for /sys/devices/system/cpu and
// /proc/cpuinfo, and a CPUID runner that records where it was asked to run.
#ifndef KYVANE_TESTS_HOST_SYSFS_FIXTURE_H
#define KYVANE_TESTS_HOST_SYSFS_FIXTURE_H

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/sysinfo_env.h"
#include "tests/support/scratch_dir.h"

struct fixture_cache_t {
    int level;
    const char *type;  // nullptr: no "type" file
    int size_kb;
    std::string map;   // shared_cpu_map text
};

class FixtureDir {
public:
    std::string path(const std::string &rel) const { return dir_.file(rel); }
    std::string cpu_dir() const { return path("cpu"); }
    std::string cpuinfo() const { return path("cpuinfo"); }

    void put(const std::string &rel, const std::string &text) const
    {
        const std::filesystem::path p = path(rel);
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p) << text;
    }
    void mkdir(const std::string &rel) const { std::filesystem::create_directories(path(rel)); }

    void add_cpu(int cpu, int package, const std::string &siblings,
                 const std::vector<fixture_cache_t> &caches) const
    {
        const std::string d = "cpu/cpu" + std::to_string(cpu);
        put(d + "/topology/physical_package_id", std::to_string(package) + "\n");
        put(d + "/topology/thread_siblings", siblings + "\n");
        for (size_t m = 0; m < caches.size(); ++m) {
            const std::string c = d + "/cache/index" + std::to_string(m) + "/";
            put(c + "level", std::to_string(caches[m].level) + "\n");
            if (caches[m].type) put(c + "type", std::string(caches[m].type) + "\n");
            put(c + "size", std::to_string(caches[m].size_kb) + "K\n");
            put(c + "shared_cpu_map", caches[m].map + "\n");
        }
    }

private:
    scratch_dir_t dir_;
};

// Stand-in for the pinned CPUID run.
struct fake_cpuid_t {
    static std::vector<int> &calls()
    {
        static std::vector<int> c;
        return c;
    }
    static std::string &vendor()
    {
        static std::string v = "GenuineIntel";
        return v;
    }
    static int run(int cpu, sysinfo_t *r)
    {
        calls().push_back(cpu);
        r->features |= SYSINFO_CPUID | SYSINFO_SSE | SYSINFO_AVX;
        std::strcpy(r->model_name, "Test CPU @ 3.00GHz");
        std::strncpy(r->vendor_id, vendor().c_str(), 12);
        return 0;
    }
    static int fail(int, sysinfo_t *) { return -1; }
};

// allowed: nullptr means every CPU.
inline sysinfo_env_t fixture_env(const FixtureDir &fx, const cpu_set_t *allowed = nullptr,
                                 long l1d_bytes = 32768)
{
    static std::string cpu_dir, cpuinfo;  // env keeps pointers
    cpu_dir = fx.cpu_dir();
    cpuinfo = fx.cpuinfo();
    fake_cpuid_t::calls().clear();
    fake_cpuid_t::vendor() = "GenuineIntel";
    sysinfo_env_t env;
    env.cpu_dir = cpu_dir.c_str();
    env.cpuinfo_path = cpuinfo.c_str();
    env.l1d_cache_bytes = l1d_bytes;
    // Fixtures must not depend on where the test itself may run.
    static cpu_set_t all;
    CPU_ZERO(&all);
    for (int c = 0; c < CPU_SETSIZE; ++c) CPU_SET(c, &all);
    env.allowed = allowed ? allowed : &all;
    env.cpuid_run = fake_cpuid_t::run;
    return env;
}

#endif
