// The radix-4 FFT of the feature kernels. Decimation in frequency forward and in time inverse,
// so neither direction needs a bit-reversal pass; split real/imaginary buffers and per-stage
// contiguous twiddles keep the butterfly loops vectorisable.
#include <cmath>
#include <numbers>
#include <stdexcept>

#include "policy_forge/feature_kernels.hpp"

namespace corvane::policy_forge::kernels {

std::size_t next_power_of_two(std::size_t n) {
    std::size_t size = 1;
    while (size < n) size <<= 1;
    return size;
}

Fft::Fft(std::size_t size) : size_(size), bit_reversed_(size) {
    if (size == 0 || (size & (size - 1)) != 0) throw std::invalid_argument("FFT size must be a power of two");
    std::size_t bits = 0;
    while ((std::size_t{1} << bits) < size) ++bits;
    odd_power_ = bits % 2 == 1;
    for (std::size_t i = 0; i < size; ++i) {
        std::size_t reversed = 0;
        for (std::size_t b = 0; b < bits; ++b) reversed |= ((i >> b) & 1) << (bits - 1 - b);
        bit_reversed_[i] = reversed;
    }
    // Each twiddle is computed directly (no recurrence), so its error stays at one rounding.
    for (std::size_t quarter = size / 4; quarter >= 1; quarter /= 4) {
        stages_.push_back({quarter, twiddles_.size()});
        const double step = 2.0 * std::numbers::pi / static_cast<double>(4 * quarter);
        for (int multiple = 1; multiple <= 3; ++multiple) {
            for (std::size_t j = 0; j < quarter; ++j) twiddles_.push_back(std::cos(step * multiple * j));
            for (std::size_t j = 0; j < quarter; ++j) twiddles_.push_back(std::sin(step * multiple * j));
        }
    }
}

namespace {

struct Twiddles {
    const double *c1, *s1, *c2, *s2, *c3, *s3;
    Twiddles(const double* t, std::size_t q)
        : c1(t), s1(t + q), c2(t + 2 * q), s2(t + 3 * q), c3(t + 4 * q), s3(t + 5 * q) {}
};

// Pairs (2m, 2m + 1): the twiddle-free radix-2 stage, last forward and first inverse.
void radix2_pairs(double* re, double* im, std::size_t n) {
    for (std::size_t i = 0; i < n; i += 2) {
        double ar = re[i], ai = im[i], br = re[i + 1], bi = im[i + 1];
        re[i] = ar + br;
        im[i] = ai + bi;
        re[i + 1] = ar - br;
        im[i + 1] = ai - bi;
    }
}

// One forward radix-4 butterfly column: inputs at j, j+q, j+2q, j+3q; outputs in the order two
// radix-2 stages would leave them (bins 0, 2, 1, 3 of the four), times e^{-i angle}.
inline void forward_butterflies(double* __restrict r0, double* __restrict i0, double* __restrict r1,
                                double* __restrict i1, double* __restrict r2, double* __restrict i2,
                                double* __restrict r3, double* __restrict i3, const Twiddles& w,
                                std::size_t q) {
    for (std::size_t j = 0; j < q; ++j) {
        double t0r = r0[j] + r2[j], t0i = i0[j] + i2[j];
        double t1r = r0[j] - r2[j], t1i = i0[j] - i2[j];
        double t2r = r1[j] + r3[j], t2i = i1[j] + i3[j];
        double t3r = r1[j] - r3[j], t3i = i1[j] - i3[j];
        double ur = t0r - t2r, ui = t0i - t2i;      // bin 2
        double vr = t1r + t3i, vi = t1i - t3r;      // bin 1: t1 - i t3
        double xr = t1r - t3i, xi = t1i + t3r;      // bin 3: t1 + i t3
        r0[j] = t0r + t2r;
        i0[j] = t0i + t2i;
        r1[j] = ur * w.c2[j] + ui * w.s2[j];
        i1[j] = ui * w.c2[j] - ur * w.s2[j];
        r2[j] = vr * w.c1[j] + vi * w.s1[j];
        i2[j] = vi * w.c1[j] - vr * w.s1[j];
        r3[j] = xr * w.c3[j] + xi * w.s3[j];
        i3[j] = xi * w.c3[j] - xr * w.s3[j];
    }
}

// The inverse of the above: inputs at j, j+q, j+2q, j+3q hold bins 0, 2, 1, 3 and are turned by
// e^{+i angle} before combining.
inline void inverse_butterflies(double* __restrict r0, double* __restrict i0, double* __restrict r1,
                                double* __restrict i1, double* __restrict r2, double* __restrict i2,
                                double* __restrict r3, double* __restrict i3, const Twiddles& w,
                                std::size_t q) {
    for (std::size_t j = 0; j < q; ++j) {
        double br = r1[j] * w.c2[j] - i1[j] * w.s2[j], bi = i1[j] * w.c2[j] + r1[j] * w.s2[j];
        double cr = r2[j] * w.c1[j] - i2[j] * w.s1[j], ci = i2[j] * w.c1[j] + r2[j] * w.s1[j];
        double dr = r3[j] * w.c3[j] - i3[j] * w.s3[j], di = i3[j] * w.c3[j] + r3[j] * w.s3[j];
        double sr = r0[j] + br, si = i0[j] + bi, tr = r0[j] - br, ti = i0[j] - bi;
        double ur = cr + dr, ui = ci + di, vr = cr - dr, vi = ci - di;
        r0[j] = sr + ur;
        i0[j] = si + ui;
        r2[j] = sr - ur;
        i2[j] = si - ui;
        r1[j] = tr - vi;  // t + i v
        i1[j] = ti + vr;
        r3[j] = tr + vi;  // t - i v
        i3[j] = ti - vr;
    }
}

}  // namespace

// The first stage when the second half of the input is zero: c = d = 0 in every butterfly.
void Fft::first_stage_upper_half_zero(double* re, double* im) const {
    const std::size_t q = stages_.front().quarter;
    const Twiddles w(twiddles_.data() + stages_.front().offset, q);
    double *__restrict r0 = re, *__restrict i0 = im, *__restrict r1 = re + q, *__restrict i1 = im + q;
    double *__restrict r2 = re + 2 * q, *__restrict i2 = im + 2 * q;
    double *__restrict r3 = re + 3 * q, *__restrict i3 = im + 3 * q;
    for (std::size_t j = 0; j < q; ++j) {
        double ar = r0[j], ai = i0[j], br = r1[j], bi = i1[j];
        double ur = ar - br, ui = ai - bi;  // bin 2
        double vr = ar + bi, vi = ai - br;  // bin 1: a - i b
        double xr = ar - bi, xi = ai + br;  // bin 3: a + i b
        r0[j] = ar + br;
        i0[j] = ai + bi;
        r1[j] = ur * w.c2[j] + ui * w.s2[j];
        i1[j] = ui * w.c2[j] - ur * w.s2[j];
        r2[j] = vr * w.c1[j] + vi * w.s1[j];
        i2[j] = vi * w.c1[j] - vr * w.s1[j];
        r3[j] = xr * w.c3[j] + xi * w.s3[j];
        i3[j] = xi * w.c3[j] - xr * w.s3[j];
    }
}

void Fft::forward(double* re, double* im, bool upper_half_zero) const {
    std::size_t first = 0;
    if (upper_half_zero && !stages_.empty()) {
        first_stage_upper_half_zero(re, im);
        first = 1;
    } else if (upper_half_zero) {
        for (std::size_t i = size_ / 2; i < size_; ++i) re[i] = im[i] = 0.0;
    }
    for (std::size_t s = first; s < stages_.size(); ++s) {
        const std::size_t q = stages_[s].quarter;
        const Twiddles w(twiddles_.data() + stages_[s].offset, q);
        for (std::size_t start = 0; start < size_; start += 4 * q) {
            double *r = re + start, *i = im + start;
            forward_butterflies(r, i, r + q, i + q, r + 2 * q, i + 2 * q, r + 3 * q, i + 3 * q, w, q);
        }
    }
    if (odd_power_) radix2_pairs(re, im, size_);
}

void Fft::inverse(double* re, double* im) const {
    if (odd_power_) radix2_pairs(re, im, size_);
    for (std::size_t s = stages_.size(); s-- > 0;) {
        const std::size_t q = stages_[s].quarter;
        const Twiddles w(twiddles_.data() + stages_[s].offset, q);
        for (std::size_t start = 0; start < size_; start += 4 * q) {
            double *r = re + start, *i = im + start;
            inverse_butterflies(r, i, r + q, i + q, r + 2 * q, i + 2 * q, r + 3 * q, i + 3 * q, w, q);
        }
    }
}

}  // namespace corvane::policy_forge::kernels
