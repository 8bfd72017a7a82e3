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
}
