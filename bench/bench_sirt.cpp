// SIRT kernels benchmark: forward projection of every variant in voxel
// updates per second, on one thread and on every logical CPU (each thread
// projecting its own slice group, as the workers of a run do), with the
// back-projection of the same sizes beside it for comparison, and the time
// of one SIRT iteration (projection, residual, back-projection) for one
// slice group. Voxel updates are counted nominally, W * H * N per slice,
// though voxels whose ray misses the detector at high tilt are skipped. Sizes: W = H = D = 1024, N = 121 (-60 ... 60 degrees); the
// cache block and split factor are chosen by the run tuning for this host.
//
// Usage: bench_sirt [seconds per case and thread count, default 1] [avx|sse|scalar]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <thread>
#include <vector>

#include "bench/bench_steps.h"
#include "driver/config.h"
#include "host/autoconfig.h"
#include "kernels/forward_project.h"
#include "kernels/geometry.h"
#include "kernels/kernel_slots.h"
#include "kernels/sirt_step.h"
#include "kernels/sirt_tables.h"
#include "kernels/wall_time.h"
#include "mrc/mrc.h"

namespace {

const int W = 1024, H = 1024, D = 1024, N = 121;

int lanes_of(int ext) { return ext == 0 ? 8 : ext == 1 ? 4 : 1; }
const char *ext_name(int ext) { return ext == 0 ? "avx" : ext == 1 ? "sse" : "scalar"; }

int alloc_lanes(int ext, mrc_image_t *rec, int n, int ny, int nz)
{
    return ext == 0 ? mrc_alloc_data_x8(rec, n, ny, nz)
         : ext == 1 ? mrc_alloc_data_x4(rec, n, ny, nz)
                    : mrc_alloc_data_x1(rec, n, ny, nz);
}

struct thread_data {
    mrc_image_t slice{}, sino{};
};

// Runs fn(k) on `threads` threads at once, each repeating it until `seconds`
// have passed (at least twice, after one call that warms caches and pages);
// returns the calls per second of all threads together. Each thread's rate
// is taken over its own calls, so one thread that the shared machine holds
// back lowers the sum by its share only.
template <class F> double calls_per_second(int threads, double seconds, F fn)
{
    std::vector<double> rate(threads);
    auto body = [&](int k) {
        fn(k);
        const double t0 = wall_time_seconds();
        int calls = 0;
        double now;
        do {
            fn(k);
            calls++;
            now = wall_time_seconds();
        } while (now - t0 < seconds || calls < 2);
        rate[k] = calls / (now - t0);
    };
    if (threads == 1) {
        body(0);
    } else {
        std::vector<std::thread> pool;
        for (int k = 0; k < threads; ++k) pool.emplace_back(body, k);
        for (auto &t : pool) t.join();
    }
    double total = 0;
    for (double r : rate) total += r;
    return total;
}

}  // namespace

int main(int argc, char **argv)
{
    const double seconds = argc > 1 ? atof(argv[1]) : 1.0;
    const char *only = argc > 2 ? argv[2] : nullptr;  // one extension: avx, sse or scalar
    const int cpus = (int)std::thread::hardware_concurrency() > 0 ? (int)std::thread::hardware_concurrency() : 1;
    std::vector<float> angles;
    for (int a = 0; a < N; ++a) angles.push_back(-60.0f + a);
    config_t cfg = config_defaults;
    autoconfig_hardware(&cfg);
    printf("Forward projection, W = H = D = %d, N = %d, cache block %d KB, %d logical CPUs\n", W, N,
           cfg.cache_block_kb, cpus);
    printf("%-7s %-7s %5s | %12s %12s | %12s %12s | %s\n", "ext", "interp", "split", "fwd 1 thr", "fwd all",
           "back 1 thr", "back all", "SIRT iteration, 1 group");
    printf("%-7s %-7s %5s | %12s %12s | %12s %12s |\n", "", "", "", "Gvox/s", "Gvox/s", "Gvox/s", "Gvox/s");

    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (int ext : {0, 1, 2}) {
        // The automatic choice is the widest extension the host runs (0 AVX,
        // else 1 SSE); a wider one would stop on an illegal instruction.
        if (only && strcmp(only, ext_name(ext)) != 0) continue;
        if (ext < cfg.vector_ext) {
            printf("%-7s not supported on this host\n", ext_name(ext));
            continue;
        }
        for (int interp : {1, 0}) {
            const int L = lanes_of(ext);
            config_t c = cfg;
            c.vector_ext = ext;
            c.split_factor = -1;
            if (autoconfig_split_factor(&c, W) < 0) return 1;
            const int s = c.split_factor;
            if (projection_geometry_init(W, H, D, N, angles.data(), c.cache_block_kb, c.rows_per_set,
                                         c.angles_per_set, s, 0, interp, ext) < 0 ||
                sirt_init(H, D, N, angles.data(), s, 1, interp, ext) < 0 ||
                sirt_work_init(D, N, cpus, ext) < 0 ||
                (ext == 0 && bench_steps_init(cpus, W / s) < 0)) {
                fprintf(stderr, "bench_sirt: set-up failed\n");
                return 1;
            }
            std::vector<thread_data> td(cpus);
            for (auto &t : td) {
                if (alloc_lanes(ext, &t.slice, 2 * (W / s), (H / 2) * s, 1) < 0 ||
                    alloc_lanes(ext, &t.sino, D, N, 1) < 0) {
                    fprintf(stderr, "bench_sirt: out of memory\n");
                    return 1;
                }
                float *p = t.slice.data[0][0];
                const int64_t n = (int64_t)t.slice.nx * t.slice.ny;
                for (int64_t i = 0; i < n; ++i) p[i] = u(rng);
                mrc_zero_data(&t.sino);
            }
            const double updates = (double)W * H * N * L;  // per call
            auto fwd = [&](int k) { bench_project(forward_project_fn, &sirt_work[k + 1], &td[k].slice, k); };
            auto back = [&](int k) { bench_project(backproject_fn, &sirt_work[k + 1], &td[k].slice, k); };
            const double f1 = calls_per_second(1, seconds, fwd), fa = calls_per_second(cpus, seconds, fwd);
            const double b1 = calls_per_second(1, seconds, back), ba = calls_per_second(cpus, seconds, back);
            double busy = 0.0;
            const double it = 1.0 / calls_per_second(1, seconds, [&](int) {
                sirt_step_fn(&td[0].sino, &td[0].slice, nullptr, &busy, 0);
            });
            printf("%-7s %-7s %5d | %12.3f %12.3f | %12.3f %12.3f | %.3f s (%d slices)\n", ext_name(ext),
                   interp ? "linear" : "nearest", s, updates * f1 * 1e-9, updates * fa * 1e-9,
                   updates * b1 * 1e-9, updates * ba * 1e-9, it, L);
            fflush(stdout);
            for (auto &t : td) {
                mrc_free_data(&t.slice);
                mrc_free_data(&t.sino);
            }
            bench_steps_free();
            sirt_work_free();
            sirt_tables_free();
            projection_geometry_free();
        }
    }
    return 0;
}
