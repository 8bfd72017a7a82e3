// Python-facing functions of the per-gate radar module, one per bound
// function. Each validates its arguments with the interpreter lock held,
// allocates the result, then releases the lock and runs its kernel through
// the kernel module's block runner (kernels/parallel.hpp, included as is).
#pragma once

#include <cstdint>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace polar {

namespace py = pybind11;

// Any array-like argument arrives as a C-ordered contiguous array of the
// element type; one that already is one is passed through without a copy.
using farray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using iarray = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;
using f32array = py::array_t<float, py::array::c_style | py::array::forcecast>;
// An array a function writes its result into: float32, C-ordered, never a
// converted copy.
using f32out = py::array_t<float, py::array::c_style>;

py::tuple dealias_py(f32array velocity, iarray rays, iarray gates, farray azimuth, farray height,
                     farray cos_el, farray nyquist, farray reference, f32out out,
                     int32_t n_threads);

} // namespace polar
