// live_pilot: real-time decoding of the EEG stream into drive commands.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <utility>
#include <vector>

#include "common/board.hpp"
#include "common/decoder.hpp"

namespace corvane::live_pilot {

namespace py = pybind11;

// The classes and functions the module defines; each binder publishes its names on `m`.
void bind_ring_buffer(py::module_& m);
void bind_connections(py::module_& m);
void bind_decisions(py::module_& m);
void bind_control_loop(py::module_& m);

// The line naming the channel and the reason of a signal_fault() verdict.
void print_signal_fault(const py::object& fault);

// Module initialisation: imports, constants, artefacts, connections, ring buffer, board.
void set_up_module(py::module_& m);

// joblib.load of a file holding CSP filters or a scaler, through an allow-list unpickler.
py::object load_fitted_objects(const py::object& path);
// `dqn`.load of an agent archive whose serialized objects are supplied or allow-list unpickled.
py::object load_agent(const py::object& dqn, const py::object& path);
// Raises ValueError naming the file when the module's filters, scaler and agent do not fit together.
void check_artefacts(const py::module_& m);

// Every request to either output has one total deadline, connecting and resolving included.
inline constexpr double kRequestDeadlineSeconds = 1.0;
// An unacknowledged stop is tried again this many times in all, this far apart, so a controller
// that drops one request or restarts briefly still hears it. With the deadline the tries end
// within 3 x 1 s + 2 x 0.4 s = 3.8 s.
inline constexpr int kStopTries = 3;
inline constexpr double kStopRetryPause = 0.4;

// Sends "S" to the actuator controller, unconditionally, retrying an unacknowledged stop a few
// times; records "S" as in force once acknowledged. Prints one line when no try is acknowledged.
// Ctrl-C, SIGTERM and SIGHUP arriving meanwhile take effect only once the tries are over.
bool stop_actuator(const py::object& arduino);

// The stop signals (SIGINT, SIGTERM, SIGHUP) while main() runs. Where the host left the default
// handling in place, they end the loop as Ctrl-C does; once the way out has begun, further ones
// are ignored until the handlers are restored.
class StopSignals {
public:
    StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    // The signal that ended the loop (0 for SIGINT or none).
    static int received();
    // From now on the handlers installed here ignore the stop signals.
    static void way_out_begun();
    void restore();

private:
    std::vector<std::pair<py::object, py::object>> installed_;
};

// While it lives on the main thread, the stop signals are held: recorded instead of handled.
// release() puts the handlers back and delivers what arrived meanwhile, so it takes effect then,
// as its own handler says (and may raise).
class HeldStopSignals {
public:
    HeldStopSignals();
    ~HeldStopSignals();
    HeldStopSignals(const HeldStopSignals&) = delete;
    HeldStopSignals& operator=(const HeldStopSignals&) = delete;
    void release();

private:
    void put_back();
    std::vector<std::pair<py::object, py::object>> previous_;
    std::shared_ptr<std::vector<int>> arrived_;
};

// While main() runs with the interpreter's own standard output, sys.stdout is a writer that never
// blocks the caller: a thread of its own writes the lines to the file descriptor, and the lines a
// stalled reader cannot take (beyond a bounded queue) are dropped and counted; the count is
// printed as one line once the reader takes lines again, or when the writer is removed. A write
// error (the reader gone) is raised by the next print, as the plain stream raises it.
class BoundedOutput {
public:
    BoundedOutput();
    BoundedOutput(const BoundedOutput&) = delete;
    BoundedOutput& operator=(const BoundedOutput&) = delete;
    ~BoundedOutput();
    // Puts the previous sys.stdout back once the queued lines are written; a stop signal (Ctrl-C)
    // while waiting gives up on them.
    void remove();

private:
    py::object previous_;
};

// Sends "S" to the actuator controller from a native thread when, once armed, the loop completes
// no pass for `limit_seconds`, whatever it is stuck in (it needs no Python and no GIL). Disarmed
// when it is destroyed.
class Watchdog {
public:
    Watchdog() = default;
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
    void arm(double limit_seconds, const py::object& arduino);
    // A pass completed; `arduino` is the connection the loop commands. After a stall, says so in
    // one line and, when the watchdog's stop was acknowledged, records "S" as in force there.
    void pass_completed(const py::object& arduino);
    void disarm();

private:
    bool armed_ = false;
};

// A window's stages: every CSP filter's projection of (1, channels, samples) stacked along the
// rows, and the scaler applied to (rows, features); native for the artefacts the training
// pipeline writes, through the objects' own transform otherwise. The arrays returned natively are
// reused by the next window.
py::object csp_projections(const py::module_& m, const py::object& window_data);
py::object scaled_rows(const py::module_& m, const py::object& rows);

// A block's candidate: the greedy action and the margin of its min-max normalised Q-value over
// the mean of the others (the integer 0 when all are equal), as NumPy computes it.
struct BlockDecision {
    py::object action;
    py::object confidence;
};
BlockDecision decide_block(const py::object& q_values);

// The class names an agent carries (a list or tuple), or None when it names none.
py::object agent_class_names(const py::object& model);
// The command of class `action` of the module's agent: by the class's name when the agent names it
// as a known class, else through map_action_to_command, the positional table.
py::object class_command(const py::module_& m, const py::object& action);

// The agent's Q-network applied to observations. A stable-baselines3 network of plain Linear and
// ReLU layers over a flattened observation is run as the functional calls its modules make (the
// same operations, without the module-call overhead); any other network is called as it is.
class QNetwork {
public:
    explicit QNetwork(py::object q_net);
    py::object operator()(const py::object& observation) const;

private:
    py::object q_net_;
    std::vector<std::pair<bool, py::object>> layers_;  // (linear, layer); empty: call q_net_
    py::object functional_;
};

// The decode-and-command loop, watched by `watchdog`; returns only by raising (KeyboardInterrupt
// included).
[[noreturn]] void run_loop(const py::module_& m, Watchdog& watchdog);

// True while this module is being imported by `python -m live_pilot` to run it as a program.
bool run_as_program();
// Runs main() and then cleanup_resources(), as the program does.
void run_program(py::module_& m);

}  // namespace corvane::live_pilot
