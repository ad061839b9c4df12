// Cache input and output: rows and sections into slot caches, finished
// slots out to the file, and the plain section transfers.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

#include "mrc/mrc_internal.h"

// Converters of n voxels at the start of row p, read raw in the file's
// mode, to floats in place. The narrower modes run from the last element
// down, so no voxel is overwritten before it is converted.
static void mrc_byte_to_float(float *p, int64_t n, int)
{
    const unsigned char *raw = (const unsigned char *)p;
    for (int64_t i = n - 1; i >= 0; --i) p[i] = (float)raw[i];
}

static uint16_t mrc_raw16(const unsigned char *raw, int64_t i, int swapped)
{
    uint16_t u;
    memcpy(&u, raw + 2 * i, 2);
    return swapped ? __builtin_bswap16(u) : u;
}

static void mrc_int16_to_float(float *p, int64_t n, int swapped)
{
    const unsigned char *raw = (const unsigned char *)p;
    for (int64_t i = n - 1; i >= 0; --i) p[i] = (float)(int16_t)mrc_raw16(raw, i, swapped);
}

static void mrc_uint16_to_float(float *p, int64_t n, int swapped)
{
    const unsigned char *raw = (const unsigned char *)p;
    for (int64_t i = n - 1; i >= 0; --i) p[i] = (float)mrc_raw16(raw, i, swapped);
}

static void mrc_float_to_float(float *p, int64_t n, int swapped)
{
    if (!swapped) return;
    unsigned char *raw = (unsigned char *)p;
    for (int64_t i = 0; i < n; ++i) {
        uint32_t u;
        memcpy(&u, raw + 4 * i, 4);
        u = __builtin_bswap32(u);
        memcpy(raw + 4 * i, &u, 4);
    }
}

constexpr mrc_mode_t mrc_modes[] = {
    {MRC_MODE_BYTE, 1, mrc_byte_to_float},
    {MRC_MODE_INT16, 2, mrc_int16_to_float},
    {MRC_MODE_FLOAT, 4, mrc_float_to_float},
    {MRC_MODE_UINT16, 2, mrc_uint16_to_float},
};

// A row added without its converter, or with a voxel size a float cannot
// hold in place, fails the build instead of reading the mode as floats.
constexpr bool mrc_mode_rows_complete()
{
    for (const mrc_mode_t &m : mrc_modes)
        if (!m.to_float || m.bytes < 1 || m.bytes > 4) return false;
    return true;
}
static_assert(mrc_mode_rows_complete(), "every data mode needs its voxel size and converter");

const int mrc_num_modes = sizeof mrc_modes / sizeof mrc_modes[0];

const mrc_mode_t *mrc_find_mode(int32_t mode)
{
    for (const mrc_mode_t &m : mrc_modes)
        if (m.mode == mode) return &m;
    return NULL;
}

const char *mrc_modes_read(void)
{
    static const char *const list = [] {
        static char text[16 * (sizeof mrc_modes / sizeof mrc_modes[0]) + 1];
        size_t used = 0;
        for (const mrc_mode_t &m : mrc_modes)
            used += (size_t)snprintf(text + used, sizeof text - used, "%s%d", used ? ", " : "",
                                     (int)m.mode);
        return text;
    }();
    return list;
}

// Rows of one tilt image are contiguous in the file but land in different
// planes: one positioned scatter read per group of rows instead of a system
// call per row, straight into the rows, with no staging copy.
enum { MRC_ROWS_PER_READ = 64 };

// Reads the n rows of iov from file position pos, going on after a short
// transfer. Returns 0, the system's error, or -1 at the end of the file (a
// file cut short after it was opened must not pass as data).
static int mrc_pread_rows(int fd, struct iovec *iov, int n, off_t pos)
{
    while (n > 0) {
        const ssize_t got = preadv(fd, iov, n, pos);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return errno ? errno : EIO;
        if (got == 0) return -1;
        pos += got;
        size_t left = (size_t)got;
        while (n > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --n;
        }
        if (n > 0) {
            iov->iov_base = (char *)iov->iov_base + left;
            iov->iov_len -= left;
        }
    }
    return 0;
}

// The reason behind a failed transfer of rec: the system's error, or, for
// -1, the end of the file met before the data the header promises.
static void mrc_transfer_reason(const mrc_image_t *rec, int err)
{
    if (err > 0)
        mrc_set_errdetail(rec->path, err);
    else
        mrc_set_errdetailf("%s: the file ends before the data its header describes", rec->path);
}

int mrc_read_rows(mrc_image_t *buf, mrc_image_t *rec, int y, int count)
{
    mrc_set_errno(MRC_OK);
    if (count > rec->ny - y) count = rec->ny - y;
    if (count < 1) return 0;
    const mrc_mode_t *mode = mrc_find_mode(rec->header->mode);
    if (!mode) {
        mrc_set_errno(MRC_EMODE);
        return -1;
    }
    const int64_t row_bytes = (int64_t)rec->nx * rec->bytes_per_voxel;
    const int64_t start = rec->data_offset + ((int64_t)rec->header->nystart + y) * row_bytes;
    struct iovec iov[MRC_ROWS_PER_READ];
    int err = 0;
    bool ok = true;
    pthread_mutex_lock(rec->file_lock);
    const int fd = fileno(rec->fp);
    for (int k = 0; ok && k < buf->ny; ++k) {
        const int64_t image = start + k * rec->section_bytes;
        for (int j0 = 0; ok && j0 < count; j0 += MRC_ROWS_PER_READ) {
            const int m = count - j0 < MRC_ROWS_PER_READ ? count - j0 : MRC_ROWS_PER_READ;
            for (int i = 0; i < m; ++i) {
                iov[i].iov_base = buf->data[j0 + i][k];
                iov[i].iov_len = (size_t)row_bytes;
            }
            err = mrc_pread_rows(fd, iov, m, (off_t)(image + j0 * row_bytes));
            ok = err == 0;
            for (int i = 0; ok && i < m; ++i)
                mode->to_float(buf->data[j0 + i][k], rec->nx, rec->swapped);
        }
    }
    if (ok && ferror(rec->fp)) {
        ok = false;
        err = EIO;
    }
    if (!ok) clearerr(rec->fp);
    pthread_mutex_unlock(rec->file_lock);
    if (!ok) {
        mrc_set_errno(MRC_EREAD);
        mrc_transfer_reason(rec, err);
        return -1;
    }
    return count;
}

// Reads n whole sections at byte pos of rec's stream (file lock held). On
// failure *err is the system's error, or -1 at the end of the file.
static bool mrc_read_at(mrc_image_t *rec, int64_t pos, void *dst, int n, int *err)
{
    errno = 0;
    bool ok = fseeko(rec->fp, (off_t)pos, SEEK_SET) == 0 &&
              fread(dst, (size_t)rec->section_bytes, (size_t)n, rec->fp) == (size_t)n &&
              !ferror(rec->fp);
    if (!ok) {
        *err = ferror(rec->fp) || !feof(rec->fp) ? (errno ? errno : EIO) : -1;
        clearerr(rec->fp);
    }
    return ok;
}

// Takes a run of consecutive slots in state `from` starting at *s, with
// first row *cursor, while the cursor stays below `limit`. Marks them 4.
// Returns the number of slots taken; *s is left past the slot that ended it.
static int mrc_take_run(mrc_cache_t *c, int *s, int *cursor, int limit, int from)
{
    int k = 0;
    pthread_mutex_lock(&c->lock);
    while (*s < c->nslots && c->slots[*s].state == from && *cursor < limit) {
        c->slots[*s].state = MRC_SLOT_BUSY;
        *s += 1;
        // Stops at the limit rather than wrapping past the largest int.
        *cursor = limit - *cursor > c->step ? *cursor + c->step : limit;
        ++k;
    }
    pthread_mutex_unlock(&c->lock);
    *s += 1;
    return k;
}

static void mrc_publish_run(mrc_cache_t *c, int s0, int k, int first, bool ok, int back)
{
    pthread_mutex_lock(&c->lock);
    for (int i = 0; i < k; ++i) {
        if (ok) {
            c->slots[s0 + i].state = MRC_SLOT_READY;
            c->slots[s0 + i].row = first + i * c->step;
        } else {
            c->slots[s0 + i].state = back;
        }
    }
    if (ok) {
        c->ready += k;
        c->owed -= k;
    }
    pthread_mutex_unlock(&c->lock);
}

int mrc_cache_fill_rows(mrc_image_t *rec, int first_row)
{
    mrc_cache_t *c = rec->cache;
    if (first_row < 0 || first_row % c->step != 0) {
        mrc_set_errno(MRC_EPARAM);
        return 0;
    }
    int total = 0, cursor = first_row, s = 0;
    while (cursor < rec->ny && s < c->nslots) {
        const int s0 = s, r0 = cursor;
        const int k = mrc_take_run(c, &s, &cursor, rec->ny, MRC_SLOT_EMPTY);
        if (k < 1) continue;
        mrc_image_t view = {};
        view.nx = rec->nx;
        view.ny = c->rows;
        view.nz = k * c->step;
        view.data = rec->data + s0 * c->step;
        const int m = mrc_read_rows(&view, rec, r0, k * c->step);
        mrc_publish_run(c, s0, k, r0, m >= 0, MRC_SLOT_EMPTY);
        if (m < 0) return total;
        total += m;
    }
    return total;
}

int mrc_cache_fill_sections(mrc_image_t *rec, int first_section)
{
    mrc_cache_t *c = rec->cache;
    // Sections are copied into the planes as stored, so they must be exactly
    // one plane each, or the copy would run past the slots.
    if (first_section < 0 || first_section % c->step != 0 ||
        rec->section_bytes != (int64_t)c->nx * c->rows * 4) {
        mrc_set_errno(MRC_EPARAM);
        return 0;
    }
    int total = 0, cursor = first_section, s = 0;
    while (cursor < rec->nz && s < c->nslots) {
        const int s0 = s, z0 = cursor;
        const int k = mrc_take_run(c, &s, &cursor, rec->nz, MRC_SLOT_LOAD);
        if (k < 1) continue;
        mrc_set_errno(MRC_OK);
        int n = k * c->step;
        if (n > rec->nz - z0) n = rec->nz - z0;
        bool ok = true;
        int err = 0;
        if (n >= 1) {
            pthread_mutex_lock(rec->file_lock);
            const int64_t pos = rec->data_offset +
                                ((int64_t)rec->header->nzstart + z0) * rec->section_bytes;
            ok = mrc_read_at(rec, pos, rec->data[s0 * c->step][0], n, &err);
            pthread_mutex_unlock(rec->file_lock);
        }
        mrc_publish_run(c, s0, k, z0, ok, MRC_SLOT_LOAD);
        if (!ok) {
            mrc_set_errno(MRC_EREAD);
            mrc_transfer_reason(rec, err);
            return total;
        }
        total += n;
    }
    return total;
}

// Writes n sections from `src` at section z of a created file, with the
// statistics merged first. Stores 5 and returns false on a failed write.
static bool mrc_write_run(mrc_image_t *rec, const float *src, int z, int n,
                          int64_t floats_per_section)
{
    mrc_stats_t st;
    mrc_compute_stats(src, floats_per_section * n, &st);
    mrc_merge_stats(rec, &st);
    pthread_mutex_lock(rec->file_lock);
    const int64_t pos = rec->data_offset + (int64_t)z * rec->section_bytes;
    errno = 0;
    bool ok = fseeko(rec->fp, (off_t)pos, SEEK_SET) == 0 &&
              fwrite(src, (size_t)rec->section_bytes, (size_t)n, rec->fp) == (size_t)n &&
              !ferror(rec->fp);
    const int err = ok ? 0 : errno ? errno : EIO;
    if (!ok) clearerr(rec->fp);
    pthread_mutex_unlock(rec->file_lock);
    // The disk starts on these sections now, while the workers compute, so
    // the sync at the close finds little left to write.
    if (ok) sync_file_range(fileno(rec->fp), pos, rec->section_bytes * n, SYNC_FILE_RANGE_WRITE);
    if (!ok) {
        mrc_set_errno(MRC_EWRITE);
        mrc_set_errdetail(rec->path, err);
    }
    return ok;
}

int mrc_cache_flush(mrc_image_t *rec, mrc_flush_progress_fn after_run, void *arg)
{
    mrc_cache_t *c = rec->cache;
    int total = 0, s = 0;
    while (s < c->nslots) {
        pthread_mutex_lock(&c->lock);
        if (c->slots[s].state != MRC_SLOT_FINISHED) {
            pthread_mutex_unlock(&c->lock);
            ++s;
            continue;
        }
        const int s0 = s;
        c->slots[s].state = MRC_SLOT_BUSY;
        ++s;
        while (s < c->nslots && c->slots[s].state == MRC_SLOT_FINISHED &&
               c->slots[s].row == c->slots[s - 1].row + c->step) {
            c->slots[s].state = MRC_SLOT_BUSY;
            ++s;
        }
        pthread_mutex_unlock(&c->lock);
        const int k = s - s0;
        const int z0 = c->slots[s0].row;

        bool ok;
        int n = 0;
        if (!rec->writable) {
            mrc_set_errno(MRC_EREADONLY);
            ok = false;
        } else if (z0 < 0) {
            // A slot released without a row has no place in the file.
            mrc_set_errno(MRC_EWRITE);
            ok = false;
        } else {
            mrc_set_errno(MRC_OK);
            n = k * c->step;
            if (n > rec->nz - z0) n = rec->nz - z0;
            ok = n < 1 || mrc_write_run(rec, rec->data[s0 * c->step][0], z0, n,
                                         (int64_t)c->nx * c->rows);
            if (n < 0) n = 0;
        }

        pthread_mutex_lock(&c->lock);
        for (int i = s0; i < s; ++i) {
            if (!ok) {
                c->slots[i].state = MRC_SLOT_FINISHED;
                continue;
            }
            c->slots[i].state = c->reload ? MRC_SLOT_LOAD : MRC_SLOT_READY;
            c->slots[i].row = -1;
        }
        if (ok) {
            c->pending -= k;
            if (!c->reload) {
                c->ready += k;
                c->owed -= k;
            }
        }
        pthread_mutex_unlock(&c->lock);
        if (!ok) return total;
        total += n;
        if (after_run && n > 0) after_run(arg, n);
    }
    return total;
}

// ---- Transfers the program does not call ---------------------------------

// Planes of `buf` from `plane` to its end.
static int mrc_space(const mrc_image_t *buf, int plane)
{
    return (buf->cache ? buf->cache->depth : buf->nz) - plane;
}

static mrc_image_t mrc_planes(const mrc_image_t *buf, int plane, int n)
{
    mrc_image_t view = {};
    view.nx = buf->nx;
    view.ny = buf->cache ? buf->cache->rows : buf->ny;
    view.nz = n;
    view.data = buf->data + plane;
    return view;
}

// A ring transfer whose planes run past the buffer's end is split in two:
// the part that wraps round to plane 0 first, then the tail from `plane`.
static int mrc_ring_transfer(int (*xfer)(mrc_image_t *, mrc_image_t *, int, int),
                             mrc_image_t *buf, mrc_image_t *rec, int first, int n, int plane)
{
    const int space = mrc_space(buf, plane);
    if (n <= space) {
        mrc_image_t v = mrc_planes(buf, plane, n);
        return xfer(&v, rec, first, n);
    }
    mrc_image_t wrap = mrc_planes(buf, 0, n - space);
    const int a = xfer(&wrap, rec, first + space, n - space);
    if (a < 0) return -1;
    mrc_image_t tail = mrc_planes(buf, plane, space);
    const int b = xfer(&tail, rec, first, space);
    return b < 0 ? -1 : a + b;
}

int mrc_read_rows_ring(mrc_image_t *buf, mrc_image_t *rec, int y, int count, int plane)
{
    return mrc_ring_transfer(mrc_read_rows, buf, rec, y, count, plane);
}

int mrc_read_sections(mrc_image_t *buf, mrc_image_t *rec, int z, int n)
{
    mrc_set_errno(MRC_OK);
    if (n > rec->nz - z) n = rec->nz - z;
    if (n < 1) return 0;
    pthread_mutex_lock(rec->file_lock);
    const int64_t pos =
        rec->data_offset + ((int64_t)rec->header->nzstart + z) * rec->section_bytes;
    int err = 0;
    const bool ok = mrc_read_at(rec, pos, buf->data[0][0], n, &err);
    pthread_mutex_unlock(rec->file_lock);
    if (!ok) {
        mrc_set_errno(MRC_EREAD);
        mrc_transfer_reason(rec, err);
        return -1;
    }
    return n;
}

int mrc_read_sections_ring(mrc_image_t *buf, mrc_image_t *rec, int z, int n, int plane)
{
    return mrc_ring_transfer(mrc_read_sections, buf, rec, z, n, plane);
}

int mrc_write_sections(mrc_image_t *buf, mrc_image_t *rec, int z, int n)
{
    if (!rec->writable) {
        mrc_set_errno(MRC_EREADONLY);
        return -1;
    }
    mrc_set_errno(MRC_OK);
    if (n > rec->nz - z) n = rec->nz - z;
    if (n < 1) return 0;
    if (!mrc_write_run(rec, buf->data[0][0], z, n, (int64_t)buf->nx * buf->ny)) return -1;
    return n;
}

int mrc_write_sections_ring(mrc_image_t *buf, mrc_image_t *rec, int z, int n, int plane)
{
    return mrc_ring_transfer(mrc_write_sections, buf, rec, z, n, plane);
}
