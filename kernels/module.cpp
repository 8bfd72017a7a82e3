// Entry of the kernel module: docstring and the bound functions, in order.
// The implementation of each function is `<name>_py` in kernels/<name>.cpp.
#include "kestrin.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

PYBIND11_MODULE(_kestrin, m)
{
    m.doc() = "Cold-pool, wind-profile and baroclinity kernel (multithreaded).";

    m.def("thermo", &kestrin::thermo_py, "t"_a, "p"_a, "td"_a, "n_threads"_a = 0);
}
