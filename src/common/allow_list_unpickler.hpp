// Pickle readers that rebuild only the globals an allow-list names, so a file on disk cannot run
// code: every class or function a pickle refers to passes through find_class, and anything not
// listed raises pickle.UnpicklingError before it is imported or called.
#pragma once

#include <pybind11/pybind11.h>

#include <set>
#include <string>
#include <utility>

namespace corvane {

namespace py = pybind11;

struct PickleAllowList {
    // (module, name) pairs a pickle may refer to.
    std::set<std::pair<std::string, std::string>> globals;
    // Also the built-in containers and scalars (and _codecs.encode, which protocols 0-2 use for bytes).
    bool plain_builtins = true;
    // What the list admits, for the refusal message: "only <description> are allowed".
    std::string description;

    bool allows(const std::string& module, const std::string& name) const;
};

// A subclass of `base` (pickle.Unpickler or one of its subclasses) named `module`.`name` whose
// find_class admits only `allowed`. Instances are made with `base`'s arguments; set the
// attribute "_corvane_filename" on each, since the refusal names that file.
py::object allow_list_unpickler_class(const char* module, const char* name, py::object base,
                                      const PickleAllowList& allowed);

// Unpickles `file` (opened "rb") allowing only plain built-in values; anything else raises
// pickle.UnpicklingError naming `filename` and the refused type.
py::object load_plain_pickle(const py::object& file, const py::object& filename);

}  // namespace corvane
