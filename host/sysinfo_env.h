// Inputs of the host probes, so that they can run on a fixture tree.
// The public probes pass the real host (sysinfo_host_env).
#ifndef KYVANE_HOST_SYSINFO_ENV_H
#define KYVANE_HOST_SYSINFO_ENV_H

#include <sched.h>

#include "host/sysinfo.h"

struct sysinfo_env_t {
    const char *cpu_dir;       // "/sys/devices/system/cpu"
    const char *cpuinfo_path;  // "/proc/cpuinfo"
    long l1d_cache_bytes;      // as sysconf(_SC_LEVEL1_DCACHE_SIZE) reports it
    const cpu_set_t *allowed;  // CPUs the process may use; NULL: sched_getaffinity
    // Runs CPUID for record on the given CPU; 0, or -1 when a step failed.
    int (*cpuid_run)(int cpu, sysinfo_t *record);
};

sysinfo_env_t sysinfo_host_env();

sysinfo_t *sysinfo_probe_env(const sysinfo_env_t *env);
sysinfo_t *sysinfo_probe_sysfs_env(const sysinfo_env_t *env);
sysinfo_t *sysinfo_probe_cpuinfo_env(const sysinfo_env_t *env);

// The pinned CPUID run: a short thread bound to cpu executes CPUID into
// record and is joined. 0, or -1 when the attribute, affinity or thread fails.
int sysinfo_pinned_cpuid_run(int cpu, sysinfo_t *record);

// CPUs the process may run on: env->allowed, else sched_getaffinity.
// Returns 0 when no set is known (then every CPU counts as allowed).
int sysinfo_allowed_cpus(const sysinfo_env_t *env, cpu_set_t *out);
int sysinfo_cpu_allowed(const cpu_set_t *set, int cpu);
// Lowest CPU of the set, or -1 when it is empty.
int sysinfo_first_allowed(const cpu_set_t *set);

// Record set-up shared by both probes.
sysinfo_t *sysinfo_new_summary();
sysinfo_t *sysinfo_new_package(sysinfo_t *head, int package_id);
// Merges a complete package record into the summary: features in common,
// counts added, the largest threads per core, the smallest caches and the
// widest sharing of one cache instance.
void sysinfo_summary_add(sysinfo_t *summary, const sysinfo_t *record);

// Removes leading blanks (0x20 only) in place.
void sysinfo_strip_leading_blanks(char *text);

#endif
