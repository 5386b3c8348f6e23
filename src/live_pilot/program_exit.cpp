// main() and cleanup_resources(): running the loop and every way out of it. However the loop
// ends (Ctrl-C, SIGTERM or SIGHUP, a failure, a stall the watchdog catches), the actuator hears
// "S" first, then the simulator, and only then is the board stopped and released.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/classes.hpp"
#include "common/interop.hpp"
#include "common/thread_pools.hpp"
#include "live_pilot/live_pilot.hpp"

namespace corvane::live_pilot {

namespace {

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
    if (StopSignals::received() == 0) return "\nStopped by user.";
    py::object name = py::module_::import("signal").attr("Signals")(StopSignals::received()).attr("name");
    return "\nStopped by " + py::str(name).cast<std::string>() + ".";
}

void main_(const py::module_& m) {
    StopSignals signals;
    BoundedOutput output;
    Watchdog watchdog;
    std::optional<py::error_already_set> first_error;
    // A window's arrays are small: one thread per pool decides fastest and steadiest.
    py::object pools = py::none();
    run_step(first_error, [&] { pools = limit_thread_pools(); });
    run_step(first_error, [&] {
        if (first_error) return;
        try {
            run_loop(m, watchdog);
        } catch (py::error_already_set& error) {
            StopSignals::way_out_begun();
            if (!error.matches(PyExc_KeyboardInterrupt)) throw;
            corvane::print(stop_message());
        }
    });
    StopSignals::way_out_begun();
    // The actuator first, unconditionally (not through the change check): it is what moves. The
    // watchdog stands by until this stop is over.
    run_step(first_error, [&] { stop_actuator(m.attr("arduino")); });
    watchdog.disarm();
    run_step(first_error, [&] { m.attr("simulation").attr("send_command")(kStopCommand); });
    run_step(first_error, [&] { m.attr("simulation").attr("close")(); });
    run_step(first_error, [&] { m.attr("board").attr("stop_stream")(); });
    run_step(first_error, [&] { m.attr("board").attr("release_session")(); });
    run_step(first_error, [&] { restore_thread_pools(pools); });
    run_step(first_error, [&] { signals.restore(); });
    // Last: the queued lines (and the count of those dropped) are written before main() returns.
    run_step(first_error, [&] { output.remove(); });
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
