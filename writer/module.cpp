// Entry of the writer module: docstring and the bound functions, in order.
// The implementation of each function bears its Python name, in
// writer/dart.cpp and writer/wrfda.cpp.
#include "marlode.hpp"

using namespace pybind11::literals;

PYBIND11_MODULE(_marlode, m)
{
    m.doc() = "Threaded text formatter of the WRFDA and DART observation writers";

    m.def("format_dart", &marlode::format_dart, "kind"_a, "value"_a, "variance"_a, "lon"_a, "lat"_a,
          "height"_a, "days"_a, "secs"_a, "radar_lon"_a, "radar_lat"_a, "radar_height"_a, "beam"_a,
          "nyquist"_a, "velkey"_a, "vertical"_a, "n_threads"_a = 0, pybind11::kw_only(),
          "first"_a = 1, "total"_a = -1);
    m.def("format_wrfda", &marlode::format_wrfda, "centres"_a, "col_lat"_a, "col_lon"_a,
          "col_elv"_a, "rv"_a, "rv_qc"_a, "rv_err"_a, "rf"_a, "rf_qc"_a, "rf_err"_a, "stamp"_a,
          "n_threads"_a = 0);
}
