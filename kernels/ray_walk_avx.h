// The AVX projection walks' step tables and the walk over a kernel row that
// the back-projection and the forward projection share (their kernels'
// files only; callers need no more than kernels/ray_steps.h).
//
// A walk's detector coordinate is a running single-precision sum, so each
// step waits for the one before it. The AVX members therefore run the sums
// of up to four rays of up to four kernel rows ahead of the walks, one
// 4-lane register per kernel row (every lane its own exact running sum,
// the same additions as a walk that carries t itself), and store for every
// step the byte offset of bin trunc(t) and the fraction t - trunc(t). The
// walks then read both with plain loads: no conversion or broadcast shuffle
// per sample, and no chain from one step to the next.
#ifndef KYVANE_KERNELS_RAY_WALK_AVX_H
#define KYVANE_KERNELS_RAY_WALK_AVX_H

#include <immintrin.h>
#include <stdint.h>

#include <initializer_list>
#include <type_traits>

#include "kernels/geometry.h"
#include "kernels/ray_steps.h"

// Layout: kernel rows are paired, and a pair's table holds for every step
// n one entry of 16 int32: the offsets (bytes, bin times 32) of the 4 rays
// of the first row, those of the second row, then the fractions (float) of
// the first row's rays and of the second's. One 8-lane register thus runs
// the sums of both rows, and each entry is written with two stores.
constexpr int ray_steps_rows = 4, ray_steps_rays = 4;
constexpr int ray_steps_entry_bytes = 64;  // from one step's entry to the next
constexpr int ray_steps_frac_bytes = 32;   // from a ray's offset to its fraction

// How far ahead of the walk the slice is prefetched, in bytes. Every
// projection block sweeps all kernel rows of the slice (the slice of an
// 8-lane group is far larger than the caches), so the slice streams from
// memory once per block; the hardware alone does not fetch it early enough.
constexpr int ray_steps_prefetch = 4096;

// Kernel rows that the AVX walks keep in the core's own cache while every
// projection block of the plan passes over them: about 256 KB of the
// slice, whole groups of ray_steps_rows, or all R rows (no tiling). Without
// tiles each block sweeps the whole slice (32 MB for 8 lanes of 1024 x 1024)
// through the caches again; with them each tile takes the whole sinogram
// instead. So the tiles are taken where the slice's sweeps would move more
// data than the sinogram's: many blocks. slice_written: the walk adds into
// the slice (back-projection), else into the sinogram.
inline int ray_steps_tile_rows(int floats_per_row, int R, int N, int64_t sino_floats,
                               bool slice_written)
{
    int rows = (256 * 1024 / 4) / (floats_per_row > 0 ? floats_per_row : 1);
    rows = rows < ray_steps_rows ? ray_steps_rows : rows - rows % ray_steps_rows;
    if (rows >= R) return R;
    int blocks = 0;
    for (int a0 = 0; a0 < N; blocks++) {
        const int na = block_lists.proj_block_sizes[blocks];
        a0 += na < 1 ? 1 : na;
    }
    const double tiles = (double)((R + rows - 1) / rows);
    const double slice = (double)floats_per_row * R;
    const double sweeps = blocks * slice * (slice_written ? 2 : 1);
    const double sinos = tiles * (double)sino_floats * (slice_written ? 1 : 2);
    return sweeps > sinos ? rows : R;
}

inline int ray_steps_count(const ray_segment_t &e)
{
    return e.last_col >= e.first_col ? (e.last_col - e.first_col) / 16 + 1 : 0;
}

// Where rays a .. a+m-1 (m <= 4) of one kernel row run: column pairs lo[k]
// .. hi[k] (hi[k] < lo[k] for a ray without steps), and the column pairs
// at which one of them starts or stops, in increasing order. Between two
// neighbouring cuts every ray covers all pairs or none.
struct ray_steps_cuts {
    int lo[4], hi[4], cut[8], count;
};

inline ray_steps_cuts ray_steps_cut(const ray_segment_t *row, int a, int m)
{
    ray_steps_cuts w;
    w.count = 0;
    for (int k = 0; k < m; k++) {
        const ray_segment_t &e = row[a + k];
        w.lo[k] = e.first_col >> 4;
        w.hi[k] = ray_steps_count(e) ? e.last_col >> 4 : w.lo[k] - 1;
        if (w.hi[k] < w.lo[k]) continue;
        for (int c : {w.lo[k], w.hi[k] + 1}) {  // insert, keeping the cuts sorted and unique
            int i = w.count;
            while (i > 0 && w.cut[i - 1] > c) i--;
            if (i > 0 && w.cut[i - 1] == c) continue;
            for (int n = w.count; n > i; n--) w.cut[n] = w.cut[n - 1];
            w.cut[i] = c;
            w.count++;
        }
    }
    return w;
}

// One ray of a walk: its sinogram row and the table entry of column pair 0
// (entry j one table entry further per pair; only the pairs the ray covers
// are ever read).
struct ray_track {
    char *P;
    const char *tab;
};

// Rays a .. a+m-1 (m <= 4) of one kernel row, with their table tab (entry
// of ray a), cut where a ray starts or ends: on each stretch j0 .. j1-1 the
// rays that cover it, in increasing projection order, go to
// stretch(std::integral_constant<int, n>, j0, j1, rays).
template <typename Stretch>
__attribute__((target("avx"), always_inline)) inline void ray_steps_walk(
    const ray_segment_t *row, float *const *P, int a, int m, const int32_t *tab, Stretch stretch)
{
    const ray_steps_cuts w = ray_steps_cut(row, a, m);
    ray_track tr[4];
    for (int k = 0; k < m; k++)
        tr[k] = {reinterpret_cast<char *>(P[a + k]),
                 reinterpret_cast<const char *>(tab + k) - ray_steps_entry_bytes * (int64_t)w.lo[k]};
    for (int c = 0; c + 1 < w.count; c++) {
        const int j0 = w.cut[c], j1 = w.cut[c + 1];
        ray_track act[4];
        int n = 0;
        for (int k = 0; k < m; k++)
            if (w.lo[k] <= j0 && w.hi[k] >= j1 - 1) act[n++] = tr[k];
        switch (n) {
        case 1: stretch(std::integral_constant<int, 1>(), j0, j1, act); break;
        case 2: stretch(std::integral_constant<int, 2>(), j0, j1, act); break;
        case 3: stretch(std::integral_constant<int, 3>(), j0, j1, act); break;
        case 4: stretch(std::integral_constant<int, 4>(), j0, j1, act); break;
        default: break;
        }
    }
}

// Offset of ray 0 at step 0 in the table of kernel row rr of the group.
inline const int32_t *ray_steps_row(const int32_t *tab, int steps, int rr)
{
    return tab + (size_t)(rr >> 1) * 16 * (steps + 1) + 4 * (rr & 1);
}

template <bool Frac>
__attribute__((target("avx"), always_inline)) inline void ray_steps_one(__m256 &T, __m256 Dv,
                                                                       int32_t *q)
{
    // The coordinates are non-negative and far below 2^24: the truncated
    // value times 32 is exact, and its conversion is the bin's byte offset.
    const __m256 I = _mm256_round_ps(T, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(q),
                        _mm256_cvttps_epi32(_mm256_mul_ps(I, _mm256_set1_ps(32.0f))));
    if (Frac) _mm256_storeu_ps(reinterpret_cast<float *>(q + 8), _mm256_sub_ps(T, I));
    T = _mm256_add_ps(T, Dv);
}

// Fills the tables of kernel rows r0 .. r0+nr-1 (nr <= 4) for projections
// a .. a+m-1 (m <= 4), at most `steps` steps each: lane k of a row's table
// is ray a+k, from its own first step. Lanes without a ray and steps past a
// ray's end hold values nobody reads. Frac false leaves the fractions out
// (nearest sampling needs the offsets only).
template <bool Frac>
__attribute__((target("avx"))) inline void ray_steps_fill(int32_t *tab, int steps, int r0, int nr,
                                                          int a, int m)
{
    alignas(32) float t[ray_steps_rows][4] = {};
    alignas(32) float d[8] = {};
    int n = 0;
    for (int k = 0; k < m; k++) d[k] = d[k + 4] = cos_table[a + k];
    for (int rr = 0; rr < nr; rr++)
        for (int k = 0; k < m; k++) {
            const ray_segment_t &e = ray_table[r0 + rr][a + k];
            t[rr][k] = e.t_first;
            const int c = ray_steps_count(e);
            n = c > n ? c : n;
        }
    if (n > steps) n = steps;
    const __m256 Dv = _mm256_load_ps(d);
    __m256 T01 = _mm256_load_ps(t[0]), T23 = _mm256_load_ps(t[2]);
    int32_t *p = tab, *q = tab + 16 * (steps + 1);
    for (; n > 0; n--, p += 16, q += 16) {
        ray_steps_one<Frac>(T01, Dv, p);
        ray_steps_one<Frac>(T23, Dv, q);
    }
}

#endif
