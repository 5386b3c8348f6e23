// Session lifecycle: the shuffled trial sequence, handing trials out, closing the session.
#include "capture_hub/capture_hub.hpp"

#include "common/interop.hpp"
#include "common/session_numbers.hpp"

#include <tuple>

namespace corvane::capture_hub {

namespace {

// `first, second = value`, with the interpreter's own unpacking errors.
std::pair<py::object, py::object> unpack_pair(const py::object& value) {
    if (!py::isinstance<py::iterable>(value)) {
        raise(PyExc_TypeError, "cannot unpack non-iterable " +
                                   py::str(py::type::of(value).attr("__name__")).cast<std::string>() + " object");
    }
    py::list items(value);
    if (items.size() < 2) {
        raise(PyExc_ValueError, "not enough values to unpack (expected 2, got " + std::to_string(items.size()) + ")");
    }
    if (items.size() > 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    return {items[0], items[1]};
}

// A block left without separator by a recorder that ended without stop_session gets one, so
// the reader does not run on into the new block.
void close_abandoned_block(py::object self) {
    if (!last_block_open(self)) return;
    append_to_annotations(self, py::str(kSeparator) + py::str("\n"));
    corvane::print("Closed the last session block of the annotations file, left open by a recorder that ended "
                   "without stopping its session");
}

// Temporary files a crashed writer left: recordings (".session..._eeg.fif") and logs
// (".annotations.txt....tmp"). Only the lock's holder writes them, so none is in use.
void remove_crash_leftovers(py::object self) {
    size_t removed = 0;
    const std::string log_start = std::string(".") + kAnnotationsFile + ".";
    for (auto [folder, start, end] : {std::tuple{"raw_dir", ".session", "_eeg.fif"},
                                      std::tuple{"data_dir", log_start.c_str(), ".tmp"}}) {
        py::object directory = self.attr(folder);
        for (auto name : os().attr("listdir")(directory)) {
            if (truthy(name.attr("startswith")(start)) && truthy(name.attr("endswith")(end))) {
                os().attr("remove")(path_join({directory, py::reinterpret_borrow<py::object>(name)}));
                ++removed;
            }
        }
    }
    if (removed > 0) corvane::print("Removed " + std::to_string(removed) + " temporary files left by a crash");
}

// A resumed session's k-th task line must stay the label of its k-th recording. A trial cut
// short by a crash leaves its line without a file: such lines are the last of the session and
// are taken out. Recordings without a line cannot be told apart, so the session is refused.
void match_labels_to_recordings(py::object self, const py::object& session_num) {
    size_t labels = py::len(read_annotations_file(self, session_num));
    size_t files = session_recordings(self.attr("raw_dir"), session_num).size();
    std::string session = py::str(session_num).cast<std::string>();
    if (labels > files) {
        drop_last_tasks(self, session_num, labels - files);
        corvane::print("Session " + session + ": removed " + std::to_string(labels - files) +
                       " task labels without a recording (a trial cut short by a crash)");
    } else if (labels < files) {
        raise(PyExc_ValueError, "Session " + session + " has " + std::to_string(files) + " recordings but " +
                                    std::to_string(labels) +
                                    " task labels, so new trials would be paired with the wrong recordings; "
                                    "record into a new session (next_session_number), or delete_session(" +
                                    session + ") first");
    }
}

// next_session_number past every number in use and past the session just ended; when the log
// cannot be read, the ended session's number still counts.
void update_next_session_number(py::object self) {
    py::list candidates;
    candidates.append(self.attr("_get_next_session_number")());
    auto is_number = [](const py::object& value) {
        return py::isinstance<py::int_>(value) && !py::isinstance<py::bool_>(value);
    };
    py::object next = self.attr("next_session_number");
    if (is_number(next)) candidates.append(next);
    py::object current = self.attr("current_session_num");
    if (is_number(current)) candidates.append(current + py::int_(1));
    self.attr("next_session_number") = py::module_::import("builtins").attr("max")(candidates);
}

// What ends a session once its block is closed: no trials left, the lock released, and its
// number counted as used.
void end_session(py::object self) {
    self.attr("task_sequence") = py::list();
    self.attr("current_task_index") = 0;
    release_directory(self);
    update_next_session_number(self);
}

}  // namespace

void abandon_session(py::object self) {
    guarded<bool>("Error closing the session: ", false, [&] {
        append_to_annotations(self, py::str(kSeparator) + py::str("\n"));
        return true;
    });
    end_session(self);
}

bool initialize_session(py::object self, py::object session_num) {
    // Refused before anything changes: the number names every file of the session.
    check_session_number(session_num);
    bool continuing = session_open(self);
    DirectoryHold hold(self);
    if (!continuing) {
        remove_crash_leftovers(self);
        close_abandoned_block(self);
    }
    match_labels_to_recordings(self, session_num);
    self.attr("current_session_num") = session_num;
    self.attr("task_sequence") = py::list();
    self.attr("current_task_index") = 0;
    py::list sequence = self.attr("task_sequence");
    for (auto entry : self.attr("task_names").attr("items")()) {
        py::object action = entry.cast<py::tuple>()[0];
        auto [instruction, count] = unpack_pair(entry.cast<py::tuple>()[1]);
        py::list trial;
        trial.append(py::make_tuple(action, instruction));
        // List repetition: count must be an integer; 0 or less adds nothing.
        sequence.attr("extend")(trial * count);
    }
    py::module_::import("random").attr("shuffle")(sequence);
    append_to_annotations(self, py::str("\n") + session_header(session_num) + py::str("\n"));
    mark_session_open(self);
    return true;
}

py::object get_next_task(py::object self) {
    py::object index = self.attr("current_task_index");
    py::object sequence = self.attr("task_sequence");
    if (!(index < py::int_(py::len(sequence)))) return py::none();
    py::object trial = sequence[index];
    self.attr("current_task_index") = index + py::int_(1);
    return trial;
}

void stop_session(py::object self) {
    DirectoryHold hold(self);
    if (truthy(self.attr("is_recording"))) self.attr("stop_recording")();
    append_to_annotations(self, py::str(kSeparator) + py::str("\n"));
    end_session(self);
}

}  // namespace corvane::capture_hub
