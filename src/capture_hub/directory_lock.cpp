// One recorder per base directory: an exclusive flock on a lock file in the base directory,
// held while a session is open and while anything writes the log or a recording. The lock
// belongs to the open file, so a recorder that dies releases it with its files.
#include "capture_hub/capture_hub.hpp"

#include "common/interop.hpp"

namespace corvane::capture_hub {

namespace {

// The open lock file while this instance holds the lock, else None.
const char* const kLockFile = "_directory_lock";
// True from initialize_session to stop_session: the lock stays held between calls.
const char* const kSessionOpen = "_session_open";
const char* const kLockName = ".capture_hub.lock";

py::object base_of(py::object self) { return os_path().attr("dirname")(self.attr("data_dir")); }

bool holds(py::object self) { return !py::getattr(self, kLockFile, py::none()).is_none(); }

[[noreturn]] void refuse(const py::object& base, const py::object& file) {
    py::str holder("another process");
    try {
        file.attr("seek")(0);
        py::str pid = file.attr("read")().attr("strip")();
        if (truthy(pid)) holder = py::str("process ") + pid;
    } catch (py::error_already_set&) {
    }
    file.attr("close")();
    raise(PyExc_RuntimeError, "Another recorder (" + holder.cast<std::string>() + ") is using " +
                                  py::str(base).cast<std::string>() +
                                  ": only one recorder at a time may open a session or record there");
}

}  // namespace

void hold_directory(py::object self) {
    if (holds(self)) return;
    py::module_ fcntl;
    try {
        fcntl = py::module_::import("fcntl");
    } catch (py::error_already_set&) {
        return;  // no flock on this platform
    }
    py::object base = base_of(self);
    // "a+" creates the file without emptying it: the holder's pid stays readable.
    py::object file = py::module_::import("builtins").attr("open")(path_join({base, py::str(kLockName)}), "a+");
    try {
        fcntl.attr("flock")(file.attr("fileno")(), fcntl.attr("LOCK_EX").cast<int>() | fcntl.attr("LOCK_NB").cast<int>());
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_BlockingIOError)) {
            file.attr("close")();
            throw;
        }
        refuse(base, file);
    }
    self.attr(kLockFile) = file;
    // The pid only names the holder in the refusal; failing to write it changes nothing else.
    try {
        file.attr("truncate")(0);
        file.attr("write")(py::str(os().attr("getpid")()));
        file.attr("flush")();
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
    }
}

void release_directory(py::object self) {
    py::object file = py::getattr(self, kLockFile, py::none());
    self.attr(kLockFile) = py::none();
    self.attr(kSessionOpen) = false;
    if (!file.is_none()) file.attr("close")();  // closing the file releases the lock
}

bool session_open(py::object self) { return truthy(py::getattr(self, kSessionOpen, py::bool_(false))); }

void mark_session_open(py::object self) { self.attr(kSessionOpen) = true; }

void release_if_idle(py::object self) {
    if (!session_open(self) && !truthy(self.attr("is_recording"))) release_directory(self);
}

DirectoryHold::DirectoryHold(py::object self) : self_(std::move(self)), acquired_(!holds(self_)) {
    hold_directory(self_);
}

DirectoryHold::~DirectoryHold() {
    if (!acquired_) return;
    try {
        release_if_idle(self_);
    } catch (py::error_already_set&) {
    }
}

}  // namespace corvane::capture_hub
