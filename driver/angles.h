#ifndef KYVANE_DRIVER_ANGLES_H
#define KYVANE_DRIVER_ANGLES_H

#include <cstdint>

// Reads the tilt angles (degrees, file order) of the text file at path: each
// line gives its leading number; lines that do not begin with one are
// skipped. On success stores a malloc'ed array in *angles and its length in
// *count and returns 0. On failure prints the reason on standard error,
// leaves *angles and *count untouched and returns -1.
int read_angle_list(const char *path, float **angles, int32_t *count);

#endif
