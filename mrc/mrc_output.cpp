// How a created volume reaches its name: beside the file the name leads to,
// as an unnamed file that is linked in over it only once complete, so that
// whatever stood there survives every failure and every death of the
// process, and keeps the mode, owner, group, ACLs, attributes and flags the
// user gave it. The rare files that cannot be replaced so are written beside
// and copied into at the close, or, with no room or no right to write beside
// them, written in place.
//
// Other users may change a shared directory at any moment, so the path is
// resolved once, at the create, with the kernel's rules; from then on only
// descriptors taken then are used: the directory, the old file opened for
// writing as a plain write would open it, and the volume's file. The close
// opens nothing by name.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
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

// Inode flags a file's owner sets (chattr) that a copy in place would keep:
// no-dump, no-atime, no-copy-on-write, synchronous, compression on and off.
static const int mrc_user_flags =
    FS_NODUMP_FL | FS_NOATIME_FL | FS_NOCOW_FL | FS_SYNC_FL | FS_COMPR_FL | FS_NOCOMP_FL;

// What failed when a complete volume could not be put in place, or after a
// success what the system would not let the close clean up.
static thread_local char mrc_place_failure[768];
// The failed close had given the volume its place already.
static thread_local int mrc_place_done;

const char *mrc_close_detail(void)
{
    return mrc_place_failure;
}

int mrc_close_placed(void)
{
    return mrc_place_done;
}

static void mrc_say(const char *what, int error)
{
    if (error)
        snprintf(mrc_place_failure, sizeof mrc_place_failure, "%s (%s)", what, strerror(error));
    else
        snprintf(mrc_place_failure, sizeof mrc_place_failure, "%s", what);
}

static void mrc_output_reset(mrc_output_t *out)
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

static void close_fd(int *fd)
{
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

static std::string mrc_fd_path(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

// Splits a path into the directory opened by the kernel (relative to at)
// and its last component.
static int mrc_open_parent(int at, const std::string &path, std::string *base)
{
    const size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    *base = slash == std::string::npos ? path : path.substr(slash + 1);
    return openat(at, dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// A value of /proc/sys/fs, or -1 when it cannot be read.
static int mrc_fs_sysctl(const char *name)
{
    const std::string path = std::string("/proc/sys/fs/") + name;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char text[16] = {0};
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    return n > 0 ? atoi(text) : -1;
}

// The kernel's rule for following a symbolic link found in a sticky
// directory that everybody may write: only the user's own links and the
// directory owner's, so another user cannot lead the output elsewhere.
// An unreadable setting counts as on.
static bool mrc_may_follow(const struct stat *dir, const struct stat *link)
{
    if ((dir->st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH)) return true;
    if (link->st_uid == geteuid() || link->st_uid == dir->st_uid) return true;
    return mrc_fs_sysctl("protected_symlinks") == 0;
}

// The kernel's rule for opening with O_CREAT, as a plain write does, an
// existing file or FIFO of another user in a sticky directory: refused where
// the protection is on, so a file planted in /tmp cannot catch the volume.
static bool mrc_may_open_planted(const struct stat *dir, const struct stat *file)
{
    if (!(dir->st_mode & S_ISVTX) || file->st_uid == dir->st_uid || file->st_uid == geteuid())
        return true;
    const int level = mrc_fs_sysctl(S_ISFIFO(file->st_mode) ? "protected_fifos" : "protected_regular");
    if (level == 0 || (!S_ISREG(file->st_mode) && !S_ISFIFO(file->st_mode))) return true;
    if (dir->st_mode & S_IWOTH) return false;
    return !((dir->st_mode & S_IWGRP) && level >= 2);
}

// True when name in dir is an entry of a process's descriptor table in
// /proc: opening it opens the caller's file, whatever the path looked like.
static bool mrc_descriptor_entry(int dir, const std::string &name)
{
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) return false;
    struct statfs fs;
    if (fstatfs(dir, &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC) return false;
    char where[PATH_MAX];
    const ssize_t n = readlink(mrc_fd_path(dir).c_str(), where, sizeof where - 1);
    return n >= 3 && memcmp(where + n - 3, "/fd", 3) == 0;
}

// Follows path to the name a create would make or open: its directory
// (*dir, O_PATH) and name in it (*base). Links of the last component are
// followed here under the kernel's rules, the rest by the kernel itself.
// Returns 2 for a descriptor-table entry, 1 when a file stands at the name
// (*st, as the link-free look found it), 0 when nothing does, -1 with errno.
static int mrc_resolve(const char *path, int *dir_out, std::string *base, struct stat *st)
{
    int dir = mrc_open_parent(AT_FDCWD, path, base);
    for (int hop = 0; dir >= 0; ++hop) {
        if (base->empty() || *base == "." || *base == "..") {
            errno = EISDIR;
            break;
        }
        if (base->size() > NAME_MAX) {
            errno = ENAMETOOLONG;
            break;
        }
        if (mrc_descriptor_entry(dir, *base)) {
            *dir_out = dir;
            return 2;
        }
        const int link = openat(dir, base->c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (link < 0) {
            if (errno != ENOENT) break;
            *dir_out = dir;
            return 0;
        }
        struct stat d;
        if (fstat(link, st) != 0 || fstat(dir, &d) != 0) {
            close(link);
            break;
        }
        if (!S_ISLNK(st->st_mode)) {
            close(link);
            *dir_out = dir;
            return 1;
        }
        std::string text(PATH_MAX, '\0');
        const ssize_t n = hop == MRC_LINK_HOPS ? -1 : readlinkat(link, "", &text[0], text.size());
        close(link);
        if (hop == MRC_LINK_HOPS || !mrc_may_follow(&d, st)) {
            errno = hop == MRC_LINK_HOPS ? ELOOP : EACCES;
            break;
        }
        if (n <= 0 || (size_t)n >= text.size()) {
            if (n == 0) errno = ENOENT;
            break;
        }
        text.resize((size_t)n);
        const int next = mrc_open_parent(text[0] == '/' ? AT_FDCWD : dir, text, base);
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

// Names of a file's extended attributes (POSIX ACLs among them).
static bool mrc_list_xattrs(int fd, std::vector<std::string> *names)
{
    names->clear();
    for (int attempt = 0; attempt < 4; ++attempt) {
        ssize_t n = flistxattr(fd, NULL, 0);
        if (n < 0) return errno == ENOTSUP;  // nothing to keep where there are none
        std::string buf((size_t)n, '\0');
        n = flistxattr(fd, &buf[0], buf.size());
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

static bool mrc_get_xattr(int fd, const char *name, std::string *value)
{
    for (int attempt = 0; attempt < 4; ++attempt) {
        ssize_t n = fgetxattr(fd, name, NULL, 0);
        if (n < 0) return false;
        value->assign((size_t)n, '\0');
        n = fgetxattr(fd, name, &(*value)[0], value->size());
        if (n < 0 && errno == ERANGE) continue;
        if (n < 0) return false;
        value->resize((size_t)n);
        return true;
    }
    return false;
}

// The old file's user-settable inode flags on the new, empty file (no-copy-
// on-write takes only while a file is empty); flags the new file got from
// its directory but the old one lacks are taken off.
static bool mrc_copy_flags(int tmp, int target)
{
    int old_flags = 0, flags = 0;
    if (ioctl(target, FS_IOC_GETFLAGS, &old_flags) != 0) old_flags = 0;
    if (ioctl(tmp, FS_IOC_GETFLAGS, &flags) != 0) return (old_flags & mrc_user_flags) == 0;
    const int want = (flags & ~mrc_user_flags) | (old_flags & mrc_user_flags);
    return want == flags || ioctl(tmp, FS_IOC_SETFLAGS, &want) == 0;
}

// Gives the new file the flags, owner, group, attributes, ACLs and mode of
// the one it replaces, before any data goes in. False when any of it cannot
// be given.
static bool mrc_copy_identity(int tmp, int target, const struct stat *st)
{
    if (!mrc_copy_flags(tmp, target)) return false;
    struct stat ts;
    if (fstat(tmp, &ts) != 0) return false;
    if ((ts.st_uid != st->st_uid || ts.st_gid != st->st_gid) && fchown(tmp, st->st_uid, st->st_gid) != 0)
        return false;
    std::vector<std::string> keep, have;
    if (!mrc_list_xattrs(target, &keep) || !mrc_list_xattrs(tmp, &have)) return false;
    for (const std::string &name : keep) {
        std::string value, present;
        if (!mrc_get_xattr(target, name.c_str(), &value)) return false;
        if (mrc_get_xattr(tmp, name.c_str(), &present) && present == value) continue;
        if (fsetxattr(tmp, name.c_str(), value.data(), value.size(), 0) != 0) return false;
    }
    // What the new file got from its directory (a default ACL) but the old
    // one did not have; one already gone (as XFS may say) is gone.
    for (const std::string &name : have) {
        if (std::find(keep.begin(), keep.end(), name) == keep.end() &&
            fremovexattr(tmp, name.c_str()) != 0 && errno != ENODATA)
            return false;
    }
    // Last: a change of owner clears the set-id bits, and the ACL's mask
    // follows the mode's group bits. The kernel may drop a set-id bit
    // silently (a group the user is not in): the mode must come out whole.
    return fchmod(tmp, st->st_mode & 07777) == 0 && fstat(tmp, &ts) == 0 &&
           (ts.st_mode & 07777) == (st->st_mode & 07777);
}

// The mode a plain create with 0666 would give in this directory: its
// default ACL's classes where it has one, else the umask's.
static mode_t mrc_created_mode(const mrc_output_t *out)
{
    std::string acl;
    // An O_PATH descriptor has no attributes of its own: through its name.
    const std::string dir = mrc_fd_path(out->dir_fd);
    const auto get = [&](void *value, size_t size) {
        return out->dir_readable ? fgetxattr(out->dir_fd, "system.posix_acl_default", value, size)
                                 : getxattr(dir.c_str(), "system.posix_acl_default", value, size);
    };
    ssize_t n = get(NULL, 0);
    if (n > 4) {
        acl.assign((size_t)n, '\0');
        n = get(&acl[0], acl.size());
    }
    if (n > 4 && (size_t)n <= acl.size()) {
        unsigned user = 0, group = 0, mask = 8, other = 0;  // mask 8: none
        for (size_t at = 4; at + 8 <= (size_t)n; at += 8) {
            uint16_t tag, perm;
            memcpy(&tag, &acl[at], 2);
            memcpy(&perm, &acl[at + 2], 2);
            if (tag == 0x01) user = perm & 7;
            if (tag == 0x04) group = perm & 7;
            if (tag == 0x10) mask = perm & 7;
            if (tag == 0x20) other = perm & 7;
        }
        return (mode_t)(((user << 6) | ((mask == 8 ? group : mask) << 3) | other) & 0666);
    }
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
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

// Makes the file the volume is written into beside the output, open to its
// owner alone until it has its final mode: unnamed where the file system
// allows it, else under a hidden name (never in a directory that would keep
// that name). -1 with errno.
static int mrc_make_beside(mrc_output_t *out)
{
    int fd = openat(out->dir_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
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
    if (out->append_only) {
        errno = EPERM;
        return -1;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        mrc_hidden_name(out, out->temp, sizeof out->temp);
        fd = openat(out->dir_fd, out->temp, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
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
static int mrc_refuse(mrc_output_t *out, int code, int error, const char *why = NULL)
{
    out->error = error;
    out->why = why;
    return code;
}

// A libMRC code for a failed set-up call: descriptors run out, or the file
// cannot be made.
static int mrc_setup_code(mrc_output_t *out)
{
    const int error = errno;
    return mrc_refuse(out, error == EMFILE || error == ENFILE ? MRC_ERESOURCES : MRC_ECREATE, error);
}

static const char mrc_unseekable[] =
    "a pipe, FIFO or terminal cannot take a volume, whose header is written last";

// True when st is the file of the program's own standard output or error:
// the report written there would land among the voxels.
static bool mrc_own_stream(const struct stat *st)
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
static int mrc_reserve(int fd, int64_t bytes)
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
static int mrc_open_in_place(mrc_output_t *out, int dir, const char *name, bool descriptor, int64_t bytes,
                             int *fd_out)
{
    const int flags = descriptor ? 0 : O_NOFOLLOW;
    const int fd = openat(dir, name, flags | O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) {
        // What the guard holds on a standard stream closed at the start.
        if (errno == EISDIR && descriptor)
            return mrc_refuse(out, MRC_ECREATE, EBADF, "no file is open on that descriptor");
        // A pipe or socket without a reader, through the descriptor table.
        if (errno == ENXIO && descriptor) return mrc_refuse(out, MRC_ECREATE, ESPIPE, mrc_unseekable);
        return mrc_setup_code(out);
    }
    struct stat st;
    int code = MRC_OK;
    if (fstat(fd, &st) != 0) {
        code = mrc_setup_code(out);
    } else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || lseek(fd, 0, SEEK_CUR) < 0) {
        code = mrc_refuse(out, MRC_ECREATE, ESPIPE, mrc_unseekable);
    } else if (mrc_own_stream(&st)) {
        code = mrc_refuse(out, MRC_ECREATE, 0, "it is the program's own standard output or error");
    } else if (S_ISREG(st.st_mode)) {
        // Cut as a plain write cuts it, only once it is known to be fit.
        int error = ftruncate(fd, 0) == 0 ? mrc_reserve(fd, bytes) : errno;
        if (error) code = mrc_refuse(out, MRC_ECREATE, error);
    }
    const int fl = fcntl(fd, F_GETFL);
    if (code == MRC_OK && (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0)) code = mrc_setup_code(out);
    if (code != MRC_OK) {
        close(fd);
        return code;
    }
    *fd_out = fd;
    return MRC_OK;
}

int mrc_output_prepare(const char *path, int64_t bytes, mrc_output_t *out, int *fd_out)
{
    mrc_output_reset(out);
    *fd_out = -1;
    std::string base;
    struct stat st;
    int dir = -1;
    int found = -1;
    // A file swapped in between the look and the open is looked at again.
    for (int attempt = 0; attempt < 8; ++attempt) {
        found = mrc_resolve(path, &dir, &base, &st);
        if (found < 0) return mrc_setup_code(out);
        if (found == 2) {
            // The caller's open file, named through its descriptor table.
            const int code = mrc_open_in_place(out, dir, base.c_str(), true, bytes, fd_out);
            close(dir);
            return code;
        }
        if (found == 0) break;
        struct stat d;
        if (fstat(dir, &d) != 0 || !mrc_may_open_planted(&d, &st)) {
            close(dir);
            return mrc_refuse(out, MRC_ECREATE, EACCES);
        }
        if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
            close(dir);
            return mrc_refuse(out, MRC_ECREATE, ESPIPE, mrc_unseekable);
        }
        if (!S_ISREG(st.st_mode)) {
            // Devices: nothing to keep; a directory is refused.
            const int code = mrc_open_in_place(out, dir, base.c_str(), false, bytes, fd_out);
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
            const int code = mrc_setup_code(out);
            close(dir);
            return code;
        }
        if (out->target_fd >= 0 && fstat(out->target_fd, &now) == 0 && now.st_dev == st.st_dev &&
            now.st_ino == st.st_ino) {
            const int fl = fcntl(out->target_fd, F_GETFL);
            if (fl < 0 || fcntl(out->target_fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
                const int code = mrc_setup_code(out);
                close(dir);
                mrc_output_release(out);
                return code;
            }
            break;
        }
        close_fd(&out->target_fd);
        close(dir);
        dir = -1;
    }
    if (found != 0 && out->target_fd < 0) {
        if (dir >= 0) close(dir);
        return mrc_refuse(out, MRC_ECREATE, EAGAIN);
    }
    if (found != 0 && mrc_own_stream(&st)) {
        close(dir);
        mrc_output_release(out);
        return mrc_refuse(out, MRC_ECREATE, 0, "it is the program's own standard output or error");
    }
    memcpy(out->name, base.c_str(), base.size() + 1);
    // The directory readable where it may be: its flags and its sync need it.
    out->dir_fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (out->dir_fd >= 0) {
        out->dir_readable = 1;
        close(dir);
    } else if (errno == EMFILE || errno == ENFILE) {
        const int code = mrc_setup_code(out);
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
        facts.other_mount = mrc_mount_id(target) != mrc_mount_id(out->dir_fd);
        facts.sticky_other = fstat(out->dir_fd, &dst) == 0 && (dst.st_mode & S_ISVTX) && me != 0 &&
                             me != st.st_uid && me != dst.st_uid;
        facts.append_only_dir = out->append_only;
    }
    out->plan = mrc_output_choose(&facts);

    int fd = mrc_make_beside(out);
    if (fd < 0) {
        if (target < 0) {
            // A new output in an append-only directory without unnamed
            // files: made at its name at once, as a plain write would.
            int code = mrc_setup_code(out);
            if (out->append_only && code == MRC_ECREATE) {
                fd = openat(out->dir_fd, out->name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
                out->plan = MRC_REPLACE_IN_PLACE;
                out->named_now = fd >= 0;
                code = fd >= 0 ? MRC_OK : mrc_setup_code(out);
                const int error = fd >= 0 ? mrc_reserve(fd, bytes) : 0;
                if (error) {
                    // The directory keeps the name; the file stays empty.
                    close_fd(&fd);
                    code = mrc_refuse(out, MRC_ECREATE, error);
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
            const int code = mrc_setup_code(out);
            mrc_output_release(out);
            return code;
        }
        // No right to write beside the old file: it is written in place.
        out->plan = MRC_REPLACE_NO_DIR;
    } else {
        struct statvfs vfs;
        if (fstatvfs(fd, &vfs) == 0 &&
            !mrc_output_room(&vfs, bytes, target >= 0 ? (int64_t)st.st_blocks : -1, out->plan)) {
            mrc_drop_beside(out, &fd);
            out->plan = MRC_REPLACE_NO_ROOM;
        } else if (out->plan == MRC_REPLACE_RENAME) {
            // A file system that cannot store a mode (vfat, some FUSE
            // mounts) gives a new file the one it has for all.
            const bool given = target >= 0 ? mrc_copy_identity(fd, target, &st)
                                           : fchmod(fd, mrc_created_mode(out)) == 0 || errno == EPERM ||
                                                 errno == EOPNOTSUPP;
            if (!given) {
                if (target < 0) {
                    const int code = mrc_setup_code(out);
                    mrc_drop_beside(out, &fd);
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
            int error = mrc_reserve(fd, bytes);
            if (!error && out->plan == MRC_REPLACE_COPY) error = mrc_reserve(target, bytes);
            if (error) {
                mrc_drop_beside(out, &fd);
                if (target < 0 || (error != ENOSPC && error != EDQUOT)) {
                    mrc_output_release(out);
                    return mrc_refuse(out, MRC_ECREATE, error);
                }
                out->plan = MRC_REPLACE_NO_ROOM;
            }
        }
    }
    if (out->plan == MRC_REPLACE_NO_DIR || out->plan == MRC_REPLACE_NO_ROOM) {
        // The old file itself, cut as a plain write cuts it, once it is
        // known to hold the volume: what it lacks is reserved first, again
        // once cut.
        int error = mrc_reserve(target, bytes);
        if (!error) error = ftruncate(target, 0) == 0 ? mrc_reserve(target, bytes) : errno;
        if (error) {
            mrc_output_release(out);
            return mrc_refuse(out, MRC_ECREATE, error);
        }
        fd = target;
        out->target_fd = -1;
    } else {
        // The descriptor the close names the volume through, taken now.
        out->volume_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (out->volume_fd < 0) {
            const int code = mrc_setup_code(out);
            mrc_drop_beside(out, &fd);
            mrc_output_release(out);
            return code;
        }
    }
    *fd_out = fd;
    return MRC_OK;
}

// 1 when the volume is written beside the output, to take its place at the close.
static int mrc_output_beside(const mrc_output_t *out)
{
    return out->plan == MRC_REPLACE_RENAME || out->plan == MRC_REPLACE_COPY;
}

// The hidden name the system last refused to take away, for the report.
static thread_local char mrc_left_name[NAME_MAX + 1];

// Takes the hidden name away: 0, or the errno of the refusal.
static int mrc_remove_hidden(mrc_output_t *out)
{
    int refused = 0;
    if (out->temp[0] && out->dir_fd >= 0 && unlinkat(out->dir_fd, out->temp, 0) != 0 && errno != ENOENT) {
        refused = errno;
        memcpy(mrc_left_name, out->temp, sizeof mrc_left_name);
    }
    out->temp[0] = '\0';
    return refused;
}

void mrc_output_release(mrc_output_t *out)
{
    mrc_remove_hidden(out);
    close_fd(&out->volume_fd);
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
// cuts dst to their size. 0, or the errno of the failure.
static int mrc_copy_into(int src, int dst, int64_t bytes)
{
    loff_t in = 0, at = 0;
    while (at < bytes) {
        const ssize_t n = copy_file_range(src, &in, dst, &at, (size_t)(bytes - at), 0);
        if (n > 0) continue;
        if (n == 0) return EIO;
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
        // No kernel copy between these files: through a buffer, a small one
        // where memory is short, so the copy never fails for want of it.
        static char fallback[64 << 10];
        size_t size = 1 << 20;
        char *buf = (char *)malloc(size);
        if (!buf) buf = fallback, size = sizeof fallback;
        int error = 0;
        while (at < bytes && !error) {
            const ssize_t got = pread(src, buf, (size_t)std::min<int64_t>((int64_t)size, bytes - at), at);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                error = got < 0 ? errno : EIO;
                break;
            }
            for (ssize_t done = 0; done < got;) {
                const ssize_t w = pwrite(dst, buf + done, (size_t)(got - done), at + done);
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) {
                    error = w < 0 ? errno : EIO;
                    break;
                }
                done += w;
            }
            at += got;
        }
        if (buf != fallback) free(buf);
        if (error) return error;
    }
    if (ftruncate(dst, bytes) != 0 || fsync(dst) != 0) return errno;
    return 0;
}

// Copies the finished volume (src) into the file the path led to at the
// create, through the descriptor taken then. Runs copying into one file
// take turns: each holds a lock of its open file on the whole file through
// its copy (waited for with the signals let through), so the file ends as
// one volume or the other, never a mix. A file system without such locks
// (or that refuses the lock) is copied into all the same: the work is done.
static int mrc_output_copy(mrc_output_t *out, int src)
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    int locked;
    while ((locked = fcntl(out->target_fd, F_OFD_SETLKW, &lock)) != 0 && errno == EINTR) {
    }
    struct stat st;
    sigset_t saved;
    mrc_hold_signals(true, &saved);
    const int error = fstat(src, &st) == 0 ? mrc_copy_into(src, out->target_fd, (int64_t)st.st_size) : errno;
    if (locked == 0) {
        lock.l_type = F_UNLCK;
        fcntl(out->target_fd, F_OFD_SETLK, &lock);
    }
    mrc_hold_signals(false, &saved);
    if (!error) return MRC_OK;
    mrc_say("copying it into the existing output failed, which may now hold part of it", error);
    return MRC_EWRITE;
}

// Gives the complete volume (fd) the output's name, in the directory held
// since the create. The name is given over the file found there then, or
// over whatever took the name since (the entry itself: a link is never
// followed); a rename refused over the old file puts the volume into it.
static int mrc_output_link(mrc_output_t *out, int fd)
{
    struct stat now, old;
    const bool had = out->target_fd >= 0 && fstat(out->target_fd, &old) == 0;
    const bool taken = fstatat(out->dir_fd, out->name, &now, AT_SYMLINK_NOFOLLOW) == 0;
    if (!taken && errno != ENOENT) {
        mrc_say("its directory could not be read", errno);
        return MRC_ECREATE;
    }
    const bool same = had && taken && now.st_dev == old.st_dev && now.st_ino == old.st_ino;
    const std::string self = mrc_fd_path(fd);
    if (!taken && out->tmpfile) {
        if (linkat(AT_FDCWD, self.c_str(), out->dir_fd, out->name, AT_SYMLINK_FOLLOW) == 0) {
            out->named_now = 1;
            return MRC_OK;
        }
        if (errno != EEXIST) {
            mrc_say("it could not be linked in", errno);
            return MRC_ECREATE;
        }
    }
    sigset_t saved;
    mrc_hold_signals(true, &saved);
    int error = 0;
    if (out->tmpfile && !out->append_only) {
        int linked = 0;
        for (int attempt = 0; attempt < 100 && !linked; ++attempt) {
            mrc_hidden_name(out, out->temp, sizeof out->temp);
            linked = linkat(AT_FDCWD, self.c_str(), out->dir_fd, out->temp, AT_SYMLINK_FOLLOW) == 0;
            if (!linked && errno != EEXIST) break;
        }
        if (!linked) {
            error = errno;
            out->temp[0] = '\0';
        }
    } else if (out->tmpfile) {
        error = EPERM;  // nothing is linked in that could not be taken away
    }
    const bool renamed = out->temp[0] && renameat(out->dir_fd, out->temp, out->dir_fd, out->name) == 0;
    int left = 0;
    if (out->temp[0] && !renamed) {
        error = errno;
        // The volume stays reachable through fd for a copy.
        left = mrc_remove_hidden(out);
    }
    out->temp[0] = '\0';
    mrc_hold_signals(false, &saved);
    if (renamed) {
        out->named_now = 1;
        return MRC_OK;
    }
    // The rename was refused over the old file: the volume goes into it.
    int result = MRC_ECREATE;
    if (same) {
        result = mrc_output_copy(out, fd);
        if (result == MRC_OK && left) {
            // Its data are in the output now: what stays beside it holds none.
            const int emptied = ftruncate(fd, 0) == 0;
            snprintf(mrc_place_failure, sizeof mrc_place_failure,
                     "the volume was copied into it, but the file %s beside it, which could not be removed "
                     "(%s), %s",
                     mrc_left_name, strerror(left), emptied ? "was emptied" : "still holds a copy");
        } else if (left) {
            const size_t n = strlen(mrc_place_failure);
            snprintf(mrc_place_failure + n, sizeof mrc_place_failure - n,
                     "; the volume stays in %s beside it, which could not be removed (%s)", mrc_left_name,
                     strerror(left));
        }
        return result;
    }
    if (taken)
        mrc_say("its name was taken by another file during the run, which may not be replaced", error);
    else
        mrc_say("it could not be given its name", error);
    if (left) {
        const size_t n = strlen(mrc_place_failure);
        snprintf(mrc_place_failure + n, sizeof mrc_place_failure - n,
                 "; the volume stays in %s beside it, which could not be removed (%s)", mrc_left_name,
                 strerror(left));
    }
    return result;
}

// Makes the name given to the volume last through a power cut.
static int mrc_sync_directory(mrc_output_t *out)
{
    // Without a readable descriptor of the directory, its whole file system.
    const int failed = out->dir_readable ? fsync(out->dir_fd) : syncfs(out->volume_fd);
    if (failed == 0 || errno == EINVAL || errno == EROFS) return MRC_OK;
    // The name is given: what the user must know is that it may not last.
    const int error = errno;
    snprintf(mrc_place_failure, sizeof mrc_place_failure,
             out->target_fd >= 0 ? "the volume replaced the previous output, but the directory could not be "
                                   "written to the disk (%s): after a power cut the previous output may be back"
                                 : "the volume was given its name, but the directory could not be written to "
                                   "the disk (%s): after a power cut the name may be gone",
             strerror(error));
    mrc_place_done = 1;
    return MRC_EWRITE;
}

int mrc_output_finish(mrc_output_t *out, FILE *fp, int result)
{
    mrc_place_failure[0] = '\0';
    mrc_place_done = 0;
    const bool beside = mrc_output_beside(out);
    if (result != MRC_OK) mrc_say("its header could not be written", 0);
    // The data must be on the disk before a name points at them; a file
    // written in place must be there before success is reported.
    struct stat st;
    if (result == MRC_OK &&
        (beside || (fstat(fileno(fp), &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)))) &&
        fsync(fileno(fp)) != 0) {
        mrc_say("its data could not be written to the disk", errno);
        result = MRC_EWRITE;
    }
    if (fclose(fp) != 0) {
        if (result == MRC_OK) mrc_say("its file could not be closed", errno);
        result = MRC_ECLOSE;
    }
    if (result == MRC_OK && beside) {
        struct stat target, now;
        // A file no longer at the output's name (gone from every directory,
        // or left only under its other names) would take the volume away
        // from where the user asked: the volume is given the name instead.
        if (out->plan == MRC_REPLACE_COPY && fstat(out->target_fd, &target) == 0 && target.st_nlink > 0 &&
            fstatat(out->dir_fd, out->name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == target.st_dev &&
            now.st_ino == target.st_ino)
            result = mrc_output_copy(out, out->volume_fd);
        else
            result = mrc_output_link(out, out->volume_fd);
    }
    if (result == MRC_OK && out->named_now) result = mrc_sync_directory(out);
    const int left = mrc_remove_hidden(out);
    if (left) {
        const size_t n = strlen(mrc_place_failure);
        snprintf(mrc_place_failure + n, sizeof mrc_place_failure - n,
                 "%sthe unfinished file %s beside it, which could not be removed (%s), stays", n ? "; " : "",
                 mrc_left_name, strerror(left));
    }
    mrc_output_release(out);
    return result;
}
