// Session analysis: task epochs of a session and one-vs-rest CSP patterns per class.
#include "capture_hub/capture_hub.hpp"

#include "common/interop.hpp"
#include "common/session_numbers.hpp"

namespace corvane::capture_hub {

namespace {

const double kEpochSeconds = 5.0;

// Task labels of the sample annotations: the "session1" block, lower-cased and shortened; the
// first separator ends the reading wherever it stands.
py::list sample_tasks(py::object self) {
    py::object path = path_join({self.attr("sample_dir"), py::str(kAnnotationsFile)});
    if (!path_exists(path)) raise(PyExc_ValueError, "Sample annotations file not found");
    py::list tasks;
    bool in_session = false;
    for (auto raw_line : read_lines(path)) {
        py::object line = raw_line.attr("strip")();
        if (line.equal(py::str("session1"))) {
            in_session = true;
        } else if (truthy(line.attr("startswith")("_"))) {
            break;
        } else if (in_session && truthy(line)) {
            tasks.append(normalised_label(line));
        }
    }
    return tasks;
}

py::object read_fif(const py::object& path) {
    return py::module_::import("mne").attr("io").attr("read_raw_fif")(path, py::arg("preload") = true);
}

// The session's combined file when there is one; otherwise its per-task recordings joined, each
// labelled with its task (k-th task line <-> k-th recording), since they carry no annotations.
py::object recorded_session(py::object self, const py::object& session_num, const py::list& tasks) {
    py::object combined = path_join({self.attr("formatted_dir"), session_header(session_num) + py::str("_combined.fif")});
    if (path_exists(combined)) return read_fif(combined);
    py::list names = session_recordings(self.attr("raw_dir"), session_num);
    if (names.empty()) raise(PyExc_ValueError, "No recording files found for this session");
    JoinedRecordings joined = join_recordings(self, names, false);
    py::list labels;
    pair_tasks_with_recordings(tasks, names.size(), labels, false);
    label_recordings(joined, labels);
    return joined.raw;
}

py::list csp_patterns(const py::object& epochs, const py::object& X, const py::object& y, const py::list& class_names) {
    auto np = py::module_::import("numpy");
    py::int_ n(py::len(epochs.attr("ch_names")));
    py::object csp_class = py::module_::import("mne.decoding").attr("CSP");
    py::object sum = py::module_::import("builtins").attr("sum");
    py::list patterns;
    for (size_t k = 0; k < class_names.size(); ++k) {
        py::object binary_y = py::object(y.attr("__eq__")(py::int_(k))).attr("astype")(py::module_::import("builtins").attr("int"));
        if (sum(binary_y) < py::int_(2)) {
            corvane::print(py::str("Skipping ") + py::str(class_names[k]) + py::str(" - insufficient data"));
            patterns.append(np.attr("zeros")(py::make_tuple(n, n)));
            continue;
        }
        py::object csp = csp_class(py::arg("n_components") = n, py::arg("reg") = py::none(), py::arg("log") = true,
                                   py::arg("norm_trace") = false);
        csp.attr("fit")(X, binary_y);
        patterns.append(csp.attr("patterns_"));
    }
    return patterns;
}

// The class of the task an event's annotation names: the class of that name, else the class
// whose short label it is ("left" for Left_Hand), else the class at the code's 1-based position.
// Going by the name keeps a class that has no events (a recording never saved, say) from
// shifting the classes of all later codes.
py::object class_of_event(const py::object& code, const py::object& description, const py::list& class_names) {
    for (size_t k = 0; k < class_names.size(); ++k) {
        if (py::object(class_names[k]).equal(description)) return py::int_(k);
    }
    if (py::isinstance<py::str>(description)) {
        py::str short_label = normalised_label(description);
        for (size_t k = 0; k < class_names.size(); ++k) {
            if (py::isinstance<py::str>(class_names[k]) && normalised_label(class_names[k]).equal(short_label)) {
                return py::int_(k);
            }
        }
    }
    for (size_t k = 0; k < class_names.size(); ++k) {
        if (code.equal(py::int_(k + 1))) return py::int_(k);
    }
    return py::none();
}

// One class index per epoch, as floats; an epoch whose event matches no class keeps 0.
py::object epoch_labels(const py::object& epochs, const py::object& event_id, const py::list& class_names) {
    py::dict class_of_code;
    for (auto item : py::dict(event_id)) {
        class_of_code[item.second] = class_of_event(py::reinterpret_borrow<py::object>(item.second),
                                                    py::reinterpret_borrow<py::object>(item.first), class_names);
    }
    py::object codes = epochs.attr("events")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), -1)];
    py::object y = py::module_::import("numpy").attr("zeros")(py::len(epochs.attr("events")));
    for (size_t i = 0; i < py::len(codes); ++i) {
        py::object k = class_of_code.attr("get")(codes[py::int_(i)].attr("item")());
        if (!k.is_none()) y[py::int_(i)] = k;
    }
    return y;
}

py::tuple analyze(py::object self, py::object session_num) {
    bool sample = session_num.equal(py::int_(0));
    if (!sample) check_session_number(session_num);
    py::list tasks = sample ? sample_tasks(self) : py::list(self.attr("_read_annotations_file")(session_num));
    if (tasks.empty()) raise(PyExc_ValueError, "No tasks found for this session");
    corvane::print(py::str("\nTasks from annotations file for session ") + py::str(session_num) + py::str(":"));
    corvane::print(tasks);

    if (sample) {
        py::object path = path_join({self.attr("sample_dir"), py::str("formatted"), py::str(kCombinedFile)});
        if (!path_exists(path)) raise(PyExc_ValueError, std::string("Sample data file (") + kCombinedFile + ") not found");
        self.attr("raw_data") = read_fif(path);
    } else {
        self.attr("raw_data") = recorded_session(self, session_num, tasks);
    }
    py::object raw = self.attr("raw_data");

    auto mne = py::module_::import("mne");
    py::tuple events = mne.attr("events_from_annotations")(raw);
    py::object epochs = mne.attr("Epochs")(raw, events[0], py::arg("event_id") = events[1], py::arg("tmin") = 0.0,
                                           py::arg("tmax") = kEpochSeconds, py::arg("baseline") = py::none(),
                                           py::arg("preload") = true);
    py::object X = epochs.attr("get_data")();

    py::list class_names = py::module_::import("builtins").attr("sorted")(py::set(tasks));
    py::dict class_index, event_codes;
    for (size_t k = 0; k < class_names.size(); ++k) {
        class_index[class_names[k]] = k;
        event_codes[class_names[k]] = k + 1;
    }
    corvane::print("Event mapping:", class_index);
    corvane::print("Event IDs:", event_codes);

    py::object y = epoch_labels(epochs, events[1], class_names);
    return py::make_tuple(csp_patterns(epochs, X, y, class_names), class_names);
}

}  // namespace

py::tuple analyze_session(py::object self, py::object session_num) {
    try {
        return analyze(self, session_num);
    } catch (py::error_already_set& error) {
        if (error.matches(PyExc_Exception)) corvane::print("Analysis error details: " + exception_text(error));
        throw;
    } catch (py::builtin_exception& error) {
        corvane::print(std::string("Analysis error details: ") + error.what());
        throw;
    }
}

}  // namespace corvane::capture_hub
