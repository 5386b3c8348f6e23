// policy_forge: the offline training pipeline (recording -> epochs -> CSP -> features -> DQN agent).
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "common/board.hpp"
#include "common/decoder.hpp"
#include "common/files.hpp"
#include "common/interop.hpp"
#include "common/settings.hpp"

namespace corvane::policy_forge {

namespace py = pybind11;

inline constexpr const char* kModuleName = "policy_forge";

// Sampling rate the feature functions assume for every row: the board's.
inline constexpr int kFeatureSamplingRate = kSamplingRate;

// A docstring that also carries a text signature, so inspect.signature works on a C++ method as it
// does on a Python one (stable-baselines3 inspects an environment's reset, for instance).
inline std::string signed_doc(const char* attribute, const char* parameters, const std::string& doc = "") {
    return std::string(function_name_for(attribute)) + "(" + parameters + ")\n--\n\n" + doc;
}

// add_method with a text signature; `parameters` as in a def line, e.g. "self, action".
template <typename Function, typename... Extra>
void add_signed_method(py::object cls, const char* name, const char* parameters, Function&& function,
                       const std::string& doc, const Extra&... extra) {
    std::string text = signed_doc(name, parameters, doc);
    add_method(cls, name, std::forward<Function>(function), py::doc(text.c_str()), extra...);
}

// A class made by make_class gets its methods after creation; an abstract base class must then
// recount which abstract methods are still missing.
inline void refresh_abstract_methods(py::object cls) { py::module_::import("abc").attr("update_abstractmethods")(cls); }

// PolicyForge members, by concern.
void bind_loading(py::object cls);   // __init__, setup_eeg
void bind_epochs(py::object cls);    // process_epochs
void bind_features(py::object cls);  // the statistics, _concat_features, _apply_cwt, featuresarray_load
void bind_training(py::object cls);  // setup_training

// The classes that subclass library classes; each is published on the module by the caller.
py::object make_plasticity();
py::object make_custom_callback();
py::object make_keras_dqn_policy();

// A module global, as bound at import.
py::object global(const char* name);

}  // namespace corvane::policy_forge
