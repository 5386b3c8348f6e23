// The loop's standard output without blocking: print() hands each line to a queue that a thread
// of its own writes to the file descriptor. A reader that stops reading (a frozen host, a paused
// terminal, a pager) stalls only that thread; once the queue is full, further lines are
// dropped and counted, and one line gives the count as soon as the queue takes lines again. A
// write that fails (the reader gone) is raised by the next print, once.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "common/interop.hpp"
#include "live_pilot/live_pilot.hpp"

namespace corvane::live_pilot {

namespace {

// What the queue holds for a reader that stalls (about a dozen windows' lines); beyond it lines
// are dropped. The pipe or terminal holds its own share before that.
constexpr std::size_t kQueueLines = 64;
constexpr std::size_t kQueueBytes = 64 * 1024;

std::string dropped_line(long long dropped) {
    return "Output stalled: " + std::to_string(dropped) + (dropped == 1 ? " line" : " lines") +
           " dropped while standard output was not read\n";
}

// The queue and its writing thread (one for the life of the process, never destroyed: it may
// outlive static destruction).
class LineWriter {
public:
    static LineWriter& instance() {
        static LineWriter* writer = new LineWriter();
        return *writer;
    }

    void start(int fd) {
        std::lock_guard lock(mutex_);
        fd_ = fd;
        error_ = 0;
        error_reported_ = false;
        dropped_ = 0;
    }

    // Queues `text` (whole lines, or what a flush hands over). Returns the error number once after
    // writing failed, so that print raises it as the plain stream would (the reader is gone: the
    // loop ends); later text is dropped, so nothing on the way out is cut short by it.
    int put(std::string text) {
        std::lock_guard lock(mutex_);
        if (error_ != 0) {
            int error = error_reported_ ? 0 : error_;
            error_reported_ = true;
            return error;
        }
        // The count of the lines dropped goes just before the first line taken again.
        std::string count = dropped_ > 0 ? dropped_line(dropped_) : std::string();
        if (!room(count.empty() ? 1 : 2, count.size() + text.size())) {
            ++dropped_;
            return 0;
        }
        if (!count.empty()) push(std::move(count));
        dropped_ = 0;
        push(std::move(text));
        return 0;
    }

    // The count of lines still unreported goes into the queue, whatever its size.
    void report_dropped() {
        std::lock_guard lock(mutex_);
        if (dropped_ > 0 && error_ == 0) push(dropped_line(dropped_));
        dropped_ = 0;
    }

    // Waits up to `slice` for everything queued to be written (or writing to have failed).
    bool wait_written(std::chrono::milliseconds slice) {
        std::unique_lock lock(mutex_);
        return idle_.wait_for(lock, slice, [&] { return (queue_.empty() && !writing_) || error_ != 0; });
    }

    // Stops writing: what is still queued is dropped.
    void stop() {
        std::lock_guard lock(mutex_);
        queue_.clear();
        bytes_ = 0;
        fd_ = -1;
    }

private:
    LineWriter() { std::thread([this] { run(); }).detach(); }

    bool room(std::size_t lines, std::size_t size) const {
        return queue_.empty() || (queue_.size() + lines <= kQueueLines && bytes_ + size <= kQueueBytes);
    }

    void push(std::string text) {
        bytes_ += text.size();
        queue_.push_back(std::move(text));
        wake_.notify_one();
    }

    void run() {
        std::unique_lock lock(mutex_);
        while (true) {
            if (queue_.empty() || fd_ < 0) {
                wake_.wait(lock);
                continue;
            }
            std::string text = std::move(queue_.front());
            queue_.pop_front();
            bytes_ -= text.size();
            int fd = fd_;
            writing_ = true;
            lock.unlock();
            int error = write_all(fd, text);
            lock.lock();
            writing_ = false;
            if (error != 0) {
                error_ = error;
                queue_.clear();
                bytes_ = 0;
            }
            idle_.notify_all();
        }
    }

    static int write_all(int fd, const std::string& text) {
        std::size_t written = 0;
        while (written < text.size()) {
            ssize_t n = ::write(fd, text.data() + written, text.size() - written);
            if (n > 0) {
                written += n;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd entry{fd, POLLOUT, 0};
                ::poll(&entry, 1, -1);  // a descriptor the host made non-blocking
            } else if (n < 0 && errno != EINTR) {
                return errno;
            }
        }
        return 0;
    }

    std::mutex mutex_;
    std::condition_variable wake_, idle_;
    std::deque<std::string> queue_;
    std::size_t bytes_ = 0;
    long long dropped_ = 0;
    int fd_ = -1, error_ = 0;
    bool writing_ = false, error_reported_ = false;
};

// Text written but not yet ended by a newline; held under the GIL, as every write is.
std::string& partial_line() {
    static std::string* text = new std::string();
    return *text;
}

void hand_over(std::string text) {
    int error = LineWriter::instance().put(std::move(text));
    if (error != 0) raise(py::module_::import("builtins").attr("OSError")(error, std::strerror(error)));
}

py::int_ output_write(py::object self, py::object text) {
    if (!py::isinstance<py::str>(text)) {
        raise(PyExc_TypeError, "write() argument must be str, not " +
                                   py::str(py::type::of(text).attr("__name__")).cast<std::string>());
    }
    py::bytes encoded = text.attr("encode")(self.attr("encoding"), self.attr("errors"));
    std::string& partial = partial_line();
    partial += std::string(encoded);
    std::size_t end;
    while ((end = partial.find('\n')) != std::string::npos) {
        std::string line = partial.substr(0, end + 1);
        partial.erase(0, end + 1);
        hand_over(std::move(line));
    }
    return py::len(text);
}

// Hands over what is written so far; it does not wait for the reader.
void output_flush(py::object) {
    std::string& partial = partial_line();
    if (partial.empty()) return;
    std::string text;
    text.swap(partial);
    hand_over(std::move(text));
}

py::object output_class() {
    static py::object* cls = nullptr;
    if (cls == nullptr) {
        py::object made = make_class("live_pilot", "BoundedOutput", py::make_tuple(py::module_::import("builtins").attr("object")),
                                     "Standard output that never blocks the writer; see the live_pilot README.");
        add_method(made, "write", &output_write, py::arg("text"));
        add_method(made, "flush", &output_flush);
        add_method(made, "fileno", [](py::object self) { return self.attr("_stream").attr("fileno")(); });
        add_method(made, "isatty", [](py::object self) { return self.attr("_stream").attr("isatty")(); });
        add_method(made, "writable", [](py::object) { return true; });
        add_method(made, "readable", [](py::object) { return false; });
        add_method(made, "seekable", [](py::object) { return false; });
        made.attr("closed") = false;
        cls = new py::object(made);
    }
    return *cls;
}

}  // namespace

BoundedOutput::BoundedOutput() {
    auto sys = py::module_::import("sys");
    py::object stream = sys.attr("stdout");
    // Only the interpreter's own stream: a host that redirected sys.stdout keeps what it chose.
    if (stream.is_none() || !stream.is(sys.attr("__stdout__"))) return;
    int fd;
    try {
        fd = stream.attr("fileno")().cast<int>();
        stream.attr("flush")();
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return;
    }
    py::object output = output_class()();
    output.attr("_stream") = stream;
    output.attr("encoding") = stream.attr("encoding");
    output.attr("errors") = stream.attr("errors");
    partial_line().clear();
    LineWriter::instance().start(fd);
    sys.attr("stdout") = output;
    previous_ = stream;
}

BoundedOutput::~BoundedOutput() {
    if (!previous_) return;
    // Left by an exception: the stream goes back at once, what was queued is dropped.
    LineWriter::instance().stop();
    py::module_::import("sys").attr("stdout") = previous_;
}

void BoundedOutput::remove() {
    if (!previous_) return;
    auto& writer = LineWriter::instance();
    std::string partial;
    partial.swap(partial_line());
    if (!partial.empty()) writer.put(std::move(partial));
    writer.report_dropped();
    while (true) {
        bool written;
        {
            py::gil_scoped_release unlocked;
            written = writer.wait_written(std::chrono::milliseconds(50));
        }
        if (written) break;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();  // the destructor puts the stream back
    }
    writer.stop();
    py::module_::import("sys").attr("stdout") = previous_;
    previous_ = py::object();
}

}  // namespace corvane::live_pilot
