// Helpers of the kernel tests: lane records owned by RAII holders, the slice
// kernel layout and the sinogram lane layout written from their definitions
// (not with the library's own fold), and a geometry holder.
#ifndef KYVANE_TESTS_KERNELS_KERNEL_LAYOUT_UTIL_H
#define KYVANE_TESTS_KERNELS_KERNEL_LAYOUT_UTIL_H

#include <stdint.h>
#include <stdlib.h>

#include <cmath>
#include <vector>

#include "kernels/geometry.h"
#include "kernels/ray_steps.h"
#include "mrc/mrc.h"

namespace layout_test {

inline int lanes_for(int vector_ext) { return vector_ext == 0 ? 8 : vector_ext == 1 ? 4 : 1; }
inline int shift_for(int vector_ext) { return vector_ext == 0 ? 4 : vector_ext == 1 ? 3 : 1; }
inline const char *name_of(int vector_ext)
{
    return vector_ext == 0 ? "avx" : vector_ext == 1 ? "sse" : "plain";
}

// A float array of n pixels of L floats per row, zeroed.
struct record {
    mrc_image_t rec{};
    record(int L, int n, int ny, int nz = 1)
    {
        const int rc = L == 8 ? mrc_alloc_data_x8(&rec, n, ny, nz)
                     : L == 4 ? mrc_alloc_data_x4(&rec, n, ny, nz)
                              : mrc_alloc_data_x1(&rec, n, ny, nz);
        if (rc != 0) abort();
        mrc_zero_data(&rec);
    }
    ~record() { mrc_free_data(&rec); }
    record(const record &) = delete;
    record &operator=(const record &) = delete;
    float *floats() { return rec.data[0][0]; }
    int64_t count() const { return (int64_t)rec.nx * rec.ny * rec.nz; }
};

// Float offset of voxel (x, z) of lane k in a kernel slice: pair k = z W + x
// of the flat slice holds element k and element W H - 1 - k. A split factor
// s that divides W cuts each row of pairs into s kernel rows of W / s pairs
// and so leaves the offsets as they are.
inline int64_t slice_offset(int W, int H, int L, int x, int z, int k)
{
    int64_t e = (int64_t)z * W + x;
    const int64_t n = (int64_t)W * H;
    const bool reflected = e >= n / 2;
    if (reflected) e = n - 1 - e;
    return e * 2 * L + (reflected ? L : 0) + k;
}

// A kernel slice for W x H slices with split factor s, L lanes (R = s H / 2
// rows of 2 W / s pairs).
struct slice_record : record {
    int W, H, L;
    slice_record(int W_, int H_, int s, int L_)
        : record(L_, 2 * (W_ / s), (H_ / 2) * s), W(W_), H(H_), L(L_) {}
    float &at(int x, int z, int k) { return floats()[slice_offset(W, H, L, x, z, k)]; }
    void put(int k, const std::vector<float> &img)
    {
        for (int z = 0; z < H; z++)
            for (int x = 0; x < W; x++) at(x, z, k) = img[(size_t)z * W + x];
    }
    std::vector<float> get(int k)
    {
        std::vector<float> img((size_t)W * H);
        for (int z = 0; z < H; z++)
            for (int x = 0; x < W; x++) img[(size_t)z * W + x] = at(x, z, k);
        return img;
    }
};

// A sinogram of N rows of D bins, L lanes: bin i of lane k is float L i + k.
struct sino_record : record {
    int D, N, L;
    sino_record(int D_, int N_, int L_) : record(L_, D_, N_), D(D_), N(N_), L(L_) {}
    float &at(int a, int i, int k) { return rec.data[0][a][(size_t)L * i + k]; }
    void put(int k, const std::vector<float> &rows)  // N x D, row-major
    {
        for (int a = 0; a < N; a++)
            for (int i = 0; i < D; i++) at(a, i, k) = rows[(size_t)a * D + i];
    }
};

// Projection geometry of one case, with the step tables of two workers
// (ray_steps_table(0) and (1)), freed with the holder.
struct geometry_holder {
    int ok;
    geometry_holder(int W, int H, int D, const std::vector<float> &angles, int s, int interp,
                    int vector_ext, int cache_kb = 0, int rows_per_set = 3, int angles_per_set = 4)
    {
        ok = projection_geometry_init(W, H, D, (int)angles.size(), angles.data(), cache_kb,
                                      rows_per_set, angles_per_set, s, 0, interp, vector_ext) == 0;
        if (ok && ray_steps_init(2, s > 0 ? W / s : 0) != 0) {
            projection_geometry_free();
            ok = 0;
        }
    }
    ~geometry_holder()
    {
        if (!ok) return;
        ray_steps_free();
        projection_geometry_free();
    }
    geometry_holder(const geometry_holder &) = delete;
    geometry_holder &operator=(const geometry_holder &) = delete;
};

// Detector coordinate of voxel (x, z) from the closed formula, in double.
inline double closed_coordinate(int W, int H, int D, float angle_deg, int x, int z)
{
    const double th = (double)(angle_deg * 0.017453292f);
    return std::sin(th) * 0.5 * (H - 1) + 0.5 * (D - 1) - std::cos(th) * 0.5 * (W - 1) -
           z * std::sin(th) + x * std::cos(th);
}

// Pearson correlation of two equally long arrays.
inline double pearson(const std::vector<float> &a, const std::vector<float> &b)
{
    double ma = 0, mb = 0;
    for (size_t i = 0; i < a.size(); i++) {
        ma += a[i];
        mb += b[i];
    }
    ma /= a.size();
    mb /= b.size();
    double sab = 0, saa = 0, sbb = 0;
    for (size_t i = 0; i < a.size(); i++) {
        sab += (a[i] - ma) * (b[i] - mb);
        saa += (a[i] - ma) * (a[i] - ma);
        sbb += (b[i] - mb) * (b[i] - mb);
    }
    return sab / std::sqrt(saa * sbb);
}

}  // namespace layout_test

#endif
