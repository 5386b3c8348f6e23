#include "common/thread_pools.hpp"

namespace corvane {

namespace {

// A module only if the host (or a module) imported it already: limiting a library nobody loaded
// would import it for nothing.
py::object loaded(const char* name) {
    py::dict modules = py::module_::import("sys").attr("modules");
    return modules.contains(name) ? py::object(modules[name]) : py::object(py::none());
}

}  // namespace

py::object limit_thread_pools() {
    py::object torch_threads = py::none();
    if (py::object torch = loaded("torch"); !torch.is_none()) {
        torch_threads = torch.attr("get_num_threads")();
        torch.attr("set_num_threads")(1);
    }
    py::object limiter = py::none();
    try {
        limiter = py::module_::import("threadpoolctl").attr("threadpool_limits")(py::arg("limits") = 1);
    } catch (py::error_already_set& error) {
        // Without threadpoolctl the work still runs, only with the pools as they are.
        if (!error.matches(PyExc_Exception)) throw;
    }
    return py::make_tuple(torch_threads, limiter);
}

void restore_thread_pools(const py::object& before) {
    if (before.is_none()) return;
    py::tuple saved = before.cast<py::tuple>();
    if (!saved[1].is_none()) {
        try {
            saved[1].attr("restore_original_limits")();
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_Exception)) throw;
        }
    }
    if (!saved[0].is_none()) {
        try {
            loaded("torch").attr("set_num_threads")(saved[0]);
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_Exception)) throw;
        }
    }
}

}  // namespace corvane
