// Remote session storage over HTTP (JSON with Base64 text) and the sample recording's location.
#include "capture_hub/capture_hub.hpp"

#include "common/interop.hpp"

#include <algorithm>

namespace corvane::capture_hub {

namespace {

// Seconds a storage request may take in all, from connecting to the last byte of the answer.
const double kRequestDeadline = 30.0;
const int kChunkBytes = 64 * 1024;

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

[[noreturn]] void raise_object(const py::object& error) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

struct Answer {
    py::object response;
    py::bytes body;
};

// One request to the store, answered in full within kRequestDeadline seconds or failed with
// requests' Timeout. requests limits each socket read, not the whole exchange, so the request
// runs on a worker thread that this call waits for; a worker still busy at the deadline stops
// at its next chunk or socket time limit. Redirects are not followed: a redirect answer fails.
Answer request_within_deadline(const char* method, const py::str& url, const py::dict& options) {
    auto requests = py::module_::import("requests");
    py::object monotonic = py::module_::import("time").attr("monotonic");
    double deadline = monotonic().cast<double>() + kRequestDeadline;
    py::dict outcome;
    py::object session = requests.attr("Session")();
    py::cpp_function work([=]() {
        try {
            py::object response = session.attr("request")(method, url, **options, py::arg("stream") = true,
                                                          py::arg("allow_redirects") = false,
                                                          py::arg("timeout") = kRequestDeadline);
            py::list chunks;
            for (auto chunk : response.attr("iter_content")(kChunkBytes)) {
                if (monotonic().cast<double>() > deadline) break;
                chunks.append(chunk);
            }
            response.attr("close")();
            outcome["response"] = response;
            outcome["body"] = py::bytes("").attr("join")(chunks);
        } catch (py::error_already_set& error) {
            outcome["error"] = error.value();
        }
    });
    py::object thread = py::module_::import("threading").attr("Thread")(
        py::arg("target") = work, py::arg("name") = "store-request", py::arg("daemon") = true);
    thread.attr("start")();
    thread.attr("join")(std::max(0.0, deadline - monotonic().cast<double>()));
    if (truthy(thread.attr("is_alive")()) || (!outcome.contains("error") && monotonic().cast<double>() > deadline)) {
        session.attr("close")();
        raise_object(requests.attr("Timeout")("no complete answer from " + url.cast<std::string>() + " within " +
                                              std::to_string(static_cast<int>(kRequestDeadline)) + " seconds"));
    }
    session.attr("close")();
    if (outcome.contains("error")) raise_object(outcome["error"]);
    if (!outcome.contains("response")) raise(PyExc_RuntimeError, "the request to " + url.cast<std::string>() + " ended without an answer");
    Answer answer{outcome["response"], outcome["body"]};
    int status = answer.response.attr("status_code").cast<int>();
    if (status >= 300 && status < 400) {
        py::object location = answer.response.attr("headers").attr("get")("Location", "");
        raise_object(requests.attr("HTTPError")(std::to_string(status) + " Redirect not followed: " +
                                                    py::str(location).cast<std::string>(),
                                                py::arg("response") = answer.response));
    }
    answer.response.attr("raise_for_status")();
    return answer;
}

}  // namespace

bool save_session_data(py::object self, py::object session_num, py::object data) {
    return guarded<bool>("Error saving session data: ", false, [&] {
        py::str url = py::str(self.attr("api_url")) + py::str("/session_data");
        py::dict payload;
        payload["session_num"] = session_num;
        payload["session_data"] = py::module_::import("base64").attr("b64encode")(data).attr("decode")();
        py::dict options;
        options["json"] = payload;
        request_within_deadline("POST", url, options);
        return true;
    });
}

py::object load_session_data(py::object self, py::object session_num) {
    return guarded<py::object>("Error loading session data: ", py::none(), [&] {
        py::str url = py::str(self.attr("api_url")) + py::str("/session_data/") + path_segment(session_num);
        Answer answer = request_within_deadline("GET", url, py::dict());
        py::object data = py::module_::import("json").attr("loads")(answer.body);
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
