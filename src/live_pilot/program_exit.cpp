// main() and cleanup_resources(): running the loop and every way out of it. However the loop
// ends (Ctrl-C, SIGTERM or SIGHUP, a failure), the actuator hears "S" first, then the simulator,
// and only then is the board stopped and released.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/interop.hpp"
#include "common/thread_pools.hpp"
#include "live_pilot/live_pilot.hpp"

namespace corvane::live_pilot {

namespace {

// The signal that ended the loop (0 for Ctrl-C), and whether the clean-up has begun; the loop
// runs on the interpreter's main thread only, as the handlers do.
int received_signal = 0;
bool stopping = false;

// Ends the loop the way Ctrl-C does; during the clean-up a further signal waits for it to finish.
void on_stop_signal(py::object signum, py::object) {
    if (stopping) return;
    received_signal = signum.cast<int>();
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw py::error_already_set();
}

// SIGTERM and SIGHUP handlers for the time main() runs, installed only where the host left the
// default action in place; restore() puts back what was there before.
class StopSignals {
public:
    StopSignals() {
        auto signal = py::module_::import("signal");
        py::object handler = py::cpp_function(&on_stop_signal, py::name("on_stop_signal"));
        for (const char* name : {"SIGTERM", "SIGHUP"}) {
            if (!py::hasattr(signal, name)) continue;
            py::object number = signal.attr(name);
            py::object previous = signal.attr("getsignal")(number);
            if (!previous.equal(signal.attr("SIG_DFL"))) continue;
            try {
                signal.attr("signal")(number, handler);
            } catch (py::error_already_set& error) {
                // Not the main thread: the host keeps its own signal handling.
                if (!error.matches(PyExc_ValueError)) throw;
                continue;
            }
            installed_.emplace_back(number, previous);
        }
    }

    void restore() {
        auto signal = py::module_::import("signal");
        for (auto& [number, previous] : installed_) signal.attr("signal")(number, previous);
        installed_.clear();
    }

private:
    std::vector<std::pair<py::object, py::object>> installed_;
};

// Runs one clean-up step; its error is kept if it is the first, so later steps still run.
template <typename Step>
void run_step(std::optional<py::error_already_set>& first_error, Step&& step) {
    try {
        step();
    } catch (py::error_already_set& error) {
        if (!first_error) first_error = error;
    } catch (py::builtin_exception& error) {
        error.set_error();
        py::error_already_set converted;
        if (!first_error) first_error = converted;
    }
}

std::string stop_message() {
    if (received_signal == 0) return "\nStopped by user.";
    py::object name = py::module_::import("signal").attr("Signals")(received_signal).attr("name");
    return "\nStopped by " + py::str(name).cast<std::string>() + ".";
}

void main_(const py::module_& m) {
    received_signal = 0;
    stopping = false;
    StopSignals signals;
    std::optional<py::error_already_set> first_error;
    // A window's arrays are small: one thread per pool decides fastest and steadiest.
    py::object pools = py::none();
    run_step(first_error, [&] { pools = limit_thread_pools(); });
    run_step(first_error, [&] {
        if (first_error) return;
        try {
            run_loop(m);
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_KeyboardInterrupt)) throw;
            corvane::print(stop_message());
        }
    });
    stopping = true;
    // The actuator first, unconditionally (not through the change check): it is what moves.
    run_step(first_error, [&] { stop_actuator(m.attr("arduino")); });
    run_step(first_error, [&] { m.attr("simulation").attr("send_command")("S"); });
    run_step(first_error, [&] { m.attr("simulation").attr("close")(); });
    run_step(first_error, [&] { m.attr("board").attr("stop_stream")(); });
    run_step(first_error, [&] { m.attr("board").attr("release_session")(); });
    run_step(first_error, [&] { restore_thread_pools(pools); });
    run_step(first_error, [&] { signals.restore(); });
    stopping = false;
    if (first_error) throw *first_error;
}

// The actuator is stopped first and even when releasing the board fails; the first failure is reported.
void cleanup_resources(const py::module_& m) {
    std::optional<std::string> failure;
    auto attempt = [&](auto&& step) {
        try {
            step();
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_Exception)) throw;
            if (!failure) failure = exception_text(error);
        } catch (py::builtin_exception& error) {
            if (!failure) failure = error.what();
        }
    };
    attempt([&] { m.attr("arduino").attr("close")(); });
    py::object board = m.attr("board");
    bool prepared = false;
    attempt([&] { prepared = board.attr("is_prepared")().cast<bool>(); });
    if (prepared) {
        attempt([&] { board.attr("stop_stream")(); });
        attempt([&] { board.attr("release_session")(); });
    }
    if (failure)
        corvane::print("Error during cleanup: " + *failure);
    else
        corvane::print("Resources cleaned up successfully");
}

}  // namespace

void bind_control_loop(py::module_& m) {
    m.def("cleanup_resources", [m]() { cleanup_resources(m); },
          py::doc("Clean up board and connection resources"));
    m.def("main", [m]() { main_(m); });
}

void run_program(py::module_& m) {
    std::optional<py::error_already_set> first_error;
    run_step(first_error, [&] { m.attr("main")(); });
    run_step(first_error, [&] { m.attr("cleanup_resources")(); });
    if (first_error) throw *first_error;
    // The program is done: leave the interpreter here rather than return to the module runner.
    PyErr_SetObject(PyExc_SystemExit, py::int_(0).ptr());
    throw py::error_already_set();
}

}  // namespace corvane::live_pilot
