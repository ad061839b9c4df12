// How a created volume reaches its name: beside the file the name leads to,
// as an unnamed file that is linked in over it only once complete, so that
// whatever stood there survives every failure and every death of the
// process, and keeps the mode, owner, group, ACLs and attributes the user
// gave it. The rare files that cannot be replaced so are written beside and
// copied into at the close, or, with no room or no right to write beside
// them, written in place.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mrc/mrc_internal.h"

#ifndef STATX_MNT_ID
#define STATX_MNT_ID 0x00001000U
#endif

// Longest symbolic-link chain followed, as the kernel allows.
enum { MRC_LINK_HOPS = 40 };

static void mrc_output_reset(mrc_output_t *out)
{
    out->plan = MRC_REPLACE_IN_PLACE;
    out->dir_fd = -1;
    out->target_fd = -1;
    out->tmpfile = 0;
    out->name[0] = '\0';
    out->temp[0] = '\0';
}

static void close_fd(int *fd)
{
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

// A name for a file the process already holds open: opening it means that
// open file (a descriptor, or a standard stream), never a name in a directory.
static bool mrc_descriptor_path(const char *path)
{
    static const char *const fixed[] = {"/dev/fd/", "/dev/stdin", "/dev/stdout", "/dev/stderr",
                                        "/proc/self/fd/", "/proc/thread-self/fd/"};
    for (const char *p : fixed)
        if (strncmp(path, p, strlen(p)) == 0) return true;
    if (strncmp(path, "/proc/", 6) != 0) return false;
    const char *s = path + 6;
    if (*s < '0' || *s > '9') return false;
    while (*s >= '0' && *s <= '9') ++s;
    return strncmp(s, "/fd/", 4) == 0 || strncmp(s, "/task/", 6) == 0;
}

// Splits a path into the directory opened as a descriptor (relative to at)
// and its last component.
static int mrc_open_parent(int at, const std::string &path, std::string *base)
{
    const size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    *base = slash == std::string::npos ? path : path.substr(slash + 1);
    return openat(at, dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Follows path's chain of symbolic links to the name a create would make or
// open: its directory (out->dir_fd) and name in it (out->name). Returns 1
// when something stands at that name (*st its status, not followed), 0 when
// nothing does, -1 on failure with errno set.
static int mrc_resolve_name(const char *path, mrc_output_t *out, struct stat *st)
{
    std::string base;
    int dir = mrc_open_parent(AT_FDCWD, path, &base);
    for (int hop = 0; dir >= 0; ++hop) {
        if (base.empty() || base == "." || base == ".." || base.size() > NAME_MAX) {
            errno = EISDIR;
            break;
        }
        if (fstatat(dir, base.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) break;
            out->dir_fd = dir;
            memcpy(out->name, base.c_str(), base.size() + 1);
            return 0;
        }
        if (!S_ISLNK(st->st_mode)) {
            out->dir_fd = dir;
            memcpy(out->name, base.c_str(), base.size() + 1);
            return 1;
        }
        if (hop == MRC_LINK_HOPS) {
            errno = ELOOP;
            break;
        }
        std::string text(PATH_MAX, '\0');
        const ssize_t n = readlinkat(dir, base.c_str(), &text[0], text.size());
        if (n <= 0 || (size_t)n >= text.size()) break;
        text.resize((size_t)n);
        const int next = mrc_open_parent(text[0] == '/' ? AT_FDCWD : dir, text, &base);
        close(dir);
        dir = next;
    }
    const int saved = errno;
    if (dir >= 0) close(dir);
    errno = saved;
    return -1;
}

// The mount a descriptor lies on, or 0 when the kernel does not tell.
static uint64_t mrc_mount_id(int fd)
{
    struct statx sx;
    if (statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &sx) != 0 || !(sx.stx_mask & STATX_MNT_ID))
        return 0;
    return sx.stx_mnt_id;
}

static std::string mrc_fd_path(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

// Names and values of a file's extended attributes (POSIX ACLs among them).
static bool mrc_list_xattrs(const std::string &path, int fd, std::vector<std::string> *names)
{
    names->clear();
    for (int attempt = 0; attempt < 4; ++attempt) {
        ssize_t n = fd >= 0 ? flistxattr(fd, NULL, 0) : listxattr(path.c_str(), NULL, 0);
        if (n < 0) return errno == ENOTSUP;  // nothing to keep where there are none
        std::string buf((size_t)n, '\0');
        n = fd >= 0 ? flistxattr(fd, &buf[0], buf.size()) : listxattr(path.c_str(), &buf[0], buf.size());
        if (n < 0 && errno == ERANGE) continue;
        if (n < 0) return false;
        for (size_t i = 0; i < (size_t)n;) {
            const size_t len = strlen(&buf[i]);
            if (len) names->push_back(buf.substr(i, len));
            i += len + 1;
        }
        return true;
    }
    return false;
}

static bool mrc_get_xattr(const std::string &path, int fd, const std::string &name, std::string *value)
{
    for (int attempt = 0; attempt < 4; ++attempt) {
        ssize_t n = fd >= 0 ? fgetxattr(fd, name.c_str(), NULL, 0) : getxattr(path.c_str(), name.c_str(), NULL, 0);
        if (n < 0) return false;
        value->assign((size_t)n, '\0');
        n = fd >= 0 ? fgetxattr(fd, name.c_str(), &(*value)[0], value->size())
                    : getxattr(path.c_str(), name.c_str(), &(*value)[0], value->size());
        if (n < 0 && errno == ERANGE) continue;
        if (n < 0) return false;
        value->resize((size_t)n);
        return true;
    }
    return false;
}

// Gives the new file the owner, group, attributes, ACLs and mode of the one
// it replaces, before any data goes in. False when any of it cannot be given.
static bool mrc_copy_identity(int tmp, const char *path, int target, const struct stat *st)
{
    struct stat ts;
    if (fstat(tmp, &ts) != 0) return false;
    if ((ts.st_uid != st->st_uid || ts.st_gid != st->st_gid) && fchown(tmp, st->st_uid, st->st_gid) != 0)
        return false;
    // The old file is reached through its descriptor's name, so even one the
    // user may only write (not read) is described.
    std::string source = mrc_fd_path(target);
    if (access(source.c_str(), F_OK) != 0) source = path;
    std::vector<std::string> keep, have;
    if (!mrc_list_xattrs(source, -1, &keep) || !mrc_list_xattrs(std::string(), tmp, &have)) return false;
    for (const std::string &name : keep) {
        std::string value, present;
        if (!mrc_get_xattr(source, -1, name, &value)) return false;
        if (mrc_get_xattr(std::string(), tmp, name, &present) && present == value) continue;
        if (fsetxattr(tmp, name.c_str(), value.data(), value.size(), 0) != 0) return false;
    }
    // What the new file got from its directory (a default ACL) but the old
    // one did not have.
    for (const std::string &name : have) {
        bool kept = false;
        for (const std::string &k : keep) kept = kept || k == name;
        if (!kept && fremovexattr(tmp, name.c_str()) != 0) return false;
    }
    // Last: a change of owner clears the set-id bits, and the ACL's mask
    // follows the mode's group bits.
    return fchmod(tmp, st->st_mode & 07777) == 0;
}

// A hidden name beside the output for a volume being put in place.
static void mrc_hidden_name(const mrc_output_t *out, char *name, size_t size)
{
    static unsigned counter = 0;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const unsigned n = __atomic_add_fetch(&counter, 1, __ATOMIC_RELAXED);
    // A readable part of the output's name, within NAME_MAX.
    snprintf(name, size, ".%.200s.part-%d-%x%05lx", out->name, (int)getpid(), n,
             (long)ts.tv_nsec & 0xFFFFF);
}

// Makes the file the volume is written into beside the output: unnamed
// where the file system allows it, else under a hidden name. -1 with errno.
static int mrc_make_beside(mrc_output_t *out)
{
    int fd = openat(out->dir_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd >= 0) {
        // It gets its name through the process's descriptor table.
        if (access(mrc_fd_path(fd).c_str(), F_OK) == 0) {
            out->tmpfile = 1;
            return fd;
        }
        close(fd);
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return -1;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        mrc_hidden_name(out, out->temp, sizeof out->temp);
        fd = openat(out->dir_fd, out->temp, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) break;
    }
    if (fd < 0) out->temp[0] = '\0';
    return fd;
}

static void mrc_drop_beside(mrc_output_t *out, int *fd)
{
    close_fd(fd);
    if (out->temp[0]) unlinkat(out->dir_fd, out->temp, 0);
    out->temp[0] = '\0';
    out->tmpfile = 0;
}

// Whether free space takes the volume beside the old file (and, for a
// copy, the old file's growth at the close); else whether it takes it in
// the old file's place.
static int mrc_room(int fd, int64_t bytes, const struct stat *old, int plan)
{
    struct statvfs vfs;
    if (fstatvfs(fd, &vfs) != 0 || vfs.f_frsize == 0 || bytes < 1) return 1;
    // Counted in blocks of the file system, which no size overflows.
    const int64_t block = (int64_t)vfs.f_frsize;
    const int64_t need = (bytes - 1) / block + 1;
    const int64_t held = old ? (int64_t)old->st_blocks * 512 / block : 0;
    const int64_t avail = (int64_t)vfs.f_bavail;
    int64_t beside = need;
    if (plan == MRC_REPLACE_COPY && need > held && __builtin_add_overflow(need, need - held, &beside))
        return 1;
    if (avail >= beside) return 1;
    return old && avail + held >= need ? 0 : 1;
}

int mrc_output_prepare(const char *path, int64_t bytes, mrc_output_t *out, int *fd_out)
{
    mrc_output_reset(out);
    *fd_out = -1;
    // The plain create and truncate that in-place writing means.
    const int plain = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    if (mrc_descriptor_path(path)) {
        *fd_out = open(path, plain, 0666);
        return *fd_out >= 0 ? 0 : -1;
    }
    // What the path opens, through the kernel and its symlink protections.
    struct stat st;
    int target = open(path, O_PATH | O_CLOEXEC);
    if (target < 0 && errno != ENOENT) return -1;  // a link loop, no search right, ...
    if (target >= 0) {
        if (fstat(target, &st) != 0) {
            close(target);
            return -1;
        }
        if (!S_ISREG(st.st_mode)) {  // devices and pipes: nothing to keep
            close(target);
            *fd_out = open(path, plain, 0666);
            return *fd_out >= 0 ? 0 : -1;
        }
        // Permission as the open in place would judge it, without opening
        // for writing: watchers of the name see nothing until the end.
        if (faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0) {
            close(target);
            return -1;
        }
    }
    out->target_fd = target;
    struct stat named;
    const int found = mrc_resolve_name(path, out, &named);
    if (found < 0) {
        mrc_output_release(out);
        return -1;
    }
    out->plan = MRC_REPLACE_RENAME;
    // The rename must replace the very file the path opens, on its own mount
    // and where the user may remove it; else the volume is copied into it.
    if (target >= 0) {
        struct stat dir;
        const uid_t me = geteuid();
        if (found != 1 || named.st_dev != st.st_dev || named.st_ino != st.st_ino || st.st_nlink > 1 ||
            mrc_mount_id(target) != mrc_mount_id(out->dir_fd) ||
            (fstat(out->dir_fd, &dir) == 0 && (dir.st_mode & S_ISVTX) && me != 0 && me != st.st_uid &&
             me != dir.st_uid))
            out->plan = MRC_REPLACE_COPY;
    }
    int fd = mrc_make_beside(out);
    if (fd < 0) {
        if (target < 0) {
            mrc_output_release(out);
            return -1;
        }
        // No right to write beside the old file: it is written in place.
        out->plan = MRC_REPLACE_NO_DIR;
    } else if (!mrc_room(fd, bytes, target >= 0 ? &st : NULL, out->plan)) {
        mrc_drop_beside(out, &fd);
        out->plan = MRC_REPLACE_NO_ROOM;
    } else if (out->plan == MRC_REPLACE_RENAME && target >= 0 &&
               !mrc_copy_identity(fd, path, target, &st)) {
        out->plan = MRC_REPLACE_COPY;
    }
    if (out->plan == MRC_REPLACE_NO_DIR || out->plan == MRC_REPLACE_NO_ROOM) {
        fd = open(path, plain, 0666);
        if (fd < 0) {
            mrc_output_release(out);
            return -1;
        }
    }
    *fd_out = fd;
    return 0;
}

// 1 when the volume is written beside the output, to take its place at the close.
static int mrc_output_beside(const mrc_output_t *out)
{
    return out->plan == MRC_REPLACE_RENAME || out->plan == MRC_REPLACE_COPY;
}

void mrc_output_release(mrc_output_t *out)
{
    if (out->temp[0] && out->dir_fd >= 0) unlinkat(out->dir_fd, out->temp, 0);
    out->temp[0] = '\0';
    close_fd(&out->dir_fd);
    close_fd(&out->target_fd);
}

// Every catchable signal held back while the volume is put in place: while
// a named file exists that only the next call takes away, or while the old
// file is being overwritten, a signal would leave debris or a damaged file.
static void mrc_hold_signals(bool hold, sigset_t *saved)
{
    if (hold) {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, saved);
    } else {
        pthread_sigmask(SIG_SETMASK, saved, NULL);
    }
}

// Writes the bytes of src into the existing file dst from its start and
// cuts dst to their size. False on any failure.
static bool mrc_copy_into(int src, int dst, int64_t bytes)
{
    loff_t in = 0, at = 0;
    while (at < bytes) {
        const ssize_t n = copy_file_range(src, &in, dst, &at, (size_t)(bytes - at), 0);
        if (n > 0) continue;
        if (n == 0) return false;
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
        // No kernel copy between these files: through a buffer.
        std::vector<char> buf(1 << 20);
        while (at < bytes) {
            const ssize_t got = pread(src, buf.data(), std::min<int64_t>((int64_t)buf.size(), bytes - at), at);
            if (got <= 0) {
                if (got < 0 && errno == EINTR) continue;
                return false;
            }
            for (ssize_t done = 0; done < got;) {
                const ssize_t w = pwrite(dst, buf.data() + done, (size_t)(got - done), at + done);
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) return false;
                done += w;
            }
            at += got;
        }
    }
    return ftruncate(dst, bytes) == 0 && fsync(dst) == 0;
}

// Copies the finished volume into the file the path opened at the create.
static int mrc_output_copy(const char *path, mrc_output_t *out, int src)
{
    int dst = -1;
    if (out->target_fd >= 0) dst = open(mrc_fd_path(out->target_fd).c_str(), O_WRONLY | O_CLOEXEC);
    if (dst < 0) {
        // Without the descriptor table: by the name, if it still is that file.
        dst = open(path, O_WRONLY | O_CLOEXEC);
        struct stat a, b;
        if (dst >= 0 && (fstat(dst, &a) != 0 || !S_ISREG(a.st_mode) ||
                         (out->target_fd >= 0 && (fstat(out->target_fd, &b) != 0 || a.st_ino != b.st_ino ||
                                                  a.st_dev != b.st_dev))))
            close_fd(&dst);
    }
    if (dst < 0) return MRC_ECREATE;
    struct stat st;
    sigset_t saved;
    mrc_hold_signals(true, &saved);
    const bool copied = fstat(src, &st) == 0 && mrc_copy_into(src, dst, (int64_t)st.st_size);
    mrc_hold_signals(false, &saved);
    if (close(dst) != 0 && copied) return MRC_ECLOSE;
    return copied ? MRC_OK : MRC_EWRITE;
}

// Gives the complete volume (the descriptor fd, its stream already closed)
// the output's name. Returns a libMRC code.
static int mrc_output_link(const char *path, mrc_output_t *out, int fd)
{
    const std::string self = mrc_fd_path(fd);
    if (out->tmpfile && linkat(AT_FDCWD, self.c_str(), out->dir_fd, out->name, AT_SYMLINK_FOLLOW) == 0)
        return MRC_OK;
    if (out->tmpfile && errno != EEXIST) return MRC_ECREATE;
    sigset_t saved;
    mrc_hold_signals(true, &saved);
    int linked = 0;
    if (out->tmpfile) {
        for (int attempt = 0; attempt < 100 && !linked; ++attempt) {
            mrc_hidden_name(out, out->temp, sizeof out->temp);
            linked = linkat(AT_FDCWD, self.c_str(), out->dir_fd, out->temp, AT_SYMLINK_FOLLOW) == 0;
            if (!linked && errno != EEXIST) break;
        }
        if (!linked) out->temp[0] = '\0';
    }
    const bool renamed = out->temp[0] && renameat(out->dir_fd, out->temp, out->dir_fd, out->name) == 0;
    if (renamed) out->temp[0] = '\0';
    if (out->temp[0]) unlinkat(out->dir_fd, out->temp, 0);
    out->temp[0] = '\0';
    mrc_hold_signals(false, &saved);
    if (renamed) return MRC_OK;
    // The rename was refused after all: the volume goes into the old file.
    return mrc_output_copy(path, out, fd);
}

int mrc_output_finish(const char *path, mrc_output_t *out, FILE *fp, int result)
{
    const bool beside = mrc_output_beside(out);
    // The data must be on the disk before a name points at them.
    if (result == MRC_OK && beside && fsync(fileno(fp)) != 0) result = MRC_EWRITE;
    int keep = beside && result == MRC_OK ? fcntl(fileno(fp), F_DUPFD_CLOEXEC, 0) : -1;
    if (beside && result == MRC_OK && keep < 0) result = MRC_ERESOURCES;
    if (fclose(fp) != 0) result = MRC_ECLOSE;
    if (result == MRC_OK && keep >= 0) {
        result = out->plan == MRC_REPLACE_COPY ? mrc_output_copy(path, out, keep)
                                               : mrc_output_link(path, out, keep);
    }
    close_fd(&keep);
    mrc_output_release(out);
    return result;
}
