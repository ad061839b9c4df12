// libFuzzer target: arbitrary bytes as an MRC file, opened along both axes
// with a cache and read once, as the reader and the writer would.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "mrc/mrc.h"

static std::string g_path;

static void remove_scratch()
{
    unlink(g_path.c_str());
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (mrc_init() != 0) return 1;
    const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    g_path = std::string(dir) + "/kv_mrc_fuzz_" + std::to_string(getpid()) + ".mrc";
    atexit(remove_scratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *fp = fopen(g_path.c_str(), "wb");
    if (!fp) return 0;
    fwrite(data, 1, size, fp);
    fclose(fp);

    static const int steps[3] = {1, 4, 8};
    const int step = steps[size % 3];

    int nx = 0, n = 0;
    mrc_read_dims(g_path.c_str(), 0, &nx, &n);
    mrc_read_origin_row(g_path.c_str());

    mrc_image_t rec;
    int depth = 8;
    if (mrc_open(g_path.c_str(), &rec, 0, 0, 0, &depth, step) == 0) {
        mrc_cache_fill_rows(&rec, 0);
        const int slot = mrc_cache_acquire(&rec, -1);
        if (slot >= 0) {
            mrc_slot_log(&rec, slot, 0.0f);
            mrc_cache_release(&rec, slot);
        }
        mrc_close(&rec, NULL);
    }
    depth = 2;
    if (mrc_open(g_path.c_str(), &rec, 1, 0, 0, &depth, step) == 0) {
        mrc_cache_fill_sections(&rec, 0);
        mrc_close(&rec, NULL);
    }
    return 0;
}
