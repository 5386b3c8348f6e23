// From a block's Q-values to a candidate decision, and from candidate decisions to one drive
// command.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/classes.hpp"
#include "common/interop.hpp"
#include "common/python_values.hpp"
#include "live_pilot/live_pilot.hpp"

namespace corvane::live_pilot {

namespace {

py::object map_action_to_command(py::object action) { return positional_command(action); }

// NumPy's float32 sum as add.reduce computes it: pairwise, eight accumulators per block.
float pairwise_sum(const float* a, std::size_t n) {
    if (n < 8) {
        float sum = 0.0f;
        for (std::size_t i = 0; i < n; ++i) sum += a[i];
        return sum;
    }
    if (n <= 128) {
        float r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j];
        std::size_t i = 8;
        for (; i < n - n % 8; i += 8) {
            for (int j = 0; j < 8; ++j) r[j] += a[i + j];
        }
        float sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) sum += a[i];
        return sum;
    }
    std::size_t half = n / 2;
    half -= half % 8;
    return pairwise_sum(a, half) + pairwise_sum(a + half, n - half);
}

// The block decision of finite float32 Q-values, with NumPy's own roundings: float32 arithmetic
// throughout, except that the range plus 1e-6 is a float64 (a float32 scalar plus a Python float)
// that the division takes back as float32, and the mean divides the float32 sum in float64.
BlockDecision decide_finite(const float* q, std::size_t n) {
    std::size_t best = 0;
    float low = q[0], high = q[0];
    for (std::size_t i = 1; i < n; ++i) {
        if (q[i] < low) low = q[i];
        if (q[i] > high) {
            high = q[i];
            best = i;
        }
    }
    const auto range = static_cast<float>(static_cast<double>(high - low) + 1e-6);
    std::vector<float> normalised(n);
    float top = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        normalised[i] = (q[i] - low) / range;
        if (i == 0 || normalised[i] > top) top = normalised[i];
    }
    std::vector<float> others;
    for (float value : normalised) {
        if (value != top) others.push_back(value);
    }
    py::object confidence = py::int_(0);
    if (!others.empty()) {
        const auto mean = static_cast<float>(static_cast<double>(pairwise_sum(others.data(), others.size())) /
                                             static_cast<double>(others.size()));
        confidence = py::float_(static_cast<double>(top - mean));
    }
    return {py::int_(best), confidence};
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

// The class with the largest sum of the blocks' min-max normalised Q-values (normalised as a
// block's confidence is, in float64), and that sum; the earliest class among equals. (None, None)
// when no block is given.
py::tuple get_summed_prediction(py::object q_values) {
    std::vector<double> total;
    for (py::handle block : q_values) {
        auto q = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(block);
        if (!q || q.ndim() != 1 || q.size() == 0) raise(PyExc_ValueError, "each block's Q-values must be a non-empty vector");
        const double* values = q.data();
        const auto n = static_cast<std::size_t>(q.size());
        if (total.empty()) total.assign(n, 0.0);
        if (total.size() != n) raise(PyExc_ValueError, "every block must have Q-values for the same classes");
        double low = values[0], high = values[0];
        for (std::size_t i = 0; i < n; ++i) {
            if (!std::isfinite(values[i])) raise(PyExc_ValueError, "Q-values must be finite");
            low = std::min(low, values[i]);
            high = std::max(high, values[i]);
        }
        for (std::size_t i = 0; i < n; ++i) total[i] += (values[i] - low) / (high - low + 1e-6);
    }
    if (total.empty()) return py::make_tuple(py::none(), py::none());
    std::size_t best = 0;
    for (std::size_t i = 1; i < total.size(); ++i) {
        if (total[i] > total[best]) best = i;
    }
    return py::make_tuple(py::int_(best), py::float_(total[best]));
}

}  // namespace

py::object agent_class_names(const py::object& model) {
    py::object names = py::getattr(model, "class_names", py::none());
    return py::isinstance<py::list>(names) || py::isinstance<py::tuple>(names) ? names : py::none();
}

py::object class_command(const py::module_& m, const py::object& action) {
    py::object names = agent_class_names(m.attr("model"));
    if (!names.is_none()) {
        py::dict named = named_class_commands(names);
        if (named.contains(action)) return named[action];
    }
    return m.attr("map_action_to_command")(action);
}

BlockDecision decide_block(const py::object& q_values) {
    if (py::isinstance<py::array_t<float>>(q_values)) {
        auto q = py::array_t<float, py::array::c_style>::ensure(q_values);
        const float* values = q.data();
        bool finite = q.ndim() == 1 && q.size() > 0;
        for (py::ssize_t i = 0; finite && i < q.size(); ++i) finite = std::isfinite(values[i]);
        if (finite) return decide_finite(values, static_cast<std::size_t>(q.size()));
    }
    // Anything else through NumPy's reductions, called as the ufuncs np.min, np.max and np.mean
    // end in, with np.mean's own division.
    static py::object* ufuncs = nullptr;
    if (ufuncs == nullptr) {
        auto np = py::module_::import("numpy");
        ufuncs = new py::object(py::make_tuple(np.attr("minimum").attr("reduce"), np.attr("maximum").attr("reduce"),
                                               np.attr("add").attr("reduce"), np.attr("intp")));
    }
    py::tuple f = *ufuncs;
    py::object min = f[0], max = f[1], sum = f[2], intp = f[3];
    py::object low = min(q_values);
    py::object normalised = (q_values - low) / (max(q_values) - low + py::float_(1e-6));
    py::object max_q = max(normalised);
    py::object others = normalised[checked(PyObject_RichCompare(normalised.ptr(), max_q.ptr(), Py_NE))];
    py::object confidence = py::int_(0);
    if (auto count = py::len(others); count > 0) {
        py::object total = sum(others);
        py::object mean = total.attr("dtype").attr("type")(total / intp(count));
        confidence = py::float_(max_q - mean);
    }
    return {py::int_(q_values.attr("argmax")()), confidence};
}

void bind_decisions(py::module_& m) {
    m.def("map_action_to_command", &map_action_to_command, py::arg("action"));
    m.def("get_conservative_prediction", &get_conservative_prediction, py::arg("predictions"),
          py::arg("confidences"), py::arg("similarity_threshold") = 0.5,
          py::doc("When confidences are close (within threshold), pick the lower confidence prediction"));
    m.def("get_summed_prediction", &get_summed_prediction, py::arg("q_values"),
          py::doc("The class with the largest sum of the kept blocks' normalised Q-values, and that sum; "
                  "(None, None) when no block is kept"));
}

}  // namespace corvane::live_pilot
