#include "policy_forge/feature_kernels.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

namespace corvane::policy_forge::kernels {

FilterBank::FilterBank(std::vector<std::vector<double>> taps) : taps_(std::move(taps)) {
    for (const auto& filter : taps_) {
        if (filter.size() % 2 == 0) throw std::invalid_argument("FIR filters must have odd length");
        longest_ = std::max(longest_, filter.size());
    }
}

const FilterBank::Plan& FilterBank::plan(std::size_t samples) {
    // The FFT must hold the extended signal, and the circular wrap must stay clear of the kept
    // samples.
    const std::size_t fft_size = next_power_of_two(samples + 2 * pad());
    for (const auto& plan : plans_) {
        if (plan->fft.size() == fft_size) return *plan;
    }
    auto plan = std::make_unique<Plan>(Plan{Fft(fft_size), {}, {}});
    const double scale = 1.0 / static_cast<double>(fft_size);  // the inverse transform's factor
    for (const auto& filter : taps_) {
        std::vector<double> re(fft_size, 0.0), im(fft_size, 0.0);
        std::copy(filter.begin(), filter.end(), re.begin());
        plan->fft.forward(re.data(), im.data());
        for (std::size_t k = 0; k < fft_size; ++k) {
            re[k] *= scale;
            im[k] *= scale;
        }
        plan->spectrum_re.push_back(std::move(re));
        plan->spectrum_im.push_back(std::move(im));
    }
    plans_.push_back(std::move(plan));
    return *plans_.back();
}

namespace {

// Writes `x` extended by `pad` samples of odd reflection at each end (as MNE's "reflect_limited"
// pads when the signal is longer than the pad) into `out`, zero-filled up to `size`.
void reflect_pad(const double* x, std::size_t n, std::size_t pad, double* out, std::size_t size) {
    for (std::size_t j = 0; j < pad; ++j) out[j] = 2.0 * x[0] - x[pad - j];
    std::copy(x, x + n, out + pad);
    for (std::size_t j = 0; j < pad; ++j) out[pad + n + j] = 2.0 * x[n - 1] - x[n - 2 - j];
    std::fill(out + 2 * pad + n, out + size, 0.0);
}

}  // namespace

void FilterBank::apply(const Plan& plan, const double* first, const double* second, std::size_t samples,
                       double* out, Workspace& workspace) const {
    if (samples < longest_) throw std::invalid_argument("signal shorter than the filter");
    // Only the reflected samples within half a filter length of an edge reach the output, so one
    // extension by the longest half-length serves every filter.
    const std::size_t size = plan.fft.size(), extension = pad();
    for (auto* buffer : {&workspace.signal_re, &workspace.signal_im, &workspace.re, &workspace.im}) {
        buffer->resize(size);
    }
    double* signal_re = workspace.signal_re.data();
    double* signal_im = workspace.signal_im.data();
    double* re = workspace.re.data();
    double* im = workspace.im.data();
    // The two real signals travel as the real and imaginary parts of one complex signal; a real
    // filter keeps them apart, so one transform pair filters both.
    reflect_pad(first, samples, extension, signal_re, size);
    if (second) {
        reflect_pad(second, samples, extension, signal_im, size);
    } else {
        std::fill(signal_im, signal_im + size, 0.0);
    }
    plan.fft.forward(signal_re, signal_im);
    for (std::size_t f = 0; f < taps_.size(); ++f) {
        const double* hr = plan.spectrum_re[f].data();
        const double* hi = plan.spectrum_im[f].data();
        for (std::size_t k = 0; k < size; ++k) {
            re[k] = signal_re[k] * hr[k] - signal_im[k] * hi[k];
            im[k] = signal_re[k] * hi[k] + signal_im[k] * hr[k];
        }
        plan.fft.inverse(re, im);
        const std::size_t shift = extension + (taps_[f].size() - 1) / 2;
        std::copy(re + shift, re + shift + samples, out + 2 * f * samples);
        if (second) std::copy(im + shift, im + shift + samples, out + (2 * f + 1) * samples);
    }
}

void row_statistics(const double* x, std::size_t n, double out[8]) {
    constexpr std::size_t L = kSumLanes;
    const std::size_t whole = n / L * L;
    double low[L], high[L], sum[L] = {}, squares[L] = {}, travel[L] = {};
    std::fill(low, low + L, x[0]);
    std::fill(high, high + L, x[0]);
    for (std::size_t i = 0; i < whole; i += L) {
        for (std::size_t l = 0; l < L; ++l) {
            const double v = x[i + l];
            low[l] = std::min(low[l], v);
            high[l] = std::max(high[l], v);
            sum[l] += v;
            squares[l] += v * v;
        }
    }
    for (std::size_t i = whole; i < n; ++i) {
        low[0] = std::min(low[0], x[i]);
        high[0] = std::max(high[0], x[i]);
        sum[0] += x[i];
        squares[0] += x[i] * x[i];
    }
    std::size_t i = 1;
    for (; i + L <= n; i += L) {
        for (std::size_t l = 0; l < L; ++l) travel[l] += std::fabs(x[i + l] - x[i + l - 1]);
    }
    for (; i < n; ++i) travel[0] += std::fabs(x[i] - x[i - 1]);

    const double count = static_cast<double>(n);
    const double mean = lane_total(sum) / count;
    double m2[L] = {}, m3[L] = {}, m4[L] = {};
    for (std::size_t i = 0; i < whole; i += L) {
        for (std::size_t l = 0; l < L; ++l) {
            const double d = x[i + l] - mean, d2 = d * d;
            m2[l] += d2;
            m3[l] += d2 * d;
            m4[l] += d2 * d2;
        }
    }
    for (std::size_t i = whole; i < n; ++i) {
        const double d = x[i] - mean, d2 = d * d;
        m2[0] += d2;
        m3[0] += d2 * d;
        m4[0] += d2 * d2;
    }
    const double variance = lane_total(m2) / count, third = lane_total(m3) / count;
    const double fourth = lane_total(m4) / count;
    // Below this the variance is rounding noise around the mean and the shape statistics are undefined.
    const double eps = std::numeric_limits<double>::epsilon();
    const bool flat = variance <= (eps * mean) * (eps * mean);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    out[0] = *std::max_element(high, high + L) - *std::min_element(low, low + L);
    out[1] = std::sqrt(lane_total(squares) / count);
    out[2] = lane_total(travel);
    out[3] = flat ? nan : third / std::pow(variance, 1.5);
    out[4] = flat ? nan : fourth / (variance * variance) - 3.0;
    out[5] = variance;
    out[6] = mean;
    out[7] = std::sqrt(variance);
}

}  // namespace corvane::policy_forge::kernels
