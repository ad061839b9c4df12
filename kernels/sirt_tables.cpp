// SIRT tables: ray weights traced through the projection geometry, per-angle
// weights, and the sinogram weighting family.
#include "kernels/sirt_tables.h"

#include <immintrin.h>
#include <math.h>
#include <stdint.h>
#include <stdlib.h>

#include <utility>

#include "kernels/array2d.h"
#include "kernels/forward_project.h"
#include "kernels/geometry.h"
#include "kernels/kernel_slots.h"
#include "kernels/setup_threads.h"

float **ray_weights = nullptr;
float *angle_weights = nullptr;
sino_weight_fn_t sino_weight_fn = nullptr;

namespace {

// Entries ahead of the first 16-byte boundary of p (all of them when p is not
// even float-aligned), at most n.
size_t entries_before_boundary(const float *p, size_t n)
{
    const uintptr_t addr = (uintptr_t)p;
    if (addr % 4 != 0) return n;
    const size_t head = ((16 - addr % 16) % 16) / 4;
    return head < n ? head : n;
}

// One Newton-Raphson step on the processor's reciprocal estimate of v.
inline __m128 refined_reciprocal(__m128 v)
{
    const __m128 y = _mm_rcp_ps(v);
    return _mm_sub_ps(_mm_add_ps(y, y), _mm_mul_ps(_mm_mul_ps(y, v), y));
}

// Every non-zero entry w becomes q / w; zeros stay.
void invert_ray_weights(float *w, size_t n, float q)
{
    const size_t head = entries_before_boundary(w, n);
    size_t k = 0;
    for (; k < head; ++k)
        if (w[k] != 0.0f) w[k] = q / w[k];
    const __m128 vq = _mm_set1_ps(q);
    const __m128 zero = _mm_setzero_ps();
    for (; k + 8 <= n; k += 8) {
        for (size_t h = k; h < k + 8; h += 4) {
            const __m128 v = _mm_load_ps(w + h);
            const __m128 r = _mm_mul_ps(refined_reciprocal(v), vq);
            const __m128 nonzero = _mm_cmpneq_ps(v, zero);
            _mm_store_ps(w + h, _mm_or_ps(_mm_and_ps(nonzero, r), _mm_andnot_ps(nonzero, v)));
        }
    }
    for (; k < n; ++k)
        if (w[k] != 0.0f) w[k] = q / w[k];
}

// Sums, per bin, the sampling weights with which every traced column pair of
// the slice reaches it: the projection of a slice of ones. ray_table is in its
// [projection][kernel row] orientation here. Each projection's row of sums
// is made whole by one set-up thread, in the order of a plain loop.
void accumulate_ray_sums(int R, int D, int N, int step, int interpolation)
{
    setup_parallel_for(N, [&](int a) {
        float *S = ray_weights[a];
        const float dt = cos_table[a];
        const ray_segment_t *row = ray_table[a];
        for (int r = 0; r < R; ++r) {
            const ray_segment_t &e = row[r];
            float t = e.t_first;
            int i = (int)t;
            for (int x = e.first_col; x <= e.last_col; x += step) {
                if (interpolation) {
                    const float f = t - (float)i;
                    const float g = 1.0f - (t - (float)i);
                    S[i] += g;
                    S[i + 1] += f;
                    S[D - 1 - i] += g;
                    S[D - 2 - i] += f;
                } else {
                    S[i] += 1.0f;
                    S[D - 1 - i] += 1.0f;
                }
                t = t + dt;
                i = (int)t;
            }
        }
    });
}

// |cos theta| / (N * H) per angle, through reciprocal estimates in groups of
// four from the first 16-byte boundary and true divisions elsewhere.
void fill_angle_weights(int H, int N, const float *angles)
{
    const float fh = (float)H, fn = (float)N;
    for (int a = 0; a < N; ++a) angle_weights[a] = cosf(angles[a] * 0.017453292f);
    const size_t n = (size_t)N;
    const size_t head = entries_before_boundary(angle_weights, n);
    size_t k = 0;
    auto exact = [&](size_t j) {
        const float c = angle_weights[j];
        angle_weights[j] = 1.0f / (fabsf(fh / c) * fn);
    };
    for (; k < head; ++k) exact(k);
    const __m128 vh = _mm_set1_ps(fh), vn = _mm_set1_ps(fn);
    const __m128 abs_mask = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    for (; k + 4 <= n; k += 4) {
        const __m128 c = _mm_load_ps(angle_weights + k);
        const __m128 y = refined_reciprocal(c);
        const __m128 p = _mm_mul_ps(_mm_and_ps(_mm_mul_ps(y, vh), abs_mask), vn);
        _mm_store_ps(angle_weights + k, refined_reciprocal(p));
    }
    for (; k < n; ++k) exact(k);
}

}  // namespace

void geometry_table_swap(void)
{
    std::swap(ray_table, ray_table_by_angle);
}

int sirt_init(int height, int sino_width, int num_angles, const float *angles,
              int split_factor, int weighting, int interpolation, int vector_ext)
{
    const int H = height, D = sino_width, N = num_angles;
    const kernel_variants_t &variants = kernel_variants(vector_ext);
    forward_project_fn = interpolation ? variants.forward_interp : variants.forward_nearest;
    // Floats per column pair.
    const int step = 1 << variants.column_shift;
    if (split_factor < 1 || (int64_t)(H >> 1) * split_factor > INT32_MAX) return -1;
    const int R = (H >> 1) * split_factor;
    if (!ray_table || !ray_table_by_angle || !cos_table || D < 1 || N < 1) return -1;

    ray_weights = (float **)array2d_alloc(D, N, sizeof(float));
    if (!ray_weights) return -1;
    array2d_zero(ray_weights, D, N);

    geometry_table_swap();
    accumulate_ray_sums(R, D, N, step, interpolation);
    geometry_table_swap();

    invert_ray_weights(ray_weights[0], (size_t)N * (size_t)D, 1.0f / (float)N);

    if (!weighting) {
        sino_weight_fn = sino_scale_by_projections;
        return 0;
    }
    angle_weights = (float *)malloc((size_t)N * sizeof(float));
    if (!angle_weights) {
        array2d_free((void **)ray_weights);
        ray_weights = nullptr;
        return -1;
    }
    fill_angle_weights(H, N, angles);
    sino_weight_fn = variants.angle_weight;
    return 0;
}

void sirt_tables_free(void)
{
    array2d_free((void **)ray_weights);
    ray_weights = nullptr;
    free(angle_weights);
    angle_weights = nullptr;
}

void sino_angle_weight_scalar(mrc_image_t *sino)
{
    for (int z = 0; z < sino->nz; ++z)
        for (int a = 0; a < sino->ny; ++a) {
            float *p = sino->data[z][a];
            const float w = angle_weights[a];
            for (int x = 0; x < sino->nx; ++x) p[x] *= w;
        }
}

__attribute__((target("sse2")))
void sino_angle_weight_sse(mrc_image_t *sino)
{
    for (int z = 0; z < sino->nz; ++z)
        for (int a = 0; a < sino->ny; ++a) {
            float *p = sino->data[z][a];
            const __m128 w = _mm_set1_ps(angle_weights[a]);
            for (int x = 0; x < sino->nx; x += 4) _mm_store_ps(p + x, _mm_mul_ps(_mm_load_ps(p + x), w));
        }
}

__attribute__((target("avx")))
void sino_angle_weight_avx(mrc_image_t *sino)
{
    for (int z = 0; z < sino->nz; ++z)
        for (int a = 0; a < sino->ny; ++a) {
            float *p = sino->data[z][a];
            const __m256 w = _mm256_set1_ps(angle_weights[a]);
            for (int x = 0; x < sino->nx; x += 8)
                _mm256_storeu_ps(p + x, _mm256_mul_ps(_mm256_loadu_ps(p + x), w));
        }
}

void sino_scale_by_projections(mrc_image_t *sino)
{
    scale_fn(sino, sino->ny);
}
