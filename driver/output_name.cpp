#include "driver/output_name.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>

const char *path_basename(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

char *default_output_name(const char *input)
{
    static const char prefix[] = "recon_";
    const char *base = path_basename(input);
    const size_t base_len = std::strlen(base);
    char *name = static_cast<char *>(std::malloc(sizeof prefix + base_len));
    if (!name)
        return nullptr;
    std::memcpy(name, prefix, sizeof prefix - 1);
    std::memcpy(name + sizeof prefix - 1, base, base_len + 1);
    return name;
}

// 1 when the directory of path lists an entry of its name, 0 when not,
// -1 when that cannot be told.
static int output_file_exists(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    const char *name = slash ? slash + 1 : path;
    const size_t dir_len = slash ? static_cast<size_t>(slash - path) + 1 : 1;
    char *dir = static_cast<char *>(std::malloc(dir_len + 1));
    if (!dir)
        return -1;
    std::memcpy(dir, slash ? path : ".", dir_len);
    dir[dir_len] = '\0';

    struct dirent **entries = nullptr;
    const int count = scandir(dir, &entries, nullptr, nullptr);
    std::free(dir);
    if (count < 0)
        return -1;
    int found = 0;
    for (int i = 0; i < count; i++) {
        if (!found && std::strcmp(entries[i]->d_name, name) == 0)
            found = 1;
        std::free(entries[i]);
    }
    std::free(entries);
    return found;
}

// Discards standard input up to and including the next newline.
// Returns 0, or EOF when the input ended first.
static int skip_input_line(void)
{
    int c;
    while ((c = std::getchar()) != EOF && c != '\n') {
    }
    return c == EOF ? EOF : 0;
}

char *confirm_output_file(char *path)
{
    size_t size = std::strlen(path) + 1;
    if (size < 256) {
        char *grown = static_cast<char *>(std::realloc(path, 256));
        if (grown) {
            path = grown;
            size = 256;
        }
    }

    for (;;) {
        const int exists = output_file_exists(path);
        if (exists < 0)
            break;
        if (!exists)
            return path;

        std::printf("Warning: Output file already exists. Overwrite? [y/n] ");
        std::fflush(stdout);
        const int answer = std::getchar();
        if (answer == EOF)
            break;
        if (std::toupper(answer) == 'Y')
            return path;
        if (answer != '\n' && skip_input_line() == EOF)
            break;

        // Ask for a new name until a non-empty one arrives.
        size_t len = 0;
        do {
            std::printf("Please, type path and name for output file: ");
            std::fflush(stdout);
            if (!std::fgets(path, static_cast<int>(size), stdin)) {
                len = 0;
                break;
            }
            len = std::strlen(path);
            if (len > 0 && path[len - 1] == '\n')
                path[--len] = '\0';
            else
                skip_input_line(); // cut an over-long name to the buffer
        } while (len == 0);
        if (len == 0)
            break;
    }
    std::free(path);
    return nullptr;
}
