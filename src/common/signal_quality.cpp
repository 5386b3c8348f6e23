#include "common/signal_quality.hpp"

#include <algorithm>
#include <cmath>

namespace corvane {

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
            railed = railed || std::fabs(x) >= kRailedMicrovolts;
            if (t >= flat_from) {
                low = std::min(low, x);
                high = std::max(high, x);
            }
        }
        if (found || newest == 0) continue;
        if (railed)
            found = ChannelFault{c, SignalFault::railed};
        else if (high - low < kFlatSpanMicrovolts)
            found = ChannelFault{c, SignalFault::flat};
    }
    return found;
}

const char* signal_fault_reason(SignalFault fault) {
    return fault == SignalFault::railed ? "railed (at full scale)" : "flat (no variation)";
}

}  // namespace corvane
