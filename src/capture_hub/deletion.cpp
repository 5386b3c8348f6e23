// Deleting one session (its files and its block in the annotations log) or every session.
#include "capture_hub/capture_hub.hpp"

#include "common/interop.hpp"
#include "common/session_numbers.hpp"

namespace corvane::capture_hub {

namespace {

// The lines of the log without the block of `session_num`: its header, task lines and separator.
// A block ends at its separator, or at the next session header when it has none (its session
// was never stopped); the blank line written before that header stays with it.
py::list lines_without_session(const py::list& lines, const py::object& session_num) {
    py::str header = session_header(session_num);
    py::list kept, blanks;
    bool in_session = false;
    for (auto line : lines) {
        py::object text = line.attr("strip")();
        if (text.equal(header)) {
            in_session = true;
            blanks = py::list();
        } else if (!in_session) {
            kept.append(line);
        } else if (truthy(text.attr("startswith")("_"))) {
            in_session = false;
        } else if (truthy(text.attr("startswith")("session"))) {
            in_session = false;
            for (auto blank : blanks) kept.append(blank);
            kept.append(line);
        } else if (truthy(text)) {
            blanks = py::list();
        } else {
            blanks.append(line);
        }
    }
    return kept;
}

}  // namespace

void delete_session(py::object self, py::object session_num) {
    check_session_number(session_num);
    DirectoryHold hold(self);
    // The block goes first: files left by a crash in between have no block, and combining leaves
    // them out, so no step of a deletion leaves the session mislabelled. Deleting the number
    // again removes them.
    py::object annotation_file = self.attr("annotation_file");
    if (path_exists(annotation_file)) {
        rewrite_annotations(self, lines_without_session(read_lines(annotation_file), session_num));
    }
    py::str prefix = session_prefix(session_num);
    for (const char* folder : {"raw_dir", "processed_dir", "formatted_dir"}) {
        py::object directory = self.attr(folder);
        for (auto name : os().attr("listdir")(directory)) {
            if (truthy(name.attr("__contains__")(prefix))) {
                os().attr("remove")(path_join({directory, py::reinterpret_borrow<py::object>(name)}));
            }
        }
    }
}

void delete_all_sessions(py::object self) {
    DirectoryHold hold(self);
    for (const char* folder : {"raw_dir", "processed_dir", "formatted_dir"}) {
        py::object directory = self.attr(folder);
        for (auto name : os().attr("listdir")(directory)) {
            py::object file_path = path_join({directory, py::reinterpret_borrow<py::object>(name)});
            guarded<bool>("Error deleting " + py::str(file_path).cast<std::string>() + ": ", false, [&] {
                os().attr("remove")(file_path);
                return true;
            });
        }
    }
    with_file(self.attr("annotation_file"), "w", [](py::object file) { file.attr("write")(""); });
    self.attr("next_session_number") = 1;
    self.attr("current_session_num") = py::none();
}

}  // namespace corvane::capture_hub
