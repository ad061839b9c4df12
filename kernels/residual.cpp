// Residual rows: the measured row minus the projected row, in place of the
// projected one.
#include <immintrin.h>

#include "kernels/sirt_step.h"

void row_residual_scalar(float *dst, const float *src, int n)
{
    for (int i = 0; i < n; ++i) dst[i] = src[i] - dst[i];
}

__attribute__((target("sse2")))
void row_residual_sse(float *dst, const float *src, int n)
{
    for (int i = 0; i < n; i += 4)
        _mm_store_ps(dst + i, _mm_sub_ps(_mm_load_ps(src + i), _mm_load_ps(dst + i)));
}

__attribute__((target("avx")))
void row_residual_avx(float *dst, const float *src, int n)
{
    for (int i = 0; i < n; i += 8)
        _mm256_storeu_ps(dst + i, _mm256_sub_ps(_mm256_loadu_ps(src + i), _mm256_loadu_ps(dst + i)));
}
