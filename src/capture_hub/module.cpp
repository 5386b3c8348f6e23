// capture_hub: the recording and session manager, CaptureHub.
#include <pybind11/pybind11.h>

#include "capture_hub/capture_hub.hpp"
#include "common/interop.hpp"
#include "common/signal_quality_binding.hpp"
#include "common/signatures.hpp"

namespace py = pybind11;
using namespace corvane;
using namespace corvane::capture_hub;

namespace {

void import_dependencies() {
    py::module_::import("numpy");
    py::module_::import("mne");
    py::module_::import("brainflow.board_shim");
    py::module_::import("os");
    py::module_::import("time");
    py::module_::import("random");
    py::module_::import("mne.decoding");
    py::module_::import("requests");
    py::module_::import("base64");
}

// Members in their published order.
void define_members(py::object cls) {
    add_method(cls, "__init__", &init);
    add_method(cls, "_get_next_session_number", &get_next_session_number,
               py::doc("Determine the next available session number from annotations file"));
    add_method(cls, "initialize_board", &initialize_board, py::arg("port") = kDefaultSerialPort, py::doc("Initialize OpenBCI board"));
    add_method(cls, "stop_stream", &stop_stream, py::doc("Stop board streaming"));
    add_method(cls, "initialize_session", &initialize_session, py::arg("session_num"),
               py::doc("Initialize a new recording session"));
    add_method(cls, "get_next_task", &get_next_task, py::doc("Get next task in sequence"));
    add_method(cls, "start_recording", &start_recording, py::doc("Start recording current task"));
    add_method(cls, "stop_recording", &stop_recording, py::doc("Stop recording and save data"));
    add_method(cls, "save_to_fif", &save_to_fif, py::arg("eeg_data"), py::doc("Save EEG data as FIF file"));
    add_method(cls, "_read_annotations_file", &read_annotations_file, py::arg("session_num"),
               py::doc("Read tasks from annotations file for a specific session"));
    add_method(cls, "analyze_session", &analyze_session, py::arg("session_num"), py::doc("Analyze recorded session data"));
    add_method(cls, "set_channel_state", &set_channel_state, py::arg("channel_name"), py::arg("enabled"),
               py::doc("Enable/disable a channel"));
    add_method(cls, "get_enabled_channels", &get_enabled_channels, py::doc("Get list of enabled channel indices"));
    add_method(cls, "get_channel_positions", &get_channel_positions,
               py::doc("Get channel positions in 2D for topographic plotting"));
    py::set valid = valid_channels();
    cls.attr("VALID_CHANNELS") = valid;
    // The static method checks against the class attribute as it stands when called.
    add_static_method(
        cls, "validate_channel_name",
        [cls](py::object name) { return validate_channel_name(cls.attr("VALID_CHANNELS"), name); }, py::arg("name"),
        py::doc("Validate if a channel name follows 10-20 system naming convention\n"
                "Returns: (bool, str) - (is_valid, error_message)"));
    add_method(cls, "get_current_data", &get_current_data, py::doc("Get current data for plotting"));
    add_method(cls, "stop_session", &stop_session, py::doc("Stop current session"));
    add_method(cls, "combine_fif_files", &combine_fif_files, py::doc("Combine all FIF files into one in formatted_data"));
    add_method(cls, "update_action_names", &update_action_names, py::arg("new_actions"),
               py::doc("Update the action names and their configurations"));
    add_method(cls, "delete_session", &delete_session, py::arg("session_num"),
               py::doc("Delete a specific session and its files"));
    add_method(cls, "delete_all_sessions", &delete_all_sessions, py::doc("Delete all session files and reset"));
    add_method(cls, "combine_all_fif_files", &combine_all_fif_files,
               py::doc("Combine FIF files from all sessions into one"));
    add_method(cls, "save_session_data", &save_session_data, py::arg("session_num"), py::arg("data"),
               py::doc("Save session data to remote storage"));
    add_method(cls, "load_session_data", &load_session_data, py::arg("session_num"),
               py::doc("Load session data from remote storage"));
    add_method(cls, "get_sample_files", &get_sample_files, py::doc("Get list of available sample data files"));
    add_method(cls, "update_channels", &update_channels, py::arg("channel_names"),
               py::doc("Update the active channel configuration"));
}

}  // namespace

PYBIND11_MODULE(capture_hub, m) {
    py::options options;
    options.disable_function_signatures();
    import_dependencies();
    py::object cls = make_class("capture_hub", "CaptureHub", py::make_tuple(py::module_::import("builtins").attr("object")));
    define_members(cls);
    m.attr("CaptureHub") = cls;
    // The signal-quality tests of live_pilot's gate, for a host that shows a board's channels.
    bind_signal_fault(m);
    bind_channel_quality(m);
    add_text_signatures(m);
}
