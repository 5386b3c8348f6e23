#include "common/signal_quality.hpp"

#include <algorithm>
#include <cmath>

namespace corvane {

namespace {

bool on_rail(double x) { return std::fabs(x) >= kRailedMicrovolts; }

bool flat_span(double low, double high) { return high - low < kFlatSpanMicrovolts; }

}  // namespace

std::optional<ChannelFault> signal_fault(const SampleWindow& window, std::size_t newest) {
    newest = std::min(newest, window.samples);
    const std::size_t first = window.samples - newest;
    const std::size_t flat_from = window.samples - std::min(newest, kFlatSamples);
    std::optional<ChannelFault> found;
    for (std::size_t c = 0; c < window.channels; ++c) {
        bool railed = false;
        double low = INFINITY, high = -INFINITY;
        for (std::size_t t = first; t < window.samples; ++t) {
            double x = window.at(c, t);
            if (!std::isfinite(x)) return std::nullopt;
            railed = railed || on_rail(x);
            if (t >= flat_from) {
                low = std::min(low, x);
                high = std::max(high, x);
            }
        }
        if (found || newest == 0) continue;
        if (railed)
            found = ChannelFault{c, SignalFault::railed};
        else if (flat_span(low, high))
            found = ChannelFault{c, SignalFault::flat};
    }
    return found;
}

const char* signal_fault_reason(SignalFault fault) {
    return fault == SignalFault::railed ? "railed (at full scale)" : "flat (no variation)";
}

ChannelQuality channel_quality(const SampleWindow& window, std::size_t channel) {
    const std::size_t flat_from = window.samples - std::min(window.samples, kFlatSamples);
    std::size_t railed = 0;
    double low = INFINITY, high = -INFINITY;
    for (std::size_t t = 0; t < window.samples; ++t) {
        double x = window.at(channel, t);
        if (!std::isfinite(x)) return {NAN, false};
        railed += on_rail(x);
        if (t >= flat_from) {
            low = std::min(low, x);
            high = std::max(high, x);
        }
    }
    if (window.samples == 0) return {0.0, false};
    return {static_cast<double>(railed) / static_cast<double>(window.samples), flat_span(low, high)};
}

}  // namespace corvane
