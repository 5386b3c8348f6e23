#pragma once

#include <pybind11/pybind11.h>

#include "common/allow_list_unpickler.hpp"

namespace corvane::run_profile {

namespace py = pybind11;

// Creates the RunProfile class in module `m`.
void bind_run_profile(py::module_& m);

// Record files are read with the shared plain-values unpickler.
using corvane::load_plain_pickle;

}  // namespace corvane::run_profile
