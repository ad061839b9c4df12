// Back-projection and weighting throughput.
//
// For every back-projection variant: voxel updates per second (W * H * N per
// slice, every lane's slice counted) on one thread and on all cores, each
// thread with its own slice and lane sinogram, the tuning (cache block, split
// factor) chosen by the run tuning for this host as a run would. Then the
// weighting filter's rows per second. One line per case.
//
// Usage: bench_backproject [seconds per case, default 1.5] [avx|sse|plain]
// (the second argument limits the run to one extension's members)
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <thread>
#include <vector>

#include "bench/bench_steps.h"
#include "driver/config.h"
#include "host/autoconfig.h"
#include "kernels/geometry.h"
#include "kernels/kernel_slots.h"
#include "kernels/wall_time.h"
#include "kernels/wbp_filter.h"
#include "mrc/mrc.h"
#include "tests/support/phantom.h"

namespace {

const int W = 1024, H = 1024, D = 1024, N = 121;

struct lane_record {
    mrc_image_t rec{};
    lane_record(int L, int n, int ny)
    {
        const int rc = L == 8 ? mrc_alloc_data_x8(&rec, n, ny, 1)
                     : L == 4 ? mrc_alloc_data_x4(&rec, n, ny, 1)
                              : mrc_alloc_data_x1(&rec, n, ny, 1);
        if (rc != 0) {
            mrc_perror("bench_backproject");
            exit(1);
        }
        mrc_zero_data(&rec);
    }
    ~lane_record() { mrc_free_data(&rec); }
};

// Runs fn(thread) on `threads` threads, each repeating until `seconds` have
// passed (at least twice); returns the calls made per second in total.
template <class Fn>
double calls_per_second(int threads, double seconds, Fn fn)
{
    std::vector<double> rate(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++)
        pool.emplace_back([&, t] {
            fn(t);  // warm caches and pages
            const double t0 = wall_time_seconds();
            int calls = 0;
            double now;
            do {
                fn(t);
                calls++;
                now = wall_time_seconds();
            } while (now - t0 < seconds || calls < 2);
            rate[t] = calls / (now - t0);
        });
    for (std::thread &th : pool) th.join();
    double total = 0;
    for (double r : rate) total += r;
    return total;
}

}  // namespace

int main(int argc, char **argv)
{
    const double seconds = argc > 1 ? atof(argv[1]) : 1.5;
    const char *only = argc > 2 ? argv[2] : nullptr;
    const int cores = (int)sysconf(_SC_NPROCESSORS_ONLN);
    if (mrc_init() != 0) return 1;

    std::vector<float> angles;
    for (int a = 0; a < N; a++) angles.push_back(-60.0f + a);
    std::vector<float> sino_rows((size_t)N * D);
    phantom_sinogram(phantom_slice_ellipses(W, H), D, N, angles.data(), sino_rows.data());

    printf("W = H = D = %d, N = %d, %d cores, %.1f s per case\n", W, N, cores, seconds);
    const char *ext_names[] = {"avx", "sse", "plain"};
    for (int ext : {0, 1, 2})
        for (int interp : {1, 0}) {
            if (only && strcmp(only, ext_names[ext]) != 0) continue;
            config_t cfg = config_defaults;
            cfg.vector_ext = ext == 2 ? 2 : ext;
            cfg.split_factor = -1;
            autoconfig_hardware(&cfg);
            if (cfg.vector_ext != ext) {
                printf("backproject_%s_%s: not supported on this host\n",
                       interp ? "interp" : "nearest", ext_names[ext]);
                continue;
            }
            if (autoconfig_split_factor(&cfg, W) != 0) return 1;
            if (projection_geometry_init(W, H, D, N, angles.data(), cfg.cache_block_kb,
                                         cfg.rows_per_set, cfg.angles_per_set, cfg.split_factor,
                                         0, interp, ext) != 0) {
                fprintf(stderr, "bench_backproject: geometry set-up failed\n");
                return 1;
            }
            const int L = ext == 0 ? 8 : ext == 1 ? 4 : 1;
            const int s = cfg.split_factor;
            if (ext == 0 && bench_steps_init(cores, W / s) != 0) {
                fprintf(stderr, "bench_backproject: out of memory\n");
                return 1;
            }
            std::vector<std::unique_ptr<lane_record>> sinos, slices;
            for (int t = 0; t < cores; t++) {
                sinos.emplace_back(new lane_record(L, D, N));
                slices.emplace_back(new lane_record(L, 2 * (W / s), (H / 2) * s));
                float *p = sinos[t]->rec.data[0][0];
                for (size_t i = 0; i < sino_rows.size(); i++)
                    for (int k = 0; k < L; k++) p[i * L + k] = sino_rows[i];
            }
            const double updates = (double)W * H * N * L;
            for (int threads : {1, cores}) {
                const double rate = calls_per_second(threads, seconds, [&](int t) {
                    bench_project(backproject_fn, &sinos[t]->rec, &slices[t]->rec, t);
                });
                char name[64];
                snprintf(name, sizeof name, "backproject_%s_%s", interp ? "interp" : "nearest",
                         ext_names[ext]);
                printf("%-27s threads %d  split %d  cache block %5d KB  %8.2f G voxel-updates/s\n",
                       name, threads, s, cfg.cache_block_kb, rate * updates * 1e-9);
                fflush(stdout);
            }
            bench_steps_free();
            projection_geometry_free();
        }

    // The weighting filter on one-lane sinograms of N rows, one per worker.
    if (wbp_filter_init(D, cores, 0.0f) != 0) {
        fprintf(stderr, "bench_backproject: filter set-up failed\n");
        return 1;
    }
    std::vector<std::unique_ptr<lane_record>> rows;
    for (int t = 0; t < cores; t++) {
        rows.emplace_back(new lane_record(1, D, N));
        for (int i = 0; i < N * D; i++) rows[t]->rec.data[0][0][i] = sino_rows[i];
    }
    for (int threads : {1, cores}) {
        const double rate = calls_per_second(threads, seconds, [&](int t) {
            wbp_weight_sinogram(&rows[t]->rec, t);
        });
        printf("%-27s threads %d  rows of %d floats            %8.3f M rows/s\n",
               "wbp_weight_sinogram", threads, D,
               rate * N * 1e-6);
    }
    wbp_filter_free();
    mrc_finish();
    return 0;
}
