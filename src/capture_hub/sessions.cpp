// Session lifecycle: the shuffled trial sequence, handing trials out, closing the session.
#include "capture_hub/capture_hub.hpp"

#include "common/interop.hpp"
#include "common/session_numbers.hpp"

namespace corvane::capture_hub {

namespace {

const char* const kSeparator = "_____________________________________________";

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

}  // namespace

bool initialize_session(py::object self, py::object session_num) {
    // Refused before anything changes: the number names every file of the session.
    check_session_number(session_num);
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
    if (truthy(self.attr("is_recording"))) self.attr("stop_recording")();
    append_to_annotations(self, py::str(kSeparator) + py::str("\n"));
    self.attr("task_sequence") = py::list();
    self.attr("current_task_index") = 0;
}

}  // namespace corvane::capture_hub
