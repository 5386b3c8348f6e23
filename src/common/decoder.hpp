// Facts shared by the training pipeline and the live decoder: the artefacts one writes and the
// other loads, the epochs behind them, the shape of a feature row, how decisions are made and
// what the live decoder prints about them. (The drive commands: classes.hpp.)
#pragma once

#include <array>

namespace corvane {

// The artefacts, by file name: the filters and the scaler in the artefact directory, the agent's
// archive (stable-baselines3 adds kAgentArchiveSuffix) under kAgentFolder there.
inline constexpr const char* kFiltersFile = "csp_filters_ovr.pkl";
inline constexpr const char* kScalerFile = "scaler.pkl";
inline constexpr std::array<const char*, 2> kAgentFolder = {"sample_data", "processed"};
inline constexpr const char* kAgentFile = "dqn_model_session1";
inline constexpr const char* kAgentArchiveSuffix = ".zip";

// Training epochs: from half a second before each cue to 5.5 s after it, with the baseline from
// the epoch's start to one second after the cue (its end written as the integer 1).
inline constexpr double kEpochStart = -0.5;
inline constexpr double kEpochEnd = 5.5;
inline constexpr double kBaselineStart = -0.5;
inline constexpr int kBaselineEnd = 1;

// Features per CSP component row: eight band statistics and two 257-bin Welch spectra.
inline constexpr int kFeatureRowLength = 522;

// A block's decision counts when its confidence is above this.
inline constexpr double kConfidenceThreshold = 0.6;

// The rules that turn a window's kept blocks into one class: the conservative choice among their
// confidences (the default), or the largest sum of their normalised Q-values.
inline constexpr const char* kConservativeRule = "conservative";
inline constexpr const char* kQSumRule = "q_sum";

// What live_pilot prints that a host follows: the last line of its set-up, the start of every
// window's first line, and the start of the line of a window a block was confident about
// ("Mapped Command: X [class numbers][confidences]").
inline constexpr const char* kReadyLine = "Started data stream from board.";
inline constexpr const char* kWindowLinePrefix = "Processing window of shape: ";
inline constexpr const char* kMappedCommandPrefix = "Mapped Command: ";

}  // namespace corvane
