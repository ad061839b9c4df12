#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/sysinfo.h"
#include "host/sysinfo_env.h"

namespace {

// Every list this works on has the next pointer as its first member.
struct list_node_t {
    list_node_t *next;
};

void print_sharing(const char *label, const sysinfo_cache_t &c)
{
    std::printf("%s: %d %s, %d logical\n", label, c.shared_cores,
                c.shared_cores == 1 ? "core" : "cores", c.shared_logical);
}

// The smallest cache, and the widest sharing of one instance.
void summary_add_cache(sysinfo_cache_t &to, const sysinfo_cache_t &from)
{
    if (from.size_kb < to.size_kb) to.size_kb = from.size_kb;
    if (from.shared_cores > to.shared_cores) to.shared_cores = from.shared_cores;
    if (from.shared_logical > to.shared_logical) to.shared_logical = from.shared_logical;
}

}  // namespace

void list_free(void *head)
{
    list_node_t *node = static_cast<list_node_t *>(head);
    while (node != nullptr) {
        list_node_t *next = node->next;
        std::free(node);
        node = next;
    }
}

void *list_last(void *head)
{
    list_node_t *node = static_cast<list_node_t *>(head);
    while (node->next != nullptr) node = node->next;
    return node;
}

sysinfo_t *sysinfo_new_package(sysinfo_t *head, int package_id)
{
    sysinfo_t *r = static_cast<sysinfo_t *>(std::malloc(sizeof(sysinfo_t)));
    if (r == nullptr) return nullptr;
    r->next = head;
    r->masks = nullptr;
    r->from_cpuinfo = 0;
    r->package_id = package_id;
    r->cores = 0;
    r->logical = 0;
    r->threads_per_core = 0;
    r->features = 0;
    r->llc = sysinfo_cache_t{0, 0, 0, 0};
    r->l1 = sysinfo_cache_t{1, 0, 0, 0};
    r->l2 = sysinfo_cache_t{2, 0, 0, 0};
    std::memset(r->model_name, 0, sizeof r->model_name);
    std::memset(r->vendor_id, 0, sizeof r->vendor_id);
    return r;
}

sysinfo_t *sysinfo_new_summary()
{
    sysinfo_t *s = sysinfo_new_package(nullptr, -1);
    if (s == nullptr) return nullptr;
    s->features = SYSINFO_CPUID | SYSINFO_SSE | SYSINFO_AVX | SYSINFO_HT;
    s->llc = sysinfo_cache_t{0, INT32_MAX, 0, 0};
    s->l1 = sysinfo_cache_t{1, INT32_MAX, 0, 0};
    std::strcpy(s->model_name, "Kyvane Virtual CPU");
    std::strcpy(s->vendor_id, "TrueKyvane");
    return s;
}

void sysinfo_summary_add(sysinfo_t *summary, const sysinfo_t *r)
{
    summary->features &= r->features;
    summary->cores += r->cores;
    summary->logical += r->logical;
    if (r->threads_per_core > summary->threads_per_core)
        summary->threads_per_core = r->threads_per_core;
    summary_add_cache(summary->llc, r->llc);
    summary_add_cache(summary->l1, r->l1);
}

void sysinfo_print(const sysinfo_t *list)
{
    if (list == nullptr) return;
    if (list->from_cpuinfo == 1)
        std::printf("Using /proc/cpuinfo instead of Sysfs (some info may be inaccurate).\n\n");
    for (const sysinfo_t *r = list; r != nullptr; r = r->next) {
        std::printf("Processor             : %d\n", r->package_id);
        std::printf("Model name            : %s\n", r->model_name);
        std::printf("Vendor ID             : %s\n", r->vendor_id);
        std::printf("Cores in chip         : %d\n", r->cores);
        std::printf("Hardware threads/core : %d\n", r->threads_per_core);
        std::printf("Logical cores         : %d\n", r->logical);
        std::printf("Cache size            : %d KB\n", r->llc.size_kb);
        print_sharing("Cache shared by       ", r->llc);
        if (r->llc.level != r->l1.level) {
            std::printf("L1 cache size         : %d KB\n", r->l1.size_kb);
            print_sharing("L1 shared by          ", r->l1);
        }
        std::printf("Features              :");
        if (r->features & SYSINFO_SSE) std::printf(" sse");
        if (r->features & SYSINFO_AVX) std::printf(" avx");
        if (r->features & SYSINFO_HT) std::printf(" ht");
        std::printf("\n\n");
    }
}

sysinfo_env_t sysinfo_host_env()
{
    sysinfo_env_t env;
    env.cpu_dir = "/sys/devices/system/cpu";
    env.cpuinfo_path = "/proc/cpuinfo";
    env.l1d_cache_bytes = sysconf(_SC_LEVEL1_DCACHE_SIZE);
    env.allowed = nullptr;
    env.cpuid_run = sysinfo_pinned_cpuid_run;
    return env;
}

sysinfo_t *sysinfo_probe_env(const sysinfo_env_t *env)
{
    sysinfo_t *list = sysinfo_probe_sysfs_env(env);
    if (list != nullptr) return list;
    return sysinfo_probe_cpuinfo_env(env);
}

sysinfo_t *sysinfo_probe()
{
    const sysinfo_env_t env = sysinfo_host_env();
    return sysinfo_probe_env(&env);
}
