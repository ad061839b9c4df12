// Host description from /proc/cpuinfo, used when sysfs gives none.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/sysinfo.h"
#include "host/sysinfo_env.h"

namespace {

enum line_key_t { KEY_NONE, KEY_PROCESSOR, KEY_CACHE_SIZE, KEY_PHYSICAL_ID, KEY_SIBLINGS, KEY_CPU_CORES };

// A key counts only at the start of a line: a model name such as
// "Common KVM processor" must not open a phantom processor entry.
line_key_t line_key(const char *line)
{
    static const struct { const char *text; line_key_t key; } keys[] = {
        {"processor", KEY_PROCESSOR},     {"cache size", KEY_CACHE_SIZE},
        {"physical id", KEY_PHYSICAL_ID}, {"siblings", KEY_SIBLINGS},
        {"cpu cores", KEY_CPU_CORES},
    };
    while (*line == ' ' || *line == '\t') ++line;
    for (const auto &k : keys)
        if (std::strncmp(line, k.text, std::strlen(k.text)) == 0) return k.key;
    return KEY_NONE;
}

int line_value(const char *line)
{
    const char *digit = std::strpbrk(line, "0123456789");
    return digit ? static_cast<int>(std::strtol(digit, nullptr, 10)) : 0;
}

void copy_cpuid_result(sysinfo_t *to, const sysinfo_t *from)
{
    to->features = from->features;
    std::memcpy(to->model_name, from->model_name, sizeof to->model_name);
    std::memcpy(to->vendor_id, from->vendor_id, sizeof to->vendor_id);
}

}  // namespace

sysinfo_t *sysinfo_probe_cpuinfo_env(const sysinfo_env_t *env)
{
    FILE *fp = std::fopen(env->cpuinfo_path, "r");
    if (fp == nullptr) return nullptr;
    sysinfo_t *summary = sysinfo_new_summary();
    if (summary == nullptr) {
        std::fclose(fp);
        return nullptr;
    }
    // CPUID runs only on CPUs the process may use; a package first met on
    // another CPU takes the answers of a later allowed CPU of the same
    // package, or of any allowed CPU at the end.
    cpu_set_t allowed;
    const int allowed_known = sysinfo_allowed_cpus(env, &allowed);

    sysinfo_t *head = summary;
    char line[1024];
    while (std::fgets(line, sizeof line, fp) != nullptr) {
        const line_key_t key = line_key(line);
        if (key == KEY_NONE) continue;
        const int v = line_value(line);
        switch (key) {
        case KEY_PROCESSOR: {
            sysinfo_t *r = sysinfo_new_package(head, -2);
            if (r == nullptr) {
                std::fclose(fp);
                list_free(head);
                return nullptr;
            }
            head = r;
            if (!allowed_known || sysinfo_cpu_allowed(&allowed, v)) env->cpuid_run(v, r);
            r->from_cpuinfo = 1;
            break;
        }
        case KEY_CACHE_SIZE:
            if (head != summary) head->llc.size_kb = v;
            break;
        case KEY_PHYSICAL_ID: {
            if (head == summary) break;
            sysinfo_t *same = nullptr;
            for (sysinfo_t *r = head->next; r != nullptr; r = r->next)
                if (r->package_id == v) {
                    same = r;
                    break;
                }
            if (same != nullptr) {
                if (same->features == 0 && head->features != 0) copy_cpuid_result(same, head);
                sysinfo_t *next = head->next;
                std::free(head);
                head = next;
            } else {
                head->package_id = v;
            }
            break;
        }
        case KEY_SIBLINGS:
            if (head != summary) head->logical = v;
            break;
        case KEY_CPU_CORES:
            if (head != summary) head->cores = v;
            break;
        default:
            break;
        }
    }
    std::fclose(fp);
    if (head == summary) {
        std::free(summary);
        return nullptr;
    }

    const int fallback_cpu = allowed_known ? sysinfo_first_allowed(&allowed) : -1;
    int k = 0;
    for (sysinfo_t *r = head; r != summary; r = r->next) {
        if (r->features == 0 && fallback_cpu >= 0) env->cpuid_run(fallback_cpu, r);
        if (r->package_id < 0) r->package_id = k++;
        if (r->cores == 0) r->cores = 1;
        if (r->logical == 0) r->logical = 1;
        r->threads_per_core = static_cast<int>(
            std::ceil(static_cast<double>(r->logical) / static_cast<double>(r->cores)));
        if (r->logical > r->cores && std::strcmp(r->vendor_id, "GenuineIntel") == 0)
            r->features |= SYSINFO_HT;
        if (r->llc.size_kb > 0) {
            r->llc.shared_cores = r->cores;
            r->llc.shared_logical = r->logical;
        }
        const long kb = env->l1d_cache_bytes / 1024;
        if (kb >= 1) {
            r->l1.size_kb = static_cast<int>(kb);
            r->l1.shared_cores = 1;
            r->l1.shared_logical = r->threads_per_core;
        } else {
            r->l1.size_kb = 0;
        }
        sysinfo_summary_add(summary, r);
    }
    return head;
}
