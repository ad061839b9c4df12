#include "kernels/kernel_slots.h"

#include "kernels/backproject.h"
#include "kernels/elementwise.h"
#include "kernels/sirt_step.h"

constrain_fn_t constrain_fn;
scale_fn_t scale_fn;
backproject_fn_t backproject_fn;
residual_row_fn_t residual_row_fn;

int kernel_slots_fill(int vector_ext, int interpolation)
{
    if (vector_ext == 0) {
        constrain_fn = slice_constrain_avx;
        scale_fn = image_scale_avx;
        backproject_fn = interpolation ? backproject_interp_avx : backproject_nearest_avx;
        residual_row_fn = row_residual_avx;
        return 4;
    }
    if (vector_ext == 1) {
        constrain_fn = slice_constrain_sse;
        scale_fn = image_scale_sse;
        backproject_fn = interpolation ? backproject_interp_sse : backproject_nearest_sse;
        residual_row_fn = row_residual_sse;
        return 3;
    }
    constrain_fn = slice_constrain_scalar;
    scale_fn = image_scale_scalar;
    backproject_fn = interpolation ? backproject_interp_scalar : backproject_nearest_scalar;
    residual_row_fn = row_residual_scalar;
    return 1;
}
