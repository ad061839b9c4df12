// Helpers of the forward-projection and SIRT tests beside the kernel-layout
// ones: the forward-projection variants, random fills, double-precision
// inner products, unit ray weights and angle ranges.
#ifndef KYVANE_TESTS_KERNELS_SIRT_TEST_UTIL_H
#define KYVANE_TESTS_KERNELS_SIRT_TEST_UTIL_H

#include <stdint.h>
#include <stdlib.h>

#include <random>
#include <vector>

#include "kernels/array2d.h"
#include "kernels/forward_project.h"
#include "kernels/geometry.h"
#include "kernels/ray_steps.h"
#include "kernels/sirt_tables.h"
#include "mrc/mrc.h"
#include "tests/kernels/kernel_layout_util.h"

namespace sirt_test {

inline forward_project_fn_t forward_variant(int vector_ext, int interpolation)
{
    if (vector_ext == 0) return interpolation ? forward_project_interp_avx : forward_project_nearest_avx;
    if (vector_ext == 1) return interpolation ? forward_project_interp_sse : forward_project_nearest_sse;
    return interpolation ? forward_project_interp_scalar : forward_project_nearest_scalar;
}

inline void fill_uniform(float *p, int64_t n, std::mt19937 &rng, float lo = 0.0f, float hi = 1.0f)
{
    std::uniform_real_distribution<float> u(lo, hi);
    for (int64_t i = 0; i < n; ++i) p[i] = u(rng);
}

inline double dot(const float *a, const float *b, int64_t n)
{
    double s = 0.0;
    for (int64_t i = 0; i < n; ++i) s += (double)a[i] * (double)b[i];
    return s;
}

// Ray weights of 1 everywhere: the forward projectors then compute the bare
// walk A x. Replaces (and later restores) the global table.
struct unit_ray_weights {
    float **saved;
    float **table;
    unit_ray_weights(int D, int N) : saved(nullptr)
    {
        saved = ray_weights;
        table = (float **)array2d_alloc(D, N, sizeof(float));
        for (int64_t i = 0; i < (int64_t)D * N; ++i) table[0][i] = 1.0f;
        ray_weights = table;
    }
    ~unit_ray_weights()
    {
        ray_weights = saved;
        array2d_free((void **)table);
    }
};

inline std::vector<float> angle_range(float first, float last, float step)
{
    std::vector<float> a;
    for (float t = first; t <= last + 1e-3f; t += step) a.push_back(t);
    return a;
}

}  // namespace sirt_test

#endif
