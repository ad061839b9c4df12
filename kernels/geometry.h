// Projection geometry: for every kernel row of the slice and every
// projection, the run of column pairs whose ray meets the detector and the
// detector coordinate at the first of them; the cosine step per column pair;
// and the cache-block plan that tiles the kernels' loops.
//
// Conventions (W slice width, H even slice height, D detector bins, N
// projections, s split factor dividing W, w = W / s, R = s * H / 2 kernel
// rows, L lanes 1/4/8, c column shift 1/3/4 so a column pair is 2^c floats):
//   voxel (x, z) meets the detector of projection a at
//     t(x, z) = offset[a] - z sin(theta_a) + x cos(theta_a),
//     offset[a] = sin(theta_a) (H-1)/2 + (D-1)/2 - cos(theta_a) (W-1)/2,
//   bin i covers coordinate i, so the slice centre maps to the detector
//   centre; the reflection (W-1-x, H-1-z) meets it at (D-1) - t(x, z).
//   Kernel row r = z * s + p (z < H/2, p < s) is piece p of slice row z; its
//   column pair j stands for column x = p * w + j and holds the L voxels
//   (x, z) followed by the L voxels (W-1-x, H-1-z).
#ifndef KYVANE_KERNELS_GEOMETRY_H
#define KYVANE_KERNELS_GEOMETRY_H

#include <stdint.h>

#include "host/block_plan.h"

// One entry per (kernel row, projection). first_col and last_col are float
// offsets into the kernel row (column pair j is j << c); an entry without a
// valid column has first_col 0, last_col -1 << c and t_first 0. t_first is
// the coordinate at the first valid pair, plus 0.5 with interpolation off so
// that truncation rounds to the nearest bin. Every coordinate a walk from
// t_first by cos_table[a] per pair reaches up to last_col lies in [0, D-1).
struct ray_segment_t {
    int32_t first_col;
    int32_t last_col;
    float t_first;
};

// R rows of N entries, indexed [kernel row][projection].
extern ray_segment_t **ray_table;
// The same entries transposed: N rows of R entries, [projection][kernel row].
extern ray_segment_t **ray_table_by_angle;
// N floats: cos(theta_a), the coordinate step from one column pair to the next.
extern float *cos_table;
// The cache-block plan; row_block_sizes is NULL after the AVX planner.
extern block_lists_t block_lists;

// Builds the tables, the block plan and the kernel slots for one run.
// angles are in degrees; cache_block_kb 0 means rows_per_set/angles_per_set
// give the tile sizes; verbose 1 lets the planner print its report;
// vector_ext 0 AVX, 1 SSE, other plain. Returns 0, or -1 with nothing left
// allocated (the kernel slots then keep their previous values).
int projection_geometry_init(int width, int height, int sino_width, int num_angles,
                             const float *angles, int cache_block_kb, int rows_per_set,
                             int angles_per_set, int split_factor, int verbose,
                             int interpolation, int vector_ext);

// Releases the tables and the block plan of a successful init (once).
void projection_geometry_free(void);

#endif
