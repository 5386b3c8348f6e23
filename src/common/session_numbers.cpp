#include "common/session_numbers.hpp"

#include <string>

#include "common/interop.hpp"

namespace corvane {

void check_session_number(const py::object& session_num) {
    std::string text = py::str(session_num).cast<std::string>();
    bool leaves_folder = text.empty() || text.find('/') != std::string::npos || text.find('\\') != std::string::npos ||
                         text.find("..") != std::string::npos || text.find('\0') != std::string::npos;
    if (leaves_folder) {
        raise(PyExc_ValueError, "Invalid session number: " + py::repr(py::str(session_num)).cast<std::string>());
    }
}

}  // namespace corvane
