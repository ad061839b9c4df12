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
#include <immintrin.h>
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

// Raw sums of one block: extremes of its non-NaN values, the count of its
// non-finite values, and the sums of the offsets of its finite values from
// the pivot and of their squares.
struct mrc_block_sums_t {
    float min, max;
    int64_t nonfinite;
    double s, q;
};

// Values from index i to n, one at a time.
static void mrc_block_tail(const float *v, int64_t i, int64_t n, float pivot,
                           mrc_block_sums_t *b)
{
    for (; i < n; ++i) {
        const float x = v[i];
        if (x < b->min) b->min = x;
        if (x > b->max) b->max = x;
        if (!isfinite(x)) {
            ++b->nonfinite;
            continue;
        }
        const double dx = (double)x - (double)pivot;
        b->s += dx;
        b->q += dx * dx;
    }
}

static float mrc_hmin4(const float *m)
{
    float r = m[0];
    for (int l = 1; l < 4; ++l)
        if (m[l] < r) r = m[l];
    return r;
}

static float mrc_hmax4(const float *m)
{
    float r = m[0];
    for (int l = 1; l < 4; ++l)
        if (m[l] > r) r = m[l];
    return r;
}

// One value at a time, for runs without a vector extension. The sums live
// in locals: through b they could alias the floats and be stored each step.
void mrc_stats_block_scalar(const float *v, int64_t n, float pivot, mrc_block_sums_t *b)
{
    float mn = INFINITY, mx = -INFINITY;
    int64_t nonfinite = 0;
    double s = 0.0, q = 0.0;
    for (int64_t i = 0; i < n; ++i) {
        const float x = v[i];
        if (x < mn) mn = x;
        if (x > mx) mx = x;
        if (!isfinite(x)) {
            ++nonfinite;
            continue;
        }
        const double dx = (double)x - (double)pivot;
        s += dx;
        q += dx * dx;
    }
    b->min = mn;
    b->max = mx;
    b->nonfinite = nonfinite;
    b->s = s;
    b->q = q;
}

// SSE2 is part of every x86-64: the variant that always works.
void mrc_stats_block_sse2(const float *v, int64_t n, float pivot, mrc_block_sums_t *b)
{
    const __m128 pv = _mm_set1_ps(pivot);
    const __m128d pd = _mm_set1_pd((double)pivot);
    __m128d s0 = _mm_setzero_pd(), s1 = _mm_setzero_pd();
    __m128d q0 = _mm_setzero_pd(), q1 = _mm_setzero_pd();
    __m128i bad = _mm_setzero_si128();
    __m128 mn = _mm_set1_ps(INFINITY), mx = _mm_set1_ps(-INFINITY);
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
    float mins[4], maxs[4];
    int32_t bads[4];
    double sums[2], sqs[2];
    _mm_storeu_ps(mins, mn);
    _mm_storeu_ps(maxs, mx);
    _mm_storeu_si128((__m128i *)bads, bad);
    _mm_storeu_pd(sums, _mm_add_pd(s0, s1));
    _mm_storeu_pd(sqs, _mm_add_pd(q0, q1));
    b->min = mrc_hmin4(mins);
    b->max = mrc_hmax4(maxs);
    b->nonfinite = (int64_t)bads[0] + bads[1] + bads[2] + bads[3];
    b->s = sums[0] + sums[1];
    b->q = sqs[0] + sqs[1];
    mrc_block_tail(v, i, n, pivot, b);
}

// The same with eight floats a step: the pass runs on every flush.
__attribute__((target("avx")))
void mrc_stats_block_avx(const float *v, int64_t n, float pivot, mrc_block_sums_t *b)
{
    const __m256 pv = _mm256_set1_ps(pivot);
    const __m256d pd = _mm256_set1_pd((double)pivot);
    const __m256 one = _mm256_set1_ps(1.0f);
    __m256d s0 = _mm256_setzero_pd(), s1 = _mm256_setzero_pd();
    __m256d q0 = _mm256_setzero_pd(), q1 = _mm256_setzero_pd();
    __m256 bad = _mm256_setzero_ps();  // exact: a block is far below 2^24
    __m256 mn = _mm256_set1_ps(INFINITY), mx = _mm256_set1_ps(-INFINITY);
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 x = _mm256_loadu_ps(v + i);
        mn = _mm256_min_ps(x, mn);
        mx = _mm256_max_ps(x, mx);
        const __m256 d = _mm256_sub_ps(x, x);
        const __m256 nonfinite = _mm256_cmp_ps(d, d, _CMP_UNORD_Q);
        bad = _mm256_add_ps(bad, _mm256_and_ps(nonfinite, one));
        const __m256 xs = _mm256_blendv_ps(x, pv, nonfinite);
        const __m256d lo = _mm256_sub_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(xs)), pd);
        const __m256d hi = _mm256_sub_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(xs, 1)), pd);
        s0 = _mm256_add_pd(s0, lo);
        s1 = _mm256_add_pd(s1, hi);
        q0 = _mm256_add_pd(q0, _mm256_mul_pd(lo, lo));
        q1 = _mm256_add_pd(q1, _mm256_mul_pd(hi, hi));
    }
    float mins[8], maxs[8], bads[8];
    double sums[4], sqs[4];
    _mm256_storeu_ps(mins, mn);
    _mm256_storeu_ps(maxs, mx);
    _mm256_storeu_ps(bads, bad);
    _mm256_storeu_pd(sums, _mm256_add_pd(s0, s1));
    _mm256_storeu_pd(sqs, _mm256_add_pd(q0, q1));
    const float lo_min = mrc_hmin4(mins), hi_min = mrc_hmin4(mins + 4);
    const float lo_max = mrc_hmax4(maxs), hi_max = mrc_hmax4(maxs + 4);
    b->min = hi_min < lo_min ? hi_min : lo_min;
    b->max = hi_max > lo_max ? hi_max : lo_max;
    b->nonfinite = 0;
    for (int l = 0; l < 8; ++l) b->nonfinite += (int64_t)bads[l];
    b->s = (sums[0] + sums[1]) + (sums[2] + sums[3]);
    b->q = (sqs[0] + sqs[1]) + (sqs[2] + sqs[3]);
    mrc_block_tail(v, i, n, pivot, b);
}

void mrc_compute_stats_with(const float *v, int64_t n, mrc_stats_t *out, mrc_stats_block_fn block)
{
    float mn = INFINITY, mx = -INFINITY;
    int64_t count = 0, nonfinite = 0;
    double mean = 0.0, m2 = 0.0;
    for (int64_t i = 0; i < n; i += MRC_STATS_BLOCK) {
        const float *p = v + i;
        const int64_t len = n - i < MRC_STATS_BLOCK ? n - i : MRC_STATS_BLOCK;
        // The first finite value is the pivot; a block without one adds only
        // to the extremes and the non-finite count.
        float pivot = 0.0f;
        for (int64_t k = 0; k < len; ++k)
            if (isfinite(p[k])) {
                pivot = p[k];
                break;
            }
        mrc_block_sums_t b;
        block(p, len, pivot, &b);
        if (b.min < mn) mn = b.min;
        if (b.max > mx) mx = b.max;
        nonfinite += b.nonfinite;
        const int64_t nb = len - b.nonfinite;
        if (nb == 0) continue;
        const double block_m2 = b.q - b.s * b.s / (double)nb;
        mrc_stats_join(&count, &mean, &m2, nb, (double)pivot + b.s / (double)nb,
                       block_m2 > 0.0 ? block_m2 : 0.0);
    }
    out->min = mn;
    out->max = mx;
    out->count = count;
    out->mean = mean;
    out->m2 = m2;
    out->nonfinite = nonfinite;
}

// The pass of the vector extension in use, set with the kernel slots on the
// main thread before any thread starts; NULL until a caller chooses.
static mrc_stats_block_fn mrc_stats_block = NULL;

void mrc_set_stats_extension(int vector_ext)
{
    mrc_stats_block = vector_ext == 0   ? mrc_stats_block_avx
                    : vector_ext == 1 ? mrc_stats_block_sse2
                                      : mrc_stats_block_scalar;
}

mrc_stats_block_fn mrc_stats_pass(void)
{
    // A caller that never chose (a tool writing a file) gets the widest
    // pass; the processor's and the system's AVX support are both part of
    // the test.
    static const mrc_stats_block_fn widest =
        __builtin_cpu_supports("avx") ? mrc_stats_block_avx : mrc_stats_block_sse2;
    return mrc_stats_block ? mrc_stats_block : widest;
}

void mrc_compute_stats(const float *v, int64_t n, mrc_stats_t *out)
{
    mrc_compute_stats_with(v, n, out, mrc_stats_pass());
}

void mrc_merge_stats(mrc_image_t *rec, const mrc_stats_t *st)
{
    mrc_header_block_t *block = (mrc_header_block_t *)rec->header;
    mrc_header_t *h = rec->header;
    pthread_mutex_lock(rec->stats_lock);
    // The header starts from the largest finite extremes, which an infinity
    // never passes: the first run with a non-NaN voxel sets them outright.
    if (st->min <= st->max) {
        if (!block->extremes_set || st->min < h->amin) h->amin = st->min;
        if (!block->extremes_set || st->max > h->amax) h->amax = st->max;
        block->extremes_set = 1;
    }
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
