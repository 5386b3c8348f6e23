#include "common/board.hpp"

namespace corvane {

py::list wired_electrodes() {
    py::list names;
    for (const char* name : kWiredElectrodes) names.append(name);
    return names;
}

py::object board_shim() { return py::module_::import("brainflow.board_shim").attr("BoardShim"); }

py::object cyton_board_id() {
    return py::module_::import("brainflow.board_shim").attr("BoardIds").attr("CYTON_BOARD").attr("value");
}

py::list wired_eeg_rows() {
    py::list rows = board_shim().attr("get_eeg_channels")(cyton_board_id());
    return rows[py::slice(py::none(), py::int_(kWiredElectrodes.size()), py::none())];
}

}  // namespace corvane
