#pragma once

#include <pybind11/pybind11.h>

namespace corvane::run_profile {

namespace py = pybind11;

// Creates the RunProfile class in module `m`.
void bind_run_profile(py::module_& m);

// Unpickles `file` (opened "rb") allowing only plain built-in values; anything else raises
// pickle.UnpicklingError naming `filename` and the refused type.
py::object load_plain_pickle(const py::object& file, const py::object& filename);

}  // namespace corvane::run_profile
