#include "driver/angles.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

int read_angle_list(const char *path, float **angles, int32_t *count)
{
    FILE *fp = std::fopen(path, "r");
    if (!fp) {
        std::fprintf(stderr, "Can't find angle list file \"%s\".\n", path);
        return -1;
    }

    float *values = nullptr;
    int32_t n = 0;
    char *line = nullptr;
    size_t line_cap = 0;
    int failed = 0;
    // Whole lines, so a long number is never split into two angles.
    while (getline(&line, &line_cap, fp) != -1) {
        char *end = line;
        const float value = std::strtof(line, &end);
        if (end == line)
            continue;
        // "nan", "inf" or an overflowing number would poison every slice.
        if (!std::isfinite(value)) {
            std::fprintf(stderr, "Invalid angle list file \"%s\".\n", path);
            failed = 1;
            break;
        }
        float *grown = static_cast<float *>(std::realloc(values, (static_cast<size_t>(n) + 1) * sizeof *values));
        if (!grown) {
            std::fprintf(stderr, "No memory to store angles!\n");
            failed = 1;
            break;
        }
        values = grown;
        values[n++] = value;
    }
    // getline also stops on an allocation failure, which sets no error flag.
    if (!failed && (std::ferror(fp) || !std::feof(fp))) {
        std::fprintf(stderr, "Unable to read angle list file \"%s\".\n", path);
        failed = 1;
    }
    if (!failed && n == 0) {
        std::fprintf(stderr, "Invalid angle list file \"%s\".\n", path);
        failed = 1;
    }
    std::free(line);
    std::fclose(fp);
    if (failed) {
        std::free(values);
        return -1;
    }
    *angles = values;
    *count = n;
    return 0;
}
