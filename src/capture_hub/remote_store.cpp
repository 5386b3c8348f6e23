// Remote session storage over HTTP (JSON with Base64 text) and the sample recording's location.
#include "capture_hub/capture_hub.hpp"

#include "common/interop.hpp"

namespace corvane::capture_hub {

namespace {

// Seconds a storage request may take before it counts as failed.
const int kRequestTimeout = 30;

// The session number as one path segment: "/", "?", "#" and "%" are escaped, so no value can
// address another path of the service. "." and ".." would be read as path steps (requests sends
// an escaped dot as a dot), so they are refused.
py::str path_segment(const py::object& session_num) {
    py::str text(session_num);
    if (text.equal(py::str(".")) || text.equal(py::str(".."))) {
        raise(PyExc_ValueError, "invalid session number for a URL: " + py::repr(text).cast<std::string>());
    }
    return py::module_::import("urllib.parse").attr("quote")(text, py::arg("safe") = "");
}

}  // namespace

bool save_session_data(py::object self, py::object session_num, py::object data) {
    return guarded<bool>("Error saving session data: ", false, [&] {
        py::str url = py::str(self.attr("api_url")) + py::str("/session_data");
        py::dict payload;
        payload["session_num"] = session_num;
        payload["session_data"] = py::module_::import("base64").attr("b64encode")(data).attr("decode")();
        py::object response = py::module_::import("requests").attr("post")(url, py::arg("json") = payload,
                                                                            py::arg("timeout") = kRequestTimeout);
        response.attr("raise_for_status")();
        return true;
    });
}

py::object load_session_data(py::object self, py::object session_num) {
    return guarded<py::object>("Error loading session data: ", py::none(), [&] {
        py::str url = py::str(self.attr("api_url")) + py::str("/session_data/") + path_segment(session_num);
        py::object response = py::module_::import("requests").attr("get")(url, py::arg("timeout") = kRequestTimeout);
        response.attr("raise_for_status")();
        py::object data = response.attr("json")();
        // Text outside the Base64 alphabet is an error, not something to skip silently.
        return py::module_::import("base64").attr("b64decode")(data["session_data"], py::arg("validate") = true);
    });
}

py::list get_sample_files(py::object self) {
    return guarded<py::list>("Error getting sample files: ", py::list(), [&] {
        py::object formatted_dir = path_join({self.attr("sample_dir"), py::str("formatted")});
        py::object sample_file = path_join({formatted_dir, py::str("S03.fif")});
        py::list files;
        if (path_exists(sample_file)) {
            files.append(sample_file);
        } else {
            corvane::print(py::str("Sample file not found at: ") + py::str(sample_file));
        }
        return files;
    });
}

}  // namespace corvane::capture_hub
