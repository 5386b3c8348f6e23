// The stop signals: Ctrl-C (SIGINT), SIGTERM and SIGHUP. While main() runs they end the loop; once
// the way out has begun they no longer cut it short, and no stop's tries are ever abandoned for
// them.
#include "common/interop.hpp"
#include "live_pilot/live_pilot.hpp"

namespace corvane::live_pilot {

namespace {

constexpr const char* kStopSignalNames[] = {"SIGINT", "SIGTERM", "SIGHUP"};

// The signal that ended the loop (0 for Ctrl-C), and whether the way out has begun; the loop runs
// on the interpreter's main thread only, as the handlers do.
int received_signal = 0;
bool stopping = false;

// Ends the loop the way Ctrl-C does; once the way out has begun, a further signal waits for it
// to finish.
void on_stop_signal(py::object signum, py::object) {
    if (stopping) return;
    stopping = true;
    int number = signum.cast<int>();
    received_signal = number == py::module_::import("signal").attr("SIGINT").cast<int>() ? 0 : number;
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw py::error_already_set();
}

// True when `handler` is what the interpreter does with `name` unless told otherwise.
bool default_handling(const py::module_& signal, const char* name, const py::object& handler) {
    if (std::string(name) == "SIGINT") return handler.is(signal.attr("default_int_handler"));
    return handler.equal(signal.attr("SIG_DFL"));
}

}  // namespace

StopSignals::StopSignals() {
    received_signal = 0;
    stopping = false;
    auto signal = py::module_::import("signal");
    py::object handler = py::cpp_function(&on_stop_signal, py::name("on_stop_signal"));
    for (const char* name : kStopSignalNames) {
        if (!py::hasattr(signal, name)) continue;
        py::object number = signal.attr(name);
        py::object previous = signal.attr("getsignal")(number);
        if (!default_handling(signal, name, previous)) continue;  // the host's own handling stays
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

int StopSignals::received() { return received_signal; }

void StopSignals::way_out_begun() { stopping = true; }

void StopSignals::restore() {
    auto signal = py::module_::import("signal");
    for (auto& [number, previous] : installed_) signal.attr("signal")(number, previous);
    installed_.clear();
    stopping = false;
}

HeldStopSignals::HeldStopSignals() : arrived_(std::make_shared<std::vector<int>>()) {
    auto signal = py::module_::import("signal");
    auto arrived = arrived_;
    py::object hold = py::cpp_function([arrived](py::object signum, py::object) { arrived->push_back(signum.cast<int>()); },
                                       py::name("hold_stop_signal"));
    for (const char* name : kStopSignalNames) {
        if (!py::hasattr(signal, name)) continue;
        py::object number = signal.attr(name);
        py::object previous = signal.attr("getsignal")(number);
        if (previous.is_none()) continue;  // set outside Python: it cannot be put back from here
        try {
            signal.attr("signal")(number, hold);
        } catch (py::error_already_set& error) {
            // Not the main thread, where no signal handler runs: nothing can cut the stop short.
            if (!error.matches(PyExc_ValueError)) throw;
            break;
        }
        previous_.emplace_back(number, previous);
    }
}

HeldStopSignals::~HeldStopSignals() {
    // Left by an exception: the handlers go back, what arrived is not delivered over it.
    try {
        put_back();
    } catch (py::error_already_set&) {
    }
}

void HeldStopSignals::put_back() {
    auto signal = py::module_::import("signal");
    for (auto& [number, previous] : previous_) signal.attr("signal")(number, previous);
    previous_.clear();
}

void HeldStopSignals::release() {
    put_back();
    std::vector<int> arrived;
    arrived.swap(*arrived_);
    auto signal = py::module_::import("signal");
    for (std::size_t i = 0; i < arrived.size(); ++i) {
        bool repeated = false;
        for (std::size_t k = 0; k < i; ++k) repeated = repeated || arrived[k] == arrived[i];
        if (!repeated) signal.attr("raise_signal")(arrived[i]);
    }
}

}  // namespace corvane::live_pilot
