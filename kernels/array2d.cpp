#include "kernels/array2d.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "mrc/mrc_block.h"

void **array2d_alloc(int cols, int rows, size_t elem_size)
{
    if (cols < 0 || rows < 1)
        return NULL;
    // Sizes that do not fit in size_t fail like any other allocation.
    if (elem_size != 0 && (size_t)cols > SIZE_MAX / elem_size)
        return NULL;
    const size_t row_bytes = (size_t)cols * elem_size;
    if (row_bytes != 0 && (size_t)rows > SIZE_MAX / row_bytes)
        return NULL;
    void **array = static_cast<void **>(malloc(sizeof(void *) * (size_t)rows));
    if (array == NULL)
        return NULL;
    // Aligned as malloc would; a table large enough goes on huge pages.
    const size_t bytes = row_bytes * (size_t)rows;
    char *block = static_cast<char *>(mrc_block_alloc(bytes, alignof(max_align_t)));
    if (block == NULL) {
        free(array);
        return NULL;
    }
    array[0] = block;
    for (int r = 1; r < rows; r++)
        array[r] = static_cast<char *>(array[r - 1]) + row_bytes;
    return array;
}

void array2d_free(void **array)
{
    if (array == NULL)
        return;
    mrc_block_free(array[0]);
    free(array);
}

void array2d_zero(float **array, int cols, int rows)
{
    const int64_t count = (int64_t)rows * (int64_t)cols;
    if (count > 0)
        memset(array[0], 0, (size_t)count * sizeof(float));
}
