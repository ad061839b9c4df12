// Header statistics benchmark: the pass that the writer runs over every
// flushed run of slices (extremes, count of non-finite voxels, mean and
// spread), in GB of floats per second, for one 1024 x 1024 slice and for a
// run of 16 of them (64 MB, beyond the caches), with each block pass that
// this processor runs (the scalar one is that of runs without vector
// extension). Medians of 31 timings, with the fastest and slowest.
#include <stdio.h>

#include <algorithm>
#include <random>
#include <vector>

#include "kernels/wall_time.h"
#include "mrc/mrc_internal.h"

namespace {

struct timing_t {
    double median, lo, hi;
};

template <class F>
timing_t time_it(F &&f)
{
    std::vector<double> t;
    for (int r = 0; r < 31; ++r) {
        const double t0 = wall_time_seconds();
        f();
        t.push_back(wall_time_seconds() - t0);
    }
    std::sort(t.begin(), t.end());
    return {t[t.size() / 2], t.front(), t.back()};
}

}  // namespace

int main()
{
    const int64_t slice = 1024 * 1024, run = 16 * slice;
    std::vector<float> v(run);
    std::mt19937 gen(1);
    std::normal_distribution<float> noise(10000.0f, 0.1f);
    for (float &x : v) x = noise(gen);

    struct pass_t {
        const char *name;
        mrc_stats_block_fn fn;
    };
    std::vector<pass_t> passes = {
        {"default", nullptr}, {"scalar", mrc_stats_block_scalar}, {"sse2", mrc_stats_block_sse2}};
    if (__builtin_cpu_supports("avx")) passes.push_back({"avx", mrc_stats_block_avx});

    printf("%-8s %10s %12s %22s\n", "pass", "floats", "GB/s", "ms (min..max)");
    float sink = 0.0f;
    for (int64_t n : {slice, run}) {
        for (const pass_t &p : passes) {
            mrc_stats_t st;
            const timing_t t = time_it([&] {
                if (p.fn)
                    mrc_compute_stats_with(v.data(), n, &st, p.fn);
                else
                    mrc_compute_stats(v.data(), n, &st);
                sink += st.min;
            });
            printf("%-8s %10lld %12.2f %10.3f (%.3f..%.3f)\n", p.name, (long long)n,
                   (double)n * 4 / t.median / 1e9, t.median * 1e3, t.lo * 1e3, t.hi * 1e3);
        }
    }
    return sink == 12345.0f;  // keeps the passes from being optimised away
}
