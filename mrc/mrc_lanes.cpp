// Lane layouts of a cache slot (fold, unfold, interleave) and the in-place
// pre-processing of a read slot (constant shift, base-10 logarithm).
#include <math.h>

#include "mrc/mrc_internal.h"

namespace {

// Floats of one plane of the record's cache.
int64_t mrc_plane_floats(const mrc_image_t *rec)
{
    return (int64_t)rec->cache->nx * rec->cache->rows;
}

float *mrc_slot_plane(const mrc_image_t *rec, int slot, int l)
{
    return rec->data[slot * rec->cache->step + l][0];
}

// Pairs each element with its point reflection, L lanes per element. An odd
// count leaves a middle element without partner; it goes last, so unfold
// still restores the plane exactly.
template <int L>
void mrc_fold(mrc_image_t *rec, mrc_image_t *work, int slot)
{
    const int64_t n = mrc_plane_floats(rec);
    if (n < 2) return;
    float *a = work->data[0][0];
    const float *p[L];
    for (int l = 0; l < L; ++l) p[l] = mrc_slot_plane(rec, slot, l);
    for (int64_t i = 0; i < n / 2; ++i) {
        for (int l = 0; l < L; ++l) {
            a[(2 * i) * L + l] = p[l][i];
            a[(2 * i + 1) * L + l] = p[l][n - 1 - i];
        }
    }
    if (n % 2)
        for (int l = 0; l < L; ++l) a[(n - 1) * L + l] = p[l][n / 2];
}

template <int L>
void mrc_unfold(mrc_image_t *rec, mrc_image_t *work, int slot)
{
    const int64_t n = mrc_plane_floats(rec);
    if (n < 2) return;
    const float *a = work->data[0][0];
    float *p[L];
    for (int l = 0; l < L; ++l) p[l] = mrc_slot_plane(rec, slot, l);
    for (int64_t i = 0; i < n / 2; ++i) {
        for (int l = 0; l < L; ++l) {
            p[l][i] = a[(2 * i) * L + l];
            p[l][n - 1 - i] = a[(2 * i + 1) * L + l];
        }
    }
    if (n % 2)
        for (int l = 0; l < L; ++l) p[l][n / 2] = a[(n - 1) * L + l];
}

template <int L>
void mrc_interleave(mrc_image_t *rec, mrc_image_t *work, int slot)
{
    const int64_t n = mrc_plane_floats(rec);
    float *a = work->data[0][0];
    const float *p[L];
    for (int l = 0; l < L; ++l) p[l] = mrc_slot_plane(rec, slot, l);
    for (int64_t i = 0; i < n; ++i)
        for (int l = 0; l < L; ++l) a[i * L + l] = p[l][i];
}

}  // namespace

void mrc_fold_slot_x1(mrc_image_t *rec, mrc_image_t *work, int slot) { mrc_fold<1>(rec, work, slot); }
void mrc_fold_slot_x4(mrc_image_t *rec, mrc_image_t *work, int slot) { mrc_fold<4>(rec, work, slot); }
void mrc_fold_slot_x8(mrc_image_t *rec, mrc_image_t *work, int slot) { mrc_fold<8>(rec, work, slot); }
void mrc_unfold_slot_x1(mrc_image_t *rec, mrc_image_t *work, int slot) { mrc_unfold<1>(rec, work, slot); }
void mrc_unfold_slot_x4(mrc_image_t *rec, mrc_image_t *work, int slot) { mrc_unfold<4>(rec, work, slot); }
void mrc_unfold_slot_x8(mrc_image_t *rec, mrc_image_t *work, int slot) { mrc_unfold<8>(rec, work, slot); }
void mrc_interleave_slot_x4(mrc_image_t *rec, mrc_image_t *work, int slot) { mrc_interleave<4>(rec, work, slot); }
void mrc_interleave_slot_x8(mrc_image_t *rec, mrc_image_t *work, int slot) { mrc_interleave<8>(rec, work, slot); }

const mrc_slot_fn mrc_fold_fns[9] = {
    NULL, mrc_fold_slot_x1, NULL, NULL, mrc_fold_slot_x4, NULL, NULL, NULL, mrc_fold_slot_x8};
const mrc_slot_fn mrc_unfold_fns[9] = {
    NULL, mrc_unfold_slot_x1, NULL, NULL, mrc_unfold_slot_x4, NULL, NULL, NULL, mrc_unfold_slot_x8};
const mrc_slot_fn mrc_interleave_fns[9] = {
    NULL, NULL, NULL, NULL, mrc_interleave_slot_x4, NULL, NULL, NULL, mrc_interleave_slot_x8};

void mrc_fold_slot(mrc_image_t *rec, mrc_image_t *work, int slot)
{
    mrc_fold_fns[rec->cache->step](rec, work, slot);
}

void mrc_unfold_slot(mrc_image_t *rec, mrc_image_t *work, int slot)
{
    mrc_unfold_fns[rec->cache->step](rec, work, slot);
}

void mrc_interleave_slot(mrc_image_t *rec, mrc_image_t *work, int slot)
{
    mrc_interleave_fns[rec->cache->step](rec, work, slot);
}

void mrc_slot_add(mrc_image_t *rec, int slot, int use_min, float c)
{
    if (use_min) {
        const float amin = rec->header->amin;
        if (amin >= 0.0f) return;
        c = 1.0f - amin;
    }
    float *v = mrc_slot_plane(rec, slot, 0);
    const int64_t n = mrc_plane_floats(rec) * rec->cache->step;
    for (int64_t i = 0; i < n; ++i) v[i] += c;
}

int mrc_slot_log(mrc_image_t *rec, int slot, float c)
{
    const float amin = rec->header->amin;
    const float o = 1.0f > amin + c ? 1.0f - amin : c;
    float *v = mrc_slot_plane(rec, slot, 0);
    const int64_t plane = mrc_plane_floats(rec);
    const int64_t n = plane * rec->cache->step;
    // Only the planes of rows in the file are data: a last slot that runs
    // past them holds whatever its buffer held before.
    const int64_t rows_left = (int64_t)rec->ny - rec->cache->slots[slot].row;
    const int64_t data = rows_left < rec->cache->step ? (rows_left > 0 ? rows_left : 0) * plane : n;
    // Counted in the same pass: the logarithm dominates its cost.
    int64_t undefined = 0;
    for (int64_t i = 0; i < n; ++i) {
        const float x = o == 0.0f ? v[i] : v[i] + o;
        undefined += x <= 0.0f && i < data;
        v[i] = log10f(x);
    }
    return undefined > 0 ? -1 : 0;
}
