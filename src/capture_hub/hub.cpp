// Construction of a CaptureHub and the small helpers every part of it uses.
#include "capture_hub/capture_hub.hpp"

#include "common/interop.hpp"

namespace corvane::capture_hub {

namespace {

py::dict default_channel_states() {
    py::dict states;
    for (auto name : wired_electrodes()) states[name] = true;
    return states;
}

// Action name -> [instruction, repetitions per session]; new lists on every call.
py::dict default_task_names() {
    py::dict tasks;
    for (const auto& action : kDefaultActions) {
        py::list entry;
        entry.append(action.instruction);
        entry.append(21);
        tasks[action.name] = entry;
    }
    return tasks;
}

}  // namespace

py::module_ os() { return py::module_::import("os"); }

py::object os_path() { return os().attr("path"); }

bool path_exists(const py::object& path) { return truthy(os_path().attr("exists")(path)); }

py::str session_header(const py::object& session_num) { return py::str("session") + py::str(session_num); }

py::str session_prefix(const py::object& session_num) { return session_header(session_num) + py::str("_"); }

py::tuple recording_order(const py::object& session, const py::object& name) {
    py::list parts = name.attr("split")("_");
    bool numbered = parts.size() > 1 && truthy(parts[1].attr("isdigit")());
    py::object seconds = numbered ? py::object(py::int_(parts[1])) : py::object(py::int_(0));
    return py::make_tuple(session, numbered ? 0 : 1, seconds, name);
}

py::list session_recordings(const py::object& directory, const py::object& session_num) {
    py::str prefix = session_prefix(session_num);
    py::list keyed;
    for (auto name : os().attr("listdir")(directory)) {
        if (truthy(name.attr("__contains__")(prefix)) && truthy(name.attr("endswith")("_raw.fif"))) {
            keyed.append(recording_order(py::int_(0), py::reinterpret_borrow<py::object>(name)));
        }
    }
    return names_in_order(keyed);
}

py::list names_in_order(const py::list& keyed) {
    py::list names;
    for (auto entry : py::module_::import("builtins").attr("sorted")(keyed)) names.append(entry.cast<py::tuple>()[3]);
    return names;
}

py::object read_text(const py::object& path, const char* errors) {
    py::object content;
    // open(path, "r", errors=errors): the same encoding and newline handling as text mode.
    with_file(path, "rb", [&](py::object file) {
        py::object text = py::module_::import("io").attr("TextIOWrapper")(file, py::arg("errors") = errors);
        content = text.attr("read")();
        text.attr("detach")();
    });
    return content;
}

py::list read_lines(const py::object& path) {
    py::list lines;
    with_file(path, "r", [&](py::object file) { lines = file.attr("readlines")(); });
    return lines;
}

void init(py::object self) {
    self.attr("board") = py::none();
    self.attr("is_recording") = false;
    self.attr("is_streaming") = false;
    self.attr("current_session_num") = py::none();

    py::object module_file = py::module_::import("capture_hub").attr("__file__");
    corvane::print(os_path().attr("dirname")(module_file));

    py::object base = base_directory_from_environment();
    py::object data_dir = path_join({base, py::str("data")});
    self.attr("data_dir") = data_dir;
    self.attr("raw_dir") = path_join({data_dir, py::str("raw")});
    self.attr("processed_dir") = path_join({data_dir, py::str("processed")});
    self.attr("formatted_dir") = path_join({data_dir, py::str("formatted")});
    self.attr("annotation_file") = path_join({data_dir, py::str(kAnnotationsFile)});
    py::object sample_dir = path_join({base, py::str("sample_data")});
    self.attr("sample_dir") = sample_dir;
    self.attr("formatted_sample_dir") = path_join({sample_dir, py::str("formatted")});

    for (const char* directory : {"data_dir", "raw_dir", "processed_dir", "formatted_dir"}) {
        os().attr("makedirs")(self.attr(directory), py::arg("exist_ok") = true);
    }
    py::object annotation_file = self.attr("annotation_file");
    if (!path_exists(annotation_file)) {
        with_file(annotation_file, "w", [](py::object file) { file.attr("write")(""); });
    }

    py::dict channel_states = default_channel_states();
    self.attr("channel_states") = channel_states;
    self.attr("channel_names") = py::list(channel_states.attr("keys")());
    self.attr("task_names") = default_task_names();
    self.attr("task_sequence") = py::list();
    self.attr("current_task_index") = 0;
    self.attr("break_duration") = 3;
    // Seconds per task in the all-sessions timeline; the host may change it.
    self.attr("task_duration") = 5;

    // The board's port can be set for the deployment; the method's own default stays "COM9".
    self.attr("initialize_board")(serial_port());
    self.attr("next_session_number") = self.attr("_get_next_session_number")();
    self.attr("raw_data") = py::none();
    self.attr("api_url") = api_url();
}

}  // namespace corvane::capture_hub
