#include "kernels/geometry.h"

#include <math.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>

#include "kernels/array2d.h"
#include "host/vector_ext.h"
#include "kernels/kernel_slots.h"
#include "kernels/setup_threads.h"

ray_segment_t **ray_table;
ray_segment_t **ray_table_by_angle;
float *cos_table;
block_lists_t block_lists;

int projection_geometry_init(int width, int height, int sino_width, int num_angles,
                             const float *angles, int cache_block_kb, int rows_per_set,
                             int angles_per_set, int split_factor, int verbose,
                             int interpolation, int vector_ext)
{
    const int W = width, H = height, D = sino_width, N = num_angles, s = split_factor;
    // The walk below needs whole pieces and at least one kernel row and
    // projection; refuse anything else instead of writing out of bounds.
    if (W < 1 || H < 2 || D < 1 || N < 1 || s < 1 || W % s != 0 || angles == NULL)
        return -1;
    // Kernel rows and row lengths are ints everywhere below.
    const int64_t lanes = vector_lanes(vector_ext);
    if ((int64_t)s * (H / 2) > INT32_MAX || 2 * (int64_t)W / s * lanes > INT32_MAX)
        return -1;
    const int R = s * (H / 2);

    int planned;
    if (vector_ext == VECTOR_EXT_AVX)
        planned = plan_cache_blocks_avx(W, H, D, N, cache_block_kb, angles_per_set, s, verbose,
                                        &block_lists);
    else
        planned = plan_cache_blocks(W, H, D, N, cache_block_kb, rows_per_set, angles_per_set, s,
                                    verbose, vector_ext, &block_lists);
    if (planned < 0)
        return -1;

    ray_segment_t **by_row =
        reinterpret_cast<ray_segment_t **>(array2d_alloc(N, R, sizeof(ray_segment_t)));
    ray_segment_t **by_angle =
        reinterpret_cast<ray_segment_t **>(array2d_alloc(R, N, sizeof(ray_segment_t)));
    float *cosines = static_cast<float *>(malloc(sizeof(float) * (size_t)N));
    float *scratch = static_cast<float *>(malloc(sizeof(float) * 2 * (size_t)N));
    if (by_row == NULL || by_angle == NULL || cosines == NULL || scratch == NULL) {
        free(scratch);
        array2d_free(reinterpret_cast<void **>(by_row));
        array2d_free(reinterpret_cast<void **>(by_angle));
        free(cosines);
        block_lists_free(&block_lists);
        return -1;
    }
    ray_table = by_row;
    ray_table_by_angle = by_angle;
    cos_table = cosines;

    // Truncation of t + 0.5 is rounding to the nearest bin.
    const float half = interpolation == 0 ? 0.5f : 0.0f;
    const int c = kernel_slots_fill(vector_ext, interpolation);

    float *sine = scratch;
    float *offset = scratch + N;
    const float hh = (float)(H - 1) * 0.5f;
    const float dh = (float)(D - 1) * 0.5f;
    const float wh = (float)(W - 1) * 0.5f;
    for (int a = 0; a < N; a++) {
        const float theta = angles[a] * 0.017453292f;
        float sn, cs;
        sincosf(theta, &sn, &cs);
        cos_table[a] = cs;
        sine[a] = sn;
        offset[a] = ((sn * hh) + dh) - (cs * wh);
    }

    // t and u are running sums along the whole slice row, carried across the
    // pieces, so the kernels' own running sums reproduce them exactly. Every
    // slice row z is walked whole by one set-up thread, which writes only its
    // own kernel rows.
    const ray_segment_t empty = {0, -1, 0.0f};
    const int w = W / s;
    const float last_bin = (float)(D - 1);
    const int rows_per_task = 4;
    setup_parallel_for((H / 2 + rows_per_task - 1) / rows_per_task, [&](int task) {
        const int z1 = std::min(H / 2, (task + 1) * rows_per_task);
        for (int z = task * rows_per_task; z < z1; z++) {
            for (int p = 0; p < s; p++)
                for (int a = 0; a < N; a++) ray_table[z * s + p][a] = empty;
            for (int a = 0; a < N; a++) {
                const float step = cos_table[a];
                float t = offset[a] - sine[a] * (float)z;
                float u = half + t;
                for (int p = 0; p < s; p++) {
                    ray_segment_t *e = &ray_table[z * s + p][a];
                    bool seen = false;
                    for (int j = 0; j < w; j++) {
                        if (0.0f <= t && t < last_bin) {
                            if (!seen) {
                                e->t_first = u;
                                e->first_col = j << c;
                                seen = true;
                            }
                            e->last_col = j;
                        }
                        t += step;
                        u += step;
                    }
                    e->last_col = (int32_t)((uint32_t)e->last_col << c);
                }
            }
        }
    });
    // The other orientation once the walk is done: each thread fills whole
    // rows of it, so no two write into one page at once.
    setup_parallel_for(N, [&](int a) {
        for (int r = 0; r < R; r++) ray_table_by_angle[a][r] = ray_table[r][a];
    });

    free(scratch);
    return 0;
}

void projection_geometry_free(void)
{
    array2d_free(reinterpret_cast<void **>(ray_table));
    array2d_free(reinterpret_cast<void **>(ray_table_by_angle));
    free(cos_table);
    block_lists_free(&block_lists);
}
