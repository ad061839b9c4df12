// The identity of the file a volume replaces, given to the new file before
// any data goes in: inode flags, owner, group, attributes, ACLs and mode.
#include <errno.h>
#include <linux/fs.h>
#include <stdint.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mrc/mrc_internal.h"
#include "mrc/mrc_output.h"

// Inode flags a file's owner sets (chattr) that a copy in place would keep:
// no-dump, no-atime, no-copy-on-write, synchronous, compression on and off.
static const int mrc_identity_user_flags =
    FS_NODUMP_FL | FS_NOATIME_FL | FS_NOCOW_FL | FS_SYNC_FL | FS_COMPR_FL | FS_NOCOMP_FL;

// Names of a file's extended attributes (POSIX ACLs among them).
static bool mrc_identity_list_xattrs(int fd, std::vector<std::string> *names)
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

static bool mrc_identity_get_xattr(int fd, const char *name, std::string *value)
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
static bool mrc_identity_copy_flags(int tmp, int target)
{
    int old_flags = 0, flags = 0;
    if (ioctl(target, FS_IOC_GETFLAGS, &old_flags) != 0) old_flags = 0;
    if (ioctl(tmp, FS_IOC_GETFLAGS, &flags) != 0) return (old_flags & mrc_identity_user_flags) == 0;
    const int want = (flags & ~mrc_identity_user_flags) | (old_flags & mrc_identity_user_flags);
    return want == flags || ioctl(tmp, FS_IOC_SETFLAGS, &want) == 0;
}

// Gives the new file the flags, owner, group, attributes, ACLs and mode of
// the one it replaces, before any data goes in. False when any of it cannot
// be given.
bool mrc_identity_copy(int tmp, int target, const struct stat *st)
{
    if (!mrc_identity_copy_flags(tmp, target)) return false;
    struct stat ts;
    if (fstat(tmp, &ts) != 0) return false;
    if ((ts.st_uid != st->st_uid || ts.st_gid != st->st_gid) && fchown(tmp, st->st_uid, st->st_gid) != 0)
        return false;
    std::vector<std::string> keep, have;
    if (!mrc_identity_list_xattrs(target, &keep) || !mrc_identity_list_xattrs(tmp, &have)) return false;
    for (const std::string &name : keep) {
        std::string value, present;
        if (!mrc_identity_get_xattr(target, name.c_str(), &value)) return false;
        if (mrc_identity_get_xattr(tmp, name.c_str(), &present) && present == value) continue;
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
mode_t mrc_identity_created_mode(const mrc_output_t *out)
{
    std::string acl;
    // An O_PATH descriptor has no attributes of its own: through its name.
    const std::string dir = mrc_path_of_fd(out->dir_fd);
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
