// Host description from the kernel's CPU topology and cache files.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "host/sysinfo.h"
#include "host/sysinfo_env.h"

namespace {

// Reads the whole first line (newline kept), so long mask texts arrive whole.
bool read_line(const std::string &path, std::string &out)
{
    FILE *fp = std::fopen(path.c_str(), "r");
    if (fp == nullptr) return false;
    char *buf = nullptr;
    size_t cap = 0;
    ssize_t n = getline(&buf, &cap, fp);
    out.assign(n > 0 ? buf : "", n > 0 ? static_cast<size_t>(n) : 0);
    std::free(buf);
    std::fclose(fp);
    return true;
}

bool read_int(const std::string &path, long &value)
{
    std::string text;
    if (!read_line(path, text)) return false;
    value = std::strtol(text.c_str(), nullptr, 10);
    return true;
}

std::vector<std::string> split_commas(const std::string &text)
{
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        if (comma > start) pieces.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return pieces;
}

// Mask text, most significant word first: its last word becomes word 0;
// words beyond the array are dropped.
void parse_mask(const std::string &text, uint32_t *words, int count)
{
    std::memset(words, 0, sizeof(uint32_t) * static_cast<size_t>(count));
    const std::vector<std::string> pieces = split_commas(text);
    const size_t n = pieces.size();
    for (size_t i = 0; i < n; ++i) {
        const size_t k = n - 1 - i;
        if (k < static_cast<size_t>(count))
            words[k] = static_cast<uint32_t>(std::strtoul(pieces[i].c_str(), nullptr, 16));
    }
}

bool is_data_cache(const std::string &type)
{
    return type == "Data\n" || type == "Unified\n" || type == "Data" || type == "Unified";
}

bool test_bit(const uint32_t *mask, int cpu)
{
    return (mask[cpu / 32] >> (cpu % 32)) & 1u;
}

struct sysfs_probe_t {
    const sysinfo_env_t *env;
    std::string dir;
    int words = 0;  // mask word count
    std::vector<int> cpus;
    std::vector<uint32_t> map;
    std::vector<uint32_t> scratch_mask;
    sysinfo_t *head = nullptr;
    sysinfo_t *summary = nullptr;

    std::string cpu_path(int cpu, const char *rest) const
    {
        return dir + "/cpu" + std::to_string(cpu) + rest;
    }
    std::string cache_path(int cpu, int index, const char *file) const
    {
        return dir + "/cpu" + std::to_string(cpu) + "/cache/index" + std::to_string(index) + "/" + file;
    }
    bool package_of(int cpu, long &p) const
    {
        return read_int(cpu_path(cpu, "/topology/physical_package_id"), p);
    }
    sysinfo_t *find_package(long p) const
    {
        for (sysinfo_t *r = head; r != summary; r = r->next)
            if (r->package_id == p) return r;
        return nullptr;
    }
    void free_masks()
    {
        for (sysinfo_t *r = head; r != nullptr; r = r->next) {
            if (r->masks == nullptr) continue;
            std::free(r->masks->seen_mask);
            std::free(r->masks);
            r->masks = nullptr;
        }
    }
    sysinfo_t *fail()
    {
        free_masks();
        list_free(head);
        head = summary = nullptr;
        return nullptr;
    }
};

bool mask_word_count(sysfs_probe_t &P)
{
    long kernel_max;
    if (read_int(P.dir + "/kernel_max", kernel_max)) {
        if (kernel_max < 0 || kernel_max > (1L << 24)) return false;
        P.words = static_cast<int>((kernel_max + 32) / 32);
    } else {
        std::string text;
        if (!read_line(P.dir + "/cpu0/topology/core_siblings", text)) return false;
        P.words = static_cast<int>(split_commas(text).size());
    }
    return P.words >= 1;
}

// CPU numbers must fit the masks; anything else means the files cannot be
// trusted and the probe gives up.
bool add_cpu(sysfs_probe_t &P, long cpu)
{
    if (cpu < 0 || cpu >= static_cast<long>(P.words) * 32) return false;
    P.cpus.push_back(static_cast<int>(cpu));
    return true;
}

bool cpu_list(sysfs_probe_t &P)
{
    std::string text;
    if (read_line(P.dir + "/online", text)) {
        for (const std::string &piece : split_commas(text)) {
            const long a = std::strtol(piece.c_str(), nullptr, 10);
            if (!add_cpu(P, a)) return false;
            const size_t dash = piece.find('-');
            if (dash == std::string::npos) continue;
            const long b = std::strtol(piece.c_str() + dash + 1, nullptr, 10);
            for (long c = a + 1; c <= b; ++c)
                if (!add_cpu(P, c)) return false;
        }
    } else {
        for (int n = 0;; ++n) {
            DIR *d = opendir(P.cpu_path(n, "").c_str());
            if (d == nullptr) break;
            closedir(d);
            DIR *t = opendir(P.cpu_path(n, "/topology").c_str());
            if (t != nullptr) {
                closedir(t);
                if (!add_cpu(P, n)) return false;
            }
        }
    }
    return !P.cpus.empty();
}

// CPUID answers for the CPU that runs it: use the package's first CPU when
// the process may run there, else another allowed CPU of the package, else
// any allowed CPU (so a restricted affinity does not lose the features).
int cpuid_cpu_for(const sysfs_probe_t &P, size_t first_index, long package)
{
    cpu_set_t allowed;
    const int first = P.cpus[first_index];
    if (!sysinfo_allowed_cpus(P.env, &allowed) || sysinfo_cpu_allowed(&allowed, first)) return first;
    for (size_t i = first_index + 1; i < P.cpus.size(); ++i) {
        long p;
        const int c = P.cpus[i];
        if (sysinfo_cpu_allowed(&allowed, c) && P.package_of(c, p) && p == package) return c;
    }
    for (int c : P.cpus)
        if (sysinfo_cpu_allowed(&allowed, c)) return c;
    const int any = sysinfo_first_allowed(&allowed);
    return any >= 0 ? any : first;
}

int last_level(const sysfs_probe_t &P, int cpu)
{
    int best = -1;
    for (int m = 0;; ++m) {
        long level;
        if (!read_int(P.cache_path(cpu, m, "level"), level)) break;
        if (level <= best) continue;
        std::string type;
        if (!read_line(P.cache_path(cpu, m, "type"), type)) return -1;
        if (is_data_cache(type)) best = static_cast<int>(level);
    }
    return best;
}

bool topology_pass(sysfs_probe_t &P)
{
    for (size_t i = 0; i < P.cpus.size(); ++i) {
        const int c = P.cpus[i];
        long p;
        if (!P.package_of(c, p)) return false;
        sysinfo_t *r = P.find_package(p);
        if (r == nullptr) {
            r = sysinfo_new_package(P.head, static_cast<int>(p));
            if (r == nullptr) return false;
            P.head = r;
            if (P.env->cpuid_run(cpuid_cpu_for(P, i, p), r) != 0) return false;
            r->llc.level = last_level(P, c);
            r->masks = static_cast<sysinfo_masks_t *>(std::malloc(sizeof(sysinfo_masks_t)));
            if (r->masks == nullptr) return false;
            r->masks->seen_mask = static_cast<uint32_t *>(
                std::calloc(2 * static_cast<size_t>(P.words), sizeof(uint32_t)));
            if (r->masks->seen_mask == nullptr) {
                std::free(r->masks);
                r->masks = nullptr;
                return false;
            }
            r->masks->covered_mask = r->masks->seen_mask + P.words;
            r->masks->llc = &r->llc;
            r->masks->l1 = &r->l1;
        }
        uint32_t *seen = r->masks->seen_mask;
        if (test_bit(seen, c)) continue;  // a further thread of a counted core
        r->cores += 1;
        std::string text;
        if (!read_line(P.cpu_path(c, "/topology/thread_siblings"), text)) return false;
        parse_mask(text, P.scratch_mask.data(), P.words);
        int t = 0;
        for (int k = 0; k < P.words; ++k) {
            seen[k] |= P.scratch_mask[k];
            t += __builtin_popcount(P.scratch_mask[k]);
        }
        r->logical += t;
        seen[c / 32] &= ~(1u << (c % 32));
        if (t > r->threads_per_core) r->threads_per_core = t;
    }
    return true;
}

// Finds cpu's cache instance of the wanted level into P.map; its size, or -1.
long find_cache(sysfs_probe_t &P, int cpu, int wanted)
{
    for (int m = 0;; ++m) {
        long level;
        if (!read_int(P.cache_path(cpu, m, "level"), level)) return -1;
        if (level != wanted) continue;
        std::string type;
        if (!read_line(P.cache_path(cpu, m, "type"), type)) return -1;
        if (!is_data_cache(type)) continue;
        long size;
        if (!read_int(P.cache_path(cpu, m, "size"), size)) return -1;
        std::string text;
        if (!read_line(P.cache_path(cpu, m, "shared_cpu_map"), text)) return -1;
        parse_mask(text, P.map.data(), P.words);
        return size;
    }
}

// Passes: 0 the last level, 1 the L1, 2 the L2. A CPU without a readable
// level-2 cache only leaves the L2 unknown.
bool cache_pass(sysfs_probe_t &P, int pass)
{
    for (int c : P.cpus) {
        long p;
        if (!P.package_of(c, p)) return false;
        sysinfo_t *r = P.find_package(p);
        if (r == nullptr) return false;  // topology changed under the probe
        sysinfo_masks_t *m = r->masks;
        if (test_bit(m->covered_mask, c)) continue;
        sysinfo_cache_t *desc = pass == 0 ? m->llc : (pass == 1 ? m->l1 : &r->l2);
        const long size = find_cache(P, c, pass == 0 ? r->llc.level : pass);
        if (pass == 2 && (size < 0 || size > INT32_MAX)) continue;
        if (size < 0 || size > INT32_MAX) return false;
        desc->size_kb = static_cast<int32_t>(size);
        int cores = 0, logicals = 0;
        for (int k = 0; k < P.words; ++k) {
            m->covered_mask[k] |= P.map[k];
            cores += __builtin_popcount(P.map[k] & ~m->seen_mask[k]);
            logicals += __builtin_popcount(P.map[k]);
        }
        if (cores > desc->shared_cores) desc->shared_cores = cores;
        if (logicals > desc->shared_logical) desc->shared_logical = logicals;
    }
    for (sysinfo_t *r = P.head; r != P.summary; r = r->next)
        std::memset(r->masks->covered_mask, 0, sizeof(uint32_t) * static_cast<size_t>(P.words));
    return true;
}

void complete_summary(sysfs_probe_t &P)
{
    sysinfo_t *s = P.summary;
    for (sysinfo_t *r = P.head; r != s; r = r->next) {
        if (r->threads_per_core >= 2 && std::strcmp(r->vendor_id, "GenuineIntel") == 0)
            r->features |= SYSINFO_HT;
        sysinfo_summary_add(s, r);
    }
}

// The summary's L2: the smallest of the packages (unknown when one lacks
// it), shared by the most.
void complete_summary_l2(sysfs_probe_t &P)
{
    sysinfo_cache_t &l2 = P.summary->l2;
    for (sysinfo_t *r = P.head; r != P.summary; r = r->next) {
        if (r == P.head || r->l2.size_kb < l2.size_kb) l2.size_kb = r->l2.size_kb;
        if (r->l2.shared_cores > l2.shared_cores) l2.shared_cores = r->l2.shared_cores;
        if (r->l2.shared_logical > l2.shared_logical) l2.shared_logical = r->l2.shared_logical;
    }
}

sysinfo_t *probe(sysfs_probe_t &P)
{
    if (!mask_word_count(P) || !cpu_list(P)) return nullptr;
    P.summary = P.head = sysinfo_new_summary();
    if (P.summary == nullptr) return nullptr;
    P.scratch_mask.assign(static_cast<size_t>(P.words), 0);
    if (!topology_pass(P)) return P.fail();
    P.map.assign(static_cast<size_t>(P.words), 0);
    if (!cache_pass(P, 0) || !cache_pass(P, 1) || !cache_pass(P, 2)) return P.fail();
    P.free_masks();
    complete_summary(P);
    complete_summary_l2(P);
    return P.head;
}

}  // namespace

sysinfo_t *sysinfo_probe_sysfs_env(const sysinfo_env_t *env)
{
    sysfs_probe_t P;
    P.env = env;
    P.dir = env->cpu_dir;
    try {
        return probe(P);
    } catch (const std::bad_alloc &) {
        return P.fail();
    }
}
