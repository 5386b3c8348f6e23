// policy_forge: binds the module globals and defines its classes in their fixed order.
#include <pybind11/pybind11.h>

#include "policy_forge/policy_forge.hpp"

namespace py = pybind11;
using namespace corvane::policy_forge;

namespace {

void import_from(py::module_& m, const char* module, std::initializer_list<const char*> names) {
    py::module_ source = py::module_::import(module);
    for (const char* name : names) m.attr(name) = source.attr(name);
}

// The packages the pipeline works with, bound as module globals in a fixed order.
void import_globals(py::module_& m) {
    m.attr("os") = py::module_::import("os");
    m.attr("joblib") = py::module_::import("joblib");
    m.attr("np") = py::module_::import("numpy");
    m.attr("mne") = py::module_::import("mne");
    m.attr("gym") = py::module_::import("gym");
    m.attr("pywt") = py::module_::import("pywt");
    py::module_::import("scipy.signal");
    m.attr("scipy") = py::module_::import("scipy");
    import_from(m, "scipy", {"stats"});
    import_from(m, "keras.models", {"Sequential"});
    import_from(m, "keras.layers", {"Dense", "PReLU", "Conv1D", "Dropout", "SpatialDropout1D", "MaxPooling1D"});
    import_from(m, "keras.layers", {"GlobalMaxPooling1D", "Layer", "AveragePooling1D", "LSTM", "Reshape",
                                    "BatchNormalization"});
    import_from(m, "keras.regularizers", {"l1_l2"});
    import_from(m, "sklearn.model_selection", {"train_test_split"});
    import_from(m, "sklearn.preprocessing", {"StandardScaler"});
    import_from(m, "mne.decoding", {"CSP"});
    import_from(m, "stable_baselines3.dqn.policies", {"DQNPolicy"});
    import_from(m, "stable_baselines3", {"DQN"});
    import_from(m, "stable_baselines3.common.callbacks", {"BaseCallback", "CheckpointCallback", "EvalCallback"});
    m.attr("random") = py::module_::import("random");
}

}  // namespace

PYBIND11_MODULE(policy_forge, m) {
    py::options options;
    options.disable_function_signatures();
    import_globals(m);

    m.attr("Plasticity") = make_plasticity();
    m.attr("CustomCallback") = make_custom_callback();
    m.attr("KerasDQNPolicy") = make_keras_dqn_policy();
    py::object trainer = corvane::make_class(kModuleName, "PolicyForge",
                                             py::make_tuple(py::module_::import("builtins").attr("object")));
    m.attr("PolicyForge") = trainer;
    bind_loading(trainer);
    bind_epochs(trainer);
    bind_features(trainer);
    bind_training(trainer);
}
