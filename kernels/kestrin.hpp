// Python-facing functions of the kernel module, one per bound function.
// Each validates its arguments with the interpreter lock held, allocates the
// result, then releases the lock and runs its kernel through parallel_blocks.
#pragma once

#include <cstdint>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace kestrin {

namespace py = pybind11;

// Any array-like argument arrives as a C-ordered contiguous float64 array;
// one that already is one is passed through without a copy.
using farray = py::array_t<double, py::array::c_style | py::array::forcecast>;

py::array_t<double> thermo_py(farray t, farray p, farray td, int32_t n_threads);
py::array_t<double> cold_pool_py(farray z, farray b, farray bottom, double threshold, farray top,
                                 int32_t n_threads);
py::array_t<double> profile_py(farray z, farray u, farray v, farray ground, double bottom,
                               double top, farray cu, farray cv, int32_t n_threads);
py::array_t<double> gradient_py(farray f, farray x, farray y, int32_t n_threads);
py::array_t<double> vad_py(farray vr, farray az, farray cos_el, int64_t min_gates,
                           double min_spread, int32_t n_threads);

} // namespace kestrin

// Argument conversion of farray: pybind11's own steps (an array that
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
template <> struct type_caster<kestrin::farray> : array_arg_caster<kestrin::farray> { };
} // namespace pybind11::detail
