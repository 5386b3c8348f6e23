// Native kernels behind featuresarray_load: FIR band-pass filtering with the edge padding and
// zero-phase alignment of MNE's FFT filter, the eight row statistics, and a median-averaged
// Welch spectrum. Plain C++ on contiguous double buffers; no Python involved.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace corvane::policy_forge::kernels {

// Complex FFT of one power-of-two length on split real/imaginary buffers, by radix-4 stages and,
// for odd powers of two, one radix-2 stage. The forward transform reads natural order and leaves
// the spectrum in bit-reversed order; the inverse reads bit-reversed order and writes natural
// order. Pointwise products of two spectra and per-bin look-ups (through position) therefore need
// no reordering pass.
class Fft {
public:
    explicit Fft(std::size_t size);
    std::size_t size() const { return size_; }
    // In place. With `upper_half_zero` the entries [size/2, size) are taken as zero and not read.
    void forward(double* re, double* im, bool upper_half_zero = false) const;
    // In place, without the 1/size factor.
    void inverse(double* re, double* im) const;
    // Where the forward transform leaves bin k.
    std::size_t position(std::size_t k) const { return bit_reversed_[k]; }

private:
    struct Stage {
        std::size_t quarter;  // butterflies span 4 * quarter entries
        std::size_t offset;   // cos/sin of 1x, 2x, 3x the angle step: six runs of `quarter` values
    };
    std::size_t size_;
    bool odd_power_;                   // one radix-2 stage besides the radix-4 stages
    std::vector<Stage> stages_;        // quarters from size/4 down
    std::vector<double> twiddles_;
    std::vector<std::size_t> bit_reversed_;
};

// Smallest power of two that is >= n.
std::size_t next_power_of_two(std::size_t n);

// A bank of odd-length linear-phase FIR filters applied as MNE applies them with phase="zero" and
// pad="reflect_limited": the signal is extended at both ends by odd reflection about its first and
// last sample, convolved, and re-centred by half the filter length. Signals must be at least as
// long as the longest filter.
class FilterBank {
public:
    // The filters' spectra for one FFT length, scaled by 1/length and in the FFT's output order.
    struct Plan {
        Fft fft;
        std::vector<std::vector<double>> spectrum_re, spectrum_im;
    };
    // Per-thread scratch of apply.
    struct Workspace {
        std::vector<double> signal_re, signal_im, re, im;
    };

    explicit FilterBank(std::vector<std::vector<double>> taps);
    std::size_t filter_count() const { return taps_.size(); }
    std::size_t longest() const { return longest_; }
    // The plan for signals of `samples`, made on first use. Not thread-safe (callers serialise
    // it); plans stay where they are, so apply may use one while another is made.
    const Plan& plan(std::size_t samples);
    // Filters one or two signals of `samples` (`second` may be null) through every filter:
    // out + (2 * f) * samples receives `first` through filter f, the next `samples` `second`.
    void apply(const Plan& plan, const double* first, const double* second, std::size_t samples,
               double* out, Workspace& workspace) const;

private:
    std::size_t pad() const { return (longest_ - 1) / 2; }
    std::vector<std::vector<double>> taps_;
    std::size_t longest_ = 0;
    std::vector<std::unique_ptr<Plan>> plans_;
};

// Sums in the kernels run in this many interleaved lanes: the loops vectorise, and the rounding
// stays nearer NumPy's pairwise sums than one running sum would.
inline constexpr std::size_t kSumLanes = 4;
inline double lane_total(const double (&lanes)[kSumLanes]) { return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]); }
inline double lane_sum(const double* x, std::size_t n) {
    double lanes[kSumLanes] = {};
    std::size_t i = 0;
    for (; i + kSumLanes <= n; i += kSumLanes) {
        for (std::size_t l = 0; l < kSumLanes; ++l) lanes[l] += x[i + l];
    }
    for (; i < n; ++i) lanes[0] += x[i];
    return lane_total(lanes);
}

// The eight statistics of one row, in feature order: peak-to-peak, RMS, sum of absolute successive
// differences, skewness, excess kurtosis (both biased, NaN when the variance vanishes against the
// mean as SciPy decides), population variance, mean, population standard deviation.
void row_statistics(const double* x, std::size_t n, double out[8]);

// Welch power spectral density with a periodic Hann window of min(256, n) samples, half overlap,
// constant detrend per segment, density scaling and a one-sided spectrum of `nfft` points,
// averaged by the bias-corrected median over segments. Writes nfft / 2 + 1 values. Keeps its
// buffers between calls: one object per thread.
class MedianWelch {
public:
    MedianWelch(double sampling_rate, std::size_t nfft);
    std::size_t bins() const { return fft_.size() / 2 + 1; }
    void apply(const double* x, std::size_t n, double* out);

private:
    void prepare(std::size_t segment_length, std::size_t segments);
    void load(const double* segment, double* target) const;
    void store(std::size_t first, bool paired);
    void take_medians(double* out);
    double sampling_rate_;
    Fft fft_;
    std::size_t segment_length_ = 0, segments_ = 0;
    std::vector<double> window_, bin_weight_;
    std::vector<std::size_t> bin_position_, mirror_position_;
    // Compare-exchange steps that sort the segments' powers of every bin at once.
    std::vector<std::pair<std::size_t, std::size_t>> sorting_network_;
    double bias_ = 1.0;
    std::vector<double> re_, im_, powers_, column_;
};

}  // namespace corvane::policy_forge::kernels
