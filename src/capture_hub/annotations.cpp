// The annotations log: session headers, one task line per recording, a separator per session.
#include "capture_hub/capture_hub.hpp"

#include "common/interop.hpp"

namespace corvane::capture_hub {

namespace {

const char* const kNumberError = "Error reading session number: ";

// The session numbers of the headers in the log. An undecodable byte spoils only its own line.
void header_numbers(py::object self, py::list& numbers) {
    py::object path = self.attr("annotation_file");
    if (!path_exists(path)) return;
    py::object to_int = py::module_::import("builtins").attr("int");
    for (auto piece : read_text(path, "replace").attr("split")("\n")) {
        if (!truthy(piece.attr("strip")().attr("startswith")("session"))) continue;
        // A header whose number is not an integer is reported and skipped; falling back to 1
        // would hand out a number that is already in use.
        guarded<bool>(kNumberError, false, [&] {
            numbers.append(to_int(piece.attr("replace")("session", "")));
            return true;
        });
    }
}

// The session numbers in the names of the recordings, "session<N>_..._raw.fif".
void recording_numbers(py::object self, py::list& numbers) {
    py::object raw_dir = self.attr("raw_dir");
    if (!path_exists(raw_dir)) return;
    for (auto name : os().attr("listdir")(raw_dir)) {
        if (!truthy(name.attr("startswith")("session")) || !truthy(name.attr("endswith")("_raw.fif"))) continue;
        py::object number = name.attr("split")("_")[py::int_(0)][slice_of(py::int_(7), py::none())];
        if (truthy(number.attr("isdecimal")())) numbers.append(py::int_(number));
    }
}

}  // namespace

py::object get_next_session_number(py::object self) {
    // One more than every session number in use: in the log's headers and in the recordings'
    // names, so a session whose header is missing or unreadable keeps its number.
    py::list numbers;
    for (auto source : {header_numbers, recording_numbers}) {
        guarded<bool>(kNumberError, false, [&] {
            source(self, numbers);
            return true;
        });
    }
    if (numbers.empty()) return py::int_(1);
    return py::module_::import("builtins").attr("max")(numbers) + py::int_(1);
}

namespace {

// The positions in `lines` of the task lines the reader collects for `session_num`.
std::vector<size_t> task_positions(const py::list& lines, const py::object& session_num) {
    py::str target = session_header(session_num);
    std::vector<size_t> positions;
    bool in_session = false;
    for (size_t k = 0; k < lines.size(); ++k) {
        py::object line = lines[k].attr("strip")();
        if (line.equal(target)) {
            in_session = true;
        } else if (truthy(line.attr("startswith")("_"))) {
            in_session = false;
        } else if (in_session && truthy(line)) {
            positions.push_back(k);
        }
    }
    return positions;
}

}  // namespace

const char* const kSeparator = "_____________________________________________";

py::list read_annotations_file(py::object self, py::object session_num) {
    return guarded<py::list>("Error reading annotations: ", py::list(), [&] {
        py::list tasks;
        py::object path = self.attr("annotation_file");
        if (!path_exists(path)) return tasks;
        py::list lines = read_lines(path);
        for (size_t k : task_positions(lines, session_num)) tasks.append(lines[k].attr("strip")());
        return tasks;
    });
}

void rewrite_annotations(py::object self, const py::list& lines) {
    auto io = py::module_::import("io");
    write_atomically(self.attr("annotation_file"), [&](py::object file) {
        py::object text = io.attr("TextIOWrapper")(file);
        text.attr("writelines")(lines);
        text.attr("flush")();
        text.attr("detach")();
    });
}

void drop_last_tasks(py::object self, const py::object& session_num, size_t count) {
    py::list lines = read_lines(self.attr("annotation_file"));
    std::vector<size_t> positions = task_positions(lines, session_num);
    std::vector<bool> dropped(lines.size(), false);
    for (size_t k = positions.size() > count ? positions.size() - count : 0; k < positions.size(); ++k) {
        dropped[positions[k]] = true;
    }
    py::list kept;
    for (size_t k = 0; k < lines.size(); ++k) {
        if (!dropped[k]) kept.append(lines[k]);
    }
    rewrite_annotations(self, kept);
}

py::set session_headers(py::object self) {
    py::set headers;
    py::object path = self.attr("annotation_file");
    if (!path_exists(path)) return headers;
    for (auto line : read_lines(path)) {
        py::object text = line.attr("strip")();
        if (truthy(text.attr("startswith")("session"))) headers.add(text);
    }
    return headers;
}

bool has_session_block(py::object self, const py::object& session_num) {
    return session_headers(self).contains(session_header(session_num));
}

bool last_block_open(py::object self) {
    py::object path = self.attr("annotation_file");
    if (!path_exists(path)) return false;
    py::list lines = read_lines(path);
    for (size_t k = lines.size(); k-- > 0;) {
        py::object text = lines[k].attr("strip")();
        if (truthy(text)) return !truthy(text.attr("startswith")("_"));
    }
    return false;
}

void append_to_annotations(py::object self, const py::str& text) {
    with_file(self.attr("annotation_file"), "a+", [&](py::object file) { file.attr("write")(text); });
}

}  // namespace corvane::capture_hub
