// Entry of the per-gate radar module: docstring and the bound functions, in
// order. The implementation of each function is `<name>_py` in
// polar/<job>.cpp.
#include "polar.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

PYBIND11_MODULE(_polar, m)
{
    m.doc() = "Per-gate radar kernels: dealiasing, gate geometry and box statistics "
              "(multithreaded).";

    m.def("gate_geometry", &polar::gate_geometry_py, "latitude"_a, "longitude"_a, "altitude"_a,
          "azimuth"_a, "elevation"_a, "range"_a, "n_threads"_a = 0);
    m.def("kept_gate_geometry", &polar::kept_gate_geometry_py, "latitude"_a, "longitude"_a,
          "altitude"_a, "azimuth"_a, "elevation"_a, "range"_a, "first"_a, "second"_a,
          "n_threads"_a = 0);
    m.def("geodesic", &polar::geodesic_py, "latitude"_a, "longitude"_a, "azimuth"_a, "distance"_a,
          "n_threads"_a = 0);
    m.def("polar_box_sums", &polar::polar_box_sums_py, "velocity"_a, "reflectivity"_a, "azimuth"_a,
          "elevation"_a, "time"_a, "range"_a, "altitude"_a, "range_step"_a, "azimuth_step"_a,
          "n_threads"_a = 0);
    m.def("grid_box_sums", &polar::grid_box_sums_py, "velocity"_a, "reflectivity"_a, "azimuth"_a,
          "elevation"_a, "time"_a, "range"_a, "altitude"_a, "spacing"_a, "n_threads"_a = 0);
    m.def("velocity_texture", &polar::velocity_texture_py, "velocity"_a, "gates"_a,
          "n_threads"_a = 0);
    m.def("index_box_sums", &polar::index_box_sums_py, "velocity"_a, "reflectivity"_a, "azimuth"_a,
          "elevation"_a, "time"_a, "range"_a, "altitude"_a, "box"_a, "n_boxes"_a,
          "n_threads"_a = 0);
    m.def("box_means", &polar::box_means_py, "sums"_a, "n_threads"_a = 0);
    m.def("grid_box_means", &polar::grid_box_means_py, "velocity"_a, "reflectivity"_a, "azimuth"_a,
          "elevation"_a, "time"_a, "range"_a, "altitude"_a, "spacing"_a, "n_threads"_a = 0);
    m.def("dealias", &polar::dealias_py, "velocity"_a, "rays"_a, "gates"_a, "azimuth"_a, "height"_a,
          "cos_el"_a, "nyquist"_a, "reference"_a, "out"_a.noconvert(), "n_threads"_a = 0);
}
