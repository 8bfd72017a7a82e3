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
using barray = py::array_t<bool, py::array::c_style | py::array::forcecast>;
// An array a function writes its result into: float32, C-ordered, never a
// converted copy.
using f32out = py::array_t<float, py::array::c_style>;

py::tuple dealias_py(f32array velocity, iarray rays, iarray gates, farray azimuth, farray height,
                     farray cos_el, farray nyquist, farray reference, py::array out,
                     int32_t n_threads);

// polar/geometry.cpp
py::array_t<double> gate_geometry_py(double latitude, double longitude, double altitude,
                                     farray azimuth, farray elevation, farray range,
                                     int32_t n_threads);
py::tuple kept_gate_geometry_py(double latitude, double longitude, double altitude, farray azimuth,
                                farray elevation, farray range, barray first, barray second,
                                int32_t n_threads);
py::array_t<double> geodesic_py(double latitude, double longitude, farray azimuth, farray distance,
                                int32_t n_threads);

// polar/boxes.cpp
py::array_t<double> polar_box_sums_py(farray velocity, farray reflectivity, farray azimuth,
                                      farray elevation, farray time, farray range, double altitude,
                                      double range_step, double azimuth_step, int32_t n_threads);
py::array_t<double> grid_box_sums_py(farray velocity, farray reflectivity, farray azimuth,
                                     farray elevation, farray time, farray range, double altitude,
                                     double spacing, int32_t n_threads);
py::array_t<double> index_box_sums_py(farray velocity, farray reflectivity, farray azimuth,
                                      farray elevation, farray time, farray range, double altitude,
                                      iarray box, int64_t n_boxes, int32_t n_threads);
py::tuple box_means_py(farray sums, int32_t n_threads);
py::tuple grid_box_means_py(farray velocity, farray reflectivity, farray azimuth, farray elevation,
                            farray time, farray range, double altitude, double spacing,
                            int32_t n_threads);

// polar/texture.cpp
py::array_t<double> velocity_texture_py(farray velocity, int64_t gates, int32_t n_threads);

} // namespace polar
