// Remote session storage over HTTP (JSON with Base64 text) and the sample recording's location.
#include "capture_hub/capture_hub.hpp"

#include "common/interop.hpp"

namespace corvane::capture_hub {

namespace {

const char* const kDefaultApiUrl = "http://localhost:8000/api";

}  // namespace

py::object default_api_url() {
    py::str url = getenv("CORVANE_API_URL", py::str(kDefaultApiUrl));
    url = url.attr("rstrip")("/");
    if (!truthy(url.attr("endswith")("/api"))) url = url + py::str("/api");
    return url;
}

}  // namespace corvane::capture_hub
