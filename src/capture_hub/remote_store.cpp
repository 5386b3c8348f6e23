// Remote session storage over HTTP (JSON with Base64 text) and the sample recording's location.
#include "capture_hub/capture_hub.hpp"

#include "common/interop.hpp"
#include "common/request_deadline.hpp"


namespace corvane::capture_hub {

namespace {

// Seconds a storage request may take in all, from connecting to the last byte of the answer.
const double kRequestDeadline = 30.0;
const int kChunkBytes = 64 * 1024;
// Largest answer body read (256 MiB), far above a session's size: a larger one is refused, by its
// Content-Length before any of it is read, else once that many bytes have arrived.
const long long kMaxAnswerBytes = 256LL * 1024 * 1024;
// Answer bytes held in memory while they arrive; beyond that they go to a temporary file.
const long long kSpoolBytes = 16LL * 1024 * 1024;

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

struct Answer {
    py::object response;
    py::object body;  // a file positioned at the body's start, or None when it was not read
};

// The 2xx answer's body into a spooled file, counted as it arrives and refused past the cap.
py::object read_body(const py::object& response, const py::str& url, const py::object& monotonic, double deadline) {
    std::string too_large = "the answer from " + url.cast<std::string>() + " is larger than " +
                            std::to_string(kMaxAnswerBytes) + " bytes (256 MiB) and was refused";
    py::object length = response.attr("headers").attr("get")("Content-Length");
    if (!length.is_none() && py::int_(length).cast<long long>() > kMaxAnswerBytes) raise(PyExc_ValueError, too_large);
    py::object body = py::module_::import("tempfile").attr("SpooledTemporaryFile")(py::arg("max_size") = kSpoolBytes);
    long long count = 0;
    try {
        for (auto chunk : response.attr("iter_content")(kChunkBytes)) {
            count += static_cast<long long>(py::len(chunk));
            if (count > kMaxAnswerBytes) raise(PyExc_ValueError, too_large);
            body.attr("write")(chunk);
            if (monotonic().cast<double>() > deadline) break;
        }
    } catch (...) {
        body.attr("close")();
        throw;
    }
    body.attr("seek")(0);
    return body;
}

// One request to the store, answered in full within kRequestDeadline seconds or failed with
// requests' Timeout: the request's sockets are shut down when the deadline passes, which ends it
// wherever it is, and the call returns with nothing of it left open. Redirects are not followed: a
// redirect answer fails. `with_body`: the answer's body is read (see read_body).
Answer request_within_deadline(const char* method, const py::str& url, const py::dict& options, bool with_body) {
    auto requests = py::module_::import("requests");
    py::object monotonic = py::module_::import("time").attr("monotonic");
    double deadline_at = monotonic().cast<double>() + kRequestDeadline;
    py::object session = deadline_session("capture_hub", true);
    Answer answer{py::none(), py::none()};
    bool late = false;
    {
        RequestDeadline deadline(kRequestDeadline);
        try {
            answer.response = session.attr("request")(method, url, **options, py::arg("stream") = true,
                                                      py::arg("allow_redirects") = false,
                                                      py::arg("timeout") = kRequestDeadline);
            int status = answer.response.attr("status_code").cast<int>();
            if (with_body && status >= 200 && status < 300) {
                answer.body = read_body(answer.response, url, monotonic, deadline_at);
            }
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_Exception) || !deadline.passed()) {
                if (!answer.response.is_none()) answer.response.attr("close")();
                session.attr("close")();
                throw;
            }
        }
        late = deadline.passed();
        if (!answer.response.is_none()) answer.response.attr("close")();
        session.attr("close")();
    }
    if (late) {
        if (!answer.body.is_none()) answer.body.attr("close")();
        raise(requests.attr("Timeout")("no complete answer from " + url.cast<std::string>() + " within " +
                                              std::to_string(static_cast<int>(kRequestDeadline)) + " seconds"));
    }
    int status = answer.response.attr("status_code").cast<int>();
    if (status >= 300 && status < 400) {
        py::object location = answer.response.attr("headers").attr("get")("Location", "");
        raise(requests.attr("HTTPError")(std::to_string(status) + " Redirect not followed: " +
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
        request_within_deadline("POST", url, options, false);
        return true;
    });
}

py::object load_session_data(py::object self, py::object session_num) {
    return guarded<py::object>("Error loading session data: ", py::none(), [&] {
        py::str url = py::str(self.attr("api_url")) + py::str("/session_data/") + path_segment(session_num);
        Answer answer = request_within_deadline("GET", url, py::dict(), true);
        py::object data;
        try {
            data = py::module_::import("json").attr("load")(answer.body);
        } catch (...) {
            answer.body.attr("close")();
            throw;
        }
        answer.body.attr("close")();
        // Text outside the Base64 alphabet is an error, not something to skip silently.
        return py::module_::import("base64").attr("b64decode")(data["session_data"], py::arg("validate") = true);
    });
}

py::list get_sample_files(py::object self) {
    return guarded<py::list>("Error getting sample files: ", py::list(), [&] {
        py::object formatted_dir = path_join({self.attr("sample_dir"), py::str("formatted")});
        py::object sample_file = path_join({formatted_dir, py::str(kCombinedFile)});
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
