// The annotations log: session headers, one task line per recording, a separator per session.
#include "capture_hub/capture_hub.hpp"

#include "common/interop.hpp"

namespace corvane::capture_hub {

py::object get_next_session_number(py::object self) {
    return guarded<py::object>("Error reading session number: ", py::int_(1), [&]() -> py::object {
        py::object path = self.attr("annotation_file");
        if (!path_exists(path)) return py::int_(1);
        py::object to_int = py::module_::import("builtins").attr("int");
        py::list numbers;
        for (auto piece : read_text(path).attr("split")("\n")) {
            if (!truthy(piece.attr("strip")().attr("startswith")("session"))) continue;
            // A header whose number is not an integer is reported and skipped; falling back to 1
            // would hand out a number that is already in use.
            guarded<bool>("Error reading session number: ", false, [&] {
                numbers.append(to_int(piece.attr("replace")("session", "")));
                return true;
            });
        }
        if (numbers.empty()) return py::int_(1);
        return py::module_::import("builtins").attr("max")(numbers) + py::int_(1);
    });
}

py::list read_annotations_file(py::object self, py::object session_num) {
    return guarded<py::list>("Error reading annotations: ", py::list(), [&] {
        py::list tasks;
        py::object path = self.attr("annotation_file");
        if (!path_exists(path)) return tasks;
        py::str target = session_header(session_num);
        bool in_session = false;
        for (auto raw_line : read_lines(path)) {
            py::object line = raw_line.attr("strip")();
            if (line.equal(target)) {
                in_session = true;
            } else if (truthy(line.attr("startswith")("_"))) {
                in_session = false;
            } else if (in_session && truthy(line)) {
                tasks.append(line);
            }
        }
        return tasks;
    });
}

void append_to_annotations(py::object self, const py::str& text) {
    with_file(self.attr("annotation_file"), "a+", [&](py::object file) { file.attr("write")(text); });
}

py::str task_label(const py::object& action) {
    py::str part = action.attr("split")("_")[py::int_(0)];
    if (part.equal(py::str("Jaw"))) return py::str("Jaw_Clenching");
    if (part.equal(py::str("Left")) || part.equal(py::str("Right"))) return part + py::str("_Hand");
    return part;
}

py::str normalised_label(const py::object& task) {
    py::str label = task.attr("strip")().attr("lower")();
    if (label.equal(py::str("jaw_clenching"))) return py::str("jaw");
    if (truthy(label.attr("endswith")("_hand"))) return label.attr("split")("_")[py::int_(0)];
    return label;
}

}  // namespace corvane::capture_hub
