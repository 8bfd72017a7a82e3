// Python-facing functions of the writer module, one per bound function.
// Each checks its arguments with the interpreter lock held, then formats its
// records through run_blocks and returns the text as one bytes object.
#pragma once

#include <cstdint>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <string>

namespace marlode {

namespace py = pybind11;

// Any array-like argument arrives as a C-ordered contiguous array of the
// element type (cast if needed); one that already is one is used in place.
using farray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using iarray = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;

py::bytes format_dart(const iarray& kind, const farray& value, const farray& variance,
                      const farray& lon, const farray& lat, const farray& height,
                      const iarray& days, const iarray& secs, const farray& radar_lon,
                      const farray& radar_lat, const farray& radar_height, const farray& beam,
                      const farray& nyquist, const iarray& velkey, int32_t vertical,
                      int32_t n_threads, int64_t first, int64_t total);

py::bytes format_wrfda(const farray& centres, const farray& col_lat, const farray& col_lon,
                       const farray& col_elv, const farray& rv, const iarray& rv_qc,
                       const farray& rv_err, const farray& rf, const iarray& rf_qc,
                       const farray& rf_err, const std::string& stamp, int32_t n_threads);

} // namespace marlode
