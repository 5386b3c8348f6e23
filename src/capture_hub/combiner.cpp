// Combination of per-task recordings into one labelled recording, kCombinedFile.
#include "capture_hub/capture_hub.hpp"

#include "common/interop.hpp"

namespace corvane::capture_hub {

namespace {

void print_found(const std::string& what, const py::list& names) {
    corvane::print("Found " + std::to_string(names.size()) + what);
    for (auto name : names) corvane::print(py::str("  - ") + py::str(name));
}

// The count lines of a pairing: labels left over, and recordings (saved by the host itself, say)
// that were joined without a label.
void report_unpaired(size_t unrecorded, const py::list& labels) {
    if (unrecorded > 0) {
        corvane::print("Warning: " + std::to_string(unrecorded) + " task labels had no recording and were not used");
    }
    size_t unlabelled = 0;
    for (auto label : labels) unlabelled += label.is_none() ? 1 : 0;
    if (unlabelled > 0) {
        corvane::print("Warning: " + std::to_string(unlabelled) + " recordings had no task label and were joined unlabelled");
    }
}

// Saves `raw` as the combined file in formatted_dir through a temporary file in the same folder, so a failed
// save never leaves a half-written combined file.
py::str save_combined(py::object self, const py::object& raw) {
    py::object output_file = path_join({self.attr("formatted_dir"), py::str(kCombinedFile)});
    corvane::replace_atomically(output_file, "_raw.fif", [&](py::object temp_path) {
        raw.attr("save")(temp_path, py::arg("overwrite") = true);
    });
    corvane::print(py::str("Saved combined file to ") + py::str(output_file));
    return output_file;
}

py::str combine_and_save(py::object self, const py::list& names, const py::list& labels) {
    JoinedRecordings joined = join_recordings(self, names, true);
    label_recordings(joined, labels);
    return save_combined(self, joined.raw);
}

// Recordings whose session has no block in the log are what an interrupted deletion left: they
// are left out, with a line counting them.
py::list with_session_block(py::object self, const py::list& names) {
    py::set headers = session_headers(self);
    py::list kept;
    for (auto name : names) {
        if (headers.contains(name.attr("split")("_")[py::int_(0)])) kept.append(name);
    }
    if (kept.size() < names.size()) {
        corvane::print("Ignoring " + std::to_string(names.size() - kept.size()) +
                       " recordings whose session has no block in the annotations file (left by an interrupted "
                       "deletion; delete_session removes them)");
    }
    return kept;
}

py::object session_number_of(const py::object& name) {
    py::object head = name.attr("split")("_")[py::int_(0)];
    return py::module_::import("builtins").attr("int")(head.attr("replace")("session", ""));
}

}  // namespace

JoinedRecordings join_recordings(py::object self, const py::list& names, bool announce) {
    auto read_raw_fif = py::module_::import("mne").attr("io").attr("read_raw_fif");
    JoinedRecordings joined;
    for (size_t k = 0; k < names.size(); ++k) {
        py::object full_path = path_join({self.attr("raw_dir"), names[k]});
        if (announce) corvane::print(py::str("Loading ") + py::str(full_path));
        // An unreadable file (empty, cut short) is left out with its label; the others keep theirs.
        py::object raw = guarded<py::object>("Skipping unreadable recording " + py::str(full_path).cast<std::string>() + ": ",
                                             py::none(), [&] { return read_raw_fif(full_path, py::arg("preload") = true); });
        if (raw.is_none()) continue;
        joined.lengths.append(py::len(raw.attr("times")));
        joined.kept.push_back(k);
        if (joined.raw) {
            joined.raw.attr("append")(raw);
        } else {
            joined.raw = raw;
        }
    }
    if (!joined.raw) raise(PyExc_ValueError, "No readable FIF files found.");
    return joined;
}

void label_recordings(const JoinedRecordings& joined, const py::list& labels) {
    double sfreq = joined.raw.attr("info")["sfreq"].cast<double>();
    py::list onsets, durations, descriptions;
    long long start = 0;
    for (size_t k = 0; k < joined.lengths.size(); ++k) {
        long long length = joined.lengths[k].cast<long long>();
        size_t position = joined.kept[k];
        if (position < labels.size() && !labels[position].is_none()) {
            onsets.append(static_cast<double>(start) / sfreq);
            durations.append(static_cast<double>(length) / sfreq);
            descriptions.append(labels[position]);
        }
        start += length;
    }
    py::object annotations = py::module_::import("mne").attr("Annotations")(
        py::arg("onset") = onsets, py::arg("duration") = durations, py::arg("description") = descriptions);
    joined.raw.attr("set_annotations")(annotations);
}

size_t pair_tasks_with_recordings(const py::list& tasks, size_t count, py::list& labels, bool normalise) {
    for (size_t k = 0; k < count; ++k) {
        if (k < tasks.size()) {
            labels.append(normalise ? py::object(normalised_label(tasks[k])) : py::object(tasks[k]));
        } else {
            labels.append(py::none());
        }
    }
    return tasks.size() > count ? tasks.size() - count : 0;
}

py::str combine_fif_files(py::object self) {
    corvane::print("\n=== Starting File Combination Process ===");
    py::object session = self.attr("current_session_num");
    py::list names = with_session_block(self, session_recordings(self.attr("raw_dir"), session));
    print_found(" raw files:", names);
    if (names.empty()) raise(PyExc_ValueError, "No FIF files found for current session.");
    py::list tasks = self.attr("_read_annotations_file")(session);
    py::list labels;
    report_unpaired(pair_tasks_with_recordings(tasks, names.size(), labels, true), labels);
    return combine_and_save(self, names, labels);
}

py::str combine_all_fif_files(py::object self) {
    corvane::print("\n=== Starting All Sessions File Combination Process ===");
    py::list listed;
    for (auto name : os().attr("listdir")(self.attr("raw_dir"))) {
        if (truthy(name.attr("endswith")("_raw.fif"))) listed.append(name);
    }
    listed.attr("sort")();
    // Names that are not "session" N "_..." fail here, before any is left out.
    for (auto name : listed) session_number_of(py::reinterpret_borrow<py::object>(name));
    listed = with_session_block(self, listed);
    print_found(" total raw files:", listed);
    if (listed.empty()) raise(PyExc_ValueError, "No FIF files found.");

    // The files join in timeline order: sessions ascending as numbers, recording order within.
    py::list keyed;
    py::dict files_per_session;
    for (auto name : listed) {
        py::object session = session_number_of(py::reinterpret_borrow<py::object>(name));
        keyed.append(recording_order(session, py::reinterpret_borrow<py::object>(name)));
        files_per_session[session] = files_per_session.attr("get")(session, 0) + py::int_(1);
    }
    py::list names = names_in_order(keyed);
    py::list labels;
    size_t unrecorded = 0;
    for (auto session : py::module_::import("builtins").attr("sorted")(files_per_session)) {
        py::list tasks = self.attr("_read_annotations_file")(session);
        unrecorded += pair_tasks_with_recordings(tasks, files_per_session[session].cast<size_t>(), labels, true);
    }
    report_unpaired(unrecorded, labels);
    return combine_and_save(self, names, labels);
}

}  // namespace corvane::capture_hub
