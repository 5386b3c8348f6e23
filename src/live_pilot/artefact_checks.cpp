// Checks at import that the filters, the scaler and the agent belong together, so a mismatch is
// reported by name before the board is opened rather than deep inside the first window.
#include <string>

#include "common/board.hpp"
#include "common/interop.hpp"
#include "live_pilot/live_pilot.hpp"

namespace corvane::live_pilot {

namespace {

[[noreturn]] void mismatch(const char* file, const std::string& text) {
    raise(PyExc_ValueError, std::string(file) + ": " + text);
}

std::string text(const py::handle& value) { return py::str(value).cast<std::string>(); }

// A fitted object's learned arrays (its attributes ending in "_") must hold finite numbers: a NaN
// there makes every window's features NaN, a decoder that never decides.
void check_finite(const char* file, const std::string& which, const py::handle& fitted) {
    if (!py::hasattr(fitted, "__dict__")) return;
    auto np = py::module_::import("numpy");
    for (auto [name, value] : py::dict(fitted.attr("__dict__"))) {
        std::string attribute = text(name);
        if (attribute.empty() || attribute.front() == '_' || attribute.back() != '_') continue;
        if (!py::isinstance(value, np.attr("ndarray")) && !py::isinstance<py::float_>(value)) continue;
        py::object array = np.attr("asarray")(value);
        std::string kind = text(array.attr("dtype").attr("kind"));
        if (kind != "f" && kind != "c") continue;
        if (!np.attr("isfinite")(array).attr("all")().cast<bool>()) {
            mismatch(file, which + " holds non-finite numbers in " + attribute);
        }
    }
}

// The rows each filter gives for a window of the wired channels; all filters must agree.
long long filter_rows(const py::object& filters, const py::object& window_size) {
    if (!py::isinstance<py::dict>(filters) || py::len(filters) == 0) {
        mismatch(kFiltersFile, "expected a non-empty dictionary of CSP filters, got " +
                                   text(py::type::of(filters).attr("__name__")));
    }
    auto np = py::module_::import("numpy");
    py::object probe = np.attr("random").attr("default_rng")(0).attr("standard_normal")(
        py::make_tuple(1, kWiredElectrodes.size(), window_size));
    py::str probe_shape = py::str(probe.attr("shape"));
    long long rows = -1;
    for (auto [event_id, csp] : filters.cast<py::dict>()) {
        std::string which = "the filter for event " + text(event_id);
        check_finite(kFiltersFile, which, csp);
        py::object shape;
        try {
            shape = py::tuple(csp.attr("transform")(probe).attr("shape"));
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_Exception)) throw;
            mismatch(kFiltersFile, which + " cannot take a window of the " + std::to_string(kWiredElectrodes.size()) +
                                       " wired channels: " + exception_text(error));
        }
        py::tuple dims = shape;
        bool windowed = dims.size() == 3 && py::object(dims[0]).equal(py::int_(1)) &&
                        py::object(dims[2]).equal(window_size);
        if (!windowed) {
            mismatch(kFiltersFile, which + " turns a " + text(probe_shape) + " window into " + text(shape) +
                                       " instead of one row per component over the window");
        }
        long long count = dims[1].cast<long long>();
        if (rows >= 0 && count != rows) {
            mismatch(kFiltersFile, which + " gives " + std::to_string(count) + " rows, the first filter " +
                                       std::to_string(rows));
        }
        rows = count;
    }
    return rows;
}

void check_scaler(const py::object& scaler) {
    check_finite(kScalerFile, "the scaler", scaler);
    if (py::hasattr(scaler, "n_features_in_")) {
        py::object width = scaler.attr("n_features_in_");
        if (!width.equal(py::int_(kFeatureRowLength))) {
            mismatch(kScalerFile, "the scaler takes " + text(width) + " features, a feature row has " +
                                      std::to_string(kFeatureRowLength));
        }
        return;
    }
    try {
        scaler.attr("transform")(py::module_::import("numpy").attr("zeros")(py::make_tuple(1, kFeatureRowLength)));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        mismatch(kScalerFile, "the scaler cannot take a row of " + std::to_string(kFeatureRowLength) +
                                  " features: " + exception_text(error));
    }
}

void check_agent(const py::object& model, long long rows, size_t filters) {
    py::object observed = py::tuple(model.attr("observation_space").attr("shape"));
    py::object expected = py::make_tuple(rows, kFeatureRowLength);
    if (!observed.equal(expected)) {
        mismatch(kAgentFile, "the agent observes " + text(observed) + ", the filters and features give " +
                                 text(expected));
    }
    py::object actions = model.attr("action_space");
    if (!py::hasattr(actions, "n") || !py::object(actions.attr("n")).equal(py::int_(filters))) {
        std::string choices = py::hasattr(actions, "n") ? text(actions.attr("n")) + " classes" : text(actions);
        mismatch(kFiltersFile, std::to_string(filters) + " filters for an agent choosing among " + choices +
                                   ": one filter per class is needed");
    }
    // Names, when the agent carries them, decide each class's command: one text per class.
    py::object names = py::getattr(model, "class_names", py::none());
    if (names.is_none()) return;
    bool texts = py::isinstance<py::list>(names) || py::isinstance<py::tuple>(names);
    for (size_t k = 0; texts && k < py::len(names); ++k) texts = py::isinstance<py::str>(names[py::int_(k)]);
    if (!texts) mismatch(kAgentFile, "the agent's class names must be a list of texts, got " + text(py::repr(names)));
    if (py::len(names) != filters) {
        mismatch(kAgentFile, "the agent names " + std::to_string(py::len(names)) + " classes " + text(py::repr(names)) +
                                 " but chooses among " + text(actions.attr("n")));
    }
}

}  // namespace

void check_artefacts(const py::module_& m) {
    long long rows = filter_rows(m.attr("csp_filters"), m.attr("window_size"));
    check_scaler(m.attr("scaler"));
    check_agent(m.attr("model"), rows, py::len(m.attr("csp_filters")));
}

}  // namespace corvane::live_pilot
