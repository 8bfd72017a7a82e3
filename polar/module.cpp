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

    m.def("dealias", &polar::dealias_py, "velocity"_a, "rays"_a, "gates"_a, "azimuth"_a, "height"_a,
          "cos_el"_a, "nyquist"_a, "reference"_a, "out"_a, "n_threads"_a = 0);
}
