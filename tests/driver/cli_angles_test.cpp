// Reading the angle list: whole lines, the first number of each, finite only.
#include <cmath>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "driver/angles.h"
#include "tests/driver/cli_test_util.h"

namespace {

struct angle_read_t {
    int result;
    std::vector<float> angles;
    std::string err;
};

angle_read_t read_angles(const std::string &path)
{
    float *angles = nullptr;
    int32_t count = -7;
    testing::internal::CaptureStderr();
    angle_read_t r;
    r.result = read_angle_list(path.c_str(), &angles, &count);
    r.err = testing::internal::GetCapturedStderr();
    if (r.result == 0)
        r.angles.assign(angles, angles + count);
    else
        EXPECT_EQ(count, -7);
    std::free(angles);
    return r;
}

angle_read_t read_angles_text(const std::string &text)
{
    scratch_dir_t dir;
    write_text_file(dir.file("angles.txt"), text);
    return read_angles(dir.file("angles.txt"));
}

TEST(CliAngles, LinesGiveTheirFirstNumber)
{
    const angle_read_t r = read_angles_text("1.5\n\n# comment\n-3\n  +4e1 trailing\n10 20\n7\r\n-60");
    ASSERT_EQ(r.result, 0) << r.err;
    EXPECT_EQ(r.angles, (std::vector<float>{1.5f, -3.0f, 40.0f, 10.0f, 7.0f, -60.0f}));
    EXPECT_EQ(r.err, "");
}

// Text as different editors and systems save it: every variant gives the
// same angles in the same order.
TEST(CliAngles, LineEndsAndByteOrderMark)
{
    const std::vector<float> want = {-60.0f, 0.5f, 60.0f};
    const struct {
        const char *name;
        std::string text;
    } cases[] = {
        {"LF", "-60\n0.5\n60\n"},
        {"CR LF", "-60\r\n0.5\r\n60\r\n"},
        {"lone CR", "-60\r0.5\r60\r"},
        {"lone CR, no final line end", "-60\r0.5\r60"},
        {"lone CR with a blank line", "-60\r\r0.5\r60"},
        {"mixed", "-60\r\n0.5\r60\n"},
        {"byte-order mark, LF", "\xEF\xBB\xBF-60\n0.5\n60\n"},
        {"byte-order mark, CR LF", "\xEF\xBB\xBF-60\r\n0.5\r\n60\r\n"},
        {"byte-order mark, lone CR", "\xEF\xBB\xBF-60\r0.5\r60"},
        {"byte-order mark before a blank line", "\xEF\xBB\xBF\n-60\n0.5\n60\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const angle_read_t r = read_angles_text(c.text);
        ASSERT_EQ(r.result, 0) << r.err;
        EXPECT_EQ(r.angles, want);
        EXPECT_EQ(r.err, "");
    }
    // Only a mark at the very start is skipped: one later in the text is
    // not a number, and its line gives nothing.
    const angle_read_t r = read_angles_text("-60\n\xEF\xBB\xBF" "0.5\n60\n");
    ASSERT_EQ(r.result, 0) << r.err;
    EXPECT_EQ(r.angles, (std::vector<float>{-60.0f, 60.0f}));
}

TEST(CliAngles, LongNumberStaysOneAngle)
{
    // Longer than any fixed piece: split, it would become two angles.
    const angle_read_t r = read_angles_text("-12.34567890123456\n5\n                    8\n");
    ASSERT_EQ(r.result, 0) << r.err;
    ASSERT_EQ(r.angles.size(), 3u);
    EXPECT_FLOAT_EQ(r.angles[0], -12.345678901f);
    EXPECT_EQ(r.angles[1], 5.0f);
    EXPECT_EQ(r.angles[2], 8.0f);
}

TEST(CliAngles, NoLimitOnTheCount)
{
    std::string text;
    for (int i = 0; i < 5000; i++)
        text += std::to_string(i % 181 - 90) + "\n";
    const angle_read_t r = read_angles_text(text);
    ASSERT_EQ(r.result, 0);
    ASSERT_EQ(r.angles.size(), 5000u);
    EXPECT_EQ(r.angles[4999], static_cast<float>(4999 % 181 - 90));
}

TEST(CliAngles, RefusedFiles)
{
    scratch_dir_t dir;
    const struct {
        const char *name;
        const char *text;
    } invalid[] = {
        {"empty.txt", ""},
        {"blank.txt", "\n\n  \n"},
        {"words.txt", "# angles\nnone here\n"},
        {"nan.txt", "1\nnan\n2\n"},
        {"inf.txt", "-inf\n"},
        {"overflow.txt", "0\n1e40\n"},
    };
    for (const auto &file : invalid) {
        SCOPED_TRACE(file.name);
        const std::string path = dir.file(file.name);
        write_text_file(path, file.text);
        const angle_read_t r = read_angles(path);
        EXPECT_EQ(r.result, -1);
        EXPECT_EQ(r.err, "Invalid angle list file \"" + path + "\".\n");
    }

    const angle_read_t missing = read_angles(dir.file("missing.txt"));
    EXPECT_EQ(missing.result, -1);
    EXPECT_EQ(missing.err, "Can't find angle list file \"" + dir.file("missing.txt") + "\".\n" +
                               dir.file("missing.txt") + ": No such file or directory.\n");

    const angle_read_t directory = read_angles(dir.path);
    EXPECT_EQ(directory.result, -1);
    EXPECT_EQ(directory.err, "Unable to read angle list file \"" + dir.path + "\".\n" + dir.path +
                                 ": Is a directory.\n");
}

} // namespace
