// Cold-pool intensity and depth of every column: the negative buoyancy
// integrated upward from a start level with the trapezoid rule, up to where
// the buoyancy reaches a threshold or through a fixed depth.
#include "kestrin.hpp"
#include "parallel.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace kestrin {
namespace {

constexpr int64_t block = 64;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

inline bool valid(double z, double b)
{
    return std::isfinite(z) && std::isfinite(b);
}

// NaN passes through and -0.0 keeps its sign.
inline double max0(double x)
{
    return x < 0.0 ? 0.0 : x;
}

// One column of nlev levels (heights z, buoyancy b, lowest first). Writes
// intensity sqrt(2 I) (m/s for b in m s^-2 and z in m), depth (units of z)
// and the ran-out-of-data flag at o[0], o[stride], o[2 stride]; a column
// without a result keeps NaN in all three. Every line keeps its written
// grouping: the build forbids contraction into fused multiply-add.
void cold_pool(const double* z, const double* b, int64_t nlev, double bottom, double tau,
               double top, double* o, int64_t stride)
{
    o[0] = nan;
    o[stride] = nan;
    o[2 * stride] = nan;
    const bool floor = std::isfinite(bottom);
    int64_t k = 0;
    while (k < nlev && !(valid(z[k], b[k]) && (!floor || z[k] >= bottom)))
        ++k;
    if (k == nlev)
        return;
    const double z0 = z[k];
    const double b0 = b[k];
    double zp = z0; // last valid level used
    double bp = b0;
    double S = 0.0; // integral of -b dz so far

    if (!std::isfinite(top)) {
        if (b0 >= tau) {
            o[0] = 0.0;
            o[stride] = 0.0;
            o[2 * stride] = 0.0;
            return;
        }
        for (int64_t j = k + 1; j < nlev; ++j) {
            if (!valid(z[j], b[j]))
                continue;
            const double zj = z[j];
            const double bj = b[j];
            if (bj >= tau) {
                // bp < tau <= bj: the denominator is positive.
                const double zc = ((zj - zp) * (tau - bp)) / (bj - bp) + zp;
                const double I = (zc - zp) * ((-bp - tau) * 0.5) + S;
                o[0] = std::sqrt(max0(I + I));
                o[stride] = zc - z0;
                o[2 * stride] = 0.0;
                return;
            }
            S = S + (zj - zp) * ((-bp - bj) * 0.5);
            zp = zj;
            bp = bj;
        }
        o[0] = std::sqrt(max0(S + S));
        o[stride] = zp - z0;
        o[2 * stride] = 1.0;
        return;
    }

    if (k + 1 >= nlev)
        return;
    const double zt = top + z0;
    for (int64_t j = k + 1; j < nlev; ++j) {
        if (!valid(z[j], b[j]))
            continue;
        const double zj = z[j];
        const double bj = b[j];
        if (zj >= zt) {
            const double bt = ((bj - bp) * (zt - zp)) / (zj - zp) + bp;
            const double I = ((-bp - bt) * 0.5) * (zt - zp) + S;
            o[0] = std::sqrt(max0(I + I));
            o[stride] = top;
            o[2 * stride] = 0.0;
            return;
        }
        S = S + ((-bp - bj) * 0.5) * (zj - zp);
        zp = zj;
        bp = bj;
    }
}

} // namespace

py::array_t<double> cold_pool_py(farray z, farray b, farray bottom, double threshold, farray top,
                                 int32_t n_threads)
{
    if (b.ndim() != 2)
        throw std::invalid_argument("z and b must be 2-D");
    if (z.ndim() != 2)
        throw std::invalid_argument("z and b must be 2-D");
    if (z.shape(0) != b.shape(0) || z.shape(1) != b.shape(1))
        throw std::invalid_argument("shape mismatch");
    const int64_t ncol = z.shape(0);
    const int64_t nlev = z.shape(1);
    if (bottom.size() != ncol)
        throw std::invalid_argument("shape mismatch");
    if (top.size() != ncol)
        throw std::invalid_argument("shape mismatch");

    py::array_t<double> out({int64_t{3}, ncol});
    const double* Z = z.data();
    const double* B = b.data();
    const double* lo = bottom.data();
    const double* hi = top.data();
    double* o = out.mutable_data();

    py::gil_scoped_release unlocked; // workers only touch the raw buffers above
    auto body = [&](int64_t begin, int64_t end) {
        for (int64_t c = begin; c < end; ++c)
            cold_pool(Z + c * nlev, B + c * nlev, nlev, lo[c], threshold, hi[c], o + c, ncol);
    };
    parallel_blocks(ncol, block, n_threads, body);
    return out;
}

} // namespace kestrin
