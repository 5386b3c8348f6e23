// Signal-quality tests of the wired EEG channels: a channel at the converter's rail or one that
// does not vary at all carries no brain signal (a detached electrode drives its input to the rail,
// an unplugged or shorted input gives a constant), so a decoder must not act on it. One place for
// these tests and their thresholds, for every part of the system that judges a window.
#pragma once

#include <cstddef>
#include <optional>

namespace corvane {

// Full scale of the Cyton's inputs at gain 24, in microvolts: 4.5 V reference / 24 / 2.
inline constexpr double kFullScaleMicrovolts = 187500.0;
// A sample at 99 % of full scale or beyond is on the rail. Electrode offsets of a working contact
// stay in the tens of millivolts (well under half the range), and EEG adds tens of microvolts, so
// nothing but a saturated input comes this close.
inline constexpr double kRailedMicrovolts = 0.99 * kFullScaleMicrovolts;
// A channel whose newest 0.2 s (50 samples) span less than 0.1 µV (about four converter counts) is
// flat. A connected channel shows at least the amplifier's own noise, about 1 µV peak to peak, in
// far less time; only a constant input stays inside this band. The stretch is short so that an
// input that stops varying is caught at the first window after it did.
inline constexpr std::size_t kFlatSamples = 50;
inline constexpr double kFlatSpanMicrovolts = 0.1;

enum class SignalFault { railed, flat };

struct ChannelFault {
    std::size_t channel;  // row of the window
    SignalFault fault;
};

// A channels × samples window in microvolts seen through its strides (in bytes), so a slice of a
// larger array is read in place.
struct SampleWindow {
    const char* data;
    std::size_t channels, samples;
    std::ptrdiff_t channel_stride, sample_stride;

    double at(std::size_t channel, std::size_t sample) const {
        return *reinterpret_cast<const double*>(data + static_cast<std::ptrdiff_t>(channel) * channel_stride +
                                                static_cast<std::ptrdiff_t>(sample) * sample_stride);
    }
};

// The first channel whose newest `newest` samples (the last step of a live window) are railed
// (any sample on the rail) or flat (the last kFlatSamples of them, or all when fewer, inside
// kFlatSpanMicrovolts). Nothing when every channel is clean, and nothing when any of those samples
// is not finite: such a window is for the decoder to refuse, not a signal-quality matter.
std::optional<ChannelFault> signal_fault(const SampleWindow& window, std::size_t newest);

// "railed (at full scale)" or "flat (no variation)".
const char* signal_fault_reason(SignalFault fault);

// One channel's standing over a whole window, by the same thresholds: the share of its samples on
// the rail, and whether its newest kFlatSamples (or all, when fewer) are flat. A window with a
// non-finite sample in that channel gives a railed share of NaN and flat false.
struct ChannelQuality {
    double railed_share;
    bool flat;
};
ChannelQuality channel_quality(const SampleWindow& window, std::size_t channel);

}  // namespace corvane
