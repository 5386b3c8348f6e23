// The median-averaged Welch spectrum of the feature rows. Segments travel two per complex FFT,
// the zero padding of each segment is never transformed, and the median of every bin is taken at
// once by a sorting network run over whole rows of bins.
#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

#include "policy_forge/feature_kernels.hpp"

namespace corvane::policy_forge::kernels {

namespace {

// Above this many segments the per-bin selection beats the network.
constexpr std::size_t kNetworkLimit = 32;

// Batcher's odd-even merge sort of `count` values, as compare-exchange steps (lower, upper). It
// is built for the next power of two; steps reaching past `count` would only meet the +infinity
// padding there, which never moves, so they are dropped.
std::vector<std::pair<std::size_t, std::size_t>> sorting_network(std::size_t count) {
    std::vector<std::pair<std::size_t, std::size_t>> steps;
    const std::size_t n = next_power_of_two(count);
    for (std::size_t p = 1; p < n; p *= 2) {
        for (std::size_t k = p; k >= 1; k /= 2) {
            for (std::size_t j = k % p; j + k < n; j += 2 * k) {
                for (std::size_t i = 0; i < k && i + j + k < count; ++i) {
                    if ((i + j) / (2 * p) == (i + j + k) / (2 * p)) steps.emplace_back(i + j, i + j + k);
                }
            }
        }
    }
    return steps;
}

// Median bias of a chi-square with two degrees of freedom over `segments` values.
double median_bias(std::size_t segments) {
    double bias = 1.0;
    for (std::size_t i = 1; i <= (segments - 1) / 2; ++i) {
        double even = 2.0 * static_cast<double>(i);
        bias += 1.0 / (even + 1.0) - 1.0 / even;
    }
    return bias;
}

double median(std::vector<double>& values) {
    const std::size_t count = values.size(), middle = count / 2;
    std::nth_element(values.begin(), values.begin() + middle, values.end());
    double upper = values[middle];
    if (count % 2 == 1) return upper;
    double lower = *std::max_element(values.begin(), values.begin() + middle);
    return (lower + upper) / 2.0;
}

}  // namespace

MedianWelch::MedianWelch(double sampling_rate, std::size_t nfft)
    : sampling_rate_(sampling_rate), fft_(nfft), re_(nfft), im_(nfft) {
    for (std::size_t k = 0; k < bins(); ++k) {
        bin_position_.push_back(fft_.position(k));
        mirror_position_.push_back(fft_.position((nfft - k) % nfft));
    }
}

void MedianWelch::prepare(std::size_t segment_length, std::size_t segments) {
    if (segment_length > fft_.size()) throw std::invalid_argument("segment longer than the FFT");
    if (segment_length != segment_length_) {
        segment_length_ = segment_length;
        window_.resize(segment_length);
        double energy = 0.0;
        for (std::size_t i = 0; i < segment_length; ++i) {
            window_[i] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) /
                                              static_cast<double>(segment_length));
            energy += window_[i] * window_[i];
        }
        // Density scaling; every bin but DC and Nyquist also carries its negative-frequency twin.
        // The 1/4 undoes the doubling of both parts when two segments are told apart.
        const double scale = 1.0 / (sampling_rate_ * energy);
        bin_weight_.assign(bins(), 2.0 * scale / 4.0);
        bin_weight_.front() = bin_weight_.back() = scale / 4.0;
    }
    if (segments != segments_) {
        segments_ = segments;
        bias_ = segments > 1 ? median_bias(segments) : 1.0;
        sorting_network_ = segments <= kNetworkLimit ? sorting_network(segments) : decltype(sorting_network_){};
        powers_.resize(segments * bins());
    }
}

// Segment minus its mean, windowed, into `target`, zero-padded up to where the FFT reads.
void MedianWelch::load(const double* segment, double* target) const {
    const std::size_t length = segment_length_;
    const double mean = lane_sum(segment, length) / static_cast<double>(length);
    for (std::size_t i = 0; i < length; ++i) target[i] = (segment[i] - mean) * window_[i];
    const std::size_t size = fft_.size();
    std::fill(target + length, target + (2 * length <= size ? size / 2 : size), 0.0);
}

// Powers of segment `first` (the real part) and, if paired, of the next one (the imaginary part)
// from their joint spectrum, by the symmetry of real signals' spectra.
void MedianWelch::store(std::size_t first, bool paired) {
    const std::size_t count = bins();
    double* __restrict p = powers_.data() + first * count;
    double* __restrict q = p + count;
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t at = bin_position_[k], mirror = mirror_position_[k];
        const double a = re_[at], b = im_[at], c = re_[mirror], d = im_[mirror];
        p[k] = ((a + c) * (a + c) + (b - d) * (b - d)) * bin_weight_[k];
        if (paired) q[k] = ((b + d) * (b + d) + (c - a) * (c - a)) * bin_weight_[k];
    }
}

void MedianWelch::take_medians(double* out) {
    const std::size_t count = bins(), segments = segments_, middle = segments / 2;
    if (segments == 1) {
        std::copy(powers_.begin(), powers_.begin() + count, out);
        return;
    }
    if (sorting_network_.empty()) {
        column_.resize(segments);
        for (std::size_t k = 0; k < count; ++k) {
            for (std::size_t s = 0; s < segments; ++s) column_[s] = powers_[s * count + k];
            out[k] = median(column_) / bias_;
        }
        return;
    }
    for (auto [lower, upper] : sorting_network_) {
        double* __restrict a = powers_.data() + lower * count;
        double* __restrict b = powers_.data() + upper * count;
        for (std::size_t k = 0; k < count; ++k) {
            const double low = std::min(a[k], b[k]), high = std::max(a[k], b[k]);
            a[k] = low;
            b[k] = high;
        }
    }
    const double* upper = powers_.data() + middle * count;
    const double* lower = upper - count;
    for (std::size_t k = 0; k < count; ++k) {
        out[k] = (segments % 2 == 1 ? upper[k] : (lower[k] + upper[k]) / 2.0) / bias_;
    }
}

void MedianWelch::apply(const double* x, std::size_t n, double* out) {
    const std::size_t length = std::min<std::size_t>(256, n), hop = length - length / 2;
    prepare(length, (n - length / 2) / hop);
    const std::size_t size = fft_.size();
    const bool upper_half_zero = 2 * length <= size;
    // Two segments per complex transform: one as the real part, the next as the imaginary part.
    for (std::size_t s = 0; s < segments_; s += 2) {
        const bool paired = s + 1 < segments_;
        load(x + s * hop, re_.data());
        if (paired) {
            load(x + (s + 1) * hop, im_.data());
        } else {
            std::fill(im_.begin(), im_.begin() + (upper_half_zero ? size / 2 : size), 0.0);
        }
        fft_.forward(re_.data(), im_.data(), upper_half_zero);
        store(s, paired);
    }
    take_medians(out);
}

}  // namespace corvane::policy_forge::kernels
