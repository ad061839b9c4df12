// End-to-end tests of a replacement among users: an ordinary user's run
// succeeds or is refused as a plain write of the output would be, another
// user's links and planted files never lead the volume elsewhere (with the
// kernel's protections on and off), and the hidden file the volume goes
// into is never open to others.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "tests/driver/e2e_replace_util.h"

namespace {

class E2eReplaceUsers : public E2eReplace {};

// An ordinary user's run succeeds or is refused as a plain write of the
// output would be; what succeeds stays the same file, owner and mode.
TEST_F(E2eReplaceUsers, OrdinaryUser)
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
            EXPECT_EQ(read_whole_file(out), old_bytes) << c.what;
            EXPECT_TRUE(after.ino == before.ino && after.mode == before.mode) << c.what;
        }
        EXPECT_EQ(e2e_listing(where), names) << c.what;
    }
}

// A link another user plants at a new output's name during the run, in a
// sticky directory, points at the user's own file: the volume must not go
// there, and since that entry is not the user's to replace the run fails
// and says why. Where the entry may be replaced (the user's own link, a
// directory that is not sticky) the volume takes the name.
TEST_F(E2eReplaceUsers, LinkPlantedAtANewOutput)
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
        {"another user's link in a sticky directory", 01777, kOther, false},
        {"the user's own link in a sticky directory", 01777, kNobody, true},
        {"another user's link in a directory that is not sticky", 0777, kOther, true},
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
            EXPECT_EQ(lines_with(r.err, kNotPlaced, ""), 1) << c.what << "\n" << r.err;
            EXPECT_EQ(r.out.find(kSuccess), std::string::npos) << c.what;
            std::error_code ec;
            EXPECT_EQ(std::filesystem::read_symlink(vol, ec).string(), notes) << c.what;
        }
    }
}

// With the kernel's symlink protection on, a link in a sticky
// world-writable directory is followed only when the running user or the
// directory's owner made it: another user's link to the user's file is
// refused before the run, the file untouched.
TEST_F(E2eReplaceUsers, ProtectedSymlinks)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can set the symlink protection and run as other users";
    const sysctl_t protect("protected_symlinks", "1");
    if (protect.error)
        GTEST_SKIP() << "fs.protected_symlinks cannot be set: " << std::strerror(protect.error);
    const struct {
        const char *what;
        int link_owner;
        bool followed;
    } cases[] = {
        {"another user's link", kOther, false},
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
TEST_F(E2eReplaceUsers, ProtectedRegular)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can set the protection and run as other users";
    for (const char *level : {"1", "0"}) {
        const sysctl_t protect("protected_regular", level);
        if (protect.error)
            GTEST_SKIP() << "fs.protected_regular cannot be set: " << std::strerror(protect.error);
        const std::string what = std::string("protected_regular ") + level;
        const std::string shared = subdir(std::string("planted-") + level, 01777);
        const std::string vol = shared + "/vol.mrc";
        make_output(vol, 0666, kOther, kOther);
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
TEST_F(E2eReplaceUsers, HiddenFileNeverOpenToOthers)
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
            opened = run_as(kOther, kOther, [&] {
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

}  // namespace
