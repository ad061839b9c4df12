#include "kernels/kernel_slots.h"

#include "host/vector_ext.h"
#include "kernels/backproject.h"
#include "kernels/elementwise.h"

constrain_fn_t constrain_fn;
scale_fn_t scale_fn;
backproject_fn_t backproject_fn;
residual_row_fn_t residual_row_fn;

namespace {

const kernel_variants_t avx_variants = {
    slice_constrain_avx,        image_scale_avx,       backproject_interp_avx,
    backproject_nearest_avx,    row_residual_avx,      forward_project_interp_avx,
    forward_project_nearest_avx, sino_angle_weight_avx, correlation_avx,
    4,
};
const kernel_variants_t sse_variants = {
    slice_constrain_sse,        image_scale_sse,       backproject_interp_sse,
    backproject_nearest_sse,    row_residual_sse,      forward_project_interp_sse,
    forward_project_nearest_sse, sino_angle_weight_sse, correlation_sse,
    3,
};
const kernel_variants_t scalar_variants = {
    slice_constrain_scalar,        image_scale_scalar,       backproject_interp_scalar,
    backproject_nearest_scalar,    row_residual_scalar,      forward_project_interp_scalar,
    forward_project_nearest_scalar, sino_angle_weight_scalar, correlation_scalar,
    1,
};

}  // namespace

const kernel_variants_t &kernel_variants(int vector_ext)
{
    return vector_ext == VECTOR_EXT_AVX   ? avx_variants
         : vector_ext == VECTOR_EXT_SSE ? sse_variants
                                        : scalar_variants;
}

int kernel_slots_fill(int vector_ext, int interpolation)
{
    const kernel_variants_t &v = kernel_variants(vector_ext);
    constrain_fn = v.constrain;
    scale_fn = v.scale;
    backproject_fn = interpolation ? v.backproject_interp : v.backproject_nearest;
    residual_row_fn = v.residual_row;
    // The statistics of every written section follow the same choice.
    mrc_set_stats_extension(vector_ext);
    return v.column_shift;
}
