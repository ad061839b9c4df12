// Minimum, maximum, mean and spread of a run of floats, and their merge into
// a created file's header.
//
// The spread is kept as count, mean and M2 (the sum of squared deviations
// from the mean). Each block of floats is summed as offsets from one of its
// own values, so the sums stay small whatever the mean, and blocks, runs
// and flushes are merged with the pairwise (Chan) formula. A plain sum of
// squares would lose the rms entirely on data of large mean and small
// spread. NaN and infinite voxels are counted and left out of mean and M2;
// the extremes ignore NaN only.
#include <emmintrin.h>
#include <math.h>

#include "mrc/mrc_internal.h"

// Floats per block: short enough that offsets from the block's pivot keep
// the sums far from cancellation, long enough that the per-block merge
// costs nothing.
static const int64_t MRC_STATS_BLOCK = 4096;

// Adds a part (count nb, mean mb, M2 m2b) to a running total.
static void mrc_stats_join(int64_t *n, double *mean, double *m2, int64_t nb, double mb,
                           double m2b)
{
    if (nb == 0) return;
    if (*n == 0) {
        *n = nb;
        *mean = mb;
        *m2 = m2b;
        return;
    }
    const double na = (double)*n, nbd = (double)nb;
    const double total = na + nbd;
    const double delta = mb - *mean;
    *mean += delta * (nbd / total);
    *m2 += m2b + delta * delta * (na * nbd / total);
    *n += nb;
}

// One block of n floats (n >= 1). SSE2 is part of every x86-64, so this
// needs no run-time choice.
static void mrc_stats_block(const float *v, int64_t n, __m128 *vmin, __m128 *vmax,
                            int64_t *count, double *mean, double *m2, int64_t *bad_total)
{
    // The first finite value is the pivot; a block without one adds only
    // to the extremes and the non-finite count.
    float pivot = 0.0f;
    for (int64_t i = 0; i < n; ++i)
        if (isfinite(v[i])) {
            pivot = v[i];
            break;
        }
    const __m128 pv = _mm_set1_ps(pivot);
    const __m128d pd = _mm_set1_pd((double)pivot);
    __m128d s0 = _mm_setzero_pd(), s1 = _mm_setzero_pd();
    __m128d q0 = _mm_setzero_pd(), q1 = _mm_setzero_pd();
    __m128i bad = _mm_setzero_si128();
    __m128 mn = *vmin, mx = *vmax;
    int64_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m128 x = _mm_loadu_ps(v + i);
        // With a NaN operand these return the second one: the extremes so far.
        mn = _mm_min_ps(x, mn);
        mx = _mm_max_ps(x, mx);
        // x - x is 0 for finite x and NaN for NaN and infinities.
        const __m128 d = _mm_sub_ps(x, x);
        const __m128 nonfinite = _mm_cmpunord_ps(d, d);
        bad = _mm_sub_epi32(bad, _mm_castps_si128(nonfinite));
        // Non-finite lanes take the pivot's place and so add exactly zero.
        const __m128 xs = _mm_or_ps(_mm_andnot_ps(nonfinite, x), _mm_and_ps(nonfinite, pv));
        const __m128d lo = _mm_sub_pd(_mm_cvtps_pd(xs), pd);
        const __m128d hi = _mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(xs, xs)), pd);
        s0 = _mm_add_pd(s0, lo);
        s1 = _mm_add_pd(s1, hi);
        q0 = _mm_add_pd(q0, _mm_mul_pd(lo, lo));
        q1 = _mm_add_pd(q1, _mm_mul_pd(hi, hi));
    }
    *vmin = mn;
    *vmax = mx;
    int32_t bads[4];
    double sums[2], sqs[2];
    _mm_storeu_si128((__m128i *)bads, bad);
    _mm_storeu_pd(sums, _mm_add_pd(s0, s1));
    _mm_storeu_pd(sqs, _mm_add_pd(q0, q1));
    int64_t nonfinite = (int64_t)bads[0] + bads[1] + bads[2] + bads[3];
    double s = sums[0] + sums[1], q = sqs[0] + sqs[1];
    float tail_min = INFINITY, tail_max = -INFINITY;
    for (; i < n; ++i) {
        const float x = v[i];
        if (x < tail_min) tail_min = x;
        if (x > tail_max) tail_max = x;
        if (!isfinite(x)) {
            ++nonfinite;
            continue;
        }
        const double dx = (double)x - (double)pivot;
        s += dx;
        q += dx * dx;
    }
    *vmin = _mm_min_ps(_mm_set1_ps(tail_min), *vmin);
    *vmax = _mm_max_ps(_mm_set1_ps(tail_max), *vmax);
    *bad_total += nonfinite;
    const int64_t nb = n - nonfinite;
    if (nb == 0) return;
    const double block_m2 = q - s * s / (double)nb;
    mrc_stats_join(count, mean, m2, nb, (double)pivot + s / (double)nb,
                   block_m2 > 0.0 ? block_m2 : 0.0);
}

void mrc_compute_stats(const float *v, int64_t n, mrc_stats_t *out)
{
    __m128 vmin = _mm_set1_ps(INFINITY);
    __m128 vmax = _mm_set1_ps(-INFINITY);
    int64_t count = 0, nonfinite = 0;
    double mean = 0.0, m2 = 0.0;
    for (int64_t i = 0; i < n; i += MRC_STATS_BLOCK) {
        const int64_t len = n - i < MRC_STATS_BLOCK ? n - i : MRC_STATS_BLOCK;
        mrc_stats_block(v + i, len, &vmin, &vmax, &count, &mean, &m2, &nonfinite);
    }
    float mins[4], maxs[4];
    _mm_storeu_ps(mins, vmin);
    _mm_storeu_ps(maxs, vmax);
    float mn = mins[0], mx = maxs[0];
    for (int l = 1; l < 4; ++l) {
        if (mins[l] < mn) mn = mins[l];
        if (maxs[l] > mx) mx = maxs[l];
    }
    out->min = mn;
    out->max = mx;
    out->count = count;
    out->mean = mean;
    out->m2 = m2;
    out->nonfinite = nonfinite;
}

void mrc_merge_stats(mrc_image_t *rec, const mrc_stats_t *st)
{
    mrc_header_block_t *block = (mrc_header_block_t *)rec->header;
    mrc_header_t *h = rec->header;
    pthread_mutex_lock(rec->stats_lock);
    if (st->min < h->amin) h->amin = st->min;
    if (st->max > h->amax) h->amax = st->max;
    h->amean += (float)((double)st->count * st->mean);
    mrc_stats_join(&block->count, &block->mean, &block->m2, st->count, st->mean, st->m2);
    block->nonfinite += st->nonfinite;
    pthread_mutex_unlock(rec->stats_lock);
}

int64_t mrc_nonfinite_count(mrc_image_t *rec)
{
    if (!rec->header || rec->writable != 1) return 0;
    const mrc_header_block_t *block = (const mrc_header_block_t *)rec->header;
    pthread_mutex_lock(rec->stats_lock);
    const int64_t n = block->nonfinite;
    pthread_mutex_unlock(rec->stats_lock);
    return n;
}
