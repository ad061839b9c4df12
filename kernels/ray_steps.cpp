// The workers' step tables of the AVX projection walks.
#include "kernels/ray_steps.h"

#include <stdlib.h>
#include <string.h>

#include "kernels/ray_walk_avx.h"
#include "mrc/mrc_block.h"

static int32_t **ray_steps_tables = NULL;
static int ray_steps_threads = 0;

size_t ray_steps_size(int steps)
{
    return (size_t)(ray_steps_rows / 2) * 16 * (steps + 1);
}

int ray_steps_init(int threads, int pairs)
{
    ray_steps_free();
    if (threads < 1 || pairs < 0) return -1;
    ray_steps_tables = static_cast<int32_t **>(calloc((size_t)threads, sizeof(int32_t *)));
    if (!ray_steps_tables) return -1;
    ray_steps_threads = threads;
    const size_t bytes = ray_steps_size(pairs) * sizeof(int32_t);
    for (int t = 0; t < threads; t++) {
        // One table entry per cache line.
        void *p = mrc_block_alloc(bytes, 64);
        if (!p) {
            ray_steps_free();
            return -1;
        }
        // Entries that no walk reads stay defined all the same.
        memset(p, 0, bytes);
        ray_steps_tables[t] = static_cast<int32_t *>(p);
    }
    return 0;
}

void ray_steps_free(void)
{
    for (int t = 0; t < ray_steps_threads; t++) mrc_block_free(ray_steps_tables[t]);
    free(ray_steps_tables);
    ray_steps_tables = NULL;
    ray_steps_threads = 0;
}

int32_t *ray_steps_table(int thread)
{
    return thread >= 0 && thread < ray_steps_threads ? ray_steps_tables[thread] : NULL;
}
