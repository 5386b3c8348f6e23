#include "common/settings.hpp"

#include <string>

#include "common/interop.hpp"

namespace corvane {

namespace {

bool all_digits(const std::string& text) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

py::object base_directory_from_environment() { return getenv("CORVANE_PATH", py::str(kDefaultBaseDirectory)); }

py::str serial_port() { return py::str(getenv("CORVANE_SERIAL_PORT", py::str(kDefaultSerialPort))); }

py::object artefact_dir() { return getenv("CORVANE_ARTEFACT_DIR", base_directory_from_environment()); }

py::str simulator_url() { return py::str(getenv("CORVANE_SIMULATOR_URL", py::str(kDefaultSimulatorUrl))); }

std::pair<py::str, py::int_> actuator_address() {
    std::string address = getenv("CORVANE_ACTUATOR_HOST", std::string(kDefaultActuatorHost));
    // "host:port" moves the controller off port 80; a bare IPv6 address has several colons and
    // is taken whole.
    auto colon = address.rfind(':');
    if (colon != std::string::npos && address.find(':') == colon && all_digits(address.substr(colon + 1))) {
        return {py::str(address.substr(0, colon)), py::int_(std::stoi(address.substr(colon + 1)))};
    }
    return {py::str(address), py::int_(kActuatorPort)};
}

py::str api_url() {
    py::str url = getenv("CORVANE_API_URL", py::str(kDefaultApiUrl));
    url = url.attr("rstrip")("/");
    if (!url.attr("endswith")("/api").cast<bool>()) url = url + py::str("/api");
    // A setting given without a scheme ("host:8000/api") would fail every request: HTTP is meant.
    if (!url.attr("__contains__")("://").cast<bool>()) url = py::str("http://") + url;
    return url;
}

}  // namespace corvane
