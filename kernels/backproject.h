// Back-projection family: adds every projection of a sinogram, smeared along
// its rays, into a slice in the slice kernel layout. One walk per (kernel
// row, projection) entry of ray_table serves a voxel and its reflection.
// The slice is never cleared here; the caller zeroes it for a fresh result.
// For a fixed voxel the projections are always added in increasing order,
// so the result does not depend on the block plan. The SSE and AVX members
// give identical sums; the plain interpolating one may differ from them in
// the last bit (it adds the interpolated sample in one step).
#ifndef KYVANE_KERNELS_BACKPROJECT_H
#define KYVANE_KERNELS_BACKPROJECT_H

#include <stdint.h>

#include "mrc/mrc.h"

// steps: the caller's step table, used by the AVX members only.
void backproject_interp_scalar(mrc_image_t *sino, mrc_image_t *slice, int32_t *steps);
void backproject_nearest_scalar(mrc_image_t *sino, mrc_image_t *slice, int32_t *steps);
// The SSE members need 16-byte aligned blocks and rows (the 4-lane allocator).
void backproject_interp_sse(mrc_image_t *sino, mrc_image_t *slice, int32_t *steps);
void backproject_nearest_sse(mrc_image_t *sino, mrc_image_t *slice, int32_t *steps);
// The AVX members need a table for the slice's kernel rows (ray_steps_init).
void backproject_interp_avx(mrc_image_t *sino, mrc_image_t *slice, int32_t *steps);
void backproject_nearest_avx(mrc_image_t *sino, mrc_image_t *slice, int32_t *steps);

#endif
