// setup_training: the Plasticity environment over every epoch and an untrained DQN agent on it.
#include "policy_forge/policy_forge.hpp"

namespace corvane::policy_forge {

namespace {

std::string text(py::handle value) { return py::str(value).cast<std::string>(); }

py::tuple setup_training(py::object self, py::object task_names) {
    py::object np = global("np");
    py::int_ n_tasks(py::len(task_names));
    py::int_ n_classes(py::len(np.attr("unique")(self.attr("y_train"))));
    if (n_tasks.not_equal(n_classes)) {
        raise(PyExc_ValueError, "Number of tasks (" + text(n_tasks) +
                                    ") doesn't match number of classes in training data (" + text(n_classes) + ")");
    }
    py::object components = self.attr("X_train").attr("shape")[py::int_(1)];
    if (components.not_equal(self.attr("ncomp"))) {
        raise(PyExc_ValueError, "Training data shape (" + text(components) + ") doesn't match number of components (" +
                                    text(self.attr("ncomp")) + ")");
    }
    self.attr("task_names") = task_names;
    py::int_ n_actions(py::len(self.attr("task_names")));

    py::object concatenate = np.attr("concatenate");
    py::tuple dataset = py::make_tuple(
        concatenate(py::make_tuple(self.attr("X_train"), self.attr("X_test")), py::arg("axis") = 0),
        concatenate(py::make_tuple(self.attr("y_train"), self.attr("y_test")), py::arg("axis") = 0));
    py::object env = global("Plasticity")(
        py::arg("images_per_episode") = 1, py::arg("dataset") = dataset, py::arg("random") = true,
        py::arg("ncomp") = self.attr("ncomp"), py::arg("global_shape_length") = self.attr("GLOBAL_SHAPE_LENGTH"),
        py::arg("n_actions") = n_actions);

    py::dict policy_kwargs;
    policy_kwargs["ncomp"] = self.attr("ncomp");
    policy_kwargs["global_shape_length"] = self.attr("GLOBAL_SHAPE_LENGTH");
    policy_kwargs["n_actions"] = n_actions;
    py::object model = global("DQN")(
        global("KerasDQNPolicy"), py::arg("env") = env, py::arg("verbose") = 1, py::arg("learning_rate") = 0.0005,
        py::arg("buffer_size") = 50000, py::arg("learning_starts") = 100, py::arg("batch_size") = 32,
        py::arg("gamma") = 0.99, py::arg("train_freq") = 4, py::arg("target_update_interval") = 200,
        py::arg("exploration_fraction") = 0.1, py::arg("exploration_final_eps") = 0.02,
        py::arg("policy_kwargs") = policy_kwargs);
    // The class names travel with the agent: stable-baselines3 saves a plain attribute with the
    // agent's settings and restores it on load, so live_pilot finds each class's command by name.
    py::list class_names;
    for (py::handle name : self.attr("task_names")) class_names.append(py::str(name));
    model.attr("class_names") = class_names;
    py::list callbacks;
    callbacks.append(global("CustomCallback")());
    return py::make_tuple(model, callbacks);
}

}  // namespace

void bind_training(py::object cls) {
    add_signed_method(cls, "setup_training", "self, task_names", &setup_training, "", py::arg("task_names"));
}

}  // namespace corvane::policy_forge
