// Names of the files the recording side writes and the training side reads.
#pragma once

namespace corvane {

// The session log under the data directory.
inline constexpr const char* kAnnotationsFile = "annotations.txt";
// A combined, labelled recording, in the formatted folder of the data (or sample) directory.
inline constexpr const char* kCombinedFile = "S03.fif";
// The folder, relative to the working directory, where the trainer looks for one by default.
inline constexpr const char* kTrainerRecordingFolder = "formatted_data";

}  // namespace corvane
