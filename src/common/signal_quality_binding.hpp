// The Python face of the signal-quality tests, bound by every module that offers them, so that
// each gives the same verdicts from the same code.
#pragma once

#include <pybind11/pybind11.h>

namespace corvane {

// signal_fault(window, newest_samples) -> (row, reason) or None, on a (channels, samples) window.
void bind_signal_fault(pybind11::module_& m);
// channel_quality(window) -> [(railed_share, flat)] per row of a (channels, samples) window.
void bind_channel_quality(pybind11::module_& m);

}  // namespace corvane
