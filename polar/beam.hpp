// Where a gate is, shared by the geometry and box kernels: the 4/3
// effective-earth beam model and Vincenty's direct geodesic on WGS84, the
// formulas of radarkit's NumPy geometry (python/radarkit/_geometry.py) in the
// same order and grouping. The transcendental functions are glibc's, not
// NumPy's vectorised ones, so results agree with the NumPy geometry to a few
// units in the last place (about 1e-12 degrees and 1e-8 m), not bit for bit.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <math.h> // sincos, a GNU extension
#include <vector>

namespace polar::beam {

constexpr double earth_radius = 6371000.0;     // m, mean radius of the earth
constexpr double effective_factor = 4.0 / 3.0; // refraction of a standard atmosphere
constexpr double ka = effective_factor * earth_radius;
constexpr double pi = 3.141592653589793;
constexpr double deg2rad = pi / 180.0; // NumPy's deg2rad and rad2deg multiply by these
constexpr double rad2deg = 180.0 / pi;

// WGS84
constexpr double wgs_a = 6378137.0;
constexpr double wgs_f = 1.0 / 298.257223563;
constexpr double wgs_b = wgs_a * (1.0 - wgs_f);

// Python's float modulo: the result takes the sign of the divisor.
inline double py_mod(double x, double m)
{
    if (m > 0.0 && x >= 0.0 && x < m)
        return x; // what fmod gives, without its cost
    double r = std::fmod(x, m);
    if (r != 0.0) {
        if ((r < 0.0) != (m < 0.0))
            r += m;
    } else {
        r = std::copysign(0.0, m);
    }
    return r;
}

// atan2 through atan of the quotient, about 40% cheaper than glibc's atan2;
// within two units in the last place of it (the quotient's rounding).
inline double atan2_q(double y, double x)
{
    if (x > 0.0)
        return std::atan(y / x);
    if (x < 0.0)
        return std::atan(y / x) + std::copysign(pi, y);
    return std::atan2(y, x); // x zero or NaN
}

// Beam height above the antenna, ground distance and local elevation
// (degrees) of a gate at slant range r (m) on a beam of elevation el_rad.
struct gate_beam {
    double h, s, local_el;
};

inline gate_beam beam_at(double r, double el_rad, double sin_el, double cos_el)
{
    const double h = std::sqrt(r * r + ka * ka + 2.0 * r * ka * sin_el) - ka;
    const double s = ka * std::asin(r * cos_el / (ka + h));
    return {h, s, (el_rad + s / ka) * rad2deg};
}

// The distinct elevations of a sweep's rays and, for each, the beam of every
// gate: rays of one elevation share one row. `row[i]` is the row of ray i,
// -1 for a ray whose elevation is not finite.
struct beam_rows {
    int64_t gates = 0;
    std::vector<int64_t> row;
    std::vector<double> h, s, local_el; // (rows, gates)

    void build(const double* elevation, int64_t rays, const double* range, int64_t ngates)
    {
        gates = ngates;
        std::vector<double> els;
        els.reserve(static_cast<size_t>(rays));
        for (int64_t i = 0; i < rays; ++i)
            if (std::isfinite(elevation[i]))
                els.push_back(elevation[i]);
        std::sort(els.begin(), els.end());
        els.erase(std::unique(els.begin(), els.end()), els.end());
        row.assign(static_cast<size_t>(rays), -1);
        for (int64_t i = 0; i < rays; ++i)
            if (std::isfinite(elevation[i]))
                row[static_cast<size_t>(i)] =
                    std::lower_bound(els.begin(), els.end(), elevation[i]) - els.begin();
        const size_t n = els.size() * static_cast<size_t>(gates);
        h.resize(n);
        s.resize(n);
        local_el.resize(n);
        for (size_t k = 0; k < els.size(); ++k) {
            const double el = els[k] * deg2rad;
            const double se = std::sin(el), ce = std::cos(el);
            for (int64_t g = 0; g < gates; ++g) {
                const gate_beam b = beam_at(range[g], el, se, ce);
                const size_t m = k * static_cast<size_t>(gates) + static_cast<size_t>(g);
                h[m] = b.h;
                s[m] = b.s;
                local_el[m] = b.local_el;
            }
        }
    }
};

// The site's reduced latitude, shared by every geodesic from it.
struct site {
    double sin_u1, cos_u1, tan_u1, lon;

    site(double lat_deg, double lon_deg)
    {
        const double phi1 = lat_deg * deg2rad;
        tan_u1 = (1.0 - wgs_f) * std::tan(phi1);
        cos_u1 = 1.0 / std::sqrt(1.0 + tan_u1 * tan_u1);
        sin_u1 = tan_u1 * cos_u1;
        lon = lon_deg;
    }
};

// What a geodesic from the site needs of its azimuth: computed once per ray.
struct direction {
    double sin_a1, cos_a1, sin_alpha, cos2_alpha, A, B, C, bA;
    double sin_2s1, cos_2s1; // of twice the angular distance to the equator crossing

    direction(const site& o, double azimuth_deg)
    {
        const double alpha1 = azimuth_deg * deg2rad;
        ::sincos(alpha1, &sin_a1, &cos_a1);
        const double sigma1 = std::atan2(o.tan_u1, cos_a1);
        ::sincos(2.0 * sigma1, &sin_2s1, &cos_2s1);
        sin_alpha = o.cos_u1 * sin_a1;
        cos2_alpha = 1.0 - sin_alpha * sin_alpha;
        const double u2 = cos2_alpha * (wgs_a * wgs_a - wgs_b * wgs_b) / (wgs_b * wgs_b);
        A = 1.0 + u2 / 16384.0 * (4096.0 + u2 * (-768.0 + u2 * (320.0 - 175.0 * u2)));
        B = u2 / 1024.0 * (256.0 + u2 * (-128.0 + u2 * (74.0 - 47.0 * u2)));
        C = wgs_f / 16.0 * cos2_alpha * (4.0 + wgs_f * (4.0 - 3.0 * cos2_alpha));
        bA = wgs_b * A;
    }
};

// End point of the geodesic: latitude, longitude in [-180, 180) and the
// azimuth of the geodesic there in [0, 360), degrees.
struct end_point {
    double lat, lon, azimuth, sigma;
};

// Vincenty's direct solution over ground distance s (m), iterated from
// `guess` of the angular distance until a step is below 1e-13 rad (at most
// 20 steps), as the NumPy geometry iterates from s / (b A). A guess near the
// answer (the neighbouring gates of the ray extrapolated) saves iterations;
// every guess reaches the same fixed point to within rounding. cos(2 sigma_m)
// comes from the sine and cosine of sigma by the addition theorem, and the
// values at the last iterate from those at the one before, whose step is
// below 1e-13 rad (terms of order 1e-26 dropped).
inline end_point geodesic(const site& o, const direction& d, double s, double guess)
{
    const double sigma0 = s / d.bA;
    double sigma = std::isfinite(guess) ? guess : sigma0;
    double sin_s = 0.0, cos_s = 1.0, cos_2sm = 1.0;
    for (int it = 0; it < 20; ++it) {
        double ss, cs;
        ::sincos(sigma, &ss, &cs);
        const double c2 = d.cos_2s1 * cs - d.sin_2s1 * ss;
        const double d_sigma = d.B * ss
            * (c2
               + d.B / 4.0
                   * (cs * (-1.0 + 2.0 * (c2 * c2))
                      - d.B / 6.0 * c2 * (-3.0 + 4.0 * (ss * ss)) * (-3.0 + 4.0 * (c2 * c2))));
        const double next = sigma0 + d_sigma;
        const double step = next - sigma;
        sigma = next;
        sin_s = ss + step * cs;
        cos_s = cs - step * ss;
        cos_2sm = c2 - step * (d.sin_2s1 * cs + d.cos_2s1 * ss);
        if (std::fabs(step) < 1e-13)
            break;
    }
    const double tmp = o.sin_u1 * sin_s - o.cos_u1 * cos_s * d.cos_a1;
    const double phi2 = atan2_q(o.sin_u1 * cos_s + o.cos_u1 * sin_s * d.cos_a1,
                                (1.0 - wgs_f) * std::sqrt(d.sin_alpha * d.sin_alpha + tmp * tmp));
    const double lam = atan2_q(sin_s * d.sin_a1, o.cos_u1 * cos_s - o.sin_u1 * sin_s * d.cos_a1);
    const double L = lam
        - (1.0 - d.C) * wgs_f * d.sin_alpha
            * (sigma + d.C * sin_s * (cos_2sm + d.C * cos_s * (-1.0 + 2.0 * cos_2sm * cos_2sm)));
    const double lon = py_mod(o.lon + L * rad2deg + 180.0, 360.0) - 180.0;
    const double az2 = py_mod(atan2_q(d.sin_alpha, -tmp) * rad2deg, 360.0);
    return {phi2 * rad2deg, lon, az2, sigma};
}

// Weights that extrapolate the angular distance of gate g of a ray from the
// three gates before it (Lagrange, quadratic in the ground distances s of the
// beam; linear from two gates at the third gate or when two distances are
// equal): guess = w[0] sigma[g-1] + w[1] sigma[g-2] + w[2] sigma[g-3], with
// order[g] = 2, 1, or 0 for no guess. They depend on the distances only, so
// every ray of one elevation shares them. Errors of order 1e-16 rad at radar
// gate spacings: one iteration then usually ends the solution.
inline void extrapolation_weights(const double* s, int64_t gates, double* w, int8_t* order)
{
    for (int64_t g = 0; g < gates; ++g) {
        double* wg = w + 3 * g;
        wg[0] = wg[1] = wg[2] = 0.0;
        order[g] = 0;
        if (g < 2)
            continue;
        const double x = s[g], s1 = s[g - 1], s2 = s[g - 2];
        if (g >= 3) {
            const double s3 = s[g - 3];
            if (s1 != s2 && s1 != s3 && s2 != s3) {
                wg[0] = (x - s2) * (x - s3) / ((s1 - s2) * (s1 - s3));
                wg[1] = (x - s1) * (x - s3) / ((s2 - s1) * (s2 - s3));
                wg[2] = (x - s1) * (x - s2) / ((s3 - s1) * (s3 - s2));
                order[g] = 2;
                continue;
            }
        }
        if (s1 != s2) {
            wg[0] = (x - s2) / (s1 - s2);
            wg[1] = (s1 - x) / (s1 - s2);
            order[g] = 1;
        }
    }
}

} // namespace polar::beam
