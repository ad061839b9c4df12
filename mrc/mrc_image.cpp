// Image records, the three-level float array and views into it.
#include <stdlib.h>
#include <string.h>

#include "mrc/mrc_block.h"
#include "mrc/mrc_internal.h"

// Size checks of the allocators: every count is widened from signed 32 bits
// and compared unsigned, so a negative one reads as huge and fails.
static bool mrc_sizes_fit(uint64_t n, uint64_t bytes_per_vector, uint64_t ny, uint64_t nz)
{
    const uint64_t M = UINT64_MAX;
    if (n == 0 || ny == 0 || nz == 0) return false;
    if (nz > M / ny) return false;
    if (M / n < bytes_per_vector) return false;
    if (bytes_per_vector * n > M / (ny * nz)) return false;
    // The row-pointer array must fit too.
    if (ny * nz > SIZE_MAX / sizeof(float *)) return false;
    return true;
}

static float ***mrc_array_build(uint64_t n, uint64_t bytes_per_vector, uint64_t ny,
                                uint64_t nz, size_t align)
{
    if (!mrc_sizes_fit(n, bytes_per_vector, ny, nz)) return NULL;
    const uint64_t row_bytes = bytes_per_vector * n;
    const uint64_t nrows = ny * nz;

    float ***sections = (float ***)malloc(nz * sizeof(float **));
    if (!sections) return NULL;
    float **rows = (float **)malloc(nrows * sizeof(float *));
    if (!rows) {
        free(sections);
        return NULL;
    }
    void *block = mrc_block_alloc(row_bytes * nrows, align);
    if (!block) {
        free(rows);
        free(sections);
        return NULL;
    }
    sections[0] = rows;
    rows[0] = (float *)block;
    for (uint64_t s = 1; s < nz; ++s) sections[s] = rows + s * ny;
    for (uint64_t j = 1; j < nrows; ++j)
        rows[j] = (float *)((char *)rows[j - 1] + row_bytes);
    return sections;
}

static uint64_t mrc_widen(int v)
{
    return (uint64_t)(int64_t)v;
}

float ***mrc_array_alloc(int64_t nx, int64_t ny, int64_t nz, size_t align)
{
    if (nx < 1 || ny < 1 || nz < 1) return NULL;
    return mrc_array_build((uint64_t)nx, 4, (uint64_t)ny, (uint64_t)nz, align);
}

void mrc_array_free(float ***data)
{
    if (!data) return;
    mrc_block_free(data[0][0]);
    free(data[0]);
    free(data);
}

static int mrc_alloc_data_lanes(mrc_image_t *rec, int n, int ny, int nz, int lanes,
                                size_t align)
{
    // The record holds the row length in floats as an int32: a longer row
    // cannot be described, so it is refused like one that cannot be allocated.
    const int64_t floats = (int64_t)n * lanes;
    rec->nx = floats >= INT32_MIN && floats <= INT32_MAX ? (int32_t)floats : 0;
    rec->ny = ny;
    rec->nz = nz;
    rec->data = floats > INT32_MAX ? NULL
                                   : mrc_array_build(mrc_widen(n), 4u * (uint64_t)lanes,
                                                     mrc_widen(ny), mrc_widen(nz), align);
    if (!rec->data) {
        mrc_set_errno(MRC_ENOMEM);
        return -1;
    }
    mrc_set_errno(MRC_OK);
    return 0;
}

int mrc_alloc_data_x1(mrc_image_t *rec, int n, int ny, int nz)
{
    return mrc_alloc_data_lanes(rec, n, ny, nz, 1, 8);
}

int mrc_alloc_data_x4(mrc_image_t *rec, int n, int ny, int nz)
{
    return mrc_alloc_data_lanes(rec, n, ny, nz, 4, 16);
}

int mrc_alloc_data_x8(mrc_image_t *rec, int n, int ny, int nz)
{
    return mrc_alloc_data_lanes(rec, n, ny, nz, 8, 32);
}

mrc_image_t *mrc_alloc_images(int n)
{
    // A negative n would be a huge unsigned size: refused as such.
    mrc_image_t *recs = n < 0 ? NULL : (mrc_image_t *)calloc((size_t)n, sizeof(mrc_image_t));
    if (!recs && n != 0) {
        mrc_set_errno(MRC_ENOMEM);
        return NULL;
    }
    mrc_set_errno(MRC_OK);
    return recs;
}

int mrc_init_image(mrc_image_t *rec)
{
    memset(rec, 0, sizeof *rec);
    return 0;
}

void mrc_free_data(mrc_image_t *rec)
{
    mrc_array_free(rec->data);
}

void mrc_zero_data(mrc_image_t *rec)
{
    const int64_t count = (int64_t)rec->nx * rec->ny * rec->nz;
    if (count <= 0 || !rec->data) return;
    memset(rec->data[0][0], 0, (size_t)count * sizeof(float));
}

void mrc_plane_view(const mrc_image_t *src, mrc_image_t *view, int first, int n)
{
    view->nx = src->nx;
    view->ny = src->cache ? src->cache->rows : src->ny;
    view->nz = n;
    view->data = src->data + first;
}

void mrc_slot_view(const mrc_image_t *src, mrc_image_t *view, int slot)
{
    const mrc_cache_t *cache = src->cache;
    view->nx = cache->nx;
    view->ny = cache->rows;
    view->nz = cache->step;
    view->data = src->data + slot * cache->step;
}
