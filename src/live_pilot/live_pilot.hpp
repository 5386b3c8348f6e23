// live_pilot: real-time decoding of the EEG stream into drive commands.
#pragma once

#include <pybind11/pybind11.h>

namespace corvane::live_pilot {

namespace py = pybind11;

// The classes and functions the module defines; each binder publishes its names on `m`.
void bind_ring_buffer(py::module_& m);
void bind_connections(py::module_& m);
void bind_decisions(py::module_& m);
void bind_control_loop(py::module_& m);

// Module initialisation: imports, constants, artefacts, connections, ring buffer, board.
void set_up_module(py::module_& m);

// True while this module is being imported by `python -m live_pilot` to run it as a program.
bool run_as_program();
// Runs main() and then cleanup_resources(), as the program does.
void run_program(py::module_& m);

}  // namespace corvane::live_pilot
