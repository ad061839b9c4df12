// Core cycles per update of the projection kernels on one thread.
//
// An update is one column pair's voxel or its reflection receiving (or
// giving) one projection's sample in all L lanes at once, counted over the
// steps that the walks really take (rays that miss the detector take none).
// Each call is timed with the time-stamp counter; the counter ticks are
// turned into core cycles with the core clock measured just before, from a
// chain of dependent integer additions (one cycle each). The median of the
// calls is printed, with the lowest and highest. Sizes and tuning as in
// bench_backproject: W = H = D = 1024, N = 121, the run tuning's cache block
// and split factor for this host.
//
// Usage: bench_cycles [calls per case, default 9] [avx|sse|plain]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <x86intrin.h>

#include <algorithm>
#include <random>
#include <vector>

#include "bench/bench_steps.h"
#include "driver/config.h"
#include "host/autoconfig.h"
#include "kernels/forward_project.h"
#include "kernels/geometry.h"
#include "kernels/kernel_slots.h"
#include "kernels/sirt_tables.h"
#include "mrc/mrc.h"

namespace {

const int W = 1024, H = 1024, D = 1024, N = 121;

// Core cycles per time-stamp tick.
double cycles_per_tick()
{
    const long n = 20000000;
    long x = 0;
    const unsigned long long t0 = __rdtsc();
    for (long i = 0; i < n; i++)
        __asm__ volatile("add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0" : "+r"(x));
    return 4.0 * n / (double)(__rdtsc() - t0);
}

int alloc_lanes(int L, mrc_image_t *rec, int n, int ny)
{
    return L == 8 ? mrc_alloc_data_x8(rec, n, ny, 1)
         : L == 4 ? mrc_alloc_data_x4(rec, n, ny, 1)
                  : mrc_alloc_data_x1(rec, n, ny, 1);
}

}  // namespace

int main(int argc, char **argv)
{
    const int calls = argc > 1 && atoi(argv[1]) > 0 ? atoi(argv[1]) : 9;
    const char *only = argc > 2 ? argv[2] : nullptr;
    // The program runs with flush-to-zero and denormals-are-zero.
    _mm_setcsr(_mm_getcsr() | 0x8040);
    if (mrc_init() != 0) return 1;
    std::vector<float> angles;
    for (int a = 0; a < N; a++) angles.push_back(-60.0f + a);
    config_t host = config_defaults;
    autoconfig_hardware(&host);
    printf("Core cycles per L-lane update, one thread, W = H = D = %d, N = %d, %d calls per case\n",
           W, N, calls);
    const char *ext_names[] = {"avx", "sse", "plain"};
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int ext : {0, 1, 2}) {
        if (only && strcmp(only, ext_names[ext]) != 0) continue;
        if (ext < host.vector_ext) continue;  // not supported on this host
        for (int interp : {1, 0}) {
            config_t cfg = host;
            cfg.vector_ext = ext;
            cfg.split_factor = -1;
            if (autoconfig_split_factor(&cfg, W) != 0) return 1;
            const int s = cfg.split_factor, L = ext == 0 ? 8 : ext == 1 ? 4 : 1;
            if (projection_geometry_init(W, H, D, N, angles.data(), cfg.cache_block_kb,
                                         cfg.rows_per_set, cfg.angles_per_set, s, 0, interp, ext) != 0 ||
                sirt_init(H, D, N, angles.data(), s, 1, interp, ext) != 0 ||
                (ext == 0 && bench_steps_init(1, W / s) != 0)) {
                fprintf(stderr, "bench_cycles: set-up failed\n");
                return 1;
            }
            const int R = (H / 2) * s, pair = 2 * L;
            double updates = 0;
            for (int r = 0; r < R; r++)
                for (int a = 0; a < N; a++) {
                    const ray_segment_t &e = ray_table[r][a];
                    if (e.last_col >= e.first_col) updates += 2.0 * ((e.last_col - e.first_col) / pair + 1);
                }
            mrc_image_t sino{}, slice{};
            if (alloc_lanes(L, &sino, D, N) != 0 || alloc_lanes(L, &slice, 2 * (W / s), R) != 0) {
                mrc_perror("bench_cycles");
                return 1;
            }
            for (int64_t i = 0; i < (int64_t)sino.nx * sino.ny; i++) sino.data[0][0][i] = u(rng);
            for (int64_t i = 0; i < (int64_t)slice.nx * slice.ny; i++) slice.data[0][0][i] = u(rng);
            for (int fwd : {0, 1}) {
                bench_project(backproject_fn, &sino, &slice, 0);  // warm caches and pages
                std::vector<double> c;
                for (int k = 0; k < calls; k++) {
                    const double ratio = cycles_per_tick();
                    const unsigned long long t0 = __rdtsc();
                    if (fwd)
                        bench_project(forward_project_fn, &sino, &slice, 0);
                    else
                        bench_project(backproject_fn, &sino, &slice, 0);
                    c.push_back((double)(__rdtsc() - t0) * ratio / updates);
                }
                std::sort(c.begin(), c.end());
                char name[64];
                snprintf(name, sizeof name, "cycles_%s_%s_%s", fwd ? "forward" : "backproject",
                         interp ? "interp" : "nearest", ext_names[ext]);
                printf("%-32s %6.2f  [%5.2f %5.2f]  split %d  cache block %d KB\n", name,
                       c[c.size() / 2], c.front(), c.back(), s, cfg.cache_block_kb);
                fflush(stdout);
            }
            mrc_free_data(&sino);
            mrc_free_data(&slice);
            bench_steps_free();
            sirt_tables_free();
            projection_geometry_free();
        }
    }
    mrc_finish();
    return 0;
}
