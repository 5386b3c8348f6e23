// live_pilot: decodes the live EEG stream and drives the actuator and the movement simulator.
#include <pybind11/pybind11.h>

#include "common/signatures.hpp"
#include "live_pilot/live_pilot.hpp"

namespace py = pybind11;

// Importing the module loads artefacts and opens the board; their errors (and the SystemExit of a
// finished program run) must reach the importer unchanged rather than as a generic ImportError,
// so the module's execution step is written out here instead of taken from PYBIND11_MODULE.
PYBIND11_MODULE_PYINIT(live_pilot)

static int pybind11_exec_live_pilot(PyObject* module_object) {
    try {
        py::detail::ensure_internals();
        auto m = py::reinterpret_borrow<py::module_>(module_object);
        if (py::detail::get_cached_module(m.attr("__spec__").attr("name"))) return 0;
        py::options options;
        options.disable_function_signatures();
        corvane::live_pilot::set_up_module(m);
        corvane::add_text_signatures(m);
        if (corvane::live_pilot::run_as_program()) corvane::live_pilot::run_program(m);  // ends by raising
        py::detail::cache_completed_module(m);
        return 0;
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (py::builtin_exception& error) {
        error.set_error();
    } catch (const std::exception& error) {
        py::set_error(PyExc_ImportError, error.what());
    }
    return -1;
}
