#include "common/interop.hpp"

#include <string_view>

namespace corvane {

py::object getenv(const char* name, py::object fallback) {
    return py::module_::import("os").attr("getenv")(name, fallback);
}

std::string getenv(const char* name, const std::string& fallback) {
    return getenv(name, py::str(fallback)).cast<std::string>();
}

py::object path_join(std::initializer_list<py::object> parts) {
    py::tuple args(parts.size());
    size_t index = 0;
    for (const auto& part : parts) args[index++] = part;
    return py::module_::import("os").attr("path").attr("join")(*args);
}

void raise(PyObject* type, const std::string& text) {
    PyErr_SetString(type, text.c_str());
    throw py::error_already_set();
}

std::string exception_text(const py::error_already_set& error) {
    return py::str(error.value()).cast<std::string>();
}

const char* function_name_for(const char* attribute) {
    std::string_view name(attribute);
    if (name == "__init__") return "initialize";
    if (name == "__setstate__") return "set_state";
    return attribute;
}

py::object make_class(const char* module, const char* name, py::tuple bases, const char* doc) {
    py::dict namespace_;
    namespace_["__module__"] = module;
    namespace_["__qualname__"] = name;
    if (doc != nullptr) namespace_["__doc__"] = doc;
    return py::module_::import("builtins").attr("type")(name, bases, namespace_);
}

void with_file(const py::object& path, const char* mode, const std::function<void(py::object)>& use) {
    py::object file = py::module_::import("builtins").attr("open")(path, mode);
    try {
        use(file);
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
}

void replace_atomically(const py::object& path, const std::string& suffix,
                        const std::function<void(py::object)>& fill) {
    auto os = py::module_::import("os");
    auto tempfile = py::module_::import("tempfile");
    py::object folder = os.attr("path").attr("dirname")(os.attr("path").attr("abspath")(path));
    py::object name = os.attr("path").attr("basename")(path);
    py::tuple made = tempfile.attr("mkstemp")(py::arg("prefix") = py::str(".") + name + py::str("."),
                                                 py::arg("suffix") = suffix, py::arg("dir") = folder);
    os.attr("close")(made[0]);
    py::object temp_path = made[1];
    try {
        // mkstemp creates the file private (0600); give it the mode a plain open() would.
        py::object mask = os.attr("umask")(0);
        os.attr("umask")(mask);
        os.attr("chmod")(temp_path, 0666 & ~mask.cast<int>());
        fill(temp_path);
        os.attr("replace")(temp_path, path);
    } catch (...) {
        // The caller sees the original error; removing the temporary file must not replace it.
        try {
            os.attr("remove")(temp_path);
        } catch (py::error_already_set&) {
        }
        throw;
    }
}

void write_atomically(const py::object& path, const std::function<void(py::object)>& write) {
    replace_atomically(path, ".tmp", [&](py::object temp_path) {
        with_file(temp_path, "wb", [&](py::object file) {
            write(file);
            file.attr("flush")();
            py::module_::import("os").attr("fsync")(file.attr("fileno")());
        });
    });
}

}  // namespace corvane
