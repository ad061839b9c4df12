/* Preloaded into the program (LD_PRELOAD) to make chosen calls fail as a
 * full disk, a broken device, a file system without unnamed files or an
 * append-only directory would, or to stop the program at a chosen call.
 * KV_FAIL holds one or more comma-separated modes:
 *   fsync       fsync and fdatasync fail with EIO;
 *   fsync-named fsync and fdatasync of a regular file with a name (one or
 *               more links; an unnamed O_TMPFILE file has none) fail with EIO;
 *   dirsync     fsync and fdatasync of a directory fail with EIO;
 *   header      fwrite at position 0 of a regular file open for writing (the
 *               volume's header: the sections start behind it) fails with EIO;
 *   flush       fflush of a regular file open for writing does nothing and
 *               reports EIO;
 *   close       fclose of a regular file open for writing closes it, then
 *               reports EIO;
 *   tmpfile     open and openat with O_TMPFILE fail with EOPNOTSUPP;
 *   rename      rename, renameat and renameat2 fail with EBUSY, as over a
 *               mount point;
 *   unlink      unlink and unlinkat fail with EPERM;
 *   appenddir   every directory looks append-only: FS_IOC_GETFLAGS reports
 *               FS_APPEND_FL (alone where the real call fails), statx
 *               STATX_ATTR_APPEND, and renames and unlinks fail with EPERM;
 *   copyrange   copy_file_range fails with EXDEV, as across file systems;
 *   statvfs=BLOCKS:AVAIL:FRSIZE
 *               statvfs and fstatvfs report f_blocks BLOCKS, f_bfree and
 *               f_bavail AVAIL, f_frsize and f_bsize FRSIZE, the rest real;
 *   xattr-gone  removexattr, lremovexattr and fremovexattr remove the
 *               attribute, then report ENODATA (as XFS does for an
 *               inherited ACL);
 *   fallocate=ERROR
 *               fallocate fails with ERROR: ENOSPC (a full disk), EDQUOT (a
 *               quota), EFBIG (a file-size limit) or EOPNOTSUPP (a file
 *               system that cannot reserve);
 *   fallocate-unnamed=ERROR
 *               the same for an unnamed file only (no links: one made with
 *               O_TMPFILE), so the old file beside it can still reserve;
 *   chmod-deny  fchmod fails with EPERM, as on a file system that cannot
 *               store a mode (vfat, some FUSE mounts);
 *   write=ERR@N the Nth fwrite (default first) of a regular file open for
 *               writing, behind its header, fails with ERR (ENOSPC, EDQUOT,
 *               EFBIG or EIO), writing nothing, as on a full disk or quota;
 *   tail=ERR    the first time buffered output of a regular file open for
 *               writing is flushed by fflush, rewind or a seek to its start,
 *               the buffered bytes are lost to ERR: fflush and the seek
 *               report it, rewind (which reports nothing) only loses them;
 *   pread=ERR@N the Nth preadv (default first) fails with ERR, as a broken
 *               disk or network file system makes it;
 *   delay-pread=MS, delay-write=MS
 *               every preadv, or every fwrite behind the header of a regular
 *               file open for writing, takes MS milliseconds more, as on a
 *               slow disk;
 *   stop=CALL or stop=CALL@N
 *               the process stops itself (SIGSTOP) just before its Nth
 *               (default first) call of CALL: fsync (fsync and fdatasync
 *               together), fchmod, fchown, linkat, renameat (rename,
 *               renameat and renameat2), copy_file_range, ftruncate,
 *               unlinkat (unlink and unlinkat). Several may be given.
 * glibc calls its own functions internally without the PLT, so the stdio
 * functions themselves are replaced, not write() or close(). */
#undef _FORTIFY_SOURCE
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <time.h>
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

/* Calls a stop=CALL mode can name, with the count of calls made so far. */
enum call_t { CALL_FSYNC, CALL_FCHMOD, CALL_FCHOWN, CALL_LINKAT, CALL_RENAMEAT,
              CALL_COPY_FILE_RANGE, CALL_FTRUNCATE, CALL_UNLINKAT, CALL_COUNT };
static const char *const call_names[CALL_COUNT] = {
    "fsync", "fchmod", "fchown", "linkat", "renameat", "copy_file_range", "ftruncate", "unlinkat",
};
static unsigned long calls_made[CALL_COUNT];

/* Stops the whole process, this thread at once, when this call of c is the
 * one a stop mode names; it goes on where it stopped at SIGCONT. */
static void stop_before(enum call_t c)
{
    const unsigned long nth = __atomic_add_fetch(&calls_made[c], 1, __ATOMIC_SEQ_CST);
    const char *modes = getenv("KV_FAIL");
    const size_t n = strlen(call_names[c]);
    for (const char *m = modes ? strstr(modes, "stop=") : NULL; m; m = strstr(m + 1, "stop=")) {
        if ((m != modes && m[-1] != ',') || strncmp(m + 5, call_names[c], n) != 0)
            continue;
        const char *end = m + 5 + n;
        unsigned long wanted = 1;
        if (*end == '@')
            wanted = strtoul(end + 1, (char **)&end, 10);
        if ((*end == ',' || *end == '\0') && wanted == nth)
            syscall(SYS_tgkill, getpid(), syscall(SYS_gettid), SIGSTOP);
    }
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

static int is_directory(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

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

/* True (errno set) when this sync of fd must fail. */
static int failing_sync(int fd)
{
    struct stat st;
    if (failing("fsync"))
        return fail(EIO);
    if ((failing("dirsync") || failing("fsync-named")) && fstat(fd, &st) == 0) {
        if (failing("dirsync") && S_ISDIR(st.st_mode))
            return fail(EIO);
        if (failing("fsync-named") && S_ISREG(st.st_mode) && st.st_nlink > 0)
            return fail(EIO);
    }
    return 0;
}

int fsync(int fd)
{
    NEXT(int (*)(int), fsync);
    stop_before(CALL_FSYNC);
    return failing_sync(fd) ? -1 : real(fd);
}

int fdatasync(int fd)
{
    NEXT(int (*)(int), fdatasync);
    stop_before(CALL_FSYNC);
    return failing_sync(fd) ? -1 : real(fd);
}

/* The error named by the value of mode NAME=ERR[@N] and N (default 1);
 * 0 when the mode is not given. */
static int mode_error(const char *name, unsigned long *nth)
{
    static const struct { const char *name; int error; } errors[] = {
        {"ENOSPC", ENOSPC}, {"EDQUOT", EDQUOT}, {"EFBIG", EFBIG}, {"EIO", EIO},
    };
    const char *modes = getenv("KV_FAIL");
    const size_t n = strlen(name);
    for (const char *m = modes ? strstr(modes, name) : NULL; m; m = strstr(m + 1, name)) {
        if ((m != modes && m[-1] != ',') || m[n] != '=')
            continue;
        const char *value = m + n + 1;
        for (size_t i = 0; i < sizeof errors / sizeof errors[0]; i++) {
            const size_t len = strlen(errors[i].name);
            if (strncmp(value, errors[i].name, len) != 0)
                continue;
            *nth = value[len] == '@' ? strtoul(value + len + 1, NULL, 10) : 1;
            return errors[i].error;
        }
    }
    return 0;
}

/* The milliseconds of mode NAME=MS, 0 when it is not given. */
static unsigned long delay_of(const char *name)
{
    const char *modes = getenv("KV_FAIL");
    const size_t n = strlen(name);
    for (const char *m = modes ? strstr(modes, name) : NULL; m; m = strstr(m + 1, name))
        if ((m == modes || m[-1] == ',') && m[n] == '=')
            return strtoul(m + n + 1, NULL, 10);
    return 0;
}

static void sleep_ms(unsigned long ms)
{
    struct timespec t = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

/* True (errno set) when the write is the header's and must fail. */
static int header_write(FILE *stream)
{
    return failing("header") && writable_regular_file(stream) && ftello(stream) == 0 && fail(EIO);
}

/* True (errno set) when this write of data behind the header must fail. */
static int data_write_fails(FILE *stream)
{
    static unsigned long writes;
    unsigned long nth = 0;
    const int error = mode_error("write", &nth);
    if (!error || !writable_regular_file(stream) || ftello(stream) <= 0)
        return 0;
    return __atomic_add_fetch(&writes, 1, __ATOMIC_SEQ_CST) == nth && fail(error);
}

size_t fwrite(const void *data, size_t size, size_t count, FILE *stream)
{
    NEXT(size_t (*)(const void *, size_t, size_t, FILE *), fwrite);
    if (header_write(stream) || data_write_fails(stream))
        return 0;
    const unsigned long ms = delay_of("delay-write");
    if (ms && writable_regular_file(stream) && ftello(stream) > 0)
        sleep_ms(ms);
    return real(data, size, count, stream);
}

size_t fwrite_unlocked(const void *data, size_t size, size_t count, FILE *stream)
{
    NEXT(size_t (*)(const void *, size_t, size_t, FILE *), fwrite_unlocked);
    return header_write(stream) || data_write_fails(stream) ? 0 : real(data, size, count, stream);
}

/* True (errno set) when the stream's buffered output is to be lost: it is
 * dropped, once per process. */
static int tail_lost(FILE *stream)
{
    static int lost;
    unsigned long nth = 0;
    const int error = mode_error("tail", &nth);
    if (!error || !stream || __fpending(stream) == 0 || !writable_regular_file(stream) ||
        __atomic_exchange_n(&lost, 1, __ATOMIC_SEQ_CST))
        return 0;
    __fpurge(stream);
    return fail(error);
}

int fflush(FILE *stream)
{
    NEXT(int (*)(FILE *), fflush);
    if (stream && failing("flush") && writable_regular_file(stream))
        return fail(EIO);
    if (tail_lost(stream))
        return EOF;
    return real(stream);
}

void rewind(FILE *stream)
{
    NEXT(void (*)(FILE *), rewind);
    const int saved = errno;
    tail_lost(stream);
    errno = saved;
    real(stream);
}

int fseeko(FILE *stream, off_t offset, int whence)
{
    NEXT(int (*)(FILE *, off_t, int), fseeko);
    if (offset == 0 && whence == SEEK_SET && tail_lost(stream))
        return -1;
    return real(stream, offset, whence);
}

int fseeko64(FILE *stream, off64_t offset, int whence)
{
    NEXT(int (*)(FILE *, off64_t, int), fseeko64);
    if (offset == 0 && whence == SEEK_SET && tail_lost(stream))
        return -1;
    return real(stream, offset, whence);
}

ssize_t preadv(int fd, const struct iovec *iov, int count, off_t offset)
{
    NEXT(ssize_t (*)(int, const struct iovec *, int, off_t), preadv);
    static unsigned long reads;
    unsigned long nth = 0;
    const int error = mode_error("pread", &nth);
    if (error && __atomic_add_fetch(&reads, 1, __ATOMIC_SEQ_CST) == nth)
        return fail(error);
    const unsigned long ms = delay_of("delay-pread");
    if (ms)
        sleep_ms(ms);
    return real(fd, iov, count, offset);
}

ssize_t preadv64(int fd, const struct iovec *iov, int count, off64_t offset)
{
    NEXT(ssize_t (*)(int, const struct iovec *, int, off64_t), preadv64);
    static unsigned long reads;
    unsigned long nth = 0;
    const int error = mode_error("pread", &nth);
    if (error && __atomic_add_fetch(&reads, 1, __ATOMIC_SEQ_CST) == nth)
        return fail(error);
    return real(fd, iov, count, offset);
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

/* True (errno set) when a rename must fail. */
static int refused_rename(void)
{
    stop_before(CALL_RENAMEAT);
    return (failing("rename") && fail(EBUSY)) || (failing("appenddir") && fail(EPERM));
}

int rename(const char *from, const char *to)
{
    NEXT(int (*)(const char *, const char *), rename);
    return refused_rename() ? -1 : real(from, to);
}

int renameat(int from_dir, const char *from, int to_dir, const char *to)
{
    NEXT(int (*)(int, const char *, int, const char *), renameat);
    return refused_rename() ? -1 : real(from_dir, from, to_dir, to);
}

int renameat2(int from_dir, const char *from, int to_dir, const char *to, unsigned flags)
{
    NEXT(int (*)(int, const char *, int, const char *, unsigned), renameat2);
    return refused_rename() ? -1 : real(from_dir, from, to_dir, to, flags);
}

/* True (errno set) when an unlink must fail. */
static int refused_unlink(void)
{
    stop_before(CALL_UNLINKAT);
    return (failing("unlink") || failing("appenddir")) && fail(EPERM);
}

int unlink(const char *path)
{
    NEXT(int (*)(const char *), unlink);
    return refused_unlink() ? -1 : real(path);
}

int unlinkat(int dir, const char *path, int flags)
{
    NEXT(int (*)(int, const char *, int), unlinkat);
    return refused_unlink() ? -1 : real(dir, path, flags);
}

int linkat(int from_dir, const char *from, int to_dir, const char *to, int flags)
{
    NEXT(int (*)(int, const char *, int, const char *, int), linkat);
    stop_before(CALL_LINKAT);
    return real(from_dir, from, to_dir, to, flags);
}

int fchmod(int fd, mode_t mode)
{
    NEXT(int (*)(int, mode_t), fchmod);
    stop_before(CALL_FCHMOD);
    return failing("chmod-deny") ? fail(EPERM) : real(fd, mode);
}

/* The errno the fallocate mode names for fd, or 0. */
static int fallocate_error(int fd)
{
    struct stat st;
    const int unnamed = fstat(fd, &st) == 0 && st.st_nlink == 0;
    static const struct {
        const char *name;
        int error;
    } errors[] = {{"ENOSPC", ENOSPC}, {"EDQUOT", EDQUOT}, {"EFBIG", EFBIG}, {"EOPNOTSUPP", EOPNOTSUPP}};
    char mode[32];
    for (unsigned i = 0; i < sizeof errors / sizeof errors[0]; i++) {
        snprintf(mode, sizeof mode, "fallocate=%s", errors[i].name);
        if (failing(mode))
            return errors[i].error;
        snprintf(mode, sizeof mode, "fallocate-unnamed=%s", errors[i].name);
        if (unnamed && failing(mode))
            return errors[i].error;
    }
    return 0;
}

int fallocate(int fd, int mode, off_t at, off_t length)
{
    NEXT(int (*)(int, int, off_t, off_t), fallocate);
    const int error = fallocate_error(fd);
    return error ? fail(error) : real(fd, mode, at, length);
}

int fallocate64(int fd, int mode, off64_t at, off64_t length)
{
    NEXT(int (*)(int, int, off64_t, off64_t), fallocate64);
    const int error = fallocate_error(fd);
    return error ? fail(error) : real(fd, mode, at, length);
}

int fchown(int fd, uid_t uid, gid_t gid)
{
    NEXT(int (*)(int, uid_t, gid_t), fchown);
    stop_before(CALL_FCHOWN);
    return real(fd, uid, gid);
}

int ftruncate(int fd, off_t length)
{
    NEXT(int (*)(int, off_t), ftruncate);
    stop_before(CALL_FTRUNCATE);
    return real(fd, length);
}

int ftruncate64(int fd, off64_t length)
{
    NEXT(int (*)(int, off64_t), ftruncate64);
    stop_before(CALL_FTRUNCATE);
    return real(fd, length);
}

ssize_t copy_file_range(int in, off64_t *in_at, int out, off64_t *out_at, size_t length,
                        unsigned flags)
{
    NEXT(ssize_t (*)(int, off64_t *, int, off64_t *, size_t, unsigned), copy_file_range);
    stop_before(CALL_COPY_FILE_RANGE);
    return failing("copyrange") ? fail(EXDEV) : real(in, in_at, out, out_at, length, flags);
}

/* Only the request and its pointer argument matter here. */
int ioctl(int fd, unsigned long request, ...)
{
    NEXT(int (*)(int, unsigned long, ...), ioctl);
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    if (request != FS_IOC_GETFLAGS || !failing("appenddir") || !is_directory(fd))
        return real(fd, request, arg);
    int *flags = (int *)arg;
    if (real(fd, request, arg) != 0)
        *flags = 0;
    *flags |= FS_APPEND_FL;
    return 0;
}

int statx(int dir, const char *path, int flags, unsigned mask, struct statx *buf)
{
    NEXT(int (*)(int, const char *, int, unsigned, struct statx *), statx);
    const int result = real(dir, path, flags, mask, buf);
    if (result == 0 && failing("appenddir") && S_ISDIR(buf->stx_mode)) {
        buf->stx_attributes |= STATX_ATTR_APPEND;
        buf->stx_attributes_mask |= STATX_ATTR_APPEND;
    }
    return result;
}

/* The statvfs mode's figures put into buf; they may be 0. */
static void fake_statvfs(struct statvfs *buf)
{
    const char *modes = getenv("KV_FAIL");
    for (const char *m = modes ? strstr(modes, "statvfs=") : NULL; m; m = strstr(m + 1, "statvfs=")) {
        if (m != modes && m[-1] != ',')
            continue;
        char *end;
        const unsigned long long blocks = strtoull(m + 8, &end, 10);
        const unsigned long long avail = *end == ':' ? strtoull(end + 1, &end, 10) : 0;
        const unsigned long long frsize = *end == ':' ? strtoull(end + 1, &end, 10) : 0;
        buf->f_blocks = blocks;
        buf->f_bfree = buf->f_bavail = avail;
        buf->f_frsize = buf->f_bsize = frsize;
        return;
    }
}

int statvfs(const char *path, struct statvfs *buf)
{
    NEXT(int (*)(const char *, struct statvfs *), statvfs);
    const int result = real(path, buf);
    if (result == 0)
        fake_statvfs(buf);
    return result;
}

int fstatvfs(int fd, struct statvfs *buf)
{
    NEXT(int (*)(int, struct statvfs *), fstatvfs);
    const int result = real(fd, buf);
    if (result == 0)
        fake_statvfs(buf);
    return result;
}

/* The same layout on 64-bit systems. */
int statvfs64(const char *path, struct statvfs64 *buf)
{
    NEXT(int (*)(const char *, struct statvfs64 *), statvfs64);
    const int result = real(path, buf);
    if (result == 0)
        fake_statvfs((struct statvfs *)buf);
    return result;
}

int fstatvfs64(int fd, struct statvfs64 *buf)
{
    NEXT(int (*)(int, struct statvfs64 *), fstatvfs64);
    const int result = real(fd, buf);
    if (result == 0)
        fake_statvfs((struct statvfs *)buf);
    return result;
}

/* True (errno set) when a removal that succeeded must report ENODATA. */
static int gone(int result)
{
    return result == 0 && failing("xattr-gone") && fail(ENODATA);
}

int removexattr(const char *path, const char *name)
{
    NEXT(int (*)(const char *, const char *), removexattr);
    const int result = real(path, name);
    return gone(result) ? -1 : result;
}

int lremovexattr(const char *path, const char *name)
{
    NEXT(int (*)(const char *, const char *), lremovexattr);
    const int result = real(path, name);
    return gone(result) ? -1 : result;
}

int fremovexattr(int fd, const char *name)
{
    NEXT(int (*)(int, const char *), fremovexattr);
    const int result = real(fd, name);
    return gone(result) ? -1 : result;
}
