// Kernel slots filled by projection_geometry_init, and the table that picks
// the member of every kernel family for a vector extension.
//
// Each slot is written once on the main thread, before any worker starts,
// with the scalar, SSE or AVX member of its family, and only read while the
// workers run; callers go through the slot, never choose a variant per call.
// The SIRT slots (forward projection, sinogram weighting, correlation, the
// iteration step) belong to the SIRT set-up and are declared with it; it
// takes their members from the same table.
#ifndef KYVANE_KERNELS_KERNEL_SLOTS_H
#define KYVANE_KERNELS_KERNEL_SLOTS_H

#include <stdint.h>

#include "kernels/forward_project.h"
#include "kernels/sirt_step.h"
#include "kernels/sirt_tables.h"
#include "mrc/mrc.h"

// Sets the negative values of the record's nx * ny * nz floats to 0.
typedef void (*constrain_fn_t)(mrc_image_t *image);
// Multiplies the record's nx * ny * nz floats by 1.0f / (float)n.
typedef void (*scale_fn_t)(mrc_image_t *image, int n);
// Adds the back-projection of a sinogram (N rows of D * L floats) into a
// slice in the slice kernel layout (R rows of 2 * w * L floats). steps is
// the calling worker's step table (ray_steps_table), which the AVX members
// fill and read; the others take NULL as well.
typedef void (*backproject_fn_t)(mrc_image_t *sino, mrc_image_t *slice, int32_t *steps);
// dst[i] = src[i] - dst[i] for i in [0, n).
typedef void (*residual_row_fn_t)(float *dst, const float *src, int n);

extern constrain_fn_t constrain_fn;
extern scale_fn_t scale_fn;
extern backproject_fn_t backproject_fn;
extern residual_row_fn_t residual_row_fn;

// The members of every kernel family for one vector extension.
struct kernel_variants_t {
    constrain_fn_t constrain;
    scale_fn_t scale;
    backproject_fn_t backproject_interp, backproject_nearest;
    residual_row_fn_t residual_row;
    forward_project_fn_t forward_interp, forward_nearest;
    sino_weight_fn_t angle_weight;
    correlation_fn_t correlation;
    int column_shift;  // one column pair of a kernel row is 2^c floats
};

// vector_ext 0 AVX, 1 SSE, any other value plain.
const kernel_variants_t &kernel_variants(int vector_ext);

// Fills the four slots above, and libMRC's statistics pass of the written
// sections, for vector_ext; interpolation non-zero picks the interpolating
// back-projection. Returns the column shift c of the chosen lane count (4,
// 3 or 1).
int kernel_slots_fill(int vector_ext, int interpolation);

#endif
