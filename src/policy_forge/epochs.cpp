// process_epochs: epochs -> one-vs-rest CSP filters -> every epoch through every filter -> features
// -> split by epoch and scaled training data,
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

py::slice whole() { return py::slice(py::none(), py::none(), py::none()); }

// Class number of each epoch: the position of its id in `event_ids` (the first, if repeated).
py::object class_numbers(const py::object& np, const py::object& event_ids_all, const py::object& event_ids) {
    py::object one_hot = np.attr("zeros")(py::make_tuple(py::len(event_ids_all), py::len(event_ids)));
    py::ssize_t k = 0;
    for (py::handle id : event_ids) {
        one_hot[py::make_tuple(whole(), k)] = event_ids_all.attr("__eq__")(id).attr("astype")(np.attr("int_"));
        ++k;
    }
    return np.attr("argmax")(one_hot, py::arg("axis") = 1);
}

// Item indices of the given epochs, `per_epoch` consecutive items each.
py::object items_of(const py::object& np, const py::object& epochs, long per_epoch) {
    py::object first = epochs.attr("__mul__")(per_epoch);
    py::object column = first[py::make_tuple(whole(), py::none())];
    return column.attr("__add__")(np.attr("arange")(per_epoch)).attr("ravel")();
}

// "[e0 e1 ...] epochs, [i0 i1 ...] items": counts per class of item labels.
std::string per_class(const py::object& np, const py::object& item_labels, long per_epoch) {
    py::object items = np.attr("bincount")(item_labels);
    py::object epochs = items.attr("__floordiv__")(per_epoch);
    return py::str(epochs).cast<std::string>() + " epochs, " + py::str(items).cast<std::string>() + " items";
}

py::tuple process_epochs(py::object self, py::object event_ids) {
    if (!py::bool_(event_ids)) raise(PyExc_ValueError, "No event IDs provided");
    py::object np = global("np");
    py::object mne = global("mne");

    py::object all_epochs = mne.attr("Epochs")(
        self.attr("raw"), self.attr("events")[py::int_(0)], py::arg("event_id") = event_ids,
        py::arg("tmin") = kEpochStart, py::arg("tmax") = kEpochEnd,
        py::arg("baseline") = py::make_tuple(kBaselineStart, kBaselineEnd),
        py::arg("preload") = true);
    all_epochs.attr("pick_types")(py::arg("meg") = false, py::arg("eeg") = true);
    py::object X_all = all_epochs.attr("get_data")();
    py::object events_of_epochs = all_epochs.attr("events");
    py::object event_ids_all =
        events_of_epochs[py::make_tuple(whole(), -1)];

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

    py::object y_flattened = class_numbers(np, event_ids_all, event_ids);
    py::object filters = self.attr("csp_filter_objects");
    auto n_filters = static_cast<long>(py::len(filters));
    if (n_filters == 0) raise(PyExc_ValueError, "No CSP filter to build training rows with: every event id was skipped");

    // Rows are built as the live decoder builds a window's: every epoch through every filter of
    // the saved dictionary, in its order, each filter's block one item labelled with the epoch's
    // class. The items of one epoch lie next to each other, filter by filter.
    py::object windows = X_all[py::make_tuple(whole(), whole(), py::slice(kTrainingRowStart, kTrainingRowStart + kLiveWindowSamples, 1))];
    py::list projections;
    for (py::handle item : filters.attr("values")()) projections.append(item.attr("transform")(windows));
    py::object blocks = np.attr("stack")(projections, py::arg("axis") = 1);
    py::object items = blocks.attr("reshape")(-1, self.attr("ncomp"), blocks.attr("shape")[py::int_(-1)]);
    py::object ftrs = self.attr("featuresarray_load")(items);
    self.attr("GLOBAL_SHAPE_LENGTH") = ftrs.attr("shape")[py::int_(2)];

    // The split is by epoch (all blocks of an epoch on one side), stratified by class.
    py::tuple split = global("train_test_split")(np.attr("arange")(py::len(X_all)), py::arg("test_size") = 0.2,
                                                 py::arg("random_state") = 42, py::arg("stratify") = y_flattened);
    py::object train_items = items_of(np, split[0], n_filters);
    py::object test_items = items_of(np, split[1], n_filters);
    py::object y_items = np.attr("repeat")(y_flattened, n_filters);
    self.attr("X_train") = ftrs[train_items];
    self.attr("X_test") = ftrs[test_items];
    self.attr("y_train") = y_items[train_items];
    self.attr("y_test") = y_items[test_items];

    py::object scaler = self.attr("scaler");
    self.attr("X_train") = scale_rows(scaler.attr("fit_transform"), self.attr("X_train"));
    self.attr("X_test") = scale_rows(scaler.attr("transform"), self.attr("X_test"));
    dump_artefact(self.attr("scaler"), self.attr("scaler_path"));
    print("Scaler saved successfully.");

    print("Training samples per class: " + per_class(np, self.attr("y_train"), n_filters));
    print("Testing samples per class: " + per_class(np, self.attr("y_test"), n_filters));
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
