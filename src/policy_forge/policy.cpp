// KerasDQNPolicy: a stable-baselines3 DQNPolicy that also holds a Keras convolutional-recurrent
// Q-network; CustomCallback: training progress every 1000 steps, with the thread pools held to
// one thread while training runs.
#include "common/thread_pools.hpp"
#include "policy_forge/policy_forge.hpp"

namespace corvane::policy_forge {

namespace {

const char* const kRequiredSizes[] = {"ncomp", "global_shape_length", "n_actions"};

py::object regulariser() { return global("l1_l2")(py::arg("l1") = 0.01, py::arg("l2") = 0.01); }

// The network, layer by layer; Keras builds the weights on the first call.
py::object build_keras_model(py::object ncomp, py::object global_shape_length, py::object n_actions) {
    auto layer = [](const char* name) { return global(name); };
    py::list layers;
    layers.append(layer("Reshape")(py::make_tuple(global_shape_length, ncomp)));
    layers.append(layer("BatchNormalization")());
    layers.append(layer("Conv1D")(32, py::arg("kernel_size") = 3));
    layers.append(layer("BatchNormalization")());
    layers.append(layer("PReLU")());
    layers.append(layer("MaxPooling1D")(py::arg("pool_size") = 2));
    layers.append(layer("SpatialDropout1D")(0.1));
    layers.append(layer("Conv1D")(64, py::arg("kernel_size") = 3));
    layers.append(layer("BatchNormalization")());
    layers.append(layer("PReLU")());
    layers.append(layer("AveragePooling1D")(py::arg("pool_size") = 2));
    layers.append(layer("SpatialDropout1D")(0.1));
    layers.append(layer("LSTM")(64, py::arg("activation") = "tanh", py::arg("recurrent_regularizer") = regulariser(),
                                py::arg("return_sequences") = true));
    layers.append(layer("BatchNormalization")());
    layers.append(layer("GlobalMaxPooling1D")());
    layers.append(layer("BatchNormalization")());
    layers.append(layer("Dense")(64, py::arg("activation") = "relu", py::arg("kernel_regularizer") = regulariser()));
    layers.append(layer("BatchNormalization")());
    layers.append(layer("Dropout")(0.1));
    layers.append(layer("Dense")(32, py::arg("activation") = "relu"));
    layers.append(layer("BatchNormalization")());
    layers.append(layer("Dropout")(0.1));
    layers.append(layer("Dense")(n_actions, py::arg("activation") = "linear"));
    return global("Sequential")(layers);
}

// The three size keywords are checked and taken out before the base class sees the arguments.
void policy_init(py::object self, py::args args, py::kwargs kwargs) {
    for (const char* name : kRequiredSizes) {
        if (!kwargs.contains(name)) raise(PyExc_ValueError, std::string("Missing required parameter: ") + name);
    }
    py::object ncomp = kwargs.attr("pop")("ncomp");
    py::object global_shape_length = kwargs.attr("pop")("global_shape_length");
    py::object n_actions = kwargs.attr("pop")("n_actions");
    py::module_::import("builtins").attr("super")(global("KerasDQNPolicy"), self).attr("__init__")(*args, **kwargs);
    self.attr("ncomp") = ncomp;
    self.attr("global_shape_length") = global_shape_length;
    self.attr("n_actions") = n_actions;
    self.attr("keras_model") = build_keras_model(ncomp, global_shape_length, n_actions);
}

py::object q_values(py::object self, py::object obs) { return self.attr("keras_model").attr("predict")(obs); }

void callback_init(py::object self, py::object verbose) {
    py::module_::import("builtins").attr("super")(global("CustomCallback"), self).attr("__init__")(verbose);
}

bool on_step(py::object self) {
    py::object calls = self.attr("n_calls");
    if (!py::bool_(calls.attr("__mod__")(1000))) print("Step: " + py::str(calls).cast<std::string>());
    return true;
}

// Training runs the small Q-network many thousands of times: one thread per pool while it runs
// (with two threads on two cores it ran ten times slower while the other core was busy), the
// host's settings after.
// A run that ended without its end call (an interrupted learn) is given back at the next start.
constexpr const char* kPoolsBefore = "_thread_pools_before";

void on_training_end(py::object self) {
    if (!py::hasattr(self, kPoolsBefore)) return;
    restore_thread_pools(self.attr(kPoolsBefore));
    py::delattr(self, kPoolsBefore);
}

void on_training_start(py::object self) {
    on_training_end(self);
    self.attr(kPoolsBefore) = limit_thread_pools();
}

}  // namespace

py::object make_custom_callback() {
    py::object cls = make_class(kModuleName, "CustomCallback", py::make_tuple(global("BaseCallback")));
    add_signed_method(cls, "__init__", "self, verbose=0", &callback_init, "", py::arg("verbose") = 0);
    add_signed_method(cls, "_on_step", "self", &on_step, "");
    add_signed_method(cls, "_on_training_start", "self", &on_training_start, "");
    add_signed_method(cls, "_on_training_end", "self", &on_training_end, "");
    refresh_abstract_methods(cls);
    return cls;
}

py::object make_keras_dqn_policy() {
    py::object cls = make_class(kModuleName, "KerasDQNPolicy", py::make_tuple(global("DQNPolicy")),
                                "\n    Top-level class so that cloudpickle can serialize it.\n    ");
    add_signed_method(cls, "__init__", "self, *args, **kwargs", &policy_init, "");
    add_signed_method(cls, "q_values", "self, obs", &q_values,
                      "\n        Compute the Q-values using the internal Keras model.\n"
                      "        :param obs: A (batch_size x *observation_shape*) array\n"
                      "        :return: A (batch_size x n_actions) array of Q-values\n        ",
                      py::arg("obs"));
    refresh_abstract_methods(cls);
    return cls;
}

}  // namespace corvane::policy_forge
