// Correlation family: the Pearson coefficient between a projected and a
// measured sinogram, one per lane (slice) of the group.
#include <immintrin.h>
#include <stdint.h>

#include "kernels/sirt_step.h"

correlation_fn_t correlation_fn = nullptr;

void correlation_scalar(mrc_image_t *projected, mrc_image_t *measured, float *out)
{
    const int64_t n = (int64_t)measured->nx * measured->ny;
    const float *M = measured->data[0][0];
    const float *P = projected->data[0][0];
    float sm = 0.0f, sp = 0.0f;
    for (int64_t i = 0; i < n; ++i) {
        sm += M[i];
        sp += P[i];
    }
    const float mm = sm / (float)n, mp = sp / (float)n;
    float cov = 0.0f, vm = 0.0f, vp = 0.0f;
    for (int64_t i = 0; i < n; ++i) {
        const float dm = M[i] - mm, dp = P[i] - mp;
        cov += dm * dp;
        vm += dm * dm;
        vp += dp * dp;
    }
    const float p = vm * vp;
    if (!(p > 0.0f)) {  // zero or not a number
        out[0] = 0.0f;
        return;
    }
    float y = _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(p)));
    y = (y * -0.5f) * ((p * y) * y - 3.0f);
    out[0] = cov * y;
}

__attribute__((target("sse2")))
void correlation_sse(mrc_image_t *projected, mrc_image_t *measured, float *out)
{
    const int64_t n = (int64_t)measured->nx * measured->ny;
    const int64_t m = n / 4;
    const float *M = measured->data[0][0];
    const float *P = projected->data[0][0];
    __m128 sm = _mm_setzero_ps(), sp = _mm_setzero_ps();
    for (int64_t i = 0; i < m; ++i) {
        sm = _mm_add_ps(sm, _mm_load_ps(M + 4 * i));
        sp = _mm_add_ps(sp, _mm_load_ps(P + 4 * i));
    }
    const __m128 count = _mm_set1_ps((float)m);
    const __m128 mm = _mm_div_ps(sm, count), mp = _mm_div_ps(sp, count);
    __m128 cov = _mm_setzero_ps(), vm = _mm_setzero_ps(), vp = _mm_setzero_ps();
    for (int64_t i = 0; i < m; ++i) {
        const __m128 dm = _mm_sub_ps(_mm_load_ps(M + 4 * i), mm);
        const __m128 dp = _mm_sub_ps(_mm_load_ps(P + 4 * i), mp);
        cov = _mm_add_ps(cov, _mm_mul_ps(dm, dp));
        vm = _mm_add_ps(vm, _mm_mul_ps(dm, dm));
        vp = _mm_add_ps(vp, _mm_mul_ps(dp, dp));
    }
    __m128 p = _mm_mul_ps(vm, vp);
    // A zero product becomes 1 (bitwise select: SSE2 has no blend); NaN stays.
    const __m128 zero_p = _mm_cmpeq_ps(p, _mm_setzero_ps());
    p = _mm_or_ps(_mm_andnot_ps(zero_p, p), _mm_and_ps(zero_p, _mm_set1_ps(1.0f)));
    _mm_storeu_ps(out, _mm_div_ps(cov, _mm_sqrt_ps(p)));
}

__attribute__((target("avx")))
void correlation_avx(mrc_image_t *projected, mrc_image_t *measured, float *out)
{
    const int64_t n = (int64_t)measured->nx * measured->ny;
    const int64_t m = n / 8;
    const float *M = measured->data[0][0];
    const float *P = projected->data[0][0];
    __m256 sm = _mm256_setzero_ps(), sp = _mm256_setzero_ps();
    for (int64_t i = 0; i < m; ++i) {
        sm = _mm256_add_ps(sm, _mm256_loadu_ps(M + 8 * i));
        sp = _mm256_add_ps(sp, _mm256_loadu_ps(P + 8 * i));
    }
    const __m256 count = _mm256_set1_ps((float)m);
    const __m256 mm = _mm256_div_ps(sm, count), mp = _mm256_div_ps(sp, count);
    __m256 cov = _mm256_setzero_ps(), vm = _mm256_setzero_ps(), vp = _mm256_setzero_ps();
    for (int64_t i = 0; i < m; ++i) {
        const __m256 dm = _mm256_sub_ps(_mm256_loadu_ps(M + 8 * i), mm);
        const __m256 dp = _mm256_sub_ps(_mm256_loadu_ps(P + 8 * i), mp);
        cov = _mm256_add_ps(cov, _mm256_mul_ps(dm, dp));
        vm = _mm256_add_ps(vm, _mm256_mul_ps(dm, dm));
        vp = _mm256_add_ps(vp, _mm256_mul_ps(dp, dp));
    }
    __m256 p = _mm256_mul_ps(vm, vp);
    p = _mm256_blendv_ps(p, _mm256_set1_ps(1.0f), _mm256_cmp_ps(p, _mm256_setzero_ps(), _CMP_EQ_OQ));
    _mm256_storeu_ps(out, _mm256_div_ps(cov, _mm256_sqrt_ps(p)));
}
