// Feature functions: eight row statistics, the continuous wavelet transform, and the feature rows
// (band statistics, then the 12-30 Hz and 8-12 Hz Welch spectra) of every row.
#include <pybind11/gil_safe_call_once.h>
#include <pybind11/numpy.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "policy_forge/feature_kernels.hpp"
#include "policy_forge/policy_forge.hpp"

namespace corvane::policy_forge {

namespace {

constexpr int kStatisticCount = 8;
constexpr std::size_t kWelchLength = 512;
constexpr std::size_t kSpectrumBins = kWelchLength / 2 + 1;
constexpr std::size_t kFeatureLength = kStatisticCount + 2 * kSpectrumBins;
static_assert(kFeatureLength == kFeatureRowLength, "the live decoder expects rows of kFeatureRowLength");

// The two bands, in the order the per-band statistics are averaged: 8-12 Hz, then 12-30 Hz.
struct Band {
    int low, high;
};
constexpr Band kAlpha{8, 12};
constexpr Band kBeta{12, 30};

py::object numpy() { return global("np"); }

py::object column(py::object values) { return values.attr("reshape")(-1, 1); }

py::object peaktopeak(py::object, py::object x) { return column(numpy().attr("ptp")(x, py::arg("axis") = -1)); }

py::object rms(py::object, py::object x) {
    py::object np = numpy();
    return column(np.attr("sqrt")(np.attr("mean")(x.attr("__pow__")(2), py::arg("axis") = -1)));
}

py::object abs_diff_signal(py::object, py::object x) {
    py::object np = numpy();
    py::object steps = np.attr("abs")(np.attr("diff")(x, py::arg("axis") = -1));
    return column(np.attr("sum")(steps, py::arg("axis") = -1));
}

py::object skewness(py::object, py::object x) { return column(global("stats").attr("skew")(x, py::arg("axis") = -1)); }

py::object kurtosis(py::object, py::object x) {
    return column(global("stats").attr("kurtosis")(x, py::arg("axis") = -1));
}

py::object variance(py::object, py::object x) { return column(numpy().attr("var")(x, py::arg("axis") = -1)); }

py::object mean(py::object, py::object x) { return column(numpy().attr("mean")(x, py::arg("axis") = -1)); }

py::object stddev(py::object, py::object x) { return column(numpy().attr("std")(x, py::arg("axis") = -1)); }

const char* const kStatisticMethods[kStatisticCount] = {"_peaktopeak", "_rms",      "_abs_diff_signal", "_skewness",
                                                        "_kurtosis",   "_variance", "_mean",            "_stddev"};

py::object concat_features(py::object self, py::object x) {
    py::list columns;
    for (const char* method : kStatisticMethods) columns.append(self.attr(method)(x));
    return numpy().attr("concatenate")(columns, py::arg("axis") = 1);
}

py::object apply_cwt(py::object, py::object data, py::object scales, py::object wavelet_name) {
    py::object cwt = global("pywt").attr("cwt");
    py::list rows;
    auto count = data.attr("shape")[py::int_(0)].cast<py::ssize_t>();
    for (py::ssize_t i = 0; i < count; ++i) {
        py::object row = data[py::make_tuple(i, py::slice(py::none(), py::none(), py::none()))];
        rows.append(cwt(row, scales, wavelet_name)[py::int_(0)]);
    }
    return numpy().attr("array")(rows);
}

// The straightforward form, item by item through MNE, SciPy and the statistic methods. It serves
// every input the native path does not take (other dtypes, short or non-finite signals, lists), so
// those behave, and fail, exactly as the libraries make them.
py::object features_per_item(py::object self, py::object data_array) {
    py::object np = numpy();
    py::object filter_data = global("mne").attr("filter").attr("filter_data");
    py::object welch = global("scipy").attr("signal").attr("welch");
    auto band_pass = [&](py::object d, Band band) -> py::object {
        return filter_data(d, py::arg("sfreq") = kFeatureSamplingRate, py::arg("l_freq") = band.low,
                           py::arg("h_freq") = band.high, py::arg("verbose") = false);
    };
    auto spectrum = [&](py::object signal) -> py::object {
        return welch(signal, py::arg("fs") = kFeatureSamplingRate, py::arg("average") = "median",
                     py::arg("nfft") = kWelchLength)[py::int_(1)];
    };
    py::list results;
    for (py::handle d : data_array) {
        py::object item = py::reinterpret_borrow<py::object>(d);
        py::object alpha = band_pass(item, kAlpha);
        py::object beta = band_pass(item, kBeta);
        py::object alpha_statistics = concat_features(self, alpha);
        py::object beta_statistics = concat_features(self, beta);
        py::object p = spectrum(beta);
        py::object p2 = spectrum(alpha);
        py::object res = np.attr("mean")(py::make_tuple(alpha_statistics, beta_statistics), py::arg("axis") = 0);
        results.append(np.attr("concatenate")(py::make_tuple(res, p, p2), py::arg("axis") = 1));
    }
    return np.attr("array")(results);
}

// MNE's band-pass FIR filters for the two bands at the feature sampling rate, designed once.
kernels::FilterBank& band_filters() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<kernels::FilterBank> storage;
    return storage
        .call_once_and_store_result([] {
            py::object create_filter = global("mne").attr("filter").attr("create_filter");
            std::vector<std::vector<double>> taps;
            for (Band band : {kAlpha, kBeta}) {
                auto h = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
                    create_filter(py::none(), static_cast<double>(kFeatureSamplingRate), band.low, band.high,
                                  py::arg("verbose") = false));
                taps.emplace_back(h.data(), h.data() + h.size());
            }
            return kernels::FilterBank(std::move(taps));
        })
        .get_stored();
}

bool is_exactly_ndarray(py::handle object) {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
    return py::type::handle_of(object).is(
        storage.call_once_and_store_result([] { return numpy().attr("ndarray"); }).get_stored());
}

// No infinity or NaN among the values: x - x is NaN exactly for those. Independent lanes and no
// early exit keep the loop vectorisable.
bool all_finite(const double* values, std::size_t count) {
    double lanes[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        for (int lane = 0; lane < 4; ++lane) lanes[lane] += values[i + lane] - values[i + lane];
    }
    for (; i < count; ++i) lanes[0] += values[i] - values[i];
    return lanes[0] + lanes[1] + lanes[2] + lanes[3] == 0.0;
}

// The input as a contiguous (items, rows, samples) float64 array when the native path computes
// exactly what the per-item form would; nothing otherwise.
std::optional<py::array_t<double, py::array::c_style>> native_input(py::object data_array, std::size_t shortest) {
    if (!is_exactly_ndarray(data_array)) return std::nullopt;
    auto array = py::reinterpret_borrow<py::array>(data_array);
    if (array.ndim() != 3 || !array.dtype().is(py::dtype::of<double>())) return std::nullopt;
    if (array.shape(0) == 0 || array.shape(1) == 0 || static_cast<std::size_t>(array.shape(2)) < shortest) {
        return std::nullopt;
    }
    auto contiguous = py::array_t<double, py::array::c_style>::ensure(array);
    if (!all_finite(contiguous.data(), static_cast<std::size_t>(contiguous.size()))) return std::nullopt;
    return contiguous;
}

// Per-thread buffers of the native path, kept between calls.
struct Scratch {
    kernels::FilterBank::Workspace filter;
    std::vector<double> filtered;  // both bands of up to two rows: 8-12 Hz first, second; 12-30 Hz likewise
    kernels::MedianWelch welch{kFeatureSamplingRate, kWelchLength};
};

// One feature row from the row's two band-passed signals: the statistics of each band averaged,
// the beta spectrum, the alpha spectrum.
void feature_row(const double* alpha, const double* beta, std::size_t samples, kernels::MedianWelch& welch,
                 double* features) {
    double alpha_statistics[kStatisticCount], beta_statistics[kStatisticCount];
    kernels::row_statistics(alpha, samples, alpha_statistics);
    kernels::row_statistics(beta, samples, beta_statistics);
    for (int k = 0; k < kStatisticCount; ++k) features[k] = (alpha_statistics[k] + beta_statistics[k]) / 2.0;
    welch.apply(beta, samples, features + kStatisticCount);
    welch.apply(alpha, samples, features + kStatisticCount + kSpectrumBins);
}

// All rows of all items, two at a time through both filters and on into their feature rows while
// the filtered signals are still in cache. The computation runs without the GIL.
py::array features_native(const py::array_t<double, py::array::c_style>& input) {
    const auto items = static_cast<std::size_t>(input.shape(0));
    const auto rows_per_item = static_cast<std::size_t>(input.shape(1));
    const auto samples = static_cast<std::size_t>(input.shape(2));
    const std::size_t rows = items * rows_per_item;
    kernels::FilterBank& bank = band_filters();
    const kernels::FilterBank::Plan& plan = bank.plan(samples);
    py::array_t<double> result({items, rows_per_item, kFeatureLength});
    double* out = result.mutable_data();
    const double* data = input.data();
    {
        py::gil_scoped_release release;
        thread_local Scratch scratch;
        scratch.filtered.resize(4 * samples);
        const double* filtered = scratch.filtered.data();
        for (std::size_t row = 0; row < rows; row += 2) {
            const bool paired = row + 1 < rows;
            bank.apply(plan, data + row * samples, paired ? data + (row + 1) * samples : nullptr, samples,
                       scratch.filtered.data(), scratch.filter);
            for (std::size_t r = 0; r < (paired ? 2u : 1u); ++r) {
                feature_row(filtered + r * samples, filtered + (2 + r) * samples, samples, scratch.welch,
                            out + (row + r) * kFeatureLength);
            }
        }
    }
    return result;
}

py::object featuresarray_load(py::object self, py::object data_array) {
    // Below one Welch segment or one filter length the libraries warn and shorten; leave those to them.
    const std::size_t shortest = std::max<std::size_t>(256, band_filters().longest());
    if (auto input = native_input(data_array, shortest)) return features_native(*input);
    return features_per_item(self, data_array);
}

}  // namespace

void bind_features(py::object cls) {
    add_signed_method(cls, "_peaktopeak", "self, x", &peaktopeak, "", py::arg("x"));
    add_signed_method(cls, "_rms", "self, x", &rms, "", py::arg("x"));
    add_signed_method(cls, "_abs_diff_signal", "self, x", &abs_diff_signal, "", py::arg("x"));
    add_signed_method(cls, "_skewness", "self, x", &skewness, "", py::arg("x"));
    add_signed_method(cls, "_kurtosis", "self, x", &kurtosis, "", py::arg("x"));
    add_signed_method(cls, "_variance", "self, x", &variance, "", py::arg("x"));
    add_signed_method(cls, "_mean", "self, x", &mean, "", py::arg("x"));
    add_signed_method(cls, "_stddev", "self, x", &stddev, "", py::arg("x"));
    add_signed_method(cls, "_concat_features", "self, x", &concat_features, "", py::arg("x"));
    add_signed_method(cls, "_apply_cwt", "self, data, scales, wavelet_name='morl'", &apply_cwt, "",
                      py::arg("data"), py::arg("scales"), py::arg("wavelet_name") = "morl");
    add_signed_method(cls, "featuresarray_load", "self, data_array", &featuresarray_load, "", py::arg("data_array"));
}

}  // namespace corvane::policy_forge
