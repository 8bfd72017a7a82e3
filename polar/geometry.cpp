// Position and beam direction of radar gates: the 4/3 effective-earth beam
// model and Vincenty's direct geodesic on WGS84 (polar/beam.hpp). Gates of
// one ray share the azimuth, so what the geodesic needs of it is computed
// once per ray; rays of one elevation share the beam (height, ground distance,
// local elevation) of every range, computed once per sweep.
#include "beam.hpp"
#include "parallel.hpp"
#include "polar.hpp"

#include <limits>
#include <stdexcept>

namespace polar {
namespace {

constexpr int64_t ray_block = 8;
constexpr int64_t point_block = 4096;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Fields of the gate geometry, planes of the result in this order.
enum { LAT, LON, HEIGHT, BEAM_HEIGHT, GROUND, BEAM_AZ, BEAM_EL, FIELDS };

// Position and beam azimuth of gates [0, stop) of one ray in direction d, at
// ground distances s. Each geodesic starts from the angular distances of the
// ray's gates before it, extrapolated with the weights w and order k of the
// ray's beam row, so nearly every gate converges at once.
void solve_ray(const beam::site& o, const beam::direction& d, const double* s, const double* w,
               const int8_t* k, int64_t stop, double* lat, double* lon, double* baz)
{
    double sg1 = nan, sg2 = nan, sg3 = nan; // angular distances of the last three gates
    for (int64_t g = 0; g < stop; ++g) {
        double guess = nan;
        if (k[g] == 2)
            guess = w[3 * g] * sg1 + w[3 * g + 1] * sg2 + w[3 * g + 2] * sg3;
        else if (k[g] == 1)
            guess = w[3 * g] * sg1 + w[3 * g + 1] * sg2;
        sg3 = sg2;
        sg2 = sg1;
        sg1 = nan;
        if (!std::isfinite(s[g])) {
            lat[g] = lon[g] = baz[g] = nan;
            continue;
        }
        const beam::end_point e = beam::geodesic(o, d, s[g], guess);
        sg1 = e.sigma;
        lat[g] = e.lat;
        lon[g] = e.lon;
        baz[g] = e.azimuth;
    }
}

// Rays [begin, end) of a sweep; field f of gate (i, g) goes to
// out[f * plane + i * gates + g]. A ray without a finite elevation has no
// beam (every field NaN), one without a finite azimuth no position. The
// geodesic of each gate starts from the angular distances of the gates
// before it, extrapolated with the weights of its elevation's row.
void gate_geometry(const beam::site& o, double altitude, const double* azimuth,
                   const beam::beam_rows& b, const double* weights, const int8_t* order,
                   int64_t begin, int64_t end, double* out, int64_t plane)
{
    const int64_t gates = b.gates;
    for (int64_t i = begin; i < end; ++i) {
        double* lat = out + LAT * plane + i * gates;
        double* lon = out + LON * plane + i * gates;
        double* hgt = out + HEIGHT * plane + i * gates;
        double* bh = out + BEAM_HEIGHT * plane + i * gates;
        double* gd = out + GROUND * plane + i * gates;
        double* baz = out + BEAM_AZ * plane + i * gates;
        double* bel = out + BEAM_EL * plane + i * gates;
        const int64_t row = b.row[static_cast<size_t>(i)];
        if (row < 0) {
            for (double* p : {lat, lon, hgt, bh, gd, baz, bel})
                std::fill(p, p + gates, nan);
            continue;
        }
        const double* h = b.h.data() + row * gates;
        const double* s = b.s.data() + row * gates;
        const double* le = b.local_el.data() + row * gates;
        for (int64_t g = 0; g < gates; ++g) {
            hgt[g] = altitude + h[g];
            bh[g] = h[g];
            gd[g] = s[g];
            bel[g] = le[g];
        }
        if (!std::isfinite(azimuth[i])) {
            for (double* p : {lat, lon, baz})
                std::fill(p, p + gates, nan);
            continue;
        }
        solve_ray(o, beam::direction(o, azimuth[i]), s, weights + 3 * row * gates,
                  order + row * gates, gates, lat, lon, baz);
    }
}

// Points [begin, end) of independent geodesics from the site.
void geodesics(const beam::site& o, const double* azimuth, const double* distance, int64_t begin,
               int64_t end, double* out, int64_t n)
{
    for (int64_t k = begin; k < end; ++k) {
        if (!std::isfinite(azimuth[k]) || !std::isfinite(distance[k])) {
            out[k] = out[n + k] = out[2 * n + k] = nan;
            continue;
        }
        const beam::direction d(o, azimuth[k]);
        const beam::end_point e = beam::geodesic(o, d, distance[k], nan);
        out[k] = e.lat;
        out[n + k] = e.lon;
        out[2 * n + k] = e.azimuth;
    }
}

// Where the kept gates of each moment go: moment k's gates of ray i, in gate
// order, from out column first[k][i] on (moment 0's gates before moment 1's);
// end[k][i] is one past the ray's last kept gate of the moment.
struct selection {
    const bool* keep[2]; // (rays, gates) each, null for no moment
    std::vector<int64_t> first[2], end[2];
};

// Rays [begin, end): position and beam direction of the kept gates, written
// to their columns of out (LAT, LON, HEIGHT, BEAM_AZ, BEAM_EL rows of n
// columns). Every gate of a ray up to its last kept one is solved, kept or
// not, so that the geodesics start from the same extrapolated guesses as in
// gate_geometry and give the same bits. The kept gates are then copied
// without a branch on the mask (a column is written, and kept only if the
// gate is): a random mask would mispredict a branch at every other gate.
void kept_geometry(const beam::site& o, double altitude, const double* azimuth,
                   const beam::beam_rows& b, const double* weights, const int8_t* order,
                   const selection& sel, int64_t begin, int64_t end, double* out, int64_t n)
{
    const int64_t gates = b.gates;
    std::vector<double> scratch(3 * static_cast<size_t>(gates));
    double* glat = scratch.data();
    double* glon = glat + gates;
    double* gaz = glon + gates;
    for (int64_t i = begin; i < end; ++i) {
        const int64_t row = b.row[static_cast<size_t>(i)];
        int64_t stop = 0;
        for (int64_t k = 0; k < 2; ++k)
            if (sel.keep[k])
                stop = std::max(stop, sel.end[k][static_cast<size_t>(i)]);
        if (row < 0 || !std::isfinite(azimuth[i])) {
            // no beam (elevation not finite) or no position (azimuth not finite)
            std::fill(scratch.begin(), scratch.begin() + 3 * stop, nan);
        } else {
            solve_ray(o, beam::direction(o, azimuth[i]), b.s.data() + row * gates,
                      weights + 3 * row * gates, order + row * gates, stop, glat, glon, gaz);
        }
        for (int64_t k = 0; k < 2; ++k) {
            if (!sel.keep[k])
                continue;
            const bool* m = sel.keep[k] + i * gates;
            const int64_t last = sel.end[k][static_cast<size_t>(i)];
            double* lat = out + sel.first[k][static_cast<size_t>(i)];
            double *lon = lat + n, *hgt = lat + 2 * n, *baz = lat + 3 * n, *bel = lat + 4 * n;
            int64_t c = 0; // the write at the ray's last kept gate is its last column
            if (row < 0) {
                for (int64_t g = 0; g < last; ++g) {
                    lat[c] = lon[c] = hgt[c] = baz[c] = bel[c] = nan;
                    c += m[g];
                }
                continue;
            }
            const double* h = b.h.data() + row * gates;
            const double* le = b.local_el.data() + row * gates;
            for (int64_t g = 0; g < last; ++g) {
                lat[c] = glat[g];
                lon[c] = glon[g];
                hgt[c] = altitude + h[g];
                baz[c] = gaz[g];
                bel[c] = le[g];
                c += m[g];
            }
        }
    }
}

void check_site(double latitude, double longitude)
{
    if (!(std::fabs(latitude) <= 90.0) || !std::isfinite(longitude))
        throw std::invalid_argument(
            "latitude must lie within [-90, 90] and longitude be finite (degrees)");
}

// The per-gate entry points' arguments, refused before any work.
void check_sweep(double latitude, double longitude, double altitude, const farray& azimuth,
                 const farray& elevation, const farray& range)
{
    check_site(latitude, longitude);
    if (!std::isfinite(altitude))
        throw std::invalid_argument("altitude must be finite (m)");
    if (azimuth.ndim() != 1 || elevation.ndim() != 1 || range.ndim() != 1)
        throw std::invalid_argument("azimuth, elevation and range must be 1-D");
    if (elevation.shape(0) != azimuth.shape(0))
        throw std::invalid_argument("azimuth and elevation must have one value per ray");
}

// The beam of each distinct elevation of a sweep, and the weights that
// extrapolate each gate's geodesic from the gates before it along that beam.
struct sweep_beams {
    beam::beam_rows rows;
    std::vector<double> weights;
    std::vector<int8_t> order;

    sweep_beams(const double* el, int64_t rays, const double* rg, int64_t gates)
    {
        rows.build(el, rays, rg, gates);
        const auto g = static_cast<size_t>(gates);
        weights.resize(3 * rows.s.size());
        order.resize(rows.s.size());
        for (size_t k = 0; k < rows.s.size() / g; ++k)
            beam::extrapolation_weights(rows.s.data() + k * g, gates, weights.data() + 3 * k * g,
                                        order.data() + k * g);
    }
};

} // namespace

py::array_t<double> gate_geometry_py(double latitude, double longitude, double altitude,
                                     farray azimuth, farray elevation, farray range,
                                     int32_t n_threads)
{
    check_sweep(latitude, longitude, altitude, azimuth, elevation, range);
    const int64_t rays = azimuth.shape(0);
    const int64_t gates = range.shape(0);

    py::array_t<double> out({int64_t{FIELDS}, rays, gates});
    const double* az = azimuth.data();
    const double* el = elevation.data();
    const double* rg = range.data();
    double* o = out.mutable_data();
    const int64_t plane = rays * gates;

    py::gil_scoped_release unlocked; // workers only touch the raw buffers above
    if (plane == 0)
        return out;
    const beam::site site(latitude, longitude);
    const sweep_beams b(el, rays, rg, gates);
    auto body = [&](int64_t begin, int64_t end) {
        gate_geometry(site, altitude, az, b.rows, b.weights.data(), b.order.data(), begin, end, o,
                      plane);
    };
    kestrin::parallel_blocks(rays, ray_block, n_threads, body);
    return out;
}

py::tuple kept_gate_geometry_py(double latitude, double longitude, double altitude, farray azimuth,
                                farray elevation, farray range, barray first, barray second,
                                int32_t n_threads)
{
    check_sweep(latitude, longitude, altitude, azimuth, elevation, range);
    const int64_t rays = azimuth.shape(0);
    const int64_t gates = range.shape(0);
    selection sel{{nullptr, nullptr}, {}, {}};
    barray* masks[2] = {&first, &second};
    for (int64_t k = 0; k < 2; ++k) {
        barray& m = *masks[k];
        if (m.size() == 0 && !(rays * gates == 0 && m.ndim() == 2))
            continue; // no moment
        if (m.ndim() != 2 || m.shape(0) != rays || m.shape(1) != gates)
            throw std::invalid_argument("first and second must be (rays, gates) arrays or empty");
        sel.keep[k] = m.data();
    }
    // per ray, the kept gates of each moment: their count, then their first column
    py::array_t<int64_t> counts({int64_t{2}, rays});
    int64_t* cnt = counts.mutable_data();
    int64_t total = 0;
    {
        py::gil_scoped_release unlocked;
        for (int64_t k = 0; k < 2; ++k)
            if (sel.keep[k])
                sel.end[k].assign(static_cast<size_t>(rays), 0);
        auto tally = [&](int64_t begin, int64_t end) {
            for (int64_t i = begin; i < end; ++i)
                for (int64_t k = 0; k < 2; ++k) {
                    int64_t c = 0, last = 0;
                    if (sel.keep[k]) {
                        const bool* m = sel.keep[k] + i * gates;
                        for (int64_t g = 0; g < gates; ++g) {
                            c += m[g];
                            last = m[g] ? g + 1 : last;
                        }
                        sel.end[k][static_cast<size_t>(i)] = last;
                    }
                    cnt[k * rays + i] = c;
                }
        };
        kestrin::parallel_blocks(rays, ray_block, n_threads, tally);
        for (int64_t k = 0; k < 2; ++k) {
            if (!sel.keep[k])
                continue;
            sel.first[k].resize(static_cast<size_t>(rays));
            for (int64_t i = 0; i < rays; ++i) {
                sel.first[k][static_cast<size_t>(i)] = total;
                total += cnt[k * rays + i];
            }
        }
    }
    py::array_t<double> out({int64_t{5}, total});
    double* o = out.mutable_data();
    const double* az = azimuth.data();
    const double* el = elevation.data();
    const double* rg = range.data();

    if (total > 0) {
        py::gil_scoped_release unlocked;
        const beam::site site(latitude, longitude);
        const sweep_beams b(el, rays, rg, gates);
        auto body = [&](int64_t begin, int64_t end) {
            kept_geometry(site, altitude, az, b.rows, b.weights.data(), b.order.data(), sel, begin,
                          end, o, total);
        };
        kestrin::parallel_blocks(rays, ray_block, n_threads, body);
    }
    return py::make_tuple(out, counts);
}

py::array_t<double> geodesic_py(double latitude, double longitude, farray azimuth, farray distance,
                                int32_t n_threads)
{
    check_site(latitude, longitude);
    if (azimuth.ndim() != distance.ndim()
        || !std::equal(azimuth.shape(), azimuth.shape() + azimuth.ndim(), distance.shape()))
        throw std::invalid_argument("azimuth and distance must have the same shape");
    std::vector<py::ssize_t> shape{3};
    shape.insert(shape.end(), azimuth.shape(), azimuth.shape() + azimuth.ndim());
    py::array_t<double> out(shape);
    const int64_t n = azimuth.size();
    const double* az = azimuth.data();
    const double* ds = distance.data();
    double* o = out.mutable_data();

    py::gil_scoped_release unlocked;
    const beam::site site(latitude, longitude);
    auto body = [&](int64_t begin, int64_t end) { geodesics(site, az, ds, begin, end, o, n); };
    kestrin::parallel_blocks(n, point_block, n_threads, body);
    return out;
}

} // namespace polar
