// Task recording: drain the board at the start, store the enabled rows as FIF at the stop. A trial
// that yields no file takes its task line out of the log again, so the k-th task line of a
// session stays the label of its k-th recording.
#include "capture_hub/capture_hub.hpp"

#include "common/interop.hpp"
#include "common/session_numbers.hpp"

#include <algorithm>

namespace corvane::capture_hub {

namespace {

// Instance attribute holding (byte offset, bytes) of the task line logged by the running
// recording, or None once that recording was saved or its line removed.
const char* const kTaskLine = "_task_line";
// Trials shorter than this many samples (one second) are saved with a warning.
const int kShortTrialSamples = kSamplingRate;
// Attempts at a free file name when another writer takes the chosen one first.
const int kNameAttempts = 5;

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

// raw_dir/session<N>_<seconds>_raw.fif with the later of the clock's second and one past the
// session's newest recording, or the next second whose file does not exist yet: a recording never
// replaces an earlier one, and names sort in recording order even when the clock steps back.
py::object new_recording_path(py::object self) {
    py::object raw_dir = self.attr("raw_dir");
    py::object session = self.attr("current_session_num");
    py::str prefix = session_prefix(session);
    long long seconds = py::module_::import("time").attr("time")().cast<double>();
    for (auto name : session_recordings(raw_dir, session)) {
        py::list parts = name.attr("split")("_");
        if (parts.size() > 1 && truthy(parts[1].attr("isdigit")())) seconds = std::max(seconds, parts[1].cast<py::int_>().cast<long long>() + 1);
    }
    while (true) {
        py::object path = path_join({raw_dir, prefix + py::str(std::to_string(seconds)) + py::str("_raw.fif")});
        if (!path_exists(path)) return path;
        ++seconds;
    }
}

// Prints a line of a failure path. Output that cannot be written (stdout on the full disk, say)
// must not keep the trial's label from being removed, so its error is dropped.
void tell(const py::str& line) {
    try {
        corvane::print(line);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
    }
}

py::object file_size(const py::object& path) { return os_path().attr("getsize")(path); }

// Appends the task line and remembers where it landed, so it can be taken out again.
void log_task_line(py::object self, const py::str& line) {
    py::object path = self.attr("annotation_file");
    py::object offset = path_exists(path) ? file_size(path) : py::int_(0);
    append_to_annotations(self, line);
    py::object written;
    with_file(path, "rb", [&](py::object file) {
        file.attr("seek")(offset);
        written = file.attr("read")();
    });
    self.attr(kTaskLine) = py::make_tuple(offset, written);
}

py::object pending_task_line(py::object self) { return py::getattr(self, kTaskLine, py::none()); }

// Takes the running recording's task line out of the log, printing why; `reason` ends "Task label
// X removed: <reason>". The line is normally the log's last: the file is then cut short in place,
// which needs no free space; otherwise the log is rewritten through a temporary file.
void remove_task_line(py::object self, const std::string& reason) {
    py::object pending = pending_task_line(self);
    if (pending.is_none()) return;
    py::object offset = pending[py::int_(0)];
    py::bytes line = pending[py::int_(1)];
    py::object path = self.attr("annotation_file");
    py::bytes content;
    if (path_exists(path)) {
        with_file(path, "rb", [&](py::object file) { content = file.attr("read")(); });
    }
    py::object end = offset + py::int_(py::len(line));
    py::str label = py::str(line.attr("decode")("utf-8", "replace")).attr("strip")();
    if (!py::object(content[slice_of(offset, end)]).equal(line)) {
        // The log was rewritten meanwhile (a session deleted, say): the line is no longer there.
        self.attr(kTaskLine) = py::none();
        tell(py::str("Task label ") + label + py::str(" was not found in the annotations file to remove"));
        return;
    }
    if (end.equal(py::int_(py::len(content)))) {
        os().attr("truncate")(path, offset);
    } else {
        py::object kept = content[slice_of(py::none(), offset)] + content[slice_of(end, py::none())];
        write_atomically(path, [&](py::object file) { file.attr("write")(kept); });
    }
    self.attr(kTaskLine) = py::none();
    tell(py::str("Task label ") + label + py::str(" removed: ") + py::str(reason));
}

// remove_task_line where the trial has no file. A label that cannot be removed would be paired
// with the next trial's file, so the session is ended and a RuntimeError says so, chained to the
// removal's error.
void remove_task_line_or_stop(py::object self, const std::string& reason) {
    try {
        remove_task_line(self, reason);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        py::object pending = pending_task_line(self);
        std::string label = pending.is_none() ? std::string("of the trial")
                                              : py::str(py::bytes(pending[py::int_(1)]).attr("decode")("utf-8", "replace"))
                                                    .attr("strip")()
                                                    .cast<std::string>();
        self.attr(kTaskLine) = py::none();
        abandon_session(self);
        std::string text = "Task label " + label + " could not be removed after " + reason + " (" +
                           exception_text(error) +
                           "): the session was stopped so that no later trial is mislabelled";
        py::raise_from(error, PyExc_RuntimeError, text.c_str());
        throw py::error_already_set();
    }
}

}  // namespace

bool start_recording(py::object self) {
    py::object board = self.attr("board");
    if (!truthy(board) || !truthy(self.attr("is_streaming"))) return false;
    DirectoryHold hold(self);
    // Starting over abandons the running trial, which will never have a file.
    if (truthy(self.attr("is_recording"))) {
        self.attr("is_recording") = false;
        remove_task_line_or_stop(self, "the recording was started again");
    }
    self.attr("is_recording") = true;
    self.attr("current_eeg_data") = py::list();
    self.attr(kTaskLine) = py::none();
    board.attr("get_board_data")();
    py::object index = self.attr("current_task_index");
    if (index > py::int_(0)) {
        py::object trial = self.attr("task_sequence")[index - py::int_(1)];
        log_task_line(self, task_label(trial[py::int_(0)]) + py::str("\n"));
    }
    return true;
}

namespace {

void stop_and_save(py::object self) {
    py::object data, eeg_data;
    const char* no_file = nullptr;
    try {
        data = self.attr("board").attr("get_board_data")();
        py::list enabled = self.attr("get_enabled_channels")();
        if (enabled.empty()) {
            tell("No channels enabled, skipping save");
            no_file = "no channels were enabled";
        } else {
            eeg_data = data[py::make_tuple(enabled, whole())];
            long long samples = eeg_data.attr("shape")[py::int_(1)].cast<long long>();
            if (samples == 0) {
                tell("No samples recorded, skipping save");
                no_file = "the board delivered no samples";
            } else if (samples < kShortTrialSamples) {
                corvane::print("Warning: only " + std::to_string(samples) +
                               " samples recorded, less than one second; saving them anyway");
            }
        }
    } catch (py::error_already_set&) {
        if (data) self.attr("current_eeg_data") = data;
        remove_task_line_or_stop(self, "the recording could not be read from the board");
        throw;
    }
    if (no_file != nullptr) {
        remove_task_line_or_stop(self, no_file);
        return;
    }
    try {
        self.attr("save_to_fif")(eeg_data);
    } catch (py::error_already_set& error) {
        // The samples stay with the host, which may keep them elsewhere or save them again.
        self.attr("current_eeg_data") = eeg_data;
        tell("Recording not saved, its samples are kept in current_eeg_data: " + exception_text(error));
        remove_task_line_or_stop(self, "the recording could not be saved");
        throw;
    }
    self.attr(kTaskLine) = py::none();
}

}  // namespace

void stop_recording(py::object self) {
    if (!truthy(self.attr("is_recording"))) return;
    self.attr("is_recording") = false;
    try {
        stop_and_save(self);
    } catch (...) {
        release_if_idle(self);
        throw;
    }
    release_if_idle(self);
}

py::object save_to_fif(py::object self, py::object eeg_data) {
    check_session_number(self.attr("current_session_num"));
    DirectoryHold hold(self);
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
    // Written under a temporary name and given its own name only when complete, never over an
    // existing file: a crash mid-write leaves no truncated recording behind. The temporary name
    // ends in "_eeg.fif" (a raw-file ending MNE accepts), so no selection of "_raw.fif" names
    // ever takes up what a crash left.
    for (int attempt = 1;; ++attempt) {
        try {
            replace_atomically(
                new_recording_path(self), "_eeg.fif",
                [&](py::object temp_path) { raw.attr("save")(temp_path, py::arg("overwrite") = true); }, false);
            break;
        } catch (py::error_already_set& error) {
            if (attempt >= kNameAttempts || !error.matches(PyExc_FileExistsError)) throw;
        }
    }
    // The file is in place: a line that cannot be printed does not make the save a failure.
    tell(py::str("Saved data with channels: ") + py::repr(ch_names));
    return raw;
}

}  // namespace corvane::capture_hub
