// CaptureHub: the recording and session manager. Each .cpp file holds one cohesive group of
// methods; module.cpp assembles them into the class in its published member order.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <string>
#include <vector>

#include "common/board.hpp"
#include "common/classes.hpp"
#include "common/files.hpp"
#include "common/python_values.hpp"
#include "common/settings.hpp"

namespace corvane::capture_hub {

namespace py = pybind11;

// ---- shared helpers (hub.cpp) -------------------------------------------------------------
py::module_ os();
py::object os_path();
bool path_exists(const py::object& path);
// "session" + str(session_num)
py::str session_header(const py::object& session_num);
// "session" + str(session_num) + "_": the start of every file name of that session.
py::str session_prefix(const py::object& session_num);
// Sort key of a recording name "session<N>_<seconds>_raw.fif" within all recordings: the given
// session, then the recording second as a number (names without one last), then the name.
py::tuple recording_order(const py::object& session, const py::object& name);
// The last element (the name) of each key, in ascending key order.
py::list names_in_order(const py::list& keyed);
// The names in `directory` that contain the session prefix and end with "_raw.fif", in recording
// order: "session" N "_" seconds names sort by their seconds, which is their string order too.
py::list session_recordings(const py::object& directory, const py::object& session_num);
// The whole text, or its lines, of `path` in the platform's default encoding; `errors` as for open.
py::object read_text(const py::object& path, const char* errors = "strict");
py::list read_lines(const py::object& path);
// Rewrites the log from `lines` (text in the platform's encoding) through an atomic rewrite.
void rewrite_annotations(py::object self, const py::list& lines);
// The separator line that closes a session block, without its line break.
extern const char* const kSeparator;

// ---- the recorder lock on the base directory (directory_lock.cpp) ---------------------------
// Takes the lock unless this instance holds it; RuntimeError naming the directory and the
// holder's pid when another recorder holds it.
void hold_directory(py::object self);
void release_directory(py::object self);
// A session is open: the lock stays held from initialize_session to stop_session.
bool session_open(py::object self);
void mark_session_open(py::object self);
// Releases the lock unless a session is open or a recording runs.
void release_if_idle(py::object self);
// Holds the lock for a scope; a lock it took is released at its end unless a session was opened
// or a recording started meanwhile.
class DirectoryHold {
public:
    explicit DirectoryHold(py::object self);
    ~DirectoryHold();
    DirectoryHold(const DirectoryHold&) = delete;
    DirectoryHold& operator=(const DirectoryHold&) = delete;

private:
    py::object self_;
    bool acquired_;
};

// ---- construction (hub.cpp) ---------------------------------------------------------------
void init(py::object self);

// ---- board (board.cpp) --------------------------------------------------------------------
py::object initialize_board(py::object self, py::object port);
bool stop_stream(py::object self);
py::list get_enabled_channels(py::object self);
py::object get_current_data(py::object self);

// ---- annotations log (annotations.cpp) ----------------------------------------------------
py::object get_next_session_number(py::object self);
py::list read_annotations_file(py::object self, py::object session_num);
void append_to_annotations(py::object self, const py::str& text);
// Takes the last `count` task lines of `session_num` (as the reader collects them) out of the
// log, through an atomic rewrite.
void drop_last_tasks(py::object self, const py::object& session_num, size_t count);
// True when the log's last block has no separator: its recorder ended without stop_session.
bool last_block_open(py::object self);
// True when the log has a header line of `session_num`.
bool has_session_block(py::object self, const py::object& session_num);
// The header texts ("session" N) of the log.
py::set session_headers(py::object self);

// ---- session lifecycle (sessions.cpp) -----------------------------------------------------
bool initialize_session(py::object self, py::object session_num);
py::object get_next_task(py::object self);
void stop_session(py::object self);
// Ends the session after a failure that would mislabel later trials: separator (when it can be
// written), empty sequence, lock released, next_session_number brought up to date.
void abandon_session(py::object self);

// ---- recording (recorder.cpp) -------------------------------------------------------------
bool start_recording(py::object self);
void stop_recording(py::object self);
py::object save_to_fif(py::object self, py::object eeg_data);

// ---- channel configuration (channels.cpp) -------------------------------------------------
py::set valid_channels();
void set_channel_state(py::object self, py::object channel_name, py::object enabled);
py::dict get_channel_positions(py::object self);
py::tuple validate_channel_name(py::object valid, py::object name);
bool update_channels(py::object self, py::object channel_names);
void update_action_names(py::object self, py::object new_actions);

// ---- session files (combiner.cpp, deletion.cpp, analysis.cpp) -----------------------------
// Recordings of raw_dir read with preload and joined in the given order, with each file's
// sample count; announce prints "Loading <path>" before each read.
// A file MNE cannot read is skipped with a line naming it: `kept` holds the positions in
// `names` of the files joined, and labels follow their recordings through it.
struct JoinedRecordings {
    py::object raw;
    py::list lengths;
    std::vector<size_t> kept;
};
JoinedRecordings join_recordings(py::object self, const py::list& names, bool announce);
// Annotates the k-th joined recording with labels[k] (None: no label): onset where its first
// sample lies in the joined recording, duration its own length. Replaces earlier annotations.
void label_recordings(const JoinedRecordings& joined, const py::list& labels);
// labels[k] = k-th task for the k-th of `count` recordings (None when tasks run out); returns how
// many tasks had no recording.
size_t pair_tasks_with_recordings(const py::list& tasks, size_t count, py::list& labels, bool normalise);
py::str combine_fif_files(py::object self);
py::str combine_all_fif_files(py::object self);
void delete_session(py::object self, py::object session_num);
void delete_all_sessions(py::object self);
py::tuple analyze_session(py::object self, py::object session_num);

// ---- remote store and sample files (remote_store.cpp) -------------------------------------
bool save_session_data(py::object self, py::object session_num, py::object data);
py::object load_session_data(py::object self, py::object session_num);
py::list get_sample_files(py::object self);

}  // namespace corvane::capture_hub
