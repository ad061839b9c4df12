#include "driver/angles.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <cstring>
#include <string>

int read_angle_list(const char *path, float **angles, int32_t *count)
{
    FILE *fp = std::fopen(path, "r");
    if (!fp) {
        const int err = errno;
        std::fprintf(stderr, "Can't find angle list file \"%s\".\n", path);
        std::fprintf(stderr, "%s: %s.\n", path, std::strerror(err));
        return -1;
    }

    float *values = nullptr;
    int32_t n = 0;
    std::string line;
    int failed = 0;
    int read_err = 0;
    // Takes the leading number of one whole line (a long number is never
    // split into two angles); 1 when the list must be given up.
    auto take_line = [&]() -> int {
        char *end = nullptr;
        const float value = std::strtof(line.c_str(), &end);
        if (end == line.c_str())
            return 0;
        // "nan", "inf" or an overflowing number would poison every slice.
        if (!std::isfinite(value)) {
            std::fprintf(stderr, "Invalid angle list file \"%s\".\n", path);
            return 1;
        }
        float *grown = static_cast<float *>(std::realloc(values, (static_cast<size_t>(n) + 1) * sizeof *values));
        if (!grown) {
            std::fprintf(stderr, "No memory to store angles!\n");
            return 1;
        }
        values = grown;
        values[n++] = value;
        return 0;
    };
    try {
        // Some editors start a UTF-8 text with a byte-order mark; it would
        // hide the first angle and pair every image with the wrong one.
        static const char bom[] = "\xEF\xBB\xBF";
        int c = std::getc(fp);
        for (int i = 0; i < 3 && c == static_cast<unsigned char>(bom[i]); i++) {
            line.push_back(static_cast<char>(c));
            c = std::getc(fp);
        }
        if (line.size() == 3)
            line.clear();
        // Lines end with LF, CR LF or a lone CR (old Mac text).
        for (; c != EOF && !failed; c = std::getc(fp)) {
            if (c != '\n' && c != '\r') {
                line.push_back(static_cast<char>(c));
                continue;
            }
            if (c == '\r') {
                const int next = std::getc(fp);
                if (next != '\n' && next != EOF)
                    std::ungetc(next, fp);
            }
            failed = take_line();
            line.clear();
        }
        if (std::ferror(fp))
            read_err = errno ? errno : EIO;
        if (!failed && !line.empty())
            failed = take_line();
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "No memory to store angles!\n");
        failed = 1;
    }
    if (!failed && std::ferror(fp)) {
        std::fprintf(stderr, "Unable to read angle list file \"%s\".\n", path);
        if (read_err)
            std::fprintf(stderr, "%s: %s.\n", path, std::strerror(read_err));
        failed = 1;
    }
    if (!failed && n == 0) {
        std::fprintf(stderr, "Invalid angle list file \"%s\".\n", path);
        failed = 1;
    }
    std::fclose(fp);
    if (failed) {
        std::free(values);
        return -1;
    }
    *angles = values;
    *count = n;
    return 0;
}
