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

// The reason is text, not a code, so it lives beside the key: one buffer
// per thread, written by the thread that met the failure and printed by it.
static thread_local char mrc_error_detail[640];

void mrc_set_errno(int code)
{
    const int saved = errno;
    pthread_setspecific(mrc_error_key, (void *)(intptr_t)code);
    mrc_error_detail[0] = '\0';
    errno = saved;
}

void mrc_set_errdetail(const char *file, int err)
{
    if (err == 0) return;
    snprintf(mrc_error_detail, sizeof mrc_error_detail, "%s: %s", file ? file : "", strerror(err));
}

void mrc_set_errdetailf(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(mrc_error_detail, sizeof mrc_error_detail, fmt, ap);
    va_end(ap);
}

const char *mrc_errdetail(void)
{
    return mrc_error_detail;
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
    if (code != MRC_OK && mrc_error_detail[0]) fprintf(stderr, "%s.\n", mrc_error_detail);
}
