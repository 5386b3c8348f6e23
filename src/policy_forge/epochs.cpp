// process_epochs: epochs -> one-vs-rest CSP filters -> features -> split and scaled training data,
// saving the filter dictionary and the scaler for the live decoder.
#include "policy_forge/policy_forge.hpp"

namespace corvane::policy_forge {

namespace {

// Saves `value` with joblib at `path`, replacing any earlier file only once the new one is whole.
void dump_artefact(const py::object& value, const py::object& path) {
    py::object dump = global("joblib").attr("dump");
    write_atomically(path, [&](py::object file) { dump(value, file); });
}

// Fits scaler-applied rows: each component row of each epoch is one sample of the scaler.
py::object scale_rows(py::object scaler_method, py::object features) {
    py::object shape = features.attr("shape");
    py::object rows = features.attr("reshape")(-1, shape[py::int_(-1)]);
    return scaler_method(rows).attr("reshape")(shape);
}

py::tuple process_epochs(py::object self, py::object event_ids) {
    if (!py::bool_(event_ids)) raise(PyExc_ValueError, "No event IDs provided");
    py::object np = global("np");
    py::object mne = global("mne");

    py::object all_epochs = mne.attr("Epochs")(
        self.attr("raw"), self.attr("events")[py::int_(0)], py::arg("event_id") = event_ids,
        py::arg("tmin") = -0.5, py::arg("tmax") = 5.5, py::arg("baseline") = py::make_tuple(-0.5, 1),
        py::arg("preload") = true);
    all_epochs.attr("pick_types")(py::arg("meg") = false, py::arg("eeg") = true);
    py::object X_all = all_epochs.attr("get_data")();
    py::object events_of_epochs = all_epochs.attr("events");
    py::object event_ids_all =
        events_of_epochs[py::make_tuple(py::slice(py::none(), py::none(), py::none()), -1)];

    py::object shape = X_all.attr("shape");
    auto channels = shape[py::int_(1)].cast<long>();
    self.attr("ncomp") = channels < 4 ? channels : 4;
    print("Using " + py::str(self.attr("ncomp")).cast<std::string>() + " components based on available channels");

    py::object CSP = global("CSP");
    for (py::handle id : event_ids) {
        py::object event_id = py::reinterpret_borrow<py::object>(id);
        py::object labels = event_ids_all.attr("__eq__")(event_id).attr("astype")(np.attr("int_"));
        if (np.attr("unique")(labels).attr("size").cast<long>() < 2) {
            print("Skipping event_id " + py::str(event_id).cast<std::string>() + ".");
            continue;
        }
        py::object csp = CSP(py::arg("n_components") = self.attr("ncomp"), py::arg("norm_trace") = false,
                             py::arg("transform_into") = "csp_space");
        csp.attr("fit")(X_all, labels);
        self.attr("csp_transformed_data")[event_id] = csp.attr("transform")(X_all);
        self.attr("csp_filter_objects")[event_id] = csp;
    }
    dump_artefact(self.attr("csp_filter_objects"), self.attr("csp_filters_path"));
    print("CSP filters saved successfully.");

    // Every CSP projection keeps the epochs' time axis, so its length comes from the epochs
    // themselves, whichever ids were processed.
    auto n_trials = py::len(X_all);
    py::object n_time_points = shape[py::int_(2)];
    py::object combined_features = np.attr("zeros")(py::make_tuple(n_trials, self.attr("ncomp"), n_time_points));
    py::object transformed = self.attr("csp_transformed_data");
    py::object labels_list = event_ids_all.attr("tolist")();
    py::ssize_t i = 0;
    for (py::handle label : labels_list) {
        py::object data = transformed.attr("get")(label, py::none());
        if (!data.is_none() && i < static_cast<py::ssize_t>(py::len(data))) {
            combined_features[py::int_(i)] = data[py::int_(i)];
        }
        ++i;
    }

    py::object one_hot = np.attr("zeros")(py::make_tuple(shape[py::int_(0)], py::len(event_ids)));
    py::ssize_t k = 0;
    for (py::handle id : event_ids) {
        one_hot[py::make_tuple(py::slice(py::none(), py::none(), py::none()), k)] =
            event_ids_all.attr("__eq__")(id).attr("astype")(np.attr("int_"));
        ++k;
    }
    py::object y_flattened = np.attr("argmax")(one_hot, py::arg("axis") = 1);

    py::object ftrs = self.attr("featuresarray_load")(combined_features);
    self.attr("GLOBAL_SHAPE_LENGTH") = ftrs.attr("shape")[py::int_(2)];

    py::tuple split = global("train_test_split")(ftrs, y_flattened, py::arg("test_size") = 0.2,
                                                 py::arg("random_state") = 42, py::arg("stratify") = y_flattened);
    self.attr("X_train") = split[0];
    self.attr("X_test") = split[1];
    self.attr("y_train") = split[2];
    self.attr("y_test") = split[3];

    py::object scaler = self.attr("scaler");
    self.attr("X_train") = scale_rows(scaler.attr("fit_transform"), self.attr("X_train"));
    self.attr("X_test") = scale_rows(scaler.attr("transform"), self.attr("X_test"));
    dump_artefact(self.attr("scaler"), self.attr("scaler_path"));
    print("Scaler saved successfully.");

    print("Training samples per class: " + py::str(np.attr("bincount")(self.attr("y_train"))).cast<std::string>());
    print("Testing samples per class: " + py::str(np.attr("bincount")(self.attr("y_test"))).cast<std::string>());
    return py::make_tuple(self.attr("X_train"), self.attr("X_test"), self.attr("y_train"), self.attr("y_test"));
}

}  // namespace

void bind_epochs(py::object cls) {
    py::list default_event_ids;  // one list, shared by every call that omits the argument
    for (int id : {1, 2, 3, 4, 5}) default_event_ids.append(id);
    add_signed_method(cls, "process_epochs", "self, event_ids=[1, 2, 3, 4, 5]", &process_epochs, "",
                      py::arg("event_ids") = default_event_ids);
}

}  // namespace corvane::policy_forge
