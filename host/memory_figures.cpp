#include "host/memory_figures.h"

#include <sys/sysinfo.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

double format_byte_size(uint64_t bytes, char *unit)
{
    const double n = static_cast<double>(bytes);
    if (n >= 1073741824.0) {
        std::strcpy(unit, "GB");
        return n / 1073741824.0;
    }
    if (n >= 1048576.0) {
        std::strcpy(unit, "MB");
        return n / 1048576.0;
    }
    if (n >= 1024.0) {
        std::strcpy(unit, "KB");
        return n / 1024.0;
    }
    std::strcpy(unit, "bytes");
    return n;
}

uint64_t sysinfo_total_ram()
{
    struct sysinfo info;
    if (sysinfo(&info) != 0) return 0;
    return static_cast<uint64_t>(info.totalram) * info.mem_unit;
}

uint64_t sysinfo_resident_bytes()
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/statm", static_cast<int>(getpid()));
    FILE *fp = std::fopen(path, "r");
    if (fp == nullptr) return 0;
    unsigned long pages = 0;
    // The second number is the resident size in pages.
    const int got = std::fscanf(fp, "%lu %lu", &pages, &pages);
    std::fclose(fp);
    if (got != 2) return 0;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(getpagesize());
}

int reaches_ninety_percent(uint64_t total, uint64_t part)
{
    return 0.9 * static_cast<double>(total) <= static_cast<double>(part) ? 1 : 0;
}
