// Python's own semantics for truth, comparison and arithmetic on values handled from C++, with the
// pending Python error raised instead of ignored.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>

namespace corvane {

namespace py = pybind11;

// Owns a new reference returned by the C API, raising the pending Python error on NULL.
inline py::object checked(PyObject* result) {
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// bool(value)
inline bool truthy(py::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

// a % b
inline py::object modulo(py::handle a, py::handle b) { return checked(PyNumber_Remainder(a.ptr(), b.ptr())); }

// a == b, as the object the comparison returns
inline py::object equals(py::handle a, py::handle b) { return checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ)); }

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

}  // namespace corvane
