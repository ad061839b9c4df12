// Cache-block planners: split a slice's kernel rows and a sinogram's
// projections into tiles that fit a cache block together.
#ifndef KYVANE_HOST_BLOCK_PLAN_H
#define KYVANE_HOST_BLOCK_PLAN_H

#include <cstdint>

// Two lists of tile sizes in one allocation starting at proj_block_sizes;
// row_block_sizes points right behind the last projection entry (NULL after
// the AVX planner). The lists carry no count: a kernel adds entries until
// the running sum reaches its number of rows or projections.
struct block_lists_t {
    int32_t *proj_block_sizes;
    int32_t *row_block_sizes;
};

// Plain and SSE kernels (vector_ext 1 = SSE, 2 = none). B = 0 means the
// requested Rq/Pq are used. Returns 0, or -1 when the lists cannot be
// allocated (or the sizes cannot be planned at all).
int plan_cache_blocks(int W, int H, int D, int N, int B, int Rq, int Pq,
                      int s, int verbose, int vector_ext, block_lists_t *lists);

// AVX kernels: one kernel row per set, projections tiled only.
int plan_cache_blocks_avx(int W, int H, int D, int N, int B, int Pq, int s,
                          int verbose, block_lists_t *lists);

// Frees the single allocation; leaves both pointers unchanged.
void block_lists_free(block_lists_t *lists);

#endif
