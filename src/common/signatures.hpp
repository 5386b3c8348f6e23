// Text signatures for C++ functions, so inspect.signature, editors and the type stubs see each
// method's parameters and defaults as they would a Python function's.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace corvane {

namespace py = pybind11;

// The parameter list of a pybind11 function as a def line would write it, e.g.
// "self, port='COM9'": names from its py::arg annotations (arg0, arg1, ... where it has none),
// defaults as their repr, *args, **kwargs and the "/" and "*" markers where they apply.
std::string parameter_list(py::handle function);

// Prefixes the function's docstring with "name(parameters)\n--\n\n", the form from which Python
// derives __text_signature__ and which it strips from __doc__, so the docstring reads as given.
// A docstring that already carries a signature is left as it is.
void add_text_signature(py::handle function);

// add_text_signature for every C++ function defined directly on `module` (with module.def).
void add_text_signatures(const py::module_& module);

}  // namespace corvane
