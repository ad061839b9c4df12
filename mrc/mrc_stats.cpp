// Minimum, maximum and sums of a run of floats, and their merge into a
// created file's header.
#include <emmintrin.h>

#include "mrc/mrc_internal.h"

// SSE2 is part of every x86-64, so this needs no run-time choice.
void mrc_compute_stats(const float *v, int64_t n, mrc_stats_t *out)
{
    __m128 vmin = _mm_set1_ps(v[0]);
    __m128 vmax = vmin;
    __m128d s0 = _mm_setzero_pd(), s1 = _mm_setzero_pd();
    __m128d q0 = _mm_setzero_pd(), q1 = _mm_setzero_pd();
    int64_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m128 x = _mm_loadu_ps(v + i);
        vmin = _mm_min_ps(vmin, x);
        vmax = _mm_max_ps(vmax, x);
        const __m128d lo = _mm_cvtps_pd(x);
        const __m128d hi = _mm_cvtps_pd(_mm_movehl_ps(x, x));
        s0 = _mm_add_pd(s0, lo);
        s1 = _mm_add_pd(s1, hi);
        q0 = _mm_add_pd(q0, _mm_mul_pd(lo, lo));
        q1 = _mm_add_pd(q1, _mm_mul_pd(hi, hi));
    }
    float mins[4], maxs[4];
    double sums[2], sqs[2];
    _mm_storeu_ps(mins, vmin);
    _mm_storeu_ps(maxs, vmax);
    _mm_storeu_pd(sums, _mm_add_pd(s0, s1));
    _mm_storeu_pd(sqs, _mm_add_pd(q0, q1));
    float mn = mins[0], mx = maxs[0];
    for (int l = 1; l < 4; ++l) {
        if (mins[l] < mn) mn = mins[l];
        if (maxs[l] > mx) mx = maxs[l];
    }
    double sum = sums[0] + sums[1], sq = sqs[0] + sqs[1];
    for (; i < n; ++i) {
        const float x = v[i];
        if (x < mn) mn = x;
        if (x > mx) mx = x;
        sum += x;
        sq += (double)x * x;
    }
    out->min = mn;
    out->max = mx;
    out->sum = sum;
    out->sum_sq = sq;
}

void mrc_merge_stats(mrc_image_t *rec, const mrc_stats_t *st)
{
    mrc_header_block_t *block = (mrc_header_block_t *)rec->header;
    mrc_header_t *h = rec->header;
    pthread_mutex_lock(rec->stats_lock);
    if (st->min < h->amin) h->amin = st->min;
    if (st->max > h->amax) h->amax = st->max;
    h->amean += (float)st->sum;
    block->sum += st->sum;
    block->sum_sq += st->sum_sq;
    pthread_mutex_unlock(rec->stats_lock);
}
