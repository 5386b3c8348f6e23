// Deployment settings read from the environment, with their defaults: one place for each name.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

namespace corvane {

namespace py = pybind11;

inline constexpr const char* kDefaultBaseDirectory = "C:\\Corvane";
inline constexpr const char* kDefaultSerialPort = "COM9";
inline constexpr const char* kDefaultSimulatorUrl = "http://localhost:5000";
// The controller's address on the device's own network.
inline constexpr const char* kDefaultActuatorHost = "192.168.4.1";
inline constexpr int kActuatorPort = 80;
inline constexpr const char* kDefaultApiUrl = "http://localhost:8000/api";

// The base directory: os.getenv("CORVANE_PATH", "C:\\Corvane"), read anew on each call.
py::object base_directory_from_environment();
// The board's serial port (CORVANE_SERIAL_PORT, default "COM9").
py::str serial_port();
// Directory holding the trained artefacts (CORVANE_ARTEFACT_DIR, else the base directory).
py::object artefact_dir();
// Base URL of the movement simulator (CORVANE_SIMULATOR_URL): http:// or https://, a host name or
// IP address (IPv6 in brackets), an optional :port and path, no user, query or fragment; anything
// else raises ValueError naming the variable.
py::str simulator_url();
// Host and port of the actuator controller (CORVANE_ACTUATOR_HOST): a host name or IP address
// with an optional :port (1-65535); an IPv6 address comes back in brackets, as URLs write it.
// Anything else raises ValueError naming the variable.
std::pair<py::str, py::int_> actuator_address();
// `text` read as CORVANE_ACTUATOR_HOST is read, with its ValueError.
std::pair<py::str, py::int_> actuator_address_of(const std::string& text);
// Resolves the actuator controller's host (from actuator_address) within `seconds` and keeps its
// address for every later request (see host_address.hpp); a name that does not resolve in time
// raises ValueError naming CORVANE_ACTUATOR_HOST.
void resolve_actuator_host(const std::string& host, double seconds);
// The rule main() decides a window by (CORVANE_DECISION_RULE): "conservative" when unset or
// empty, or "q_sum"; anything else raises ValueError naming the variable.
py::str decision_rule();
// `value` as a decision rule name (empty: the default); anything else raises ValueError naming
// `source`.
py::str decision_rule_named(const std::string& value, const char* source);
// Base URL of the remote session store (CORVANE_API_URL), ending in "/api", with "http://" when
// the setting names no scheme.
py::str api_url();

}  // namespace corvane
