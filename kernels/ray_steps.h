// The workers' step tables of the AVX projection walks: one per worker,
// made at set-up, handed to the back-projection and forward projection
// slots (kernels/ray_walk_avx.h holds the walks that fill and read them).
#ifndef KYVANE_KERNELS_RAY_STEPS_H
#define KYVANE_KERNELS_RAY_STEPS_H

#include <stddef.h>
#include <stdint.h>

// int32 of one worker's table for kernel rows of up to `steps` column pairs.
size_t ray_steps_size(int steps);

// The workers' step tables, one each, for kernel rows of up to `pairs`
// column pairs: made once at set-up beside the other per-worker stores, so
// the walks of a run allocate nothing. 0, or -1 when out of memory (nothing
// is then left allocated). Call on the main thread before workers start.
int ray_steps_init(int threads, int pairs);
void ray_steps_free(void);
// Worker `thread`'s table, or NULL when none were made (no AVX run).
int32_t *ray_steps_table(int thread);

#endif
