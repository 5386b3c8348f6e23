#include "live_pilot/settings.hpp"

#include <string>

#include "common/interop.hpp"

namespace corvane::live_pilot {

namespace {

const char* const kDefaultSimulator = "http://localhost:5000";
const char* const kDefaultSerialPort = "COM9";
// The controller's address on the device's own network.
const char* const kDefaultActuatorHost = "192.168.4.1";
constexpr int kActuatorPort = 80;

bool all_digits(const std::string& text) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

py::str simulator_url() { return py::str(getenv("CORVANE_SIMULATOR_URL", kDefaultSimulator)); }

py::object artefact_dir() {
    return getenv("CORVANE_ARTEFACT_DIR", base_directory_from_environment());
}

py::str serial_port() { return py::str(getenv("CORVANE_SERIAL_PORT", kDefaultSerialPort)); }

std::pair<py::str, py::int_> actuator_address() {
    std::string address = getenv("CORVANE_ACTUATOR_HOST", kDefaultActuatorHost);
    // "host:port" moves the controller off port 80; a bare IPv6 address has several colons and
    // is taken whole.
    auto colon = address.rfind(':');
    if (colon != std::string::npos && address.find(':') == colon && all_digits(address.substr(colon + 1))) {
        return {py::str(address.substr(0, colon)), py::int_(std::stoi(address.substr(colon + 1)))};
    }
    return {py::str(address), py::int_(kActuatorPort)};
}

}  // namespace corvane::live_pilot
