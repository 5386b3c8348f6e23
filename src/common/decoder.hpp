// Facts shared by the training pipeline and the live decoder: the artefacts one writes and the
// other loads, the shape of a feature row, and how decisions become drive commands.
#pragma once

#include <array>

namespace corvane {

// The artefacts, by file name: the filters and the scaler in the artefact directory, the agent's
// archive (stable-baselines3 adds ".zip") under kAgentFolder there.
inline constexpr const char* kFiltersFile = "csp_filters_ovr.pkl";
inline constexpr const char* kScalerFile = "scaler.pkl";
inline constexpr std::array<const char*, 2> kAgentFolder = {"sample_data", "processed"};
inline constexpr const char* kAgentFile = "dqn_model_session1";

// Features per CSP component row: eight band statistics and two 257-bin Welch spectra.
inline constexpr int kFeatureRowLength = 522;

// The drive command of each class number, in class order; any other class stops.
inline constexpr std::array<const char*, 4> kClassCommands = {"L", "R", "F", "B"};
inline constexpr const char* kStopCommand = "S";

// A block's decision counts when its confidence is above this.
inline constexpr double kConfidenceThreshold = 0.6;

// The rules that turn a window's kept blocks into one class: the conservative choice among their
// confidences (the default), or the largest sum of their normalised Q-values.
inline constexpr const char* kConservativeRule = "conservative";
inline constexpr const char* kQSumRule = "q_sum";

}  // namespace corvane
