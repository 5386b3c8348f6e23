// The signal check in front of the decoder: a window whose newest step has a wired channel railed
// or flat is not decoded (the tests themselves live in common/signal_quality).
#include <pybind11/numpy.h>

#include <string>

#include "common/board.hpp"
#include "common/interop.hpp"
#include "common/signal_quality.hpp"
#include "live_pilot/live_pilot.hpp"

namespace corvane::live_pilot {

namespace {

// The first faulty channel of a (channels, samples) window as (row, reason), or None.
py::object signal_fault_of(const py::object& window, py::ssize_t newest_samples) {
    if (newest_samples < 0) raise(PyExc_ValueError, "newest_samples must not be negative");
    py::object values = window;
    if (!py::isinstance<py::array_t<double>>(values) || py::reinterpret_borrow<py::array>(values).ndim() != 2) {
        values = py::module_::import("numpy").attr("asarray")(window, py::arg("dtype") = "float64");
    }
    auto array = py::reinterpret_borrow<py::array>(values);
    if (array.ndim() != 2) raise(PyExc_ValueError, "expected a (channels, samples) window");
    SampleWindow view{static_cast<const char*>(array.data()), static_cast<std::size_t>(array.shape(0)),
                      static_cast<std::size_t>(array.shape(1)), array.strides(0), array.strides(1)};
    auto fault = signal_fault(view, static_cast<std::size_t>(newest_samples));
    if (!fault) return py::none();
    return py::make_tuple(fault->channel, signal_fault_reason(fault->fault));
}

}  // namespace

void print_signal_fault(const py::object& fault) {
    py::tuple verdict = fault;
    auto row = verdict[0].cast<std::size_t>();
    std::string channel = row < kWiredElectrodes.size() ? kWiredElectrodes[row] : "channel " + std::to_string(row);
    corvane::print("Signal check: " + channel + " is " + py::str(verdict[1]).cast<std::string>() +
                   "; windows are not decoded (command S) until it is clean");
}

void bind_signal_check(py::module_& m) {
    m.def("signal_fault", &signal_fault_of, py::arg("window"), py::arg("newest_samples"),
          py::doc("The first channel of a (channels, samples) window in microvolts whose newest samples are "
                  "railed or flat, as (row, reason), or None when all are clean"));
}

}  // namespace corvane::live_pilot
