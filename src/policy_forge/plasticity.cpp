// Plasticity: the classification environment. Each observation is one epoch's feature array, each
// action a guess of its class; a right guess earns 1.0, a wrong one -1.0. Older gym interface:
// reset() returns the observation, step() the 4-tuple.
#include "common/python_values.hpp"
#include "policy_forge/policy_forge.hpp"

namespace corvane::policy_forge {

namespace {

// Python's `first, second = value`, with its messages for the wrong number of items.
std::pair<py::object, py::object> unpack_pair(py::handle value) {
    py::list items;
    for (py::handle item : py::iter(value)) {
        if (items.size() == 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
        items.append(item);
    }
    if (items.size() < 2) {
        raise(PyExc_ValueError, "not enough values to unpack (expected 2, got " + std::to_string(items.size()) + ")");
    }
    return {items[0], items[1]};
}

void init(py::object self, py::object images_per_episode, py::object dataset, py::object random, py::object ncomp,
          py::object global_shape_length, py::object n_actions) {
    py::object builtins = py::module_::import("builtins");
    builtins.attr("super")(global("Plasticity"), self).attr("__init__")();
    py::object spaces = global("gym").attr("spaces");
    py::object np = global("np");
    py::object infinity = np.attr("inf");
    self.attr("action_space") = spaces.attr("Discrete")(n_actions);
    self.attr("observation_space") =
        spaces.attr("Box")(py::arg("low") = -infinity, py::arg("high") = infinity,
                           py::arg("shape") = py::make_tuple(ncomp, global_shape_length),
                           py::arg("dtype") = np.attr("float32"));
    self.attr("images_per_episode") = images_per_episode;
    self.attr("step_count") = 0;
    auto [x, y] = unpack_pair(dataset);
    self.attr("x") = x;
    self.attr("y") = y;
    self.attr("random") = random;
    self.attr("dataset_idx") = 0;
}

// Draws the next observation, at random from the module-level generator or in order (wrapping),
// and records its label as the action that earns the reward.
py::object next_obs(py::object self) {
    py::object x = self.attr("x");
    py::object obs;
    if (py::bool_(self.attr("random"))) {
        py::object index = global("random").attr("randint")(0, py::int_(py::len(x)) - py::int_(1));
        self.attr("expected_action") = py::int_(self.attr("y")[index]);
        obs = x[index];
    } else {
        py::object index = self.attr("dataset_idx");
        obs = x[index];
        self.attr("expected_action") = py::int_(self.attr("y")[index]);
        py::object next = index + py::int_(1);
        self.attr("dataset_idx") = modulo(next, py::int_(py::len(x)));
    }
    return obs;
}

// Scored with Python's == and truth test, so an action 2 matches a label 2 of any numeric type.
py::float_ calculate_reward(py::object self, py::object action) {
    py::object expected = self.attr("expected_action");
    return py::float_(truthy(equals(action, expected)) ? 1.0 : -1.0);
}

py::tuple step(py::object self, py::object action) {
    py::object reward = self.attr("_calculate_reward")(action);
    py::object obs = self.attr("_next_obs")();
    py::object count = self.attr("step_count");
    count += py::int_(1);
    self.attr("step_count") = count;
    py::bool_ done(count >= self.attr("images_per_episode"));
    return py::make_tuple(obs, reward, done, py::dict());
}

py::object reset(py::object self) {
    self.attr("step_count") = 0;
    return self.attr("_next_obs")();
}

}  // namespace

py::object make_plasticity() {
    py::object cls = make_class(kModuleName, "Plasticity", py::make_tuple(global("gym").attr("Env")));
    add_signed_method(cls, "__init__", "self, images_per_episode, dataset, random, ncomp, global_shape_length, n_actions",
                      &init, "", py::arg("images_per_episode"), py::arg("dataset"), py::arg("random"),
                      py::arg("ncomp"), py::arg("global_shape_length"), py::arg("n_actions"));
    // No seed parameter: stable-baselines3 recognises the older gym interface by that.
    add_signed_method(cls, "reset", "self", &reset, "");
    add_signed_method(cls, "step", "self, action", &step, "", py::arg("action"));
    add_signed_method(cls, "_next_obs", "self", &next_obs, "");
    add_signed_method(cls, "_calculate_reward", "self, action", &calculate_reward, "", py::arg("action"));
    refresh_abstract_methods(cls);
    return cls;
}

}  // namespace corvane::policy_forge
