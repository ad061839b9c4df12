/* Preloaded into the program (LD_PRELOAD) to make chosen calls fail as a
 * full disk, a broken device or a file system without unnamed files would.
 * KV_FAIL holds one or more comma-separated modes:
 *   fsync    fsync and fdatasync fail with EIO;
 *   header   fwrite at position 0 of a regular file open for writing (the
 *            volume's header: the sections start behind it) fails with EIO;
 *   close    fclose of a regular file open for writing closes it, then
 *            reports EIO;
 *   tmpfile  open and openat with O_TMPFILE fail with EOPNOTSUPP;
 *   rename   rename, renameat and renameat2 fail with EBUSY, as over a
 *            mount point.
 * glibc calls its own functions internally without the PLT, so the stdio
 * functions themselves are replaced, not write() or close(). */
#undef _FORTIFY_SOURCE
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* stdio.h makes it a macro when optimising. */
#undef fwrite_unlocked

static int failing(const char *mode)
{
    const char *modes = getenv("KV_FAIL");
    const size_t n = strlen(mode);
    while (modes && *modes) {
        if (strncmp(modes, mode, n) == 0 && (modes[n] == ',' || modes[n] == '\0'))
            return 1;
        modes = strchr(modes, ',');
        if (modes)
            modes++;
    }
    return 0;
}

/* The next definition of name: libc's, or a sanitizer's wrapper of it. */
static void *next(void **cache, const char *name)
{
    void *f = __atomic_load_n(cache, __ATOMIC_ACQUIRE);
    if (!f) {
        f = dlsym(RTLD_NEXT, name);
        if (!f)
            abort();
        __atomic_store_n(cache, f, __ATOMIC_RELEASE);
    }
    return f;
}

#define NEXT(type, name)            \
    static void *name##_cache;      \
    __typeof__(type) real = (type)next(&name##_cache, #name)

static int writable_regular_file(FILE *stream)
{
    const int fd = fileno(stream);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
}

/* Sets errno and returns -1, as the failing call does. */
static int fail(int error)
{
    errno = error;
    return -1;
}

int fsync(int fd)
{
    NEXT(int (*)(int), fsync);
    return failing("fsync") ? fail(EIO) : real(fd);
}

int fdatasync(int fd)
{
    NEXT(int (*)(int), fdatasync);
    return failing("fsync") ? fail(EIO) : real(fd);
}

/* True (errno set) when the write is the header's and must fail. */
static int header_write(FILE *stream)
{
    return failing("header") && writable_regular_file(stream) && ftello(stream) == 0 && fail(EIO);
}

size_t fwrite(const void *data, size_t size, size_t count, FILE *stream)
{
    NEXT(size_t (*)(const void *, size_t, size_t, FILE *), fwrite);
    return header_write(stream) ? 0 : real(data, size, count, stream);
}

size_t fwrite_unlocked(const void *data, size_t size, size_t count, FILE *stream)
{
    NEXT(size_t (*)(const void *, size_t, size_t, FILE *), fwrite_unlocked);
    return header_write(stream) ? 0 : real(data, size, count, stream);
}

int fclose(FILE *stream)
{
    NEXT(int (*)(FILE *), fclose);
    if (failing("close") && writable_regular_file(stream)) {
        real(stream);
        return fail(EIO);
    }
    return real(stream);
}

/* The mode argument is there only with O_CREAT or O_TMPFILE. */
static int needs_mode(int flags)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
}

static int refused_tmpfile(int flags)
{
    return (flags & O_TMPFILE) == O_TMPFILE && failing("tmpfile") && fail(EOPNOTSUPP);
}

#define OPEN_MODE(flags, mode)              \
    mode_t mode = 0;                        \
    if (needs_mode(flags)) {                \
        va_list args;                       \
        va_start(args, flags);              \
        mode = (mode_t)va_arg(args, int);   \
        va_end(args);                       \
    }

int open(const char *path, int flags, ...)
{
    NEXT(int (*)(const char *, int, ...), open);
    OPEN_MODE(flags, mode);
    return refused_tmpfile(flags) ? -1 : real(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    NEXT(int (*)(const char *, int, ...), open64);
    OPEN_MODE(flags, mode);
    return refused_tmpfile(flags) ? -1 : real(path, flags, mode);
}

int openat(int dir, const char *path, int flags, ...)
{
    NEXT(int (*)(int, const char *, int, ...), openat);
    OPEN_MODE(flags, mode);
    return refused_tmpfile(flags) ? -1 : real(dir, path, flags, mode);
}

int openat64(int dir, const char *path, int flags, ...)
{
    NEXT(int (*)(int, const char *, int, ...), openat64);
    OPEN_MODE(flags, mode);
    return refused_tmpfile(flags) ? -1 : real(dir, path, flags, mode);
}

int rename(const char *from, const char *to)
{
    NEXT(int (*)(const char *, const char *), rename);
    return failing("rename") ? fail(EBUSY) : real(from, to);
}

int renameat(int from_dir, const char *from, int to_dir, const char *to)
{
    NEXT(int (*)(int, const char *, int, const char *), renameat);
    return failing("rename") ? fail(EBUSY) : real(from_dir, from, to_dir, to);
}

int renameat2(int from_dir, const char *from, int to_dir, const char *to, unsigned flags)
{
    NEXT(int (*)(int, const char *, int, const char *, unsigned), renameat2);
    return failing("rename") ? fail(EBUSY) : real(from_dir, from, to_dir, to, flags);
}
