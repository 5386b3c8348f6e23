#include "policy_forge/feature_kernels.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <utility>

namespace corvane::policy_forge::kernels {

std::size_t next_power_of_two(std::size_t n) {
    std::size_t size = 1;
    while (size < n) size <<= 1;
    return size;
}

Fft::Fft(std::size_t size) : size_(size), bit_reversed_(size), twiddle_cos_(size), twiddle_sin_(size) {
    if (size == 0 || (size & (size - 1)) != 0) throw std::invalid_argument("FFT size must be a power of two");
    std::size_t bits = 0;
    while ((std::size_t{1} << bits) < size) ++bits;
    for (std::size_t i = 0; i < size; ++i) {
        std::size_t reversed = 0;
        for (std::size_t b = 0; b < bits; ++b) reversed |= ((i >> b) & 1) << (bits - 1 - b);
        bit_reversed_[i] = reversed;
    }
    // Each twiddle is computed directly (no recurrence), so its error stays at one rounding.
    for (std::size_t half = 1; half < size; half <<= 1) {
        for (std::size_t j = 0; j < half; ++j) {
            double angle = std::numbers::pi * static_cast<double>(j) / static_cast<double>(half);
            twiddle_cos_[half - 1 + j] = std::cos(angle);
            twiddle_sin_[half - 1 + j] = std::sin(angle);
        }
    }
}

void Fft::transform(double* re, double* im, bool inverse) const {
    for (std::size_t i = 0; i < size_; ++i) {
        std::size_t j = bit_reversed_[i];
        if (i < j) {
            std::swap(re[i], re[j]);
            std::swap(im[i], im[j]);
        }
    }
    const double sign = inverse ? 1.0 : -1.0;
    for (std::size_t half = 1; half < size_; half <<= 1) {
        const double* wc = &twiddle_cos_[half - 1];
        const double* ws = &twiddle_sin_[half - 1];
        for (std::size_t start = 0; start < size_; start += 2 * half) {
            double* ar = re + start;
            double* ai = im + start;
            double* br = ar + half;
            double* bi = ai + half;
            for (std::size_t j = 0; j < half; ++j) {
                double c = wc[j], s = sign * ws[j];
                double vr = br[j] * c - bi[j] * s;
                double vi = br[j] * s + bi[j] * c;
                br[j] = ar[j] - vr;
                bi[j] = ai[j] - vi;
                ar[j] += vr;
                ai[j] += vi;
            }
        }
    }
    if (inverse) {
        const double factor = 1.0 / static_cast<double>(size_);
        for (std::size_t i = 0; i < size_; ++i) {
            re[i] *= factor;
            im[i] *= factor;
        }
    }
}

FilterBank::FilterBank(std::vector<std::vector<double>> taps) : taps_(std::move(taps)) {
    for (const auto& filter : taps_) {
        if (filter.size() % 2 == 0) throw std::invalid_argument("FIR filters must have odd length");
        longest_ = std::max(longest_, filter.size());
    }
}

FilterBank::Plan& FilterBank::plan_for(std::size_t fft_size) {
    for (auto& plan : plans_) {
        if (plan.fft.size() == fft_size) return plan;
    }
    Plan plan{Fft(fft_size), {}, {}};
    for (const auto& filter : taps_) {
        std::vector<double> re(fft_size, 0.0), im(fft_size, 0.0);
        std::copy(filter.begin(), filter.end(), re.begin());
        plan.fft.forward(re.data(), im.data());
        plan.spectrum_re.push_back(std::move(re));
        plan.spectrum_im.push_back(std::move(im));
    }
    plans_.push_back(std::move(plan));
    return plans_.back();
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

void FilterBank::apply(const double* input, std::size_t rows, std::size_t samples,
                       std::vector<std::vector<double>>& output) {
    if (samples < longest_) throw std::invalid_argument("signal shorter than the filter");
    // Only the reflected samples within half a filter length of an edge reach the output, so one
    // extension by the longest half-length serves every filter. The FFT must hold the extended
    // signal, and the circular wrap must stay clear of the kept samples.
    const std::size_t pad = (longest_ - 1) / 2;
    const std::size_t fft_size = next_power_of_two(samples + 2 * pad);
    Plan& plan = plan_for(fft_size);
    output.assign(taps_.size(), std::vector<double>(rows * samples));

    std::vector<double> signal_re(fft_size), signal_im(fft_size), re(fft_size), im(fft_size);
    // Two real rows travel together as the real and imaginary parts of one complex signal; a real
    // filter keeps them apart, so one transform pair filters both.
    for (std::size_t row = 0; row < rows; row += 2) {
        const bool paired = row + 1 < rows;
        reflect_pad(input + row * samples, samples, pad, signal_re.data(), fft_size);
        if (paired) {
            reflect_pad(input + (row + 1) * samples, samples, pad, signal_im.data(), fft_size);
        } else {
            std::fill(signal_im.begin(), signal_im.end(), 0.0);
        }
        plan.fft.forward(signal_re.data(), signal_im.data());
        for (std::size_t f = 0; f < taps_.size(); ++f) {
            const double* hr = plan.spectrum_re[f].data();
            const double* hi = plan.spectrum_im[f].data();
            for (std::size_t k = 0; k < fft_size; ++k) {
                re[k] = signal_re[k] * hr[k] - signal_im[k] * hi[k];
                im[k] = signal_re[k] * hi[k] + signal_im[k] * hr[k];
            }
            plan.fft.inverse(re.data(), im.data());
            const std::size_t shift = pad + (taps_[f].size() - 1) / 2;
            std::copy(re.begin() + shift, re.begin() + shift + samples, output[f].begin() + row * samples);
            if (paired) {
                std::copy(im.begin() + shift, im.begin() + shift + samples,
                          output[f].begin() + (row + 1) * samples);
            }
        }
    }
}

void row_statistics(const double* x, std::size_t n, double out[8]) {
    double low = x[0], high = x[0], sum = 0.0, squares = 0.0, travel = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        low = std::min(low, x[i]);
        high = std::max(high, x[i]);
        sum += x[i];
        squares += x[i] * x[i];
        if (i > 0) travel += std::fabs(x[i] - x[i - 1]);
    }
    const double count = static_cast<double>(n);
    const double mean = sum / count;
    double m2 = 0.0, m3 = 0.0, m4 = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        double d = x[i] - mean, d2 = d * d;
        m2 += d2;
        m3 += d2 * d;
        m4 += d2 * d2;
    }
    m2 /= count;
    m3 /= count;
    m4 /= count;
    // Below this the variance is rounding noise around the mean and the shape statistics are undefined.
    const double eps = std::numeric_limits<double>::epsilon();
    const bool flat = m2 <= (eps * mean) * (eps * mean);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    out[0] = high - low;
    out[1] = std::sqrt(squares / count);
    out[2] = travel;
    out[3] = flat ? nan : m3 / std::pow(m2, 1.5);
    out[4] = flat ? nan : m4 / (m2 * m2) - 3.0;
    out[5] = m2;
    out[6] = mean;
    out[7] = std::sqrt(m2);
}

MedianWelch::MedianWelch(double sampling_rate, std::size_t nfft)
    : sampling_rate_(sampling_rate), fft_(nfft), re_(nfft), im_(nfft) {}

void MedianWelch::prepare(std::size_t segment_length) {
    if (segment_length == segment_length_) return;
    if (segment_length > fft_.size()) throw std::invalid_argument("segment longer than the FFT");
    segment_length_ = segment_length;
    window_.resize(segment_length);
    double energy = 0.0;
    for (std::size_t i = 0; i < segment_length; ++i) {
        window_[i] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) /
                                          static_cast<double>(segment_length));
        energy += window_[i] * window_[i];
    }
    scale_ = 1.0 / (sampling_rate_ * energy);
}

namespace {

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

void MedianWelch::apply(const double* x, std::size_t n, double* out) {
    prepare(std::min<std::size_t>(256, n));
    const std::size_t length = segment_length_, hop = length - length / 2;
    const std::size_t segments = (n - length / 2) / hop;
    const std::size_t size = fft_.size(), bins = size / 2 + 1;
    powers_.assign(segments * bins, 0.0);

    // Demeaned, windowed segment `s` into `target`, zero-padded to the FFT length.
    auto load = [&](std::size_t s, double* target) {
        const double* segment = x + s * hop;
        double mean = 0.0;
        for (std::size_t i = 0; i < length; ++i) mean += segment[i];
        mean /= static_cast<double>(length);
        for (std::size_t i = 0; i < length; ++i) target[i] = (segment[i] - mean) * window_[i];
        std::fill(target + length, target + size, 0.0);
    };
    auto store = [&](std::size_t s, std::size_t k, double real, double imag) {
        // One-sided density: every bin but DC and Nyquist carries its negative-frequency twin.
        double factor = (k == 0 || k == size / 2) ? 1.0 : 2.0;
        powers_[s * bins + k] = (real * real + imag * imag) * scale_ * factor;
    };
    // Two segments per complex transform: one as the real part, the next as the imaginary part.
    for (std::size_t s = 0; s < segments; s += 2) {
        const bool paired = s + 1 < segments;
        load(s, re_.data());
        if (paired) {
            load(s + 1, im_.data());
        } else {
            std::fill(im_.begin(), im_.end(), 0.0);
        }
        fft_.forward(re_.data(), im_.data());
        for (std::size_t k = 0; k < bins; ++k) {
            std::size_t mirror = (size - k) % size;
            double a = re_[k], b = im_[k], c = re_[mirror], d = im_[mirror];
            store(s, k, (a + c) / 2.0, (b - d) / 2.0);
            if (paired) store(s + 1, k, (b + d) / 2.0, (c - a) / 2.0);
        }
    }
    const double bias = segments > 1 ? median_bias(segments) : 1.0;
    column_.resize(segments);
    for (std::size_t k = 0; k < bins; ++k) {
        for (std::size_t s = 0; s < segments; ++s) column_[s] = powers_[s * bins + k];
        out[k] = segments > 1 ? median(column_) / bias : column_[0];
    }
}

}  // namespace corvane::policy_forge::kernels
