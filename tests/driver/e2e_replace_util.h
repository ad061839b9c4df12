// The fixture and helpers shared by the end-to-end tests of how an existing
// output is replaced: a small series and its reference volume, outputs and
// directories of a chosen mode and owner, and the identity a replaced file
// must keep.
#ifndef KYVANE_TESTS_DRIVER_E2E_REPLACE_UTIL_H
#define KYVANE_TESTS_DRIVER_E2E_REPLACE_UTIL_H

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "tests/driver/e2e_util.h"

// The unprivileged user the ordinary-user cases run as (CI runs as root).
const int kNobody = 65534;

// The inode flags a user may set with chattr that a replaced file keeps:
// no-dump, no-atime, no-copy-on-write, synchronous, compress, no-compress.
const unsigned kUserFlags =
    FS_NODUMP_FL | FS_NOATIME_FL | FS_NOCOW_FL | FS_SYNC_FL | FS_COMPR_FL | FS_NOCOMP_FL;

// The user-settable inode flags of a regular file (not followed), or 0.
inline unsigned inode_flags(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    int flags = 0;
    if (fd < 0 || ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0)
        flags = 0;
    if (fd >= 0)
        close(fd);
    return (unsigned)flags & kUserFlags;
}

// Adds inode flags to a file as chattr does; why that is refused, or
// nothing. The file is emptied and refilled around it: a file system takes
// no-copy-on-write only while a file is empty.
inline std::string add_inode_flags(const std::string &path, unsigned add)
{
    const std::string bytes = e2e_read_bytes(path);
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    int flags = 0;
    std::string why;
    if (fd < 0 || ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0 || ftruncate(fd, 0) != 0)
        why = std::string("FS_IOC_GETFLAGS: ") + std::strerror(errno);
    else if (flags |= (int)add, ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0)
        why = std::string("FS_IOC_SETFLAGS refused: ") + std::strerror(errno);
    if (fd >= 0 && pwrite(fd, bytes.data(), bytes.size(), 0) != (ssize_t)bytes.size())
        why = std::string("rewrite: ") + std::strerror(errno);
    if (fd >= 0)
        close(fd);
    return why;
}

// What a replaced output must keep: its mode, owner, links, inode flags and
// every extended attribute the caller can see (to root: user.*, trusted.*,
// security.* and the POSIX ACLs).
struct identity_t {
    bool ok = false;
    dev_t dev = 0;
    ino_t ino = 0;
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    nlink_t nlink = 0;
    unsigned flags = 0;
    std::map<std::string, std::string> xattrs;
};

inline identity_t identity(const std::string &path)
{
    identity_t id;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return id;
    id.ok = true;
    id.dev = st.st_dev, id.ino = st.st_ino, id.mode = st.st_mode, id.uid = st.st_uid;
    id.gid = st.st_gid, id.nlink = st.st_nlink;
    id.flags = S_ISREG(st.st_mode) ? inode_flags(path) : 0;
    std::string names(65536, '\0');
    const ssize_t n = llistxattr(path.c_str(), &names[0], names.size());
    for (size_t at = 0; n > 0 && at < (size_t)n; at += std::strlen(&names[at]) + 1) {
        const std::string name = &names[at];
        std::string value(65536, '\0');
        const ssize_t len = lgetxattr(path.c_str(), name.c_str(), &value[0], value.size());
        id.xattrs[name] = len < 0 ? "(unreadable)" : value.substr(0, (size_t)len);
    }
    return id;
}

inline std::string describe(const identity_t &id)
{
    std::ostringstream s;
    s << "mode " << std::oct << id.mode << std::dec << ", owner " << id.uid << ":" << id.gid << ", "
      << id.nlink << " link(s), flags " << std::hex << id.flags << std::dec << ", attributes:";
    for (const auto &x : id.xattrs)
        s << " " << x.first << " (" << x.second.size() << " bytes)";
    return s.str();
}

// An ACL as the kernel stores it in system.posix_acl_access (or _default):
// the owner, group and others as the mode has them, plus perm for nobody
// (setfacl -m u:nobody:rw: perm 6).
inline std::string acl_with_nobody(uint16_t perm = 6)
{
    struct entry_t {
        uint16_t tag, perm;
        uint32_t id;
    };
    const uint32_t version = 2, none = 0xFFFFFFFF;
    const entry_t entries[] = {
        {0x01, 6, none},              // owner
        {0x02, perm, (uint32_t)kNobody},  // the named user
        {0x04, 4, none},              // owning group
        {0x10, (uint16_t)(perm | 4), none},  // mask
        {0x20, 4, none},              // others
    };
    std::string blob(reinterpret_cast<const char *>(&version), sizeof version);
    blob.append(reinterpret_cast<const char *>(entries), sizeof entries);
    return blob;
}

// The lines of a log that hold text (progress lines end in a carriage return).
inline int lines_with(const std::string &log, const std::string &text, const std::string &start)
{
    int count = 0;
    std::string line;
    for (char c : log + "\n") {
        if (c != '\n' && c != '\r') {
            line += c;
            continue;
        }
        if (line.find(text) != std::string::npos && line.rfind(start, 0) == 0)
            count++;
        line.clear();
    }
    return count;
}

// Why a setup step failed (the file system or the user may not allow it),
// or nothing.
inline std::string refused(const char *what, int failed)
{
    return failed ? std::string(what) + " refused: " + std::strerror(errno) : std::string();
}

const char *const kInPlaceWarning = "overwritten as the run goes";

// Marks a row of a table that this machine cannot run. Not gtest's own
// "[  SKIPPED ]", which ctest takes for a skipped test even when the
// table's other rows failed.
const char *const kRowSkipped = "[ row skipped ] ";

// Keeps a mount for its lifetime only, whatever the test's outcome.
struct mount_t {
    std::string target;
    int error = 0;  // errno of the refused mount, 0 when mounted
    mount_t(const std::string &source, const std::string &to, const char *type, unsigned long flags,
            const char *data)
        : target(to)
    {
        if (mount(source.c_str(), to.c_str(), type, flags, data) != 0)
            error = errno;
    }
    ~mount_t()
    {
        if (!error)
            umount2(target.c_str(), MNT_DETACH);
    }
    mount_t(const mount_t &) = delete;
    mount_t &operator=(const mount_t &) = delete;
};

class E2eReplace : public ::testing::Test {
protected:
    scratch_dir_t dir;
    e2e_series_t series = e2e_make_series(64, 16, 61, 32);
    std::string ts = dir.file("series.mrc"), tlt = dir.file("series.tlt");
    // Longer than the volume (64 x 64 x 16 floats): a volume written into
    // the old file must also cut it to its own length.
    std::string old_bytes = std::string("previous volume\n") + std::string(300000, '\x5a');
    e2e_volume_t ref;

    void SetUp() override
    {
        // Reachable and readable by the ordinary user.
        ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
        e2e_write_series(series, ts, tlt);
        const run_result_t r = e2e_run(args(dir.file("reference.mrc")));
        ASSERT_EQ(r.status, 0) << r.err;
        ref = e2e_read_volume(dir.file("reference.mrc"));
        ASSERT_TRUE(ref.ok);
    }

    std::vector<std::string> args(const std::string &output, std::vector<std::string> extra = {})
    {
        std::vector<std::string> a = {"-a", tlt, "-i", ts, "-o", output, "-f", "-t", "2"};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }

    static void own(const std::string &path, int uid, int gid)
    {
        if ((uid_t)uid != geteuid() || (gid_t)gid != getegid()) {
            EXPECT_EQ(chown(path.c_str(), (uid_t)uid, (gid_t)gid), 0) << path;
        }
    }

    // A directory of the scratch directory with exactly this mode and owner.
    std::string subdir(const std::string &name, mode_t mode = 0755, int uid = 0, int gid = 0)
    {
        const std::string path = dir.file(name);
        EXPECT_EQ(mkdir(path.c_str(), 0700), 0) << path;
        own(path, uid, gid);
        EXPECT_EQ(chmod(path.c_str(), mode), 0) << path;
        return path;
    }

    // The previous output, with exactly this mode and owner.
    void make_output(const std::string &path, mode_t mode = 0644, int uid = 0, int gid = 0)
    {
        write_text_file(path, old_bytes);
        own(path, uid, gid);
        EXPECT_EQ(chmod(path.c_str(), mode), 0) << path;
    }

    // The whole volume of the run, nothing before or after it.
    void expect_volume(const std::string &path, const std::string &what)
    {
        const e2e_volume_t v = e2e_read_volume(path);
        std::error_code ec;  // a missing file is reported, not thrown
        EXPECT_TRUE(v.ok && v.nx == ref.nx && v.ny == ref.ny && v.nz == ref.nz && v.data == ref.data)
            << what << ": not the volume at " << path << " (" << v.nx << " x " << v.ny << " x "
            << v.nz << ", " << std::filesystem::file_size(path, ec) << " bytes)";
    }
};

#endif
