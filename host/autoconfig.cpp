#include "host/autoconfig.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "host/memory_figures.h"
#include "host/vector_ext.h"
#include "mrc/mrc.h"

namespace {

// Saturates instead of wrapping, so absurd header words cannot make a
// huge need look small.
uint64_t mul_sat(uint64_t a, uint64_t b)
{
    if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
    return a * b;
}

uint64_t add_sat(uint64_t a, uint64_t b)
{
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

uint64_t dim(int v)
{
    return v > 0 ? static_cast<uint64_t>(v) : 0;
}

// W's divisors in ascending order; throws std::bad_alloc on failure.
std::vector<int> divisors_of(int W)
{
    std::vector<int> low;
    const int r = static_cast<int>(std::sqrt(static_cast<double>(W)));
    for (int i = 1; i <= r; ++i)
        if (W % i == 0) low.push_back(i);
    std::vector<int> all = low;
    for (size_t k = low.size(); k-- > 0;) {
        const int d = low[k];
        if (d == r && r * r == W) continue;  // the root is listed once
        all.push_back(W / d);
    }
    return all;
}

// One cache's block: its size over its sharers times 1.6 (in single
// precision) for the AVX kernels, over three times its sharers for the
// others; 0 when no sharers are known.
int block_from_cache(int size_kb, int sharers, bool avx)
{
    if (sharers == 0) return 0;
    if (avx) return static_cast<int>(static_cast<float>(size_kb) / (static_cast<float>(sharers) * 1.6f));
    return size_kb / (3 * sharers);
}

// The tiles are reused from a core's own cache (its L2) or its share of the
// last level. A share far above the core's own cache is either false (a
// virtual CPU reporting the whole host's cache) or so large that a block
// sized from it leaves every cache the kernels reuse; the block then
// follows the core's own cache. Real processors stay within this ratio,
// apart from stacked-cache parts with few cores per die.
constexpr double plausible_llc_to_own_ratio = 16.0;
// A core's own cache when the probe gives none: the L2 of a current
// server core.
constexpr int assumed_own_cache_kb = 2048;

int automatic_cache_block(const sysinfo_t *s, int ht, bool avx)
{
    const int n = ht ? s->llc.shared_logical : s->llc.shared_cores;
    const int n2 = ht ? s->l2.shared_logical : s->l2.shared_cores;
    const bool own_known = s->l2.size_kb > 0 && n2 > 0;
    const double own_kb = own_known ? static_cast<double>(s->l2.size_kb) / n2 : assumed_own_cache_kb;
    if (n > 0 && static_cast<double>(s->llc.size_kb) / n > plausible_llc_to_own_ratio * own_kb)
        return own_known ? block_from_cache(s->l2.size_kb, n2, avx)
                         : block_from_cache(assumed_own_cache_kb, 1, avx);
    return block_from_cache(s->llc.size_kb, n, avx);
}

}  // namespace

void autoconfig_hardware_from(config_t *cfg, const sysinfo_t *s, int host_avx)
{
    if (s != nullptr) {
        const int f = s->features;
        if (cfg->vector_ext == VECTOR_EXT_AUTO) {
            cfg->vector_ext = (f & SYSINFO_AVX)   ? VECTOR_EXT_AVX
                             : (f & SYSINFO_SSE) ? VECTOR_EXT_SSE
                                                 : VECTOR_EXT_NONE;
        } else if (cfg->vector_ext == VECTOR_EXT_SSE && !(f & SYSINFO_SSE)) {
            std::printf("Your system is not SSE-enabled.\nVectorization disabled.\n");
            cfg->vector_ext = VECTOR_EXT_NONE;
        } else if (cfg->vector_ext == VECTOR_EXT_AVX && !(f & SYSINFO_AVX)) {
            std::printf("Your system is not AVX-enabled. Trying SSE... ");
            if (f & SYSINFO_SSE) {
                std::printf("Succeed!\n");
                cfg->vector_ext = VECTOR_EXT_SSE;
            } else {
                std::printf("Failed!\nVectorization disabled.\n");
                cfg->vector_ext = VECTOR_EXT_NONE;
            }
        }
        if (!(f & SYSINFO_HT)) cfg->hyperthreading = 0;
        const int ht = cfg->hyperthreading == 1;
        if (cfg->threads == -1) cfg->threads = ht ? s->logical : s->cores;
        if (cfg->cache_block_kb == -1) {
            const int block = automatic_cache_block(s, ht, cfg->vector_ext == VECTOR_EXT_AVX);
            cfg->cache_block_kb = block == 0 ? 256 : block;
        }
        if (cfg->vector_ext == VECTOR_EXT_AVX && cfg->split_factor == -1) {
            const int n = ht ? s->l1.shared_logical : s->l1.shared_cores;
            int block = n == 0 ? 16 : s->l1.size_kb / (2 * n);
            cfg->l1_block_kb = block == 0 ? 16 : block;
        }
        return;
    }

    // No host description: the instructions themselves still tell the
    // vector extension; the rest gets safe defaults and a warning.
    const int requested = cfg->vector_ext;
    cfg->vector_ext = VECTOR_EXT_NONE;
    if (sysinfo_has_cpuid()) {
        if (requested == VECTOR_EXT_AUTO || requested == VECTOR_EXT_AVX) {
            if (host_avx)
                cfg->vector_ext = VECTOR_EXT_AVX;
            else if (sysinfo_has_sse())
                cfg->vector_ext = VECTOR_EXT_SSE;
        } else if (requested == VECTOR_EXT_SSE && sysinfo_has_sse()) {
            cfg->vector_ext = VECTOR_EXT_SSE;
        }
    }
    std::string unset;
    if (cfg->threads == -1) {
        cfg->hyperthreading = 0;
        cfg->threads = 1;
        unset += "-t ";
    }
    if (cfg->cache_block_kb == -1) {
        cfg->cache_block_kb = 256;
        unset += "-C ";
    }
    if (cfg->vector_ext == VECTOR_EXT_AVX && cfg->split_factor == -1) {
        cfg->l1_block_kb = 16;
        unset += "-s ";
    }
    if (!unset.empty())
        std::printf("Warning: Autoconfiguration failed! Parameters [%s\b] may be set to non-optimal values.\n"
                    "To override this, restart the program and enter them manually.\n",
                    unset.c_str());
}

void autoconfig_hardware(config_t *cfg)
{
    sysinfo_t *list = sysinfo_probe();
    if (list == nullptr) {
        autoconfig_hardware_from(cfg, nullptr, sysinfo_has_avx());
        return;
    }
    autoconfig_hardware_from(cfg, static_cast<const sysinfo_t *>(list_last(list)), 0);
    list_free(list);
}

void autoconfig_io_plan(config_t *cfg, int nx, int nz, int resume_w, int resume_t, uint64_t total_ram)
{
    int w, t;
    if (cfg->resume_name == nullptr) {
        w = (cfg->width > 0 && cfg->width < nx) ? cfg->width : nx;
        t = (cfg->height > 0 && cfg->height < nx) ? cfg->height - (cfg->height & 1) : nx;
    } else {
        w = resume_w;
        t = resume_t;
    }
    unsigned b = cfg->method == 1 ? 16 : 8;
    const uint64_t top = static_cast<uint64_t>(static_cast<double>(total_ram) * cfg->mem_limit);
    const uint64_t sino = mul_sat(mul_sat(dim(nx), 4), dim(nz));
    const uint64_t slice = mul_sat(mul_sat(dim(w), 4), dim(t));
    const int L = vector_lanes(cfg->vector_ext);
    const uint64_t T = dim(cfg->threads);
    uint64_t per, fixed;
    if (cfg->vector_ext == VECTOR_EXT_AVX || cfg->vector_ext == VECTOR_EXT_SSE) {
        per = mul_sat(mul_sat(add_sat(sino, slice), T), static_cast<uint64_t>(L));
        fixed = per;
    } else {
        per = mul_sat(add_sat(sino, slice), T);
        fixed = mul_sat(slice, T);
    }
    auto need = [&](unsigned bonuses) { return add_sat(mul_sat(bonuses, per), fixed); };
    // Only a RAM size that could not be read leaves the bonuses alone; a
    // limit so small that it truncates to 0 bytes still limits.
    if (total_ram != 0)
        while (need(b) > top && b > 1) --b;
    const long long blocks = static_cast<long long>(cfg->threads) * L * b;
    cfg->read_block = cfg->write_block = blocks > INT_MAX ? INT_MAX : static_cast<int>(blocks);
    if (cfg->verbosity == 5) {
        char top_unit[8], need_unit[8];
        const double top_v = format_byte_size(top, top_unit);
        const double need_v = format_byte_size(need(b), need_unit);
        std::printf("I/O buffers config:\n");
        std::printf("Top RAM    = %6.2f %s\nRAM needed = %6.2f %s (%u bonuses)\n", top_v, top_unit, need_v,
                    need_unit, b);
        std::printf("I/O buffers set to %d,%d.\n\n", cfg->read_block, cfg->write_block);
    }
}

int autoconfig_io_buffers(config_t *cfg)
{
    if (cfg->buffers_set == 1) return 0;
    int nx = 0, nz = 0;
    mrc_read_dims(cfg->dataset_name, 0, &nx, &nz);
    if (mrc_errno() != 0) {
        mrc_perror(cfg->dataset_name);
        return -1;
    }
    int rw = 0, rt = 0;
    if (cfg->resume_name != nullptr) {
        mrc_read_dims(cfg->resume_name, 1, &rw, &rt);
        if (mrc_errno() != 0) {
            mrc_perror(cfg->resume_name);
            return -1;
        }
    }
    autoconfig_io_plan(cfg, nx, nz, rw, rt, sysinfo_total_ram());
    return 0;
}

int autoconfig_split_factor(config_t *cfg, int W)
{
    if (cfg->split_factor != -1) {
        if (cfg->split_factor >= 1 && W % cfg->split_factor == 0) return 0;
        std::fprintf(stderr,
                     "Split factor must be a divisor of reconstruction width (%d). Legal values are:\n", W);
        try {
            if (W < 1) throw std::bad_alloc();
            std::string line = "# ";
            for (int d : divisors_of(W)) line += std::to_string(d) + " ";
            line += "#\n";
            std::fputs(line.c_str(), stderr);
        } catch (const std::bad_alloc &) {
            std::fprintf(stderr, "An error occurred while printing divisors.\n");
        }
        return -1;
    }
    cfg->split_factor = 1;
    if (cfg->vector_ext != VECTOR_EXT_AVX) return 0;
    try {
        if (W < 1) throw std::bad_alloc();
        const uint64_t limit = static_cast<uint64_t>(cfg->l1_block_kb > 0 ? cfg->l1_block_kb : 0) * 1024;
        for (int d : divisors_of(W)) {
            // One AVX kernel row: 2W/d entries of 8 floats.
            if (64 * static_cast<uint64_t>(W) / static_cast<uint64_t>(d) <= limit) {
                cfg->split_factor = d;
                break;
            }
        }
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "An error occurred while searching for split factor.\n");
        std::printf("Warning: Split factor disabled (you can use -s to manually set it).\n");
        cfg->split_factor = 1;
    }
    return 0;
}
