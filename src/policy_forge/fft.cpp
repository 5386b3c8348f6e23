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
// radix-2 stages would leave them (bins 0, 2, 1, 3 of the four), times e^{-i angle}. With
// `UpperHalfZero` the inputs at j+2q and j+3q are taken as zero and not read.
template <bool UpperHalfZero>
inline void forward_butterflies(double* __restrict r0, double* __restrict i0, double* __restrict r1,
                                double* __restrict i1, double* __restrict r2, double* __restrict i2,
                                double* __restrict r3, double* __restrict i3, const Twiddles& w,
                                std::size_t q) {
    for (std::size_t j = 0; j < q; ++j) {
        double t0r = r0[j], t0i = i0[j], t1r = r0[j], t1i = i0[j];
        double t2r = r1[j], t2i = i1[j], t3r = r1[j], t3i = i1[j];
        if constexpr (!UpperHalfZero) {
            t0r += r2[j], t0i += i2[j], t1r -= r2[j], t1i -= i2[j];
            t2r += r3[j], t2i += i3[j], t3r -= r3[j], t3i -= i3[j];
        }
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

// The last two forward stages of an odd power in one pass over blocks of eight: the radix-4 stage
// of quarter 2, whose twiddles are eighth roots of unity, then the radix-2 pairs.
void forward_tail8(double* re, double* im, std::size_t n) {
    constexpr double h = std::numbers::sqrt2 / 2.0;
    for (std::size_t start = 0; start < n; start += 8) {
        double* r = re + start;
        double* m = im + start;
        double y[2][8][2];  // [j][position][re, im] after the radix-4 stage
        for (int j = 0; j < 2; ++j) {
            double t0r = r[j] + r[j + 4], t0i = m[j] + m[j + 4], t1r = r[j] - r[j + 4], t1i = m[j] - m[j + 4];
            double t2r = r[j + 2] + r[j + 6], t2i = m[j + 2] + m[j + 6];
            double t3r = r[j + 2] - r[j + 6], t3i = m[j + 2] - m[j + 6];
            double ur = t0r - t2r, ui = t0i - t2i, vr = t1r + t3i, vi = t1i - t3r, xr = t1r - t3i, xi = t1i + t3r;
            y[j][0][0] = t0r + t2r;
            y[j][0][1] = t0i + t2i;
            if (j == 0) {
                y[0][2][0] = ur, y[0][2][1] = ui, y[0][4][0] = vr, y[0][4][1] = vi, y[0][6][0] = xr, y[0][6][1] = xi;
            } else {  // times e^{-i pi/2}, e^{-i pi/4}, e^{-3i pi/4}
                y[1][2][0] = ui, y[1][2][1] = -ur;
                y[1][4][0] = (vr + vi) * h, y[1][4][1] = (vi - vr) * h;
                y[1][6][0] = (xi - xr) * h, y[1][6][1] = -(xr + xi) * h;
            }
        }
        for (int p = 0; p < 8; p += 2) {
            r[p] = y[0][p][0] + y[1][p][0];
            m[p] = y[0][p][1] + y[1][p][1];
            r[p + 1] = y[0][p][0] - y[1][p][0];
            m[p + 1] = y[0][p][1] - y[1][p][1];
        }
    }
}

// The inverse of the above: the radix-2 pairs, then the radix-4 stage of quarter 2.
void inverse_tail8(double* re, double* im, std::size_t n) {
    constexpr double h = std::numbers::sqrt2 / 2.0;
    for (std::size_t start = 0; start < n; start += 8) {
        double* r = re + start;
        double* m = im + start;
        double x[8][2];  // [position][re, im] after the radix-2 pairs, with the twiddles applied
        for (int p = 0; p < 8; p += 2) {
            x[p][0] = r[p] + r[p + 1], x[p][1] = m[p] + m[p + 1];
            x[p + 1][0] = r[p] - r[p + 1], x[p + 1][1] = m[p] - m[p + 1];
        }
        // Position 3 times e^{i pi/2}, 5 times e^{i pi/4}, 7 times e^{3i pi/4}.
        double t;
        t = x[3][0], x[3][0] = -x[3][1], x[3][1] = t;
        t = x[5][0], x[5][0] = (t - x[5][1]) * h, x[5][1] = (t + x[5][1]) * h;
        t = x[7][0], x[7][0] = -(t + x[7][1]) * h, x[7][1] = (t - x[7][1]) * h;
        for (int j = 0; j < 2; ++j) {
            const double *a = x[j], *b = x[j + 2], *c = x[j + 4], *d = x[j + 6];
            double sr = a[0] + b[0], si = a[1] + b[1], tr = a[0] - b[0], ti = a[1] - b[1];
            double ur = c[0] + d[0], ui = c[1] + d[1], vr = c[0] - d[0], vi = c[1] - d[1];
            r[j] = sr + ur, m[j] = si + ui;
            r[j + 4] = sr - ur, m[j + 4] = si - ui;
            r[j + 2] = tr - vi, m[j + 2] = ti + vr;
            r[j + 6] = tr + vi, m[j + 6] = ti - vr;
        }
    }
}

}  // namespace

void Fft::forward(double* re, double* im, bool upper_half_zero) const {
    std::size_t begin = 0, end = stages_.size();
    if (upper_half_zero && end > 0) {
        // The first stage spans the whole input, so its upper two inputs are the zero half.
        const std::size_t q = stages_.front().quarter;
        const Twiddles w(twiddles_.data() + stages_.front().offset, q);
        forward_butterflies<true>(re, im, re + q, im + q, re + 2 * q, im + 2 * q, re + 3 * q, im + 3 * q, w, q);
        begin = 1;
    } else if (upper_half_zero) {
        for (std::size_t i = size_ / 2; i < size_; ++i) re[i] = im[i] = 0.0;
    }
    // For odd powers the last radix-4 stage has quarter 2 and goes with the radix-2 pairs.
    const bool tail8 = odd_power_ && end > begin;
    if (tail8) --end;
    for (std::size_t s = begin; s < end; ++s) {
        const std::size_t q = stages_[s].quarter;
        const Twiddles w(twiddles_.data() + stages_[s].offset, q);
        for (std::size_t start = 0; start < size_; start += 4 * q) {
            double *r = re + start, *i = im + start;
            forward_butterflies<false>(r, i, r + q, i + q, r + 2 * q, i + 2 * q, r + 3 * q, i + 3 * q, w, q);
        }
    }
    if (tail8) {
        forward_tail8(re, im, size_);
    } else if (odd_power_) {
        radix2_pairs(re, im, size_);
    }
}

void Fft::inverse(double* re, double* im) const {
    std::size_t end = stages_.size();
    if (odd_power_ && end > 0) {
        inverse_tail8(re, im, size_);
        --end;
    } else if (odd_power_) {
        radix2_pairs(re, im, size_);
    }
    for (std::size_t s = end; s-- > 0;) {
        const std::size_t q = stages_[s].quarter;
        const Twiddles w(twiddles_.data() + stages_[s].offset, q);
        for (std::size_t start = 0; start < size_; start += 4 * q) {
            double *r = re + start, *i = im + start;
            inverse_butterflies(r, i, r + q, i + q, r + 2 * q, i + 2 * q, r + 3 * q, i + 3 * q, w, q);
        }
    }
}

}  // namespace corvane::policy_forge::kernels
