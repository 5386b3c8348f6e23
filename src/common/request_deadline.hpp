// One total deadline for an HTTP request made through requests, from connecting to the last byte
// of the answer (requests itself limits each socket operation, not the whole exchange).
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

namespace corvane {

namespace py = pybind11;

// While the object lives, the sockets that the sessions of deadline_session() connect or reuse on
// this thread are shut down when the deadline passes, ending the request.
class RequestDeadline {
public:
    explicit RequestDeadline(double seconds);
    ~RequestDeadline();
    RequestDeadline(const RequestDeadline&) = delete;
    RequestDeadline& operator=(const RequestDeadline&) = delete;
    // True once the deadline has passed: an answer completed now is too late.
    bool passed() const;
    void watch(const py::handle& socket);

private:
    std::chrono::steady_clock::time_point deadline_;
    std::shared_ptr<std::atomic<bool>> fired_;
    RequestDeadline* previous_;
    std::vector<int> fds_;
};

// A requests.Session whose requests honour RequestDeadline. With trust_env false it takes nothing
// (proxies, certificates, credentials) from the environment. `module` names the module its
// connection classes are made in.
py::object deadline_session(const char* module, bool trust_env);

}  // namespace corvane
