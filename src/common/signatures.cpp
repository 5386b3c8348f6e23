#include "common/signatures.hpp"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace corvane {

namespace {

// pybind11's record of a function it made (through an instance method as well), or nullptr.
py::detail::function_record* find_record(py::handle function) {
    py::handle callable = py::detail::get_function(function);
    if (!callable || !PyCFunction_Check(callable.ptr())) return nullptr;
    py::handle self = PyCFunction_GET_SELF(callable.ptr());
    return self ? py::detail::function_record_ptr_from_PyObject(self.ptr()) : nullptr;
}

py::detail::function_record* record_of(py::handle function) {
    auto* record = find_record(function);
    if (record == nullptr) throw std::runtime_error("not a C++ function");
    return record;
}

}  // namespace

std::string parameter_list(py::handle function) {
    const auto* record = record_of(function);
    std::string text;
    auto add = [&text](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
    const size_t count = record->nargs;
    const size_t plain = record->nargs_pos;  // parameters before *args, **kwargs or a bare "*"
    const size_t offset = record->is_method ? 1 : 0;
    for (size_t index = 0; index < count; ++index) {
        if (record->has_args && index == plain) {
            add("*args");
            continue;
        }
        if (record->has_kwargs && index + 1 == count) {
            add("**kwargs");
            continue;
        }
        if (index == plain && !record->has_args) add("*");
        const bool named = index < record->args.size() && record->args[index].name != nullptr;
        std::string part = named                              ? std::string(record->args[index].name)
                           : record->is_method && index == 0 ? std::string("self")
                                                             : "arg" + std::to_string(index - offset);
        if (named && record->args[index].value) part += "=" + py::repr(record->args[index].value).cast<std::string>();
        add(part);
        if (record->nargs_pos_only > 0 && index + 1 == record->nargs_pos_only) add("/");
    }
    return text;
}

void add_text_signature(py::handle function) {
    const auto* record = record_of(function);
    auto* callable = reinterpret_cast<PyCFunctionObject*>(py::detail::get_function(function).ptr());
    const char* current = PYBIND11_PYCFUNCTION_GET_DOC(callable);
    const std::string doc = current != nullptr ? current : "";
    const std::string name = record->name;
    if (doc.rfind(name + "(", 0) == 0 && doc.find(")\n--\n\n") != std::string::npos) return;
    const std::string signed_doc = name + "(" + parameter_list(function) + ")\n--\n\n" + doc;
    // The method definition owns its docstring, as pybind11 set it; it is freed with the function.
    std::free(const_cast<char*>(current));
    PYBIND11_PYCFUNCTION_SET_DOC(callable, strdup(signed_doc.c_str()));
}

void add_text_signatures(const py::module_& module) {
    for (auto item : module.attr("__dict__").cast<py::dict>()) {
        if (find_record(item.second) != nullptr) add_text_signature(item.second);
    }
}

}  // namespace corvane
