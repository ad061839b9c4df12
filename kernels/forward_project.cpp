// Forward projection family: scalar (1 lane), SSE (4 lanes) and AVX (8 lanes),
// each with linear interpolation or nearest-bin sampling.
//
// Every variant walks the geometry entries exactly as the back-projector does
// (same coordinates, mirror samples and weights) but gathers slice values into
// bins, so that the projector is the transpose of the back-projector. The
// gains into one bin are sequential read-modify-writes: when two of the four
// bins of a step coincide (odd D at the centre), the later sees the earlier.
#include "kernels/forward_project.h"

#include <immintrin.h>

#include <algorithm>

#include "kernels/geometry.h"
#include "kernels/ray_walk_avx.h"
#include "kernels/sirt_tables.h"

forward_project_fn_t forward_project_fn = nullptr;

namespace {

// Traces one (kernel row, projection) entry into one sinogram row.
typedef void (*trace_fn_t)(float *P, const float *S, const ray_segment_t *e, float dt, int D);

// Plain and SSE tiling: row blocks, then projection blocks inside each.
void walk_row_and_projection_blocks(mrc_image_t *sino, mrc_image_t *slice, int D, trace_fn_t trace)
{
    const int R = slice->ny, N = sino->ny;
    float **P = sino->data[0];
    float **S = slice->data[0];
    // Without a row list (a plan made for the AVX kernels) all rows form one block.
    const int32_t *rows = block_lists.row_block_sizes;
    int rb = 0;
    for (int r0 = 0; r0 < R; ++rb) {
        const int r1 = std::min(R, r0 + (rows ? std::max(1, (int)rows[rb]) : R));
        int pb = 0;
        for (int a0 = 0; a0 < N; ++pb) {
            const int a1 = std::min(N, a0 + std::max(1, (int)block_lists.proj_block_sizes[pb]));
            for (int r = r0; r < r1; ++r) {
                const ray_segment_t *row = ray_table[r];
                for (int a = a0; a < a1; ++a) trace(P[a], S[r], &row[a], cos_table[a], D);
            }
            a0 = a1;
        }
        r0 = r1;
    }
}

// ---- scalar -----------------------------------------------------------------

void trace_interp_scalar(float *P, const float *S, const ray_segment_t *e, float dt, int D)
{
    float t = e->t_first;
    int i = (int)t;
    for (int x = e->first_col; x <= e->last_col; x += 2) {
        const float f = t - (float)i;
        const float g = 1.0f - (t - (float)i);
        const float v = S[x], m = S[x + 1];
        P[i] += v * g;
        P[i + 1] += v * f;
        P[D - 1 - i] += m * g;
        P[D - 2 - i] += m * f;
        t += dt;
        i = (int)t;
    }
}

// Two column pairs per turn; the additions keep the order of the plain loop.
void trace_nearest_scalar(float *P, const float *S, const ray_segment_t *e, float dt, int D)
{
    float t = e->t_first;
    int i = (int)t;
    int x = e->first_col;
    const int last = e->last_col;
    for (; x + 2 <= last; x += 4) {
        const int i0 = i;
        t += dt;
        const int i1 = (int)t;
        t += dt;
        i = (int)t;
        P[i0] += S[x];
        P[D - 1 - i0] += S[x + 1];
        P[i1] += S[x + 2];
        P[D - 1 - i1] += S[x + 3];
    }
    if (x <= last) {
        P[i] += S[x];
        P[D - 1 - i] += S[x + 1];
    }
}

void weight_scalar(mrc_image_t *sino, int D)
{
    for (int a = 0; a < sino->ny; ++a) {
        float *p = sino->data[0][a];
        const float *w = ray_weights[a];
        for (int j = 0; j < D; ++j) p[j] *= w[j];
    }
}

// ---- SSE --------------------------------------------------------------------

// The coordinate runs as a broadcast vector (every lane the same running
// single-precision sum): one truncation gives the bin for the addresses and,
// converted back, the weights, without a broadcast per step. SSE2 only, so
// the member runs on every x86-64.
__attribute__((target("sse2")))
void trace_interp_sse(float *P, const float *S, const ray_segment_t *e, float dt, int D)
{
    __m128 tv = _mm_set1_ps(e->t_first);
    const __m128 dv = _mm_set1_ps(dt), one = _mm_set1_ps(1.0f);
    for (int x = e->first_col; x <= e->last_col; x += 8) {
        const __m128i iv = _mm_cvttps_epi32(tv);
        const int i = _mm_cvtsi128_si32(iv);
        const __m128 fi = _mm_cvtepi32_ps(iv);
        const __m128 f = _mm_sub_ps(tv, fi);
        const __m128 g = _mm_add_ps(_mm_sub_ps(one, tv), fi);
        const __m128 v = _mm_load_ps(S + x);
        const __m128 m = _mm_load_ps(S + x + 4);
        float *b0 = P + 4 * i;
        float *b1 = b0 + 4;
        float *c0 = P + 4 * (D - 1 - i);
        float *c1 = c0 - 4;
        _mm_store_ps(b0, _mm_add_ps(_mm_load_ps(b0), _mm_mul_ps(v, g)));
        _mm_store_ps(b1, _mm_add_ps(_mm_load_ps(b1), _mm_mul_ps(v, f)));
        _mm_store_ps(c0, _mm_add_ps(_mm_load_ps(c0), _mm_mul_ps(m, g)));
        _mm_store_ps(c1, _mm_add_ps(_mm_load_ps(c1), _mm_mul_ps(m, f)));
        tv = _mm_add_ps(tv, dv);
    }
}

__attribute__((target("sse2")))
void trace_nearest_sse(float *P, const float *S, const ray_segment_t *e, float dt, int D)
{
    float t = e->t_first;
    int i = (int)t;
    for (int x = e->first_col; x <= e->last_col; x += 8) {
        float *b = P + 4 * i;
        float *c = P + 4 * (D - 1 - i);
        _mm_store_ps(b, _mm_add_ps(_mm_load_ps(b), _mm_load_ps(S + x)));
        _mm_store_ps(c, _mm_add_ps(_mm_load_ps(c), _mm_load_ps(S + x + 4)));
        t += dt;
        i = (int)t;
    }
}

__attribute__((target("sse2")))
void weight_sse(mrc_image_t *sino, int D)
{
    for (int a = 0; a < sino->ny; ++a) {
        float *p = sino->data[0][a];
        const float *w = ray_weights[a];
        for (int j = 0; j < D; ++j)
            _mm_store_ps(p + 4 * j, _mm_mul_ps(_mm_load_ps(p + 4 * j), _mm_set1_ps(w[j])));
    }
}

// ---- AVX --------------------------------------------------------------------

// The AVX members walk up to four projections of one kernel row per column
// pair: the rays gather into different sinogram rows, so their
// read-modify-writes are independent and overlap, and the slice vectors of
// a column pair are loaded once for all of them. Bins and fractions come
// from the step tables (ray_steps.h). Each ray's own gains keep their order
// (bin i, i+1, D-1-i, D-2-i per step, steps in walk order), so every bin
// sums exactly as in a walk of one ray at a time.

#define AVX_INLINE __attribute__((target("avx"), always_inline)) inline

AVX_INLINE void avx_fwd_add(float *p, __m256 x)
{
    _mm256_storeu_ps(p, _mm256_add_ps(_mm256_loadu_ps(p), x));
}

// One linear step of a ray at bin offset o: bins i, i+1, then the mirrors.
AVX_INLINE void avx_fwd_step(char *P, int64_t o, int64_t last, __m256 v, __m256 m, __m256 f, __m256 g)
{
    float *b0 = reinterpret_cast<float *>(P + o);
    float *c0 = reinterpret_cast<float *>(P + (last - o));
    avx_fwd_add(b0, _mm256_mul_ps(v, g));
    avx_fwd_add(b0 + 8, _mm256_mul_ps(v, f));
    avx_fwd_add(c0, _mm256_mul_ps(m, g));
    avx_fwd_add(c0 - 8, _mm256_mul_ps(m, f));
}

// Column pairs j0 .. j1-1, which rays tr[0 .. M-1] all cover.
template <int M, bool Interp>
AVX_INLINE void avx_fwd_stretch(const float *S, int j0, int j1, const ray_track *tr, int64_t last)
{
    char *P[M];
    const char *B[M];
#pragma GCC unroll 4
    for (int k = 0; k < M; k++) P[k] = tr[k].P, B[k] = tr[k].tab;
    const __m256 one = _mm256_set1_ps(1.0f);
    const float *s = S + 16 * j0;
    const int64_t row = ray_steps_entry_bytes;
    for (int64_t j = row * j0; j < row * j1; j += row, s += 16) {
        _mm_prefetch(reinterpret_cast<const char *>(s) + ray_steps_prefetch, _MM_HINT_T0);
        const __m256 v = _mm256_loadu_ps(s), m = _mm256_loadu_ps(s + 8);
#pragma GCC unroll 4
        for (int k = 0; k < M; k++) {
            const int64_t o = *reinterpret_cast<const int32_t *>(B[k] + j);
            if (Interp) {
                const __m256 f = _mm256_broadcast_ss(
                    reinterpret_cast<const float *>(B[k] + j + ray_steps_frac_bytes));
                avx_fwd_step(P[k], o, last, v, m, f, _mm256_sub_ps(one, f));
            } else {
                avx_fwd_add(reinterpret_cast<float *>(P[k] + o), v);
                avx_fwd_add(reinterpret_cast<float *>(P[k] + (last - o)), m);
            }
        }
    }
}

// b where the mask is set, else a. Written out: the compiler would turn
// the intrinsic into a select and rebuild it lane by lane.
AVX_INLINE __m256 avx_blend(__m256 a, __m256 b, __m256 mask)
{
    __m256 r;
    __asm__("vblendvps %3, %2, %1, %0" : "=x"(r) : "x"(a), "x"(b), "x"(mask));
    return r;
}

// Masks of a step's move, indexed by its byte offset: none (0) or one bin (32).
alignas(32) const uint32_t avx_fwd_moves[16] = {0, 0, 0, 0, 0, 0, 0, 0, ~0u, ~0u, ~0u, ~0u,
                                                ~0u, ~0u, ~0u, ~0u};

// Linear walks two steps at a time. Steps n and n+1 of a ray with
// 0 < dt <= 1 reach bins i .. i+2 (and their mirrors): i+1 is n+1's first
// bin if it moved, else i. Each of the three bins is read and written once
// for both steps, where the plain walk takes four, and gets its gains in
// walk order: bin i g_n then (unless moved) g_n+1; bin i+1 f_n then g_n+1
// or f_n+1; bin i+2 f_n+1 if moved. A gain not taken is an exact +0 (a
// sinogram bin is never -0), which leaves the sum as it was. Both steps'
// bins must lie apart from their mirrors (avx_fwd_pairs_end), since the
// mirrors' gains of step n now follow the bins' gains of step n+1.
template <int M>
AVX_INLINE void avx_fwd_pairs(const float *S, int j0, int j1, const ray_track *tr, int64_t last)
{
    char *P[M];
    const char *B[M];
#pragma GCC unroll 4
    for (int k = 0; k < M; k++) P[k] = tr[k].P, B[k] = tr[k].tab;
    const __m256 one = _mm256_set1_ps(1.0f);
    const char *moves = reinterpret_cast<const char *>(avx_fwd_moves);
    __asm__("" : "+r"(moves));  // the masks' values stay unknown to the compiler
    const float *s = S + 16 * j0;
    const int64_t row = ray_steps_entry_bytes;
    for (int64_t j = row * j0; j < row * j1; j += 2 * row, s += 32) {
        _mm_prefetch(reinterpret_cast<const char *>(s) + ray_steps_prefetch, _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char *>(s) + ray_steps_prefetch + 64, _MM_HINT_T0);
        const __m256 v0 = _mm256_loadu_ps(s), m0 = _mm256_loadu_ps(s + 8);
        const __m256 v1 = _mm256_loadu_ps(s + 16), m1 = _mm256_loadu_ps(s + 24);
#pragma GCC unroll 4
        for (int k = 0; k < M; k++) {
            const int64_t o0 = *reinterpret_cast<const int32_t *>(B[k] + j);
            const int64_t o1 = *reinterpret_cast<const int32_t *>(B[k] + j + row);
            const int64_t d = o1 - o0;
            const __m256 f0 =
                _mm256_broadcast_ss(reinterpret_cast<const float *>(B[k] + j + ray_steps_frac_bytes));
            const __m256 f1 = _mm256_broadcast_ss(
                reinterpret_cast<const float *>(B[k] + j + row + ray_steps_frac_bytes));
            const __m256 g0 = _mm256_sub_ps(one, f0), g1 = _mm256_sub_ps(one, f1);
            if (__builtin_expect((d & ~(int64_t)32) != 0, 0)) {
                // A move of more than one bin: the two steps one by one.
                avx_fwd_step(P[k], o0, last, v0, m0, f0, g0);
                avx_fwd_step(P[k], o1, last, v1, m1, f1, g1);
                continue;
            }
            float *b0 = reinterpret_cast<float *>(P[k] + o0);
            float *c0 = reinterpret_cast<float *>(P[k] + (last - o0));
            const __m256 mv = _mm256_load_ps(reinterpret_cast<const float *>(moves + d));
            const __m256 vg1 = _mm256_mul_ps(v1, g1), vf1 = _mm256_mul_ps(v1, f1);
            _mm256_storeu_ps(b0, _mm256_add_ps(_mm256_add_ps(_mm256_loadu_ps(b0), _mm256_mul_ps(v0, g0)),
                                               _mm256_andnot_ps(mv, vg1)));
            _mm256_storeu_ps(b0 + 8,
                             _mm256_add_ps(_mm256_add_ps(_mm256_loadu_ps(b0 + 8), _mm256_mul_ps(v0, f0)),
                                           avx_blend(vf1, vg1, mv)));
            _mm256_storeu_ps(b0 + 16, _mm256_add_ps(_mm256_loadu_ps(b0 + 16), _mm256_and_ps(mv, vf1)));
            const __m256 mg1 = _mm256_mul_ps(m1, g1), mf1 = _mm256_mul_ps(m1, f1);
            _mm256_storeu_ps(c0, _mm256_add_ps(_mm256_add_ps(_mm256_loadu_ps(c0), _mm256_mul_ps(m0, g0)),
                                               _mm256_andnot_ps(mv, mg1)));
            _mm256_storeu_ps(c0 - 8,
                             _mm256_add_ps(_mm256_add_ps(_mm256_loadu_ps(c0 - 8), _mm256_mul_ps(m0, f0)),
                                           avx_blend(mf1, mg1, mv)));
            _mm256_storeu_ps(c0 - 16, _mm256_add_ps(_mm256_loadu_ps(c0 - 16), _mm256_and_ps(mv, mf1)));
        }
    }
}

// The end of the pairs from j0 (below j1) whose first steps may start a
// pair: the offsets rise (dt > 0), the pair's three bins lie inside the
// row, and they stay apart from their mirrors (wholly below them, or
// wholly above). The offsets are monotonic, so the end is found by
// bisection.
inline int avx_fwd_pairs_end(const ray_track &tr, int j0, int j1, int64_t last)
{
    auto off = [&](int j) {
        return (int64_t) * reinterpret_cast<const int32_t *>(tr.tab + ray_steps_entry_bytes * (int64_t)j);
    };
    const int64_t o0 = off(j0);
    if (off(j1 - 1) < o0) return j0;
    const bool above = 2 * o0 > last;  // the bins above their mirrors from the start
    auto fits = [&](int j) {
        const int64_t o = off(j);
        return above ? o + 64 <= last : 2 * o + 128 < last;
    };
    if (fits(j1 - 1)) return j1;
    if (!fits(j0)) return j0;
    int a = j0 + 1, b = j1 - 1;  // fits(a - 1) holds, fits(b) does not
    while (a < b) {
        const int c = a + (b - a) / 2;
        if (fits(c)) a = c + 1; else b = c;
    }
    return a;
}

// A linear stretch: its pairs of steps while they may be paired (for all
// rays of the stretch), then the rest step by step.
template <int M>
AVX_INLINE void avx_fwd_linear(const float *S, int j0, int j1, const ray_track *tr, int64_t last)
{
    int jp = j1;
#pragma GCC unroll 4
    for (int k = 0; k < M; k++) jp = std::min(jp, avx_fwd_pairs_end(tr[k], j0, j1, last));
    // Pairs start at j0, j0 + 2, ... below jp, each with its second step in the stretch.
    const int pairs = std::min((jp - j0 + 1) / 2, (j1 - j0) / 2);
    const int je = j0 + 2 * pairs;
    if (pairs > 0) avx_fwd_pairs<M>(S, j0, je, tr, last);
    if (je < j1) avx_fwd_stretch<M, true>(S, je, j1, tr, last);
}

// Projections a .. a+m-1 (m <= 4) of one kernel row, cut where a ray
// starts or ends.
template <bool Interp>
AVX_INLINE void avx_fwd_rays(const float *S, const ray_segment_t *row, float *const *P, int a, int m,
                   const int32_t *tab, int D)
{
    const int64_t last = 32 * (int64_t)(D - 1);
    ray_steps_walk(row, P, a, m, tab,
                   [&](auto M, int j0, int j1, const ray_track *act)
                       __attribute__((target("avx"), always_inline)) {
                           if (Interp)
                               avx_fwd_linear<decltype(M)::value>(S, j0, j1, act, last);
                           else
                               avx_fwd_stretch<decltype(M)::value, false>(S, j0, j1, act, last);
                       });
}

// A tile of consecutive kernel rows (ray_steps_tile_rows) at a time; over
// it, the projection blocks of the plan in order; inside each, kernel rows
// four at a time (one step table run for all four) against the block's
// projections four at a time. The tile stays in the core's own cache while
// the blocks pass. For a fixed bin the kernel rows still come in
// increasing order, tile after tile.
template <bool Interp>
__attribute__((target("avx"))) void trace_avx(mrc_image_t *sino, mrc_image_t *slice, int32_t *tab)
{
    const int N = sino->ny, D = sino->nx / 8, R = slice->ny;
    const int steps = slice->nx / 16;  // column pairs of a kernel row
    const int tile = ray_steps_tile_rows(slice->nx, R, N, (int64_t)sino->nx * N, false);
    float *const *P = sino->data[0];
    float *const *S = slice->data[0];
    for (int t0 = 0; t0 < R; t0 += tile) {
        const int t1 = std::min(R, t0 + tile);
        int pb = 0;
        for (int a0 = 0; a0 < N; ++pb) {
            const int a1 = std::min(N, a0 + std::max(1, (int)block_lists.proj_block_sizes[pb]));
            for (int r0 = t0; r0 < t1; r0 += ray_steps_rows) {
                const int nr = std::min(ray_steps_rows, t1 - r0);
                for (int a = a0; a < a1; a += ray_steps_rays) {
                    const int m = std::min(ray_steps_rays, a1 - a);
                    ray_steps_fill<Interp>(tab, steps, r0, nr, a, m);
                    for (int rr = 0; rr < nr; rr++)
                        avx_fwd_rays<Interp>(S[r0 + rr], ray_table[r0 + rr], P, a, m,
                                             ray_steps_row(tab, steps, rr), D);
                }
            }
            a0 = a1;
        }
    }
}

__attribute__((target("avx")))
void weight_avx(mrc_image_t *sino, int D)
{
    for (int a = 0; a < sino->ny; ++a) {
        float *p = sino->data[0][a];
        const float *w = ray_weights[a];
        for (int j = 0; j < D; ++j)
            _mm256_storeu_ps(p + 8 * j, _mm256_mul_ps(_mm256_loadu_ps(p + 8 * j), _mm256_set1_ps(w[j])));
    }
}

}  // namespace

void forward_project_interp_scalar(mrc_image_t *sino, mrc_image_t *slice, int32_t *)
{
    const int D = sino->nx;
    mrc_zero_data(sino);
    walk_row_and_projection_blocks(sino, slice, D, trace_interp_scalar);
    weight_scalar(sino, D);
}

void forward_project_nearest_scalar(mrc_image_t *sino, mrc_image_t *slice, int32_t *)
{
    const int D = sino->nx;
    mrc_zero_data(sino);
    walk_row_and_projection_blocks(sino, slice, D, trace_nearest_scalar);
    weight_scalar(sino, D);
}

void forward_project_interp_sse(mrc_image_t *sino, mrc_image_t *slice, int32_t *)
{
    const int D = sino->nx / 4;
    mrc_zero_data(sino);
    walk_row_and_projection_blocks(sino, slice, D, trace_interp_sse);
    weight_sse(sino, D);
}

void forward_project_nearest_sse(mrc_image_t *sino, mrc_image_t *slice, int32_t *)
{
    const int D = sino->nx / 4;
    mrc_zero_data(sino);
    walk_row_and_projection_blocks(sino, slice, D, trace_nearest_sse);
    weight_sse(sino, D);
}

void forward_project_interp_avx(mrc_image_t *sino, mrc_image_t *slice, int32_t *steps)
{
    const int D = sino->nx / 8;
    mrc_zero_data(sino);
    trace_avx<true>(sino, slice, steps);
    weight_avx(sino, D);
}

void forward_project_nearest_avx(mrc_image_t *sino, mrc_image_t *slice, int32_t *steps)
{
    const int D = sino->nx / 8;
    mrc_zero_data(sino);
    trace_avx<false>(sino, slice, steps);
    weight_avx(sino, D);
}
