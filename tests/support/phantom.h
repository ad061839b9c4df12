// Test phantom with exact projections.
//
// A phantom is a few ellipses (a slice) or ellipsoids (a volume) of constant,
// additive densities. Its sinogram is computed from the exact chord length of
// every ellipse along every ray, never with the program's own projection
// walk, so the kernels can be judged against independent truth.
//
// Coordinates follow the reconstruction geometry. A slice is W x H voxels,
// stored row-major: voxel (x, z) is element z * W + x, x along the detector
// direction at angle 0, z the slice row (the thickness). Shapes are placed
// relative to the slice centre: X = x - (W-1)/2, Z = z - (H-1)/2. For tilt
// angle theta (degrees in the API), the ray of detector bin i (0 <= i < D) is
// the line
//     X cos(theta) - Z sin(theta) = i - (D-1)/2,
// so the slice centre projects onto the detector centre, exactly as
// projection_geometry_init maps voxel (x, z) to coordinate
// offset - z sin(theta) + x cos(theta). Each bin is a line integral through
// its centre (no bin-width averaging), in density times voxel lengths.
//
// Volumes: the tilt axis is y, the tilt-series row (0 <= y < rows), with
// Y = y - (rows-1)/2. Each ellipsoid is rotated only about y, so its section
// at row y is an ellipse of the same centre and orientation whose semi-axes
// shrink by sqrt(1 - ((Y - cy)/ay)^2). Row y of every tilt image is then the
// sinogram of section y: phantom_tilt_series builds the whole stack, and the
// reconstruction of tilt-series row y is compared with phantom_volume's
// section y.
#ifndef KYVANE_TESTS_SUPPORT_PHANTOM_H
#define KYVANE_TESTS_SUPPORT_PHANTOM_H

#include <vector>

struct phantom_ellipse_t {
    double cx, cz;     // centre, voxels from the slice centre
    double ax, az;     // semi-axes along x and z before the rotation, voxels
    double phi_deg;    // rotation of the ellipse, from +x toward +z
    double density;    // added to every point inside
};

struct phantom_ellipsoid_t {
    double cx, cy, cz;  // centre, voxels from the volume centre (y: tilt-series row)
    double ax, ay, az;  // semi-axes, voxels
    double phi_deg;     // rotation about the y axis, from +x toward +z
    double density;
};

// The default slice phantom for a W x H slice: six overlapping ellipses of
// densities between -0.5 and 1.2, each within 95 % of the half-width and
// half-height of the slice (rotated ones are shrunk to fit thin slabs), so
// the slice holds all of its mass and any detector of D >= sqrt(W^2 + H^2)
// bins sees all of it.
std::vector<phantom_ellipse_t> phantom_slice_ellipses(int W, int H);

// Exact length of the chord of one ellipse along the ray with detector
// coordinate u (relative to the detector centre) at angle theta (radians).
double phantom_chord(const phantom_ellipse_t &e, double theta, double u);

// Rasterises into slice[z * W + x] (W * H floats, overwritten): each voxel is
// the mean density over supersample x supersample points spread evenly over
// the voxel (supersample 1 samples the centre only).
void phantom_rasterise(const std::vector<phantom_ellipse_t> &ellipses, int W, int H,
                       int supersample, float *slice);

// Exact sinogram: sino[a * D + i] = sum of density * chord for bin i at
// angles_deg[a] (N * D floats, overwritten).
void phantom_sinogram(const std::vector<phantom_ellipse_t> &ellipses, int D, int N,
                      const float *angles_deg, float *sino);

// The default volume phantom for W x H slices and `rows` tilt-series rows:
// ellipsoids of several densities whose sections change slowly with y.
std::vector<phantom_ellipsoid_t> phantom_volume_ellipsoids(int W, int H, int rows);

// The ellipses of section y (0 <= y < rows) of a volume phantom.
std::vector<phantom_ellipse_t> phantom_section(const std::vector<phantom_ellipsoid_t> &ellipsoids,
                                               int rows, int y);

// Rasterised volume: vol[(y * H + z) * W + x], rows sections of W x H
// (the reconstruction's output layout: one section per tilt-series row).
void phantom_volume(const std::vector<phantom_ellipsoid_t> &ellipsoids, int W, int H, int rows,
                    int supersample, float *vol);

// Tilt series: tilt[(a * rows + y) * D + i], N images of D x rows (image a,
// row y, column i), row y of image a being row a of section y's sinogram.
void phantom_tilt_series(const std::vector<phantom_ellipsoid_t> &ellipsoids, int rows, int D,
                         int N, const float *angles_deg, float *tilt);

#endif
