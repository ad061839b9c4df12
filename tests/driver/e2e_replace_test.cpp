// End-to-end replacement of an existing output as users' systems meet it:
// the file keeps its identity (mode, owner, ACLs, attributes, links), an
// ordinary user's permissions decide as they would for a plain write, paths
// through descriptor tables, at the length limits and under mount points
// work, and a failure at the close leaves the previous output as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include <grp.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "tests/driver/e2e_replace_util.h"

namespace {

// Another user sharing the directories with them, who need not exist.
const int kAttacker = 4242;

const char *const kNotPutInPlace = "the volume was computed but could not be put in place";
const char *const kInfoBlock = "Output volume will be";

// A run long enough (SIRT, many iterations) for a signal to come while the
// volume is being written.
const std::vector<std::string> kLongRun = {"-S", "-l", "200", "-e", "none", "-b", "4,1", "-v", "0"};

// Sets (or clears) an inode flag as chattr does; 0, or the errno of the
// refusal.
int set_inode_flag(const std::string &path, int flag, bool on)
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

// A kernel setting changed for its lifetime only, put back whatever happens.
struct sysctl_t {
    std::string path, old;
    int error = 0;  // errno of the refused change, 0 when made
    sysctl_t(const std::string &p, const std::string &value) : path(p)
    {
        old = e2e_read_bytes(path);
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

file_state_t file_state(const std::string &path)
{
    file_state_t f;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return f;
    f.ok = true;
    f.bytes = e2e_read_bytes(path);
    f.ino = st.st_ino, f.mode = st.st_mode, f.uid = st.st_uid;
    return f;
}

ino_t inode_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Whatever stands at the output's name afterwards is the same file to its
// owner and to the system: mode with its set-id bits, owner, group, ACLs by
// value, every attribute, inode flags, and a file of several names stays one
// file that every name shows anew.
TEST_F(E2eReplace, KeepsTheFilesIdentity)
{
    const group *adm = getgrnam("adm");
    const gid_t adm_gid = adm ? adm->gr_gid : 4;
    // Each setup returns why its case cannot run here, or nothing.
    struct case_t {
        const char *what;
        std::function<std::string(const std::string &out)> setup;
        std::vector<std::string> other_names = {};  // further links made to the output
    } cases[] = {
        {"mode 0600", [](const std::string &out) { return refused("chmod", chmod(out.c_str(), 0600)); }},
        {"mode 0640, group adm",
         [&](const std::string &out) {
             return refused("chown", chown(out.c_str(), 0, adm_gid) || chmod(out.c_str(), 0640));
         }},
        {"owned by nobody",
         [](const std::string &out) { return refused("chown", chown(out.c_str(), kNobody, kNobody)); }},
        {"ACL entry for nobody",
         [](const std::string &out) {
             const std::string acl = acl_with_nobody();
             return refused("ACL", setxattr(out.c_str(), "system.posix_acl_access", acl.data(),
                                            acl.size(), 0));
         }},
        {"user attribute",
         [](const std::string &out) {
             const char value[] = "tilt series 7, session 2";
             return refused("user attribute",
                            setxattr(out.c_str(), "user.kyvane.origin", value, sizeof value - 1, 0));
         }},
        {"two hard links", [](const std::string &) { return std::string(); }, {"twin.mrc"}},
        {"set-user-id and set-group-id bits",
         [](const std::string &out) { return refused("chmod", chmod(out.c_str(), 06644)); }},
        {"trusted attribute",
         [](const std::string &out) {
             const char value[] = "kept by root";
             return refused("trusted attribute",
                            setxattr(out.c_str(), "trusted.kyvane.note", value, sizeof value - 1, 0));
         }},
        // The new file is born with the directory's ACL, which the old one
        // never had.
        {"directory default ACL, none on the file",
         [](const std::string &out) {
             const std::string acl = acl_with_nobody(4), where = std::filesystem::path(out).parent_path();
             return refused("default ACL", setxattr(where.c_str(), "system.posix_acl_default", acl.data(),
                                                    acl.size(), 0));
         }},
        // Both carry an entry for nobody: r-- inherited, rw- the file's own.
        {"ACL entry differing from the directory default's",
         [](const std::string &out) {
             const std::string dflt = acl_with_nobody(4), own = acl_with_nobody(6);
             const std::string where = std::filesystem::path(out).parent_path();
             return refused("ACL", setxattr(where.c_str(), "system.posix_acl_default", dflt.data(),
                                            dflt.size(), 0) ||
                                       setxattr(out.c_str(), "system.posix_acl_access", own.data(),
                                                own.size(), 0));
         }},
        {"no-dump", [](const std::string &out) { return add_inode_flags(out, FS_NODUMP_FL); }},
        {"no-atime", [](const std::string &out) { return add_inode_flags(out, FS_NOATIME_FL); }},
        {"no-dump and no-atime",
         [](const std::string &out) { return add_inode_flags(out, FS_NODUMP_FL | FS_NOATIME_FL); }},
    };
    int n = 0;
    for (const case_t &c : cases) {
        const std::string where = subdir("identity-" + std::to_string(n++));
        const std::string out = where + "/out.mrc";
        make_output(out);
        for (const std::string &name : c.other_names)
            ASSERT_EQ(link(out.c_str(), (where + "/" + name).c_str()), 0);
        const std::string refused = c.setup(out);
        if (!refused.empty()) {
            std::cout << kRowSkipped << c.what << ": " << refused << "\n";
            continue;
        }
        const identity_t before = identity(out);
        const std::set<std::string> names = e2e_listing(where);
        const run_result_t r = e2e_run(args(out));
        EXPECT_EQ(r.status, 0) << c.what << "\n" << r.err;
        const identity_t after = identity(out);
        ASSERT_TRUE(after.ok) << c.what;
        EXPECT_EQ(after.mode, before.mode) << c.what;
        EXPECT_EQ(after.uid, before.uid) << c.what;
        EXPECT_EQ(after.gid, before.gid) << c.what;
        EXPECT_EQ(after.nlink, before.nlink) << c.what;
        EXPECT_EQ(after.flags, before.flags) << c.what;
        EXPECT_EQ(after.xattrs, before.xattrs)
            << c.what << "\nbefore: " << describe(before) << "\nafter:  " << describe(after);
        expect_volume(out, c.what);
        for (const std::string &name : c.other_names) {
            const identity_t twin = identity(where + "/" + name);
            EXPECT_TRUE(twin.dev == after.dev && twin.ino == after.ino) << c.what << ": " << name;
            expect_volume(where + "/" + name, c.what);
        }
        EXPECT_EQ(e2e_listing(where), names) << c.what;
    }
}

// An ordinary user's run succeeds or is refused as a plain write of the
// output would be; what succeeds stays the same file, owner and mode.
TEST_F(E2eReplace, OrdinaryUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can run a child as another user";
    struct case_t {
        const char *what;
        mode_t dir_mode;   // of the root-owned directory holding the output
        int out_owner, out_group;
        mode_t out_mode;
        bool succeeds;
        bool in_place;     // written in place, which the run warns of
    } cases[] = {
        // Nothing can be made beside the output: it is written in place.
        {"directory not writable, own writable output", 0755, kNobody, kNobody, 0644, true, true},
        // Another user's file cannot be renamed over: copied at the close.
        {"sticky directory, root's output writable by all", 01777, 0, 0, 0666, true, false},
        // The user cannot give a new file that group: copied at the close.
        {"own output of a group the user is not in", 0777, kNobody, 0, 0664, true, false},
        // A rename would replace these; the user may not write them.
        {"own write-protected output", 0777, kNobody, kNobody, 0444, false, false},
        {"root's output readable by all", 0777, 0, 0, 0644, false, false},
    };
    int n = 0;
    for (const case_t &c : cases) {
        const std::string where = subdir("user-" + std::to_string(n++), c.dir_mode);
        const std::string out = where + "/out.mrc";
        make_output(out, c.out_mode, c.out_owner, c.out_group);
        const identity_t before = identity(out);
        const std::set<std::string> names = e2e_listing(where);
        run_options_t as_user;
        as_user.uid = as_user.gid = kNobody;
        const run_result_t r = run_binary_with(KYVANE_BINARY, args(out), as_user);
        const identity_t after = identity(out);
        EXPECT_EQ(r.term_signal, 0) << c.what;
        if (c.succeeds) {
            EXPECT_EQ(r.status, 0) << c.what << "\n" << r.err;
            EXPECT_EQ(r.err, "") << c.what;
            EXPECT_EQ(lines_with(r.out, kInPlaceWarning, "Warning: "), c.in_place ? 1 : 0)
                << c.what << "\n" << r.out;
            EXPECT_EQ(lines_with(r.out, kInPlaceWarning, ""), c.in_place ? 1 : 0) << c.what;
            EXPECT_TRUE(after.dev == before.dev && after.ino == before.ino) << c.what;
            EXPECT_TRUE(after.uid == before.uid && after.gid == before.gid) << c.what;
            EXPECT_EQ(after.mode, before.mode) << c.what;
            expect_volume(out, c.what);
        } else {
            EXPECT_EQ(r.status, 1) << c.what;
            // The error's line, then the system's reason.
            EXPECT_EQ(r.err, out + ": Cannot create image.\n" + out + ": Permission denied.\n") << c.what;
            EXPECT_EQ(e2e_read_bytes(out), old_bytes) << c.what;
            EXPECT_TRUE(after.ino == before.ino && after.mode == before.mode) << c.what;
        }
        EXPECT_EQ(e2e_listing(where), names) << c.what;
    }
}

// A path through the descriptor table names the open file the caller
// passed, named or unnamed, however the path is spelt: the volume goes into
// that very file, and no file appears under the name the kernel shows for
// it.
TEST_F(E2eReplace, DescriptorPaths)
{
    const struct {
        const char *prefix;
        bool unnamed;
    } cases[] = {{"/dev/fd/", false},         {"/proc/self/fd/", false}, {"/dev/fd/", true},
                 {"/proc/self/fd/", true},    {"/dev//fd/", false},      {"/dev/./fd/", false},
                 {"//proc/self/fd/", false}, {"/dev//fd/", true},       {"//proc/self/fd/", true}};
    int n = 0;
    for (const auto &c : cases) {
        const std::string what = std::string(c.prefix) + (c.unnamed ? " of an unnamed file" : " of a named file");
        const std::string where = subdir("fd-" + std::to_string(n++));
        const std::string held = where + "/held.mrc";
        const int fd = c.unnamed ? open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644)
                                 : open(held.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 && c.unnamed && errno == EOPNOTSUPP) {
            std::cout << kRowSkipped << what << ": the file system has no unnamed files\n";
            continue;
        }
        ASSERT_GE(fd, 0) << what << ": " << std::strerror(errno);
        ASSERT_EQ(write(fd, old_bytes.data(), old_bytes.size()), (ssize_t)old_bytes.size());
        const std::set<std::string> names = e2e_listing(where);
        run_options_t options;
        options.inherit_fds = {fd};
        const run_result_t r =
            run_binary_with(KYVANE_BINARY, args(c.prefix + std::to_string(fd)), options);
        EXPECT_EQ(r.status, 0) << what << "\n" << r.err;
        expect_volume("/proc/self/fd/" + std::to_string(fd), what + ", through the descriptor");
        if (!c.unnamed) {
            struct stat by_fd, by_name;
            EXPECT_TRUE(fstat(fd, &by_fd) == 0 && stat(held.c_str(), &by_name) == 0 &&
                        by_fd.st_ino == by_name.st_ino)
                << what;
            expect_volume(held, what + ", through its name");
        }
        EXPECT_EQ(e2e_listing(where), names) << what;
        close(fd);
    }
}

// A symbolic-link loop is refused untouched, as a plain create refuses it;
// an output path just short of PATH_MAX is written like any other.
TEST_F(E2eReplace, PathsAtTheLimits)
{
    const std::string loop = subdir("loop");
    ASSERT_EQ(symlink("b", (loop + "/a").c_str()), 0);
    ASSERT_EQ(symlink("a", (loop + "/b").c_str()), 0);
    const run_result_t r = e2e_run(args(loop + "/a"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, loop + "/a: Cannot create image.\n" + loop + "/a: Too many levels of symbolic links.\n");
    EXPECT_EQ(e2e_listing(loop), (std::set<std::string>{"a", "b"}));
    std::error_code ec;
    EXPECT_EQ(std::filesystem::read_symlink(loop + "/a", ec).string(), "b");
    EXPECT_EQ(std::filesystem::read_symlink(loop + "/b", ec).string(), "a");

    // 4085 bytes: the longest name of the last directory is 100 bytes, so
    // any name longer than the output's own in that directory goes past
    // PATH_MAX (4096 with the terminating zero) as a path.
    const size_t total = 4085, name_length = 100;
    std::string deep = dir.path;
    while (deep.size() + 1 + name_length < total) {
        const size_t room = total - name_length - 1 - deep.size();  // for "/dir..."
        size_t length = std::min<size_t>(200, room - 1);
        if (room - (length + 1) == 1)  // a lone slash cannot stand
            length--;
        deep += "/" + std::string(length, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0) << deep.size() << " " << std::strerror(errno);
    }
    const std::string out = deep + "/" + std::string(name_length - 4, 'v') + ".mrc";
    ASSERT_EQ(out.size(), total);
    // And a name of NAME_MAX bytes, whose hidden companion must be shorter.
    const std::string longest = subdir("longest") + "/" + std::string(251, 'n') + ".mrc";
    // Unnamed, and with the hidden file a named one must be made beside.
    for (const std::string fail : {"", "tmpfile"}) {
        for (const std::string &path : {out, longest}) {
            const std::string what = "a path of " + std::to_string(path.size()) + " bytes, " +
                                     (fail.empty() ? "unnamed" : "named") + " file";
            make_output(path);
            run_options_t options;
            if (!fail.empty())
                options.env = e2e_fail_env(fail);
            const run_result_t r = run_binary_with(KYVANE_BINARY, args(path), options);
            EXPECT_EQ(r.status, 0) << what << "\n" << r.err;
            // Replaced whole at the end, not given up at the start.
            EXPECT_EQ(lines_with(r.out, kInPlaceWarning, "Warning: "), 0) << what << "\n" << r.out;
            expect_volume(path, what);
            const std::string where = std::filesystem::path(path).parent_path();
            EXPECT_EQ(e2e_listing(where).size(), 1u) << what;
        }
    }
}

// A pipeline watching the directory sees the output's name change once,
// when the volume is complete: no write or close-after-write of the old
// file at the start of the run. The old file, held open for writing since
// the start (so the kernel refuses at once what it would refuse a plain
// write), may report its close only after the new volume has its name.
TEST_F(E2eReplace, OnlyTheFinalEventOnTheName)
{
    const std::string where = subdir("watched");
    const std::string out = where + "/out.mrc";
    make_output(out);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0) << std::strerror(errno);
    ASSERT_GE(inotify_add_watch(watch, where.c_str(), IN_ALL_EVENTS), 0) << std::strerror(errno);
    const run_result_t r = e2e_run(args(out));
    EXPECT_EQ(r.status, 0) << r.err;
    expect_volume(out, "watched");

    std::vector<uint32_t> on_name;
    bool overflow = false;
    alignas(inotify_event) char buffer[65536];
    ssize_t n;
    while ((n = read(watch, buffer, sizeof buffer)) > 0) {
        for (char *p = buffer; p < buffer + n;) {
            const inotify_event *e = reinterpret_cast<const inotify_event *>(p);
            overflow = overflow || (e->mask & IN_Q_OVERFLOW);
            // Reading the old file is harmless: only changes count.
            const uint32_t reads = IN_OPEN | IN_ACCESS | IN_CLOSE_NOWRITE;
            if (e->len && std::string(e->name) == "out.mrc" && (e->mask & ~reads))
                on_name.push_back(e->mask);
            p += sizeof(inotify_event) + e->len;
        }
    }
    close(watch);
    EXPECT_FALSE(overflow);
    std::ostringstream masks;
    for (uint32_t m : on_name)
        masks << std::hex << " 0x" << m;
    if (on_name.size() == 2 && on_name[1] == IN_CLOSE_WRITE)
        on_name.pop_back();
    EXPECT_EQ(on_name, std::vector<uint32_t>{IN_MOVED_TO}) << "events:" << masks.str();
}

// An output under a mount point: a file bound over the output gets the
// volume in place (a rename cannot replace a mount point), and a small file
// system with room for the new volume only where the old one stands is
// written in place, with a warning.
TEST_F(E2eReplace, Mounts)
{
    // Mounts made in a namespace of this process alone vanish with it.
    if (unshare(CLONE_NEWNS) == 0)
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);

    const std::string where = subdir("bind");
    const std::string source = where + "/source.mrc", out = where + "/out.mrc";
    make_output(source);
    write_text_file(out, "under the mount");
    const std::set<std::string> names = e2e_listing(where);
    {
        const mount_t bound(source, out, nullptr, MS_BIND, nullptr);
        if (bound.error)
            GTEST_SKIP() << "bind mount refused: " << std::strerror(bound.error);
        const run_result_t r = e2e_run(args(out));
        EXPECT_EQ(r.status, 0) << r.err;
        expect_volume(out, "bind-mounted output");
        expect_volume(source, "source of the bind mount");
        EXPECT_EQ(e2e_listing(where), names);
    }

    // 8 MiB of volume; 17.8 MB of the old one leave 7.4 MB of the 24 MiB.
    const e2e_series_t wide = e2e_make_series(256, 32, 61, 32);
    const std::string wide_ts = dir.file("wide.mrc"), wide_tlt = dir.file("wide.tlt");
    e2e_write_series(wide, wide_ts, wide_tlt);
    const std::string wide_ref = dir.file("wide-reference.mrc");
    ASSERT_EQ(e2e_run({"-a", wide_tlt, "-i", wide_ts, "-o", wide_ref, "-f", "-v", "0"}).status, 0);
    const std::string small = subdir("small");
    const mount_t tmpfs("tmpfs", small, "tmpfs", 0, "size=24m,mode=0755");
    if (tmpfs.error)
        GTEST_SKIP() << "tmpfs mount refused: " << std::strerror(tmpfs.error);
    const std::string full = small + "/out.mrc";
    write_text_file(full, std::string(17800000, '\x5a'));
    const run_result_t r = e2e_run({"-a", wide_tlt, "-i", wide_ts, "-o", full, "-f"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines_with(r.out, kInPlaceWarning, "Warning: "), 1) << r.out;
    const e2e_volume_t got = e2e_read_volume(full), want = e2e_read_volume(wide_ref);
    EXPECT_TRUE(got.ok);
    EXPECT_EQ(got.nx * got.ny * got.nz, 256 * 256 * 32);
    EXPECT_TRUE(got.data == want.data);
    EXPECT_EQ(e2e_listing(small), (std::set<std::string>{"out.mrc"}));
}

// The last steps of the close fail (data not on the disk, header not
// written, file not closed): the previous output stays byte for byte and
// nothing is left beside it, with the unnamed file and with the named one
// the program falls back to.
TEST_F(E2eReplace, FailuresAtTheClose)
{
    const struct {
        const char *fail;
        const char *message;
    } cases[] = {
        {"fsync", ": Cannot write image.\n"},
        {"header", ": Cannot write image.\n"},
        {"close", ": Cannot close image.\n"},
        {"flush", ": Cannot write image.\n"},
    };
    const struct {
        const char *what;
        std::string fail;
    } rounds[] = {{"unnamed file", ""}, {"named hidden file", "tmpfile,"}};
    const std::string where = subdir("close");
    const std::string out = where + "/out.mrc";
    make_output(out);
    const std::set<std::string> names = e2e_listing(where);
    for (const auto &round : rounds) {
        for (const auto &c : cases) {
            const std::string what = std::string(c.fail) + ", " + round.what;
            run_options_t options;
            options.env = e2e_fail_env(round.fail + c.fail);
            const run_result_t r = run_binary_with(KYVANE_BINARY, args(out), options);
            EXPECT_EQ(r.status, 1) << what;
            EXPECT_EQ(r.term_signal, 0) << what;
            EXPECT_NE(r.err.find(out + c.message), std::string::npos) << what << "\n" << r.err;
            EXPECT_EQ(r.out.find("Reconstruction successful!"), std::string::npos) << what;
            EXPECT_EQ(e2e_read_bytes(out), old_bytes) << what;
            EXPECT_EQ(e2e_listing(where), names) << what;
        }
    }
}

// A rename that the directory refuses only at the close, for a reason no
// check before the run could see: the volume goes into the old file, which
// keeps its inode, and nothing is left beside it.
TEST_F(E2eReplace, RenameRefusedAtTheClose)
{
    const std::string where = subdir("refused");
    const std::string out = where + "/out.mrc";
    for (const std::string fail : {"rename", "tmpfile,rename"}) {
        make_output(out);
        const std::set<std::string> names = e2e_listing(where);
        struct stat before;
        ASSERT_EQ(stat(out.c_str(), &before), 0);
        run_options_t options;
        options.env = e2e_fail_env(fail);
        const run_result_t r = run_binary_with(KYVANE_BINARY, args(out), options);
        EXPECT_EQ(r.status, 0) << fail << "\n" << r.err;
        struct stat after;
        ASSERT_EQ(stat(out.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << fail;
        expect_volume(out, fail);
        EXPECT_EQ(e2e_listing(where), names) << fail;
    }
}

// A link another user plants at a new output's name during the run, in a
// sticky directory, points at the user's own file: the volume must not go
// there, and since that entry is not the user's to replace the run fails
// and says why. Where the entry may be replaced (the user's own link, a
// directory that is not sticky) the volume takes the name.
TEST_F(E2eReplace, LinkPlantedAtANewOutput)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can run the program and the planter as other users";
    const std::string home = subdir("home", 0755, kNobody, kNobody);
    const std::string notes = home + "/notes.txt";
    const struct {
        const char *what;
        mode_t dir_mode;
        int planter;
        bool succeeds;
    } cases[] = {
        {"another user's link in a sticky directory", 01777, kAttacker, false},
        {"the user's own link in a sticky directory", 01777, kNobody, true},
        {"another user's link in a directory that is not sticky", 0777, kAttacker, true},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string where = subdir("planted-" + std::to_string(n++), c.dir_mode);
        const std::string vol = where + "/vol.mrc";
        write_text_file(notes, "the user's notes\n");
        own(notes, kNobody, kNobody);
        ASSERT_EQ(chmod(notes.c_str(), 0640), 0);
        const file_state_t notes_before = file_state(notes);
        run_options_t options;
        options.uid = options.gid = kNobody;
        // The first sync is the volume's own, at the close.
        options.env = e2e_fail_env("stop=fsync");
        int planted = -1;
        options.on_stop = [&](int) {
            planted = run_as(c.planter, c.planter,
                             [&] { return symlink(notes.c_str(), vol.c_str()) == 0 ? 0 : errno; });
        };
        const run_result_t r = run_binary_with(KYVANE_BINARY, args(vol), options);
        ASSERT_EQ(r.stops, 1) << c.what << ": the run never synced its volume\n" << r.err;
        ASSERT_EQ(planted, 0) << c.what << ": the link could not be planted";
        EXPECT_TRUE(file_state(notes) == notes_before) << c.what << ": the link's target changed";
        EXPECT_EQ(e2e_listing(where), std::set<std::string>{"vol.mrc"}) << c.what;
        EXPECT_EQ(r.term_signal, 0) << c.what;
        if (c.succeeds) {
            EXPECT_EQ(r.status, 0) << c.what << "\n" << r.err;
            struct stat st;
            EXPECT_TRUE(lstat(vol.c_str(), &st) == 0 && S_ISREG(st.st_mode)) << c.what;
            expect_volume(vol, c.what);
        } else {
            EXPECT_EQ(r.status, 1) << c.what << "\n" << r.err;
            EXPECT_EQ(lines_with(r.err, kNotPutInPlace, ""), 1) << c.what << "\n" << r.err;
            EXPECT_EQ(r.out.find("Reconstruction successful!"), std::string::npos) << c.what;
            std::error_code ec;
            EXPECT_EQ(std::filesystem::read_symlink(vol, ec).string(), notes) << c.what;
        }
    }
}

// With the kernel's symlink protection on, a link in a sticky
// world-writable directory is followed only when the running user or the
// directory's owner made it: another user's link to the user's file is
// refused before the run, the file untouched.
TEST_F(E2eReplace, ProtectedSymlinks)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can set the symlink protection and run as other users";
    const sysctl_t protect("/proc/sys/fs/protected_symlinks", "1");
    if (protect.error)
        GTEST_SKIP() << "fs.protected_symlinks cannot be set: " << std::strerror(protect.error);
    const struct {
        const char *what;
        int link_owner;
        bool followed;
    } cases[] = {
        {"another user's link", kAttacker, false},
        {"the user's own link", kNobody, true},
        {"the directory owner's link", 0, true},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string shared = subdir("shared-" + std::to_string(n++), 01777);
        const std::string precious = shared + "/precious.mrc", vol = shared + "/vol.mrc";
        make_output(precious, 0600, kNobody, kNobody);
        ASSERT_EQ(run_as(c.link_owner, c.link_owner,
                         [&] { return symlink(precious.c_str(), vol.c_str()) == 0 ? 0 : errno; }),
                  0)
            << c.what;
        const file_state_t before = file_state(precious);
        const identity_t id_before = identity(precious);
        run_options_t as_user;
        as_user.uid = as_user.gid = kNobody;
        const run_result_t r = run_binary_with(KYVANE_BINARY, args(vol), as_user);
        EXPECT_EQ(r.term_signal, 0) << c.what;
        std::error_code ec;
        EXPECT_EQ(std::filesystem::read_symlink(vol, ec).string(), precious) << c.what;
        EXPECT_EQ(e2e_listing(shared), (std::set<std::string>{"precious.mrc", "vol.mrc"})) << c.what;
        if (c.followed) {
            EXPECT_EQ(r.status, 0) << c.what << "\n" << r.err;
            expect_volume(precious, c.what);
            const identity_t after = identity(precious);
            EXPECT_TRUE(after.mode == id_before.mode && after.uid == id_before.uid) << c.what;
        } else {
            EXPECT_EQ(r.status, 1) << c.what;
            EXPECT_EQ(r.err, vol + ": Cannot create image.\n" + vol + ": Permission denied.\n") << c.what;
            EXPECT_EQ(r.out.find(kInfoBlock), std::string::npos) << c.what << "\n" << r.out;
            EXPECT_TRUE(file_state(precious) == before) << c.what << ": the link's target changed";
        }
    }
}

// A file another user planted in a sticky directory at the output's name,
// writable by all to catch the volume: where the kernel's protection of
// such files is on, a plain write is refused, and so is the run; where it
// is off, the volume goes into that file as a plain write would put it.
TEST_F(E2eReplace, ProtectedRegular)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can set the protection and run as other users";
    for (const char *level : {"1", "0"}) {
        const sysctl_t protect("/proc/sys/fs/protected_regular", level);
        if (protect.error)
            GTEST_SKIP() << "fs.protected_regular cannot be set: " << std::strerror(protect.error);
        const std::string what = std::string("protected_regular ") + level;
        const std::string shared = subdir(std::string("planted-") + level, 01777);
        const std::string vol = shared + "/vol.mrc";
        make_output(vol, 0666, kAttacker, kAttacker);
        const file_state_t before = file_state(vol);
        run_options_t as_user;
        as_user.uid = as_user.gid = kNobody;
        const run_result_t r = run_binary_with(KYVANE_BINARY, args(vol), as_user);
        EXPECT_EQ(r.term_signal, 0) << what;
        EXPECT_EQ(e2e_listing(shared), (std::set<std::string>{"vol.mrc"})) << what;
        if (level[0] == '1') {
            EXPECT_EQ(r.status, 1) << what;
            EXPECT_EQ(r.err, vol + ": Cannot create image.\n" + vol + ": Permission denied.\n") << what;
            EXPECT_TRUE(file_state(vol) == before) << what << ": the planted file changed";
        } else {
            EXPECT_EQ(r.status, 0) << what << "\n" << r.err;
            expect_volume(vol, what);
        }
    }
}

// Where the file system makes no unnamed files (FUSE, some network file
// systems), the hidden file the volume goes into is never open to others:
// not even before it gets the old file's identity.
TEST_F(E2eReplace, HiddenFileNeverOpenToOthers)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can run the program and the watcher as other users";
    const std::string where = subdir("private", 0755, kNobody, kNobody);
    const std::string out = where + "/out.mrc";
    make_output(out, 0600, kNobody, kNobody);
    // Many attributes: a long way from the creation to the final mode.
    for (int i = 0; i < 30; i++) {
        const std::string name = "user.kyvane.note" + std::to_string(i), value(64, 'a' + i % 26);
        if (setxattr(out.c_str(), name.c_str(), value.data(), value.size(), 0) != 0)
            GTEST_SKIP() << "user attributes refused: " << std::strerror(errno);
    }
    const identity_t before = identity(out);
    run_options_t options;
    options.uid = options.gid = kNobody;
    options.env = e2e_fail_env("tmpfile,stop=fchmod");
    std::vector<std::string> hidden;
    mode_t hidden_mode = 0;
    int opened = -1;  // errno of the other user's open, 0 when it succeeded
    options.on_stop = [&](int) {
        for (const std::string &name : e2e_listing(where)) {
            if (name.rfind(".out.mrc.part-", 0) != 0)
                continue;
            hidden.push_back(name);
            struct stat st;
            if (stat((where + "/" + name).c_str(), &st) == 0)
                hidden_mode = st.st_mode & 07777;
            opened = run_as(kAttacker, kAttacker, [&] {
                const int fd = open((where + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
                return fd >= 0 ? 0 : errno;
            });
        }
    };
    const run_result_t r = run_binary_with(KYVANE_BINARY, args(out), options);
    ASSERT_EQ(r.stops, 1) << "the run never set a mode\n" << r.err;
    ASSERT_EQ(hidden.size(), 1u) << "no hidden file at the first change of mode";
    EXPECT_EQ(hidden_mode & 077, 0u) << "mode " << std::oct << hidden_mode;
    EXPECT_EQ(opened, EACCES) << "another user opened " << hidden[0];
    EXPECT_EQ(r.status, 0) << r.err;
    const identity_t after = identity(out);
    EXPECT_EQ(after.mode, before.mode);
    EXPECT_TRUE(after.uid == before.uid && after.gid == before.gid);
    EXPECT_EQ(after.xattrs, before.xattrs) << "before: " << describe(before) << "\nafter:  " << describe(after);
    expect_volume(out, "private output");
    EXPECT_EQ(e2e_listing(where), std::set<std::string>{"out.mrc"});
}

// Whatever the kernel refuses to a plain open of the old output for
// writing is refused at set-up, before any reconstruction, the file as it
// was: the flags of chattr, a running program's file, a read-only mount.
TEST_F(E2eReplace, RefusedBeforeTheRun)
{
    // Mounts made in a namespace of this process alone vanish with it.
    if (unshare(CLONE_NEWNS) == 0)
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    // Each setup returns why its case cannot run here, or nothing; undo
    // is called afterwards in any case.
    struct case_t {
        const char *what;
        std::function<std::string(const std::string &where, const std::string &out,
                                  std::function<void()> *undo)>
            setup;
    } cases[] = {
        {"append-only (chattr +a)",
         [](const std::string &, const std::string &out, std::function<void()> *undo) {
             const int error = set_inode_flag(out, FS_APPEND_FL, true);
             *undo = [out] { set_inode_flag(out, FS_APPEND_FL, false); };
             return error ? std::string("chattr +a refused: ") + std::strerror(error) : std::string();
         }},
        {"immutable (chattr +i)",
         [](const std::string &, const std::string &out, std::function<void()> *undo) {
             const int error = set_inode_flag(out, FS_IMMUTABLE_FL, true);
             *undo = [out] { set_inode_flag(out, FS_IMMUTABLE_FL, false); };
             return error ? std::string("chattr +i refused: ") + std::strerror(error) : std::string();
         }},
        {"a running program's file",
         [](const std::string &, const std::string &out, std::function<void()> *undo) {
             write_text_file(out, e2e_read_bytes("/bin/sleep"));
             if (chmod(out.c_str(), 0755) != 0)
                 return refused("chmod", 1);
             const pid_t pid = fork();
             if (pid == 0) {
                 execl(out.c_str(), out.c_str(), "600", (char *)nullptr);
                 _exit(127);
             }
             *undo = [pid] {
                 kill(pid, SIGKILL);
                 waitpid(pid, nullptr, 0);
             };
             std::error_code ec;
             for (int i = 0; i < 5000; i++) {
                 if (std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec) == out)
                     return std::string();
                 usleep(1000);
             }
             return std::string("the program did not start");
         }},
        {"read-only mount",
         [](const std::string &where, const std::string &, std::function<void()> *undo) {
             if (mount(where.c_str(), where.c_str(), nullptr, MS_BIND, nullptr) != 0)
                 return refused("bind mount", 1);
             *undo = [where] { umount2(where.c_str(), MNT_DETACH); };
             return refused("read-only remount",
                            mount(nullptr, where.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr));
         }},
    };
    int n = 0;
    for (const case_t &c : cases) {
        const std::string where = subdir("refused-" + std::to_string(n++));
        const std::string out = where + "/out.mrc";
        make_output(out);
        std::function<void()> undo = [] {};
        const std::string why = c.setup(where, out, &undo);
        if (!why.empty()) {
            undo();
            std::cout << kRowSkipped << c.what << ": " << why << "\n";
            continue;
        }
        const file_state_t before = file_state(out);
        const std::set<std::string> names = e2e_listing(where);
        const run_result_t r = e2e_run(args(out));
        const file_state_t after = file_state(out);
        const std::set<std::string> names_after = e2e_listing(where);
        undo();
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.term_signal, 0) << c.what;
        // The error's line, then the reason the kernel gave.
        EXPECT_EQ(r.err.rfind(out + ": Cannot create image.\n" + out + ": ", 0), 0u) << c.what << "\n" << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << c.what << "\n" << r.err;
        EXPECT_EQ(r.out.find(kInfoBlock), std::string::npos) << c.what << ": refused after set-up\n" << r.out;
        EXPECT_TRUE(after == before) << c.what << ": the output changed";
        EXPECT_EQ(names_after, names) << c.what;
    }
}

// A path through a process's root directory in /proc is an ordinary path,
// not a descriptor: the output is replaced whole at the end, and a run
// interrupted while writing leaves the old output as it was.
TEST_F(E2eReplace, PathsThroughAProcessRoot)
{
    const std::string where = subdir("through-root");
    const std::string out = where + "/v.mrc", me = std::to_string(getpid());
    const std::string paths[] = {"/proc/" + me + "/task/" + me + "/root" + out, "/proc/self/root" + out};
    for (const std::string &path : paths) {
        make_output(out);
        const ino_t before = inode_of(out);
        const run_result_t r = e2e_run(args(path));
        EXPECT_EQ(r.status, 0) << path << "\n" << r.err;
        EXPECT_EQ(lines_with(r.out, kInPlaceWarning, ""), 0) << path;
        EXPECT_NE(inode_of(out), before) << path << ": written in place";
        expect_volume(out, path);
        EXPECT_EQ(e2e_listing(where), std::set<std::string>{"v.mrc"}) << path;

        make_output(out);
        run_options_t options;
        options.signal = SIGINT;
        options.trigger = [&](int pid) { return e2e_writing_a_file(pid, where); };
        const run_result_t stopped = run_binary_with(KYVANE_BINARY, args(path, kLongRun), options);
        EXPECT_TRUE(stopped.signal_sent) << path;
        EXPECT_EQ(stopped.term_signal, SIGINT) << path << "\n" << stopped.err;
        EXPECT_TRUE(e2e_read_bytes(out) == old_bytes) << path << ": the old output was damaged";
        EXPECT_EQ(e2e_listing(where), std::set<std::string>{"v.mrc"}) << path;
    }
}

// Whatever descriptor limit the run has, it either ends with the whole
// volume, or fails before the reconstruction with the old output as it
// was: never after all the work.
TEST_F(E2eReplace, DescriptorLimits)
{
    int succeeded = 0;
    for (const bool replace : {false, true}) {
        for (int limit = 4; limit <= 12; limit++) {
            const std::string what =
                std::string(replace ? "replacing" : "new output") + ", " + std::to_string(limit) + " descriptors";
            const std::string where = subdir("limit-" + std::to_string(replace) + "-" + std::to_string(limit));
            const std::string out = where + "/out.mrc";
            if (replace)
                make_output(out);
            const std::set<std::string> names = e2e_listing(where);
            run_options_t options;
            options.open_files_limit = limit;
            // The leak checker at exit needs descriptors of its own.
            const char *asan = std::getenv("ASAN_OPTIONS");
            options.env = {std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0"};
            const run_result_t r = run_binary_with(KYVANE_BINARY, args(out), options);
            EXPECT_FALSE(r.timed_out) << what;
            EXPECT_EQ(r.term_signal, 0) << what << "\n" << r.err;
            if (r.status == 0) {
                succeeded++;
                expect_volume(out, what);
                EXPECT_EQ(e2e_listing(where), std::set<std::string>{"out.mrc"}) << what;
                continue;
            }
            EXPECT_EQ(r.status, 1) << what << "\n" << r.err;
            EXPECT_EQ(r.out.find(kInfoBlock), std::string::npos) << what << ": failed after set-up\n"
                                                                  << r.err;
            // Said of the output only as a plain resource shortage.
            if (r.err.find(out) != std::string::npos) {
                EXPECT_EQ(r.err, out + ": Out of resources.\n" + out + ": Too many open files.\n") << what;
            }
            EXPECT_TRUE(e2e_read_bytes(out) == (replace ? old_bytes : std::string())) << what;
            EXPECT_EQ(e2e_listing(where), names) << what;
        }
    }
    // The table means something only where the larger limits succeed.
    EXPECT_GE(succeeded, 2);
}

// In an append-only directory (chattr +a) no name may be linked in that
// cannot be removed again: an old output is replaced by a copy into it
// (its inode kept), nothing left beside it; a new output is linked in. The
// same through the shim where chattr is refused.
TEST_F(E2eReplace, AppendOnlyDirectory)
{
    const struct {
        const char *what;
        bool real;
        const char *fail;
    } rounds[] = {{"chattr +a", true, ""}, {"the shim's append-only directory", false, "appenddir"}};
    int n = 0;
    for (const auto &round : rounds) {
        const std::string where = subdir("append-" + std::to_string(n++));
        const std::string out = where + "/out.mrc", fresh = where + "/new.mrc";
        make_output(out);
        const ino_t before = inode_of(out);
        const inode_flag_t append(where, round.real ? FS_APPEND_FL : 0);
        if (round.real && append.error) {
            std::cout << kRowSkipped << round.what << ": " << std::strerror(append.error) << "\n";
            continue;
        }
        run_options_t options;
        if (*round.fail)
            options.env = e2e_fail_env(round.fail);
        const run_result_t r = run_binary_with(KYVANE_BINARY, args(out), options);
        EXPECT_EQ(r.status, 0) << round.what << "\n" << r.err;
        EXPECT_EQ(inode_of(out), before) << round.what;
        expect_volume(out, round.what);
        EXPECT_EQ(e2e_listing(where), std::set<std::string>{"out.mrc"}) << round.what;

        const run_result_t made = run_binary_with(KYVANE_BINARY, args(fresh), options);
        EXPECT_EQ(made.status, 0) << round.what << ", new output\n" << made.err;
        expect_volume(fresh, std::string(round.what) + ", new output");
        EXPECT_EQ(e2e_listing(where), (std::set<std::string>{"out.mrc", "new.mrc"})) << round.what;
    }
}

// A file system that reports no total blocks (ramfs, tmpfs without a size)
// has no free space to compare with: the volume is written beside the old
// output as anywhere else, which an interrupted run leaves whole.
TEST_F(E2eReplace, NoBlockCount)
{
    // Mounts made in a namespace of this process alone vanish with it.
    if (unshare(CLONE_NEWNS) == 0)
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    const struct {
        const char *what;
        const char *type;  // of the file system mounted, or none
        const char *data;
        const char *fail;
    } rounds[] = {
        {"ramfs", "ramfs", "mode=0755", ""},
        {"tmpfs of size 0", "tmpfs", "size=0,mode=0755", ""},
        {"the shim's statvfs without blocks", nullptr, nullptr, "statvfs=0:0:4096"},
    };
    int n = 0;
    for (const auto &round : rounds) {
        const std::string where = subdir("blocks-" + std::to_string(n++));
        std::unique_ptr<mount_t> mounted;
        if (round.type) {
            mounted.reset(new mount_t(round.type, where, round.type, 0, round.data));
            if (mounted->error) {
                std::cout << kRowSkipped << round.what << ": mount refused: " << std::strerror(mounted->error)
                          << "\n";
                continue;
            }
        }
        const std::string out = where + "/out.mrc";
        make_output(out);
        const ino_t before = inode_of(out);
        run_options_t options;
        if (*round.fail)
            options.env = e2e_fail_env(round.fail);
        const run_result_t r = run_binary_with(KYVANE_BINARY, args(out), options);
        EXPECT_EQ(r.status, 0) << round.what << "\n" << r.err;
        EXPECT_EQ(lines_with(r.out, kInPlaceWarning, ""), 0) << round.what << "\n" << r.out;
        EXPECT_NE(inode_of(out), before) << round.what << ": written in place";
        expect_volume(out, round.what);
        EXPECT_EQ(e2e_listing(where), std::set<std::string>{"out.mrc"}) << round.what;

        make_output(out);
        options.signal = SIGINT;
        options.trigger = [&](int pid) { return e2e_writing_a_file(pid, where); };
        const run_result_t stopped = run_binary_with(KYVANE_BINARY, args(out, kLongRun), options);
        EXPECT_TRUE(stopped.signal_sent) << round.what;
        EXPECT_EQ(stopped.term_signal, SIGINT) << round.what << "\n" << stopped.err;
        EXPECT_TRUE(e2e_read_bytes(out) == old_bytes) << round.what << ": the old output was damaged";
        EXPECT_EQ(e2e_listing(where), std::set<std::string>{"out.mrc"}) << round.what;
    }
}

}  // namespace
