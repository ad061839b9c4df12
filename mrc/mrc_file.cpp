// MRC files: open, create, header peeks, labels and close.
#include <errno.h>
#include <fcntl.h>
#include <float.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "mrc/mrc_internal.h"
#include "mrc/mrc_output.h"

static_assert(offsetof(mrc_header_t, origin_row) == 100, "origin_row at byte 100");
static_assert(offsetof(mrc_header_t, map) == 208, "map at byte 208");
static_assert(offsetof(mrc_header_t, labels) == 224, "56 words before the labels");

enum { MRC_WORD_BYTES = 224, MRC_LABEL_BYTES = 80, MRC_NLABELS = 10 };

// Format version written into the reserved words at byte 108.
static const int32_t mrc_format_version = 20140;

static void mrc_swap_words(mrc_header_t *h)
{
    uint32_t w[56];
    memcpy(w, h, sizeof w);
    for (uint32_t &x : w) x = __builtin_bswap32(x);
    memcpy(h, w, sizeof w);
}

// Byte-order test on the words as read: a mode or a section count beyond 16
// bits only makes sense in the reverse byte order.
static bool mrc_words_reversed(const mrc_header_t *h)
{
    return llabs((long long)h->mode) > 0xFFFF || llabs((long long)h->nz) > 0xFFFF;
}

// Reads the 56 words and ten labels into a cleared header image. Returns the
// number of bytes read, or -1 when the stream reported an error.
static int mrc_read_header_image(FILE *fp, mrc_header_t *h)
{
    memset(h, 0, sizeof *h);
    size_t got = fread(h, 1, MRC_WORD_BYTES, fp);
    if (ferror(fp)) return -1;
    for (int i = 0; i < MRC_NLABELS; ++i) {
        got += fread(h->labels[i], 1, MRC_LABEL_BYTES, fp);
        h->labels[i][MRC_LABEL_BYTES] = '\0';
        if (ferror(fp)) return -1;
    }
    return (int)got;
}

static mrc_header_block_t *mrc_alloc_header_block(int64_t next, const char *path)
{
    const size_t bytes = sizeof(mrc_header_block_t) + (size_t)next + strlen(path) + 1;
    return (mrc_header_block_t *)calloc(1, bytes);
}

static pthread_mutex_t *mrc_new_lock(int *code)
{
    pthread_mutex_t *m = (pthread_mutex_t *)malloc(sizeof *m);
    if (!m) {
        *code = MRC_ENOMEM;
        return NULL;
    }
    if (pthread_mutex_init(m, NULL) != 0) {
        free(m);
        *code = MRC_ERESOURCES;
        return NULL;
    }
    return m;
}

static void mrc_free_lock(pthread_mutex_t *m)
{
    if (!m) return;
    pthread_mutex_destroy(m);
    free(m);
}

// Releases what a failed open or create acquired and stores the code.
static int mrc_fail(mrc_image_t *rec, int code)
{
    if (rec->cache) mrc_cache_destroy(rec->cache, rec->data);
    mrc_free_lock(rec->stats_lock);
    mrc_free_lock(rec->file_lock);
    free(rec->header);
    if (rec->fp) fclose(rec->fp);
    rec->fp = NULL;
    rec->header = NULL;
    rec->stats_lock = rec->file_lock = NULL;
    rec->cache = NULL;
    rec->data = NULL;
    rec->ext_header = NULL;
    rec->path = NULL;
    mrc_set_errno(code);
    return -1;
}

// As mrc_fail, with the system's reason err (none for 0) behind the code.
static int mrc_fail_because(mrc_image_t *rec, int code, const char *path, int err)
{
    mrc_fail(rec, code);
    mrc_set_errdetail(path, err);
    return -1;
}

static bool mrc_step_valid(int step)
{
    return step == 1 || step == 4 || step == 8;
}

int mrc_open(const char *path, mrc_image_t *rec, int axis, int first, int count,
             int *depth, int step)
{
    memset(rec, 0, sizeof *rec);
    rec->fp = fopen(path, "rb");
    if (!rec->fp) {
        mrc_set_errno(MRC_ENOTFOUND);
        mrc_set_errdetail(path, errno);
        return -1;
    }

    mrc_header_t h;
    const int got = mrc_read_header_image(rec->fp, &h);
    if (got < 0) return mrc_fail_because(rec, MRC_EREAD, path, errno);
    // Too short to hold a header: judged before any word is trusted.
    if (got < MRC_WORD_BYTES + MRC_NLABELS * MRC_LABEL_BYTES)
        return mrc_fail(rec, MRC_EDAMAGED);

    if (mrc_words_reversed(&h)) {
        rec->swapped = 1;
        mrc_swap_words(&h);
    }

    const mrc_mode_t *mode = mrc_find_mode(h.mode);
    if (!mode) {
        mrc_fail(rec, MRC_EMODE);
        mrc_set_errdetailf("%s: data mode %d is not read (modes read: %s)", path, (int)h.mode,
                           mrc_modes_read());
        return -1;
    }
    rec->bytes_per_voxel = mode->bytes;

    // Size rule, and words that no real file has: both mean a damaged header,
    // refused before anything is allocated from it.
    if (h.nx < 1 || h.ny < 1 || h.nz < 1 || h.next < 0 || h.next > INT32_MAX - 1024)
        return mrc_fail(rec, MRC_EDAMAGED);
    struct stat st;
    if (stat(path, &st) != 0) return mrc_fail_because(rec, MRC_EDAMAGED, path, errno);
    int64_t voxels = 0, expected = 0;
    if (__builtin_mul_overflow((int64_t)h.nx, (int64_t)h.ny, &voxels) ||
        __builtin_mul_overflow(voxels, (int64_t)h.nz, &voxels) ||
        __builtin_mul_overflow(voxels, (int64_t)rec->bytes_per_voxel, &expected) ||
        __builtin_add_overflow(expected, (int64_t)1024 + h.next, &expected) ||
        expected != (int64_t)st.st_size)
        return mrc_fail(rec, MRC_EDAMAGED);

    mrc_header_block_t *block = mrc_alloc_header_block(h.next, path);
    if (!block) return mrc_fail(rec, MRC_ENOMEM);
    memcpy(&block->words, &h, sizeof h);
    rec->header = &block->words;
    char *tail = (char *)(block + 1);
    if (h.next > 0) {
        rec->ext_header = (unsigned char *)tail;
        size_t n = fread(rec->ext_header, 1, (size_t)h.next, rec->fp);
        if (ferror(rec->fp) || n != (size_t)h.next)
            return mrc_fail_because(rec, MRC_EREAD, path, ferror(rec->fp) ? errno : 0);
    }
    rec->path = tail + h.next;
    strcpy(rec->path, path);

    if (axis != 0 && axis != 1) return mrc_fail(rec, MRC_EPARAM);

    mrc_header_t *hd = rec->header;
    rec->axis = axis;
    rec->writable = 0;
    rec->data_offset = 1024 + hd->next;
    rec->section_bytes = (int64_t)hd->nx * hd->ny * rec->bytes_per_voxel;
    rec->nx = hd->nx;
    if (count == 0) {
        rec->ny = hd->ny;
        rec->nz = hd->nz;
        hd->nystart = 0;
        hd->nzstart = 0;
    } else {
        if (first < 0 || count < 0) return mrc_fail(rec, MRC_EDEPTH);
        if (axis == 0) {
            if ((int64_t)first + count > hd->ny) return mrc_fail(rec, MRC_EDEPTH);
            hd->ny = count;
            hd->nystart = first;
            rec->ny = count;
            rec->nz = hd->nz;
        } else {
            if ((int64_t)first + count > hd->nz) return mrc_fail(rec, MRC_EDEPTH);
            hd->nz = count;
            hd->nzstart = first;
            rec->nz = count;
            rec->ny = hd->ny;
        }
    }

    int code = 0;
    rec->file_lock = mrc_new_lock(&code);
    if (!rec->file_lock) return mrc_fail(rec, code);

    if (!depth) {
        mrc_set_errno(MRC_OK);
        return 0;
    }
    if (!mrc_step_valid(step)) return mrc_fail(rec, MRC_EPARAM);
    const int limit = axis == 0 ? rec->ny : rec->nz;
    const int rows = axis == 0 ? rec->nz : rec->ny;
    const int state = axis == 0 ? MRC_SLOT_EMPTY : MRC_SLOT_LOAD;
    if (mrc_cache_create(rec, depth, limit, rows, step, 0, state) != 0)
        return mrc_fail(rec, mrc_errno());
    mrc_set_errno(MRC_OK);
    return 0;
}

int mrc_set_image_count(mrc_image_t *rec, int n)
{
    if (rec->axis == 1 || n > rec->header->nz || n < 1) {
        mrc_set_errno(MRC_EPARAM);
        return -1;
    }
    if (rec->cache) {
        mrc_cache_t *c = rec->cache;
        float ***buffer = mrc_array_alloc(c->nx, n, c->depth, 8);
        if (!buffer) {
            mrc_set_errno(MRC_ENOMEM);
            return -1;
        }
        c->rows = n;
        mrc_array_free(rec->data);
        rec->data = buffer;
    }
    rec->nz = n;
    mrc_set_errno(MRC_OK);
    return 0;
}

static mrc_output_t *mrc_output_of(const mrc_image_t *rec)
{
    if (rec->writable != 1 || !rec->header) return NULL;
    return ((const mrc_header_block_t *)rec->header)->output;
}

int mrc_replace_mode(const mrc_image_t *rec)
{
    const mrc_output_t *out = mrc_output_of(rec);
    return out ? out->plan : MRC_REPLACE_IN_PLACE;
}

const char *mrc_temp_name(const mrc_image_t *rec, int *dir_fd)
{
    const mrc_output_t *out = mrc_output_of(rec);
    if (!out || !out->temp[0]) return NULL;
    *dir_fd = out->dir_fd;
    return out->temp;
}

int mrc_create(const char *path, mrc_image_t *rec, int nx, int ny, int nz,
               int origin_row, int *depth, int step, int reload)
{
    memset(rec, 0, sizeof *rec);
    // Refused before the file is touched, so a bad call leaves no empty file.
    if (nx < 1 || ny < 1 || nz < 1 || (depth && !mrc_step_valid(step))) {
        mrc_set_errno(MRC_EPARAM);
        return -1;
    }
    const size_t names = strlen(path) + 1;
    mrc_header_block_t *block =
        (mrc_header_block_t *)calloc(1, sizeof(mrc_header_block_t) + sizeof(mrc_output_t) + names);
    if (!block) {
        mrc_set_errno(MRC_ENOMEM);
        return -1;
    }
    mrc_output_t *out = (mrc_output_t *)(block + 1);
    block->output = out;
    int fd = -1;
    int64_t bytes = 0;
    if (__builtin_mul_overflow((int64_t)nx * ny, (int64_t)nz * 4, &bytes) || bytes > INT64_MAX - 1024)
        bytes = INT64_MAX;  // cannot be held anyway; the cache refuses it
    else
        bytes += 1024;
    const int prepared = mrc_output_prepare(path, bytes, out, &fd);
    if (prepared != MRC_OK || !(rec->fp = fdopen(fd, "wb"))) {
        const int error = prepared != MRC_OK ? out->error : errno;
        if (fd >= 0) close(fd);
        mrc_output_release(out);
        mrc_set_errno(prepared != MRC_OK ? prepared : MRC_ECREATE);
        // The reason the user can act on: the system's, with what it means here.
        if (prepared != MRC_OK && out->why && error)
            mrc_set_errdetailf("%s: %s (%s)", path, out->why, strerror(error));
        else if (prepared != MRC_OK && out->why)
            mrc_set_errdetailf("%s: %s", path, out->why);
        else
            mrc_set_errdetail(path, error);
        free(block);
        return -1;
    }
    rec->header = &block->words;
    rec->path = (char *)(out + 1);
    strcpy(rec->path, path);
    auto fail = [&](int code) {
        mrc_output_release(out);
        return mrc_fail(rec, code);
    };

    mrc_header_t *h = rec->header;
    h->nx = nx;
    h->ny = ny;
    h->nz = nz;
    h->mode = 2;
    h->mx = nx;
    h->my = ny;
    h->mz = nz;
    h->alpha = h->beta = h->gamma = 90.0f;
    h->mapc = 1;
    h->mapr = 2;
    h->maps = 3;
    h->amin = FLT_MAX;
    h->amax = -FLT_MAX;  // so an all-negative volume records its true maximum
    h->amean = 0.0f;
    h->ispg = 1;
    h->origin_row = origin_row;
    // What the field's readers need to accept the file as MRC.
    h->reserved1[1] = mrc_format_version;
    memcpy(h->map, "MAP ", 4);
    h->stamp[0] = 0x44;
    h->stamp[1] = 0x44;

    int code = 0;
    rec->stats_lock = mrc_new_lock(&code);
    if (!rec->stats_lock) return fail(code);
    rec->file_lock = mrc_new_lock(&code);
    if (!rec->file_lock) return fail(code);

    rec->nx = nx;
    rec->ny = ny;
    rec->nz = nz;
    rec->axis = 1;
    rec->writable = 1;
    rec->bytes_per_voxel = 4;
    rec->data_offset = 1024;
    rec->section_bytes = (int64_t)nx * 4 * ny;

    if (!depth) {
        mrc_set_errno(MRC_OK);
        return 0;
    }
    reload = reload ? 1 : 0;
    if (mrc_cache_create(rec, depth, nz, ny, step, reload,
                         reload ? MRC_SLOT_LOAD : MRC_SLOT_READY) != 0)
        return fail(mrc_errno());
    mrc_set_errno(MRC_OK);
    return 0;
}

// Reads the header words of a file as stored, for the peeks.
static int mrc_peek_header(const char *path, mrc_header_t *h)
{
    FILE *fp = fopen(path, "r");
    if (!fp) {
        mrc_set_errno(MRC_ENOTFOUND);
        mrc_set_errdetail(path, errno);
        return -1;
    }
    const int got = mrc_read_header_image(fp, h);
    const int err = got < 0 ? errno : 0;
    fclose(fp);
    // A header cut short cannot be read, whatever the stream says.
    if (got < MRC_WORD_BYTES + MRC_NLABELS * MRC_LABEL_BYTES) {
        mrc_set_errno(MRC_EREAD);
        if (err)
            mrc_set_errdetail(path, err);
        else
            mrc_set_errdetailf("%s: the file ends within its header", path);
        return -1;
    }
    return 0;
}

int mrc_read_origin_row(const char *path)
{
    mrc_header_t h;
    if (mrc_peek_header(path, &h) != 0) return -1;
    mrc_set_errno(MRC_OK);
    return h.origin_row;
}

int mrc_read_dims(const char *path, int axis, int *nx_out, int *n_out)
{
    mrc_header_t h;
    if (mrc_peek_header(path, &h) != 0) return -1;
    // The run is sized from these numbers, so they are taken in the file's
    // byte order as mrc_open takes them; the size rule is still not applied.
    if (mrc_words_reversed(&h)) mrc_swap_words(&h);
    *nx_out = h.nx;
    if (axis == 0) {
        *n_out = h.nz;
    } else if (axis == 1) {
        *n_out = h.ny;
    } else {
        mrc_set_errno(MRC_EPARAM);
        return -1;
    }
    mrc_set_errno(MRC_OK);
    return 0;
}

// Takes the next label slot: nlabl + 1, or the tenth once full.
static char *mrc_next_label_slot(mrc_header_t *h)
{
    if (h->nlabl < 0) h->nlabl = 0;
    h->nlabl = h->nlabl >= MRC_NLABELS ? MRC_NLABELS : h->nlabl + 1;
    return h->labels[h->nlabl - 1];
}

void mrc_add_label(mrc_image_t *rec, const char *text)
{
    char *slot = mrc_next_label_slot(rec->header);
    size_t n = strnlen(text, 55);
    memcpy(slot, text, n);
    memset(slot + n, ' ', 55 - n);

    char stamp[64];
    time_t now = time(NULL);
    struct tm local;
    size_t len = 0;
    if (localtime_r(&now, &local)) len = strftime(stamp, sizeof stamp, " %d-%b-%y  %H:%M:%S     ", &local);
    // Exactly 25 characters whatever the locale makes of the month name.
    if (len > 25) len = 25;
    memcpy(slot + 55, stamp, len);
    memset(slot + 55 + len, ' ', 25 - len);
    slot[80] = '\0';
}

int mrc_copy_labels(mrc_image_t *dst, const mrc_image_t *src)
{
    const mrc_header_t *s = src->header;
    if (s->nlabl > MRC_NLABELS) {
        mrc_set_errno(MRC_ELABELS);
        return -1;
    }
    for (int i = 0; i < s->nlabl; ++i) {
        char *slot = mrc_next_label_slot(dst->header);
        memcpy(slot, s->labels[i], MRC_LABEL_BYTES);
        slot[MRC_LABEL_BYTES] = '\0';
    }
    mrc_set_errno(MRC_OK);
    return 0;
}

// Writes the header and the ten label slots of a created file. The last
// sections may still sit in the stream's buffer: they are written and
// tested first, since a seek would write them and drop their failure.
static int mrc_write_header(mrc_image_t *rec)
{
    mrc_header_t *h = rec->header;
    FILE *fp = rec->fp;
    if (fflush(fp) != 0 || fseeko(fp, 0, SEEK_SET) != 0) return -1;
    if (fwrite(h, 1, MRC_WORD_BYTES, fp) != MRC_WORD_BYTES || ferror(fp)) return -1;
    int used = h->nlabl < 0 ? 0 : h->nlabl > MRC_NLABELS ? MRC_NLABELS : h->nlabl;
    for (int i = 0; i < MRC_NLABELS; ++i) {
        if (i >= used) memset(h->labels[i], 0, MRC_LABEL_BYTES);
        if (fwrite(h->labels[i], 1, MRC_LABEL_BYTES, fp) != MRC_LABEL_BYTES || ferror(fp))
            return -1;
    }
    return 0;
}

int mrc_close(mrc_image_t *rec, const mrc_image_t *ref)
{
    int result = 0;
    mrc_set_errno(MRC_OK);
    mrc_output_t *out = mrc_output_of(rec);
    int code = MRC_OK;
    int write_err = 0;
    char path[640] = "";
    if (rec->path) snprintf(path, sizeof path, "%s", rec->path);
    if (rec->writable == 1) {
        mrc_header_block_t *block = (mrc_header_block_t *)rec->header;
        mrc_header_t *h = rec->header;
        if (ref) {
            const mrc_header_t *r = ref->header;
            const float px = r->xlen / (float)r->mx;
            const float py = r->ylen / (float)r->my;
            h->xlen = (float)h->mx * px;
            // File y is the thickness, sampled like detector x; file z
            // runs along the tilt series' rows.
            h->ylen = (float)h->my * px;
            h->zlen = (float)h->mz * py;
        }
        // Mean and standard deviation of the finite voxels; a volume that
        // holds nothing else but NaN and infinities has neither.
        if (block->count > 0) {
            h->amean = (float)block->mean;
            h->rms = (float)sqrt(block->m2 / (double)block->count);
        } else if (block->nonfinite > 0) {
            h->amean = h->rms = NAN;
            // Nothing but NaN (infinities would have set the extremes).
            if (h->amin > h->amax) h->amin = h->amax = NAN;
        } else {
            h->amean = h->rms = 0.0f;
        }
        if (mrc_write_header(rec) != 0 || fflush(rec->fp) != 0) {
            code = MRC_EWRITE;
            write_err = errno;
        }
        mrc_free_lock(rec->stats_lock);
        rec->stats_lock = NULL;
    }
    if (rec->data) {
        mrc_cache_t *c = rec->cache;
        c->share -= 1;
        if (c->share == -1) mrc_cache_destroy(c, rec->data);
    }
    mrc_free_lock(rec->file_lock);
    // A created volume takes its name only now, complete; a failure leaves
    // the old file as it was.
    if (out)
        code = mrc_output_finish(out, rec->fp, code);
    else if (fclose(rec->fp) != 0)
        code = MRC_ECLOSE;
    free(rec->header);
    if (code != MRC_OK) {
        mrc_set_errno(code);
        if (write_err) mrc_set_errdetail(path, write_err);
        result = -1;
    }
    rec->fp = NULL;
    rec->header = NULL;
    rec->file_lock = NULL;
    rec->cache = NULL;
    rec->data = NULL;
    rec->ext_header = NULL;
    rec->path = NULL;
    return result;
}
