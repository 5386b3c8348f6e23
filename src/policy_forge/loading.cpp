// PolicyForge construction and loading of one labelled recording.
#include "policy_forge/policy_forge.hpp"

namespace corvane::policy_forge {

py::object global(const char* name) { return py::module_::import(kModuleName).attr(name); }

namespace {

// Cheap and free of side effects besides reading CORVANE_PATH: the live decoder builds one of
// these only to reach the feature functions.
void init(py::object self) {
    self.attr("ncomp") = 4;
    self.attr("GLOBAL_SHAPE_LENGTH") = py::none();
    self.attr("raw") = py::none();
    self.attr("events") = py::none();
    self.attr("csp_filter_objects") = py::dict();
    self.attr("csp_transformed_data") = py::dict();
    self.attr("X_train") = py::none();
    self.attr("X_test") = py::none();
    self.attr("y_train") = py::none();
    self.attr("y_test") = py::none();
    self.attr("scaler") = global("StandardScaler")();
    self.attr("task_names") = py::list();
    self.attr("base_path") = base_directory_from_environment();
    self.attr("csp_filters_path") = path_join({self.attr("base_path"), py::str(kFiltersFile)});
    self.attr("scaler_path") = path_join({self.attr("base_path"), py::str(kScalerFile)});
}

// Reads the recording, cleans it with an ICA of one component per channel (none excluded), sets
// the 10-20 montage and turns its annotations into events.
py::tuple setup_eeg(py::object self, py::object path) {
    py::object mne = global("mne");
    self.attr("raw") = mne.attr("io").attr("read_raw_fif")(path, py::arg("preload") = true);
    py::object raw = self.attr("raw");
    py::object ica = mne.attr("preprocessing").attr("ICA")(
        py::arg("n_components") = py::len(raw.attr("info")["ch_names"]), py::arg("random_state") = 42,
        py::arg("max_iter") = 1000);
    ica.attr("fit")(raw);
    ica.attr("apply")(raw);
    raw.attr("set_montage")(mne.attr("channels").attr("make_standard_montage")("standard_1020"));
    self.attr("events") = mne.attr("events_from_annotations")(raw);
    return py::make_tuple(self.attr("raw"), self.attr("events"));
}

}  // namespace

void bind_loading(py::object cls) {
    add_signed_method(cls, "__init__", "self", &init, "");
    static const std::string recording = std::string(kTrainerRecordingFolder) + "/" + kCombinedFile;
    static const std::string signature = "self, path='" + recording + "'";
    add_signed_method(cls, "setup_eeg", signature.c_str(), &setup_eeg, "", py::arg("path") = recording);
}

}  // namespace corvane::policy_forge
