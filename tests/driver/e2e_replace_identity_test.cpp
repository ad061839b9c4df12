// End-to-end tests of the replaced file's identity: whatever stands at the
// output's name afterwards keeps the old file's mode, owner, ACLs,
// attributes, inode flags and links, and what the kernel would refuse to a
// plain write of the old file is refused before the run, the file as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>

#include <grp.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "tests/driver/e2e_replace_util.h"

namespace {

class E2eReplaceIdentity : public E2eReplace {};

// Whatever stands at the output's name afterwards is the same file to its
// owner and to the system: mode with its set-id bits, owner, group, ACLs by
// value, every attribute, inode flags, and a file of several names stays one
// file that every name shows anew.
TEST_F(E2eReplaceIdentity, KeepsTheFilesIdentity)
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

// Whatever the kernel refuses to a plain open of the old output for
// writing is refused at set-up, before any reconstruction, the file as it
// was: the flags of chattr, a running program's file, a read-only mount.
TEST_F(E2eReplaceIdentity, RefusedBeforeTheRun)
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
             write_text_file(out, read_whole_file("/bin/sleep"));
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

}  // namespace
