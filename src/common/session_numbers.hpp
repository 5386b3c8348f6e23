// Session numbers become parts of file names ("session" N "_..."); one check for every module
// that builds a path from one.
#pragma once

#include <pybind11/pybind11.h>

namespace corvane {

namespace py = pybind11;

// Raises ValueError when str(session_num) would leave its folder as part of a file name: empty,
// or holding a path separator ("/" or "\"), "..", or a NUL character.
void check_session_number(const py::object& session_num);

}  // namespace corvane
