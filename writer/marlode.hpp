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

// Argument conversion of farray and iarray: pybind11's own steps (an array that
// already has the element type and layout is used as it is, anything else
// goes through NumPy's forced cast), without first creating an empty array
// for the value the conversion then replaces, which would cost more than the
// conversion itself on a small call.
namespace pybind11::detail {
template <class Array> struct array_arg_caster {
    array_arg_caster() : value(reinterpret_steal<Array>(handle())) { }
    bool load(handle src, bool convert)
    {
        if (!convert && !Array::check_(src))
            return false;
        value = Array::ensure(src);
        return static_cast<bool>(value);
    }
    static handle cast(const handle& src, return_value_policy, handle) { return src.inc_ref(); }
    PYBIND11_TYPE_CASTER(Array, handle_type_name<Array>::name);
};
template <> struct type_caster<marlode::farray> : array_arg_caster<marlode::farray> { };
template <> struct type_caster<marlode::iarray> : array_arg_caster<marlode::iarray> { };
} // namespace pybind11::detail
