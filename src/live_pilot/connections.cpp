// The two outputs driven with one-letter commands: the movement simulator and the actuator
// controller, both plain HTTP servers reached with one GET per command. Each connection object
// keeps its own requests session, so commands travel over one kept-alive connection instead of a
// new one each (a new connection costs a millisecond or more per command); a connection the
// server closed or that failed is replaced on the next command. Neither link takes proxies from
// the environment or follows redirects: only the configured server's own answer counts.
#include <chrono>
#include <optional>
#include <string>

#include "common/host_address.hpp"
#include "common/classes.hpp"
#include "common/interop.hpp"
#include "common/python_values.hpp"
#include "common/request_deadline.hpp"
#include "live_pilot/live_pilot.hpp"
#include "common/settings.hpp"

namespace corvane::live_pilot {

namespace {

// Every request on both links has one total deadline (kRequestDeadlineSeconds), connecting and
// sending included: a slow or silent server must not hold up the control loop while the device
// keeps moving, and an answer completed later is no acknowledgement.

py::object requests() { return py::module_::import("requests"); }

// Connection object -> (its requests.Session, {url: (prepared GET, send settings)}), held weakly so a dropped
// connection object takes its session (and socket) with it. Kept out of the objects' own
// attributes. A command's request is prepared once (headers, the URL parsed) and sent again as is.
constexpr std::size_t kPreparedLimit = 32;

py::object& sessions() {
    static py::object* table = new py::object(py::module_::import("weakref").attr("WeakKeyDictionary")());
    return *table;
}

py::tuple session_of(const py::object& connection) {
    py::object table = sessions();
    py::object entry = table.attr("get")(connection);
    if (entry.is_none()) {
        entry = py::make_tuple(deadline_session("live_pilot", false), py::dict());
        table[connection] = entry;
    }
    return entry;
}

// Closes the connection object's session; the next command opens a new one.
void close_session(const py::object& connection) {
    py::object entry = sessions().attr("pop")(connection, py::none());
    if (!entry.is_none()) entry.cast<py::tuple>()[0].attr("close")();
}

[[noreturn]] void raise_timeout(const py::str& url) {
    raise(requests().attr("Timeout")(py::str("no complete answer from {} within {:g} s").format(
        url, kRequestDeadlineSeconds)));
}

// One GET within `seconds` (what is left of the total deadline); redirects are not followed. A
// request cut off by the deadline, or answered after it, raises requests' Timeout, and the
// connection is not used again.
py::object http_get(const py::object& connection, const py::str& url, double seconds = kRequestDeadlineSeconds) {
    py::tuple entry = session_of(connection);
    py::object session = entry[0];
    py::dict prepared = entry[1];
    if (!prepared.contains(url)) {
        if (py::len(prepared) >= kPreparedLimit) prepared.clear();
        py::object request = session.attr("prepare_request")(requests().attr("Request")("GET", url));
        // The session trusts no environment: these are its own settings.
        py::dict settings = session.attr("merge_environment_settings")(url, py::dict(), py::none(), py::none(),
                                                                       py::none());
        // Each socket operation is limited as well, to the whole deadline.
        settings["timeout"] = kRequestDeadlineSeconds;
        settings["allow_redirects"] = false;
        prepared[url] = py::make_tuple(request, settings);
    }
    py::tuple request = prepared[url];
    if (seconds <= 0) raise_timeout(url);
    RequestDeadline deadline(seconds);
    py::object reply;
    try {
        reply = session.attr("send")(request[0], **request[1].cast<py::dict>());
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception) || !deadline.passed()) throw;
    }
    // Cut off by the deadline (reply unset) or answered after it: either way too late.
    if (deadline.passed()) {
        close_session(connection);
        raise_timeout(url);
    }
    return reply;
}

bool redirect(const py::object& reply) {
    int status = reply.attr("status_code").cast<int>();
    return status >= 300 && status < 400;
}

void simulation_init(py::object self, py::object host) { self.attr("host") = host; }

py::bool_ simulation_send_command(py::object self, py::object command) {
    try {
        py::str url = py::str(self.attr("host")) + py::str("/command/") + py::str(command);
        py::object reply = http_get(self, url);
        if (redirect(reply)) return py::bool_(false);
        py::object status = reply.attr("json")()[py::str("status")];
        return py::bool_(status.equal(py::str("ok")));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
    } catch (py::builtin_exception&) {
    }
    return py::bool_(false);
}

void simulation_close(py::object self) { close_session(self); }

void arduino_init(py::object self, py::object host, py::object port) {
    self.attr("host") = host;
    self.attr("port") = port;
    self.attr("current_command") = kStopCommand;
    self.attr("STOP_DURATION") = 0.5;
}

// One GET to the controller; true when it acknowledged the command with a 2xx answer in time.
py::bool_ arduino_send_http_command(py::object self, py::object command) {
    requests();  // an import failure reaches the caller
    return py::bool_(guarded("HTTP request error: ", false, [&] {
        // The host's address as resolved at import (or on first use, within the deadline) and kept:
        // a resolver that stops answering later cannot hold up a stop.
        auto started = std::chrono::steady_clock::now();
        std::string host = py::str(self.attr("host")), why;
        std::optional<std::string> address;
        {
            py::gil_scoped_release unlocked;
            address = kept_address(host, kRequestDeadlineSeconds, &why);
        }
        if (!address) raise(requests().attr("ConnectionError")(py::str("cannot resolve {}: {}").format(host, why)));
        py::str url = py::str("http://{}:{}/{}").format(url_host(*address), self.attr("port"), command);
        double left = kRequestDeadlineSeconds - std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        py::object reply = http_get(self, url, left);
        int status = reply.attr("status_code").cast<int>();
        if (status >= 200 && status < 300) return true;
        reply.attr("raise_for_status")();  // 4xx and 5xx, with the library's text
        if (redirect(reply)) {
            raise(PyExc_RuntimeError, py::str("redirect {} to {} not followed for url: {}")
                                          .format(status, reply.attr("headers").attr("get")("Location", ""), url)
                                          .cast<std::string>());
        }
        raise(PyExc_RuntimeError, py::str("unexpected status {} for url: {}").format(status, url).cast<std::string>());
    }));
}

// A change goes ahead only from an acknowledged stop, and is in force only once the controller
// acknowledged it; otherwise the next decision tries it again.
void arduino_send_command(py::object self, py::object new_command) {
    if (!new_command.not_equal(self.attr("current_command"))) return;
    guarded("Connection error: ", 0, [&] {
        corvane::print("Stopping for 1 second...");
        if (!stop_actuator(self)) return 0;
        py::module_::import("time").attr("sleep")(self.attr("STOP_DURATION"));
        if (truthy(self.attr("_send_http_command")(new_command))) {
            self.attr("current_command") = new_command;
            corvane::print(py::str("Changed to new command: ") + py::str(new_command));
        }
        return 0;
    });
}

void arduino_close(py::object self) {
    stop_actuator(self);
    close_session(self);
}

}  // namespace

bool stop_actuator(const py::object& arduino) {
    auto sleep = py::module_::import("time").attr("sleep");
    HeldStopSignals held;
    bool acknowledged = false;
    for (int attempt = 1; attempt <= kStopTries && !acknowledged; ++attempt) {
        if (truthy(arduino.attr("_send_http_command")(kStopCommand))) {
            arduino.attr("current_command") = kStopCommand;
            acknowledged = true;
        } else if (attempt < kStopTries) {
            sleep(kStopRetryPause);
        }
    }
    if (!acknowledged) {
        corvane::print("Actuator did not acknowledge the stop command after " + std::to_string(kStopTries) +
                       " tries: it may still be moving");
    }
    held.release();
    return acknowledged;
}

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
