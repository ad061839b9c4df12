// Back-projection: scalar, SSE and AVX members side by side.
//
// Every member walks the entries of ray_table: from t_first, one column pair
// (a voxel and its point reflection, L lanes each) per step, the coordinate
// advanced by cos_table[a] as a running single-precision sum. The first voxel
// samples the sinogram at t, the reflection at (D-1) - t.
//
// The vector members walk up to four projections of one kernel row together:
// their running sums are independent, so the latency of the coordinate
// update is hidden, and each slice vector is loaded and stored once for all
// of them. Where several rays cover a column pair, they are added in
// increasing projection order, so every voxel receives its projections
// exactly as in a walk of one projection at a time, and the sums are the same.
#include "kernels/backproject.h"

#include <immintrin.h>
#include <limits.h>
#include <stdint.h>

#include "kernels/geometry.h"
#include "kernels/ray_walk_avx.h"

namespace {

// Visits the tiles of the block plan: kernel-row blocks (outer) against
// projection blocks. Sizes are clamped to what is left, so a plan that does
// not add up exactly can neither overrun nor loop for ever.
template <class Body>
inline void for_each_tile(int R, int N, Body body)
{
    const int32_t *rows = block_lists.row_block_sizes;
    const int32_t *projs = block_lists.proj_block_sizes;
    for (int r0 = 0, rb = 0; r0 < R; rb++) {
        int nr = rows ? rows[rb] : R;
        nr = nr < 1 ? 1 : (nr > R - r0 ? R - r0 : nr);
        for (int a0 = 0, pb = 0; a0 < N; pb++) {
            int na = projs[pb];
            na = na < 1 ? 1 : (na > N - a0 ? N - a0 : na);
            body(r0, r0 + nr, a0, a0 + na);
            a0 += na;
        }
        r0 += nr;
    }
}

inline int proj_block(int pb, int a0, int N)
{
    int na = block_lists.proj_block_sizes[pb];
    return na < 1 ? 1 : (na > N - a0 ? N - a0 : na);
}

// ---- plain ----------------------------------------------------------------

inline void walk_interp_scalar(float *S, const ray_segment_t &e, const float *P,
                               const float *Pm, float d)
{
    float t = e.t_first;
    for (int x = e.first_col; x <= e.last_col; x += 2) {
        const int i = (int)t;
        const float f = t - (float)i;
        const float p0 = P[i], p1 = P[i + 1];
        const float q0 = Pm[-i], q1 = Pm[-i - 1];
        S[x] += p0 + (p1 - p0) * f;
        S[x + 1] += q0 + (q1 - q0) * f;
        t += d;
    }
}

inline void walk_nearest_scalar(float *S, const ray_segment_t &e, const float *P,
                                const float *Pm, float d)
{
    float t = e.t_first;
    int x = e.first_col;
    for (; x + 2 <= e.last_col; x += 4) {
        const int i = (int)t;
        t += d;
        const int k = (int)t;
        t += d;
        S[x] += P[i];
        S[x + 1] += Pm[-i];
        S[x + 2] += P[k];
        S[x + 3] += Pm[-k];
    }
    if (x <= e.last_col) {
        const int i = (int)t;
        S[x] += P[i];
        S[x + 1] += Pm[-i];
    }
}

template <bool Interp>
void backproject_scalar(mrc_image_t *sino, mrc_image_t *slice)
{
    const int N = sino->ny, D = sino->nx, R = slice->ny;
    float *const *S = slice->data[0];
    float *const *P = sino->data[0];
    for_each_tile(R, N, [&](int r0, int r1, int a0, int a1) {
        for (int r = r0; r < r1; r++)
            for (int a = a0; a < a1; a++) {
                if (Interp)
                    walk_interp_scalar(S[r], ray_table[r][a], P[a], P[a] + (D - 1), cos_table[a]);
                else
                    walk_nearest_scalar(S[r], ray_table[r][a], P[a], P[a] + (D - 1), cos_table[a]);
            }
    });
}

// ---- SSE (4 lanes, aligned) -------------------------------------------------
// A column pair is 8 floats; bin i of the row is the vector at byte 16 i.
// SSE2 only (no rounding or extraction instructions of later extensions):
// the SSE members are chosen on any x86-64 without AVX.

// Steps of a walk from float offset x to last (inclusive), pair size `pair`.
inline int steps_between(int x, int last, int pair)
{
    return last >= x ? (last - x) / pair + 1 : 0;
}

// How a walk of two rays, at offsets xa and xb and ending at la and lb,
// splits: pairs that only one ray reaches before the other starts, pairs
// both reach (a's sample is added before b's), then the rest of each.
struct two_walk_plan {
    int lead_a, lead_b, both, tail_a, tail_b;
};

inline two_walk_plan plan_two(int xa, int la, int xb, int lb, int pair)
{
    two_walk_plan w;
    w.lead_a = xa < xb ? steps_between(xa, la < xb - pair ? la : xb - pair, pair) : 0;
    xa += w.lead_a * pair;
    w.lead_b = xb < xa ? steps_between(xb, lb < xa - pair ? lb : xa - pair, pair) : 0;
    xb += w.lead_b * pair;
    w.both = xa == xb ? steps_between(xa, la < lb ? la : lb, pair) : 0;
    xa += w.both * pair;
    xb += w.both * pair;
    w.tail_a = steps_between(xa, la, pair);
    w.tail_b = steps_between(xb, lb, pair);
    return w;
}

#define SSE_INLINE __attribute__((target("sse2"), always_inline)) inline

constexpr int sse_pair = 8;   // floats of a column pair
constexpr int sse_shift = 4;  // bin i of a sinogram row is at byte i << sse_shift

// The coordinates are non-negative and far below 2^31, so converting the
// truncated integers back is the truncation toward zero.
SSE_INLINE __m128 sse_trunc(__m128 v)
{
    return _mm_cvtepi32_ps(_mm_cvttps_epi32(v));
}

// The vector members take projections four at a time. Where all four rays
// cover a pair, one loop adds a, a+1, a+2, a+3 in that order; before and
// after that run, the rays are walked as two pairs, (a, a+1) then
// (a+2, a+3), each pair over the same stretch of the row, so every voxel
// still receives its projections in increasing order. Each ray keeps its
// own running coordinate and position across these stretches.
struct sse_ray {
    const char *P;   // bin 0 of the projection row
    const char *Pm;  // bin D-1
    __m128 t, d;     // the coordinate in every lane, so the fraction needs no broadcast
    int x, last;
};

SSE_INLINE sse_ray sse_ray_of(const ray_segment_t &e, const float *P, float d, int D)
{
    return {reinterpret_cast<const char *>(P),
            reinterpret_cast<const char *>(P + (sse_pair / 2) * (D - 1)), _mm_set1_ps(e.t_first),
            _mm_set1_ps(d), e.first_col, e.last_col};
}

// One ray's samples into one column pair; trunc(t) is exact below 2^24.
template <bool Interp>
SSE_INLINE void sse_add(__m128 &s0, __m128 &s1, sse_ray &w)
{
    const int64_t off = _mm_cvttss_si64(w.t) << sse_shift;
    const char *p = w.P + off;
    const char *q = w.Pm - off;
    const __m128 p0 = _mm_load_ps(reinterpret_cast<const float *>(p));
    const __m128 q0 = _mm_load_ps(reinterpret_cast<const float *>(q));
    if (Interp) {
        const __m128 f = _mm_sub_ps(w.t, sse_trunc(w.t));
        const __m128 p1 = _mm_load_ps(reinterpret_cast<const float *>(p + (1 << sse_shift)));
        const __m128 q1 = _mm_load_ps(reinterpret_cast<const float *>(q - (1 << sse_shift)));
        s0 = _mm_add_ps(_mm_add_ps(s0, p0), _mm_mul_ps(_mm_sub_ps(p1, p0), f));
        s1 = _mm_add_ps(_mm_add_ps(s1, q0), _mm_mul_ps(_mm_sub_ps(q1, q0), f));
    } else {
        s0 = _mm_add_ps(s0, p0);
        s1 = _mm_add_ps(s1, q0);
    }
    w.t = _mm_add_ps(w.t, w.d);
}

template <bool Interp>
SSE_INLINE void sse_walk_one(float *S, sse_ray &w, int steps)
{
    float *s = S + w.x;
    w.x += steps * sse_pair;
    for (; steps > 0; steps--, s += sse_pair) {
        __m128 s0 = _mm_load_ps(s), s1 = _mm_load_ps(s + sse_pair / 2);
        sse_add<Interp>(s0, s1, w);
        _mm_store_ps(s, s0);
        _mm_store_ps(s + sse_pair / 2, s1);
    }
}

// Rays a and b over the pairs up to offset hi.
template <bool Interp>
SSE_INLINE void sse_walk_two(float *S, sse_ray &A, sse_ray &B, int hi)
{
    const two_walk_plan plan = plan_two(A.x, A.last < hi ? A.last : hi, B.x,
                                        B.last < hi ? B.last : hi, sse_pair);
    sse_walk_one<Interp>(S, A, plan.lead_a);
    sse_walk_one<Interp>(S, B, plan.lead_b);
    float *s = S + A.x;
    A.x += plan.both * sse_pair;
    B.x += plan.both * sse_pair;
    for (int n = plan.both; n > 0; n--, s += sse_pair) {
        __m128 s0 = _mm_load_ps(s), s1 = _mm_load_ps(s + sse_pair / 2);
        sse_add<Interp>(s0, s1, A);
        sse_add<Interp>(s0, s1, B);
        _mm_store_ps(s, s0);
        _mm_store_ps(s + sse_pair / 2, s1);
    }
    sse_walk_one<Interp>(S, A, plan.tail_a);
    sse_walk_one<Interp>(S, B, plan.tail_b);
}

// Interpolated samples of ray k at byte offset off, fraction lane K of F.
template <int K>
SSE_INLINE void sse_sample4(__m128 &s0, __m128 &s1, const char *P, int64_t last, uint32_t off,
                            __m128 F)
{
    const char *p = P + off;
    const char *q = P + (last - (int64_t)off);
    const __m128 f = _mm_shuffle_ps(F, F, K * 0x55);
    const __m128 p0 = _mm_load_ps(reinterpret_cast<const float *>(p));
    const __m128 q0 = _mm_load_ps(reinterpret_cast<const float *>(q));
    const __m128 p1 = _mm_load_ps(reinterpret_cast<const float *>(p + (1 << sse_shift)));
    const __m128 q1 = _mm_load_ps(reinterpret_cast<const float *>(q - (1 << sse_shift)));
    s0 = _mm_add_ps(_mm_add_ps(s0, p0), _mm_mul_ps(_mm_sub_ps(p1, p0), f));
    s1 = _mm_add_ps(_mm_add_ps(s1, q0), _mm_mul_ps(_mm_sub_ps(q1, q0), f));
}

// The stretch all four interpolating rays cover. Their coordinates share
// one 4-float register: one addition advances all four running sums (each
// lane is its own exact sum), one rounding gives the four fractions and one
// conversion the four bin offsets, so the per-ray work is the sampling
// alone.
SSE_INLINE void sse_walk_four_core(float *s, sse_ray *w, int n)
{
    alignas(16) float tf[4];
    __m128 T = _mm_setr_ps(_mm_cvtss_f32(w[0].t), _mm_cvtss_f32(w[1].t),
                           _mm_cvtss_f32(w[2].t), _mm_cvtss_f32(w[3].t));
    const __m128 Dv = _mm_setr_ps(_mm_cvtss_f32(w[0].d), _mm_cvtss_f32(w[1].d),
                                  _mm_cvtss_f32(w[2].d), _mm_cvtss_f32(w[3].d));
    const char *P0 = w[0].P, *P1 = w[1].P, *P2 = w[2].P, *P3 = w[3].P;
    const int64_t last = w[0].Pm - w[0].P;  // byte offset of bin D-1
    for (; n > 0; n--, s += sse_pair) {
        const __m128i I = _mm_cvttps_epi32(T);
        const __m128 F = _mm_sub_ps(T, _mm_cvtepi32_ps(I));
        const __m128i O = _mm_slli_epi32(I, sse_shift);
        T = _mm_add_ps(T, Dv);
        __m128 s0 = _mm_load_ps(s), s1 = _mm_load_ps(s + sse_pair / 2);
        sse_sample4<0>(s0, s1, P0, last, (uint32_t)_mm_cvtsi128_si32(O), F);
        sse_sample4<1>(s0, s1, P1, last, (uint32_t)_mm_cvtsi128_si32(_mm_shuffle_epi32(O, 1)), F);
        sse_sample4<2>(s0, s1, P2, last, (uint32_t)_mm_cvtsi128_si32(_mm_shuffle_epi32(O, 2)), F);
        sse_sample4<3>(s0, s1, P3, last, (uint32_t)_mm_cvtsi128_si32(_mm_shuffle_epi32(O, 3)), F);
        _mm_store_ps(s, s0);
        _mm_store_ps(s + sse_pair / 2, s1);
    }
    _mm_store_ps(tf, T);
    for (int k = 0; k < 4; k++) w[k].t = _mm_set1_ps(tf[k]);
}

template <bool Interp>
SSE_INLINE void sse_walk_four(float *S, sse_ray *w)
{
    int x0 = w[0].x, x1 = w[0].last;
    for (int k = 1; k < 4; k++) {
        x0 = w[k].x > x0 ? w[k].x : x0;
        x1 = w[k].last < x1 ? w[k].last : x1;
    }
    if (x0 > x1) {  // no pair that all four reach
        sse_walk_two<Interp>(S, w[0], w[1], INT_MAX);
        sse_walk_two<Interp>(S, w[2], w[3], INT_MAX);
        return;
    }
    sse_walk_two<Interp>(S, w[0], w[1], x0 - sse_pair);
    sse_walk_two<Interp>(S, w[2], w[3], x0 - sse_pair);
    const int n = (x1 - x0) / sse_pair + 1;
    if (Interp) {
        sse_walk_four_core(S + x0, w, n);
    } else {
        float *s = S + x0;
        for (int k = n; k > 0; k--, s += sse_pair) {
            __m128 s0 = _mm_load_ps(s), s1 = _mm_load_ps(s + sse_pair / 2);
            sse_add<Interp>(s0, s1, w[0]);
            sse_add<Interp>(s0, s1, w[1]);
            sse_add<Interp>(s0, s1, w[2]);
            sse_add<Interp>(s0, s1, w[3]);
            _mm_store_ps(s, s0);
            _mm_store_ps(s + sse_pair / 2, s1);
        }
    }
    for (int k = 0; k < 4; k++) w[k].x = x1 + sse_pair;
    sse_walk_two<Interp>(S, w[0], w[1], INT_MAX);
    sse_walk_two<Interp>(S, w[2], w[3], INT_MAX);
}

// Projections a0 .. a1-1 of one kernel row.
template <bool Interp>
SSE_INLINE void sse_row(float *S, const ray_segment_t *row, float *const *P, int a0, int a1,
                        int D)
{
    int a = a0;
    for (; a + 3 < a1; a += 4) {
        sse_ray w[4];
        for (int k = 0; k < 4; k++)
            w[k] = sse_ray_of(row[a + k], P[a + k], cos_table[a + k], D);
        sse_walk_four<Interp>(S, w);
    }
    for (; a + 1 < a1; a += 2) {
        sse_ray A = sse_ray_of(row[a], P[a], cos_table[a], D);
        sse_ray B = sse_ray_of(row[a + 1], P[a + 1], cos_table[a + 1], D);
        sse_walk_two<Interp>(S, A, B, INT_MAX);
    }
    if (a < a1) {
        sse_ray A = sse_ray_of(row[a], P[a], cos_table[a], D);
        sse_walk_one<Interp>(S, A, steps_between(A.x, A.last, sse_pair));
    }
}

template <bool Interp>
__attribute__((target("sse2"))) void backproject_sse(mrc_image_t *sino, mrc_image_t *slice)
{
    const int N = sino->ny, D = sino->nx / 4, R = slice->ny;
    float *const *S = slice->data[0];
    float *const *P = sino->data[0];
    // Plain loops: a lambda would not inherit this function's target.
    const int32_t *rows = block_lists.row_block_sizes;
    for (int r0 = 0, rb = 0; r0 < R; rb++) {
        int nr = rows ? rows[rb] : R;
        nr = nr < 1 ? 1 : (nr > R - r0 ? R - r0 : nr);
        const int r1 = r0 + nr;
        for (int a0 = 0, pb = 0; a0 < N; pb++) {
            const int a1 = a0 + proj_block(pb, a0, N);
            for (int r = r0; r < r1; r++)
                sse_row<Interp>(S[r], ray_table[r], P, a0, a1, D);
            a0 = a1;
        }
        r0 = r1;
    }
}

// ---- AVX (8 lanes, unaligned) -----------------------------------------------
// A column pair is 16 floats; bin i of the row is the vector at byte 32 i.
// The walks read their offsets and fractions from the step tables
// (ray_steps.h) and take up to four projections of one kernel row per
// column pair, in increasing order, so each slice vector is loaded and
// stored once for all of them.

#define AVX_INLINE __attribute__((target("avx"), always_inline)) inline

// Column pairs j0 .. j1-1, which rays tr[0 .. M-1] all cover.
template <int M, bool Interp>
AVX_INLINE void avx_back_stretch(float *S, int j0, int j1, const ray_track *tr, int64_t last)
{
    const char *P[M], *B[M];
#pragma GCC unroll 4
    for (int k = 0; k < M; k++) P[k] = tr[k].P, B[k] = tr[k].tab;
    float *s = S + 16 * j0;
    const int64_t row = ray_steps_entry_bytes;
    for (int64_t j = row * j0; j < row * j1; j += row, s += 16) {
        _mm_prefetch(reinterpret_cast<const char *>(s) + ray_steps_prefetch, _MM_HINT_T0);
        __m256 s0 = _mm256_loadu_ps(s), s1 = _mm256_loadu_ps(s + 8);
#pragma GCC unroll 4
        for (int k = 0; k < M; k++) {
            const int64_t o = *reinterpret_cast<const int32_t *>(B[k] + j);
            const float *p = reinterpret_cast<const float *>(P[k] + o);
            const float *q = reinterpret_cast<const float *>(P[k] + (last - o));
            const __m256 p0 = _mm256_loadu_ps(p), q0 = _mm256_loadu_ps(q);
            if (Interp) {
                const __m256 f = _mm256_broadcast_ss(
                    reinterpret_cast<const float *>(B[k] + j + ray_steps_frac_bytes));
                const __m256 p1 = _mm256_loadu_ps(p + 8), q1 = _mm256_loadu_ps(q - 8);
                s0 = _mm256_add_ps(_mm256_add_ps(s0, p0), _mm256_mul_ps(_mm256_sub_ps(p1, p0), f));
                s1 = _mm256_add_ps(_mm256_add_ps(s1, q0), _mm256_mul_ps(_mm256_sub_ps(q1, q0), f));
            } else {
                s0 = _mm256_add_ps(s0, p0);
                s1 = _mm256_add_ps(s1, q0);
            }
        }
        _mm256_storeu_ps(s, s0);
        _mm256_storeu_ps(s + 8, s1);
    }
}

// Projections a .. a+m-1 (m <= 4) of one kernel row. The row is cut where a
// ray starts or ends; on each stretch the rays that cover it are added in
// increasing projection order.
template <bool Interp>
AVX_INLINE void avx_back_rays(float *S, const ray_segment_t *row, float *const *P, int a, int m,
                   const int32_t *tab, int D)
{
    const int64_t last = 32 * (int64_t)(D - 1);
    ray_steps_walk(row, P, a, m, tab,
                   [&](auto M, int j0, int j1, const ray_track *act)
                       __attribute__((target("avx"), always_inline)) {
                           avx_back_stretch<decltype(M)::value, Interp>(S, j0, j1, act, last);
                       });
}

// A tile of kernel rows (ray_steps_tile_rows) at a time; over it, the
// projection blocks of the plan in order; inside each, kernel rows four at
// a time (one step table run for all four) against the block's projections
// four at a time. A kernel row stays in the first-level cache while the
// block's sinogram rows pass, and the tile in the core's own cache while
// the blocks pass. Each voxel still receives its projections in order.
template <bool Interp>
__attribute__((target("avx"))) void backproject_avx(mrc_image_t *sino, mrc_image_t *slice,
                                                    int32_t *tab)
{
    const int N = sino->ny, D = sino->nx / 8, R = slice->ny;
    const int steps = slice->nx / 16;  // column pairs of a kernel row
    const int tile = ray_steps_tile_rows(slice->nx, R, N, (int64_t)sino->nx * N, true);
    float *const *S = slice->data[0];
    float *const *P = sino->data[0];
    for (int t0 = 0; t0 < R; t0 += tile) {
        const int t1 = R - t0 < tile ? R : t0 + tile;
        for (int a0 = 0, pb = 0; a0 < N; pb++) {
            const int a1 = a0 + proj_block(pb, a0, N);
            for (int r0 = t0; r0 < t1; r0 += ray_steps_rows) {
                const int nr = t1 - r0 < ray_steps_rows ? t1 - r0 : ray_steps_rows;
                for (int a = a0; a < a1; a += ray_steps_rays) {
                    const int m = a1 - a < ray_steps_rays ? a1 - a : ray_steps_rays;
                    ray_steps_fill<Interp>(tab, steps, r0, nr, a, m);
                    for (int rr = 0; rr < nr; rr++)
                        avx_back_rays<Interp>(S[r0 + rr], ray_table[r0 + rr], P, a, m,
                                              ray_steps_row(tab, steps, rr), D);
                }
            }
            a0 = a1;
        }
    }
}

}  // namespace

void backproject_interp_scalar(mrc_image_t *sino, mrc_image_t *slice, int32_t *)
{
    backproject_scalar<true>(sino, slice);
}

void backproject_nearest_scalar(mrc_image_t *sino, mrc_image_t *slice, int32_t *)
{
    backproject_scalar<false>(sino, slice);
}

void backproject_interp_sse(mrc_image_t *sino, mrc_image_t *slice, int32_t *)
{
    backproject_sse<true>(sino, slice);
}

void backproject_nearest_sse(mrc_image_t *sino, mrc_image_t *slice, int32_t *)
{
    backproject_sse<false>(sino, slice);
}

void backproject_interp_avx(mrc_image_t *sino, mrc_image_t *slice, int32_t *steps)
{
    backproject_avx<true>(sino, slice, steps);
}

void backproject_nearest_avx(mrc_image_t *sino, mrc_image_t *slice, int32_t *steps)
{
    backproject_avx<false>(sino, slice, steps);
}
