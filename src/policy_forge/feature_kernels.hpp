// Native kernels behind featuresarray_load: FIR band-pass filtering with the edge padding and
// zero-phase alignment of MNE's FFT filter, the eight row statistics, and a median-averaged
// Welch spectrum. Plain C++ on contiguous double buffers; no Python involved.
#pragma once

#include <cstddef>
#include <vector>

namespace corvane::policy_forge::kernels {

// Radix-2 complex FFT of one power-of-two length, on split real/imaginary buffers.
class Fft {
public:
    explicit Fft(std::size_t size);
    std::size_t size() const { return size_; }
    // In place; the inverse includes the 1/size factor.
    void forward(double* re, double* im) const { transform(re, im, false); }
    void inverse(double* re, double* im) const { transform(re, im, true); }

private:
    void transform(double* re, double* im, bool inverse) const;
    std::size_t size_;
    std::vector<std::size_t> bit_reversed_;
    // Twiddles of the stage with half-length h are stored at [h - 1, 2h - 1).
    std::vector<double> twiddle_cos_, twiddle_sin_;
};

// Smallest power of two that is >= n.
std::size_t next_power_of_two(std::size_t n);

// A bank of odd-length linear-phase FIR filters applied as MNE applies them with phase="zero" and
// pad="reflect_limited": the signal is extended at both ends by odd reflection about its first and
// last sample, convolved, and re-centred by half the filter length. Signals must be at least as
// long as the longest filter. Each filter's spectrum is kept per FFT length.
class FilterBank {
public:
    explicit FilterBank(std::vector<std::vector<double>> taps);
    std::size_t filter_count() const { return taps_.size(); }
    std::size_t longest() const { return longest_; }
    // Filters `rows` signals of `samples` each (row-major in `input`) through every filter;
    // output[f] receives rows x samples for filter f.
    void apply(const double* input, std::size_t rows, std::size_t samples,
               std::vector<std::vector<double>>& output);

private:
    struct Plan {
        Fft fft;
        std::vector<std::vector<double>> spectrum_re, spectrum_im;
    };
    Plan& plan_for(std::size_t fft_size);
    std::vector<std::vector<double>> taps_;
    std::size_t longest_ = 0;
    std::vector<Plan> plans_;
};

// The eight statistics of one row, in feature order: peak-to-peak, RMS, sum of absolute successive
// differences, skewness, excess kurtosis (both biased, NaN when the variance vanishes against the
// mean as SciPy decides), population variance, mean, population standard deviation.
void row_statistics(const double* x, std::size_t n, double out[8]);

// Welch power spectral density with a periodic Hann window of min(256, n) samples, half overlap,
// constant detrend per segment, density scaling and a one-sided spectrum of `nfft` points,
// averaged by the bias-corrected median over segments. Writes nfft / 2 + 1 values.
class MedianWelch {
public:
    MedianWelch(double sampling_rate, std::size_t nfft);
    std::size_t bins() const { return fft_.size() / 2 + 1; }
    void apply(const double* x, std::size_t n, double* out);

private:
    void prepare(std::size_t segment_length);
    double sampling_rate_;
    Fft fft_;
    std::size_t segment_length_ = 0;
    std::vector<double> window_;
    double scale_ = 0.0;
    std::vector<double> re_, im_, powers_, column_;
};

}  // namespace corvane::policy_forge::kernels
