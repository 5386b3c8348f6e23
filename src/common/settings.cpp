#include "common/settings.hpp"

#include <optional>
#include <string>

#include "common/decoder.hpp"
#include "common/host_address.hpp"
#include "common/interop.hpp"

namespace corvane {

namespace {

bool all_digits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// A TCP port written in decimal, 1-65535.
std::optional<int> port_number(const std::string& text) {
    if (!all_digits(text) || text.size() > 5) return std::nullopt;
    int port = std::stoi(text);
    if (port < 1 || port > 65535) return std::nullopt;
    return port;
}

bool ipv6_address(const std::string& text) {
    if (text.find(':') == std::string::npos) return false;
    try {
        py::module_::import("ipaddress").attr("IPv6Address")(text);
        return true;
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError)) throw;
        return false;
    }
}

// A DNS host name (letters, digits and inner hyphens in dot-separated labels) or a dotted IPv4
// address; a name of digits and dots only must be an IPv4 address.
bool host_name_or_ipv4(const std::string& host) {
    if (host.empty() || host.size() > 253) return false;
    bool numeric = true;
    int labels = 0;
    size_t start = 0;
    while (start <= host.size()) {
        size_t end = host.find('.', start);
        if (end == std::string::npos) end = host.size();
        std::string label = host.substr(start, end - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
        for (char c : label) {
            bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
            if (!alnum && c != '-') return false;
        }
        numeric = numeric && all_digits(label);
        if (numeric && (label.size() > 3 || std::stoi(label) > 255)) return false;
        ++labels;
        start = end + 1;
    }
    return !numeric || labels == 4;
}

// host[:port] with the host as a name, an IPv4 address or a bracketed IPv6 address; a bare IPv6
// address (no port) when `bare_ipv6`. Returns the host as URLs write it and the port, if given.
std::optional<std::pair<std::string, std::optional<int>>> authority(const std::string& text, bool bare_ipv6) {
    std::string host = text, port;
    if (!text.empty() && text.front() == '[') {
        auto close = text.find(']');
        if (close == std::string::npos || !ipv6_address(text.substr(1, close - 1))) return std::nullopt;
        host = text.substr(0, close + 1);
        std::string rest = text.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') return std::nullopt;
        port = rest;
    } else if (bare_ipv6 && ipv6_address(text)) {
        return std::pair{"[" + text + "]", std::optional<int>()};
    } else {
        auto colon = text.find(':');
        if (colon != std::string::npos) {
            host = text.substr(0, colon);
            port = text.substr(colon);
        }
        if (!host_name_or_ipv4(host)) return std::nullopt;
    }
    if (port.empty()) return std::pair{host, std::optional<int>()};
    auto number = port_number(port.substr(1));
    if (!number) return std::nullopt;
    return std::pair{host, number};
}

[[noreturn]] void malformed(const char* variable, const std::string& value, const char* expected) {
    raise(PyExc_ValueError, std::string(variable) + " must be " + expected + ", got " +
                                py::repr(py::str(value)).cast<std::string>());
}

}  // namespace

py::object base_directory_from_environment() { return getenv("CORVANE_PATH", py::str(kDefaultBaseDirectory)); }

py::str serial_port() { return py::str(getenv("CORVANE_SERIAL_PORT", py::str(kDefaultSerialPort))); }

py::object artefact_dir() { return getenv("CORVANE_ARTEFACT_DIR", base_directory_from_environment()); }

py::str simulator_url() {
    const char* variable = "CORVANE_SIMULATOR_URL";
    std::string url = getenv(variable, std::string(kDefaultSimulatorUrl));
    auto fail = [&] { malformed(variable, url, "http:// or https:// host[:port][/path], without a query or fragment"); };
    for (char c : url)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f || c == '?' || c == '#' || c == '\\') fail();
    auto scheme_end = url.find("://");
    if (scheme_end == std::string::npos) fail();
    std::string scheme = py::str(url.substr(0, scheme_end)).attr("lower")().cast<std::string>();
    if (scheme != "http" && scheme != "https") fail();
    std::string rest = url.substr(scheme_end + 3);
    if (!authority(rest.substr(0, rest.find('/')), false)) fail();
    return py::str(url);
}

std::pair<py::str, py::int_> actuator_address() {
    return actuator_address_of(getenv("CORVANE_ACTUATOR_HOST", std::string(kDefaultActuatorHost)));
}

std::pair<py::str, py::int_> actuator_address_of(const std::string& address) {
    const char* variable = "CORVANE_ACTUATOR_HOST";
    auto parsed = authority(address, true);
    if (!parsed) malformed(variable, address, "a host name or IP address with an optional :port (1-65535)");
    return {py::str(parsed->first), py::int_(parsed->second.value_or(kActuatorPort))};
}

void resolve_actuator_host(const std::string& host, double seconds) {
    std::string why;
    std::optional<std::string> address;
    {
        py::gil_scoped_release unlocked;
        address = kept_address(host, seconds, &why);
    }
    if (!address) malformed("CORVANE_ACTUATOR_HOST", host, ("a host that resolves (" + why + ")").c_str());
}

py::str decision_rule_named(const std::string& value, const char* source) {
    if (value.empty() || value == kConservativeRule) return py::str(kConservativeRule);
    if (value == kQSumRule) return py::str(kQSumRule);
    malformed(source, value, (std::string("\"") + kConservativeRule + "\" or \"" + kQSumRule + "\"").c_str());
}

py::str decision_rule() {
    const char* variable = "CORVANE_DECISION_RULE";
    return decision_rule_named(getenv(variable, std::string()), variable);
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
