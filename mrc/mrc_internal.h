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



// How a created volume replaces what stands at its name (mrc_output.cpp).
// Every descriptor the close needs is taken at the create.
struct mrc_output_t {
    int plan;          // an mrc_replace_t
    int dir_fd;        // directory of the name, while written beside it
    int dir_readable;  // dir_fd is open for reading (it can be synced), not O_PATH
    int target_fd;     // the file the name led to at the create, open for writing, or -1
    int volume_fd;     // the volume's file, for naming it once its stream is closed
    int tmpfile;       // 1: written beside as an unnamed file
    int append_only;   // the directory keeps every name linked into it
    int named_now;     // the volume got its name (the directory must reach the disk)
    char name[NAME_MAX + 1];  // the name in dir_fd
    char temp[NAME_MAX + 1];  // hidden name while written beside under one
    int error;         // errno of the call that refused the set-up, or 0
    const char *why;   // what that refusal means where errno alone would mislead, or NULL
};

// Decides how the volume of `bytes` reaches path, and opens the file it is
// written into (*fd), its blocks reserved. Returns 0, or the libMRC code of
// the refusal, with its reason in out->error and out->why.
int mrc_output_prepare(const char *path, int64_t bytes, mrc_output_t *out, int *fd);
// Puts the complete volume in place after its header was written (result:
// 0, or the code of a failed write) and closes fp. Returns a libMRC code;
// mrc_close_detail() then says what failed.
int mrc_output_finish(mrc_output_t *out, FILE *fp, int result);
// Drops a volume that will not be finished: nothing of it stays.
void mrc_output_release(mrc_output_t *out);

// What decides between renaming over an existing output and copying into it.
struct mrc_output_facts_t {
    int exists;           // a regular file stands at the name
    int64_t links;        // its link count
    int other_mount;      // it is mounted over the name (a bind mount)
    int sticky_other;     // a sticky directory lets the user write it but not remove it
    int append_only_dir;  // the directory keeps every name linked into it
};
int mrc_output_choose(const mrc_output_facts_t *facts);
// 1 when the file system's free space takes the volume beside the output
// (held_blocks512: the old file's st_blocks, -1 for a new output), 0 when
// only in the old file's place.
struct statvfs;
int mrc_output_room(const struct statvfs *vfs, int64_t bytes, int64_t held_blocks512, int plan);

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
