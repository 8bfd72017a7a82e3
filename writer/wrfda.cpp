// Column records of the WRFDA radar observation text: per column one
// "FM-128 RADAR" header line, then one fixed-width line per level.
#include "marlode.hpp"
#include "text_blocks.hpp"

#include <initializer_list>
#include <new>
#include <stdexcept>

namespace marlode {
namespace {

constexpr size_t line_estimate = 80; // header 81 bytes, level line 76, line feeds included
constexpr size_t stamp_width = 19;   // yyyy-mm-dd_hh:mm:ss

struct columns {
    const double* centres; // (L)
    const double* lat;
    const double* lon;
    const double* elv;
    const double* rv; // (n, L), and so on
    const int64_t* rv_qc;
    const double* rv_err;
    const double* rf;
    const int64_t* rf_qc;
    const double* rf_err;
};

// Column i with L levels. Within a level line the widths alone separate
// value, flag and error, so an overflowing field runs into its neighbour.
void column(std::string& s, const columns& c, int64_t i, int64_t L, const std::string& stamp)
{
    s += "FM-128 RADAR   ";
    s += stamp;
    if (stamp.size() < stamp_width)
        s.append(stamp_width - stamp.size(), ' ');
    s += "  ";
    put_f(s, c.lat[i], 12, 3);
    s += "  ";
    put_f(s, c.lon[i], 12, 3);
    s += "  ";
    put_f(s, c.elv[i], 8, 1);
    s += "  ";
    put_i(s, L, 6);
    s += '\n';
    for (int64_t k = 0; k < L; ++k) {
        const int64_t m = i * L + k;
        s += "   ";
        put_f(s, c.centres[k], 12, 1);
        put_f(s, c.rv[m], 12, 3);
        put_i(s, c.rv_qc[m], 4);
        put_f(s, c.rv_err[m], 12, 3);
        s += "  ";
        put_f(s, c.rf[m], 12, 3);
        put_i(s, c.rf_qc[m], 4);
        put_f(s, c.rf_err[m], 12, 3);
        s += "  \n";
    }
}

} // namespace

py::bytes format_wrfda(const farray& centres, const farray& col_lat, const farray& col_lon,
                       const farray& col_elv, const farray& rv, const iarray& rv_qc,
                       const farray& rv_err, const farray& rf, const iarray& rf_qc,
                       const farray& rf_err, const std::string& stamp, int32_t n_threads)
{
    const int64_t L = centres.shape(0);
    const int64_t n = col_lat.shape(0);
    for (const py::array* a :
         std::initializer_list<const py::array*>{&rv, &rv_err, &rf, &rf_err, &rv_qc, &rf_qc})
        if (a->ndim() != 2 || a->shape(0) != n || a->shape(1) != L)
            throw std::invalid_argument("level arrays must be (columns, levels)");
    if (col_lon.shape(0) != n || col_elv.shape(0) != n)
        throw std::invalid_argument("column arrays must have the same length");
    // Values are read by flat index: an array of shape (L, 0) or (n, 0) has
    // the right length but not the elements behind it.
    if (centres.size() < L)
        throw std::invalid_argument("level arrays must be (columns, levels)");
    for (const farray* a : {&col_lat, &col_lon, &col_elv})
        if (a->size() < n)
            throw std::invalid_argument("column arrays must have the same length");

    const columns c{centres.data(), col_lat.data(), col_lon.data(), col_elv.data(), rv.data(),
                    rv_qc.data(),   rv_err.data(),  rf.data(),      rf_qc.data(),   rf_err.data()};
    return run_blocks(n, n_threads, [&c, L, &stamp](std::string& s, int64_t begin, int64_t end) {
        // L + 1 lines per column; L comes from the caller's array, so the
        // product is checked (only arrays no machine can hold overflow it).
        size_t bytes = 0;
        if (__builtin_mul_overflow(static_cast<uint64_t>(L) + 1,
                                   static_cast<uint64_t>(end - begin) * line_estimate, &bytes))
            throw std::bad_alloc();
        s.reserve(bytes);
        for (int64_t i = begin; i < end; ++i)
            column(s, c, i, L, stamp);
    });
}

} // namespace marlode
