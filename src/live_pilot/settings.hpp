// Module settings taken from the environment when the module is imported.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace corvane::live_pilot {

namespace py = pybind11;

// Base URL of the movement simulator (CORVANE_SIMULATOR_URL).
py::str simulator_url();
// Directory holding the trained artefacts (CORVANE_ARTEFACT_DIR, else the base directory).
py::object artefact_dir();
// The board's serial port (CORVANE_SERIAL_PORT).
py::str serial_port();
// Host and port of the actuator controller (CORVANE_ACTUATOR_HOST, "host" or "host:port").
std::pair<py::str, py::int_> actuator_address();

}  // namespace corvane::live_pilot
