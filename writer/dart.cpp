// Observation records of a DART ASCII observation sequence: one record per
// row, numbered from 1 and linked to the rows before and after it, with the
// radar platform block on radial-velocity records (kind 0).
#include "marlode.hpp"
#include "text_blocks.hpp"

#include <initializer_list>
#include <limits>
#include <stdexcept>

namespace marlode {
namespace {

constexpr int64_t reserve_per_record = 700; // radial velocity 472 bytes, others 250

struct columns {
    const int64_t* kind;
    const double* value;
    const double* variance;
    const double* lon;
    const double* lat;
    const double* height;
    const int64_t* days;
    const int64_t* secs;
    const double* radar_lon;
    const double* radar_lat;
    const double* radar_height;
    const double* beam; // (n, 3)
    const double* nyquist;
    const int64_t* velkey;
};

// " x y z vertical": a location line, observation or radar.
void put_location(std::string& s, double x, double y, double z, int32_t vertical)
{
    s += ' ';
    put_e(s, x);
    s += ' ';
    put_e(s, y);
    s += ' ';
    put_e(s, z);
    s += ' ';
    put_i(s, vertical, 2);
    s += '\n';
}

// Row i of the call (0-based) is record number first + i of a sequence of
// `last` records numbered from 1; the first and last records link to -1.
void record(std::string& s, const columns& c, int64_t i, int64_t first, int64_t last,
            int32_t vertical)
{
    const int64_t number = first + i;
    s += " OBS ";
    put_i(s, number, 12);
    s += '\n';
    put_e(s, c.value[i]);
    s += '\n';
    put_i(s, 0, 12); // quality control
    s += '\n';
    put_i(s, number == 1 ? -1 : number - 1, 12);
    put_i(s, number == last ? -1 : number + 1, 12);
    put_i(s, -1, 12); // no covariance group
    s += "\nobdef\nloc3d\n";
    put_location(s, c.lon[i], c.lat[i], c.height[i], vertical);
    s += "kind\n";
    // Kinds are written counted from 1; the largest int64 kind has no int64
    // successor and is written through the unsigned type.
    const int64_t kind = c.kind[i];
    if (kind == std::numeric_limits<int64_t>::max())
        put_int(s, static_cast<uint64_t>(kind) + 1, 12);
    else
        put_i(s, kind + 1, 12);
    s += '\n';
    if (kind == 0) {
        s += "platform\nloc3d\n";
        put_location(s, c.radar_lon[i], c.radar_lat[i], c.radar_height[i], vertical);
        s += "dir3d\n";
        for (int j = 0; j < 3; ++j) {
            s += ' ';
            put_e(s, c.beam[3 * i + j]);
        }
        s += "\n ";
        put_e(s, c.nyquist[i]);
        s += '\n';
        put_i(s, c.velkey[i], 12);
        s += '\n';
    }
    put_i(s, c.secs[i], 6);
    s += ' ';
    put_i(s, c.days[i], 10);
    s += '\n';
    put_e(s, c.variance[i]);
    s += '\n';
}

} // namespace

py::bytes format_dart(const iarray& kind, const farray& value, const farray& variance,
                      const farray& lon, const farray& lat, const farray& height,
                      const iarray& days, const iarray& secs, const farray& radar_lon,
                      const farray& radar_lat, const farray& radar_height, const farray& beam,
                      const farray& nyquist, const iarray& velkey, int32_t vertical,
                      int32_t n_threads, int64_t first, int64_t total)
{
    // Every length is read (IndexError for a 0-dimensional array) before any
    // is compared.
    const int64_t lengths[] = {kind.shape(0),      value.shape(0),        variance.shape(0),
                               lon.shape(0),       lat.shape(0),          height.shape(0),
                               days.shape(0),      secs.shape(0),         radar_lon.shape(0),
                               radar_lat.shape(0), radar_height.shape(0), beam.shape(0),
                               nyquist.shape(0),   velkey.shape(0)};
    const int64_t n = lengths[0];
    for (const int64_t len : lengths)
        if (len != n)
            throw std::invalid_argument("all record arrays must have the same length");
    if (beam.ndim() != 2 || beam.shape(1) != 3)
        throw std::invalid_argument("beam must be (n, 3)");
    // Rows are read by flat index: an array of shape (n, 0) has the right
    // length but not the n elements behind it.
    for (const py::array* a : std::initializer_list<const py::array*>{
             &kind, &value, &variance, &lon, &lat, &height, &days, &secs, &radar_lon, &radar_lat,
             &radar_height, &nyquist, &velkey})
        if (a->size() < n)
            throw std::invalid_argument("all record arrays must have the same length");
    // A call may format one chunk of a longer sequence: its rows are records
    // first ... first - 1 + n of `total`, linked across the chunk's ends.
    if (first < 1)
        throw std::invalid_argument("first must be at least 1");
    if (first - 1 > std::numeric_limits<int64_t>::max() - n)
        throw std::invalid_argument("first - 1 + n must be below 2**63");
    const int64_t last = first - 1 + n;
    if (total >= 0 && total < last)
        throw std::invalid_argument("total must be negative or at least first - 1 + n");

    const columns c{kind.data(),      value.data(),     variance.data(),     lon.data(),
                    lat.data(),       height.data(),    days.data(),         secs.data(),
                    radar_lon.data(), radar_lat.data(), radar_height.data(), beam.data(),
                    nyquist.data(),   velkey.data()};
    const int64_t end_number = total < 0 ? last : total;
    return run_blocks(
        n, n_threads,
        [&c, first, end_number, vertical](std::string& s, int64_t begin, int64_t end) {
            s.reserve(static_cast<size_t>((end - begin) * reserve_per_record));
            for (int64_t i = begin; i < end; ++i)
                record(s, c, i, first, end_number, vertical);
        });
}

} // namespace marlode
