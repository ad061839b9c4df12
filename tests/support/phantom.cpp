#include "tests/support/phantom.h"

#include <cmath>

namespace {

const double kPi = 3.141592653589793;

double radians(double deg) { return deg * (kPi / 180.0); }

// Fractions of the half-sizes: the same shapes scale to any slice.
struct shape_t {
    double fx, fy, fz, fax, fay, faz, phi, density;
};

const shape_t kShapes[] = {
    {0.00, 0.00, 0.00, 0.85, 0.85, 0.80, 0.0, 1.0},
    {-0.35, 0.10, 0.10, 0.22, 0.40, 0.30, 20.0, -0.5},
    {0.35, -0.15, -0.15, 0.18, 0.35, 0.28, -30.0, 0.6},
    {0.05, 0.30, 0.45, 0.12, 0.25, 0.20, 0.0, 0.8},
    {0.12, -0.30, -0.45, 0.08, 0.30, 0.18, 45.0, -0.3},
    {-0.55, -0.10, -0.30, 0.06, 0.20, 0.14, 0.0, 1.2},
};

bool inside(const phantom_ellipse_t &e, double X, double Z)
{
    const double phi = radians(e.phi_deg);
    const double c = std::cos(phi), s = std::sin(phi);
    const double dx = X - e.cx, dz = Z - e.cz;
    const double qx = c * dx + s * dz;   // into the ellipse's own axes
    const double qz = -s * dx + c * dz;
    return (qx * qx) / (e.ax * e.ax) + (qz * qz) / (e.az * e.az) <= 1.0;
}

// Shrinks a rotated ellipse about its centre until it lies within 95 % of
// the half-sizes, so thin slabs keep every shape inside the slice.
void fit_inside(double hw, double hh, double cx, double cz, double phi_deg, double &ax, double &az)
{
    const double phi = radians(phi_deg);
    const double c = std::cos(phi), s = std::sin(phi);
    const double ex = std::sqrt(ax * c * ax * c + az * s * az * s);
    const double ez = std::sqrt(ax * s * ax * s + az * c * az * c);
    double f = 1.0;
    if (std::fabs(cx) + ex > 0.95 * hw)
        f = std::fmin(f, (0.95 * hw - std::fabs(cx)) / ex);
    if (std::fabs(cz) + ez > 0.95 * hh)
        f = std::fmin(f, (0.95 * hh - std::fabs(cz)) / ez);
    ax *= f;
    az *= f;
}

}  // namespace

std::vector<phantom_ellipse_t> phantom_slice_ellipses(int W, int H)
{
    const double hw = 0.5 * W, hh = 0.5 * H;
    std::vector<phantom_ellipse_t> out;
    for (const shape_t &s : kShapes) {
        double ax = s.fax * hw, az = s.faz * hh;
        fit_inside(hw, hh, s.fx * hw, s.fz * hh, s.phi, ax, az);
        out.push_back({s.fx * hw, s.fz * hh, ax, az, s.phi, s.density});
    }
    return out;
}

double phantom_chord(const phantom_ellipse_t &e, double theta, double u)
{
    // Ray: p(s) = u n + s d with n = (cos, -sin), d = (sin, cos), |d| = 1,
    // so X cos - Z sin = u along it and s measures length.
    const double ct = std::cos(theta), st = std::sin(theta);
    const double phi = radians(e.phi_deg);
    const double c = std::cos(phi), s = std::sin(phi);
    const double px = u * ct - e.cx, pz = -u * st - e.cz;
    const double dx = st, dz = ct;
    const double qx = c * px + s * pz, qz = -s * px + c * pz;
    const double rx = c * dx + s * dz, rz = -s * dx + c * dz;
    const double ia = 1.0 / (e.ax * e.ax), ib = 1.0 / (e.az * e.az);
    const double A = rx * rx * ia + rz * rz * ib;
    const double B = qx * rx * ia + qz * rz * ib;
    const double C = qx * qx * ia + qz * qz * ib - 1.0;
    const double disc = B * B - A * C;
    return disc > 0.0 ? 2.0 * std::sqrt(disc) / A : 0.0;
}

void phantom_rasterise(const std::vector<phantom_ellipse_t> &ellipses, int W, int H,
                       int supersample, float *slice)
{
    const int k = supersample < 1 ? 1 : supersample;
    const double cxs = 0.5 * (W - 1), czs = 0.5 * (H - 1);
    for (int z = 0; z < H; z++)
        for (int x = 0; x < W; x++) {
            double sum = 0.0;
            for (int sz = 0; sz < k; sz++)
                for (int sx = 0; sx < k; sx++) {
                    const double X = x - cxs + (sx + 0.5) / k - 0.5;
                    const double Z = z - czs + (sz + 0.5) / k - 0.5;
                    for (const phantom_ellipse_t &e : ellipses)
                        if (inside(e, X, Z))
                            sum += e.density;
                }
            slice[(size_t)z * W + x] = (float)(sum / (k * k));
        }
}

void phantom_sinogram(const std::vector<phantom_ellipse_t> &ellipses, int D, int N,
                      const float *angles_deg, float *sino)
{
    for (int a = 0; a < N; a++) {
        const double theta = radians(angles_deg[a]);
        for (int i = 0; i < D; i++) {
            const double u = i - 0.5 * (D - 1);
            double sum = 0.0;
            for (const phantom_ellipse_t &e : ellipses)
                sum += e.density * phantom_chord(e, theta, u);
            sino[(size_t)a * D + i] = (float)sum;
        }
    }
}

std::vector<phantom_ellipsoid_t> phantom_volume_ellipsoids(int W, int H, int rows)
{
    const double hw = 0.5 * W, hh = 0.5 * H, hy = 0.5 * rows;
    std::vector<phantom_ellipsoid_t> out;
    for (const shape_t &s : kShapes) {
        double ax = s.fax * hw, az = s.faz * hh;
        fit_inside(hw, hh, s.fx * hw, s.fz * hh, s.phi, ax, az);
        out.push_back({s.fx * hw, s.fy * hy, s.fz * hh, ax, s.fay * hy, az, s.phi, s.density});
    }
    return out;
}

std::vector<phantom_ellipse_t> phantom_section(const std::vector<phantom_ellipsoid_t> &ellipsoids,
                                               int rows, int y)
{
    const double Y = y - 0.5 * (rows - 1);
    std::vector<phantom_ellipse_t> out;
    for (const phantom_ellipsoid_t &e : ellipsoids) {
        const double q = (Y - e.cy) / e.ay;
        if (q * q >= 1.0)
            continue;
        const double f = std::sqrt(1.0 - q * q);
        out.push_back({e.cx, e.cz, e.ax * f, e.az * f, e.phi_deg, e.density});
    }
    return out;
}

void phantom_volume(const std::vector<phantom_ellipsoid_t> &ellipsoids, int W, int H, int rows,
                    int supersample, float *vol)
{
    for (int y = 0; y < rows; y++)
        phantom_rasterise(phantom_section(ellipsoids, rows, y), W, H, supersample,
                          vol + (size_t)y * W * H);
}

void phantom_tilt_series(const std::vector<phantom_ellipsoid_t> &ellipsoids, int rows, int D,
                         int N, const float *angles_deg, float *tilt)
{
    std::vector<float> sino((size_t)N * D);
    for (int y = 0; y < rows; y++) {
        phantom_sinogram(phantom_section(ellipsoids, rows, y), D, N, angles_deg, sino.data());
        for (int a = 0; a < N; a++)
            for (int i = 0; i < D; i++)
                tilt[((size_t)a * rows + y) * D + i] = sino[(size_t)a * D + i];
    }
}
