// RunProfile: the parameters of one recording session, saved per session number as a plain dict.
#include "run_profile/run_profile.hpp"

#include <string>

#include "common/interop.hpp"
#include "common/session_numbers.hpp"
#include "common/settings.hpp"

namespace corvane::run_profile {

namespace {

// The saved keys in their stored order, with the value a missing key falls back to.
py::list saved_fields() {
    py::list fields;
    fields.append(py::make_tuple("actions", py::dict()));
    fields.append(py::make_tuple("repetitions", 21));
    fields.append(py::make_tuple("break_duration", 3));
    fields.append(py::make_tuple("record_duration", 5));
    fields.append(py::make_tuple("lowcut", 0.5));
    fields.append(py::make_tuple("highcut", 45.0));
    fields.append(py::make_tuple("channel_configs", py::dict()));
    return fields;
}


py::object config_dir(const py::object& base_path) {
    return path_join({base_path, py::str("data"), py::str("configs")});
}

py::object config_file(const py::object& base_path, const py::object& session_num) {
    check_session_number(session_num);
    return path_join({config_dir(base_path), py::str("session") + py::str(session_num) + py::str("_config.pkl")});
}

// Reads the record at `filename` and rebuilds it through the module's RunProfile class.
py::object load_record(const py::object& filename) {
    py::object data;
    with_file(filename, "rb", [&](py::object file) { data = load_plain_pickle(file, filename); });
    return py::module_::import("run_profile").attr("RunProfile").attr("from_dict")(data);
}

void init(py::object self) {
    for (auto field : saved_fields()) {
        // saved_fields() builds new default dicts on each call, so two profiles never share one.
        auto pair = field.cast<py::tuple>();
        py::setattr(self, pair[0], pair[1]);
    }
    self.attr("base_path") = base_directory_from_environment();
}

py::dict to_dict(py::object self) {
    py::dict data;
    for (auto field : saved_fields()) {
        py::object key = field.cast<py::tuple>()[0];
        data[key] = self.attr(key);
    }
    return data;
}

py::object from_dict(py::object cls, py::object data) {
    py::object obj = cls();
    py::object get = data.attr("get");
    for (auto field : saved_fields()) {
        auto pair = field.cast<py::tuple>();
        py::setattr(obj, pair[0], get(pair[0], pair[1]));
    }
    return obj;
}

void save(py::object self, py::object session_num) {
    py::object base_path = self.attr("base_path");
    py::object filename = config_file(base_path, session_num);
    py::module_::import("os").attr("makedirs")(config_dir(base_path), py::arg("exist_ok") = true);
    py::dict data = to_dict(self);
    auto dump = py::module_::import("pickle").attr("dump");
    write_atomically(filename, [&](py::object file) { dump(data, file); });
}

py::object load(py::object session_num, py::object base_path) {
    py::object filename = config_file(base_path, session_num);
    if (!py::module_::import("os").attr("path").attr("exists")(filename).cast<bool>()) return py::none();
    return load_record(filename);
}

// Where a record's file name ranks among the records: "session<N>_config.pkl" with N an integer
// ranks by N (session 10 above session 9, whatever the digits' text order); any other name ranks
// below every numbered one, and among those names plain string order decides. Equal numbers
// ("session07" and "session7") fall back to string order as well.
py::tuple record_rank(const py::str& name) {
    std::string text = name.cast<std::string>();
    const std::string prefix = "session", suffix = "_config.pkl";
    if (text.size() > prefix.size() + suffix.size() && text.compare(0, prefix.size(), prefix) == 0) {
        std::string number = text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
        size_t digits = number.front() == '-' ? 1 : 0;
        bool numeric = digits < number.size();
        for (size_t k = digits; numeric && k < number.size(); ++k) numeric = number[k] >= '0' && number[k] <= '9';
        if (numeric) return py::make_tuple(1, py::int_(py::str(number)), name);
    }
    return py::make_tuple(0, 0, name);
}

py::object load_last_config(py::object base_path) {
    auto os = py::module_::import("os");
    py::object directory = config_dir(base_path);
    if (!os.attr("path").attr("exists")(directory).cast<bool>()) return py::none();
    py::list ranks;
    for (auto name : os.attr("listdir")(directory)) {
        if (name.attr("endswith")("_config.pkl").cast<bool>()) ranks.append(record_rank(py::str(name)));
    }
    if (ranks.empty()) return py::none();
    py::tuple last = py::module_::import("builtins").attr("max")(ranks);
    return load_record(path_join({directory, last[2]}));
}

}  // namespace

void bind_run_profile(py::module_& m) {
    py::object cls = make_class("run_profile", "RunProfile", py::make_tuple(py::module_::import("builtins").attr("object")));
    m.attr("RunProfile") = cls;
    // The loaders' default base directory is read once, now, as the class is created.
    py::object default_base = base_directory_from_environment();
    add_method(cls, "__init__", &init);
    add_method(cls, "to_dict", &to_dict,
               py::doc("Convert the object into a plain dictionary that can be pickled safely."));
    add_class_method(cls, "from_dict", &from_dict, py::arg("cls"), py::arg("data"),
                     py::doc("Reconstruct a RunProfile object from a dictionary"));
    add_method(cls, "save", &save, py::arg("session_num"), py::doc("Save configuration to file (as a dict)."));
    add_static_method(cls, "load", &load, py::arg("session_num"), py::arg("base_path") = default_base,
                      py::doc("Load configuration from file and rebuild the RunProfile object."));
    add_static_method(cls, "load_last_config", &load_last_config, py::arg("base_path") = default_base,
                      py::doc("Load most recent configuration."));
}

}  // namespace corvane::run_profile
