#include "common/allow_list_unpickler.hpp"

#include <memory>

#include "common/interop.hpp"

namespace corvane {

bool PickleAllowList::allows(const std::string& module, const std::string& name) const {
    // The built-in containers and scalars; older protocols reach set, frozenset and complex through them.
    static const std::set<std::string> builtins_allowed = {
        "dict", "list", "tuple", "set", "frozenset", "str", "bytes", "int", "float", "complex", "bool"};
    if (plain_builtins) {
        if (module == "builtins" || module == "__builtin__") {
            if (builtins_allowed.count(name) > 0) return true;
        } else if (module == "_codecs" && name == "encode") {
            return true;
        }
    }
    return globals.count({module, name}) > 0;
}

py::object allow_list_unpickler_class(const char* module, const char* name, py::object base,
                                      const PickleAllowList& allowed) {
    auto list = std::make_shared<const PickleAllowList>(allowed);
    py::object cls = make_class(module, name, py::make_tuple(base));
    add_method(cls, "find_class", [list, base](py::object self, py::str module, py::str name) -> py::object {
        auto module_text = module.cast<std::string>();
        auto name_text = name.cast<std::string>();
        if (list->allows(module_text, name_text)) return base.attr("find_class")(self, module, name);
        py::object filename = self.attr("_corvane_filename");
        raise(py::module_::import("pickle").attr("UnpicklingError").ptr(),
              py::str(filename).cast<std::string>() + ": refusing to load " + module_text + "." + name_text +
                  " (only " + list->description + " are allowed)");
    });
    return cls;
}

py::object load_plain_pickle(const py::object& file, const py::object& filename) {
    static py::object* unpickler_class = new py::object(allow_list_unpickler_class(
        "run_profile", "_PlainUnpickler", py::module_::import("pickle").attr("Unpickler"),
        PickleAllowList{{}, true, "plain built-in values"}));
    py::object unpickler = (*unpickler_class)(file);
    unpickler.attr("_corvane_filename") = filename;
    return unpickler.attr("load")();
}

}  // namespace corvane
