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

void raise(const py::object& error) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
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

namespace {

// A new, empty file in `folder` named "." + name + "." + random text + suffix. os.open with mode
// 0666 lets the process's umask decide the permissions, as a plain open() would; the umask
// itself is never changed, since that would affect files other threads create meanwhile.
py::object new_temporary_file(const py::module_& os, const py::object& folder, const py::object& name,
                              const std::string& suffix) {
    auto token_hex = py::module_::import("secrets").attr("token_hex");
    int flags = os.attr("O_WRONLY").cast<int>() | os.attr("O_CREAT").cast<int>() | os.attr("O_EXCL").cast<int>();
    for (int attempt = 0;; ++attempt) {
        py::object temp_path = os.attr("path").attr("join")(
            folder, py::str(".") + py::str(name) + py::str(".") + py::str(token_hex(6)) + py::str(suffix));
        try {
            os.attr("close")(os.attr("open")(temp_path, flags, 0666));
            return temp_path;
        } catch (py::error_already_set& error) {
            if (attempt >= 100 || !error.matches(PyExc_FileExistsError)) throw;
        }
    }
}

// Gives the finished temporary file its final name: over an existing file, or (replace_existing
// false) only where no file of that name exists, raising FileExistsError otherwise.
void move_into_place(const py::module_& os, const py::object& temp_path, const py::object& path,
                     bool replace_existing) {
    if (replace_existing) {
        os.attr("replace")(temp_path, path);
    } else if (py::str(os.attr("name")).equal(py::str("nt"))) {
        os.attr("rename")(temp_path, path);  // refuses an existing target on Windows
    } else {
        os.attr("link")(temp_path, path);  // refuses an existing target
        // The file is in place under its name; a second name left behind is only untidy.
        try {
            os.attr("remove")(temp_path);
        } catch (py::error_already_set&) {
        }
    }
}

// Flushes what the system holds of `path` (a file, or a folder's entries) to the disk. Folders
// cannot be opened for this on Windows, where renames are flushed with the file.
void sync_to_disk(const py::module_& os, const py::object& path, bool folder) {
    if (folder && py::str(os.attr("name")).equal(py::str("nt"))) return;
    py::object fd = os.attr("open")(path, os.attr("O_RDONLY"));
    try {
        os.attr("fsync")(fd);
    } catch (...) {
        os.attr("close")(fd);
        throw;
    }
    os.attr("close")(fd);
}

}  // namespace

void replace_atomically(const py::object& path, const std::string& suffix,
                        const std::function<void(py::object)>& fill, bool replace_existing) {
    auto os = py::module_::import("os");
    py::object folder = os.attr("path").attr("dirname")(os.attr("path").attr("abspath")(path));
    py::object name = os.attr("path").attr("basename")(path);
    py::object temp_path = new_temporary_file(os, folder, name, suffix);
    try {
        fill(temp_path);
        // On the disk before it has its name: a crash never leaves a named file without content.
        sync_to_disk(os, temp_path, false);
        move_into_place(os, temp_path, path, replace_existing);
    } catch (...) {
        // The caller sees the original error; removing the temporary file must not replace it.
        try {
            os.attr("remove")(temp_path);
        } catch (py::error_already_set&) {
        }
        throw;
    }
    // The new name itself survives a crash once the folder is flushed.
    sync_to_disk(os, folder, true);
}

void write_atomically(const py::object& path, const std::function<void(py::object)>& write) {
    replace_atomically(path, ".tmp", [&](py::object temp_path) {
        with_file(temp_path, "wb", [&](py::object file) {
            write(file);
            file.attr("flush")();
        });
    });
}

}  // namespace corvane
