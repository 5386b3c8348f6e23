// The watchdog: a native thread that sends "S" to the actuator controller when the loop has
// completed no pass for one step, whatever the loop is stuck in (a blocked print, a hung library
// call). It speaks plain HTTP over its own socket, with the same total deadline and tries as the
// loop's own stops, and touches no Python object, so it needs no GIL.
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "common/host_address.hpp"
#include "common/classes.hpp"
#include "common/interop.hpp"
#include "live_pilot/live_pilot.hpp"

namespace corvane::live_pilot {

namespace {

using Clock = std::chrono::steady_clock;

Clock::duration seconds(double value) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

// Waits for `events` on `fd` until `deadline`; false when it passed first.
bool wait_for(int fd, short events, Clock::time_point deadline) {
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd entry{fd, events, 0};
        int ready = ::poll(&entry, 1, static_cast<int>(left));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
}

// True when the answer in `reply` is complete (all of its Content-Length, or the server closed).
bool complete(const std::string& reply, bool closed) {
    auto end = reply.find("\r\n\r\n");
    if (end == std::string::npos) return closed;
    std::string headers = reply.substr(0, end);
    std::transform(headers.begin(), headers.end(), headers.begin(), [](unsigned char c) { return std::tolower(c); });
    auto field = headers.find("\r\ncontent-length:");
    if (field == std::string::npos) return closed;
    std::size_t length = std::strtoul(headers.c_str() + field + 17, nullptr, 10);
    return closed || reply.size() - (end + 4) >= length;
}

// One GET of `path` at address:port, completed within `limit` seconds; true for a 2xx answer.
bool acknowledged_get(const std::string& address, int port, const std::string& path, double limit) {
    auto deadline = Clock::now() + seconds(limit);
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || found == nullptr) return false;
    int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    bool connected = fd >= 0 && (::connect(fd, found->ai_addr, found->ai_addrlen) == 0 || errno == EINPROGRESS);
    freeaddrinfo(found);
    std::string reply;
    bool closed = false;
    if (connected && wait_for(fd, POLLOUT, deadline)) {
        int error = 0;
        socklen_t size = sizeof error;
        connected = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
        std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + url_host(address) +
                              (port == 80 ? "" : ":" + std::to_string(port)) +
                              "\r\nAccept: */*\r\nConnection: close\r\n\r\n";
        std::size_t sent = 0;
        while (connected && sent < request.size() && wait_for(fd, POLLOUT, deadline)) {
            ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n > 0) sent += n;
            else if (n < 0 && errno != EAGAIN && errno != EINTR) connected = false;
        }
        while (connected && sent == request.size() && !complete(reply, closed) && wait_for(fd, POLLIN, deadline)) {
            char buffer[4096];
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n > 0) reply.append(buffer, n);
            else if (n == 0) closed = true;
            else if (errno != EAGAIN && errno != EINTR) connected = false;
        }
    }
    if (fd >= 0) ::close(fd);
    if (!complete(reply, closed) || Clock::now() > deadline) return false;
    // "HTTP/1.1 200 OK"
    auto space = reply.find(' ');
    return reply.compare(0, 5, "HTTP/") == 0 && space != std::string::npos && space + 1 < reply.size() &&
           reply[space + 1] == '2';
}

// The controller the loop commands, as its connection names it.
struct Target {
    std::string host;
    int port = 0;
};

// What a stall led to, for the loop to report once it runs again.
struct Report {
    double stalled;
    bool acknowledged;
};

// One thread for the life of the process (never destroyed: it may outlive static destruction).
class Guard {
public:
    static Guard& instance() {
        static Guard* guard = new Guard();
        return *guard;
    }

    void arm(double limit, Target target) {
        std::lock_guard lock(mutex_);
        armed_ = true;
        limit_ = seconds(limit);
        last_pass_ = Clock::now();
        fired_ = false;
        report_.reset();
        target_ = std::move(target);
        wake_.notify_all();
    }

    std::optional<Report> pass(Target target) {
        std::lock_guard lock(mutex_);
        last_pass_ = Clock::now();
        fired_ = false;
        target_ = std::move(target);
        wake_.notify_all();
        std::optional<Report> report;
        report.swap(report_);
        return report;
    }

    void disarm() {
        std::lock_guard lock(mutex_);
        armed_ = false;
        wake_.notify_all();
    }

private:
    Guard() { std::thread([this] { run(); }).detach(); }

    void run() {
        std::unique_lock lock(mutex_);
        while (true) {
            if (!armed_ || fired_) {
                wake_.wait(lock);
                continue;
            }
            auto due = last_pass_ + limit_;
            if (Clock::now() < due) {
                wake_.wait_until(lock, due);
                continue;
            }
            fired_ = true;
            Target target = target_;
            auto since = last_pass_;
            lock.unlock();
            bool acknowledged = stop(target);
            lock.lock();
            report_ = Report{std::chrono::duration<double>(Clock::now() - since).count(), acknowledged};
        }
    }

    // "S" with the loop's own tries, pause and deadline.
    static bool stop(const Target& target) {
        for (int attempt = 1; attempt <= kStopTries; ++attempt) {
            auto started = Clock::now();
            auto address = kept_address(target.host, kRequestDeadlineSeconds);
            double left = kRequestDeadlineSeconds - std::chrono::duration<double>(Clock::now() - started).count();
            if (address && target.port > 0 && acknowledged_get(*address, target.port, "/S", left)) return true;
            if (attempt < kStopTries) std::this_thread::sleep_for(seconds(kStopRetryPause));
        }
        return false;
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool armed_ = false, fired_ = false;
    Clock::duration limit_{};
    Clock::time_point last_pass_;
    Target target_;
    std::optional<Report> report_;
};

Target target_of(const py::object& arduino) {
    Target target;
    try {
        target.host = py::str(arduino.attr("host")).cast<std::string>();
        target.port = arduino.attr("port").cast<int>();
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;  // a connection without an address: nothing to stop
    } catch (py::cast_error&) {
    }
    return target;
}

}  // namespace

Watchdog::~Watchdog() { disarm(); }

void Watchdog::arm(double limit_seconds, const py::object& arduino) {
    Guard::instance().arm(limit_seconds, target_of(arduino));
    armed_ = true;
}

void Watchdog::pass_completed(const py::object& arduino) {
    auto report = Guard::instance().pass(target_of(arduino));
    if (!report) return;
    char stalled[32];
    std::snprintf(stalled, sizeof stalled, "%.1f", report->stalled);
    if (report->acknowledged) {
        arduino.attr("current_command") = kStopCommand;
        corvane::print(std::string("Loop stalled for ") + stalled + " s: the watchdog stopped the actuator");
    } else {
        corvane::print(std::string("Loop stalled for ") + stalled +
                       " s: the watchdog's stop was not acknowledged; the actuator may still be moving");
    }
}

void Watchdog::disarm() {
    if (armed_) Guard::instance().disarm();
    armed_ = false;
}

}  // namespace corvane::live_pilot
