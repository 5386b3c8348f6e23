// Channel configuration: electrode states, head-map positions, name validation, action table.
#include "capture_hub/capture_hub.hpp"

#include "common/interop.hpp"

namespace corvane::capture_hub {

py::set valid_channels() {
    py::set names;
    for (const char* name :
         {"Fp1", "Fp2", "F7",  "F3",  "Fz",  "F4",  "F8",  "T3",  "C3",   "Cz",  "C4",   "T4",  "T5",  "P3",
          "Pz",  "P4",  "T6",  "O1",  "O2",  "Fpz", "AF7", "AF3", "AFz",  "AF4", "AF8",  "F9",  "F5",  "F1",
          "F2",  "F6",  "F10", "FT9", "FT7", "FC5", "FC3", "FC1", "FCz",  "FC2", "FC4",  "FC6", "FT8", "FT10",
          "T9",  "T7",  "C5",  "C1",  "C2",  "C6",  "T8",  "T10", "TP9",  "TP7", "CP5",  "CP3", "CP1", "CPz",
          "CP2", "CP4", "CP6", "TP8", "TP10", "P9", "P7",  "P5",  "P1",   "P2",  "P6",   "P8",  "P10", "PO9",
          "PO7", "PO3", "POz", "PO4", "PO8", "PO10", "O9", "Oz",  "O10",  "A1",  "A2",   "M1",  "M2",  "Nz"}) {
        names.add(name);
    }
    return names;
}

void set_channel_state(py::object self, py::object channel_name, py::object enabled) {
    self.attr("channel_states")[channel_name] = enabled;
}

py::dict get_channel_positions(py::object) {
    py::dict positions;
    auto put = [&](const char* name, py::object x, py::object y) {
        py::list position;
        position.append(x);
        position.append(y);
        positions[name] = position;
    };
    py::int_ zero(0);
    put("FCz", zero, py::float_(0.25));
    put("C3", py::float_(-0.5), zero);
    put("Cz", zero, zero);
    put("CPz", zero, py::float_(-0.25));
    put("C2", py::float_(0.25), zero);
    put("C4", py::float_(0.5), zero);
    return positions;
}

py::tuple validate_channel_name(py::object valid, py::object name) {
    py::str stripped = name.attr("strip")();
    if (!truthy(stripped)) return py::make_tuple(false, "Channel name cannot be empty");
    py::object normalised = stripped[py::int_(0)].attr("upper")() +
                            stripped[py::slice(py::int_(1), py::none(), py::none())].attr("lower")();
    if (truthy(valid.attr("__contains__")(normalised))) return py::make_tuple(true, "");
    // Standard names with more than one capital (FCz, CPz, AF3, ...) are accepted in any case too.
    py::str folded = stripped.attr("lower")();
    for (auto entry : valid) {
        if (py::isinstance<py::str>(entry) && folded.equal(entry.attr("lower")())) return py::make_tuple(true, "");
    }
    if (!py::module_::import("re").attr("match")(R"(^[A-Za-z]+\d*$)", stripped).is_none()) {
        return py::make_tuple(false, py::str("Channel name '") + stripped + py::str("' is not a standard 10-20 system position"));
    }
    return py::make_tuple(false, "Invalid channel name format");
}

bool update_channels(py::object self, py::object channel_names) {
    return guarded<bool>("Error updating channels: ", false, [&] {
        self.attr("channel_names") = channel_names;
        py::dict states;
        for (auto name : channel_names) states[name] = true;
        self.attr("channel_states") = states;
        return true;
    });
}

void update_action_names(py::object self, py::object new_actions) { self.attr("task_names") = new_actions; }

}  // namespace corvane::capture_hub
