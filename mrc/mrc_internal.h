// Helpers shared by the libMRC sources; not part of the public interface.
#ifndef KYVANE_MRC_MRC_INTERNAL_H
#define KYVANE_MRC_MRC_INTERNAL_H

#include <limits.h>

#include "mrc/mrc.h"

// Stores the calling thread's error code; clears the reason behind it.
void mrc_set_errno(int code);
// Records the reason behind the code just stored: "file: strerror(err)"
// (nothing for err 0), or a text of the caller's own.
void mrc_set_errdetail(const char *file, int err);
void mrc_set_errdetailf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The close of a created file gives its part of the reason the same way:
// what kept the volume from its place, or after a success what it could
// not clean up (mrc_close_detail), and that the volume had its place all
// the same (mrc_close_placed). Reset when a close begins to place a volume;
// the add form appends to the text.
void mrc_reset_closedetail(void);
void mrc_set_closedetailf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void mrc_add_closedetailf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void mrc_set_close_placed(void);

// One row per data mode the library reads: the voxel size and the converter
// of raw voxels to floats. mrc_open accepts a mode exactly when it has a row,
// and every row must have its converter (checked when the table is built).
typedef void (*mrc_to_float_fn)(float *p, int64_t n, int swapped);
struct mrc_mode_t {
    int32_t mode;
    int32_t bytes;             // bytes per voxel in the file
    mrc_to_float_fn to_float;  // n raw voxels at the start of p to floats, in place
};
extern const mrc_mode_t mrc_modes[];
extern const int mrc_num_modes;
// The row of a mode, or NULL when the library does not read it.
const mrc_mode_t *mrc_find_mode(int32_t mode);
// The modes read, for messages: "0, 1, 2, 6".
const char *mrc_modes_read(void);

// Builds the three-level float array (section pointers, row pointers, one
// block) of nz planes of ny rows of nx floats, block aligned to `align`.
// Returns the section-pointer array, or NULL when a size overflows or an
// allocation fails (nothing is left allocated).
float ***mrc_array_alloc(int64_t nx, int64_t ny, int64_t nz, size_t align);

// Frees an array made by mrc_array_alloc: block, row pointers, section pointers.
void mrc_array_free(float ***data);

// Releases a cache record with its slot table, lock and buffer.
void mrc_cache_destroy(mrc_cache_t *cache, float ***buffer);

// Creates the slot cache of a record whose nx, ny, nz, axis and writable are
// set. limit: the depth rule's limit; rows: rows per plane; state: initial
// slot state. On failure stores 8 or 9 and returns -1 with nothing allocated.
int mrc_cache_create(mrc_image_t *rec, int *depth, int limit, int rows, int step,
                     int reload, int state);



// How a created volume replaces what stands at its name (mrc/mrc_output.h).
struct mrc_output_t;

// The header block of a file record: the public header, then the running
// statistics of a created file in double precision (finite voxels: count,
// mean and sum of squared deviations; the count of NaN and infinite voxels;
// whether a non-NaN voxel has set the extremes yet), for a created file how
// it replaces its output, then the extended header and the path.
struct mrc_header_block_t {
    mrc_header_t words;
    int64_t count;
    double mean;
    double m2;
    int64_t nonfinite;
    int32_t extremes_set;
    mrc_output_t *output;  // created files only
};

// Statistics of a flat run of floats: the extremes of its non-NaN values
// (+inf and -inf when it has none), and count, mean and sum of squared
// deviations of its finite values.
struct mrc_stats_t {
    float min;
    float max;
    int64_t count;
    double mean;
    double m2;
    int64_t nonfinite;
};

// Statistics of n floats (n >= 0), with the block pass of the vector
// extension in use (mrc_set_stats_extension).
void mrc_compute_stats(const float *v, int64_t n, mrc_stats_t *out);

// The block passes (n floats, offsets from pivot) and the statistics with a
// given one, so that each variant can be checked against the others.
struct mrc_block_sums_t;
typedef void (*mrc_stats_block_fn)(const float *v, int64_t n, float pivot, mrc_block_sums_t *b);
// The pass mrc_compute_stats takes: the chosen one, else the widest the
// processor runs.
mrc_stats_block_fn mrc_stats_pass(void);
void mrc_stats_block_scalar(const float *v, int64_t n, float pivot, mrc_block_sums_t *b);
void mrc_stats_block_sse2(const float *v, int64_t n, float pivot, mrc_block_sums_t *b);
void mrc_stats_block_avx(const float *v, int64_t n, float pivot, mrc_block_sums_t *b);
void mrc_compute_stats_with(const float *v, int64_t n, mrc_stats_t *out, mrc_stats_block_fn block);

// Merges statistics into a created record's header under its stats lock.
void mrc_merge_stats(mrc_image_t *rec, const mrc_stats_t *st);
#endif
