// Sums of the gates of a sweep per box, the raw material of superobservations:
// per box, the count of velocity gates, their velocities (shifted by the
// box's first velocity, so that the spread keeps its digits), squares,
// positions in the radar's azimuthal-equidistant plane, heights above sea
// level, times and local beam elevations; the same for reflectivity gates,
// with the sum of the linear reflectivity factor 10^(dBZ/10) besides.
//
// Every box adds its gates in one order, ray by ray and along each ray
// (the gates' order in the (rays, gates) arrays; each ray's gates summed in
// registers first, then added to the box), whichever thread owns it and
// however the work is split: the sums are the same bits for every thread
// count and for every way of naming the boxes (rule or indices).
// Polar boxes are owned by their azimuth interval, grid cells by bands of
// grid rows (the gates of a ray inside a band are one run along the ray:
// ground distance grows with range), indexed boxes by a stable counting
// sort of the gates by box.
#include "beam.hpp"
#include "parallel.hpp"
#include "polar.hpp"

#include <limits>
#include <stdexcept>
#include <vector>

namespace polar {
namespace {

constexpr int64_t band_rows = 8;   // grid rows per work item
constexpr int64_t box_block = 256; // indexed boxes per work item
constexpr int64_t max_chunks = 16; // ray chunks of the counting sort
constexpr int64_t max_cells = int64_t{1} << 25;
constexpr int64_t mean_block = 4096;            // boxes per work item of the means
constexpr double ln10_10 = 0.23025850929940458; // ln(10) / 10: Z = exp(dBZ ln(10) / 10)

// The fields of the result, one plane each, in this order.
enum field : int64_t {
    NV,     // velocity gates
    VSHIFT, // the box's first velocity (m/s), subtracted from every velocity
    SV,     // sum of shifted velocities
    SVV,    // sum of their squares
    VX,     // sums of x, y (m, the radar's azimuthal-equidistant plane)
    VY,     //
    VH,     // sum of heights above sea level (m)
    VT,     // sum of ray times (s)
    VE,     // sum of local beam elevations (degrees)
    NZ,     // the same of reflectivity gates (dBZ) ...
    ZSHIFT, //
    SZD,    //
    SZZ,    //
    SZ,     // ... and the sum of Z = 10^(dBZ/10)
    ZX,     //
    ZY,     //
    ZH,     //
    ZT,     //
    ZE,     //
    FIELDS
};

// The result: field f of box b at p[f * boxes + b]. Each box is written by
// the one work item that owns it, which first sets its boxes to zero.
struct planes {
    double* p;
    int64_t boxes;

    double& operator()(int64_t f, int64_t b) const { return p[f * boxes + b]; }

    void clear(int64_t first, int64_t count) const
    {
        for (int64_t f = 0; f < FIELDS; ++f)
            std::fill(p + f * boxes + first, p + f * boxes + first + count, 0.0);
    }
};

// The same sums stored box by box, the scratch of a band of grid cells: a
// run's flush then touches three cache lines, not one per field.
struct box_major {
    double* p;

    double& operator()(int64_t f, int64_t b) const { return p[b * FIELDS + f]; }

    void clear(int64_t first, int64_t count) const
    {
        std::fill(p + first * FIELDS, p + (first + count) * FIELDS, 0.0);
    }
};

// The fields of the box means, one row each, in this order.
enum mean_field : int64_t { GATES, VALUE, SPREAD, X, Y, HEIGHT, TIME, ELEVATION, MEAN_FIELDS };

// What the kernels read of a sweep. Absent moments are null.
struct sweep {
    const double* vel;
    const double* dbz;
    const double* time; // per ray, s
    int64_t rays, gates;
    double altitude;
    std::vector<double> sin_az, cos_az; // per ray; NaN for a ray without azimuth
    beam::beam_rows beams;

    bool usable(int64_t i) const
    {
        return beams.row[static_cast<size_t>(i)] >= 0
            && std::isfinite(sin_az[static_cast<size_t>(i)]);
    }
};

// The sums of one run: the consecutive gates of one ray in one box, kept in
// registers and added to the box when the run ends. A box's sums are thus,
// in every layout, the sum over its rays in ray order of each ray's run sums
// in gate order. The shift is the box's first velocity (reflectivity): the
// box's own when it has one, else the run's first.
struct run {
    double f[FIELDS];
    int64_t box = -1;

    template <class Store> void start(const Store& o, int64_t b)
    {
        box = b;
        for (double& x : f)
            x = 0.0;
        f[VSHIFT] = o(NV, b) > 0.0 ? o(VSHIFT, b) : NAN;
        f[ZSHIFT] = o(NZ, b) > 0.0 ? o(ZSHIFT, b) : NAN;
    }

    // gate g of ray i at (x, y) in the radar's plane
    void add(const sweep& w, int64_t i, int64_t g, double x, double y)
    {
        const int64_t m = i * w.gates + g;
        const size_t k = static_cast<size_t>(w.beams.row[static_cast<size_t>(i)] * w.gates + g);
        const double v = w.vel ? w.vel[m] : NAN;
        const double z = w.dbz ? w.dbz[m] : NAN;
        if (std::isfinite(v)) {
            if (!(f[VSHIFT] == f[VSHIFT])) // no shift yet: the box's first velocity
                f[VSHIFT] = v;
            const double d = v - f[VSHIFT];
            f[NV] += 1.0;
            f[SV] += d;
            f[SVV] += d * d;
            f[VX] += x;
            f[VY] += y;
            f[VH] += w.altitude + w.beams.h[k];
            f[VT] += w.time[i];
            f[VE] += w.beams.local_el[k];
        }
        if (std::isfinite(z)) {
            if (!(f[ZSHIFT] == f[ZSHIFT]))
                f[ZSHIFT] = z;
            const double d = z - f[ZSHIFT];
            f[NZ] += 1.0;
            f[SZD] += d;
            f[SZZ] += d * d;
            f[SZ] += std::exp(z * ln10_10);
            f[ZX] += x;
            f[ZY] += y;
            f[ZH] += w.altitude + w.beams.h[k];
            f[ZT] += w.time[i];
            f[ZE] += w.beams.local_el[k];
        }
    }

    template <class Store> void flush(const Store& o) const
    {
        if (box < 0)
            return;
        if (f[NV] > 0.0) {
            if (o(NV, box) == 0.0)
                o(VSHIFT, box) = f[VSHIFT];
            for (int64_t q : {NV, SV, SVV, VX, VY, VH, VT, VE})
                o(q, box) += f[q];
        }
        if (f[NZ] > 0.0) {
            if (o(NZ, box) == 0.0)
                o(ZSHIFT, box) = f[ZSHIFT];
            for (int64_t q : {NZ, SZD, SZZ, SZ, ZX, ZY, ZH, ZT, ZE})
                o(q, box) += f[q];
        }
    }

    // gate g of ray i goes to box b: a new run when the box changes
    template <class Store>
    void to(const Store& o, int64_t b, const sweep& w, int64_t i, int64_t g, double x, double y)
    {
        if (b != box) {
            flush(o);
            start(o, b);
        }
        add(w, i, g, x, y);
    }

    template <class Store> void end(const Store& o)
    {
        flush(o);
        box = -1;
    }
};

inline double ground(const sweep& w, int64_t i, int64_t g)
{
    return w.beams.s[static_cast<size_t>(w.beams.row[static_cast<size_t>(i)] * w.gates + g)];
}

// Polar boxes of azimuth interval j: its rays, in ascending order, are
// rays[first[j] .. first[j + 1]); gate g falls in range interval rbin[g]
// (-1: none). Box (j, k) is box j * nr + k.
void polar_boxes(const sweep& w, const int64_t* rays, const int64_t* first, const int64_t* rbin,
                 int64_t nr, int64_t begin, int64_t end, const planes& out)
{
    for (int64_t j = begin; j < end; ++j) {
        out.clear(j * nr, nr);
        for (int64_t q = first[j]; q < first[j + 1]; ++q) {
            const int64_t i = rays[q];
            const double sa = w.sin_az[static_cast<size_t>(i)],
                         ca = w.cos_az[static_cast<size_t>(i)];
            run r;
            for (int64_t g = 0; g < w.gates; ++g) {
                if (rbin[g] < 0)
                    continue;
                const double s = ground(w, i, g);
                r.to(out, j * nr + rbin[g], w, i, g, s * sa, s * ca);
            }
            r.end(out);
        }
    }
}

// Cell index of coordinate c on a grid of `spacing` centred on the radar,
// half-width `half` cells: cell 0 is centred at -half * spacing. Floor by
// truncation (without SSE4.1 std::floor is a library call); a coordinate
// that is not finite is in no cell.
inline int64_t cell(double c, double spacing, int64_t half)
{
    const double q = c / spacing + 0.5;
    if (!(std::fabs(q) < 0x1p62))
        return -1;
    const int64_t t = static_cast<int64_t>(q);
    return t - (static_cast<double>(t) > q) + half;
}

// The least coordinate of each cell k = 0 .. n: cell(c) >= k exactly when
// c >= edge[k] (cell is monotonic in c), found by bisection over the doubles
// between a quarter cell below and above the cell's nominal edge. Along a
// ray the gates' cells then follow from comparisons, the same as `cell`
// gives, without a division per gate.
std::vector<double> cell_edges(double spacing, int64_t half)
{
    const int64_t n = 2 * half + 1;
    std::vector<double> edge(static_cast<size_t>(n + 1));
    for (int64_t k = 0; k <= n; ++k) {
        const double nominal = static_cast<double>(k - half) - 0.5;
        double lo = (nominal - 0.25) * spacing, hi = (nominal + 0.25) * spacing;
        for (;;) {
            const double mid = lo + (hi - lo) / 2.0;
            if (!(mid > lo && mid < hi))
                break;
            (cell(mid, spacing, half) >= k ? hi : lo) = mid;
        }
        edge[static_cast<size_t>(k)] = hi;
    }
    return edge;
}

// The cell of c given the cell k of a coordinate near it: -1 below the
// grid, n at or beyond its end.
inline int64_t follow(int64_t k, double c, const double* edge, int64_t n)
{
    while (k < n && c >= edge[k + 1])
        ++k;
    while (k >= 0 && c < edge[k])
        --k;
    return k;
}

// Grid rows [j0, j1) of an (n x n) grid: box iy * n + ix, stored at
// (iy - base) * n + ix of `out`. Along a ray the row index is monotonic in
// the gate (non-decreasing when the ray points north of east-west, else
// non-increasing), so the ray's gates in the band are one run found by
// bisection.
template <class Store>
void grid_band(const sweep& w, double spacing, int64_t half, const double* edge, int64_t j0,
               int64_t j1, const Store& out, int64_t base)
{
    const int64_t n = 2 * half + 1;
    out.clear((j0 - base) * n, (j1 - j0) * n);
    for (int64_t i = 0; i < w.rays; ++i) {
        if (!w.usable(i))
            continue;
        const double sa = w.sin_az[static_cast<size_t>(i)], ca = w.cos_az[static_cast<size_t>(i)];
        auto row_of = [&](int64_t g) { return cell(ground(w, i, g) * ca, spacing, half); };
        const bool rising = ca >= 0.0;
        // first gate at or after which the run condition `past(bound)` holds
        auto first_past = [&](int64_t bound) {
            int64_t lo = 0, hi = w.gates;
            while (lo < hi) {
                const int64_t mid = lo + (hi - lo) / 2;
                const int64_t r = row_of(mid);
                if (rising ? r >= bound : r < bound)
                    hi = mid;
                else
                    lo = mid + 1;
            }
            return lo;
        };
        run r;
        const int64_t g0 = rising ? first_past(j0) : first_past(j1);
        const int64_t g1 = rising ? first_past(j1) : first_past(j0);
        int64_t iy = -1, ix = -1;
        for (int64_t g = g0; g < g1; ++g) {
            const double s = ground(w, i, g);
            if (!(s == s))
                continue; // no cell
            const double x = s * sa, y = s * ca;
            iy = follow(iy, y, edge, n);
            ix = follow(ix, x, edge, n);
            if (iy < j0 || iy >= j1 || ix < 0 || ix >= n)
                continue;
            r.to(out, (iy - base) * n + ix, w, i, g, x, y);
        }
        r.end(out);
    }
}

bool has_data(const sweep& w, int64_t m)
{
    return (w.vel && std::isfinite(w.vel[m])) || (w.dbz && std::isfinite(w.dbz[m]));
}

// Indexed boxes: per chunk of rays, the gates of each box counted (pass 1)
// and their flat indices placed (pass 2) after those of the earlier chunks,
// so that every box lists its gates in array order (a stable sort, the same
// for any number of chunks); pass 3 sums each box over its list.
struct index_sort {
    const sweep& w;
    const int64_t* box;
    int64_t n_boxes, chunks;
    std::vector<int64_t> counts; // (chunks, n_boxes), then each chunk's next place
    std::vector<int64_t> start;  // (n_boxes + 1)
    std::vector<int64_t> order;

    int64_t ray_begin(int64_t c) const { return c * w.rays / chunks; }

    void count(int64_t c)
    {
        int64_t* n = counts.data() + c * n_boxes;
        for (int64_t i = ray_begin(c); i < ray_begin(c + 1); ++i) {
            if (!w.usable(i))
                continue;
            for (int64_t g = 0; g < w.gates; ++g) {
                const int64_t m = i * w.gates + g, b = box[m];
                if (b >= 0 && has_data(w, m))
                    ++n[b];
            }
        }
    }

    void places()
    {
        start.assign(static_cast<size_t>(n_boxes + 1), 0);
        int64_t at = 0;
        for (int64_t b = 0; b < n_boxes; ++b) {
            start[static_cast<size_t>(b)] = at;
            for (int64_t c = 0; c < chunks; ++c) {
                int64_t& n = counts[static_cast<size_t>(c * n_boxes + b)];
                const int64_t k = n;
                n = at;
                at += k;
            }
        }
        start[static_cast<size_t>(n_boxes)] = at;
        order.resize(static_cast<size_t>(at));
    }

    void place(int64_t c)
    {
        int64_t* next = counts.data() + c * n_boxes;
        for (int64_t i = ray_begin(c); i < ray_begin(c + 1); ++i) {
            if (!w.usable(i))
                continue;
            for (int64_t g = 0; g < w.gates; ++g) {
                const int64_t m = i * w.gates + g, b = box[m];
                if (b >= 0 && has_data(w, m))
                    order[static_cast<size_t>(next[b]++)] = m;
            }
        }
    }

    // each box's gates, ray by ray: a run per ray, as the layout rules make them
    void sum(int64_t begin, int64_t end, const planes& out) const
    {
        out.clear(begin, end - begin);
        for (int64_t b = begin; b < end; ++b) {
            run r;
            int64_t ray = -1;
            for (int64_t k = start[static_cast<size_t>(b)]; k < start[static_cast<size_t>(b + 1)];
                 ++k) {
                const int64_t m = order[static_cast<size_t>(k)];
                const int64_t i = m / w.gates, g = m - i * w.gates;
                if (i != ray) {
                    r.end(out);
                    ray = i;
                }
                const double s = ground(w, i, g);
                r.to(out, b, w, i, g, s * w.sin_az[static_cast<size_t>(i)],
                     s * w.cos_az[static_cast<size_t>(i)]);
            }
            r.end(out);
        }
    }
};

// Arguments shared by the three layouts, checked with the lock held.
struct inputs {
    const double *vel = nullptr, *dbz = nullptr, *az, *el, *time, *range;
    int64_t rays, gates;

    inputs(farray& velocity, farray& reflectivity, farray& azimuth, farray& elevation,
           farray& time_, farray& range_)
    {
        if (azimuth.ndim() != 1 || elevation.ndim() != 1 || time_.ndim() != 1 || range_.ndim() != 1)
            throw std::invalid_argument("azimuth, elevation, time and range must be 1-D");
        rays = azimuth.shape(0);
        gates = range_.shape(0);
        if (elevation.shape(0) != rays || time_.shape(0) != rays)
            throw std::invalid_argument("azimuth, elevation and time must have one value per ray");
        for (farray* a : {&velocity, &reflectivity}) {
            if (a->size() == 0 && !(rays * gates == 0 && a->ndim() == 2))
                continue; // moment absent
            if (a->ndim() != 2 || a->shape(0) != rays || a->shape(1) != gates)
                throw std::invalid_argument(
                    "velocity and reflectivity must be (rays, gates) arrays or empty");
        }
        if (velocity.size() == 0 && reflectivity.size() == 0 && rays * gates != 0)
            throw std::invalid_argument("velocity and reflectivity are both empty");
        if (velocity.size())
            vel = velocity.data();
        if (reflectivity.size())
            dbz = reflectivity.data();
        az = azimuth.data();
        el = elevation.data();
        time = time_.data();
        range = range_.data();
    }

    // The sweep as the kernels read it: sine and cosine of every azimuth and
    // the beam of every elevation. Runs with the lock released.
    void fill(sweep& w, double altitude) const
    {
        w.vel = vel;
        w.dbz = dbz;
        w.time = time;
        w.rays = rays;
        w.gates = gates;
        w.altitude = altitude;
        w.sin_az.assign(static_cast<size_t>(rays), NAN);
        w.cos_az.assign(static_cast<size_t>(rays), NAN);
        for (int64_t i = 0; i < rays; ++i)
            if (std::isfinite(az[i]))
                ::sincos(az[i] * beam::deg2rad, &w.sin_az[static_cast<size_t>(i)],
                         &w.cos_az[static_cast<size_t>(i)]);
        w.beams.build(el, rays, range, gates);
    }
};

// The fields that hold a moment's sums.
struct moment_fields {
    int64_t count, shift, sum, squares, first; // N, shift, sums, x (then y, h, t, e)
    int64_t linear;                            // SZ for reflectivity, -1 for velocity
};
constexpr moment_fields moments[2] = {{NV, VSHIFT, SV, SVV, VX, -1},
                                      {NZ, ZSHIFT, SZD, SZZ, ZX, SZ}};

// The means of box b of a moment into o[f * stride], in the formulas and
// order of superob_arrays: mean of the shifted values, sample variance from
// the sums, spread NaN for one gate, velocity as shift + mean, reflectivity
// as mean Z (the caller takes its logarithm), positions, heights, times and
// elevations as means.
template <class Store>
inline void box_mean(const Store& in, const moment_fields& m, int64_t b, double* o, int64_t stride)
{
    const double n = in(m.count, b);
    const double s1 = in(m.sum, b), mean_dev = s1 / n;
    const double var = (in(m.squares, b) - s1 * mean_dev) / (n - 1.0);
    o[GATES * stride] = n;
    o[VALUE * stride] = m.linear >= 0 ? in(m.linear, b) / n : in(m.shift, b) + mean_dev;
    o[SPREAD * stride] = n > 1.0 ? std::sqrt(var < 0.0 ? 0.0 : var) : NAN;
    for (int64_t q = 0; q < 5; ++q)
        o[(X + q) * stride] = in(m.first + q, b) / n;
}

// The means of the boxes of field-major sums that hold gates of a moment,
// in index order: per block of boxes those holding any are counted (pass
// 1), then each block writes its boxes after those of the blocks before it
// (pass 2), so that every box's values and place are the same for any
// thread count.
struct means {
    const planes& in;
    const moment_fields& m;
    int64_t columns;            // of the (rows, columns) boxes
    std::vector<int64_t> start; // per block, its first output
    int64_t* row = nullptr;
    int64_t* column = nullptr;
    double* out = nullptr; // (MEAN_FIELDS, boxes held)
    int64_t held = 0;

    int64_t blocks() const { return (in.boxes + mean_block - 1) / mean_block; }

    void tally(int64_t begin, int64_t end)
    {
        for (int64_t k = begin; k < end; ++k) {
            int64_t n = 0;
            for (int64_t b = k * mean_block; b < std::min((k + 1) * mean_block, in.boxes); ++b)
                n += in(m.count, b) > 0.0;
            start[static_cast<size_t>(k + 1)] = n;
        }
    }

    void places()
    {
        for (size_t k = 1; k < start.size(); ++k)
            start[k] += start[k - 1];
        held = start.back();
    }

    void write(int64_t begin, int64_t end) const
    {
        for (int64_t k = begin; k < end; ++k) {
            int64_t at = start[static_cast<size_t>(k)];
            for (int64_t b = k * mean_block; b < std::min((k + 1) * mean_block, in.boxes); ++b) {
                if (!(in(m.count, b) > 0.0))
                    continue;
                row[at] = b / columns;
                column[at] = b - row[at] * columns;
                box_mean(in, m, b, out + at, held);
                ++at;
            }
        }
    }
};

// The means of a band of grid rows, its boxes in index order: the flat box
// index and MEAN_FIELDS values of each, per moment.
struct band_means {
    std::vector<int64_t> box[2];
    std::vector<double> values[2];
};

// The result of the box means of a moment: (row, column, (MEAN_FIELDS, n)).
struct means_out {
    py::array_t<int64_t> row, column;
    py::array_t<double> values;

    explicit means_out(int64_t n) : row(n), column(n), values({int64_t{MEAN_FIELDS}, n}) { }

    py::tuple tuple() const { return py::make_tuple(row, column, values); }
};

void check_positive(double x, const char* message)
{
    if (!(std::isfinite(x) && x > 0.0))
        throw std::invalid_argument(message);
}

// The half-width in cells of the grid of a sweep, after the checks of the
// arguments of a grid layout.
int64_t grid_half(const inputs& in, double altitude, double spacing)
{
    if (!std::isfinite(altitude))
        throw std::invalid_argument("altitude must be finite (m)");
    check_positive(spacing, "spacing must be a positive number (m)");
    for (int64_t g = 0; g < in.gates; ++g)
        if (!std::isfinite(in.range[g]) || (g > 0 && !(in.range[g] > in.range[g - 1])))
            throw std::invalid_argument("range must be finite and increasing");
    // The grid reaches the farthest ground distance of any ray: the first or
    // last gate's (ground distance grows with range).
    double far = 0.0;
    if (in.gates > 0)
        for (int64_t i = 0; i < in.rays; ++i) {
            if (!std::isfinite(in.el[i]))
                continue;
            const double el = in.el[i] * beam::deg2rad, se = std::sin(el), ce = std::cos(el);
            for (int64_t g : {int64_t{0}, in.gates - 1})
                far = std::max(far, std::fabs(beam::beam_at(in.range[g], el, se, ce).s));
        }
    const double cells = std::ceil(far / spacing);
    if (!(cells < std::sqrt(static_cast<double>(max_cells)) / 2.0 - 1.0))
        throw std::invalid_argument("too many cells: spacing too small for the ranges");
    return static_cast<int64_t>(cells);
}

} // namespace

py::array_t<double> polar_box_sums_py(farray velocity, farray reflectivity, farray azimuth,
                                      farray elevation, farray time, farray range, double altitude,
                                      double range_step, double azimuth_step, int32_t n_threads)
{
    const inputs in(velocity, reflectivity, azimuth, elevation, time, range);
    if (!std::isfinite(altitude))
        throw std::invalid_argument("altitude must be finite (m)");
    check_positive(range_step, "range_step must be a positive number (m)");
    if (!(azimuth_step > 0.0 && azimuth_step <= 360.0))
        throw std::invalid_argument("azimuth_step must lie within (0, 360] degrees");
    // counted in doubles first: a tiny step must be refused, not overflow a cast
    const double na_d = std::ceil(360.0 / azimuth_step);
    double far = -1.0;
    for (int64_t g = 0; g < in.gates; ++g)
        if (std::isfinite(in.range[g]))
            far = std::max(far, in.range[g]);
    const double nr_d = far >= 0.0 ? std::floor(far / range_step) + 1.0 : 0.0;
    if (!(na_d * nr_d <= static_cast<double>(max_cells)) || na_d > static_cast<double>(max_cells))
        throw std::invalid_argument("too many boxes: range_step or azimuth_step too small");
    const int64_t na = static_cast<int64_t>(na_d), nr = static_cast<int64_t>(nr_d);

    py::array_t<double> out({int64_t{FIELDS}, na, nr});
    const planes o{out.mutable_data(), na * nr};

    py::gil_scoped_release unlocked; // workers only touch the raw buffers above
    sweep w;
    in.fill(w, altitude);
    std::vector<int64_t> rbin(static_cast<size_t>(in.gates), -1);
    for (int64_t g = 0; g < in.gates; ++g)
        if (std::isfinite(in.range[g]) && in.range[g] >= 0.0)
            rbin[static_cast<size_t>(g)] =
                std::min(static_cast<int64_t>(std::floor(in.range[g] / range_step)), nr - 1);
    // rays by azimuth interval, each interval's in ascending order
    std::vector<int64_t> abin(static_cast<size_t>(in.rays), -1),
        first(static_cast<size_t>(na + 1), 0);
    for (int64_t i = 0; i < in.rays; ++i) {
        if (!w.usable(i))
            continue;
        const double a = beam::py_mod(in.az[i], 360.0);
        const int64_t j = std::min(static_cast<int64_t>(std::floor(a / azimuth_step)), na - 1);
        abin[static_cast<size_t>(i)] = j;
        ++first[static_cast<size_t>(j + 1)];
    }
    for (int64_t j = 0; j < na; ++j)
        first[static_cast<size_t>(j + 1)] += first[static_cast<size_t>(j)];
    std::vector<int64_t> rays(static_cast<size_t>(first[static_cast<size_t>(na)]));
    std::vector<int64_t> next(first.begin(), first.end() - 1);
    for (int64_t i = 0; i < in.rays; ++i)
        if (abin[static_cast<size_t>(i)] >= 0)
            rays[static_cast<size_t>(next[static_cast<size_t>(abin[static_cast<size_t>(i)])]++)] =
                i;
    auto body = [&](int64_t begin, int64_t end) {
        polar_boxes(w, rays.data(), first.data(), rbin.data(), nr, begin, end, o);
    };
    kestrin::parallel_blocks(na, 1, n_threads, body);
    return out;
}

py::array_t<double> grid_box_sums_py(farray velocity, farray reflectivity, farray azimuth,
                                     farray elevation, farray time, farray range, double altitude,
                                     double spacing, int32_t n_threads)
{
    const inputs in(velocity, reflectivity, azimuth, elevation, time, range);
    const int64_t half = grid_half(in, altitude, spacing), n = 2 * half + 1;

    py::array_t<double> out({int64_t{FIELDS}, n, n});
    const planes o{out.mutable_data(), n * n};

    py::gil_scoped_release unlocked;
    sweep w;
    in.fill(w, altitude);
    const std::vector<double> edge = cell_edges(spacing, half);
    const int64_t bands = (n + band_rows - 1) / band_rows;
    auto body = [&](int64_t begin, int64_t end) {
        for (int64_t b = begin; b < end; ++b)
            grid_band(w, spacing, half, edge.data(), b * band_rows,
                      std::min((b + 1) * band_rows, n), o, 0);
    };
    kestrin::parallel_blocks(bands, 1, n_threads, body);
    return out;
}

py::array_t<double> index_box_sums_py(farray velocity, farray reflectivity, farray azimuth,
                                      farray elevation, farray time, farray range, double altitude,
                                      iarray box, int64_t n_boxes, int32_t n_threads)
{
    const inputs in(velocity, reflectivity, azimuth, elevation, time, range);
    if (!std::isfinite(altitude))
        throw std::invalid_argument("altitude must be finite (m)");
    if (box.ndim() != 2 || box.shape(0) != in.rays || box.shape(1) != in.gates)
        throw std::invalid_argument("box must be a (rays, gates) array");
    if (n_boxes < 0 || n_boxes > max_cells)
        throw std::invalid_argument("n_boxes must lie within [0, 2**25]");
    const int64_t* bx = box.data();
    for (int64_t m = 0; m < box.size(); ++m)
        if (bx[m] >= n_boxes)
            throw std::invalid_argument("box indices must be below n_boxes");

    py::array_t<double> out({int64_t{FIELDS}, n_boxes});
    const planes o{out.mutable_data(), n_boxes};
    const int64_t workers = n_threads > 0 ? n_threads : kestrin::hardware_threads();

    {
        py::gil_scoped_release unlocked;
        sweep w;
        in.fill(w, altitude);
        const int64_t chunks = std::max<int64_t>(1, std::min({workers, max_chunks, in.rays}));
        index_sort sort{w, bx, n_boxes, chunks, {}, {}, {}};
        sort.counts.assign(static_cast<size_t>(chunks * n_boxes), 0);
        auto count = [&](int64_t begin, int64_t end) {
            for (int64_t c = begin; c < end; ++c)
                sort.count(c);
        };
        kestrin::parallel_blocks(chunks, 1, n_threads, count);
        sort.places();
        auto place = [&](int64_t begin, int64_t end) {
            for (int64_t c = begin; c < end; ++c)
                sort.place(c);
        };
        kestrin::parallel_blocks(chunks, 1, n_threads, place);
        auto sum = [&](int64_t begin, int64_t end) { sort.sum(begin, end, o); };
        kestrin::parallel_blocks(n_boxes, box_block, n_threads, sum);
    }
    return out;
}

py::tuple box_means_py(farray sums, int32_t n_threads)
{
    if (sums.ndim() != 3 || sums.shape(0) != FIELDS)
        throw std::invalid_argument("sums must be a (19, rows, columns) array of box sums");
    const int64_t columns = sums.shape(2);
    const planes in{const_cast<double*>(sums.data()), sums.shape(1) * columns};
    std::vector<means> m{{in, moments[0], columns, {}}, {in, moments[1], columns, {}}};
    {
        py::gil_scoped_release unlocked;
        for (means& x : m) {
            x.start.assign(static_cast<size_t>(x.blocks() + 1), 0);
            auto tally = [&x](int64_t begin, int64_t end) { x.tally(begin, end); };
            kestrin::parallel_blocks(x.blocks(), 1, n_threads, tally);
            x.places();
        }
    }
    py::list result;
    for (means& x : m) {
        means_out out(x.held);
        x.row = out.row.mutable_data();
        x.column = out.column.mutable_data();
        x.out = out.values.mutable_data();
        {
            py::gil_scoped_release unlocked;
            auto write = [&x](int64_t begin, int64_t end) { x.write(begin, end); };
            kestrin::parallel_blocks(x.blocks(), 1, n_threads, write);
        }
        result.append(out.tuple());
    }
    return py::tuple(result);
}

py::tuple grid_box_means_py(farray velocity, farray reflectivity, farray azimuth, farray elevation,
                            farray time, farray range, double altitude, double spacing,
                            int32_t n_threads)
{
    const inputs in(velocity, reflectivity, azimuth, elevation, time, range);
    const int64_t half = grid_half(in, altitude, spacing), n = 2 * half + 1;
    // Bands of rows, a few per worker: the fewer the bands, the longer the
    // run of a ray in each and the more its gates are read in memory order.
    // Their number changes no sum: every box adds its rays in ray order.
    const int64_t workers = n_threads > 0 ? n_threads : kestrin::hardware_threads();
    const int64_t rows = std::max(band_rows, (n + 4 * workers - 1) / (4 * workers));
    const int64_t bands = (n + rows - 1) / rows;
    std::vector<band_means> parts(static_cast<size_t>(bands));
    {
        py::gil_scoped_release unlocked;
        sweep w;
        in.fill(w, altitude);
        const std::vector<double> edge = cell_edges(spacing, half);
        // Each band's sums in a scratch of the worker's, then its means.
        auto body = [&](int64_t begin, int64_t end) {
            thread_local std::vector<double> scratch;
            scratch.resize(static_cast<size_t>(rows * n * FIELDS));
            const box_major o{scratch.data()};
            for (int64_t b = begin; b < end; ++b) {
                const int64_t j0 = b * rows, j1 = std::min(j0 + rows, n);
                grid_band(w, spacing, half, edge.data(), j0, j1, o, j0);
                band_means& part = parts[static_cast<size_t>(b)];
                for (int64_t k = 0; k < 2; ++k) {
                    for (int64_t lb = 0; lb < (j1 - j0) * n; ++lb) {
                        if (!(o(moments[k].count, lb) > 0.0))
                            continue;
                        part.box[k].push_back(j0 * n + lb);
                        std::vector<double>& v = part.values[k];
                        v.resize(v.size() + MEAN_FIELDS);
                        box_mean(o, moments[k], lb, v.data() + v.size() - MEAN_FIELDS, 1);
                    }
                }
            }
        };
        kestrin::parallel_blocks(bands, 1, n_threads, body);
    }
    py::list result;
    for (int64_t k = 0; k < 2; ++k) {
        std::vector<int64_t> start(static_cast<size_t>(bands + 1), 0);
        for (int64_t b = 0; b < bands; ++b)
            start[static_cast<size_t>(b + 1)] = start[static_cast<size_t>(b)]
                + static_cast<int64_t>(parts[static_cast<size_t>(b)].box[k].size());
        const int64_t held = start.back();
        means_out out(held);
        int64_t* row = out.row.mutable_data();
        int64_t* column = out.column.mutable_data();
        double* values = out.values.mutable_data();
        {
            py::gil_scoped_release unlocked;
            auto copy = [&](int64_t begin, int64_t end) {
                for (int64_t b = begin; b < end; ++b) {
                    const band_means& part = parts[static_cast<size_t>(b)];
                    const int64_t first = start[static_cast<size_t>(b)];
                    for (size_t j = 0; j < part.box[k].size(); ++j) {
                        const int64_t at = first + static_cast<int64_t>(j), box = part.box[k][j];
                        row[at] = box / n;
                        column[at] = box - row[at] * n;
                        for (int64_t q = 0; q < MEAN_FIELDS; ++q)
                            values[q * held + at] = part.values[k][j * MEAN_FIELDS + q];
                    }
                }
            };
            kestrin::parallel_blocks(bands, 1, n_threads, copy);
        }
        result.append(out.tuple());
    }
    result.append(half);
    return py::tuple(result);
}

} // namespace polar
