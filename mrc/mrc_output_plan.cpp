// The plan made at the create: how the volume will replace what stands at
// its name (renamed over it, copied into it, or written in place), whether
// there is room beside it, and the files and blocks taken for it now, so
// that nothing the close needs can be refused after the work.
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "mrc/mrc_internal.h"
#include "mrc/mrc_output.h"

#ifndef STATX_MNT_ID
#define STATX_MNT_ID 0x00001000U
#endif

static void mrc_plan_reset(mrc_output_t *out)
{
    out->plan = MRC_REPLACE_IN_PLACE;
    out->dir_fd = -1;
    out->dir_readable = 0;
    out->target_fd = -1;
    out->volume_fd = -1;
    out->tmpfile = 0;
    out->append_only = 0;
    out->named_now = 0;
    out->name[0] = '\0';
    out->temp[0] = '\0';
    out->error = 0;
    out->why = NULL;
}

// The mount a descriptor lies on, or 0 when the kernel does not tell.
static uint64_t mrc_plan_mount_id(int fd)
{
    struct statx sx;
    if (statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &sx) != 0 || !(sx.stx_mask & STATX_MNT_ID))
        return 0;
    return sx.stx_mnt_id;
}

// A hidden name beside the output for a volume being put in place.
void mrc_plan_hidden_name(const mrc_output_t *out, char *name, size_t size)
{
    static unsigned counter = 0;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const unsigned n = __atomic_add_fetch(&counter, 1, __ATOMIC_RELAXED);
    // A readable part of the output's name, within NAME_MAX.
    snprintf(name, size, ".%.200s.part-%d-%x%05lx", out->name, (int)getpid(), n,
             (long)ts.tv_nsec & 0xFFFFF);
}

// Makes the file the volume is written into beside the output, open to its
// owner alone until it has its final mode: unnamed where the file system
// allows it, else under a hidden name (never in a directory that would keep
// that name). -1 with errno.
static int mrc_plan_make_beside(mrc_output_t *out)
{
    int fd = openat(out->dir_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
        // It gets its name through the process's descriptor table.
        if (access(mrc_path_of_fd(fd).c_str(), F_OK) == 0) {
            out->tmpfile = 1;
            return fd;
        }
        close(fd);
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return -1;
    }
    if (out->append_only) {
        errno = EPERM;
        return -1;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        mrc_plan_hidden_name(out, out->temp, sizeof out->temp);
        fd = openat(out->dir_fd, out->temp, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) break;
    }
    if (fd < 0) out->temp[0] = '\0';
    return fd;
}

static void mrc_plan_drop_beside(mrc_output_t *out, int *fd)
{
    mrc_output_close_fd(fd);
    if (out->temp[0]) unlinkat(out->dir_fd, out->temp, 0);
    out->temp[0] = '\0';
    out->tmpfile = 0;
}

int mrc_output_room(const struct statvfs *vfs, int64_t bytes, int64_t held_blocks512, int plan)
{
    // A file system that keeps no block count (ramfs) has no limit to meet.
    if (vfs->f_frsize == 0 || vfs->f_blocks == 0 || bytes < 1) return 1;
    // Counted in blocks of the file system, which no size overflows.
    const int64_t block = (int64_t)vfs->f_frsize;
    const int64_t need = (bytes - 1) / block + 1;
    const int64_t held = held_blocks512 >= 0 ? held_blocks512 * 512 / block : 0;
    const int64_t avail = (int64_t)vfs->f_bavail;
    int64_t beside = need;
    if (plan == MRC_REPLACE_COPY && need > held && __builtin_add_overflow(need, need - held, &beside))
        return 1;
    if (avail >= beside) return 1;
    return held_blocks512 >= 0 && avail + held >= need ? 0 : 1;
}

int mrc_output_choose(const mrc_output_facts_t *f)
{
    // A rename must replace the very file the path leads to, on its own
    // mount, where the user may remove it and where the directory keeps no
    // name for ever; else the volume is copied into it.
    if (!f->exists) return MRC_REPLACE_RENAME;
    if (f->links > 1 || f->other_mount || f->sticky_other || f->append_only_dir)
        return MRC_REPLACE_COPY;
    return MRC_REPLACE_RENAME;
}

// Records why the set-up refused the output: the errno of the call that
// refused, and where that alone would mislead, what it means here.
static int mrc_plan_refuse(mrc_output_t *out, int code, int error, const char *why = NULL)
{
    out->error = error;
    out->why = why;
    return code;
}

// A libMRC code for a failed set-up call: descriptors run out, or the file
// cannot be made.
static int mrc_plan_setup_code(mrc_output_t *out)
{
    const int error = errno;
    return mrc_plan_refuse(out, error == EMFILE || error == ENFILE ? MRC_ERESOURCES : MRC_ECREATE, error);
}

static const char mrc_plan_too_large[] = "the file-size limit (ulimit -f) is below the volume's size";

// A regular file under a file-size limit below the volume would fail at
// its last write, after all the work: the limit is known now.
static bool mrc_plan_over_size_limit(int64_t bytes)
{
    struct rlimit limit;
    return getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
           (uint64_t)bytes > (uint64_t)limit.rlim_cur;
}

static const char mrc_plan_unseekable[] =
    "a pipe, FIFO or terminal cannot take a volume, whose header is written last";

// True when st is the file of the program's own standard output or error:
// the report written there would land among the voxels.
static bool mrc_plan_own_stream(const struct stat *st)
{
    if (!S_ISREG(st->st_mode) && !S_ISBLK(st->st_mode)) return false;
    for (int fd = 1; fd <= 2; ++fd) {
        struct stat s;
        if (fstat(fd, &s) == 0 && s.st_dev == st->st_dev && s.st_ino == st->st_ino) return true;
    }
    return false;
}

// Reserves the volume's blocks in fd (its size unchanged), so that a full
// disk or a quota refuses the run now and not part-way.
// 0 when reserved or when the file system cannot reserve; else the errno.
static int mrc_plan_reserve(int fd, int64_t bytes)
{
    if (bytes == INT64_MAX) return 0;  // a size the cache refuses anyway
    for (;;) {
        if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, (off_t)bytes) == 0) return 0;
        if (errno == EINTR) continue;
        // Not the plain call's emulation, which writes zeros block by block.
        if (errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL || errno == ENODEV) return 0;
        return errno;
    }
}

// Opens a device, a pipe or a descriptor-table entry the volume is written
// into in place. The open must not block (a FIFO without a reader would
// hold the set-up with the stop signals held), and the file must seek: the
// sections are placed by offset and the header comes last.
static int mrc_plan_open_in_place(mrc_output_t *out, int dir, const char *name, bool descriptor, int64_t bytes,
                             int *fd_out)
{
    const int flags = descriptor ? 0 : O_NOFOLLOW;
    const int fd = openat(dir, name, flags | O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) {
        // What the guard holds on a standard stream closed at the start.
        if (errno == EISDIR && descriptor)
            return mrc_plan_refuse(out, MRC_ECREATE, EBADF, "no file is open on that descriptor");
        // A pipe or socket without a reader, through the descriptor table.
        if (errno == ENXIO && descriptor) return mrc_plan_refuse(out, MRC_ECREATE, ESPIPE, mrc_plan_unseekable);
        return mrc_plan_setup_code(out);
    }
    struct stat st;
    int code = MRC_OK;
    if (fstat(fd, &st) != 0) {
        code = mrc_plan_setup_code(out);
    } else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || lseek(fd, 0, SEEK_CUR) < 0) {
        code = mrc_plan_refuse(out, MRC_ECREATE, ESPIPE, mrc_plan_unseekable);
    } else if (mrc_plan_own_stream(&st)) {
        code = mrc_plan_refuse(out, MRC_ECREATE, 0, "it is the program's own standard output or error");
    } else if (S_ISREG(st.st_mode)) {
        // Cut as a plain write cuts it, only once it is known to be fit.
        int error = ftruncate(fd, 0) == 0 ? mrc_plan_reserve(fd, bytes) : errno;
        if (error) code = mrc_plan_refuse(out, MRC_ECREATE, error);
    }
    const int fl = fcntl(fd, F_GETFL);
    if (code == MRC_OK && (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0)) code = mrc_plan_setup_code(out);
    if (code != MRC_OK) {
        close(fd);
        return code;
    }
    *fd_out = fd;
    return MRC_OK;
}

int mrc_output_prepare(const char *path, int64_t bytes, mrc_output_t *out, int *fd_out)
{
    mrc_plan_reset(out);
    *fd_out = -1;
    std::string base;
    struct stat st;
    int dir = -1;
    mrc_path_found_t found = MRC_PATH_FAILED;
    // A file swapped in between the look and the open is looked at again.
    for (int attempt = 0; attempt < 8; ++attempt) {
        found = mrc_path_resolve(path, &dir, &base, &st);
        if (found == MRC_PATH_FAILED) return mrc_plan_setup_code(out);
        if ((found == MRC_PATH_NOTHING || (found == MRC_PATH_FILE && S_ISREG(st.st_mode))) &&
            mrc_plan_over_size_limit(bytes)) {
            close(dir);
            return mrc_plan_refuse(out, MRC_ECREATE, EFBIG, mrc_plan_too_large);
        }
        if (found == MRC_PATH_DESCRIPTOR) {
            // The caller's open file, named through its descriptor table.
            const int code = mrc_plan_open_in_place(out, dir, base.c_str(), true, bytes, fd_out);
            close(dir);
            return code;
        }
        if (found == MRC_PATH_NOTHING) break;
        struct stat d;
        if (fstat(dir, &d) != 0 || !mrc_path_may_open_planted(&d, &st)) {
            close(dir);
            return mrc_plan_refuse(out, MRC_ECREATE, EACCES);
        }
        if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
            close(dir);
            return mrc_plan_refuse(out, MRC_ECREATE, ESPIPE, mrc_plan_unseekable);
        }
        if (!S_ISREG(st.st_mode)) {
            // Devices: nothing to keep; a directory is refused.
            const int code = mrc_plan_open_in_place(out, dir, base.c_str(), false, bytes, fd_out);
            close(dir);
            return code;
        }
        // Opened for writing as a plain write would, without truncating:
        // every refusal of the kernel (append-only, immutable, a running
        // program, a read-only mount, a security module) comes now. Never
        // waiting: a FIFO may have been swapped in since the look.
        out->target_fd = openat(dir, base.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        struct stat now;
        if (out->target_fd < 0 && errno != ELOOP && errno != ENOENT && errno != ENXIO) {
            const int code = mrc_plan_setup_code(out);
            close(dir);
            return code;
        }
        if (out->target_fd >= 0 && fstat(out->target_fd, &now) == 0 && now.st_dev == st.st_dev &&
            now.st_ino == st.st_ino) {
            const int fl = fcntl(out->target_fd, F_GETFL);
            if (fl < 0 || fcntl(out->target_fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
                const int code = mrc_plan_setup_code(out);
                close(dir);
                mrc_output_release(out);
                return code;
            }
            break;
        }
        mrc_output_close_fd(&out->target_fd);
        close(dir);
        dir = -1;
    }
    if (found != MRC_PATH_NOTHING && out->target_fd < 0) {
        if (dir >= 0) close(dir);
        return mrc_plan_refuse(out, MRC_ECREATE, EAGAIN);
    }
    if (found != MRC_PATH_NOTHING && mrc_plan_own_stream(&st)) {
        close(dir);
        mrc_output_release(out);
        return mrc_plan_refuse(out, MRC_ECREATE, 0, "it is the program's own standard output or error");
    }
    memcpy(out->name, base.c_str(), base.size() + 1);
    // The directory readable where it may be: its flags and its sync need it.
    out->dir_fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (out->dir_fd >= 0) {
        out->dir_readable = 1;
        close(dir);
    } else if (errno == EMFILE || errno == ENFILE) {
        const int code = mrc_plan_setup_code(out);
        close(dir);
        mrc_output_release(out);
        return code;
    } else {
        out->dir_fd = dir;
    }
    int dir_flags = 0;
    out->append_only = out->dir_readable && ioctl(out->dir_fd, FS_IOC_GETFLAGS, &dir_flags) == 0 &&
                       (dir_flags & FS_APPEND_FL) != 0;

    const int target = out->target_fd;
    mrc_output_facts_t facts = {};
    struct stat dst;
    facts.exists = target >= 0;
    if (target >= 0) {
        const uid_t me = geteuid();
        facts.links = (int64_t)st.st_nlink;
        facts.other_mount = mrc_plan_mount_id(target) != mrc_plan_mount_id(out->dir_fd);
        facts.sticky_other = fstat(out->dir_fd, &dst) == 0 && (dst.st_mode & S_ISVTX) && me != 0 &&
                             me != st.st_uid && me != dst.st_uid;
        facts.append_only_dir = out->append_only;
    }
    out->plan = mrc_output_choose(&facts);

    int fd = mrc_plan_make_beside(out);
    if (fd < 0) {
        if (target < 0) {
            // A new output in an append-only directory without unnamed
            // files: made at its name at once, as a plain write would.
            int code = mrc_plan_setup_code(out);
            if (out->append_only && code == MRC_ECREATE) {
                fd = openat(out->dir_fd, out->name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
                out->plan = MRC_REPLACE_IN_PLACE;
                out->named_now = fd >= 0;
                code = fd >= 0 ? MRC_OK : mrc_plan_setup_code(out);
                const int error = fd >= 0 ? mrc_plan_reserve(fd, bytes) : 0;
                if (error) {
                    // The directory keeps the name; the file stays empty.
                    mrc_output_close_fd(&fd);
                    code = mrc_plan_refuse(out, MRC_ECREATE, error);
                }
            }
            if (code != MRC_OK) {
                mrc_output_release(out);
                return code;
            }
            *fd_out = fd;
            return MRC_OK;
        }
        if (errno == EMFILE || errno == ENFILE) {
            const int code = mrc_plan_setup_code(out);
            mrc_output_release(out);
            return code;
        }
        // No right to write beside the old file: it is written in place.
        out->plan = MRC_REPLACE_NO_DIR;
    } else {
        struct statvfs vfs;
        if (fstatvfs(fd, &vfs) == 0 &&
            !mrc_output_room(&vfs, bytes, target >= 0 ? (int64_t)st.st_blocks : -1, out->plan)) {
            mrc_plan_drop_beside(out, &fd);
            out->plan = MRC_REPLACE_NO_ROOM;
        } else if (out->plan == MRC_REPLACE_RENAME) {
            // A file system that cannot store a mode (vfat, some FUSE
            // mounts) gives a new file the one it has for all.
            const bool given = target >= 0 ? mrc_identity_copy(fd, target, &st)
                                           : fchmod(fd, mrc_identity_created_mode(out)) == 0 || errno == EPERM ||
                                                 errno == EOPNOTSUPP;
            if (!given) {
                if (target < 0) {
                    const int code = mrc_plan_setup_code(out);
                    mrc_plan_drop_beside(out, &fd);
                    mrc_output_release(out);
                    return code;
                }
                out->plan = MRC_REPLACE_COPY;
            }
        }
        if (fd >= 0) {
            // The room the statistics of free blocks cannot promise (a
            // quota, another writer), taken now; a copy needs it in the old
            // file as well.
            int error = mrc_plan_reserve(fd, bytes);
            if (!error && out->plan == MRC_REPLACE_COPY) error = mrc_plan_reserve(target, bytes);
            if (error) {
                mrc_plan_drop_beside(out, &fd);
                if (target < 0 || (error != ENOSPC && error != EDQUOT)) {
                    mrc_output_release(out);
                    return mrc_plan_refuse(out, MRC_ECREATE, error);
                }
                out->plan = MRC_REPLACE_NO_ROOM;
            }
        }
    }
    if (out->plan == MRC_REPLACE_NO_DIR || out->plan == MRC_REPLACE_NO_ROOM) {
        // The old file itself, cut as a plain write cuts it, once it is
        // known to hold the volume: what it lacks is reserved first, again
        // once cut.
        int error = mrc_plan_reserve(target, bytes);
        if (!error) error = ftruncate(target, 0) == 0 ? mrc_plan_reserve(target, bytes) : errno;
        if (error) {
            mrc_output_release(out);
            return mrc_plan_refuse(out, MRC_ECREATE, error);
        }
        fd = target;
        out->target_fd = -1;
    } else {
        // The descriptor the close names the volume through, taken now.
        out->volume_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (out->volume_fd < 0) {
            const int code = mrc_plan_setup_code(out);
            mrc_plan_drop_beside(out, &fd);
            mrc_output_release(out);
            return code;
        }
    }
    *fd_out = fd;
    return MRC_OK;
}
