// The numeric stages of one live window: CSP projections, scaling and the agent's Q-values.
//
// Fitted MNE CSP filters and a fitted StandardScaler, the artefacts the training pipeline writes,
// are applied natively with the numbers their own transform gives (one product with every filter,
// one pass of the scaler, into arrays kept from window to window). Anything else, or input their
// transform would reject, goes through the object's own transform, which then behaves (and fails)
// as it always does.
#include <pybind11/numpy.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/interop.hpp"
#include "common/python_values.hpp"
#include "live_pilot/live_pilot.hpp"

namespace corvane::live_pilot {

namespace {

using Array = py::array_t<double, py::array::c_style>;

// A kept array of `shape`, reallocated only when the shape changes. Held for the life of the
// process (never freed at interpreter exit, when freeing it could no longer be done safely).
Array& kept(std::vector<py::ssize_t> shape, int slot) {
    static std::vector<Array*> arrays(2, nullptr);
    Array*& array = arrays[slot];
    if (array == nullptr || std::vector<py::ssize_t>(array->shape(), array->shape() + array->ndim()) != shape) {
        delete array;
        array = new Array(shape);
    }
    return *array;
}

bool is_exactly(const py::handle& value, const char* module, const char* name) {
    py::dict modules = py::module_::import("sys").attr("modules");
    if (!modules.contains(module)) return false;
    return py::type::handle_of(value).is(modules[module].attr(name));
}

// A float64 array of exactly `ndim` dimensions (any strides), or nothing.
std::optional<py::array> float_array(const py::object& value, int ndim) {
    // An equivalent dtype, not the same object: unpickled arrays carry dtype objects of their own.
    if (!py::isinstance<py::array_t<double>>(value)) return std::nullopt;
    auto array = py::reinterpret_borrow<py::array>(value);
    if (array.ndim() != ndim) return std::nullopt;
    return array;
}

// One filter's rows as the native product takes them: the first n_components rows of its
// fitted (components, channels) matrix.
struct Projection {
    Array filters;
    py::ssize_t rows;
};

// The projection of a fitted csp_space CSP over `channels` channels, or nothing when its own
// transform is to be called.
std::optional<Projection> native_projection(const py::handle& csp, py::ssize_t channels) {
    if (!is_exactly(csp, "mne.decoding", "CSP")) return std::nullopt;
    py::object transform_into = py::getattr(csp, "transform_into", py::none());
    py::object dec_type = py::getattr(csp, "dec_type", py::str("single"));
    if (!transform_into.equal(py::str("csp_space")) || !dec_type.equal(py::str("single"))) return std::nullopt;
    auto filters = float_array(py::getattr(csp, "filters_", py::none()), 2);
    auto components = exact_int(py::getattr(csp, "n_components", py::none()));
    auto features = exact_int(py::getattr(csp, "n_features_in_", py::int_(channels)));
    if (!filters || !components || *components < 0 || features != channels || filters->shape(1) != channels) {
        return std::nullopt;
    }
    return Projection{Array::ensure(*filters), std::min<py::ssize_t>(*components, filters->shape(0))};
}

}  // namespace

py::object csp_projections(const py::module_& m, const py::object& window_data) {
    py::object filters = m.attr("csp_filters");
    auto window = float_array(window_data, 3);
    if (window && window->shape(0) == 1 && window->strides(2) != sizeof(double)) {
        // Not contiguous along time: the projections run on a contiguous copy.
        return csp_projections(m, py::module_::import("numpy").attr("ascontiguousarray")(window_data));
    }
    // Rows of the window through its own strides (a ring-buffer slice is not contiguous). A
    // non-finite sample is left to the filters' transform, which refuses it.
    std::vector<const double*> rows;
    bool native = window && window->shape(0) == 1 && py::isinstance<py::dict>(filters);
    const py::ssize_t channels = native ? window->shape(1) : 0, samples = native ? window->shape(2) : 0;
    for (py::ssize_t c = 0; native && c < channels; ++c) {
        const auto* row = reinterpret_cast<const double*>(static_cast<const char*>(window->data()) +
                                                          c * window->strides(1));
        for (py::ssize_t t = 0; t < samples; ++t) native = native && std::isfinite(row[t]);
        rows.push_back(row);
    }
    std::vector<Projection> projections;
    for (auto item : native ? filters.cast<py::dict>() : py::dict()) {
        auto projection = native_projection(item.second, channels);
        if (!projection) {
            native = false;
            break;
        }
        projections.push_back(std::move(*projection));
    }
    if (!native || projections.empty()) {
        py::list transformed;
        for (auto item : filters.attr("items")()) {
            transformed.append(item.cast<py::tuple>()[1].attr("transform")(window_data));
        }
        return py::module_::import("numpy").attr("concatenate")(transformed, py::arg("axis") = 1);
    }

    py::ssize_t total = 0;
    for (const auto& projection : projections) total += projection.rows;
    Array& out = kept({1, total, samples}, 0);
    double* target = out.mutable_data();
    for (const auto& projection : projections) {
        const double* w = projection.filters.data();
        for (py::ssize_t r = 0; r < projection.rows; ++r, target += samples) {
            std::memset(target, 0, samples * sizeof(double));
            for (py::ssize_t c = 0; c < channels; ++c) {
                const double weight = w[r * channels + c];
                const double* x = rows[c];
                for (py::ssize_t t = 0; t < samples; ++t) target[t] += weight * x[t];
            }
        }
    }
    return out;
}

py::object scaled_rows(const py::module_& m, const py::object& rows) {
    py::object scaler = m.attr("scaler");
    auto input = float_array(rows, 2);
    auto transform = [&] { return scaler.attr("transform")(rows); };
    if (!input || !is_exactly(scaler, "sklearn.preprocessing", "StandardScaler") ||
        py::hasattr(scaler, "feature_names_in_")) {
        return transform();
    }
    const py::ssize_t count = input->shape(0), width = input->shape(1);
    auto features = exact_int(py::getattr(scaler, "n_features_in_", py::none()));
    bool with_mean = truthy(scaler.attr("with_mean")), with_std = truthy(scaler.attr("with_std"));
    auto mean = with_mean ? float_array(py::getattr(scaler, "mean_", py::none()), 1) : std::nullopt;
    auto scale = with_std ? float_array(py::getattr(scaler, "scale_", py::none()), 1) : std::nullopt;
    if (features != width || (with_mean && (!mean || mean->shape(0) != width)) ||
        (with_std && (!scale || scale->shape(0) != width))) {
        return transform();
    }
    Array source = Array::ensure(*input);
    const double* x = source.data();
    // The scaler accepts NaN but refuses infinities; it says so itself.
    for (py::ssize_t i = 0; i < count * width; ++i) {
        if (std::isinf(x[i])) return transform();
    }
    Array centre = with_mean ? Array::ensure(*mean) : Array();
    Array spread = with_std ? Array::ensure(*scale) : Array();
    Array& out = kept({count, width}, 1);
    double* y = out.mutable_data();
    // Subtract, then divide, element by element: the scaler's own operations in its order.
    for (py::ssize_t r = 0; r < count; ++r) {
        for (py::ssize_t k = 0; k < width; ++k) {
            double value = x[r * width + k];
            if (with_mean) value -= centre.data()[k];
            if (with_std) value /= spread.data()[k];
            y[r * width + k] = value;
        }
    }
    return out;
}

namespace {

// The forward-hook tables torch consults on every module call; a module call with any of them set
// does more than its forward.
constexpr const char* kHookTables[] = {"_forward_hooks", "_forward_pre_hooks", "_backward_hooks",
                                       "_backward_pre_hooks"};
constexpr const char* kGlobalHookTables[] = {"_global_forward_hooks", "_global_forward_pre_hooks",
                                             "_global_backward_hooks", "_global_backward_pre_hooks"};

bool hooked(const py::handle& module) {
    for (const char* table : kHookTables) {
        if (truthy(py::getattr(module, table, py::dict()))) return true;
    }
    return false;
}

// The layers of a stable-baselines3 Q-network that flattens a plain (non-image) Box observation
// and runs a Sequential of Linear and ReLU layers, with no hooks anywhere: what its forward does,
// as the functional calls its modules make. Empty when the network is anything else.
std::vector<std::pair<bool, py::object>> plain_layers(const py::object& q_net) {
    if (!is_exactly(q_net, "stable_baselines3.dqn.policies", "QNetwork")) return {};
    py::object extractor = q_net.attr("features_extractor");
    if (!is_exactly(extractor, "stable_baselines3.common.torch_layers", "FlattenExtractor")) return {};
    py::object flatten = extractor.attr("flatten");
    if (!is_exactly(flatten, "torch.nn", "Flatten") || exact_int(flatten.attr("start_dim")) != 1 ||
        exact_int(flatten.attr("end_dim")) != -1) {
        return {};
    }
    py::object space = q_net.attr("observation_space");
    if (!is_exactly(space, "gymnasium.spaces", "Box") || py::len(space.attr("shape")) == 3) return {};
    py::object sequential = q_net.attr("q_net");
    if (!is_exactly(sequential, "torch.nn", "Sequential")) return {};
    py::object registry = py::module_::import("torch.nn.modules.module");
    for (const char* table : kGlobalHookTables) {
        if (truthy(registry.attr(table))) return {};
    }
    std::vector<std::pair<bool, py::object>> layers;  // (linear, layer)
    for (const py::handle& module : {q_net, extractor, flatten, sequential}) {
        if (hooked(module)) return {};
    }
    for (py::handle layer : sequential) {
        bool linear = is_exactly(layer, "torch.nn", "Linear"), relu = is_exactly(layer, "torch.nn", "ReLU");
        if ((!linear && !relu) || hooked(layer)) return {};
        layers.emplace_back(linear, py::reinterpret_borrow<py::object>(layer));
    }
    return layers;
}

}  // namespace

QNetwork::QNetwork(py::object q_net) : q_net_(std::move(q_net)), layers_(plain_layers(q_net_)) {
    if (!layers_.empty()) functional_ = py::module_::import("torch.nn.functional");
}

py::object QNetwork::operator()(const py::object& observation) const {
    if (layers_.empty()) return q_net_(observation);
    // nn.Flatten's forward, then each layer's: F.linear(x, weight, bias), F.relu(x, inplace).
    py::object x = observation.attr("flatten")(1, -1);
    for (const auto& [linear, layer] : layers_) {
        if (linear) {
            x = functional_.attr("linear")(x, layer.attr("weight"), layer.attr("bias"));
        } else {
            x = functional_.attr("relu")(x, py::arg("inplace") = layer.attr("inplace"));
        }
    }
    return x;
}

}  // namespace corvane::live_pilot
