// run_profile: the per-session configuration record.
#include <pybind11/pybind11.h>

#include "run_profile/run_profile.hpp"

PYBIND11_MODULE(run_profile, m) {
    pybind11::options options;
    options.disable_function_signatures();
    pybind11::module_::import("os");
    pybind11::module_::import("pickle");
    corvane::run_profile::bind_run_profile(m);
}
