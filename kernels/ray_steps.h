// Step tables of the AVX projection walks (back-projection and forward
// projection share them).
//
// A walk's detector coordinate is a running single-precision sum, so each
// step waits for the one before it. The AVX members therefore run the sums
// of up to four rays of up to four kernel rows ahead of the walks, one
// 4-lane register per kernel row (every lane its own exact running sum,
// the same additions as a walk that carries t itself), and store for every
// step the byte offset of bin trunc(t) and the fraction t - trunc(t). The
// walks then read both with plain loads: no conversion or broadcast shuffle
// per sample, and no chain from one step to the next.
#ifndef KYVANE_KERNELS_RAY_STEPS_H
#define KYVANE_KERNELS_RAY_STEPS_H

#include <immintrin.h>
#include <stdint.h>

#include "kernels/geometry.h"

// Row n of a kernel row's table: the 4 rays' offsets (int32, bytes, bin
// times 32), then their 4 fractions (float).
constexpr int ray_steps_words = 8, ray_steps_rows = 4, ray_steps_rays = 4;

// How far ahead of the walk the slice is prefetched, in bytes. Every
// projection block sweeps all kernel rows of the slice (the slice of an
// 8-lane group is far larger than the caches), so the slice streams from
// memory once per block; the hardware alone does not fetch it early enough.
constexpr int ray_steps_prefetch = 4096;

inline int ray_steps_count(const ray_segment_t &e)
{
    return e.last_col >= e.first_col ? (e.last_col - e.first_col) / 16 + 1 : 0;
}

template <bool Frac>
__attribute__((target("avx"), always_inline)) inline void ray_steps_one(__m128 &T, __m128 Dv,
                                                                       int32_t *q)
{
    // The coordinates are non-negative and far below 2^31: the conversion
    // truncates toward zero exactly as the rounding does.
    _mm_storeu_si128(reinterpret_cast<__m128i *>(q), _mm_slli_epi32(_mm_cvttps_epi32(T), 5));
    if (Frac)
        _mm_storeu_ps(reinterpret_cast<float *>(q + 4),
                      _mm_sub_ps(T, _mm_round_ps(T, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC)));
    T = _mm_add_ps(T, Dv);
}

// Fills the tables of kernel rows r0 .. r0+nr-1 (nr <= 4), each `row_words`
// int32 apart from tab, for projections a .. a+m-1 (m <= 4): lane k of the
// row's table is ray a+k, from its own first step. Lanes without a ray and
// steps past a ray's end hold values nobody reads. Frac false leaves the
// fractions out (nearest sampling needs the offsets only).
template <bool Frac>
__attribute__((target("avx"))) inline void ray_steps_fill(int32_t *tab, int row_words, int r0,
                                                          int nr, int a, int m)
{
    alignas(16) float t[ray_steps_rows][4] = {};
    alignas(16) float d[4] = {};
    int steps = 0;
    for (int k = 0; k < m; k++) d[k] = cos_table[a + k];
    for (int rr = 0; rr < nr; rr++)
        for (int k = 0; k < m; k++) {
            const ray_segment_t &e = ray_table[r0 + rr][a + k];
            t[rr][k] = e.t_first;
            const int n = ray_steps_count(e);
            steps = n > steps ? n : steps;
        }
    if (steps > row_words / ray_steps_words) steps = row_words / ray_steps_words;
    const __m128 Dv = _mm_load_ps(d);
    __m128 T0 = _mm_load_ps(t[0]), T1 = _mm_load_ps(t[1]);
    __m128 T2 = _mm_load_ps(t[2]), T3 = _mm_load_ps(t[3]);
    int32_t *p = tab;
    for (int n = 0; n < steps; n++, p += ray_steps_words) {
        ray_steps_one<Frac>(T0, Dv, p);
        ray_steps_one<Frac>(T1, Dv, p + row_words);
        ray_steps_one<Frac>(T2, Dv, p + 2 * row_words);
        ray_steps_one<Frac>(T3, Dv, p + 3 * row_words);
    }
}

#endif
