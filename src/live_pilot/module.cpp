// live_pilot: decodes the live EEG stream and drives the actuator and the movement simulator.
#include <pybind11/pybind11.h>

#include "live_pilot/live_pilot.hpp"

PYBIND11_MODULE(live_pilot, m) {
    pybind11::options options;
    options.disable_function_signatures();
    corvane::live_pilot::set_up_module(m);
    if (corvane::live_pilot::run_as_program()) corvane::live_pilot::run_program(m);
}
