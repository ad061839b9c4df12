// The fixture and helpers shared by the end-to-end tests of how an existing
// output is replaced: a small series and its reference volume, outputs and
// directories of a chosen mode and owner, the identity a replaced file must
// keep, the program's texts the tests look for, inode flags, ACLs and the
// kernel settings a test may change for its lifetime.
#ifndef KYVANE_TESTS_DRIVER_E2E_REPLACE_UTIL_H
#define KYVANE_TESTS_DRIVER_E2E_REPLACE_UTIL_H

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "tests/driver/e2e_util.h"

// The unprivileged user the ordinary-user cases run as (CI runs as root).
const int kNobody = 65534;

// Another user sharing the directories, and a group neither user is in;
// neither need exist.
const int kOther = 4242;
const int kForeignGroup = 4344;

// The program's own texts that tell which way a run went.
const char *const kInPlaceWarning = "overwritten as the run goes";
const char *const kNotPlaced = "the volume was computed but could not be put in place";
const char *const kInfoBlock = "Output volume will be";
const char *const kSuccess = "Reconstruction successful!";
const char *const kUnseekable =
    "a pipe, FIFO or terminal cannot take a volume, whose header is written last (Illegal seek).\n";

// A run long enough (SIRT, many iterations) for a signal to come while the
// volume is being written.
const std::vector<std::string> kLongRun = {"-S", "-l", "200", "-e", "none", "-b", "4,1", "-v", "0"};

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
    const std::string bytes = read_whole_file(path);
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

// Sets or clears an inode flag as chattr does; 0, or the errno of the
// refusal.
inline int set_inode_flag(const std::string &path, int flag, bool on)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int flags = 0, error = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
        error = errno;
    } else {
        flags = on ? flags | flag : flags & ~flag;
        if (ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0)
            error = errno;
    }
    close(fd);
    return error;
}

// An inode flag for its lifetime only: the scratch directory must be
// removable whatever the test's outcome.
struct inode_flag_t {
    std::string path;
    int flag;
    int error;  // errno of the refusal, 0 when set
    inode_flag_t(const std::string &p, int f) : path(p), flag(f), error(set_inode_flag(p, f, true)) {}
    ~inode_flag_t()
    {
        if (!error)
            set_inode_flag(path, flag, false);
    }
    inode_flag_t(const inode_flag_t &) = delete;
    inode_flag_t &operator=(const inode_flag_t &) = delete;
};

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

// An entry of an ACL as the kernel stores it: tag, permissions, and the
// user or group (kNoId for the owner, owning group, mask and others).
struct acl_entry_t {
    uint16_t tag, perm;
    uint32_t id;
};

const uint32_t kNoId = 0xFFFFFFFF;

// An ACL as the kernel stores it (system.posix_acl_access or _default).
inline std::string acl_blob(const std::vector<acl_entry_t> &entries)
{
    const uint32_t version = 2;
    std::string blob(reinterpret_cast<const char *>(&version), sizeof version);
    for (const acl_entry_t &e : entries)
        blob.append(reinterpret_cast<const char *>(&e), sizeof e);
    return blob;
}

// The owner, group and others as the mode has them, plus perm for nobody
// (setfacl -m u:nobody:rw: perm 6).
inline std::string acl_with_nobody(uint16_t perm = 6)
{
    return acl_blob({
        {0x01, 6, kNoId},                    // owner
        {0x02, perm, (uint32_t)kNobody},     // the named user
        {0x04, 4, kNoId},                    // owning group
        {0x10, (uint16_t)(perm | 4), kNoId}, // mask
        {0x20, 4, kNoId},                    // others
    });
}

// A regular file's bytes and status, to tell whether anything touched it.
struct file_state_t {
    bool ok = false;
    std::string bytes;
    ino_t ino = 0;
    mode_t mode = 0;
    uid_t uid = 0;
    bool operator==(const file_state_t &o) const
    {
        return ok == o.ok && bytes == o.bytes && ino == o.ino && mode == o.mode && uid == o.uid;
    }
};

inline file_state_t file_state(const std::string &path)
{
    file_state_t f;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return f;
    f.ok = true;
    f.bytes = read_whole_file(path);
    f.ino = st.st_ino, f.mode = st.st_mode, f.uid = st.st_uid;
    return f;
}

// The inode the path leads to, or 0.
inline ino_t inode_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
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

// Marks a row of a table that this machine cannot run. Not gtest's own
// "[  SKIPPED ]", which ctest takes for a skipped test even when the
// table's other rows failed.
const char *const kRowSkipped = "[ row skipped ] ";

// The kernel's protections of links and files in shared directories
// (fs.protected_symlinks, fs.protected_regular) are the whole machine's, and
// tests in other processes change them too. A test whose result depends on
// them holds this lock, across processes, from before any change until the
// settings are restored; within one process the first holder takes it and
// the last gives it back, so that two settings of one row do not wait on
// each other. Settings are changed from the test's own thread only, but
// the count is guarded all the same.
const char *const kSettingsLock = "/tmp/kyvane-test-fs-protection.lock";

inline std::mutex settings_lock_mutex;
inline int settings_lock_fd = -1;
inline int settings_lock_holders = 0;

// 0 once the lock is held, or the errno of the failure.
inline int settings_lock_take()
{
    const std::lock_guard<std::mutex> hold(settings_lock_mutex);
    if (settings_lock_holders == 0) {
        // Opened, not created, where it exists: a file another user made in
        // /tmp is refused to an O_CREAT open under fs.protected_regular.
        int fd = open(kSettingsLock, O_RDONLY | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT)
            fd = open(kSettingsLock, O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST)
            fd = open(kSettingsLock, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return errno;
        while (flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                const int error = errno;
                close(fd);
                return error;
            }
        }
        settings_lock_fd = fd;
    }
    settings_lock_holders++;
    return 0;
}

inline void settings_lock_give()
{
    const std::lock_guard<std::mutex> hold(settings_lock_mutex);
    if (--settings_lock_holders == 0) {
        close(settings_lock_fd);  // the lock goes with the last descriptor
        settings_lock_fd = -1;
    }
}

// The settings lock for its lifetime.
struct settings_lock_t {
    int error;  // errno of the failure, 0 when held
    settings_lock_t() : error(settings_lock_take()) {}
    ~settings_lock_t()
    {
        if (!error)
            settings_lock_give();
    }
    settings_lock_t(const settings_lock_t &) = delete;
    settings_lock_t &operator=(const settings_lock_t &) = delete;
};

// A kernel setting of /proc/sys/fs changed for its lifetime only, put back
// whatever happens, the settings lock held from before the change until
// after the restore.
struct sysctl_t {
    settings_lock_t lock;  // first made, last gone
    std::string path, old;
    int error = 0;  // errno of the refused change, 0 when made
    sysctl_t(const std::string &name, const std::string &value) : path("/proc/sys/fs/" + name)
    {
        if ((error = lock.error) != 0)
            return;
        old = read_whole_file(path);
        if (old.empty() || !write_value(value))
            error = errno ? errno : EIO;
    }
    ~sysctl_t()
    {
        if (!error)
            write_value(old);
    }
    bool write_value(const std::string &value) const
    {
        errno = 0;
        const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        const bool ok = fd >= 0 && write(fd, value.data(), value.size()) == (ssize_t)value.size();
        if (fd >= 0)
            close(fd);
        return ok;
    }
    sysctl_t(const sysctl_t &) = delete;
    sysctl_t &operator=(const sysctl_t &) = delete;
};

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
