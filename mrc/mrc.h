// libMRC: image records, float arrays, MRC files, slot caches and lane layouts.
//
// One record type, mrc_image_t, serves both as an open or created MRC file and
// as every in-memory float array of the program. Errors are reported through a
// per-thread code (mrc_errno) with a fixed table of messages (mrc_perror).
#ifndef KYVANE_MRC_MRC_H
#define KYVANE_MRC_MRC_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// Error codes kept per thread; mrc_error_messages[code] is the text.
enum {
    MRC_OK = 0,            // "Success"
    MRC_ENOTFOUND = 1,     // "Cannot find image"
    MRC_ECREATE = 2,       // "Cannot create image"
    MRC_ECLOSE = 3,        // "Cannot close image"
    MRC_EREAD = 4,         // "Cannot read image"
    MRC_EWRITE = 5,        // "Cannot write image"
    MRC_EDAMAGED = 6,      // "File seems damaged (is it MRC?)"
    MRC_EREADONLY = 7,     // "File is read only"
    MRC_ENOMEM = 8,        // "Out of memory"
    MRC_ERESOURCES = 9,    // "Out of resources"
    MRC_EMODE = 10,        // "Invalid image data type"
    MRC_EDEPTH = 11,       // "Depth out of bounds"
    MRC_ELABELS = 12,      // "Invalid number of labels"
    MRC_EPARAM = 13        // "Bad function parameter"
};
#define MRC_NUM_ERRORS 14

extern const char *const mrc_error_messages[MRC_NUM_ERRORS];

// Data modes of the voxels in a file; the library reads these four (the
// table in mrc_cache_io.cpp) and writes only floats.
enum {
    MRC_MODE_BYTE = 0,     // unsigned 8-bit integers
    MRC_MODE_INT16 = 1,    // signed 16-bit integers
    MRC_MODE_FLOAT = 2,    // 32-bit floats
    MRC_MODE_UINT16 = 6    // unsigned 16-bit integers
};

// Slot states of a slot cache.
enum {
    MRC_SLOT_READY = 0,     // read: holds rows; write: free (or reloaded)
    MRC_SLOT_EMPTY = 1,     // read cache: the reader may fill it
    MRC_SLOT_FINISHED = 1,  // write cache: the writer must write it
    MRC_SLOT_TAKEN = 2,     // owned by one worker
    MRC_SLOT_LOAD = 3,      // to be loaded with whole sections
    MRC_SLOT_BUSY = 4       // owned by the I/O thread during a transfer
};

// The 1024-byte MRC header as 56 words in machine byte order and ten labels
// of 80 characters plus a NUL. In a file record the extended header and the
// path follow it inside the same allocation (see the record's ext_header and
// path).
struct mrc_header_t {
    int32_t nx;            // 0
    int32_t ny;            // 4
    int32_t nz;            // 8
    int32_t mode;          // 12
    int32_t nxstart;       // 16
    int32_t nystart;       // 20: first file row of an opened range (memory only)
    int32_t nzstart;       // 24: first file section of an opened range
    int32_t mx;            // 28
    int32_t my;            // 32
    int32_t mz;            // 36
    float xlen;            // 40
    float ylen;            // 44
    float zlen;            // 48
    float alpha;           // 52
    float beta;            // 56
    float gamma;           // 60
    int32_t mapc;          // 64
    int32_t mapr;          // 68
    int32_t maps;          // 72
    float amin;            // 76
    float amax;            // 80
    float amean;           // 84: mean of the finite values, set by mrc_close
    int32_t ispg;          // 88
    int32_t next;          // 92: bytes of extended header
    int32_t reserved0;     // 96
    int32_t origin_row;    // 100: tilt-series row held by section 0
    int32_t reserved1[26]; // 104-207; reserved1[1] (byte 108) is the format version
    char map[4];           // 208: "MAP "
    unsigned char stamp[4];// 212: machine stamp
    float rms;             // 216
    int32_t nlabl;         // 220
    char labels[10][81];   // 224 on in the file, 80 characters each there
};

// One slot of a cache: its state and the window row of its first plane.
struct mrc_slot_t {
    int32_t state;
    int32_t row;
};

// The slot cache of an open file record.
struct mrc_cache_t {
    pthread_mutex_t lock;
    mrc_slot_t *slots;
    int32_t nslots;
    int32_t next;     // round-robin cursor of mrc_cache_acquire
    int32_t ready;    // slots in state 0
    int32_t owed;     // slots in states 1, 3 and 4
    int32_t pending;  // write cache: finished slots not yet written
    int32_t step;     // planes per slot: 1, 4 or 8
    int32_t reload;   // written slots go to state 3 instead of 0
    int32_t share;    // records besides the first that use this cache
    int32_t nx;       // floats per row of a plane
    int32_t rows;     // rows per plane
    int32_t depth;    // planes in the buffer: nslots * step
};

// Image record: a file (opened or created) or an in-memory float array.
struct mrc_image_t {
    FILE *fp;
    mrc_header_t *header;
    pthread_mutex_t *stats_lock;
    pthread_mutex_t *file_lock;
    mrc_cache_t *cache;
    float ***data;             // section pointers -> row pointers -> floats
    unsigned char *ext_header;
    char *path;
    int32_t axis;              // 0: sinograms (rows across sections); 1: sections
    int32_t writable;
    int32_t swapped;
    int32_t bytes_per_voxel;
    int32_t data_offset;
    int32_t nx;
    int32_t ny;
    int32_t nz;
    int64_t section_bytes;
};

// ---- Library, errors ------------------------------------------------------
int mrc_init(void);
int mrc_finish(void);
int mrc_errno(void);
// The system's reason behind the calling thread's last failure, as
// "FILE: reason" ("" when the failing call gave none). Storing a code clears
// it; mrc_perror prints it as a second line after the code's message.
const char *mrc_errdetail(void);
void mrc_perror(const char *prefix);
// The vector extension of the statistics pass that each write of sections
// runs (0 AVX, 1 SSE, any other value none): set on the main thread with the
// kernel slots, before any thread writes. Until a caller sets it, the pass
// is the widest the processor runs.
void mrc_set_stats_extension(int vector_ext);

// ---- Records, float arrays and views -------------------------------------
mrc_image_t *mrc_alloc_images(int n);
int mrc_init_image(mrc_image_t *rec);
int mrc_alloc_data_x1(mrc_image_t *rec, int n, int ny, int nz);
int mrc_alloc_data_x4(mrc_image_t *rec, int n, int ny, int nz);
int mrc_alloc_data_x8(mrc_image_t *rec, int n, int ny, int nz);
void mrc_free_data(mrc_image_t *rec);
void mrc_zero_data(mrc_image_t *rec);
void mrc_plane_view(const mrc_image_t *src, mrc_image_t *view, int first, int n);
void mrc_slot_view(const mrc_image_t *src, mrc_image_t *view, int slot);

// ---- Files ----------------------------------------------------------------
// `step` is used only when `depth` is not NULL (planes per cache slot).
int mrc_open(const char *path, mrc_image_t *rec, int axis, int first, int count,
             int *depth, int step = 1);
int mrc_set_image_count(mrc_image_t *rec, int n);
// `step` and `reload` are used only when `depth` is not NULL. A regular
// file (or a new one) is written beside the file that path names (through
// symbolic links), unnamed where the file system allows, and takes its place
// only when mrc_close succeeds, with that file's mode, owner, group, ACLs and
// attributes; a file that cannot be replaced so (several links, a bind
// mount, an identity that cannot be given, a rename the directory refuses)
// is copied into at the close instead. With no room or no right to write
// beside it, and for devices and descriptor names (/dev/fd/N), the volume
// is written in place. Its blocks are reserved now, so that no full disk or
// quota ends the run part-way. Pipes, FIFOs, terminals and the program's
// own standard output or error are refused: they cannot take a volume.
// mrc_replace_mode tells which.
int mrc_create(const char *path, mrc_image_t *rec, int nx, int ny, int nz,
               int origin_row, int *depth, int step = 1, int reload = 0);
enum mrc_replace_t {
    MRC_REPLACE_RENAME = 0,   // written beside, renamed over the output
    MRC_REPLACE_COPY = 1,     // written beside, copied into the output
    MRC_REPLACE_IN_PLACE = 2, // a device or a descriptor name
    MRC_REPLACE_NO_ROOM = 3,  // the old file overwritten: no room beside it
    MRC_REPLACE_NO_DIR = 4,   // the old file overwritten: its directory refuses new files
};
int mrc_replace_mode(const mrc_image_t *rec);
// The hidden name a created record is written under until its close (only
// where the file system has no unnamed files), in the directory *dir_fd;
// NULL when there is none. A run that ends without the close removes it.
const char *mrc_temp_name(const mrc_image_t *rec, int *dir_fd);
// Header peeks without a record. mrc_read_origin_row returns the word at byte
// 100 as stored; mrc_read_dims gives nx and nz (axis 0) or ny (axis 1) in
// either byte order, as mrc_open would read them.
int mrc_read_origin_row(const char *path);
int mrc_read_dims(const char *path, int axis, int *nx_out, int *n_out);
void mrc_add_label(mrc_image_t *rec, const char *text);
int mrc_copy_labels(mrc_image_t *dst, const mrc_image_t *src);
int mrc_close(mrc_image_t *rec, const mrc_image_t *ref);
// After a failed mrc_close of a created file: what kept the complete volume
// from its place ("" when nothing did), for the calling thread; after a
// successful one, what the system would not let it clean up beside the
// output ("" when nothing).
const char *mrc_close_detail(void);
// After a failed mrc_close of a created file: 1 when the volume had taken
// its place all the same (only making that last through a power cut
// failed), 0 when whatever stood there is as it was.
int mrc_close_placed(void);
// NaN and infinite voxels written so far to a created file (0 for any other
// record); read it before mrc_close, which releases the count with the header.
int64_t mrc_nonfinite_count(mrc_image_t *rec);

// ---- Slot cache -----------------------------------------------------------
int mrc_cache_acquire(mrc_image_t *rec, int row);
int mrc_cache_putback(mrc_image_t *rec, int slot);
int mrc_cache_release(mrc_image_t *rec, int slot);
int mrc_cache_set_row(mrc_image_t *rec, int slot, int row);
int mrc_cache_get_row(mrc_image_t *rec, int slot);
int mrc_cache_count(mrc_image_t *rec, int which);
int mrc_cache_step(const mrc_image_t *rec);
void mrc_share_cache(mrc_image_t *src, mrc_image_t *dst);

// ---- Cache input and output ----------------------------------------------
int mrc_cache_fill_rows(mrc_image_t *rec, int first_row);
int mrc_read_rows(mrc_image_t *buf, mrc_image_t *rec, int y, int count);
int mrc_cache_fill_sections(mrc_image_t *rec, int first_section);
// after_run, when given, is called on the flushing thread after each run of
// sections has been written, with arg and the sections of that run, so that
// a caller can show progress within one long flush.
typedef void (*mrc_flush_progress_fn)(void *arg, int sections);
int mrc_cache_flush(mrc_image_t *rec, mrc_flush_progress_fn after_run = NULL, void *arg = NULL);
int mrc_read_rows_ring(mrc_image_t *buf, mrc_image_t *rec, int y, int count, int plane);
int mrc_read_sections(mrc_image_t *buf, mrc_image_t *rec, int z, int n);
int mrc_read_sections_ring(mrc_image_t *buf, mrc_image_t *rec, int z, int n, int plane);
int mrc_write_sections(mrc_image_t *buf, mrc_image_t *rec, int z, int n);
int mrc_write_sections_ring(mrc_image_t *buf, mrc_image_t *rec, int z, int n, int plane);

// ---- Lane layouts and slot pre-processing ---------------------------------
typedef void (*mrc_slot_fn)(mrc_image_t *rec, mrc_image_t *work, int slot);

// Indexed by the cache's step (1, 4 or 8); other entries are NULL.
extern const mrc_slot_fn mrc_fold_fns[9];
extern const mrc_slot_fn mrc_unfold_fns[9];
extern const mrc_slot_fn mrc_interleave_fns[9];

void mrc_fold_slot(mrc_image_t *rec, mrc_image_t *work, int slot);
void mrc_unfold_slot(mrc_image_t *rec, mrc_image_t *work, int slot);
void mrc_interleave_slot(mrc_image_t *rec, mrc_image_t *work, int slot);
void mrc_fold_slot_x1(mrc_image_t *rec, mrc_image_t *work, int slot);
void mrc_fold_slot_x4(mrc_image_t *rec, mrc_image_t *work, int slot);
void mrc_fold_slot_x8(mrc_image_t *rec, mrc_image_t *work, int slot);
void mrc_unfold_slot_x1(mrc_image_t *rec, mrc_image_t *work, int slot);
void mrc_unfold_slot_x4(mrc_image_t *rec, mrc_image_t *work, int slot);
void mrc_unfold_slot_x8(mrc_image_t *rec, mrc_image_t *work, int slot);
void mrc_interleave_slot_x4(mrc_image_t *rec, mrc_image_t *work, int slot);
void mrc_interleave_slot_x8(mrc_image_t *rec, mrc_image_t *work, int slot);
void mrc_slot_add(mrc_image_t *rec, int slot, int use_min, float c);
// 0, or -1 when a value of the slot lay at or below -offset, so that its
// logarithm is not defined (the header minimum lies above the data).
int mrc_slot_log(mrc_image_t *rec, int slot, float c);

#endif
