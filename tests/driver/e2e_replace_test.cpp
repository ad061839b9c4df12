// End-to-end replacement of an existing output as users' systems meet it:
// the file keeps its identity (mode, owner, ACLs, attributes, links), an
// ordinary user's permissions decide as they would for a plain write, paths
// through descriptor tables, at the length limits and under mount points
// work, and a failure at the close leaves the previous output as it was.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>

#include <grp.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "tests/driver/e2e_util.h"

namespace {

// The unprivileged user the ordinary-user cases run as (CI runs as root).
const int kNobody = 65534;

// What a replaced output must keep: its mode, owner, links and the
// extended attributes that carry access rights and user data.
struct identity_t {
    bool ok = false;
    dev_t dev = 0;
    ino_t ino = 0;
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    nlink_t nlink = 0;
    std::map<std::string, std::string> xattrs;  // user.* and the POSIX ACLs
};

identity_t identity(const std::string &path)
{
    identity_t id;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return id;
    id.ok = true;
    id.dev = st.st_dev, id.ino = st.st_ino, id.mode = st.st_mode, id.uid = st.st_uid;
    id.gid = st.st_gid, id.nlink = st.st_nlink;
    std::string names(65536, '\0');
    const ssize_t n = llistxattr(path.c_str(), &names[0], names.size());
    for (size_t at = 0; n > 0 && at < (size_t)n; at += std::strlen(&names[at]) + 1) {
        const std::string name = &names[at];
        if (name.rfind("user.", 0) != 0 && name.rfind("system.posix_acl_", 0) != 0)
            continue;
        std::string value(65536, '\0');
        const ssize_t len = lgetxattr(path.c_str(), name.c_str(), &value[0], value.size());
        id.xattrs[name] = len < 0 ? "(unreadable)" : value.substr(0, (size_t)len);
    }
    return id;
}

std::string describe(const identity_t &id)
{
    std::ostringstream s;
    s << "mode " << std::oct << id.mode << std::dec << ", owner " << id.uid << ":" << id.gid << ", "
      << id.nlink << " link(s), attributes:";
    for (const auto &x : id.xattrs)
        s << " " << x.first << " (" << x.second.size() << " bytes)";
    return s.str();
}

// An access ACL as the kernel stores it in system.posix_acl_access: the
// owner, group and others as the mode has them, plus read and write for
// nobody (setfacl -m u:nobody:rw).
std::string acl_with_nobody()
{
    struct entry_t {
        uint16_t tag, perm;
        uint32_t id;
    };
    const uint32_t version = 2, none = 0xFFFFFFFF;
    const entry_t entries[] = {
        {0x01, 6, none},              // owner
        {0x02, 6, (uint32_t)kNobody},  // the named user
        {0x04, 4, none},              // owning group
        {0x10, 6, none},              // mask
        {0x20, 4, none},              // others
    };
    std::string blob(reinterpret_cast<const char *>(&version), sizeof version);
    blob.append(reinterpret_cast<const char *>(entries), sizeof entries);
    return blob;
}

// The lines of a log that hold text (progress lines end in a carriage return).
int lines_with(const std::string &log, const std::string &text, const std::string &start)
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
std::string refused(const char *what, int failed)
{
    return failed ? std::string(what) + " refused: " + std::strerror(errno) : std::string();
}

const char *const kInPlaceWarning = "overwritten as the run goes";

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
        EXPECT_TRUE(v.ok && v.nx == ref.nx && v.ny == ref.ny && v.nz == ref.nz && v.data == ref.data)
            << what << ": not the volume at " << path << " (" << v.nx << " x " << v.ny << " x "
            << v.nz << ", " << std::filesystem::file_size(path) << " bytes)";
    }
};

// Whatever stands at the output's name afterwards is the same file to its
// owner and to the system: mode, owner, group, ACL and user attributes, and
// a file of several names stays one file that every name shows anew.
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
            std::cout << "[  SKIPPED ] " << c.what << ": " << refused << "\n";
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
            EXPECT_EQ(r.err, out + ": Cannot create image.\n") << c.what;
            EXPECT_EQ(e2e_read_bytes(out), old_bytes) << c.what;
            EXPECT_TRUE(after.ino == before.ino && after.mode == before.mode) << c.what;
        }
        EXPECT_EQ(e2e_listing(where), names) << c.what;
    }
}

// A path through the descriptor table names the open file the caller
// passed, named or unnamed: the volume goes into that very file, and no
// file appears under the name the kernel shows for it.
TEST_F(E2eReplace, DescriptorPaths)
{
    const struct {
        const char *prefix;
        bool unnamed;
    } cases[] = {{"/dev/fd/", false}, {"/proc/self/fd/", false}, {"/dev/fd/", true}, {"/proc/self/fd/", true}};
    int n = 0;
    for (const auto &c : cases) {
        const std::string what = std::string(c.prefix) + (c.unnamed ? " of an unnamed file" : " of a named file");
        const std::string where = subdir("fd-" + std::to_string(n++));
        const std::string held = where + "/held.mrc";
        const int fd = c.unnamed ? open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644)
                                 : open(held.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 && c.unnamed && errno == EOPNOTSUPP) {
            std::cout << "[  SKIPPED ] " << what << ": the file system has no unnamed files\n";
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
    EXPECT_EQ(r.err, loop + "/a: Cannot create image.\n");
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

}  // namespace
