// Forward projection: the transpose of the back-projection walk. Gathers the
// values of a slice (or a group of 4 or 8 slices, one per lane) in the slice
// kernel layout into the detector bins of a work sinogram and weights every
// bin by its SIRT ray weight.
#ifndef KYVANE_KERNELS_FORWARD_PROJECT_H
#define KYVANE_KERNELS_FORWARD_PROJECT_H

#include <stdint.h>

#include "mrc/mrc.h"

// (work sinogram, slice, step table): overwrites section 0 of the sinogram
// with the weighted projection of section 0 of the slice; the slice is only
// read. steps is the calling worker's step table (ray_steps_table): the AVX
// members need one for the slice's kernel rows, the others take NULL as well.
typedef void (*forward_project_fn_t)(mrc_image_t *sino, mrc_image_t *slice, int32_t *steps);

// Filled once by sirt_init, before any worker starts.
extern forward_project_fn_t forward_project_fn;

void forward_project_interp_scalar(mrc_image_t *sino, mrc_image_t *slice, int32_t *steps);
void forward_project_nearest_scalar(mrc_image_t *sino, mrc_image_t *slice, int32_t *steps);
// The SSE members need 16-byte aligned blocks and rows (the 4-lane allocator).
void forward_project_interp_sse(mrc_image_t *sino, mrc_image_t *slice, int32_t *steps);
void forward_project_nearest_sse(mrc_image_t *sino, mrc_image_t *slice, int32_t *steps);
void forward_project_interp_avx(mrc_image_t *sino, mrc_image_t *slice, int32_t *steps);
void forward_project_nearest_avx(mrc_image_t *sino, mrc_image_t *slice, int32_t *steps);

#endif
