// Helpers of the forward-projection and SIRT tests: lane records, the slice
// kernel layout, geometry set-up and double-precision inner products.
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

namespace sirt_test {

inline int lanes_of(int vector_ext) { return vector_ext == 0 ? 8 : vector_ext == 1 ? 4 : 1; }

inline const char *ext_name(int vector_ext)
{
    return vector_ext == 0 ? "avx" : vector_ext == 1 ? "sse" : "scalar";
}

inline forward_project_fn_t forward_variant(int vector_ext, int interpolation)
{
    if (vector_ext == 0) return interpolation ? forward_project_interp_avx : forward_project_nearest_avx;
    if (vector_ext == 1) return interpolation ? forward_project_interp_sse : forward_project_nearest_sse;
    return interpolation ? forward_project_interp_scalar : forward_project_nearest_scalar;
}

// One float array of the run's lane layout (n pixels of L floats per row),
// freed with the object.
struct lane_array {
    mrc_image_t rec{};
    lane_array(int vector_ext, int n, int ny, int nz = 1)
    {
        const int L = lanes_of(vector_ext);
        int rc = L == 8 ? mrc_alloc_data_x8(&rec, n, ny, nz)
               : L == 4 ? mrc_alloc_data_x4(&rec, n, ny, nz)
                        : mrc_alloc_data_x1(&rec, n, ny, nz);
        if (rc < 0) abort();
        mrc_zero_data(&rec);
    }
    ~lane_array() { mrc_free_data(&rec); }
    lane_array(const lane_array &) = delete;
    lane_array &operator=(const lane_array &) = delete;
    float *begin() { return rec.data[0][0]; }
    int64_t size() const { return (int64_t)rec.nx * rec.ny * rec.nz; }
};

// Kernel slice of W x H voxels split in s pieces (R rows of 2 W/s pairs).
inline lane_array *new_kernel_slice(int vector_ext, int W, int H, int s)
{
    return new lane_array(vector_ext, 2 * (W / s), (H / 2) * s);
}

// Float offset, in a kernel slice, of voxel (x, z) of lane k.
inline int64_t kernel_offset(int W, int H, int s, int L, int x, int z, int k)
{
    const int w = W / s;
    bool mirrored = z >= H / 2;
    if (mirrored) {
        x = W - 1 - x;
        z = H - 1 - z;
    }
    const int p = x / w, j = x % w;
    const int64_t r = (int64_t)z * s + p;
    return r * (2 * w * L) + 2 * L * j + (mirrored ? L : 0) + k;
}

// Row-major W x H image of lane k into / out of the kernel layout.
inline void fold_into(lane_array &slice, const std::vector<float> &img, int W, int H, int s, int L, int k)
{
    float *base = slice.begin();
    for (int z = 0; z < H; ++z)
        for (int x = 0; x < W; ++x) base[kernel_offset(W, H, s, L, x, z, k)] = img[(size_t)z * W + x];
}

inline std::vector<float> unfold_from(lane_array &slice, int W, int H, int s, int L, int k)
{
    std::vector<float> img((size_t)W * H);
    const float *base = slice.begin();
    for (int z = 0; z < H; ++z)
        for (int x = 0; x < W; ++x) img[(size_t)z * W + x] = base[kernel_offset(W, H, s, L, x, z, k)];
    return img;
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

// Projection geometry for one test case, with the step tables of two
// workers (ray_steps_table(0) and (1)), freed with the object. A cache
// block of 0 with small tiles makes the block lists several entries long,
// with remainders, so the tilings are exercised.
struct geometry {
    int ok;
    geometry(int W, int H, int D, const std::vector<float> &angles, int s, int interpolation,
             int vector_ext, int rows_per_set = 3, int angles_per_set = 4)
    {
        ok = projection_geometry_init(W, H, D, (int)angles.size(), angles.data(), 0, rows_per_set,
                                      angles_per_set, s, 0, interpolation, vector_ext) == 0;
        if (ok && ray_steps_init(2, s > 0 ? W / s : 0) != 0) {
            projection_geometry_free();
            ok = 0;
        }
    }
    ~geometry()
    {
        if (!ok) return;
        ray_steps_free();
        projection_geometry_free();
    }
    geometry(const geometry &) = delete;
    geometry &operator=(const geometry &) = delete;
};

inline std::vector<float> angle_range(float first, float last, float step)
{
    std::vector<float> a;
    for (float t = first; t <= last + 1e-3f; t += step) a.push_back(t);
    return a;
}

}  // namespace sirt_test

#endif
