#include "common/signal_quality_binding.hpp"

#include <pybind11/numpy.h>

#include "common/interop.hpp"
#include "common/signal_quality.hpp"

namespace py = pybind11;

namespace corvane {

namespace {

// The window as float64 (channels, samples), read in place when it already is one. `keep` holds
// the converted array for as long as the view is used.
SampleWindow window_view(const py::object& window, py::object& keep) {
    keep = window;
    if (!py::isinstance<py::array_t<double>>(keep) || py::reinterpret_borrow<py::array>(keep).ndim() != 2) {
        keep = py::module_::import("numpy").attr("asarray")(window, py::arg("dtype") = "float64");
    }
    auto array = py::reinterpret_borrow<py::array>(keep);
    if (array.ndim() != 2) raise(PyExc_ValueError, "expected a (channels, samples) window");
    return SampleWindow{static_cast<const char*>(array.data()), static_cast<std::size_t>(array.shape(0)),
                        static_cast<std::size_t>(array.shape(1)), array.strides(0), array.strides(1)};
}

py::object signal_fault_of(const py::object& window, py::ssize_t newest_samples) {
    if (newest_samples < 0) raise(PyExc_ValueError, "newest_samples must not be negative");
    py::object keep;
    SampleWindow view = window_view(window, keep);
    auto fault = signal_fault(view, static_cast<std::size_t>(newest_samples));
    if (!fault) return py::none();
    return py::make_tuple(fault->channel, signal_fault_reason(fault->fault));
}

py::list channel_quality_of(const py::object& window) {
    py::object keep;
    SampleWindow view = window_view(window, keep);
    py::list rows;
    for (std::size_t c = 0; c < view.channels; ++c) {
        ChannelQuality quality = channel_quality(view, c);
        rows.append(py::make_tuple(quality.railed_share, quality.flat));
    }
    return rows;
}

}  // namespace

// pybind11's generated signature is left out of the docstring whatever the module's setting: each
// module adds its text signature itself (add_text_signatures), so the docstrings read alike.
void bind_signal_fault(py::module_& m) {
    py::options options;
    options.disable_function_signatures();
    m.def("signal_fault", &signal_fault_of, py::arg("window"), py::arg("newest_samples"),
          py::doc("The first channel of a (channels, samples) window in microvolts whose newest samples are "
                  "railed or flat, as (row, reason), or None when all are clean"));
}

void bind_channel_quality(py::module_& m) {
    py::options options;
    options.disable_function_signatures();
    m.def("channel_quality", &channel_quality_of, py::arg("window"),
          py::doc("Per row of a (channels, samples) window in microvolts: (share of samples on the rail, "
                  "whether the newest samples are flat), by the same thresholds as signal_fault"));
}

}  // namespace corvane
