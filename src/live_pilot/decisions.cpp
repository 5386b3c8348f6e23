// From candidate decisions to one drive command.
#include "common/interop.hpp"
#include "live_pilot/live_pilot.hpp"

namespace corvane::live_pilot {

namespace {

py::object map_action_to_command(py::object action) {
    py::dict commands;
    commands[py::int_(0)] = "L";
    commands[py::int_(1)] = "R";
    commands[py::int_(2)] = "F";
    commands[py::int_(3)] = "B";
    return commands.attr("get")(action, "S");
}

bool less_than(const py::handle& a, const py::handle& b) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

py::tuple get_conservative_prediction(py::object predictions, py::object confidences,
                                      py::object similarity_threshold) {
    if (!PyObject_IsTrue(confidences.ptr())) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::make_tuple(py::none(), py::none());
    }
    py::object max_conf = py::module_::import("builtins").attr("max")(confidences);
    py::object max_idx = confidences.attr("index")(max_conf);

    // The close candidate with the lowest confidence; the earliest one among equals.
    py::object chosen;
    size_t close_count = 0;
    size_t position = 0;
    for (py::handle conf : confidences) {
        if ((max_conf - py::reinterpret_borrow<py::object>(conf)) <= similarity_threshold) {
            if (close_count == 0 || less_than(conf, confidences[chosen])) chosen = py::int_(position);
            ++close_count;
        }
        ++position;
    }
    py::object index = close_count > 1 ? chosen : max_idx;
    return py::make_tuple(predictions[index], confidences[index]);
}

}  // namespace

void bind_decisions(py::module_& m) {
    m.def("map_action_to_command", &map_action_to_command, py::arg("action"));
    m.def("get_conservative_prediction", &get_conservative_prediction, py::arg("predictions"),
          py::arg("confidences"), py::arg("similarity_threshold") = 0.5,
          py::doc("When confidences are close (within threshold), pick the lower confidence prediction"));
}

}  // namespace corvane::live_pilot
