#include "kernels/elementwise.h"

#include <immintrin.h>
#include <stdint.h>

static inline int64_t float_count(const mrc_image_t *image)
{
    return (int64_t)image->nx * (int64_t)image->ny * (int64_t)image->nz;
}

// The lane layouts always hold whole vectors; a shorter remainder is still
// handled, with the vector members' rule, so no access leaves the record.
static inline void constrain_tail(float *v, int64_t i, int64_t n)
{
    for (; i < n; i++)
        v[i] = (v[i] >= 0.0f) ? v[i] : 0.0f;
}

void slice_constrain_scalar(mrc_image_t *image)
{
    const int64_t n = float_count(image);
    if (n <= 0)
        return;
    float *v = image->data[0][0];
    for (int64_t i = 0; i < n; i++)
        v[i] = (0.0f > v[i]) ? 0.0f : v[i];
}

__attribute__((target("sse2"))) void slice_constrain_sse(mrc_image_t *image)
{
    const int64_t n = float_count(image);
    if (n <= 0)
        return;
    float *v = image->data[0][0];
    const __m128 zero = _mm_setzero_ps();
    int64_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m128 x = _mm_load_ps(v + i);
        _mm_store_ps(v + i, _mm_and_ps(x, _mm_cmpge_ps(x, zero)));
    }
    constrain_tail(v, i, n);
}

__attribute__((target("avx"))) void slice_constrain_avx(mrc_image_t *image)
{
    const int64_t n = float_count(image);
    if (n <= 0)
        return;
    float *v = image->data[0][0];
    const __m256 zero = _mm256_setzero_ps();
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 x = _mm256_loadu_ps(v + i);
        _mm256_storeu_ps(v + i, _mm256_and_ps(x, _mm256_cmp_ps(x, zero, _CMP_GE_OQ)));
    }
    constrain_tail(v, i, n);
}

void image_scale_scalar(mrc_image_t *image, int n)
{
    const int64_t count = float_count(image);
    if (n <= 0 || count <= 0)
        return;
    const float factor = 1.0f / (float)n;
    float *v = image->data[0][0];
    for (int64_t i = 0; i < count; i++)
        v[i] *= factor;
}

__attribute__((target("sse2"))) void image_scale_sse(mrc_image_t *image, int n)
{
    const int64_t count = float_count(image);
    if (n <= 0 || count <= 0)
        return;
    const float f = 1.0f / (float)n;
    const __m128 factor = _mm_set1_ps(f);
    float *v = image->data[0][0];
    int64_t i = 0;
    for (; i + 4 <= count; i += 4)
        _mm_store_ps(v + i, _mm_mul_ps(_mm_load_ps(v + i), factor));
    for (; i < count; i++)
        v[i] *= f;
}

__attribute__((target("avx"))) void image_scale_avx(mrc_image_t *image, int n)
{
    const int64_t count = float_count(image);
    if (n <= 0 || count <= 0)
        return;
    const float f = 1.0f / (float)n;
    const __m256 factor = _mm256_set1_ps(f);
    float *v = image->data[0][0];
    int64_t i = 0;
    for (; i + 8 <= count; i += 8)
        _mm256_storeu_ps(v + i, _mm256_mul_ps(_mm256_loadu_ps(v + i), factor));
    for (; i < count; i++)
        v[i] *= f;
}
