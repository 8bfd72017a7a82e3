// Mixing ratio, potential, virtual potential and equivalent potential
// temperature of every point (temperature K, pressure Pa, dew point K).
#include "kestrin.hpp"
#include "parallel.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace kestrin {
namespace {

constexpr double p0 = 100000.0;               // reference pressure, Pa
constexpr double kappa = 0.28542059262205427; // R_d / c_p
constexpr double eps = 0.6219569156569429;    // M_w / M_d
constexpr int64_t block = 4096;

constexpr int64_t chunk = 256;

// Points [0, m) of one chunk (m <= chunk). The arithmetic runs as loops over
// the chunk so that the compiler pairs it into packed double operations
// (identical bits: every operation is still IEEE-rounded on its own and the
// build forbids fused multiply-add); the library calls stay one per point.
// Every line keeps the written order and grouping of the formulas.
inline void thermo(const double* T, const double* P, const double* D, int64_t m, double* r_out,
                   double* th_out, double* thv_out, double* the_out)
{
    double Td[chunk], q[chunk], a[chunk], b[chunk], e[chunk];
    for (int64_t i = 0; i < m; ++i) {
        Td[i] = std::isnan(D[i]) ? D[i] : (D[i] < T[i] ? D[i] : T[i]);
        q[i] = p0 / P[i];
        const double c = Td[i] + (-273.15);
        a[i] = (c * 17.67) / (c + 243.5);
        b[i] = T[i] / Td[i];
    }
    for (int64_t i = 0; i < m; ++i) {
        th_out[i] = std::pow(q[i], kappa) * T[i];
        // Bolton (1980): vapour pressure at the dew point, Pa.
        e[i] = std::exp(a[i]) * 611.2;
        b[i] = std::log(b[i]);
    }
    for (int64_t i = 0; i < m; ++i) {
        const double r = (e[i] * eps) / (P[i] - e[i]);
        r_out[i] = r;
        thv_out[i] = ((r / eps + 1.0) * th_out[i]) / (r + 1.0);
        // Bolton (1980): temperature at the lifting condensation level, K.
        const double TL = 1.0 / (b[i] / 800.0 + 1.0 / (Td[i] - 56.0)) + 56.0;
        const double rg = r * 1000.0; // g/kg
        a[i] = (rg * (-0.00028) + 1.0) * 0.2854;
        e[i] = (rg * 0.00081 + 1.0) * ((3.376 / TL - 0.00254) * rg);
    }
    for (int64_t i = 0; i < m; ++i) {
        const double A = std::pow(q[i], a[i]) * T[i];
        the_out[i] = std::exp(e[i]) * A;
    }
}

} // namespace

py::array_t<double> thermo_py(farray t, farray p, farray td, int32_t n_threads)
{
    const int64_t n = t.size();
    if (p.size() != n)
        throw std::invalid_argument("size mismatch");
    if (td.size() != n)
        throw std::invalid_argument("size mismatch");

    py::array_t<double> out({int64_t{4}, n});
    const double* T = t.data();
    const double* P = p.data();
    const double* D = td.data();
    double* o = out.mutable_data();

    py::gil_scoped_release unlocked; // workers only touch the raw buffers above
    auto body = [&](int64_t begin, int64_t end) {
        for (int64_t i = begin; i < end; i += chunk) {
            const int64_t m = std::min(chunk, end - i);
            thermo(T + i, P + i, D + i, m, o + i, o + n + i, o + 2 * n + i, o + 3 * n + i);
        }
    };
    parallel_blocks(n, block, n_threads, body);
    return out;
}

} // namespace kestrin
