// Facts of the board the system records from: an OpenBCI Cyton reached through BrainFlow, whose
// first six EEG rows are wired to FCz, C3, Cz, CPz, C2, C4.
#pragma once

#include <pybind11/pybind11.h>

#include <array>

namespace corvane {

namespace py = pybind11;

// Samples per second of the Cyton board.
inline constexpr int kSamplingRate = 250;
// Samples in one window of the live decoder (5 s), and so in one training row.
inline constexpr int kLiveWindowSamples = 5 * kSamplingRate;
// The electrodes wired, in order, to the first six EEG rows of the board.
inline constexpr std::array<const char*, 6> kWiredElectrodes = {"FCz", "C3", "Cz", "CPz", "C2", "C4"};

// kWiredElectrodes as a new Python list.
py::list wired_electrodes();
// brainflow.board_shim.BoardShim
py::object board_shim();
// BoardIds.CYTON_BOARD.value
py::object cyton_board_id();
// The board rows of the wired electrodes: the first six of BoardShim.get_eeg_channels(Cyton).
py::list wired_eeg_rows();

}  // namespace corvane
