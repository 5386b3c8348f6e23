// Python-interop idioms shared by every Corvane module.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>

#include "common/signatures.hpp"

namespace corvane {

namespace py = pybind11;

// os.getenv(name, fallback): the variable's text, or `fallback` when it is unset.
py::object getenv(const char* name, py::object fallback);
std::string getenv(const char* name, const std::string& fallback);

// os.path.join(*parts)
py::object path_join(std::initializer_list<py::object> parts);

// Python's print, so a host that redirects sys.stdout captures the line.
template <typename... Args>
void print(Args&&... args) {
    py::print(std::forward<Args>(args)...);
}

// Raises the Python exception `type` with exactly `text`.
[[noreturn]] void raise(PyObject* type, const std::string& text);
// Raises `error`, an exception instance already made (one of a library's own types, say).
[[noreturn]] void raise(const py::object& error);

// str(exception) for the Python exception held by `error`.
std::string exception_text(const py::error_already_set& error);

// Runs `body`; a Python `Exception` (never KeyboardInterrupt or SystemExit) is reported as
// prefix + str(e) and `fallback` is returned instead.
template <typename Result, typename Body>
Result guarded(const std::string& prefix, Result fallback, Body&& body) {
    try {
        return body();
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        print(prefix + exception_text(error));
    } catch (py::builtin_exception& error) {
        // pybind11's own errors (a failed cast, ...) surface in Python as Exception subclasses.
        print(prefix + error.what());
    }
    return fallback;
}

// open(path, mode) for the duration of `use`; the file is closed also when `use` raises.
void with_file(const py::object& path, const char* mode, const std::function<void(py::object)>& use);

// Replaces `path` whole or not at all: `fill` writes a temporary file in the same folder, given by
// its path (named with `suffix`, for writers that check extensions), which is then renamed over
// `path`. The file is flushed to disk before it is renamed, and the folder after. With
// replace_existing false an existing `path` is never replaced: FileExistsError is raised instead.
// On any error the temporary file is removed and the error re-raised.
void replace_atomically(const py::object& path, const std::string& suffix,
                        const std::function<void(py::object)>& fill, bool replace_existing = true);

// replace_atomically for a writer of an open binary file.
void write_atomically(const py::object& path, const std::function<void(py::object)>& write);

// Creates a plain Python class `name` as a `class` statement in `module` would, so instances keep
// their attributes in __dict__; publish it on the module so it pickles by reference.
py::object make_class(const char* module, const char* name, py::tuple bases, const char* doc = nullptr);

// pybind11 treats a function named "__init__" or "__setstate__" as a constructor of one of its own
// types and would write into the instance as such; those methods get a neutral function name.
const char* function_name_for(const char* attribute);

// Makes `function` a method of `cls` under `name`; `extra` carries py::arg and py::doc. Each of
// these helpers gives the function a text signature (see signatures.hpp).
template <typename Function, typename... Extra>
void add_method(py::object cls, const char* name, Function&& function, const Extra&... extra) {
    py::cpp_function method(std::forward<Function>(function), py::name(function_name_for(name)),
                            py::is_method(cls), extra...);
    add_text_signature(method);
    py::setattr(cls, name, method);
}

// staticmethod: called without the instance.
template <typename Function, typename... Extra>
void add_static_method(py::object cls, const char* name, Function&& function, const Extra&... extra) {
    py::cpp_function callable(std::forward<Function>(function), py::name(name), py::scope(cls), extra...);
    add_text_signature(callable);
    py::setattr(cls, name, py::staticmethod(callable));
}

// classmethod: `function` receives the class it was called on first.
template <typename Function, typename... Extra>
void add_class_method(py::object cls, const char* name, Function&& function, const Extra&... extra) {
    py::cpp_function callable(std::forward<Function>(function), py::name(name), py::scope(cls), extra...);
    add_text_signature(callable);
    py::setattr(cls, name, py::reinterpret_steal<py::object>(PyClassMethod_New(callable.ptr())));
}

}  // namespace corvane
