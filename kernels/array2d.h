// Two-dimensional arrays as row pointers over one contiguous block.
//
// Row 0 points to the block that holds every row, row r lies r * cols *
// elem_size bytes into it; whoever holds the pointer array owns the block
// through row 0. The ray tables and the SIRT ray weights use these.
#ifndef KYVANE_KERNELS_ARRAY2D_H
#define KYVANE_KERNELS_ARRAY2D_H

#include <stddef.h>

// `rows` row pointers over one uncleared block of rows * cols * elem_size
// bytes; NULL when out of memory (nothing is leaked then).
void **array2d_alloc(int cols, int rows, size_t elem_size);

// Frees the block (row 0) and then the pointer array; NULL is ignored.
void array2d_free(void **array);

// Sets rows * cols floats, starting at row 0, to 0 (the rows are contiguous).
void array2d_zero(float **array, int cols, int rows);

#endif
