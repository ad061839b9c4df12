// Per-thread error codes of libMRC and their messages.
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <errno.h>

#include "mrc/mrc_internal.h"

const char *const mrc_error_messages[MRC_NUM_ERRORS] = {
    "Success",
    "Cannot find image",
    "Cannot create image",
    "Cannot close image",
    "Cannot read image",
    "Cannot write image",
    "File seems damaged (is it MRC?)",
    "File is read only",
    "Out of memory",
    "Out of resources",
    "Invalid image data type",
    "Depth out of bounds",
    "Invalid number of labels",
    "Bad function parameter",
};

// The code is held as an integer inside the pointer-sized value, so a thread
// that never stored one reads NULL, that is 0.
static pthread_key_t mrc_error_key;

int mrc_init(void)
{
    return pthread_key_create(&mrc_error_key, NULL) == 0 ? 0 : -1;
}

int mrc_finish(void)
{
    return pthread_key_delete(mrc_error_key);
}

// The reasons are text, not codes, so they live beside the key: one record
// per thread, written by the thread that met the failure and printed by it.
// A failed close may need both parts: the system's reason behind the code
// (a header write refused) and what that left of the volume's placing.
struct mrc_detail_t {
    char reason[640];  // behind the code mrc_errno holds; mrc_perror prints it
    char close[768];   // the last close of a created file (mrc_close_detail)
    int placed;        // that close had given the volume its place
};
static thread_local mrc_detail_t mrc_detail;

// Every reason is written here: set (at 0) or appended (at the text's end).
static void mrc_detail_vprint(char *text, size_t size, bool append, const char *fmt, va_list ap)
{
    const size_t at = append ? strlen(text) : 0;
    vsnprintf(text + at, size - at, fmt, ap);
}

static void mrc_detail_print(char *text, size_t size, bool append, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
static void mrc_detail_print(char *text, size_t size, bool append, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    mrc_detail_vprint(text, size, append, fmt, ap);
    va_end(ap);
}

void mrc_set_errno(int code)
{
    const int saved = errno;
    pthread_setspecific(mrc_error_key, (void *)(intptr_t)code);
    mrc_detail.reason[0] = '\0';
    errno = saved;
}

void mrc_set_errdetail(const char *file, int err)
{
    if (err == 0) return;
    mrc_detail_print(mrc_detail.reason, sizeof mrc_detail.reason, false, "%s: %s", file ? file : "",
                     strerror(err));
}

void mrc_set_errdetailf(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    mrc_detail_vprint(mrc_detail.reason, sizeof mrc_detail.reason, false, fmt, ap);
    va_end(ap);
}

const char *mrc_errdetail(void)
{
    return mrc_detail.reason;
}

void mrc_reset_closedetail(void)
{
    mrc_detail.close[0] = '\0';
    mrc_detail.placed = 0;
}

void mrc_set_closedetailf(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    mrc_detail_vprint(mrc_detail.close, sizeof mrc_detail.close, false, fmt, ap);
    va_end(ap);
}

void mrc_add_closedetailf(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    mrc_detail_vprint(mrc_detail.close, sizeof mrc_detail.close, true, fmt, ap);
    va_end(ap);
}

void mrc_set_close_placed(void)
{
    mrc_detail.placed = 1;
}

const char *mrc_close_detail(void)
{
    return mrc_detail.close;
}

int mrc_close_placed(void)
{
    return mrc_detail.placed;
}

int mrc_errno(void)
{
    return (int)(intptr_t)pthread_getspecific(mrc_error_key);
}

void mrc_perror(const char *prefix)
{
    int code = mrc_errno();
    if (code < 0 || code >= MRC_NUM_ERRORS) code = MRC_EPARAM;
    if (prefix) fprintf(stderr, "%s: ", prefix);
    fprintf(stderr, "%s.\n", mrc_error_messages[code]);
    if (code != MRC_OK && mrc_detail.reason[0]) fprintf(stderr, "%s.\n", mrc_detail.reason);
}
