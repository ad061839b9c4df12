// Host description: one record per processor package, then a summary record,
// built from sysfs (or /proc/cpuinfo) and CPUID.
#ifndef KYVANE_HOST_SYSINFO_H
#define KYVANE_HOST_SYSINFO_H

#include <cstdint>

// One cache of a host record.
struct sysinfo_cache_t {
    int32_t level;           // llc: level found (-1 none; 0 cpuinfo/summary); l1: 1
    int32_t size_kb;         // 0 when no source gives it
    int32_t shared_cores;    // cores sharing one instance
    int32_t shared_logical;  // logical CPUs sharing one instance
};

// Scratch of the sysfs probe for one package record; only while it runs.
struct sysinfo_masks_t {
    uint32_t *seen_mask;     // further hardware threads of cores already counted
    uint32_t *covered_mask;  // CPUs whose cache instance has been counted
    sysinfo_cache_t *llc;
    sysinfo_cache_t *l1;
};

enum {
    SYSINFO_CPUID = 1,
    SYSINFO_SSE = 2,
    SYSINFO_AVX = 4,
    SYSINFO_HT = 8,
};

struct sysinfo_t {
    sysinfo_t *next;         // first member: list_free/list_last rely on it
    sysinfo_masks_t *masks;  // NULL in a finished list
    int32_t from_cpuinfo;
    int32_t package_id;      // -1 summary; -2 not yet known (cpuinfo)
    int32_t cores;
    int32_t logical;
    int32_t threads_per_core;
    int32_t features;        // SYSINFO_* bits
    sysinfo_cache_t llc;
    sysinfo_cache_t l1;
    char model_name[128];
    char vendor_id[16];
    // Level-2 data cache (sysfs only; size 0 when not known). Not part of
    // the host report: the run tuning uses it to judge the llc's figures.
    sysinfo_cache_t l2;
};

// Builds a new host description list (sysfs first, then /proc/cpuinfo);
// NULL when neither describes the host. Free it with list_free.
sysinfo_t *sysinfo_probe();
// The host report on standard output; NULL prints nothing.
void sysinfo_print(const sysinfo_t *list);

// Any singly linked list whose first member is the next pointer.
void list_free(void *head);
void *list_last(void *head);

// Thread start routine: fills features bits 1, 2, 4, model_name, vendor_id.
void *sysinfo_cpuid_thread(void *record);
int sysinfo_has_cpuid();
int sysinfo_has_sse();
int sysinfo_has_avx();
void sysinfo_brand_string(char *out);   // room for 48 bytes
void sysinfo_vendor_string(char *out);  // 13 bytes

#endif
