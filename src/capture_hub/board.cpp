// Board connection through BrainFlow: open and stream, stop and release, enabled rows, live view.
#include "capture_hub/capture_hub.hpp"

#include "common/interop.hpp"

#include <algorithm>

namespace corvane::capture_hub {

namespace {

// The live view shows the last second of signal.
const int kLiveViewSamples = kSamplingRate;
const double kLiveViewScale = 1000000.0;

}  // namespace

py::object initialize_board(py::object self, py::object port) {
    bool opened = guarded<bool>("Error initializing board: ", false, [&] {
        if (truthy(self.attr("is_streaming"))) return true;
        auto board_shim_module = py::module_::import("brainflow.board_shim");
        py::object params = board_shim_module.attr("BrainFlowInputParams")();
        params.attr("serial_port") = port;
        // Any earlier BoardShim is replaced before the new one is prepared: a dropped BoardShim
        // releases the prepared session of its board and port, which must not be the new one.
        self.attr("board") = board_shim()(cyton_board_id(), params);
        py::object board = self.attr("board");
        board.attr("prepare_session")();
        board.attr("start_stream")();
        self.attr("is_streaming") = true;
        corvane::print("Board initialized successfully");
        return true;
    });
    if (!opened) self.attr("is_streaming") = false;
    return py::bool_(opened);
}

bool stop_stream(py::object self) {
    py::object board = self.attr("board");
    if (!truthy(board) || !truthy(self.attr("is_streaming"))) return true;
    // Stopping and releasing are separate steps: a board whose port vanished cannot be told to
    // stop, yet its session must still be released so that initialize_board opens it afresh.
    bool stopped = guarded<bool>("Error stopping board: ", false, [&] {
        board.attr("stop_stream")();
        return true;
    });
    bool released = guarded<bool>("Error releasing board: ", false, [&] {
        board.attr("release_session")();
        return true;
    });
    self.attr("board") = py::none();
    self.attr("is_streaming") = false;
    if (stopped && released) corvane::print("Board streaming stopped");
    return stopped && released;
}

py::list get_enabled_channels(py::object self) {
    py::list eeg_rows = wired_eeg_rows();
    py::list wired = wired_electrodes();
    py::object states = self.attr("channel_states");
    py::list enabled;
    size_t count = std::min<size_t>(eeg_rows.size(), wired.size());
    for (size_t i = 0; i < count; ++i) {
        if (truthy(states[wired[i]])) enabled.append(eeg_rows[i]);
    }
    return enabled;
}

py::object get_current_data(py::object self) {
    py::object board = self.attr("board");
    if (!truthy(board) || !truthy(board.attr("is_prepared")())) return py::none();
    py::object data = board.attr("get_current_board_data")(kLiveViewSamples);
    if (data.is_none() || !(py::object(data.attr("size")) > py::int_(0))) return py::none();
    py::list enabled = self.attr("get_enabled_channels")();
    if (enabled.empty()) return py::none();
    py::object rows = data[py::make_tuple(enabled, py::slice(py::none(), py::none(), py::none()))];
    return rows * py::float_(kLiveViewScale);
}

}  // namespace corvane::capture_hub
