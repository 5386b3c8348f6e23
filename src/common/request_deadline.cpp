// One total deadline per HTTP request. requests limits each socket operation, not the whole
// exchange, so a server that trickles its answer could hold a request for as long as it likes.
// Here the sockets of a request are shut down when its deadline passes, which ends any read or
// write in progress at once; a native watcher thread does it, so no Python code (and no GIL) is
// needed at that moment.
//
// The sockets come from the sessions' own connection classes: subclasses of urllib3's that hand
// their socket to the deadline of the request running on the same thread when they connect, and
// again when a kept-alive connection is reused.
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>

#include "common/request_deadline.hpp"

#include "common/interop.hpp"

namespace corvane {

namespace {

using Clock = std::chrono::steady_clock;

// Descriptors (duplicates owned by their RequestDeadline) shut down when their time comes.
class Watcher {
public:
    static Watcher& instance() {
        static Watcher* watcher = new Watcher();  // never destroyed: its thread outlives static destruction
        return *watcher;
    }

    void add(int fd, Clock::time_point when, std::shared_ptr<std::atomic<bool>> fired) {
        std::lock_guard lock(mutex_);
        entries_[fd] = Entry{when, std::move(fired)};
        wake_.notify_one();
    }

    // After this returns the watcher no longer touches `fd`, which may then be closed.
    void remove(int fd) {
        std::lock_guard lock(mutex_);
        entries_.erase(fd);
    }

private:
    struct Entry {
        Clock::time_point when;
        std::shared_ptr<std::atomic<bool>> fired;
    };

    Watcher() { std::thread([this] { run(); }).detach(); }

    void run() {
        std::unique_lock lock(mutex_);
        while (true) {
            if (entries_.empty()) {
                wake_.wait(lock);
                continue;
            }
            auto earliest = entries_.begin();
            for (auto it = entries_.begin(); it != entries_.end(); ++it)
                if (it->second.when < earliest->second.when) earliest = it;
            if (Clock::now() < earliest->second.when) {
                wake_.wait_until(lock, earliest->second.when);
                continue;
            }
            ::shutdown(earliest->first, SHUT_RDWR);
            earliest->second.fired->store(true);
            entries_.erase(earliest);
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<int, Entry> entries_;
};

thread_local RequestDeadline* active = nullptr;

// Hands the connection's socket, if it has one, to the request running on this thread.
void watch_connection(const py::object& connection) {
    if (active == nullptr) return;
    py::object socket = py::getattr(connection, "sock", py::none());
    if (!socket.is_none()) active->watch(socket);
}

// A subclass of urllib3's connection class `name` whose sockets are watched.
py::object watched_connection_class(const char* module, const std::string& name, const py::object& base) {
    py::object cls = make_class(module, ("Watched" + name).c_str(), py::make_tuple(base));
    add_method(cls, "connect", [base](py::object self) {
        base.attr("connect")(self);
        watch_connection(self);
    });
    add_method(cls, "request", [base](py::object self, py::args args, py::kwargs kwargs) {
        watch_connection(self);  // a kept-alive connection, connected by an earlier request
        return base.attr("request")(self, *args, **kwargs);
    });
    return cls;
}

// {"http": pool class, "https": pool class} making watched connections; made once per extension
// (each links its own copy of this file, and passes its own name).
py::dict watched_pool_classes(const char* module) {
    static py::object* classes = nullptr;
    if (classes == nullptr) {
        auto connection = py::module_::import("urllib3.connection");
        auto pool = py::module_::import("urllib3.connectionpool");
        py::dict by_scheme;
        for (auto [scheme, pool_name, connection_name] :
             {std::tuple{"http", "HTTPConnectionPool", "HTTPConnection"},
              std::tuple{"https", "HTTPSConnectionPool", "HTTPSConnection"}}) {
            py::object watched = watched_connection_class(module, connection_name, connection.attr(connection_name));
            py::object pool_class = make_class(module, ("Watched" + std::string(pool_name)).c_str(),
                                               py::make_tuple(pool.attr(pool_name)));
            pool_class.attr("ConnectionCls") = watched;
            by_scheme[scheme] = pool_class;
        }
        classes = new py::object(by_scheme);
    }
    return py::reinterpret_borrow<py::dict>(*classes);
}

}  // namespace

RequestDeadline::RequestDeadline(double seconds)
    : deadline_(Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds))),
      fired_(std::make_shared<std::atomic<bool>>(false)),
      previous_(active) {
    active = this;
}

RequestDeadline::~RequestDeadline() {
    active = previous_;
    for (int fd : fds_) {
        Watcher::instance().remove(fd);
        ::close(fd);
    }
}

bool RequestDeadline::passed() const { return fired_->load() || Clock::now() >= deadline_; }

void RequestDeadline::watch(const py::handle& socket) {
    int fd = socket.attr("fileno")().cast<int>();
    if (fd < 0) return;
    // A duplicate of our own: the watcher may shut it down even after the library closed its socket,
    // without ever reaching a descriptor number reused meanwhile.
    int own = ::dup(fd);
    if (own < 0) return;
    fds_.push_back(own);
    Watcher::instance().add(own, deadline_, fired_);
}

py::object deadline_session(const char* module, bool trust_env) {
    py::object session = py::module_::import("requests").attr("Session")();
    session.attr("trust_env") = trust_env;
    for (auto adapter : session.attr("adapters").attr("values")()) {
        adapter.attr("poolmanager").attr("pool_classes_by_scheme") = watched_pool_classes(module);
    }
    return session;
}

}  // namespace corvane
