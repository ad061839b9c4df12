// The output's path resolved once, at the create, as the kernel would
// resolve it for a plain write, with the rules it keeps in sticky
// directories, so that another user cannot lead the volume elsewhere.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/magic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <string>

#include "mrc/mrc_internal.h"
#include "mrc/mrc_output.h"

// Longest symbolic-link chain followed, as the kernel allows.
enum { MRC_PATH_LINK_HOPS = 40 };

std::string mrc_path_of_fd(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

// Splits a path into the directory opened by the kernel (relative to at)
// and its last component.
static int mrc_path_open_parent(int at, const std::string &path, std::string *base)
{
    const size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    *base = slash == std::string::npos ? path : path.substr(slash + 1);
    return openat(at, dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// A value of /proc/sys/fs, or -1 when it cannot be read.
int mrc_path_fs_sysctl(const char *name)
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
bool mrc_path_may_follow(const struct stat *dir, const struct stat *link, mrc_path_setting_fn setting)
{
    if ((dir->st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH)) return true;
    if (link->st_uid == geteuid() || link->st_uid == dir->st_uid) return true;
    return setting("protected_symlinks") == 0;
}

// The kernel's rule for opening with O_CREAT, as a plain write does, an
// existing file or FIFO of another user in a sticky directory: refused where
// the protection is on, so a file planted in /tmp cannot catch the volume.
bool mrc_path_may_open_planted(const struct stat *dir, const struct stat *file, mrc_path_setting_fn setting)
{
    if (!(dir->st_mode & S_ISVTX) || file->st_uid == dir->st_uid || file->st_uid == geteuid())
        return true;
    const int level = setting(S_ISFIFO(file->st_mode) ? "protected_fifos" : "protected_regular");
    if (level == 0 || (!S_ISREG(file->st_mode) && !S_ISFIFO(file->st_mode))) return true;
    if (dir->st_mode & S_IWOTH) return false;
    return !((dir->st_mode & S_IWGRP) && level >= 2);
}

// True when name in dir is an entry of a process's descriptor table in
// /proc: opening it opens the caller's file, whatever the path looked like.
bool mrc_path_descriptor_entry(int dir, const std::string &name)
{
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) return false;
    struct statfs fs;
    if (fstatfs(dir, &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC) return false;
    char where[PATH_MAX];
    const ssize_t n = readlink(mrc_path_of_fd(dir).c_str(), where, sizeof where - 1);
    return n >= 3 && memcmp(where + n - 3, "/fd", 3) == 0;
}

// Follows path to the name a create would make or open: its directory
// (*dir, O_PATH) and name in it (*base). Links of the last component are
// followed here under the kernel's rules, the rest by the kernel itself.
// Says what stands at the name (for a file, *st as the link-free look
// found it); MRC_PATH_FAILED with errno.
mrc_path_found_t mrc_path_resolve(const char *path, int *dir_out, std::string *base, struct stat *st)
{
    int dir = mrc_path_open_parent(AT_FDCWD, path, base);
    for (int hop = 0; dir >= 0; ++hop) {
        if (base->empty() || *base == "." || *base == "..") {
            errno = EISDIR;
            break;
        }
        if (base->size() > NAME_MAX) {
            errno = ENAMETOOLONG;
            break;
        }
        if (mrc_path_descriptor_entry(dir, *base)) {
            *dir_out = dir;
            return MRC_PATH_DESCRIPTOR;
        }
        const int link = openat(dir, base->c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (link < 0) {
            if (errno != ENOENT) break;
            *dir_out = dir;
            return MRC_PATH_NOTHING;
        }
        struct stat d;
        if (fstat(link, st) != 0 || fstat(dir, &d) != 0) {
            close(link);
            break;
        }
        if (!S_ISLNK(st->st_mode)) {
            close(link);
            *dir_out = dir;
            return MRC_PATH_FILE;
        }
        std::string text(PATH_MAX, '\0');
        const ssize_t n = hop == MRC_PATH_LINK_HOPS ? -1 : readlinkat(link, "", &text[0], text.size());
        close(link);
        if (hop == MRC_PATH_LINK_HOPS || !mrc_path_may_follow(&d, st)) {
            errno = hop == MRC_PATH_LINK_HOPS ? ELOOP : EACCES;
            break;
        }
        if (n <= 0 || (size_t)n >= text.size()) {
            if (n == 0) errno = ENOENT;
            break;
        }
        text.resize((size_t)n);
        const int next = mrc_path_open_parent(text[0] == '/' ? AT_FDCWD : dir, text, base);
        close(dir);
        dir = next;
    }
    const int saved = errno;
    if (dir >= 0) close(dir);
    errno = saved;
    return MRC_PATH_FAILED;
}
