// Small helpers for handling Python values from C++ with Python's own semantics.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>

#include "common/python_values.hpp"

namespace corvane::live_pilot {

namespace py = pybind11;

// slice(start, stop)
inline py::object slice_of(const py::object& start, const py::object& stop) {
    return checked(PySlice_New(start.ptr(), stop.ptr(), nullptr));
}

// slice(None, None), i.e. ":".
inline py::object whole() { return slice_of(py::none(), py::none()); }

// The value of a plain Python int that fits a long long; nullopt for anything else.
inline std::optional<long long> exact_int(const py::object& value) {
    if (!PyLong_CheckExact(value.ptr())) return std::nullopt;
    int overflow = 0;
    long long result = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0) return std::nullopt;
    return result;
}

}  // namespace corvane::live_pilot
