// Task recording: drain the board at the start, store the enabled rows as FIF at the stop.
#include "capture_hub/capture_hub.hpp"

#include "common/interop.hpp"

namespace corvane::capture_hub {

namespace {

// The electrodes wired to the enabled rows, in board order.
py::list enabled_electrode_names(py::object self) {
    py::list eeg_rows = wired_eeg_rows();
    py::list wired = wired_electrodes();
    py::list names;
    for (auto row : self.attr("get_enabled_channels")()) {
        for (size_t i = 0; i < wired.size() && i < eeg_rows.size(); ++i) {
            if (py::object(eeg_rows[i]).equal(py::reinterpret_borrow<py::object>(row))) names.append(wired[i]);
        }
    }
    return names;
}

// raw_dir/session<N>_<seconds>_raw.fif for the current second, or the next second whose file
// does not exist yet: a recording never replaces an earlier one and names still sort in order.
py::object new_recording_path(py::object self) {
    py::object raw_dir = self.attr("raw_dir");
    py::str prefix = session_prefix(self.attr("current_session_num"));
    long long seconds = py::module_::import("time").attr("time")().cast<double>();
    while (true) {
        py::object path = path_join({raw_dir, prefix + py::str(std::to_string(seconds)) + py::str("_raw.fif")});
        if (!path_exists(path)) return path;
        ++seconds;
    }
}

}  // namespace

bool start_recording(py::object self) {
    py::object board = self.attr("board");
    if (!truthy(board) || !truthy(self.attr("is_streaming"))) return false;
    self.attr("is_recording") = true;
    self.attr("current_eeg_data") = py::list();
    board.attr("get_board_data")();
    py::object index = self.attr("current_task_index");
    if (index > py::int_(0)) {
        py::object trial = self.attr("task_sequence")[index - py::int_(1)];
        append_to_annotations(self, task_label(trial[py::int_(0)]) + py::str("\n"));
    }
    return true;
}

void stop_recording(py::object self) {
    if (!truthy(self.attr("is_recording"))) return;
    self.attr("is_recording") = false;
    py::object data = self.attr("board").attr("get_board_data")();
    py::list enabled = self.attr("get_enabled_channels")();
    if (enabled.empty()) {
        corvane::print("No channels enabled, skipping save");
        return;
    }
    py::object eeg_data = data[py::make_tuple(enabled, py::slice(py::none(), py::none(), py::none()))];
    self.attr("save_to_fif")(eeg_data);
}

py::object save_to_fif(py::object self, py::object eeg_data) {
    py::list ch_names = enabled_electrode_names(self);
    py::object rows = eeg_data.attr("shape")[py::int_(0)];
    if (!rows.equal(py::int_(ch_names.size()))) {
        raise(PyExc_ValueError, "Channel count mismatch: " + std::to_string(ch_names.size()) + " names but " +
                                    py::str(rows).cast<std::string>() + " channels in data");
    }
    auto mne = py::module_::import("mne");
    py::object sfreq = board_shim().attr("get_sampling_rate")(cyton_board_id());
    py::list ch_types;
    for (size_t i = 0; i < ch_names.size(); ++i) ch_types.append("eeg");
    py::object info = mne.attr("create_info")(py::arg("ch_names") = ch_names, py::arg("sfreq") = sfreq,
                                              py::arg("ch_types") = ch_types);
    py::object raw = mne.attr("io").attr("RawArray")(eeg_data, info);
    raw.attr("set_montage")(mne.attr("channels").attr("make_standard_montage")("standard_1020"));
    raw.attr("save")(new_recording_path(self), py::arg("overwrite") = true);
    corvane::print(py::str("Saved data with channels: ") + py::repr(ch_names));
    return raw;
}

}  // namespace corvane::capture_hub
