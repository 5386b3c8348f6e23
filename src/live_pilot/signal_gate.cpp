// What the signal check in front of the decoder says: a window whose newest step has a wired
// channel railed or flat is not decoded (the tests and their binding live in common/).
#include <string>

#include "common/board.hpp"
#include "common/interop.hpp"
#include "live_pilot/live_pilot.hpp"

namespace corvane::live_pilot {

void print_signal_fault(const py::object& fault) {
    py::tuple verdict = fault;
    auto row = verdict[0].cast<std::size_t>();
    std::string channel = row < kWiredElectrodes.size() ? kWiredElectrodes[row] : "channel " + std::to_string(row);
    corvane::print("Signal check: " + channel + " is " + py::str(verdict[1]).cast<std::string>() +
                   "; windows are not decoded (command S) until it is clean");
}

}  // namespace corvane::live_pilot
