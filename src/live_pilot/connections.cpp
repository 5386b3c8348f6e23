// The two outputs driven with one-letter commands: the movement simulator and the actuator
// controller, both plain HTTP servers reached with one GET per command.
#include "common/interop.hpp"
#include "live_pilot/live_pilot.hpp"
#include "common/settings.hpp"

namespace corvane::live_pilot {

namespace {

// Both outputs get the same one-second limit: a silent server must not hold up the control loop
// while the device keeps moving.
constexpr int kRequestTimeoutSeconds = 1;

py::object requests() { return py::module_::import("requests"); }

py::object http_get(const py::str& url) {
    return requests().attr("get")(url, py::arg("timeout") = kRequestTimeoutSeconds);
}

void simulation_init(py::object self, py::object host) { self.attr("host") = host; }

py::bool_ simulation_send_command(py::object self, py::object command) {
    try {
        py::str url = py::str(self.attr("host")) + py::str("/command/") + py::str(command);
        py::object reply = http_get(url).attr("json")();
        py::object status = reply[py::str("status")];
        return py::bool_(status.equal(py::str("ok")));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
    } catch (py::builtin_exception&) {
    }
    return py::bool_(false);
}

void simulation_close(py::object) {}

void arduino_init(py::object self, py::object host, py::object port) {
    self.attr("host") = host;
    self.attr("port") = port;
    self.attr("current_command") = "S";
    self.attr("STOP_DURATION") = 0.5;
}

void arduino_send_http_command(py::object self, py::object command) {
    py::object get = requests().attr("get");  // an import failure reaches the caller
    guarded("HTTP request error: ", 0, [&] {
        py::str url = py::str("http://{}:{}/{}").format(self.attr("host"), self.attr("port"), command);
        get(url, py::arg("timeout") = kRequestTimeoutSeconds);
        return 0;
    });
}

void arduino_send_command(py::object self, py::object new_command) {
    if (!new_command.not_equal(self.attr("current_command"))) return;
    guarded("Connection error: ", 0, [&] {
        corvane::print("Stopping for 1 second...");
        self.attr("_send_http_command")("S");
        py::module_::import("time").attr("sleep")(self.attr("STOP_DURATION"));
        self.attr("_send_http_command")(new_command);
        self.attr("current_command") = new_command;
        corvane::print(py::str("Changed to new command: ") + py::str(new_command));
        return 0;
    });
}

void arduino_close(py::object self) { self.attr("_send_http_command")("S"); }

}  // namespace

void bind_connections(py::module_& m) {
    py::tuple bases = py::make_tuple(py::module_::import("builtins").attr("object"));

    py::object simulation = make_class("live_pilot", "SimulationConnection", bases);
    add_method(simulation, "__init__", &simulation_init, py::arg("host") = simulator_url());
    add_method(simulation, "send_command", &simulation_send_command, py::arg("command"));
    add_method(simulation, "close", &simulation_close);
    m.attr("SimulationConnection") = simulation;

    py::object arduino = make_class("live_pilot", "ArduinoConnection", bases);
    add_method(arduino, "__init__", &arduino_init, py::arg("host"), py::arg("port"));
    add_method(arduino, "send_command", &arduino_send_command, py::arg("new_command"));
    add_method(arduino, "_send_http_command", &arduino_send_http_command, py::arg("command"));
    add_method(arduino, "close", &arduino_close);
    m.attr("ArduinoConnection") = arduino;
}

}  // namespace corvane::live_pilot
