// SIRT tables: the ray weights that every forward projection is multiplied
// by, the per-angle weights of the measured sinograms, and the slots that
// sirt_init fills (forward_project_fn and sino_weight_fn).
#ifndef KYVANE_KERNELS_SIRT_TABLES_H
#define KYVANE_KERNELS_SIRT_TABLES_H

#include "mrc/mrc.h"

// N rows of D floats in one block (array2d_alloc): 1/(N*S) per detector bin,
// S the summed sampling weight with which the slice reaches the bin; 0 for a
// bin that no ray reaches.
extern float **ray_weights;
// N floats |cos theta|/(N*H); NULL when weighting is off.
extern float *angle_weights;

// (sinogram): weights the measured sinogram in place before its iterations.
typedef void (*sino_weight_fn_t)(mrc_image_t *sino);
extern sino_weight_fn_t sino_weight_fn;

// Fills forward_project_fn and sino_weight_fn and builds the tables from the
// projection geometry, which must already exist. 0 on success, -1 when out of
// memory (nothing is left allocated then).
int sirt_init(int height, int sino_width, int num_angles, const float *angles,
              int split_factor, int weighting, int interpolation, int vector_ext);
void sirt_tables_free(void);

// Exchanges ray_table and ray_table_by_angle.
void geometry_table_swap(void);

void sino_angle_weight_scalar(mrc_image_t *sino);
void sino_angle_weight_sse(mrc_image_t *sino);   // 16-byte aligned rows
void sino_angle_weight_avx(mrc_image_t *sino);
// Every float times 1/ny through scale_fn (weighting off).
void sino_scale_by_projections(mrc_image_t *sino);

#endif
