// The signal check in front of the decoder: a window whose newest step has a wired channel railed
// or flat is not decoded (the tests themselves live in common/signal_quality).
#include <string>

#include "common/board.hpp"
#include "common/interop.hpp"
#include "common/signal_quality_binding.hpp"
#include "live_pilot/live_pilot.hpp"

namespace corvane::live_pilot {

void print_signal_fault(const py::object& fault) {
    py::tuple verdict = fault;
    auto row = verdict[0].cast<std::size_t>();
    std::string channel = row < kWiredElectrodes.size() ? kWiredElectrodes[row] : "channel " + std::to_string(row);
    corvane::print("Signal check: " + channel + " is " + py::str(verdict[1]).cast<std::string>() +
                   "; windows are not decoded (command S) until it is clean");
}

void bind_signal_check(py::module_& m) { bind_signal_fault(m); }

}  // namespace corvane::live_pilot
