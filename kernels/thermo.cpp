// Mixing ratio, potential, virtual potential and equivalent potential
// temperature of every point (temperature K, pressure Pa, dew point K).
#include "kestrin.hpp"
#include "parallel.hpp"

#include <cmath>
#include <stdexcept>

namespace kestrin {
namespace {

constexpr double p0 = 100000.0;              // reference pressure, Pa
constexpr double kappa = 0.28542059262205427; // R_d / c_p
constexpr double eps = 0.6219569156569429;   // M_w / M_d
constexpr int64_t block = 4096;

// One point; writes r, theta, theta_v, theta_e. Every line keeps its written
// grouping: the build forbids contraction into fused multiply-add.
inline void thermo(double T, double P, double D, double& r_out, double& th_out,
                   double& thv_out, double& the_out)
{
    const double Td = std::isnan(D) ? D : (D < T ? D : T);
    const double q = p0 / P;
    const double th = std::pow(q, kappa) * T;
    const double c = Td + (-273.15);
    // Bolton (1980): vapour pressure at the dew point, Pa.
    const double e = std::exp((c * 17.67) / (c + 243.5)) * 611.2;
    const double r = (e * eps) / (P - e);
    const double thv = ((r / eps + 1.0) * th) / (r + 1.0);
    // Bolton (1980): temperature at the lifting condensation level, K.
    const double TL = 1.0 / (std::log(T / Td) / 800.0 + 1.0 / (Td - 56.0)) + 56.0;
    const double rg = r * 1000.0; // g/kg
    const double A = std::pow(q, (rg * (-0.00028) + 1.0) * 0.2854) * T;
    const double the = std::exp((rg * 0.00081 + 1.0) * ((3.376 / TL - 0.00254) * rg)) * A;
    r_out = r;
    th_out = th;
    thv_out = thv;
    the_out = the;
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
        for (int64_t i = begin; i < end; ++i)
            thermo(T[i], P[i], D[i], o[i], o[n + i], o[2 * n + i], o[3 * n + i]);
    };
    parallel_blocks(n, block, n_threads, body);
    return out;
}

} // namespace kestrin
