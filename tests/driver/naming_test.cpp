// Output naming and the overwrite dialogue, with standard input fed through a pipe.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <malloc.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "driver/output_name.h"
#include "tests/driver/cli_test_util.h"

namespace {

TEST(Naming, PathBasename)
{
    const struct {
        const char *path;
        size_t offset;
    } cases[] = {{"a/b/c.mrc", 4}, {"c.mrc", 0}, {"a/b/", 4}, {"/c.mrc", 1}, {"", 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(path_basename(c.path), c.path + c.offset); // a pointer into the path itself
    }
}

TEST(Naming, DefaultOutputName)
{
    const struct {
        const char *input;
        const char *expected;
    } cases[] = {{"/data/series.st", "recon_series.st"}, {"series.mrc", "recon_series.mrc"}, {"dir/", "recon_"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.input);
        char *name = default_output_name(c.input);
        ASSERT_NE(name, nullptr);
        EXPECT_STREQ(name, c.expected);
        std::free(name);
    }
}

// Standard input reads the given text, then end of input, while the object lives.
struct stdin_feed_t {
    int saved = -1;
    explicit stdin_feed_t(const std::string &text)
    {
        __fpurge(stdin);
        clearerr(stdin);
        int fds[2];
        if (pipe(fds) != 0)
            return;
        // Small texts fit the pipe buffer, so everything is written up front.
        if (write(fds[1], text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            ADD_FAILURE() << "short write to the stdin pipe";
        close(fds[1]);
        saved = dup(STDIN_FILENO);
        dup2(fds[0], STDIN_FILENO);
        close(fds[0]);
    }
    ~stdin_feed_t()
    {
        __fpurge(stdin);
        clearerr(stdin);
        if (saved >= 0) {
            dup2(saved, STDIN_FILENO);
            close(saved);
        }
    }
};

char *heap_copy(const std::string &text)
{
    char *copy = static_cast<char *>(std::malloc(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

const std::string question = "Warning: Output file already exists. Overwrite? [y/n] ";
const std::string new_name_prompt = "Please, type path and name for output file: ";

struct dialogue_t {
    char *result;      // owned by the caller when not NULL
    std::string out;   // what was printed on standard output
    std::string rest;  // what the routine left unread on standard input
};

dialogue_t confirm(const std::string &path, const std::string &input)
{
    stdin_feed_t feed(input);
    testing::internal::CaptureStdout();
    dialogue_t d;
    d.result = confirm_output_file(heap_copy(path));
    d.out = testing::internal::GetCapturedStdout();
    int c;
    while ((c = std::getchar()) != EOF)
        d.rest += static_cast<char>(c);
    return d;
}

std::string repeat(const std::string &text, int times)
{
    std::string out;
    for (int i = 0; i < times; i++)
        out += text;
    return out;
}

class NamingConfirm : public ::testing::Test {
protected:
    scratch_dir_t dir;
    std::string old_cwd;

    void SetUp() override
    {
        char buffer[4096];
        ASSERT_NE(getcwd(buffer, sizeof buffer), nullptr);
        old_cwd = buffer;
        write_text_file(dir.file("out.mrc"), "old");
        write_text_file(dir.file("out2.mrc"), "old");
        ASSERT_EQ(mkdir(dir.file("subdir").c_str(), 0755), 0);
        // Names without a '/' are looked up in the working directory.
        ASSERT_EQ(chdir(dir.path.c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(old_cwd.c_str()), 0); }
};

TEST_F(NamingConfirm, Dialogues)
{
    const std::string long_name(300, 'a');
    const std::string cut_name(255, 'a');
    write_text_file(dir.file(cut_name), "old");

    const struct {
        const char *name;
        std::string path;
        std::string input;
        const char *expected; // NULL: the check fails; "=" : the path itself
        std::string out;
        std::string rest;
    } cases[] = {
        {"new_file_asks_nothing", "new.mrc", "y\n", "new.mrc", "", "y\n"},
        {"new_file_in_other_dir", dir.file("new.mrc"), "", "=", "", ""},
        {"name_is_case_sensitive", "OUT.mrc", "", "OUT.mrc", "", ""},
        {"path_ending_in_slash", dir.path + "/", "", "=", "", ""},
        {"yes", "out.mrc", "y\nnext\n", "out.mrc", question, "\nnext\n"},
        {"upper_case_yes_word", dir.file("out.mrc"), "Yes\n", "=", question, "es\n"},
        {"directory_entry_counts", "subdir", "Y\n", "subdir", question, "\n"},
        {"no_then_new_name", "out.mrc", "no\nnew.mrc\nrest\n", "new.mrc", question + new_name_prompt, "rest\n"},
        {"empty_answer_then_new_name", "out.mrc", "\nnew.mrc\n", "new.mrc", question + new_name_prompt, ""},
        {"empty_names_prompt_again", "out.mrc", "n\n\n\nnew.mrc\n", "new.mrc",
         question + repeat(new_name_prompt, 3), ""},
        {"existing_new_name_asks_again", "out.mrc", "n\nout2.mrc\ny\n", "out2.mrc",
         question + new_name_prompt + question, "\n"},
        {"last_name_without_newline", "out.mrc", "n\nlast.mrc", "last.mrc", question + new_name_prompt, ""},
        // Cut to 255 characters; the rest of that line must not be taken as the next answer.
        {"long_name_cut", "out.mrc", "n\n" + long_name + "\ny\n", "cut",
         question + new_name_prompt + question, "\n"},
        {"eof_at_question", "out.mrc", "", nullptr, question, ""},
        {"eof_in_answer_line", "out.mrc", "nope", nullptr, question, ""},
        {"eof_at_new_name", "out.mrc", "n\n", nullptr, question + new_name_prompt, ""},
        {"eof_after_empty_names", "out.mrc", "n\n\n", nullptr, question + repeat(new_name_prompt, 2), ""},
        {"unlistable_directory", "/nonexistent-kyvane-dir/x.mrc", "y\n", nullptr, "", "y\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const dialogue_t d = confirm(c.path, c.input);
        if (c.expected) {
            const std::string expected = std::strcmp(c.expected, "=") == 0    ? c.path
                                         : std::strcmp(c.expected, "cut") == 0 ? cut_name
                                                                               : c.expected;
            ASSERT_NE(d.result, nullptr);
            EXPECT_EQ(d.result, expected);
            // Room for a typed name of up to 255 characters.
            EXPECT_GE(malloc_usable_size(d.result), 256u);
        } else {
            EXPECT_EQ(d.result, nullptr);
        }
        EXPECT_EQ(d.out, c.out);
        EXPECT_EQ(d.rest, c.rest);
        std::free(d.result);
    }
}

} // namespace
