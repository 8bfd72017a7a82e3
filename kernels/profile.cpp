// Layer winds, storm-relative helicity and mean wind of wind profiles: one
// column of levels per item, the layer given as heights above ground.
#include "kestrin.hpp"
#include "parallel.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace kestrin {
namespace {

constexpr int64_t block = 64; // columns per claim
constexpr double tol = 1e-6;  // search tolerance at the ends of a column, unit of z
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

inline bool valid(const double* z, const double* u, const double* v, int64_t k)
{
    return std::isfinite(z[k]) && std::isfinite(u[k]) && std::isfinite(v[k]);
}

// Wind at height t: exact level, linear interpolation between the last valid
// level below and the first valid level at or above, or the end level when t
// is within tol outside the column. False when the column does not reach t
// (also for a NaN or infinite t).
bool wind_at(const double* z, const double* u, const double* v, int64_t nlev, double t, double& ut,
             double& vt)
{
    int64_t lo = -1;
    for (int64_t k = 0; k < nlev; ++k) {
        if (!valid(z, u, v, k))
            continue;
        if (z[k] == t) {
            ut = u[k];
            vt = v[k];
            return true;
        }
        if (z[k] > t) {
            if (lo >= 0) {
                const double w = (t - z[lo]) / (z[k] - z[lo]);
                ut = (u[k] - u[lo]) * w + u[lo];
                vt = (v[k] - v[lo]) * w + v[lo];
                return true;
            }
            if (z[k] - t > tol)
                return false;
            ut = u[k];
            vt = v[k];
            return true;
        }
        lo = k;
    }
    if (lo < 0 || !(t - z[lo] <= tol))
        return false;
    ut = u[lo];
    vt = v[lo];
    return true;
}

// One column of nlev levels; o[r * stride] receives row r. Sums run upward in
// level order and each term keeps its written grouping (no fused
// multiply-add), so the bits do not depend on the thread count.
void profile(const double* z, const double* u, const double* v, int64_t nlev, double ground,
             double bottom, double top, double cu, double cv, double* o, int64_t stride)
{
    for (int r = 0; r < 7; ++r)
        o[r * stride] = nan;

    double g = ground;
    if (!std::isfinite(g)) {
        int64_t k = 0;
        while (k < nlev && !valid(z, u, v, k))
            ++k;
        if (k == nlev)
            return;
        g = z[k];
    }
    if (nlev == 0)
        return;
    const double zb = bottom + g;
    const double zt = top + g;
    double ub, vb, ut, vt;
    if (!wind_at(z, u, v, nlev, zb, ub, vb) || !wind_at(z, u, v, nlev, zt, ut, vt))
        return;
    o[0] = ub;
    o[stride] = vb;
    o[2 * stride] = ut;
    o[3 * stride] = vt;

    double zp = zb, up = ub, vp = vb;
    double su = 0.0, sv = 0.0, h = 0.0;
    for (int64_t k = 0; k < nlev; ++k) {
        if (!valid(z, u, v, k) || z[k] <= zb)
            continue;
        if (z[k] >= zt)
            break;
        const double zk = z[k], uk = u[k], vk = v[k];
        su += ((up + uk) * 0.5) * (zk - zp);
        sv += ((vp + vk) * 0.5) * (zk - zp);
        h += (vp - cv) * (uk - cu) - (vk - cv) * (up - cu);
        zp = zk;
        up = uk;
        vp = vk;
    }
    if (std::isfinite(cu) && std::isfinite(cv))
        o[4 * stride] = h + ((vp - cv) * (ut - cu) - (up - cu) * (vt - cv));
    if (zb < zt) {
        o[5 * stride] = (((ut + up) * 0.5) * (zt - zp) + su) / (zt - zb);
        o[6 * stride] = (((vt + vp) * 0.5) * (zt - zp) + sv) / (zt - zb);
    } else {
        o[5 * stride] = ub;
        o[6 * stride] = vb;
    }
}

} // namespace

py::array_t<double> profile_py(farray z, farray u, farray v, farray ground, double bottom,
                               double top, farray cu, farray cv, int32_t n_threads)
{
    if (u.ndim() != 2)
        throw std::invalid_argument("u must be 2-D");
    const int64_t ncol = u.shape(0);
    const int64_t nlev = u.shape(1);
    if (z.size() != u.size() || v.size() != z.size() || ground.size() != ncol || cu.size() != ncol
        || cv.size() != ncol)
        throw std::invalid_argument("shape mismatch");

    py::array_t<double> out({int64_t{7}, ncol});
    const double* Z = z.data();
    const double* U = u.data();
    const double* V = v.data();
    const double* G = ground.data();
    const double* CU = cu.data();
    const double* CV = cv.data();
    double* o = out.mutable_data();

    py::gil_scoped_release unlocked; // workers only touch the raw buffers above
    auto body = [&](int64_t begin, int64_t end) {
        for (int64_t c = begin; c < end; ++c)
            profile(Z + c * nlev, U + c * nlev, V + c * nlev, nlev, G[c], bottom, top, CU[c], CV[c],
                    o + c, ncol);
    };
    parallel_blocks(ncol, block, n_threads, body);
    return out;
}

} // namespace kestrin
