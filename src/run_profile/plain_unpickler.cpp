// A pickle reader that rebuilds plain built-in values only, so a record file on disk cannot run code.
#include <set>
#include <string>
#include <utility>

#include "common/interop.hpp"
#include "run_profile/run_profile.hpp"

namespace corvane::run_profile {

namespace {

// Globals a pickle of plain values may name: the built-in containers and scalars (older protocols
// reach set, frozenset and complex through them) and _codecs.encode, which protocols 0-2 use for bytes.
bool is_plain_global(const std::string& module, const std::string& name) {
    static const std::set<std::string> builtins_allowed = {
        "dict", "list", "tuple", "set", "frozenset", "str", "bytes", "int", "float", "complex", "bool"};
    if (module == "builtins" || module == "__builtin__") return builtins_allowed.count(name) > 0;
    return module == "_codecs" && name == "encode";
}

py::object make_unpickler_class() {
    auto pickle = py::module_::import("pickle");
    py::object cls = make_class("run_profile", "_PlainUnpickler", py::make_tuple(pickle.attr("Unpickler")));
    add_method(cls, "find_class", [](py::object self, py::str module, py::str name) -> py::object {
        auto module_text = module.cast<std::string>();
        auto name_text = name.cast<std::string>();
        if (is_plain_global(module_text, name_text)) {
            return py::module_::import("pickle").attr("Unpickler").attr("find_class")(self, module, name);
        }
        py::object filename = self.attr("_corvane_filename");
        raise(py::module_::import("pickle").attr("UnpicklingError").ptr(),
              py::str(filename).cast<std::string>() + ": refusing to load " + module_text + "." + name_text +
                  " (only plain built-in values are allowed)");
    });
    return cls;
}

}  // namespace

py::object load_plain_pickle(const py::object& file, const py::object& filename) {
    static py::object* unpickler_class = new py::object(make_unpickler_class());
    py::object unpickler = (*unpickler_class)(file);
    unpickler.attr("_corvane_filename") = filename;
    return unpickler.attr("load")();
}

}  // namespace corvane::run_profile
