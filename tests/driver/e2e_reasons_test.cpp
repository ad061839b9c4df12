// End-to-end: every failure says why (the system's reason, carried from the
// thread that met it), a failure of the volume's last bytes fails the run,
// data below the header minimum end a -L run before any output is replaced,
// and the progress line moves while the sections are written.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <set>

#include <sys/stat.h>
#include <unistd.h>

#include "tests/driver/e2e_util.h"

namespace {

// Another user than the caller: the run is refused what only the owner may read.
const int other_uid = 65534, other_gid = 65534;

class E2eReasons : public ::testing::Test {
protected:
    scratch_dir_t dir;
    // 46 x 32 slices of 4 bytes: no write of whole sections ends on a block
    // boundary, so the last bytes of the volume wait in the stream's buffer.
    e2e_series_t series = e2e_make_series(46, 12, 31, 32);
    std::string ts = dir.file("series.mrc"), tlt = dir.file("series.tlt");
    std::string old_output = "the previous volume, which no failure may touch\n";

    void SetUp() override
    {
        ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
        e2e_write_series(series, ts, tlt);
    }

    std::vector<std::string> args(const std::string &output, std::vector<std::string> extra = {})
    {
        std::vector<std::string> a = {"-a", tlt, "-i", ts, "-o", output, "-f", "-v", "0"};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }

    // Runs as the owner of the files, or, where one is given, as another
    // user (as root this is the only way a permission can be refused).
    run_result_t run(const std::vector<std::string> &a, run_options_t options = {})
    {
        return run_binary_with(KYVANE_BINARY, a, options);
    }

    static void set_header_min(const std::string &path, float amin)
    {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(76);
        f.write(reinterpret_cast<const char *>(&amin), 4);
    }
};

// An input the user may not read, one that is missing, and a data mode the
// library does not read: the line of the failure, then the file and its
// cause.
TEST_F(E2eReasons, InputsNameTheirCause)
{
    const bool root = geteuid() == 0;
    const std::string secret_ts = dir.file("secret.mrc"), secret_tlt = dir.file("secret.tlt");
    e2e_write_series(series, secret_ts, secret_tlt);
    // Mode 0 refuses everyone but root: run as the owner when not root.
    ASSERT_EQ(chmod(secret_ts.c_str(), root ? 0600 : 0), 0);
    ASSERT_EQ(chmod(secret_tlt.c_str(), root ? 0600 : 0), 0);
    const std::string resumed = dir.file("resumed.mrc");
    e2e_write_mrc(resumed, 46, 32, 12, std::vector<float>((size_t)46 * 32 * 12, 1.0f));
    ASSERT_EQ(chmod(resumed.c_str(), root ? 0600 : 0), 0);
    const std::string missing = dir.file("missing.mrc");
    // Half floats: a mode of the format that the library does not read.
    const std::string half = dir.file("half.mrc");
    e2e_write_series(series, half, dir.file("half.tlt"));
    {
        std::fstream f(half, std::ios::in | std::ios::out | std::ios::binary);
        const int32_t mode = 12;
        f.seekp(12);
        f.write(reinterpret_cast<const char *>(&mode), 4);
    }
    const std::string out = dir.file("out.mrc");
    const std::string denied = ": Permission denied.\n";
    const struct {
        const char *what;
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {"tilt series missing",
         {"-a", tlt, "-i", missing},
         missing + ": Cannot find image.\n" + missing + ": No such file or directory.\n"},
        {"tilt series unreadable",
         {"-a", tlt, "-i", secret_ts},
         secret_ts + ": Cannot find image.\n" + secret_ts + denied},
        {"angle list unreadable",
         {"-a", secret_tlt, "-i", ts},
         "Can't find angle list file \"" + secret_tlt + "\".\n" + secret_tlt + denied},
        {"resumed volume unreadable",
         {"-a", tlt, "-i", ts, "-S", "-r", resumed},
         resumed + ": Cannot find image.\n" + resumed + denied},
        {"half floats",
         {"-a", tlt, "-i", half},
         half + ": Invalid image data type.\n" + half +
             ": data mode 12 is not read (modes read: 0, 1, 2, 6).\n"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> a = c.args;
        a.insert(a.end(), {"-o", out, "-f", "-v", "0"});
        run_options_t options;
        if (root)
            options.uid = other_uid, options.gid = other_gid;
        const run_result_t r = run(a, options);
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        EXPECT_FALSE(std::filesystem::exists(out)) << c.what;
    }
}

// The tilt series fails under the reader: its reason, not a bare line.
TEST_F(E2eReasons, ReadFailureNamesItsCause)
{
    const std::string out = dir.file("out.mrc");
    run_options_t options;
    options.env = e2e_fail_env("pread=EIO@3");
    const run_result_t r = run(args(out, {"-t", "2"}), options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, ts + ": Cannot read image.\n" + ts + ": Input/output error.\n" +
                         "Reconstruction unsuccessful!\n");
    EXPECT_FALSE(std::filesystem::exists(out));
}

// A full disk, a quota or a file-size limit met by the writer, and the same
// met by the volume's last bytes at the close: each fails the run with the
// writer's own reason and leaves the previous output as it was.
TEST_F(E2eReasons, WriteFailuresNameTheirCauseAndKeepTheOldOutput)
{
    const std::string out = dir.file("vol.mrc");
    const struct {
        const char *what;
        std::string fail;       // the shim's modes
        long long size_limit;   // RLIMIT_FSIZE, -1 none
        std::string reason;
    } cases[] = {
        {"disk full at the second write", "write=ENOSPC@2", -1, "No space left on device"},
        {"quota at the first write", "write=EDQUOT", -1, "Disk quota exceeded"},
        {"file-size limit met mid-run", "write=EFBIG@3", -1, "File too large"},
        // The last bytes sit in the stream's buffer when the header is due.
        {"last bytes lost to a full disk", "tail=ENOSPC", -1, "No space left on device"},
        {"last bytes lost to a broken device", "tail=EIO", -1, "Input/output error"},
        {"last bytes beyond the file-size limit", "tail=EFBIG", -1, "File too large"},
    };
    // A file-size limit below the volume is known before the work; one the
    // volume fits exactly is not a refusal.
    ASSERT_EQ(run(args(out, {"-t", "2"})).status, 0);
    const long long whole = (long long)std::filesystem::file_size(out);
    const std::string too_large = out + ": Cannot create image.\n" + out +
                                  ": the file-size limit (ulimit -f) is below the volume's size (File "
                                  "too large).\n";
    const long long limits[] = {whole - 1, 1024 + 3 * 46 * 32 * 4};
    for (bool replacing : {false, true}) {
        for (const auto &c : cases) {
            const std::string what = std::string(c.what) + (replacing ? ", replacing" : ", new");
            std::filesystem::remove(out);
            if (replacing)
                write_text_file(out, old_output);
            const std::set<std::string> before = e2e_listing(dir.path);
            run_options_t options;
            if (!c.fail.empty())
                options.env = e2e_fail_env(c.fail);
            options.file_size_limit = c.size_limit;
            const run_result_t r = run(args(out, {"-t", "2"}), options);
            EXPECT_EQ(r.status, 1) << what << "\n" << r.err;
            EXPECT_EQ(r.term_signal, 0) << what;
            EXPECT_NE(r.err.find(out + ": Cannot write image.\n" + out + ": " + c.reason + ".\n"),
                      std::string::npos)
                << what << "\n" << r.err;
            EXPECT_EQ(r.out.find("Reconstruction successful!"), std::string::npos) << what;
            if (replacing)
                EXPECT_TRUE(read_whole_file(out) == old_output) << what << ": the old output changed";
            else
                EXPECT_FALSE(std::filesystem::exists(out)) << what;
            EXPECT_EQ(e2e_listing(dir.path), before) << what;
        }
    }
    for (bool replacing : {false, true}) {
        for (long long limit : limits) {
            const std::string what = "file-size limit " + std::to_string(limit) + (replacing ? ", replacing" : ", new");
            std::filesystem::remove(out);
            if (replacing)
                write_text_file(out, old_output);
            const std::set<std::string> before = e2e_listing(dir.path);
            run_options_t options;
            options.file_size_limit = limit;
            const run_result_t r = run(args(out, {"-t", "2"}), options);
            EXPECT_EQ(r.status, 1) << what;
            EXPECT_EQ(r.err, too_large) << what;
            EXPECT_EQ(r.out.find("Output volume will be"), std::string::npos) << what << ": refused late";
            if (replacing) {
                EXPECT_TRUE(read_whole_file(out) == old_output) << what << ": the old output changed";
            }
            EXPECT_EQ(e2e_listing(dir.path), before) << what;
        }
    }
    // Without a failure the same volume is whole.
    const run_result_t r = run(args(out, {"-t", "2"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(e2e_read_volume(out).ok);
    // A limit that the volume fits exactly.
    run_options_t options;
    options.file_size_limit = (long long)std::filesystem::file_size(out);
    std::filesystem::remove(out);
    const run_result_t exact = run(args(out, {"-t", "2"}), options);
    EXPECT_EQ(exact.status, 0) << exact.err;
    EXPECT_TRUE(e2e_read_volume(out).ok);
}

// A header minimum above the data (a stack edited after its header was
// written) leaves values whose logarithm -L cannot take: the run ends with
// the file, the minimum and the remedy, before anything is replaced; -O
// that lifts every value is the remedy.
TEST_F(E2eReasons, StaleHeaderMinimumEndsALogRun)
{
    // The phantom's margins are zeros; 1 is above them.
    set_header_min(ts, 1.0f);
    const std::string out = dir.file("vol.mrc");
    const std::string refused = ts +
                                ": Some values lie below the header minimum 1, so their logarithm "
                                "(-L) is not defined.\nGive a density offset with -O that lifts "
                                "every value above 0.\nReconstruction unsuccessful!\n";
    const struct {
        const char *what;
        std::vector<std::string> extra;
        bool refused;
    } cases[] = {
        {"WBP, widest lanes", {"-L"}, true},
        {"WBP, one lane", {"-L", "-e", "none", "-t", "3"}, true},
        {"SIRT, four lanes", {"-L", "-S", "-l", "3", "-e", "sse"}, true},
        // An offset that leaves the zeros where they are.
        {"offset of zero", {"-L", "-O", "0"}, true},
        {"offset lifts every value", {"-L", "-O", "2"}, false},
    };
    for (const auto &c : cases) {
        write_text_file(out, old_output);
        const run_result_t r = run(args(out, c.extra));
        if (c.refused) {
            EXPECT_EQ(r.status, 1) << c.what;
            EXPECT_EQ(r.err, refused) << c.what;
            EXPECT_TRUE(read_whole_file(out) == old_output) << c.what << ": the old output changed";
        } else {
            EXPECT_EQ(r.status, 0) << c.what << "\n" << r.err;
            EXPECT_EQ(r.err, "") << c.what;
            const e2e_volume_t v = e2e_read_volume(out);
            ASSERT_TRUE(v.ok) << c.what;
            for (float x : v.data)
                ASSERT_TRUE(std::isfinite(x)) << c.what;
        }
        EXPECT_EQ(e2e_listing(dir.path), (std::set<std::string>{"series.mrc", "series.tlt", "vol.mrc"}))
            << c.what;
    }
}

// One flush of the writer keeps taking the slots the workers finish while a
// slow disk writes: the progress line must move within it, not jump from 0
// to 100 % at its end.
TEST_F(E2eReasons, ProgressLineMovesWhileOneFlushWrites)
{
    const std::string out = dir.file("vol.mrc");
    run_options_t options;
    // A sinogram is read every few tens of milliseconds, each run of slices
    // takes longer to write, so every write finds more finished slices.
    options.env = e2e_fail_env("delay-pread=3,delay-write=150");
    const std::vector<std::string> a = {"-a", tlt, "-i", ts, "-o", out, "-f", "-e", "none",
                                        "-t", "1", "-b", "1,12"};
    const run_result_t r = run(a, options);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::regex line(R"(([0-9.]+)% completed \(RAM usage)");
    std::set<std::string> shown;
    for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), line); it != std::sregex_iterator(); ++it)
        shown.insert((*it)[1]);
    EXPECT_TRUE(shown.count("100.0")) << r.out;
    EXPECT_GE(shown.size(), 3u) << r.out;
}

}  // namespace
