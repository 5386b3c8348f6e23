// Facts of the board the system records from, a Cyton reached through BrainFlow whose first six
// EEG rows are wired to FCz, C3, Cz, CPz, C2, C4, and of the live decoder's window over its stream.
#pragma once

#include <pybind11/pybind11.h>

#include <array>

namespace corvane {

namespace py = pybind11;

// Samples per second of the Cyton board.
inline constexpr int kSamplingRate = 250;
// The electrodes wired, in order, to the first six EEG rows of the board.
inline constexpr std::array<const char*, 6> kWiredElectrodes = {"FCz", "C3", "Cz", "CPz", "C2", "C4"};

// Samples in one window of the live decoder (5 s), and so in one training row.
inline constexpr int kLiveWindowSamples = 5 * kSamplingRate;
// Share of a live window that the next one overlaps; the step is what is left, rounded as the
// ring buffer rounds it (int of window * overlap).
inline constexpr double kLiveOverlapRatio = 0.65;
inline constexpr int kLiveStepSamples =
    kLiveWindowSamples - static_cast<int>(kLiveWindowSamples * kLiveOverlapRatio);
// The live ring buffer holds ten windows (50 s); one board read asks for up to a window's samples.
inline constexpr int kLiveBufferSamples = 10 * kLiveWindowSamples;
inline constexpr int kLiveReadSamples = kLiveWindowSamples;
// Training epochs start 0.5 s before the cue; a training row starts one second into the epoch
// (0.5 s after the cue, once the response has set in) and spans one live window.
inline constexpr int kTrainingRowStart = kSamplingRate;

// kWiredElectrodes as a new Python list.
py::list wired_electrodes();
// brainflow.board_shim.BoardShim
py::object board_shim();
// BoardIds.CYTON_BOARD.value
py::object cyton_board_id();
// The board rows of the wired electrodes: the first six of BoardShim.get_eeg_channels(Cyton).
py::list wired_eeg_rows();

}  // namespace corvane
